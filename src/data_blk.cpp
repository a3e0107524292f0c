// SPDX-License-Identifier: MIT
#include "data_blk.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "data.h"

namespace
{

void set_fault(data_fault *fault, const char *call, int source, int32_t at, int err)
{
    if (fault != nullptr) {
        fault->call = call;
        fault->source = source;
        fault->at = at;
        fault->err = err;
    }
}

} // namespace

// Opens the device or file that a payload is written to or compared with; the message on
// failure is the caller's to add to. A stream opened for comparing first drops the bytes that may
// still be cached (a page the writes only partly covered, or another reader's), so that the
// comparison reads the flash instead of memory. The writes were synced, so the pages are clean
// and droppable. It is a hint, so its result is not examined.
FILE *open_payload_target(const char *path, const char *mode, bool compare, data_fault *fault)
{
    FILE *stream = fopen(path, mode);

    if (stream == nullptr) {
        int err = errno;
        printf("fopen failed on %s!\n", path);
        set_fault(fault, "fopen", 0, 0, err);
    } else if (compare) {
        (void)posix_fadvise(fileno(stream), 0, 0, POSIX_FADV_DONTNEED);
    }
    return stream;
}

int dump_datasrc_to_file(const datasrc *src, const char *path, uint32_t erase_size,
                         const data_progress *progress, data_fault *fault)
{
    if (src->size > (uint32_t)DATA_LEN_MAX)
        return DATA_ERR_WRITE;

    // Opened without truncating: the copy reads what the device holds and leaves what it
    // already holds unwritten. A path that does not exist yet is created, as before.
    FILE *stream = fopen(path, "r+b");
    if (stream == nullptr)
        stream = open_payload_target(path, errno == ENOENT ? "w+b" : "r+b", false, fault);
    if (stream == nullptr)
        return DATA_ERR_OPEN;
    int rc = do_fcopy_data(src->stream, src->offset, (int32_t)src->size, stream, 0, erase_size,
                           progress, fault);
    // A plain file ends with the payload, as a truncating open left it; a device has no end to
    // move.
    struct stat st;
    if (rc == DATA_OK && fstat(fileno(stream), &st) == 0 && S_ISREG(st.st_mode) &&
        st.st_size != (off_t)src->size && ftruncate(fileno(stream), (off_t)src->size) != 0) {
        set_fault(fault, "ftruncate", 0, (int32_t)src->size, errno);
        rc = DATA_ERR_WRITE;
    }
    fclose(stream);
    return rc;
}

int verify_datasrc_with_file(const datasrc *src, const char *path, const data_progress *progress,
                             data_fault *fault)
{
    uint8_t digest[MD5_DIGEST_LEN];
    uint8_t sha256[SHA256_LEN];

    if (src->size > (uint32_t)DATA_LEN_MAX)
        return DATA_ERR_READ;

    FILE *stream = open_payload_target(path, "rb", true, fault);
    if (stream == nullptr)
        return DATA_ERR_OPEN;
    // A SHA-256 taken in the same read as the header's MD5 check stands for the checked bytes on
    // its own; a second MD5 of them would add nothing but time.
    const bool by_sha = src->has_sha256;
    int rc =
        do_fcompare_data(src->stream, src->offset, (int32_t)src->size, stream, 0,
                         by_sha ? nullptr : digest, by_sha ? sha256 : nullptr, progress, fault);
    fclose(stream);
    if (rc == DATA_OK && !by_sha && memcmp(digest, src->md5, MD5_DIGEST_LEN) != 0) {
        set_fault(fault, "digest", 1, (int32_t)src->size, 0);
        rc = DATA_ERR_MISMATCH;
    } else if (rc == DATA_OK && by_sha && memcmp(sha256, src->sha256, SHA256_LEN) != 0) {
        set_fault(fault, "sha256", 1, (int32_t)src->size, 0);
        rc = DATA_ERR_MISMATCH;
    }
    return rc;
}
