// SPDX-License-Identifier: MIT
// fwtool image: writes firmware images (the header from the device's own encoder) and inspects
// them field by field, checking the header CRC and both payload digests as the upgrade would.
#include "fwtool.h"

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <limits>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include "crc32.h"
#include "data.h"
#include "datablk.h"
#include "image.h"
#include "image_file.h"

namespace
{

enum sub_id { SUB_CREATE, SUB_INFO, SUB_MANIFEST, SUB_SIGN, SUB_VERIFY };

struct sub_command {
    const char *name;
    sub_id id;
    const char *synopsis;
    const char *summary;
    const char *help; // option lines; may be empty
};

const sub_command g_subs[] = {
    {"create", SUB_CREATE, "--model NAME --kernel FILE --root FILE -o IMAGE",
     "write IMAGE from a kernel and a root payload file",
     "  --model NAME   model the image is for, at most 15 characters (\"\" for any model)\n"
     "  --kernel FILE  kernel payload\n"
     "  --root FILE    root payload\n"
     "  -o IMAGE       image file to write (replaced; removed again when the run fails)\n"
     "  Both payload files must be regular, non-empty files.\n"},
    {"info", SUB_INFO, "[--json] IMAGE",
     "show the header of IMAGE and check its magic, header CRC and both payload digests",
     "  --json         one JSON object instead of the text\n"
     "  Exit status 0 when every check is good, 1 when one is bad (an empty payload is bad:\n"
     "  the device cannot boot it). With IMAGE.sig beside it, the signed manifest is shown\n"
     "  too, and whether it describes IMAGE ('fwtool image verify' checks the signature).\n"},
    {"manifest", SUB_MANIFEST, "IMAGE --key PUBLIC.pem [--version TEXT]",
     "print the manifest that signs IMAGE, for signing with openssl",
     "  --key PUBLIC.pem  the public key of the signing key (its id goes into the manifest)\n"
     "  --version TEXT    free version text, at most 64 printable characters\n"},
    {"sign", SUB_SIGN, "--key PRIVATE.pem IMAGE [-o SIG] [--version TEXT]",
     "write the signature file of IMAGE (default IMAGE.sig)",
     "  --key PRIVATE.pem  Ed25519 private key, as 'openssl genpkey -algorithm ed25519' writes\n"
     "  -o SIG             the signature file to write (replaced)\n"
     "  --version TEXT     free version text, at most 64 printable characters\n"},
    {"verify", SUB_VERIFY, "--keyring DIR IMAGE [SIG]",
     "check IMAGE's signature file (default IMAGE.sig) as the device does",
     "  --keyring DIR  directory of trusted public keys, one *.pem file each\n"
     "  Exit status 0 for a good signature by a key of DIR over a manifest that describes\n"
     "  IMAGE, 1 otherwise.\n"},
};

void sub_usage(FILE *out, const sub_command &s)
{
    fprintf(out, "usage: fwtool image %s %s\n%s.\n", s.name, s.synopsis, s.summary);
    if (s.help[0] != '\0')
        fprintf(out, "\n%s", s.help);
}

// ---- create

struct create_args {
    const char *model;
    const char *kernel;
    const char *root;
    const char *output;
};

struct create_option {
    const char *flag;
    const char *create_args::*field;
};

const create_option g_create_opts[] = {
    {"--model", &create_args::model},
    {"--kernel", &create_args::kernel},
    {"--root", &create_args::root},
    {"-o", &create_args::output},
};

bool parse_create(int argc, char **argv, create_args *out)
{
    *out = create_args{nullptr, nullptr, nullptr, nullptr};
    for (int i = 1; i < argc; i++) {
        const create_option *opt = nullptr;
        const char *value = nullptr;
        for (const create_option &o : g_create_opts) {
            const size_t n = strlen(o.flag);
            if (strcmp(argv[i], o.flag) == 0) {
                opt = &o;
            } else if (strncmp(argv[i], o.flag, n) == 0 && argv[i][n] == '=' && n > 2) {
                opt = &o; // GNU form, --model=NAME
                value = argv[i] + n + 1;
            }
        }
        if (opt == nullptr) {
            fwtool_usage_error("image create", "unknown argument '%s'", argv[i]);
            return false;
        }
        if (value == nullptr && i + 1 >= argc) {
            fwtool_usage_error("image create", "%s needs a value", opt->flag);
            return false;
        }
        out->*(opt->field) = value != nullptr ? value : argv[++i];
    }
    for (const create_option &o : g_create_opts) {
        if (out->*(o.field) == nullptr) {
            fwtool_usage_error("image create", "%s is required", o.flag);
            return false;
        }
    }
    if (strlen(out->model) >= (size_t)FW_NAME_LEN) {
        fwtool_usage_error("image create", "model name '%s' is longer than %d characters",
                           out->model, FW_NAME_LEN - 1);
        return false;
    }
    return true;
}

// ---- create: each payload file is read once, through MD5 and into the image; the header goes
// in last, over a zeroed placeholder, so a cut-short image never carries a valid header.

const size_t kCopyChunk = 1u << 20;
// The image is a host file: one fsync at the end makes it durable. Write-back is started every
// few MiB on the way, so that the disk works while the digests are computed and the final sync
// has little left to wait for.
const uint64_t kWritebackWindow = 8u << 20;

struct payload_file {
    const char *what; // "kernel" or "root"
    const char *path;
    int fd;
    struct stat st;
};

// Opens a payload file and checks it can make a bootable image: a regular file (the open does not
// wait for the writer of a FIFO, and nothing but a regular file is read), not empty, within what
// the device can address.
bool open_payload(payload_file *in)
{
    in->fd = open(in->path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (in->fd < 0) {
        fprintf(stderr, "fwtool image create: cannot open %s file '%s': %s\n", in->what, in->path,
                strerror(errno));
        return false;
    }
    if (fstat(in->fd, &in->st) != 0 || !S_ISREG(in->st.st_mode)) {
        fprintf(stderr, "fwtool image create: %s file '%s' is not a regular file\n", in->what,
                in->path);
        return false;
    }
    if (in->st.st_size == 0) {
        fprintf(stderr,
                "fwtool image create: %s file '%s' is empty; an image without a %s cannot "
                "boot\n",
                in->what, in->path, in->what);
        return false;
    }
    if (in->st.st_size > DATA_LEN_MAX) {
        fprintf(stderr,
                "fwtool image create: %s file '%s' is %lld bytes, more than the 2^31 - 1 the "
                "device can address\n",
                in->what, in->path, (long long)in->st.st_size);
        return false;
    }
    return true;
}

bool write_all(int fd, const uint8_t *buf, size_t len, off_t at)
{
    while (len > 0) {
        ssize_t n = pwrite(fd, buf, len, at);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            if (n == 0)
                errno = ENOSPC;
            return false;
        }
        buf += n;
        len -= (size_t)n;
        at += n;
    }
    return true;
}

// Where the image is being written.
struct image_out {
    const char *path;
    int fd;
    bool regular; // a regular file: synced at the end, removed when the run fails
    off_t pos;    // next byte to write
    off_t kicked; // write-back started up to here
};

enum copy_result { COPY_OK, COPY_INPUT, COPY_OUTPUT };

// Streams one payload into the image at out->pos, its digest into `blk`.
copy_result copy_payload(payload_file *in, image_out *out, uint8_t *buf, datablk *blk)
{
    md5_context ctx;
    uint64_t total = 0;

    md5_init(&ctx);
    for (;;) {
        ssize_t n = read(in->fd, buf, kCopyChunk);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            fprintf(stderr, "fwtool image create: reading %s '%s' failed: %s\n", in->what, in->path,
                    strerror(errno));
            return COPY_INPUT;
        }
        if (n == 0)
            break;
        total += (uint64_t)n;
        if (total > (uint64_t)in->st.st_size)
            break; // grown since it was opened: reported below
        md5_append(&ctx, buf, (int32_t)n);
        if (!write_all(out->fd, buf, (size_t)n, out->pos)) {
            fprintf(stderr, "fwtool image create: writing '%s' failed: %s\n", out->path,
                    strerror(errno));
            return COPY_OUTPUT;
        }
        out->pos += n;
        if (out->regular && (uint64_t)(out->pos - out->kicked) >= kWritebackWindow) {
            // A hint: its result changes nothing about what is written.
            (void)sync_file_range(out->fd, out->kicked, out->pos - out->kicked,
                                  SYNC_FILE_RANGE_WRITE);
            out->kicked = out->pos;
        }
    }
    if (total != (uint64_t)in->st.st_size) {
        fprintf(stderr, "fwtool image create: %s file '%s' changed size while it was read\n",
                in->what, in->path);
        return COPY_INPUT;
    }
    blk->size = (uint32_t)total;
    md5_finish(&ctx, blk->md5);
    return COPY_OK;
}

