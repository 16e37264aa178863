#!/usr/bin/env bash
# The real program in a Wayland session, under a headless weston of its own:
#  1. with XWayland, it runs on X11: an X window on XWayland's display that asks to have its
#     client area at 294,110;
#  2. without XWayland, it runs natively on Wayland and keeps running.
# Usage: wayland-xwayland.sh PATH-TO-VORELIN
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
source "$here/../support/desktop.sh"

readonly skip=77
binary=${1:?usage: wayland-xwayland.sh PATH-TO-VORELIN}

need_tools weston weston-debug Xwayland xdotool xwininfo xprop

scratch_home
# Nothing of the caller's session may leak in and decide for the program.
unset DISPLAY WAYLAND_DISPLAY XDG_SESSION_TYPE QT_QPA_PLATFORM XAUTHORITY
readonly socket=wayland-vorelin-test

app=
compositor=
stop_app() {
    [ -n "$app" ] && kill "$app" 2>/dev/null && wait "$app" 2>/dev/null
    app=
}
stop_compositor() {
    [ -n "$compositor" ] && kill "$compositor" 2>/dev/null && wait "$compositor" 2>/dev/null
    compositor=
}
cleanup() {
    stop_app
    stop_compositor
    rm -rf "$scratch"
}
trap cleanup EXIT

fail() {
    echo "FAIL: $*"
    if [ -f "$scratch/app.log" ]; then
        echo "--- program output:"
        tail -n 20 "$scratch/app.log"
    fi
    exit 1
}

_socket_up() { [ -S "$XDG_RUNTIME_DIR/$socket" ]; }
_xserver_listening() { grep -q 'xserver listening on display' "$scratch/weston.log"; }

# start_compositor [--xwayland]: a headless weston on $socket; its scene can be read with
# weston-debug. Returns 1 where weston cannot run here.
start_compositor() {
    : >"$scratch/weston.log"
    weston --backend=headless-backend.so --socket="$socket" --width=1024 --height=768 \
        --idle-time=0 --no-config --debug --log="$scratch/weston.log" "$@" \
        >"$scratch/weston.out" 2>&1 &
    compositor=$!
    wait_until 10 _socket_up || return 1
    if [ "${1:-}" = --xwayland ]; then
        wait_until 10 _xserver_listening || return 1
    fi
}

skip_without_weston() {
    echo "SKIP: weston cannot run headless here: $*"
    tail -n 5 "$scratch/weston.log" "$scratch/weston.out" 2>/dev/null
    exit $skip
}

# The top-level views weston shows, one "PID TITLE" a line.
scene_windows() {
    WAYLAND_DISPLAY=$socket timeout 2 weston-debug -o "$scratch/scene" scene-graph \
        >/dev/null 2>&1
    sed -n "s/.*PID \([0-9]*\),.*top-level window '\([^']*\)'.*/\1 \2/p" "$scratch/scene"
}
# has_view PID TITLE: weston shows a top-level window TITLE that process PID drew.
has_view() { scene_windows | grep -qx "$1 $2"; }
has_title() { scene_windows | grep -q " $1\$"; }
view_position() {
    grep -A1 "top-level window '$1'" "$scratch/scene" | sed -n 's/.*position: \(.*\)/\1/p' |
        head -n 1
}

# --- 1. A Wayland session with XWayland: the program runs on X11.
start_compositor --xwayland || skip_without_weston "weston with XWayland did not start"
display=$(sed -n 's/.*xserver listening on display \(:[0-9]*\).*/\1/p' "$scratch/weston.log" |
    head -n 1)
[ -n "$display" ] || skip_without_weston "no XWayland display"
echo "ok: weston is up on $socket, XWayland on $display"

WAYLAND_DISPLAY=$socket XDG_SESSION_TYPE=wayland DISPLAY=$display \
    "$binary" >"$scratch/app.log" 2>&1 &
app=$!

export DISPLAY=$display
# XWayland starts on the first X client's connection, which can take a moment.
wait_until 20 find_main_window || fail "no Vorelin window on XWayland's display $display"
window=$(find_main_window)
wait_until 5 is_viewable "$window" || fail "the X window is not shown"
xprop -id "$window" WM_CLASS | grep -q '"vorelin"' || fail "the X window is not the program's"
echo "ok: the program runs on the X11 plugin, as an X window on $display"

# Where the window goes is the window manager's say; what the program does is ask for its
# client area at 294,110: that place, given by the user, measured with static gravity.
hints=$(xprop -id "$window" WM_NORMAL_HINTS)
grep -q 'user specified location: 294, 110' <<<"$hints" ||
    fail "the window does not ask for 294,110: $hints"
grep -q 'window gravity: Static' <<<"$hints" ||
    fail "the place asked for is not the client area's: $hints"
echo "ok: it asks for its client area at 294,110"
# On weston the window is drawn by XWayland, not by the program itself.
wait_until 5 has_title Vorelin || fail "weston shows no Vorelin window"
has_view "$app" Vorelin && fail "the program drew its window through Wayland, not X11"
# weston 10 puts the outer edge of its frame (inside a 32-pixel shadow) at the place asked
# for, so the client area lands below and right of it; under openbox it is exactly there.
echo "note: weston shows the client area at $(client_origin "$window")," \
    "the frame with its shadow at $(view_position Vorelin)"

kill -0 "$app" 2>/dev/null || fail "the program ended"
stop_app
stop_compositor
unset DISPLAY

# --- 2. A Wayland session without XWayland: native Wayland, and the program stays up.
if [ ! -e "$(qtpaths6 --query QT_INSTALL_PLUGINS 2>/dev/null)/platforms/libqwayland-generic.so" ]; then
    echo "FAIL: Qt's Wayland plugin is not installed (qt6-wayland); the X11 case passed"
    exit 1
fi
start_compositor || skip_without_weston "weston without XWayland did not start"
WAYLAND_DISPLAY=$socket XDG_SESSION_TYPE=wayland "$binary" >"$scratch/app.log" 2>&1 &
app=$!
wait_until 20 has_view "$app" Vorelin || fail "no Vorelin window of the program's own on Wayland"
echo "ok: without XWayland the program runs natively on Wayland"
sleep 1
kill -0 "$app" 2>/dev/null || fail "the program ended on Wayland"
echo "ok: and it keeps running"
