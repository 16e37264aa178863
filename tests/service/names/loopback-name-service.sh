#!/usr/bin/env bash
# vorelind's name service on this machine's loopback only (--name-interfaces lo, a private
# port): nothing is broadcast, a query to 127.0.0.1 is answered with 127.0.0.1, node status
# lists the computer name, other names get silence; its log lines carry priorities only in the
# journal. Needs no namespaces, so it runs anywhere.
#
# Usage: loopback-name-service.sh VORELIND
# Exit: 0 passed, 1 failed (also when a tool is missing).
set -uo pipefail

vorelind=${1:?usage: $0 VORELIND}
source "$(dirname "$0")/../../support/checks.sh"
python=$(command -v python3) || { echo "FAIL: python3 is not installed (scripts/test installs it)"; exit 1; }
export PYTHONPATH="$(cd "$(dirname "$0")/../../support" && pwd)"
[ -x "$vorelind" ] || { echo "FAIL: $vorelind is not built"; exit 1; }

work=$(mktemp -d /tmp/vorelin-loname.XXXXXX)
mkdir -p "$work/state" "$work/run"
daemon=
cleanup() {
    [ -n "$daemon" ] && kill -TERM "$daemon" 2>/dev/null && wait "$daemon" 2>/dev/null
    rm -rf "$work"
}
trap cleanup EXIT

# Where stderr is the journal (JOURNAL_STREAM names it, as systemd sets it), each line carries
# its priority; the lines below, written to a file, stay plain.
: >"$work/journal.log"
JOURNAL_STREAM=$(stat -c '%d:%i' "$work/journal.log") "$vorelind" --bind 127.0.0.1 \
    --code-page 932 2>>"$work/journal.log" && { echo "FAIL: vorelind took code page 932"; exit 1; }
grep -q '^<3>vorelind: .*CP932' "$work/journal.log" ||
    { echo "FAIL: no error priority for the journal: $(cat "$work/journal.log")"; exit 1; }

settled() { grep -q '^names: interfaces' "$work/vorelind.log" || ! kill -0 "$daemon" 2>/dev/null; }
# Free ports for this run, picked by the kernel; another program may take one before vorelind
# binds it, so a start that fails is tried again with new ones (three times at most).
for attempt in 1 2 3; do
    read -r session names < <("$python" -c '
import socket
t = socket.socket(); t.bind(("127.0.0.1", 0))
u = socket.socket(socket.AF_INET, socket.SOCK_DGRAM); u.bind(("0.0.0.0", 0))
print(t.getsockname()[1], u.getsockname()[1])')
    "$vorelind" --bind 127.0.0.1 --session-port "$session" --name-port "$names" \
        --name-interfaces lo --state-dir "$work/state" --runtime-dir "$work/run" \
        --computer-name LOOPTEST >"$work/vorelind.log" 2>&1 &
    daemon=$!
    await "vorelind neither set up its name service nor ended" settled
    grep -q '^name service on UDP' "$work/vorelind.log" && kill -0 "$daemon" 2>/dev/null && break
    kill -TERM "$daemon" 2>/dev/null
    wait "$daemon" 2>/dev/null
    daemon=
done
[ -n "$daemon" ] || { echo "FAIL: vorelind did not start: $(cat "$work/vorelind.log")"; exit 1; }

"$python" - "$names" "$work/vorelind.log" <<'PYEOF' || fail "the name service's answers"
import socket, struct, sys, time

port, log = int(sys.argv[1]), sys.argv[2]

from netbios import encoded

def ask(packet, wait=2.0):
    s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    s.settimeout(wait)
    s.sendto(packet, ("127.0.0.1", port))
    try:
        return s.recv(1024)
    except socket.timeout:
        return None
    finally:
        s.close()

def query(name, trn):
    return struct.pack(">HHHHHH", trn, 0x0110, 1, 0, 0, 0) + encoded(name, 3) + b"\0\x20\0\x01"

failures = []
# Held at once: loopback has no broadcast to register on.
deadline = time.monotonic() + 10
answer = None
while answer is None and time.monotonic() < deadline:
    answer = ask(query("LOOPTEST", 0x1111), 0.5)
if answer is None:
    failures.append("no answer for LOOPTEST<03>")
else:
    trn, flags = struct.unpack(">HH", answer[:4])
    if trn != 0x1111 or flags != 0x8500 or answer[-4:] != bytes([127, 0, 0, 1]):
        failures.append("answer %s" % answer.hex())

status = struct.pack(">HHHHHH", 0x2222, 0, 1, 0, 0, 0) + encoded("*", 0).replace(
    b"CACACACACACACACACACACACACACAAA", b"AAAAAAAAAAAAAAAAAAAAAAAAAAAAAA") + b"\0\x21\0\x01"
reply = ask(status)
if reply is None or b"LOOPTEST       \x03\x04\x00" not in reply:
    failures.append("node status: %s" % (reply.hex() if reply else "none"))

if ask(query("NOSUCH", 0x3333)) is not None:
    failures.append("a name not held was answered")
if ask(b"\x00\x01garbage") is not None:
    failures.append("garbage was answered")

text = open(log).read()
if "names: interfaces lo\n" not in text:
    failures.append("not limited to loopback: " + text)
for f in failures:
    print("FAIL:", f)
sys.exit(1 if failures else 0)
PYEOF
finish "$work/vorelind.log"
