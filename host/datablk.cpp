// SPDX-License-Identifier: MIT
#include "datablk.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "data.h"

namespace
{

int load_stream(datablk *blk, FILE *stream, const char *path)
{
    uint8_t *buf = nullptr;

    if (fseek(stream, 0, SEEK_END) != 0) {
        printf("fseek failed on %s!\n", path);
        return DATA_ERR_SEEK;
    }
    long len = ftell(stream);
    if (len < 0) {
        printf("fseek failed on %s!\n", path);
        return DATA_ERR_SEEK;
    }
    // A block travels as a signed 32-bit length; a longer file cannot be held as one.
    if (len > (long)DATA_LEN_MAX) {
        printf("malloc failed for size %ld!\n", len);
        return DATA_ERR_NOMEM;
    }
    // An empty file is an empty block: no zero-byte allocation, and the digest of empty input.
    if (len > 0) {
        buf = (uint8_t *)malloc((size_t)len);
        if (buf == nullptr) {
            printf("malloc failed for size %ld!\n", len);
            return DATA_ERR_NOMEM;
        }
    }
    blk->data = buf;
    blk->size = (uint32_t)len;
    return do_fread_data(buf, (int32_t)len, stream, 0, blk->md5);
}

int dump_stream(const datablk *blk, FILE *stream, int verify, const data_progress *progress)
{
    uint8_t digest[MD5_DIGEST_LEN];

    int rc = do_fwrite_data(blk->data, (int32_t)blk->size, stream, 0, progress);
    if (rc != DATA_OK || verify == 0)
        return rc;
    rc = do_fread_data(nullptr, (int32_t)blk->size, stream, 0, digest);
    if (rc != DATA_OK)
        return rc;
    return memcmp(digest, blk->md5, MD5_DIGEST_LEN) == 0 ? DATA_OK : DATA_ERR_MISMATCH;
}

} // namespace

void init_datablk(datablk *blk)
{
    blk->size = 0;
    memset(blk->md5, 0, sizeof(blk->md5));
    blk->data = nullptr;
}

void cleanup_datablk(datablk *blk)
{
    blk->size = 0;
    memset(blk->md5, 0, sizeof(blk->md5));
    if (blk->data != nullptr) {
        free(blk->data);
        blk->data = nullptr;
    }
}

int load_datablk_from_file(datablk *blk, const char *path)
{
    FILE *stream = fopen(path, "rb");

    if (stream == nullptr) {
        printf("fopen failed on %s!\n", path);
        return DATA_ERR_OPEN;
    }
    int rc = load_stream(blk, stream, path);
    fclose(stream);
    return rc;
}

int dump_datablk_to_file(const datablk *blk, const char *path, int verify,
                         const data_progress *progress)
{
    // Refused before opening: "w+b" would already have truncated the target.
    if (blk->size > (uint32_t)DATA_LEN_MAX)
        return DATA_ERR_WRITE;

    FILE *stream = open_payload_target(path, "w+b", false, nullptr);
    if (stream == nullptr)
        return DATA_ERR_OPEN;
    int rc = dump_stream(blk, stream, verify, progress);
    fclose(stream);
    return rc;
}

int verify_datablk_with_file(const datablk *blk, const char *path, const data_progress *progress)
{
    if (blk->size > (uint32_t)DATA_LEN_MAX)
        return DATA_ERR_READ;

    FILE *stream = open_payload_target(path, "rb", true, nullptr);
    if (stream == nullptr)
        return DATA_ERR_OPEN;
    int rc = do_verify_data(blk->data, (int32_t)blk->size, stream, 0, progress);
    fclose(stream);
    return rc;
}
