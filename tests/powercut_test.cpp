// Power cuts during an upgrade. fwupgrade-sim is killed with SIGKILL at many instants of its run:
// a kill keeps every write that completed and drops the rest of the run, as a cut of the power
// keeps what reached the flash (every write of the program is synced before the next step). After
// each kill the test looks at what a reboot would find: the configuration block's CRC, the bank
// that its boot script names, and that bank's partitions, which must hold the old image while the
// script names the old bank and the new image once it names the new one. The old bank itself must
// never change, and a later upgrade after the reboot must complete.
//
// A cut inside a store of the 0x20000-byte block leaves it torn (part new, part old, CRC word not
// matching): with one copy of the block on flash this window cannot be closed, so it is counted
// and printed, not failed. A kill seldom tears it (the kernel copies the block in few pieces), so
// the cut is also emulated at every 512-byte boundary of the two stores the upgrade makes.
// The change marker must never claim a switch that did not happen: the probe of the bank query
// creates nothing, so no kill may leave a marker while the script names the old bank.
// Kills are spread over the whole run and, densely, around the instants of those windows, timed
// from the program's own file events, to show how large the windows are.
#include "fixture.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <map>
#include <poll.h>
#include <sys/inotify.h>
#include <sys/shm.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "crc32.h"
#include "md5.h"
#include "upgrade.h"

namespace
{

using fwtest::md5_of;
using fwtest::random_bytes;

const int kOldBank = 0; // running, holds the old image
const int kNewBank = 1; // the upgrade's target
const char *const kKernelDev[] = {"dev/mtdblock3", "dev/mtdblock5"};
const char *const kRootDev[] = {"dev/mtdblock4", "dev/mtdblock6"};
const char kConfigDev[] = "dev/mtdblock1";
const char kMarkerName[] = "bootidx_changed";
const char kMarker[] = "var/lock/bootidx_changed";
const char kStaged[] = "tmpfs/upgrading/fw.bin";

// Small payloads: one run writes and compares ten 32 KiB chunks, some tens of milliseconds.
const uint32_t kKernelPart = 0x40000;
const uint32_t kRootPart = 0x100000; // the ramdisk size becomes 1 (MiB), a second store
const size_t kKernelLen = 100000;
const size_t kRootLen = 200000;

const int kProbeRuns = 3;
const int kSpreadKills = 200;    // over the run up to the pause
const int kDenseKills = 40;      // around each window
const double kDenseHalfMs = 0.2; // dense kills lie within this of the window's instant
const int kExitKills = 4;        // after the pause, in the exit steps
const int32_t kUntouched = 100;  // stage planted before each run: the record was never started
const size_t kCutStep = 512;     // emulated cuts: one per flash sector

struct payloads {
    std::string kernel;
    std::string root;
};

uint32_t get_le32(const std::string &s, size_t off)
{
    uint32_t v = 0;
    for (int i = 3; i >= 0; i--)
        v = v << 8 | (uint8_t)s[off + i];
    return v;
}

bool block_crc_valid(const std::string &b)
{
    return b.size() == 0x20000 && cyg_crc32(b.data(), 0x1FFFC) == get_le32(b, 0x1FFFC);
}

// The image file for the running model.
std::string image_file(const payloads &p)
{
    return fwtest::image_file("SIM3000", p.kernel, p.root);
}

double now_ms()
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (double)ts.tv_sec * 1e3 + (double)ts.tv_nsec / 1e6;
}

void sleep_until_ms(double t)
{
    timespec ts;
    ts.tv_sec = (time_t)(t / 1e3);
    ts.tv_nsec = (long)((t - (double)ts.tv_sec * 1e3) * 1e6);
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &ts, nullptr) == EINTR) {
    }
}

// File events of a run, as the test sees them through inotify; a burst of events of one kind on
// the device counts once.
enum event_kind {
    EV_START,      // the program was started
    EV_OPEN,       // the configuration device was opened (for one query or store)
    EV_CLOSE_READ, // ... closed after a query
    EV_MODIFY,     // ... written: a store completed
    EV_MARKER,     // the change marker was created (the new bank is selected)
    EV_KINDS
};

