// fwtool image: writes firmware images with the device's own image writer and inspects them
// field by field, checking the header CRC and both payload digests as the upgrade would.
#include "fwtool.h"

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <sys/stat.h>

#include "crc32.h"
#include "data.h"
#include "data_blk.h"
#include "image.h"

namespace
{

enum sub_id { SUB_CREATE, SUB_INFO };

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
     "  -o IMAGE       image file to write (replaced)\n"},
    {"info", SUB_INFO, "IMAGE",
     "show the header of IMAGE and check its magic, header CRC and both payload digests",
     "  Exit status 0 when every check is good, 1 when one is bad.\n"},
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
        for (const create_option &o : g_create_opts) {
            if (strcmp(argv[i], o.flag) == 0)
                opt = &o;
        }
        if (opt == nullptr) {
            fprintf(stderr, "fwtool image create: unknown argument '%s'\n", argv[i]);
            return false;
        }
        if (i + 1 >= argc) {
            fprintf(stderr, "fwtool image create: %s needs a value\n", opt->flag);
            return false;
        }
        out->*(opt->field) = argv[++i];
    }
    for (const create_option &o : g_create_opts) {
        if (out->*(o.field) == nullptr) {
            fprintf(stderr, "fwtool image create: %s is required\n", o.flag);
            return false;
        }
    }
    if (strlen(out->model) >= (size_t)FW_NAME_LEN) {
        fprintf(stderr, "fwtool image create: model name '%s' is longer than %d characters\n",
                out->model, FW_NAME_LEN - 1);
        return false;
    }
    return true;
}

// Checks up front so that an unusable payload file gets one clear line with the reason.
bool readable(const char *what, const char *path)
{
    struct stat st;
    FILE *f = fopen(path, "rb");

    if (f == nullptr) {
        fprintf(stderr, "fwtool image create: cannot open %s file '%s': %s\n", what, path,
                strerror(errno));
        return false;
    }
    bool regular = fstat(fileno(f), &st) == 0 && S_ISREG(st.st_mode);
    fclose(f);
    if (!regular)
        fprintf(stderr, "fwtool image create: %s file '%s' is not a regular file\n", what, path);
    return regular;
}

int cmd_create(int argc, char **argv)
{
    create_args a;
    datablk blocks[2];
    int status = FWTOOL_OK;

    if (!parse_create(argc, argv, &a))
        return FWTOOL_USAGE;
    if (!readable("kernel", a.kernel) || !readable("root", a.root))
        return FWTOOL_USAGE;

    init_datablk(&blocks[0]);
    init_datablk(&blocks[1]);
    int rc = load_datablk_from_file(&blocks[0], a.kernel);
    if (rc != DATA_OK) {
        fprintf(stderr, "fwtool image create: reading kernel '%s' failed (%d)\n", a.kernel, rc);
        status = FWTOOL_USAGE;
    }
    if (status == FWTOOL_OK) {
        rc = load_datablk_from_file(&blocks[1], a.root);
        if (rc != DATA_OK) {
            fprintf(stderr, "fwtool image create: reading root '%s' failed (%d)\n", a.root, rc);
            status = FWTOOL_USAGE;
        }
    }
    if (status == FWTOOL_OK) {
        rc = dump_image_to_file(a.model, blocks, a.output);
        if (rc != DATA_OK) {
            fprintf(stderr, "fwtool image create: writing '%s' failed (%d)\n", a.output, rc);
            status = rc == DATA_ERR_OPEN ? FWTOOL_USAGE : FWTOOL_FAILED;
        }
    }
    if (status == FWTOOL_OK)
        printf("%s: model '%s', kernel %u bytes, root %u bytes\n", a.output, a.model,
               (unsigned)blocks[0].size, (unsigned)blocks[1].size);
    cleanup_datablk(&blocks[0]);
    cleanup_datablk(&blocks[1]);
    return status;
}

// ---- info

const char *verdict(bool good)
{
    return good ? "good" : "bad";
}

void print_md5(const uint8_t *md5)
{
    for (int i = 0; i < MD5_DIGEST_LEN; i++)
        printf("%02x", md5[i]);
}

