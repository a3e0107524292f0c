// Positioned transfers between memory and a stdio stream: reads with an optional MD5, writes in
// flushed and synced 32 KiB chunks, and chunked comparison, both counting progress; the last two
// hand the pages they are done with back to the kernel. None opens, closes or allocates. Results
// are the DATA_* codes of data_blk.h.
#pragma once

#include <cstdint>
#include <cstdio>

struct upgrade_progress;

enum : int {
    DATA_WRITE_CHUNK = 32768,  // each chunk is flushed and synced before the next
    DATA_READ_CHUNK = 4096,    // scratch buffer of digest-only reads and of verification
    DATA_LEN_MAX = 0x7FFFFFFF, // lengths and positions are signed 32-bit on the device
};

// Reads `len` bytes at `offset` into `dest` in one request (with `dest` null, through a 4096-byte
// scratch buffer); writes their MD5 to `digest` when it is non-null.
int do_fread_data(uint8_t *dest, int32_t len, FILE *stream, long offset, uint8_t *digest);
// Writes `len` bytes from `src` at `offset` in 32768-byte chunks, each flushed and fsynced, then
// dropped from the page cache.
int do_fwrite_data(const uint8_t *src, int32_t len, FILE *stream, long offset,
                   upgrade_progress *progress);
// Reads `len` bytes at `offset` in 4096-byte chunks and compares them with `expected`, dropping
// the compared pages from the page cache as it goes.
int do_verify_data(const uint8_t *expected, int32_t len, FILE *stream, long offset,
                   upgrade_progress *progress);
