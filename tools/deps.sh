#!/bin/sh
# Installs the Debian packages the build and tests need, when any is missing; elsewhere
# leaves finding them to CMake.
# Usage: tools/deps.sh [extra packages...]
set -eu
# test-only: the real programs users edit tiles and samples with, which the
# tests drive (image editors and converters, sox), and the tools that set and
# show the ACLs and extended attributes a replaced output keeps (acl, attr), and
# script, which runs a program on a terminal (bsdutils)
pkgs="cmake g++ make pkg-config liblodepng-dev libdeflate-dev liblua5.3-dev libgtest-dev"
pkgs="$pkgs imagemagick python3-pil pngquant netpbm sox acl attr bsdutils $*"
if ! command -v dpkg-query >/dev/null 2>&1; then
    echo "deps: no dpkg here, packages not checked; cmake reports what it can't find" >&2
    exit 0
fi
missing=""
for p in $pkgs; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing="$missing $p"
done
[ -z "$missing" ] && exit 0
echo "installing:$missing"
if [ "$(id -u)" = 0 ]; then
    run=""
elif command -v sudo >/dev/null 2>&1; then
    run="sudo"
else
    echo "missing packages:$missing; install them as root (apt-get install$missing)" >&2
    exit 1
fi
$run apt-get update -qq
DEBIAN_FRONTEND=noninteractive $run apt-get install -y -qq --no-install-recommends $missing
