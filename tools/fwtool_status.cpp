// SPDX-License-Identifier: MIT
// fwtool status: what a simulated device would do and holds, read from outside: the bank its boot
// script loads, the change marker, each bank's record, the bank its kernel command line names, each
// bank's partitions (and whether they hold a given image) and the last upgrade's progress record.
// Reads only.
#include "fwtool.h"

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include "bank_record.h"
#include "bank_state.h"
#include "status.h"
#include "rb_config.h"
#include "image.h"
#include "md5.h"
#include "progress.h"
#include "boot_judge.h"
#include "sim_device.h"

namespace
{

const char kUsage[] =
    "usage: fwtool status [--json] SANDBOX [--image FW.BIN]\n"
    "Shows a simulated device: the bank its boot script loads, the change marker, each bank's\n"
    "record (kelpvar/configN/bank_record), the bank its kernel command line names, the size of\n"
    "each bank's partitions and the last progress record. With --image, also whether each bank's "
    "partitions hold that image's payloads\n"
    "(their leading bytes match the image's digests).\n"
    "\n"
    "options:\n"
    "  --json         one JSON object instead of the text\n"
    "  --image FILE   compare the banks with the payloads of this firmware image\n"
    "\n"
    "Exit status 0 when the device would boot (and, with --image, boot that image); 1 when its\n"
    "boot script would not boot either bank, or the bank it loads does not hold the image;\n"
    "2 bad usage, not a sandbox, or an unreadable image.\n";

const char kMarker[] = "/var/lock/bootidx_changed";

// A verified record's digests: their names in the record's text, with '_' for '-' in JSON.
struct digest_field {
    const char *text_name;
    const char *json_name;
    size_t offset;
    size_t len;
};

const digest_field g_digests[] = {
    {"kernel-md5", "kernel_md5", offsetof(bank_record, kernel_md5), MD5_DIGEST_LEN},
    {"root-md5", "root_md5", offsetof(bank_record, root_md5), MD5_DIGEST_LEN},
    {"image-sha256", "image_sha256", offsetof(bank_record, image_sha256), SHA256_LEN},
    {"kernel-sha256", "kernel_sha256", offsetof(bank_record, kernel_sha256), SHA256_LEN},
    {"root-sha256", "root_sha256", offsetof(bank_record, root_sha256), SHA256_LEN},
};

std::string to_hex(const uint8_t *d, size_t n)
{
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (size_t i = 0; i < n; i++) {
        out += digits[d[i] >> 4];
        out += digits[d[i] & 0xf];
    }
    return out;
}

std::string digest_of(const bank_record &r, const digest_field &f)
{
    return to_hex(reinterpret_cast<const uint8_t *>(&r) + f.offset, f.len);
}

std::string signer_of(const bank_record &r)
{
    return r.is_signed ? to_hex(r.signer, KEY_ID_LEN) : "unsigned";
}

const char *const g_part_label[2][2] = {{"kernel0", "root0"}, {"kernel1", "root1"}};
const char *const g_payload_name[2] = {"kernel", "root"};
const size_t kDigestChunk = 65536;

enum holds_state {
    HOLDS_UNKNOWN, // no image to compare with
    HOLDS_YES,     // the leading bytes match the payload's digest
    HOLDS_DIFFERS, // they do not
    HOLDS_SMALLER, // the partition is smaller than the payload
    HOLDS_MISSING, // no such partition, or its device cannot be read
};

const char *const g_holds_text[] = {"", "matches", "differs", "is smaller than the payload",
                                    "is missing or unreadable"};

struct part_state {
    const char *label;
    int index;     // partition number, -1 when /proc/mtd does not name it
    uint32_t size; // from /proc/mtd
    holds_state holds;
};

struct status_args {
    const char *dir = nullptr;
    const char *image = nullptr;
    bool json = false;
};

struct device_state {
    int script_bank = -1;        // bank the boot loader would load; -1 none
    std::string script_problem;  // why it would not boot; empty when it would
    bool marker = false;         // the change marker counts (a file as the device program makes it)
    bool marker_ignored = false; // something else stands at its path: not trusted
    int marker_bank = -1;        // the running bank the marker recorded
    int cmdline_bank = -1;       // bank named by bootopt=; -1 none or unreadable
    int record_rc[2] = {BANK_RECORD_ERR_MISSING, BANK_RECORD_ERR_MISSING}; // bank_record_read's
    bank_record records[2] = {};                                           // when record_rc is 0
    bool cmdline_read = false; // proc/cmdline could be read
    part_state parts[2][2];    // [bank][kernel, root]
    bool have_image = false;
    fw_image_header image{};      // the given image's header
    char model[FW_NAME_LEN] = {}; // its model name
    int progress = PROGRESS_ABSENT;
    upgrade_progress record{};
    run_state run = RUN_GOING;
    char progress_why[384] = {};
};

// Each bank's record, a field a line, as the device's --status prints it.
void print_records_text(const device_state &st)
{
    for (int bank = 0; bank < 2; bank++) {
        const bank_record &r = st.records[bank];
        printf("bank %d record: %s\n", bank, status_record_state(st.record_rc[bank], &r));
        if (st.record_rc[bank] != 0)
            continue;
        printf("bank %d installed: %lld\n", bank, (long long)r.installed);
        if (r.state != BANK_VERIFIED)
            continue;
        printf("bank %d version: %s\n", bank, r.version);
        printf("bank %d signer: %s\n", bank, signer_of(r).c_str());
        for (const digest_field &f : g_digests)
            printf("bank %d %s: %s\n", bank, f.text_name, digest_of(r, f).c_str());
    }
}

void print_records_json(json_writer *w, const device_state &st)
{
    json_array(w, "bank_records");
    for (int bank = 0; bank < 2; bank++) {
        const bank_record &r = st.records[bank];
        const bool read = st.record_rc[bank] == 0;
        const bool verified = read && r.state == BANK_VERIFIED;
        json_object(w, nullptr);
        json_int(w, "bank", bank);
        json_string(w, "state", status_record_state(st.record_rc[bank], &r));
        if (read)
            json_int(w, "installed", r.installed);
        else
            json_null(w, "installed");
        json_string(w, "version", verified ? r.version : nullptr);
        json_string(w, "signer", verified ? signer_of(r).c_str() : nullptr);
        for (const digest_field &f : g_digests)
            json_string(w, f.json_name, verified ? digest_of(r, f).c_str() : nullptr);
        json_end_object(w);
    }
    json_end_array(w);
}

bool parse(int argc, char **argv, status_args *a)
{
    for (int i = 1; i < argc; i++) {
        const char *arg = argv[i];
        if (strcmp(arg, "--json") == 0) {
            a->json = true;
        } else if (strcmp(arg, "--image") == 0 || strncmp(arg, "--image=", 8) == 0) {
            a->image = arg[7] == '=' ? arg + 8 : (i + 1 < argc ? argv[++i] : nullptr);
            if (a->image == nullptr || a->image[0] == '\0') {
                fwtool_usage_error("status", "--image needs a file");
                return false;
            }
        } else if (arg[0] == '-' && arg[1] != '\0') {
            fwtool_usage_error("status", "unknown option '%s'", arg);
            return false;
        } else if (a->dir != nullptr) {
            fwtool_usage_error("status", "expected one SANDBOX, not also '%s'", arg);
            return false;
        } else {
            a->dir = arg;
        }
    }
    if (a->dir == nullptr) {
        fwtool_usage_error("status", "expected [--json] SANDBOX [--image FW.BIN]");
        return false;
    }
    return true;
}

// The given image's header; its payloads are not read, only their digests are used.
bool read_image(const char *path, device_state *st)
{
    uint8_t bytes[FW_HEADER_LEN];
    struct stat sb;
    FILE *f = fopen(path, "rb");
    bool ok = false;

    if (f == nullptr) {
        fprintf(stderr, "fwtool status: cannot open image '%s': %s\n", path, strerror(errno));
        return false;
    }
    if (fstat(fileno(f), &sb) != 0 || !S_ISREG(sb.st_mode))
        fprintf(stderr, "fwtool status: image '%s' is not a regular file\n", path);
    else if (fread(bytes, 1, sizeof(bytes), f) != sizeof(bytes) || image_header_check(bytes) != 0)
        fprintf(stderr,
                "fwtool status: '%s' is not a firmware image (short header, wrong magic "
                "or header CRC)\n",
                path);
    else
        ok = true;
    fclose(f);
    if (ok) {
        image_header_decode(bytes, &st->image);
        image_header_name(&st->image, st->model);
        st->have_image = true;
    }
    return ok;
}

// Whether the first `d.size` bytes of the partition's device have the payload's digest.
holds_state compare_payload(const std::string &dev, uint32_t part_size, const fw_payload_desc &d)
{
    static uint8_t buf[kDigestChunk];
    md5_context ctx;
    uint8_t md5[MD5_DIGEST_LEN];
    uint64_t left = d.size;

    if (d.size > part_size)
        return HOLDS_SMALLER;
    FILE *f = fopen(dev.c_str(), "rb");
    if (f == nullptr)
        return HOLDS_MISSING;
    md5_init(&ctx);
    while (left > 0) {
        size_t want = left < sizeof(buf) ? (size_t)left : sizeof(buf);
        size_t got = fread(buf, 1, want, f);
        md5_append(&ctx, buf, (int32_t)got);
        left -= got;
        if (got != want)
            break;
    }
    fclose(f);
    if (left > 0)
        return HOLDS_DIFFERS; // the device file is shorter than the payload
    md5_finish(&ctx, md5);
    return memcmp(md5, d.md5, MD5_DIGEST_LEN) == 0 ? HOLDS_YES : HOLDS_DIFFERS;
}

void read_partitions(const std::string &dir, device_state *st)
{
    std::string table;
    if (!sim::read_file(dir + "/proc/mtd", &table))
        table.clear();
    for (int bank = 0; bank < 2; bank++) {
        for (int p = 0; p < 2; p++) {
            part_state &ps = st->parts[bank][p];
            ps.label = g_part_label[bank][p];
            ps.size = 0;
            ps.index = sim::mtd_index(table, ps.label, &ps.size);
            ps.holds = HOLDS_UNKNOWN;
            if (!st->have_image)
                continue;
            const fw_payload_desc &d = p == 0 ? st->image.kernel : st->image.root;
            ps.holds =
                ps.index < 0
                    ? HOLDS_MISSING
                    : compare_payload(dir + "/dev/mtdblock" + std::to_string(ps.index), ps.size, d);
        }
    }
}

// The bank the boot loader would start, or the reason it would not boot.
void read_script(const std::string &dir, device_state *st)
{
    sim::boot_judgement j;
    std::string err;

    if (sim::judge_device(dir, &j, &err) != 0)
        st->script_problem = err;
    else if (j.verdict == sim::VERDICT_BANK)
        st->script_bank = j.bank;
    else if (j.verdict == sim::VERDICT_NO_BANK)
        st->script_problem = "the boot script loads neither bank (" + j.why + ")";
    else
        st->script_problem = j.why + ": the boot loader would stop at its prompt";
}

void read_state(const std::string &dir, device_state *st)
{
    struct stat sb;
    std::string cmdline;

    read_script(dir, st);
    // The device program's rule: only a file as it makes it (this user's, mode 0600, one name,
    // the running bank's digit and a newline) is the marker.
    if (lstat((dir + kMarker).c_str(), &sb) == 0) {
        std::string text;
        st->marker = S_ISREG(sb.st_mode) && sb.st_uid == geteuid() &&
                     (sb.st_mode & 07777) == 0600 && sb.st_nlink == 1 &&
                     sim::read_file(dir + kMarker, &text) && (text == "0\n" || text == "1\n");
        st->marker_bank = st->marker ? text[0] - '0' : -1;
        st->marker_ignored = !st->marker;
    }
    st->cmdline_read = sim::read_file(dir + "/proc/cmdline", &cmdline);
    if (st->cmdline_read) {
        int bank = boot_cmdline_override(cmdline.data(), cmdline.size());
        st->cmdline_bank = bank == 0 || bank == 1 ? bank : -1;
    }
    read_partitions(dir, st);
    for (int bank = 0; bank < 2; bank++)
        st->record_rc[bank] = bank_record_read(
            (dir + "/kelpvar/config" + std::to_string(bank) + "/bank_record").c_str(),
            &st->records[bank]);
    st->progress = fwtool_progress_snapshot(dir.c_str(), &st->record, &st->run, st->progress_why,
                                            sizeof(st->progress_why));
}

bool bank_holds_image(const device_state &st, int bank)
{
    return st.parts[bank][0].holds == HOLDS_YES && st.parts[bank][1].holds == HOLDS_YES;
}

// The device boots (and, when an image is given, boots that image).
bool boots_as_expected(const device_state &st)
{
    if (!st.script_problem.empty())
        return false;
    return !st.have_image || bank_holds_image(st, st.script_bank);
}

void print_text(const status_args &a, const device_state &st)
{
    printf("sandbox:       %s\n", a.dir);
    if (st.script_bank >= 0)
        printf("script bank:   %d (the boot script loads kernel%d and root%d)\n", st.script_bank,
               st.script_bank, st.script_bank);
    else
        printf("script bank:   none\n");
    if (!st.script_problem.empty())
        printf("boot:          would not boot: %s\n", st.script_problem.c_str());
    if (st.marker_ignored)
        printf("marker:        absent (var/lock/bootidx_changed is not the change marker the "
               "tool makes: not trusted)\n");
    else if (st.marker)
        printf("marker:        present (var/lock/bootidx_changed: bank %d ran when the script "
               "first changed)\n",
               st.marker_bank);
    else
        printf("marker:        absent\n");
    if (!st.cmdline_read)
        printf("cmdline bank:  none (proc/cmdline cannot be read)\n");
    else if (st.cmdline_bank < 0)
        printf("cmdline bank:  none (no bootopt=0 or bootopt=1 on the kernel command line)\n");
    else
        printf("cmdline bank:  %d (bootopt=%d on the kernel command line)\n", st.cmdline_bank,
               st.cmdline_bank);
    if (st.have_image)
        printf("image:         %s: model '%s', kernel %u bytes, root %u bytes\n", a.image, st.model,
               (unsigned)st.image.kernel.size, (unsigned)st.image.root.size);
    for (int bank = 0; bank < 2; bank++) {
        printf("bank %d:       ", bank);
        for (int p = 0; p < 2; p++) {
            const part_state &ps = st.parts[bank][p];
            if (ps.index < 0)
                printf("%s %s missing", p == 0 ? "" : ",", ps.label);
            else
                printf("%s %s %u bytes", p == 0 ? "" : ",", ps.label, (unsigned)ps.size);
        }
        if (st.have_image) {
            if (bank_holds_image(st, bank))
                printf("; holds the image: yes");
            else
                printf("; holds the image: no (%s %s, %s %s)", st.parts[bank][0].label,
                       g_holds_text[st.parts[bank][0].holds], st.parts[bank][1].label,
                       g_holds_text[st.parts[bank][1].holds]);
        }
        printf("\n");
    }
    print_records_text(st);
    printf("progress:      ");
    if (st.progress == PROGRESS_READ_OK)
        fwtool_progress_summary(stdout, st.record, st.run);
    else if (st.progress == PROGRESS_ABSENT)
        printf("none (no upgrade has run since the system started)\n");
    else
        printf("unreadable: %s\n", st.progress_why);
}

void print_json(const status_args &a, const device_state &st)
{
    json_writer w;
    char hex[2 * MD5_DIGEST_LEN + 1];

    json_begin(&w, stdout);
    json_string(&w, "sandbox", a.dir);
    if (st.script_bank >= 0)
        json_int(&w, "script_bank", st.script_bank);
    else
        json_null(&w, "script_bank");
    json_bool(&w, "boots", st.script_problem.empty());
    json_string(&w, "boot_problem",
                st.script_problem.empty() ? nullptr : st.script_problem.c_str());
    json_bool(&w, "marker", st.marker);
    json_bool(&w, "marker_ignored", st.marker_ignored);
    if (st.cmdline_bank >= 0)
        json_int(&w, "cmdline_bank", st.cmdline_bank);
    else
        json_null(&w, "cmdline_bank");
    if (st.marker)
        json_int(&w, "marker_bank", st.marker_bank);
    else
        json_null(&w, "marker_bank");
    if (st.have_image) {
        json_object(&w, "image");
        json_string(&w, "path", a.image);
        json_string(&w, "model", st.model);
        for (int p = 0; p < 2; p++) {
            const fw_payload_desc &d = p == 0 ? st.image.kernel : st.image.root;
            json_object(&w, g_payload_name[p]);
            json_int(&w, "size", d.size);
            fwtool_md5_hex(d.md5, hex);
            json_string(&w, "md5", hex);
            json_end_object(&w);
        }
        json_end_object(&w);
    } else {
        json_null(&w, "image");
    }
    json_array(&w, "banks");
    for (int bank = 0; bank < 2; bank++) {
        json_object(&w, nullptr);
        json_int(&w, "bank", bank);
        for (int p = 0; p < 2; p++) {
            const part_state &ps = st.parts[bank][p];
            json_object(&w, g_payload_name[p]);
            json_string(&w, "label", ps.label);
            if (ps.index >= 0)
                json_int(&w, "size", ps.size);
            else
                json_null(&w, "size");
            if (st.have_image)
                json_bool(&w, "holds_image", ps.holds == HOLDS_YES);
            else
                json_null(&w, "holds_image");
            json_end_object(&w);
        }
        if (st.have_image)
            json_bool(&w, "holds_image", bank_holds_image(st, bank));
        else
            json_null(&w, "holds_image");
        json_end_object(&w);
    }
    json_end_array(&w);
    print_records_json(&w, st);
    if (st.progress == PROGRESS_READ_OK) {
        json_object(&w, "progress");
        fwtool_progress_json(&w, st.record, st.run);
        json_end_object(&w);
        json_null(&w, "progress_problem");
    } else {
        // No record is the normal state of a device no upgrade has run on, not a problem.
        json_null(&w, "progress");
        if (st.progress == PROGRESS_ABSENT)
            json_null(&w, "progress_problem");
        else
            json_string(&w, "progress_problem", st.progress_why);
    }
    json_finish(&w);
}

} // namespace

int fwtool_status(int argc, char **argv)
{
    status_args a;
    device_state st;

    for (int i = 1; i < argc; i++) {
        if (fwtool_is_help(argv[i])) {
            fputs(kUsage, stdout);
            return FWTOOL_OK;
        }
    }
    if (!parse(argc, argv, &a))
        return FWTOOL_USAGE;
    if (!fwtool_is_sandbox(a.dir)) {
        fprintf(stderr, "fwtool status: %s is not a sandbox (no simulated proc/mtd)\n", a.dir);
        return FWTOOL_USAGE;
    }
    if (a.image != nullptr && !read_image(a.image, &st))
        return FWTOOL_USAGE;
    read_state(a.dir, &st);
    if (a.json)
        print_json(a, st);
    else
        print_text(a, st);
    return boots_as_expected(st) ? FWTOOL_OK : FWTOOL_FAILED;
}
