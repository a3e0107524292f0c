// SPDX-License-Identifier: MIT
// Guest side of the real-kernel tests: the stand-in for the controller's flash lock driver and
// time-slice control. It serves three files, "lock", "unlock" and "dte", from a FUSE mount (the
// kernel's own /dev/fuse protocol, no library), and /init binds them to the paths the device
// program writes. A lock or unlock request sets or clears the named block device's read-only flag
// (BLKROSET) before the write() that carries it returns: the program's write right after its
// unlock goes through, and a write to a partition it did not unlock fails, as on the controller.
// Every request is appended to the log and echoed to the console; a refused one fails its write().
//
// Usage: kcontrol MOUNTPOINT LOG [mtdblockN...]   the named devices are locked before serving
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <linux/fs.h>
#include <linux/fuse.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

namespace
{

enum : uint64_t {
    NODE_LOCK = 2, // the root directory is FUSE_ROOT_ID
    NODE_UNLOCK = 3,
    NODE_DTE = 4,
};

enum : size_t {
    // A request carries at most max_write bytes of data after its headers.
    MAX_WRITE = 4096,
    REQUEST_BUF = MAX_WRITE + 4096 > FUSE_MIN_READ_BUFFER ? MAX_WRITE + 4096 : FUSE_MIN_READ_BUFFER,
    RECORD_MAX = 32, // "mtdblockN\n" or "timeslice=N" with its NUL, with room to spare
    DEV_DIGITS_MAX = 3,
};

const uint64_t kAttrValidSeconds = 3600; // the files never change
const uint32_t kFileMode = S_IFREG | 0200;
const uint32_t kDirMode = S_IFDIR | 0755;
const char kDevPrefix[] = "mtdblock";
const size_t kDevPrefixLen = sizeof(kDevPrefix) - 1;
const char kDteKey[] = "timeslice=";
const size_t kDteKeyLen = sizeof(kDteKey) - 1;

struct node_info {
    uint64_t id;
    const char *name;
};

const node_info kNodes[] = {{NODE_LOCK, "lock"}, {NODE_UNLOCK, "unlock"}, {NODE_DTE, "dte"}};

FILE *g_log = nullptr;

const node_info *find_node(uint64_t id)
{
    for (const node_info &n : kNodes)
        if (n.id == id)
            return &n;
    return nullptr;
}

// One line for the host on the console and one in the log; TEXT is printed with its bytes
// outside the printable range as dots, so a stray NUL or newline shows.
void record(const char *what, const char *text, size_t len)
{
    char shown[RECORD_MAX + 1];
    size_t n = len < RECORD_MAX ? len : RECORD_MAX;

    for (size_t i = 0; i < n; i++)
        shown[i] = text[i] >= 0x20 && text[i] < 0x7f ? text[i] : '.';
    shown[n] = '\0';
    printf("KT-CTL %s %s%s\n", what, shown, len > n ? "..." : "");
    fflush(stdout);
    if (g_log != nullptr) {
        fprintf(g_log, "%s %s\n", what, shown);
        fflush(g_log);
    }
}

// 0, or the errno that refuses NAME ("mtdblockN", NUL-terminated).
int set_read_only(const char *name, int on)
{
    char path[RECORD_MAX + 8];
    size_t len = strlen(name);
    int fd = -1;
    int err = 0;

    if (len <= kDevPrefixLen || len > kDevPrefixLen + DEV_DIGITS_MAX ||
        strncmp(name, kDevPrefix, kDevPrefixLen) != 0)
        return EINVAL;
    for (size_t i = kDevPrefixLen; i < len; i++)
        if (name[i] < '0' || name[i] > '9')
            return EINVAL;
    snprintf(path, sizeof(path), "/dev/%s", name);
    fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return errno;
    if (ioctl(fd, BLKROSET, &on) != 0)
        err = errno;
    close(fd);
    return err;
}

// A lock control takes whole records, each a device name and a newline; all of them must name
// a device that can be locked or unlocked, else the write fails.
int control_write(const node_info *node, const char *data, size_t len)
{
    char name[RECORD_MAX + 1];
    size_t at = 0;
    int on = node->id == NODE_LOCK ? 1 : 0;
    char refused[RECORD_MAX];

    snprintf(refused, sizeof(refused), "refused-%s", node->name);
    if (len == 0 || data[len - 1] != '\n') {
        record(refused, data, len);
        return EINVAL;
    }
    while (at < len) {
        const char *nl = static_cast<const char *>(memchr(data + at, '\n', len - at));
        size_t n = (size_t)(nl - (data + at));
        int err = EINVAL;
        if (n <= RECORD_MAX) {
            memcpy(name, data + at, n);
            name[n] = '\0';
            err = memchr(name, '\0', n) != nullptr ? EINVAL : set_read_only(name, on);
        }
        record(err == 0 ? node->name : refused, data + at, n);
        if (err != 0)
            return err;
        at += n + 1;
    }
    return 0;
}

// The time slice takes "timeslice=N", the program sends it with its NUL; anything else fails.
int dte_write(const char *data, size_t len)
{
    size_t text = len > 0 && data[len - 1] == '\0' ? len - 1 : len;
    bool ok = text > kDteKeyLen && text <= RECORD_MAX && strncmp(data, kDteKey, kDteKeyLen) == 0;

    for (size_t i = kDteKeyLen; ok && i < text; i++)
        ok = data[i] >= '0' && data[i] <= '9';
    record(ok ? "dte" : "refused-dte", data, ok ? text : len);
    return ok ? 0 : EINVAL;
}

void fill_attr(fuse_attr *attr, uint64_t node)
{
    memset(attr, 0, sizeof(*attr));
    attr->ino = node;
    attr->mode = node == FUSE_ROOT_ID ? kDirMode : kFileMode;
    attr->nlink = node == FUSE_ROOT_ID ? 2 : 1;
    attr->blksize = MAX_WRITE;
}

void reply(int fd, uint64_t unique, int err, const void *out, size_t out_len)
{
    fuse_out_header h;
    iovec iov[2] = {{&h, sizeof(h)}, {const_cast<void *>(out), out_len}};

    h.len = (uint32_t)(sizeof(h) + (err == 0 ? out_len : 0));
    h.error = -err;
    h.unique = unique;
    // A reply the kernel no longer waits for (the request was interrupted) fails; nothing to do.
    if (writev(fd, iov, err == 0 && out_len > 0 ? 2 : 1) < 0)
        perror("kcontrol: reply");
}

// Serves one request; false when the file system is going away.
bool serve(int fd, const char *buf, size_t len)
{
    const fuse_in_header *in = reinterpret_cast<const fuse_in_header *>(buf);
    const char *arg = buf + sizeof(*in);
    size_t arg_len = len - sizeof(*in);
    const node_info *node = find_node(in->nodeid);

    switch (in->opcode) {
    case FUSE_INIT: {
        const fuse_init_in *init = reinterpret_cast<const fuse_init_in *>(arg);
        fuse_init_out out;
        if (arg_len < offsetof(fuse_init_in, flags)) {
            reply(fd, in->unique, EPROTO, nullptr, 0);
            return false;
        }
        memset(&out, 0, sizeof(out));
        out.major = FUSE_KERNEL_VERSION;
        out.minor = FUSE_KERNEL_MINOR_VERSION;
        out.max_readahead = init->max_readahead;
        out.flags = FUSE_ATOMIC_O_TRUNC;
        out.max_background = 1;
        out.congestion_threshold = 1;
        out.max_write = MAX_WRITE;
        out.time_gran = 1;
        if (init->major != FUSE_KERNEL_VERSION) {
            reply(fd, in->unique, EPROTO, nullptr, 0);
            return false;
        }
        reply(fd, in->unique, 0, &out, sizeof(out));
        return true;
    }
    case FUSE_LOOKUP: {
        fuse_entry_out out;
        memset(&out, 0, sizeof(out));
        for (const node_info &n : kNodes)
            if (in->nodeid == FUSE_ROOT_ID && strncmp(arg, n.name, arg_len) == 0 &&
                strlen(n.name) + 1 == arg_len)
                out.nodeid = n.id;
        if (out.nodeid == 0) {
            reply(fd, in->unique, ENOENT, nullptr, 0);
            return true;
        }
        out.entry_valid = kAttrValidSeconds;
        out.attr_valid = kAttrValidSeconds;
        fill_attr(&out.attr, out.nodeid);
        reply(fd, in->unique, 0, &out, sizeof(out));
        return true;
    }
    case FUSE_GETATTR:
    case FUSE_SETATTR: { // a truncation of a control file changes nothing
        fuse_attr_out out;
        memset(&out, 0, sizeof(out));
        out.attr_valid = kAttrValidSeconds;
        fill_attr(&out.attr, in->nodeid);
        reply(fd, in->unique, 0, &out, sizeof(out));
        return true;
    }
    case FUSE_OPEN:
    case FUSE_OPENDIR: {
        fuse_open_out out;
        memset(&out, 0, sizeof(out));
        // Straight to this server at every write(), never through the page cache.
        out.open_flags = FOPEN_DIRECT_IO;
        reply(fd, in->unique, 0, &out, sizeof(out));
        return true;
    }
    case FUSE_WRITE: {
        const fuse_write_in *w = reinterpret_cast<const fuse_write_in *>(arg);
        const char *data = arg + sizeof(*w);
        size_t n = 0;
        int err = EBADF;
        if (arg_len < sizeof(*w)) {
            reply(fd, in->unique, EINVAL, nullptr, 0);
            return true;
        }
        n = w->size <= arg_len - sizeof(*w) ? w->size : arg_len - sizeof(*w);
        if (node != nullptr)
            err = node->id == NODE_DTE ? dte_write(data, n) : control_write(node, data, n);
        fuse_write_out out;
        memset(&out, 0, sizeof(out));
        out.size = (uint32_t)n;
        reply(fd, in->unique, err, &out, sizeof(out));
        return true;
    }
    case FUSE_READ:
    case FUSE_READDIR: // nothing to read: the log is the record
    case FUSE_FLUSH:
    case FUSE_RELEASE:
    case FUSE_RELEASEDIR:
    case FUSE_FSYNC:
        reply(fd, in->unique, 0, nullptr, 0);
        return true;
    case FUSE_STATFS: {
        fuse_statfs_out out;
        memset(&out, 0, sizeof(out));
        out.st.namelen = RECORD_MAX;
        out.st.bsize = MAX_WRITE;
        reply(fd, in->unique, 0, &out, sizeof(out));
        return true;
    }
    case FUSE_FORGET:
    case FUSE_BATCH_FORGET:
    case FUSE_INTERRUPT: // every request is answered at once: nothing to interrupt
        return true;
    case FUSE_DESTROY:
        reply(fd, in->unique, 0, nullptr, 0);
        return false;
    default:
        reply(fd, in->unique, ENOSYS, nullptr, 0);
        return true;
    }
}

} // namespace

