// SPDX-License-Identifier: MIT
// Little-endian 32-bit fields: the image header, the configuration block and MD5 all store them.
#pragma once

#include <cstdint>
#include <cstring>

inline uint32_t get_le32(const uint8_t *p)
{
    uint32_t v;
    memcpy(&v, p, sizeof(v)); // no alignment assumed: fields sit at any offset
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
    v = __builtin_bswap32(v);
#endif
    return v;
}

inline void put_le32(uint8_t *p, uint32_t v)
{
    p[0] = (uint8_t)v;
    p[1] = (uint8_t)(v >> 8);
    p[2] = (uint8_t)(v >> 16);
    p[3] = (uint8_t)(v >> 24);
}
