// SPDX-License-Identifier: MIT
#include "mtd_part.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sys/types.h>

#include "paths.h"
#include "platform.h"

namespace
{

enum : int {
    MTD_KIND_SIZE = 0,  // not a device: the search behind lookup_mtd_size
    MTD_KIND_ERASE = 3, // nor this: the search behind lookup_mtd_erasesize
    MTD_KIND_CHAR = 1,  // /dev/mtdN
    MTD_KIND_BLOCK = 2, // /dev/mtdblockN
};

enum : int {
    MTD_MODE_LOCK = 1,
    MTD_MODE_UNLOCK = 2,
};

enum : size_t {
    MTD_NUMBER_AT = 3,   // the partition number follows the letters "mtd"
    MTD_DEV_DIR_LEN = 5, // "/dev/", stripped to give the driver's device name
};

enum : uint32_t {
    HEX_DIGIT_BITS = 4,
    HEX_LETTER_BASE = 10, // value of the digit 'a'
    HEX_TOP_NIBBLE = 28,  // a value with bits from here up cannot take another digit
    SIZE_SATURATED = 0xFFFFFFFFu,
};

constexpr size_t CHR_PREFIX_LEN = sizeof(g_chr_prefix) - 1;
constexpr size_t BLK_PREFIX_LEN = sizeof(g_blk_prefix) - 1;

bool has_prefix(const char *s, const char *prefix, size_t len)
{
    return strncmp(s, prefix, len) == 0;
}

// Writes prefix + text (text_len bytes) and a NUL into the 128-byte `out`. Returns the length, or
// -1 when it would not fit; `out` is untouched then.
int join_path(char *out, const char *prefix, size_t prefix_len, const char *text, size_t text_len)
{
    if (prefix_len + text_len >= (size_t)MTD_PATH_LEN)
        return -1;
    memcpy(out, prefix, prefix_len);
    memcpy(out + prefix_len, text, text_len);
    out[prefix_len + text_len] = '\0';
    return (int)(prefix_len + text_len);
}

int hex_digit(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + (int)HEX_LETTER_BASE;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + (int)HEX_LETTER_BASE;
    return -1;
}

bool is_space(char c)
{
    return c == ' ' || (c >= '\t' && c <= '\r');
}

// Base-16 number by strtoul's rules (white space, optional 0x, digits up to the first other
// character), bounded by `len` since the line need not end in a NUL. A value beyond 32 bits
// saturates as the device's 32-bit strtoul does. No sign is taken: a negative size would read
// as a huge partition. Returns where the number ended, or 0 when it has no digit.
size_t parse_hex(const char *s, size_t len, uint32_t *value)
{
    size_t i = 0;
    uint32_t v = 0;

    while (i < len && is_space(s[i]))
        i++;
    if (i + 2 < len && s[i] == '0' && (s[i + 1] == 'x' || s[i + 1] == 'X') &&
        hex_digit(s[i + 2]) >= 0)
        i += 2;
    size_t first = i;
    for (; i < len && hex_digit(s[i]) >= 0; i++) {
        if (v >> HEX_TOP_NIBBLE != 0)
            v = SIZE_SATURATED;
        else if (v != SIZE_SATURATED)
            v = (v << HEX_DIGIT_BITS) | (uint32_t)hex_digit(s[i]);
    }
    *value = v;
    return i > first ? i : 0;
}

// Reads `f` line by line into the caller's getline buffer and returns the length of the first
// line holding `pattern`, or -1 at the end of the file (or a read error) without a match.
ssize_t find_line(FILE *f, const char *pattern, char **line, size_t *cap)
{
    size_t plen = strlen(pattern);
    ssize_t n;

    // Lines are measured by getline, not strlen: a NUL inside a line must not hide its rest.
    while ((n = getline(line, cap, f)) >= 0) {
        if (memmem(*line, (size_t)n, pattern, plen) != nullptr)
            return n;
    }
    return -1;
}

// The search shared by the lookups; the matched line goes to the parser that `kind` names.
int lookup_mtd(int kind, const char *pattern, char *path_out, uint32_t *size_out)
{
    char resolved[PLATFORM_PATH_MAX];
    const char *proc = platform_path(g_proc_mtd, resolved, sizeof(resolved));
    FILE *f = nullptr;
    char *line = nullptr;
    size_t cap = 0;
    ssize_t n;
    int ret;

    if (proc != nullptr)
        f = fopen(proc, "r");
    if (f == nullptr)
        return MTD_ERR_OPEN;
    n = find_line(f, pattern, &line, &cap);
    if (n < 0)
        ret = MTD_ERR_NOT_FOUND;
    else if (kind == MTD_KIND_SIZE)
        ret = mtd_line_size(line, (size_t)n, size_out);
    else if (kind == MTD_KIND_ERASE)
        ret = mtd_line_erasesize(line, (size_t)n, size_out);
    else
        ret = mtd_line_device(line, (size_t)n, kind, path_out);
    free(line);
    fclose(f);
    return ret;
}

int lookup_mtd_device(int kind, const char *pattern, char *path_out)
{
    return lookup_mtd(kind, pattern, path_out, nullptr);
}

// /dev/mtdN -> /dev/mtdblockN in the 128-byte `blk_path`. Returns 0, or -1 when `chr_path` is
// not under /dev/mtd or the result would not fit (`blk_path` untouched).
int chr2blk(char *blk_path, const char *chr_path)
{
    if (!has_prefix(chr_path, g_chr_prefix, CHR_PREFIX_LEN))
        return -1;
    const char *rest = chr_path + CHR_PREFIX_LEN;
    return join_path(blk_path, g_blk_prefix, BLK_PREFIX_LEN, rest, strlen(rest)) < 0 ? -1 : 0;
}

int do_lock_mtd_device(int mode, const char *path)
{
    char blk[MTD_PATH_LEN];
    char resolved[PLATFORM_PATH_MAX];
    const char *ctl = nullptr;
    FILE *f = nullptr;
    int ret = 0;

    if (!has_prefix(path, g_blk_prefix, BLK_PREFIX_LEN) &&
        !has_prefix(path, g_chr_prefix, CHR_PREFIX_LEN))
        return MTD_LOCK_ERR_PATH;
    if (has_prefix(path, g_blk_prefix, BLK_PREFIX_LEN)) {
        // An over-long block path fails like a conversion: it cannot be normalised.
        if (join_path(blk, path, strlen(path), "", 0) < 0)
            return MTD_LOCK_ERR_CONVERT;
    } else if (chr2blk(blk, path) != 0) {
        return MTD_LOCK_ERR_CONVERT;
    }

    if (mode == MTD_MODE_LOCK)
        ctl = g_lock_ctl;
    else if (mode == MTD_MODE_UNLOCK)
        ctl = g_unlock_ctl;
    else
        return MTD_LOCK_ERR_PATH;

    const char *ctl_path = platform_path(ctl, resolved, sizeof(resolved));
    if (ctl_path != nullptr)
        f = fopen(ctl_path, "w");
    if (f == nullptr)
        return MTD_LOCK_ERR_OPEN;
    // The record reaches the driver only when the stream is flushed; a driver that refuses it
    // fails the write or the close, and an unlock that did not happen must not pass as done.
    if (fprintf(f, "%s\n", blk + MTD_DEV_DIR_LEN) < 0)
        ret = MTD_LOCK_ERR_OPEN;
    if (fclose(f) != 0)
        ret = MTD_LOCK_ERR_OPEN;
    return ret;
}

// The text after the first colon of the line, or null when it has none.
const char *after_colon(const char *line, size_t len, size_t *rest)
{
    const char *colon = nullptr;

    if (len > 0)
        colon = static_cast<const char *>(memchr(line, ':', len));
    if (colon == nullptr)
        return nullptr;
    *rest = len - (size_t)(colon + 1 - line);
    return colon + 1;
}

} // namespace

