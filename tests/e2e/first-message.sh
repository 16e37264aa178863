#!/usr/bin/env bash
# A newcomer's first message: scripts/start (what scripts/run ends with) brings up the window
# and a private receiver on ports 139 and 137; a message typed in the window to 127.0.0.1 and
# one to this computer's name pop up in the inbox (read through AT-SPI); closing the window
# leaves no vorelind or vorelin-inbox running and no folder behind. Where the messenger
# service is running, it starts the window alone; where Samba's nmbd holds UDP 137, the
# receiver takes TCP 139 alone and a message to the computer name reaches it through nmbd.
# Runs in network and mount namespaces of its own: a dummy LAN, so that the receiver's name
# registrations and the window's name queries stay inside, and a /run of its own, where a
# vorelind stands in for the installed service.
# Usage: first-message.sh SCRIPTS-START BUILD-DIR WM-MESSAGE
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
source "$here/../support/netns.sh"
source "$here/../support/desktop.sh"

readonly skip=77
start=${1:?usage: first-message.sh SCRIPTS-START BUILD-DIR WM-MESSAGE}
build=${2:?} wm_message=${3:?}
atspi=(/usr/bin/python3 "$here/../app/inbox/atspi-inbox.py")

if [ "${VORELIN_E2E_NETNS:-}" != 1 ]; then
    need_desktop dbus-daemon dunst /usr/libexec/at-spi-bus-launcher unshare ip ss \
        systemd-socket-activate setpriv nmbd nmblookup pyatspi
    unshare -n -m true 2>/dev/null || { echo "SKIP: needs CAP_NET_ADMIN and CAP_SYS_ADMIN for namespaces of its own"; exit $skip; }
    VORELIN_E2E_NETNS=1 exec unshare -n -m --propagation private "$0" "$@"
fi
if [ "${VORELIN_E2E_DISPLAY:-}" != 1 ]; then
    ip link set lo up || { echo "FAIL: no loopback in the namespace"; exit 1; }
    mount -t tmpfs -o mode=755 tmpfs /run || { echo "FAIL: cannot mount a /run of its own"; exit 1; }
    # A LAN with a broadcast address: a dummy interface, or else a veth pair with both ends here.
    if ! ip link add vfirst0 type dummy 2>/dev/null; then
        ip link add vfirst0 type veth peer name vfirst1 || { echo "SKIP: cannot make an interface in the namespace"; exit $skip; }
        ip link set vfirst1 up
    fi
    ip addr add 10.81.0.1/24 brd + dev vfirst0 && ip link set vfirst0 up ||
        { echo "FAIL: cannot set up the namespace's LAN"; exit 1; }
    under_xvfb "$0" "$@"
fi

scratch_home
export TMPDIR="$scratch/tmp"
mkdir -p "$TMPDIR"
started=
cleanup() {
    local pid
    [ -n "$started" ] && kill "$started" 2>/dev/null && wait "$started" 2>/dev/null
    # Whatever a failed start-up left behind in this namespace.
    for pid in $(ours vorelind) $(ours vorelin-inbox); do kill "$pid" 2>/dev/null; done
    desktop_exit
}
trap cleanup EXIT

fail() {
    echo "FAIL: $*"
    echo "--- scripts/start:"
    cat "$scratch/start.out"
    exit 1
}

# --- A private session: bus, accessibility bus, notification server ---------------------

start_session_bus "$scratch" /dev/null /dev/null
start_desktop || fail "no desktop"
start_notifications /dev/null

# --- The start-up path ------------------------------------------------------------------

# Processes of this namespace by program name: what the start-up path runs, and nothing else.
ours() {
    local ns pid
    ns=$(readlink /proc/self/ns/net)
    for pid in $(pgrep -x "$1"); do
        [ "$(readlink "/proc/$pid/ns/net" 2>/dev/null)" = "$ns" ] && echo "$pid"
    done
}
running() { [ -n "$(ours "$1")" ]; }

# --- Where the service runs: the window alone --------------------------------------------

mkdir -p /run/vorelin "$scratch/service"
"$build/service/vorelind" --bind 127.0.0.1 --session-port 1139 --state-dir "$scratch/service" \
    --runtime-dir /run/vorelin 2>/dev/null &
service=$!
pids+=($service)
wait_until 10 test -S /run/vorelin/inbox.socket || fail "the stand-in service did not start"
"$start" "$build" >"$scratch/start.out" 2>&1 &
started=$!
wait_until 20 find_main_window || fail "the window did not appear beside the service"
window=$(find_main_window)
grep -q 'messenger service of this machine is running' "$scratch/start.out" ||
    fail "no word of the running service"
[ "$(ours vorelind)" = "$service" ] || fail "another vorelind started beside the service"
running vorelin-inbox && fail "an inbox started beside the service"
"$wm_message" delete "$window" || fail "cannot send WM_DELETE_WINDOW"
wait_until 15 bash -c "! kill -0 $started" || fail "scripts/start did not end with the window"
wait "$started" || fail "scripts/start failed beside the service"
started=
kill "$service" && wait "$service"
rm -rf /run/vorelin
echo "ok: where the service runs, only the window starts"

