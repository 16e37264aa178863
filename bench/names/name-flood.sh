#!/usr/bin/env bash
# vorelind's name service under a query flood: from one address, 5,000 queries a second for its
# computer name; from another address, ordinary B-node lookups (nmblookup, with its own tries)
# one after the other while the flood lasts. Reports the share of lookups answered and the
# answers the flood drew, beside nmbd under the same flood. Runs on a LAN made here: two
# network namespaces joined by a veth pair,
# vorelind in one (10.79.0.1), the flood (10.79.0.3) and the lookups (10.79.0.2) in the other.
# Nothing leaves the namespaces; both are removed on exit.
#
# Usage: name-flood.sh VORELIND [SECONDS [LOOKUPS]]   (defaults 20 s, at most 40 lookups)
# Exit: 0 measured, 1 failed, 77 skipped (no namespaces here). Targets are reported, not enforced.
set -uo pipefail

vorelind=${1:?usage: $0 VORELIND [SECONDS [LOOKUPS]]}
seconds=${2:-20}
lookups=${3:-40}
rate=5000
budget=100 # the service's answers a second (NameHolder's answersPerSecond)

source "$(dirname "$0")/../../tests/support/netns.sh"
require_netns
tool nmblookup nmblookup samba-common-bin
tool nmbd nmbd samba
tool python python3 python3
built "$vorelind"

tag=$(printf '%04x%04x' $$ $RANDOM)
srv=vrl-fsrv-$tag
cli=vrl-fcli-$tag

lan_pair "$srv" "$cli" "$tag"
set -e
ip -n "$cli" addr add 10.79.0.3/24 dev vc$tag
work=$(mktemp -d /tmp/vorelin-flood.XXXXXX)
mkdir -p "$work"/{state,run,client}
samba_client "$work/client.conf" 10.79.0.2 "name resolve order = bcast"
set +e

# lookup: 0 when a broadcast query from the lookups' address is answered by the server.
lookup() {
    ip netns exec "$cli" timeout 10 "$nmblookup" -s "$work/client.conf" -B 10.79.0.255 \
        'PC-ANA#03' 2>/dev/null | grep -q '^10\.79\.0\.1 PC-ANA<03>$'
}

# The flood: paced in slices of 10 ms, bounded by its count and its time; counts the answers.
cat >"$work/flood.py" <<'PY'
import socket, sys, time
rate, seconds = int(sys.argv[1]), float(sys.argv[2])
from netbios import encoded
s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
s.bind(("10.79.0.3", 0))
s.setblocking(False)
sent = answers = 0
start = time.monotonic()
print("started", flush=True)
while sent < rate * seconds and time.monotonic() - start < seconds:
    due = min(rate * seconds, int((time.monotonic() - start) * rate) + rate // 100)
    while sent < due:
        query = (sent & 0xFFFF).to_bytes(2, "big") + bytes.fromhex("01100001000000000000")
        try:
            s.sendto(query + encoded("PC-ANA") + bytes.fromhex("00200001"), ("10.79.0.1", 137))
        except BlockingIOError:
            break
        sent += 1
    try:
        while True:
            s.recv(1024)
            answers += 1
    except BlockingIOError:
        pass
    time.sleep(0.01)
elapsed = time.monotonic() - start
end = time.monotonic() + 1
while time.monotonic() < end:
    try:
        s.recv(1024)
        answers += 1
    except BlockingIOError:
        time.sleep(0.01)
print(f"sent {sent} answers {answers} seconds {elapsed:.2f}", flush=True)
PY

# measure WHO LOG: awaits the server's first answer, floods it while the lookups run, and sets
# sent, answers, elapsed, tried and answered.
measure() {
    local who=$1 log=$2 i answering= flood
    for i in $(seq 1 100); do
        lookup && { answering=1; break; }
        sleep 0.2
    done
    [ -n "$answering" ] || { echo "FAIL: $who does not answer for PC-ANA<03>"; tail "$log"; exit 1; }
    ip netns exec "$cli" timeout $((seconds + 10)) "$python" "$work/flood.py" "$rate" "$seconds" \
        >"$work/flood.out" &
    flood=$!
    pids+=($flood)
    for i in $(seq 1 100); do
        grep -q started "$work/flood.out" && break
        sleep 0.05
    done
    tried=0
    answered=0
    while [ "$tried" -lt "$lookups" ] && kill -0 "$flood" 2>/dev/null && ! grep -q '^sent' "$work/flood.out"; do
        tried=$((tried + 1))
        lookup && answered=$((answered + 1))
        # An ordinary host's pace, two lookups a second: within its own answer budget, so
        # what is measured is whether the flood takes its answers.
        sleep 0.5
    done
    wait "$flood"
    sent=
    read -r _ sent _ answers _ elapsed < <(grep '^sent' "$work/flood.out")
    if [ -z "${sent:-}" ] || [ "$tried" -eq 0 ]; then
        echo "FAIL: the flood or the lookups did not run against $who: $(cat "$work/flood.out")"
        exit 1
    fi
}
share() { awk -v a="$answered" -v t="$tried" 'BEGIN { printf "%.1f", 100 * a / t }'; }
met() { awk "BEGIN { exit !($1) }" && echo met || echo "NOT met"; }

# nmbd first, as the anchor: what lookups get from Samba under the same flood.
samba_host "$work/samba" PC-ANA 10.79.0.1 "workgroup = VTEST" "wins support = no"
ip netns exec "$srv" "$nmbd" -F --debug-stdout -s "$work/samba/smb.conf" >"$work/nmbd.log" 2>&1 &
nmbd_pid=$!
pids+=($nmbd_pid)
measure nmbd "$work/nmbd.log"
anchor_share=$(share)
anchor_tried=$tried
kill -TERM "$nmbd_pid"
for i in $(seq 1 100); do kill -0 "$nmbd_pid" 2>/dev/null || break; sleep 0.1; done

ip netns exec "$srv" "$vorelind" --bind 10.79.0.1 --session-port 139 --name-port 137 \
    --state-dir "$work/state" --runtime-dir "$work/run" --computer-name PC-ANA \
    --messages-per-minute 0 >"$work/vorelind.log" 2>&1 &
pids+=($!)
measure vorelind "$work/vorelind.log"

per_second=$(awk -v a="$answers" -v s="$elapsed" 'BEGIN { printf "%.1f", a / s }')
# Bounded: the service's rate for the flood's time, plus one second's burst.
bound=$(awk -v s="$elapsed" -v b="$budget" 'BEGIN { printf "%d", b * (s + 1) }')
echo "name flood  $sent queries from 10.79.0.3 in $elapsed s ($rate/s asked); $tried lookups by nmblookup from 10.79.0.2"
echo "            nmbd under the same flood: $anchor_share % of $anchor_tried lookups answered"
printf '            %-40s %8s %%  (target: at least 95 %%: %s)\n' \
    "lookups answered within their tries" "$(share)" "$(met "$(share) >= 95")"
printf '            %-40s %8s    (%s/s; target: at most %d: %s)\n' \
    "answers drawn by the flood" "$answers" "$per_second" "$bound" "$(met "$answers <= $bound")"
