// SPDX-License-Identifier: MIT
// A payload left in its file and its whole-file operations: written to the device and compared
// with it.
#pragma once

#include <cstdint>
#include <cstdio>

#include "data.h"
#include "md5.h"
#include "sha256.h"

struct data_fault;

// A payload left in its file and read from there at each transfer, so that memory does not grow
// with it.
struct datasrc {
    FILE *stream;                // the open file that holds it; not owned
    long offset;                 // its position in that file
    uint32_t size;               // its length in bytes
    uint8_t md5[MD5_DIGEST_LEN]; // the digest it must have
    uint8_t sha256[SHA256_LEN];  // its SHA-256, taken in the read that checked `md5`
    bool has_sha256;             // the comparison requires `sha256` instead of `md5`
};

// Positions of the two payloads of a firmware bank in every record pair.
enum : int {
    PAYLOAD_KERNEL = 0,
    PAYLOAD_ROOT = 1,
    PAYLOAD_COUNT = 2,
};

// Writes the payload at position 0 of `path` (created when absent; a plain file is cut to the
// payload's length afterwards), syncing once per erase block of `erase_size` bytes that it
// changes and at the end, and leaving unwritten what `path` already holds (do_fcopy_data). 0 or
// a DATA_ERR_* code; `fault` (may be null) tells where a failure struck.
int dump_datasrc_to_file(const datasrc *src, const char *path, uint32_t erase_size,
                         const data_progress *progress, data_fault *fault);
// Compares the first `size` bytes of `path` with the payload, read again from its file, and
// requires the bytes compared to have the payload's digest (the fault's call "digest") or, with
// `has_sha256`, its SHA-256 ("sha256"): the device then holds exactly the payload that the digest
// vouches for, even when the file changed since it was checked. 0, or a DATA_ERR_* code
// (DATA_ERR_MISMATCH for bytes that differ from the device or from a digest); `fault` as above.
int verify_datasrc_with_file(const datasrc *src, const char *path, const data_progress *progress,
                             data_fault *fault);

// Opens the device or file that a payload is written to or compared with (`compare`: reading
// the flash, not the page cache). Null on failure, with "fopen failed on <path>!" printed and
// `fault` (may be null) filled.
FILE *open_payload_target(const char *path, const char *mode, bool compare, data_fault *fault);
