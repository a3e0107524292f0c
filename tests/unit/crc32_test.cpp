// SPDX-License-Identifier: MIT
// Both CRC-32 variants against the catalogue check values and a bitwise reference that shares
// nothing with the table-driven code.
#include "fixture.h"

#include <cstdlib>
#include <vector>

#include "crc32.h"

namespace
{

// Bit at a time, the register as the caller holds it: no table, no inversion.
uint32_t bitwise_crc(uint32_t crc, const uint8_t *p, size_t len)
{
    for (size_t i = 0; i < len; i++) {
        crc ^= p[i];
        for (int b = 0; b < 8; b++)
            crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
    }
    return crc;
}

std::vector<uint8_t> random_bytes(size_t n, unsigned seed)
{
    std::string s = fwtest::random_bytes(n, seed);
    return std::vector<uint8_t>(s.begin(), s.end());
}

struct check_row {
    const char *text;
    uint32_t ecos;  // cyg_crc32
    uint32_t ether; // cyg_ether_crc32
};

TEST(Crc32, CheckValues)
{
    const check_row rows[] = {
        {"123456789", 0x2DFD2D88u, 0xCBF43926u},
        {"abc", 0xCA6598D0u, 0x352441C2u},
        {"", 0u, 0u},
    };
    for (const check_row &r : rows) {
        int32_t len = (int32_t)strlen(r.text);
        EXPECT_EQ(r.ecos, cyg_crc32(r.text, len)) << r.text;
        EXPECT_EQ(r.ether, cyg_ether_crc32(r.text, len)) << r.text;
    }
}

TEST(Crc32, ZeroBytesKeepTheRegisterAtZero)
{
    std::vector<uint8_t> zeros(4096, 0);
    for (int32_t n : {0, 1, 7, 4096})
        EXPECT_EQ(0u, cyg_crc32(zeros.data(), n)) << n;
    // The standard variant is not blind to them.
    EXPECT_NE(0u, cyg_ether_crc32(zeros.data(), 4));
}

TEST(Crc32, NegativeOrZeroCountMeansNoBytes)
{
    const char data[] = "123456789";
    EXPECT_EQ(0u, cyg_crc32(data, -1));
    EXPECT_EQ(0u, cyg_crc32(data, INT32_MIN));
    EXPECT_EQ(0u, cyg_ether_crc32(data, -5));
    EXPECT_EQ(0x12345678u, cyg_crc32_accumulate(0x12345678u, data, 0));
    EXPECT_EQ(0x12345678u, cyg_crc32_accumulate(0x12345678u, data, -3));
    EXPECT_EQ(0x12345678u, cyg_ether_crc32_accumulate(0x12345678u, data, 0));
}

TEST(Crc32, EtherNullBufferGivesZero)
{
    for (uint32_t crc : {0u, 1u, 0xCBF43926u, 0xFFFFFFFFu})
        EXPECT_EQ(0u, cyg_ether_crc32_accumulate(crc, nullptr, 16)) << crc;
}

TEST(Crc32, MatchesBitwiseReferenceOnRandomData)
{
    std::vector<uint8_t> data = random_bytes(0x20000, 7);
    // Sizes of the image header and the configuration block among others.
    for (size_t n : {1u, 72u, 255u, 0x1FFFCu, 0x20000u}) {
        EXPECT_EQ(bitwise_crc(0, data.data(), n), cyg_crc32(data.data(), (int32_t)n)) << n;
        EXPECT_EQ(~bitwise_crc(0xFFFFFFFFu, data.data(), n),
                  cyg_ether_crc32(data.data(), (int32_t)n))
            << n;
    }
}

TEST(Crc32, EveryTableEntryMatchesReference)
{
    // A single byte b from register 0 yields table entry b exactly.
    for (int b = 0; b < 256; b++) {
        uint8_t byte = (uint8_t)b;
        EXPECT_EQ(bitwise_crc(0, &byte, 1), cyg_crc32(&byte, 1)) << b;
    }
}

TEST(Crc32, SplitAnywhereChainsToTheSameValue)
{
    std::vector<uint8_t> data = random_bytes(300, 11);
    const int32_t len = (int32_t)data.size();
    uint32_t whole = cyg_crc32(data.data(), len);
    uint32_t whole_ether = cyg_ether_crc32(data.data(), len);
    for (int32_t cut = 0; cut <= len; cut++) {
        uint32_t c = cyg_crc32_accumulate(0, data.data(), cut);
        EXPECT_EQ(whole, cyg_crc32_accumulate(c, data.data() + cut, len - cut)) << cut;
        uint32_t e = cyg_ether_crc32_accumulate(0, data.data(), cut);
        EXPECT_EQ(whole_ether, cyg_ether_crc32_accumulate(e, data.data() + cut, len - cut)) << cut;
    }
}

} // namespace
