# Sourced by the shell tests that build their own network namespaces.
# Only a missing capability skips (77); a missing tool is a failure, as scripts/test installs
# every one.

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

# --- Two hosts on one LAN --------------------------------------------------------------------
# lan_pair SERVER CLIENT TAG: namespaces SERVER (10.79.0.1 on vsTAG) and CLIENT (10.79.0.2 on
# vcTAG) joined by a veth pair, both in NETNS_MADE for netns_cleanup.
lan_pair() {
    local srv=$1 cli=$2 tag=$3
    ip netns add "$srv" 2>/dev/null || skip "cannot create network namespaces here (no CAP_NET_ADMIN?)"
    NETNS_MADE+=("$srv")
    ip netns exec "$srv" true 2>/dev/null || skip "cannot enter a network namespace here"
    ip netns add "$cli" || exit 1
    NETNS_MADE+=("$cli")
    ip -n "$srv" link set lo up
    ip -n "$cli" link set lo up
    ip -n "$srv" link add vs$tag type veth peer name vc$tag netns "$cli" ||
        skip "cannot create a veth pair here"
    ip -n "$srv" addr add 10.79.0.1/24 brd + dev vs$tag
    ip -n "$cli" addr add 10.79.0.2/24 brd + dev vc$tag
    ip -n "$srv" link set vs$tag up
    ip -n "$cli" link set vc$tag up
}

# stop_pids PID...: TERM, up to 10 s for them to end, then KILL.
stop_pids() {
    local pid i alive
    for pid in "$@"; do kill -TERM "$pid" 2>/dev/null; done
    for i in $(seq 1 100); do
        alive=0
        for pid in "$@"; do kill -0 "$pid" 2>/dev/null && alive=1; done
        [ "$alive" = 0 ] && return 0
        sleep 0.1
    done
    for pid in "$@"; do kill -KILL "$pid" 2>/dev/null; done
}

# --- A routed network: two subnets joined by a router namespace ------------------------------
# routed_network TAG: namespaces rt-TAG (router: 10.85.1.254 and 10.85.2.254, forwarding) and
# nothing else yet; routed_host adds hosts. NETNS_MADE lists every namespace for
# routed_network_cleanup. Interface names stay under 15 characters.
NETNS_MADE=()
routed_network() {
    ROUTER=rt-$1
    ip netns add "$ROUTER" 2>/dev/null || skip "cannot create network namespaces here (no CAP_NET_ADMIN?)"
    NETNS_MADE+=("$ROUTER")
    ip netns exec "$ROUTER" true 2>/dev/null || skip "cannot enter a network namespace here"
    ip -n "$ROUTER" link set lo up
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
    ip netns add "$ns" || return 1
    NETNS_MADE+=("$ns")
    ip -n "$ns" link set lo up
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
    for ns in "${NETNS_MADE[@]}"; do ip netns del "$ns" 2>/dev/null; done
}

# samba_client FILE ADDRESS [LINE...]: a configuration for nmblookup and smbclient -M on a host at
# ADDRESS/24, caching nothing, its folders in FILE's folder under client/, the lines added.
samba_client() {
    local file=$1 address=$2 dir line key
    dir=$(dirname "$file")/client
    shift 2
    mkdir -p "$dir"
    {
        echo "[global]"
        echo "interfaces = $address/24"
        echo "bind interfaces only = yes"
        echo "name cache timeout = 0"
        for key in "private dir" "lock directory" "state directory" "cache directory" \
            "pid directory"; do
            echo "$key = $dir"
        done
        for line in "$@"; do echo "$line"; done
    } >"$file"
}

# samba_host DIR NAME ADDRESS [LINE...]: a private Samba configuration in DIR/smb.conf for a
# host NAME at ADDRESS/24, with folders of its own, the given [global] lines added.
samba_host() {
    local dir=$1 name=$2 address=$3 line
    shift 3
    mkdir -p "$dir"/{private,lock,state,cache,pid,ncalrpc,usershares,binddns,log}
    {
        echo "[global]"
        echo "netbios name = $name"
        echo "interfaces = $address/24"
        echo "bind interfaces only = yes"
        echo "local master = no"
        echo "domain master = no"
        echo "preferred master = no"
        echo "dns proxy = no"
        echo "name cache timeout = 0"
        echo "max log size = 0"
        echo "private dir = $dir/private"
        echo "lock directory = $dir/lock"
        echo "state directory = $dir/state"
        echo "cache directory = $dir/cache"
        echo "pid directory = $dir/pid"
        echo "ncalrpc dir = $dir/ncalrpc"
        echo "binddns dir = $dir/binddns"
        echo "usershare path = $dir/usershares"
        echo "log file = $dir/log/log.%m"
        for line in "$@"; do echo "$line"; done
    } >"$dir/smb.conf"
}
