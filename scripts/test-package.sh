#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Checks the packages of one build (arguments as scripts/package.sh takes them): made twice,
# under different umasks and after the installed files' times changed, they are the same bytes;
# the control fields, digests, owners, modes and times are the ones a package manager needs;
# with TEST_LINTIAN=1, lintian finds no error (make test-package; too slow for every test run).
# Also checks that the version carries the dirty
# marker for a tree with local changes.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
src=$(dirname "$here")
kind=$1
build=$2
fail=0
bad() {
    echo "test-package: $*" >&2
    fail=1
}

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

# The same build packaged twice, the second run under another umask and a second later: the
# same bytes.
mapfile -t first < <(umask 022 && "$here/package.sh" "$@")
[ ${#first[@]} -gt 0 ] || { echo "test-package: package.sh made no package" >&2; exit 1; }
mkdir "$scratch/first"
cp "${first[@]}" "$scratch/first/"
sleep 1
mapfile -t second < <(umask 077 && "$here/package.sh" "$@")
[ "${#first[@]}" = "${#second[@]}" ] || bad "the two runs made different files"
for f in "${second[@]}"; do
    cmp -s "$f" "$scratch/first/$(basename "$f")" || bad "$(basename "$f") differs between two runs"
done

deb=${first[0]}
version=$(sed -n 1p "$build/generated/fw_version.txt")
commit=$(sed -n 2p "$build/generated/fw_version.txt")
field() { dpkg-deb -f "$deb" "$1"; }
case $kind in
device) pkg=fwupgrade arch=$3 ;;
host) pkg=fwupgrade-tools arch=$(dpkg --print-architecture) ;;
esac
expect_version=$version${commit:++g${commit//-/.}}
while read -r name want; do
    got=$(field "$name")
    [ "$got" = "$want" ] || bad "$deb: $name is '$got', not '$want'"
done <<FIELDS
Package $pkg
Version $expect_version
Architecture $arch
Section admin
Priority optional
FIELDS
for name in Maintainer Description Installed-Size; do
    [ -n "$(field "$name")" ] || bad "$deb: no $name field"
done
# The C library the binaries need: the dependency names at least the newest symbol version used.
depends=$(field Depends)
[[ $depends =~ libc6\ \(\>=\ ([0-9.]+)\) ]] || bad "$deb: no versioned libc6 in Depends '$depends'"
dpkg-deb -x "$deb" "$scratch/x"
dpkg-deb -e "$deb" "$scratch/x/DEBIAN"
while IFS= read -r -d '' elf; do
    file_need=$(readelf -V --wide "$elf" | sed -n '/\.gnu\.version_r/,$p' |
        grep -o 'Name: GLIBC_[0-9.]*' | sed 's/^Name: GLIBC_//' | sort -uV | tail -n 1)
    [ -z "$file_need" ] || dpkg --compare-versions "${BASH_REMATCH[1]:-0}" ge "$file_need" ||
        bad "$deb: ${elf#"$scratch"/x} needs GLIBC_$file_need, Depends says $depends"
done < <(find "$scratch/x/usr" -type f \( -path '*/bin/*' -o -name '*.so' \) -print0)

# Every file's digest is listed and right; nothing but root owns anything; times are the
# commit's; the layout is the one the controller or host expects.
(cd "$scratch/x" && md5sum --quiet -c DEBIAN/md5sums) || bad "$deb: md5sums do not match"
listed=$(sed 's/^[0-9a-f]*  //' "$scratch/x/DEBIAN/md5sums" | sort)
present=$(cd "$scratch/x" && find usr -type f | sort)
[ "$listed" = "$present" ] || bad "$deb: md5sums does not list exactly the package's files"
owners=$(dpkg-deb -c "$deb" | awk '{ print $2 }' | sort -u)
[ "$owners" = root/root ] || bad "$deb: owners $owners"
epoch=$(git -C "$src" log -1 --format=%ct 2>/dev/null || echo 0)
stamp=$(date -u -d "@${SOURCE_DATE_EPOCH:-$epoch}" '+%Y-%m-%d %H:%M')
dpkg-deb -c "$deb" | grep -v -F " $stamp " && bad "$deb: entries not dated $stamp"
case $kind in
device)
    want="usr/sbin/fwupgrade usr/sbin/get_boot_idx usr/sbin/redboot_cli usr/sbin/set_boot_idx"
    got=$(cd "$scratch/x" && find usr/sbin ! -type d | sort | paste -sd ' ' -)
    [ "$got" = "$want" ] || bad "$deb: usr/sbin holds '$got'"
    for link in get_boot_idx set_boot_idx redboot_cli; do
        [ "$(readlink "$scratch/x/usr/sbin/$link")" = fwupgrade ] || bad "$deb: $link is no link"
    done
    tarball=${first[1]}
    got=$(tar -tzf "$tarball" | sort | paste -sd ' ' -)
    [ "$got" = "$want" ] || bad "$tarball holds '$got'"
    ;;
host)
    for f in usr/bin/fwtool usr/bin/fwupgrade-sim usr/lib/fwupgrade/libevt.so \
        usr/share/man/man1/fwtool.1.gz usr/share/man/man8/fwupgrade.8.gz \
        usr/share/man/man8/get_boot_idx.8.gz usr/share/bash-completion/completions/fwtool; do
        [ -e "$scratch/x/$f" ] || bad "$deb: no $f"
    done
    [ ! -e "$scratch/x/usr/sbin/fwupgrade" ] || bad "$deb: holds the device program"
    ;;
esac

if [ "${TEST_LINTIAN:-0}" = 1 ]; then
    lintian --fail-on error "$deb" ||
        bad "$deb: lintian reports errors"
fi

# A tree with local changes is marked: a scratch repository, committed, then changed.
repo=$scratch/repo
git init -q "$repo"
echo a >"$repo/f"
git -C "$repo" add f
git -C "$repo" -c user.name=t -c user.email=t@t commit -qm init
for state in clean dirty; do
    [ $state = dirty ] && echo b >"$repo/f"
    cmake -DFW_VERSION=9.9 -DFW_SOURCE_DIR="$repo" -DFW_OUTPUT="$scratch/v-$state/fw_version.h" \
        -P "$src/cmake/version.cmake"
    c=$(sed -n 2p "$scratch/v-$state/fw_version.txt")
    case $state:$c in
    clean:*-dirty | clean: | dirty:[0-9a-f]*[0-9a-f]) bad "a $state tree gives commit '$c'" ;;
    esac
done

[ $fail -eq 0 ] && echo "test-package: $deb checked${first[1]:+, and ${first[1]}}"
exit $fail