int mtd_line_device(const char *line, size_t len, int kind, char *path_out)
{
    const char *prefix = nullptr;
    size_t prefix_len = 0;

    if (kind == MTD_KIND_CHAR) {
        prefix = g_chr_prefix;
        prefix_len = CHR_PREFIX_LEN;
    } else if (kind == MTD_KIND_BLOCK) {
        prefix = g_blk_prefix;
        prefix_len = BLK_PREFIX_LEN;
    } else {
        return MTD_ERR_KIND;
    }
    // Linux always prints "mtdN:"; a line without that colon, or with a number text that would
    // not make a path, has no usable device and counts as not found.
    if (len <= MTD_NUMBER_AT)
        return MTD_ERR_NOT_FOUND;
    const char *number = line + MTD_NUMBER_AT;
    const char *colon = static_cast<const char *>(memchr(number, ':', len - MTD_NUMBER_AT));
    if (colon == nullptr)
        return MTD_ERR_NOT_FOUND;
    size_t number_len = (size_t)(colon - number);
    if (memchr(number, '\0', number_len) != nullptr)
        return MTD_ERR_NOT_FOUND;
    int n = join_path(path_out, prefix, prefix_len, number, number_len);
    return n < 0 ? MTD_ERR_NOT_FOUND : n;
}

int mtd_line_size(const char *line, size_t len, uint32_t *size_out)
{
    size_t rest = 0;
    const char *p = after_colon(line, len, &rest);
    uint32_t size = 0;

    if (p == nullptr)
        return MTD_ERR_NOT_FOUND;
    (void)parse_hex(p, rest, &size);
    *size_out = size;
    return 0;
}

int mtd_line_erasesize(const char *line, size_t len, uint32_t *size_out)
{
    size_t rest = 0;
    const char *p = after_colon(line, len, &rest);
    uint32_t value = 0;

    if (p == nullptr)
        return MTD_ERR_NOT_FOUND;
    // The erase size is the number that follows the size; both need their digits here.
    size_t end = parse_hex(p, rest, &value);
    if (end == 0)
        return MTD_ERR_NOT_FOUND;
    if (parse_hex(p + end, rest - end, &value) == 0)
        return MTD_ERR_NOT_FOUND;
    *size_out = value;
    return 0;
}

int lookup_mtd_block_device(const char *pattern, char *path_out)
{
    return lookup_mtd_device(MTD_KIND_BLOCK, pattern, path_out);
}

int lookup_mtd_char_device(const char *pattern, char *path_out)
{
    return lookup_mtd_device(MTD_KIND_CHAR, pattern, path_out);
}

int lookup_mtd_size(const char *pattern, uint32_t *size_out)
{
    return lookup_mtd(MTD_KIND_SIZE, pattern, nullptr, size_out);
}

int lookup_mtd_erasesize(const char *pattern, uint32_t *size_out)
{
    return lookup_mtd(MTD_KIND_ERASE, pattern, nullptr, size_out);
}

int lock_mtd_device(const char *path)
{
    return do_lock_mtd_device(MTD_MODE_LOCK, path);
}

int unlock_mtd_device(const char *path)
{
    return do_lock_mtd_device(MTD_MODE_UNLOCK, path);
}
