// SPDX-License-Identifier: MIT
#include "bank_record.h"

#include <cctype>
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform.h"

namespace
{

constexpr char kTag[] = "fwupgrade-bank 1";
constexpr char kBeingWritten[] = "being-written";
constexpr char kVerified[] = "verified";
constexpr char kUnsigned[] = "unsigned";
constexpr char kTempSuffix[] = ".XXXXXX";

enum : int {
    TIME_DIGITS_MAX = 18, // keeps the value inside int64_t
};

struct line_reader {
    const char *p;   // start of the next line
    const char *end; // one past the last byte
};

} // namespace

// The next line, if it is "KEY VALUE" (or "KEY" alone: an empty value) with this key.
static bool take(line_reader *r, const char *key, const char **value, size_t *value_len)
{
    const size_t left = (size_t)(r->end - r->p), klen = strlen(key);
    const char *nl = (const char *)memchr(r->p, '\n', left);

    if (nl == nullptr)
        return false;
    const size_t len = (size_t)(nl - r->p);
    if (len < klen || memcmp(r->p, key, klen) != 0)
        return false;
    if (len == klen) {
        *value = r->p + len;
        *value_len = 0;
    } else if (r->p[klen] == ' ' && len > klen + 1) {
        *value = r->p + klen + 1;
        *value_len = len - klen - 1;
    } else {
        return false;
    }
    r->p = nl + 1;
    return true;
}

static bool is_word(const char *value, size_t len, const char *word)
{
    return len == strlen(word) && memcmp(value, word, len) == 0;
}

static bool take_hex(line_reader *r, const char *key, uint8_t *out, size_t n)
{
    const char *v = nullptr;
    size_t len = 0;

    return take(r, key, &v, &len) && hex_decode(v, len, out, n);
}

static bool version_ok(const char *text, size_t len)
{
    if (len > MANIFEST_VERSION_MAX)
        return false;
    for (size_t i = 0; i < len; i++) {
        if (text[i] < 0x20 || text[i] > 0x7e)
            return false;
    }
    return len == 0 || (text[0] != ' ' && text[len - 1] != ' ');
}

// Decimal, no sign, no leading zero.
static bool take_time(line_reader *r, int64_t *out)
{
    const char *v = nullptr;
    size_t len = 0;
    int64_t t = 0;

    if (!take(r, "installed", &v, &len) || len == 0 || len > TIME_DIGITS_MAX ||
        (len > 1 && v[0] == '0'))
        return false;
    for (size_t i = 0; i < len; i++) {
        if (v[i] < '0' || v[i] > '9')
            return false;
        t = t * 10 + (v[i] - '0');
    }
    *out = t;
    return true;
}

int bank_record_parse(const char *text, size_t len, bank_record *out)
{
    line_reader r = {text, text + len};
    bank_record rec = {};
    const char *v = nullptr;
    size_t vlen = 0;

    if (len > BANK_RECORD_TEXT_MAX)
        return BANK_RECORD_ERR_FORMAT;
    if (!take(&r, kTag, &v, &vlen) || vlen != 0 || !take(&r, "state", &v, &vlen))
        return BANK_RECORD_ERR_FORMAT;
    if (is_word(v, vlen, kBeingWritten)) {
        rec.state = BANK_BEING_WRITTEN;
    } else if (is_word(v, vlen, kVerified)) {
        rec.state = BANK_VERIFIED;
        if (!take_hex(&r, "kernel-md5", rec.kernel_md5, MD5_DIGEST_LEN) ||
            !take_hex(&r, "root-md5", rec.root_md5, MD5_DIGEST_LEN) ||
            !take_hex(&r, "image-sha256", rec.image_sha256, SHA256_LEN) ||
            !take_hex(&r, "kernel-sha256", rec.kernel_sha256, SHA256_LEN) ||
            !take_hex(&r, "root-sha256", rec.root_sha256, SHA256_LEN) ||
            !take(&r, "version", &v, &vlen) || !version_ok(v, vlen))
            return BANK_RECORD_ERR_FORMAT;
        memcpy(rec.version, v, vlen);
        rec.version[vlen] = '\0';
        const line_reader before = r;
        if (take(&r, "signer", &v, &vlen) && is_word(v, vlen, kUnsigned)) {
            rec.is_signed = false;
        } else {
            r = before;
            if (!take_hex(&r, "signer", rec.signer, KEY_ID_LEN))
                return BANK_RECORD_ERR_FORMAT;
            rec.is_signed = true;
        }
    } else {
        return BANK_RECORD_ERR_FORMAT;
    }
    if (!take_time(&r, &rec.installed) || r.p != r.end)
        return BANK_RECORD_ERR_FORMAT;
    *out = rec;
    return 0;
}

