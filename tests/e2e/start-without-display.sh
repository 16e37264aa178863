#!/usr/bin/env bash
# Without any display the program says so in one line and exits 1; --help and --version need
# no display. Usage: start-without-display.sh PATH-TO-VORELIN
set -uo pipefail
binary=${1:?usage: start-without-display.sh PATH-TO-VORELIN}
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
failed=0

# run NAME EXPECTED-STATUS STDOUT-PATTERN STDERR-PATTERN [ENV...] -- ARGS...
run() {
    local name=$1 status=$2 out_pattern=$3 err_pattern=$4
    shift 4
    local environment=()
    while [ "$1" != -- ]; do environment+=("$1"); shift; done
    shift
    env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM "${environment[@]}" \
        XDG_RUNTIME_DIR="$scratch" timeout 20 "$binary" "$@" >"$scratch/out" 2>"$scratch/err"
    local got=$?
    local out err
    out=$(cat "$scratch/out") err=$(cat "$scratch/err")
    if [ "$got" -ne "$status" ] || ! [[ $out =~ $out_pattern ]] || ! [[ $err =~ $err_pattern ]]; then
        echo "FAIL: $name: status $got, stdout '$out', stderr '$err'"
        failed=1
    else
        echo "ok: $name"
    fi
}

one_line_no_display='^vorelin: no display found[^'$'\n'']*$'
run "no display at all" 1 '^$' "$one_line_no_display" --
run "an X display that is not there" 1 '^$' "$one_line_no_display" DISPLAY=:7391 --
run "a Wayland display that is not there" 1 '^$' "$one_line_no_display" \
    WAYLAND_DISPLAY=vorelin-none XDG_SESSION_TYPE=wayland --
run "--help" 0 '^Usage: vorelin' '^$' -- --help
run "--version" 0 '^vorelin [0-9]+\.[0-9]+\.[0-9]+$' '^$' -- --version
exit $failed
