#!/usr/bin/env bash
# WINS against a real nmbd as the server. Two subnets joined by a router namespace: on
# 10.85.1.0/24 the WINS server (nmbd, wins support) and NEARPC (nmbd registered with WINS,
# smbd); on 10.85.2.0/24 the real vorelin-send and vorelind (FARPC) on one host, and FARTWO
# (nmbd and smbd, broadcast only) on another. The sender's H-node lookups and workgroup
# messages, then vorelind's registration, refresh, defence and release, checked by what the
# server answers. Then the window itself, under Xvfb on the far host: to NEARV, a vorelind on
# 10.85.1.3 known only to WINS, and to the workgroup, read back with vorelin-recv.
# Everything stays inside the namespaces, which are removed on exit.
#
# Usage: netns-wins-resolution.sh VORELIN_SEND VORELIND VORELIN VORELIN_RECV
# Exit: 0 passed, 1 failed, 77 skipped (not root, namespaces not permitted).
set -uo pipefail

send_bin=${1:?usage: $0 VORELIN_SEND VORELIND VORELIN VORELIN_RECV}
vorelind=${2:?usage: $0 VORELIN_SEND VORELIND VORELIN VORELIN_RECV}
window_bin=${3:?usage: $0 VORELIN_SEND VORELIND VORELIN VORELIN_RECV}
recv_bin=${4:?usage: $0 VORELIN_SEND VORELIND VORELIN VORELIN_RECV}

source "$(dirname "$0")/../../support/netns.sh"
require_netns
tool nmbd nmbd samba
tool smbd smbd samba
tool nmblookup nmblookup samba-common-bin
built "$send_bin" "$vorelind" "$window_bin" "$recv_bin"
support=$(cd "$(dirname "$0")/../../support" && pwd)
source "$support/desktop.sh"
[ -z "$(desktop_missing_tools)" ] || missing "$(desktop_missing_tools)"

tag=$(printf '%04x%04x' $$ $RANDOM)
wins=wins-$tag
near=near-$tag
far=far-$tag
far2=far2-$tag
nearv=nearv-$tag

routed_network "$tag"
set -e
routed_host "$wins" 1 1
routed_host "$near" 1 2
routed_host "$far" 2 2
routed_host "$far2" 2 3
routed_host "$nearv" 1 3
set +e

work=$(mktemp -d /tmp/vorelin-wins.XXXXXX)
message_drop "$work"
samba_host "$work/wins" WINSSRV 10.85.1.1 "workgroup = H5WG" "wins support = yes"
samba_receiver "$work/near" NEARPC 10.85.1.2 "workgroup = H5WG" "wins server = 10.85.1.1"
samba_receiver "$work/far2" FARTWO 10.85.2.3 "workgroup = H5WG"
samba_host "$work/client" FARCLI 10.85.2.2 "wins server = 10.85.1.1" \
    "name resolve order = wins bcast"

samba_start "$wins" "$nmbd" "$work/wins"
samba_start "$near" "$nmbd" "$work/near"
samba_start "$near" "$smbd" "$work/near"
samba_start "$far2" "$nmbd" "$work/far2"
samba_start "$far2" "$smbd" "$work/far2"

# far_sees WHAT ARGS...: nmblookup from the far side until it prints WHAT.
far_sees() { await_nmb "$far" "$work/client/smb.conf" "$@"; }
far_sees "10.85.1.2 NEARPC<03>" -U 10.85.1.1 --recursion 'NEARPC#03'
far_sees "10.85.2.3 FARTWO<03>" -B 10.85.2.255 'FARTWO#03'

# conf FILE LINES: $work/FILE, a vorelin.conf of LINES (with \n) that reads no Samba configuration.
conf() { printf '%b' "$2\nsamba-config =\nsamba-dhcp-config =\n" >"$work/$1"; }

# send CONFIG EXIT CODE ARGS...: vorelin-send on the far side with CONFIG as its vorelin.conf.
send() {
    local config=$1 want_exit=$2 want_code=$3
    shift 3
    conf vorelin.conf "$config"
    check_send "$want_exit" "$want_code" ip netns exec "$far" \
        env VORELIN_CONFIG="$work/vorelin.conf" timeout 30 "$send_bin" "$@"
}

# arrives TEXT: the message with exactly TEXT, from TESTER, arrives.
arrives() { wait_for_message "$work" "$1" TESTER; }

echo "broadcast only: the name behind the router is out of reach"
send "node-type = b\nwins-server = 10.85.1.1" 1 2273 -f TESTER nearpc "lost"

echo "a name held only in WINS, across the router"
send "wins-server = 10.85.1.1" 0 0 -f TESTER nearpc "via wins $tag"
arrives "via wins $tag"

