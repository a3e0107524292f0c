// SPDX-License-Identifier: MIT
// Guest side of the real-kernel tests: follows the upgrade's progress record in shared memory
// and prints one console line, "KT-P <stage> <percent>", at every stage change and each quarter
// of a stage's transfer. The host times power cuts from these lines. Runs until it is killed.
#include <cstdio>
#include <sys/shm.h>
#include <unistd.h>

#include "progress.h"

namespace
{

const useconds_t kPollMicros = 1000;

// The share of the current stage's transfer, in quarters (0 to 4).
int quarter(const volatile upgrade_progress *p, int32_t stage)
{
    uint32_t total = 0, done = 0;
    if (stage == UPGRADE_STAGE_WRITE_KERNEL || stage == UPGRADE_STAGE_VERIFY_KERNEL) {
        total = p->kernel_total;
        done = p->kernel_done;
    } else if (stage == UPGRADE_STAGE_WRITE_ROOT || stage == UPGRADE_STAGE_VERIFY_ROOT) {
        total = p->root_total;
        done = p->root_done;
    }
    return total == 0 ? 0 : (int)((uint64_t)done * 4 / total);
}

} // namespace

int main()
{
    int id;
    while ((id = shmget(UPGRADE_PROGRESS_KEY, sizeof(upgrade_progress), 0)) == -1)
        usleep(kPollMicros);
    void *addr = shmat(id, nullptr, SHM_RDONLY);
    if (addr == reinterpret_cast<void *>(-1)) {
        perror("kwatch: shmat");
        return 1;
    }
    const volatile upgrade_progress *p = static_cast<const upgrade_progress *>(addr);
    int32_t last_stage = -2;
    int last_quarter = -1;
    for (;;) {
        int32_t stage = p->stage;
        int q = quarter(p, stage);
        if (stage != last_stage || q != last_quarter) {
            printf("KT-P %d %d\n", (int)stage, q * 25);
            fflush(stdout);
            last_stage = stage;
            last_quarter = q;
        }
        usleep(kPollMicros);
    }
}
