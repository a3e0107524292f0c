// SPDX-License-Identifier: MIT
// The upgrade's notifications: the progress record in shared memory, the event log, the
// scheduler time slice, and the upgrade lock.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <dlfcn.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/shm.h>
#include <unistd.h>

#include "boot_idx.h"
#include "platform.h"
#include "paths.h"
#include "upgrade.h"
#include "upgrade_run.h"

namespace
{

const char g_evt_symbol[] = "Evt_log_event";

enum : int {
    TIMESLICE_TEXT_LEN = 16, // "timeslice=%d" is cut to 15 characters and its NUL
    UPGRADE_LOCK_BUSY = 1,   // another run holds the lock, or it cannot be had at all
    // How long an upgrade waits for boot commands' edits to finish: each takes about a second
    // on the controller's flash.
    LOCK_WAIT_MS = 10000,
    MS_PER_S = 1000,
};

enum : unsigned {
    PROGRESS_MODE_BITS = 0777, // the record is made with none of them set
};

typedef int (*evt_log_fn)(int, int, int, int);

// Descriptor of the held upgrade lock, -1 when this process holds none.
int g_upgrade_lock_fd = -1;

} // namespace

// Readers in other processes follow the record field by field, so every store goes through a
// volatile view and lands in the order written.
void progress_start(upgrade_progress *progress)
{
    volatile upgrade_progress *p = progress;

    if (p == nullptr)
        return;
    p->stage = UPGRADE_STAGE_LOADING;
    p->kernel_total = 0;
    p->kernel_done = 0;
    p->root_total = 0;
    p->root_done = 0;
    p->percent = 0;
}

void progress_stage(upgrade_progress *progress, int32_t stage)
{
    volatile upgrade_progress *p = progress;

    if (p != nullptr)
        p->stage = stage;
}

void progress_begin_write(upgrade_progress *progress, uint32_t kernel_total, uint32_t root_total)
{
    volatile upgrade_progress *p = progress;

    if (p == nullptr)
        return;
    p->stage = UPGRADE_STAGE_WRITE_KERNEL;
    p->kernel_total = kernel_total;
    p->root_total = root_total;
}

void progress_begin_verify(upgrade_progress *progress)
{
    volatile upgrade_progress *p = progress;

    if (p == nullptr)
        return;
    p->stage = UPGRADE_STAGE_VERIFY_KERNEL;
    p->kernel_done = 0;
    p->root_done = 0;
    p->percent = 0;
}

void progress_finish(upgrade_progress *progress, int result)
{
    volatile upgrade_progress *p = progress;

    if (p == nullptr)
        return;
    if (result == UPGRADE_OK) {
        p->stage = UPGRADE_STAGE_DONE;
        return;
    }
    p->stage = UPGRADE_STAGE_FAILED;
    p->percent = static_cast<uint8_t>(result); // the low 8 bits: read as signed, the code
}

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
    rc = boot_config_flock(fd, LOCK_EX, LOCK_WAIT_MS, FLOCK_WAIT_SHARED);
    if (rc == 0) {
        g_upgrade_lock_fd = fd;
        return 0;
    }
    if (rc == FLOCK_ERR_EXCLUSIVE)
        fprintf(stderr, "fwupgrade: another upgrade is running\n");
    else if (errno == EWOULDBLOCK)
        fprintf(stderr, "fwupgrade: boot commands kept the upgrade lock for %d s\n",
                LOCK_WAIT_MS / MS_PER_S);
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

upgrade_progress *upgrade_progress_attach(void)
{
    const int key = platform_progress_key();
    int id = shmget(key, sizeof(upgrade_progress), UPGRADE_PROGRESS_SHMFLG);
    struct shmid_ds ds;
    void *addr;

    if (id == -1) {
        // Most likely a segment of the record's key but another size.
        fprintf(stderr,
                "fwupgrade: the progress record (key 0x%x) cannot be used: %s; the upgrade runs "
                "without it ('ipcrm -M 0x%x' as its owner or root removes it)\n",
                (unsigned)key, strerror(errno), (unsigned)key);
        return nullptr;
    }
    // A segment someone else made before this run could be read, and written, by its maker:
    // the record is used only when this user made it, without any permission bits.
    if (shmctl(id, IPC_STAT, &ds) != 0 || ds.shm_perm.cuid != geteuid() ||
        ds.shm_perm.uid != geteuid() || (ds.shm_perm.mode & PROGRESS_MODE_BITS) != 0) {
        fprintf(stderr,
                "fwupgrade: the progress record (key 0x%x) was not made by this tool; the "
                "upgrade runs without it ('ipcrm -M 0x%x' as its owner or root removes it)\n",
                (unsigned)key, (unsigned)key);
        return nullptr;
    }
    addr = shmat(id, nullptr, 0);
    if (addr == reinterpret_cast<void *>(-1))
        return nullptr;
    return static_cast<upgrade_progress *>(addr);
}

void upgrade_progress_detach(upgrade_progress *progress)
{
    if (progress != nullptr)
        (void)shmdt(progress);
}
