#!/usr/bin/env bash
# vorelin-inbox on an X desktop (Xvfb, openbox) with a private session bus that runs a real
# notification server (dunst) and the accessibility bus: a message sent with vorelin-send to a
# vorelind in direct mode pops up (read through AT-SPI), is posted as a notification (seen on
# the bus), opens again from the notification, and an answer typed in the pop-up's answer box
# reaches a second vorelind through --reply-port. Then, while the user types lines into
# another window, three messages pop up: that window keeps the focus and every key, the
# pop-ups stay off the middle of the screen, and no answer goes out.
# Usage: e2e-inbox.sh INBOX VORELIND VORELIN-SEND VORELIN-RECV
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
source "$here/../../support/desktop.sh"

inbox=${1:?usage: e2e-inbox.sh INBOX VORELIND VORELIN-SEND VORELIN-RECV}
vorelind=${2:?} send=${3:?} recv=${4:?}
atspi=(/usr/bin/python3 "$here/atspi-inbox.py")

if [ "${VORELIN_E2E_DISPLAY:-}" != 1 ]; then
    need_desktop dbus-daemon dbus-monitor dbus-send dunst dunstctl /usr/libexec/at-spi-bus-launcher \
        pyatspi
    under_xvfb "$0" "$@"
fi
scratch_home

