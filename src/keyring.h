// SPDX-License-Identifier: MIT
// The keyring of trusted image-signing keys and the check of a signature file against it. A
// keyring is a directory of "*.pem" files, each one Ed25519 public key as `openssl pkey -pubout`
// writes it. Verification is libsodium's; libsodium needs no sodium_init() for it, and the
// program never calls it (it would pull in code and block early in boot for random numbers).
#pragma once

#include <cstddef>
#include <cstdint>

#include "manifest.h"

enum : int {
    KEYRING_MAX_KEYS = 16, // keys one keyring may hold
    KEY_FILE_MAX = 1024,   // bytes of one key file
};

enum : int {
    KEYRING_ERR_FORMAT = -1, // not a PEM Ed25519 public key
    KEYRING_ERR_READ = -2,   // the directory or a key file could not be read
    KEYRING_ERR_KEY = -3,    // a key file is not a regular file, too long, or holds no key
    KEYRING_ERR_FULL = -4,   // more than KEYRING_MAX_KEYS keys
};

enum : int {
    SIG_ERR_MISSING = -1,     // no signature file beside the image
    SIG_ERR_MALFORMED = -2,   // the signature file is not a manifest and a signature line
    SIG_ERR_UNKNOWN_KEY = -3, // no key of the keyring has the manifest's key id
    SIG_ERR_BAD = -4,         // the signature does not verify with that key
    SIG_ERR_MISMATCH = -5,    // the manifest does not describe the image
    SIG_ERR_READ = -6,        // the signature file is not a regular file, or unreadable
};

struct fw_key {
    uint8_t pub[ED25519_PUBLIC_LEN]; // raw Ed25519 public key
    uint8_t id[KEY_ID_LEN];          // its key id
};

struct fw_keyring {
    int count;                     // keys in use; 0: no keyring, images need no signature
    fw_key keys[KEYRING_MAX_KEYS]; // the keys, in directory order, no key twice
};

// DER of an Ed25519 SubjectPublicKeyInfo up to the raw key: SEQUENCE { SEQUENCE { OID
// 1.3.101.112 }, BIT STRING (33 bytes, no unused bits) }.
constexpr uint8_t g_ed25519_spki_prefix[] = {0x30, 0x2a, 0x30, 0x05, 0x06, 0x03,
                                             0x2b, 0x65, 0x70, 0x03, 0x21, 0x00};

// Decodes PEM text of `len` bytes with this label: "-----BEGIN LABEL-----", base64 lines of at
// most 76 characters, "-----END LABEL-----", each ended by "\n" (the last one's may be missing),
// nothing else. Returns the DER length written to `der` (at most `cap` bytes), or
// KEYRING_ERR_FORMAT.
int pem_decode(const char *text, size_t len, const char *label, uint8_t *der, size_t cap);

// Decodes a PEM "PUBLIC KEY" of `len` bytes: the BEGIN line, base64 lines, the END line, each
// ended by "\n" (the last one's may be missing). The DER inside must be exactly an Ed25519
// SubjectPublicKeyInfo. Returns 0 with the raw key in `pub`, or KEYRING_ERR_FORMAT.
int pem_public_key_decode(const char *text, size_t len, uint8_t pub[ED25519_PUBLIC_LEN]);

// The key id: the first 8 bytes of the SHA-256 of the raw public key.
void key_id_of(const uint8_t pub[ED25519_PUBLIC_LEN], uint8_t id[KEY_ID_LEN]);

// Loads every "*.pem" file of the directory `dir` (a resolved path) into `out`. A missing
// directory, or one without such files, is an empty keyring. Key files are opened without
// following links and must be regular files of at most KEY_FILE_MAX bytes. Returns the number of
// keys (>= 0), or KEYRING_ERR_READ, KEYRING_ERR_KEY or KEYRING_ERR_FULL, told in one line on
// standard error here; `out` is written only on success.
int keyring_load(const char *dir, fw_keyring *out);

// Checks the `len` bytes of a signature file against `ring`: its form, that a key of the ring has
// the manifest's key id, and the signature over the manifest. Returns 0 with `out` filled, or
// SIG_ERR_MALFORMED, SIG_ERR_UNKNOWN_KEY (then only `out->manifest.key_id` is written: the id no
// key has) or SIG_ERR_BAD. Prints nothing.
int sig_verify(const char *bytes, size_t len, const fw_keyring *ring, fw_sig_file *out);

// Reads the signature file at `path` (resolved; not through a link, a regular file of at most
// SIG_FILE_MAX bytes) and checks it as sig_verify does. SIG_ERR_MISSING when there is no such
// file, SIG_ERR_READ when it cannot be read as described. Prints nothing.
int sig_verify_file(const char *path, const fw_keyring *ring, fw_sig_file *out);

// 0 when the manifest names these digests and this model, else SIG_ERR_MISMATCH.
int manifest_match(const fw_manifest *m, const uint8_t image[SHA256_LEN],
                   const uint8_t kernel[SHA256_LEN], const uint8_t root[SHA256_LEN],
                   const char *model);

// The reason a SIG_ERR_* code stands for, for the caller's one-line report ("no signature",
// "unknown key", "bad signature", "manifest does not match the image", ...).
const char *sig_error_text(int code);
