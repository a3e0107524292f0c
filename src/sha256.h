// SPDX-License-Identifier: MIT
// SHA-256 with a streaming interface on a caller-owned context. The device build takes it from
// libsodium, which it links for Ed25519 anyway; the host build from OpenSSL's libcrypto, which
// uses the CPU's SHA instructions where it has them (libsodium's SHA-256 is portable C only).
#pragma once

#include <cstddef>
#include <cstdint>

#include "manifest.h"

// Room for either library's state (libsodium 1.0.18: 104 bytes; OpenSSL's SHA256_CTX: 112),
// checked where it is used.
struct sha256_context {
    alignas(8) unsigned char state[128];
};

void sha256_init(sha256_context *ctx);
void sha256_update(sha256_context *ctx, const void *buf, size_t len);
void sha256_final(sha256_context *ctx, uint8_t digest[SHA256_LEN]);
void sha256_digest(const void *buf, size_t len, uint8_t digest[SHA256_LEN]);