// When to kill: `delay_ms` after the `nth` (from 0) event of `kind`.
struct trigger {
    event_kind kind;
    int nth;
    double delay_ms;
};

struct run_watch {
    std::vector<double> at[EV_KINDS]; // instants of each kind, in ms from the start
    bool killed = false;              // false: the run ended before its kill
    int status = 0;
    double end = -1; // when an unkilled run ended
};

enum kill_phase {
    PHASE_SPREAD,
    PHASE_WRITES,
    PHASE_PROBE,
    PHASE_STORE1,
    PHASE_STORE2,
    PHASE_EXIT,
    PHASES
};
const char *const kPhaseNames[PHASES] = {"spread over the run",  "over the writes and verify",
                                         "after the bank query", "at the bank switch store",
                                         "at the ramdisk store", "in the exit steps"};

struct planned_kill {
    kill_phase phase;
    trigger when;
};

// What the kills found.
struct tally {
    std::map<int32_t, int> by_stage; // stage read from the record after the kill
    int ended_first = 0;             // the run ended before its kill
    int kills[PHASES] = {};
    int torn[PHASES] = {};  // CRC invalid: a kill inside a store
    int stale[PHASES] = {}; // marker present, no switch: a kill inside the probe
    int recovered = 0;      // upgrades after a reboot that completed
    int retry = -1; // after the first stale marker, an upgrade retried without a reboot wrote
                    // the running bank (1) or not (0); -1: no stale marker
};

// Emulated cuts inside one store.
struct cut_sweep {
    int cuts = 0;
    int broken = 0;        // cut points that leave an invalid CRC
    size_t first_diff = 0; // first byte the store changes
    size_t last_diff = 0;  // last byte the store changes
};

template <typename T> T median(std::vector<T> v)
{
    std::sort(v.begin(), v.end());
    return v.empty() ? T() : v[v.size() / 2];
}

class PowerCut : public fwtest::SimDeviceTest
{
  protected:
    void SetUp() override
    {
        SimDeviceTest::SetUp();
        sim::device_options opt;
        opt.running_bank = kOldBank;
        opt.kernel_size = kKernelPart;
        opt.root_size = kRootPart;
        opt.evt_library = fwtest::evt_library();
        make_device(opt);
        old_ = {random_bytes(kKernelLen, 1), random_bytes(kRootLen, 2)};
        new_ = {random_bytes(kKernelLen, 3), random_bytes(kRootLen, 4)};
        place(kKernelDev[kOldBank], old_.kernel);
        place(kRootDev[kOldBank], old_.root);
        for (const char *dev : {kConfigDev, kKernelDev[0], kRootDev[0], kKernelDev[1], kRootDev[1]})
            pristine_[dev] = read(dev);
        staged_ = image_file(new_);

        int id = shmget(UPGRADE_PROGRESS_KEY, sizeof(upgrade_progress), IPC_CREAT | 0600);
        ASSERT_GE(id, 0) << strerror(errno);
        void *p = shmat(id, nullptr, 0);
        ASSERT_NE(reinterpret_cast<void *>(-1), p);
        record_ = static_cast<volatile upgrade_progress *>(p);
    }

    void TearDown() override
    {
        if (record_ != nullptr)
            shmdt(const_cast<upgrade_progress *>(record_));
    }

    void place(const char *dev, const std::string &data)
    {
        std::string d = read(dev);
        d.replace(0, data.size(), data);
        write(dev, d);
    }

    // The device as before the upgrade, with the new image staged and the record unstarted.
    void restore()
    {
        for (const auto &dev : pristine_)
            write(dev.first, dev.second);
        unlink(path(kMarker).c_str());
        ASSERT_TRUE(sim::make_dirs(path("tmpfs/upgrading")));
        write(kStaged, staged_);
        record_->stage = kUntouched;
    }

