#!/usr/bin/env bash
# vorelind holds its names on a LAN made here: two network namespaces joined by a veth pair,
# vorelind in one (10.79.0.1), real Samba tools (nmblookup, smbclient, nmbd) and vorelin-send
# in the other (10.79.0.2). Local users exist only for vorelind: its /etc/passwd is a copy with
# two more lines, bind-mounted in a mount namespace of its own. Nothing leaves the namespaces;
# both are removed on exit, whatever happens.
#
# Usage: netns-name-service.sh VORELIND VORELIN_RECV VORELIN_SEND
# Exit: 0 passed, 1 failed (also when a tool is missing), 77 skipped (no namespaces here).
set -uo pipefail

vorelind=${1:?usage: $0 VORELIND VORELIN_RECV VORELIN_SEND}
recv=${2:?}
send_bin=${3:?}

source "$(dirname "$0")/../../support/netns.sh"
require_netns
command -v unshare >/dev/null || missing "unshare (util-linux) is not installed"
command -v setpriv >/dev/null || missing "setpriv (util-linux) is not installed"
command -v systemd-socket-activate >/dev/null || missing "systemd-socket-activate (systemd) is not installed"
tool nmbd nmbd samba
tool nmblookup nmblookup samba-common-bin
tool smbclient smbclient smbclient
tool python python3 python3
built "$vorelind" "$recv" "$send_bin"

# Under the sanitizers resident memory counts their quarantine and shadow memory, which grow
# with the machine's load: the flood's memory bound holds in the plain build only.
sanitized=${VORELIN_SANITIZED:-0}

tag=$(printf '%04x%04x' $$ $RANDOM)
srv=vrl-nsrv-$tag
cli=vrl-ncli-$tag
daemon_pid=

lan_pair "$srv" "$cli" "$tag"
set -e

work=$(mktemp -d /tmp/vorelin-names.XXXXXX)
chmod 755 "$work"
mkdir -p "$work"/{state,run,client}
passwd_with "$work/passwd" ana:4101 averyveryverylongname:4102 bea:4103
samba_client "$work/client.conf" 10.79.0.2 "name resolve order = bcast"
sed -e 's#^interfaces = .*#interfaces = 127.0.0.1/8#' -e '/bind interfaces only/d' \
    "$work/client.conf" >"$work/lo.conf"
# The other machine's Samba: its computer name is ours, its alias is ana's.
samba_host "$work/samba" PC-ANA 10.79.0.2 "netbios aliases = ANA" "workgroup = VTEST" \
    "wins support = no" "log level = 3"
set +e

start_vorelind() {
    ip netns exec "$srv" unshare --mount --propagation private sh -c \
        'mount --bind "$0" /etc/passwd && exec "$@"' "$work/passwd" \
        "$vorelind" --bind 10.79.0.1 --session-port 139 --name-port 137 \
        --state-dir "$work/state" --runtime-dir "$work/run" --computer-name "$1" \
        --messages-per-minute 0 --alias-grace 3s --name-watch-interval 200ms \
        >>"$work/vorelind.log" 2>&1 &
    daemon_pid=$!
    pids+=($daemon_pid)
}
# stop_vorelind [PID...]: TERM to vorelind and the PIDs; vorelind has ended.
stop_vorelind() {
    kill -TERM "$daemon_pid" "$@"
    await "vorelind did not stop" sh -c "! kill -0 $daemon_pid 2>/dev/null"
}
# activated RUN LOG: vorelind behind two systemd-socket-activate, as the units pass the sockets:
# the inbox socket in $work/RUN and UDP 137, bound with address reuse. Each starts its child on
# first use. Its pid in daemon_pid and pids.
activated() {
    mkdir -p "$work/$1"
    ip netns exec "$srv" systemd-socket-activate -l "$work/$1/inbox.socket" --fdname=inbox \
        systemd-socket-activate -d -l 0.0.0.0:137 --fdname=inbox:names \
        "$vorelind" --state-dir "$work/state" --computer-name PC-ANA >"$work/$2" 2>&1 &
    daemon_pid=$!
    pids+=($daemon_pid)
    await "no inbox socket" test -S "$work/$1/inbox.socket"
}
# sends ARGS...: vorelin-send ARGS from the client side as BOB succeeds.
sends() {
    local out
    out=$(ip netns exec "$cli" timeout 30 "$send_bin" -f BOB "$@" 2>&1) || fail "vorelin-send $*: $out"
}
# node_status CONF ADDRESS: what nmblookup -A prints for ADDRESS.
node_status() { ip netns exec "$cli" timeout 10 "$nmblookup" -s "$work/$1" -A "$2" 2>&1; }

