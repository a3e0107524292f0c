#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Demo on a simulated device: build an image, stage it, run the upgrade with the progress watcher
# beside it, and show what changed. Usage: demo.sh [BUILD-DIR] (default build).
set -euo pipefail

build=${1:-build}
bin=$(cd "$build/bin" && pwd)
lib=$(cd "$build/lib" && pwd)/libevt.so
for f in "$bin/fwtool" "$bin/fwupgrade-sim" "$lib"; do
    [ -e "$f" ] || { echo "demo: $f is missing; build first (make build)" >&2; exit 2; }
done

tmp=$(mktemp -d "${TMPDIR:-/tmp}/fwdemo.XXXXXX")
watcher=
cleanup() {
    if [ -n "$watcher" ]; then kill "$watcher" 2>/dev/null || true; fi
    rm -rf "$tmp"
}
trap cleanup EXIT

dev=$tmp/device
fwtool=$bin/fwtool
export FWUP_SYSROOT=$dev

# The one program answers to the name it is started under.
mkdir "$tmp/bin"
for name in fwupgrade get_boot_idx redboot_cli; do
    ln -s "$bin/fwupgrade-sim" "$tmp/bin/$name"
done
get_bank() {
    local rc=0
    "$tmp/bin/get_boot_idx" || rc=$?
    echo "$rc"
}
section() { printf '\n== %s\n' "$*"; }

section "A simulated controller running bank 0"
"$fwtool" sandbox create "$dev" --running-bank 0 --evt-lib "$lib"
release=$(cat "$dev/proc/sys/kernel/osrelease")
model=${release#*-}
model=${model%%-*}

section "A firmware image for model $model with random payloads"
head -c 700000 /dev/urandom >"$tmp/kernel.bin"
head -c 2500000 /dev/urandom >"$tmp/root.bin"
mkdir -p "$tmp/oem/etc"
echo "vendor=demo" >"$tmp/oem/etc/oem.conf"
tar czf "$tmp/oem.tgz" --owner=0 --group=0 --numeric-owner -C "$tmp/oem" etc
"$fwtool" image create --model "$model" --kernel "$tmp/kernel.bin" --root "$tmp/root.bin" \
    -o "$tmp/fw.bin"
"$fwtool" sandbox stage "$dev" "$tmp/fw.bin" --oem "$tmp/oem.tgz"

bank_before=$(get_bank)
script_before=$("$tmp/bin/redboot_cli" show)
cmdline_before=$(cat "$dev/proc/cmdline")

section "Upgrade (fwupgrade) with 'fwtool progress --watch' beside it"
status_file=$tmp/upgrade.status
record_file=$tmp/record.txt
device_file=$tmp/status.txt
# The watcher and the upgrade share one IPC namespace; the final record and the device's status
# (which shows the record too) are read in it.
run_pair='
    "$1" progress --watch --timeout 30 & w=$!
    sleep 0.2 # the watcher looks at the record before the run begins
    rc=0; "$2" || rc=$?
    echo "$rc" >"$3"
    wait "$w" || true
    "$1" progress >"$4" 2>&1 || true
    "$1" status "$5" --image "$6" >"$7" 2>&1 || true
'
pair_args=("$fwtool" "$tmp/bin/fwupgrade" "$status_file" "$record_file" "$dev" "$tmp/fw.bin"
    "$device_file")
if [ "$(id -u)" -eq 0 ]; then
    if unshare --ipc true 2>/dev/null; then
        echo "(in a private IPC namespace, so no other run's record is seen)"
        unshare --ipc sh -c "$run_pair" sh "${pair_args[@]}"
    else
        sh -c "$run_pair" sh "${pair_args[@]}"
    fi
elif unshare --user --map-root-user --ipc true 2>/dev/null; then
    echo "(not root: the progress record has permission bits 0, so the pair runs as root of a"
    echo " private user namespace, with a private IPC namespace)"
    unshare --user --map-root-user --ipc sh -c "$run_pair" sh "${pair_args[@]}"
else
    echo "Not root: the upgrade creates its progress record with permission bits 0, so only"
    echo "root can attach it; the upgrade runs without a watcher and no record is shown."
    rc=0
    "$tmp/bin/fwupgrade" || rc=$?
    echo "$rc" >"$status_file"
    echo "(not readable without root)" >"$record_file"
    "$fwtool" status "$dev" --image "$tmp/fw.bin" >"$device_file" 2>&1 || true
fi
upgrade_status=$(cat "$status_file")
echo "fwupgrade exit status: $upgrade_status"

section "What changed"
bank_after=$(get_bank)
echo "boot bank (get_boot_idx exit status): $bank_before -> $bank_after"
echo "boot script before:"
echo "$script_before" | sed 's/^/    /'
echo "boot script after:"
"$tmp/bin/redboot_cli" show | sed -e '/^$/d' -e 's/^/    /'
echo "events logged (var/log/evt.log):"
sed -e 's/0x70006/0x70006 (upgrade start)/' -e 's/0x70007/0x70007 (upgrade success)/' \
    -e 's/0x70008/0x70008 (upgrade failure)/' -e 's/^/    /' "$dev/var/log/evt.log" 2>/dev/null ||
    echo "    (none)"
echo "var/lock: $(ls "$dev/var/lock" 2>/dev/null | tr "\n" " ")"
echo "OEM directory of bank $bank_after: $(cd "$dev/kelpvar/config$bank_after/oem_root" && find . -type f | tr '\n' ' ')"
echo "staging directory: $([ -e "$dev/tmpfs/upgrading" ] && echo still there || echo removed)"
echo "final progress record:"
sed 's/^/    /' "$record_file"
echo "fwtool status, against the image:"
sed 's/^/    /' "$device_file"

section "Power cycle"
"$fwtool" sandbox reboot "$dev"
echo "get_boot_idx after the reboot: $(get_bank)"
echo "kernel command line before the upgrade: $cmdline_before"
echo "kernel command line after the reboot:   $(cat "$dev/proc/cmdline")"

if [ "$upgrade_status" != 0 ] || [ "$bank_after" = "$bank_before" ]; then
    echo "demo: the upgrade did not switch the bank" >&2
    exit 1
fi
