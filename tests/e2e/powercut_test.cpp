// SPDX-License-Identifier: MIT
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
// the cut is also emulated at every 512-byte boundary of the one store of the switch.
// The runs start from several states of the device: the ordinary one; the script naming the
// other bank by hand (or after an upgrade whose marker was lost); a marker of a change undone by
// hand; a marker planted by another user; a second upgrade in the same boot. Whatever the state,
// the bank being written is never the one the script names, and the running bank is never
// written. Each state's unkilled runs count the stores of the configuration block.
// Kills are spread over the whole run and, densely, around the instants of the stores, timed from
// the program's own file events, to show how large the windows are. A second campaign kills the
// program at the entry of each of its calls that can change state, one run per call, with and
// without a bank on the kernel command line, from the fresh state and from a second upgrade of
// one boot; after each kill another upgrade of the same boot must complete.
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

#include "bank_record.h"
#include "crc32.h"
#include "md5.h"
#include "lock_files.h"
#include "notify.h"
#include "progress.h"
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
const int kSpreadKills = 200;    // over the run up to the pause, from the ordinary state
const int kDenseKills = 40;      // around each window, from the ordinary state
const int kStateKills = 30;      // spread over the run, from each other state
const int kStateDense = 8;       // around each window, from each other state
const double kDenseHalfMs = 0.2; // dense kills lie within this of the window's instant
const int kExitKills = 4;        // after the pause, in the exit steps
const int32_t kUntouched = 100;  // stage planted before each run: the record was never started
const size_t kCutStep = 512;     // emulated cuts: one per flash sector

struct payloads {
    std::string kernel;
    std::string root;
};

// What the change marker's path holds when a run starts.
enum marker_kind { MARKER_NONE, MARKER_OWN, MARKER_PLANTED };

// What bank 1 holds before the upgrade. The upgrade leaves unwritten what it already holds, so
// a repeat of the image writes nothing and the same kernel with a new root writes the root only.
enum bank1_kind {
    BANK1_BLANK,       // as the device was made
    BANK1_PREV,        // a complete earlier image
    BANK1_NEW,         // the image being installed
    BANK1_SAME_KERNEL, // its kernel, with the earlier root
};

// A state of the device before the upgrade; bank 0 runs (the kernel command line says so) and
// holds the old image.
struct start_state {
    const char *name;
    int script_bank;    // the bank the script names
    bank1_kind bank1;   // what bank 1 holds
    marker_kind marker; // the change marker
    int stores;         // stores of the configuration block an unkilled upgrade makes
};

const start_state kStates[] = {
    {"ordinary", 0, BANK1_BLANK, MARKER_NONE, 1},
    {"script on the other bank, no marker", 1, BANK1_PREV, MARKER_NONE, 2},
    {"marker of a change undone by hand", 0, BANK1_PREV, MARKER_OWN, 1},
    {"marker planted by another user", 0, BANK1_PREV, MARKER_PLANTED, 1},
    {"second upgrade in one boot", 1, BANK1_PREV, MARKER_OWN, 2},
    {"repeat of the image bank 1 holds", 0, BANK1_NEW, MARKER_NONE, 1},
    {"same kernel, new root", 0, BANK1_SAME_KERNEL, MARKER_NONE, 1},
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
    EV_MARKER,     // the change marker was made (before the first store of the boot)
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

enum kill_phase { PHASE_SPREAD, PHASE_WRITES, PHASE_PROBE, PHASE_STORE, PHASE_EXIT, PHASES };
const char *const kPhaseNames[PHASES] = {"spread over the run", "over the writes and verify",
                                         "after the bank query", "at a store of the block",
                                         "in the exit steps"};

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
    int stale[PHASES] = {}; // marker present while the script names the running bank
    int recovered = 0;      // upgrades after a reboot that completed
    int retry = -1; // after the first stale marker, an upgrade retried without a reboot wrote
                    // the running bank (1) or not (0); -1: no stale marker
};

// What the unkilled runs from one state showed.
struct timeline {
    double run_ms = 0;          // from the start to the pause
    int opens = 0;              // of the configuration device
    int stores = 0;             // of the configuration block
    std::vector<double> writes; // from the last query before the writes to the switch's open
    std::vector<double> store;  // from the switch's open to its store
    std::vector<double> exit;   // the exit steps after the pause
    std::string switched;       // the block after the whole upgrade
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
        prev_ = {random_bytes(kKernelLen, 5), random_bytes(kRootLen, 6)};
        place(kKernelDev[kOldBank], old_.kernel);
        place(kRootDev[kOldBank], old_.root);
        for (const char *dev : {kConfigDev, kKernelDev[0], kRootDev[0], kKernelDev[1], kRootDev[1]})
            pristine_[dev] = read(dev);
        staged_ = image_file(new_);

