// SPDX-License-Identifier: MIT
// The OEM customisation of the bank an upgrade writes: the staged archive unpacked into the
// bank's OEM directory, or the directory emptied on request. The archive comes from outside and
// is unpacked as root, so no tar program ever sees it: the file is opened once, decompressed by
// gzip from that descriptor, and the one reader that decides what it holds hands each member to
// code that makes it beneath a directory descriptor. The result is built in a private directory
// beside the OEM directory and takes its place only when complete; a power cut leaves the old
// directory or the new one.
#include "upgrade_oem.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "oem_tar.h"
#include "platform.h"
#include "paths.h"
#include "report.h"

namespace
{

// Beside the OEM directory, in the same file system so that a rename moves it: the new content
// while it is unpacked, and the old one stepped aside where the file system cannot swap two
// directories in one step.
const char g_oem_leaf[] = "oem_root";
const char g_fresh_leaf[] = ".oem_root.new";
const char g_old_leaf[] = ".oem_root.old";

enum : int {
    OEM_ARCHIVE_MAX = 131071, // a larger archive is ignored
    OEM_READ_CHUNK = 4096,
    OEM_PRINT_MAX = 200, // of a member's name in the refusal
};

constexpr mode_t g_private_mode = 0700;
constexpr mode_t g_dir_mode = 0755;
constexpr int g_dir_flags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
constexpr int g_file_flags = O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC;
constexpr int g_exec_failed = 127;

const char g_refuse_gzip[] = "is not a readable gzip-compressed tar archive";
const char g_replace_failed[] =
    "fwupgrade: the OEM directory of bank %d could not be replaced; it is left as it was\n";

// What the sink keeps between the events of one stream.
struct unpack_ctx {
    int root;      // the directory the members go into
    int file;      // the plain file being written, or -1
    unsigned mode; // its mode, set once it is complete
    bool durable;  // every file and directory entry reaches the disk before the next
};

// Staged files are plain files or nothing: a FIFO or a device there is never opened, a link
// never followed.
bool staged_file(const char *staged)
{
    char buf[PLATFORM_PATH_MAX];
    const char *path = platform_path(staged, buf, sizeof(buf));
    struct stat st;

    return path != nullptr && lstat(path, &st) == 0 && S_ISREG(st.st_mode);
}

// The staged archive, opened once: not through a link, not blocking on a FIFO, a plain file of
// at most OEM_ARCHIVE_MAX bytes. Returns the descriptor, or -1 when there is none to unpack.
int open_archive(void)
{
    char buf[PLATFORM_PATH_MAX];
    const char *path = platform_path(g_oem_archive_path, buf, sizeof(buf));
    int fd = path == nullptr ? -1 : open(path, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    struct stat st;

    if (fd >= 0 && (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_size > OEM_ARCHIVE_MAX)) {
        close(fd);
        fd = -1;
    }
    return fd;
}

bool write_all(int fd, const uint8_t *p, size_t len)
{
    while (len > 0) {
        ssize_t n = write(fd, p, len);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        p += n;
        len -= (size_t)n;
    }
    return true;
}

// Opens the directory that is to hold the last component of the clean name `name`, making the
// ones missing on the way, one component at a time and never through a link. Returns `root`, a
// new descriptor, or -1; `*leaf` points at the last component.
int open_parent(int root, const char *name, const char **leaf)
{
    char part[OEM_TAR_NAME_MAX + 1];
    const char *p = name;
    const char *slash;
    int dir = root;

    while (dir >= 0 && (slash = strchr(p, '/')) != nullptr) {
        size_t n = (size_t)(slash - p);
        memcpy(part, p, n);
        part[n] = '\0';
        int next = mkdirat(dir, part, g_dir_mode) == 0 || errno == EEXIST
                       ? openat(dir, part, g_dir_flags)
                       : -1;
        if (dir != root)
            close(dir);
        dir = next;
        p = slash + 1;
    }
    *leaf = p;
    return dir;
}

int unpack_member(void *arg, const oem_tar_event *ev)
{
    unpack_ctx *u = static_cast<unpack_ctx *>(arg);
    const char *leaf = nullptr;
    int dir = -1;
    int rc = -1;

    if (ev->kind == OEM_TAR_DATA)
        return write_all(u->file, ev->data, ev->len) ? 0 : -1;
    if (ev->kind == OEM_TAR_FILE_END) {
        rc = fchmod(u->file, u->mode) == 0 && (!u->durable || fsync(u->file) == 0) ? 0 : -1;
        close(u->file);
        u->file = -1;
        return rc;
    }
    dir = open_parent(u->root, ev->name, &leaf);
    if (dir >= 0 && ev->kind == OEM_TAR_FILE) {
        u->file = openat(dir, leaf, g_file_flags, g_private_mode);
        u->mode = ev->mode;
        rc = u->file >= 0 ? 0 : -1;
    } else if (dir >= 0) {
        // A directory named twice, or first made as a parent, gets the mode of its own member.
        int fd = mkdirat(dir, leaf, g_private_mode) == 0 || errno == EEXIST
                     ? openat(dir, leaf, g_dir_flags)
                     : -1;
        rc = fd >= 0 && fchmod(fd, ev->mode) == 0 ? 0 : -1;
        if (fd >= 0)
            close(fd);
    }
    if (rc == 0 && u->durable && fsync(dir) != 0)
        rc = -1;
    if (dir >= 0 && dir != u->root)
        close(dir);
    return rc;
}

// Runs the device's gzip with `archive` as its standard input and its output on a pipe, whose
// reading end goes to `*out`. Returns the child, or -1.
pid_t start_gunzip(int archive, int *out)
{
    char buf[PLATFORM_PATH_MAX];
    const char *cmd = platform_command(g_gunzip_cmd, buf, sizeof(buf));
    int fds[2];

    if (cmd == nullptr || pipe2(fds, O_CLOEXEC) != 0)
        return -1;
    pid_t pid = fork();
    if (pid == 0) {
        // Its complaints are not the user's: the refusal says it in one line.
        int null_fd = open(g_null_device, O_WRONLY);
        if (dup2(archive, STDIN_FILENO) >= 0 && dup2(fds[1], STDOUT_FILENO) >= 0 && null_fd >= 0 &&
            dup2(null_fd, STDERR_FILENO) >= 0)
            execl(g_shell, "sh", "-c", cmd, (char *)nullptr);
        _exit(g_exec_failed);
    }
    close(fds[1]);
    if (pid < 0) {
        close(fds[0]);
        return -1;
    }
    *out = fds[0];
    return pid;
}

bool child_succeeded(pid_t pid)
{
    int status = 0;

    while (waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR)
            return false;
    }
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// Prints the one line of a refused archive, its member's name made printable.
void tell_refusal(int bank, const char *member, const char *why)
{
    char shown[OEM_PRINT_MAX + 1];
    size_t n = strnlen(member, OEM_PRINT_MAX);

    for (size_t i = 0; i < n; i++)
        shown[i] = member[i] < ' ' || member[i] == '"' || member[i] == 0x7f ? '?' : member[i];
    shown[n] = '\0';
    if (n > 0)
        fprintf(stderr, "fwupgrade: the OEM archive's member \"%s\" %s; ", shown, why);
    else
        fprintf(stderr, "fwupgrade: the OEM archive %s; ", why);
    fprintf(stderr, "the OEM directory of bank %d is left as it was\n", bank);
}

// Unpacks the staged archive into `root`. Returns 0, or -1 once the refusal is told.
int unpack_archive(int bank, int archive, int root)
{
    oem_tar t;
    int tar_fd = -1;
    pid_t pid = start_gunzip(archive, &tar_fd);
    int rc = pid < 0 ? OEM_TAR_ERR_END : oem_unpack(root, tar_fd, &t, true);

    if (tar_fd >= 0)
        close(tar_fd); // a gzip still writing ends on the closed pipe
    bool gunzipped = pid >= 0 && child_succeeded(pid);
    if (!gunzipped && (rc == 0 || rc == OEM_TAR_ERR_END))
        tell_refusal(bank, "", g_refuse_gzip);
    else if (rc != 0)
        tell_refusal(bank, oem_tar_member(&t), oem_tar_reason(rc));
    return rc == 0 && gunzipped ? 0 : -1;
}

// Puts the complete new directory in the OEM directory's place: swapped in one step where the
// file system can; else the old one steps aside first, and a cut between the two renames is
// mended by the next run (restore_stepped_aside). Returns 0 or -1.
int replace_oem_dir(int config)
{
    if (renameat2(config, g_fresh_leaf, config, g_oem_leaf, RENAME_EXCHANGE) == 0)
        return 0;
    if (errno == ENOENT)
        return renameat(config, g_fresh_leaf, config, g_oem_leaf);
    if (renameat(config, g_oem_leaf, config, g_old_leaf) != 0)
        return -1;
    if (renameat(config, g_fresh_leaf, config, g_oem_leaf) == 0)
        return 0;
    (void)renameat(config, g_old_leaf, config, g_oem_leaf);
    return -1;
}

// An OEM directory stepped aside by a run that was cut before the new one took its place.
void restore_stepped_aside(int config)
{
    struct stat st;

    if (fstatat(config, g_oem_leaf, &st, AT_SYMLINK_NOFOLLOW) != 0 && errno == ENOENT &&
        fstatat(config, g_old_leaf, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISDIR(st.st_mode))
        (void)renameat(config, g_old_leaf, config, g_oem_leaf);
}

} // namespace

int oem_unpack(int dir_fd, int tar_fd, oem_tar *t, bool durable)
{
    unpack_ctx u = {dir_fd, -1, 0, durable};
    uint8_t buf[OEM_READ_CHUNK];
    int rc = 0;

    oem_tar_init(t);
    for (;;) {
        ssize_t n = read(tar_fd, buf, sizeof(buf));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            rc = n < 0 ? OEM_TAR_ERR_END : oem_tar_finish(t);
            break;
        }
        rc = oem_tar_feed(t, buf, (size_t)n, unpack_member, &u);
        if (rc != 0)
            break;
    }
    if (u.file >= 0)
        close(u.file);
    return rc;
}

void install_oem(int bank)
{
    const oem_bank *b = &g_oem_banks[bank != 0];
    char buf[PLATFORM_PATH_MAX];
    const char *config_path = platform_path(b->config, buf, sizeof(buf));
    int config =
        config_path == nullptr ? -1 : open(config_path, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    int archive = -1;
    int root = -1;
    struct stat st;
    bool nooem = staged_file(g_nooem_path);
    bool staged = false;

    if (config >= 0) {
        restore_stepped_aside(config);
        archive = nooem ? -1 : open_archive();
        // Nothing staged, or nothing to empty: the OEM directory (or whatever is in its place)
        // stays as it is.
        staged =
            archive >= 0 || (nooem && fstatat(config, g_oem_leaf, &st, AT_SYMLINK_NOFOLLOW) == 0);
    }
    if (staged) {
        run_command(b->clean);
        if (mkdirat(config, g_fresh_leaf, g_private_mode) == 0)
            root = openat(config, g_fresh_leaf, g_dir_flags);
        if (root < 0) {
            fprintf(stderr, g_replace_failed, bank);
        } else if (archive < 0 || unpack_archive(bank, archive, root) == 0) {
            if (fchmod(root, g_dir_mode) != 0 || fsync(root) != 0 || replace_oem_dir(config) != 0)
                fprintf(stderr, g_replace_failed, bank);
            else
                (void)fsync(config); // the rename itself reaches the disk
        }
        // The old content, or the refused new one, goes with the private directories.
        run_command(b->clean);
    }
    if (root >= 0)
        close(root);
    if (archive >= 0)
        close(archive);
    if (config >= 0)
        close(config);
}
