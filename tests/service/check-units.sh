#!/usr/bin/env bash
# Installs the service component of BUILD into a temporary root and checks it as the package
# test will: the units verify against that root, the service's sandboxing scores below 2.0 in
# systemd-analyze security (threshold in tenths), every manual page renders without warnings,
# the firewall rules shipped are the ones documented, vorelind links no Qt, and the
# maintainer scripts enable, disable and purge the units.
# Usage: check-units.sh BUILD
set -euo pipefail
build=$1
root=$(mktemp -d)
trap 'rm -rf "$root"' EXIT
DESTDIR=$root cmake --install "$build" --prefix /usr --component service >/dev/null

source "$(dirname "$0")/../support/checks.sh"

units=$(find "$root" -path '*/systemd/system/*' -type f | sort)
[ "$(wc -l <<<"$units")" -eq 5 ] || fail "expected five units, found: $units"
service=$(grep '/vorelind.service$' <<<"$units")

# IPv4 only, as the name socket: on IPv6 one host has 2^64 addresses and the per-address
# limits would mean nothing. (Without systemd as PID 1 the listeners are checked as written.)
session=$(grep '/vorelind-session.socket$' <<<"$units")
[ "$(sed -n 's/^ListenStream=//p' "$session")" = 0.0.0.0:139 ] ||
    fail "the session socket listens on $(sed -n 's/^ListenStream=//p' "$session" | xargs), not only 0.0.0.0:139"

# systemd binds the names socket with address reuse, so nmbd can always bind UDP 137 beside it
# (vorelind then gives way); port reuse would have the kernel share nmbd's unicast datagrams
# with that socket, where nobody reads them while vorelind stands aside.
# The same for UDP 138: nmbd must still start beside it and keep its unicast datagrams.
for socket in names:137 datagram:138; do
    unit=vorelind-${socket%:*}.socket
    grep -qx "ListenDatagram=0.0.0.0:${socket#*:}" "$(grep "/$unit\$" <<<"$units")" ||
        fail "$unit: not UDP 0.0.0.0:${socket#*:}"
    if grep -qiE '^ReusePort=(yes|true|on|1)' "$(grep "/$unit\$" <<<"$units")"; then fail "$unit sets ReusePort"; fi
done

output=$(systemd-analyze verify --recursive-errors=no --man=no --root="$root" $units 2>&1) ||
    fail "systemd-analyze verify: $output"
output=$(systemd-analyze security --offline=true --threshold=20 --root="$root" "$service" 2>&1) ||
    fail "systemd-analyze security: $(tail -n 3 <<<"$output")"
echo "$(grep 'Overall exposure' <<<"$output")"

for page in $(find "$root" -path '*/man/man*' -type f); do
    warnings=$(groff -t -man -Tutf8 -ww -z "$page" 2>&1) || true
    [ -z "$warnings" ] || fail "$(basename "$page"): $warnings"
done

# The firewall rules the README and the manual page show are the ones shipped, and tested.
repo=$(cd "$(dirname "$0")/../.." && pwd)
rules=$(find "$root" -name vorelin-input.nft -type f)
[ -n "$rules" ] || fail "no firewall rules installed"
while read -r rule; do
    grep -qxF "    $rule" "$repo/README.md" || fail "README.md does not show the rule: $rule"
    grep -qxF "$rule" "$repo/service/man/vorelind.8.in" || fail "vorelind(8) does not show the rule: $rule"
done < <(grep -v '^#' "${rules:-/dev/null}" | grep .)

vorelind=$(find "$root" -name vorelind -type f)
if readelf -d "$vorelind" | grep NEEDED | grep -qi qt; then fail "vorelind links Qt"; fi

# The maintainer scripts enable the units on installation, disable them on removal and forget
# them on purge; deb-systemd-helper works inside DPKG_ROOT, and without systemd as PID 1 the
# scripts start and stop nothing.
scripts=$(dirname "$0")/../../service/debian
export DPKG_MAINTSCRIPT_PACKAGE=vorelin-service # deb-systemd-helper runs only under dpkg
mkdir -p "$root/var/lib/private/vorelin/spool"
said=$(DPKG_MAINTSCRIPT_NAME=postinst DPKG_ROOT=$root sh "$scripts/postinst" configure) ||
    fail "postinst configure failed"
# The first installation says in one line that the service runs, and where to read more.
[ "$(grep -c 'listens on TCP 139 and UDP 137' <<<"$said")" = 1 ] && [ "$(wc -l <<<"$said")" = 1 ] ||
    fail "the first installation does not say in one line that the service listens: $said"
for link in sockets.target.wants/vorelind.socket sockets.target.wants/vorelind-session.socket \
    multi-user.target.wants/vorelind.service; do
    [ -L "$root/etc/systemd/system/$link" ] || fail "postinst did not enable $link"
done
DPKG_MAINTSCRIPT_NAME=prerm DPKG_ROOT=$root sh "$scripts/prerm" remove &&
    DPKG_MAINTSCRIPT_NAME=postrm DPKG_ROOT=$root sh "$scripts/postrm" remove ||
    fail "prerm/postrm remove failed"
# As debhelper does: removal masks the units, so that nothing starts them; purge forgets them.
for unit in vorelind.socket vorelind-session.socket vorelind.service; do
    [ "$(readlink "$root/etc/systemd/system/$unit")" = /dev/null ] || fail "removal left $unit unmasked"
done
[ -d "$root/var/lib/private/vorelin/spool" ] || fail "removal took the spool"
DPKG_MAINTSCRIPT_NAME=postrm DPKG_ROOT=$root sh "$scripts/postrm" purge ||
    fail "postrm purge failed"
[ ! -e "$root/var/lib/private/vorelin" ] || fail "purge left the spool"
[ -z "$(find "$root/etc/systemd/system" -name 'vorelind*' 2>/dev/null)" ] ||
    fail "purge left masks or links: $(find "$root/etc/systemd/system" -name 'vorelind*')"

[ "$failures" -eq 0 ] && echo "units, manual pages, libraries and maintainer scripts of the service: ok"
exit $((failures > 0))
