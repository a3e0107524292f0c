// SPDX-License-Identifier: MIT
// The progress record in shared memory: attached for the run, written at each step.
#include "progress.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <sys/shm.h>
#include <unistd.h>

#include "platform.h"

namespace
{

enum : unsigned {
    PROGRESS_MODE_BITS = 0777, // the record is made with none of them set
};

enum : uint64_t {
    PERCENT_SCALE = 100,
};

// Which done count a transfer advances: writing counts under stages 3 and 4, comparing under 5
// and 6.
struct progress_stages {
    int32_t kernel_stage;
    int32_t root_stage;
};

constexpr progress_stages g_write_stages = {UPGRADE_STAGE_WRITE_KERNEL, UPGRADE_STAGE_WRITE_ROOT};
constexpr progress_stages g_verify_stages = {UPGRADE_STAGE_VERIFY_KERNEL,
                                             UPGRADE_STAGE_VERIFY_ROOT};

// Other processes read the record at any moment, so every field is touched through a volatile
// view: one plain store per field, the done count before the percentage.
void count_chunk(void *context, int verify, int32_t done)
{
    volatile upgrade_progress *p = static_cast<upgrade_progress *>(context);
    const progress_stages &stages = verify != DATA_COUNT_WRITE ? g_verify_stages : g_write_stages;
    int32_t stage = p->stage;

    if (stage == stages.kernel_stage)
        p->kernel_done = (uint32_t)done;
    else if (stage == stages.root_stage)
        p->root_done = (uint32_t)done;
    else
        printf("exception !!\n");

    // 64-bit sums and product: two 32-bit totals times 100 cannot wrap. A record without totals
    // has no meaningful percentage and keeps the one it holds.
    uint64_t total = (uint64_t)p->kernel_total + (uint64_t)p->root_total;
    if (total == 0)
        return;
    uint64_t sum = (uint64_t)p->kernel_done + (uint64_t)p->root_done;
    p->percent = (uint8_t)(sum * PERCENT_SCALE / total);
}

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

data_progress progress_sink(upgrade_progress *progress)
{
    data_progress sink = {nullptr, progress};

    if (progress != nullptr)
        sink.count = count_chunk;
    return sink;
}
