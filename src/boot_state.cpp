// Bank state: which bank runs, which an upgrade writes and which it falls back to, from the boot
// script, the change marker and the kernel command line; and the public wrappers over the block
// operations.
#include "boot_idx.h"

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
};

// The probe creates the marker exclusively and removes it again; any failure to create it (it
// exists, /var/lock is missing or read-only) counts as present.
// Looks without creating anything: a probe that created and removed the marker would, if cut off
// in between, leave a marker that claims a switch that never happened, and the next upgrade of
// the boot would rewrite the running bank. Where a marker could not be created (no directory, or
// one that cannot be written), it counts as present, as a failed creation would.
int check_bootidx_changed(void)
{
    char buf[PLATFORM_PATH_MAX];
    char dir_buf[PLATFORM_PATH_MAX];
    const char *path = platform_path(g_bootidx_changed_path, buf, sizeof(buf));
    const char *dir = platform_path(g_bootidx_changed_dir, dir_buf, sizeof(dir_buf));
    struct stat st;

    if (path == nullptr || dir == nullptr || lstat(path, &st) == 0)
        return 1;
    if (stat(dir, &st) != 0 || !S_ISDIR(st.st_mode) || access(dir, W_OK) != 0)
        return 1;
    return 0;
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
    int changed;
    int override;
    int running;

    if (script_bank != 0 && script_bank != 1)
        return BANK_ERR_NONE;
    changed = check_bootidx_changed();
    override = check_bootidx_override();
    if (changed) {
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
    int fd = path == nullptr ? -1 : open(path, O_WRONLY | O_CREAT | O_EXCL, BOOTIDX_CHANGED_MODE);

    if (fd < 0)
        return MARKER_ERR;
    close(fd);
    return 0;
}

int clear_bootidx_changed(void)
{
    char buf[PLATFORM_PATH_MAX];
    const char *path = platform_path(g_bootidx_changed_path, buf, sizeof(buf));

    return path != nullptr && unlink(path) == 0 ? 0 : MARKER_ERR;
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
