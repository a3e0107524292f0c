#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Builds the static libsodium the device program links, from Debian's own source package (with
# Debian's patches), for one controller architecture. Debian's libsodium.a has no per-function
# sections, so the link could not drop what the verifier never calls (+172 KB on armel); built
# here with -Os and function sections it costs about +31 KB.
#
# Usage: build-sodium.sh ARCH       ARCH: armel or armhf
# Prints the library's root (lib/libsodium.a, include/sodium.h) on standard output; all else goes
# to standard error. The result is kept in a cache outside the clone that survives CI runs,
# $FWUP_SODIUM_CACHE/<Debian version>-<ARCH> (default /var/cache/fwupgrade-sodium), and a complete
# cache entry is used as it is. As root it enables Debian's source lists if they are missing (a
# sources file with the same URIs, suites and keys as the binary lists), installs what the build
# needs and builds; otherwise it prints the command to run as root and fails.
set -euo pipefail

arch=${1:-}
case $arch in
armel)
    host=arm-linux-gnueabi
    flags="-march=armv5te -mfloat-abi=soft"
    ;;
armhf)
    host=arm-linux-gnueabihf
    flags="-march=armv7-a+fp -mfloat-abi=hard"
    ;;
*)
    echo "usage: build-sodium.sh armel|armhf" >&2
    exit 2
    ;;
esac
# Thumb code: about 4 KB smaller in the program than ARM code on armel, for code that runs once
# per upgrade.
flags+=" -mthumb -Os -ffunction-sections -fdata-sections"

here=$(cd "$(dirname "$0")" && pwd)
cache=${FWUP_SODIUM_CACHE:-/var/cache/fwupgrade-sodium}
sources_file=/etc/apt/sources.list.d/fwupgrade-deb-src.sources

# The version to build: the one apt would install, so that the device carries the same code as
# Debian's package (security fixes included, once rebuilt).
candidate() {
    apt-cache policy libsodium23 2>/dev/null | sed -n 's/^ *Candidate: //p' | grep -v '(none)' || true
}

version=$(candidate)
if [ -n "$version" ]; then
    root=$cache/$version-$arch
    # An entry built with other flags (an older script) is built again.
    if [ "$(cat "$root/.complete" 2>/dev/null)" = "$version $arch $flags" ] &&
        [ -f "$root/lib/libsodium.a" ] && [ -f "$root/include/sodium.h" ]; then
        echo "$root"
        exit 0
    fi
fi

if [ "$(id -u)" -ne 0 ]; then
    sudo=""
    command -v sudo >/dev/null && sudo="sudo "
    echo "The device program needs libsodium built from Debian's source for $arch. Run as root:" >&2
    echo "    ${sudo}$here/build-sodium.sh $arch" >&2
    exit 1
fi

export DEBIAN_FRONTEND=noninteractive
apt=(apt-get -o DPkg::Lock::Timeout=600)

# Source lists: one deb-src stanza per deb stanza of the deb822 files that lack one.
have_deb_src() {
    grep -rqsE '^(Types:.*deb-src|deb-src )' /etc/apt/sources.list /etc/apt/sources.list.d/
}
if ! have_deb_src; then
    echo "build-sodium.sh: enabling Debian's source lists in $sources_file" >&2
    tmp=$(mktemp)
    for f in /etc/apt/sources.list.d/*.sources; do
        [ -f "$f" ] || continue
        awk 'BEGIN { RS = ""; ORS = "\n\n" }
             /(^|\n)Types:[^\n]*deb/ && /debian/ {
                 out = ""; n = split($0, line, "\n")
                 for (i = 1; i <= n; i++) {
                     if (line[i] ~ /^#/) continue
                     if (line[i] ~ /^Types:/) line[i] = "Types: deb-src"
                     out = out line[i] "\n"
                 }
                 printf "%s\n", out
             }' "$f" >>"$tmp"
    done
    if [ -f /etc/apt/sources.list ]; then
        sed -n 's/^deb \(.*debian.*\)$/deb-src \1/p' /etc/apt/sources.list >>"$tmp"
    fi
    if ! [ -s "$tmp" ]; then
        rm -f "$tmp"
        echo "build-sodium.sh: no Debian lists in /etc/apt to take the source lists from" >&2
        exit 1
    fi
    install -m 0644 "$tmp" "$sources_file"
    rm -f "$tmp"
fi
"${apt[@]}" update -qq >&2

"$here/prereqs.sh" autoconf=autoreconf automake=automake libtool=libtoolize dpkg-dev=dpkg-source \
    make=make "gcc-$host=$host-gcc" >&2

version=$(candidate)
if [ -z "$version" ]; then
    echo "build-sodium.sh: apt knows no libsodium23" >&2
    exit 1
fi
root=$cache/$version-$arch
if [ "$(cat "$root/.complete" 2>/dev/null)" = "$version $arch $flags" ]; then
    echo "$root"
    exit 0
fi

mkdir -p "$cache"
work=$(mktemp -d "$cache/build-$arch.XXXXXX")
trap 'rm -rf "$work"' EXIT
(
    cd "$work"
    "${apt[@]}" source -qq "libsodium=$version"
    src=$(find . -maxdepth 1 -type d -name 'libsodium-*' | head -n 1)
    cd "$src"
    autoreconf -fi
    ./configure -q --host="$host" --disable-shared --enable-static --prefix="$work/out" \
        CFLAGS="$flags"
    make -s -j"$(nproc)"
    make -s install
) >&2
rm -rf "$root"
mkdir -p "$root"
cp -a "$work/out/lib" "$work/out/include" "$root/"
echo "$version $arch $flags" >"$root/.complete"
echo "$root"
