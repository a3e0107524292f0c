// SPDX-License-Identifier: MIT
// Bank state: which bank runs, which an upgrade writes and which it falls back to, from the boot
// script, the change marker and the kernel command line; and the public wrappers over the block
// operations.
#include "boot_idx.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "mtd_part.h"
#include "paths.h"
#include "platform.h"

namespace
{

const char g_marker_temp_suffix[] = ".XXXXXX"; // mkostemp's pattern, beside the marker
const char g_config_label[] = "\"RedBoot config\"";
const char g_bootopt_word[] = "bootopt="; // followed by the bank digit

enum : int {
    CMDLINE_READ_MAX = 512, // only this much of the kernel command line is looked at
    MARKER_LEN = 2,         // the bank digit and a newline
};

enum : int {
    BANK_ERR_NONE = -1,    // get_boot_idx: the script names no usable bank
    CMDLINE_ERR_OPEN = -1, // /proc/cmdline did not open
    CMDLINE_ERR_READ = -2, // it opened but could not be read
    CMDLINE_NO_BANK = -2,  // no "bootopt=0" or "bootopt=1" in it
};

enum : mode_t {
    MARKER_MODE = 0600, // nobody else may read or link it into trust
};

// What stands at the marker's path: the running bank a marker of this tool recorded, or a
// BOOT_MARKER_* value. It is opened without following a link and judged by the open file, so
// that nothing can be swapped in between the look and the read. Whatever a user without the
// tool's rights could plant in the world-writable lock directory (another owner or mode, a
// second name of root's own file, a FIFO, other content) is foreign.
int probe_marker(void)
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
int make_marker(int bank)
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

bool is_bank(int bank)
{
    return bank == 0 || bank == 1;
}

} // namespace

int boot_cmdline_override(const char *buf, size_t len)
{
    const size_t word_len = strlen(g_bootopt_word);
    int result = CMDLINE_NO_BANK;
    const char *at = buf;
    const char *end = buf + len;
    const char *hit;

    // The last one wins: the boot loader appends its own after the script's command line, which
    // may still carry a word copied from an earlier boot.
    while ((hit = (const char *)memmem(at, (size_t)(end - at), g_bootopt_word, word_len)) !=
           nullptr) {
        at = hit + word_len;
        if (at < end && (*at == '0' || *at == '1'))
            result = *at - '0';
    }
    return result;
}

int boot_running_bank(int script_bank, int marker, int override)
{
    if (is_bank(override))
        return override;
    // Every change of the script in a boot is preceded by the marker, so a script without one
    // still names the bank that was booted. Anything else in the marker's place could have been
    // planted to make the running bank the target: refused, never guessed.
    if (marker == BOOT_MARKER_FOREIGN)
        return BOOT_ERR_FOREIGN;
    if (is_bank(marker))
        return marker;
    return is_bank(script_bank) ? script_bank : BOOT_ERR_NOT_FOUND;
}

int get_boot_idx(int *current_idx, int *target_idx, int *fallback_idx)
{
    int script_bank = do_flash_boot_idx(BOOT_OP_GET_IDX, 0, nullptr);
    int running;

    if (!is_bank(script_bank))
        return BANK_ERR_NONE;
    running = boot_running_bank(script_bank, probe_marker(), check_bootidx_override());
    if (!is_bank(running))
        return running;
    *current_idx = running;
    *target_idx = 1 - running;
    *fallback_idx = running;
    return 0;
}

int boot_state_before_store(int script_bank)
{
    int override = check_bootidx_override();
    int marker = probe_marker();
    int running = boot_running_bank(script_bank, marker, override);
    int made;

    if (!is_bank(running))
        return running;
    if (marker != BOOT_MARKER_ABSENT)
        return 0;
    made = make_marker(running);
    // Where the kernel names the running bank, the marker only tells readers that the script
    // changed: a user's file in its way must not stop the change.
    return is_bank(override) ? 0 : made;
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
