#!/usr/bin/env bash
# The aliases of logged-in users: vorelind in a network namespace of its own, on loopback, with a
# made-up logind state (a directory bind-mounted over /run/systemd in a mount namespace of its
# own, as sd-login reads it) and a copy of /etc/passwd with two more users. A user logged in
# with no client gets an alias, messages to it wait for the user's client, logging out releases
# it; `login-aliases = no` holds none.
#
# Usage: netns-login-aliases.sh VORELIND VORELIN_RECV VORELIN_SEND
# Exit: 0 passed, 1 failed (also when a tool is missing), 77 skipped (no namespaces here).
set -uo pipefail

vorelind=${1:?usage: $0 VORELIND VORELIN_RECV VORELIN_SEND}
recv=${2:?}
send_bin=${3:?}

source "$(dirname "$0")/../../support/netns.sh"
require_netns
command -v unshare >/dev/null || missing "unshare (util-linux) is not installed"
command -v setpriv >/dev/null || missing "setpriv (util-linux) is not installed"
tool nmblookup nmblookup samba-common-bin
built "$vorelind" "$recv" "$send_bin"

tag=$(printf '%04x%04x' $$ $RANDOM)
ns=vrl-login-$tag
daemon_pid=

netns_add "$ns"
ip netns exec "$ns" unshare --mount true 2>/dev/null || skip "cannot create mount namespaces here"

set -e
work=$(mktemp -d /tmp/vorelin-logins.XXXXXX)
chmod 755 "$work"
mkdir -p "$work"/{state,run,samba,systemd/system,systemd/seats,systemd/sessions,systemd/users}
passwd_with "$work/passwd" ana:4101 bea:4103
printf '[global]\ninterfaces = 127.0.0.1/8\nname cache timeout = 0\nprivate dir = %s
lock directory = %s\nstate directory = %s\ncache directory = %s\npid directory = %s\n' \
    "$work/samba" "$work/samba" "$work/samba" "$work/samba" "$work/samba" >"$work/lo.conf"
set +e

# login UID STATE: logind's record of that user, replaced in one rename as logind does.
login() {
    printf 'NAME=u%s\nSTATE=%s\n' "$1" "$2" >"$work/user.tmp"
    mv "$work/user.tmp" "$work/systemd/users/$1"
}

start_vorelind() {
    ip netns exec "$ns" unshare --mount --propagation private sh -c \
        'mount --bind "$0/passwd" /etc/passwd && mount --bind "$0/systemd" /run/systemd && exec "$@"' \
        "$work" "$vorelind" --bind 127.0.0.1 --session-port 139 --name-port 137 \
        --name-interfaces lo --state-dir "$work/state" --runtime-dir "$work/run" \
        --computer-name PC-LOGIN --alias-grace 1s --name-watch-interval 200ms "$@" \
        >>"$work/vorelind.log" 2>&1 &
    daemon_pid=$!
    pids+=($daemon_pid)
}

answered() {
    ip netns exec "$ns" timeout 10 "$nmblookup" -s "$work/lo.conf" -U 127.0.0.1 "$1" 2>/dev/null |
        grep -q '^127\.0\.0\.1 '
}
unanswered() { ! answered "$1"; }
logged() { grep -qs -- "$2" "$1"; }
send_to() { ip netns exec "$ns" timeout 30 "$send_bin" -I 127.0.0.1 -f BOB "$@" 2>&1; }


echo "ana is logged in with no client, bea only lingers: ana's alias is held"
login 4101 active
login 4103 lingering
start_vorelind
await "no answer for PC-LOGIN<03>" answered 'PC-LOGIN#03'
await "no answer for ANA<03> while ana is logged in" answered 'ANA#03'
unanswered 'BEA#03' || fail "BEA<03> answered for a lingering user"
logged "$work/vorelind.log" "logins: logged in: ana$" || fail "the logins were not logged"

echo "a message to ana waits for her client"
out=$(send_to ana "waits $tag") || fail "vorelin-send ana: $out"
ip netns exec "$ns" setpriv --reuid=4101 --regid=4101 --clear-groups \
    "$recv" --json --socket "$work/run/inbox.socket" >"$work/ana.out" 2>"$work/ana.out.err" &
client=$!
pids+=($client)
await "ana's client did not get the waiting message" logged "$work/ana.out" "\"to\":\"ANA\",.*\"text\":\"waits $tag\""
kill -TERM "$client"

echo "ana logs out: the alias is released"
rm "$work/systemd/users/4101"
await "ANA<03> still answered after ana logged out" unanswered 'ANA#03'
send_to ana "after $tag" >/dev/null && fail "a message to ana was taken after she logged out"
kill -TERM "$daemon_pid"
await "vorelind did not stop" sh -c "! kill -0 $daemon_pid 2>/dev/null"

echo "login-aliases = no: none held for the logged-in"
login 4101 online
start_vorelind --login-aliases no
await "no answer for PC-LOGIN<03>" answered 'PC-LOGIN#03'
unanswered 'ANA#03' || fail "ANA<03> answered with login-aliases = no"
send_to ana "refused $tag" >/dev/null && fail "a message to ana was taken with login-aliases = no"

grep -qE 'ERROR: [A-Za-z]+Sanitizer|runtime error:' "$work/vorelind.log" && fail "sanitizer report"
finish "$work/vorelind.log"
