// SPDX-License-Identifier: MIT
#include "keyring.h"

#include <sodium.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "sha256.h"

namespace
{

constexpr char kKeySuffix[] = ".pem";

enum : int {
    SPKI_LEN = (int)sizeof(g_ed25519_spki_prefix) + ED25519_PUBLIC_LEN, // 44
    BASE64_LINE_MAX = 76,                                               // PEM's widest line
    PEM_BASE64_MAX = 256, // base64 characters of one PEM body: room for any small key
    PEM_LABEL_MAX = 32,   // "PUBLIC KEY", "PRIVATE KEY"
};

} // namespace

static int base64_value(char c)
{
    if (c >= 'A' && c <= 'Z')
        return c - 'A';
    if (c >= 'a' && c <= 'z')
        return c - 'a' + 26;
    if (c >= '0' && c <= '9')
        return c - '0' + 52;
    if (c == '+')
        return 62;
    if (c == '/')
        return 63;
    return -1;
}

// Decodes base64 text (no line breaks) into at most `cap` bytes. Padding only at the end, and
// bits a canonical encoder leaves zero must be zero. Returns the byte count, or -1.
static int base64_decode(const char *text, size_t len, uint8_t *out, size_t cap)
{
    size_t n = 0;

    if (len == 0 || len % 4 != 0)
        return -1;
    for (size_t i = 0; i < len; i += 4) {
        int v[4];
        int pad = 0;
        for (int j = 0; j < 4; j++) {
            const char c = text[i + j];
            if (c == '=' && i + 4 == len && j >= 2) {
                v[j] = 0;
                pad++;
                continue;
            }
            if (pad > 0)
                return -1;
            v[j] = base64_value(c);
            if (v[j] < 0)
                return -1;
        }
        const uint32_t w =
            (uint32_t)v[0] << 18 | (uint32_t)v[1] << 12 | (uint32_t)v[2] << 6 | (uint32_t)v[3];
        const int bytes = 3 - pad;
        if ((pad == 1 && (w & 0xff) != 0) || (pad == 2 && (w & 0xffff) != 0))
            return -1;
        if (n + (size_t)bytes > cap)
            return -1;
        for (int j = 0; j < bytes; j++)
            out[n++] = (uint8_t)(w >> (16 - 8 * j));
    }
    return (int)n;
}

// Whether the line [p, p + n) is "-----WHICH LABEL-----".
static bool pem_boundary(const char *p, size_t n, const char *which, const char *label)
{
    char want[PEM_LABEL_MAX + 20];
    const int w = snprintf(want, sizeof(want), "-----%s %s-----", which, label);

    return w > 0 && (size_t)w < sizeof(want) && n == (size_t)w && memcmp(p, want, n) == 0;
}

int pem_decode(const char *text, size_t len, const char *label, uint8_t *der, size_t cap)
{
    char b64[PEM_BASE64_MAX];
    size_t b64_len = 0;
    const char *p = text, *end = text + len;
    bool begun = false, ended = false;

    if (len > KEY_FILE_MAX || strlen(label) > PEM_LABEL_MAX)
        return KEYRING_ERR_FORMAT;
    while (p < end && !ended) {
        const char *nl = (const char *)memchr(p, '\n', (size_t)(end - p));
        const char *line_end = nl != nullptr ? nl : end;
        const size_t n = (size_t)(line_end - p);
        if (!begun) {
            if (!pem_boundary(p, n, "BEGIN", label))
                return KEYRING_ERR_FORMAT;
            begun = true;
        } else if (pem_boundary(p, n, "END", label)) {
            ended = true;
        } else {
            if (n == 0 || n > BASE64_LINE_MAX || b64_len + n > sizeof(b64))
                return KEYRING_ERR_FORMAT;
            memcpy(b64 + b64_len, p, n);
            b64_len += n;
        }
        if (nl == nullptr && !ended)
            return KEYRING_ERR_FORMAT;
        p = nl != nullptr ? nl + 1 : end;
    }
    // Nothing after the END line: one file, one key.
    if (!ended || p != end)
        return KEYRING_ERR_FORMAT;
    const int n = base64_decode(b64, b64_len, der, cap);
    return n < 0 ? KEYRING_ERR_FORMAT : n;
}

int pem_public_key_decode(const char *text, size_t len, uint8_t pub[ED25519_PUBLIC_LEN])
{
    uint8_t der[SPKI_LEN + 1];

    if (pem_decode(text, len, "PUBLIC KEY", der, sizeof(der)) != SPKI_LEN ||
        memcmp(der, g_ed25519_spki_prefix, sizeof(g_ed25519_spki_prefix)) != 0)
        return KEYRING_ERR_FORMAT;
    memcpy(pub, der + sizeof(g_ed25519_spki_prefix), ED25519_PUBLIC_LEN);
    return 0;
}

void key_id_of(const uint8_t pub[ED25519_PUBLIC_LEN], uint8_t id[KEY_ID_LEN])
{
    uint8_t digest[SHA256_LEN];

    sha256_digest(pub, ED25519_PUBLIC_LEN, digest);
    memcpy(id, digest, KEY_ID_LEN);
}

// Reads a whole small regular file, opened relative to `dirfd` (AT_FDCWD: `path` as it is)
// without following a link. Returns the byte count, -1 when it cannot be opened or read (errno
// set), -2 when it is not a regular file or holds more than `cap` bytes.
static long read_small_file(int dirfd, const char *path, char *buf, size_t cap)
{
    struct stat st;
    long ret = -1;
    size_t got = 0;
    const int fd = openat(dirfd, path, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);

    if (fd < 0) {
        if (errno == ELOOP)
            return -2;
        return -1;
    }
    if (fstat(fd, &st) != 0)
        goto out;
    if (!S_ISREG(st.st_mode) || st.st_size < 0 || (uint64_t)st.st_size > cap) {
        ret = -2;
        goto out;
    }
    // The file may have grown since fstat: read one byte past the limit to see.
    for (;;) {
        const ssize_t n = read(fd, buf + got, cap + 1 - got);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            goto out;
        if (n == 0)
            break;
        got += (size_t)n;
        if (got > cap) {
            ret = -2;
            goto out;
        }
    }
    ret = (long)got;
out:
    close(fd);
    return ret;
}

