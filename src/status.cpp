// SPDX-License-Identifier: MIT
// --status: the device's state as the boot commands and the upgrade decide it, read only.
#include "status.h"

#include <cerrno>
#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <sys/ipc.h>
#include <sys/shm.h>

#include "bank_record.h"
#include "bank_state.h"
#include "lock_files.h"
#include "paths.h"
#include "platform.h"
#include "progress.h"
#include "rb_config.h"

namespace
{

enum : int {
    BANK_COUNT = 2,
    HEX_MAX = 2 * SHA256_LEN + 1, // the longest digest in hex, and its NUL
};

// What stands at the progress record's key.
enum : int {
    SHM_READ = 0,   // the record was copied
    SHM_ABSENT = 1, // no segment: no upgrade since the system started
    SHM_ERROR = 2,  // a segment that cannot be attached or is too small
};

// Everything --status tells, read once before anything is printed.
struct device_status {
    int script_bank;                 // 0 or 1, BOOT_ERR_NOT_FOUND, or the read's error
    int marker;                      // 0, 1 or BOOT_MARKER_*
    int cmdline_bank;                // 0 or 1; negative when bootopt= names none
    int running;                     // boot_running_bank's decision
    const char *source;              // what decided it
    int record_rc[BANK_COUNT];       // bank_record_read's result per bank
    bank_record records[BANK_COUNT]; // each bank's record when record_rc is 0
    int shm;                         // SHM_*
    upgrade_progress progress;       // the copied record when shm is SHM_READ
};

const char *const g_record_state_names[] = {"none", "being-written", "verified", "unreadable",
                                            "malformed"};

bool is_bank(int bank)
{
    return bank == 0 || bank == 1;
}

int shm_read(upgrade_progress *out)
{
    struct shmid_ds ds;
    int id = shmget(platform_progress_key(), 0, 0); // never created here
    void *at;

    if (id < 0)
        return errno == ENOENT ? SHM_ABSENT : SHM_ERROR;
    if (shmctl(id, IPC_STAT, &ds) != 0 || ds.shm_segsz < sizeof(*out))
        return SHM_ERROR;
    at = shmat(id, nullptr, SHM_RDONLY);
    if (at == (void *)-1)
        return SHM_ERROR;
    memcpy(out, at, sizeof(*out));
    shmdt(at);
    return SHM_READ;
}

void read_status(device_status *st)
{
    char buf[PLATFORM_PATH_MAX];

    memset(st, 0, sizeof(*st));
    st->script_bank = get_boot_bank();
    st->marker = boot_marker_read();
    st->cmdline_bank = boot_cmdline_bank();
    st->running = boot_running_bank(st->script_bank, st->marker, st->cmdline_bank);
    st->source = is_bank(st->cmdline_bank) ? "bootopt"
                 : is_bank(st->marker)     ? "marker"
                 : is_bank(st->running)    ? "script"
                                           : nullptr;
    for (int bank = 0; bank < BANK_COUNT; bank++) {
        const char *path = platform_path(g_bank_record_paths[bank], buf, sizeof(buf));
        st->record_rc[bank] =
            path == nullptr ? BANK_RECORD_ERR_READ : bank_record_read(path, &st->records[bank]);
    }
    st->shm = shm_read(&st->progress);
}

const char *record_state(const device_status *st, int bank)
{
    return status_record_state(st->record_rc[bank], &st->records[bank]);
}

// `n` bytes as lower-case hex into `out` (HEX_MAX bytes), NUL-terminated.
void hex(const uint8_t *d, size_t n, char *out)
{
    static const char digits[] = "0123456789abcdef";

    out[0] = '\0';
    for (size_t i = 0; i < n && 2 * i + 2 < HEX_MAX; i++) {
        out[2 * i] = digits[d[i] >> 4];
        out[2 * i + 1] = digits[d[i] & 0xf];
        out[2 * i + 2] = '\0';
    }
}

// The digests of a verified record, by their names in the record's text.
struct digest_field {
    const char *name;
    size_t offset;
    size_t len;
};

const digest_field g_digests[] = {
    {"kernel-md5", offsetof(bank_record, kernel_md5), MD5_DIGEST_LEN},
    {"root-md5", offsetof(bank_record, root_md5), MD5_DIGEST_LEN},
    {"image-sha256", offsetof(bank_record, image_sha256), SHA256_LEN},
    {"kernel-sha256", offsetof(bank_record, kernel_sha256), SHA256_LEN},
    {"root-sha256", offsetof(bank_record, root_sha256), SHA256_LEN},
};

const char *marker_text(int marker)
{
    return marker == BOOT_MARKER_ABSENT ? "absent" : marker == BOOT_MARKER_FOREIGN ? "foreign" : "";
}

void print_progress_text(const upgrade_progress &p)
{
    printf("progress:          stage %" PRId32 ", kernel %" PRIu32 " of %" PRIu32
           " bytes, root %" PRIu32 " of %" PRIu32 " bytes",
           p.stage, p.kernel_done, p.kernel_total, p.root_done, p.root_total);
    if (p.stage == UPGRADE_STAGE_FAILED)
        printf(", failed with code %d\n", (int)(int8_t)p.percent);
    else
        printf(", %u%%\n", (unsigned)p.percent);
}

void print_text(const device_status *st)
{
    char digest[HEX_MAX];

    if (is_bank(st->running))
        printf("running bank:      %d (from %s)\n", st->running,
               st->source[0] == 'b'   ? "bootopt= on the kernel command line"
               : st->source[0] == 'm' ? "the change marker"
                                      : "the boot script");
    else
        printf("running bank:      unknown\n");
    if (is_bank(st->script_bank))
        printf("script bank:       %d\n", st->script_bank);
    else
        printf("script bank:       none\n");
    if (is_bank(st->marker))
        printf("marker:            bank %d\n", st->marker);
    else
        printf("marker:            %s\n", marker_text(st->marker));
    if (is_bank(st->cmdline_bank))
        printf("cmdline bank:      %d\n", st->cmdline_bank);
    else
        printf("cmdline bank:      none\n");
    for (int bank = 0; bank < BANK_COUNT; bank++) {
        const bank_record &r = st->records[bank];
        printf("bank %d record:     %s\n", bank, record_state(st, bank));
        if (st->record_rc[bank] != 0)
            continue;
        printf("bank %d installed:  %" PRId64 "\n", bank, r.installed);
        if (r.state != BANK_VERIFIED)
            continue;
        printf("bank %d version:    %s\n", bank, r.version);
        hex(r.signer, KEY_ID_LEN, digest);
        printf("bank %d signer:     %s\n", bank, r.is_signed ? digest : "unsigned");
        for (const digest_field &f : g_digests) {
            hex((const uint8_t *)&r + f.offset, f.len, digest);
            printf("bank %d %s:%*s%s\n", bank, f.name, (int)(14 - strlen(f.name)), "", digest);
        }
    }
    if (st->shm == SHM_READ)
        print_progress_text(st->progress);
    else
        printf("progress:          %s\n", st->shm == SHM_ABSENT ? "none" : "unreadable");
}

// The JSON writer: members of one flat object, or of the one level below it.
struct json_out {
    bool comma; // a member was written at this level: the next needs a comma
};

void json_key(json_out *j, const char *key)
{
    printf("%s\"%s\":", j->comma ? "," : "", key);
    j->comma = true;
}

void json_int(json_out *j, const char *key, long long value, bool present = true)
{
    json_key(j, key);
    if (present)
        printf("%lld", value);
    else
        printf("null");
}

void json_str(json_out *j, const char *key, const char *value)
{
    char quoted[STATUS_JSON_STRING_MAX];

    json_key(j, key);
    if (value == nullptr || status_json_quote(value, quoted, sizeof(quoted)) < 0)
        printf("null");
    else
        printf("%s", quoted);
}

void json_record(const device_status *st, int bank)
{
    const bank_record &r = st->records[bank];
    const bool read = st->record_rc[bank] == 0;
    const bool verified = read && r.state == BANK_VERIFIED;
    char digest[HEX_MAX];
    char name[16];
    json_out j = {false};

    printf("%s{", bank > 0 ? "," : "");
    json_int(&j, "bank", bank);
    json_str(&j, "state", record_state(st, bank));
    json_int(&j, "installed", r.installed, read);
    json_str(&j, "version", verified ? r.version : nullptr);
    hex(r.signer, KEY_ID_LEN, digest);
    json_str(&j, "signer", !verified ? nullptr : r.is_signed ? digest : "unsigned");
    for (const digest_field &f : g_digests) {
        // JSON keys use underscores where the record's text has a dash.
        snprintf(name, sizeof(name), "%s", f.name);
        for (char *c = name; *c != '\0'; c++)
            *c = *c == '-' ? '_' : *c;
        hex((const uint8_t *)&r + f.offset, f.len, digest);
        json_str(&j, name, verified ? digest : nullptr);
    }
    printf("}");
}

void print_json(const device_status *st)
{
    const upgrade_progress &p = st->progress;
    json_out j = {false};

    printf("{");
    json_int(&j, "running_bank", st->running, is_bank(st->running));
    json_str(&j, "running_source", st->source);
    json_int(&j, "script_bank", st->script_bank, is_bank(st->script_bank));
    json_key(&j, "marker");
    printf(is_bank(st->marker) ? "true" : "false");
    json_key(&j, "marker_ignored");
    printf(st->marker == BOOT_MARKER_FOREIGN ? "true" : "false");
    json_int(&j, "cmdline_bank", st->cmdline_bank, is_bank(st->cmdline_bank));
    json_int(&j, "marker_bank", st->marker, is_bank(st->marker));
    json_key(&j, "bank_records");
    printf("[");
    for (int bank = 0; bank < BANK_COUNT; bank++)
        json_record(st, bank);
    printf("]");
    json_key(&j, "progress");
    if (st->shm == SHM_READ) {
        const bool failed = p.stage == UPGRADE_STAGE_FAILED;
        json_out k = {false};
        printf("{");
        json_int(&k, "stage", p.stage);
        json_str(&k, "state",
                 failed                          ? "failed"
                 : p.stage == UPGRADE_STAGE_DONE ? "done"
                                                 : "running");
        json_int(&k, "kernel_done", p.kernel_done);
        json_int(&k, "kernel_total", p.kernel_total);
        json_int(&k, "root_done", p.root_done);
        json_int(&k, "root_total", p.root_total);
        json_int(&k, "stage_percent", p.percent, !failed);
        if (failed)
            json_int(&k, "code", (int8_t)p.percent);
        printf("}");
    } else {
        printf("null");
    }
    json_str(&j, "progress_problem",
             st->shm == SHM_ERROR ? "the progress record cannot be attached or is too small"
                                  : nullptr);
    printf("}\n");
}

} // namespace

