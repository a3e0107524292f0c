// SPDX-License-Identifier: MIT
// CRC-32 in the two variants of the eCos library: cyg_crc32 (reflected 0xEDB88320, initial value
// 0, no inversion; the CRC RedBoot keeps over its configuration block and the firmware image
// header carries) and cyg_ether_crc32 (the standard IEEE 802.3 CRC). A count of 0 or less means
// no bytes.
#pragma once

#include <cstdint>

// Continues a cyg_crc32 computation over `len` more bytes. `buf` is not tested for null.
uint32_t cyg_crc32_accumulate(uint32_t crc, const void *buf, int32_t len);
uint32_t cyg_crc32(const void *buf, int32_t len);

// Continues a cyg_ether_crc32 computation; returns 0 for a null `buf`.
uint32_t cyg_ether_crc32_accumulate(uint32_t crc, const void *buf, int32_t len);
uint32_t cyg_ether_crc32(const void *buf, int32_t len);
