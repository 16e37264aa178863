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
tool nmbd nmbd samba
tool smbd smbd samba
tool nmblookup nmblookup samba-common-bin
tool nft nft nftables
built "$send_bin"
rules=$(cd "$(dirname "$0")/../../../service/firewall" && pwd)/vorelin-input.nft

# Unique per run, and short: interface names have at most 15 characters.
tag=$(printf '%04x%04x' $$ $RANDOM)
srv=vrl-srv-$tag
cli=vrl-cli-$tag
bare=vrl-bare-$tag
p2p=vrl-p2p-$tag

lan_pair "$srv" "$cli" "$tag"
netns_add "$bare"
netns_add "$p2p"
# Only a point-to-point link, as with a VPN: no broadcast, but a network all the same.
p2p_ready=0
ip -n "$p2p" tuntap add dev tu$tag mode tun 2>/dev/null &&
    ip -n "$p2p" addr add 10.88.0.1 peer 10.88.0.2 dev tu$tag &&
    ip -n "$p2p" link set tu$tag up && p2p_ready=1

# The system resolver in the client namespaces knows one name and asks no DNS server.
for ns in "$cli" "$bare" "$p2p"; do netns_hosts "$ns" "10.79.0.1 peerhost"; done

set -e
work=$(mktemp -d /tmp/vorelin-netns.XXXXXX)
message_drop "$work"
samba_receiver "$work/srv" PEERTEST 10.79.0.1 "netbios aliases = PEERALIAS" "workgroup = VTEST" \
    "wins support = no"
# nmblookup in the client namespace, with nothing cached.
samba_client "$work/client.conf" 10.79.0.2
set +e

samba_start "$srv" "$nmbd" "$work/srv"
samba_start "$srv" "$smbd" "$work/srv"
# nmbd answers queries only once its registration is over (about 3.5 s).
await_nmb "$cli" "$work/client.conf" '10\.79\.0\.1 PEERTEST<03>' -B 10.79.0.255 'PEERTEST#03'

# send NAMESPACE EXPECTED_EXIT EXPECTED_CODE ARGS...: runs vorelin-send there and checks its
# exit status and the result code it prints, "(CODE)".
send() {
    local ns=$1 want_exit=$2 want_code=$3
    shift 3
    check_send "$want_exit" "$want_code" ip netns exec "$ns" timeout 30 "$send_bin" "$@"
}

# expect_called NAME: the last session smbd took was to NAME<03>, and its 0xD5 to NAME.
expect_called() {
    local called to
    called=$(grep -o 'netbios connect: name1=[^ ]* *0x3' "$work/srv/smbd.out" | tail -n 1)
    to=$(grep -o 'SMBsendstrt (from [^ ]* to [^)]*)' "$work/srv/smbd.out" | tail -n 1)
    [[ $called == "netbios connect: name1=$1 "* ]] || fail "called \"$called\", expected $1<03>"
    [ "$to" = "SMBsendstrt (from TESTER to $1)" ] || fail "\"$to\", expected to $1"
}

# delivers RECIPIENT CALLED TEXT: sent from the client namespace as TESTER, TEXT arrives and
# smbd was called as CALLED<03>.
delivers() {
    send "$cli" 0 0 -f TESTER "$1" "$3 $tag"
    wait_for_message "$work" "$3 $tag" TESTER
    expect_called "$2"
}

echo "by name, resolved by broadcast (lower case typed)"
delivers peertest PEERTEST "hello by broadcast"

echo "by the alias nmbd registered"
delivers PEERALIAS PEERALIAS "hello alias"

echo "by address: the node status names the called name"
delivers 10.79.0.1 PEERTEST "hello by address"

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
    delivers 10.79.0.1 PEERTEST "by address through the firewall"
    firewall "$cli" "$rules" || fail "the documented rules do not load"
    delivers peertest PEERTEST "by name through the firewall"
else
    fail "the documented rules do not load"
fi

finish "$work/srv/nmbd.out" "$work/srv/smbd.out"
