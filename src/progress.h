// SPDX-License-Identifier: MIT
// The upgrade's progress record, shared with any process that follows the upgrade through System V
// shared memory, and its stage codes. A leaf: the transfer code counts progress in it too.
#pragma once

#include <cstddef>
#include <cstdint>

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
