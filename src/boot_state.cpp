// Bank state: which bank runs, which an upgrade writes and which it falls back to, from the boot
// script, the change marker and the kernel command line; and the public wrappers over the block
// operations.
#include "boot_idx.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <mntent.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform.h"

namespace
{

const char g_bootidx_changed_path[] = "/var/lock/bootidx_changed";
const char g_bootidx_changed_dir[] = "/var/lock";
const char g_cmdline_path[] = "/proc/cmdline";
const char g_mtab_path[] = "/etc/mtab";
// Lives in the directory that a reboot empties, so a lock never outlives the boot it was taken in.
const char g_upgrade_lock_path[] = "/var/lock/fwupgrade.lock";
const char *const g_bootopt_bank[] = {"bootopt=0", "bootopt=1"};

enum : int {
    CMDLINE_READ_MAX = 512, // only this much of the kernel command line is looked at
    BANK_COUNT = 2,
};

enum : int {
    BANK_ERR_NONE = -1,       // get_boot_idx: the script names no usable bank
    CMDLINE_ERR_OPEN = -1,    // /proc/cmdline did not open
    CMDLINE_ERR_READ = -2,    // it opened but could not be read
    CMDLINE_NO_BANK = -2,     // no "bootopt=0" or "bootopt=1" in it
    MARKER_ERR = -1,          // the change marker could not be created or removed
    MOUNT_ERR_NOT_FOUND = -1, // no /etc/mtab, or the device is not in it
};

enum : mode_t {
    BOOTIDX_CHANGED_MODE = 0644,
    UPGRADE_LOCK_MODE = 0600, // nobody else may take it
};

enum : int {
    LOCK_OPEN_ATTEMPTS = 2,
};

// What stands at the marker's path.
enum marker_state {
    MARKER_ABSENT,   // nothing, or something this tool could not have made: not trusted
    MARKER_PRESENT,  // a regular, empty file of this process's user
    MARKER_UNTESTED, // no marker can be made there (no directory, or one not writable)
};

// The probe looks without creating anything: a probe that created and removed the marker would,
// if cut off in between, leave a marker that claims a switch that never happened. Anything that a
// user without the tool's rights could plant in a world-writable lock directory (another owner,
// a link, a FIFO, a file with content) does not count.
marker_state probe_marker(void)
{
    char buf[PLATFORM_PATH_MAX];
    char dir_buf[PLATFORM_PATH_MAX];
    const char *path = platform_path(g_bootidx_changed_path, buf, sizeof(buf));
    const char *dir = platform_path(g_bootidx_changed_dir, dir_buf, sizeof(dir_buf));
    struct stat st;

    if (path == nullptr || dir == nullptr)
        return MARKER_UNTESTED;
    if (lstat(path, &st) == 0 && S_ISREG(st.st_mode) && st.st_size == 0 && st.st_uid == geteuid())
        return MARKER_PRESENT;
    if (stat(dir, &st) != 0 || !S_ISDIR(st.st_mode) || access(dir, W_OK) != 0)
        return MARKER_UNTESTED;
    return MARKER_ABSENT;
}

// Removes whatever stands at `path` unless it is a file this user may trust; 0 when the path is
// then free or trusted.
int remove_foreign(const char *path, mode_t mode, off_t size_max)
{
    struct stat st;

    if (lstat(path, &st) != 0)
        return errno == ENOENT ? 0 : -1;
    if (S_ISREG(st.st_mode) && st.st_uid == geteuid() && (st.st_mode & 07777) == mode &&
        st.st_nlink == 1 && st.st_size <= size_max)
        return 0;
    return unlink(path);
}

int check_bootidx_override(void)
{
    char buf[PLATFORM_PATH_MAX];
    const char *path = platform_path(g_cmdline_path, buf, sizeof(buf));
    char cmdline[CMDLINE_READ_MAX];
    int fd = path == nullptr ? -1 : open(path, O_RDONLY);
    ssize_t n;

    if (fd < 0)
        return CMDLINE_ERR_OPEN;
    n = read(fd, cmdline, sizeof(cmdline));
    close(fd);
    if (n < 0)
        return CMDLINE_ERR_READ;
    return boot_cmdline_override(cmdline, (size_t)n);
}

} // namespace

int boot_cmdline_override(const char *buf, size_t len)
{
    int result = CMDLINE_NO_BANK;

    // "bootopt=1" wins when both occur.
    for (int bank = 0; bank < BANK_COUNT; bank++) {
        if (memmem(buf, len, g_bootopt_bank[bank], strlen(g_bootopt_bank[bank])) != nullptr)
            result = bank;
    }
    return result;
}

