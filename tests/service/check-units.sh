#!/usr/bin/env bash
# Installs the service component of BUILD into a temporary root and checks it as the package
# test will: the units verify against that root, the service's sandboxing scores below 2.0 in
# systemd-analyze security (threshold in tenths), every manual page renders without warnings,
# and vorelind links no Qt.
# Usage: check-units.sh BUILD
set -euo pipefail
build=$1
root=$(mktemp -d)
trap 'rm -rf "$root"' EXIT
DESTDIR=$root cmake --install "$build" --component service >/dev/null

failures=0
fail() {
    echo "FAIL: $*" >&2
    failures=$((failures + 1))
}

units=$(find "$root" -path '*/systemd/system/*' -type f | sort)
[ "$(wc -l <<<"$units")" -eq 3 ] || fail "expected three units, found: $units"
service=$(grep '/vorelind.service$' <<<"$units")

output=$(systemd-analyze verify --recursive-errors=no --man=no --root="$root" $units 2>&1) ||
    fail "systemd-analyze verify: $output"
output=$(systemd-analyze security --offline=true --threshold=20 --root="$root" "$service" 2>&1) ||
    fail "systemd-analyze security: $(tail -n 3 <<<"$output")"
echo "$(grep 'Overall exposure' <<<"$output")"

for page in $(find "$root" -path '*/man/man*' -type f); do
    warnings=$(groff -t -man -Tutf8 -ww -z "$page" 2>&1) || true
    [ -z "$warnings" ] || fail "$(basename "$page"): $warnings"
done

vorelind=$(find "$root" -name vorelind -type f)
if readelf -d "$vorelind" | grep NEEDED | grep -qi qt; then fail "vorelind links Qt"; fi

[ "$failures" -eq 0 ] && echo "units, manual pages and libraries of the service: ok"
exit $((failures > 0))
