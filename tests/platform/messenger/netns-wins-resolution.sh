#!/usr/bin/env bash
# H-node name resolution against a real nmbd as the WINS server. Two subnets joined by a router
# namespace: on 10.85.1.0/24 the WINS server (nmbd, wins support) and NEARPC (nmbd registered
# with WINS, smbd); on 10.85.2.0/24 the real vorelin-send and FARTWO (nmbd and smbd, broadcast
# only). Everything stays inside the namespaces, which are removed on exit.
#
# Usage: netns-wins-resolution.sh VORELIN_SEND
# Exit: 0 passed, 1 failed, 77 skipped (not root, namespaces not permitted).
set -uo pipefail

send_bin=${1:?usage: $0 VORELIN_SEND}

source "$(dirname "$0")/../../support/netns.sh"
require_netns
nmbd=$(PATH=/usr/sbin:/sbin:$PATH command -v nmbd) || missing "nmbd (samba) is not installed"
smbd=$(PATH=/usr/sbin:/sbin:$PATH command -v smbd) || missing "smbd (samba) is not installed"
nmblookup=$(command -v nmblookup) || missing "nmblookup (samba-common-bin) is not installed"
[ -x "$send_bin" ] || missing "$send_bin is not built"

tag=$(printf '%04x%04x' $$ $RANDOM)
wins=wins-$tag
near=near-$tag
far=far-$tag
far2=far2-$tag
work=
pids=()

cleanup() {
    local pid
    for pid in "${pids[@]}"; do kill -TERM "$pid" 2>/dev/null; done
    for _ in $(seq 1 100); do
        local alive=0
        for pid in "${pids[@]}"; do kill -0 "$pid" 2>/dev/null && alive=1; done
        [ "$alive" = 0 ] && break
        sleep 0.1
    done
    for pid in "${pids[@]}"; do kill -KILL "$pid" 2>/dev/null; done
    routed_network_cleanup
    [ -n "$work" ] && rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 1' INT TERM HUP

routed_network "$tag"
set -e
routed_host "$wins" 1 1
routed_host "$near" 1 2
routed_host "$far" 2 2
routed_host "$far2" 2 3
set +e

work=$(mktemp -d /tmp/vorelin-wins.XXXXXX)
chmod 755 "$work"
mkdir -p "$work/messages" "$work/tmp"
chmod 1777 "$work/messages" "$work/tmp"
cat >"$work/deliver" <<EOF
#!/bin/sh
/bin/mv "\$1" "$work/messages/\$2-\${1##*/}"
EOF
chmod 755 "$work/deliver"

receiver=("server role = standalone server" "smb ports = 139" "server min protocol = NT1"
    "load printers = no" "printing = bsd" "printcap name = /dev/null" "disable spoolss = yes"
    "map to guest = bad user" "guest account = nobody" "message command = $work/deliver %s %f")
samba_host "$work/wins" WINSSRV 10.85.1.1 "workgroup = H5WG" "wins support = yes"
samba_host "$work/near" NEARPC 10.85.1.2 "workgroup = H5WG" "wins server = 10.85.1.1" \
    "passdb backend = tdbsam:$work/near/private/passdb.tdb" "${receiver[@]}"
samba_host "$work/far2" FARTWO 10.85.2.3 "workgroup = H5WG" \
    "passdb backend = tdbsam:$work/far2/private/passdb.tdb" "${receiver[@]}"
samba_host "$work/client" FARCLI 10.85.2.2 "wins server = 10.85.1.1" \
    "name resolve order = wins bcast"

# start NAMESPACE PROGRAM DIR: a Samba daemon in the foreground, its PID kept.
start() {
    ip netns exec "$1" env TMPDIR="$work/tmp" "$2" -F --debug-stdout -d 3 -s "$3/smb.conf" \
        </dev/null >"$3/$(basename "$2").out" 2>&1 &
    pids+=($!)
}
start "$wins" "$nmbd" "$work/wins"
start "$near" "$nmbd" "$work/near"
start "$near" "$smbd" "$work/near"
start "$far2" "$nmbd" "$work/far2"
start "$far2" "$smbd" "$work/far2"

# await WHAT ARGS...: nmblookup from the far side until it prints WHAT (60 s at most).
await() {
    local want=$1
    shift
    for _ in $(seq 1 120); do
        ip netns exec "$far" timeout 5 "$nmblookup" -s "$work/client/smb.conf" "$@" 2>/dev/null |
            grep -q "^$want" && return 0
        sleep 0.5
    done
    echo "FAIL: never saw '$want' from nmblookup $*"
    tail -n 30 "$work"/*/nmbd.out
    exit 1
}
await "10.85.1.2 NEARPC<03>" -U 10.85.1.1 --recursion 'NEARPC#03'
await "10.85.2.3 FARTWO<03>" -B 10.85.2.255 'FARTWO#03'

failures=0
fail() {
    echo "FAIL: $*"
    failures=$((failures + 1))
}

# send CONFIG EXIT CODE ARGS...: vorelin-send on the far side with CONFIG as its vorelin.conf.
send() {
    local config=$1 want_exit=$2 want_code=$3
    shift 3
    printf '%b' "$config\nsamba-config =\nsamba-dhcp-config =\n" >"$work/vorelin.conf"
    local out status
    out=$(ip netns exec "$far" env VORELIN_CONFIG="$work/vorelin.conf" timeout 30 \
        "$send_bin" "$@" 2>&1)
    status=$?
    echo "  vorelin-send $* -> exit $status: $out"
    [ "$status" = "$want_exit" ] || fail "vorelin-send $* exited $status, expected $want_exit"
    case "$out" in
    *"($want_code)"*) ;;
    *) fail "vorelin-send $* did not report ($want_code)" ;;
    esac
}

# arrives TEXT: the message file with exactly TEXT, from TESTER, arrives.
arrives() {
    local file
    for _ in $(seq 1 100); do
        for file in "$work"/messages/TESTER-*; do
            [ -f "$file" ] || continue
            if [ "$(cat "$file")" = "$1" ]; then
                rm -f "$file"
                return 0
            fi
        done
        sleep 0.2
    done
    fail "no message \"$1\" arrived; messages: $(ls "$work/messages")"
}

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
for _ in $(seq 1 100); do [ -f "$work/probe.ready" ] && break; sleep 0.1; done
send "workgroup = h5wg" 0 0 -f TESTER '*' "hello all"
wait "$probe"
if [ -f "$work/probe.dgram" ]; then
    python3 - "$work/probe.dgram" <<'PY' || fail "the workgroup datagram is not as sent"
import sys
d = open(sys.argv[1], "rb").read()
def enc(name, suffix):
    raw = name.ljust(15).encode() + bytes([suffix])
    return b" " + bytes(c for b in raw for c in (0x41 + (b >> 4), 0x41 + (b & 15))) + b"\0"
assert d[0] == 0x11 and d[4:8] == bytes([10, 85, 2, 2]), d[:14]
assert d[48:82] == enc("H5WG", 0), d[48:82]
assert d.endswith(b"TESTER\0H5WG\0hello all\0"), d[-40:]
PY
else
    fail "no workgroup datagram reached the segment"
fi

if [ "$failures" -ne 0 ]; then
    for d in wins near far2; do
        echo "--- $d"
        tail -n 20 "$work/$d/nmbd.out"
    done
    exit 1
fi
echo "PASS"
