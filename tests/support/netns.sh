# Sourced by the shell tests that build their own network namespaces.
# Only a missing capability skips (77); a missing tool is a failure, as scripts/test installs
# every one.
source "$(dirname "${BASH_SOURCE[0]}")/checks.sh"
# The scripts' Python snippets take the name encoding from netbios.py beside this file.
export PYTHONPATH="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)${PYTHONPATH:+:$PYTHONPATH}"

skip() {
    echo "SKIP: $*"
    exit 77
}

missing() {
    echo "FAIL: $* (scripts/test installs it)"
    exit 1
}

# Namespaces need root and iproute2; stops the test otherwise.
require_netns() {
    [ "$(id -u)" -eq 0 ] || skip "needs root to create network namespaces"
    command -v ip >/dev/null || missing "ip (iproute2) is not installed"
}

# tool VAR PROGRAM PACKAGE: VAR holds PROGRAM's path, found in sbin too; stops the test without it.
tool() {
    local path
    path=$(PATH=/usr/sbin:/sbin:$PATH command -v "$2") || missing "$2 ($3) is not installed"
    printf -v "$1" %s "$path"
}

# built PROGRAM...: each was built.
built() {
    local program
    for program in "$@"; do [ -x "$program" ] || missing "$program is not built"; done
}

# check_send EXIT CODE COMMAND...: runs COMMAND, a vorelin-send, and checks its exit status and
# the result code it prints, "(CODE)".
check_send() {
    local want_exit=$1 want_code=$2 out status
    shift 2
    out=$("$@" 2>&1)
    status=$?
    echo "  $* -> exit $status: $out"
    [ "$status" = "$want_exit" ] || fail "$* exited $status, expected $want_exit"
    case "$out" in
    *"($want_code)"*) ;;
    *) fail "$* did not report ($want_code)" ;;
    esac
}

# --- What every test leaves behind -----------------------------------------------------------
# The test's processes go in pids and its scratch folder in work: on exit both go, with the
# namespaces and their files under /etc/netns.
NETNS_MADE=()
pids=()
work=
[ -d /etc/netns ] && etc_netns_made=0 || etc_netns_made=1
netns_exit() {
    stop_pids "${pids[@]}"
    netns_cleanup
    [ -n "$work" ] && rm -rf "$work"
}
trap netns_exit EXIT
trap 'exit 1' INT TERM HUP

