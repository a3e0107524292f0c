// SPDX-License-Identifier: MIT
// The record of what a firmware bank holds: one small text file per bank, replaced atomically
// (temporary file, fsync, rename, fsync of the directory), so that a power cut leaves the old
// record or the new one, never a mix. Its text:
//     fwupgrade-bank 1
//     state being-written | verified
//     installed <unix time>            when the write began / when it was verified
// and for a verified bank, between the state and the time, in this order:
//     kernel-md5 <32 hex>  root-md5 <32 hex>  (the image header's digests)
//     image-sha256 <64 hex>  kernel-sha256 <64 hex>  root-sha256 <64 hex>
//     version[ <0..64 characters>]
//     signer <16 hex key id> | signer unsigned
// one per line, each ended by "\n".
#pragma once

#include <cstddef>
#include <cstdint>

#include "manifest.h"
#include "md5.h"

enum : int {
    BANK_BEING_WRITTEN = 1, // a payload write began and has not been verified
    BANK_VERIFIED = 2,      // both payloads were written and read back good
};

enum : int {
    BANK_RECORD_TEXT_MAX = 512, // bytes of a record, more than the longest
};

enum : int {
    BANK_RECORD_ERR_FORMAT = -1,     // not a record as described above
    BANK_RECORD_ERR_SPACE = -2,      // the output buffer is too small
    BANK_RECORD_ERR_MISSING = -3,    // no record file
    BANK_RECORD_ERR_READ = -4,       // not a regular file of at most 512 bytes, or unreadable
    BANK_RECORD_ERR_WRITE = -5,      // the record could not be replaced
    BANK_RECORD_ERR_INCOMPLETE = -6, // the bank is being written
};

struct bank_record {
    int state;                              // BANK_BEING_WRITTEN or BANK_VERIFIED
    int64_t installed;                      // unix time, >= 0
    uint8_t kernel_md5[MD5_DIGEST_LEN];     // header digest of the kernel (verified only)
    uint8_t root_md5[MD5_DIGEST_LEN];       // header digest of the root (verified only)
    uint8_t image_sha256[SHA256_LEN];       // digest of the image file (verified only)
    uint8_t kernel_sha256[SHA256_LEN];      // digest of the kernel payload (verified only)
    uint8_t root_sha256[SHA256_LEN];        // digest of the root payload (verified only)
    char version[MANIFEST_VERSION_MAX + 1]; // version text, NUL-terminated (verified only)
    bool is_signed;                         // the image was checked against a keyring key
    uint8_t signer[KEY_ID_LEN];             // that key's id (when is_signed)
};

// Parses `len` bytes of record text. Returns 0 with `out` filled (fields a being-written record
// does not carry are zero), or BANK_RECORD_ERR_FORMAT.
int bank_record_parse(const char *text, size_t len, bank_record *out);

// Writes `r` as record text (a NUL is added). Returns the length (> 0), BANK_RECORD_ERR_SPACE,
// or BANK_RECORD_ERR_FORMAT when a field cannot be written (unknown state, negative time, a
// version bank_record_parse would refuse).
int bank_record_format(const bank_record *r, char *buf, size_t size);

// Replaces the record file at `path` (resolved) with `r`: a temporary file beside it, written and
// synced, renamed over it, and the directory synced. Returns 0, or BANK_RECORD_ERR_FORMAT or
// BANK_RECORD_ERR_WRITE, told in one line on standard error here.
int bank_record_write(const char *path, const bank_record *r);

// Reads the record at `path` (resolved; not through a link, a regular file of at most
// BANK_RECORD_TEXT_MAX bytes). Returns 0, BANK_RECORD_ERR_MISSING, BANK_RECORD_ERR_READ or
// BANK_RECORD_ERR_FORMAT. Prints nothing.
int bank_record_read(const char *path, bank_record *out);

// Whether the bank whose record is at `path` may be booted: 0 when it has no record or a
// verified one; BANK_RECORD_ERR_INCOMPLETE when it is being written; BANK_RECORD_ERR_READ or
// BANK_RECORD_ERR_FORMAT when the record cannot be trusted (only this module writes it, whole).
int bank_record_boot_check(const char *path);
