// SPDX-License-Identifier: MIT
#include "data.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

#include "md5.h"
#include "sha256.h"

namespace
{

// Compared bytes are handed back to the kernel in windows of this size: one request per 64 chunks.
constexpr int32_t g_drop_window = 64 * DATA_READ_CHUNK;

// Hands the bytes done so far to the caller's sink, if any.
void count_chunk(const data_progress *progress, int verify, int32_t done)
{
    if (progress != nullptr && progress->count != nullptr)
        progress->count(progress->context, verify, done);
}

// Bytes that were synced or compared are not read again: handing their clean pages back at once
// keeps a whole payload's page cache from piling up (up to twice the payload, on a device with
// little memory), and the next chunks reuse the same few pages. A hint, so its result is not
// examined; partly covered pages stay.
void drop_cached(FILE *stream, long from, int32_t len)
{
    (void)posix_fadvise(fileno(stream), from, len, POSIX_FADV_DONTNEED);
}

// The message goes out after errno has been taken: printing may change it.
int seek_to(FILE *stream, long offset)
{
    if (fseek(stream, offset, SEEK_SET) != 0) {
        int err = errno;
        printf("fseek failed !\n");
        errno = err;
        return DATA_ERR_SEEK;
    }
    return DATA_OK;
}

// Fills the caller's record, if any, and returns `code`.
int fault_at(data_fault *fault, int code, const char *call, int source, int32_t at, int err)
{
    if (fault != nullptr) {
        fault->call = call;
        fault->source = source;
        fault->at = at;
        fault->err = err;
    }
    return code;
}

// The errno of a read that came up short, or 0 when it met the end of the file.
int read_errno(FILE *stream)
{
    return ferror(stream) != 0 ? errno : 0;
}

// True when the bytes [from, to) of the device reach or cross the end of an erase block. With
// blocks no larger than a chunk, every chunk does.
bool ends_erase_block(long from, long to, uint32_t erase_size)
{
    return erase_size == 0 || (uint64_t)from / erase_size != (uint64_t)to / erase_size;
}

// Where a transfer's bytes come from: memory, or a stream read at its position.
struct chunk_source {
    const uint8_t *mem; // the bytes, when they are in memory
    FILE *stream;       // else the stream they are read from
};

// The next `n` bytes of `src`, `done` bytes in: in place in memory, or read into `buf`. Null when
// the read comes up short.
const uint8_t *next_chunk(const chunk_source &src, int32_t done, int32_t n, uint8_t *buf)
{
    if (src.stream == nullptr)
        return src.mem + done;
    return fread(buf, 1, (size_t)n, src.stream) == (size_t)n ? buf : nullptr;
}

// True when the device holds the `n` bytes at `want` at the stream's position. The read goes
// through the block device the writes go through, whose caches hold nothing that the flash does
// not get at the next sync. A read that fails or comes up short only means the chunk is written.
bool device_holds(FILE *dst, const uint8_t *want, int32_t n)
{
    uint8_t old[DATA_READ_CHUNK]; // what the device holds
    bool same = true;

    for (int32_t i = 0; same && i < n; i += DATA_READ_CHUNK) {
        int32_t m = n - i < DATA_READ_CHUNK ? n - i : (int32_t)DATA_READ_CHUNK;
        same = fread(old, 1, (size_t)m, dst) == (size_t)m && memcmp(old, want + i, (size_t)m) == 0;
    }
    clearerr(dst);
    return same;
}

// Writes `len` bytes from `src` at the stream's position; `offset` is where `dst` stands. Every
// chunk is flushed and counted; the device is synced at the end of each erase block and at the end,
// and the synced pages dropped. With `skip_same`, a chunk the device already holds is counted
// but not written, and an erase block none of whose chunks was written is not synced: mtdblock
// then never erases it, and a block only partly rewritten keeps its other bytes from the flash.
int write_chunks(const chunk_source &src, int32_t len, FILE *dst, long offset, uint32_t erase_size,
                 bool skip_same, const data_progress *progress, data_fault *fault)
{
    uint8_t buf[DATA_WRITE_CHUNK]; // a chunk read from `src`
    int32_t synced = 0;            // bytes known to be on the device
    bool dirty = false;            // a chunk since the last sync was written

    for (int32_t done = 0; done < len;) {
        int32_t n = len - done < DATA_WRITE_CHUNK ? len - done : (int32_t)DATA_WRITE_CHUNK;
        const uint8_t *chunk = next_chunk(src, done, n, buf);
        if (chunk == nullptr)
            return fault_at(fault, DATA_ERR_READ, "fread", 1, done, read_errno(src.stream));
        bool skip = skip_same && device_holds(dst, chunk, n);
        // Positioned again after a comparison: its read may have stopped anywhere.
        if (skip_same && seek_to(dst, skip ? offset + done + n : offset + done) != DATA_OK)
            return fault_at(fault, DATA_ERR_SEEK, "fseek", 0, done, errno);
        if (!skip) {
            size_t written = fwrite(chunk, 1, (size_t)n, dst);
            if (written != (size_t)n) {
                int err = errno;
                printf("fwrite failed to_do : done = %ld : %ld !\n", (long)len, (long)written);
                return fault_at(fault, DATA_ERR_WRITE, "fwrite", 0, done, err);
            }
            if (fflush(dst) != 0)
                return fault_at(fault, DATA_ERR_FLUSH, "fflush", 0, done, errno);
            dirty = true;
        }
        done += n;
        if (done == len || ends_erase_block(offset + done - n, offset + done, erase_size)) {
            if (dirty && fsync(fileno(dst)) != 0)
                return fault_at(fault, DATA_ERR_SYNC, "fsync", 0, done - n, errno);
            // The pages compared are clean and go too.
            drop_cached(dst, offset + synced, done - synced);
            synced = done;
            dirty = false;
        }
        count_chunk(progress, DATA_COUNT_WRITE, done);
    }
    return DATA_OK;
}

// Index of the first byte where the `n` bytes at `a` and `b` differ (n when none does).
int32_t first_difference(const uint8_t *a, const uint8_t *b, int32_t n)
{
    int32_t i = 0;

    while (i < n && a[i] == b[i])
        i++;
    return i;
}

// The source's bytes a comparison expects, read from a stream a window at a time: one request
// for eight of the device's chunks. A window that came up short keeps what it got and the errno
// of the read, for the chunk that reaches past it.
struct source_window {
    uint8_t bytes[DATA_WRITE_CHUNK];
    int32_t start; // transfer bytes before the window
    int32_t len;   // bytes the window asked for
    int32_t got;   // bytes the read gave
    int err;       // errno of a read that came up short, 0 at the end of the file
};

// The `n` bytes `done` bytes into `src`: in place in memory, or from the window, which is refilled
// when `done` lies past it. Null when the read came up short before their end.
const uint8_t *expected_chunk(const chunk_source &src, int32_t len, int32_t done, int32_t n,
                              source_window *w)
{
    if (src.stream == nullptr)
        return src.mem + done;
    if (done >= w->start + w->len) {
        w->start = done;
        w->len = len - done < DATA_WRITE_CHUNK ? len - done : (int32_t)DATA_WRITE_CHUNK;
        w->got = (int32_t)fread(w->bytes, 1, (size_t)w->len, src.stream);
        w->err = w->got < w->len ? read_errno(src.stream) : 0;
    }
    return done + n <= w->start + w->got ? w->bytes + (done - w->start) : nullptr;
}

// Compares `len` bytes of `stream` from its position (`offset`) with those of `src`, which are
// digested into `digest` (MD5) and `sha256` when those are non-null. Compared pages are handed back
// as it goes.
int compare_chunks(const chunk_source &src, int32_t len, FILE *stream, long offset, uint8_t *digest,
                   uint8_t *sha256, const data_progress *progress, data_fault *fault)
{
    uint8_t scratch[DATA_READ_CHUNK]; // from `stream`
    source_window want;               // from `src`, when it is a stream
    md5_context ctx;
    sha256_context sha;
    int32_t dropped = 0; // compared bytes handed back so far

    // Empty: the first chunk fills it. Its bytes are left as they are until read.
    want.start = 0;
    want.len = 0;
    want.got = 0;
    want.err = 0;

    if (digest != nullptr)
        md5_init(&ctx);
    if (sha256 != nullptr)
        sha256_init(&sha);
    for (int32_t done = 0; done < len;) {
        int32_t n = len - done < DATA_READ_CHUNK ? len - done : (int32_t)DATA_READ_CHUNK;
        size_t got = fread(scratch, 1, (size_t)n, stream);
        if (got != (size_t)n) {
            int err = read_errno(stream);
            printf("fread failed bytes_read : done = %ld : %ld !\n", (long)n, (long)got);
            return fault_at(fault, DATA_ERR_READ, "fread", 0, done, err);
        }
        const uint8_t *expected = expected_chunk(src, len, done, n, &want);
        if (expected == nullptr)
            return fault_at(fault, DATA_ERR_READ, "fread", 1, done, want.err);
        if (memcmp(scratch, expected, (size_t)n) != 0)
            return fault_at(fault, DATA_ERR_MISMATCH, "compare", 0,
                            done + first_difference(scratch, expected, n), 0);
        if (digest != nullptr)
            md5_append(&ctx, expected, n);
        if (sha256 != nullptr)
            sha256_update(&sha, expected, (size_t)n);
        done += n;
        if (done - dropped >= g_drop_window || done == len) {
            drop_cached(stream, offset + dropped, done - dropped);
            dropped = done;
        }
        count_chunk(progress, DATA_COUNT_VERIFY, done);
    }
    if (digest != nullptr)
        md5_finish(&ctx, digest);
    if (sha256 != nullptr)
        sha256_final(&sha, sha256);
    return DATA_OK;
}

} // namespace

