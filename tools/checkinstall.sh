#!/bin/sh
# Installs into a scratch DESTDIR and checks that the programs run from
# there and that their manual pages render.
set -eu
cd "$(dirname "$0")/.."
dest=$(mktemp -d)
trap 'rm -rf "$dest"' EXIT
make install DESTDIR="$dest" PREFIX=/usr >/dev/null
for p in vrel zbqtool; do
    test -x "$dest/usr/bin/$p" || { echo "install: no $p" >&2; exit 1; }
    "$dest/usr/bin/$p" 2>&1 | grep -q "usage 1: $dest/usr/bin/$p dump" || { echo "install: $p does not run" >&2; exit 1; }
    page="$dest/usr/share/man/man1/$p.1"
    test -f "$page" || { echo "install: no manual page $p.1" >&2; exit 1; }
    if command -v man >/dev/null 2>&1; then
        warn=$(MANWIDTH=80 man --warnings -l "$page" 2>&1 >/dev/null)
        [ -z "$warn" ] || { echo "install: $p.1: $warn" >&2; exit 1; }
    fi
done
echo "install: programs and manual pages in place"