int bank_record_format(const bank_record *r, char *buf, size_t size)
{
    char kmd5[2 * MD5_DIGEST_LEN + 1], rmd5[2 * MD5_DIGEST_LEN + 1];
    char image[2 * SHA256_LEN + 1], kernel[2 * SHA256_LEN + 1], root[2 * SHA256_LEN + 1];
    char signer[2 * KEY_ID_LEN + 1];
    int n = 0;

    if (r->installed < 0)
        return BANK_RECORD_ERR_FORMAT;
    if (r->state == BANK_BEING_WRITTEN) {
        n = snprintf(buf, size, "%s\nstate %s\ninstalled %" PRId64 "\n", kTag, kBeingWritten,
                     r->installed);
    } else if (r->state == BANK_VERIFIED) {
        const size_t vlen = strnlen(r->version, sizeof(r->version));
        if (!version_ok(r->version, vlen) || vlen == sizeof(r->version))
            return BANK_RECORD_ERR_FORMAT;
        hex_encode(r->kernel_md5, MD5_DIGEST_LEN, kmd5);
        hex_encode(r->root_md5, MD5_DIGEST_LEN, rmd5);
        hex_encode(r->image_sha256, SHA256_LEN, image);
        hex_encode(r->kernel_sha256, SHA256_LEN, kernel);
        hex_encode(r->root_sha256, SHA256_LEN, root);
        if (r->is_signed)
            hex_encode(r->signer, KEY_ID_LEN, signer);
        else
            snprintf(signer, sizeof(signer), "%s", kUnsigned);
        n = snprintf(buf, size,
                     "%s\nstate %s\nkernel-md5 %s\nroot-md5 %s\nimage-sha256 %s\n"
                     "kernel-sha256 %s\nroot-sha256 %s\nversion%s%s\nsigner %s\n"
                     "installed %" PRId64 "\n",
                     kTag, kVerified, kmd5, rmd5, image, kernel, root, vlen > 0 ? " " : "",
                     r->version, signer, r->installed);
    } else {
        return BANK_RECORD_ERR_FORMAT;
    }
    if (n < 0 || (size_t)n >= size)
        return BANK_RECORD_ERR_SPACE;
    return n;
}

static bool write_all(int fd, const char *buf, size_t len)
{
    while (len > 0) {
        const ssize_t n = write(fd, buf, len);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        buf += n;
        len -= (size_t)n;
    }
    return true;
}

// Removes the temporary files a power cut left beside the record in `dir` ("<base>.XXXXXX" as
// mkostemp names them), so that cuts do not pile them up. Best effort: a name that cannot be
// removed is left, and the write goes on.
static void clear_stale_temps(const char *dir, const char *base)
{
    const size_t base_len = strlen(base), suffix_len = sizeof(kTempSuffix) - 1;
    DIR *d = opendir(dir);

    if (d == nullptr)
        return;
    for (struct dirent *e = readdir(d); e != nullptr; e = readdir(d)) {
        const char *name = e->d_name;
        if (strlen(name) != base_len + suffix_len || strncmp(name, base, base_len) != 0 ||
            name[base_len] != '.')
            continue;
        bool temp_name = true;
        for (size_t i = base_len + 1; i < base_len + suffix_len; i++)
            temp_name = temp_name && (isalnum((unsigned char)name[i]) != 0);
        if (temp_name)
            (void)unlinkat(dirfd(d), name, 0);
    }
    closedir(d);
}

