// SPDX-License-Identifier: MIT
// The upgrade's one line on standard error, and the compiled-in shell commands it runs.
#include "report.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>

#include "platform.h"

void run_command(const char *cmd)
{
    char buf[PLATFORM_PATH_MAX];
    const char *resolved = platform_command(cmd, buf, sizeof(buf));

    if (resolved != nullptr) {
        int status = system(resolved);
        (void)status;
    }
}

int upgrade_fail(int code, const char *format, ...)
{
    va_list ap;

    fputs("fwupgrade: ", stderr);
    va_start(ap, format);
    // clang-tidy 14 takes `ap` for uninitialised when it checks several files in one run.
    vfprintf(stderr, format, ap); // NOLINT(clang-analyzer-valist.Uninitialized)
    va_end(ap);
    fputc('\n', stderr);
    return code;
}
