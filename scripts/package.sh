#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Makes the packages of one build, reproducibly: the same commit gives the same bytes (every
# time stamp is SOURCE_DATE_EPOCH, the commit's time; entries sorted; owner root; fixed modes).
#
# Usage: package.sh device BUILD_DIR DEB_ARCH   the controller's package (a cross build):
#            BUILD_DIR/fwupgrade_<version>_<arch>.deb with /usr/sbin/fwupgrade and its three
#            command links, and the same files as fwupgrade-<version>-<triplet>.tar.gz for a
#            controller without dpkg
#        package.sh host BUILD_DIR                the host package (a host build):
#            BUILD_DIR/fwupgrade-tools_<version>_<arch>.deb with fwtool, fwupgrade-sim and
#            its event library, man pages and bash completion
# The version is the one the build put into the programs (BUILD_DIR/generated/fw_version.txt):
# the project version, then +g<commit>, then .dirty for a tree with local changes.
# Environment: SOURCE_DATE_EPOCH (default: the time of the commit checked out),
# PACKAGE_MAINTAINER (the Maintainer field).
set -euo pipefail

die() {
    echo "package.sh: $*" >&2
    exit 1
}

[ $# -ge 2 ] || die "usage: package.sh device BUILD_DIR DEB_ARCH | host BUILD_DIR"
kind=$1
build=$(cd "$2" && pwd)
src=$(cd "$(dirname "$0")/.." && pwd)
maintainer=${PACKAGE_MAINTAINER:-the fwupgrade authors <fwupgrade@example.org>}
case $kind in
device)
    [ $# -eq 3 ] || die "usage: package.sh device BUILD_DIR DEB_ARCH"
    arch=$3 pkg=fwupgrade
    ;;
host)
    [ $# -eq 2 ] || die "usage: package.sh host BUILD_DIR"
    arch=$(dpkg --print-architecture) pkg=fwupgrade-tools
    ;;
*) die "unknown kind '$kind' (device or host)" ;;
esac

vfile=$build/generated/fw_version.txt
version=$(sed -n 1p "$vfile" 2>/dev/null) || true
commit=$(sed -n 2p "$vfile" 2>/dev/null) || true
[ -n "$version" ] || die "no version in $vfile (build first)"
# Debian versions allow no '-' without a revision: abc123-dirty becomes abc123.dirty.
debversion=$version${commit:++g${commit//-/.}}
if [ -z "${SOURCE_DATE_EPOCH:-}" ]; then
    SOURCE_DATE_EPOCH=$(git -C "$src" log -1 --format=%ct 2>/dev/null) || SOURCE_DATE_EPOCH=0
fi
export SOURCE_DATE_EPOCH
export LC_ALL=C TZ=UTC

# The install, as the package will lay it out.
root=$build/package/$pkg
rm -rf "$root"
mkdir -p "$root"
DESTDIR=$root cmake --install "$build" --prefix /usr --strip >/dev/null
doc=$root/usr/share/doc/$pkg
mkdir -p "$doc"

# The newest version of each library's symbols the binaries use, e.g. GLIBC_2.34.
newest_symbol() { # PREFIX FILE...
    local prefix=$1
    shift
    for f in "$@"; do
        readelf -V --wide "$f" | sed -n '/\.gnu\.version_r/,$p' | grep -o "Name: ${prefix}_[0-9.]*"
    done | sed "s/^Name: ${prefix}_//" | sort -uV | tail -n 1
}

case $kind in
device)
    exe=$root/usr/sbin/fwupgrade
    [ -f "$exe" ] || die "$build installs no usr/sbin/fwupgrade (not a cross build?)"
    # The dynamic loader comes with libc6 too: on ARM the stack protector's guard word lives there.
    needed=$(readelf -d "$exe" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p' |
        grep -vE '^ld-linux(-armhf)?\.so\.3$' | sort -u | paste -sd ' ' -)
    [ "$needed" = libc.so.6 ] || die "fwupgrade needs '$needed'; the package declares only libc6"
    glibc=$(newest_symbol GLIBC "$exe")
    [ -n "$glibc" ] || die "no versioned C library symbols in $exe"
    depends="libc6 (>= $glibc)"
    # The pages of all four names go along: a field engineer reads them on the controller.
    mkdir -p "$root/usr/share/man/man8"
    cp "$src/man/fwupgrade.8" "$root/usr/share/man/man8/"
    for link in get_boot_idx set_boot_idx redboot_cli; do
        ln -sf fwupgrade.8 "$root/usr/share/man/man8/$link.8"
    done
    summary="firmware upgrade and boot bank control for the two-bank controller"
    long=" Installs a staged firmware image into the bank that is not running, verifies
 it and points the boot loader's script at it (fwupgrade); get_boot_idx,
 set_boot_idx and redboot_cli read and edit the boot script."
    ;;
host)
    for f in usr/bin/fwtool usr/bin/fwupgrade-sim usr/lib/fwupgrade/libevt.so; do
        [ -f "$root/$f" ] || die "$build installs no $f (not a host build?)"
    done
    [ ! -e "$root/usr/sbin/fwupgrade" ] || die "a host package must not hold the device program"
    # dpkg-shlibdeps reads the versioned symbols against the libraries' symbols files.
    shl=$build/package/shlibdeps
    rm -rf "$shl"
    mkdir -p "$shl/debian"
    printf 'Source: fwupgrade\n\nPackage: %s\nArchitecture: any\n' "$pkg" >"$shl/debian/control"
    depends=$(cd "$shl" && dpkg-shlibdeps -O "$root/usr/bin/fwtool" "$root/usr/bin/fwupgrade-sim" \
        "$root/usr/lib/fwupgrade/libevt.so" 2>/dev/null | sed -n 's/^shlibs:Depends=//p')
    [ -n "$depends" ] || die "dpkg-shlibdeps found no dependencies"
    summary="image, simulator and progress tools for the fwupgrade firmware tool"
    long=" fwtool writes and checks firmware images, builds simulated devices for
 fwupgrade-sim (the device program with every path under a sandbox), and shows
 what a device holds and how an upgrade is going."
    ;;
