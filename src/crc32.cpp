// SPDX-License-Identifier: MIT
#include "crc32.h"

namespace
{

enum : uint32_t {
    CRC32_POLY_REFLECTED = 0xEDB88320u, // 0x04C11DB7 with its bits reversed
    CRC32_ALL_ONES = 0xFFFFFFFFu,
    CRC32_INDEX_MASK = 0xFFu, // the table is indexed by the low byte
};

enum : int {
    CRC32_TABLE_LEN = 256,
    CRC32_BITS_PER_BYTE = 8,
};

struct crc32_table {
    uint32_t entry[CRC32_TABLE_LEN];
};

constexpr crc32_table make_crc32_table()
{
    crc32_table t = {};
    for (int n = 0; n < CRC32_TABLE_LEN; n++) {
        uint32_t c = (uint32_t)n;
        for (int k = 0; k < CRC32_BITS_PER_BYTE; k++)
            c = (c & 1u) ? (c >> 1) ^ CRC32_POLY_REFLECTED : c >> 1;
        t.entry[n] = c;
    }
    return t;
}

// Built by the compiler, so the table can never drift from the polynomial.
constexpr crc32_table crc32_tab = make_crc32_table();

static_assert(crc32_tab.entry[0] == 0x00000000u, "CRC table entry 0");
static_assert(crc32_tab.entry[1] == 0x77073096u, "CRC table entry 1");
static_assert(crc32_tab.entry[2] == 0xEE0E612Cu, "CRC table entry 2");
static_assert(crc32_tab.entry[255] == 0x2D02EF8Du, "CRC table entry 255");

uint32_t crc32_update(uint32_t crc, const uint8_t *p, int32_t len)
{
    for (int32_t i = 0; i < len; i++)
        crc = crc32_tab.entry[(crc ^ p[i]) & CRC32_INDEX_MASK] ^ (crc >> CRC32_BITS_PER_BYTE);
    return crc;
}

} // namespace

uint32_t cyg_crc32_accumulate(uint32_t crc, const void *buf, int32_t len)
{
    return crc32_update(crc, static_cast<const uint8_t *>(buf), len);
}

uint32_t cyg_crc32(const void *buf, int32_t len)
{
    return cyg_crc32_accumulate(0, buf, len);
}

uint32_t cyg_ether_crc32_accumulate(uint32_t crc, const void *buf, int32_t len)
{
    if (buf == nullptr)
        return 0;
    return crc32_update(crc ^ CRC32_ALL_ONES, static_cast<const uint8_t *>(buf), len) ^
           CRC32_ALL_ONES;
}

uint32_t cyg_ether_crc32(const void *buf, int32_t len)
{
    return cyg_ether_crc32_accumulate(0, buf, len);
}
