// SPDX-License-Identifier: MIT
// The boot script's queries and edits over its 512-byte field in memory, and the operation and
// result codes of every query and edit of the boot configuration. Pure: no I/O.
#pragma once

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
    BOOT_ERR_BANK_RECORD = -14, // the bank to point at is being written, or its record cannot
                                // be trusted: nothing stored
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

enum : int {
    RB_SCRIPT_LEN = 512, // value length of a script entry
};

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
