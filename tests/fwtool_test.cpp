// fwtool sandbox and progress, run as the real program: simulated devices as the upgrade sees
// them, and the progress record read from outside while this test writes it.
#include "fixture.h"

#include <chrono>
#include <cstring>
#include <sys/ipc.h>
#include <sys/shm.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include "upgrade.h"

namespace
{

using fwtest::run_result;
using fwtest::TempDir;

run_result fwtool(const std::vector<std::string> &args, const std::vector<std::string> &env = {})
{
    return fwtest::run_program(fwtest::fwtool_binary(), "fwtool", args, env);
}

// Runs fwupgrade-sim under `name` on the device under `root`.
run_result device(const std::string &root, const std::string &name,
                  const std::vector<std::string> &args = {})
{
    return fwtest::run_program(fwtest::sim_binary(), name, args, {"FWUP_SYSROOT=" + root});
}

std::string slurp(const std::string &path)
{
    std::string s;
    sim::read_file(path, &s);
    return s;
}

bool exists(const std::string &path)
{
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
}

int stored_bank(const std::string &root)
{
    std::string script, err;
    if (sim::read_boot_script(root, &script, &err) != 0)
        return -100;
    return sim::script_bank(script);
}

const std::string kEvtEnv = std::string("FWTOOL_EVT_LIB=") + fwtest::evt_library();

// ---- sandbox create

class SandboxCreate : public ::testing::TestWithParam<int>
{
};

TEST_P(SandboxCreate, BuildsADeviceBootedFromTheBank)
{
    const int bank = GetParam();
    TempDir t;
    const std::string root = t / "dev"; // created by the command
    // No override in the environment: the library is found beside the fwtool executable.
    run_result r = fwtool({"sandbox", "create", root, "--running-bank", std::to_string(bank),
                           "--model", "ZX9", "--kernel-size", "512K", "--root-size=0x300000"},
                          {"FWTOOL_EVT_LIB="});
    ASSERT_EQ(0, r.status) << r.err;
    EXPECT_NE(std::string::npos, r.out.find("running bank " + std::to_string(bank))) << r.out;
    EXPECT_NE(std::string::npos, r.out.find("\"kernel1\"")) << r.out;

    const std::string mtd = slurp(root + "/proc/mtd");
    EXPECT_NE(std::string::npos, mtd.find("mtd3: 00080000 00020000 \"kernel0\"")) << mtd;
    EXPECT_NE(std::string::npos, mtd.find("mtd6: 00300000 00020000 \"root1\"")) << mtd;
    EXPECT_EQ(512u * 1024, slurp(root + "/dev/mtdblock5").size());
    EXPECT_EQ(0x300000u, slurp(root + "/dev/mtdblock4").size());
    EXPECT_EQ("2.6.31-ZX9\n", slurp(root + "/proc/sys/kernel/osrelease"));
    EXPECT_NE(std::string::npos,
              slurp(root + "/proc/cmdline").find("bootopt=" + std::to_string(bank)));
    EXPECT_EQ(slurp(fwtest::evt_library()), slurp(root + "/lib/libevt.so"));
    for (const char *d : {"var/lock", "var/log", "tmpfs", "kelpvar/config0/oem_root",
                          "kelpvar/config1/oem_root", "proc/strata"})
        EXPECT_TRUE(exists(root + "/" + d)) << d;
    EXPECT_EQ(bank, stored_bank(root));
    // The program's own reading of the device agrees.
    EXPECT_EQ(bank, device(root, "get_boot_idx").status);
}

INSTANTIATE_TEST_SUITE_P(Banks, SandboxCreate, ::testing::Values(0, 1));

TEST(SandboxCreateSizes, AcceptsDecimalHexAndSuffixesUpTo256M)
{
    const struct {
        const char *text;
        uint32_t bytes; // 0: refused
    } rows[] = {
        {"131072", 131072},
        {"0x20000", 0x20000},
        {"0X20000", 0x20000},
        {"64k", 65536},
        {"64K", 65536},
        {"3M", 3u << 20},
        {"0x10M", 16u << 20},
        {"256M", 256u << 20},
        {"0", 0},
        {"257M", 0},
        {"268435457", 0},
        {"1G", 0},
        {"0x", 0},
        {"-1", 0},
        {" 1M", 0},
        {"12abc", 0},
        {"1MK", 0},
        {"0x0x10", 0},
        {"", 0},
        {"99999999999999999999", 0},
    };
    for (const auto &row : rows) {
        TempDir t;
        const std::string root = t / "dev";
        run_result r = fwtool({"sandbox", "create", root, "--kernel-size", row.text}, {kEvtEnv});
        if (row.bytes == 0) {
            EXPECT_EQ(2, r.status) << row.text;
            EXPECT_FALSE(exists(root)) << row.text;
            EXPECT_NE(std::string::npos, r.err.find("--kernel-size")) << r.err;
            continue;
        }
        ASSERT_EQ(0, r.status) << row.text << ": " << r.err;
        char want[64];
        snprintf(want, sizeof(want), "mtd3: %08x 00020000 \"kernel0\"", row.bytes);
        EXPECT_NE(std::string::npos, slurp(root + "/proc/mtd").find(want)) << row.text;
    }
}

TEST(SandboxCreateTarget, RefusesAForeignDirectoryAndReplacesAnEarlierSandbox)
{
    TempDir t;
    ASSERT_TRUE(sim::write_file(t / "precious", "keep"));
    run_result r = fwtool({"sandbox", "create", t.path()}, {kEvtEnv});
    EXPECT_EQ(2, r.status);
    EXPECT_NE(std::string::npos, r.err.find("neither empty nor a sandbox")) << r.err;
    EXPECT_FALSE(exists(t / "proc"));
    EXPECT_EQ("keep", slurp(t / "precious"));

    const std::string root = t / "dev";
    ASSERT_EQ(0, fwtool({"sandbox", "create", root}, {kEvtEnv}).status);
    ASSERT_TRUE(sim::write_file(root + "/var/lock/bootidx_changed", ""));
    ASSERT_TRUE(sim::write_file(root + "/var/log/evt.log", "4 0x70006 0 0\n"));
    ASSERT_EQ(0, fwtool({"sandbox", "create", root, "--running-bank", "1"}, {kEvtEnv}).status);
    EXPECT_FALSE(exists(root + "/var/lock/bootidx_changed"));
    EXPECT_FALSE(exists(root + "/var/log/evt.log"));
    EXPECT_EQ(1, device(root, "get_boot_idx").status);
}

TEST(SandboxCreateTarget, EventLibraryOverrides)
{
    TempDir t;
    ASSERT_TRUE(sim::write_file(t / "other.so", "not really a library"));
    // The option wins over the environment.
    ASSERT_EQ(
        0, fwtool({"sandbox", "create", t / "a", "--evt-lib", t / "other.so"}, {kEvtEnv}).status);
    EXPECT_EQ("not really a library", slurp(t / "a/lib/libevt.so"));
    ASSERT_EQ(0,
              fwtool({"sandbox", "create", t / "b"}, {"FWTOOL_EVT_LIB=" + t / "other.so"}).status);
    EXPECT_EQ("not really a library", slurp(t / "b/lib/libevt.so"));
    // A named library that is not there is an error, not a device without events.
    run_result r = fwtool({"sandbox", "create", t / "c", "--evt-lib", t / "missing.so"});
    EXPECT_EQ(2, r.status);
    EXPECT_NE(std::string::npos, r.err.find("missing.so")) << r.err;
    EXPECT_FALSE(exists(t / "c"));
}

// ---- argument errors and help

TEST(FwtoolArguments, BadArgumentsGiveStatus2AndOneLine)
{
    TempDir t;
    const std::string sb = t / "sb";
    ASSERT_EQ(0, fwtool({"sandbox", "create", sb}, {kEvtEnv}).status);
    ASSERT_TRUE(sim::write_file(t / "img", "x"));
    const std::vector<std::vector<std::string>> rows = {
        {"sandbox"},
        {"sandbox", "frobnicate"},
        {"sandbox", "create"},
        {"sandbox", "create", t / "x", t / "y"},
        {"sandbox", "create", t / "x", "--running-bank", "2"},
        {"sandbox", "create", t / "x", "--running-bank", "01"},
        {"sandbox", "create", t / "x", "--running-bank"},
        {"sandbox", "create", t / "x", "--model", ""},
        {"sandbox", "create", t / "x", "--model", "a b"},
        {"sandbox", "create", t / "x", "--colour", "red"},
        {"sandbox", "stage", sb},
        {"sandbox", "stage", sb, t / "missing"},
        {"sandbox", "stage", sb, t / "img", "--oem", t / "missing"},
        {"sandbox", "stage", sb, t / "img", "--nooem=yes"},
        {"sandbox", "stage", t.path(), t / "img"}, // not a sandbox
        {"sandbox", "reboot"},
        {"sandbox", "reboot", "/"},
        {"sandbox", "reboot", sb, sb},
        {"progress", "--bogus"},
        {"progress", "extra"},
        {"progress", "--timeout", "1"}, // only with --watch
        {"progress", "--watch", "--timeout", "0"},
        {"progress", "--watch", "--timeout", "-3"},
        {"progress", "--watch", "--timeout", "soon"},
        {"progress", "--watch", "--timeout"},
        {"progress", "--watch", "--timeout", "90000"},
    };
    for (const auto &args : rows) {
        std::string shown;
        for (const std::string &a : args)
            shown += a + " ";
        run_result r = fwtool(args, {kEvtEnv});
        EXPECT_EQ(2, r.status) << shown;
        EXPECT_FALSE(r.err.empty()) << shown;
        EXPECT_EQ(0u, r.out.size()) << shown << r.out;
    }
    EXPECT_FALSE(exists(t / "x"));
    EXPECT_FALSE(exists(sb + "/tmpfs/upgrading/fw.bin"));
    EXPECT_FALSE(exists(t / "tmpfs"));
}

TEST(FwtoolArguments, EachCommandHasHelp)
{
    const std::vector<std::vector<std::string>> rows = {
        {"sandbox", "--help"},      {"sandbox", "create", "--help"},
        {"sandbox", "stage", "-h"}, {"sandbox", "reboot", "--help"},
        {"progress", "--help"},
    };
    for (const auto &args : rows) {
        run_result r = fwtool(args);
        EXPECT_EQ(0, r.status) << args[0] << " " << args[1];
        EXPECT_EQ(0u, r.out.find("usage: fwtool ")) << r.out;
    }
}

// ---- sandbox stage

TEST(SandboxStage, CopiesImageArchiveAndMarkerAndReplacesEarlierStaging)
{
    TempDir t;
    const std::string sb = t / "sb";
    const std::string up = sb + "/tmpfs/upgrading";
    ASSERT_EQ(0, fwtool({"sandbox", "create", sb}, {kEvtEnv}).status);
    std::string image(70000, '\0'), archive(131072, '\0');
    for (size_t i = 0; i < image.size(); i++)
        image[i] = (char)(i * 7 + 3);
    for (size_t i = 0; i < archive.size(); i++)
        archive[i] = (char)(i * 13 + 1);
    ASSERT_TRUE(sim::write_file(t / "fw.img", image));
    ASSERT_TRUE(sim::write_file(t / "oem.tgz", archive));

    run_result r =
        fwtool({"sandbox", "stage", sb, t / "fw.img", "--oem", t / "oem.tgz", "--nooem"});
    ASSERT_EQ(0, r.status) << r.err;
    EXPECT_EQ(image, slurp(up + "/fw.bin"));
    EXPECT_EQ(archive, slurp(up + "/oem.bin"));
    EXPECT_TRUE(exists(up + "/.nooem"));
    EXPECT_NE(std::string::npos, r.out.find("ignore")) << "131072 bytes is over the limit";

    ASSERT_EQ(0, fwtool({"sandbox", "stage", sb, t / "oem.tgz"}).status);
    EXPECT_EQ(archive, slurp(up + "/fw.bin"));
    EXPECT_FALSE(exists(up + "/oem.bin"));
    EXPECT_FALSE(exists(up + "/.nooem"));

    ASSERT_EQ(0, fwtool({"sandbox", "stage", sb, t / "fw.img", "--oem", t / "fw.img"}).status);
    EXPECT_EQ(image, slurp(up + "/oem.bin"));
    EXPECT_FALSE(exists(up + "/.nooem"));
}

// ---- sandbox reboot

TEST(SandboxReboot, BootsTheBankTheStoredScriptLoads)
{
    TempDir t;
    const std::string sb = t / "sb";
    ASSERT_EQ(0, fwtool({"sandbox", "create", sb, "--running-bank", "0"}, {kEvtEnv}).status);
    ASSERT_EQ(0, device(sb, "set_boot_idx", {"1"}).status);
    ASSERT_TRUE(sim::write_file(sb + "/var/lock/bootidx_changed", ""));
    ASSERT_TRUE(sim::make_dirs(sb + "/var/lock/sub/dir"));
    ASSERT_TRUE(sim::make_dirs(sb + "/tmpfs/upgrading"));
    ASSERT_TRUE(sim::write_file(sb + "/tmpfs/upgrading/fw.bin", "x"));
    // Every word that mentions bootopt= would be taken as the override.
    ASSERT_TRUE(sim::write_file(sb + "/proc/cmdline",
                                "console=ttyS0 bootopt=0 quiet xbootopt=0\tmem=64M\n"));
    // With the marker, the program still takes bank 1 as current and target.
    EXPECT_EQ(1, device(sb, "get_boot_idx").status);

    run_result r = fwtool({"sandbox", "reboot", sb});
    ASSERT_EQ(0, r.status) << r.err;
    EXPECT_EQ(0u, r.out.find("booted bank 1")) << r.out;
    EXPECT_FALSE(exists(sb + "/var/lock/bootidx_changed"));
    EXPECT_FALSE(exists(sb + "/var/lock/sub"));
    EXPECT_TRUE(exists(sb + "/var/lock"));
    EXPECT_FALSE(exists(sb + "/tmpfs/upgrading"));
    EXPECT_EQ("console=ttyS0 quiet mem=64M bootopt=1\n", slurp(sb + "/proc/cmdline"));
    EXPECT_EQ(1, device(sb, "get_boot_idx").status);

    // Back to bank 0: the boot override follows again.
    ASSERT_EQ(0, device(sb, "set_boot_idx", {"0"}).status);
    ASSERT_EQ(0, fwtool({"sandbox", "reboot", sb}).status);
    EXPECT_EQ("console=ttyS0 quiet mem=64M bootopt=0\n", slurp(sb + "/proc/cmdline"));
}

TEST(SandboxReboot, BankRuleOfTheScript)
{
    const struct {
        const char *script;
        int bank; // -1: refused, status 1
    } rows[] = {
        {"fis load root0\nfis load kernel0\n", 0},
        {"fis load kernel1\nfis load root1\n", 1},
        {"kernel0 root0 kernel1 root1", 1}, // bank 1 wins, as the program decides
        {"kernel1 root1 kernel0 root0", 1},
        {"fis load kernel0\nfis load root1\n", -1},
        {"fis load kernel10 root1", 1},
        {"exec -c \"root=/dev/ram0\"\n", -1},
    };
    for (const auto &row : rows) {
        TempDir t;
        sim::device_options opt;
        opt.script = row.script;
        opt.running_bank = 1;
        ASSERT_EQ(0, sim::create_device(t.path(), opt, nullptr));
        ASSERT_TRUE(sim::write_file(t / "var/lock/bootidx_changed", ""));
        run_result r = fwtool({"sandbox", "reboot", t.path()});
        const std::string cmdline = slurp(t / "proc/cmdline");
        EXPECT_FALSE(exists(t / "var/lock/bootidx_changed")) << row.script;
        if (row.bank < 0) {
            EXPECT_EQ(1, r.status) << row.script;
            EXPECT_NE(std::string::npos, r.err.find("neither bank")) << r.err;
            EXPECT_NE(std::string::npos, cmdline.find("bootopt=1")) << "left alone";
        } else {
            EXPECT_EQ(0, r.status) << row.script << r.err;
            EXPECT_EQ(row.bank, device(t.path(), "get_boot_idx").status) << row.script;
            EXPECT_NE(std::string::npos, cmdline.find("bootopt=" + std::to_string(row.bank)));
            EXPECT_EQ(std::string::npos, cmdline.find("bootopt=" + std::to_string(1 - row.bank)));
        }
    }
}

TEST(SandboxReboot, ConfigBlockWalk)
{
    std::string script;
    // A string entry of the same name and an unknown type come first; the script entry is the
    // type-4 one.
    std::vector<sim::config_entry> entries = {
        {3, "boot_script_data", "fis load kernel0 root0", ""},
        {9, "odd", "", "key"},
        {4, "boot_script_datax", "fis load kernel0 root0", ""},
        {4, "boot_script_data", "fis load kernel1 root1", "boot_script"},
    };
    ASSERT_TRUE(sim::block_boot_script(sim::config_block(entries), &script));
    EXPECT_EQ("fis load kernel1 root1", script);

    // A truncated block holds nothing.
    EXPECT_FALSE(sim::block_boot_script(sim::config_block(entries).substr(0, 0x1FFFF), &script));

    // Entries of an unknown type with 255-byte names and keys walk towards the CRC word; the
    // script field must end before it. 253 of them leave it just inside, 254 just past.
    auto walked = [](int skips) {
        std::string b(0x20000, '\0');
        size_t pos = 8;
        for (int i = 0; i < skips; i++, pos += 4 + 255 + 255) {
            b[pos] = 0x0F;
            b[pos + 1] = b[pos + 3] = (char)255;
            b.replace(pos + 4, 510, 510, 'n');
        }
        b[pos] = 4;
        b[pos + 1] = 17;
        b.replace(pos + 4, 16, "boot_script_data");
        b.replace(pos + 4 + 17, 4, "kern");
        return b;
    };
    script = "untouched";
    EXPECT_FALSE(sim::block_boot_script(walked(254), &script));
    EXPECT_EQ("untouched", script);
    EXPECT_TRUE(sim::block_boot_script(walked(253), &script));
    EXPECT_EQ("kern", script);

    EXPECT_EQ(3, sim::mtd_index("dev:    size   erasesize  name\n"
                                "mtd2: 00020000 00020000 \"RedBoot config x\"\n"
                                "mtd3: 00020000 00020000 \"RedBoot config\"\n",
                                "RedBoot config"));
    EXPECT_EQ(-1, sim::mtd_index("mtd1: 00020000 00020000 \"RedBoot\"\n", "RedBoot config"));
}

} // namespace