int get_boot_idx(int *current_idx, int *target_idx, int *fallback_idx)
{
    int script_bank = do_flash_boot_idx(BOOT_OP_GET_IDX, 0, nullptr);
    marker_state marker;
    int override;
    int running;

    if (script_bank != 0 && script_bank != 1)
        return BANK_ERR_NONE;
    marker = probe_marker();
    override = check_bootidx_override();
    // A marker says an upgrade of this boot switched the script away from the running bank. When
    // the kernel names the running bank and the script names it too, that switch was undone: the
    // marker is stale, and trusting it would make the running bank the target.
    if (marker != MARKER_ABSENT && (override == 0 || override == 1) && override == script_bank) {
        if (marker == MARKER_PRESENT)
            (void)clear_bootidx_changed();
        marker = MARKER_ABSENT;
    }
    if (marker != MARKER_ABSENT) {
        // An upgrade of this boot already switched the script: rewrite that bank again, and fall
        // back to the one running now.
        *current_idx = script_bank;
        *target_idx = script_bank;
        *fallback_idx = 1 - script_bank;
    } else {
        running = override == 0 || override == 1 ? override : script_bank;
        *current_idx = running;
        *target_idx = 1 - running;
        *fallback_idx = running;
    }
    return 0;
}

int set_bootidx_changed(void)
{
    char buf[PLATFORM_PATH_MAX];
    const char *path = platform_path(g_bootidx_changed_path, buf, sizeof(buf));
    int fd = -1;

    // Whatever else stands at the path is replaced: the marker is made by this tool only.
    if (path != nullptr && remove_foreign(path, BOOTIDX_CHANGED_MODE, 0) == 0)
        fd = open(path, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, BOOTIDX_CHANGED_MODE);
    if (fd < 0)
        return MARKER_ERR;
    // The mode must not depend on the caller's umask: the probe trusts the file by it.
    (void)fchmod(fd, BOOTIDX_CHANGED_MODE);
    close(fd);
    return 0;
}

int clear_bootidx_changed(void)
{
    char buf[PLATFORM_PATH_MAX];
    const char *path = platform_path(g_bootidx_changed_path, buf, sizeof(buf));

    return path != nullptr && unlink(path) == 0 ? 0 : MARKER_ERR;
}

int upgrade_lock_open(void)
{
    char buf[PLATFORM_PATH_MAX];
    const char *path = platform_path(g_upgrade_lock_path, buf, sizeof(buf));
    int fd = -1;

    if (path == nullptr) {
        errno = ENAMETOOLONG;
        return -1;
    }
    // A file another user made, or a link, would let that user hold the lock or point the
    // upgrade's open elsewhere: it goes, and the lock file is made anew. Two tries cover a
    // concurrent run making it between the removal and the creation.
    for (int attempt = 0; attempt < LOCK_OPEN_ATTEMPTS && fd < 0; attempt++) {
        if (remove_foreign(path, UPGRADE_LOCK_MODE, 0) != 0)
            return -1;
        fd = open(path, O_RDWR | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
        if (fd < 0 && errno == ENOENT) {
            fd = open(path, O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, UPGRADE_LOCK_MODE);
            if (fd >= 0)
                (void)fchmod(fd, UPGRADE_LOCK_MODE);
        }
        if (fd < 0 && errno != EEXIST && errno != ENOENT)
            return -1;
    }
    return fd;
}

int get_mount_point(const char *device_name, char *buf, size_t size)
{
    char path_buf[PLATFORM_PATH_MAX];
    const char *path = platform_path(g_mtab_path, path_buf, sizeof(path_buf));
    FILE *mtab = path == nullptr ? nullptr : setmntent(path, "r");
    struct mntent *m;
    int result = MOUNT_ERR_NOT_FOUND;

    if (mtab == nullptr)
        return MOUNT_ERR_NOT_FOUND;
    while (result != 0 && (m = getmntent(mtab)) != nullptr) {
        if (strcmp(m->mnt_fsname, device_name) == 0) {
            snprintf(buf, size, "%s", m->mnt_dir);
            result = 0;
        }
    }
    endmntent(mtab);
    return result;
}

int set_boot_idx(int bank)
{
    return do_flash_boot_idx(BOOT_OP_SET_IDX, bank, nullptr);
}

int get_boot_bank(void)
{
    return do_flash_boot_idx(BOOT_OP_GET_IDX, 0, nullptr);
}

int select_boot_bank(int bank, int ramdisk_mib)
{
    boot_report report;
    int result = boot_config_select(bank, ramdisk_mib, &report);

    // A script without the anchors takes no edit: the bank it names is what counts.
    if (result == 0 && report.bank_after != bank)
        result = BOOT_ERR_NOT_FOUND;
    return result;
}

// The text operations only read `text`.
int set_boot_exec(const char *text)
{
    return do_flash_boot_idx(BOOT_OP_UPDATE_EXEC, 0, const_cast<char *>(text));
}

int set_boot_scrub(const char *text)
{
    return do_flash_boot_idx(BOOT_OP_UPDATE_SCRUB, 0, const_cast<char *>(text));
}

int set_boot_load(const char *text)
{
    return do_flash_boot_idx(BOOT_OP_UPDATE_LOAD, 0, const_cast<char *>(text));
}

int get_boot_script(char *text)
{
    return do_flash_boot_idx(BOOT_OP_GET_SCRIPT, 0, text);
}

int get_boot_ramdisk_size(int *ramdisk_size)
{
    int result = do_flash_boot_idx(BOOT_OP_GET_RAMDISK_SIZE, 0, nullptr);

    if (result >= 0)
        *ramdisk_size = result;
    return result;
}

int set_boot_ramdisk_size(int ramdisk_size)
{
    return do_flash_boot_idx(BOOT_OP_SET_RAMDISK_SIZE, ramdisk_size, nullptr);
}
