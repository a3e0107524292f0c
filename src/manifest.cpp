// SPDX-License-Identifier: MIT
#include "manifest.h"

#include <cstdio>
#include <cstring>

namespace
{

constexpr char kSignatureKey[] = "signature";

// A cursor over the lines of the text being parsed.
struct line_reader {
    const char *p;   // start of the next line
    const char *end; // one past the last byte
};

} // namespace

// The next line, without its "\n"; false when no whole line is left.
static bool next_line(line_reader *r, const char **line, size_t *len)
{
    const size_t left = (size_t)(r->end - r->p);
    const char *nl = (const char *)memchr(r->p, '\n', left);

    if (nl == nullptr)
        return false;
    *line = r->p;
    *len = (size_t)(nl - r->p);
    r->p = nl + 1;
    return true;
}

// The value of a "KEY VALUE" line whose key is `key`; false when the line holds another key.
// A key with an empty value stands alone on its line.
static bool line_value(const char *line, size_t len, const char *key, const char **value,
                       size_t *value_len)
{
    const size_t klen = strlen(key);

    if (len < klen || memcmp(line, key, klen) != 0)
        return false;
    if (len == klen) {
        *value = line + len;
        *value_len = 0;
        return true;
    }
    // A space always has text after it: "KEY " alone is neither form.
    if (line[klen] != ' ' || len == klen + 1)
        return false;
    *value = line + klen + 1;
    *value_len = len - klen - 1;
    return true;
}

static int hex_digit(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    return -1;
}

bool hex_decode(const char *text, size_t len, uint8_t *out, size_t n)
{
    if (len != 2 * n)
        return false;
    for (size_t i = 0; i < n; i++) {
        const int hi = hex_digit(text[2 * i]);
        const int lo = hex_digit(text[2 * i + 1]);
        if (hi < 0 || lo < 0)
            return false;
        out[i] = (uint8_t)(hi << 4 | lo);
    }
    return true;
}

// Printable ASCII, between `min` and `max` characters, no space at either end: the fields are
// read back by splitting at the first space, and shells trim the ends.
static bool text_ok(const char *text, size_t len, size_t min, size_t max)
{
    if (len < min || len > max)
        return false;
    for (size_t i = 0; i < len; i++) {
        if (text[i] < 0x20 || text[i] > 0x7e)
            return false;
    }
    return len == 0 || (text[0] != ' ' && text[len - 1] != ' ');
}

static bool hex_field(line_reader *r, const char *key, uint8_t *out, size_t n)
{
    const char *line = nullptr, *value = nullptr;
    size_t len = 0, vlen = 0;

    return next_line(r, &line, &len) && line_value(line, len, key, &value, &vlen) &&
           hex_decode(value, vlen, out, n);
}

static bool text_field(line_reader *r, const char *key, char *out, size_t min, size_t max)
{
    const char *line = nullptr, *value = nullptr;
    size_t len = 0, vlen = 0;

    if (!next_line(r, &line, &len) || !line_value(line, len, key, &value, &vlen) ||
        !text_ok(value, vlen, min, max))
        return false;
    memcpy(out, value, vlen);
    out[vlen] = '\0';
    return true;
}

int manifest_parse(const char *text, size_t len, fw_manifest *out)
{
    line_reader r = {text, text + len};
    const char *line = nullptr;
    size_t line_len = 0;
    fw_manifest m = {};

    if (len > MANIFEST_TEXT_MAX)
        return MANIFEST_ERR_FORMAT;
    if (!next_line(&r, &line, &line_len) || line_len != strlen(g_manifest_tag) ||
        memcmp(line, g_manifest_tag, line_len) != 0)
        return MANIFEST_ERR_FORMAT;
    if (!hex_field(&r, "image-sha256", m.image_sha256, SHA256_LEN) ||
        !hex_field(&r, "kernel-sha256", m.kernel_sha256, SHA256_LEN) ||
        !hex_field(&r, "root-sha256", m.root_sha256, SHA256_LEN) ||
        !text_field(&r, "model", m.model, 0, MANIFEST_MODEL_MAX) ||
        !text_field(&r, "version", m.version, 0, MANIFEST_VERSION_MAX) ||
        !hex_field(&r, "key-id", m.key_id, KEY_ID_LEN))
        return MANIFEST_ERR_FORMAT;
    // Nothing may follow: a line the device ignored would still be signed, and could mislead.
    if (r.p != r.end)
        return MANIFEST_ERR_FORMAT;
    *out = m;
    return 0;
}

void hex_encode(const uint8_t *bytes, size_t len, char *out)
{
    static const char digits[] = "0123456789abcdef";

    for (size_t i = 0; i < len; i++) {
        out[2 * i] = digits[bytes[i] >> 4];
        out[2 * i + 1] = digits[bytes[i] & 0xf];
    }
    out[2 * len] = '\0';
}

int manifest_format(const fw_manifest *m, char *buf, size_t size)
{
    char image[2 * SHA256_LEN + 1], kernel[2 * SHA256_LEN + 1], root[2 * SHA256_LEN + 1];
    char key_id[2 * KEY_ID_LEN + 1];
    const size_t model_len = strnlen(m->model, sizeof(m->model));
    const size_t version_len = strnlen(m->version, sizeof(m->version));

    if (!text_ok(m->model, model_len, 0, MANIFEST_MODEL_MAX) || model_len == sizeof(m->model) ||
        !text_ok(m->version, version_len, 0, MANIFEST_VERSION_MAX) ||
        version_len == sizeof(m->version))
        return MANIFEST_ERR_FORMAT;
    hex_encode(m->image_sha256, SHA256_LEN, image);
    hex_encode(m->kernel_sha256, SHA256_LEN, kernel);
    hex_encode(m->root_sha256, SHA256_LEN, root);
    hex_encode(m->key_id, KEY_ID_LEN, key_id);
    const int n = snprintf(buf, size,
                           "%s\nimage-sha256 %s\nkernel-sha256 %s\nroot-sha256 %s\nmodel%s%s\n"
                           "version%s%s\nkey-id %s\n",
                           g_manifest_tag, image, kernel, root, model_len > 0 ? " " : "", m->model,
                           version_len > 0 ? " " : "", m->version, key_id);
    if (n < 0 || (size_t)n >= size)
        return MANIFEST_ERR_SPACE;
    return n;
}

int sig_file_parse(const char *bytes, size_t len, fw_sig_file *out)
{
    // The signature line is the last: "signature " and 128 hex digits and "\n".
    const size_t sig_line = strlen(kSignatureKey) + 1 + 2 * ED25519_SIGNATURE_LEN + 1;
    fw_sig_file s = {};

    if (len > SIG_FILE_MAX || len < sig_line)
        return MANIFEST_ERR_FORMAT;
    const size_t signed_len = len - sig_line;
    const char *line = bytes + signed_len;
    const char *value = nullptr;
    size_t vlen = 0;
    if (signed_len > 0 && bytes[signed_len - 1] != '\n')
        return MANIFEST_ERR_FORMAT;
    if (bytes[len - 1] != '\n' || !line_value(line, sig_line - 1, kSignatureKey, &value, &vlen) ||
        !hex_decode(value, vlen, s.signature, ED25519_SIGNATURE_LEN))
        return MANIFEST_ERR_FORMAT;
    if (manifest_parse(bytes, signed_len, &s.manifest) != 0)
        return MANIFEST_ERR_FORMAT;
    s.signed_len = signed_len;
    *out = s;
    return 0;
}
