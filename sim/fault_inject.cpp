// SPDX-License-Identifier: MIT
// Fault injection for end-to-end tests: preloaded (LD_PRELOAD) into fwupgrade-sim, it makes
// chosen calls on chosen files fail, so that the program's handling of failing flash is run for
// real. Files are named by the end of their path, whole components ("mtdblock5", "tmpfs/...").
//
// FWUP_FAULT: comma-separated rules "op:suffix" or "op:suffix:after=N".
//   fseek:S                fseek/fseeko on a stream of S fail (ESPIPE)
//   fwrite:S[:after=N]     fwrite lets the first N bytes (default 0) through to S, then writes
//                          short (ENOSPC)
//   fflush:S               fflush of a stream of S fails (EIO)
//   fsync:S[:after=N]      fsync or fdatasync of a descriptor of S fails (EIO), after the first N
//                          (default 0) of them succeeded
//   write:S                write() on a descriptor of S fails (EIO), nothing written
//   verify-corrupt:S[:after=N]  the byte at file offset N (default 0) of S comes back from fread
//                          with its lowest bit flipped; the file itself is untouched
//   stage-shrink:S[:after=N]  at the first fread from S after freads of N bytes (default 0) in
//                          all, S is cut to half its length: a staged file that shrinks while the
//                          program runs
//   stage-change:S[:after=N]  likewise, but the lowest bit of the last byte of S is flipped in the
//                          file itself
//   exchange:S             renameat2 asked to swap two entries onto S fails (EINVAL), as on a file
//                          system that cannot swap
// FWUP_LOCK_TRACE: a file to which every record written to proc/strata/lock or
//   proc/strata/unlock is appended as "lock <record>" or "unlock <record>". The driver's control
//   files are opened with "w", so they show only the last record; the trace shows them all.
// FWUP_SYNC_TRACE: a file to which every fsync and fdatasync is appended as "fsync <path>", and
//   every fflush of a stream on a file as "fflush <path>": what reached the device, and when.
// FWUP_KILL_AT=N: the process kills itself with SIGKILL at the entry of its Nth (from 1) call
//   that can change a file or shared state (an open for writing or creating, a write, a flush, a
//   sync, a rename, a removal, a mode change, a shell command, a shared segment made): a power
//   cut just before that call. The programs it starts see none of these variables.
// FWUP_CALL_COUNT: a file that receives the number of such calls when the process exits.
// FWUP_NO_PAUSE: sleep() returns at once, so that the many runs of a kill campaign skip the
//   upgrade's pause after its success.
// FWUP_NOR_TALLY: a file to which the time a NOR flash behind mtdblock would spend on the
//   program's traffic to the flash block devices (dev/mtdblockN) is appended, one line per device
//   as a stream on it is closed, and at exit for what is left:
//   "nor <path> erases E programmed P filled F read R us T". Stream writes and reads count, and
//   write() (the configuration block's store); read() does not. The model follows mtdblock: the
//   page cache holds written sectors until an fsync or the close; mtdblock then takes them in
//   order into its one cached erase block, which it fills from the flash first (F bytes) and
//   writes back, one erase and a program of the whole block, when another block is written, at
//   each sync and at the close. Reads (R bytes) of what neither cache holds come from the flash.
//   T is the sum in microseconds; nothing sleeps. The erase size is the device's own, from the
//   proc/mtd beside its dev directory (128 KiB without one). Figures: FWUP_NOR_ERASE_US per erase
//   block, FWUP_NOR_PROGRAM_NS and FWUP_NOR_READ_NS per byte; the defaults are the typical values
//   of a 3 V parallel NOR of uniform 128 KiB blocks (see g_nor_defaults).
#include <cerrno>
#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cstdint>
#include <dlfcn.h>
#include <fcntl.h>
#include <sys/shm.h>
#include <sys/stat.h>
#include <unistd.h>

