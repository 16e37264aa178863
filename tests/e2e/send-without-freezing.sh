#!/usr/bin/env bash
# The real program sends to a real smbd whose message command holds the reply. While it is
# held the window repaints what another window uncovered, answers the window manager's ping,
# and drops the clicks and keys made in it: no extra message arrives. A press on ENVIAR through
# AT-SPI is dropped too: the recipient box keeps its text. Closing the window during a held
# send ends the program at once.
# Runs in a network namespace of its own, where smbd can take port 139 on loopback.
# Usage: send-without-freezing.sh PATH-TO-VORELIN PATH-TO-WM-MESSAGE
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
source "$here/../support/netns.sh"
source "$here/../support/desktop.sh"

readonly skip=77
binary=${1:?usage: send-without-freezing.sh PATH-TO-VORELIN PATH-TO-WM-MESSAGE}
wm_message=${2:?usage: send-without-freezing.sh PATH-TO-VORELIN PATH-TO-WM-MESSAGE}

if [ "${VORELIN_E2E_NETNS:-}" != 1 ]; then
    need_desktop smbd import compare xmessage unshare ip dbus-daemon dbus-send \
        /usr/libexec/at-spi-bus-launcher pyatspi
    if ! unshare -n true 2>/dev/null; then
        echo "SKIP: needs CAP_NET_ADMIN for a network namespace of its own"
        exit $skip
    fi
    VORELIN_E2E_NETNS=1 exec unshare -n "$0" "$@"
fi
if [ "${VORELIN_E2E_DISPLAY:-}" != 1 ]; then
    ip link set lo up || { echo "FAIL: no loopback in the namespace"; exit 1; }
    under_xvfb "$0" "$@"
fi

scratch_home
chmod 755 "$scratch"
app= smbd_pid=
cleanup() {
    touch "$scratch/smb/release" 2>/dev/null
    [ -n "$app" ] && kill "$app" 2>/dev/null && wait "$app" 2>/dev/null
    [ -n "$smbd_pid" ] && kill "$smbd_pid" 2>/dev/null && wait "$smbd_pid" 2>/dev/null
    desktop_exit
}
trap cleanup EXIT

fail() {
    echo "FAIL: $*"
    [ -n "${VORELIN_E2E_SHOT:-}" ] && import -window root "$VORELIN_E2E_SHOT" 2>/dev/null
    ls -R "$scratch/smb/messages" "$scratch/smb/held"
    [ -f "$scratch/smb/smbd.out" ] && tail -n 20 "$scratch/smb/smbd.out"
    exit 1
}

# A private smbd on 127.0.0.1:139 whose message command waits for the release file before
# delivering, so smbd holds its reply to the end of each message meanwhile.
start_holding_smbd() {
    local smb="$scratch/smb"
    work=$smb # where samba_receiver puts the message command
    samba_receiver "$smb" VTESTRECV 127.0.0.1 "workgroup = VTEST"
    mkdir -p "$smb/messages" "$smb/held" "$smb/tmp"
    chmod 1777 "$smb/messages" "$smb/held" "$smb/tmp"
    cat >"$smb/deliver" <<SCRIPT
#!/bin/sh
touch "$smb/held/\${1##*/}"
i=0
while [ ! -e "$smb/release" ] && [ \$i -lt 300 ]; do sleep 0.1; i=\$((i + 1)); done
/bin/mv "\$1" "$smb/messages/\${1##*/}"
SCRIPT
    chmod 755 "$smb/deliver"
    TMPDIR="$smb/tmp" "$(command -v smbd || echo /usr/sbin/smbd)" -F --debug-stdout \
        -s "$smb/smb.conf" >"$smb/smbd.out" 2>&1 &
    smbd_pid=$!
    wait_until 20 bash -c 'exec 3<>/dev/tcp/127.0.0.1/139'
}

