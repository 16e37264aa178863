#!/usr/bin/env bash
# Builds the Debian packages with scripts/package, unpacks them into a temporary folder and
# checks what they would install. For vorelin: the programs run, the desktop entry and the software-centre listing
# validate and agree with the program, every icon is a PNG of its theme size, the manual page
# renders cleanly and documents every option, and the dependencies were computed from the
# binaries. For vorelin-service and vorelin-inbox: their files, that the service needs no GUI
# library and recommends the inbox, that its units are in place and its maintainer scripts
# enable and disable them. All three carry their copyright file and pass lintian. Prints one line per failed check and exits 1 if any failed.
set -euo pipefail
repo_root=$(cd "$(dirname "$0")/../.." && pwd)

mapfile -t debs < <("$repo_root/scripts/package")
deb=$(printf '%s\n' "${debs[@]}" | grep '/vorelin_[^/]*\.deb$')
service_deb=$(printf '%s\n' "${debs[@]}" | grep '/vorelin-service_[^/]*\.deb$')
inbox_deb=$(printf '%s\n' "${debs[@]}" | grep '/vorelin-inbox_[^/]*\.deb$')
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
root="$work/root"
dpkg-deb -x "$deb" "$root"

failures=0
fail() {
    echo "FAIL: $*" >&2
    failures=$((failures + 1))
}
pass() { echo "ok: $*"; }

field() { dpkg-deb -f "$deb" "$1"; }

# --- The package itself -------------------------------------------------------------------

project_version=$(sed -n 's/^ *VERSION \([0-9][0-9.]*\)$/\1/p' "$repo_root/CMakeLists.txt" | head -n 1)
version=$(field Version)
arch=$(dpkg --print-architecture)
[ -n "$project_version" ] || fail "no project version found in CMakeLists.txt"
[ "$version" = "$project_version" ] || fail "package version $version, project version $project_version"
[ "$(basename "$deb")" = "vorelin_${project_version}_${arch}.deb" ] ||
    fail "package file is $(basename "$deb"), not vorelin_${project_version}_${arch}.deb"
for want in Package=vorelin "Architecture=$arch" Section=net \
    "Maintainer=Vorelin team <equipo@vorelin.invalid>" Homepage=https://vorelin.invalid; do
    [ "$(field "${want%%=*}")" = "${want#*=}" ] || fail "${want%%=*} is $(field "${want%%=*}"), not ${want#*=}"
done
[ "$(field Description | wc -l)" -ge 2 ] || fail "the description has no long part"
pass "package fields of $(basename "$deb")"

# Everything lands under /usr, nothing under /usr/local or a build path.
outside=$(cd "$root" && find . -mindepth 1 \( -type f -o -type l \) ! -path './usr/*' -print)
[ -z "$outside" ] || fail "files outside /usr: $outside"
[ ! -e "$root/usr/local" ] || fail "the package installs into /usr/local"

# --- Dependencies -------------------------------------------------------------------------

depends=$(field Depends)
echo "Depends: $depends"
dep_names() { tr ',|' '\n\n' | sed 's/(.*)//; s/[[:space:]]//g; /^$/d' | sort -u; }
grep -qw libqt6widgets6 <<<"$depends" || fail "Depends lacks libqt6widgets6: $depends"
if grep -qiE 'samba|smbclient' <<<"$depends"; then fail "Depends pulls in Samba: $depends"; fi
# Computed, not hand-written: the same names dpkg-shlibdeps finds in the unpacked binaries.
mkdir -p "$work/shlibs/debian"
: >"$work/shlibs/debian/control"
binaries=()
for f in "$root"/usr/bin/*; do binaries+=("-e$f"); done
expected=$(cd "$work/shlibs" && dpkg-shlibdeps -O "${binaries[@]}" 2>/dev/null |
    sed -n 's/^shlibs:Depends=//p')
if [ -z "$expected" ]; then
    fail "dpkg-shlibdeps found no dependencies in the unpacked binaries"
elif [ "$(dep_names <<<"$depends")" != "$(dep_names <<<"$expected")" ]; then
    fail "Depends ($depends) differs from what the binaries need ($expected)"
else
    pass "Depends matches the libraries the binaries link"
fi

# --- Programs -----------------------------------------------------------------------------

for program in vorelin vorelin-send; do
    path="$root/usr/bin/$program"
    if [ ! -x "$path" ]; then
        fail "/usr/bin/$program missing or not executable"
        continue
    fi
    # Qt comes from the system's library path; a run path could only point somewhere else,
    # such as the build tree.
    if runpath=$(readelf -d "$path" | grep -E '\((RUN)?PATH\)'); then
        fail "/usr/bin/$program carries a run path: $runpath"
    fi
done

help_text=""
if [ -x "$root/usr/bin/vorelin-send" ]; then
    # Qt comes from the system, so the unpacked program runs as it is.
    help_text=$(timeout 20 "$root/usr/bin/vorelin-send" --help 2>&1) ||
        fail "vorelin-send --help exited with $?: $help_text"
    grep -q 'vorelin-send' <<<"$help_text" && pass "vorelin-send --help" ||
        fail "vorelin-send --help does not name the program: $help_text"
    version_text=$(timeout 20 "$root/usr/bin/vorelin-send" --version 2>&1) ||
        fail "vorelin-send --version failed: $version_text"
    grep -qF "$project_version" <<<"$version_text" ||
        fail "vorelin-send --version says '$version_text', not $project_version"
fi

# --- Desktop entry ------------------------------------------------------------------------

desktop_name=$(sed -n 's/.*setDesktopFileName(QStringLiteral("\([^"]*\)")).*/\1/p' \
    "$repo_root/app/main.cpp")
