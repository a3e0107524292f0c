#include "data.h"

#include <cstring>
#include <fcntl.h>
#include <unistd.h>

#include "data_blk.h"
#include "md5.h"
#include "progress.h"

namespace
{

// Which done count a primitive advances: writing counts under stages 3 and 4, comparing under 5
// and 6.
struct progress_stages {
    int32_t kernel_stage;
    int32_t root_stage;
};

constexpr progress_stages g_write_stages = {UPGRADE_STAGE_WRITE_KERNEL, UPGRADE_STAGE_WRITE_ROOT};
constexpr progress_stages g_verify_stages = {UPGRADE_STAGE_VERIFY_KERNEL,
                                             UPGRADE_STAGE_VERIFY_ROOT};

enum : uint64_t {
    PERCENT_SCALE = 100,
};

// Compared bytes are handed back to the kernel in windows of this size: one request per 64 chunks.
constexpr int32_t g_drop_window = 64 * DATA_READ_CHUNK;

// Other processes read the record at any moment, so every field is touched through a volatile
// view: one plain store per field, the done count before the percentage.
void account_chunk(upgrade_progress *progress, const progress_stages &stages, int32_t done)
{
    volatile upgrade_progress *p = progress;
    int32_t stage = p->stage;

    if (stage == stages.kernel_stage)
        p->kernel_done = (uint32_t)done;
    else if (stage == stages.root_stage)
        p->root_done = (uint32_t)done;
    else
        printf("exception !!\n");

    // 64-bit sums and product: two 32-bit totals times 100 cannot wrap. A record without totals
    // has no meaningful percentage and keeps the one it holds.
    uint64_t total = (uint64_t)p->kernel_total + (uint64_t)p->root_total;
    if (total == 0)
        return;
    uint64_t sum = (uint64_t)p->kernel_done + (uint64_t)p->root_done;
    p->percent = (uint8_t)(sum * PERCENT_SCALE / total);
}

// Bytes that were synced or compared are not read again: handing their clean pages back at once
// keeps a whole payload's page cache from piling up (up to twice the payload, on a device with
// little memory), and the next chunks reuse the same few pages. A hint, so its result is not
// examined; partly covered pages stay.
void drop_cached(FILE *stream, long from, int32_t len)
{
    (void)posix_fadvise(fileno(stream), from, len, POSIX_FADV_DONTNEED);
}

int seek_to(FILE *stream, long offset)
{
    if (fseek(stream, offset, SEEK_SET) != 0) {
        printf("fseek failed !\n");
        return DATA_ERR_SEEK;
    }
    return DATA_OK;
}

} // namespace

int do_fread_data(uint8_t *dest, int32_t len, FILE *stream, long offset, uint8_t *digest)
{
    uint8_t scratch[DATA_READ_CHUNK];
    md5_context ctx;

    if (digest != nullptr)
        md5_init(&ctx);
    if (seek_to(stream, offset) != DATA_OK)
        return DATA_ERR_SEEK;

    // Into memory the whole range is one request; a digest-only read reuses the scratch buffer.
    uint8_t *target = dest != nullptr ? dest : scratch;
    int32_t request = dest != nullptr ? len : (int32_t)DATA_READ_CHUNK;

    for (int32_t remaining = len; remaining > 0;) {
        int32_t n = remaining < request ? remaining : request;
        size_t got = fread(target, 1, (size_t)n, stream);
        if (got != (size_t)n) {
            printf("fread failed to_do : done = %ld : %ld !\n", (long)n, (long)got);
            return DATA_ERR_READ;
        }
        if (digest != nullptr)
            md5_append(&ctx, target, n);
        remaining -= n;
    }
    if (digest != nullptr)
        md5_finish(&ctx, digest);
    return DATA_OK;
}

int do_fwrite_data(const uint8_t *src, int32_t len, FILE *stream, long offset,
                   upgrade_progress *progress)
{
    if (seek_to(stream, offset) != DATA_OK)
        return DATA_ERR_SEEK;

    for (int32_t done = 0; done < len;) {
        int32_t n = len - done < DATA_WRITE_CHUNK ? len - done : (int32_t)DATA_WRITE_CHUNK;
        size_t written = fwrite(src + done, 1, (size_t)n, stream);
        if (written != (size_t)n) {
            printf("fwrite failed to_do : done = %ld : %ld !\n", (long)len, (long)written);
            return DATA_ERR_WRITE;
        }
        done += n;
        if (fflush(stream) != 0)
            return DATA_ERR_FLUSH;
        if (fsync(fileno(stream)) != 0)
            return DATA_ERR_SYNC;
        drop_cached(stream, offset + done - n, n);
        if (progress != nullptr)
            account_chunk(progress, g_write_stages, done);
    }
    return DATA_OK;
}

int do_verify_data(const uint8_t *expected, int32_t len, FILE *stream, long offset,
                   upgrade_progress *progress)
{
    uint8_t scratch[DATA_READ_CHUNK];
    int32_t dropped = 0; // compared bytes handed back so far

    if (seek_to(stream, offset) != DATA_OK)
        return DATA_ERR_SEEK;

    for (int32_t done = 0; done < len;) {
        int32_t n = len - done < DATA_READ_CHUNK ? len - done : (int32_t)DATA_READ_CHUNK;
        size_t got = fread(scratch, 1, (size_t)n, stream);
        if (got != (size_t)n) {
            printf("fread failed bytes_read : done = %ld : %ld !\n", (long)n, (long)got);
            return DATA_ERR_READ;
        }
        if (memcmp(scratch, expected + done, (size_t)n) != 0)
            return DATA_ERR_MISMATCH;
        done += n;
        if (done - dropped >= g_drop_window || done == len) {
            drop_cached(stream, offset + dropped, done - dropped);
            dropped = done;
        }
        if (progress != nullptr)
            account_chunk(progress, g_verify_stages, done);
    }
    return DATA_OK;
}
