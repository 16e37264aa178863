"""Reads the running Vorelin window through AT-SPI and checks names, roles and the status
line's announcements. Every wait ends at its deadline."""
import subprocess
import sys
from pathlib import Path

import pyatspi
from gi.repository import GLib

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "support"))
from atspi import application, wait_for, walk  # noqa: E402

failures = []


def check(condition, what):
    print(("ok: " if condition else "FAIL: ") + what)
    if not condition:
        failures.append(what)


program = wait_for("the program on the accessibility bus", application)
status = wait_for("the status line as a status bar",
                  lambda: next((n for n in walk(program) if n.getRole() == pyatspi.ROLE_STATUS_BAR), None))
print("ok: the status line is a status bar")
nodes = list(walk(program))
check(status.name == "Estado", f'the empty status line is named "Estado" (is "{status.name}")')

names = {n.name for n in nodes}
for caption in ("Enviar Mensaje a:", "Nombre Personalizado", "Mensaje", "Ayuda", "MI IP ADDRESS"):
    check(caption in names, f'a control is named "{caption}"')
address = next((n for n in nodes if n.description == "MI IP ADDRESS"), None)
check(address is not None and address.name not in ("", "MI IP ADDRESS"),
      "the address label is named by the address and described as MI IP ADDRESS "
      f"(named \"{address.name if address else None}\")")
check("Accion" not in {n.name for n in nodes if n.getRole() == pyatspi.ROLE_STATUS_BAR},
      'the status bar is never named "Accion"')

# A send with no recipient fails at once, without the network; the status line then clears
# itself.
STATUS_TEXTS = {"El Mensaje Fue Enviado", "Acceso Denegado a la PC",
                "Network request not supported.", "Sent From server name not found.",
                "Invalid parameter(s) specified.", "Caracter No Valido", "Error General de Red",
                "Sin Conecion de Red", "No Se Encontro al Usuario",
                "Unknown error executing command."}
announced = []


def on_name_change(event):
    if event.source.getRole() == pyatspi.ROLE_STATUS_BAR:
        announced.append(event.source.name)
        if announced[-1] == "Estado" and STATUS_TEXTS.intersection(announced):
            pyatspi.Registry.stop()


def send_without_recipient():
    window = subprocess.run(["xdotool", "search", "--name", "^Vorelin$"], capture_output=True,
                            text=True).stdout.split()
    geometry = subprocess.run(["xwininfo", "-id", window[0]] if window else ["true"],
                              capture_output=True, text=True).stdout
    x = int(next(l.split()[-1] for l in geometry.splitlines() if "Absolute upper-left X" in l))
    y = int(next(l.split()[-1] for l in geometry.splitlines() if "Absolute upper-left Y" in l))
    subprocess.run(["xdotool", "mousemove", str(x + 80), str(y + 200), "click", "1"], check=False)
    subprocess.run(["xdotool", "type", "hola"], check=False)
    subprocess.run(["xdotool", "mousemove", str(x + 221), str(y + 186), "click", "1"], check=False)
    return False


def send_again_if_unheard():
    # A click made while the window was still settling may not have reached it.
    if not STATUS_TEXTS.intersection(announced):
        send_without_recipient()
    return False


def give_up():
    pyatspi.Registry.stop()
    return False


pyatspi.Registry.registerEventListener(on_name_change, "object:property-change:accessible-name")
GLib.timeout_add(300, send_without_recipient)
GLib.timeout_add(5000, send_again_if_unheard)
GLib.timeout_add(15000, give_up)
pyatspi.Registry.start()

first = next((i for i, name in enumerate(announced) if name in STATUS_TEXTS), None)
check(first is not None,
      f"the result is announced as the status bar's new name (heard: {announced})")
check(first is not None and "Estado" in announced[first:],
      'the cleared status line is announced as "Estado"')
sys.exit(1 if failures else 0)
