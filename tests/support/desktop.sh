# A small X desktop for driving the real program: openbox as the window manager and trayer
# as the notification area, on the display that xvfb-run gives. Sourced, not run.
# Every wait is bounded; everything started here is stopped by stop_desktop.

desktop_pids=()

# The tools this needs; prints the missing ones.
desktop_missing_tools() {
    local tool missing=()
    for tool in xvfb-run Xvfb xauth openbox trayer xdotool xwininfo xprop; do
        command -v "$tool" >/dev/null 2>&1 || missing+=("$tool")
    done
    echo "${missing[*]}"
}

# need_tools TOOL...: these tools (sbin too; pyatspi is Python's module), or a failure naming
# the missing ones: scripts/test installs every one. need_desktop adds the desktop's tools.
need_desktop() {
    local missing
    missing=$(desktop_missing_tools)
    need_tools "$@" $missing
}
need_tools() {
    local tool missing=
    for tool in "$@"; do
        if [ "$tool" = pyatspi ]; then
            /usr/bin/python3 -c 'import pyatspi' 2>/dev/null || missing+=" python3-pyatspi"
        else
            PATH=/usr/sbin:/sbin:$PATH command -v "$tool" >/dev/null 2>&1 || missing+=" $tool"
        fi
    done
    [ -z "${missing// /}" ] || { echo "FAIL: missing:$missing (scripts/test installs them)"; exit 1; }
}

# under_xvfb COMMAND...: COMMAND (the script again) on an X display of its own. -noreset: by
# default Xvfb resets when its last client leaves, and a program connecting then is refused.
under_xvfb() {
    VORELIN_E2E_DISPLAY=1 exec xvfb-run -a -s "-screen 0 1024x768x24 -nolisten tcp -noreset" "$@"
}

# scratch_home: scratch, a folder of its own holding the XDG folders, exported. On exit the
# processes in pids end, then the desktop, and the folder goes.
pids=()
scratch=
scratch_home() {
    scratch=$(mktemp -d)
    export XDG_CONFIG_HOME="$scratch/config" XDG_DATA_HOME="$scratch/data" \
        XDG_RUNTIME_DIR="$scratch/runtime" XDG_CACHE_HOME="$scratch/cache"
    mkdir -p "$XDG_CONFIG_HOME" "$XDG_DATA_HOME" "$XDG_RUNTIME_DIR" "$XDG_CACHE_HOME"
    chmod 700 "$XDG_RUNTIME_DIR"
    trap desktop_exit EXIT
}
desktop_exit() {
    local pid
    for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null; done
    for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null; done
    stop_desktop
    [ -n "$scratch" ] && rm -rf "$scratch"
}

# wait_until SECONDS COMMAND...: polls COMMAND every 0.1 s until it succeeds or time is up.
wait_until() {
    local tries=$(($1 * 10))
    shift
    while ((tries-- > 0)); do
        "$@" >/dev/null 2>&1 && return 0
        sleep 0.1
    done
    return 1
}

_wm_running() { xprop -root _NET_SUPPORTING_WM_CHECK | grep -q 'window id'; }
# trayer's panel, which holds the embedded icons.
_tray_owner() { xdotool search --classname '^panel$' 2>/dev/null | head -n 1; }
_tray_running() { [ -n "$(_tray_owner)" ]; }

# Starts openbox and trayer, the tray at the bottom right, out of the program's way.
start_desktop() {
    openbox --sm-disable >/dev/null 2>&1 &
    desktop_pids+=($!)
    wait_until 60 _wm_running || { echo "openbox did not start" >&2; return 1; }
    trayer --edge bottom --align right --widthtype request --height 32 --iconspacing 0 \
        --SetDockType true --SetPartialStrut false --expand false >/dev/null 2>&1 &
    desktop_pids+=($!)
    wait_until 60 _tray_running || { echo "trayer did not start" >&2; return 1; }
}

# Ends the notification area alone, as when its host exits.
stop_tray() {
    local pid
    pid=$(xdotool search --classname '^panel$' getwindowpid 2>/dev/null | head -n 1)
    [ -n "$pid" ] && kill "$pid" && wait_until 5 bash -c "! kill -0 $pid"
}

stop_desktop() {
    local pid
    for pid in "${desktop_pids[@]}"; do kill "$pid" 2>/dev/null; done
    for pid in "${desktop_pids[@]}"; do wait "$pid" 2>/dev/null; done
    desktop_pids=()
}

# bus_has NAME: whether NAME has an owner on the session bus.
bus_has() {
    dbus-send --session --print-reply --dest=org.freedesktop.DBus /org/freedesktop/DBus \
        org.freedesktop.DBus.NameHasOwner string:"$1" | grep -q 'boolean true'
}

