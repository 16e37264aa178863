#!/usr/bin/env bash
# The real program on an X desktop with a window manager and a notification area: the window
# comes up at its place, minimising hides it (no taskbar entry left), and a click on the tray
# icon brings it back at the same place. Usage: minimise-and-restore.sh PATH-TO-VORELIN
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
source "$here/../support/desktop.sh"
binary=${1:?usage: minimise-and-restore.sh PATH-TO-VORELIN}

if [ "${VORELIN_E2E_DISPLAY:-}" != 1 ]; then
    need_desktop
    under_xvfb "$0" "$@"
fi
scratch_home

fail() {
    echo "FAIL: $*"
    echo "--- windows:"
    xwininfo -root -tree | grep -iE 'vorelin|panel' || true
    exit 1
}

origin_is() { [ "$(client_origin "$1")" = "$2" ]; }
hidden() { ! in_client_list "$1" && is_unmapped "$1"; }
shown() { in_client_list "$1" && is_viewable "$1"; }
has_tray_icon() { [ -n "$(tray_icon_centre)" ]; }

start_desktop || fail "no desktop"
"$binary" &
app=$!
pids+=($app)

wait_until 20 find_main_window || fail "the window did not appear"
window=$(find_main_window)
wait_until 5 shown "$window" || fail "the window is not shown"
wait_until 5 origin_is "$window" 294,110 ||
    fail "client area at $(client_origin "$window"), not at 294,110"
echo "ok: the window is shown with its client area at 294,110"

wait_until 10 has_tray_icon || fail "no icon in the notification area"
read -r icon_x icon_y < <(tray_icon_centre)
echo "ok: the tray icon is at $icon_x,$icon_y"

# A click on the icon while the window is shown changes nothing.
xdotool mousemove "$icon_x" "$icon_y" click 1
sleep 0.5
shown "$window" && origin_is "$window" 294,110 || fail "a tray click moved or hid the shown window"

xdotool windowminimize "$window"
wait_until 5 hidden "$window" || fail "minimising did not hide the window"
kill -0 "$app" 2>/dev/null || fail "the program ended on minimise"
echo "ok: minimised means hidden, without a taskbar entry"

xdotool mousemove "$icon_x" "$icon_y" click 1
wait_until 5 shown "$window" || fail "a click on the tray icon did not bring the window back"
wait_until 5 origin_is "$window" 294,110 ||
    fail "the window came back at $(client_origin "$window"), not at 294,110"
echo "ok: a click on the tray icon brings the window back at 294,110"

# The notification area goes away while the window is hidden: the window comes back, and
# from then on minimising leaves it minimised, with its taskbar entry.
xdotool windowminimize "$window"
wait_until 5 hidden "$window" || fail "minimising did not hide the window the second time"
stop_tray || fail "trayer did not stop"
wait_until 5 shown "$window" || fail "the window stayed hidden after the tray went away"
echo "ok: the window comes back when the notification area goes away"
xdotool windowminimize "$window"
minimised_in_taskbar() { in_client_list "$1" && ! is_viewable "$1"; }
wait_until 5 minimised_in_taskbar "$window" || fail "without a tray the window did not minimise"
kill -0 "$app" 2>/dev/null || fail "the program ended"
hidden "$window" && fail "without a tray minimising hid the window"
echo "ok: without a tray minimising keeps the window's taskbar entry"
