// SPDX-License-Identifier: MIT
// Bank state: which bank runs, which an upgrade writes and which it falls back to, from the boot
// script, the change marker and the kernel command line.
#include "bank_state.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "lock_files.h"
#include "paths.h"
#include "platform.h"
#include "rb_config.h"

namespace
{

const char g_bootopt_word[] = "bootopt="; // followed by the bank digit

enum : int {
    CMDLINE_READ_MAX = 512, // only this much of the kernel command line is looked at
};

enum : int {
    BANK_ERR_NONE = -1,    // get_boot_idx: the script names no usable bank
    CMDLINE_ERR_OPEN = -1, // /proc/cmdline did not open
    CMDLINE_ERR_READ = -2, // it opened but could not be read
    CMDLINE_NO_BANK = -2,  // no "bootopt=0" or "bootopt=1" in it
};

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

int boot_cmdline_bank(void)
{
    return check_bootidx_override();
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
    running = boot_running_bank(script_bank, boot_marker_read(), check_bootidx_override());
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
    int marker = boot_marker_read();
    int running = boot_running_bank(script_bank, marker, override);
    int made;

    if (!is_bank(running))
        return running;
    if (marker != BOOT_MARKER_ABSENT)
        return 0;
    made = boot_marker_make(running);
    // Where the kernel names the running bank, the marker only tells readers that the script
    // changed: a user's file in its way must not stop the change.
    return is_bank(override) ? 0 : made;
}
