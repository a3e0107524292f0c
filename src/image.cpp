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

// One read of the image file, in file order, feeding each payload's bytes to its MD5 and, when
// asked, the whole file and each payload to a SHA-256: wherever the payloads lie, each context
// gets its bytes in order.
struct image_scan {
    const fw_payload_desc *desc[PAYLOAD_COUNT];
    bool sha;
    md5_context md5[PAYLOAD_COUNT];
    sha256_context sha_payload[PAYLOAD_COUNT];
    sha256_context sha_image;
    uint8_t md5_out[PAYLOAD_COUNT][MD5_DIGEST_LEN];
};

void scan_begin(image_scan *s, const fw_image_header *hdr, bool sha)
{
    s->desc[PAYLOAD_KERNEL] = &hdr->kernel;
    s->desc[PAYLOAD_ROOT] = &hdr->root;
    s->sha = sha;
    for (int i = 0; i < PAYLOAD_COUNT; i++) {
        md5_init(&s->md5[i]);
        if (sha)
            sha256_init(&s->sha_payload[i]);
    }
    if (sha)
        sha256_init(&s->sha_image);
}

// Feeds the chunk holding the file's bytes [pos, pos + n).
void scan_chunk(image_scan *s, uint64_t pos, const uint8_t *chunk, size_t n)
{
    if (s->sha)
        sha256_update(&s->sha_image, chunk, n);
    for (int i = 0; i < PAYLOAD_COUNT; i++) {
        const uint64_t start = s->desc[i]->offset, end = start + s->desc[i]->size;
        const uint64_t from = pos > start ? pos : start;
        const uint64_t to = pos + n < end ? pos + n : end;
        if (from >= to)
            continue;
        md5_append(&s->md5[i], chunk + (from - pos), (int32_t)(to - from));
        if (s->sha)
            sha256_update(&s->sha_payload[i], chunk + (from - pos), (size_t)(to - from));
    }
}

// The payload a read that ended at `end` of the file left short (the kernel's bytes are taken
// first), with the line its own reads of 4096 bytes would have printed.
int short_payload(const image_scan *s, uint64_t end)
{
    const fw_payload_desc *k = s->desc[PAYLOAD_KERNEL];
    const int i = (uint64_t)k->offset + k->size > end ? PAYLOAD_KERNEL : PAYLOAD_ROOT;
    const fw_payload_desc *d = s->desc[i];
    uint64_t avail = end > d->offset ? end - d->offset : 0;

    if (avail > d->size)
        avail = d->size; // short past the payloads: the root's line, all of it read

    data_print_short_read(DATA_READ_CHUNK, (int32_t)d->size, (int32_t)avail);
    return i;
}

// Reads and feeds the file from `pos` to `file_len`. A read that fails or ends early is put down
// to the payload it was reading toward.
int scan_rest(image_scan *s, FILE *stream, uint64_t pos, uint64_t file_len, fw_image_fault *fault)
{
    uint8_t chunk[DATA_WRITE_CHUNK];

    while (pos < file_len) {
        const size_t want = file_len - pos < (uint64_t)DATA_WRITE_CHUNK ? (size_t)(file_len - pos)
                                                                        : (size_t)DATA_WRITE_CHUNK;
        const size_t got = fread(chunk, 1, want, stream);
        if (got != want) {
            fault->err = ferror(stream) != 0 ? errno : 0;
            fault->call = "fread";
            fault->payload = short_payload(s, pos + got);
            return DATA_ERR_READ;
        }
        scan_chunk(s, pos, chunk, want);
        pos += want;
    }
    return DATA_OK;
}

void scan_end(image_scan *s, fw_image_digests *sha)
{
    for (int i = 0; i < PAYLOAD_COUNT; i++) {
        md5_finish(&s->md5[i], s->md5_out[i]);
        if (sha != nullptr)
            sha256_final(&s->sha_payload[i], sha->payload[i]);
    }
    if (sha != nullptr)
        sha256_final(&s->sha_image, sha->image);
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

int check_image_stream(FILE *stream, uint64_t file_len, fw_image_header *hdr, fw_image_fault *fault,
                       fw_image_digests *sha)
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

    // The transfers position the image at each payload: one that cannot be positioned is refused
    // here, before anything is unlocked.
    fault->payload = PAYLOAD_KERNEL;
    if (fseek(stream, FW_HEADER_LEN, SEEK_SET) != 0) {
        fault->err = errno;
        fault->call = "fseek";
        return DATA_ERR_SEEK;
    }
    image_scan scan;
    scan_begin(&scan, hdr, sha != nullptr);
    scan_chunk(&scan, 0, bytes, FW_HEADER_LEN);
    rc = scan_rest(&scan, stream, FW_HEADER_LEN, file_len, fault);
    if (rc != DATA_OK)
        return rc;
    scan_end(&scan, sha);
    for (int i = 0; i < PAYLOAD_COUNT; i++) {
        fault->payload = i;
        if (memcmp(scan.md5_out[i], desc[i]->md5, MD5_DIGEST_LEN) != 0) {
            memcpy(fault->md5, scan.md5_out[i], MD5_DIGEST_LEN);
            return IMAGE_ERR_CHECKSUM;
        }
    }
    return DATA_OK;
}

int image_stream_digests(FILE *stream, uint64_t file_len, const fw_image_header *hdr,
                         fw_image_digests *sha)
{
    fw_image_fault fault;
    image_scan scan;

    if ((uint64_t)hdr->kernel.offset + hdr->kernel.size > file_len ||
        (uint64_t)hdr->root.offset + hdr->root.size > file_len)
        return DATA_ERR_READ;
    scan_begin(&scan, hdr, true);
    int rc = scan_rest(&scan, stream, 0, file_len, &fault);
    if (rc == DATA_OK)
        scan_end(&scan, sha);
    return rc;
}
