#!/bin/sh
# Remakes the seed corpora under fuzz/corpus from samples/ and small
# fixtures like the tests'. Needs a built vrel and zbqtool (make build).
set -eu
cd "$(dirname "$0")/.."
c=fuzz/corpus
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
rm -rf $c && mkdir -p $c/art $c/sidecar $c/png $c/zbq $c/script

cp samples/tiles0000.art $c/art/sample.art
# header 1, 0, first 100, last 101; 3x2 and 1x1 tiles, anm words, pixels
printf '\1\0\0\0\0\0\0\0\144\0\0\0\145\0\0\0\3\0\1\0\2\0\1\0\0\375\0\0\0\0\2\5\0\1\2\3\4\5\377' > $c/art/small.art
printf '\1\0\0\0\0\0\0\0\5\0\0\0\3\0\0\0' > $c/art/negative.art

printf -- '- xcenter: -3\n- ycenter: 2\n- frames: 4\n- animtype: 1\n- animspeed: 3\n- rgba: 1\n' > $c/sidecar/all
printf -- '-frames:5\r\n-\tanimtype :\t2\r\nframes: 9\n- rgba: 4294967297\n- :\n' > $c/sidecar/odd

mkdir "$tmp/tiles" "$tmp/bank"
build/tiles/vrel dump samples/tiles0000.art samples/palette.dat "$tmp/tiles" 2>/dev/null
for t in 000 002 005 007 012; do
    { printf '\0'; cat "$tmp/tiles/tile$t.png"; } > $c/png/index$t
    { printf '\1'; cat "$tmp/tiles/tile$t.png"; } > $c/png/colour$t
done

cp samples/waves.zbq $c/zbq/sample.zbq
printf '\0\0\0\0\0\0\0\0' > $c/zbq/empty.zbq
printf '\0\0\0\0\1\0\0\0KICK           \0\3\0\0\0\0\0\0\0\0\0\0\0\375\377\377\377abc' > $c/zbq/one.zbq

build/waves/zbqtool dump samples/waves.zbq "$tmp/bank" >/dev/null 2>&1
cp "$tmp/bank/bankinfo.lua" $c/script/sample.lua
printf 'return { [0] = { file = "a.raw", name = "X", loopbegin = 3.9, loopend = "100", finetune = -3 }, [2.0] = { name = "" } }\n' > $c/script/fields.lua
printf 'return { [0] = setmetatable({}, { __index = function(t, k) return #k end }), [3] = 5 }\n' > $c/script/meta.lua
