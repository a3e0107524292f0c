// SPDX-License-Identifier: MIT
// MTD partitions: device path and size of a partition found by its label in /proc/mtd, and the
// flash driver's write lock. Callers pass the label with its double quotes ("\"kernel0\""), as
// /proc/mtd prints it, so that a search matches one label exactly. Nothing here prints.
#pragma once

#include <cstddef>
#include <cstdint>

enum : int {
    MTD_PATH_LEN = 128, // every device path buffer, terminator included
};

enum : int {
    MTD_ERR_OPEN = -1,      // /proc/mtd cannot be opened
    MTD_ERR_NOT_FOUND = -2, // no line holds the pattern
    MTD_ERR_KIND = -3,      // a line matched but the device kind is neither 1 nor 2
};

enum : int {
    MTD_LOCK_ERR_PATH = -1,    // path not under /dev/mtd, or mode neither lock nor unlock
    MTD_LOCK_ERR_CONVERT = -2, // a character-device path did not convert
    MTD_LOCK_ERR_OPEN = -3,    // the control file cannot be opened for writing
};

// Writes "/dev/mtdblockN" (or "/dev/mtdN") of the first partition whose line holds `pattern`
// into the 128-byte `path_out`. Returns the path length (> 0), or an MTD_ERR_* code.
int lookup_mtd_block_device(const char *pattern, char *path_out);
int lookup_mtd_char_device(const char *pattern, char *path_out);

// Stores the size in bytes of the first partition whose line holds `pattern`.
// Returns 0, or MTD_ERR_OPEN / MTD_ERR_NOT_FOUND with `size_out` untouched.
int lookup_mtd_size(const char *pattern, uint32_t *size_out);

// Stores the erase-block size in bytes (the number after the size) of the first partition whose
// line holds `pattern`. Returns 0, or MTD_ERR_OPEN / MTD_ERR_NOT_FOUND with `size_out` untouched;
// a matched line without both numbers counts as not found.
int lookup_mtd_erasesize(const char *pattern, uint32_t *size_out);

// Ask the flash driver to lock or unlock the partition of a /dev/mtdN or /dev/mtdblockN path.
// Returns 0, or an MTD_LOCK_ERR_* code.
int lock_mtd_device(const char *path);
int unlock_mtd_device(const char *path);

// Pure parsers over one line of /proc/mtd (`len` bytes, no NUL needed), for the lookups above
// and for tests. Results as the lookups give them for a matched line.
int mtd_line_device(const char *line, size_t len, int kind, char *path_out);
int mtd_line_size(const char *line, size_t len, uint32_t *size_out);
int mtd_line_erasesize(const char *line, size_t len, uint32_t *size_out);