        // Made as the upgrade makes it, without permission bits: it trusts no other record.
        int old = shmget(UPGRADE_PROGRESS_KEY, 0, 0);
        if (old >= 0)
            shmctl(old, IPC_RMID, nullptr);
        int id = shmget(UPGRADE_PROGRESS_KEY, sizeof(upgrade_progress), IPC_CREAT);
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

    // What bank 1 holds before an upgrade from `state` (not blank).
    payloads bank1_before(const start_state &state) const
    {
        if (state.bank1 == BANK1_NEW)
            return new_;
        return {state.bank1 == BANK1_SAME_KERNEL ? new_.kernel : prev_.kernel, prev_.root};
    }

    // The device as before the upgrade, in `state`, with the new image staged and the record
    // unstarted.
    void restore(const start_state &state = kStates[0])
    {
        for (const auto &dev : pristine_)
            write(dev.first, dev.second);
        if (state.bank1 != BANK1_BLANK) {
            payloads before = bank1_before(state);
            place(kKernelDev[kNewBank], before.kernel);
            place(kRootDev[kNewBank], before.root);
        }
        if (state.script_bank != kOldBank)
            write(kConfigDev,
                  sim::config_block(sim::standard_entries(sim::boot_script(state.script_bank))));
        unlink(path(kMarker).c_str());
        // The banks' records go with the flash they describe.
        unlink(path("kelpvar/config0/bank_record").c_str());
        unlink(path("kelpvar/config1/bank_record").c_str());
        if (state.marker == MARKER_OWN) {
            write(kMarker, "0\n"); // as an earlier change of this boot made it
            ASSERT_EQ(0, chmod(path(kMarker).c_str(), 0600));
        }
        if (state.marker == MARKER_PLANTED) {
            write(kMarker, "");
            ASSERT_EQ(0, chown(path(kMarker).c_str(), 65534, 65534));
        }
        state_ = &state;
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
        // The marker is made under a name of its own and renamed into place.
        int lock_dir = inotify_add_watch(in, path("var/lock").c_str(), IN_CREATE | IN_MOVED_TO);
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
            // Only the bank switches write the block: the one that leaves the bank to be written
            // runs before the writes, the one to the new bank under stage 6.
            EXPECT_TRUE(stage == UPGRADE_STAGE_VERIFY_ROOT ||
                        (state_->script_bank == kNewBank && stage == UPGRADE_STAGE_LOADING))
                << "torn block outside a switch, stage " << stage;
            t->torn[phase]++;
            return -1;
        }
        EXPECT_TRUE(bank == kOldBank || bank == kNewBank) << script;
        if (bank == kNewBank) {
            EXPECT_TRUE(bank_holds(kNewBank, new_) || (state_->bank1 != BANK1_BLANK &&
                                                       bank_holds(kNewBank, bank1_before(*state_))))
                << state_->name << ": the script names a bank being written, stage " << stage;
        }
        // The marker records the running bank before the first change of the script, so it may
        // stand while the script still names that bank; only another content is stale.
        std::string marker;
        if (state_->marker == MARKER_NONE && sim::read_file(path(kMarker), &marker) &&
            marker != "0\n")
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