echo "the same from the command line"
send "" 0 0 --wins-server 10.85.1.1 -f TESTER nearpc "via option $tag"
arrives "via option $tag"

echo "WINS says no such name: the local broadcast finds it"
send "wins-server = 10.85.1.1" 0 0 -f TESTER fartwo "after nam_err $tag"
arrives "after nam_err $tag"

echo "a dead WINS server first: the next one answers"
send "wins-server = 10.85.1.77 10.85.1.1" 0 0 -f TESTER nearpc "second server $tag"
arrives "second server $tag"

echo "only a dead WINS server: broadcast after its tries, within the send limit"
send "wins-server = 10.85.1.77" 0 0 -f TESTER fartwo "dead wins $tag"
arrives "dead wins $tag"

echo "a workgroup message (bare *): one datagram to H5WG<00> on the segment, beside nmbd"
# The probe binds UDP 138 with address reuse beside FARTWO's nmbd and keeps the first
# messenger mailslot datagram.
rm -f "$work/probe.ready"
ip netns exec "$far2" timeout 30 python3 - "$work" <<'PY' &
import socket, sys
work = sys.argv[1]
s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
s.bind(("0.0.0.0", 138))
s.settimeout(25)
open(work + "/probe.ready", "w").close()
for _ in range(100):
    data, peer = s.recvfrom(2048)
    if b"\\MAILSLOT\\MESSNGR\0" in data:
        open(work + "/probe.dgram", "wb").write(data)
        break
PY
probe=$!
await "the probe did not bind UDP 138" test -f "$work/probe.ready"
send "workgroup = h5wg" 0 0 -f TESTER '*' "hello all"
wait "$probe"
if [ -f "$work/probe.dgram" ]; then
    python3 - "$work/probe.dgram" <<'PY' || fail "the workgroup datagram is not as sent"
import sys
d = open(sys.argv[1], "rb").read()
from netbios import encoded
assert d[0] == 0x11 and d[4:8] == bytes([10, 85, 2, 2]), d[:14]
assert d[48:82] == encoded("H5WG", 0), d[48:82]
assert d.endswith(b"TESTER\0H5WG\0hello all\0"), d[-40:]
PY
else
    fail "no workgroup datagram reached the segment"
fi

# wins_ttl NAME: the TTL the WINS server gives for NAME<03> (a unicast query with RD from the
# far host), or "none" for a negative answer.
wins_ttl() {
    ip netns exec "$far" timeout 5 python3 - "$1" <<'PY'
import socket, struct, sys
from netbios import encoded
s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
s.settimeout(1.5)
query = struct.pack(">HHHHHH", 0x5151, 0x0100, 1, 0, 0, 0) + encoded(sys.argv[1]) + b"\0\x20\0\x01"
for _ in range(3):
    s.sendto(query, ("10.85.1.1", 137))
    try:
        reply = s.recv(600)
    except socket.timeout:
        continue
    if reply[:2] == b"\x51\x51":
        print("none" if reply[3] & 0x0F else struct.unpack(">I", reply[50:54])[0])
        sys.exit(0)
sys.exit(1)
PY
}

# claim_from_far2 NAME: registers NAME<03> for 10.85.2.3 as another WINS client would, and
# prints the final answer's flags word (after any WACK); the server needs about 21 s when
# nobody defends the name.
claim_from_far2() {
    ip netns exec "$far2" timeout 40 python3 - "$1" <<'PY'
import socket, struct, sys
from netbios import encoded
s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
s.settimeout(35)
request = (struct.pack(">HHHHHH", 0x5252, 0x2900, 1, 0, 0, 1) + encoded(sys.argv[1]) +
           b"\0\x20\0\x01\xc0\x0c\0\x20\0\x01" + struct.pack(">IH", 300000, 6) +
           b"\x60\0" + bytes([10, 85, 2, 3]))
s.sendto(request, ("10.85.1.1", 137))
while True:
    reply = s.recv(600)
    if reply[:2] == b"\x52\x52" and reply[2:4] != b"\xbc\x00":
        print("%02x%02x" % (reply[2], reply[3]))
        break
PY
}
wins_holds() {
    local ttl
    ttl=$(wins_ttl "$1")
    [ -n "$ttl" ] && [ "$ttl" != none ]
}
wins_released() { [ "$(wins_ttl "$1")" = none ]; }
# wins_gives NAME ADDRESS: nmblookup at the WINS server gives NAME<03> at ADDRESS.
wins_gives() {
    ip netns exec "$far" timeout 5 "$nmblookup" -s "$work/client/smb.conf" -U 10.85.1.1 \
        --recursion "$1#03" 2>/dev/null | grep -q "^${2//./\\.} $1<03>"
}
# refreshed: the TTL the server gives for FARPC<03> has fallen by the second and risen again.
fell=0
refreshed() {
    case "$(wins_ttl FARPC)" in
    300000) [ "$fell" = 1 ] ;;
    '' | none) return 1 ;;
    *) fell=1 && return 1 ;;
    esac
}

