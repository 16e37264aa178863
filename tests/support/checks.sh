# Soft checks for the shell tests, sourced: a failed one is counted and the test goes on.
failures=0
fail() {
    echo "FAIL: $*"
    failures=$((failures + 1))
}

# await DESCRIPTION COMMAND...: polls COMMAND until it succeeds, for 30 s at most; a failure
# otherwise.
await() {
    local what=$1 i
    shift
    for i in $(seq 1 150); do
        "$@" && return 0
        sleep 0.2
    done
    fail "$what"
    return 1
}

# finish LOG...: PASS, or after any failure the end of each LOG there is, and exit 1.
finish() {
    local log
    if [ "$failures" -ne 0 ]; then
        for log in "$@"; do
            [ -f "$log" ] || continue
            echo "--- $log"
            tail -n 40 "$log"
        done
        exit 1
    fi
    echo "PASS"
}