    // The unkilled runs from `state`: each also shows the upgrade working from it.
    timeline probe(const start_state &state, int runs)
    {
        timeline tl;
        std::vector<double> pause;
        for (int i = 0; i < runs; i++) {
            restore(state);
            run_watch w = watch_run(nullptr);
            EXPECT_TRUE(WIFEXITED(w.status) && WEXITSTATUS(w.status) == 0)
                << state.name << ": " << w.status;
            EXPECT_TRUE(stored_crc_valid());
            EXPECT_EQ(kNewBank, sim::script_bank(stored_script())) << state.name;
            EXPECT_TRUE(bank_holds(kNewBank, new_)) << state.name;
            // The devices opens: the bank state's query, the query of the bank the script names,
            // a switch off the target when the script named it, the switch to the new bank.
            tl.opens = (int)w.at[EV_OPEN].size();
            tl.stores = (int)w.at[EV_MODIFY].size();
            EXPECT_EQ(2 + state.stores, tl.opens) << state.name;
            EXPECT_EQ(state.stores, tl.stores) << state.name;
            // Made before the first store where no marker stood.
            EXPECT_EQ(state.marker == MARKER_NONE ? 1u : 0u, w.at[EV_MARKER].size()) << state.name;
            if (HasFailure() || w.at[EV_CLOSE_READ].size() < 2 || w.at[EV_MODIFY].empty())
                return tl;
            size_t last = w.at[EV_OPEN].size() - 1;
            // The pause follows the switch's store.
            pause.push_back(w.at[EV_MODIFY].back());
            tl.exit.push_back(w.end - w.at[EV_MODIFY].back() - 1000.0);
            tl.writes.push_back(w.at[EV_OPEN][last] - w.at[EV_CLOSE_READ][last - 1]);
            tl.store.push_back(w.at[EV_MODIFY].back() - w.at[EV_OPEN][last]);
            tl.switched = config_block();
        }
        tl.run_ms = median(pause);
        return tl;
    }

    std::map<std::string, std::string> pristine_;
    const start_state *state_ = &kStates[0];
    payloads old_;
    payloads new_;
    payloads prev_; // an earlier upgrade's image, complete in bank 1 in some states
    std::string staged_;
    std::string block_;
    volatile upgrade_progress *record_ = nullptr;
};

// The kill campaign at every state-changing call.
struct call_regime {
    const char *name;
    bool bootopt;       // the kernel command line names the running bank
    bool second;        // an upgrade of this boot ran before
    bool switched_back; // ... and set_boot_idx 0 undid it
};

const call_regime kCallRegimes[] = {
    {"fresh, bootopt", true, false, false},
    {"fresh, no bootopt", false, false, false},
    {"second upgrade, bootopt", true, true, false},
    {"second upgrade, no bootopt", false, true, false},
    {"switched back by hand, no bootopt", false, true, true},
};