int bank_record_write(const char *path, const bank_record *r)
{
    char text[BANK_RECORD_TEXT_MAX + 1];
    char temp[PLATFORM_PATH_MAX], dir[PLATFORM_PATH_MAX];
    const char *step = nullptr;
    int fd = -1, dfd = -1, ret = BANK_RECORD_ERR_WRITE;
    bool temp_made = false;
    const int len = bank_record_format(r, text, sizeof(text));
    const int n = snprintf(temp, sizeof(temp), "%s%s", path, kTempSuffix);
    const char *slash = strrchr(path, '/');

    if (len < 0) {
        fprintf(stderr, "fwupgrade: the bank record for %s cannot be written: bad field\n", path);
        return BANK_RECORD_ERR_FORMAT;
    }
    if (n < 0 || (size_t)n >= sizeof(temp) || slash == nullptr) {
        fprintf(stderr, "fwupgrade: the bank record path %s is unusable\n", path);
        return BANK_RECORD_ERR_WRITE;
    }
    snprintf(dir, sizeof(dir), "%.*s", slash == path ? 1 : (int)(slash - path), path);
    clear_stale_temps(dir, slash + 1);
    fd = mkostemp(temp, O_CLOEXEC);
    if (fd < 0) {
        step = "create";
        goto out;
    }
    temp_made = true;
    if (fchmod(fd, 0644) != 0) {
        step = "chmod";
        goto out;
    }
    if (!write_all(fd, text, (size_t)len)) {
        step = "write";
        goto out;
    }
    if (fsync(fd) != 0) {
        step = "fsync";
        goto out;
    }
    if (close(fd) != 0) {
        fd = -1;
        step = "close";
        goto out;
    }
    fd = -1;
    if (rename(temp, path) != 0) {
        step = "rename";
        goto out;
    }
    temp_made = false;
    // The rename lasts a power cut only once the directory is on the medium.
    dfd = open(dir, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dfd < 0 || fsync(dfd) != 0) {
        step = "fsync of the directory";
        goto out;
    }
    ret = 0;
out:
    if (step != nullptr)
        fprintf(stderr, "fwupgrade: the bank record %s: %s failed: %s\n", path, step,
                strerror(errno));
    if (fd >= 0)
        close(fd);
    if (dfd >= 0)
        close(dfd);
    if (temp_made)
        unlink(temp);
    return ret;
}

int bank_record_read(const char *path, bank_record *out)
{
    char text[BANK_RECORD_TEXT_MAX + 1];
    struct stat st;
    size_t got = 0;
    int ret = BANK_RECORD_ERR_READ;
    const int fd = open(path, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);

    if (fd < 0)
        return errno == ENOENT ? BANK_RECORD_ERR_MISSING : BANK_RECORD_ERR_READ;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode))
        goto out;
    // One byte past the limit shows a record that is too long.
    for (;;) {
        const ssize_t n = read(fd, text + got, sizeof(text) - got);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            goto out;
        if (n == 0)
            break;
        got += (size_t)n;
        if (got == sizeof(text))
            goto out;
    }
    ret = bank_record_parse(text, got, out);
out:
    close(fd);
    return ret;
}

int bank_record_boot_check(const char *path)
{
    bank_record r;
    const int rc = bank_record_read(path, &r);

    if (rc == BANK_RECORD_ERR_MISSING)
        return 0;
    if (rc != 0)
        return rc;
    return r.state == BANK_BEING_WRITTEN ? BANK_RECORD_ERR_INCOMPLETE : 0;
}
