// SPDX-License-Identifier: MIT
#include "sha256.h"

#include <sodium.h>

#include <cstring>

#include "image.h"

static_assert(sizeof(crypto_hash_sha256_state) <= sizeof(sha256_context::state),
              "sha256_context too small for libsodium's state");
static_assert(alignof(crypto_hash_sha256_state) <= 8, "sha256_context under-aligned");

enum : int {
    IMAGE_CHUNK = 4096, // bytes read at a time
};

static crypto_hash_sha256_state *state_of(sha256_context *ctx)
{
    return reinterpret_cast<crypto_hash_sha256_state *>(ctx->state);
}

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

void sha256_digest(const void *buf, size_t len, uint8_t digest[SHA256_LEN])
{
    crypto_hash_sha256(digest, (const unsigned char *)buf, len);
}

// Feeds the part of the chunk [pos, pos + n) that lies inside the payload.
static void feed_payload(sha256_context *ctx, const fw_payload_desc *p, uint64_t pos,
                         const uint8_t *chunk, size_t n)
{
    const uint64_t start = p->offset, end = (uint64_t)p->offset + p->size;
    const uint64_t from = pos > start ? pos : start;
    const uint64_t to = pos + n < end ? pos + n : end;

    if (from < to)
        sha256_update(ctx, chunk + (from - pos), (size_t)(to - from));
}

int sha256_image_digests(FILE *stream, uint64_t file_len, const fw_payload_desc *kernel,
                         const fw_payload_desc *root, uint8_t image_out[SHA256_LEN],
                         uint8_t kernel_out[SHA256_LEN], uint8_t root_out[SHA256_LEN])
{
    sha256_context image, k, r;
    uint8_t chunk[IMAGE_CHUNK];
    uint64_t pos = 0;

    if ((uint64_t)kernel->offset + kernel->size > file_len ||
        (uint64_t)root->offset + root->size > file_len)
        return SHA256_ERR_READ;
    sha256_init(&image);
    sha256_init(&k);
    sha256_init(&r);
    // One pass in file order: each payload's bytes reach its context in order, wherever it lies.
    while (pos < file_len) {
        const size_t want =
            file_len - pos < (uint64_t)IMAGE_CHUNK ? (size_t)(file_len - pos) : (size_t)IMAGE_CHUNK;
        if (fread(chunk, 1, want, stream) != want)
            return SHA256_ERR_READ;
        sha256_update(&image, chunk, want);
        feed_payload(&k, kernel, pos, chunk, want);
        feed_payload(&r, root, pos, chunk, want);
        pos += want;
    }
    sha256_final(&image, image_out);
    sha256_final(&k, kernel_out);
    sha256_final(&r, root_out);
    return 0;
}
