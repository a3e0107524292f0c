// SPDX-License-Identifier: MIT
#include "platform.h"

#include "progress.h"

#include <cstdio>
#include <cstring>
#include <sys/stat.h>
#include <sys/utsname.h>

int platform_init(void)
{
    return 0;
}

const char *platform_path(const char *path, char * /*buf*/, size_t /*size*/)
{
    return path;
}

const char *platform_command(const char *cmd, char * /*buf*/, size_t /*size*/)
{
    return cmd;
}

int platform_is_device(const char *resolved_path)
{
    struct stat st;

    return stat(resolved_path, &st) == 0 && S_ISBLK(st.st_mode) ? 1 : 0;
}

int platform_release(char *buf, size_t size)
{
    struct utsname uts;

    if (size == 0 || uname(&uts) != 0)
        return -1;
    snprintf(buf, size, "%s", uts.release);
    return 0;
}

int platform_progress_key(void)
{
    return UPGRADE_PROGRESS_KEY;
}