# vorelind_in NS ID CONFIG ARGS...: vorelind in NS with $work/CONFIG, its folders stateID and
# runID, its log vorelindID.log; its pid last in pids.
vorelind_in() {
    local ns=$1 id=$2 config=$3
    shift 3
    mkdir -p "$work/state$id" "$work/run$id"
    ip netns exec "$ns" env VORELIN_CONFIG="$work/$config" "$vorelind" --state-dir "$work/state$id" \
        --runtime-dir "$work/run$id" "$@" >"$work/vorelind$id.log" 2>&1 &
    pids+=($!)
}

echo "vorelind registers FARPC with the WINS server, refreshes it and defends it"
conf vorelind-net.conf 'workgroup = H5WG\nwins-server = 10.85.1.1'
conf vorelind-off.conf 'workgroup = H5WG\nworkgroup-messages = no'
vorelind_in "$far" "" vorelind-net.conf --bind 10.85.2.2 --session-port 139 --name-port 137 \
    --datagram-port 138 --computer-name FARPC --wins-refresh-interval 2s
daemon=${pids[-1]}
# A second one beside FARTWO's nmbd and smbd: workgroup messages only, besides a session port
# smbd does not hold.
vorelind_in "$far2" 2 vorelind-net.conf --bind 10.85.2.3 --session-port 1139 --datagram-port 138 \
    --computer-name FARTWOV
# A third there with workgroup messages turned off: it must not take them.
vorelind_in "$far2" 4 vorelind-off.conf --bind 10.85.2.3 --session-port 2139 --datagram-port 138 \
    --computer-name FARTWOX
# NEARV, across the router from the window: only WINS knows it.
vorelind_in "$nearv" 5 vorelind-net.conf --bind 10.85.1.3 --session-port 139 --name-port 137 \
    --computer-name NEARV
await "FARPC<03> never reached the WINS server" wins_holds FARPC
wins_gives FARPC 10.85.2.2 || fail "nmblookup at the server does not give FARPC<03> at 10.85.2.2"
await "the server's TTL for FARPC<03> never rose again (no refresh)" refreshed
answer=$(claim_from_far2 FARPC)
[ "$answer" = ad86 ] || fail "another host's claim of FARPC<03> got $answer, expected ACT_ERR (ad86)"

echo "a workgroup message reaches both vorelind, one beside nmbd; copies and forgeries do not"
for log in vorelind.log vorelind2.log vorelind4.log; do
    await "$log: vorelind is not listening" grep -q 'listening as' "$work/$log"
done
ip netns exec "$far2" env VORELIN_CONFIG="$work/vorelind-net.conf" timeout 30 "$send_bin" \
    -f TESTER 'h5wg*' "to all $tag" >/dev/null 2>&1 || fail "vorelin-send H5WG* failed"
# The captured datagram, sent twice, and as a fragment and to another mailslot: one message.
ip netns exec "$far2" timeout 10 python3 - <<'PY'
import socket
d = bytes.fromhex(
    "110e20010a550102008a00c50000204544454d454a4546454f46454542434143414341434143414341434143"
    "4141410020454944464648454843414341434143414341434143414341434143414341414100ff534d422500"
    "0000001804000000000000000000000000000000fffe00000000110000290002000000000002000000000000"
    "00000058002900580003000100000002003c005c4d41494c534c4f545c4d4553534e47520000414c49434500"
    "483557470048656c6c6f20776f726b67726f75702028746f20483557473c30303e2900")
s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
s.setsockopt(socket.SOL_SOCKET, socket.SO_BROADCAST, 1)
for datagram in (d, d, d[:1] + b"\x0f" + d[2:], d[:0xa0] + b"B" + d[0xa1:]):
    s.sendto(datagram, ("10.85.2.255", 138))
PY
for log in vorelind.log vorelind2.log; do
    await "$log: no workgroup message from vorelin-send" grep -q \
        "message from=TESTER machine=[^ ]* address=10.85.2.3 to=H5WG\* .*outcome=delivered" "$work/$log"
    await "$log: none of the copies came through" grep -q 'message from=ALICE .*to=H5WG\*' "$work/$log"
    [ "$(grep -c 'message from=ALICE ' "$work/$log")" = 1 ] ||
        fail "$log: the copies and forgeries made $(grep -c 'message from=ALICE ' "$work/$log") messages, not 1"