# lookup NAME: the addresses that answer a broadcast query from the client side.
lookup() {
    ip netns exec "$cli" timeout 10 "$nmblookup" -s "$work/client.conf" -B 10.79.0.255 "$1" \
        2>/dev/null | sed -n 's/^\([0-9.]*\) .*<..>$/\1/p'
}

# answerers NAME: who answers one broadcast query for NAME from the client side within 1.5 s,
# told apart by the TTL vorelind gives (nmbd answers from several sockets, and one address).
answerers() {
    ip netns exec "$cli" timeout 10 "$python" - "$1" <<'EOF'
import socket, struct, sys, time
from netbios import encoded
name, suffix = sys.argv[1].split("#")
s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
s.setsockopt(socket.SOL_SOCKET, socket.SO_BROADCAST, 1)
s.bind(("10.79.0.2", 0))
s.sendto(bytes.fromhex("424201100001000000000000") + encoded(name, int(suffix, 16)) + bytes.fromhex("00200001"),
         ("10.79.0.255", 137))
seen, end = set(), time.monotonic() + 1.5
while time.monotonic() < end:
    s.settimeout(max(0.01, end - time.monotonic()))
    try:
        reply = s.recv(1024)
    except socket.timeout:
        break
    if len(reply) >= 54 and reply[:2] == b"\x42\x42" and reply[2] & 0x80 and reply[3] & 0x0F == 0:
        seen.add("vorelind" if struct.unpack(">I", reply[50:54])[0] == 300000 else "other")
print("+".join(sorted(seen)) or "none")
EOF
}
answered_by() { [ "$(lookup "$1")" = "$2" ]; }
# only_by NAME WHO: one broadcast query for NAME is answered by WHO alone (vorelind, other, none).
only_by() {
    local who
    who=$(answerers "$1")
    [ "$who" = "$2" ] || fail "$1 answered by $who, not by $2 alone"
}
unanswered() { [ -z "$(lookup "$1")" ]; }
logged() { grep -qs -- "$2" "$1"; }

# client USER_ID OUTPUT: vorelin-recv --json as that user, beside vorelind; its pid in $!.
client() {
    ip netns exec "$srv" setpriv --reuid="$1" --regid="$1" --clear-groups \
        "$recv" --json --socket "$work/run/inbox.socket" >"$2" 2>"$2.err" &
    pids+=($!)
}

start_vorelind PC-ANA
echo "the computer name is registered and answered"
await "no answer for PC-ANA<03>" answered_by 'PC-ANA#03' 10.79.0.1
status=$(node_status client.conf 10.79.0.1)
grep -q 'PC-ANA *<03> - *B <ACTIVE>' <<<"$status" || fail "node status does not list PC-ANA<03>: $status"
[ -z "$(lookup 'NOSUCH#03')" ] || fail "a name not held was answered"
[ -z "$(lookup 'PC-ANA#20')" ] || fail "PC-ANA<20>, not held, was answered"
ip netns exec "$cli" timeout 10 "$nmblookup" -s "$work/client.conf" -U 10.79.0.1 'NOSUCH#03' \
    2>/dev/null | grep -q '<03>$' && fail "a unicast query for a name not held was answered"

echo "a sweep of forged defences over every transaction id leaves the held name alone"
ip netns exec "$cli" timeout 60 "$python" - <<'EOF'
import socket, time
from netbios import encoded
# NEGATIVE NAME REGISTRATION RESPONSE, ACT_ERR, claiming the name for 10.79.0.2.
body = (bytes.fromhex("ad860000000100000000") + encoded("PC-ANA")
        + bytes.fromhex("00200001000000000006") + bytes.fromhex("0000") + bytes([10, 79, 0, 2]))
s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
s.bind(("10.79.0.2", 137))
deadline = time.monotonic() + 30
for trn in range(65536):
    if time.monotonic() > deadline:
        break
    s.sendto(trn.to_bytes(2, "big") + body, ("10.79.0.1", 137))
    if trn % 200 == 199:
        time.sleep(0.005)  # within the receive buffer, so that no id is lost on the way
EOF
await "PC-ANA<03> lost to forged defences" answered_by 'PC-ANA#03' 10.79.0.1
grep -q 'PC-ANA<03> on .* is held by' "$work/vorelind.log" && fail "a forged defence put PC-ANA<03> into conflict"

echo "on loopback: answered with 127.0.0.1"
ip netns exec "$srv" timeout 10 "$nmblookup" -s "$work/lo.conf" -U 127.0.0.1 'PC-ANA#03' \
    >"$work/lo.out" 2>&1
