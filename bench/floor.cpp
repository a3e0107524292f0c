// SPDX-License-Identifier: MIT
// The least work an upgrade of the same image can do, as a yardstick for the benchmark: read the
// image once, write both payloads in flushed 32 KiB chunks, synced as the upgrade syncs them (at
// the end of each erase block and at the end), read both back in 4 KiB chunks and compare, pause
// one second. No digests, no boot configuration, no notifications.
//
// Usage: floor [--from-device] [--erase-size BYTES] IMAGE KERNEL-DEVICE ROOT-DEVICE. Exit status
// 0 when both payloads read back equal. With --from-device the written pages are dropped from the
// page cache before the read-back, so that it comes from the device, as the upgrade's own
// verification does. Without --erase-size every chunk is synced.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

#include "data.h"
#include "image.h"

namespace
{

enum : int {
    PAYLOADS = 2,
    PAUSE_SECONDS = 1,
    EXIT_USAGE = 2,
};

uint32_t le32(const uint8_t *p)
{
    return (uint32_t)p[0] | (uint32_t)p[1] << 8 | (uint32_t)p[2] << 16 | (uint32_t)p[3] << 24;
}

struct payload {
    uint32_t offset;
    uint32_t size;
    uint8_t *data;
};

// The header is only decoded, not checked: checking is the program's work, not the floor's.
bool read_image(const char *path, payload *p)
{
    uint8_t header[FW_HEADER_LEN];
    FILE *f = fopen(path, "rb");
    bool ok = f != nullptr && fread(header, 1, sizeof(header), f) == sizeof(header);

    if (ok) {
        p[0].offset = le32(header + FW_OFF_KERNEL_OFFSET);
        p[0].size = le32(header + FW_OFF_KERNEL_SIZE);
        p[1].offset = le32(header + FW_OFF_ROOT_OFFSET);
        p[1].size = le32(header + FW_OFF_ROOT_SIZE);
    }
    for (int i = 0; ok && i < PAYLOADS; i++) {
        p[i].data = (uint8_t *)malloc(p[i].size > 0 ? p[i].size : 1);
        ok = p[i].data != nullptr && fseek(f, (long)p[i].offset, SEEK_SET) == 0 &&
             fread(p[i].data, 1, p[i].size, f) == p[i].size;
    }
    if (f != nullptr)
        fclose(f);
    return ok;
}

bool write_payload(const char *dev, const payload &p, uint32_t erase_size)
{
    FILE *f = fopen(dev, "w+b");
    bool ok = f != nullptr;

    for (uint32_t done = 0; ok && done < p.size;) {
        uint32_t n =
            p.size - done < (uint32_t)DATA_WRITE_CHUNK ? p.size - done : (uint32_t)DATA_WRITE_CHUNK;
        ok = fwrite(p.data + done, 1, n, f) == n && fflush(f) == 0;
        // A sync where the chunk reaches or crosses the end of an erase block, and at the end.
        bool sync = erase_size == 0 || done / erase_size != (done + n) / erase_size;
        done += n;
        if (ok && (sync || done == p.size))
            ok = fsync(fileno(f)) == 0;
    }
    if (f != nullptr)
        fclose(f);
    return ok;
}

bool verify_payload(const char *dev, const payload &p, bool from_device)
{
    uint8_t chunk[DATA_READ_CHUNK];
    FILE *f = fopen(dev, "rb");
    bool ok = f != nullptr;

    if (ok && from_device)
        (void)posix_fadvise(fileno(f), 0, 0, POSIX_FADV_DONTNEED);
    for (uint32_t done = 0; ok && done < p.size;) {
        uint32_t n =
            p.size - done < (uint32_t)DATA_READ_CHUNK ? p.size - done : (uint32_t)DATA_READ_CHUNK;
        ok = fread(chunk, 1, n, f) == n && memcmp(chunk, p.data + done, n) == 0;
        done += n;
    }
    if (f != nullptr)
        fclose(f);
    return ok;
}

} // namespace

int main(int argc, char **argv)
{
    payload p[PAYLOADS] = {};
    bool from_device = false;
    uint32_t erase_size = 0;
    int arg = 1;
    bool ok;

    for (; arg < argc && strncmp(argv[arg], "--", 2) == 0; arg++) {
        if (strcmp(argv[arg], "--from-device") == 0)
            from_device = true;
        else if (strcmp(argv[arg], "--erase-size") == 0 && arg + 1 < argc)
            erase_size = (uint32_t)strtoul(argv[++arg], nullptr, 0);
        else
            break;
    }
    char **args = argv + arg;
    if (argc - arg != 1 + PAYLOADS) {
        fprintf(stderr, "usage: floor [--from-device] [--erase-size BYTES] IMAGE KERNEL-DEVICE "
                        "ROOT-DEVICE\n");
        return EXIT_USAGE;
    }
    ok = read_image(args[0], p);
    // Both written, then both compared, in the upgrade's order.
    for (int i = 0; ok && i < PAYLOADS; i++)
        ok = write_payload(args[1 + i], p[i], erase_size);
    for (int i = 0; ok && i < PAYLOADS; i++)
        ok = verify_payload(args[1 + i], p[i], from_device);
    if (ok)
        sleep(PAUSE_SECONDS);
    for (payload &q : p)
        free(q.data);
    return ok ? 0 : 1;
}
