// SPDX-License-Identifier: MIT
// The firmware image loader on arbitrary files: header checks, payload positions and sizes in any
// placement (overlapping, out of the file, huge), digests; and the in-place check the upgrade
// uses, which must agree with the loader wherever both payloads are non-empty. The file lives in
// a memory file opened by its /proc/self/fd path, so each run costs no disk I/O.
//
// Input: byte 0 steers the repairs that let mutated headers through the checks (bit 0: each
// payload digest is set to that of the bytes at its place in the file, where they exist; bit 1:
// the header CRC is set right); the other bytes are the file. Payload sizes from 1 MiB up to
// 2^31 - 1 are cut to their low 20 bits first: the loader only allocates them before its short
// read, the same path as any size past the end of the file, and allocations of up to 2 GiB a
// run would stall the fuzzer.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sys/mman.h>
#include <unistd.h>
#include <vector>

#include "crc32.h"
#include "datablk.h"
#include "image.h"
#include "image_file.h"
#include "md5.h"

namespace
{

enum : uint8_t {
    FIX_DIGESTS = 1,
    FIX_CRC = 2,
};

enum : uint32_t {
    SIZE_CUT = 0x100000,       // payload sizes from here up are cut...
    SIZE_REFUSED = 0x80000000, // ...unless the loader refuses them outright
};

int g_fd = -1;
char g_path[64];

void check(bool ok)
{
    if (!ok)
        abort();
}

uint32_t get_le32(const uint8_t *p)
{
    return (uint32_t)p[0] | (uint32_t)p[1] << 8 | (uint32_t)p[2] << 16 | (uint32_t)p[3] << 24;
}

void put_le32(uint8_t *p, uint32_t v)
{
    for (int i = 0; i < 4; i++)
        p[i] = (uint8_t)(v >> (8 * i));
}

void digest(const uint8_t *p, uint32_t len, uint8_t *out)
{
    md5_context ctx;

    md5_init(&ctx);
    md5_append(&ctx, p, (int32_t)len);
    md5_finish(&ctx, out);
}

// True when the payload described at `desc` (offset, size, digest) lies wholly in the file.
bool in_file(const std::vector<uint8_t> &file, int desc)
{
    uint64_t off = get_le32(&file[desc]);
    uint64_t len = get_le32(&file[desc + 4]);
    return off + len <= file.size();
}

void repair(std::vector<uint8_t> *file, uint8_t steer)
{
    const int descs[] = {FW_OFF_KERNEL_OFFSET, FW_OFF_ROOT_OFFSET};
    uint8_t *h = file->data();

    if (file->size() < (size_t)FW_HEADER_LEN)
        return;
    for (int d : descs) {
        uint32_t len = get_le32(h + d + 4);
        if (len >= SIZE_CUT && len < SIZE_REFUSED)
            put_le32(h + d + 4, len % SIZE_CUT);
    }
    for (int d : descs) {
        if ((steer & FIX_DIGESTS) != 0 && in_file(*file, d))
            digest(h + get_le32(h + d), get_le32(h + d + 4), h + d + 8);
    }
    if ((steer & FIX_CRC) != 0)
        put_le32(h + FW_OFF_HEADER_CRC, cyg_crc32(h, FW_HEADER_CRC_LEN));
}

// What a successful load must have produced: each record holds exactly the bytes at its place in
// the file, with their digest, which is the header's.
void check_loaded(const std::vector<uint8_t> &file, const datablk *blocks, const char *name)
{
    const int descs[] = {FW_OFF_KERNEL_OFFSET, FW_OFF_ROOT_OFFSET};
    uint8_t md5[MD5_DIGEST_LEN];

    check(file.size() >= (size_t)FW_HEADER_LEN && image_header_check(file.data()) == 0);
    check(memchr(name, '\0', FW_NAME_LEN) != nullptr);
    for (int i = 0; i < 2; i++) {
        const uint8_t *d = &file[descs[i]];
        uint32_t off = get_le32(d);
        uint32_t len = get_le32(d + 4);
        // An empty payload reads nothing, wherever it is placed.
        check(len == 0 || in_file(file, descs[i]));
        check(blocks[i].size == len);
        check((blocks[i].data != nullptr) == (len > 0));
        check(len == 0 || memcmp(blocks[i].data, &file[off], len) == 0);
        digest(blocks[i].data, len, md5);
        check(memcmp(md5, blocks[i].md5, MD5_DIGEST_LEN) == 0);
        check(memcmp(md5, d + 8, MD5_DIGEST_LEN) == 0);
    }
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int * /*argc*/, char *** /*argv*/)
{
    g_fd = memfd_create("fuzz_image", MFD_CLOEXEC);
    check(g_fd >= 0);
    snprintf(g_path, sizeof(g_path), "/proc/self/fd/%d", g_fd);
    // The loader prints its diagnostics; the fuzzer's own output goes to standard error.
    check(freopen("/dev/null", "w", stdout) != nullptr);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size == 0)
        return 0;
    std::vector<uint8_t> file(data + 1, data + size);
    repair(&file, data[0]);
    check(ftruncate(g_fd, 0) == 0);
    check(pwrite(g_fd, file.data(), file.size(), 0) == (ssize_t)file.size());

    datablk blocks[2];
    char name[FW_NAME_LEN];
    init_datablk(&blocks[0]);
    init_datablk(&blocks[1]);
    memset(name, 0x5A, sizeof(name));

    int rc = load_image_from_file(name, blocks, g_path);
    switch (rc) {
    case 0:
        check_loaded(file, blocks, name);
        break;
    case DATA_ERR_NOMEM:
    case DATA_ERR_SEEK:
    case DATA_ERR_READ:
    case IMAGE_ERR_MAGIC:
    case IMAGE_ERR_CHECKSUM:
        break;
    default:
        abort();
    }

    // The check in place accepts exactly what loads, less empty payloads, and refuses a payload
    // outside the file before reading it (as short, where the loader's read comes up short).
    FILE *f = fopen(g_path, "rb");
    check(f != nullptr);
    fw_image_header hdr;
    fw_image_fault fault;
    int in_place = check_image_stream(f, file.size(), &hdr, &fault, nullptr);
    fclose(f);
    bool empty = rc == 0 && (blocks[0].size == 0 || blocks[1].size == 0);
    check((in_place == 0) == (rc == 0 && !empty));
    // Refused as empty: every range lies in the file, so the loader read both payloads.
    check(in_place != IMAGE_ERR_EMPTY || rc == 0 || rc == IMAGE_ERR_CHECKSUM);
    // The header's own checks come first in both, in the same order.
    if (file.size() < (size_t)FW_HEADER_LEN || rc == IMAGE_ERR_MAGIC)
        check(in_place == rc);

    // The records own whatever the load left in them, on every path.
    cleanup_datablk(&blocks[0]);
    cleanup_datablk(&blocks[1]);
    check(blocks[0].data == nullptr && blocks[1].data == nullptr);
    return 0;
}