grep -q '^127\.0\.0\.1 PC-ANA<03>$' "$work/lo.out" || fail "loopback query: $(cat "$work/lo.out")"
status=$(ip netns exec "$srv" timeout 10 "$nmblookup" -s "$work/lo.conf" -A 127.0.0.1 2>&1)
grep -q 'PC-ANA *<03> - *B <ACTIVE>' <<<"$status" || fail "loopback node status: $status"

echo "ana connects: her alias appears; a login of 16 bytes gets none"
client 4101 "$work/ana.out"
ana_pid=$!
await "no answer for ANA<03>" answered_by 'ANA#03' 10.79.0.1
client 4102 "$work/long.out"
long_pid=$!
await "the long login was not told" logged "$work/long.out.err" "longer than 15 bytes"
await "vorelind did not log the long login" logged "$work/vorelind.log" "no alias for averyveryverylongname"
status=$(node_status client.conf 10.79.0.1)
grep -q 'ANA *<03> - *B <ACTIVE>' <<<"$status" || fail "node status lacks ANA<03>"
grep -q 'AVERY' <<<"$status" && fail "node status lists a name for the long login"

echo "delivered by computer name and by alias (lower case), with vorelin-send and smbclient -M"
for target in pc-ana ana; do sends "$target" "to $target $tag"; done
printf 'by smbclient %s' "$tag" | ip netns exec "$cli" timeout 30 "$smbclient" \
    -s "$work/client.conf" -M PC-ANA -U bob% >"$work/smbclient.out" 2>&1 ||
    fail "smbclient -M PC-ANA: $(cat "$work/smbclient.out")"
await "ana did not get the message to pc-ana" logged "$work/ana.out" "\"text\":\"to pc-ana $tag\""
await "ana did not get the message to ana" logged "$work/ana.out" "\"called\":\"ANA\",\"to\":\"ANA\",.*\"text\":\"to ana $tag\""
await "the smbclient message did not arrive" logged "$work/ana.out" "\"text\":\"by smbclient $tag\""

echo "a message to the address goes to the computer name, with two aliases held"
client 4103 "$work/bea.out"
bea_pid=$!
await "no answer for BEA<03>" answered_by 'BEA#03' 10.79.0.1
sends 10.79.0.1 "to the address $tag"
for user in ana bea; do
    await "$user did not get the message to the address as PC-ANA's" logged "$work/$user.out" \
        "\"called\":\"PC-ANA\",.*\"text\":\"to the address $tag\""
done
kill -TERM "$bea_pid"

echo "ana leaves and comes back: the alias is kept, not registered again; then released"
kill -TERM "$ana_pid" "$long_pid"
await "ANA<03> was not kept after ana left" logged "$work/vorelind.log" "ANA<03> kept for"
client 4101 "$work/ana1.out"
ana_pid=$!
sends ana "back $tag"
await "ana's new client did not get the message to ana" logged "$work/ana1.out" "\"text\":\"back $tag\""
[ "$(grep -c 'registered ANA<03>' "$work/vorelind.log")" = 1 ] || fail "ANA<03> was registered again"
kill -TERM "$ana_pid"
await "ANA<03> still answered after ana left" unanswered 'ANA#03'
grep -q 'released ANA<03>' "$work/vorelind.log" || fail "no release of ANA<03> logged"

echo "nmbd started later with our computer name is defended against"
ip netns exec "$cli" "$nmbd" -F --debug-stdout -s "$work/samba/smb.conf" >"$work/nmbd.out" 2>&1 &
pids+=($!)
await "nmbd did not log losing PC-ANA" logged "$work/nmbd.out" "Failed to register my name PC-ANA<03>"
grep -q 'defended PC-ANA<03>' "$work/vorelind.log" || fail "vorelind did not log its defence"
for i in 1 2 3; do
    [ "$(lookup 'PC-ANA#03')" = 10.79.0.1 ] || fail "a broadcast query for PC-ANA got $(lookup 'PC-ANA#03')"
done
# As observed: nmbd still answers unicast queries for the name it lost.
ip netns exec "$cli" timeout 10 "$nmblookup" -s "$work/client.conf" -U 10.79.0.2 'PC-ANA#03' \
    2>/dev/null | grep -q '^10\.79\.0\.2 PC-ANA<03>' || echo "  (nmbd did not answer unicast for the name it lost)"