# --- No service: the window and a private receiver --------------------------------------

"$start" "$build" >"$scratch/start.out" 2>&1 &
started=$!
wait_until 20 find_main_window || fail "the window did not appear"
window=$(find_main_window)
wait_until 5 is_viewable "$window" || fail "the window is not shown"
wait_until 20 grep -q 'A private receiver is running' "$scratch/start.out" ||
    fail "no word of a private receiver"
running vorelind || fail "no vorelind runs"
running vorelin-inbox || fail "no vorelin-inbox runs"
[ -n "$(ss -Hltn 'sport = :139')" ] || fail "nothing listens on TCP 139"
[ -n "$(ss -Hlun 'sport = :137')" ] || fail "nothing listens on UDP 137"
echo "ok: the window and a private receiver on ports 139 and 137 came up"
cat "$scratch/start.out"

# The computer name as the receiver takes it from the host name.
name=$(uname -n | cut -d. -f1 | tr a-z A-Z | cut -c1-15)

# send_and_see RECIPIENT CALLED TEXT: types and sends it in the window, waits for its pop-up,
# which shows the name called (a pattern). An address is called by the messenger name its node
# status gives, which may be the computer name or the user's alias.
send_and_see() {
    send_in_window "$window" "$1" "$3"
    fields=$("${atspi[@]}" popup '*' "$3") || fail "no pop-up for the message to $1: $fields"
    grep -qxE "Destinatario=($2)" <<<"$fields" || fail "the pop-up for $1 shows: $fields"
    "${atspi[@]}" close-popup && "${atspi[@]}" no-popup || fail "could not close the pop-up"
    echo "ok: a message typed in the window to $1 popped up"
    echo "$fields"
}
user=$(id -un | tr a-z A-Z | cut -c1-15)
send_and_see 127.0.0.1 "127\.0\.0\.1|$name|$user" "Hola desde la ventana"
send_and_see "$name" "$name" "Hola a $name por su nombre"

# --- Closing the window ends it all -----------------------------------------------------

# close_window: scripts/start ends with the window, and with it the receiver, leaving nothing.
close_window() {
    "$wm_message" delete "$window" || fail "cannot send WM_DELETE_WINDOW"
    ended() { ! kill -0 "$started" 2>/dev/null; }
    wait_until 15 ended || fail "scripts/start did not end when the window closed"
    wait "$started"
    local status=$?
    started=
    [ "$status" -eq 0 ] || fail "scripts/start ended with status $status"
    gone() { ! running vorelind && ! running vorelin-inbox; }
    wait_until 10 gone || fail "left running: vorelind $(ours vorelind) vorelin-inbox $(ours vorelin-inbox)"
    [ -z "$(ls -A "$TMPDIR")" ] || fail "left behind: $(ls -A "$TMPDIR")"
}
close_window
echo "ok: after the window closed no vorelind or vorelin-inbox runs and the folder is gone"

# --- Beside Samba's nmbd: the receiver on TCP 139, the names left to nmbd ----------------

tool nmbd nmbd samba
# nmbd's packet socket lives under /run/samba, which this namespace's empty /run lacks.
mkdir -p /run/samba
samba_host "$scratch/samba" "$name" 10.81.0.1 "workgroup = VTEST"
"$nmbd" -F --debug-stdout -s "$scratch/samba/smb.conf" >"$scratch/nmbd.out" 2>&1 &
nmbd_pid=$!
pids+=($nmbd_pid)
nmbd_answers() {
    timeout 3 nmblookup -s "$scratch/samba/smb.conf" -U 10.81.0.1 "$name#03" 2>/dev/null |
        grep -q '^10\.81\.0\.1 '
}
# Each try may take seconds: bounded by the clock, not by the count of tries.
deadline=$((SECONDS + 30))
until nmbd_answers; do
    ((SECONDS < deadline)) && kill -0 "$nmbd_pid" 2>/dev/null ||
        fail "nmbd does not answer for $name<03>: $(tail -n 5 "$scratch/nmbd.out")"
    sleep 0.2
done

"$start" "$build" >"$scratch/start.out" 2>&1 &
started=$!
wait_until 20 find_main_window || fail "the window did not appear beside nmbd"
window=$(find_main_window)
wait_until 20 grep -q 'A private receiver is running' "$scratch/start.out" ||
    fail "no private receiver beside nmbd"
grep -q 'UDP port 137 is held by nmbd' "$scratch/start.out" || fail "no word of nmbd holding the names"
[ -n "$(ss -Hltn 'sport = :139')" ] || fail "nothing listens on TCP 139 beside nmbd"
ss -Hlunp 'sport = :137' | grep -v '"nmbd"' | grep -q . && fail "another program than nmbd holds UDP 137"
echo "ok: beside nmbd the private receiver takes TCP 139 and leaves the names to nmbd"
send_and_see "$name" "$name" "Hola a $name junto a nmbd"
close_window
kill -0 "$nmbd_pid" 2>/dev/null || fail "nmbd did not outlive the receiver"
echo "ok: beside nmbd, closing the window stops the receiver and leaves nmbd running"
exit 0
