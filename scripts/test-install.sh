#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# The host install of a build, into a scratch root: what it holds (and does not), and the
# hands-on session of the README run from the installed tree alone.
#   test-install.sh BUILD_DIR
set -euo pipefail

build=$(cd "$1" && pwd)
scratch=$(mktemp -d)
# The session's progress record goes with the scratch directory (its key is the sandbox's own).
# shellcheck disable=SC2317 # run by the trap
cleanup() {
    if [ -f "$scratch/dev/etc/fwupgrade-sim.key" ]; then
        ipcrm -M "$(cat "$scratch/dev/etc/fwupgrade-sim.key")" 2>/dev/null || true
    fi
    rm -rf "$scratch"
}
trap cleanup EXIT
fail=0
bad() {
    echo "test-install: $*" >&2
    fail=1
}

root=$scratch/root
DESTDIR=$root cmake --install "$build" --prefix /usr >/dev/null
for f in bin/fwtool bin/fwupgrade-sim lib/fwupgrade/libevt.so share/man/man1/fwtool.1 \
    share/man/man8/fwupgrade.8 share/man/man8/redboot_cli.8 \
    share/bash-completion/completions/fwtool; do
    [ -e "$root/usr/$f" ] || bad "no usr/$f"
done
for f in sbin/fwupgrade sbin/get_boot_idx sbin/set_boot_idx sbin/redboot_cli; do
    if [ -e "$root/usr/$f" ] || [ -L "$root/usr/$f" ]; then bad "usr/$f installed on a host"; fi
done
[ $fail -eq 0 ] || exit 1

# The session, with nothing from the build tree: the links drive the installed simulator, and
# fwtool finds the event library beside itself.
cd "$scratch"
mkdir bin
for name in get_boot_idx set_boot_idx redboot_cli fwupgrade; do
    ln -s "$root/usr/bin/fwupgrade-sim" "bin/$name"
done
unset FWTOOL_EVT_LIB
export PATH=$scratch/bin:$root/usr/bin:$PATH FWUP_SYSROOT=$scratch/dev
step() { # WANTED_STATUS COMMAND...
    local want=$1 got=0
    shift
    "$@" >"$scratch/out" 2>&1 || got=$?
    [ "$got" = "$want" ] || { bad "'$*' exited $got, not $want:"; cat "$scratch/out" >&2; }
}
step 0 fwtool sandbox create dev
grep -q 'events: lib/libevt.so' "$scratch/out" || bad "sandbox create found no event library"
head -c 70000 /dev/urandom >kernel.bin
head -c 250000 /dev/urandom >root.bin
step 0 fwtool image create --model SIM3000 --kernel kernel.bin --root root.bin -o fw.bin
step 0 fwtool sandbox stage dev fw.bin
step 0 get_boot_idx
step 0 fwupgrade
step 1 get_boot_idx
step 0 fwtool status dev --image fw.bin
step 0 fwtool progress
grep -q '^stage:   7 (done)' "$scratch/out" || bad "the record does not show the run done"
step 0 fwtool sandbox reboot dev
grep -q 'booted bank 1' "$scratch/out" || bad "the reboot did not start bank 1"
exit $fail
