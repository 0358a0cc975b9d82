#!/bin/sh
# The demo's round trips by the Windows programs under wine, each output compared
# with the samples and, with a Linux build in LINUX, every file the dumps wrote and
# every line the programs said compared with what the Linux programs write and say.
# Usage: tools/windemo.sh WINBUILD [LINUX]
set -eu
win=$1 linux=${2:-}
wine=/usr/lib/wine/wine64
run() {     # run OUT NAME PROG ARGS...: standard output and error kept as OUT/NAME.*
    out=$1 name=$2 prog=$3
    shift 3
    $prog "$@" >"$out/$name.out" 2>"$out/$name.err" || { cat "$out/$name.err" >&2; exit 1; }
}
trips() {   # trips OUT VREL ZBQTOOL
    rm -rf "$1" && mkdir -p "$1/tiles" "$1/waves"
    run "$1" tdump "$2" dump samples/tiles0000.art samples/palette.dat "$1/tiles"
    run "$1" tpump "$2" pump "$1/tiles0000.art" samples/palette.dat "$1/tiles"
    run "$1" wdump "$3" dump samples/waves.zbq "$1/waves"
    run "$1" wpump "$3" pump "$1/waves.zbq" "$1/waves"
}
trips "$win/demo" "$wine $win/tiles/vrel.exe" "$wine $win/waves/zbqtool.exe"
tools/samearchive.sh samples/tiles0000.art "$win/demo/tiles0000.art"
cmp samples/waves.zbq "$win/demo/waves.zbq"
echo "round trip: $win/demo/waves.zbq is samples/waves.zbq again"
if [ -n "$linux" ]; then
    trips "$linux/windemo" "$linux/tiles/vrel" "$linux/waves/zbqtool"
    for f in tiles0000.art waves.zbq tiles waves; do
        diff -r "$win/demo/$f" "$linux/windemo/$f"
    done
    for f in tdump tpump wdump wpump; do
        for s in out err; do
            sed "s#$win/demo#DIR#g" "$win/demo/$f.$s" >"$win/demo/$f.$s.dir"
            sed "s#$linux/windemo#DIR#g" "$linux/windemo/$f.$s" | cmp - "$win/demo/$f.$s.dir"
        done
    done
    echo "windows: every file and line of the demo as on Linux"
fi