// The model name as the loader hands it back, with unprintable bytes escaped.
void print_name(const fw_image_header &hdr)
{
    char name[FW_NAME_LEN];

    image_header_name(&hdr, name);
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

// Digests one payload in place, as the upgrade would read it. Prints the verdict line and
// returns whether the digest matches.
bool check_payload(FILE *f, uint64_t file_size, const char *what, const fw_payload_desc &d)
{
    uint8_t md5[MD5_DIGEST_LEN];
    uint64_t end = (uint64_t)d.offset + d.size;

    printf("%-15s ", what);
    if (d.offset > (uint32_t)DATA_LEN_MAX || d.size > (uint32_t)DATA_LEN_MAX) {
        printf("bad (beyond the 2^31 - 1 bytes the device can address)\n");
        return false;
    }
    if (end > file_size) {
        printf("bad (payload ends at %llu, the file is %llu bytes)\n", (unsigned long long)end,
               (unsigned long long)file_size);
        return false;
    }
    if (do_fread_data(nullptr, (int32_t)d.size, f, (long)d.offset, md5) != DATA_OK) {
        printf("bad (read failed)\n");
        return false;
    }
    bool good = memcmp(md5, d.md5, MD5_DIGEST_LEN) == 0;
    printf("%s", verdict(good));
    if (!good) {
        printf(" (computed ");
        print_md5(md5);
        printf(")");
    }
    printf("\n");
    return good;
}

int show_image(FILE *f, const char *path, uint64_t file_size)
{
    uint8_t bytes[FW_HEADER_LEN];
    fw_image_header hdr;

    size_t got = fread(bytes, 1, FW_HEADER_LEN, f);
    if (got != (size_t)FW_HEADER_LEN) {
        printf("%s: %zu bytes, shorter than the %d-byte header\nimage:          bad\n", path, got,
               FW_HEADER_LEN);
        return FWTOOL_FAILED;
    }
    image_header_decode(bytes, &hdr);
    uint32_t crc = cyg_crc32(bytes, FW_HEADER_CRC_LEN);
    bool magic_ok = hdr.magic == FW_IMAGE_MAGIC;
    bool crc_ok = crc == hdr.header_crc;

    printf("model:          ");
    print_name(hdr);
    printf("\nmagic:          0x%08X (%s)\n", (unsigned)hdr.magic, verdict(magic_ok));
    printf("header length:  %u\n", (unsigned)hdr.header_len);
    printf("kernel:         offset %u, size %u, md5 ", (unsigned)hdr.kernel.offset,
           (unsigned)hdr.kernel.size);
    print_md5(hdr.kernel.md5);
    printf("\nroot:           offset %u, size %u, md5 ", (unsigned)hdr.root.offset,
           (unsigned)hdr.root.size);
    print_md5(hdr.root.md5);
    printf("\nheader crc:     stored 0x%08X, computed 0x%08X (%s)\n", (unsigned)hdr.header_crc,
           (unsigned)crc, verdict(crc_ok));
    bool kernel_ok = check_payload(f, file_size, "kernel digest:", hdr.kernel);
    bool root_ok = check_payload(f, file_size, "root digest:", hdr.root);
    bool all_ok = magic_ok && crc_ok && kernel_ok && root_ok;
    printf("image:          %s\n", verdict(all_ok));
    return all_ok ? FWTOOL_OK : FWTOOL_FAILED;
}

int cmd_info(int argc, char **argv)
{
    struct stat st;

    if (argc != 2) {
        fprintf(stderr, "fwtool image info: expected one IMAGE argument\n");
        return FWTOOL_USAGE;
    }
    const char *path = argv[1];
    FILE *f = fopen(path, "rb");
    if (f == nullptr) {
        fprintf(stderr, "fwtool image info: cannot open '%s': %s\n", path, strerror(errno));
        return FWTOOL_USAGE;
    }
    int status = FWTOOL_USAGE;
    if (fstat(fileno(f), &st) != 0 || !S_ISREG(st.st_mode))
        fprintf(stderr, "fwtool image info: '%s' is not a regular file\n", path);
    else
        status = show_image(f, path, (uint64_t)st.st_size);
    fclose(f);
    return status;
}

} // namespace

int fwtool_image(int argc, char **argv)
{
    if (argc < 2) {
        fwtool_family_usage(stderr, "image", g_subs);
        return FWTOOL_USAGE;
    }
    if (fwtool_is_help(argv[1])) {
        fwtool_family_usage(stdout, "image", g_subs);
        return FWTOOL_OK;
    }
    for (const sub_command &s : g_subs) {
        if (strcmp(argv[1], s.name) != 0)
            continue;
        for (int i = 2; i < argc; i++) {
            if (fwtool_is_help(argv[i])) {
                sub_usage(stdout, s);
                return FWTOOL_OK;
            }
        }
        switch (s.id) {
        case SUB_CREATE:
            return cmd_create(argc - 1, argv + 1);
        case SUB_INFO:
            return cmd_info(argc - 1, argv + 1);
        }
    }
    fprintf(stderr, "fwtool image: unknown command '%s'\n", argv[1]);
    fwtool_family_usage(stderr, "image", g_subs);
    return FWTOOL_USAGE;
}
