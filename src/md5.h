// SPDX-License-Identifier: MIT
// MD5 (RFC 1321) with a streaming interface on a caller-owned context.
#pragma once

#include <cstdint>

enum : int {
    MD5_DIGEST_LEN = 16,
    MD5_BLOCK_LEN = 64,
};

struct md5_context {
    uint32_t bit_count[2];        // message bits so far, modulo 2^64, low word first
    uint32_t chain[4];            // chaining value A, B, C, D
    uint8_t block[MD5_BLOCK_LEN]; // bytes waiting for a whole block (fewer than 64)
};

void md5_init(md5_context *ctx);
// Feeds `len` bytes; a count of 0 or less changes nothing.
void md5_append(md5_context *ctx, const void *buf, int32_t len);
// Pads, and writes the 16-byte digest.
void md5_finish(md5_context *ctx, uint8_t digest[MD5_DIGEST_LEN]);
