#!/usr/bin/env bash
# Name resolution against a real nmbd. Two network namespaces made here and joined by a veth
# pair: nmbd and smbd (port 139) in one as PEERTEST, the real vorelin-send in the other; last,
# both behind the nftables rules that vorelind(8) documents. No packet leaves the namespaces;
# both are removed on exit, whatever happens.
#
# Usage: netns-name-resolution.sh VORELIN_SEND
# Exit: 0 passed, 1 failed (also when a tool is missing), 77 skipped (not root, namespaces not
# permitted).
set -uo pipefail

send_bin=${1:?usage: $0 VORELIN_SEND}

source "$(dirname "$0")/../../support/netns.sh"
require_netns
nmbd=$(PATH=/usr/sbin:/sbin:$PATH command -v nmbd) || missing "nmbd (samba) is not installed"
smbd=$(PATH=/usr/sbin:/sbin:$PATH command -v smbd) || missing "smbd (samba) is not installed"
nmblookup=$(command -v nmblookup) || missing "nmblookup (samba-common-bin) is not installed"
[ -x "$send_bin" ] || missing "$send_bin is not built"
nft=$(PATH=/usr/sbin:/sbin:$PATH command -v nft) || missing "nft (nftables) is not installed"
rules=$(cd "$(dirname "$0")/../../../service/firewall" && pwd)/vorelin-input.nft

# Unique per run, and short: interface names have at most 15 characters.
tag=$(printf '%04x%04x' $$ $RANDOM)
srv=vrl-srv-$tag
cli=vrl-cli-$tag
bare=vrl-bare-$tag
p2p=vrl-p2p-$tag
work=
pids=()
made_etc_netns=0
[ -d /etc/netns ] || made_etc_netns=1

cleanup() {
    local pid i
    for pid in "${pids[@]}"; do kill -TERM "$pid" 2>/dev/null; done
    # nmbd and smbd take about 2 s to stop; give them 10 at most.
    for i in $(seq 1 100); do
        local alive=0
        for pid in "${pids[@]}"; do kill -0 "$pid" 2>/dev/null && alive=1; done
        [ "$alive" = 0 ] && break
        sleep 0.1
    done
    for pid in "${pids[@]}"; do kill -KILL "$pid" 2>/dev/null; done
    for ns in "$srv" "$cli" "$bare" "$p2p"; do
        ip netns del "$ns" 2>/dev/null
        rm -rf "/etc/netns/$ns"
    done
    [ "$made_etc_netns" = 1 ] && rmdir /etc/netns 2>/dev/null
    [ -n "$work" ] && rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 1' INT TERM HUP

ip netns add "$srv" 2>/dev/null || skip "cannot create network namespaces here (no CAP_NET_ADMIN?)"
ip netns exec "$srv" true 2>/dev/null || skip "cannot enter a network namespace here (no CAP_SYS_ADMIN?)"
ip netns add "$cli" || exit 1
ip netns add "$bare" || exit 1
ip netns add "$p2p" || exit 1

set -e
for ns in "$srv" "$cli" "$bare" "$p2p"; do ip -n "$ns" link set lo up; done
ip -n "$srv" link add vs$tag type veth peer name vc$tag netns "$cli" ||
    skip "cannot create a veth pair here"
ip -n "$srv" addr add 10.77.0.1/24 brd + dev vs$tag
ip -n "$cli" addr add 10.77.0.2/24 brd + dev vc$tag
ip -n "$srv" link set vs$tag up
ip -n "$cli" link set vc$tag up
set +e
# Only a point-to-point link, as with a VPN: no broadcast, but a network all the same.
p2p_ready=0
ip -n "$p2p" tuntap add dev tu$tag mode tun 2>/dev/null &&
    ip -n "$p2p" addr add 10.88.0.1 peer 10.88.0.2 dev tu$tag &&
    ip -n "$p2p" link set tu$tag up && p2p_ready=1
set -e

# `ip netns exec` puts these over /etc/hosts and /etc/resolv.conf: the system resolver in the
# client namespaces knows one name and asks no DNS server.
for ns in "$cli" "$bare" "$p2p"; do
    mkdir -p "/etc/netns/$ns" 2>/dev/null || skip "/etc is read-only: cannot give the namespaces a hosts file"
    printf '127.0.0.1 localhost\n10.77.0.1 peerhost\n' >"/etc/netns/$ns/hosts"
    : >"/etc/netns/$ns/resolv.conf"
done

# The message command runs as nobody: the folders on its way must be open to it.
work=$(mktemp -d /tmp/vorelin-netns.XXXXXX)
chmod 755 "$work"
mkdir -p "$work"/{private,lock,state,cache,pid,ncalrpc,usershares,binddns,client}
mkdir -p "$work/messages" "$work/tmp"
chmod 1777 "$work/messages" "$work/tmp"
cat >"$work/deliver" <<EOF
#!/bin/sh
/bin/mv "\$1" "$work/messages/\$2-\${1##*/}"
EOF
chmod 755 "$work/deliver"

cat >"$work/smb.conf" <<EOF
[global]
netbios name = PEERTEST
netbios aliases = PEERALIAS
workgroup = VTEST
server role = standalone server
interfaces = 10.77.0.1/24
bind interfaces only = yes
smb ports = 139
server min protocol = NT1
local master = no
dns proxy = no
wins support = no
log level = 3
private dir = $work/private
lock directory = $work/lock
state directory = $work/state
cache directory = $work/cache
pid directory = $work/pid
ncalrpc dir = $work/ncalrpc
usershare path = $work/usershares
binddns dir = $work/binddns
log file = $work/log.%m
passdb backend = tdbsam:$work/private/passdb.tdb
load printers = no
printing = bsd
printcap name = /dev/null
disable spoolss = yes
map to guest = bad user
guest account = nobody
message command = $work/deliver %s %f
EOF
# nmblookup in the client namespace, with nothing cached.
samba_client "$work/client.conf" 10.77.0.2
set +e

ip netns exec "$srv" env TMPDIR="$work/tmp" "$nmbd" -F --debug-stdout -s "$work/smb.conf" \
    >"$work/nmbd.out" 2>&1 &
pids+=($!)
ip netns exec "$srv" env TMPDIR="$work/tmp" "$smbd" -F --debug-stdout -s "$work/smb.conf" \
    >"$work/smbd.out" 2>&1 &
pids+=($!)

# nmbd answers queries only once its registration is over (about 3.5 s).
registered=0
for _ in $(seq 1 60); do
    if ip netns exec "$cli" timeout 5 "$nmblookup" -s "$work/client.conf" -B 10.77.0.255 \
        'PEERTEST#03' 2>/dev/null | grep -q '^10\.77\.0\.1 PEERTEST<03>'; then
        registered=1
        break
    fi
    sleep 0.5
done
if [ "$registered" != 1 ]; then
    echo "FAIL: nmbd never answered a query for PEERTEST<03>"
    tail -n 30 "$work/nmbd.out"
    exit 1
fi

failures=0
fail() {
    echo "FAIL: $*"
    failures=$((failures + 1))
}

# send NAMESPACE EXPECTED_EXIT EXPECTED_CODE ARGS...: runs vorelin-send there and checks its
# exit status and the result code it prints, "(CODE)".
send() {
    local ns=$1 want_exit=$2 want_code=$3
    shift 3
    local out status
    out=$(ip netns exec "$ns" timeout 30 "$send_bin" "$@" 2>&1)
    status=$?
    echo "  vorelin-send $* -> exit $status: $out"
    [ "$status" = "$want_exit" ] || fail "vorelin-send $* exited $status, expected $want_exit"
    case "$out" in
    *"($want_code)"*) ;;
    *) fail "vorelin-send $* did not report ($want_code)" ;;
    esac
}

