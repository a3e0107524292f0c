// SPDX-License-Identifier: MIT
// The upgrade's notifications: the event log and the scheduler time slice.
#include "notify.h"

#include <cstdio>
#include <cstring>
#include <dlfcn.h>
#include <fcntl.h>
#include <unistd.h>

#include "paths.h"
#include "platform.h"

namespace
{

const char g_evt_symbol[] = "Evt_log_event";

enum : int {
    TIMESLICE_TEXT_LEN = 16, // "timeslice=%d" is cut to 15 characters and its NUL
};

typedef int (*evt_log_fn)(int, int, int, int);

} // namespace

int evt_log_event(int a, int b, int c, int d)
{
    char buf[PLATFORM_PATH_MAX];
    const char *path = platform_path(g_evt_library, buf, sizeof(buf));
    void *lib;
    void *sym;
    int ret = -1;

    if (path == nullptr)
        return -1;
    lib = dlopen(path, RTLD_LAZY);
    if (lib == nullptr)
        return -1;
    (void)dlerror();
    sym = dlsym(lib, g_evt_symbol);
    // A symbol that resolves to null is as missing as one that does not resolve.
    if (dlerror() == nullptr && sym != nullptr)
        ret = reinterpret_cast<evt_log_fn>(sym)(a, b, c, d);
    dlclose(lib);
    return ret;
}

void evt_upgrade_start(void)
{
    (void)evt_log_event(UPGRADE_EVT_CLASS, UPGRADE_EVT_START, 0, 0);
}

void evt_upgrade_result(int ok)
{
    (void)evt_log_event(UPGRADE_EVT_CLASS, ok != 0 ? UPGRADE_EVT_SUCCESS : UPGRADE_EVT_FAILURE, 0,
                        0);
}

void update_timeslice(int value)
{
    char text[TIMESLICE_TEXT_LEN];
    char buf[PLATFORM_PATH_MAX];
    const char *path = platform_path(g_dte_path, buf, sizeof(buf));
    int fd;

    if (path == nullptr || snprintf(text, sizeof(text), "timeslice=%d", value) < 0)
        return;
    fd = open(path, O_WRONLY);
    if (fd == -1)
        return;
    // The control takes the text with its NUL, in one write.
    ssize_t written = write(fd, text, strlen(text) + 1);
    (void)written;
    close(fd);
}
