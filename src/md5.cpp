// SPDX-License-Identifier: MIT
#include "md5.h"

#include "byteorder.h"

#include <cstring>

namespace
{

enum : uint32_t {
    MD5_INIT_A = 0x67452301u,
    MD5_INIT_B = 0xEFCDAB89u,
    MD5_INIT_C = 0x98BADCFEu,
    MD5_INIT_D = 0x10325476u,
};

enum : int {
    MD5_WORDS = 16,           // 32-bit words in one block
    MD5_LENGTH_BYTES = 8,     // the bit count appended to the message
    MD5_LENGTH_AT = 56,       // where the bit count starts in the last block
    MD5_BYTES_TO_BITS = 3,    // shift turning a byte count into a bit count
    MD5_BITS_HIGH_SHIFT = 29, // byte count bits that overflow the low bit-count word
    MD5_BLOCK_MASK = MD5_BLOCK_LEN - 1,
};

// The byte 0x80 and zeros: the padding that ends every message.
const uint8_t pad[MD5_BLOCK_LEN] = {0x80};

inline uint32_t rotl(uint32_t x, int s)
{
    return (x << s) | (x >> (32 - s));
}

// The four step kinds. Message word and constant are added before the round function so the
// compiler can start that sum while the previous step's result is still being computed; F and G
// use the forms with one fewer dependent operation than the textbook ones.
inline uint32_t ff(uint32_t a, uint32_t b, uint32_t c, uint32_t d, uint32_t x, uint32_t t, int s)
{
    a += x + t;
    a += d ^ (b & (c ^ d));
    return rotl(a, s) + b;
}

inline uint32_t gg(uint32_t a, uint32_t b, uint32_t c, uint32_t d, uint32_t x, uint32_t t, int s)
{
    a += x + t;
    a += (b & d) + (c & ~d);
    return rotl(a, s) + b;
}

inline uint32_t hh(uint32_t a, uint32_t b, uint32_t c, uint32_t d, uint32_t x, uint32_t t, int s)
{
    a += x + t;
    a += b ^ c ^ d;
    return rotl(a, s) + b;
}

inline uint32_t ii(uint32_t a, uint32_t b, uint32_t c, uint32_t d, uint32_t x, uint32_t t, int s)
{
    a += x + t;
    a += c ^ (b | ~d);
    return rotl(a, s) + b;
}

// One 64-byte block, read in place from wherever it lies; loads go through memcpy, so any
// alignment and either byte order give the same result.
void md5_process(uint32_t chain[4], const uint8_t *p)
{
    uint32_t x[MD5_WORDS];
    for (int i = 0; i < MD5_WORDS; i++)
        x[i] = get_le32(p + 4 * i);

    uint32_t a = chain[0];
    uint32_t b = chain[1];
    uint32_t c = chain[2];
    uint32_t d = chain[3];

    a = ff(a, b, c, d, x[0], 0xD76AA478u, 7);
    d = ff(d, a, b, c, x[1], 0xE8C7B756u, 12);
    c = ff(c, d, a, b, x[2], 0x242070DBu, 17);
    b = ff(b, c, d, a, x[3], 0xC1BDCEEEu, 22);
    a = ff(a, b, c, d, x[4], 0xF57C0FAFu, 7);
    d = ff(d, a, b, c, x[5], 0x4787C62Au, 12);
    c = ff(c, d, a, b, x[6], 0xA8304613u, 17);
    b = ff(b, c, d, a, x[7], 0xFD469501u, 22);
    a = ff(a, b, c, d, x[8], 0x698098D8u, 7);
    d = ff(d, a, b, c, x[9], 0x8B44F7AFu, 12);
    c = ff(c, d, a, b, x[10], 0xFFFF5BB1u, 17);
    b = ff(b, c, d, a, x[11], 0x895CD7BEu, 22);
    a = ff(a, b, c, d, x[12], 0x6B901122u, 7);
    d = ff(d, a, b, c, x[13], 0xFD987193u, 12);
    c = ff(c, d, a, b, x[14], 0xA679438Eu, 17);
    b = ff(b, c, d, a, x[15], 0x49B40821u, 22);

    a = gg(a, b, c, d, x[1], 0xF61E2562u, 5);
    d = gg(d, a, b, c, x[6], 0xC040B340u, 9);
    c = gg(c, d, a, b, x[11], 0x265E5A51u, 14);
    b = gg(b, c, d, a, x[0], 0xE9B6C7AAu, 20);
    a = gg(a, b, c, d, x[5], 0xD62F105Du, 5);
    d = gg(d, a, b, c, x[10], 0x02441453u, 9);
    c = gg(c, d, a, b, x[15], 0xD8A1E681u, 14);
    b = gg(b, c, d, a, x[4], 0xE7D3FBC8u, 20);
    a = gg(a, b, c, d, x[9], 0x21E1CDE6u, 5);
    d = gg(d, a, b, c, x[14], 0xC33707D6u, 9);
    c = gg(c, d, a, b, x[3], 0xF4D50D87u, 14);
    b = gg(b, c, d, a, x[8], 0x455A14EDu, 20);
    a = gg(a, b, c, d, x[13], 0xA9E3E905u, 5);
    d = gg(d, a, b, c, x[2], 0xFCEFA3F8u, 9);
    c = gg(c, d, a, b, x[7], 0x676F02D9u, 14);
    b = gg(b, c, d, a, x[12], 0x8D2A4C8Au, 20);

    a = hh(a, b, c, d, x[5], 0xFFFA3942u, 4);
    d = hh(d, a, b, c, x[8], 0x8771F681u, 11);
    c = hh(c, d, a, b, x[11], 0x6D9D6122u, 16);
    b = hh(b, c, d, a, x[14], 0xFDE5380Cu, 23);
    a = hh(a, b, c, d, x[1], 0xA4BEEA44u, 4);
    d = hh(d, a, b, c, x[4], 0x4BDECFA9u, 11);
    c = hh(c, d, a, b, x[7], 0xF6BB4B60u, 16);
    b = hh(b, c, d, a, x[10], 0xBEBFBC70u, 23);
    a = hh(a, b, c, d, x[13], 0x289B7EC6u, 4);
    d = hh(d, a, b, c, x[0], 0xEAA127FAu, 11);
    c = hh(c, d, a, b, x[3], 0xD4EF3085u, 16);
    b = hh(b, c, d, a, x[6], 0x04881D05u, 23);
    a = hh(a, b, c, d, x[9], 0xD9D4D039u, 4);
    d = hh(d, a, b, c, x[12], 0xE6DB99E5u, 11);
    c = hh(c, d, a, b, x[15], 0x1FA27CF8u, 16);
    b = hh(b, c, d, a, x[2], 0xC4AC5665u, 23);

    a = ii(a, b, c, d, x[0], 0xF4292244u, 6);
    d = ii(d, a, b, c, x[7], 0x432AFF97u, 10);
    c = ii(c, d, a, b, x[14], 0xAB9423A7u, 15);
    b = ii(b, c, d, a, x[5], 0xFC93A039u, 21);
    a = ii(a, b, c, d, x[12], 0x655B59C3u, 6);
    d = ii(d, a, b, c, x[3], 0x8F0CCC92u, 10);
    c = ii(c, d, a, b, x[10], 0xFFEFF47Du, 15);
    b = ii(b, c, d, a, x[1], 0x85845DD1u, 21);
    a = ii(a, b, c, d, x[8], 0x6FA87E4Fu, 6);
    d = ii(d, a, b, c, x[15], 0xFE2CE6E0u, 10);
    c = ii(c, d, a, b, x[6], 0xA3014314u, 15);
    b = ii(b, c, d, a, x[13], 0x4E0811A1u, 21);
    a = ii(a, b, c, d, x[4], 0xF7537E82u, 6);
    d = ii(d, a, b, c, x[11], 0xBD3AF235u, 10);
    c = ii(c, d, a, b, x[2], 0x2AD7D2BBu, 15);
    b = ii(b, c, d, a, x[9], 0xEB86D391u, 21);

    chain[0] += a;
    chain[1] += b;
    chain[2] += c;
    chain[3] += d;
}

} // namespace

