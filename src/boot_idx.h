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
// Its wait for the device's lock: takes flock `how` (LOCK_SH or LOCK_EX) on `fd`, waiting at
// most about `wait_ms` milliseconds for another holder (the routine waits 10 seconds, then fails
// with BOOT_ERR_OPEN). 0, or -1 when the lock was still held or flock failed otherwise.
int boot_config_flock(int fd, int how, int wait_ms);

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
// (searched as bytes): 0 or 1, or -2 when neither occurs ("bootopt=1" wins when both do).
int boot_cmdline_override(const char *buf, size_t len);

// Bank state. 0 with the three banks stored, or -1 when the script names no usable bank. When the
// kernel command line names the running bank, the target is always the other one; a change
// marker that contradicts it is stale and removed.
int get_boot_idx(int *current_idx, int *target_idx, int *fallback_idx);
// The change marker /var/lock/bootidx_changed: 0, or -1 when it could not be created/removed.
// Only a regular, empty file of this process's user counts as the marker; creating it replaces
// anything else at the path.
int set_bootidx_changed(void);
int clear_bootidx_changed(void);
// The upgrade lock /var/lock/fwupgrade.lock, held exclusive by an upgrade for its whole run and
// shared by the boot commands' edits. It is this user's alone (mode 0600): anything else at its
// path (another user's file, a link, a FIFO) is removed and the file made anew, never followed.
// The open descriptor (close-on-exec), or -1 with errno set (ENOENT: no lock directory).
int upgrade_lock_open(void);
// Mount directory of `device_name` from /etc/mtab: 0 with `buf` filled, or -1.
int get_mount_point(const char *device_name, char *buf, size_t size);

// Wrappers over do_flash_boot_idx; results passed on unchanged.
int set_boot_idx(int bank);
// The bank the script names now (0 or 1), or a BOOT_ERR_* code (BOOT_ERR_NOT_FOUND: neither).
int get_boot_bank(void);
// Selects `bank` with its ramdisk size in one store (none when the block holds it already).
int select_boot_bank(int bank, int ramdisk_mib);
int set_boot_exec(const char *text);
int set_boot_scrub(const char *text);
int set_boot_load(const char *text);
int get_boot_script(char *text); // `text` holds at least RB_SCRIPT_LEN bytes
// `*ramdisk_size` receives the result only when it is 0 or more.
int get_boot_ramdisk_size(int *ramdisk_size);
int set_boot_ramdisk_size(int ramdisk_size);

// Commands: the result becomes the exit status. Arguments asking for help or the version are
// answered before the commands run (fwupgrade_main).
int get_boot_idx_main(int argc, char **argv);
int set_boot_idx_main(int argc, char **argv);
int redboot_cli_main(int argc, char **argv);
// The usage of `command` ("get_boot_idx", "set_boot_idx", or redboot_cli's for any other name)
// on standard output.
void boot_command_usage(const char *command);
void redboot_cli_print_usage(void);