esac

# Debian's documentation files: the licence and a changelog entry for this build.
{
    echo "Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/"
    echo "Upstream-Name: fwupgrade"
    echo
    echo "Files: *"
    echo "Copyright: $(date -u -d "@$SOURCE_DATE_EPOCH" +%Y) the fwupgrade authors"
    echo "License: Expat"
    echo
    echo "License: Expat"
    sed -n '/^Permission/,$p' "$src/LICENSE" | sed 's/^$/./; s/^/ /'
} >"$doc/copyright"
{
    echo "$pkg ($debversion) unstable; urgency=medium"
    echo
    echo "  * Built from ${commit:-a source tree outside git}."
    echo
    echo " -- $maintainer  $(date -u -d "@$SOURCE_DATE_EPOCH" -R)"
} | gzip -9n >"$doc/changelog.gz"

# Man pages compressed, their links pointed at the compressed page.
if [ -d "$root/usr/share/man" ]; then
    find "$root/usr/share/man" -type f -name '*.[0-9]' -exec gzip -9n {} +
    find "$root/usr/share/man" -type l -name '*.[0-9]' | while read -r l; do
        ln -s "$(readlink "$l").gz" "$l.gz"
        rm "$l"
    done
fi

# Modes and times independent of the umask and the clock of the build.
find "$root" -type d -exec chmod 0755 {} +
find "$root" -type f -exec chmod 0644 {} +
find "$root/usr" -type f \( -path '*/bin/*' -o -path '*/sbin/*' \) -exec chmod 0755 {} +

mkdir -p "$root/DEBIAN"
(cd "$root" && find usr -type f | sort | xargs md5sum) >"$root/DEBIAN/md5sums"
size=$(cd "$root" && find usr -type f -printf '%s\n' | awk '{ k += int(($1 + 1023) / 1024) } END { print k }')
cat >"$root/DEBIAN/control" <<CONTROL
Package: $pkg
Version: $debversion
Architecture: $arch
Maintainer: $maintainer
Installed-Size: $size
Depends: $depends
Section: admin
Priority: optional
Description: $summary
$long
CONTROL
chmod 0755 "$root/DEBIAN"
chmod 0644 "$root/DEBIAN/control" "$root/DEBIAN/md5sums"
find "$root" -exec touch -h -d "@$SOURCE_DATE_EPOCH" {} +

deb=$build/${pkg}_${debversion}_$arch.deb
rm -f "$build/${pkg}"_*.deb
dpkg-deb --root-owner-group -Zxz --build "$root" "$deb" >/dev/null
echo "$deb"

if [ "$kind" = device ]; then
    # The tarball holds no directory entries, so unpacking it leaves the owner and mode of /usr
    # and /usr/sbin as they are; nor the documentation, which a controller without dpkg
    # would never remove.
    case $arch in
    armel) triplet=arm-linux-gnueabi ;;
    armhf) triplet=arm-linux-gnueabihf ;;
    *) triplet=$arch ;;
    esac
    tarball=$build/fwupgrade-$version${commit:+-g$commit}-$triplet.tar.gz
    rm -f "$build"/fwupgrade-*.tar.gz
    (cd "$root" && find usr/sbin ! -type d | sort) >"$build/package/tar-files"
    tar --sort=name --owner=0 --group=0 --numeric-owner --mtime="@$SOURCE_DATE_EPOCH" \
        -C "$root" -cf - -T "$build/package/tar-files" | gzip -9n >"$tarball"
    echo "$tarball"
fi
