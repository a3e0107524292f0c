// SPDX-License-Identifier: MIT
// The OEM archive's tar stream, read block by block: what it may hold and what each member means.
// The reader is fed bytes in pieces of any size and hands every plain file and directory to a
// sink as it meets it; it never touches a file itself. Anything it does not understand exactly
// refuses the whole archive: only plain files and directories, with relative names that stay
// inside, headers whose checksum and numbers are plain and exact, pax records of the known shape
// and of harmless kinds, and at most 16 MiB of stream ending on a zero block. Modes reach the sink
// already masked; owners never do.
#pragma once

#include <cstddef>
#include <cstdint>

enum : int {
    OEM_TAR_BLOCK = 512,
    OEM_TAR_NAME_MAX = 1024, // longest member name, a long name or pax path included
    OEM_TAR_META_MAX = 4096, // largest long-name or pax header data
};

// Everything the stream may hold, headers and padding included.
constexpr uint32_t OEM_TAR_STREAM_MAX = 16u * 1024 * 1024;

enum : int {
    OEM_TAR_ERR_HEADER = -1,  // checksum, magic or a number field not plain
    OEM_TAR_ERR_TYPE = -2,    // a link, device, FIFO or other kind
    OEM_TAR_ERR_NAME = -3,    // empty, unterminated, absolute or with a ".." component
    OEM_TAR_ERR_MODE = -4,    // set-id or sticky bit, or bits beyond the permissions
    OEM_TAR_ERR_PAX = -5,     // a pax record out of shape or of a kind not allowed
    OEM_TAR_ERR_SIZE = -6,    // more than OEM_TAR_STREAM_MAX
    OEM_TAR_ERR_END = -7,     // ends inside a member, off a block or without its zero block
    OEM_TAR_ERR_TRAILER = -8, // something other than zeros after the zero block
    OEM_TAR_ERR_SINK = -9,    // the sink could not make the member
};

enum : int {
    OEM_TAR_DIR = 1,      // a directory: `name`, `mode`
    OEM_TAR_FILE = 2,     // a plain file begins: `name`, `mode`
    OEM_TAR_DATA = 3,     // the next `len` bytes of that file at `data`
    OEM_TAR_FILE_END = 4, // the file is complete
};

// One thing the stream holds. `name` is relative and clean: components joined by single '/',
// never empty, ".", ".." or absolute. The directory itself ("./") is never reported.
struct oem_tar_event {
    int kind;            // OEM_TAR_DIR ... OEM_TAR_FILE_END
    const char *name;    // the member's name, NUL-terminated
    unsigned mode;       // directories 07xx at most 0755, files 0644 or 0755
    const uint8_t *data; // OEM_TAR_DATA only
    size_t len;          // bytes at `data`
};

// Makes what the event describes; 0, or non-zero to refuse the archive (OEM_TAR_ERR_SINK).
typedef int (*oem_tar_sink)(void *ctx, const oem_tar_event *ev);

// The reader's state between two pieces of the stream. Plain record, no allocation.
struct oem_tar {
    uint8_t block[OEM_TAR_BLOCK];         // the block being gathered
    size_t fill;                          // bytes of `block` held
    int state;                            // what the next block is
    int error;                            // the first refusal, sticky; 0 while sound
    char type;                            // type of the member whose data comes
    bool have_long;                       // `long_name` names the next member
    uint32_t left;                        // data bytes of that member still to come
    uint32_t meta_len;                    // bytes of long-name or pax data gathered
    uint32_t total;                       // stream bytes taken so far
    char name[OEM_TAR_NAME_MAX + 1];      // the member read last, for the refusal
    char long_name[OEM_TAR_NAME_MAX + 1]; // from an L header or a pax path record
    uint8_t meta[OEM_TAR_META_MAX];       // long-name or pax header data
};

void oem_tar_init(oem_tar *t);

// Reads `len` more bytes of the stream, handing each member to `sink`. Returns 0, or the
// OEM_TAR_ERR_* code of the first refusal (then and afterwards: nothing more reaches the sink).
int oem_tar_feed(oem_tar *t, const uint8_t *data, size_t len, oem_tar_sink sink, void *ctx);

// The stream has ended. Returns 0 when it ended soundly after its zero block, else the refusal.
int oem_tar_finish(oem_tar *t);

// The name of the member a refusal concerns (as far as it was read; may be empty).
const char *oem_tar_member(const oem_tar *t);

// Why the archive was refused, for the one line the user is told.
const char *oem_tar_reason(int code);
