// SPDX-License-Identifier: MIT
// A payload in memory with its length and MD5 digest, and its whole-file operations: the host
// tools' and the tests' way to make and read payloads. The device streams from the file instead.
#pragma once

#include <cstdint>

#include "data_blk.h"
#include "md5.h"

struct datablk {
    uint32_t size;               // payload length; 0 when empty
    uint8_t md5[MD5_DIGEST_LEN]; // digest of the payload as read; zero when none computed
    uint8_t *data;               // the payload, owned by the record; null when empty
};

// Makes the record empty without looking at what it held (for uninitialised storage).
void init_datablk(datablk *blk);
// Frees the payload, if any, and makes the record empty; harmless when repeated.
void cleanup_datablk(datablk *blk);
// Reads the whole file into a new buffer with its digest. 0 or a DATA_ERR_* code. An empty file
// gives an empty block (no buffer) with the digest of empty input; a file longer than 2^31 - 1
// bytes is refused with DATA_ERR_NOMEM.
int load_datablk_from_file(datablk *blk, const char *path);
// Writes the payload at position 0 of `path`; with `verify`, reads it back and compares digests.
int dump_datablk_to_file(const datablk *blk, const char *path, int verify,
                         const data_progress *progress);
// Compares the first `size` bytes of `path` with the payload.
int verify_datablk_with_file(const datablk *blk, const char *path, const data_progress *progress);