fail() {
    echo "FAIL: $*"
    for log in "$scratch"/*.log; do echo "--- $(basename "$log"):"; tail -n 20 "$log"; done
    exit 1
}

free_port() {
    /usr/bin/python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'
}

# start_service NAME PORT COMPUTER-NAME: vorelind in direct mode under $scratch/NAME.
start_service() {
    mkdir -p "$scratch/$1/state" "$scratch/$1/run"
    "$vorelind" --bind 127.0.0.1 --session-port "$2" --state-dir "$scratch/$1/state" \
        --runtime-dir "$scratch/$1/run" --computer-name "$3" 2>"$scratch/$1.log" &
    pids+=($!)
    wait_until 10 test -S "$scratch/$1/run/inbox.socket" || fail "vorelind $1 did not start"
}

# --- A private session: bus, accessibility bus, notification server ---------------------

start_session_bus "$scratch" "$scratch/dbus.log" "$scratch/atspi.log"

start_desktop || fail "no desktop"

dbus-monitor --session "type='method_call',interface='org.freedesktop.Notifications',member='Notify'" \
    "type='signal',interface='org.freedesktop.Notifications',member='ActionInvoked'" \
    >"$scratch/monitor.out" 2>/dev/null &
pids+=($!)
start_notifications "$scratch/dunst.log"

# --- The services and the inbox -----------------------------------------------------------

port=$(free_port)
reply_port=$(free_port)
start_service here "$port" INBOXTEST
# Qt's own options are taken as the window takes them.
"$inbox" -style Fusion --socket "$scratch/here/run/inbox.socket" --reply-port "$reply_port" --background \
    2>"$scratch/inbox.log" &
pids+=($!)
inbox_pid=$!

instance_listens() { compgen -G "$XDG_RUNTIME_DIR/vorelin-inbox-*.socket" >/dev/null; }
wait_until 20 instance_listens || fail "the inbox did not start"
"${atspi[@]}" hidden "Mensajes recibidos" || fail "--background showed the window"
# A second start for the same socket raises the first and leaves at once.
timeout 10 "$inbox" --socket "$scratch/here/run/inbox.socket" 2>>"$scratch/inbox.log" ||
    fail "a second start did not hand over to the first"
kill -0 "$inbox_pid" 2>/dev/null || fail "the first inbox ended"
"${atspi[@]}" shown "Mensajes recibidos" || fail "the second start did not bring the inbox up"
echo "ok: a second start brings the running inbox up and leaves"

text='Reunión a las 15:00 en la sala ñ.
Traed el informe, por favor.'
"$send" -f PEDRO -I 127.0.0.1 -p "$port" INBOXTEST "$text" >"$scratch/send.out" 2>&1 ||
    fail "vorelin-send: $(cat "$scratch/send.out")"

fields=$("${atspi[@]}" popup PEDRO "$text") || fail "pop-up: $fields"
echo "$fields"
for want in Remitente=PEDRO "Dirección del remitente=127.0.0.1" Destinatario=INBOXTEST; do
    grep -qxF "$want" <<<"$fields" || fail "the pop-up shows no $want"
done
machine=$(sed -n 's/^Equipo del remitente=//p' <<<"$fields")
[ -n "$machine" ] || fail "the pop-up shows no machine"
echo "ok: the pop-up shows sender, machine, address, recipient and text through AT-SPI"

wait_until 10 grep -q 'string "Mensaje de PEDRO' "$scratch/monitor.out" ||
    fail "no Notify call for the message on the bus"
grep -q 'string "default"' "$scratch/monitor.out" || fail "the notification has no default action"
wait_until 10 test "$(dunstctl count displayed)" -ge 1 || fail "dunst shows no notification"
echo "ok: the notification was posted to dunst with a default action"

# Closed, then opened again from the notification.
"${atspi[@]}" close-popup || fail "could not close the pop-up"
"${atspi[@]}" no-popup || fail "the pop-up stayed"
dunstctl action 0 || fail "dunstctl action"
wait_until 10 grep -q 'member=ActionInvoked' "$scratch/monitor.out" || fail "dunst did not invoke the action"
"${atspi[@]}" popup PEDRO "$text" >/dev/null || fail "the notification did not open the message"
echo "ok: opening the notification opens the message"

# The answer goes to the sender's machine name at its address, on the reply port.
start_service there "$reply_port" "$machine"
answer='Allí estaré. Ñandú'
status=$("${atspi[@]}" reply "$answer" "El Mensaje Fue Enviado") || fail "reply: $status"
echo "ok: the answer box reports: ${status#status=}"
got=$("$recv" --once --json --socket "$scratch/there/run/inbox.socket") || fail "vorelin-recv failed"
echo "$got"
/usr/bin/python3 - "$answer" "$got" <<'PY' || fail "the answer did not arrive whole"
import json, sys
messages = [json.loads(line) for line in sys.argv[2].splitlines() if line.strip()]
assert len(messages) == 1, messages
assert messages[0]["text"] == sys.argv[1], messages[0]
PY
echo "ok: the answer arrived at the second vorelind with its text intact"

# Kept in the history, read, and acknowledged: the first service holds nothing more.
history="$XDG_DATA_HOME/vorelin/inbox.sqlite"
[ -f "$history" ] || fail "no history database under $XDG_DATA_HOME/vorelin"
/usr/bin/python3 - "$history" <<'PY' || fail "the message is not in the history"
import sqlite3, sys
rows = sqlite3.connect(sys.argv[1]).execute("SELECT sender FROM messages").fetchall()
assert ("PEDRO",) in rows, rows
PY
left=$("$recv" --once --json --socket "$scratch/here/run/inbox.socket")
[ -z "$left" ] || fail "the service still holds: $left"
echo "ok: the message is in the history and the service let it go"

# --- Pop-ups while the user types elsewhere -------------------------------------------

stdbuf -oL xev -name typing -geometry 300x200+20+20 -event keyboard >"$scratch/typing.out" 2>&1 &
pids+=($!)
wait_until 10 xdotool search --name '^typing$' || fail "the typing window did not appear"
typing=$(xdotool search --name '^typing$' | head -n 1)
xdotool windowactivate --sync "$typing" || fail "cannot activate the typing window"
typed_keys() {
    awk '/^KeyPress event/ {press = 1; next}
        press && match($0, /keysym 0x[0-9a-f]+, [^)]+/) {
            n = split(substr($0, RSTART, RLENGTH), part, ", "); print part[n]; press = 0 }' \
        "$scratch/typing.out" | paste -sd ' '
}
expected=()
for n in 1 2 3; do
    "$send" -f "AVISO$n" -I 127.0.0.1 -p "$port" INBOXTEST "Aviso $n" >"$scratch/send.out" 2>&1 ||
        fail "vorelin-send: $(cat "$scratch/send.out")"
    "${atspi[@]}" popup "AVISO$n" "Aviso $n" >/dev/null || fail "message $n did not pop up"
    xdotool type --delay 20 "linea$n" && xdotool key Return
    expected+=(l i n e a "$n" Return)
done
all_typed() { [ "$(typed_keys)" = "${expected[*]}" ]; }
wait_until 10 all_typed ||
    fail "the typing window got: $(typed_keys)"
[ "$(xdotool getactivewindow)" = "$typing" ] || fail "the typing window lost the focus"
echo "ok: three pop-ups arrived while typing; the typing window kept the focus and every key"

centre_x=$(($(xwininfo -root | awk '/Width:/ {print $2}') / 2))
centre_y=$(($(xwininfo -root | awk '/Height:/ {print $2}') / 2))
covers_centre() {
    xwininfo -id "$1" | awk -v cx="$centre_x" -v cy="$centre_y" '
        /Absolute upper-left X:/ {x = $4} /Absolute upper-left Y:/ {y = $4}
        /Width:/ {w = $2} /Height:/ {h = $2}
        END {exit !(x <= cx && cx < x + w && y <= cy && cy < y + h)}'
}
shown=0
for id in $(xdotool search --name '^Mensaje de AVISO'); do
    is_viewable "$id" || continue
    shown=$((shown + 1))
    ! covers_centre "$id" || fail "a pop-up covers the middle of the screen"
done
[ "$shown" -eq 3 ] || fail "$shown of the 3 pop-ups are on screen"
echo "ok: the pop-ups stack away from the middle of the screen"

left=$("$recv" --once --json --socket "$scratch/there/run/inbox.socket")
[ -z "$left" ] || fail "an answer went out: $left"
echo "ok: no answer went out"

# The tray icon: a click brings the hidden list up.
wait_until 10 tray_icon_centre || fail "no icon in the notification area"
read -r icon_x icon_y < <(tray_icon_centre)
xdotool search --name '^Mensajes recibidos' windowactivate --sync key Escape ||
    fail "could not close the list"
"${atspi[@]}" gone "Mensajes recibidos" || fail "Escape did not hide the list"
xdotool mousemove --sync "$icon_x" "$icon_y" click 1
"${atspi[@]}" shown "Mensajes recibidos" || fail "a click on the icon did not bring the list up"
echo "ok: a click on the tray icon brings the list up"
exit 0