const char *status_record_state(int read_rc, const bank_record *r)
{
    switch (read_rc) {
    case 0:
        return g_record_state_names[r->state == BANK_VERIFIED ? 2 : 1];
    case BANK_RECORD_ERR_MISSING:
        return g_record_state_names[0];
    case BANK_RECORD_ERR_FORMAT:
        return g_record_state_names[4];
    default:
        return g_record_state_names[3];
    }
}

int status_json_quote(const char *text, char *out, size_t size)
{
    size_t n = 0;

    if (size < 3) {
        if (size > 0)
            out[0] = '\0';
        return -1;
    }
    out[n++] = '"';
    for (const char *c = text; *c != '\0'; c++) {
        unsigned char b = (unsigned char)*c;
        size_t need = b == '"' || b == '\\' ? 2 : b < 0x20 ? 6 : 1;
        // Room for this byte's text, the closing quote and the NUL, or nothing at all.
        if (n + need + 2 > size) {
            out[0] = '\0';
            return -1;
        }
        if (need == 6) {
            snprintf(out + n, size - n, "\\u%04x", b);
        } else {
            if (need == 2)
                out[n] = '\\';
            out[n + need - 1] = (char)b;
        }
        n += need;
    }
    out[n++] = '"';
    out[n] = '\0';
    return (int)n;
}

int status_main(const char *command, bool json)
{
    device_status st;

    read_status(&st);
    if (json)
        print_json(&st);
    else
        print_text(&st);
    if (is_bank(st.script_bank) || st.script_bank == BOOT_ERR_NOT_FOUND)
        return 0;
    fprintf(stderr, "%s: --status: the configuration block could not be read (code %d)\n", command,
            st.script_bank);
    return st.script_bank;
}