static bool name_is_key_file(const char *name)
{
    const size_t n = strlen(name), s = strlen(kKeySuffix);

    return name[0] != '.' && n > s && strcmp(name + n - s, kKeySuffix) == 0;
}

int keyring_load(const char *dir, fw_keyring *out)
{
    DIR *d = opendir(dir);
    struct dirent *e = nullptr;
    char text[KEY_FILE_MAX + 1];
    fw_keyring ring = {};
    int ret = 0;

    if (d == nullptr) {
        if (errno == ENOENT) {
            *out = ring;
            return 0;
        }
        fprintf(stderr, "fwupgrade: cannot read the keyring %s: %s\n", dir, strerror(errno));
        return KEYRING_ERR_READ;
    }
    for (;;) {
        errno = 0;
        e = readdir(d);
        if (e == nullptr) {
            if (errno != 0) {
                fprintf(stderr, "fwupgrade: cannot read the keyring %s: %s\n", dir,
                        strerror(errno));
                ret = KEYRING_ERR_READ;
            }
            break;
        }
        if (!name_is_key_file(e->d_name))
            continue;
        const long n = read_small_file(dirfd(d), e->d_name, text, KEY_FILE_MAX);
        if (n == -1) {
            fprintf(stderr, "fwupgrade: cannot read the key %s/%s: %s\n", dir, e->d_name,
                    strerror(errno));
            ret = KEYRING_ERR_READ;
            break;
        }
        if (n == -2) {
            fprintf(stderr, "fwupgrade: the key %s/%s is not a regular file of at most %d bytes\n",
                    dir, e->d_name, KEY_FILE_MAX);
            ret = KEYRING_ERR_KEY;
            break;
        }
        fw_key key;
        if (pem_public_key_decode(text, (size_t)n, key.pub) != 0) {
            fprintf(stderr, "fwupgrade: the key %s/%s is not an Ed25519 public key in PEM\n", dir,
                    e->d_name);
            ret = KEYRING_ERR_KEY;
            break;
        }
        key_id_of(key.pub, key.id);
        bool seen = false;
        for (int i = 0; i < ring.count; i++)
            seen = seen || memcmp(ring.keys[i].pub, key.pub, ED25519_PUBLIC_LEN) == 0;
        if (seen)
            continue;
        if (ring.count == KEYRING_MAX_KEYS) {
            fprintf(stderr, "fwupgrade: the keyring %s holds more than %d keys\n", dir,
                    KEYRING_MAX_KEYS);
            ret = KEYRING_ERR_FULL;
            break;
        }
        ring.keys[ring.count++] = key;
    }
    closedir(d);
    if (ret != 0)
        return ret;
    *out = ring;
    return ring.count;
}

int sig_verify(const char *bytes, size_t len, const fw_keyring *ring, fw_sig_file *out)
{
    fw_sig_file s;
    const fw_key *key = nullptr;

    if (sig_file_parse(bytes, len, &s) != 0)
        return SIG_ERR_MALFORMED;
    for (int i = 0; i < ring->count && key == nullptr; i++) {
        if (memcmp(ring->keys[i].id, s.manifest.key_id, KEY_ID_LEN) == 0)
            key = &ring->keys[i];
    }
    if (key == nullptr) {
        // The id is what the caller can name: which key the file asks for.
        memcpy(out->manifest.key_id, s.manifest.key_id, KEY_ID_LEN);
        return SIG_ERR_UNKNOWN_KEY;
    }
    if (crypto_sign_verify_detached(s.signature, (const unsigned char *)bytes, s.signed_len,
                                    key->pub) != 0)
        return SIG_ERR_BAD;
    *out = s;
    return 0;
}

int sig_verify_file(const char *path, const fw_keyring *ring, fw_sig_file *out)
{
    char bytes[SIG_FILE_MAX + 1];
    const long n = read_small_file(AT_FDCWD, path, bytes, SIG_FILE_MAX);

    if (n == -1)
        return errno == ENOENT ? SIG_ERR_MISSING : SIG_ERR_READ;
    if (n == -2)
        return SIG_ERR_READ;
    return sig_verify(bytes, (size_t)n, ring, out);
}

int manifest_match(const fw_manifest *m, const uint8_t image[SHA256_LEN],
                   const uint8_t kernel[SHA256_LEN], const uint8_t root[SHA256_LEN],
                   const char *model)
{
    if (memcmp(m->image_sha256, image, SHA256_LEN) != 0 ||
        memcmp(m->kernel_sha256, kernel, SHA256_LEN) != 0 ||
        memcmp(m->root_sha256, root, SHA256_LEN) != 0 ||
        strncmp(m->model, model, sizeof(m->model)) != 0)
        return SIG_ERR_MISMATCH;
    return 0;
}

const char *sig_error_text(int code)
{
    switch (code) {
    case SIG_ERR_MISSING:
        return "no signature";
    case SIG_ERR_MALFORMED:
        return "malformed signature file";
    case SIG_ERR_UNKNOWN_KEY:
        return "unknown key";
    case SIG_ERR_BAD:
        return "bad signature";
    case SIG_ERR_MISMATCH:
        return "manifest does not match the image";
    case SIG_ERR_READ:
        return "unreadable signature file";
    default:
        return "signature check failed";
    }
}