    // A reboot into `bank`: /var/lock and the staging area emptied, the kernel command line
    // naming the bank booted.
    void reboot(int bank)
    {
        sim::remove_tree(path("var/lock"));
        ASSERT_TRUE(sim::make_dirs(path("var/lock")));
        sim::remove_tree(path("tmpfs/upgrading"));
        write("proc/cmdline", sim::cmdline_for_bank(read("proc/cmdline"), bank));
    }

    // Runs the upgrade and, with `when`, kills it at that instant; records its file events until
    // the kill is due (all of them without one).
    run_watch watch_run(const trigger *when)
    {
        run_watch w;
        int in = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
        EXPECT_GE(in, 0);
        int lock_dir = inotify_add_watch(in, path("var/lock").c_str(), IN_CREATE);
        int config =
            inotify_add_watch(in, path(kConfigDev).c_str(), IN_OPEN | IN_CLOSE_NOWRITE | IN_MODIFY);
        double kill_at = -1;
        pid_t pid = fwtest::start_program(fwtest::sim_binary(), "fwupgrade", {},
                                          {"FWUP_SYSROOT=" + dir_.path()});
        // Timed from the return of the fork, not from before it: copying the test's own large
        // address space (the sanitizer's shadow and quarantine) takes a varying while.
        double t0 = now_ms();
        EXPECT_GT(pid, 0);
        bool done = pid <= 0;
        event_kind last_config = EV_KINDS;
        w.at[EV_START].push_back(0);
        if (when != nullptr && when->kind == EV_START)
            kill_at = when->delay_ms;
        // The test keeps watching until the last millisecond before a kill, as it does through
        // an unkilled run: a test asleep for the whole delay made the program start markedly
        // later in the sanitizer build, off the timeline that the kills aim at.
        while (!done) {
            if (kill_at >= 0 && now_ms() - t0 >= kill_at - 1.0) {
                sleep_until_ms(t0 + kill_at);
                kill(pid, SIGKILL);
                waitpid(pid, &w.status, 0);
                w.killed = WIFSIGNALED(w.status);
                break;
            }
            pollfd pfd = {in, POLLIN, 0};
            poll(&pfd, 1, 1);
            double at = now_ms() - t0;
            alignas(inotify_event) char buf[4096];
            ssize_t n;
            while ((n = ::read(in, buf, sizeof(buf))) > 0) {
                for (ssize_t off = 0; off < n;) {
                    const inotify_event *e = reinterpret_cast<const inotify_event *>(buf + off);
                    event_kind kind = EV_KINDS;
                    if (e->wd == config)
                        kind = (e->mask & IN_OPEN)            ? EV_OPEN
                               : (e->mask & IN_CLOSE_NOWRITE) ? EV_CLOSE_READ
                                                              : EV_MODIFY;
                    else if (e->wd == lock_dir && e->len > 0 && strcmp(e->name, kMarkerName) == 0)
                        kind = EV_MARKER;
                    // Consecutive events of one kind on the device are one burst: inotify
                    // merges them when they queue up unread, so only bursts count alike.
                    bool repeat = e->wd == config && kind == last_config;
                    if (e->wd == config)
                        last_config = kind;
                    if (kind != EV_KINDS && !repeat) {
                        w.at[kind].push_back(at);
                        if (when != nullptr && kind == when->kind &&
                            (int)w.at[kind].size() == when->nth + 1)
                            kill_at = at + when->delay_ms;
                    }
                    off += (ssize_t)(sizeof(inotify_event) + e->len);
                }
            }
            done = waitpid(pid, &w.status, WNOHANG) == pid;
        }
        if (!w.killed)
            w.end = now_ms() - t0;
        close(in);
        return w;
    }

