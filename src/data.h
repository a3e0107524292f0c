// SPDX-License-Identifier: MIT
// Positioned transfers between memory or a stream and a stdio stream: reads with an optional MD5,
// writes in flushed 32 KiB chunks synced to the device, and chunked comparison, both counting
// progress; the last two hand the pages they are done with back to the kernel. None opens, closes
// or allocates. Results are the DATA_* codes below.
#pragma once

#include <cstdint>
#include <cstdio>

// The transfer's own results; the layers above pass them on or translate them.
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

enum : int {
    DATA_WRITE_CHUNK = 32768,  // each chunk is flushed and synced before the next
    DATA_READ_CHUNK = 4096,    // chunk of verification's reads of the device
    DATA_LEN_MAX = 0x7FFFFFFF, // lengths and positions are signed 32-bit on the device
};

// Where a transfer counts its progress: after each chunk, `count(context, verify, done)` with the
// bytes of this transfer done so far; `verify` is DATA_COUNT_VERIFY while comparing, else
// DATA_COUNT_WRITE. A null sink counts nothing.
struct data_progress {
    void (*count)(void *context, int verify, int32_t done); // called once per chunk
    void *context;                                          // the caller's, passed back as is
};

enum : int {
    DATA_COUNT_WRITE = 0,
    DATA_COUNT_VERIFY = 1,
};

// Where a transfer stopped and why, for the caller's one-line report.
struct data_fault {
    const char *call; // what failed: "fopen", "fseek", "fread", "fwrite", "fflush", "fsync" or
                      // "ftruncate"; "compare" for bytes that differ, "digest" for a digest that
                      // differs
    int source;       // non-zero: it failed on the source stream; zero: on the target
    int32_t at;       // bytes of the block before the failing chunk, or before the first difference
    int err;          // its errno; 0 when it set none (the end of a file, a difference)
};

// Prints the line a short read prints, as requests of `unit` bytes would print it: the request
// that came up short, and what it got, of `n` bytes wanted and `got` read.
void data_print_short_read(int32_t unit, int32_t n, int32_t got);
// Reads `len` bytes at `offset` into `dest` in one request (with `dest` null, through a 32768-byte
// scratch buffer); writes their MD5 to `digest` when it is non-null.
int do_fread_data(uint8_t *dest, int32_t len, FILE *stream, long offset, uint8_t *digest);
// Writes `len` bytes from `src` at `offset` in 32768-byte chunks, each flushed and fsynced, then
// dropped from the page cache.
int do_fwrite_data(const uint8_t *src, int32_t len, FILE *stream, long offset,
                   const data_progress *progress);
// Reads `len` bytes at `offset` in 4096-byte chunks and compares them with `expected`, dropping
// the compared pages from the page cache as it goes.
int do_verify_data(const uint8_t *expected, int32_t len, FILE *stream, long offset,
                   const data_progress *progress);

// Copies `len` bytes of `src` at `src_offset` to `dst` at `dst_offset` in 32768-byte chunks, each
// flushed and counted. The device is synced after each chunk that reaches or crosses the end of an
// erase block of `erase_size` bytes (positions from 0 of `dst`; 0 or up to 32768: every chunk)
// and after the last one, and the synced pages are handed back to the kernel: a flash block
// device writes a whole erase block back at each sync, so this writes each block once. A chunk
// that `dst` already holds (read back through it first) is counted but not written, and a block
// with nothing written is not synced, so a block that already holds its bytes is never erased.
// On failure `fault` (may be null) tells where.
int do_fcopy_data(FILE *src, long src_offset, int32_t len, FILE *dst, long dst_offset,
                  uint32_t erase_size, const data_progress *progress, data_fault *fault);
// Reads `len` bytes of `stream` at `offset` and of `expected` at `exp_offset` in 4096-byte chunks
// and compares them, counting as do_verify_data; the bytes of `expected` that were compared are
// digested with MD5 into `digest` and with SHA-256 into `sha256` (each may be null). On failure
// `fault` (may be null) tells where.
int do_fcompare_data(FILE *expected, long exp_offset, int32_t len, FILE *stream, long offset,
                     uint8_t *digest, uint8_t *sha256, const data_progress *progress,
                     data_fault *fault);