# expect_called NAME: the last session smbd took was to NAME<03>, and its 0xD5 to NAME.
expect_called() {
    local called to
    called=$(grep -o 'netbios connect: name1=[^ ]* *0x3' "$work/smbd.out" | tail -n 1)
    to=$(grep -o 'SMBsendstrt (from [^ ]* to [^)]*)' "$work/smbd.out" | tail -n 1)
    case "$called" in
    "netbios connect: name1=$1 "*) ;;
    *) fail "called \"$called\", expected $1<03>" ;;
    esac
    [ "$to" = "SMBsendstrt (from TESTER to $1)" ] || fail "\"$to\", expected to $1"
}

# wait_for_message TEXT SENDER: the message file with exactly TEXT, from SENDER, arrives.
wait_for_message() {
    local text=$1 sender=$2 file
    for _ in $(seq 1 50); do
        for file in "$work"/messages/"$sender"-*; do
            [ -f "$file" ] || continue
            if [ "$(cat "$file")" = "$text" ]; then
                rm -f "$file"
                return 0
            fi
        done
        sleep 0.2
    done
    fail "no message \"$text\" from $sender arrived; messages: $(ls "$work/messages")"
}

# delivers RECIPIENT CALLED TEXT: sent from the client namespace as TESTER, TEXT arrives and
# smbd was called as CALLED<03>.
delivers() {
    send "$cli" 0 0 -f TESTER "$1" "$3 $tag"
    wait_for_message "$3 $tag" TESTER
    expect_called "$2"
}

echo "by name, resolved by broadcast (lower case typed)"
delivers peertest PEERTEST "hello by broadcast"

echo "by the alias nmbd registered"
delivers PEERALIAS PEERALIAS "hello alias"

echo "by address: the node status names the called name"
delivers 10.77.0.1 PEERTEST "hello by address"

echo "by a name only the hosts file knows"
delivers peerhost PEERHOST "hello via hosts"

echo "an unknown name"
send "$cli" 1 2273 -f TESTER NOSUCHPEER "lost"

echo "no interface but loopback"
send "$bare" 1 2250 -f TESTER PEERTEST "lost"

if [ "$p2p_ready" = 1 ]; then
    echo "only a point-to-point link: the name is looked up, not refused for want of a network"
    send "$p2p" 1 2273 -f TESTER NOSUCHPEER "lost"
else
    echo "(no tun device here: the point-to-point case is left out)"
fi

# firewall NS RULES: a stateful input chain in NS that drops what it did not ask for, with the
# rules of the file RULES included, as the manual page tells an administrator to.
firewall() {
    ip netns exec "$1" "$nft" -f - <<EOF
flush ruleset
table inet filter {
    chain input {
        type filter hook input priority filter; policy drop;
        ct state established,related accept
        iif lo accept
        include "$2"
    }
}
EOF
}

echo "behind stateful firewalls with the documented rules"
grep -v 'sport 137' "$rules" >"$work/receive-only.nft"
if firewall "$srv" "$rules" && firewall "$cli" "$work/receive-only.nft"; then
    # What the documentation warns of: without the answers from port 137 only addresses work.
    send "$cli" 1 2273 -f TESTER peertest "lost behind the firewall"
    delivers 10.77.0.1 PEERTEST "by address through the firewall"
    firewall "$cli" "$rules" || fail "the documented rules do not load"
    delivers peertest PEERTEST "by name through the firewall"
else
    fail "the documented rules do not load"
fi

if [ "$failures" -ne 0 ]; then
    echo "--- nmbd"
    tail -n 20 "$work/nmbd.out"
    echo "--- smbd"
    tail -n 20 "$work/smbd.out"
    exit 1
fi
echo "PASS"
