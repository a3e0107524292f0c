// SPDX-License-Identifier: MIT
// The files that keep runs apart: the upgrade lock and the change marker.
#include "lock_files.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include "boot_script.h"
#include "mtd_part.h"
#include "paths.h"
#include "platform.h"

namespace
{

const char g_marker_temp_suffix[] = ".XXXXXX"; // mkostemp's pattern, beside the marker
const char g_config_label[] = "\"RedBoot config\"";

enum : int {
    MARKER_LEN = 2,     // the bank digit and a newline
    LOCK_RETRY_MS = 20, // pause between two attempts
    USEC_PER_MS = 1000,
    UPGRADE_LOCK_BUSY = 1, // another run holds the lock, or it cannot be had at all
    // How long an upgrade waits for boot commands' edits to finish: each takes about a second
    // on the controller's flash.
    UPGRADE_LOCK_WAIT_MS = 10000,
    MS_PER_S = 1000,
};

enum : mode_t {
    MARKER_MODE = 0600, // nobody else may read or link it into trust
};

// Descriptor of the held upgrade lock, -1 when this process holds none.
int g_upgrade_lock_fd = -1;

} // namespace

// What stands at the marker's path: the running bank a marker of this tool recorded, or a
// BOOT_MARKER_* value. It is opened without following a link and judged by the open file, so
// that nothing can be swapped in between the look and the read. Whatever a user without the
// tool's rights could plant in the world-writable lock directory (another owner or mode, a
// second name of root's own file, a FIFO, other content) is foreign.
int boot_marker_read(void)
{
    char buf[PLATFORM_PATH_MAX];
    const char *path = platform_path(g_bootidx_changed_path, buf, sizeof(buf));
    char text[MARKER_LEN + 1];
    struct stat st;
    int result = BOOT_MARKER_FOREIGN;
    int fd = path == nullptr ? -1 : open(path, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);

    if (fd < 0)
        return path != nullptr && errno == ENOENT ? BOOT_MARKER_ABSENT : BOOT_MARKER_FOREIGN;
    if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_uid == geteuid() &&
        (st.st_mode & 07777) == MARKER_MODE && st.st_nlink == 1 && st.st_size == MARKER_LEN &&
        read(fd, text, sizeof(text)) == MARKER_LEN && (text[0] == '0' || text[0] == '1') &&
        text[1] == '\n')
        result = text[0] - '0';
    close(fd);
    return result;
}

// Makes the marker recording `bank`: written and synced under a name of its own, then renamed
// into place, so that a cut leaves either no marker or a whole one, never an empty file that
// would stop every later change of the boot. Callers make it only where no other process can
// make one at the same time (the upgrade lock held exclusive, or the block's lock). 0 or
// BOOT_ERR_MARKER.
int boot_marker_make(int bank)
{
    char buf[PLATFORM_PATH_MAX];
    char temp[PLATFORM_PATH_MAX];
    const char *path = platform_path(g_bootidx_changed_path, buf, sizeof(buf));
    const char text[MARKER_LEN] = {(char)('0' + bank), '\n'};
    int fd = -1;
    bool ok = false;

    if (path != nullptr &&
        snprintf(temp, sizeof(temp), "%s%s", path, g_marker_temp_suffix) < (int)sizeof(temp))
        fd = mkostemp(temp, O_CLOEXEC);
    if (fd < 0)
        return BOOT_ERR_MARKER;
    // The mode must not depend on the caller's umask: the probe trusts the file by it.
    ok = fchmod(fd, MARKER_MODE) == 0 && write(fd, text, sizeof(text)) == MARKER_LEN &&
         fsync(fd) == 0;
    close(fd);
    if (ok)
        ok = rename(temp, path) == 0;
    if (!ok)
        (void)unlink(temp);
    return ok ? 0 : BOOT_ERR_MARKER;
}

int boot_config_flock(int fd, int how, int wait_ms, int wait_for)
{
    // Polled rather than blocking, so that a holder that never lets go cannot hang the caller.
    for (int waited = 0;; waited += LOCK_RETRY_MS) {
        if (flock(fd, how | LOCK_NB) == 0)
            return 0;
        if (errno != EWOULDBLOCK)
            return -1;
        if (wait_for == FLOCK_WAIT_SHARED) {
            // Only an exclusive holder refuses a shared request.
            if (how == LOCK_SH || flock(fd, LOCK_SH | LOCK_NB) != 0)
                return errno == EWOULDBLOCK ? FLOCK_ERR_EXCLUSIVE : -1;
            (void)flock(fd, LOCK_UN);
        }
        if (waited >= wait_ms) {
            errno = EWOULDBLOCK;
            return -1;
        }
        usleep((useconds_t)LOCK_RETRY_MS * USEC_PER_MS);
    }
}

int upgrade_lock_open(void)
{
    char dev[MTD_PATH_LEN];
    char buf[PLATFORM_PATH_MAX];
    const char *path;

    if (lookup_mtd_char_device(g_config_label, dev) <= 0) {
        errno = ENOENT;
        return -1;
    }
    path = platform_path(dev, buf, sizeof(buf));
    if (path == nullptr) {
        errno = ENAMETOOLONG;
        return -1;
    }
    return open(path, O_RDONLY | O_CLOEXEC);
}

int try_upgrade_lock(void)
{
    int fd;
    int rc;

    if (g_upgrade_lock_fd >= 0)
        return 0;
    // A lock that cannot be had at all keeps the upgrade out as well: nothing would keep a
    // second run away.
    fd = upgrade_lock_open();
    if (fd < 0) {
        fprintf(stderr,
                "fwupgrade: cannot open the upgrade lock, the configuration partition's flash "
                "device: %s\n",
                strerror(errno));
        return UPGRADE_LOCK_BUSY;
    }
    // An upgrade holds the lock exclusive, the boot commands' edits shared: another upgrade is
    // refused at once, an edit in progress is waited for.
    rc = boot_config_flock(fd, LOCK_EX, UPGRADE_LOCK_WAIT_MS, FLOCK_WAIT_SHARED);
    if (rc == 0) {
        g_upgrade_lock_fd = fd;
        return 0;
    }
    if (rc == FLOCK_ERR_EXCLUSIVE)
        fprintf(stderr, "fwupgrade: another upgrade is running\n");
    else if (errno == EWOULDBLOCK)
        fprintf(stderr, "fwupgrade: boot commands kept the upgrade lock for %d s\n",
                UPGRADE_LOCK_WAIT_MS / MS_PER_S);
    else
        fprintf(stderr, "fwupgrade: cannot lock the upgrade lock: %s\n", strerror(errno));
    close(fd);
    return UPGRADE_LOCK_BUSY;
}

int upgrade_unlock(void)
{
    if (g_upgrade_lock_fd >= 0) {
        (void)flock(g_upgrade_lock_fd, LOCK_UN);
        close(g_upgrade_lock_fd);
        g_upgrade_lock_fd = -1;
    }
    return 0;
}
