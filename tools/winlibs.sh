#!/bin/sh
# Builds LodePNG, Lua 5.3 and libdeflate for 64-bit Windows as static libraries, from
# Debian's source packages, into DIR/prefix (headers and libraries, where CMake's
# FindLua and find_library look).
# The sources come through a private apt state in DIR: the system's own sources, as
# deb-src, read but not changed. Nothing is rebuilt once DIR/prefix/done names the same
# versions.
# Usage: tools/winlibs.sh DIR
set -eu
dir=$(mkdir -p "$1" && cd "$1" && pwd)
host=x86_64-w64-mingw32
cc=$host-gcc-posix cxx=$host-g++-posix ar=$host-ar
jobs=${JOBS:-2}

# deb-src entries with the URIs, suites and components of the system's deb entries
mkdir -p "$dir/apt/sources" "$dir/apt/lists/partial" "$dir/src"
rm -f "$dir/apt/sources/"*
for f in /etc/apt/sources.list.d/*.sources; do
    [ -e "$f" ] && sed -e 's/^Types:.*\bdeb\b.*/Types: deb-src/' "$f" >"$dir/apt/sources/$(basename "$f")"
done
for f in /etc/apt/sources.list /etc/apt/sources.list.d/*.list; do
    [ -e "$f" ] && sed -n -e 's/^deb[[:space:]]/deb-src /p' "$f" >"$dir/apt/sources/$(basename "$f")"
done
apt="apt-get -q -o Dir::Etc::sourcelist=/dev/null -o Dir::Etc::sourceparts=$dir/apt/sources
     -o Dir::State::lists=$dir/apt/lists -o Dir::Cache=$dir/apt/cache"
[ "$(id -u)" = 0 ] && apt="$apt -o APT::Sandbox::User=root"
mkdir -p "$dir/apt/cache/archives/partial"
$apt update >"$dir/apt/update.log" 2>&1 || { cat "$dir/apt/update.log" >&2; exit 1; }

versions=$($apt source --print-uris lodepng lua5.3 libdeflate | sed -n "s/^'.*' \([^ ]*\.dsc\) .*/\1/p" | sort)
[ -n "$versions" ] || { echo "winlibs: no source packages found" >&2; exit 1; }
if [ -f "$dir/prefix/done" ] && [ "$(cat "$dir/prefix/done")" = "$versions" ]; then
    exit 0
fi
echo "winlibs: building" $versions
rm -rf "$dir/src" "$dir/prefix" && mkdir -p "$dir/src" "$dir/prefix/include" "$dir/prefix/lib"
(cd "$dir/src" && $apt source --download-only lodepng lua5.3 libdeflate >/dev/null &&
    for d in *.dsc; do dpkg-source --no-check -x "$d" >/dev/null; done)
src() { find "$dir/src" -maxdepth 1 -type d -name "$1-*" | head -n 1; }
pre=$dir/prefix

# LodePNG: one source file
lode=$(src lodepng)
cp "$lode/lodepng.h" "$pre/include/"
$cxx -O2 -c "$lode/lodepng.cpp" -o "$dir/src/lodepng.o"
$ar rcs "$pre/lib/liblodepng.a" "$dir/src/lodepng.o"

# libdeflate: its own Makefile knows the static library
defl=$(src libdeflate)
make -C "$defl" -j "$jobs" CC=$cc AR=$ar libdeflatestatic.lib >/dev/null
cp "$defl/libdeflate.h" "$pre/include/"
cp "$defl/libdeflatestatic.lib" "$pre/lib/libdeflate.a"

# Lua: the library's sources as C++, so that its errors unwind through our frames as
# the Linux C++ build's do
lua=$(src lua5.3)
mkdir -p "$dir/src/luaobj"
for c in "$lua"/src/*.c; do
    case $(basename "$c") in lua.c|luac.c) continue ;; esac
    echo "$c"
done | xargs -P "$jobs" -I{} sh -c '$0 -x c++ -O2 -DLUA_COMPAT_5_2 -c "$1" -o "$2/$(basename "$1" .c).o"' \
    "$cxx" {} "$dir/src/luaobj"
$ar rcs "$pre/lib/liblua5.3.a" "$dir/src/luaobj/"*.o
mkdir -p "$pre/include/lua5.3"
cp "$lua/src/lua.h" "$lua/src/luaconf.h" "$lua/src/lualib.h" "$lua/src/lauxlib.h" "$lua/src/lua.hpp" "$pre/include/lua5.3/"
echo "$versions" >"$pre/done"