void md5_init(md5_context *ctx)
{
    ctx->bit_count[0] = 0;
    ctx->bit_count[1] = 0;
    ctx->chain[0] = MD5_INIT_A;
    ctx->chain[1] = MD5_INIT_B;
    ctx->chain[2] = MD5_INIT_C;
    ctx->chain[3] = MD5_INIT_D;
}

void md5_append(md5_context *ctx, const void *buf, int32_t len)
{
    const uint8_t *p = static_cast<const uint8_t *>(buf);
    uint32_t left = len > 0 ? (uint32_t)len : 0;
    uint32_t waiting = (ctx->bit_count[0] >> MD5_BYTES_TO_BITS) & MD5_BLOCK_MASK;
    uint32_t bits = left << MD5_BYTES_TO_BITS;

    if (left == 0)
        return;
    ctx->bit_count[1] += left >> MD5_BITS_HIGH_SHIFT;
    ctx->bit_count[0] += bits;
    if (ctx->bit_count[0] < bits)
        ctx->bit_count[1]++;

    if (waiting > 0) {
        uint32_t room = MD5_BLOCK_LEN - waiting;
        uint32_t n = left < room ? left : room;
        memcpy(ctx->block + waiting, p, n);
        p += n;
        left -= n;
        if (waiting + n < (uint32_t)MD5_BLOCK_LEN)
            return;
        md5_process(ctx->chain, ctx->block);
    }
    // Whole blocks straight from the caller's buffer: no copy on the hot path.
    for (; left >= (uint32_t)MD5_BLOCK_LEN; p += MD5_BLOCK_LEN, left -= MD5_BLOCK_LEN)
        md5_process(ctx->chain, p);
    if (left > 0)
        memcpy(ctx->block, p, left);
}

void md5_finish(md5_context *ctx, uint8_t digest[MD5_DIGEST_LEN])
{
    uint8_t length[MD5_LENGTH_BYTES];
    uint32_t used = ctx->bit_count[0] >> MD5_BYTES_TO_BITS;

    // Taken before the pad goes in, which changes the count.
    put_le32(length, ctx->bit_count[0]);
    put_le32(length + 4, ctx->bit_count[1]);
    md5_append(ctx, pad, (int32_t)(((MD5_LENGTH_AT - 1 - used) & MD5_BLOCK_MASK) + 1));
    md5_append(ctx, length, MD5_LENGTH_BYTES);
    for (int i = 0; i < 4; i++)
        put_le32(digest + 4 * i, ctx->chain[i]);
}
