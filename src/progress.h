// SPDX-License-Identifier: MIT
// The upgrade's progress record, shared with any process that follows the upgrade through System V
// shared memory: its stage codes, the upgrade's result codes it carries at the end, and its
// writers.
#pragma once

#include <cstddef>
#include <cstdint>

#include "data.h"

// Progress record shared with any process that follows the upgrade (System V shared memory).
struct upgrade_progress {
    int32_t stage;         // UPGRADE_STAGE_* code
    uint32_t kernel_total; // kernel payload bytes; 0 until the writing starts
    uint32_t root_total;   // root payload bytes; 0 until the writing starts
    uint32_t kernel_done;  // kernel bytes written (stage 3) or compared (stage 5)
    uint32_t root_done;    // root bytes written (stage 4) or compared (stage 6)
    uint8_t percent;       // 0..100 while running; low byte of the failure code at stage -1
    uint8_t pad[3];        // never written
};
static_assert(sizeof(upgrade_progress) == 24, "the shared record is 24 bytes");
static_assert(offsetof(upgrade_progress, percent) == 20, "percent is byte 20");

enum : int32_t {
    UPGRADE_STAGE_FAILED = -1,
    UPGRADE_STAGE_LOADING = 2,
    UPGRADE_STAGE_WRITE_KERNEL = 3,
    UPGRADE_STAGE_WRITE_ROOT = 4,
    UPGRADE_STAGE_VERIFY_KERNEL = 5,
    UPGRADE_STAGE_VERIFY_ROOT = 6,
    UPGRADE_STAGE_DONE = 7,
};

enum : int {
    UPGRADE_PROGRESS_KEY = 0x13578642, // same number as the image magic
    UPGRADE_PROGRESS_SHMFLG = 0x200,   // IPC_CREAT, permission bits 0
};

// The upgrade's results; a failed run leaves the low byte of its code in the record.
enum : int {
    UPGRADE_OK = 0,
    UPGRADE_ERR_IMAGE = -16,
    UPGRADE_ERR_BOOT_SWITCH = -17,
    UPGRADE_ERR_LOCKED = -18,
    UPGRADE_ERR_RESOURCE = -19,
    UPGRADE_ERR_MAGIC = -20,
    UPGRADE_ERR_CHECKSUM = -21,
    UPGRADE_ERR_MODEL = -22,
    UPGRADE_ERR_WRITE = -23,
    UPGRADE_ERR_VERIFY = -24,
    UPGRADE_ERR_MARKER = -25, // the running bank could not be trusted or recorded: nothing stored
    UPGRADE_ERR_USAGE = -26,  // an argument that is an option the upgrade does not know
    UPGRADE_ERR_SIGNATURE = -27, // keys are trusted and the image's signature is missing or bad,
                                 // or the keyring cannot be read: nothing unlocked or stored
    UPGRADE_ERR_RECORD = -28,    // the target bank's record could not be written: no switch
};

// Creates or opens the shared record and attaches it; nullptr when that fails (told on standard
// error: the upgrade runs without it).
upgrade_progress *upgrade_progress_attach(void);
void upgrade_progress_detach(upgrade_progress *progress);

// Writers of the progress record; each does nothing without a record.
void progress_start(upgrade_progress *progress);
void progress_stage(upgrade_progress *progress, int32_t stage);
void progress_begin_write(upgrade_progress *progress, uint32_t kernel_total, uint32_t root_total);
void progress_begin_verify(upgrade_progress *progress);
void progress_finish(upgrade_progress *progress, int result);
// The transfer's sink that counts into `progress` (null: counts nothing): a write advances the done
// count of stage 3 or 4, a comparison that of stage 5 or 6, and the percentage follows both.
data_progress progress_sink(upgrade_progress *progress);