echo "a name nmbd holds is not claimed, and ana is told"
await "nmbd does not answer for ANA<03>" answered_by 'ANA#03' 10.79.0.2
client 4101 "$work/ana2.out"
await "vorelind did not log the conflict" logged "$work/vorelind.log" "ANA<03> on vs$tag (10.79.0.1) is held by 10.79.0.2, not claimed"
await "ana was not told of the conflict" logged "$work/ana2.out.err" "another computer holds the name ANA"
[ "$(lookup 'ANA#03')" = 10.79.0.2 ] || fail "ANA<03> answered by $(lookup 'ANA#03'), not only by nmbd"
grep -qE '^\s+ANA\s+<03>' <<<"$(node_status client.conf 10.79.0.1)" &&
    fail "node status lists ANA<03> although nmbd holds it"

echo "two bounded floods of queries and garbage: still answering, memory bounded"
rss() { sed -n 's/^VmRSS:[^0-9]*\([0-9]*\).*/\1/p' "/proc/$daemon_pid/status"; }
flood() {
    ip netns exec "$cli" timeout 60 "$python" - <<'EOF'
import socket, time
from netbios import encoded
query = bytes.fromhex("234501100001000000000000") + encoded("PC-ANA") + bytes.fromhex("00200001")
s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
s.setblocking(False)
deadline = time.monotonic() + 20
for i in range(100000):
    if time.monotonic() > deadline:
        break
    packet = query if i % 2 else bytes([i & 0xFF]) * (i % 700)
    try:
        s.sendto(packet, ("10.79.0.1", 137))
    except BlockingIOError:
        time.sleep(0.001)
EOF
}
# The first flood warms the allocator up; the second must not grow the service further.
flood
before=$(rss)
flood
await "no answer after the flood" answered_by 'PC-ANA#03' 10.79.0.1
after=$(rss)
echo "  resident memory before ${before} KiB, after ${after} KiB"
if [ "$sanitized" = 0 ]; then
    [ -n "$before" ] && [ -n "$after" ] && [ $((after - before)) -lt 1024 ] ||
        fail "resident memory grew from ${before} to ${after} KiB"
fi
grep -q 'answer rate limit reached; [0-9]* answers dropped' "$work/vorelind.log" || fail "the rate limit was never reached"

echo "an address change is seen and the names registered again"
ip -n "$srv" addr del 10.79.0.1/24 dev vs$tag
ip -n "$srv" addr add 10.79.0.3/24 brd + dev vs$tag
await "PC-ANA<03> not answered with the new address" answered_by 'PC-ANA#03' 10.79.0.3
ip -n "$srv" addr del 10.79.0.3/24 dev vs$tag
ip -n "$srv" addr add 10.79.0.1/24 brd + dev vs$tag
await "PC-ANA<03> not answered with the old address again" answered_by 'PC-ANA#03' 10.79.0.1

echo "shutdown releases the computer name"
stop_vorelind
grep -q 'released PC-ANA<03>' "$work/vorelind.log" || fail "no release of PC-ANA<03> at shutdown"

echo "started while nmbd holds its computer name: not claimed, users told; sessions that reach this machine's address are still taken"
start_vorelind ANA
await "vorelind claimed a computer name nmbd holds" logged "$work/vorelind.log" "ANA<03> on vs$tag (10.79.0.1) is held by 10.79.0.2, not claimed"
await "no local socket" test -S "$work/run/inbox.socket"
client 4102 "$work/long2.out"
await "a connected user was not told the computer name is lost" logged "$work/long2.out.err" "another computer holds the name ANA"
[ "$(lookup 'ANA#03')" = 10.79.0.2 ] || fail "ANA<03> answered by $(lookup 'ANA#03'), not only by nmbd"
# A session to this machine's address calling its lost name is taken.
sends -I 10.79.0.1 ana "lost $tag"
await "the message to the lost name did not arrive" logged "$work/long2.out" "\"text\":\"lost $tag\""
stop_vorelind

echo "through socket activation, as the units pass the sockets: a client, then a query"
activated run1 activated.log
ip netns exec "$srv" "$recv" --json --socket "$work/run1/inbox.socket" >"$work/root1.out" 2>&1 &
pids+=($!)
await "the socket-activated service does not answer for PC-ANA<03>" answered_by 'PC-ANA#03' 10.79.0.1
await "the socket-activated service does not answer for ROOT<03>" answered_by 'ROOT#03' 10.79.0.1
stop_vorelind "$!"
grep -q 'released PC-ANA<03>' "$work/activated.log" || fail "no release at the socket-activated service's shutdown"

