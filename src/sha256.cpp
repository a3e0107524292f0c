// SPDX-License-Identifier: MIT
#include "sha256.h"

#if FWUP_SHA256_OPENSSL
// The low-level calls need no allocation, unlike the EVP interface OpenSSL 3 prefers.
#define OPENSSL_SUPPRESS_DEPRECATED
#include <openssl/sha.h>

using sha256_state = SHA256_CTX;
#else
#include <sodium.h>

using sha256_state = crypto_hash_sha256_state;
#endif

static_assert(sizeof(sha256_state) <= sizeof(sha256_context::state),
              "sha256_context too small for the library's state");
static_assert(alignof(sha256_state) <= 8, "sha256_context under-aligned");

static sha256_state *state_of(sha256_context *ctx)
{
    return reinterpret_cast<sha256_state *>(ctx->state);
}

#if FWUP_SHA256_OPENSSL
void sha256_init(sha256_context *ctx)
{
    SHA256_Init(state_of(ctx));
}

void sha256_update(sha256_context *ctx, const void *buf, size_t len)
{
    SHA256_Update(state_of(ctx), buf, len);
}

void sha256_final(sha256_context *ctx, uint8_t digest[SHA256_LEN])
{
    SHA256_Final(digest, state_of(ctx));
}
#else
void sha256_init(sha256_context *ctx)
{
    crypto_hash_sha256_init(state_of(ctx));
}

void sha256_update(sha256_context *ctx, const void *buf, size_t len)
{
    crypto_hash_sha256_update(state_of(ctx), (const unsigned char *)buf, len);
}

void sha256_final(sha256_context *ctx, uint8_t digest[SHA256_LEN])
{
    crypto_hash_sha256_final(state_of(ctx), digest);
}
#endif

void sha256_digest(const void *buf, size_t len, uint8_t digest[SHA256_LEN])
{
    sha256_context ctx;

    sha256_init(&ctx);
    sha256_update(&ctx, buf, len);
    sha256_final(&ctx, digest);
}
