#!/bin/sh
# Installs the Debian packages a make target needs, when any is missing, with one
# line for each purpose; elsewhere leaves finding them to CMake and the tests.
# Usage: tools/deps.sh [tests | bench | fuzz | windows | clang]...
# The build's packages are always checked; each word adds a set of its own.
set -eu
# libgtest-dev: the default build compiles the tests, so configuring needs it
build="cmake g++ make pkg-config liblodepng-dev libdeflate-dev liblua5.3-dev libgtest-dev"
# the real programs users edit tiles and samples with, which the tests drive
# (image editors and converters, sox), the tools that set and show the ACLs and
# extended attributes a replaced output keeps (acl, attr), and script, which
# runs a program on a terminal (bsdutils)
tests="imagemagick python3-pil pngquant netpbm sox acl attr bsdutils"
# the benchmark's dump written as a user would script it
bench="python3 python3-pil"
fuzz="clang libclang-rt-dev"
# the -posix compilers: GoogleTest needs std::mutex, which the -win32 ones lack
windows="g++-mingw-w64-x86-64-posix gcc-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64 wine64 dpkg-dev zip groff-base googletest"
# GoogleTest's sources: Debian's library is built against libstdc++
clang="clang libc++-dev libc++abi-dev googletest"

# purpose of each set, as the line before installing names it
purpose()
{
    case $1 in
    build) echo "the build" ;;
    tests) echo "the tests" ;;
    bench) echo "the benchmarks" ;;
    fuzz) echo "fuzzing" ;;
    windows) echo "the Windows build" ;;
    clang) echo "the clang builds" ;;
    *) return 1 ;;
    esac
}
for set in "$@"; do
    purpose "$set" >/dev/null || { echo "deps: no set \"$set\" (tests, bench, fuzz, windows, clang)" >&2; exit 1; }
done
if ! command -v dpkg-query >/dev/null 2>&1; then
    echo "deps: no dpkg here, packages not checked; cmake reports what it can't find" >&2
    exit 0
fi
if [ "$(id -u)" = 0 ]; then
    run="" verb="installing"
elif command -v sudo >/dev/null 2>&1; then
    run="sudo" verb="installing"
else
    run="" verb="missing"
fi
missing=""
for set in build "$@"; do
    eval pkgs=\$$set
    need=""
    for p in $pkgs; do
        case " $missing " in *" $p "*) continue ;; esac    # listed for an earlier set
        dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || need="$need $p"
    done
    [ -z "$need" ] || echo "$verb for $(purpose "$set"):$need"
    missing="$missing$need"
done
[ -z "$missing" ] && exit 0
if [ "$verb" = missing ]; then
    echo "deps: no sudo; install them as root: apt-get install$missing" >&2
    exit 1
fi
$run apt-get update -qq
DEBIAN_FRONTEND=noninteractive $run apt-get install -y -qq --no-install-recommends $missing
