#!/bin/sh
# Packs the Windows programs built in BUILD into OUT/vrel-zbqtool-VERSION-windows-x64.zip,
# with their manual pages as text and the README for Windows users.
# Usage: tools/winzip.sh BUILD OUT
set -eu
top=$(cd "$(dirname "$0")/.." && pwd)
build=$1 out=$2
version=$(sed -n 's/^project(vrelzbq VERSION \([0-9.]*\).*/\1/p' "$top/CMakeLists.txt")
name=vrel-zbqtool-$version-windows-x64
stage=$build/$name
rm -rf "$stage" && mkdir -p "$stage" "$out"
cp "$build/tiles/vrel.exe" "$build/waves/zbqtool.exe" "$stage/"
x86_64-w64-mingw32-strip "$stage/vrel.exe" "$stage/zbqtool.exe"
for p in vrel zbqtool; do
    # CRLF line ends, which every Windows editor shows
    groff -man -rHY=0 -Tutf8 -P-cbou "$top/docs/$p.1" 2>/dev/null | sed 's/$/\r/' >"$stage/$p.txt"
done
sed 's/$/\r/' "$top/docs/windows-readme.txt" >"$stage/README.txt"
rm -f "$out/$name.zip"
(cd "$build" && zip -q -X -r "$(cd "$OLDPWD" && cd "$out" && pwd)/$name.zip" "$name")
echo "windows: $out/$name.zip"
