// SPDX-License-Identifier: MIT
#include "boot_wrappers.h"

#include <cstdio>
#include <cstring>
#include <mntent.h>

#include "rb_config.h"
#include "paths.h"
#include "platform.h"

namespace
{

enum : int {
    MOUNT_ERR_NOT_FOUND = -1, // no /etc/mtab, or the device is not in it
};

} // namespace

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