# netns_add NAME: namespace NAME with loopback up, in NETNS_MADE. The first one skips the test
# where namespaces are not permitted.
netns_add() {
    if ! ip netns add "$1" 2>/dev/null; then
        [ ${#NETNS_MADE[@]} -eq 0 ] && skip "cannot create network namespaces here (no CAP_NET_ADMIN?)"
        echo "FAIL: cannot create the namespace $1"
        exit 1
    fi
    NETNS_MADE+=("$1")
    ip netns exec "$1" true 2>/dev/null || skip "cannot enter a network namespace here"
    ip -n "$1" link set lo up
}

# --- Two hosts on one LAN --------------------------------------------------------------------
# lan_pair SERVER CLIENT TAG: namespaces SERVER (10.79.0.1 on vsTAG) and CLIENT (10.79.0.2 on
# vcTAG) joined by a veth pair, both in NETNS_MADE for netns_cleanup.
lan_pair() {
    local srv=$1 cli=$2 tag=$3
    netns_add "$srv"
    netns_add "$cli"
    ip -n "$srv" link add vs$tag type veth peer name vc$tag netns "$cli" ||
        skip "cannot create a veth pair here"
    ip -n "$srv" addr add 10.79.0.1/24 brd + dev vs$tag
    ip -n "$cli" addr add 10.79.0.2/24 brd + dev vc$tag
    ip -n "$srv" link set vs$tag up
    ip -n "$cli" link set vc$tag up
}

# stop_pids PID...: TERM, up to 10 s for them to end, then KILL.
stop_pids() {
    local pid i
    for pid in "$@"; do kill -TERM "$pid" 2>/dev/null; done
    for i in $(seq 1 100); do
        kill -0 "$@" 2>/dev/null || return 0
        sleep 0.1
    done
    kill -KILL "$@" 2>/dev/null
}

# --- A routed network: two subnets joined by a router namespace ------------------------------
# routed_network TAG: namespaces rt-TAG (router: 10.85.1.254 and 10.85.2.254, forwarding) and
# nothing else yet; routed_host adds hosts. NETNS_MADE lists every namespace for
# netns_cleanup. Interface names stay under 15 characters.
routed_network() {
    ROUTER=rt-$1
    netns_add "$ROUTER"
    local subnet
    for subnet in 1 2; do
        ip -n "$ROUTER" link add br$subnet type bridge || skip "cannot create a bridge here"
        ip -n "$ROUTER" addr add 10.85.$subnet.254/24 brd + dev br$subnet
        ip -n "$ROUTER" link set br$subnet up
    done
    ip netns exec "$ROUTER" sysctl -qw net.ipv4.ip_forward=1
}

# routed_host NAME SUBNET HOST: namespace NAME at 10.85.SUBNET.HOST/24 behind the router.
routed_host() {
    local ns=$1 subnet=$2 host=$3
    netns_add "$ns"
    ip -n "$ns" link add eth0 type veth peer name p$subnet-$host netns "$ROUTER" ||
        skip "cannot create a veth pair here"
    ip -n "$ROUTER" link set p$subnet-$host master br$subnet
    ip -n "$ROUTER" link set p$subnet-$host up
    ip -n "$ns" addr add 10.85.$subnet.$host/24 brd + dev eth0
    ip -n "$ns" link set eth0 up
    ip -n "$ns" route add default via 10.85.$subnet.254
}

netns_cleanup() {
    local ns
    for ns in "${NETNS_MADE[@]}"; do
        ip netns del "$ns" 2>/dev/null
        rm -rf "/etc/netns/$ns"
    done
    [ "$etc_netns_made" = 1 ] && rmdir /etc/netns 2>/dev/null
}

# netns_hosts NS LINE...: the hosts file `ip netns exec` puts over /etc/hosts in NS, localhost
# and the LINEs, and an empty resolv.conf: the system resolver there asks no DNS server.
netns_hosts() {
    local ns=$1
    shift
    mkdir -p "/etc/netns/$ns" 2>/dev/null || skip "/etc is read-only: cannot give a namespace a hosts file"
    printf '%s\n' "127.0.0.1 localhost" "$@" >"/etc/netns/$ns/hosts"
    : >"/etc/netns/$ns/resolv.conf"
}

# message_drop DIR: DIR/deliver, a Samba message command (`DIR/deliver %s %f`) that files each
# message as DIR/messages/SENDER-FILE. It runs as nobody: the folders on its way are open to it.
message_drop() {
    chmod 755 "$1"
    mkdir -p "$1/messages" "$1/tmp"
    chmod 1777 "$1/messages" "$1/tmp"
    cat >"$1/deliver" <<EOF
#!/bin/sh
/bin/mv "\$1" "$1/messages/\$2-\${1##*/}"
EOF
    chmod 755 "$1/deliver"
}

# wait_for_message DIR TEXT SENDER: the message with exactly TEXT from SENDER arrives in
# DIR/messages (30 s at most); it is taken away, so the next one is told apart.
wait_for_message() {
    await "no message \"$2\" from $3 arrived" took_message "$@" || ls "$1/messages"
}
took_message() {
    local file
    for file in "$1"/messages/"$3"-*; do
        [ -f "$file" ] && [ "$(cat "$file")" = "$2" ] && rm -f "$file" && return 0
    done
    return 1
}

# samba_client FILE ADDRESS [LINE...]: a configuration for nmblookup and smbclient -M on a host at
# ADDRESS/24, caching nothing, its folders in FILE's folder under client/, the lines added.
samba_client() {
    local file=$1 address=$2 dir
    dir=$(dirname "$file")/client
    shift 2
    mkdir -p "$dir"
    printf '%s\n' "[global]" "interfaces = $address/24" "bind interfaces only = yes" \
        "name cache timeout = 0" "private dir = $dir" "lock directory = $dir" \
        "state directory = $dir" "cache directory = $dir" "pid directory = $dir" "$@" >"$file"
}

# samba_host DIR NAME ADDRESS [LINE...]: a private Samba configuration in DIR/smb.conf for a
# host NAME at ADDRESS/24, with folders of its own, the given [global] lines added.
samba_host() {
    local dir=$1 name=$2 address=$3
    shift 3
    mkdir -p "$dir"/{private,lock,state,cache,pid,ncalrpc,usershares,binddns,log}
    printf '%s\n' "[global]" "netbios name = $name" "interfaces = $address/24" \
        "bind interfaces only = yes" "local master = no" "domain master = no" \
        "preferred master = no" "dns proxy = no" "name cache timeout = 0" "max log size = 0" \
        "private dir = $dir/private" "lock directory = $dir/lock" "state directory = $dir/state" \
        "cache directory = $dir/cache" "pid directory = $dir/pid" "ncalrpc dir = $dir/ncalrpc" \
        "binddns dir = $dir/binddns" "usershare path = $dir/usershares" \
        "log file = $dir/log/log.%m" "$@" >"$dir/smb.conf"
}

# samba_receiver DIR NAME ADDRESS [LINE...]: samba_host's configuration for an smbd that takes
# messages on port 139 and hands them to $work/deliver (message_drop), the given lines added.
samba_receiver() {
    local dir=$1
    samba_host "$@" "server role = standalone server" "smb ports = 139" \
        "server min protocol = NT1" "passdb backend = tdbsam:$dir/private/passdb.tdb" \
        "load printers = no" "printing = bsd" "printcap name = /dev/null" \
        "disable spoolss = yes" "map to guest = bad user" "guest account = nobody" \
        "message command = $work/deliver %s %f"
}

# samba_start NS PROGRAM DIR: nmbd or smbd in NS, in the foreground with DIR/smb.conf, its
# output in DIR/PROGRAM.out, its PID in pids.
samba_start() {
    ip netns exec "$1" env TMPDIR="$work/tmp" "$2" -F --debug-stdout -d 3 -s "$3/smb.conf" \
        </dev/null >"$3/$(basename "$2").out" 2>&1 &
    pids+=($!)
    echo $! >"$3/$(basename "$2").pid"
}

# await_nmb NS CONF WANT ARGS...: nmblookup -s CONF ARGS in NS until a line starts with WANT
# (60 s at most). Nothing after it could pass: the test stops otherwise.
await_nmb() {
    local ns=$1 conf=$2 want=$3 i
    shift 3
    for i in $(seq 1 120); do
        ip netns exec "$ns" timeout 5 "$nmblookup" -s "$conf" "$@" 2>/dev/null |
            grep -q "^$want" && return 0
        sleep 0.5
    done
    echo "FAIL: never saw '$want' from nmblookup $*"
    for i in "$work"/*/*.pid; do kill -0 "$(cat "$i")" 2>/dev/null || echo "$i: it has ended"; done
    tail -n 30 "$work"/*/nmbd.out
    exit 1
}

# passwd_with FILE USER:UID...: a copy of /etc/passwd with these users added, for a daemon that
# sees it bind-mounted over /etc/passwd.
passwd_with() {
    local file=$1 user
    shift
    cp /etc/passwd "$file"
    for user in "$@"; do
        echo "${user%:*}:x:${user#*:}:${user#*:}::/nonexistent:/usr/sbin/nologin" >>"$file"
    done
}
