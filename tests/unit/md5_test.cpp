// SPDX-License-Identifier: MIT
// MD5 against RFC 1321's test suite, the system's md5sum, and every way of feeding a message in
// pieces (pad lengths, block boundaries, unaligned buffers).
#include "fixture.h"

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "md5.h"

namespace
{

using fwtest::hex;

// Digest of `data` fed in pieces of `piece` bytes (the whole at once for 0).
std::string md5_pieces(const uint8_t *data, size_t len, size_t piece)
{
    md5_context ctx;
    uint8_t digest[MD5_DIGEST_LEN];
    md5_init(&ctx);
    if (piece == 0)
        piece = len;
    for (size_t off = 0; off < len; off += piece)
        md5_append(&ctx, data + off, (int32_t)std::min(piece, len - off));
    md5_finish(&ctx, digest);
    return hex(digest, sizeof(digest));
}

std::string md5_of(const std::string &s, size_t piece = 0)
{
    return md5_pieces(reinterpret_cast<const uint8_t *>(s.data()), s.size(), piece);
}

std::vector<uint8_t> random_bytes(size_t n, unsigned seed)
{
    std::string s = fwtest::random_bytes(n, seed);
    return std::vector<uint8_t>(s.begin(), s.end());
}

TEST(Md5, Rfc1321Suite)
{
    const struct {
        const char *text;
        const char *digest;
    } rows[] = {
        {"", "d41d8cd98f00b204e9800998ecf8427e"},
        {"a", "0cc175b9c0f1b6a831c399e269772661"},
        {"abc", "900150983cd24fb0d6963f7d28e17f72"},
        {"message digest", "f96b697d7cb7938d525a2f31aaf161d0"},
        {"abcdefghijklmnopqrstuvwxyz", "c3fcd3d76192e4007dfb496cca67e13b"},
        {"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789",
         "d174ab98d277d9f5a5611c2c9f419d9f"},
        {"12345678901234567890123456789012345678901234567890123456789012345678901234567890",
         "57edf4a22be3c955ac49da2e2107b67a"},
    };
    for (const auto &r : rows) {
        EXPECT_EQ(r.digest, md5_of(r.text)) << '"' << r.text << '"';
        EXPECT_EQ(r.digest, md5_of(r.text, 1)) << '"' << r.text << "\" byte by byte";
    }
}

TEST(Md5, PadLengthsAroundTheLengthField)
{
    // 55 bytes take a 1-byte pad and one more block; 56 need a full 64-byte pad and two blocks.
    // Digests from an independent implementation (coreutils md5sum).
    const struct {
        size_t len;
        const char *digest;
    } rows[] = {
        {55, "ef1772b6dff9a122358552954ad0df65"}, {56, "3b0c8ac703f828b04c6c197006d17218"},
        {63, "b06521f39153d618550606be297466d5"}, {64, "014842d480b571495a4a0363793f7367"},
        {65, "c743a45e0d2e6a95cb859adae0248435"},
    };
    for (const auto &r : rows)
        EXPECT_EQ(r.digest, md5_of(std::string(r.len, 'a'))) << r.len;
}

TEST(Md5, AnySplitGivesTheSameDigest)
{
    std::vector<uint8_t> data = random_bytes(1000, 3);
    std::string whole = md5_pieces(data.data(), data.size(), 0);
    for (size_t piece : {1u, 7u, 63u, 64u, 65u, 128u, 999u})
        EXPECT_EQ(whole, md5_pieces(data.data(), data.size(), piece)) << piece;
    // A two-way cut at every offset crosses every waiting-bytes state.
    for (size_t cut = 0; cut <= 200; cut++) {
        md5_context ctx;
        uint8_t digest[MD5_DIGEST_LEN];
        md5_init(&ctx);
        md5_append(&ctx, data.data(), (int32_t)cut);
        md5_append(&ctx, data.data() + cut, (int32_t)(data.size() - cut));
        md5_finish(&ctx, digest);
        EXPECT_EQ(whole, hex(digest, sizeof(digest))) << cut;
    }
}

TEST(Md5, UnalignedBuffersGiveTheSameDigest)
{
    std::vector<uint8_t> data = random_bytes(4096 + 8, 5);
    std::string want = md5_pieces(data.data(), 4096, 0);
    for (size_t shift = 1; shift < 8; shift++) {
        std::vector<uint8_t> moved(data.size());
        memcpy(moved.data() + shift, data.data(), 4096);
        EXPECT_EQ(want, md5_pieces(moved.data() + shift, 4096, 0)) << shift;
    }
}

TEST(Md5, NonPositiveCountChangesNothing)
{
    md5_context ctx, before;
    md5_init(&ctx);
    md5_append(&ctx, "abc", 3);
    before = ctx;
    md5_append(&ctx, "xyz", 0);
    md5_append(&ctx, "xyz", -1);
    md5_append(&ctx, "xyz", INT32_MIN);
    EXPECT_EQ(0, memcmp(&before, &ctx, sizeof(ctx)));
    uint8_t digest[MD5_DIGEST_LEN];
    md5_finish(&ctx, digest);
    EXPECT_EQ("900150983cd24fb0d6963f7d28e17f72", hex(digest, sizeof(digest)));
}

TEST(Md5, BitCountCarriesIntoTheHighWord)
{
    // 64 bytes short of 2^32 bits with the block empty: the next 128 bytes wrap the low word.
    md5_context ctx;
    md5_init(&ctx);
    ctx.bit_count[0] = 0xFFFFFE00u;
    md5_append(&ctx, std::string(128, 'x').data(), 128);
    EXPECT_EQ(1u, ctx.bit_count[1]);
    EXPECT_EQ(0x200u, ctx.bit_count[0]);
}

TEST(Md5, MatchesMd5sumOnRandomData)
{
    fwtest::TempDir dir;
    std::string file = dir / "random.bin";
    const size_t len = (1u << 20) + 37;
    std::vector<uint8_t> data = random_bytes(len, 17);
    ASSERT_TRUE(sim::write_file(file, std::string(data.begin(), data.end())));

    std::string cmd = "md5sum '" + file + "'";
    FILE *p = popen(cmd.c_str(), "r");
    ASSERT_NE(nullptr, p);
    char line[256] = "";
    ASSERT_NE(nullptr, fgets(line, sizeof(line), p));
    ASSERT_EQ(0, pclose(p));
    std::string want(line, 32);

    EXPECT_EQ(want, md5_pieces(data.data(), len, 0));
    EXPECT_EQ(want, md5_pieces(data.data(), len, 32768)); // the transfer's chunk size
    EXPECT_EQ(want, md5_pieces(data.data(), len, 1000));
}

} // namespace
