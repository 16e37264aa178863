#!/usr/bin/env bash
# Installs the inbox component of BUILD into a temporary root and checks what the
# vorelin-inbox package will hold: exactly its files, both desktop entries valid (the
# autostart one starting it in the background), every icon a PNG of its folder's size, the
# manual page rendering without warnings and documenting every option the program lists.
# Usage: check-inbox-install.sh BUILD
set -euo pipefail
build=$1
root=$(mktemp -d)
trap 'rm -rf "$root"' EXIT
DESTDIR=$root cmake --install "$build" --component inbox --prefix /usr >/dev/null

source "$(dirname "$0")/../../support/checks.sh"

expected="/etc/xdg/autostart/vorelin-inbox.desktop
/usr/bin/vorelin-inbox
/usr/share/applications/vorelin-inbox.desktop"
for size in 16 24 32 48 64 128 256; do
    expected+=$'\n'"/usr/share/icons/hicolor/${size}x${size}/apps/vorelin-inbox.png"
done
expected+=$'\n'"/usr/share/man/man1/vorelin-inbox.1"
expected+=$'\n'"/usr/share/doc/vorelin-inbox/copyright"
installed=$(cd "$root" && find . -type f | sed 's/^\.//' | sort)
[ "$installed" = "$(sort <<<"$expected")" ] || fail "installed files differ: $installed"

menu=$root/usr/share/applications/vorelin-inbox.desktop
autostart=$root/etc/xdg/autostart/vorelin-inbox.desktop
for entry in "$menu" "$autostart"; do
    output=$(desktop-file-validate "$entry" 2>&1) || fail "$entry: $output"
    [ -z "$output" ] || fail "$entry: $output"
    grep -qx 'Icon=vorelin-inbox' "$entry" || fail "$entry does not name the inbox's icon"
done
grep -qx 'Exec=vorelin-inbox' "$menu" || fail "the menu entry does not start vorelin-inbox"
grep -qx 'Exec=vorelin-inbox --background' "$autostart" ||
    fail "the autostart entry does not start vorelin-inbox in the background"

/usr/bin/python3 - "$root/usr/share/icons/hicolor" <<'PY' || fail "icons"
import pathlib, struct, sys
for icon in pathlib.Path(sys.argv[1]).glob("*/apps/vorelin-inbox.png"):
    data = icon.read_bytes()[:24]
    size = int(icon.parent.parent.name.split("x")[0])
    assert data[:8] == b"\x89PNG\r\n\x1a\n", f"{icon} is not a PNG"
    assert struct.unpack(">II", data[16:24]) == (size, size), f"{icon} is not {size}x{size}"
PY

page=$root/usr/share/man/man1/vorelin-inbox.1
warnings=$(groff -t -man -Tutf8 -ww -z "$page" 2>&1) || true
[ -z "$warnings" ] || fail "manual page: $warnings"
options=$("$root/usr/bin/vorelin-inbox" --help | grep -oE -- '--[a-z][a-z-]*' | grep -vx -- '--help-all' | sort -u)
[ -n "$options" ] || fail "vorelin-inbox --help lists no options"
for option in $options; do
    grep -qF -- "${option//-/\\-}" "$page" || fail "the manual page does not document $option"
done
version=$("$root/usr/bin/vorelin-inbox" --version) || fail "vorelin-inbox --version failed"
grep -q "TH VORELIN-INBOX 1 .*Vorelin ${version#vorelin-inbox }" "$page" ||
    fail "the manual page is not of version ${version#vorelin-inbox }"

[ "$failures" -eq 0 ] && echo "files, desktop entries, icons and manual page of the inbox: ok"
exit $((failures > 0))