desktop="$root/usr/share/applications/${desktop_name:-vorelin}.desktop"
if [ -z "$desktop_name" ]; then
    fail "app/main.cpp sets no desktop file name"
elif [ ! -f "$desktop" ]; then
    fail "no desktop entry named after the program's desktop file name: ${desktop#"$root"}"
else
    if report=$(desktop-file-validate "$desktop" 2>&1) && [ -z "$report" ]; then
        pass "desktop-file-validate ${desktop#"$root"}"
    else
        fail "desktop-file-validate: $report"
    fi
    entry() { sed -n "s/^$1=//p" "$desktop" | head -n 1; }
    exec_program=$(entry Exec | awk '{ print $1 }')
    [ -x "$root/usr/bin/$exec_program" ] || fail "Exec=$exec_program is not a packaged program"
    icon_name=$(entry Icon)
    [ "$icon_name" = vorelin ] || fail "Icon=$icon_name"
    [ "$(entry Categories)" = "Network;InstantMessaging;" ] || fail "Categories=$(entry Categories)"
    [ -n "$(entry 'Comment\[es\]')" ] || fail "no Spanish comment"
fi

# --- Software-centre listing --------------------------------------------------------------

metainfo_files=("$root"/usr/share/metainfo/*.metainfo.xml)
if [ "${#metainfo_files[@]}" -ne 1 ] || [ ! -f "${metainfo_files[0]}" ]; then
    fail "expected one metainfo file in /usr/share/metainfo"
else
    metainfo=${metainfo_files[0]}
    # The validator does not know the reserved .invalid domain, so its "maybe not reverse
    # DNS" note is expected; anything else it says is a failure.
    if report=$(appstreamcli validate-tree --no-net --strict \
        --override=cid-maybe-not-rdns=pedantic "$root" 2>&1); then
        pass "appstreamcli validate-tree"
    else
        fail "appstreamcli validate-tree: $report"
    fi
    # What the validator does not check: the file is named after its id, the launchable
    # entry and the icon are in the package, and the newest release is this version.
    if report=$(python3 - "$metainfo" "$root" "$project_version" <<'PY'
import os, sys
import xml.etree.ElementTree as ET
path, root, version = sys.argv[1:]
component = ET.parse(path).getroot()
problems = []
cid = component.findtext('id')
if os.path.basename(path) != f'{cid}.metainfo.xml':
    problems.append(f'file {os.path.basename(path)} does not match id {cid}')
launchables = [l.text for l in component.findall('launchable') if l.get('type') == 'desktop-id']
if not launchables:
    problems.append('no desktop-id launchable')
for name in launchables:
    if not os.path.isfile(os.path.join(root, 'usr/share/applications', name)):
        problems.append(f'launchable {name} is not in the package')
icon = component.findtext("icon[@type='stock']")
if not icon or not os.path.isfile(os.path.join(root, 'usr/share/icons/hicolor/64x64/apps', icon + '.png')):
    problems.append(f'stock icon {icon} has no 64x64 picture in the package')
releases = component.findall('releases/release')
if not releases or releases[0].get('version') != version:
    newest = releases[0].get('version') if releases else None
    problems.append(f'newest release is {newest}, the project is {version}')
if component.find('screenshots/screenshot') is None:
    problems.append('no screenshot')
if component.find('content_rating') is None:
    problems.append('no content rating')
print('; '.join(problems))
sys.exit(1 if problems else 0)
PY
    ); then
        pass "metainfo agrees with the package"
    else
        fail "metainfo: $report"
    fi
fi

# --- Icons --------------------------------------------------------------------------------

# Every size drawn in resources/icons is installed, and each installed file is a PNG of the
# size its folder promises, in a folder the hicolor theme defines.
drawn=$(cd "$repo_root/resources/icons" && ls vorelin-*.png | sed 's/vorelin-\(.*\)\.png/\1/' | sort -n)
for size in $drawn; do
    [ -f "$root/usr/share/icons/hicolor/${size}x${size}/apps/vorelin.png" ] ||
        fail "icon size $size is drawn but not installed"
done
for want in 16 256; do
    grep -qx "$want" <<<"$drawn" || fail "no ${want} px icon is drawn"
done
theme_index=/usr/share/icons/hicolor/index.theme
[ -f "$theme_index" ] || fail "no $theme_index to compare the icon folders with"
installed=0
while IFS= read -r icon; do
    installed=$((installed + 1))
    folder=${icon#"$root/usr/share/icons/hicolor/"}
    folder=${folder%/vorelin.png}
    size=${folder%%x*}
    geometry=$(identify -format '%m %wx%h' "$icon" 2>&1) || true
    [ "$geometry" = "PNG ${size}x${size}" ] || fail "$folder/vorelin.png is '$geometry', not PNG ${size}x${size}"
    grep -qx "\[$folder\]" "$theme_index" || fail "the hicolor theme has no folder $folder"
done < <(find "$root/usr/share/icons/hicolor" -name vorelin.png | sort)
[ "$installed" -eq "$(wc -w <<<"$drawn")" ] ||
    fail "$installed icons installed for $(wc -w <<<"$drawn") drawn sizes"
pass "icons: $(echo $drawn)"

# --- Manual page --------------------------------------------------------------------------

# man_page NAME: the packaged NAME(1), unpacked to $work/NAME.1, which groff renders without a
# warning; false when the package has none.
man_page() {
    local page warnings
    page=$(find "$root/usr/share/man/man1" -name "$1.1*" | head -n 1)
    [ -n "$page" ] || { fail "no manual page for $1" && return 1; }
    case "$page" in *.gz) gzip -dc "$page" >"$work/$1.1" ;; *) cp "$page" "$work/$1.1" ;; esac
    warnings=$(groff -man -Tutf8 -ww -z "$work/$1.1" 2>&1)
    [ -z "$warnings" ] || fail "groff warns about $1(1): $warnings"
}

if man_page vorelin-send; then
    source_page="$work/vorelin-send.1"
    rendered=$(MANWIDTH=80 man -l "$source_page" 2>"$work/man.err" | col -b)
    [ ! -s "$work/man.err" ] || fail "man -l: $(cat "$work/man.err")"
    for section in NAME SYNOPSIS DESCRIPTION OPTIONS 'EXIT STATUS' EXAMPLES 'SEE ALSO'; do
        grep -qx "$section" <<<"$rendered" || fail "the manual page has no $section section"
    done
    grep -qF 'smbclient(1)' <<<"$rendered" || fail "the manual page does not refer to smbclient(1)"
    grep -qF "$project_version" <<<"$rendered" || fail "the manual page does not carry version $project_version"
    # Every option the program offers is documented.
    options=$(grep -oE '(^|[[:space:][])--?[A-Za-z][A-Za-z-]*' <<<"$help_text" |
        sed 's/^[[:space:][]*//' | sort -u || true)
    for option in $options; do
        grep -qE "(^|[[:space:][])$option([^A-Za-z-]|$)" <<<"$rendered" ||
            fail "vorelin-send --help lists $option, the manual page does not"
    done
    [ -n "$options" ] || [ -z "$help_text" ] || fail "found no options in vorelin-send --help"
    pass "manual page renders; options documented: $(echo $options)"
fi

# The window's page, and the troubleshooting both pages owe the user: every status text.
if man_page vorelin; then
    rendered_window=$(MANWIDTH=200 man -l "$work/vorelin.1" 2>/dev/null | col -b)
    for section in NAME SYNOPSIS DESCRIPTION OPTIONS 'EXIT STATUS' DIAGNOSTICS 'SEE ALSO'; do
        grep -qx "$section" <<<"$rendered_window" || fail "vorelin(1) has no $section section"
    done
    rendered_send=$(MANWIDTH=200 man -l "$work/vorelin-send.1" 2>/dev/null | col -b)
    for status in "El Mensaje Fue Enviado" "Acceso Denegado a la PC" \
        "Network request not supported." "Sent From server name not found." \
        "Invalid parameter(s) specified." "Caracter No Valido" "Error General de Red" \
        "Sin Conecion de Red" "No Se Encontro al Usuario" "Unknown error executing command."; do
        grep -qF "$status" <<<"$rendered_window" || fail "vorelin(1) does not explain \"$status\""
        grep -qF "$status" <<<"$rendered_send" || fail "vorelin-send(1) does not explain \"$status\""
    done
    for rendered in "$rendered_window" "$rendered_send"; do
        grep -qF "Vista and later have no messenger service" <<<"$(tr -s ' \n' ' ' <<<"$rendered")" ||
            fail "a manual page does not say that Windows Vista and later have no messenger service"
    done
    pass "vorelin(1) renders and both pages explain every status text"
fi

# --- Copyright and Debian policy ------------------------------------------------------------

service_root="$work/service"
inbox_root="$work/inbox"
dpkg-deb -x "$service_deb" "$service_root"
dpkg-deb -x "$inbox_deb" "$inbox_root"

for package in vorelin:"$root" vorelin-service:"$service_root" vorelin-inbox:"$inbox_root"; do
    copyright="${package#*:}/usr/share/doc/${package%%:*}/copyright"
    if [ ! -f "$copyright" ]; then
        fail "no copyright file at /usr/share/doc/${package%%:*}/copyright"
        continue
    fi
    head -n 1 "$copyright" | grep -q '^Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/' ||
        fail "the copyright file of ${package%%:*} is not in the machine-readable format"
    for field in Upstream-Name Files Copyright License; do
        grep -q "^$field:" "$copyright" || fail "the copyright file of ${package%%:*} has no $field field"
    done
done
pass "copyright files in place"

# Errors and warnings fail; the packages carry their overrides, each with its reason.
if report=$(lintian --fail-on error,warning "$deb" "$service_deb" "$inbox_deb" 2>&1 |
    grep -v 'running with root privileges'; exit "${PIPESTATUS[0]}"); then
    pass "lintian"
else
    fail "lintian: $report"
fi

# --- vorelin-service and vorelin-inbox ------------------------------------------------------

for file in usr/bin/vorelin-recv usr/sbin/vorelind usr/sbin/vorelin-deliver \
    lib/systemd/system/vorelind.service lib/systemd/system/vorelind.socket \
    lib/systemd/system/vorelind-session.socket lib/systemd/system/vorelind-names.socket \
    lib/systemd/system/vorelind-datagram.socket \
    etc/vorelin/vorelind.conf; do
    [ -e "$service_root/$file" ] || fail "vorelin-service lacks /$file"
done
service_depends=$(dpkg-deb -f "$service_deb" Depends)
if grep -qiE 'qt6|libx' <<<"$service_depends"; then
    fail "vorelin-service pulls in GUI libraries: $service_depends"
fi
[ "$(dpkg-deb -f "$service_deb" Recommends)" = vorelin-inbox ] ||
    fail "vorelin-service recommends '$(dpkg-deb -f "$service_deb" Recommends)', not vorelin-inbox"
dpkg-deb -e "$service_deb" "$work/service-control"
grep -q 'deb-systemd-helper.*enable\|deb-systemd-helper unmask' "$work/service-control/postinst" ||
    fail "vorelin-service's postinst does not enable its units"
grep -q 'deb-systemd-invoke.*stop\|deb-systemd-helper.*disable\|deb-systemd-helper mask' \
    "$work/service-control/prerm" "$work/service-control/postrm" ||
    fail "vorelin-service's maintainer scripts do not stop or disable its units"
for file in usr/bin/vorelin-inbox etc/xdg/autostart/vorelin-inbox.desktop \
    usr/share/applications/vorelin-inbox.desktop; do
    [ -e "$inbox_root/$file" ] || fail "vorelin-inbox lacks /$file"
done
# Qt's translations give its Spanish buttons.
for want in libqt6widgets6 qt6-translations-l10n; do
    grep -qw $want <<<"$(dpkg-deb -f "$inbox_deb" Depends)" || fail "vorelin-inbox does not depend on $want"
done
shared=$(comm -12 <(cd "$root" && find . -type f | sort) <(cd "$inbox_root" && find . -type f | sort))
[ -z "$shared" ] || fail "vorelin and vorelin-inbox both ship: $shared"
pass "vorelin-service and vorelin-inbox hold their programs, units and entries"

echo "Installed-Size: $(field Installed-Size) KiB"
if [ "$failures" -gt 0 ]; then
    echo "$failures packaging check(s) failed" >&2
    exit 1
fi
echo "all packaging checks passed"