# start_session_bus DIR DBUS-LOG ATSPI-LOG: a private session bus (its address in DIR/bus,
# exported) and the accessibility bus on it, with Qt's bridge on. Their pids join the
# caller's pids array, which its cleanup ends; a bus that does not come up calls its fail.
start_session_bus() {
    dbus-daemon --session --nofork --nopidfile --print-address=3 3>"$1/bus" 2>"$2" &
    pids+=($!)
    wait_until 60 test -s "$1/bus" || fail "no session bus"
    DBUS_SESSION_BUS_ADDRESS=$(head -n 1 "$1/bus")
    export DBUS_SESSION_BUS_ADDRESS
    /usr/libexec/at-spi-bus-launcher --launch-immediately 2>"$3" &
    pids+=($!)
    wait_until 60 bus_has org.a11y.Bus || fail "no accessibility bus"
    export QT_LINUX_ACCESSIBILITY_ALWAYS_ON=1 QT_ACCESSIBILITY=1
}

# start_notifications LOG: dunst as the session's notification server, its PID in pids; the
# caller's fail when it does not take the bus name.
start_notifications() {
    dunst 2>"$1" &
    pids+=($!)
    wait_until 10 bus_has org.freedesktop.Notifications ||
        fail "dunst did not take the notification bus name"
}

# The program's top-level window: named Vorelin and sized as designed.
find_main_window() {
    local id
    for id in $(xdotool search --name '^Vorelin$' 2>/dev/null); do
        if xwininfo -id "$id" | grep -q 'Width: 370$' && xwininfo -id "$id" | grep -q 'Height: 308$'; then
            echo "$id"
            return 0
        fi
    done
    return 1
}

# is_viewable WINDOW: the window is mapped and on screen.
is_viewable() { xwininfo -id "$1" | grep -q 'Map State: IsViewable'; }
is_unmapped() { xwininfo -id "$1" | grep -q 'Map State: IsUnMapped'; }

# in_client_list WINDOW: the window manager manages the window, so it has a taskbar entry.
# A hidden (withdrawn) window leaves the list; a merely minimised one stays in it.
in_client_list() {
    local hex
    hex=$(printf '0x%x' "$1")
    xprop -root _NET_CLIENT_LIST | grep -qiw "$hex"
}

# client_origin WINDOW: "X,Y" of the window's client area on the screen.
client_origin() {
    xwininfo -id "$1" | awk '/Absolute upper-left X:/ {x=$4} /Absolute upper-left Y:/ {y=$4}
        END {print x "," y}'
}

# The tray icon: the one window that trayer has embedded. Prints "X Y" of its centre.
tray_icon_centre() {
    local tray
    tray=$(_tray_owner) || return 1
    [ -n "$tray" ] || return 1
    xwininfo -id "$tray" -tree | awk '
        /^ +0x[0-9a-f]+ / && /[0-9]+x[0-9]+\+-?[0-9]+\+-?[0-9]+ +\+-?[0-9]+\+-?[0-9]+/ {
            n = split($0, part, " ")
            geometry = part[n - 1]; origin = part[n]
            split(geometry, g, /[x+]/); split(origin, o, "+")
            if (g[1] >= 8 && g[1] <= 64 && g[2] >= 8 && g[2] <= 64) {
                print o[2] + int(g[1] / 2), o[3] + int(g[2] / 2); exit
            }
        }'
}

# The window's controls by their place in its client area (its design, in pixels).
recipient_box=(70 37) message_box=(80 200) enviar=(221 186)
# click_at X Y: a click there in the client area, from origin_x and origin_y (window_origin).
click_at() { xdotool mousemove $((origin_x + $1)) $((origin_y + $2)) click 1; }
# type_into PLACE TEXT: replaces the text of the control at PLACE by typing.
type_into() {
    local -n place=$1
    click_at "${place[@]}" && xdotool key ctrl+a && xdotool type --delay 20 "$2"
}
# window_origin WINDOW: activates WINDOW and sets origin_x and origin_y to its client area's.
window_origin() {
    xdotool windowactivate --sync "$1" >/dev/null 2>&1
    IFS=, read -r origin_x origin_y < <(client_origin "$1")
}
# send_in_window WINDOW RECIPIENT TEXT: types both into WINDOW and clicks ENVIAR, as a user does.
send_in_window() {
    window_origin "$1"
    type_into recipient_box "$2" && type_into message_box "$3" && click_at "${enviar[@]}"
}
