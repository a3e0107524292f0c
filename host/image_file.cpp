// SPDX-License-Identifier: MIT
#include "image_file.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sys/stat.h>

#include "byteorder.h"
#include "crc32.h"
#include "data.h"

namespace
{

int read_payloads(char *name_out, datablk *blocks, FILE *stream)
{
    uint8_t bytes[FW_HEADER_LEN];
    fw_image_header hdr;

    if (fread(bytes, 1, FW_HEADER_LEN, stream) != (size_t)FW_HEADER_LEN)
        return DATA_ERR_READ;
    int rc = image_header_check(bytes);
    if (rc != 0)
        return rc;
    image_header_decode(bytes, &hdr);
    const fw_payload_desc *desc[PAYLOAD_COUNT] = {&hdr.kernel, &hdr.root};
    for (const fw_payload_desc *d : desc) {
        if (!image_payload_addressable(*d))
            return DATA_ERR_READ;
    }

    for (int i = 0; i < PAYLOAD_COUNT; i++)
        blocks[i].size = desc[i]->size;
    // An empty payload stays without a buffer: its read below only digests empty input.
    for (int i = 0; i < PAYLOAD_COUNT; i++) {
        if (desc[i]->size == 0)
            continue;
        blocks[i].data = (uint8_t *)malloc(desc[i]->size);
        if (blocks[i].data == nullptr) {
            printf("malloc failed for size %d!\n", (int)desc[i]->size);
            return DATA_ERR_NOMEM;
        }
    }
    for (int i = 0; i < PAYLOAD_COUNT && rc == 0; i++) {
        rc = do_fread_data(blocks[i].data, (int32_t)desc[i]->size, stream, (long)desc[i]->offset,
                           blocks[i].md5);
        if (rc == 0 && memcmp(blocks[i].md5, desc[i]->md5, MD5_DIGEST_LEN) != 0)
            return IMAGE_ERR_CHECKSUM;
    }
    // The name is handed back after the payload reads, whether or not they succeeded.
    if (name_out != nullptr)
        image_header_name(&hdr, name_out);
    return rc;
}

int write_image(const char *name, const datablk *blocks, FILE *stream)
{
    uint8_t header[FW_HEADER_LEN];

    // Positions and lengths travel as signed 32-bit values; the root must start below 2^31.
    uint64_t root_offset = (uint64_t)FW_HEADER_LEN + blocks[PAYLOAD_KERNEL].size;
    if (blocks[PAYLOAD_KERNEL].size > (uint32_t)DATA_LEN_MAX ||
        blocks[PAYLOAD_ROOT].size > (uint32_t)DATA_LEN_MAX || root_offset > (uint64_t)DATA_LEN_MAX)
        return DATA_ERR_WRITE;

    image_to_header(name, blocks, header);
    if (do_fwrite_data(header, FW_HEADER_LEN, stream, 0, nullptr) != 0 ||
        do_fwrite_data(blocks[PAYLOAD_KERNEL].data, (int32_t)blocks[PAYLOAD_KERNEL].size, stream,
                       (long)FW_HEADER_LEN, nullptr) != 0 ||
        do_fwrite_data(blocks[PAYLOAD_ROOT].data, (int32_t)blocks[PAYLOAD_ROOT].size, stream,
                       (long)root_offset, nullptr) != 0)
        return DATA_ERR_WRITE;
    return DATA_OK;
}

// Loads the whole of one plain file into an empty record; the digest is left alone.
int load_whole_file(datablk *blk, FILE *stream)
{
    struct stat st;

    // The status of the descriptor just opened: the length of the very file that is read. A
    // length a signed 32-bit count cannot carry is as unusable as a failed query. Either is told
    // by the code alone: the loader has no message for it.
    if (fstat(fileno(stream), &st) != 0 || st.st_size < 0 || st.st_size > DATA_LEN_MAX)
        return DATA_ERR_SEEK;
    int32_t len = (int32_t)st.st_size;
    blk->size = (uint32_t)len;
    if (len > 0) {
        blk->data = (uint8_t *)malloc((size_t)len);
        if (blk->data == nullptr) {
            printf("malloc failed for size %d!\n", len);
            return DATA_ERR_NOMEM;
        }
    }
    return do_fread_data(blk->data, len, stream, 0, nullptr);
}

int load_plain_file(datablk *blk, const char *path)
{
    FILE *stream = fopen(path, "rb");

    if (stream == nullptr) {
        printf("fopen failed on %s!\n", path);
        return DATA_ERR_OPEN;
    }
    int rc = load_whole_file(blk, stream);
    fclose(stream);
    return rc;
}

} // namespace

int load_image_from_file(char *name_out, datablk *blocks, const char *path)
{
    FILE *stream = fopen(path, "rb");

    if (stream == nullptr) {
        printf("fopen failed on %s!\n", path);
        return DATA_ERR_OPEN;
    }
    int rc = read_payloads(name_out, blocks, stream);
    fclose(stream);
    return rc;
}

int image_to_header(const char *name, const datablk *blocks, uint8_t *header)
{
    memset(header, 0, FW_HEADER_LEN);
    put_le32(header + FW_OFF_MAGIC, FW_IMAGE_MAGIC);
    if (name != nullptr)
        snprintf((char *)header + FW_OFF_NAME, FW_NAME_LEN, "%s", name);
    put_le32(header + FW_OFF_HEADER_LEN, FW_HEADER_LEN);
    put_le32(header + FW_OFF_KERNEL_OFFSET, FW_HEADER_LEN);
    put_le32(header + FW_OFF_KERNEL_SIZE, blocks[PAYLOAD_KERNEL].size);
    memcpy(header + FW_OFF_KERNEL_MD5, blocks[PAYLOAD_KERNEL].md5, MD5_DIGEST_LEN);
    put_le32(header + FW_OFF_ROOT_OFFSET, FW_HEADER_LEN + blocks[PAYLOAD_KERNEL].size);
    put_le32(header + FW_OFF_ROOT_SIZE, blocks[PAYLOAD_ROOT].size);
    memcpy(header + FW_OFF_ROOT_MD5, blocks[PAYLOAD_ROOT].md5, MD5_DIGEST_LEN);
    put_le32(header + FW_OFF_HEADER_CRC, cyg_crc32(header, FW_HEADER_CRC_LEN));
    return 0;
}

int dump_image_to_file(const char *name, const datablk *blocks, const char *path)
{
    FILE *stream = fopen(path, "wb");

    if (stream == nullptr) {
        printf("fopen failed on %s!\n", path);
        return DATA_ERR_OPEN;
    }
    int rc = write_image(name, blocks, stream);
    fclose(stream);
    return rc;
}

int load_image_from_file331(datablk *blocks, const char *kernel_path, const char *root_path)
{
    int rc = load_plain_file(&blocks[PAYLOAD_KERNEL], kernel_path);

    if (rc == DATA_OK)
        rc = load_plain_file(&blocks[PAYLOAD_ROOT], root_path);
    return rc;
}
