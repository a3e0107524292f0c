// SPDX-License-Identifier: MIT
// The upgrade's notifications in process: the time-slice control, the event library calls, the
// shared progress record as another process sees it, and the upgrade lock.
#include "fixture.h"

#include <climits>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/shm.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "lock_files.h"
#include "notify.h"
#include "progress.h"
#include "upgrade.h"

namespace
{

void drop_segment()
{
    int id = shmget(UPGRADE_PROGRESS_KEY, 0, 0);
    if (id >= 0)
        shmctl(id, IPC_RMID, nullptr);
}

// The record's 24 bytes as a separate process reads them from the segment.
std::string read_segment_elsewhere()
{
    int fds[2];
    if (pipe(fds) != 0)
        return "";
    pid_t pid = fork();
    if (pid == 0) {
        close(fds[0]);
        int id = shmget(UPGRADE_PROGRESS_KEY, 0, 0);
        void *p = id >= 0 ? shmat(id, nullptr, SHM_RDONLY) : reinterpret_cast<void *>(-1);
        if (p == reinterpret_cast<void *>(-1))
            _exit(1);
        _exit(write(fds[1], p, 24) == 24 ? 0 : 1);
    }
    close(fds[1]);
    char buf[64];
    ssize_t n = read(fds[0], buf, sizeof(buf));
    close(fds[0]);
    int st = 0;
    waitpid(pid, &st, 0);
    return WIFEXITED(st) && WEXITSTATUS(st) == 0 && n > 0 ? std::string(buf, (size_t)n) : "";
}

// A separate process's attempt at the lock file, as a second upgrade run would make it.
bool lock_free_elsewhere(const std::string &path)
{
    pid_t pid = fork();
    if (pid == 0) {
        int fd = open(path.c_str(), O_RDWR);
        _exit(fd >= 0 && flock(fd, LOCK_EX | LOCK_NB) == 0 ? 0 : 1);
    }
    int st = 0;
    waitpid(pid, &st, 0);
    return WIFEXITED(st) && WEXITSTATUS(st) == 0;
}

using Notify = fwtest::SimDeviceTest;

TEST_F(Notify, TimesliceWritesItsTextAndNulOverTheStartOfTheControl)
{
    struct row {
        int value;
        const char *text; // what lands before the NUL
    };
    const row rows[] = {
        {3, "timeslice=3"},           {0, "timeslice=0"}, {-1, "timeslice=-1"},
        {12345, "timeslice=12345"},   // 15 characters: the longest that fits
        {123456, "timeslice=12345"},  // cut
        {INT_MIN, "timeslice=-2147"}, // cut
    };
    for (const row &r : rows) {
        SCOPED_TRACE(r.value);
        write("proc/dte", std::string(20, 'X'));
        update_timeslice(r.value);
        std::string expected = std::string(r.text) + '\0';
        expected += std::string(20 - expected.size(), 'X');
        EXPECT_EQ(expected, read("proc/dte"));
    }
}

TEST_F(Notify, TimesliceWithoutTheControlCreatesNothing)
{
    ASSERT_EQ(0, unlink(path("proc/dte").c_str()));
    update_timeslice(3);
    struct stat st;
    EXPECT_NE(0, stat(path("proc/dte").c_str(), &st));
}

TEST_F(Notify, EventsReachTheLibraryWithTheirIdentifiers)
{
    EXPECT_EQ(0, evt_log_event(1, 2, -3, 4));
    evt_upgrade_start();
    evt_upgrade_result(1);
    evt_upgrade_result(0);
    evt_upgrade_result(-19); // any non-zero outcome is a success
    EXPECT_EQ("1 0x2 -3 4\n"
              "4 0x70006 0 0\n"
              "4 0x70007 0 0\n"
              "4 0x70008 0 0\n"
              "4 0x70007 0 0\n",
              read("var/log/evt.log"));
}

TEST_F(Notify, EventsAreDroppedWithoutAUsableLibrary)
{
    std::string evt = fwtest::evt_library();
    std::string no_symbol = evt.substr(0, evt.rfind('/')) + "/libfwfault.so";
    std::string lib_without_symbol;
    ASSERT_TRUE(sim::read_file(no_symbol, &lib_without_symbol));
    struct row {
        const char *name;
        bool present;
        std::string content;
    };
    const row rows[] = {
        {"missing", false, ""},
        {"not a library", true, "not an ELF file\n"},
        {"library without Evt_log_event", true, lib_without_symbol},
    };
    for (const row &r : rows) {
        SCOPED_TRACE(r.name);
        unlink(path("lib/libevt.so").c_str());
        if (r.present)
            write("lib/libevt.so", r.content);
        EXPECT_EQ(-1, evt_log_event(4, UPGRADE_EVT_START, 0, 0));
        evt_upgrade_start();
        evt_upgrade_result(1);
        EXPECT_EQ("", read("var/log/evt.log"));
    }
}

TEST_F(Notify, ProgressRecordIsTheSharedSegmentByteForByte)
{
    drop_segment();
    upgrade_progress *p = upgrade_progress_attach();
    ASSERT_NE(nullptr, p);
    struct shmid_ds ds;
    ASSERT_EQ(0, shmctl(shmget(UPGRADE_PROGRESS_KEY, 0, 0), IPC_STAT, &ds));
    EXPECT_EQ(24u, ds.shm_segsz);
    EXPECT_EQ(0u, ds.shm_perm.mode & 0777u) << "only privileged readers may attach";
    EXPECT_EQ(std::string(24, '\0'), read_segment_elsewhere()) << "a new segment reads zero";

    p->stage = UPGRADE_STAGE_FAILED;
    p->kernel_total = 0x01020304;
    p->root_total = 0x0A0B0C0D;
    p->kernel_done = 0x11121314;
    p->root_done = 0xF1F2F3F4;
    p->percent = (uint8_t)UPGRADE_ERR_RESOURCE;
    upgrade_progress_detach(p);

    const unsigned char expected[24] = {0xFF, 0xFF, 0xFF, 0xFF, 0x04, 0x03, 0x02, 0x01,
                                        0x0D, 0x0C, 0x0B, 0x0A, 0x14, 0x13, 0x12, 0x11,
                                        0xF4, 0xF3, 0xF2, 0xF1, 0xED, 0x00, 0x00, 0x00};
    EXPECT_EQ(std::string((const char *)expected, 24), read_segment_elsewhere());

    // The next run attaches the same segment and finds the last contents.
    p = upgrade_progress_attach();
    ASSERT_NE(nullptr, p);
    EXPECT_EQ(UPGRADE_STAGE_FAILED, p->stage);
    upgrade_progress_detach(p);
}

TEST_F(Notify, ProgressRecordUnavailableWhenTheKeyHoldsASmallerSegment)
{
    drop_segment();
    int id = shmget(UPGRADE_PROGRESS_KEY, 8, IPC_CREAT | 0600);
    ASSERT_GE(id, 0);
    EXPECT_EQ(nullptr, upgrade_progress_attach());
    upgrade_progress_detach(nullptr);
    shmctl(id, IPC_RMID, nullptr);
}

TEST_F(Notify, UpgradeLockKeepsOtherRunsOutUntilReleased)
{
    // The configuration partition's character device (partition 1 in the simulated table).
    std::string lock = path("dev/mtd1");

    ASSERT_EQ(0, try_upgrade_lock());
    EXPECT_EQ(0, try_upgrade_lock()) << "the holder asking again";
    EXPECT_FALSE(lock_free_elsewhere(lock));
    EXPECT_EQ(0, upgrade_unlock());
    EXPECT_TRUE(lock_free_elsewhere(lock));
    EXPECT_EQ(0, upgrade_unlock()) << "releasing twice";

    // Held by another process: refused until that one lets go.
    int fd = open(lock.c_str(), O_RDWR);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(0, flock(fd, LOCK_EX));
    pid_t pid = fork();
    if (pid == 0)
        _exit(try_upgrade_lock() != 0 ? 0 : 1);
    int st = 0;
    waitpid(pid, &st, 0);
    EXPECT_TRUE(WIFEXITED(st) && WEXITSTATUS(st) == 0) << "a second run got the lock";
    close(fd);
    ASSERT_EQ(0, try_upgrade_lock());
    upgrade_unlock();
}

TEST_F(Notify, UpgradeLockRefusedWhenItCannotBeCreated)
{
    // Nothing else is made in its place: without the device there is no lock.
    ASSERT_EQ(0, unlink(path("dev/mtd1").c_str()));
    EXPECT_NE(0, try_upgrade_lock());
    EXPECT_EQ(0, upgrade_unlock());
    EXPECT_NE(0, access(path("dev/mtd1").c_str(), F_OK));
}

} // namespace