// The output must not be one of the inputs: opening it would empty the payload before it is read.
bool output_is_input(const char *path, const payload_file *inputs, size_t count)
{
    struct stat st;
    if (stat(path, &st) != 0)
        return false;
    for (size_t i = 0; i < count; i++) {
        if (st.st_dev == inputs[i].st.st_dev && st.st_ino == inputs[i].st.st_ino) {
            fprintf(stderr, "fwtool image create: the image '%s' would overwrite the %s file\n",
                    path, inputs[i].what);
            return true;
        }
    }
    return false;
}

// Copies what is left to read in `from` to `to`. False on a read or write error.
bool copy_stream(int from, int to, uint8_t *buf)
{
    for (;;) {
        ssize_t n = read(from, buf, kCopyChunk);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return n == 0;
        for (ssize_t done = 0; done < n;) {
            ssize_t w = write(to, buf + done, (size_t)(n - done));
            if (w < 0 && errno == EINTR)
                continue;
            if (w <= 0)
                return false;
            done += w;
        }
    }
}

// A file named "-" is standard input (read) or output (written).
bool is_stdio(const char *path)
{
    return strcmp(path, "-") == 0;
}

int write_image_file(const create_args &a, payload_file *inputs, uint8_t *buf)
{
    datablk blocks[PAYLOAD_COUNT];
    uint8_t header[FW_HEADER_LEN] = {};
    struct stat st;
    image_out out = {a.output, -1, false, FW_HEADER_LEN, 0};
    int status = FWTOOL_OK;

    const bool to_stdout = is_stdio(a.output);
    if (!to_stdout && output_is_input(a.output, inputs, PAYLOAD_COUNT))
        return FWTOOL_USAGE;
    // The root's position travels as a signed 32-bit value on the device.
    const uint64_t root_at = (uint64_t)FW_HEADER_LEN + (uint64_t)inputs[PAYLOAD_KERNEL].st.st_size;
    if (root_at > (uint64_t)DATA_LEN_MAX) {
        fprintf(stderr,
                "fwtool image create: the root would start at %llu, beyond the 2^31 - 1 bytes "
                "the device can address\n",
                (unsigned long long)root_at);
        return FWTOOL_USAGE;
    }
    // Where off_t has 32 bits (a 32-bit build without large-file support), so must the image.
    const uint64_t end = root_at + (uint64_t)inputs[PAYLOAD_ROOT].st.st_size;
    if (end > (uint64_t)std::numeric_limits<off_t>::max()) {
        fprintf(stderr,
                "fwtool image create: an image of %llu bytes is too large for this system\n",
                (unsigned long long)end);
        return FWTOOL_USAGE;
    }
    // The header is written last, at the start: standard output gets the image from a spool.
    FILE *spool = to_stdout ? tmpfile() : nullptr;
    if (to_stdout)
        out.fd = spool != nullptr ? fileno(spool) : -1;
    else
        out.fd = open(a.output, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (out.fd < 0) {
        fprintf(stderr, "fwtool image create: writing '%s' failed: %s\n", a.output,
                strerror(errno));
        return FWTOOL_USAGE;
    }
    out.regular = fstat(out.fd, &st) == 0 && S_ISREG(st.st_mode);
    for (int i = 0; i < PAYLOAD_COUNT; i++)
        init_datablk(&blocks[i]);
    if (!write_all(out.fd, header, sizeof(header), 0)) {
        fprintf(stderr, "fwtool image create: writing '%s' failed: %s\n", a.output,
                strerror(errno));
        status = FWTOOL_FAILED;
    }
    for (int i = 0; i < PAYLOAD_COUNT && status == FWTOOL_OK; i++) {
        copy_result rc = copy_payload(&inputs[i], &out, buf, &blocks[i]);
        if (rc != COPY_OK)
            status = rc == COPY_INPUT ? FWTOOL_USAGE : FWTOOL_FAILED;
    }
    if (status == FWTOOL_OK) {
        image_to_header(a.model, blocks, header);
        if (!write_all(out.fd, header, sizeof(header), 0) || (out.regular && fsync(out.fd) != 0)) {
            fprintf(stderr, "fwtool image create: writing '%s' failed: %s\n", a.output,
                    strerror(errno));
            status = FWTOOL_FAILED;
        }
    }
    if (to_stdout && status == FWTOOL_OK &&
        (lseek(out.fd, 0, SEEK_SET) != 0 || !copy_stream(out.fd, STDOUT_FILENO, buf))) {
        fprintf(stderr, "fwtool image create: writing standard output failed: %s\n",
                strerror(errno));
        status = FWTOOL_FAILED;
    }
    if (to_stdout) {
        fclose(spool);
    } else if (close(out.fd) != 0 && status == FWTOOL_OK) {
        fprintf(stderr, "fwtool image create: writing '%s' failed: %s\n", a.output,
                strerror(errno));
        status = FWTOOL_FAILED;
    }
    // A partial image is removed, so that it cannot be staged by mistake; what is not a regular
    // file (a device, say) is left alone.
    if (status != FWTOOL_OK && out.regular)
        unlink(a.output);
    // The summary stays off standard output when the image goes there.
    if (status == FWTOOL_OK)
        fprintf(to_stdout ? stderr : stdout, "%s: model '%s', kernel %u bytes, root %u bytes\n",
                a.output, a.model, (unsigned)blocks[PAYLOAD_KERNEL].size,
                (unsigned)blocks[PAYLOAD_ROOT].size);
    return status;
}

int cmd_create(int argc, char **argv)
{
    create_args a;
    payload_file inputs[PAYLOAD_COUNT] = {};
    int status = FWTOOL_USAGE;

    if (!parse_create(argc, argv, &a))
        return FWTOOL_USAGE;
    inputs[PAYLOAD_KERNEL] = {"kernel", a.kernel, -1, {}};
    inputs[PAYLOAD_ROOT] = {"root", a.root, -1, {}};
    uint8_t *buf = (uint8_t *)malloc(kCopyChunk);
    if (buf == nullptr)
        fprintf(stderr, "fwtool image create: no memory for a %zu-byte buffer\n", kCopyChunk);
    else if (open_payload(&inputs[PAYLOAD_KERNEL]) && open_payload(&inputs[PAYLOAD_ROOT]))
        status = write_image_file(a, inputs, buf);
    for (payload_file &in : inputs) {
        if (in.fd >= 0)
            close(in.fd);
    }
    free(buf);
    return status;
}

// ---- info

const char *verdict(bool good)
{
    return good ? "good" : "bad";
}

// One payload of the image as the upgrade would take it.
struct payload_check {
    const char *what;     // "kernel" or "root"
    fw_payload_desc desc; // from the header
    bool good;            // in range, not empty, digest matches
    bool computed;        // `md5` holds the digest of the bytes in the file
    uint8_t md5[MD5_DIGEST_LEN];
    char problem[96]; // why it is bad, when it is not a digest mismatch
};

struct info_result {
    const char *path;
    uint64_t file_size;
    size_t header_bytes; // bytes of the header that the file holds (up to 76)
    fw_image_header hdr;
    char name[FW_NAME_LEN];
    uint32_t crc; // computed over the header
    bool magic_ok, crc_ok;
    payload_check payload[PAYLOAD_COUNT];
    bool good;
};

// Digests one payload in place, as the upgrade would read it.
void check_payload(FILE *f, uint64_t file_size, payload_check *c)
{
    const fw_payload_desc &d = c->desc;
    uint64_t end = (uint64_t)d.offset + d.size;

    c->good = false;
    c->computed = false;
    c->problem[0] = '\0';
    if (d.size == 0) {
        snprintf(c->problem, sizeof(c->problem), "empty: an image without a %s cannot boot",
                 c->what);
        return;
    }
    if (d.offset > (uint32_t)DATA_LEN_MAX || d.size > (uint32_t)DATA_LEN_MAX) {
        snprintf(c->problem, sizeof(c->problem),
                 "beyond the 2^31 - 1 bytes the device can address");
        return;
    }
    if (end > file_size) {
        snprintf(c->problem, sizeof(c->problem), "payload ends at %llu, the file is %llu bytes",
                 (unsigned long long)end, (unsigned long long)file_size);
        return;
    }
    if (do_fread_data(nullptr, (int32_t)d.size, f, (long)d.offset, c->md5) != DATA_OK) {
        snprintf(c->problem, sizeof(c->problem), "read failed");
        return;
    }
    c->computed = true;
    c->good = memcmp(c->md5, d.md5, MD5_DIGEST_LEN) == 0;
}

void inspect(FILE *f, info_result *r)
{
    uint8_t bytes[FW_HEADER_LEN];

    r->good = false;
    r->header_bytes = fread(bytes, 1, FW_HEADER_LEN, f);
    if (r->header_bytes != (size_t)FW_HEADER_LEN)
        return;
    image_header_decode(bytes, &r->hdr);
    image_header_name(&r->hdr, r->name);
    r->crc = cyg_crc32(bytes, FW_HEADER_CRC_LEN);
    r->magic_ok = r->hdr.magic == FW_IMAGE_MAGIC;
    r->crc_ok = r->crc == r->hdr.header_crc;
    r->payload[PAYLOAD_KERNEL].what = "kernel";
    r->payload[PAYLOAD_KERNEL].desc = r->hdr.kernel;
    r->payload[PAYLOAD_ROOT].what = "root";
    r->payload[PAYLOAD_ROOT].desc = r->hdr.root;
    r->good = r->magic_ok && r->crc_ok;
    // The checks stop at the first that fails: past a bad magic or CRC the header's fields are
    // noise, and reading payloads from where it says would only add more.
    if (!r->good)
        return;
    for (payload_check &c : r->payload) {
        check_payload(f, r->file_size, &c);
        r->good = r->good && c.good;
    }
}

void print_md5(const uint8_t *md5)
{
    char hex[2 * MD5_DIGEST_LEN + 1];
    fwtool_md5_hex(md5, hex);
    fputs(hex, stdout);
}

// The model name as the loader hands it back, with unprintable bytes escaped.
void print_name(const char *name)
{
    if (name[0] == '\0') {
        printf("(none)");
        return;
    }
    for (const char *p = name; *p != '\0'; p++) {
        unsigned char c = (unsigned char)*p;
        if (c >= 0x20 && c < 0x7F)
            putchar(c);
        else
            printf("\\x%02x", c);
    }
}

void print_info(const info_result &r)
{
    if (r.header_bytes != (size_t)FW_HEADER_LEN) {
        printf("%s: %zu bytes, shorter than the %d-byte header\nimage:          bad\n", r.path,
               r.header_bytes, FW_HEADER_LEN);
        return;
    }
    if (!r.magic_ok) {
        printf("magic:          0x%08X (bad)\nimage:          bad\n", (unsigned)r.hdr.magic);
        return;
    }
    printf("model:          ");
    print_name(r.name);
    printf("\nmagic:          0x%08X (%s)\n", (unsigned)r.hdr.magic, verdict(r.magic_ok));
    printf("header length:  %u\n", (unsigned)r.hdr.header_len);
    for (const payload_check &c : r.payload) {
        printf("%-15s offset %u, size %u, md5 ", (std::string(c.what) + ":").c_str(),
               (unsigned)c.desc.offset, (unsigned)c.desc.size);
        print_md5(c.desc.md5);
        printf("\n");
    }
    printf("header crc:     stored 0x%08X, computed 0x%08X (%s)\n", (unsigned)r.hdr.header_crc,
           (unsigned)r.crc, verdict(r.crc_ok));
    for (const payload_check &c : r.payload) {
        if (!r.crc_ok)
            break;
        printf("%-15s %s", (std::string(c.what) + " digest:").c_str(), verdict(c.good));
        if (c.problem[0] != '\0') {
            printf(" (%s)", c.problem);
        } else if (!c.good) {
            printf(" (computed ");
            print_md5(c.md5);
            printf(")");
        }
        printf("\n");
    }
    printf("image:          %s\n", verdict(r.good));
    fwtool_sig_info(r.path, nullptr);
}

void print_info_json(const info_result &r)
{
    json_writer w;
    char hex[2 * MD5_DIGEST_LEN + 1];
    char word[16];

    json_begin(&w, stdout);
    json_string(&w, "path", r.path);
    json_int(&w, "file_size", (long long)r.file_size);
    if (r.header_bytes != (size_t)FW_HEADER_LEN) {
        const std::string why =
            "shorter than the " + std::to_string(FW_HEADER_LEN) + "-byte header";
        json_string(&w, "problem", why.c_str());
        json_bool(&w, "good", false);
        json_finish(&w);
        return;
    }
    snprintf(word, sizeof(word), "0x%08X", (unsigned)r.hdr.magic);
    if (!r.magic_ok) {
        json_string(&w, "magic", word);
        json_bool(&w, "magic_good", false);
        json_string(&w, "problem", "bad magic: not a firmware image");
        json_bool(&w, "good", false);
        json_finish(&w);
        return;
    }
    json_string(&w, "model", r.name);
    json_string(&w, "magic", word);
    json_bool(&w, "magic_good", r.magic_ok);
    json_int(&w, "header_len", r.hdr.header_len);
    for (const payload_check &c : r.payload) {
        if (!r.crc_ok)
            break; // the header's payload fields are not to be trusted
        json_object(&w, c.what);
        json_int(&w, "offset", c.desc.offset);
        json_int(&w, "size", c.desc.size);
        fwtool_md5_hex(c.desc.md5, hex);
        json_string(&w, "md5", hex);
        fwtool_md5_hex(c.md5, hex);
        json_string(&w, "computed_md5", c.computed ? hex : nullptr);
        json_bool(&w, "good", c.good);
        json_string(&w, "problem", c.problem[0] != '\0' ? c.problem : nullptr);
        json_end_object(&w);
    }
    snprintf(word, sizeof(word), "0x%08X", (unsigned)r.hdr.header_crc);
    json_string(&w, "header_crc", word);
    snprintf(word, sizeof(word), "0x%08X", (unsigned)r.crc);
    json_string(&w, "computed_crc", word);
    json_bool(&w, "crc_good", r.crc_ok);
    if (!r.crc_ok)
        json_string(&w, "problem", "the header CRC does not match");
    json_bool(&w, "good", r.good);
    fwtool_sig_info(r.path, &w);
    json_finish(&w);
}

int cmd_info(int argc, char **argv)
{
    struct stat st;
    const char *path = nullptr;
    bool json = false;
    int operands = 0;

    for (int i = 1; i < argc; i++) {
        if (strcmp(argv[i], "--json") == 0) {
            json = true;
        } else {
            path = argv[i];
            operands++;
        }
    }
    if (operands != 1) {
        fwtool_usage_error("image info", "expected one IMAGE argument");
        return FWTOOL_USAGE;
    }
    // Standard input is spooled: the checks read the payloads where the header places them.
    FILE *f = is_stdio(path) ? tmpfile() : fopen(path, "rb");
    if (f == nullptr) {
        fprintf(stderr, "fwtool image info: cannot open '%s': %s\n", path, strerror(errno));
        return FWTOOL_USAGE;
    }
    if (is_stdio(path)) {
        uint8_t *buf = (uint8_t *)malloc(kCopyChunk);
        bool copied = buf != nullptr && copy_stream(STDIN_FILENO, fileno(f), buf);
        free(buf);
        if (!copied) {
            fprintf(stderr, "fwtool image info: reading standard input failed: %s\n",
                    strerror(errno));
            fclose(f);
            return FWTOOL_USAGE;
        }
        rewind(f);
    }
    int status = FWTOOL_USAGE;
    if (fstat(fileno(f), &st) != 0 || !S_ISREG(st.st_mode)) {
        fprintf(stderr, "fwtool image info: '%s' is not a regular file\n", path);
    } else {
        info_result r = {};
        r.path = path;
        r.file_size = (uint64_t)st.st_size;
        inspect(f, &r);
        if (json)
            print_info_json(r);
        else
            print_info(r);
        status = r.good ? FWTOOL_OK : FWTOOL_FAILED;
    }
    fclose(f);
    return status;
}

} // namespace