echo "nmbd first: vorelind holds no names, clients are told; when nmbd stops, vorelind takes over"
samba_host "$work/samba2" SRVSAMBA 10.79.0.1 "netbios aliases = AALIAS" "workgroup = VTEST" \
    "wins support = no" "log level = 3"
sed -e 's/^netbios name = .*/netbios name = OTHERSMB/' -e '/^netbios aliases/d' \
    "$work/samba2/smb.conf" >"$work/smb3.conf"
ip netns exec "$srv" "$nmbd" -F --debug-stdout -s "$work/samba2/smb.conf" >"$work/nmbd2.out" 2>&1 &
nmbd_pid=$!
pids+=($nmbd_pid)
await "the local nmbd does not answer" answered_by 'SRVSAMBA#03' 10.79.0.1
start_vorelind SRVSAMBA
await "vorelind did not see nmbd on the port" logged "$work/vorelind.log" "name service off: another program (nmbd?) has a socket on UDP 137"
client 4103 "$work/bea3.out"
bea_pid=$!
await "bea was not told that the name service is off" logged "$work/bea3.out.err" "the name service is off"
sends 10.79.0.1 "to samba's address $tag"
await "a message to the address was not called by nmbd's netbios name" logged "$work/bea3.out" \
    "\"called\":\"SRVSAMBA\",.*\"text\":\"to samba's address $tag\""
only_by 'SRVSAMBA#03' other
unanswered 'BEA#03' || fail "BEA<03> answered while nmbd holds the port"
kill -TERM "$nmbd_pid"
await "vorelind did not take the name service back" logged "$work/vorelind.log" "taking the name service back"
await "vorelind does not answer for SRVSAMBA<03> after nmbd left" answered_by 'SRVSAMBA#03' 10.79.0.1
await "vorelind does not answer for bea's alias after nmbd left" answered_by 'BEA#03' 10.79.0.1
only_by 'SRVSAMBA#03' vorelind

echo "vorelind first: nmbd starts beside it; vorelind releases its names and stops answering"
releases=$(grep -c 'released BEA<03>' "$work/vorelind.log")
ip netns exec "$srv" "$nmbd" -F --debug-stdout -s "$work/smb3.conf" >"$work/nmbd3.out" 2>&1 &
nmbd_pid=$!
pids+=($nmbd_pid)
await "nmbd started beside vorelind does not answer" answered_by 'OTHERSMB#03' 10.79.0.1
grep -q 'Address already in use' "$work/nmbd3.out" && fail "nmbd could not bind beside vorelind"
await "vorelind did not give way" logged "$work/vorelind.log" "now has a socket on UDP 137"
await "vorelind still answers for SRVSAMBA<03>" unanswered 'SRVSAMBA#03'
await "vorelind still answers for BEA<03>" unanswered 'BEA#03'
[ "$(grep -c 'released BEA<03>' "$work/vorelind.log")" -gt "$releases" ] ||
    fail "vorelind did not release BEA<03> on the wire"
await "bea was not told that the name service is off" sh -c "[ \$(grep -c 'the name service is off' $work/bea3.out.err) -ge 2 ]"
only_by 'OTHERSMB#03' other
only_by 'SRVSAMBA#03' none
# vorelind's session service goes on working beside nmbd.
sends -I 10.79.0.1 srvsamba "beside $tag"
await "the message sent beside nmbd did not arrive" logged "$work/bea3.out" "\"text\":\"beside $tag\""
stop_vorelind "$bea_pid"

# Through its sockets: UDP 137 bound with address reuse succeeds beside nmbd.
activated run2 activated2.log
ip netns exec "$srv" "$recv" --json --socket "$work/run2/inbox.socket" >"$work/root.out" 2>"$work/root.out.err" &
pids+=($!)
await "vorelind was not started through its sockets" sh -c \
    "ip netns exec $cli timeout 3 $nmblookup -s $work/client.conf -B 10.79.0.255 WAKE >/dev/null 2>&1; grep -q 'another program (nmbd?) has a socket on UDP 137' $work/activated2.log"
await "the client of the socket-activated service was not told" logged "$work/root.out.err" "the name service is off"
grep -q "session service off" "$work/activated2.log" || fail "vorelind did not say the session socket is missing"

# A sanitized build reports what it found at exit.
for log in "$work/vorelind.log" "$work/activated.log" "$work/activated2.log"; do
    grep -qE 'ERROR: [A-Za-z]+Sanitizer|runtime error:' "$log" && fail "sanitizer report in $log"
done

grep -iE 'register|conflict|fail' "$work/nmbd.out" >"$work/nmbd.names" 2>/dev/null
finish "$work/vorelind.log" "$work/nmbd.names"