// The line a short read prints, as requests of `unit` bytes would print it: the request that
// came up short, and what it got. A digest-only read once went 4096 bytes at a time, and its line
// is kept when it reads more at once.
void data_print_short_read(int32_t unit, int32_t n, int32_t got)
{
    int32_t before = got / unit * unit; // bytes of the whole units read
    int32_t want = n - before < unit ? n - before : unit;

    printf("fread failed to_do : done = %ld : %ld !\n", (long)want, (long)(got - before));
}

int do_fread_data(uint8_t *dest, int32_t len, FILE *stream, long offset, uint8_t *digest)
{
    uint8_t scratch[DATA_WRITE_CHUNK];
    md5_context ctx;

    if (digest != nullptr)
        md5_init(&ctx);
    if (seek_to(stream, offset) != DATA_OK)
        return DATA_ERR_SEEK;

    // Into memory the whole range is one request; a digest-only read reuses the scratch buffer,
    // a chunk at a time: each request a system call, so the larger the fewer.
    uint8_t *target = dest != nullptr ? dest : scratch;
    int32_t request = dest != nullptr ? len : (int32_t)DATA_WRITE_CHUNK;

    for (int32_t remaining = len; remaining > 0;) {
        int32_t n = remaining < request ? remaining : request;
        size_t got = fread(target, 1, (size_t)n, stream);
        if (got != (size_t)n) {
            int err = errno;
            data_print_short_read(dest != nullptr ? n : (int32_t)DATA_READ_CHUNK, n, (int32_t)got);
            errno = err;
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
                   const data_progress *progress)
{
    if (seek_to(stream, offset) != DATA_OK)
        return DATA_ERR_SEEK;
    return write_chunks({src, nullptr}, len, stream, offset, 0, false, progress, nullptr);
}

int do_verify_data(const uint8_t *expected, int32_t len, FILE *stream, long offset,
                   const data_progress *progress)
{
    if (seek_to(stream, offset) != DATA_OK)
        return DATA_ERR_SEEK;
    return compare_chunks({expected, nullptr}, len, stream, offset, nullptr, nullptr, progress,
                          nullptr);
}

int do_fcopy_data(FILE *src, long src_offset, int32_t len, FILE *dst, long dst_offset,
                  uint32_t erase_size, const data_progress *progress, data_fault *fault)
{
    if (seek_to(dst, dst_offset) != DATA_OK)
        return fault_at(fault, DATA_ERR_SEEK, "fseek", 0, 0, errno);
    if (seek_to(src, src_offset) != DATA_OK)
        return fault_at(fault, DATA_ERR_SEEK, "fseek", 1, 0, errno);
    return write_chunks({nullptr, src}, len, dst, dst_offset, erase_size, true, progress, fault);
}

int do_fcompare_data(FILE *expected, long exp_offset, int32_t len, FILE *stream, long offset,
                     uint8_t *digest, uint8_t *sha256, const data_progress *progress,
                     data_fault *fault)
{
    if (seek_to(stream, offset) != DATA_OK)
        return fault_at(fault, DATA_ERR_SEEK, "fseek", 0, 0, errno);
    if (seek_to(expected, exp_offset) != DATA_OK)
        return fault_at(fault, DATA_ERR_SEEK, "fseek", 1, 0, errno);
    return compare_chunks({nullptr, expected}, len, stream, offset, digest, sha256, progress,
                          fault);
}
