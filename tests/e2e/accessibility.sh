#!/usr/bin/env bash
# The real program as a screen reader sees it through AT-SPI: controls named by their
# captions, the status line a status bar named by its text ("Estado" while empty), and each
# result announced by a name change. Usage: accessibility.sh PATH-TO-VORELIN
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
binary=${1:?usage: accessibility.sh PATH-TO-VORELIN}
launcher=/usr/libexec/at-spi-bus-launcher

if [ "${VORELIN_E2E_DISPLAY:-}" != 1 ]; then
    missing=""
    for tool in xvfb-run dbus-run-session xdotool /usr/bin/python3 "$launcher"; do
        command -v "$tool" >/dev/null 2>&1 || missing+=" $tool"
    done
    /usr/bin/python3 -c 'import pyatspi' 2>/dev/null || missing+=" python3-pyatspi"
    if [ -n "$missing" ]; then
        echo "FAIL: the accessibility test needs:$missing (scripts/test installs them)"
        exit 1
    fi
    VORELIN_E2E_DISPLAY=1 exec xvfb-run -a -s "-screen 0 1024x768x24 -nolisten tcp" \
        dbus-run-session -- "$0" "$@"
fi

scratch=$(mktemp -d)
export XDG_CONFIG_HOME="$scratch/config" XDG_RUNTIME_DIR="$scratch/runtime"
mkdir -p "$XDG_CONFIG_HOME" "$XDG_RUNTIME_DIR" && chmod 700 "$XDG_RUNTIME_DIR"
bus= app=
cleanup() {
    [ -n "$app" ] && kill "$app" 2>/dev/null && wait "$app" 2>/dev/null
    [ -n "$bus" ] && kill "$bus" 2>/dev/null && wait "$bus" 2>/dev/null
    rm -rf "$scratch"
}
trap cleanup EXIT

"$launcher" --launch-immediately >/dev/null 2>&1 &
bus=$!
# Qt's bridge speaks only when assistive technology is on; this says it is.
QT_LINUX_ACCESSIBILITY_ALWAYS_ON=1 "$binary" &
app=$!
/usr/bin/python3 "$here/accessibility.py"
