// A payload in memory with its length and MD5 digest, and its whole-file operations.
#pragma once

#include <cstdint>

#include "md5.h"

struct upgrade_progress;

struct datablk {
    uint32_t size;               // payload length; 0 when empty
    uint8_t md5[MD5_DIGEST_LEN]; // digest of the payload as read; zero when none computed
    uint8_t *data;               // the payload, owned by the record; null when empty
};

// Positions of the two payloads of a firmware bank in every record pair.
enum : int {
    PAYLOAD_KERNEL = 0,
    PAYLOAD_ROOT = 1,
    PAYLOAD_COUNT = 2,
};

enum : int {
    DATA_OK = 0,
    DATA_ERR_NOMEM = -2,    // the payload buffer could not be allocated
    DATA_ERR_OPEN = -3,     // the file did not open
    DATA_ERR_SEEK = -4,     // positioning the stream failed
    DATA_ERR_READ = -5,     // a read returned fewer bytes than requested
    DATA_ERR_WRITE = -6,    // a write accepted fewer bytes than requested
    DATA_ERR_FLUSH = -7,    // flushing the stream failed
    DATA_ERR_SYNC = -8,     // syncing the file to its device failed
    DATA_ERR_MISMATCH = -9, // bytes or read-back digest differ
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
                         upgrade_progress *progress);
// Compares the first `size` bytes of `path` with the payload.
int verify_datablk_with_file(const datablk *blk, const char *path, upgrade_progress *progress);