    // Whether the file begins with `want` (and, with `whole`, holds nothing more). Compared piece
    // by piece, without a copy of the file: hundreds of checks would otherwise swell the test's
    // own heap, and with it the cost of every fork that starts the program.
    bool file_matches(const char *rel, const std::string &want, bool whole) const
    {
        char buf[65536];
        FILE *f = fopen(path(rel).c_str(), "rb");
        size_t done = 0;
        size_t n = 1;
        bool same = f != nullptr;
        while (same && n > 0 && (whole || done < want.size())) {
            size_t ask = whole ? sizeof(buf) : std::min(sizeof(buf), want.size() - done);
            n = fread(buf, 1, ask, f);
            same = done + n <= want.size() && want.compare(done, n, buf, n) == 0;
            done += n;
        }
        if (f != nullptr)
            fclose(f);
        return same && done == want.size();
    }

    bool bank_holds(int bank, const payloads &p) const
    {
        return file_matches(kKernelDev[bank], p.kernel, false) &&
               file_matches(kRootDev[bank], p.root, false);
    }

    // The stored configuration block, read into a buffer that is reused from check to check.
    const std::string &stored_block()
    {
        FILE *f = fopen(path(kConfigDev).c_str(), "rb");
        block_.resize(0x20000);
        size_t n = f != nullptr ? fread(&block_[0], 1, block_.size(), f) : 0;
        block_.resize(n);
        if (f != nullptr)
            fclose(f);
        return block_;
    }

    // What a reboot would find after a kill. Returns the bank that would boot, or -1 when the
    // block is torn.
    int check_after_kill(kill_phase phase, int32_t stage, tally *t)
    {
        EXPECT_TRUE(file_matches(kKernelDev[kOldBank], pristine_[kKernelDev[kOldBank]], true))
            << "the running bank's kernel changed";
        EXPECT_TRUE(file_matches(kRootDev[kOldBank], pristine_[kRootDev[kOldBank]], true))
            << "the running bank's root changed";
        const std::string &block = stored_block();
        std::string script;
        sim::block_boot_script(block, &script);
        int bank = sim::script_bank(script);
        if (!block_crc_valid(block)) {
            // Only the bank switch writes the block, and it runs under stage 6.
            EXPECT_EQ(UPGRADE_STAGE_VERIFY_ROOT, stage) << "torn block outside the switch";
            t->torn[phase]++;
            return -1;
        }
        EXPECT_TRUE(bank == kOldBank || bank == kNewBank) << script;
        if (bank == kNewBank) {
            EXPECT_TRUE(bank_holds(kNewBank, new_))
                << "switched to an unverified bank, stage " << stage;
        }
        if (bank == kOldBank && access(path(kMarker).c_str(), F_OK) == 0)
            t->stale[phase]++;
        return bank;
    }

    // After a reboot into `bank`, the next upgrade completes and selects the other bank.
    void check_recovery(int bank, tally *t)
    {
        reboot(bank);
        ASSERT_TRUE(sim::make_dirs(path("tmpfs/upgrading")));
        write(kStaged, staged_);
        fwtest::run_result r = run("fwupgrade");
        EXPECT_EQ(0, r.status) << r.out;
        EXPECT_TRUE(stored_crc_valid());
        int now = sim::script_bank(stored_script());
        EXPECT_EQ(1 - bank, now);
        EXPECT_TRUE(now >= 0 && bank_holds(now, new_));
        t->recovered += r.status == 0 ? 1 : 0;
        reboot(kOldBank);
    }

    // An upgrade retried in the same boot, with the marker left behind: true when it wrote the
    // running bank instead of the other one.
    bool retry_writes_running_bank()
    {
        EXPECT_TRUE(sim::make_dirs(path("tmpfs/upgrading")));
        write(kStaged, staged_);
        run("fwupgrade");
        return !file_matches(kKernelDev[kOldBank], pristine_[kKernelDev[kOldBank]], true);
    }

