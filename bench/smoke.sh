#!/usr/bin/env bash
# Runs a benchmark at a tiny size as a smoke test: it must exit 0 (or 77, skipped) and print
# every expected line. The figures and whether targets are met are never checked: they depend
# on the machine's load.
#
# Usage: smoke.sh PATTERN... -- COMMAND [ARG...]
set -uo pipefail
patterns=()
while [ $# -gt 0 ] && [ "$1" != -- ]; do
    patterns+=("$1")
    shift
done
shift || { echo "usage: $0 PATTERN... -- COMMAND [ARG...]"; exit 2; }

out=$(mktemp)
trap 'rm -f "$out"' EXIT
"$@" >"$out" 2>&1
status=$?
cat "$out"
[ "$status" -eq 77 ] && exit 77
[ "$status" -eq 0 ] || { echo "FAIL: the benchmark exited with $status"; exit 1; }
for pattern in "${patterns[@]}"; do
    grep -qE -- "$pattern" "$out" || { echo "FAIL: no line matching '$pattern'"; exit 1; }
done
echo "PASS"
