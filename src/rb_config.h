// SPDX-License-Identifier: MIT
// The boot loader's configuration block in the "RedBoot config" partition: the entry walk, the
// CRC, the locked read, the edit and the read-back of a store; and the wrappers other modules use.
#pragma once

#include <cstdint>

#include "boot_script.h"
#include "mtd_part.h"

// What one operation on the block found and did, for the callers that report or act on it.
struct boot_report {
    int bank_before;           // bank the script named as read, or BOOT_ERR_NOT_FOUND
    int bank_after;            // bank it names after the operation (as read, when nothing stored)
    int stored;                // 1 when the block was written back
    int refusal;               // boot_refusal of a BOOT_ERR_REFUSED edit
    int record_bank;           // BOOT_ERR_BANK_RECORD: the bank whose record stopped the edit
    int record_check;          // BOOT_ERR_BANK_RECORD: bank_record_boot_check's result for it
    char device[MTD_PATH_LEN]; // the partition's block device, empty until looked up
};

enum : int {
    RB_CONFIG_SIZE = 0x20000,       // the whole configuration block
    RB_CONFIG_CRC_OFFSET = 0x1FFFC, // CRC word over everything before it
    RB_CONFIG_LIST_OFFSET = 8,      // first entry, after the length and key words
};

// The one routine behind every query and edit of the boot script: finds the partition, reads the
// block, finds the script entry, runs `operation` and stores the block back when an edit rewrote
// the text. Results as the BOOT_OP_* and BOOT_ERR_* codes give them. For the bank state, the host
// wrappers and the tests; the device's other modules use the wrappers below.
int do_flash_boot_idx(int operation, int argument, char *text);
// The same, filling `report`.
int boot_config_run(int operation, int argument, char *text, boot_report *report);
// Every edit that points the script at a bank (BOOT_OP_SET_IDX, the select below, or any edit
// after which the script names another bank) and would store the block is refused with
// BOOT_ERR_BANK_RECORD when that bank's record says it is being written or cannot be trusted
// (bank_record_boot_check): checked before the change marker is made and before any store.
// Points the script at `bank` and sets its ramdisk size to `ramdisk_mib` in one edit and at most
// one store (boot_script_select); results as for BOOT_OP_SET_IDX.
int boot_config_select(int bank, int ramdisk_mib, boot_report *report);
// Pure worker over a block in memory (do_flash_boot_idx is its I/O frame).
// Offset of the 512-byte script field inside the RB_CONFIG_SIZE-byte `block`, or
// BOOT_ERR_NO_SCRIPT. Never reads past the CRC word.
int boot_config_find_script(const uint8_t *block);

// Wrappers over do_flash_boot_idx; results passed on unchanged.
int set_boot_idx(int bank);
// The bank the script names now (0 or 1), or a BOOT_ERR_* code (BOOT_ERR_NOT_FOUND: neither).
int get_boot_bank(void);
// Selects `bank` with its ramdisk size in one store (none when the block holds it already).
int select_boot_bank(int bank, int ramdisk_mib);
