// SPDX-License-Identifier: MIT
// SHA-256 through libsodium, with a streaming interface on a caller-owned context, and the three
// digests a signed image's manifest names, taken in one pass over the image file.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "manifest.h"

// The image header's payload description (image.h); only the image digests need it, and the
// transfer below the image layer uses this module too.
struct fw_payload_desc;

enum : int {
    SHA256_ERR_READ = -1, // the image file could not be read to its end
};

// Room for libsodium's state (104 bytes in 1.0.18), checked where it is used.
struct sha256_context {
    alignas(8) unsigned char state[128]; // crypto_hash_sha256_state
};

void sha256_init(sha256_context *ctx);
void sha256_update(sha256_context *ctx, const void *buf, size_t len);
void sha256_final(sha256_context *ctx, uint8_t digest[SHA256_LEN]);
void sha256_digest(const void *buf, size_t len, uint8_t digest[SHA256_LEN]);

// Reads `file_len` bytes of `stream` from its current position (the start of the image) and
// writes the digests of the whole file and of the two payloads it describes. Returns 0, or
// SHA256_ERR_READ when the file ends early, fails to read, or a payload lies outside it.
int sha256_image_digests(FILE *stream, uint64_t file_len, const fw_payload_desc *kernel,
                         const fw_payload_desc *root, uint8_t image_out[SHA256_LEN],
                         uint8_t kernel_out[SHA256_LEN], uint8_t root_out[SHA256_LEN]);