namespace
{

enum fault_op {
    OP_FSEEK,
    OP_FWRITE,
    OP_FFLUSH,
    OP_FSYNC,
    OP_WRITE,
    OP_CORRUPT,
    OP_SHRINK,
    OP_CHANGE,
    OP_EXCHANGE,
    OP_COUNT
};

const char *const g_op_names[OP_COUNT] = {"fseek",        "fwrite",       "fflush",
                                          "fsync",        "write",        "verify-corrupt",
                                          "stage-shrink", "stage-change", "exchange"};

enum : int {
    MAX_RULES = 8,
    SUFFIX_LEN = 128,
    PATH_LEN = 4096,
    RECORD_LEN = 256,
};

struct rule {
    fault_op op;
    char suffix[SUFFIX_LEN];
    long long after;  // fwrite: bytes let through; verify-corrupt: offset of the flipped byte;
                      // stage-*: bytes read before the file changes; fsync: syncs let through
    long long passed; // fwrite: bytes let through so far; stage-*: bytes read so far; fsync:
                      // syncs let through so far
    bool fired;       // stage-*: the file has been changed
};

struct control_file {
    const char *suffix;
    const char *tag;
};

const control_file g_control_files[] = {
    {"proc/strata/lock", "lock"},
    {"proc/strata/unlock", "unlock"},
};

rule g_rules[MAX_RULES];
int g_rule_count;
const char *g_trace_path;
const char *g_sync_trace_path;

typedef size_t (*fwrite_fn)(const void *, size_t, size_t, FILE *);
typedef size_t (*fread_fn)(void *, size_t, size_t, FILE *);
typedef int (*fseek_fn)(FILE *, long, int);
typedef int (*fseeko_fn)(FILE *, off_t, int);
typedef int (*fflush_fn)(FILE *);
typedef int (*fclose_fn)(FILE *);
typedef int (*fsync_fn)(int);
typedef int (*fdatasync_fn)(int);
typedef ssize_t (*write_fn)(int, const void *, size_t);
typedef int (*renameat2_fn)(int, const char *, int, const char *, unsigned);
typedef int (*open_fn)(const char *, int, ...);
typedef int (*openat_fn)(int, const char *, int, ...);
typedef FILE *(*fopen_fn)(const char *, const char *);
typedef int (*path_fn)(const char *);
typedef int (*path2_fn)(const char *, const char *);
typedef int (*path_mode_fn)(const char *, mode_t);
typedef int (*fd_mode_fn)(int, mode_t);
typedef int (*mkostemp_fn)(char *, int);
typedef int (*ftruncate_fn)(int, off_t);
typedef FILE *(*popen_fn)(const char *, const char *);
typedef int (*shmget_fn)(key_t, size_t, int);
typedef unsigned int (*sleep_fn)(unsigned int);

fwrite_fn real_fwrite;
fread_fn real_fread;
fseek_fn real_fseek;
fseeko_fn real_fseeko;
fflush_fn real_fflush;
fclose_fn real_fclose;
fsync_fn real_fsync;
fdatasync_fn real_fdatasync;
write_fn real_write;
renameat2_fn real_renameat2;
open_fn real_open;
open_fn real_open64;
openat_fn real_openat;
fopen_fn real_fopen;
fopen_fn real_fopen64;
path_fn real_unlink;
path_fn real_rmdir;
path_fn real_system;
path2_fn real_rename;
path2_fn real_link;
path_mode_fn real_mkdir;
path_mode_fn real_chmod;
fd_mode_fn real_fchmod;
mkostemp_fn real_mkostemp;
mkostemp_fn real_mkostemp64;
ftruncate_fn real_ftruncate;
popen_fn real_popen;
shmget_fn real_shmget;
sleep_fn real_sleep;

// The kill campaign: which call kills (0: none), the calls so far, where the count goes.
long g_kill_at;
long g_calls;
char g_count_path[PATH_LEN];
bool g_no_pause;

template <typename F> F next_symbol(const char *name)
{
    return reinterpret_cast<F>(dlsym(RTLD_NEXT, name));
}

void parse_rule(const char *text, size_t len)
{
    char buf[SUFFIX_LEN * 2];
    rule *r = &g_rules[g_rule_count];

    if (g_rule_count >= MAX_RULES || len >= sizeof(buf))
        return;
    memcpy(buf, text, len);
    buf[len] = '\0';
    char *suffix = strchr(buf, ':');
    if (suffix == nullptr)
        return;
    *suffix++ = '\0';
    char *after = strstr(suffix, ":after=");
    r->after = 0;
    r->passed = 0;
    r->fired = false;
    if (after != nullptr) {
        *after = '\0';
        r->after = strtoll(after + strlen(":after="), nullptr, 0);
    }
    for (int op = 0; op < OP_COUNT; op++) {
        if (strcmp(buf, g_op_names[op]) == 0 && strlen(suffix) < sizeof(r->suffix)) {
            r->op = (fault_op)op;
            snprintf(r->suffix, sizeof(r->suffix), "%s", suffix);
            g_rule_count++;
            return;
        }
    }
}

// Other libraries' constructors may call in before this one's has run (libselinux closes a
// stream in its own), so everything is set up on first use.
bool g_ready;

void nor_init();

void fault_init()
{
    const char *rules = getenv("FWUP_FAULT");

    if (g_ready)
        return;
    g_ready = true;
    real_fwrite = next_symbol<fwrite_fn>("fwrite");
    real_fread = next_symbol<fread_fn>("fread");
    real_fseek = next_symbol<fseek_fn>("fseek");
    real_fseeko = next_symbol<fseeko_fn>("fseeko");
    real_fflush = next_symbol<fflush_fn>("fflush");
    real_fclose = next_symbol<fclose_fn>("fclose");
    real_fsync = next_symbol<fsync_fn>("fsync");
    real_fdatasync = next_symbol<fdatasync_fn>("fdatasync");
    real_write = next_symbol<write_fn>("write");
    real_renameat2 = next_symbol<renameat2_fn>("renameat2");
    real_open = next_symbol<open_fn>("open");
    real_open64 = next_symbol<open_fn>("open64");
    real_openat = next_symbol<openat_fn>("openat");
    real_fopen = next_symbol<fopen_fn>("fopen");
    real_fopen64 = next_symbol<fopen_fn>("fopen64");
    real_unlink = next_symbol<path_fn>("unlink");
    real_rmdir = next_symbol<path_fn>("rmdir");
    real_system = next_symbol<path_fn>("system");
    real_rename = next_symbol<path2_fn>("rename");
    real_link = next_symbol<path2_fn>("link");
    real_mkdir = next_symbol<path_mode_fn>("mkdir");
    real_chmod = next_symbol<path_mode_fn>("chmod");
    real_fchmod = next_symbol<fd_mode_fn>("fchmod");
    real_mkostemp = next_symbol<mkostemp_fn>("mkostemp");
    real_mkostemp64 = next_symbol<mkostemp_fn>("mkostemp64");
    real_ftruncate = next_symbol<ftruncate_fn>("ftruncate");
    real_popen = next_symbol<popen_fn>("popen");
    real_shmget = next_symbol<shmget_fn>("shmget");
    real_sleep = next_symbol<sleep_fn>("sleep");
    const char *kill_at = getenv("FWUP_KILL_AT");
    const char *count = getenv("FWUP_CALL_COUNT");
    g_kill_at = kill_at != nullptr ? strtol(kill_at, nullptr, 10) : 0;
    if (count != nullptr)
        snprintf(g_count_path, sizeof(g_count_path), "%s", count);
    g_no_pause = getenv("FWUP_NO_PAUSE") != nullptr;
    // The shell commands the program runs are not part of the campaign.
    unsetenv("FWUP_KILL_AT");
    unsetenv("FWUP_CALL_COUNT");
    g_trace_path = getenv("FWUP_LOCK_TRACE");
    if (g_trace_path != nullptr && g_trace_path[0] == '\0')
        g_trace_path = nullptr;
    g_sync_trace_path = getenv("FWUP_SYNC_TRACE");
    if (g_sync_trace_path != nullptr && g_sync_trace_path[0] == '\0')
        g_sync_trace_path = nullptr;
    nor_init();
    while (rules != nullptr && *rules != '\0') {
        size_t len = strcspn(rules, ",");
        parse_rule(rules, len);
        rules += len;
        if (*rules == ',')
            rules++;
    }
}

// The path behind a descriptor; false when it has none.
bool fd_path(int fd, char *buf, size_t size)
{
    char link[64];
    ssize_t n;

    if (fd < 0)
        return false;
    snprintf(link, sizeof(link), "/proc/self/fd/%d", fd);
    n = readlink(link, buf, size - 1);
    if (n <= 0)
        return false;
    buf[n] = '\0';
    return true;
}

// True when `path` ends in `suffix` at a component boundary.
bool path_ends_with(const char *path, const char *suffix)
{
    size_t plen = strlen(path);
    size_t slen = strlen(suffix);

    if (slen == 0 || slen > plen || strcmp(path + plen - slen, suffix) != 0)
        return false;
    return slen == plen || suffix[0] == '/' || path[plen - slen - 1] == '/';
}

rule *match_fd(fault_op op, int fd)
{
    char path[PATH_LEN];
    bool have_path = false;

    for (int i = 0; i < g_rule_count; i++) {
        if (g_rules[i].op != op)
            continue;
        if (!have_path && !fd_path(fd, path, sizeof(path)))
            return nullptr;
        have_path = true;
        if (path_ends_with(path, g_rules[i].suffix))
            return &g_rules[i];
    }
    return nullptr;
}

rule *match_stream(fault_op op, FILE *stream)
{
    return stream != nullptr ? match_fd(op, fileno(stream)) : nullptr;
}

// Appends one line to the trace file at `trace`.
void append_line(const char *trace, const char *line, size_t len)
{
    int out = real_open(trace, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (out < 0)
        return;
    (void)real_write(out, line, len);
    close(out);
}

// Appends "<call> <path>" to the sync trace for a descriptor that has a path.
void trace_sync(const char *call, int fd)
{
    char path[PATH_LEN];
    char line[PATH_LEN + 16];

    if (g_sync_trace_path == nullptr || !fd_path(fd, path, sizeof(path)))
        return;
    int len = snprintf(line, sizeof(line), "%s %s\n", call, path);
    if (len > 0)
        append_line(g_sync_trace_path, line,
                    (size_t)len < sizeof(line) ? (size_t)len : sizeof(line) - 1);
}

// The staged-file rules: once `r` has seen its bytes read, the file behind `fd` shrinks to half
// or has its last byte changed, through its path, so the program's own stream is left as it was.
void change_file(rule *r, int fd)
{
    char path[PATH_LEN];
    struct stat st;

    if (r->fired || r->passed < r->after || !fd_path(fd, path, sizeof(path)) ||
        stat(path, &st) != 0 || st.st_size == 0)
        return;
    r->fired = true;
    if (r->op == OP_SHRINK) {
        (void)truncate(path, st.st_size / 2);
        return;
    }
    int rw = real_open(path, O_RDWR | O_CLOEXEC);
    unsigned char last = 0;
    if (rw < 0)
        return;
    if (pread(rw, &last, 1, st.st_size - 1) == 1) {
        last ^= 0x01;
        (void)pwrite(rw, &last, 1, st.st_size - 1);
    }
    close(rw);
}

// Appends "<tag> <record>" for a control file about to be closed.
void trace_control_record(FILE *stream)
{
    char path[PATH_LEN];
    char record[RECORD_LEN];
    char line[RECORD_LEN + 16];
    const char *tag = nullptr;

    if (g_trace_path == nullptr || !fd_path(fileno(stream), path, sizeof(path)))
        return;
    for (const control_file &c : g_control_files) {
        if (path_ends_with(path, c.suffix))
            tag = c.tag;
    }
    if (tag == nullptr)
        return;
    real_fflush(stream);
    int in = real_open(path, O_RDONLY | O_CLOEXEC);
    if (in < 0)
        return;
    ssize_t n = read(in, record, sizeof(record) - 1);
    close(in);
    record[n > 0 ? n : 0] = '\0';
    record[strcspn(record, "\n")] = '\0';
    int len = snprintf(line, sizeof(line), "%s %s\n", tag, record);
    if (len > 0)
        append_line(g_trace_path, line,
                    (size_t)len < sizeof(line) ? (size_t)len : sizeof(line) - 1);
}

// One call that can change state: counted, and the process killed at the chosen one.
void state_call()
{
    fault_init();
    if (++g_calls == g_kill_at)
        raise(SIGKILL);
}

bool writes(int flags)
{
    return (flags & (O_WRONLY | O_RDWR | O_CREAT | O_TRUNC)) != 0;
}

bool writes(const char *mode)
{
    return mode != nullptr && (mode[0] != 'r' || strchr(mode, '+') != nullptr);
}

bool stream_writes(FILE *stream)
{
    int flags = stream != nullptr ? fcntl(fileno(stream), F_GETFL) : -1;
    return flags >= 0 && (flags & O_ACCMODE) != O_RDONLY;
}

__attribute__((destructor)) void report_calls()
{
    char text[32];
    if (g_count_path[0] == '\0' || real_open == nullptr)
        return;
    int fd = real_open(g_count_path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    int len = snprintf(text, sizeof(text), "%ld\n", g_calls);
    if (fd < 0)
        return;
    (void)real_write(fd, text, (size_t)len);
    close(fd);
}

// ---- the NOR time model (FWUP_NOR_TALLY) ----

enum : int {
    NOR_DEVICES = 16,            // flash block devices followed at once
    NOR_SECTOR = 512,            // the block layer hands mtdblock 512-byte sectors
    NOR_ERASE_DEFAULT = 0x20000, // without a proc/mtd line
    BITS = 64,
};

// Typical values of a 3 V parallel NOR flash of uniform 128 KiB blocks with a 512-word program
// buffer (256 Mbit class): block erase 0.2 s; buffer program 2.0 MB/s, 0.5 us a byte; an
// asynchronous page read of 16 words (32 bytes) in 70 ns for the first and 20 ns for each next
// one, 370 ns per 32 bytes.
struct nor_figures {
    double erase_us;   // one erase block
    double program_ns; // one byte
    double read_ns;    // one byte
};
const nor_figures g_nor_defaults = {200000.0, 500.0, 370.0 / 32.0};

// One flash block device: its page cache of written sectors, mtdblock's one cached erase block,
// and what the flash did since its last tally line.
struct nor_device {
    char path[PATH_LEN];
    long long erase_size;
    uint64_t *dirty;      // sectors written and not yet handed to mtdblock, a bit each
    long long dirty_cap;  // sectors the bitmap holds
    long long dirty_lo;   // lowest dirty sector, or dirty_cap when none
    long long dirty_hi;   // one past the highest
    long long cache;      // erase block in mtdblock's cache, -1 for none
    bool cache_dirty;     // it differs from the flash
    long long erases;     // erase-block erases
    long long programmed; // bytes programmed
    long long filled;     // bytes read into mtdblock's cache
    long long read;       // bytes read by the program from the flash
};

const char *g_nor_tally_path;
nor_figures g_nor;
nor_device g_nor_devices[NOR_DEVICES];
int g_nor_count;

double env_figure(const char *name, double fallback)
{
    const char *v = getenv(name);
    char *end = nullptr;
    double d = v != nullptr ? strtod(v, &end) : 0.0;
    return v != nullptr && end != v && d >= 0.0 ? d : fallback;
}

void nor_init()
{
    g_nor_tally_path = getenv("FWUP_NOR_TALLY");
    if (g_nor_tally_path != nullptr && g_nor_tally_path[0] == '\0')
        g_nor_tally_path = nullptr;
    g_nor.erase_us = env_figure("FWUP_NOR_ERASE_US", g_nor_defaults.erase_us);
    g_nor.program_ns = env_figure("FWUP_NOR_PROGRAM_NS", g_nor_defaults.program_ns);
    g_nor.read_ns = env_figure("FWUP_NOR_READ_NS", g_nor_defaults.read_ns);
}

// The erase size of partition `index` in the proc/mtd beside the dev directory of `path`.
long long mtd_erase_size(const char *path, int index)
{
    char proc[PATH_LEN];
    char line[RECORD_LEN];
    long long size = NOR_ERASE_DEFAULT;
    const char *dev = strstr(path, "/dev/mtdblock");

    if (dev == nullptr)
        return size;
    snprintf(proc, sizeof(proc), "%.*s/proc/mtd", (int)(dev - path), path);
    FILE *f = fopen(proc, "r");
    if (f == nullptr)
        return size;
    while (fgets(line, sizeof(line), f) != nullptr) {
        unsigned n = 0, part = 0, erase = 0;
        if (sscanf(line, "mtd%u: %x %x", &n, &part, &erase) == 3 && (int)n == index && erase > 0)
            size = erase;
    }
    real_fclose(f);
    return size;
}

// The followed device behind `fd`, taken on at its first use; null for other files.
nor_device *nor_lookup(int fd)
{
    char path[PATH_LEN];

    if (g_nor_tally_path == nullptr || !fd_path(fd, path, sizeof(path)))
        return nullptr;
    const char *base = strrchr(path, '/');
    base = base != nullptr ? base + 1 : path;
    if (strncmp(base, "mtdblock", strlen("mtdblock")) != 0)
        return nullptr;
    for (int i = 0; i < g_nor_count; i++) {
        if (strcmp(g_nor_devices[i].path, path) == 0)
            return &g_nor_devices[i];
    }
    if (g_nor_count >= NOR_DEVICES)
        return nullptr;
    nor_device *d = &g_nor_devices[g_nor_count++];
    memset(d, 0, sizeof(*d));
    snprintf(d->path, sizeof(d->path), "%s", path);
    d->erase_size = mtd_erase_size(path, atoi(base + strlen("mtdblock")));
    d->cache = -1;
    return d;
}

nor_device *nor_stream(FILE *stream)
{
    return stream != nullptr ? nor_lookup(fileno(stream)) : nullptr;
}

bool sector_dirty(const nor_device *d, long long s)
{
    return s < d->dirty_cap && (d->dirty[s / BITS] >> (s % BITS) & 1) != 0;
}

// The page cache takes `len` bytes written at `pos`.
void nor_written(nor_device *d, long long pos, long long len)
{
    if (len <= 0)
        return;
    long long first = pos / NOR_SECTOR, end = (pos + len + NOR_SECTOR - 1) / NOR_SECTOR;
    if (end > d->dirty_cap) {
        long long cap = (end + BITS - 1) / BITS * BITS * 2;
        uint64_t *grown = (uint64_t *)realloc(d->dirty, (size_t)(cap / BITS) * sizeof(uint64_t));
        if (grown == nullptr)
            return;
        memset(grown + d->dirty_cap / BITS, 0,
               (size_t)((cap - d->dirty_cap) / BITS) * sizeof(uint64_t));
        if (d->dirty_lo == d->dirty_cap)
            d->dirty_lo = cap;
        d->dirty = grown;
        d->dirty_cap = cap;
    }
    for (long long s = first; s < end; s++)
        d->dirty[s / BITS] |= 1ull << (s % BITS);
    d->dirty_lo = first < d->dirty_lo ? first : d->dirty_lo;
    d->dirty_hi = end > d->dirty_hi ? end : d->dirty_hi;
}

// mtdblock writes its cached block back: one erase and a program of the whole block.
void nor_write_back(nor_device *d)
{
    if (!d->cache_dirty)
        return;
    d->erases++;
    d->programmed += d->erase_size;
    d->cache_dirty = false;
}

// The page cache hands its dirty sectors to mtdblock in order, and mtdblock flushes its block:
// an fsync, or the last close of the device.
void nor_sync(nor_device *d)
{
    for (long long s = d->dirty_lo; s < d->dirty_hi; s++) {
        if (!sector_dirty(d, s))
            continue;
        d->dirty[s / BITS] &= ~(1ull << (s % BITS));
        long long block = s * NOR_SECTOR / d->erase_size;
        if (d->cache != block) {
            nor_write_back(d);
            d->filled += d->erase_size;
            d->cache = block;
        }
        d->cache_dirty = true;
    }
    d->dirty_lo = d->dirty_cap;
    d->dirty_hi = 0;
    nor_write_back(d);
}

// `len` bytes read at `pos`: what neither the dirty pages nor mtdblock's block hold comes from
// the flash.
void nor_read(nor_device *d, long long pos, long long len)
{
    for (long long at = pos; at < pos + len;) {
        long long s = at / NOR_SECTOR;
        long long next = (s + 1) * NOR_SECTOR < pos + len ? (s + 1) * NOR_SECTOR : pos + len;
        if (!sector_dirty(d, s) && at / d->erase_size != d->cache)
            d->read += next - at;
        at = next;
    }
}

// Appends the device's line and starts the next.
void nor_tally(nor_device *d)
{
    char line[PATH_LEN + 160];
    double us =
        (double)d->erases * g_nor.erase_us +
        ((double)d->programmed * g_nor.program_ns + (double)(d->filled + d->read) * g_nor.read_ns) /
            1000.0;
    int len = snprintf(line, sizeof(line),
                       "nor %s erases %lld programmed %lld filled %lld read %lld us %.0f\n",
                       d->path, d->erases, d->programmed, d->filled, d->read, us);
    if (len > 0)
        append_line(g_nor_tally_path, line,
                    (size_t)len < sizeof(line) ? (size_t)len : sizeof(line) - 1);
    d->erases = d->programmed = d->filled = d->read = 0;
}

// The close of a device: the page cache and mtdblock write everything back, and mtdblock's block
// is let go.
void nor_close(nor_device *d)
{
    nor_sync(d);
    d->cache = -1;
    nor_tally(d);
}

// Streams still open at exit are closed by the C library without this shim seeing it.
__attribute__((destructor)) void nor_exit()
{
    for (int i = 0; i < g_nor_count; i++) {
        nor_device *d = &g_nor_devices[i];
        if (d->dirty_hi > d->dirty_lo || d->cache_dirty || d->erases + d->filled + d->read > 0)
            nor_close(d);
    }
}

} // namespace

extern "C" {

__attribute__((visibility("default"))) size_t fwrite(const void *ptr, size_t size, size_t n,
                                                     FILE *stream)
{
    state_call();
    rule *r = size != 0 ? match_stream(OP_FWRITE, stream) : nullptr;
    nor_device *d = nor_stream(stream);
    off_t at = d != nullptr ? ftello(stream) : -1;

    if (r == nullptr) {
        size_t done = real_fwrite(ptr, size, n, stream);
        if (at >= 0)
            nor_written(d, at, (long long)(done * size));
        return done;
    }
    long long room = r->after - r->passed;
    size_t items = room <= 0 ? 0 : (size_t)room / size;
    if (items > n)
        items = n;
    size_t got = items > 0 ? real_fwrite(ptr, size, items, stream) : 0;
    r->passed += (long long)(got * size);
    if (at >= 0)
        nor_written(d, at, (long long)(got * size));
    if (got < n)
        errno = ENOSPC;
    return got;
}

__attribute__((visibility("default"))) size_t fread(void *ptr, size_t size, size_t n, FILE *stream)
{
    fault_init();
    const fault_op staged[] = {OP_SHRINK, OP_CHANGE};
    for (fault_op op : staged) {
        rule *s = match_stream(op, stream);
        if (s == nullptr)
            continue;
        change_file(s, fileno(stream));
        // Counted before the read: the change comes with the first read after the bytes.
        s->passed += (long long)(size * n);
    }
    rule *r = match_stream(OP_CORRUPT, stream);
    nor_device *d = nor_stream(stream);
    off_t pos = r != nullptr || d != nullptr ? ftello(stream) : -1;
    size_t got = real_fread(ptr, size, n, stream);

    if (d != nullptr && pos >= 0)
        nor_read(d, pos, (long long)(got * size));

    if (r != nullptr && pos >= 0 && r->after >= pos && r->after < pos + (off_t)(got * size))
        static_cast<unsigned char *>(ptr)[r->after - pos] ^= 0x01;
    return got;
}

__attribute__((visibility("default"))) int fseek(FILE *stream, long offset, int whence)
{
    fault_init();
    if (match_stream(OP_FSEEK, stream) != nullptr) {
        errno = ESPIPE;
        return -1;
    }
    return real_fseek(stream, offset, whence);
}

__attribute__((visibility("default"))) int fseeko(FILE *stream, off_t offset, int whence)
{
    fault_init();
    if (match_stream(OP_FSEEK, stream) != nullptr) {
        errno = ESPIPE;
        return -1;
    }
    return real_fseeko(stream, offset, whence);
}

__attribute__((visibility("default"))) int fflush(FILE *stream)
{
    state_call();
    if (match_stream(OP_FFLUSH, stream) != nullptr) {
        errno = EIO;
        return EOF;
    }
    if (stream != nullptr)
        trace_sync("fflush", fileno(stream));
    return real_fflush(stream);
}

__attribute__((visibility("default"))) int fclose(FILE *stream)
{
    fault_init();
    if (stream_writes(stream))
        state_call();
    if (stream != nullptr)
        trace_control_record(stream);
    nor_device *d = nor_stream(stream);
    int rc = real_fclose(stream);
    if (d != nullptr)
        nor_close(d);
    return rc;
}

// fsync and fdatasync fail, trace and flush the NOR model alike.
static int sync_call(int fd, bool data_only)
{
    state_call();
    rule *r = match_fd(OP_FSYNC, fd);
    if (r != nullptr && r->passed++ >= r->after) {
        errno = EIO;
        return -1;
    }
    trace_sync("fsync", fd);
    nor_device *d = nor_lookup(fd);
    if (d != nullptr)
        nor_sync(d);
    return data_only ? real_fdatasync(fd) : real_fsync(fd);
}

__attribute__((visibility("default"))) int fsync(int fd)
{
    return sync_call(fd, false);
}

__attribute__((visibility("default"))) int fdatasync(int fd)
{
    return sync_call(fd, true);
}

__attribute__((visibility("default"))) ssize_t write(int fd, const void *buf, size_t count)
{
    state_call();
    if (match_fd(OP_WRITE, fd) != nullptr) {
        errno = EIO;
        return -1;
    }
    nor_device *d = nor_lookup(fd);
    off_t at = d != nullptr ? lseek(fd, 0, SEEK_CUR) : -1;
    ssize_t n = real_write(fd, buf, count);
    if (at >= 0 && n > 0)
        nor_written(d, at, n);
    return n;
}

__attribute__((visibility("default"))) int
renameat2(int olddirfd, const char *oldpath, int newdirfd, const char *newpath, unsigned flags)
{
    fault_init();
    state_call();
    for (int i = 0; i < g_rule_count && (flags & RENAME_EXCHANGE) != 0; i++) {
        if (g_rules[i].op == OP_EXCHANGE && path_ends_with(newpath, g_rules[i].suffix)) {
            errno = EINVAL;
            return -1;
        }
    }
    return real_renameat2(olddirfd, oldpath, newdirfd, newpath, flags);
}

// The calls below only count for the kill campaign; each passes on to the real one.

__attribute__((visibility("default"))) int open(const char *path, int flags, ...)
{
    va_list ap;
    va_start(ap, flags);
    mode_t mode = (flags & O_CREAT) != 0 ? (mode_t)va_arg(ap, int) : 0;
    va_end(ap);
    fault_init();
    if (writes(flags))
        state_call();
    return real_open(path, flags, mode);
}

__attribute__((visibility("default"))) int open64(const char *path, int flags, ...)
{
    va_list ap;
    va_start(ap, flags);
    mode_t mode = (flags & O_CREAT) != 0 ? (mode_t)va_arg(ap, int) : 0;
    va_end(ap);
    fault_init();
    if (writes(flags))
        state_call();
    return real_open64(path, flags, mode);
}

__attribute__((visibility("default"))) int openat(int dir, const char *path, int flags, ...)
{
    va_list ap;
    va_start(ap, flags);
    mode_t mode = (flags & O_CREAT) != 0 ? (mode_t)va_arg(ap, int) : 0;
    va_end(ap);
    fault_init();
    if (writes(flags))
        state_call();
    return real_openat(dir, path, flags, mode);
}

__attribute__((visibility("default"))) FILE *fopen(const char *path, const char *mode)
{
    fault_init();
    if (writes(mode))
        state_call();
    return real_fopen(path, mode);
}

__attribute__((visibility("default"))) FILE *fopen64(const char *path, const char *mode)
{
    fault_init();
    if (writes(mode))
        state_call();
    return real_fopen64(path, mode);
}

__attribute__((visibility("default"))) int unlink(const char *path)
{
    state_call();
    return real_unlink(path);
}

__attribute__((visibility("default"))) int rmdir(const char *path)
{
    state_call();
    return real_rmdir(path);
}

__attribute__((visibility("default"))) int rename(const char *from, const char *to)
{
    state_call();
    return real_rename(from, to);
}

__attribute__((visibility("default"))) int link(const char *from, const char *to)
{
    state_call();
    return real_link(from, to);
}

__attribute__((visibility("default"))) int mkdir(const char *path, mode_t mode)
{
    state_call();
    return real_mkdir(path, mode);
}

__attribute__((visibility("default"))) int chmod(const char *path, mode_t mode)
{
    state_call();
    return real_chmod(path, mode);
}

__attribute__((visibility("default"))) int fchmod(int fd, mode_t mode)
{
    state_call();
    return real_fchmod(fd, mode);
}

__attribute__((visibility("default"))) int mkostemp(char *pattern, int flags)
{
    state_call();
    return real_mkostemp(pattern, flags);
}

__attribute__((visibility("default"))) int mkostemp64(char *pattern, int flags)
{
    state_call();
    return real_mkostemp64(pattern, flags);
}

__attribute__((visibility("default"))) int ftruncate(int fd, off_t length)
{
    state_call();
    return real_ftruncate(fd, length);
}

__attribute__((visibility("default"))) int system(const char *command)
{
    state_call();
    return real_system(command);
}

__attribute__((visibility("default"))) FILE *popen(const char *command, const char *mode)
{
    state_call();
    return real_popen(command, mode);
}

__attribute__((visibility("default"))) int shmget(key_t key, size_t size, int flags)
{
    fault_init();
    if ((flags & IPC_CREAT) != 0)
        state_call();
    return real_shmget(key, size, flags);
}

__attribute__((visibility("default"))) unsigned int sleep(unsigned int seconds)
{
    fault_init();
    return g_no_pause ? 0 : real_sleep(seconds);
}

} // extern "C"
