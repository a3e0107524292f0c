// SPDX-License-Identifier: MIT
// The firmware image file: a 76-byte little-endian header (model name, payload positions, sizes
// and MD5 digests, header CRC) followed by the kernel and root payloads.
#pragma once

#include <cstdint>
#include <cstdio>

#include "data_blk.h"
#include "md5.h"
#include "sha256.h"

enum : uint32_t {
    FW_IMAGE_MAGIC = 0x13578642,
};

enum : int {
    FW_HEADER_LEN = 76,
    FW_HEADER_CRC_LEN = 72, // the CRC covers the bytes before it
    FW_NAME_LEN = 16,       // model name field, NUL-terminated inside
    // field offsets
    FW_OFF_MAGIC = 0,
    FW_OFF_NAME = 4,
    FW_OFF_HEADER_LEN = 20,
    FW_OFF_KERNEL_OFFSET = 24,
    FW_OFF_KERNEL_SIZE = 28,
    FW_OFF_KERNEL_MD5 = 32,
    FW_OFF_ROOT_OFFSET = 48,
    FW_OFF_ROOT_SIZE = 52,
    FW_OFF_ROOT_MD5 = 56,
    FW_OFF_HEADER_CRC = 72,
};

enum : int {
    IMAGE_ERR_MAGIC = -10,    // magic is not FW_IMAGE_MAGIC
    IMAGE_ERR_CHECKSUM = -11, // header CRC or a payload digest does not match
    IMAGE_ERR_EMPTY = -13,    // a payload of length 0: the image cannot boot
};

// The header's fields as numbers, decoded from the 76 little-endian bytes.
struct fw_payload_desc {
    uint32_t offset;             // position of the payload in the file
    uint32_t size;               // payload length in bytes
    uint8_t md5[MD5_DIGEST_LEN]; // digest of the payload
};

struct fw_image_header {
    uint32_t magic;            // FW_IMAGE_MAGIC in a valid image
    uint8_t name[FW_NAME_LEN]; // model name field as stored (NUL-terminated when valid)
    uint32_t header_len;       // written as 76, never examined
    fw_payload_desc kernel;    // first payload
    fw_payload_desc root;      // second payload
    uint32_t header_crc;       // cyg_crc32 of bytes 0..71 as stored
};

// What a failed check_image_stream found, for the caller's one-line report.
struct fw_image_fault {
    int payload;                 // PAYLOAD_* the failure concerns; -1 for the header
    const char *call;            // "fread" or "fseek" when reading failed, else null
    int err;                     // errno of that call; 0 at the end of the file
    uint32_t crc;                // the header CRC as computed from its bytes
    uint8_t md5[MD5_DIGEST_LEN]; // the payload's digest as read
};

// Decodes the 76 bytes at `bytes` into `out`; checks nothing.
void image_header_decode(const uint8_t *bytes, fw_image_header *out);
// 0 when the header carries the magic and a matching CRC; IMAGE_ERR_MAGIC or IMAGE_ERR_CHECKSUM.
int image_header_check(const uint8_t *bytes);
// Copies the model name of the 16-byte field: up to its first NUL, at most 15 characters, and a
// NUL, into the 16-byte `name_out`.
void image_header_name(const fw_image_header *hdr, char *name_out);

// The SHA-256 digests of the image file and of each payload, as a signed manifest names them.
struct fw_image_digests {
    uint8_t image[SHA256_LEN];
    uint8_t payload[PAYLOAD_COUNT][SHA256_LEN]; // indexed by PAYLOAD_*
};

// Checks the image file open at position 0 of `stream`, `file_len` bytes long, in place and in
// this order: the header's length, magic and CRC; each payload lying wholly inside the file
// (else DATA_ERR_READ, before anything is read); each payload not empty (IMAGE_ERR_EMPTY); then
// the kernel's and the root's digest. The file is read once, to its end, and when `sha` is not
// null the same bytes give its SHA-256 digests: what they vouch for is what was checked. `hdr`
// is filled once the header has been read. 0, DATA_ERR_READ or DATA_ERR_SEEK (also when reading
// fails), or an IMAGE_ERR_* code; `fault` tells what was found.
int check_image_stream(FILE *stream, uint64_t file_len, fw_image_header *hdr, fw_image_fault *fault,
                       fw_image_digests *sha);
// The SHA-256 digests of the image file open at position 0 of `stream`, `file_len` bytes long,
// whose header `hdr` holds, without checking its MD5s. 0, or DATA_ERR_READ when a payload lies
// outside the file or a read fails.
int image_stream_digests(FILE *stream, uint64_t file_len, const fw_image_header *hdr,
                         fw_image_digests *sha);
// Whether a payload lies where a signed 32-bit length at a 32-bit `long` position can read it.
bool image_payload_addressable(const fw_payload_desc &p);