int main(int argc, char **argv)
{
    static char buf[REQUEST_BUF];
    char opts[128];
    int fd = -1;
    int status = 1;

    if (argc < 3) {
        fprintf(stderr, "usage: kcontrol MOUNTPOINT LOG [mtdblockN...]\n");
        return 2;
    }
    g_log = fopen(argv[2], "a");
    if (g_log == nullptr)
        perror("kcontrol: log");
    // The controller's driver starts with its partitions locked.
    for (int i = 3; i < argc; i++) {
        int err = set_read_only(argv[i], 1);
        if (err != 0)
            printf("KT-FAIL kcontrol: cannot lock %s: %s\n", argv[i], strerror(err));
    }
    fd = open("/dev/fuse", O_RDWR | O_CLOEXEC);
    if (fd < 0) {
        perror("kcontrol: /dev/fuse");
        goto out;
    }
    snprintf(opts, sizeof(opts), "fd=%d,rootmode=%o,user_id=0,group_id=0,allow_other", fd,
             (unsigned)kDirMode);
    if (mount("kcontrol", argv[1], "fuse", MS_NOSUID | MS_NODEV, opts) != 0) {
        perror("kcontrol: mount");
        goto out;
    }
    for (;;) {
        ssize_t n = read(fd, buf, sizeof(buf));
        if (n < 0 && (errno == EINTR || errno == ENOENT || errno == EAGAIN))
            continue; // ENOENT: the request was interrupted before it was read
        if (n < 0) {
            status = errno == ENODEV ? 0 : 1; // ENODEV: unmounted
            if (status != 0)
                perror("kcontrol: read");
            break;
        }
        if ((size_t)n < sizeof(fuse_in_header))
            continue;
        if (!serve(fd, buf, (size_t)n)) {
            status = 0;
            break;
        }
    }
out:
    if (fd >= 0)
        close(fd);
    if (g_log != nullptr)
        fclose(g_log);
    return status;
}
