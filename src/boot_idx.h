// SPDX-License-Identifier: MIT
// Boot configuration: RedBoot's configuration block in the "RedBoot config" partition, the
// operations on its boot script, the bank state (which bank runs, which to write, which to fall
// back to) and the get_boot_idx, set_boot_idx and redboot_cli commands.
#pragma once

#include <cstddef>
#include <cstdint>

#include "mtd_part.h"

enum : int {
    BOOT_OP_GET_IDX = 1,
    BOOT_OP_SET_IDX = 2,
    BOOT_OP_GET_RAMDISK_SIZE = 3,
    BOOT_OP_SET_RAMDISK_SIZE = 4,
    BOOT_OP_SHOW = 5,
    BOOT_OP_ENABLE_UART = 6,
    BOOT_OP_DISABLE_UART = 7,
    BOOT_OP_UPDATE_EXEC = 8,
    BOOT_OP_UPDATE_SCRUB = 9,
    BOOT_OP_UPDATE_LOAD = 10,
    BOOT_OP_GET_SCRIPT = 11,
};

enum : int {
    BOOT_ERR_UNKNOWN_OP = -1,   // operation code outside 1 to 11 (the one failure that prints)
    BOOT_ERR_BAD_INDEX = -2,    // set with a bank other than 0 or 1
    BOOT_ERR_NO_PARTITION = -3, // "RedBoot config" not in /proc/mtd
    BOOT_ERR_UNLOCK = -4,       // the flash driver refused the unlock
    BOOT_ERR_OPEN = -5,         // the block device did not open
    BOOT_ERR_READ = -6,         // fewer than RB_CONFIG_SIZE bytes could be read
    BOOT_ERR_NO_SCRIPT = -7,    // no type-4 entry named "boot_script_data"
    BOOT_ERR_NOT_FOUND = -8,    // a query's text is not in the script
    BOOT_ERR_STORE = -9,        // the block could not be stored back
    BOOT_ERR_BUSY = -10,        // a boot command met a running upgrade: nothing changed
    BOOT_ERR_REFUSED = -11,     // the edit would break the script's structure: nothing stored
    BOOT_ERR_MARKER = -12,      // the change marker could not be made: nothing stored
    BOOT_ERR_FOREIGN = -13,     // no bank on the command line, and the marker's path holds
                                // something this tool did not make: nothing stored
};

// What the change marker's path holds, besides the running bank (0 or 1) of a marker this tool
// made.
enum : int {
    BOOT_MARKER_ABSENT = -1,  // nothing: the script has not changed this boot
    BOOT_MARKER_FOREIGN = -2, // something else: another type, owner, mode, link count or content
};

// How boot_config_flock waits.
enum : int {
    FLOCK_WAIT_ANY = 0,    // while anyone holds the lock
    FLOCK_WAIT_SHARED = 1, // only while every holder shares it: an exclusive holder fails at once
    FLOCK_ERR_EXCLUSIVE = -2, // the result when FLOCK_WAIT_SHARED met an exclusive holder
};

// Why an edit was refused (BOOT_ERR_REFUSED).
enum boot_refusal : int {
    BOOT_REFUSE_NONE = 0,
    BOOT_REFUSE_TOO_LONG,      // the edited script would not fit in its 512-byte field
    BOOT_REFUSE_CONTROL_CHAR,  // the value holds a double quote, a newline or a control character
    BOOT_REFUSE_NOT_NUMBER,    // the value is not a 0x hex or decimal number
    BOOT_REFUSE_NO_BANK_DIGIT, // "kernel" or "root" is not followed by a bank digit
    BOOT_REFUSE_NO_UNIT,       // the ramdisk size is not a number followed by its unit letter
    BOOT_REFUSE_SPANS_LINES,   // the text to replace runs across a line end
    BOOT_REFUSE_OTHER_BANK,    // after the switch the script would still name the other bank
    BOOT_REFUSE_CHANGES_BANK,  // the edit would change the bank the script names
    BOOT_REFUSE_EMPTY_CMDLINE, // update_exec with nothing but blanks: the kernel finds no root
    BOOT_REFUSE_BOOTOPT,       // update_exec holding "bootopt=", which the boot loader appends
    BOOT_REFUSE_OTHER_LINE,    // the edit's anchor is not on the line it writes to
    BOOT_REFUSE_TOO_LARGE,     // the value is a number beyond the boot loader's 32 bits
    BOOT_REFUSE_COUNT,
};

