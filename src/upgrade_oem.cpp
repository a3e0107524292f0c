// The OEM customisation of the bank an upgrade writes: the staged archive unpacked into the
// bank's OEM directory, or the directory emptied on request. The archive comes from outside and
// is unpacked as root, so its listing is checked first: only plain files and directories, with
// relative names that stay inside the directory and ordinary permissions, ever land.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform.h"
#include "upgrade_run.h"

namespace
{

const char g_nooem_path[] = "/tmpfs/upgrading/.nooem";
const char g_oem_archive_path[] = "/tmpfs/upgrading/oem.bin";
// The archive's tar stream, for the check of its members.
const char g_oem_list_cmd[] = "gzip -dc /tmpfs/upgrading/oem.bin";

// The OEM customisation commands of one bank. The directory is emptied of dot-files too, and the
// archive unpacked without its owners; "-o" means that to GNU tar and to BusyBox tar alike.
struct oem_commands {
    const char *clear;  // empty the bank's OEM directory
    const char *create; // make the directory when it is absent
    const char *unpack; // unpack the staged archive into it
};

const oem_commands g_oem_commands[] = {
    {"rm -rf /kelpvar/config0/oem_root/* /kelpvar/config0/oem_root/.[!.]* "
     "/kelpvar/config0/oem_root/..?*",
     "[ -d /kelpvar/config0/oem_root ] || mkdir /kelpvar/config0/oem_root",
     "tar -xzof /tmpfs/upgrading/oem.bin -C /kelpvar/config0/oem_root/"},
    {"rm -rf /kelpvar/config1/oem_root/* /kelpvar/config1/oem_root/.[!.]* "
     "/kelpvar/config1/oem_root/..?*",
     "[ -d /kelpvar/config1/oem_root ] || mkdir /kelpvar/config1/oem_root",
     "tar -xzof /tmpfs/upgrading/oem.bin -C /kelpvar/config1/oem_root/"},
};

enum : int {
    OEM_ARCHIVE_MAX = 131071, // a larger archive is ignored
    TAR_BLOCK = 512,
    TAR_NAME_OFF = 0,
    TAR_NAME_LEN = 100,
    TAR_MODE_OFF = 100,
    TAR_MODE_LEN = 8,
    TAR_SIZE_OFF = 124,
    TAR_SIZE_LEN = 12,
    TAR_SUM_OFF = 148,
    TAR_SUM_LEN = 8,
    TAR_TYPE_OFF = 156,
    TAR_MAGIC_OFF = 257,
    TAR_PREFIX_OFF = 345,
    TAR_PREFIX_LEN = 155,
    TAR_NAME_MAX = 1024, // a longer member name (GNU or pax record) is refused
};

// What the archive may unpack at most: its 128 KiB could otherwise expand to fill the
// customisation's file system.
constexpr long g_oem_unpacked_max = 16L * 1024 * 1024;
constexpr unsigned g_mode_bits = 0777; // set-id and sticky bits are refused

const char g_ustar_magic[] = "ustar";
const char g_pax_path_key[] = "path=";

// Reasons an archive is refused, as the user is told.
const char g_refuse_type[] = "holds a member that is not a plain file or a directory";
const char g_refuse_name[] = "holds a name that is absolute, empty or leads out with \"..\"";
const char g_refuse_mode[] = "holds a set-id or sticky permission bit";
const char g_refuse_size[] = "unpacks to more than 16 MiB";
const char g_refuse_format[] = "is not a readable gzip-compressed tar archive";

// Staged files are plain files or nothing: a FIFO or a device there is never opened, a link
// never followed. Its size goes to `size` when not null.
bool staged_file(const char *staged, off_t *size)
{
    char buf[PLATFORM_PATH_MAX];
    const char *path = platform_path(staged, buf, sizeof(buf));
    struct stat st;

    if (path == nullptr || lstat(path, &st) != 0 || !S_ISREG(st.st_mode))
        return false;
    if (size != nullptr)
        *size = st.st_size;
    return true;
}

// An octal field of a tar header (digits after optional blanks, ended by a blank or NUL); -1
// when it holds anything else, the binary form of large numbers included.
long tar_octal(const uint8_t *p, int len)
{
    long value = 0;
    int i = 0;

    while (i < len && p[i] == ' ')
        i++;
    for (; i < len && p[i] >= '0' && p[i] <= '7'; i++) {
        if (value > g_oem_unpacked_max)
            return -1;
        value = value * 8 + (p[i] - '0');
    }
    if (i < len && p[i] != ' ' && p[i] != '\0')
        return -1;
    return value;
}

bool tar_checksum_ok(const uint8_t *h)
{
    long sum = 0;

    for (int i = 0; i < TAR_BLOCK; i++)
        sum += i >= TAR_SUM_OFF && i < TAR_SUM_OFF + TAR_SUM_LEN ? ' ' : h[i];
    return tar_octal(h + TAR_SUM_OFF, TAR_SUM_LEN) == sum;
}

bool is_zero_block(const uint8_t *h)
{
    for (int i = 0; i < TAR_BLOCK; i++) {
        if (h[i] != 0)
            return false;
    }
    return true;
}

// A name stays inside the directory: relative, not empty, no ".." component.
bool name_stays_inside(const char *name, size_t len)
{
    size_t start = 0;

    if (len == 0 || name[0] == '/')
        return false;
    for (size_t i = 0; i <= len; i++) {
        if (i == len || name[i] == '/') {
            if (i - start == 2 && name[start] == '.' && name[start + 1] == '.')
                return false;
            start = i + 1;
        }
    }
    return true;
}

// The name the header itself gives: prefix "/" name in the ustar format, the name field else.
size_t header_name(const uint8_t *h, char *out)
{
    size_t n = 0;

    if (memcmp(h + TAR_MAGIC_OFF, g_ustar_magic, sizeof(g_ustar_magic) - 1) == 0 &&
        h[TAR_PREFIX_OFF] != '\0') {
        n = strnlen((const char *)h + TAR_PREFIX_OFF, TAR_PREFIX_LEN);
        memcpy(out, h + TAR_PREFIX_OFF, n);
        out[n++] = '/';
    }
    size_t name_len = strnlen((const char *)h + TAR_NAME_OFF, TAR_NAME_LEN);
    memcpy(out + n, h + TAR_NAME_OFF, name_len);
    return n + name_len;
}

// Reads the data blocks of a member into `out` (TAR_NAME_MAX + 1 bytes: at most TAR_NAME_MAX are
// kept, and a longer member refused, then a NUL) or skips them. False when the stream ends early or
// the data is too long.
bool read_member_data(FILE *tar, long size, char *out, size_t *out_len)
{
    uint8_t block[TAR_BLOCK];
    long done = 0;

    if (out != nullptr && size > TAR_NAME_MAX)
        return false;
    while (done < size) {
        if (fread(block, 1, TAR_BLOCK, tar) != (size_t)TAR_BLOCK)
            return false;
        long n = size - done < TAR_BLOCK ? size - done : (long)TAR_BLOCK;
        if (out != nullptr)
            memcpy(out + done, block, (size_t)n);
        done += n;
    }
    if (out != nullptr) {
        out[done] = '\0';
        *out_len = strnlen(out, (size_t)size);
    }
    return true;
}

// The "path" record of a pax header's data, when it has one, copied over `name`. False when the
// records are out of shape: a tar program would read them some other way, or not at all.
bool pax_path(const char *data, size_t len, char *name, size_t *name_len)
{
    size_t pos = 0;

    // Records are "<length> <key>=<value>\n".
    while (pos < len) {
        const char *space = (const char *)memchr(data + pos, ' ', len - pos);
        long rec = strtol(data + pos, nullptr, 10);
        if (space == nullptr || rec <= 0 || (size_t)rec > len - pos || data[pos + rec - 1] != '\n')
            return false;
        const char *key = space + 1;
        size_t key_room = (size_t)(data + pos + rec - key);
        size_t klen = sizeof(g_pax_path_key) - 1;
        if (key_room > klen && memcmp(key, g_pax_path_key, klen) == 0) {
            *name_len = key_room - klen - 1; // without the record's newline
            memcpy(name, key + klen, *name_len);
        }
        pos += (size_t)rec;
    }
    return true;
}

// Walks the tar stream and returns null when every member is safe to unpack, else why not.
const char *check_members(FILE *tar)
{
    uint8_t h[TAR_BLOCK];
    char long_name[TAR_NAME_MAX + 1];
    size_t long_len = 0;
    bool have_long = false;
    long unpacked = 0;

    while (fread(h, 1, TAR_BLOCK, tar) == (size_t)TAR_BLOCK) {
        char name[TAR_PREFIX_LEN + 1 + TAR_NAME_LEN];
        if (is_zero_block(h))
            return nullptr;
        long size = tar_octal(h + TAR_SIZE_OFF, TAR_SIZE_LEN);
        long mode = tar_octal(h + TAR_MODE_OFF, TAR_MODE_LEN);
        char type = (char)h[TAR_TYPE_OFF];
        if (!tar_checksum_ok(h) || size < 0 || mode < 0)
            return g_refuse_format;
        if (type == 'L' || type == 'x') {
            // A long name for the next member; both it and the header's own name must be safe,
            // whichever of them a tar program takes.
            char data[TAR_NAME_MAX + 1];
            size_t data_len = 0;
            if (!read_member_data(tar, size, data, &data_len))
                return g_refuse_name;
            if (type == 'L') {
                memcpy(long_name, data, data_len);
                long_len = data_len;
                have_long = true;
            } else if (pax_path(data, data_len, long_name, &long_len)) {
                have_long = have_long || long_len > 0;
            } else {
                return g_refuse_format;
            }
            continue;
        }
        if (type != '0' && type != '\0' && type != '5')
            return g_refuse_type;
        if (!name_stays_inside(name, header_name(h, name)) ||
            (have_long && !name_stays_inside(long_name, long_len)))
            return g_refuse_name;
        if (((unsigned long)mode & ~(unsigned long)g_mode_bits) != 0)
            return g_refuse_mode;
        unpacked += size;
        if (unpacked > g_oem_unpacked_max)
            return g_refuse_size;
        if (!read_member_data(tar, size, nullptr, nullptr))
            return g_refuse_format;
        have_long = false;
        long_len = 0;
    }
    return g_refuse_format; // no end-of-archive block
}

// Null when the staged archive may be unpacked, else why not.
const char *check_archive(void)
{
    char buf[PLATFORM_PATH_MAX];
    const char *cmd = platform_command(g_oem_list_cmd, buf, sizeof(buf));
    FILE *tar = cmd == nullptr ? nullptr : popen(cmd, "r");
    const char *why;

    if (tar == nullptr)
        return g_refuse_format;
    why = check_members(tar);
    // The rest of the stream is drained so that the decompressor ends on its own and its status
    // tells whether the whole archive was sound.
    char sink[TAR_BLOCK];
    while (fread(sink, 1, sizeof(sink), tar) > 0) {
    }
    if (pclose(tar) != 0 && why == nullptr)
        why = g_refuse_format;
    return why;
}

} // namespace

void install_oem(int bank)
{
    const oem_commands *cmds = &g_oem_commands[bank != 0];
    off_t size = 0;
    const char *why;

    if (staged_file(g_nooem_path, nullptr)) {
        run_command(cmds->clear);
        return;
    }
    if (!staged_file(g_oem_archive_path, &size) || size > OEM_ARCHIVE_MAX)
        return;
    why = check_archive();
    if (why != nullptr) {
        fprintf(stderr,
                "fwupgrade: the OEM archive %s; the OEM directory of bank %d is left as it "
                "was\n",
                why, bank);
        return;
    }
    run_command(cmds->create);
    run_command(cmds->clear);
    run_command(cmds->unpack);
}
