// SPDX-License-Identifier: MIT
// The upgrade run's record and its staged image: opened and checked against the running model,
// written to the target bank's partitions and compared back.
#pragma once

#include <cstdint>
#include <cstdio>

#include "data_blk.h"
#include "image.h"
#include "manifest.h"
#include "mtd_part.h"
#include "progress.h"

// Everything one upgrade run holds; the exit steps are valid for it from the moment it exists.
struct upgrade_run {
    upgrade_progress *progress;       // attached record, or null: the run goes on without one
    FILE *image;                      // the staged image, open from its loading to the exit steps
    datasrc payloads[PAYLOAD_COUNT];  // kernel and root, read from `image` at each transfer
    char image_model[FW_NAME_LEN];    // model name from the image header
    uint8_t image_sha256[SHA256_LEN]; // SHA-256 of the whole staged file, from the first pass
    bool is_signed;                   // a keyring key vouched for the image
    uint8_t signer[KEY_ID_LEN];       // that key's id, when `is_signed`
    char version[MANIFEST_VERSION_MAX + 1]; // the manifest's version text; empty when unsigned
    int current_idx;                        // the running bank
    int target_idx;                         // bank written and then selected
    int fallback_idx;                       // bank the script must name again after a failure
    uint32_t kernel_part_size;              // bytes of the target kernel partition
    uint32_t root_part_size;                // bytes of the target root partition
    uint32_t kernel_erase_size;    // erase block of the target kernel partition; 0 when unknown
    uint32_t root_erase_size;      // likewise for the root; the writes sync once per block
    char kernel_dev[MTD_PATH_LEN]; // empty until looked up: the lock routine refuses it
    char root_dev[MTD_PATH_LEN];   // likewise
};

// Loads the staged image, checks it against the running model and takes its SHA-256 digests. 0 or
// an UPGRADE_ERR_* code.
int load_staged_image(upgrade_run *run);
// The signature policy, after the loading: with keys in the keyring the staged image must carry a
// signature by one of them whose manifest names its digests and model; without any key nothing is
// checked (a signature file is ignored). 0 or UPGRADE_ERR_SIGNATURE, told on standard error.
int check_image_signature(upgrade_run *run);
// Both payloads are written even when the first fails. 0 or UPGRADE_ERR_WRITE.
int write_payloads(upgrade_run *run);
// Both partitions are compared even when the first differs, each against the header's MD5 and the
// first pass's SHA-256 too. 0 or UPGRADE_ERR_VERIFY.
int verify_payloads(upgrade_run *run);
// Closes the staged image if the loading opened it; harmless when repeated.
void release_payloads(upgrade_run *run);
