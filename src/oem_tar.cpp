// SPDX-License-Identifier: MIT
#include "oem_tar.h"

#include <cstring>

namespace
{

enum : int {
    ST_HEADER = 0, // the next block is a header or the zero block
    ST_DATA = 1,   // data of a plain file
    ST_META = 2,   // data of a long-name or pax header
    ST_END = 3,    // after the zero block: zeros only
};

enum : int {
    H_NAME = 0,
    H_NAME_LEN = 100,
    H_MODE = 100,
    H_UID = 108,
    H_GID = 116,
    H_ID_LEN = 8,
    H_SIZE = 124,
    H_MTIME = 136,
    H_NUM_LEN = 12,
    H_SUM = 148,
    H_SUM_LEN = 8,
    H_TYPE = 156,
    H_LINK = 157,
    H_MAGIC = 257,
    H_MAGIC_LEN = 8, // magic and version
    H_PREFIX = 345,
    H_PREFIX_LEN = 155,
};

constexpr unsigned g_special_bits = 07000; // set-id and sticky
constexpr uint32_t g_any = ~(uint32_t)0;   // a field whose value is never used

enum : int {
    NUM_OK = 0,
    NUM_OVER = 1,
    NUM_BAD = -1,
};

enum : int { NUM_MODE, NUM_UID, NUM_GID, NUM_SIZE, NUM_MTIME, NUM_SUM, NUM_FIELDS };

struct num_field {
    uint16_t off; // offset in the header
    uint16_t len; // bytes of the field
    uint32_t max; // largest value accepted; g_any: any of the right form
};

// Mode bits beyond 07777 would be a file type; the sum of 512 bytes is at most 512 * 255.
const num_field g_numbers[NUM_FIELDS] = {
    {H_MODE, H_ID_LEN, 07777},   {H_UID, H_ID_LEN, g_any},
    {H_GID, H_ID_LEN, g_any},    {H_SIZE, H_NUM_LEN, OEM_TAR_STREAM_MAX},
    {H_MTIME, H_NUM_LEN, g_any}, {H_SUM, H_SUM_LEN, OEM_TAR_BLOCK * 255},
};
constexpr unsigned g_dir_mode_max = 0755;
constexpr unsigned g_dir_mode_min = 0700; // the owner keeps its way in
constexpr unsigned g_file_mode = 0644;
constexpr unsigned g_exec_mode = 0755;
constexpr unsigned g_exec_bits = 0111;
constexpr unsigned g_pax_len_digits = 6; // a record longer than any header data is refused anyway

// POSIX headers ("ustar" NUL "00") have a name prefix; GNU headers ("ustar  " NUL) keep other
// things in its place. Nothing else is read.
const char g_posix_magic[H_MAGIC_LEN] = {'u', 's', 't', 'a', 'r', '\0', '0', '0'};
const char g_gnu_magic[H_MAGIC_LEN] = {'u', 's', 't', 'a', 'r', ' ', ' ', '\0'};

// The pax records a member may carry: its name and what only describes it. A size, a link
// target or a sparse map would change what the stream holds.
const char *const g_pax_keys[] = {"path",  "mtime", "atime",   "ctime",      "uid",    "gid",
                                  "uname", "gname", "comment", "hdrcharset", "charset"};
const char g_pax_path[] = "path";

const char *const g_reasons[] = {
    "is refused",
    "has a damaged header",
    "is not a plain file or a directory",
    "has an empty, absolute or unsafe name",
    "has a set-id, sticky or unknown mode bit",
    "has a pax record not allowed",
    "passes the 16 MiB limit",
    "is cut short",
    "follows the end of the archive",
    "could not be written",
};

// A number field: octal digits from its first byte, then only NULs or spaces to its end; or the
// base-256 form (0x80, then big-endian bytes). Leading blanks, signs and anything after the
// terminator are refused: other readers skip or stop at them in ways of their own. Returns
// NUM_OK with the value, NUM_OVER when it is larger than `max`, or NUM_BAD.
int tar_number(const uint8_t *p, size_t len, uint32_t max, uint32_t *out)
{
    uint32_t v = 0;
    bool over = false;
    size_t i = 0;
    bool base256 = p[0] == 0x80;

    for (i = base256 ? 1 : 0; i < len && (base256 || (p[i] >= '0' && p[i] <= '7')); i++) {
        unsigned shift = base256 ? 8 : 3;
        over = over || v > (max >> shift);
        v = (v << shift) | (base256 ? p[i] : (uint32_t)(p[i] - '0'));
    }
    if (i == 0)
        return NUM_BAD;
    for (; i < len; i++) {
        if (p[i] != '\0' && p[i] != ' ')
            return NUM_BAD;
    }
    if (over || v > max)
        return NUM_OVER;
    *out = v;
    return NUM_OK;
}

bool all_zero(const uint8_t *p, size_t len)
{
    for (size_t i = 0; i < len; i++) {
        if (p[i] != 0)
            return false;
    }
    return true;
}

// Length of the NUL-terminated text in a field; `len` when it has no terminator there.
size_t field_len(const uint8_t *p, size_t len)
{
    const void *nul = memchr(p, '\0', len);
    return nul == nullptr ? len : (size_t)((const uint8_t *)nul - p);
}

// Copies `len` bytes of a name with its terminator; false when it does not fit.
bool set_name(char *out, const void *name, size_t len)
{
    if (len > OEM_TAR_NAME_MAX)
        return false;
    memcpy(out, name, len);
    out[len] = '\0';
    return true;
}

// Rewrites `name` in place to its clean form: components joined by single slashes, without "."
// and empty ones. False when it is absolute or a component is "..".
bool clean_name(char *name)
{
    size_t out = 0;
    const char *p = name;

    if (*p == '/')
        return false;
    while (*p != '\0') {
        size_t n = strcspn(p, "/");
        if (n == 2 && p[0] == '.' && p[1] == '.')
            return false;
        if (n > 0 && !(n == 1 && p[0] == '.')) {
            if (out > 0)
                name[out++] = '/';
            memmove(name + out, p, n);
            out += n;
        }
        p += n;
        if (*p == '/')
            p++;
    }
    name[out] = '\0';
    return true;
}

bool known_pax_key(const uint8_t *key, size_t len)
{
    for (const char *k : g_pax_keys) {
        if (strlen(k) == len && memcmp(k, key, len) == 0)
            return true;
    }
    return false;
}

// The records of a pax header, each exactly "<length> <key>=<value>\n" with a decimal length (no
// sign, no leading zero) that counts the whole record. A "path" value goes to `path` (a global
// header may not carry one). Returns 0 or the refusal.
int pax_records(oem_tar *t, bool global)
{
    const uint8_t *d = t->meta;
    size_t len = t->meta_len;
    size_t pos = 0;

    while (pos < len) {
        size_t i = pos;
        size_t rec = 0;
        while (i < len && i - pos < g_pax_len_digits && d[i] >= '0' && d[i] <= '9')
            rec = rec * 10 + (size_t)(d[i++] - '0');
        if (i == pos || d[pos] == '0' || i >= len || d[i] != ' ' || rec > len - pos)
            return OEM_TAR_ERR_PAX;
        size_t key = i + 1;
        size_t end = pos + rec - 1; // the record's newline
        if (key + 2 > end || d[end] != '\n')
            return OEM_TAR_ERR_PAX;
        const uint8_t *eq = (const uint8_t *)memchr(d + key, '=', end - key);
        if (eq == nullptr || eq == d + key || !known_pax_key(d + key, (size_t)(eq - d) - key))
            return OEM_TAR_ERR_PAX;
        if ((size_t)(eq - d) - key == sizeof(g_pax_path) - 1 &&
            memcmp(d + key, g_pax_path, sizeof(g_pax_path) - 1) == 0) {
            const uint8_t *value = eq + 1;
            size_t value_len = (size_t)(d + end - value);
            if (global)
                return OEM_TAR_ERR_PAX;
            // One name per member, without a NUL that would end it early.
            if (t->have_long || value_len == 0 || memchr(value, '\0', value_len) != nullptr ||
                !set_name(t->long_name, value, value_len))
                return OEM_TAR_ERR_NAME;
            t->have_long = true;
        }
        pos += rec;
    }
    return 0;
}

// The data of an L header: one name, NUL-terminated within it, nothing but NULs after.
int long_name(oem_tar *t)
{
    size_t n = field_len(t->meta, t->meta_len);

    if (t->have_long || n == 0 || n == t->meta_len || !all_zero(t->meta + n, t->meta_len - n) ||
        !set_name(t->long_name, t->meta, n))
        return OEM_TAR_ERR_NAME;
    t->have_long = true;
    return 0;
}

int emit(oem_tar_sink sink, void *ctx, int kind, const char *name, unsigned mode,
         const uint8_t *data, size_t len)
{
    oem_tar_event ev = {kind, name, mode, data, len};
    return sink(ctx, &ev) == 0 ? 0 : OEM_TAR_ERR_SINK;
}

// The member's full name into t->name: the long name when one came before (the name field then
// holds only its first part), else the POSIX prefix and the name field, each ending within its
// bounds.
int member_name(oem_tar *t, const uint8_t *h)
{
    size_t n = field_len(h + H_NAME, H_NAME_LEN);
    size_t len = 0;

    if (t->have_long) {
        t->have_long = false;
        memcpy(t->name, t->long_name, strlen(t->long_name) + 1);
        return 0;
    }
    if (n == H_NAME_LEN)
        return OEM_TAR_ERR_NAME;
    if (memcmp(h + H_MAGIC, g_posix_magic, H_MAGIC_LEN) == 0 && h[H_PREFIX] != '\0') {
        len = field_len(h + H_PREFIX, H_PREFIX_LEN);
        if (len == H_PREFIX_LEN)
            return OEM_TAR_ERR_NAME;
        memcpy(t->name, h + H_PREFIX, len);
        t->name[len++] = '/';
    }
    memcpy(t->name + len, h + H_NAME, n);
    t->name[len + n] = '\0';
    return 0;
}

int header(oem_tar *t, const uint8_t *h, oem_tar_sink sink, void *ctx)
{
    uint32_t sum = 0;
    uint32_t num[NUM_FIELDS] = {};
    char type = (char)h[H_TYPE];

    if (all_zero(h, OEM_TAR_BLOCK)) {
        t->state = ST_END;
        return t->have_long ? OEM_TAR_ERR_END : 0; // a long name for no member
    }
    // Named as far as it can be, for the refusal.
    (void)set_name(t->name, h + H_NAME, field_len(h + H_NAME, H_NAME_LEN));
    for (int i = 0; i < OEM_TAR_BLOCK; i++)
        sum += i >= H_SUM && i < H_SUM + H_SUM_LEN ? ' ' : h[i];
    for (int i = 0; i < NUM_FIELDS; i++) {
        const num_field &f = g_numbers[i];
        int rc = tar_number(h + f.off, f.len, f.max, &num[i]);
        // Owners and times are never used: only their form counts.
        if (rc == NUM_BAD || (rc == NUM_OVER && f.max != g_any))
            return rc == NUM_BAD   ? OEM_TAR_ERR_HEADER
                   : i == NUM_SIZE ? OEM_TAR_ERR_SIZE
                   : i == NUM_MODE ? OEM_TAR_ERR_MODE
                                   : OEM_TAR_ERR_HEADER;
    }
    if (num[NUM_SUM] != sum || (memcmp(h + H_MAGIC, g_posix_magic, H_MAGIC_LEN) != 0 &&
                                memcmp(h + H_MAGIC, g_gnu_magic, H_MAGIC_LEN) != 0))
        return OEM_TAR_ERR_HEADER;
    uint32_t mode = num[NUM_MODE];
    uint32_t size = num[NUM_SIZE];
    // An empty name reads as the end of the archive to some tar programs, which then go on
    // reading this header's data as headers.
    if (h[H_NAME] == '\0')
        return OEM_TAR_ERR_NAME;
    if ((mode & g_special_bits) != 0)
        return OEM_TAR_ERR_MODE;
    // A link name on any member makes it a link to some tar program.
    if (h[H_LINK] != '\0')
        return OEM_TAR_ERR_TYPE;
    t->left = size;
    t->type = type;
    t->meta_len = 0;
    switch (type) {
    case 'L':
    case 'x':
    case 'g':
        if (size == 0 || size > OEM_TAR_META_MAX)
            return type == 'L' ? OEM_TAR_ERR_NAME : OEM_TAR_ERR_PAX;
        t->state = ST_META;
        return 0;
    case '0':
    case '\0':
    case '5':
        break;
    default:
        return OEM_TAR_ERR_TYPE;
    }
    int rc = member_name(t, h);
    if (rc != 0)
        return rc;
    size_t n = strlen(t->name);
    if (type != '5' && (n == 0 || t->name[n - 1] == '/'))
        return OEM_TAR_ERR_NAME; // a file named like a directory
    if (!clean_name(t->name))
        return OEM_TAR_ERR_NAME;
    if (type == '5') {
        if (size != 0)
            return OEM_TAR_ERR_HEADER;
        unsigned dir_mode = ((unsigned)mode & g_dir_mode_max) | g_dir_mode_min;
        // The directory itself keeps its own mode.
        return t->name[0] == '\0' ? 0 : emit(sink, ctx, OEM_TAR_DIR, t->name, dir_mode, nullptr, 0);
    }
    if (t->name[0] == '\0')
        return OEM_TAR_ERR_NAME;
    unsigned file_mode = (mode & g_exec_bits) != 0 ? g_exec_mode : g_file_mode;
    rc = emit(sink, ctx, OEM_TAR_FILE, t->name, file_mode, nullptr, 0);
    if (rc == 0 && size == 0)
        rc = emit(sink, ctx, OEM_TAR_FILE_END, t->name, file_mode, nullptr, 0);
    if (rc == 0 && size != 0)
        t->state = ST_DATA;
    return rc;
}

int data_block(oem_tar *t, const uint8_t *b, oem_tar_sink sink, void *ctx)
{
    uint32_t n = t->left < (uint32_t)OEM_TAR_BLOCK ? t->left : (uint32_t)OEM_TAR_BLOCK;
    int rc = 0;

    t->left -= n;
    if (t->state == ST_DATA) {
        rc = emit(sink, ctx, OEM_TAR_DATA, t->name, 0, b, n);
        if (rc == 0 && t->left == 0)
            rc = emit(sink, ctx, OEM_TAR_FILE_END, t->name, 0, nullptr, 0);
    } else {
        memcpy(t->meta + t->meta_len, b, n);
        t->meta_len += n;
        if (t->left == 0)
            rc = t->type == 'L' ? long_name(t) : pax_records(t, t->type == 'g');
    }
    if (t->left == 0)
        t->state = ST_HEADER;
    return rc;
}

int step(oem_tar *t, oem_tar_sink sink, void *ctx)
{
    if (t->total > OEM_TAR_STREAM_MAX - OEM_TAR_BLOCK)
        return OEM_TAR_ERR_SIZE;
    t->total += OEM_TAR_BLOCK;
    switch (t->state) {
    case ST_HEADER:
        return header(t, t->block, sink, ctx);
    case ST_END:
        // One tar program stops at the zero block, another reads on: nothing may follow it.
        if (all_zero(t->block, OEM_TAR_BLOCK))
            return 0;
        (void)set_name(t->name, t->block + H_NAME, field_len(t->block + H_NAME, H_NAME_LEN));
        return OEM_TAR_ERR_TRAILER;
    default:
        return data_block(t, t->block, sink, ctx);
    }
}

} // namespace

void oem_tar_init(oem_tar *t)
{
    memset(t, 0, sizeof(*t));
    t->state = ST_HEADER;
}

int oem_tar_feed(oem_tar *t, const uint8_t *data, size_t len, oem_tar_sink sink, void *ctx)
{
    while (t->error == 0 && len > 0) {
        size_t n = OEM_TAR_BLOCK - t->fill;
        if (n > len)
            n = len;
        memcpy(t->block + t->fill, data, n);
        t->fill += n;
        data += n;
        len -= n;
        if (t->fill == OEM_TAR_BLOCK) {
            t->fill = 0;
            t->error = step(t, sink, ctx);
        }
    }
    return t->error;
}

int oem_tar_finish(oem_tar *t)
{
    if (t->error == 0 && (t->fill != 0 || t->state != ST_END))
        t->error = OEM_TAR_ERR_END;
    return t->error;
}

const char *oem_tar_member(const oem_tar *t)
{
    return t->name;
}

const char *oem_tar_reason(int code)
{
    size_t i = code < 0 ? (size_t)-code : 0;

    return g_reasons[i < sizeof(g_reasons) / sizeof(g_reasons[0]) ? i : 0];
}
