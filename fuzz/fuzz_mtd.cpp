// SPDX-License-Identifier: MIT
// The /proc/mtd parsers and lookups on arbitrary tables. Each line goes to the line parsers in a
// buffer of exactly its length; the whole table is written as the simulated /proc/mtd and looked
// up by a pattern. Every result (device path, size, erase size) is checked against a reference
// that follows the documented rules with the C library's own functions.
//
// Input: byte 0 selects the device kind (0 to 3; only 1 and 2 are kinds), byte 1 the pattern
// length (0 to 63), then the pattern, then the table.
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include "fuzz_scratch.h"
#include "mtd_part.h"
#include "platform.h"

namespace
{

enum : size_t {
    KIND_CHOICES = 4,
    PATTERN_CHOICES = 64,
    MAX_LINES = 64, // lines given to the parsers one by one
};

const char kChrPrefix[] = "/dev/mtd";
const char kBlkPrefix[] = "/dev/mtdblock";
const char kUntouched[] = "untouched";
const uint32_t kSizeUntouched = 0x5A5A5A5Au;

std::string g_root;
std::string g_table_path;

void check(bool ok)
{
    if (!ok)
        abort();
}

void remove_root()
{
    unlink(g_table_path.c_str());
    rmdir((g_root + "/proc").c_str());
    rmdir(g_root.c_str());
}

struct device_ref {
    int ret;
    std::string path; // when ret > 0
};

device_ref ref_device(const std::string &line, int kind)
{
    if (kind != 1 && kind != 2)
        return {MTD_ERR_KIND, ""};
    size_t colon = line.size() > 3 ? line.find(':', 3) : std::string::npos;
    if (colon == std::string::npos)
        return {MTD_ERR_NOT_FOUND, ""};
    std::string number = line.substr(3, colon - 3);
    std::string path = (kind == 1 ? kChrPrefix : kBlkPrefix) + number;
    if (number.find('\0') != std::string::npos || path.size() >= (size_t)MTD_PATH_LEN)
        return {MTD_ERR_NOT_FOUND, ""};
    return {(int)path.size(), path};
}

// The size field as the device's 32-bit strtoul reads it in base 16 (saturating), except that no
// sign is taken.
bool ref_size(const std::string &line, uint32_t *size)
{
    size_t colon = line.find(':');
    if (colon == std::string::npos)
        return false;
    std::string rest = line.substr(colon + 1);
    const char *p = rest.c_str(); // ends at the first NUL, as the parser's digits do
    while (*p == ' ' || (*p >= '\t' && *p <= '\r'))
        p++;
    if (*p == '+' || *p == '-') {
        *size = 0;
        return true;
    }
    errno = 0;
    unsigned long long v = strtoull(p, nullptr, 16);
    *size = errno == ERANGE || v > UINT32_MAX ? UINT32_MAX : (uint32_t)v;
    return true;
}

// A base-16 number at `p` by strtoull's rules, without a sign; `*end` after it. False when it has
// no digit.
bool ref_hex(const char *p, uint32_t *value, const char **end)
{
    const char *start = p;
    char *stop = nullptr;

    while (*p == ' ' || (*p >= '\t' && *p <= '\r'))
        p++;
    if (*p == '+' || *p == '-') {
        *value = 0;
        *end = start;
        return false;
    }
    errno = 0;
    unsigned long long v = strtoull(p, &stop, 16);
    *value = errno == ERANGE || v > UINT32_MAX ? UINT32_MAX : (uint32_t)v;
    *end = stop;
    return stop != p;
}

// The erase size: the number after the size, both with digits.
bool ref_erasesize(const std::string &line, uint32_t *size)
{
    size_t colon = line.find(':');
    if (colon == std::string::npos)
        return false;
    std::string rest = line.substr(colon + 1);
    const char *end = nullptr;
    uint32_t v = 0;
    if (!ref_hex(rest.c_str(), &v, &end) || !ref_hex(end, &v, &end))
        return false;
    *size = v;
    return true;
}

void check_line(const std::string &line, int kind)
{
    char *copy = static_cast<char *>(malloc(line.size() > 0 ? line.size() : 1));
    char out[MTD_PATH_LEN];
    uint32_t size = kSizeUntouched;

    check(copy != nullptr);
    memcpy(copy, line.data(), line.size());

    snprintf(out, sizeof(out), "%s", kUntouched);
    device_ref want = ref_device(line, kind);
    int got = mtd_line_device(copy, line.size(), kind, out);
    check(got == want.ret);
    check(got > 0 ? want.path == out : strcmp(out, kUntouched) == 0);

    uint32_t want_size = kSizeUntouched;
    bool found = ref_size(line, &want_size);
    got = mtd_line_size(copy, line.size(), &size);
    check(got == (found ? 0 : MTD_ERR_NOT_FOUND));
    check(size == want_size);

    uint32_t erase = kSizeUntouched;
    uint32_t want_erase = kSizeUntouched;
    found = ref_erasesize(line, &want_erase);
    got = mtd_line_erasesize(copy, line.size(), &erase);
    check(got == (found ? 0 : MTD_ERR_NOT_FOUND));
    check(erase == want_erase);
    free(copy);
}

// Lines as getline gives them: up to and including each newline; NULs are part of a line.
size_t next_line(const std::string &table, size_t pos)
{
    size_t nl = table.find('\n', pos);
    return nl == std::string::npos ? table.size() : nl + 1;
}

void check_lookups(const std::string &table, const std::string &pattern)
{
    std::string match;
    bool matched = false;

    for (size_t pos = 0; pos < table.size() && !matched;) {
        size_t end = next_line(table, pos);
        std::string line = table.substr(pos, end - pos);
        matched = line.find(pattern) != std::string::npos;
        if (matched)
            match = line;
        pos = end;
    }

    FILE *f = fopen(g_table_path.c_str(), "wb");
    check(f != nullptr);
    check(fwrite(table.data(), 1, table.size(), f) == table.size());
    check(fclose(f) == 0);

    for (int kind = 1; kind <= 2; kind++) {
        char out[MTD_PATH_LEN];
        snprintf(out, sizeof(out), "%s", kUntouched);
        device_ref want = matched ? ref_device(match, kind) : device_ref{MTD_ERR_NOT_FOUND, ""};
        int got = kind == 1 ? lookup_mtd_char_device(pattern.c_str(), out)
                            : lookup_mtd_block_device(pattern.c_str(), out);
        check(got == want.ret);
        check(got > 0 ? want.path == out : strcmp(out, kUntouched) == 0);
    }

    uint32_t size = kSizeUntouched;
    uint32_t want_size = kSizeUntouched;
    bool found = matched && ref_size(match, &want_size);
    int got = lookup_mtd_size(pattern.c_str(), &size);
    check(got == (found ? 0 : MTD_ERR_NOT_FOUND));
    check(size == want_size);

    size = kSizeUntouched;
    want_size = kSizeUntouched;
    found = matched && ref_erasesize(match, &want_size);
    got = lookup_mtd_erasesize(pattern.c_str(), &size);
    check(got == (found ? 0 : MTD_ERR_NOT_FOUND));
    check(size == want_size);
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int * /*argc*/, char *** /*argv*/)
{
    g_root = fuzz_scratch_dir("fuzz_mtd");
    check(!g_root.empty());
    g_table_path = g_root + "/proc/mtd";
    check(mkdir((g_root + "/proc").c_str(), 0700) == 0);
    atexit(remove_root);
    setenv("FWUP_SYSROOT", g_root.c_str(), 1);
    check(platform_init() == 0);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 2)
        return 0;
    int kind = (int)(data[0] % KIND_CHOICES);
    size_t plen = data[1] % PATTERN_CHOICES;
    if (plen > size - 2)
        plen = size - 2;
    // The pattern is a C string: it ends at its first NUL.
    std::string pattern(reinterpret_cast<const char *>(data + 2), plen);
    pattern.resize(strnlen(pattern.c_str(), pattern.size()));
    std::string table(reinterpret_cast<const char *>(data + 2 + plen), size - 2 - plen);

    size_t lines = 0;
    for (size_t pos = 0; pos < table.size() && lines < MAX_LINES; lines++) {
        size_t end = next_line(table, pos);
        check_line(table.substr(pos, end - pos), kind);
        pos = end;
    }
    check_line("", kind);
    check_lookups(table, pattern);
    return 0;
}