TEST_F(PowerCut, KillAtEveryStateChangingCallNeverWritesTheRunningBank)
{
    const std::string evt = fwtest::evt_library();
    const std::string shim = "LD_PRELOAD=" + evt.substr(0, evt.rfind('/')) + "/libfwfault.so";
    const std::string silent = "console=ttyS0,115200 root=/dev/ram0\n";
    const std::string bootopt = read("proc/cmdline");
    auto upgrade = [&](const std::vector<std::string> &extra) {
        std::vector<std::string> env = {shim, "FWUP_NO_PAUSE=1"};
        env.insert(env.end(), extra.begin(), extra.end());
        return run("fwupgrade", {}, env);
    };
    auto stage = [&](const payloads &p) {
        ASSERT_TRUE(sim::make_dirs(path("tmpfs/upgrading")));
        write(kStaged, image_file(p));
    };
    // The device in `r`'s state with the new image staged.
    auto prepare = [&](const call_regime &r) {
        restore();
        reboot(kOldBank);
        write("proc/cmdline", r.bootopt ? bootopt : silent);
        if (r.second) {
            stage(prev_);
            ASSERT_EQ(0, upgrade({}).status);
        }
        if (r.switched_back) {
            ASSERT_EQ(0, run("set_boot_idx", {"0"}).status);
        }
        stage(new_);
    };
    for (const call_regime &r : kCallRegimes) {
        SCOPED_TRACE(r.name);
        prepare(r);
        const std::string count = path("calls");
        ASSERT_EQ(0, upgrade({"FWUP_CALL_COUNT=" + count}).status);
        int calls = atoi(read("calls").c_str());
        ASSERT_GT(calls, 10);
        int on_new = 0, marked = 0;
        for (int k = 1; k <= calls; k++) {
            SCOPED_TRACE(k);
            prepare(r);
            fwtest::run_result killed = upgrade({"FWUP_KILL_AT=" + std::to_string(k)});
            EXPECT_EQ(128 + SIGKILL, killed.status);
            EXPECT_TRUE(file_matches(kKernelDev[kOldBank], pristine_[kKernelDev[kOldBank]], true) &&
                        file_matches(kRootDev[kOldBank], pristine_[kRootDev[kOldBank]], true))
                << "the running bank was written";
            const std::string &block = stored_block();
            EXPECT_TRUE(block_crc_valid(block));
            std::string script;
            sim::block_boot_script(block, &script);
            int bank = sim::script_bank(script);
            EXPECT_TRUE(bank == kOldBank ||
                        (bank == kNewBank &&
                         (bank_holds(kNewBank, new_) || (r.second && bank_holds(kNewBank, prev_)))))
                << "the script names a half-written bank: " << bank;
            // The running bank, recorded before the first change of the script, never else.
            std::string marker;
            bool has = sim::read_file(path(kMarker), &marker);
            EXPECT_TRUE(!has || marker == "0\n") << marker;
            EXPECT_TRUE(has || bank == kOldBank) << "the script changed without the marker";
            on_new += bank == kNewBank ? 1 : 0;
            marked += has ? 1 : 0;
            // The target's record: the old one (none, or the first upgrade's), or "being
            // written", or "verified" naming exactly what the bank holds; the script names the
            // bank only once it is verified.
            bank_record rec;
            int rrc = bank_record_read(path("kelpvar/config1/bank_record").c_str(), &rec);
            EXPECT_TRUE(rrc == 0 || (rrc == BANK_RECORD_ERR_MISSING && !r.second)) << rrc;
            if (rrc == 0 && rec.state == BANK_VERIFIED) {
                const payloads &named =
                    md5_of(new_.kernel) == std::string((char *)rec.kernel_md5, 16) ? new_ : prev_;
                EXPECT_TRUE(r.second || &named == &new_);
                EXPECT_EQ(md5_of(named.root), std::string((char *)rec.root_md5, 16));
                EXPECT_TRUE(bank_holds(kNewBank, named)) << "a verified record of unwritten bytes";
            }
            EXPECT_TRUE(bank != kNewBank || (rrc == 0 && rec.state == BANK_VERIFIED))
                << "the script names a bank not recorded verified";

            // The same boot goes on: the next upgrade writes the other bank and selects it.
            stage(new_);
            fwtest::run_result next = upgrade({});
            EXPECT_EQ(0, next.status) << next.err;
            EXPECT_EQ(kNewBank, sim::script_bank(stored_script()));
            EXPECT_TRUE(bank_holds(kNewBank, new_));
            EXPECT_TRUE(file_matches(kKernelDev[kOldBank], pristine_[kKernelDev[kOldBank]], true) &&
                        file_matches(kRootDev[kOldBank], pristine_[kRootDev[kOldBank]], true))
                << "the follow-up upgrade wrote the running bank";
            if (HasFailure())
                return;
        }
        printf("kills at each state-changing call (%s): %d calls, %d kills left the script on the "
               "new bank, %d the marker made\n",
               r.name, calls, on_new, marked);
    }
}

