#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Valgrind memcheck over the end-to-end runs of fwupgrade-sim, one log per process; every run must
# end with no error and no leak of any kind.
#   1. The upgrade tests, with Valgrind following each test into every fwupgrade-sim it starts
#      (not into shells, tar and the other helpers). The named commands cannot be followed that
#      way: a followed program is started under its path, which loses the invocation name.
#   2. The named commands, run under Valgrind through links that carry their names, on a
#      simulated device: every sub-command, argument errors, and a device without its
#      configuration partition.
# Usage: memcheck.sh BUILD-DIR
set -euo pipefail

build=$(cd "${1:?usage: memcheck.sh BUILD-DIR}" && pwd)
here=$(cd "$(dirname "$0")" && pwd)
logs=$build/memcheck
rm -rf "$logs"
mkdir -p "$logs/bin"

vg=(valgrind --trace-children=yes
    --trace-children-skip='*/sh,*/bash,*/dash,*/rm,*/mkdir,*/tar,*/gzip,*/fwtool'
    --num-callers=40 --leak-check=full --show-leak-kinds=all --errors-for-leak-kinds=all
    --track-origins=yes --suppressions="$here/memcheck.supp")

rc=0
echo "== upgrade_test under valgrind"
# The tests that also run named commands (set_boot_idx, redboot_cli) are left to part 2.
named='Upgrade.NeverWritesTheBankTheScriptNames:Upgrade.NeverWritesTheRunningBank'
named+=':Upgrade.StoresOfTheConfigurationBlock:Upgrade.BootCommandsAndUpgradesExcludeEachOther'
if ! "${vg[@]}" --log-file="$logs/upgrade_test.%p.log" "$build/bin/upgrade_test" --gtest_brief=1 \
    --gtest_filter="-$named"; then
    echo "upgrade_test: failures under valgrind"
    rc=1
fi

echo "== the named commands under valgrind"
device=$logs/device
"$build/bin/fwtool" sandbox create "$device" >/dev/null
for c in get_boot_idx set_boot_idx redboot_cli; do
    ln -s "$build/bin/fwupgrade-sim" "$logs/bin/$c"
done
command() {
    FWUP_SYSROOT=$device "${vg[@]}" --log-file="$logs/command.%p.log" "$logs/bin/$1" "${@:2}" \
        >/dev/null 2>&1 || true
}
command get_boot_idx
command get_boot_idx extra
command set_boot_idx 1
command set_boot_idx 0
command set_boot_idx 2
command set_boot_idx
command redboot_cli show
command redboot_cli disable_uart
command redboot_cli enable_uart
command redboot_cli update_exec "root=/dev/ram0 initrd=0x0a000000,16M console=ttyS0,115200"
command redboot_cli update_scrub 0x0a000000
command redboot_cli update_scrub 0x0c000000
command redboot_cli update_load 0x0c000000
command redboot_cli update_exec "$(printf 'x%.0s' $(seq 600))"
command redboot_cli
command redboot_cli SHOW
command redboot_cli update_load
command redboot_cli update_load banana
command redboot_cli update_exec 'a"b'
command set_boot_idx --help
command redboot_cli --version
sed -i '/RedBoot config/d' "$device/proc/mtd"
command get_boot_idx
command set_boot_idx 1
command redboot_cli show

# A run's log ends with its summary. A log without one belongs to a child that a run forked to
# start a helper (shell, tar), which Valgrind does not follow past the exec.
is_run='^==[0-9]+== Command: .*/(fwupgrade-sim|get_boot_idx|set_boot_idx|redboot_cli)( |$)'
runs=0
bad=0
forks=0
for log in "$logs"/*.log; do
    grep -Eq "$is_run" "$log" || continue
    if grep -q 'ERROR SUMMARY' "$log"; then
        runs=$((runs + 1))
        grep -q 'ERROR SUMMARY: 0 errors' "$log" && continue
    else
        parent=$(sed -n 's/^==[0-9]*== Parent PID: //p' "$log")
        if grep -Eqs "$is_run" "$logs"/*."$parent".log; then
            forks=$((forks + 1))
            continue
        fi
        echo "$log: the run ended without a summary"
    fi
    bad=$((bad + 1))
    echo "--- $log"
    cat "$log"
done
echo "memcheck: $runs runs of fwupgrade-sim, $bad with an error or a leak ($forks forks for helpers)"
[ "$runs" -gt 0 ] && [ "$bad" -eq 0 ] && [ "$rc" -eq 0 ]