// ---- progress

namespace
{

// The record this test writes, as the upgrade would: key 0x13578642, owner-only here so that a
// non-root run can create it too. The test binary has its own IPC namespace where possible.
class ProgressTest : public ::testing::Test
{
  protected:
    void SetUp() override
    {
        int id = shmget(UPGRADE_PROGRESS_KEY, 0, 0);
        if (id >= 0 && shmctl(id, IPC_RMID, nullptr) != 0)
            GTEST_SKIP() << "another progress record exists and cannot be removed";
    }
    void TearDown() override
    {
        if (rec_ != nullptr)
            shmdt(rec_);
        int id = shmget(UPGRADE_PROGRESS_KEY, 0, 0);
        if (id >= 0)
            shmctl(id, IPC_RMID, nullptr);
    }
    upgrade_progress *create(size_t size = sizeof(upgrade_progress))
    {
        int id = shmget(UPGRADE_PROGRESS_KEY, size, IPC_CREAT | IPC_EXCL | 0600);
        EXPECT_GE(id, 0) << strerror(errno);
        void *p = id >= 0 ? shmat(id, nullptr, 0) : (void *)-1;
        EXPECT_NE((void *)-1, p);
        rec_ = p == (void *)-1 ? nullptr : (upgrade_progress *)p;
        return rec_;
    }
    static void set(upgrade_progress *r, int32_t stage, uint32_t kt, uint32_t kd, uint32_t rt,
                    uint32_t rd, uint8_t pct)
    {
        r->stage = stage;
        r->kernel_total = kt;
        r->kernel_done = kd;
        r->root_total = rt;
        r->root_done = rd;
        r->percent = pct;
    }
    static void pause_ms(int ms)
    {
        std::this_thread::sleep_for(std::chrono::milliseconds(ms));
    }