TEST_F(PowerCut, RebootAfterAnyKillFindsABootableBank)
{
    const int states = (int)(sizeof(kStates) / sizeof(kStates[0]));
    std::vector<timeline> tls;
    for (const start_state &state : kStates) {
        tls.push_back(probe(state, &state == &kStates[0] ? kProbeRuns : kProbeRuns - 1));
        if (HasFailure())
            return;
    }

    uint32_t rng = 12345;
    auto uniform = [&rng]() {
        rng = rng * 1103515245u + 12345u;
        return (double)(rng >> 8) / (double)(1u << 24);
    };
    std::vector<tally> tallies(states);
    for (int si = 0; si < states; si++) {
        const start_state &state = kStates[si];
        const timeline &t = tls[si];
        const int spread = si == 0 ? kSpreadKills : kStateKills;
        const int dense = si == 0 ? kDenseKills : kStateDense;
        std::vector<planned_kill> plan;
        // One kill in each of `spread` equal slices of the run up to the pause.
        double span = t.run_ms * 1.05;
        for (int i = 0; i < spread; i++)
            plan.push_back({PHASE_SPREAD, {EV_START, 0, span * (i + uniform()) / spread}});
        // Process start varies most under load; these are timed from the program's own last
        // query before the writes, so that the writing and verifying are reached whatever the
        // start cost.
        for (int i = 0; i < dense; i++)
            plan.push_back(
                {PHASE_WRITES,
                 {EV_CLOSE_READ, t.opens - 2, median(t.writes) * (i + uniform()) / dense}});
        std::vector<planned_kill> windows = {{PHASE_PROBE, {EV_CLOSE_READ, 0, kDenseHalfMs}}};
        // Each store comes after its own open: the switch off the target, the switch to it.
        for (int store = 0; store < t.stores; store++)
            windows.push_back({PHASE_STORE, {EV_OPEN, 2 + store, median(t.store)}});
        for (const planned_kill &w : windows) {
            for (int i = 0; i < dense; i++) {
                planned_kill k = w;
                k.when.delay_ms =
                    std::max(0.0, k.when.delay_ms + kDenseHalfMs * (2 * uniform() - 1));
                plan.push_back(k);
            }
        }
        // The pause of one second, then the exit steps (whose files are the same from any state).
        for (int i = 0; i < (si == 0 ? kExitKills : 0); i++) {
            double at = 1000.0 + median(t.exit) * (i + uniform()) / kExitKills;
            plan.push_back({PHASE_EXIT, {EV_MODIFY, t.stores - 1, at}});
        }

        tally &tl = tallies[si];
        std::map<int32_t, bool> recovery_done;
        bool recovered_once = false;
        for (const planned_kill &k : plan) {
            restore(state);
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
            // The first kill in each stage is followed by a reboot and another upgrade; from the
            // other states, the first kill only (each costs the upgrade's pause).
            if (bank >= 0 && !recovery_done[stage] && (si == 0 || !recovered_once)) {
                recovery_done[stage] = true;
                recovered_once = true;
                check_recovery(bank, &tl);
            }
            if (HasFatalFailure())
                return;
        }
    }

    // The one store of the switch, cut at every sector.
    restore();
    cut_sweep cut = sweep_cuts(pristine_[kConfigDev], tls[0].switched);

    int kills = 0, writing = 0, verifying = 0;
    for (int si = 0; si < states; si++) {
        tally &tl = tallies[si];
        int state_kills = 0, torn = 0, stale = 0;
        for (int p = 0; p < PHASES; p++) {
            state_kills += tl.kills[p];
            torn += tl.torn[p];
            stale += tl.stale[p];
        }
        kills += state_kills;
        printf("power cuts from the state \"%s\": %d stores of the block per upgrade; %d kills "
               "(%d runs ended before theirs), %d torn blocks, %d stale markers, %d upgrades after "
               "a reboot completed; %.1f ms from the start to the pause\n",
               kStates[si].name, tls[si].stores, state_kills, tl.ended_first, torn, stale,
               tl.recovered, tls[si].run_ms);
        printf("  stage at the kill:");
        for (const auto &st : tl.by_stage)
            printf(" %s %d;", st.first == kUntouched ? "none" : std::to_string(st.first).c_str(),
                   st.second);
        printf("\n");
        for (int p = 0; p < PHASES; p++) {
            if (tl.kills[p] == 0)
                continue;
            printf("  %-25s %3d kills: %d torn blocks, %d stale markers", kPhaseNames[p],
                   tl.kills[p], tl.torn[p], tl.stale[p]);
            if (p == PHASE_PROBE || p == PHASE_STORE)
                printf(" (window about %.0f us)",
                       1e3 * 2 * kDenseHalfMs * (tl.torn[p] + tl.stale[p]) / tl.kills[p]);
            printf("\n");
        }
        if (tl.retry >= 0)
            printf("  an upgrade retried after a stale marker, without a reboot, %s the running "
                   "bank\n",
                   tl.retry != 0 ? "wrote" : "left alone");
        EXPECT_NE(1, tl.retry) << kStates[si].name;
        EXPECT_GT(tl.recovered, 0) << kStates[si].name;
        writing += tl.by_stage[UPGRADE_STAGE_WRITE_KERNEL] + tl.by_stage[UPGRADE_STAGE_WRITE_ROOT];
        verifying += tl.by_stage[UPGRADE_STAGE_VERIFY_ROOT];
        for (int p = 0; p < PHASES; p++)
            EXPECT_EQ(0, tl.stale[p])
                << kStates[si].name << ": a kill " << kPhaseNames[p] << " left a stale marker";
    }
    printf("  emulated cuts in the store of the switch: %d of %d leave an invalid CRC (bytes 0x%zx "
           "to 0x%zx change)\n",
           cut.broken, cut.cuts, cut.first_diff, cut.last_diff);
    EXPECT_GE(kills, kSpreadKills);
    // The timed kills reached the writing and the read-back, not only the start. Counted over all
    // states: a state whose writes are skipped (its bank already holds the blocks) passes them in
    // a few milliseconds, which an emulated, loaded machine may miss; the kills at every call
    // cover each state's every step.
    EXPECT_GT(writing, 0);
    EXPECT_GT(verifying, 0);
}

} // namespace