done
# Checked after the later forgeries reached the others: had it listened, it would have logged.
grep -q 'to=H5WG\*' "$work/vorelind4.log" && fail "vorelind4.log: workgroup-messages = no took one"
kill -0 "${pids[3]}" 2>/dev/null || fail "FARTWO's nmbd did not survive beside vorelind"
far_sees "10.85.2.3 FARTWO<03>" -B 10.85.2.255 'FARTWO#03'

echo "the window on the far subnet: to NEARV through WINS, then to H5WG*"
await "NEARV<03> never reached the WINS server" wins_holds NEARV
# The window is typed into and clicked as a user would; each send must be read back from the
# inboxes before the next, as the window drops input while it sends.
cat >"$work/window.sh" <<'SH'
set -u
source "$SUPPORT/desktop.sh"
start_desktop || exit 1
"$WINDOW" >"$WORK/window.out" 2>&1 &
app=$!
trap 'kill $app; stop_desktop' EXIT
wait_until 30 find_main_window || { echo "FAIL: the window did not appear"; exit 1; }
window=$(find_main_window)
# read_back TEXT RUN-DIR...: vorelin-recv of each RUN-DIR until TEXT is in it (20 s at most).
received() {
    "$RECV" --once --json --socket "$2/inbox.socket" >>"$2/recv.json" 2>&1
    grep -qF "\"text\":\"$1\"" "$2/recv.json"
}
read_back() {
    local run
    for run in "${@:2}"; do
        wait_until 20 received "$1" "$run" ||
            { echo "FAIL: \"$1\" from the window not in $run: $(cat "$run/recv.json")"; return 1; }
    done
}
send_in_window "$window" nearv "Por WINS $TAG" && read_back "Por WINS $TAG" "$WORK/run5" || exit 1
send_in_window "$window" 'h5wg*' "Al grupo $TAG" && read_back "Al grupo $TAG" "$WORK/run" "$WORK/run2"
SH
mkdir -p "$work/xdg/config" "$work/xdg/runtime"
chmod 700 "$work/xdg/runtime"
ip netns exec "$far" env VORELIN_CONFIG="$work/vorelind-net.conf" SUPPORT="$support" WORK="$work" \
    TAG="$tag" WINDOW="$window_bin" RECV="$recv_bin" XDG_CONFIG_HOME="$work/xdg/config" \
    XDG_RUNTIME_DIR="$work/xdg/runtime" timeout 120 \
    xvfb-run -a -s "-screen 0 1024x768x24 -nolisten tcp -noreset" bash "$work/window.sh" >"$work/window.log" 2>&1 ||
    fail "the window's messages: $(cat "$work/window.log" "$work/window.out" 2>/dev/null)"
cat "$work/window.log"
grep -q "\"called\":\"NEARV\".*\"text\":\"Por WINS $tag\"" "$work/run5/recv.json" ||
    fail "the window's message did not call NEARV"
for run in run run2; do
    grep -q "\"to\":\"H5WG\*\",.*\"text\":\"Al grupo $tag\"" "$work/$run/recv.json" ||
        fail "$run: the window's workgroup message is not to H5WG*"
done

echo "nmbd starts again beside vorelind's UDP 138 socket"
stop_pids "${pids[3]}"
samba_start "$far2" "$nmbd" "$work/far2"
far_sees "10.85.2.3 FARTWO<03>" -B 10.85.2.255 'FARTWO#03'
kill -0 "${pids[-1]}" 2>/dev/null || fail "nmbd did not start beside vorelind"

echo "vorelind releases FARPC at shutdown"
kill -TERM "$daemon"
await "the server still holds FARPC<03> after vorelind stopped" wins_released FARPC
grep -q 'registered FARPC<03> at 10.85.2.2 with WINS server 10.85.1.1' "$work/vorelind.log" ||
    fail "vorelind did not log its WINS registration"
stop_pids "$daemon"

echo "a name WINS holds for a live owner is refused: vorelind goes into conflict"
vorelind_in "$far" 3 vorelind-net.conf --bind 10.85.2.2 --session-port 139 --name-port 137 \
    --computer-name NEARPC
await "vorelind was not refused NEARPC<03> by the server" \
    grep -q 'WINS server 10.85.1.1 refused NEARPC<03> (rcode 6)' "$work/vorelind3.log"
wins_gives NEARPC 10.85.1.2 || fail "the server no longer gives NEARPC<03> at its owner's address"
kill -TERM "${pids[-1]}"

finish "$work/vorelind.log" "$work"/{wins,near,far2}/nmbd.out
