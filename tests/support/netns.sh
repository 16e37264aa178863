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