// What one operation on the block found and did, for the callers that report or act on it.
struct boot_report {
    int bank_before;           // bank the script named as read, or BOOT_ERR_NOT_FOUND
    int bank_after;            // bank it names after the operation (as read, when nothing stored)
    int stored;                // 1 when the block was written back
    int refusal;               // boot_refusal of a BOOT_ERR_REFUSED edit
    char device[MTD_PATH_LEN]; // the partition's block device, empty until looked up
};

enum : int {
    RB_CONFIG_SIZE = 0x20000,       // the whole configuration block
    RB_CONFIG_CRC_OFFSET = 0x1FFFC, // CRC word over everything before it
    RB_CONFIG_LIST_OFFSET = 8,      // first entry, after the length and key words
    RB_SCRIPT_LEN = 512,            // value length of a script entry
};

// The one routine behind every query and edit of the boot script: finds the partition, reads the
// block, finds the script entry, runs `operation` and stores the block back when an edit rewrote
// the text. Results as the BOOT_OP_* and BOOT_ERR_* codes give them. Module-internal: other
// modules use the wrappers below; it is declared here for the module's tests.
int do_flash_boot_idx(int operation, int argument, char *text);
// The same, filling `report`.
int boot_config_run(int operation, int argument, char *text, boot_report *report);
// Points the script at `bank` and sets its ramdisk size to `ramdisk_mib` in one edit and at most
// one store (boot_script_select); results as for BOOT_OP_SET_IDX.
int boot_config_select(int bank, int ramdisk_mib, boot_report *report);
// The one bounded wait for a lock on a device: takes flock `how` (LOCK_SH or LOCK_EX) on `fd`,
// polling for at most about `wait_ms` milliseconds while another holds it, as `wait_for` says
// (the routine waits 10 seconds for the device's lock, then fails with BOOT_ERR_OPEN). 0; -1
// when the lock was still held (errno EWOULDBLOCK) or flock failed otherwise;
// FLOCK_ERR_EXCLUSIVE when FLOCK_WAIT_SHARED met an exclusive holder (an upgrade's).
int boot_config_flock(int fd, int how, int wait_ms, int wait_for = FLOCK_WAIT_ANY);

// Pure workers over a block in memory (do_flash_boot_idx is their I/O frame).
// Offset of the 512-byte script field inside the RB_CONFIG_SIZE-byte `block`, or
// BOOT_ERR_NO_SCRIPT. Never reads past the CRC word.
int boot_config_find_script(const uint8_t *block);
// Runs query or edit `operation` (1 to 11) on the 512-byte script `field`; sets `*modified` when an
// edit rewrote the text. An edit makes exactly its change or none: one that would not fit, whose
// value would change the script's structure, or whose anchor is not what it writes to is refused
// with BOOT_ERR_REFUSED and the field untouched (`*refusal`, when not null, says why). Never reads
// or writes outside the field (or, for BOOT_OP_GET_SCRIPT, more than RB_SCRIPT_LEN bytes of
// `text`).
int boot_script_run(char *field, int operation, int argument, char *text, int *modified,
                    int *refusal);
// Points the script at `bank` and, when its ramdisk size is not `ramdisk_mib` already, sets that
// too, in one edit. The bank edit decides: refused, nothing changes; a ramdisk number that cannot
// be rewritten soundly is left as it is.
int boot_script_select(char *field, int bank, int ramdisk_mib, int *modified, int *refusal);
// Bank named by "bootopt=0"/"bootopt=1" in the first `len` bytes of a kernel command line
// (searched as bytes): 0 or 1, or -2 when neither occurs; the last one wins.
int boot_cmdline_override(const char *buf, size_t len);

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
// The upgrade lock: the "RedBoot config" partition's character device, which only root can open
// (the block device's own lock serialises each query and store of the block). An upgrade holds it
// exclusive for its whole run, the boot commands' edits shared. The open descriptor
// (close-on-exec), or -1 with errno set (ENOENT: no such partition or device node).
int upgrade_lock_open(void);

// Wrappers over do_flash_boot_idx; results passed on unchanged.
int set_boot_idx(int bank);
// The bank the script names now (0 or 1), or a BOOT_ERR_* code (BOOT_ERR_NOT_FOUND: neither).
int get_boot_bank(void);
// Selects `bank` with its ramdisk size in one store (none when the block holds it already).
int select_boot_bank(int bank, int ramdisk_mib);

// Commands: the result becomes the exit status. Arguments asking for help or the version are
// answered before the commands run (fwupgrade_main).
int get_boot_idx_main(int argc, char **argv);
int set_boot_idx_main(int argc, char **argv);
int redboot_cli_main(int argc, char **argv);
// The usage of `command` ("get_boot_idx", "set_boot_idx", or redboot_cli's for any other name)
// on standard output.
void boot_command_usage(const char *command);
void redboot_cli_print_usage(void);
