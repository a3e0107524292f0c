// SPDX-License-Identifier: MIT
#include "image.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sys/stat.h>

#include "byteorder.h"
#include "crc32.h"
#include "data.h"
#include "data_blk.h"

namespace
{

void decode_payload(const uint8_t *bytes, int off_offset, int off_size, int off_md5,
                    fw_payload_desc *out)
{
    out->offset = get_le32(bytes + off_offset);
    out->size = get_le32(bytes + off_size);
    memcpy(out->md5, bytes + off_md5, MD5_DIGEST_LEN);
}

} // namespace

// A payload is read with a signed 32-bit length at a `long` position, which on the device is 32
// bits: a payload beyond 2^31 - 1 lies outside any file the device can read.
bool image_payload_addressable(const fw_payload_desc &p)
{
    return p.offset <= (uint32_t)DATA_LEN_MAX && p.size <= (uint32_t)DATA_LEN_MAX;
}

void image_header_decode(const uint8_t *bytes, fw_image_header *out)
{
    out->magic = get_le32(bytes + FW_OFF_MAGIC);
    memcpy(out->name, bytes + FW_OFF_NAME, FW_NAME_LEN);
    out->header_len = get_le32(bytes + FW_OFF_HEADER_LEN);
    decode_payload(bytes, FW_OFF_KERNEL_OFFSET, FW_OFF_KERNEL_SIZE, FW_OFF_KERNEL_MD5,
                   &out->kernel);
    decode_payload(bytes, FW_OFF_ROOT_OFFSET, FW_OFF_ROOT_SIZE, FW_OFF_ROOT_MD5, &out->root);
    out->header_crc = get_le32(bytes + FW_OFF_HEADER_CRC);
}

int image_header_check(const uint8_t *bytes)
{
    if (get_le32(bytes + FW_OFF_MAGIC) != FW_IMAGE_MAGIC)
        return IMAGE_ERR_MAGIC;
    if (cyg_crc32(bytes, FW_HEADER_CRC_LEN) != get_le32(bytes + FW_OFF_HEADER_CRC))
        return IMAGE_ERR_CHECKSUM;
    return 0;
}

void image_header_name(const fw_image_header *hdr, char *name_out)
{
    const void *nul = memchr(hdr->name, '\0', FW_NAME_LEN - 1);
    size_t len = nul != nullptr ? (size_t)((const uint8_t *)nul - hdr->name) : FW_NAME_LEN - 1;

    memcpy(name_out, hdr->name, len);
    name_out[len] = '\0';
}

int check_image_stream(FILE *stream, uint64_t file_len, fw_image_header *hdr, fw_image_fault *fault)
{
    uint8_t bytes[FW_HEADER_LEN];

    fault->payload = -1;
    fault->call = nullptr;
    if (fread(bytes, 1, FW_HEADER_LEN, stream) != (size_t)FW_HEADER_LEN)
        return DATA_ERR_READ;
    image_header_decode(bytes, hdr);
    fault->crc = cyg_crc32(bytes, FW_HEADER_CRC_LEN);
    int rc = image_header_check(bytes);
    if (rc != 0)
        return rc;

    const fw_payload_desc *desc[PAYLOAD_COUNT] = {&hdr->kernel, &hdr->root};
    // Every range is known good before any payload is read: a header that points past the end
    // is a short file, whatever its sizes.
    for (int i = 0; i < PAYLOAD_COUNT; i++) {
        fault->payload = i;
        if (!image_payload_addressable(*desc[i]) ||
            (uint64_t)desc[i]->offset + desc[i]->size > file_len)
            return DATA_ERR_READ;
    }
    for (int i = 0; i < PAYLOAD_COUNT; i++) {
        fault->payload = i;
        if (desc[i]->size == 0)
            return IMAGE_ERR_EMPTY;
    }
    for (int i = 0; i < PAYLOAD_COUNT; i++) {
        fault->payload = i;
        rc = do_fread_data(nullptr, (int32_t)desc[i]->size, stream, (long)desc[i]->offset,
                           fault->md5);
        if (rc != DATA_OK) {
            fault->err = rc == DATA_ERR_READ && ferror(stream) == 0 ? 0 : errno;
            fault->call = rc == DATA_ERR_SEEK ? "fseek" : "fread";
            return rc;
        }
        if (memcmp(fault->md5, desc[i]->md5, MD5_DIGEST_LEN) != 0)
            return IMAGE_ERR_CHECKSUM;
    }
    return DATA_OK;
}