bool fwtool_image_check(const char *path, char *why, size_t why_len)
{
    struct stat st;
    info_result r = {};
    FILE *f = fopen(path, "rb");

    if (f == nullptr) {
        snprintf(why, why_len, "cannot open it: %s", strerror(errno));
        return false;
    }
    if (fstat(fileno(f), &st) != 0 || !S_ISREG(st.st_mode)) {
        snprintf(why, why_len, "not a regular file");
        fclose(f);
        return false;
    }
    r.path = path;
    r.file_size = (uint64_t)st.st_size;
    inspect(f, &r);
    fclose(f);
    if (r.header_bytes != (size_t)FW_HEADER_LEN)
        snprintf(why, why_len, "shorter than the %d-byte header", FW_HEADER_LEN);
    else if (!r.magic_ok)
        snprintf(why, why_len, "bad magic");
    else if (!r.crc_ok)
        snprintf(why, why_len, "the header CRC does not match");
    for (const payload_check &c : r.payload) {
        if (r.magic_ok && r.crc_ok && !c.good) {
            snprintf(why, why_len, "%s digest: %s", c.what,
                     c.problem[0] != '\0' ? c.problem : "does not match");
            break;
        }
    }
    return r.good;
}

int fwtool_image(int argc, char **argv)
{
    int status;
    const sub_command *s = fwtool_pick_sub("image", g_subs, argc, argv, sub_usage, &status);

    if (s == nullptr)
        return status;
    switch (s->id) {
    case SUB_CREATE:
        return cmd_create(argc - 1, argv + 1);
    case SUB_INFO:
        return cmd_info(argc - 1, argv + 1);
    case SUB_MANIFEST:
        return fwtool_image_manifest(argc - 1, argv + 1);
    case SUB_SIGN:
        return fwtool_image_sign(argc - 1, argv + 1);
    case SUB_VERIFY:
        return fwtool_image_verify(argc - 1, argv + 1);
    }
    return FWTOOL_USAGE;
}