    upgrade_progress *rec_ = nullptr;
};

TEST_F(ProgressTest, NoRecordIsStatus1)
{
    run_result r = fwtool({"progress"});
    EXPECT_EQ(1, r.status);
    EXPECT_NE(std::string::npos, r.err.find("no progress record")) << r.err;
    EXPECT_EQ("", r.out);
}

TEST_F(ProgressTest, ShowsTheRecordAndDecodesTheFailureCode)
{
    const char *kResource = "image missing or short, no memory, bank state unreadable, or target "
                            "partition missing/too small/not unlockable";
    const struct {
        int32_t stage;
        uint8_t percent;
        std::string first_line, last_line;
    } rows[] = {
        {0, 0, "0 (not started)", "percent: 0"},
        {UPGRADE_STAGE_WRITE_ROOT, 53, "4 (writing root)", "percent: 53"},
        {UPGRADE_STAGE_DONE, 100, "7 (done)", "percent: 100"},
        {UPGRADE_STAGE_FAILED, 0xED, "-1 (failed)",
         std::string("result:  -19 (UPGRADE_ERR_RESOURCE): ") + kResource},
        {UPGRADE_STAGE_FAILED, 0xF0, "-1 (failed)",
         "result:  -16 (UPGRADE_ERR_IMAGE): the image could not be loaded (other loader "
         "failure)"},
        {UPGRADE_STAGE_FAILED, 0xE8, "-1 (failed)",
         "result:  -24 (UPGRADE_ERR_VERIFY): reading a payload back failed or gave bytes that "
         "differ from the image"},
        {UPGRADE_STAGE_FAILED, 0xE7, "-1 (failed)", "result:  -25: not a code of the upgrade"},
        {UPGRADE_STAGE_FAILED, 5, "-1 (failed)", "result:  5: not a code of the upgrade"},
    };
    upgrade_progress *rec = create();
    ASSERT_NE(nullptr, rec);
    for (const auto &row : rows) {
        set(rec, row.stage, 1048576, 1048576, 4194304, 131072, row.percent);
        rec->pad[0] = 0x55; // the padding means nothing
        run_result r = fwtool({"progress"});
        EXPECT_EQ(0, r.status) << r.err;
        EXPECT_EQ("stage:   " + row.first_line +
                      "\n"
                      "kernel:  1048576 of 1048576 bytes\n"
                      "root:    131072 of 4194304 bytes\n" +
                      row.last_line + "\n",
                  r.out);
    }
}

TEST_F(ProgressTest, ASegmentTooSmallForTheRecordIsRefused)
{
    ASSERT_NE(nullptr, create(8));
    run_result r = fwtool({"progress"});
    EXPECT_EQ(2, r.status);
    EXPECT_NE(std::string::npos, r.err.find("holds 8 bytes")) << r.err;
    r = fwtool({"progress", "--watch", "--timeout", "5"});
    EXPECT_EQ(2, r.status);
}

TEST_F(ProgressTest, WatchIgnoresTheRecordOfAnEarlierRun)
{
    upgrade_progress *rec = create();
    ASSERT_NE(nullptr, rec);
    for (int32_t stage : {UPGRADE_STAGE_DONE, UPGRADE_STAGE_FAILED}) {
        set(rec, stage, 10, 10, 20, 20, stage == UPGRADE_STAGE_DONE ? 100 : 0xED);
        auto start = std::chrono::steady_clock::now();
        run_result r = fwtool({"progress", "--watch", "--timeout", "0.4"});
        auto took = std::chrono::steady_clock::now() - start;
        EXPECT_EQ(1, r.status) << stage;
        EXPECT_EQ("no upgrade run started within 0.4 seconds\n", r.out) << stage;
        EXPECT_GE(took, std::chrono::milliseconds(400));
        EXPECT_LT(took, std::chrono::seconds(5));
    }
}

TEST_F(ProgressTest, WatchFollowsARunFromStage2ToStage7)
{
    upgrade_progress *rec = create();
    ASSERT_NE(nullptr, rec);
    set(rec, UPGRADE_STAGE_DONE, 10, 10, 20, 20, 100); // left from an earlier run
    std::thread writer([rec] {
        pause_ms(300);
        set(rec, UPGRADE_STAGE_LOADING, 0, 0, 0, 0, 0);
        pause_ms(200);
        rec->stage = UPGRADE_STAGE_WRITE_KERNEL;
        rec->kernel_total = 4096;
        rec->root_total = 8192;
        pause_ms(200);
        rec->kernel_done = 4096;
        rec->root_done = 8192;
        rec->percent = 100;
        rec->stage = UPGRADE_STAGE_DONE;
    });
    auto start = std::chrono::steady_clock::now();
    run_result r = fwtool({"progress", "--watch", "--timeout", "20"});
    auto took = std::chrono::steady_clock::now() - start;
    writer.join();
    EXPECT_EQ(0, r.status) << r.err;
    // Not a terminal: one line per stage seen, then the outcome.
    EXPECT_EQ("stage 2: loading\n"
              "stage 3: writing kernel\n"
              "stage 7: done\n"
              "upgrade done: kernel 4096 bytes and root 8192 bytes written and verified\n",
              r.out);
    EXPECT_GE(took, std::chrono::milliseconds(700));
    EXPECT_LT(took, std::chrono::seconds(10));
}

TEST_F(ProgressTest, WatchCatchesARunTooQuickToSeeRunning)
{
    // The earlier run failed the same way the new one does; only the attach of another process
    // tells the two apart.
    upgrade_progress *rec = create();
    ASSERT_NE(nullptr, rec);
    set(rec, UPGRADE_STAGE_FAILED, 0, 0, 0, 0, 0xED);
    int id = shmget(UPGRADE_PROGRESS_KEY, 0, 0);
    pid_t child = fork();
    if (child == 0) {
        usleep(300 * 1000);
        void *p = shmat(id, nullptr, 0);
        if (p != (void *)-1) {
            ((upgrade_progress *)p)->stage = UPGRADE_STAGE_FAILED;
            shmdt(p);
        }
        _exit(0);
    }
    run_result r = fwtool({"progress", "--watch", "--timeout", "20"});
    waitpid(child, nullptr, 0);
    EXPECT_EQ(1, r.status);
    EXPECT_EQ("stage -1: failed\n"
              "upgrade failed: -19 (UPGRADE_ERR_RESOURCE): image missing or short, no memory, "
              "bank state unreadable, or target partition missing/too small/not unlockable\n",
              r.out);

    // A changed final record also shows a new run, here one that failed differently.
    std::thread writer([rec] {
        pause_ms(300);
        rec->percent = 0xEA; // -22
    });
    r = fwtool({"progress", "--watch", "--timeout", "20"});
    writer.join();
    EXPECT_EQ(1, r.status);
    EXPECT_NE(std::string::npos, r.out.find("upgrade failed: -22 (UPGRADE_ERR_MODEL)")) << r.out;
}

TEST_F(ProgressTest, WatchWaitsForTheRecordToAppear)
{
    std::thread writer([this] {
        pause_ms(300);
        upgrade_progress *rec = create();
        if (rec == nullptr)
            return;
        pause_ms(100); // a new segment reads all zero until the upgrade writes it
        set(rec, UPGRADE_STAGE_FAILED, 0, 0, 0, 0, 0xEC);
    });
    run_result r = fwtool({"progress", "--watch", "--timeout", "20"});
    writer.join();
    EXPECT_EQ(1, r.status);
    EXPECT_NE(std::string::npos, r.out.find("upgrade failed: -20 (UPGRADE_ERR_MAGIC)")) << r.out;
}

} // namespace
