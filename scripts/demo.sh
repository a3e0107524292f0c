#!/usr/bin/env bash
# Demo on a simulated device: query and switch the boot bank with the real program.
set -euo pipefail
build=${1:-build}
bin=$build/bin
root=$(mktemp -d /tmp/fwdemo.XXXXXX)
trap 'rm -rf "$root"' EXIT

"$bin/fwtool" sandbox create "$root" --running-bank 0 >/dev/null
export FWUP_SYSROOT=$root
ln -sf "$PWD/$bin/fwupgrade-sim" "$root/get_boot_idx"
ln -sf "$PWD/$bin/fwupgrade-sim" "$root/set_boot_idx"
set +e
"$root/get_boot_idx"; echo "get_boot_idx -> bank $?"
"$root/set_boot_idx" 1; echo "set_boot_idx 1 -> status $?"
"$root/get_boot_idx"; echo "get_boot_idx -> bank $?"
