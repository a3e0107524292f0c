// SPDX-License-Identifier: MIT
// The boot configuration's remaining wrappers over do_flash_boot_idx, and the mount-table
// lookup: the tests and host tools use them, the device program does not.
#pragma once

#include <cstddef>

// Mount directory of `device_name` from /etc/mtab: 0 with `buf` filled, or -1.
int get_mount_point(const char *device_name, char *buf, size_t size);

// Results passed on unchanged.
int set_boot_exec(const char *text);
int set_boot_scrub(const char *text);
int set_boot_load(const char *text);
int get_boot_script(char *text); // `text` holds at least RB_SCRIPT_LEN bytes
// `*ramdisk_size` receives the result only when it is 0 or more.
int get_boot_ramdisk_size(int *ramdisk_size);
int set_boot_ramdisk_size(int ramdisk_size);
