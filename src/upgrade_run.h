// SPDX-License-Identifier: MIT
// What one upgrade run holds, shared by the files of the upgrade module (the procedure in
// upgrade.cpp, the payloads in upgrade_payload.cpp, the notifications in upgrade_notify.cpp).
// Internal to the module.
#pragma once

#include <cstdint>
#include <cstdio>

#include "data_blk.h"
#include "image.h"
#include "mtd_part.h"
#include "progress.h"

// Everything one upgrade run holds; the exit steps are valid for it from the moment it exists.
struct upgrade_run {
    upgrade_progress *progress;      // attached record, or null: the run goes on without one
    FILE *image;                     // the staged image, open from its loading to the exit steps
    datasrc payloads[PAYLOAD_COUNT]; // kernel and root, read from `image` at each transfer
    char image_model[FW_NAME_LEN];   // model name from the image header
    int current_idx;                 // the running bank
    int target_idx;                  // bank written and then selected
    int fallback_idx;                // bank the script must name again after a failure
    uint32_t kernel_part_size;       // bytes of the target kernel partition
    uint32_t root_part_size;         // bytes of the target root partition
    uint32_t kernel_erase_size;      // erase block of the target kernel partition; 0 when unknown
    uint32_t root_erase_size;        // likewise for the root; the writes sync once per block
    char kernel_dev[MTD_PATH_LEN];   // empty until looked up: the lock routine refuses it
    char root_dev[MTD_PATH_LEN];     // likewise
};

// Readers in other processes follow the record field by field, so every store goes through a

// Writers of the progress record; each does nothing without a record.
void progress_start(upgrade_progress *progress);
void progress_stage(upgrade_progress *progress, int32_t stage);
void progress_begin_write(upgrade_progress *progress, uint32_t kernel_total, uint32_t root_total);
void progress_begin_verify(upgrade_progress *progress);
void progress_finish(upgrade_progress *progress, int result);

// Loads the staged image and checks it against the running model. 0 or an UPGRADE_ERR_* code.
int load_staged_image(upgrade_run *run);
// Both payloads are written even when the first fails. 0 or UPGRADE_ERR_WRITE.
int write_payloads(upgrade_run *run);
// Both partitions are compared even when the first differs. 0 or UPGRADE_ERR_VERIFY.
int verify_payloads(upgrade_run *run);
// Closes the staged image if the loading opened it; harmless when repeated.
void release_payloads(upgrade_run *run);

// Prints "fwupgrade: " and the formatted reason on standard error, and returns `code`: every
// failing result is told once, where its facts are known.
int upgrade_fail(int code, const char *format, ...) __attribute__((format(printf, 2, 3)));
// Runs one of the compiled-in command lines; its exit status never matters to the upgrade.
void run_command(const char *cmd);
// The target bank's OEM customisation, as the staging directory asks; never changes the result.
void install_oem(int bank);

struct oem_tar;
// Unpacks the tar stream read from `tar_fd` into the directory `dir_fd` through the reader `t`,
// which names the member of a refusal. With `durable`, each file and directory entry is synced
// as it is made. Returns 0 or an OEM_TAR_ERR_* code; a refused stream may leave members behind.
int oem_unpack(int dir_fd, int tar_fd, oem_tar *t, bool durable);
