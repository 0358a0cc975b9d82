#!/bin/sh
# Dumps a wave bank and has sox read every raw sample as 8-bit signed mono at
# 8000 Hz, as the docs tell a user to: fails when one is near silent.
# Usage: tools/soxsamples.sh zbqtool bank. Exits 77 (skipped) without sox.
set -eu
command -v sox >/dev/null 2>&1 || { echo "sox is not installed" >&2; exit 77; }
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
"$1" dump "$2" "$dir"
n=0
for f in "$dir"/sound*.raw; do
    [ -e "$f" ] || break
    rms=$(sox -t raw -r 8000 -e signed -b 8 -c 1 "$f" -n stat 2>&1 | awk '/^RMS +amplitude/ { print $3 }')
    echo "$(basename "$f"): RMS amplitude $rms"
    # full scale is 1; a silent sample gives 0 or nan, which fail the test too
    awk -v r="$rms" 'BEGIN { exit !(r + 0 >= 0.05) }' || { echo "$(basename "$f"): near silent" >&2; exit 1; }
    n=$((n + 1))
done
[ "$n" -gt 0 ] || { echo "no raw samples in the dump" >&2; exit 1; }