held_count() { find "$scratch/smb/held" -type f | wc -l; }
delivered() {
    local file
    for file in "$scratch/smb/messages"/*; do
        [ -f "$file" ] && tr -d '\r' <"$file" && echo
    done
}
delivered_count() { find "$scratch/smb/messages" -type f | wc -l; }
count_is() { [ "$("$1")" -eq "$2" ]; }
grab() { import -window "$window" "$1" 2>/dev/null; }
same_picture() {
    grab "$scratch/after.png" &&
        [ "$(compare -metric AE "$scratch/before.png" "$scratch/after.png" null: 2>&1)" = 0 ]
}
xmessage_shown() { xdotool search --name '^cover$' >/dev/null 2>&1; }
app_ended() { ! kill -0 "$app" 2>/dev/null; }
# A send is over once the program has closed its connection and shows the result (navy text
# in the status line); input counts again only then.
no_connection() { [ -z "$(ss -Htn state established '( dport = :139 )')" ]; }
status_shown() {
    local pixels
    pixels=$(import -window "$window" -crop 155x14+198+214 +repage -depth 8 txt:- 2>/dev/null)
    [[ ${pixels^^} == *'#000080'* ]]
}
send_over() { no_connection && status_shown; }

start_holding_smbd || fail "smbd did not listen on 127.0.0.1:139"
start_session_bus "$scratch" "$scratch/dbus.log" "$scratch/atspi.log"
start_desktop || fail "no desktop"
"$binary" &
app=$!
wait_until 20 find_main_window || fail "the window did not appear"
window=$(find_main_window)
wait_until 5 is_viewable "$window" || fail "the window is not shown"
window_origin "$window"

send_in_window "$window" 127.0.0.1 uno
wait_until 10 count_is held_count 1 || fail "the message did not reach the receiver"
echo "ok: the receiver holds its reply"

grab "$scratch/before.png" || fail "cannot grab the window"
xmessage -geometry 420x340+$((origin_x - 20))+$((origin_y - 20)) -title cover cover &
cover=$!
wait_until 5 xmessage_shown || fail "the covering window did not appear"
kill "$cover" && wait "$cover" 2>/dev/null
wait_until 5 same_picture || fail "the window did not repaint what was uncovered during the send"
echo "ok: the window repaints during the send"

"$wm_message" ping "$window" || fail "the window did not answer _NET_WM_PING during the send"
echo "ok: the window answers the window manager's ping during the send"

# As a screen reader's user does: the recipient box must keep its text.
pressed=$(/usr/bin/python3 "$here/../app/inbox/atspi-inbox.py" press-keeps ENVIAR "Enviar Mensaje a:" 2>&1) ||
    fail "an AT-SPI press on ENVIAR during the send: $pressed"
echo "ok: an AT-SPI press on ENVIAR during the send is dropped"

click_at "${enviar[@]}"
click_at "${enviar[@]}"
xdotool key Return
click_at "${message_box[@]}" && xdotool type --delay 20 xyz
touch "$scratch/smb/release"
wait_until 10 count_is delivered_count 1 || fail "the held message was not delivered"
wait_until 10 send_over || fail "the send did not end"

# One more send, on purpose: any replayed click would have sent before it.
send_in_window "$window" 127.0.0.1 dos
wait_until 10 count_is delivered_count 2 || fail "the second message was not delivered"
wait_until 10 send_over || fail "the send did not end"
[ "$(delivered_count)" -eq 2 ] || fail "extra messages arrived: $(delivered)"
[ "$(delivered | sort)" = $'dos\nuno' ] || fail "delivered: $(delivered)"
echo "ok: clicks and keys made during the send were dropped, not replayed"

rm -f "$scratch/smb/release"
send_in_window "$window" 127.0.0.1 tres
wait_until 10 count_is held_count 3 || fail "the third message did not reach the receiver"
"$wm_message" delete "$window" || fail "cannot send WM_DELETE_WINDOW"
wait_until 3 app_ended || fail "closing the window during a send did not end the program ($(ps -o stat= -p "$app"), held $(held_count), delivered $(delivered_count))"
wait "$app"
status=$?
app=
[ "$status" -eq 0 ] || fail "the program ended with status $status"
echo "ok: closing the window during a send ends the program at once"
