#!/bin/sh
# Runs the sample generator ($1) into a fresh directory and compares each
# file it makes with the one committed in $2: fails when it makes none, or
# when one differs or is not committed.
set -eu
d=$(mktemp -d)
trap 'rm -rf "$d"' EXIT
"$1" "$d"
for f in "$d"/*; do
    cmp "$f" "$2/${f##*/}"
done
