#!/usr/bin/python3
"""Reads and drives vorelin-inbox and the window through AT-SPI, as a screen reader does.

  atspi-inbox.py popup SENDER TEXT     waits for the pop-up of a message with this sender (* for
                                       any) and text; prints its fields as NAME=VALUE lines,
                                       each of which must be read-only, not editable
  atspi-inbox.py no-popup              waits until no message pop-up is open
  atspi-inbox.py shown TITLE           waits until a window whose name starts with TITLE shows,
                                       which must be a frame
  atspi-inbox.py hidden TITLE          checks that no such window shows (the app must be up)
  atspi-inbox.py close-popup           presses the pop-up's Cerrar button
  atspi-inbox.py reply TEXT STATUS     presses Responder in the pop-up, types TEXT in the answer
                                       box, presses Enviar and waits for STATUS in the box
  atspi-inbox.py press-keeps BUTTON BOX presses BUTTON, which must change nothing: once it is
                                       up again the text box BOX holds what it held

Every wait is bounded; exit status 1 with the reason on failure.
"""
import sys
from pathlib import Path

import pyatspi

sys.path.insert(0, str(Path(__file__).resolve().parents[2] / "support"))
from atspi import (application, applications, described, fail, named, press,  # noqa: E402
                   press_button, text_of, top_windows, wait_for)


FIELDS = ("Remitente", "Equipo del remitente", "Dirección del remitente", "Destinatario",
          "Recibido", "Texto del mensaje")


def popup_with(sender, text):
    for window in top_windows("Mensaje de "):
        node = named(window, "Texto del mensaje")
        if node is not None and text_of(node) == text and \
                (sender == "*" or text_of(named(window, "Remitente")) == sender):
            return window
    return None


def main(argv):
    if len(argv) >= 4 and argv[1] == "popup":
        window = wait_for("the pop-up", lambda: popup_with(argv[2], argv[3]))
        for field in FIELDS:
            node = named(window, field)
            if node is None:
                fail("the pop-up has no field named " + field)
            value = text_of(node).replace("\n", "\\n")
            states = node.getState()
            if states.contains(pyatspi.STATE_EDITABLE) or not states.contains(pyatspi.STATE_READ_ONLY):
                fail("the field " + field + " is announced as editable")
            print(f"{field}={value}")
        return
    if len(argv) >= 2 and argv[1] == "no-popup":
        wait_for("the pop-ups to close", lambda: not top_windows("Mensaje de ") or None)
        return
    if len(argv) >= 3 and argv[1] == "shown":
        window = wait_for("a window " + argv[2], lambda: top_windows(argv[2]))[0]
        if window.getRole() != pyatspi.ROLE_FRAME:
            fail(f"the window {window.name} is a {window.getRole()}, not a frame")
        return
    if len(argv) >= 3 and argv[1] == "hidden":
        wait_for("the application on the accessibility bus", application)
        if top_windows(argv[2]):
            fail("a window " + argv[2] + " shows")
        return
    if len(argv) >= 3 and argv[1] == "gone":
        wait_for("the window " + argv[2] + " to go", lambda: not top_windows(argv[2]) or None)
        return
    if len(argv) >= 2 and argv[1] == "close-popup":
        windows = wait_for("a pop-up", lambda: top_windows("Mensaje de "))
        press(windows[0], "Cerrar")
        return
    if len(argv) >= 4 and argv[1] == "reply":
        windows = wait_for("a pop-up", lambda: top_windows("Mensaje de "))
        press(windows[0], "Responder")
        dialog = wait_for("the answer box", lambda: top_windows("Responder a ") or None)[0]
        box = named(dialog, "Respuesta")
        if box is None:
            fail("the answer box has no field named Respuesta")
        box.queryEditableText().setTextContents(argv[2])
        press(dialog, "Enviar la respuesta")
        status = described(dialog, "Estado del envío")
        if status is None:
            fail("the answer box shows no send status")
        wait_for("the status " + argv[3], lambda: status.name == argv[3])
        print("status=" + status.name)
        return
    if len(argv) >= 4 and argv[1] == "press-keeps":
        def anywhere(name, roles):
            return next(filter(None, (named(app, name, roles) for app in applications())), None)
        button = wait_for("a button " + argv[2], lambda: anywhere(argv[2], (pyatspi.ROLE_PUSH_BUTTON,)))
        box = wait_for("a text box " + argv[3],
                       lambda: anywhere(argv[3], (pyatspi.ROLE_TEXT, pyatspi.ROLE_ENTRY)))
        before = text_of(box)
        press_button(button)
        # The button comes up again as it clicks, and the click is handled before the next question.
        wait_for(argv[2] + " to come up", lambda: not button.getState().contains(pyatspi.STATE_PRESSED))
        if text_of(box) != before:
            fail(f"the text box {argv[3]} went from {before!r} to {text_of(box)!r}")
        return
    print(__doc__)
    sys.exit(2)


if __name__ == "__main__":
    main(sys.argv)