    // A cut at every sector boundary of a store of `after` over `before`: the flash holds `after`
    // up to the cut and `before` beyond it.
    cut_sweep sweep_cuts(const std::string &before, const std::string &after)
    {
        cut_sweep s;
        bool changed = false;
        for (size_t i = 0; i < std::min(before.size(), after.size()); i++) {
            if (before[i] != after[i]) {
                s.first_diff = changed ? s.first_diff : i;
                s.last_diff = i;
                changed = true;
            }
        }
        EXPECT_TRUE(changed);
        for (size_t cut = 0; cut <= after.size(); cut += kCutStep) {
            std::string torn = after.substr(0, cut) + before.substr(cut);
            bool valid = block_crc_valid(torn);
            // Only a cut before the first changed byte or after the last keeps a valid block.
            EXPECT_EQ(cut <= s.first_diff || cut > s.last_diff, valid) << cut;
            s.cuts++;
            s.broken += valid ? 0 : 1;
        }
        return s;
    }

    std::map<std::string, std::string> pristine_;
    payloads old_;
    payloads new_;
    std::string staged_;
    std::string block_;
    volatile upgrade_progress *record_ = nullptr;
};

TEST_F(PowerCut, RebootAfterAnyKillFindsABootableBank)
{
    // Unkilled runs give the instants to aim at; each also shows the upgrade working here.
    std::vector<double> pause, exit_steps, writes_gap, store1_gap, store2_gap;
    std::string switched; // the block after the whole upgrade
    for (int i = 0; i < kProbeRuns; i++) {
        restore();
        run_watch w = watch_run(nullptr);
        ASSERT_TRUE(WIFEXITED(w.status) && WEXITSTATUS(w.status) == 0) << w.status;
        ASSERT_TRUE(stored_crc_valid());
        ASSERT_EQ(kNewBank, sim::script_bank(stored_script()));
        ASSERT_TRUE(bank_holds(kNewBank, new_));
        // The queries and stores open the device in this order: bank query, switch, ramdisk
        // query, ramdisk store. The marker probe follows the bank query and creates nothing.
        ASSERT_EQ(4u, w.at[EV_OPEN].size());
        ASSERT_EQ(2u, w.at[EV_MODIFY].size());
        ASSERT_EQ(1u, w.at[EV_MARKER].size());
        ASSERT_FALSE(w.at[EV_CLOSE_READ].empty());
        pause.push_back(w.at[EV_MARKER][0]);
        exit_steps.push_back(w.end - w.at[EV_MARKER][0] - 1000.0);
        writes_gap.push_back(w.at[EV_OPEN][1] - w.at[EV_CLOSE_READ][0]);
        store1_gap.push_back(w.at[EV_MODIFY][0] - w.at[EV_OPEN][1]);
        store2_gap.push_back(w.at[EV_MODIFY][1] - w.at[EV_OPEN][3]);
        switched = config_block();
    }
    double run_ms = median(pause);

    std::vector<planned_kill> plan;
    uint32_t rng = 12345;
    auto uniform = [&rng]() {
        rng = rng * 1103515245u + 12345u;
        return (double)(rng >> 8) / (double)(1u << 24);
    };
    // One kill in each of kSpreadKills equal slices of the run up to the pause.
    double span = run_ms * 1.05;
    for (int i = 0; i < kSpreadKills; i++)
        plan.push_back({PHASE_SPREAD, {EV_START, 0, span * (i + uniform()) / kSpreadKills}});
    // Process start varies most under load; these are timed from the program's own bank query,
    // so that the writing and verifying are reached whatever the start cost.
    for (int i = 0; i < kDenseKills; i++)
        plan.push_back(
            {PHASE_WRITES, {EV_CLOSE_READ, 0, median(writes_gap) * (i + uniform()) / kDenseKills}});
    const planned_kill windows[] = {
        {PHASE_PROBE, {EV_CLOSE_READ, 0, kDenseHalfMs}},
        {PHASE_STORE1, {EV_OPEN, 1, median(store1_gap)}},
        {PHASE_STORE2, {EV_OPEN, 3, median(store2_gap)}},
    };
    for (const planned_kill &w : windows) {
        for (int i = 0; i < kDenseKills; i++) {
            planned_kill k = w;
            k.when.delay_ms = std::max(0.0, k.when.delay_ms + kDenseHalfMs * (2 * uniform() - 1));
            plan.push_back(k);
        }
    }
    // The pause of one second, then the exit steps.
    for (int i = 0; i < kExitKills; i++) {
        double at = 1000.0 + median(exit_steps) * (i + uniform()) / kExitKills;
        plan.push_back({PHASE_EXIT, {EV_MARKER, 0, at}});
    }

    tally tl;
    std::map<int32_t, bool> recovery_done;
    for (const planned_kill &k : plan) {
        restore();
        run_watch w = watch_run(&k.when);
        if (!w.killed) {
            tl.ended_first++;
            continue;
        }
        int32_t stage = record_->stage;
        tl.kills[k.phase]++;
        tl.by_stage[stage]++;
        int stale = tl.stale[k.phase];
        int bank = check_after_kill(k.phase, stage, &tl);
        if (tl.stale[k.phase] > stale && tl.retry < 0) {
            tl.retry = retry_writes_running_bank() ? 1 : 0;
            continue;
        }
        // The first kill in each stage is followed by a reboot and another upgrade.
        if (bank >= 0 && !recovery_done[stage]) {
            recovery_done[stage] = true;
            check_recovery(bank, &tl);
        }
        if (HasFatalFailure())
            return;
    }

    // The stores of the switch, cut at every sector: first the bank, then the ramdisk size.
    restore();
    fwtest::run_result r = run("set_boot_idx", {"1"});
    ASSERT_EQ(0, r.status) << r.out;
    std::string bank_switched = config_block();
    cut_sweep cut1 = sweep_cuts(pristine_[kConfigDev], bank_switched);
    cut_sweep cut2 = sweep_cuts(bank_switched, switched);

    int kills = 0;
    for (int k : tl.kills)
        kills += k;
    printf("power cuts: %d kills (%d runs ended before theirs); %.1f ms from the start to the "
           "pause, in which %d upgrades after a reboot completed\n",
           kills, tl.ended_first, run_ms, tl.recovered);
    printf("  stage at the kill:");
    for (const auto &s : tl.by_stage)
        printf(" %s %d;", s.first == kUntouched ? "none" : std::to_string(s.first).c_str(),
               s.second);
    printf("\n");
    for (int p = 0; p < PHASES; p++) {
        printf("  %-25s %3d kills: %d torn blocks, %d stale markers", kPhaseNames[p], tl.kills[p],
               tl.torn[p], tl.stale[p]);
        if (p != PHASE_SPREAD && p != PHASE_WRITES && p != PHASE_EXIT && tl.kills[p] > 0)
            printf(" (window about %.0f us)",
                   1e3 * 2 * kDenseHalfMs * (tl.torn[p] + tl.stale[p]) / tl.kills[p]);
        printf("\n");
    }
    if (tl.retry >= 0)
        printf("  an upgrade retried after a stale marker, without a reboot, %s the running "
               "bank\n",
               tl.retry != 0 ? "wrote" : "left alone");
    for (const cut_sweep *c : {&cut1, &cut2})
        printf("  emulated cuts in the %s store: %d of %d leave an invalid CRC (bytes 0x%zx to "
               "0x%zx change)\n",
               c == &cut1 ? "bank" : "ramdisk", c->broken, c->cuts, c->first_diff, c->last_diff);

    EXPECT_GE(kills, kSpreadKills);
    // The kills reached the writing and the switch, not only the start.
    EXPECT_GT(tl.by_stage[UPGRADE_STAGE_WRITE_KERNEL] + tl.by_stage[UPGRADE_STAGE_WRITE_ROOT], 0);
    EXPECT_GT(tl.by_stage[UPGRADE_STAGE_VERIFY_ROOT], 0);
    EXPECT_GT(tl.recovered, 0);
    for (int p = 0; p < PHASES; p++)
        EXPECT_EQ(0, tl.stale[p]) << "a kill " << kPhaseNames[p] << " left a stale marker";
}

} // namespace
