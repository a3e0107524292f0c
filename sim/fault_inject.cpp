// Fault injection for end-to-end tests: preloaded (LD_PRELOAD) into fwupgrade-sim, it makes
// chosen calls on chosen files fail, so that the program's handling of failing flash is run for
// real. Files are named by the end of their path, whole components ("mtdblock5", "tmpfs/...").
//
// FWUP_FAULT: comma-separated rules "op:suffix" or "op:suffix:after=N".
//   fseek:S                fseek/fseeko on a stream of S fail (ESPIPE)
//   fwrite:S[:after=N]     fwrite lets the first N bytes (default 0) through to S, then writes
//                          short (ENOSPC)
//   fflush:S               fflush of a stream of S fails (EIO)
//   fsync:S                fsync or fdatasync of a descriptor of S fails (EIO)
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
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dlfcn.h>
#include <fcntl.h>
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
                      // stage-*: bytes read before the file changes
    long long passed; // fwrite: bytes let through so far; stage-*: bytes read so far
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
    g_trace_path = getenv("FWUP_LOCK_TRACE");
    if (g_trace_path != nullptr && g_trace_path[0] == '\0')
        g_trace_path = nullptr;
    g_sync_trace_path = getenv("FWUP_SYNC_TRACE");
    if (g_sync_trace_path != nullptr && g_sync_trace_path[0] == '\0')
        g_sync_trace_path = nullptr;
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
    int out = open(trace, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
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
    int rw = open(path, O_RDWR | O_CLOEXEC);
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
    int in = open(path, O_RDONLY | O_CLOEXEC);
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

} // namespace

extern "C" {

__attribute__((visibility("default"))) size_t fwrite(const void *ptr, size_t size, size_t n,
                                                     FILE *stream)
{
    fault_init();
    rule *r = size != 0 ? match_stream(OP_FWRITE, stream) : nullptr;

    if (r == nullptr)
        return real_fwrite(ptr, size, n, stream);
    long long room = r->after - r->passed;
    size_t items = room <= 0 ? 0 : (size_t)room / size;
    if (items > n)
        items = n;
    size_t got = items > 0 ? real_fwrite(ptr, size, items, stream) : 0;
    r->passed += (long long)(got * size);
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
    off_t pos = r != nullptr ? ftello(stream) : -1;
    size_t got = real_fread(ptr, size, n, stream);

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
    fault_init();
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
    if (stream != nullptr)
        trace_control_record(stream);
    return real_fclose(stream);
}

__attribute__((visibility("default"))) int fsync(int fd)
{
    fault_init();
    if (match_fd(OP_FSYNC, fd) != nullptr) {
        errno = EIO;
        return -1;
    }
    trace_sync("fsync", fd);
    return real_fsync(fd);
}

__attribute__((visibility("default"))) int fdatasync(int fd)
{
    fault_init();
    if (match_fd(OP_FSYNC, fd) != nullptr) {
        errno = EIO;
        return -1;
    }
    trace_sync("fsync", fd);
    return real_fdatasync(fd);
}

__attribute__((visibility("default"))) ssize_t write(int fd, const void *buf, size_t count)
{
    fault_init();
    if (match_fd(OP_WRITE, fd) != nullptr) {
        errno = EIO;
        return -1;
    }
    return real_write(fd, buf, count);
}

__attribute__((visibility("default"))) int
renameat2(int olddirfd, const char *oldpath, int newdirfd, const char *newpath, unsigned flags)
{
    fault_init();
    for (int i = 0; i < g_rule_count && (flags & RENAME_EXCHANGE) != 0; i++) {
        if (g_rules[i].op == OP_EXCHANGE && path_ends_with(newpath, g_rules[i].suffix)) {
            errno = EINVAL;
            return -1;
        }
    }
    return real_renameat2(olddirfd, oldpath, newdirfd, newpath, flags);
}

} // extern "C"
