// SPDX-License-Identifier: MIT
// The signed manifest of a firmware image and the detached signature file that carries it. The
// manifest is short line-oriented text, so that a shell and the openssl command can make one:
//     fwupgrade-manifest 1
//     image-sha256 <64 hex>      the whole image file
//     kernel-sha256 <64 hex>     the kernel payload
//     root-sha256 <64 hex>       the root payload
//     model[ <0..15 characters>] the model name of the image's header (none: any model)
//     version[ <0..64 characters>]
//     key-id <16 hex>            first 8 bytes of the SHA-256 of the raw signing key
// Each key exactly once, in this order, each line ended by "\n"; hex is lower-case, text is
// printable ASCII without a leading or trailing space, and a key with empty text stands alone. The
// signature file is the manifest followed by one line "signature <128 hex>": the Ed25519 signature
// of every byte before it.
#pragma once

#include <cstddef>
#include <cstdint>

enum : int {
    SHA256_LEN = 32,
    KEY_ID_LEN = 8,
    ED25519_PUBLIC_LEN = 32,
    ED25519_SIGNATURE_LEN = 64,
    MANIFEST_MODEL_MAX = 15,   // the header's 16-byte name field less its NUL
    MANIFEST_VERSION_MAX = 64, // characters of the free version text
    MANIFEST_TEXT_MAX = 512,   // bytes of a formatted manifest, more than the longest
    SIG_FILE_MAX = 1024,       // bytes of a signature file a reader takes in
};

enum : int {
    MANIFEST_ERR_FORMAT = -1, // not a manifest (or signature file) as described above
    MANIFEST_ERR_SPACE = -2,  // the output buffer is too small, or a field cannot be written
};

// The manifest's tag line, without its "\n".
constexpr char g_manifest_tag[] = "fwupgrade-manifest 1";

struct fw_manifest {
    uint8_t image_sha256[SHA256_LEN];       // digest of the whole image file
    uint8_t kernel_sha256[SHA256_LEN];      // digest of the kernel payload
    uint8_t root_sha256[SHA256_LEN];        // digest of the root payload
    char model[MANIFEST_MODEL_MAX + 1];     // model name, NUL-terminated
    char version[MANIFEST_VERSION_MAX + 1]; // free version text, NUL-terminated (may be empty)
    uint8_t key_id[KEY_ID_LEN];             // id of the key that signs it
};

struct fw_sig_file {
    fw_manifest manifest;                     // the parsed manifest
    size_t signed_len;                        // bytes the signature covers (the manifest's)
    uint8_t signature[ED25519_SIGNATURE_LEN]; // the Ed25519 signature
};

// Parses the `len` bytes of manifest text at `text`. Returns 0 with `out` filled, or
// MANIFEST_ERR_FORMAT (then `out` is untouched).
int manifest_parse(const char *text, size_t len, fw_manifest *out);

// Writes `m` as manifest text (no NUL needed, one is added when there is room). Returns the
// length (> 0), or MANIFEST_ERR_SPACE when it does not fit in `size` bytes, or
// MANIFEST_ERR_FORMAT when a text field is not one manifest_parse would accept.
int manifest_format(const fw_manifest *m, char *buf, size_t size);

// Parses a whole signature file of `len` bytes. Returns 0 with `out` filled, or
// MANIFEST_ERR_FORMAT (also for a file over SIG_FILE_MAX bytes).
int sig_file_parse(const char *bytes, size_t len, fw_sig_file *out);

// Lower-case hex of `len` bytes and a NUL: 2 * len + 1 bytes at `out`.
void hex_encode(const uint8_t *bytes, size_t len, char *out);
// Exactly 2 * n lower-case hex digits of `text` into the n bytes at `out`; false otherwise.
bool hex_decode(const char *text, size_t len, uint8_t *out, size_t n);
