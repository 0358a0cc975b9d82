#!/bin/sh
# Compares a tile archive with one that went through a dump and a pump: all
# bytes but the numtiles field (bytes 4-7, written as 666) must be equal.
set -eu
a=$1 b=$2
if [ "$(head -c 4 "$a" | od -An -tx1)" = "$(head -c 4 "$b" | od -An -tx1)" ] &&
   cmp -s -i 8 "$a" "$b"; then
    echo "round trip: $b is $a again (numtiles aside)"
else
    echo "round trip: $b differs from $a" >&2
    exit 1
fi
