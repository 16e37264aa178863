#!/usr/bin/env bash
# The real program as a screen reader sees it through AT-SPI: controls named by their
# captions, the status line a status bar named by its text ("Estado" while empty), and each
# result announced by a name change. Usage: accessibility.sh PATH-TO-VORELIN
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
source "$here/../support/desktop.sh"
binary=${1:?usage: accessibility.sh PATH-TO-VORELIN}
launcher=/usr/libexec/at-spi-bus-launcher

if [ "${VORELIN_E2E_DISPLAY:-}" != 1 ]; then
    need_tools xvfb-run dbus-run-session xdotool /usr/bin/python3 "$launcher" pyatspi
    under_xvfb dbus-run-session -- "$0" "$@"
fi

scratch_home
"$launcher" --launch-immediately >/dev/null 2>&1 &
pids+=($!)
# Qt's bridge speaks only when assistive technology is on; this says it is.
QT_LINUX_ACCESSIBILITY_ALWAYS_ON=1 "$binary" &
pids+=($!)
/usr/bin/python3 "$here/accessibility.py"
