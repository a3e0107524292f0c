// SPDX-License-Identifier: MIT
// Bank state: which bank runs, which an upgrade writes and which it falls back to, from the boot
// script, the change marker and the kernel command line. The decision is pure; the rest reads
// its sources.
#pragma once

#include <cstddef>

// Bank named by "bootopt=0"/"bootopt=1" in the first `len` bytes of a kernel command line
// (searched as bytes): 0 or 1, or -2 when neither occurs; the last one wins.
int boot_cmdline_override(const char *buf, size_t len);

// The bank "bootopt=" names on the running kernel's command line: 0 or 1; negative when it names
// none or /proc/cmdline cannot be read.
int boot_cmdline_bank(void);

// The running bank from its three sources, without I/O: the kernel command line's bank
// (`override`, 0 or 1, else negative) when it names one; else the bank a marker this tool made
// recorded (`marker`, 0 or 1, or a BOOT_MARKER_* value); else, with no marker (the script has not
// changed this boot), the bank the script names (`script_bank`, 0 or 1, else negative). 0 or 1;
// BOOT_ERR_FOREIGN when only a foreign marker was left to tell; BOOT_ERR_NOT_FOUND when nothing
// names a bank.
int boot_running_bank(int script_bank, int marker, int override);
// Bank state: the running bank is current and fall-back, the other one the target. 0 with the
// three banks stored; -1 when the script names no usable bank; BOOT_ERR_FOREIGN as
// boot_running_bank gives it.
int get_boot_idx(int *current_idx, int *target_idx, int *fallback_idx);
// Called by the block's frame before every store, with the bank the script names before it: the
// change marker /var/lock/bootidx_changed (this user's, mode 0600, one link, the running bank's
// digit and a newline) is made, synced, when it is not there yet, and stays until the reboot
// empties /var/lock. 0 when the store may go on; BOOT_ERR_MARKER, BOOT_ERR_FOREIGN or
// BOOT_ERR_NOT_FOUND when the command line names no bank and the running bank cannot be recorded
// (nothing may be stored then). Where the command line names the bank, the marker is made where
// it can be and nothing depends on it.
int boot_state_before_store(int script_bank);
