// SPDX-License-Identifier: MIT
// get_boot_idx, set_boot_idx and redboot_cli end to end: the built program under each command
// name on a simulated device, checked by exit status, output and the block stored on flash.
#include "fixture.h"

#include <atomic>
#include <chrono>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/ipc.h>
#include <sys/shm.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include <algorithm>

#include "bank_state.h"
#include "boot_cmd.h"
#include "lock_files.h"
#include "platform.h"
#include "progress.h"
#include "rb_config.h"

namespace
{

using fwtest::run_result;
using fwtest::SimDeviceTest;

const char kUsage[] =
    "Usage:\n"
    "    redboot_cli show\n"
    "    redboot_cli enable_uart\n"
    "    redboot_cli disable_uart\n"
    "    redboot_cli update_exec <exec_cmd>\n"
    "    redboot_cli update_load <start_addr>\n"
    "    redboot_cli update_scrub <length>\n"
    "    redboot_cli --status [--json]\n"
    "Example:\n"
    "    redboot_cli update_exec \"root=/dev/ram0 initrd=0x0a000000,10M console=ttyS0,115200\"\n"
    "    redboot_cli update_load 0x0c000000\n"
    "    redboot_cli update_scrub 0x0a000000\n"
    "\n";

std::string replace(std::string s, const std::string &from, const std::string &to)
{
    size_t at = s.find(from);
    return at == std::string::npos ? s : s.replace(at, from.size(), to);
}

// The fault shim that the build puts beside the stand-in event library.
std::string fault_library()
{
    std::string evt = fwtest::evt_library();
    return evt.substr(0, evt.rfind('/')) + "/libfwfault.so";
}

// The text of the member `key` of the outermost JSON object on `line` (strings and nesting
// skipped), or "" when it has none.
std::string json_member(const std::string &line, const std::string &key)
{
    int depth = 0;
    bool in_string = false;
    size_t start = std::string::npos;

    for (size_t i = 0; i < line.size(); i++) {
        char c = line[i];
        if (in_string) {
            if (c == '\\')
                i++;
            else if (c == '"')
                in_string = false;
            continue;
        }
        if (c == '"' && depth == 1 && start == std::string::npos &&
            line.compare(i, key.size() + 3, "\"" + key + "\":") == 0) {
            start = i + key.size() + 3;
            i = start - 1;
            continue;
        }
        if (c == '"')
            in_string = true;
        else if (c == '{' || c == '[')
            depth++;
        else if ((c == '}' || c == ']') && depth-- == 2 && start != std::string::npos)
            return line.substr(start, i + 1 - start);
        else if (c == ',' && depth == 1 && start != std::string::npos)
            return line.substr(start, i - start);
        if (depth == 0 && start != std::string::npos)
            return line.substr(start, i - start);
    }
    return "";
}

class BootCli : public SimDeviceTest
{
  protected:
    void use_script(const std::string &script)
    {
        write("dev/mtdblock1", sim::config_block(sim::standard_entries(script)));
    }
    void remove_partition()
    {
        write("proc/mtd", replace(read("proc/mtd"), "\"RedBoot config\"", "\"other\""));
    }
};

TEST_F(BootCli, GetBootIdxReportsTheScriptBank)
{
    EXPECT_EQ(0, run("get_boot_idx").status);
    use_script(sim::boot_script(1));
    EXPECT_EQ(1, run("get_boot_idx", {"extra", "args"}).status);
    EXPECT_EQ(1, run("/usr/sbin/get_boot_idx").status);

    run_result r = run("get_boot_idx");
    EXPECT_EQ("", r.out);
    use_script("fis load kernel0 root1\n");
    EXPECT_EQ(255, run("get_boot_idx").status);
    remove_partition();
    EXPECT_EQ(255, run("get_boot_idx").status);
}

TEST_F(BootCli, SetBootIdxArguments)
{
    const std::string before = config_block();
    const struct {
        std::vector<std::string> args;
        int status;
    } refused[] = {{{}, 255},
                   {{"1", "0"}, 255},
                   {{"2"}, 254},
                   {{"-1"}, 254},
                   // Beyond int: refused on every build, never wrapped round to a bank.
                   {{"4294967297"}, 254},
                   {{"4294967296"}, 254},
                   {{"-4294967296"}, 254},
                   {{"2147483648"}, 254},
                   {{"99999999999999999999999"}, 254},
                   // Only a bank digit is a bank: no word, sign, blank, suffix or other base.
                   {{"abc"}, 254},
                   {{""}, 254},
                   {{"0x1"}, 254},
                   {{"1x"}, 254},
                   {{" 1"}, 254},
                   {{"+1"}, 254},
                   {{"01"}, 254}};
    for (const auto &row : refused) {
        run_result r = run("set_boot_idx", row.args);
        EXPECT_EQ(row.status, r.status) << (row.args.empty() ? "" : row.args[0]);
        EXPECT_EQ("", r.out);
        EXPECT_EQ(0u, r.err.find("Usage: set_boot_idx 0|1\n")) << r.err;
        EXPECT_TRUE(before == config_block());
    }

    const struct {
        const char *arg;
        int bank;
    } accepted[] = {{"1", 1}, {"0", 0}};
    for (const auto &row : accepted) {
        EXPECT_EQ(0, run("set_boot_idx", {row.arg}).status) << row.arg;
        EXPECT_EQ(sim::boot_script(row.bank), stored_script()) << row.arg;
        EXPECT_TRUE(stored_crc_valid()) << row.arg;
        EXPECT_EQ(row.bank, run("get_boot_idx").status) << row.arg;
    }
}

TEST_F(BootCli, UsageIsExactAndTouchesNothing)
{
    const std::string before = config_block();
    const std::vector<std::vector<std::string>> wrong = {
        {}, {"SHOW"}, {"help"}, {"update_exec"}, {"update_scrub"}, {"update_load"}};
    for (const auto &args : wrong) {
        run_result r = run("redboot_cli", args);
        EXPECT_EQ(255, r.status) << (args.empty() ? "" : args[0]);
        EXPECT_EQ(kUsage, r.out);
        EXPECT_EQ("", r.err);
    }
    EXPECT_TRUE(before == config_block());
    EXPECT_EQ("", read("proc/strata/unlock"));
}

// Help and version are answered under every name, before anything is looked at: no device root
// is needed, and nothing is locked, stored or started, not even the upgrade with an image staged.
TEST_F(BootCli, HelpAndVersionTouchNothing)
{
    ASSERT_TRUE(sim::make_dirs(path("tmpfs/upgrading")));
    write("tmpfs/upgrading/fw.bin", "staged");
    const std::string before = config_block();
    const struct {
        const char *name;
        std::vector<std::string> args;
        const char *out;      // the start of standard output
        int status = 0;       // 230: an option the upgrade does not know
        const char *err = ""; // the start of standard error
    } rows[] = {
        {"get_boot_idx", {"--help"}, "Usage: get_boot_idx\n"},
        {"get_boot_idx", {"-h"}, "Usage: get_boot_idx\n"},
        {"set_boot_idx", {"--help"}, "Usage: set_boot_idx 0|1\n"},
        {"redboot_cli", {"--help"}, "Usage:\n    redboot_cli show\n"},
        {"fwupgrade", {"--help"}, "Usage: fwupgrade [-h|--help] [--version]\n"},
        {"anything", {"-h"}, "Usage: fwupgrade"},
        {"get_boot_idx", {"--version"}, "get_boot_idx (fwupgrade) "},
        {"set_boot_idx", {"--version"}, "set_boot_idx (fwupgrade) "},
        {"redboot_cli", {"--version"}, "redboot_cli (fwupgrade) "},
        {"fwupgrade", {"--version"}, "fwupgrade (fwupgrade) "},
        {"fwupgrade", {"-x", "--help"}, "Usage: fwupgrade"},
        {"fwupgrade", {"now", "--version"}, "fwupgrade (fwupgrade) "},
        // In the value's place too: stored, it would be the next boot's kernel command line.
        {"redboot_cli", {"update_exec", "--help"}, "Usage:\n    redboot_cli show\n"},
        {"redboot_cli", {"update_exec", "-h"}, "Usage:\n    redboot_cli show\n"},
        {"redboot_cli", {"update_exec", "--version"}, "redboot_cli (fwupgrade) "},
        // A mistyped option is refused, never taken for an upgrade.
        {"fwupgrade",
         {"--dry-run"},
         "",
         230,
         "fwupgrade: unknown option --dry-run\nUsage: fwupgrade [-h|--help] [--version]\n"},
        {"fwupgrade", {"-n"}, "", 230, "fwupgrade: unknown option -n\nUsage: fwupgrade"},
        {"anything", {"now", "--check"}, "", 230, "fwupgrade: unknown option --check\n"},
        {"fwupgrade", {"-"}, "", 230, "fwupgrade: unknown option -\n"},
        {"fwupgrade", {"--"}, "", 230, "fwupgrade: unknown option --\n"},
    };
    for (const auto &row : rows) {
        for (bool with_root : {true, false}) {
            run_result r = with_root ? run(row.name, row.args)
                                     : fwtest::run_program(fwtest::sim_binary(), row.name, row.args,
                                                           {"FWUP_SYSROOT="});
            EXPECT_EQ(row.status, r.status) << row.name << " " << row.args.back();
            EXPECT_EQ(0u, r.out.find(row.out))
                << row.name << " " << row.args.back() << ": " << r.out;
            if (row.status != 0) {
                EXPECT_EQ("", r.out) << row.name << " " << row.args.back();
            }
            EXPECT_EQ(0u, r.err.find(row.err)) << row.name << " " << row.args.back() << r.err;
            if (row.err[0] == '\0') {
                EXPECT_EQ("", r.err) << row.name;
            }
        }
    }
    EXPECT_TRUE(before == config_block());
    EXPECT_EQ("staged", read("tmpfs/upgrading/fw.bin"));
    EXPECT_EQ("", read("proc/strata/unlock"));
    EXPECT_EQ(-1, access(path("var/lock/fwupgrade.lock").c_str(), F_OK));
    EXPECT_EQ(-1, access(path("var/lock/bootidx_changed").c_str(), F_OK));
    EXPECT_EQ(-1, access(path("var/log/evt.log").c_str(), F_OK));
}

// An edit that would break the script is refused whole: one line on standard error, exit status
// 245, nothing stored; the script stays bootable.
TEST_F(BootCli, RefusedEditsStoreNothing)
{
    const std::string before = config_block();
    const std::vector<std::string> rows[] = {
        {"update_load", std::string(511, '1')},
        {"update_load", "banana"},
        {"update_scrub", ""},
        {"update_scrub", "0x0a000000 -x"},
        {"update_exec", std::string(495, 'a')},
        {"update_exec", "console=ttyS0\"\nfis delete root1\nexec -c \"x"},
        // The kernel would find no root, or take the bank from the script's word and not from
        // the one the boot loader appends.
        {"update_exec", ""},
        {"update_exec", "  "},
        {"update_exec", "root=/dev/ram0 bootopt=1"},
    };
    for (const auto &args : rows) {
        run_result r = run("redboot_cli", args);
        EXPECT_EQ(256 + BOOT_ERR_REFUSED, r.status) << args[0] << " " << args[1].size();
        EXPECT_EQ(0u, r.err.find("redboot_cli " + args[0] + ": refused: ")) << r.err;
        EXPECT_EQ(1, std::count(r.err.begin(), r.err.end(), '\n')) << r.err;
        EXPECT_TRUE(before == config_block()) << args[0];
    }
    EXPECT_EQ(0, run("get_boot_idx").status);
    EXPECT_EQ(0, run("redboot_cli", {"disable_uart"}).status);
    EXPECT_EQ(0, run("redboot_cli", {"enable_uart"}).status);
    EXPECT_TRUE(before == config_block()) << "console off and on again";
}

// A block whose CRC does not match is used as before (the boot loader would ignore it and stop
// at its prompt), but every command that reads it says so once; an edit stores it with a
// matching CRC.
TEST_F(BootCli, BlockWithAWrongCrcIsToldByEveryReader)
{
    const std::string no_console = replace(sim::boot_script(0), " console=ttyS0,115200", "");
    const struct {
        const char *name;
        std::vector<std::string> args;
        int status;
        std::string script; // stored afterwards; empty: the block stays as it was
    } rows[] = {
        {"get_boot_idx", {}, 0, ""},
        {"redboot_cli", {"show"}, 0, ""},
        {"set_boot_idx", {"1"}, 0, sim::boot_script(1)},
        {"set_boot_idx", {"0"}, 0, sim::boot_script(0)},
        {"redboot_cli", {"disable_uart"}, 0, no_console},
        {"redboot_cli", {"enable_uart"}, 0, ""},
        {"redboot_cli",
         {"update_exec", "root=/dev/ram0"},
         0,
         replace(sim::boot_script(0), " initrd=0x0a000000,10M console=ttyS0,115200", "")},
        {"redboot_cli", {"update_load", "banana"}, 256 + BOOT_ERR_REFUSED, ""},
    };
    for (const auto &row : rows) {
        std::string block = sim::config_block(sim::standard_entries(sim::boot_script(0)));
        block[RB_CONFIG_CRC_OFFSET] = (char)(block[RB_CONFIG_CRC_OFFSET] ^ 0x01);
        write("dev/mtdblock1", block);
        run_result r = run(row.name, row.args);
        std::string what = std::string(row.name) + " " + (row.args.empty() ? "" : row.args[0]);
        EXPECT_EQ(row.status, r.status) << what << r.err;
        const std::string said = "the boot loader would ignore this block\n";
        size_t told = r.err.find(said);
        EXPECT_NE(std::string::npos, told) << what << r.err;
        EXPECT_EQ(std::string::npos, r.err.find(said, told + 1)) << what << r.err;
        EXPECT_EQ(0u, r.err.find(row.name)) << what << r.err;
        if (row.script.empty()) {
            EXPECT_TRUE(block == config_block()) << what;
        } else {
            EXPECT_EQ(row.script, stored_script()) << what;
            EXPECT_TRUE(stored_crc_valid()) << what;
        }
    }
    // A block that holds its CRC is not talked about.
    use_script(sim::boot_script(0));
    EXPECT_EQ("", run("get_boot_idx").err);
}

TEST_F(BootCli, SubCommandsEditTheStoredScript)
{
    const std::string sample = sim::boot_script(0);
    const std::string no_console = replace(sample, " console=ttyS0,115200", "");

    run_result r = run("redboot_cli", {"show", "extra"});
    EXPECT_EQ(0, r.status);
    EXPECT_EQ(sample + "\n", r.out);

    const struct {
        std::vector<std::string> args;
        std::string script; // stored afterwards
    } steps[] = {
        {{"disable_uart"}, no_console},
        {{"enable_uart", "ignored"}, sample},
        {{"update_exec", "root=/dev/ram0 quiet"},
         replace(sample, "initrd=0x0a000000,10M console=ttyS0,115200", "quiet")},
        {{"update_load", "0x0c000000"},
         replace(replace(sample, "initrd=0x0a000000,10M console=ttyS0,115200", "quiet"),
                 "0x0a000000 root0", "0x0c000000 root0")},
    };
    for (const auto &step : steps) {
        r = run("redboot_cli", step.args);
        EXPECT_EQ(0, r.status) << step.args[0];
        EXPECT_EQ("", r.out) << step.args[0];
        EXPECT_EQ(step.script, stored_script()) << step.args[0];
        EXPECT_TRUE(stored_crc_valid()) << step.args[0];
    }
    EXPECT_EQ(0, run("redboot_cli", {"update_scrub", "0x0a000000"}).status);
    EXPECT_EQ("scrub -o 0x03000000 -l 0x0a000000\n" + steps[3].script, stored_script());

    // A missing anchor is no failure, and nothing is written.
    use_script("fis load\n");
    std::string before = config_block();
    EXPECT_EQ(0, run("redboot_cli", {"update_load", "0x1"}).status);
    EXPECT_TRUE(before == config_block());
}

TEST_F(BootCli, FailuresReachTheExitStatus)
{
    // Every sub-command reports its failure, update_scrub and update_load included, with one
    // line on standard error naming it.
    remove_partition();
    for (const char *cmd : {"show", "update_exec", "update_scrub", "update_load"}) {
        run_result r = run("redboot_cli", {cmd, "0x0c000000"});
        EXPECT_EQ(253, r.status) << cmd;
        EXPECT_NE(std::string::npos, r.err.find("no \"RedBoot config\" partition")) << r.err;
    }
    run_result r = run("get_boot_idx");
    EXPECT_EQ(255, r.status);
    EXPECT_EQ("get_boot_idx: no \"RedBoot config\" partition in /proc/mtd\n", r.err);

    write("proc/mtd", sim::proc_mtd(sim::standard_partitions(opt_)));
    sim::remove_tree(path("proc/strata")); // no flash driver
    EXPECT_EQ(252, run("redboot_cli", {"update_scrub", "0x1"}).status);
    r = run("set_boot_idx", {"1"});
    EXPECT_EQ(252, r.status);
    EXPECT_EQ("set_boot_idx: the flash driver refused to unlock /dev/mtdblock1\n", r.err);

    // A script without bank digits takes no switch: that is no success.
    sim::make_dirs(path("proc/strata"));
    write("proc/strata/lock", "");
    write("proc/strata/unlock", "");
    use_script("fis load -b 0x1 rootfs\nfis load vmlinux\n");
    r = run("set_boot_idx", {"1"});
    EXPECT_EQ(256 + BOOT_ERR_NOT_FOUND, r.status) << r.err;
    EXPECT_EQ("set_boot_idx: the boot script names neither bank\n", r.err);

    // Without a bank on the kernel command line the running bank must be recorded before the
    // first change: a path held by something the tool did not make, or no lock directory at
    // all, stops every change with one line.
    const std::string script = sim::boot_script(0);
    use_script(script);
    const std::string cmdline = read("proc/cmdline");
    write("proc/cmdline", "console=ttyS0,115200\n");
    ASSERT_EQ(0, mkdir(path("var/lock/bootidx_changed").c_str(), 0777));
    const struct {
        const char *command;
        std::vector<std::string> args;
    } edits[] = {{"set_boot_idx", {"1"}}, {"redboot_cli", {"update_load", "0x1"}}};
    for (const auto &e : edits) {
        r = run(e.command, e.args);
        EXPECT_EQ(256 + BOOT_ERR_FOREIGN, r.status) << e.command;
        EXPECT_EQ(std::string(e.command) + (e.args.size() > 1 ? " update_load" : "") +
                      ": /var/lock/bootidx_changed is not the change marker this tool makes and "
                      "the kernel command line names no bank; the boot script is unchanged\n",
                  r.err);
    }
    EXPECT_EQ(script, stored_script());
    // With the bank on the command line, the planted directory stops nothing and stays.
    write("proc/cmdline", cmdline);
    EXPECT_EQ(0, run("set_boot_idx", {"1"}).status);
    EXPECT_EQ(0, rmdir(path("var/lock/bootidx_changed").c_str()));
    use_script(script);
    write("proc/cmdline", "console=ttyS0,115200\n");
    sim::remove_tree(path("var/lock"));
    r = run("set_boot_idx", {"1"});
    EXPECT_EQ(256 + BOOT_ERR_MARKER, r.status);
    EXPECT_EQ("set_boot_idx: the change marker /var/lock/bootidx_changed could not be made; the "
              "boot script is unchanged\n",
              r.err);
    EXPECT_EQ(script, stored_script());
}

TEST_F(BootCli, FailuresAfterUnlockLockAgain)
{
    const struct {
        const char *fault; // FWUP_FAULT rule of the fault shim
        bool dir_as_device;
        int status;
    } rows[] = {
        {"write:mtdblock1", false, 247},
        {"fsync:mtdblock1", false, 247},
        {"", true, 251},
    };
    for (const auto &row : rows) {
        sim::remove_tree(path("dev/mtdblock1"));
        if (row.dir_as_device)
            ASSERT_TRUE(sim::make_dirs(path("dev/mtdblock1")));
        else
            use_script(sim::boot_script(0));
        unlink(path("lock.trace").c_str());
        std::vector<std::string> env = {"LD_PRELOAD=" + fault_library(),
                                        "FWUP_LOCK_TRACE=" + path("lock.trace"),
                                        std::string("FWUP_FAULT=") + row.fault};
        EXPECT_EQ(row.status, run("set_boot_idx", {"1"}, env).status) << row.fault;
        EXPECT_EQ(row.status, run("redboot_cli", {"update_load", "0x1"}, env).status) << row.fault;
        EXPECT_EQ("unlock mtdblock1\nlock mtdblock1\nunlock mtdblock1\nlock mtdblock1\n",
                  read("lock.trace"))
            << row.fault;
    }
}

TEST_F(BootCli, ConcurrentWriterIsWaitedFor)
{
    // The test plays another writer: it holds the device's lock while it edits the block.
    int fd = open(path("dev/mtdblock1").c_str(), O_RDWR);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(0, flock(fd, LOCK_EX));
    std::atomic<bool> done{false};
    run_result r;
    std::thread setter([&] {
        r = run("set_boot_idx", {"1"});
        done = true;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    EXPECT_FALSE(done.load());
    std::string other = replace(sim::boot_script(0), " console=ttyS0,115200", "");
    write("dev/mtdblock1", sim::config_block(sim::standard_entries(other)));
    flock(fd, LOCK_UN);
    close(fd);
    setter.join();

    // The switch is made on the other writer's block, not on a copy read before it.
    EXPECT_EQ(0, r.status);
    EXPECT_EQ(replace(sim::boot_script(1), " console=ttyS0,115200", ""), stored_script());
    EXPECT_TRUE(stored_crc_valid());
    EXPECT_EQ(1, run("get_boot_idx").status);
}

TEST_F(BootCli, ConcurrentEditsNeverOverlapUnlockAndRelock)
{
    // The test holds the device's lock while two edits start: neither may unlock the partition
    // before it holds the lock itself, and each relocks before the other unlocks.
    int holder = open(path("dev/mtdblock1").c_str(), O_RDONLY);
    ASSERT_GE(holder, 0);
    ASSERT_EQ(0, flock(holder, LOCK_EX));
    const std::vector<std::string> env = {"LD_PRELOAD=" + fault_library(),
                                          "FWUP_LOCK_TRACE=" + path("lock.trace")};
    pid_t edits[] = {fwtest::start_program(fwtest::sim_binary(), "set_boot_idx", {"1"}, env),
                     fwtest::start_program(fwtest::sim_binary(), "redboot_cli",
                                           {"update_load", "0x0c000000"}, env)};
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_EQ("", read("lock.trace")); // nothing unlocked while another holds the lock
    flock(holder, LOCK_UN);
    close(holder);
    for (pid_t pid : edits) {
        int status = -1;
        ASSERT_GT(pid, 0);
        ASSERT_EQ(pid, waitpid(pid, &status, 0));
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    }
    EXPECT_EQ("unlock mtdblock1\nlock mtdblock1\nunlock mtdblock1\nlock mtdblock1\n",
              read("lock.trace"));
    // Both changes are in the stored block: neither edit stored a copy missing the other's.
    EXPECT_EQ(replace(sim::boot_script(1), "0x0a000000 root1", "0x0c000000 root1"),
              stored_script());
    EXPECT_TRUE(stored_crc_valid());
}

// A switch never points the script at a bank whose payloads are half written, nor at one whose
// record cannot be trusted: one line, its own status, nothing stored and no marker made. A bank
// without a record, or with a verified one, is switched to as before.
TEST_F(BootCli, SwitchesOnlyToABankThatCanBoot)
{
    const std::string being_written = "fwupgrade-bank 1\nstate being-written\ninstalled 5\n";
    const std::string verified = "fwupgrade-bank 1\nstate verified\nkernel-md5 " +
                                 std::string(32, '1') + "\nroot-md5 " + std::string(32, '2') +
                                 "\nimage-sha256 " + std::string(64, '3') + "\nkernel-sha256 " +
                                 std::string(64, '4') + "\nroot-sha256 " + std::string(64, '5') +
                                 "\nversion 7.1\nsigner unsigned\ninstalled 1700000000\n";
    const std::string refused_written =
        "set_boot_idx: bank 1 is being written: /kelpvar/config1/bank_record says its firmware "
        "was never verified; the boot script is unchanged\n";
    const std::string refused_untrusted =
        "set_boot_idx: bank 1 cannot be trusted: /kelpvar/config1/bank_record is unreadable or "
        "not a bank record; the boot script is unchanged\n";
    const struct {
        const char *name;
        std::string record; // "" none; "->" a link to a being-written record; "/" a directory
        int status;
        std::string err;
    } rows[] = {
        {"no record", "", 0, ""},
        {"verified", verified, 0, ""},
        {"being written", being_written, 256 + BOOT_ERR_BANK_RECORD, refused_written},
        {"malformed", "fwupgrade-bank 1\nstate half\ninstalled 5\n", 256 + BOOT_ERR_BANK_RECORD,
         refused_untrusted},
        {"a link", "->", 256 + BOOT_ERR_BANK_RECORD, refused_untrusted},
        {"a directory", "/", 256 + BOOT_ERR_BANK_RECORD, refused_untrusted},
    };
    const std::string record = path("kelpvar/config1/bank_record");
    for (const auto &row : rows) {
        use_script(sim::boot_script(0));
        sim::remove_tree(record);
        unlink(path("var/lock/bootidx_changed").c_str());
        if (row.record == "->") {
            write("kelpvar/config1/elsewhere", being_written);
            ASSERT_EQ(0, symlink("elsewhere", record.c_str()));
        } else if (row.record == "/") {
            ASSERT_EQ(0, mkdir(record.c_str(), 0755));
        } else if (!row.record.empty()) {
            write("kelpvar/config1/bank_record", row.record);
        }
        const std::string before = config_block();
        run_result r = run("set_boot_idx", {"1"});
        EXPECT_EQ(row.status, r.status) << row.name;
        EXPECT_EQ(row.err, r.err) << row.name;
        EXPECT_EQ("", r.out) << row.name;
        if (row.status != 0) {
            EXPECT_TRUE(before == config_block()) << row.name;
            EXPECT_EQ(-1, access(path("var/lock/bootidx_changed").c_str(), F_OK)) << row.name;
            // Back to the bank the script names already: nothing to store, nothing to refuse.
            EXPECT_EQ(0, run("set_boot_idx", {"0"}).status) << row.name;
        } else {
            EXPECT_EQ(sim::boot_script(1), stored_script()) << row.name;
        }
    }
    // A bank being written is refused to the upgrade's select too, and on the other bank.
    sim::remove_tree(record);
    use_script(sim::boot_script(1));
    write("kelpvar/config0/bank_record", being_written);
    EXPECT_EQ(BOOT_ERR_BANK_RECORD, select_boot_bank(0, -1));
    EXPECT_EQ(sim::boot_script(1), stored_script());
    run_result r = run("set_boot_idx", {"0"});
    EXPECT_EQ(256 + BOOT_ERR_BANK_RECORD, r.status);
    EXPECT_EQ(replace(replace(refused_written, "bank 1", "bank 0"), "config1", "config0"), r.err);
}

// --status under every name tells the banks, their records, the marker and the progress record,
// and changes nothing: no store, no unlock, no lock file, no marker, no shared memory created.
// Its JSON agrees with fwtool status on every key they share.
TEST_F(BootCli, StatusTellsAndTouchesNothing)
{
    const std::string verified =
        "fwupgrade-bank 1\nstate verified\nkernel-md5 " + std::string(32, 'a') + "\nroot-md5 " +
        std::string(32, 'b') + "\nimage-sha256 " + std::string(64, 'c') + "\nkernel-sha256 " +
        std::string(64, 'd') + "\nroot-sha256 " + std::string(64, 'e') +
        "\nversion 7.1 \"beta\"\nsigner 0123456789abcdef\ninstalled 1700000000\n";
    write("kelpvar/config1/bank_record", verified);
    write("kelpvar/config0/bank_record", "fwupgrade-bank 1\nstate being-written\ninstalled 9\n");
    const std::string cmdline = read("proc/cmdline");
    write("proc/cmdline", "console=ttyS0,115200\n");
    ASSERT_EQ(0, run("set_boot_idx", {"1"}).status); // the marker records bank 0
    write("proc/strata/unlock", "");
    const std::string block = config_block();
    const int key = platform_progress_key();
    ASSERT_LT(shmget(key, 0, 0), 0) << "a progress record exists before the test";
    const std::string text =
        "running bank:      0 (from the change marker)\n"
        "script bank:       1\n"
        "marker:            bank 0\n"
        "cmdline bank:      none\n"
        "bank 0 record:     being-written\n"
        "bank 0 installed:  9\n"
        "bank 1 record:     verified\n"
        "bank 1 installed:  1700000000\n"
        "bank 1 version:    7.1 \"beta\"\n"
        "bank 1 signer:     0123456789abcdef\n"
        "bank 1 kernel-md5:    " +
        std::string(32, 'a') + "\nbank 1 root-md5:      " + std::string(32, 'b') +
        "\nbank 1 image-sha256:  " + std::string(64, 'c') +
        "\nbank 1 kernel-sha256: " + std::string(64, 'd') +
        "\nbank 1 root-sha256:   " + std::string(64, 'e') + "\nprogress:          none\n";
    std::string json;
    for (const char *name : {"get_boot_idx", "set_boot_idx", "redboot_cli", "fwupgrade"}) {
        run_result r = run(name, {"--status"});
        EXPECT_EQ(0, r.status) << name;
        EXPECT_EQ(text, r.out) << name;
        EXPECT_EQ("", r.err) << name;
        r = run(name, {"--status", "--json"});
        EXPECT_EQ(0, r.status) << name;
        EXPECT_EQ("", r.err) << name;
        EXPECT_TRUE(json.empty() || json == r.out) << name << ": " << r.out;
        json = r.out;
        // Anything after --status but --json is refused, nothing done.
        r = run(name, {"--status", "--text"});
        EXPECT_EQ(std::string(name) == "fwupgrade" ? 230 : 255, r.status) << name;
        EXPECT_EQ(std::string(name) + ": --status takes only --json after it\n", r.err);
    }
    // In redboot_cli's value place too: stored, it would be the next boot's kernel command line.
    EXPECT_EQ(text, run("redboot_cli", {"update_exec", "--status"}).out);
    EXPECT_EQ(json, run("redboot_cli", {"update_exec", "--status", "--json"}).out);
    EXPECT_NE(std::string::npos, json.find("\"running_bank\":0,\"running_source\":\"marker\""));
    EXPECT_NE(std::string::npos, json.find("{\"bank\":0,\"state\":\"being-written\",\"installed\""
                                           ":9,\"version\":null,\"signer\":null,"))
        << json;
    EXPECT_NE(std::string::npos, json.find("\"version\":\"7.1 \\\"beta\\\"\",\"signer\":"
                                           "\"0123456789abcdef\",\"kernel_md5\":\"" +
                                           std::string(32, 'a')))
        << json;
    EXPECT_TRUE(block == config_block());
    EXPECT_EQ("", read("proc/strata/unlock"));
    EXPECT_EQ("0\n", read("var/lock/bootidx_changed"));
    EXPECT_EQ(-1, access(path("var/lock/fwupgrade.lock").c_str(), F_OK));
    EXPECT_LT(shmget(key, 0, 0), 0) << "--status created the progress record";

    run_result tool =
        fwtest::run_program(fwtest::fwtool_binary(), "fwtool", {"status", "--json", dir_.path()});
    // fwtool's script_bank is also null when the boot loader would stop (here: bank 1's kernel is
    // erased flash), which the device cannot see: not a shared fact.
    for (const char *k : {"marker", "marker_ignored", "marker_bank", "cmdline_bank", "bank_records",
                          "progress", "progress_problem"}) {
        EXPECT_NE("", json_member(json, k)) << k;
        EXPECT_EQ(json_member(json, k), json_member(tool.out, k)) << k << ": " << tool.out;
    }

    // A failed run's record is read, not created, and its code told; the key stays the test's.
    int id = shmget(key, sizeof(upgrade_progress), IPC_CREAT | 0600);
    ASSERT_GE(id, 0);
    upgrade_progress *p = (upgrade_progress *)shmat(id, nullptr, 0);
    ASSERT_NE((void *)-1, (void *)p);
    *p = upgrade_progress{UPGRADE_STAGE_FAILED, 10, 20, 10, 0, (uint8_t)UPGRADE_ERR_VERIFY, {}};
    run_result r = run("get_boot_idx", {"--status"});
    EXPECT_NE(std::string::npos, r.out.find("progress:          stage -1, kernel 10 of 10 bytes, "
                                            "root 0 of 20 bytes, failed with code -24\n"))
        << r.out;
    r = run("fwupgrade", {"--status", "--json"});
    EXPECT_NE(std::string::npos, r.out.find("\"stage_percent\":null,\"code\":-24}")) << r.out;
    shmdt(p);
    shmctl(id, IPC_RMID, nullptr);

    // Without the configuration block the state cannot be told: its code, one line.
    write("proc/cmdline", cmdline);
    remove_partition();
    r = run("redboot_cli", {"--status"});
    EXPECT_EQ(256 + BOOT_ERR_NO_PARTITION, r.status);
    EXPECT_EQ("redboot_cli: --status: the configuration block could not be read (code -3)\n",
              r.err);
}

// --status for each way the device can stand: where the running bank comes from, a marker that
// is not the tool's, records absent, malformed or behind a link, and progress records of each
// kind. Each row checks lines of the text and members of the JSON.
TEST_F(BootCli, StatusRows)
{
    const std::string head = "fwupgrade-bank 1\nstate verified\nkernel-md5 " +
                             std::string(32, '1') + "\nroot-md5 " + std::string(32, '2') +
                             "\nimage-sha256 " + std::string(64, '3') + "\nkernel-sha256 " +
                             std::string(64, '4') + "\nroot-sha256 " + std::string(64, '5') + "\n";
    const struct {
        const char *name;
        // The script's bank ("-": none), /proc/cmdline, the marker ("" none, else written as it
        // is: not the tool's), bank 0's and bank 1's records ("" none, "->" a link to one).
        std::vector<std::string> setup;
        // The progress record: none; {size} a segment too small; or stage, kernel_total,
        // root_total, kernel_done, root_done, percent.
        std::vector<uint32_t> shm;
        std::vector<std::string> text, json;
    } rows[] = {
        {"bootopt= names the bank",
         {"0", "console=ttyS0 bootopt=1\n", "", "", ""},
         {},
         {"running bank:      1 (from bootopt= on the kernel command line)\nscript bank:       0\n"
          "marker:            absent\ncmdline bank:      1\nbank 0 record:     none\n"
          "bank 1 record:     none\nprogress:          none\n"},
         {"{\"running_bank\":1,\"running_source\":\"bootopt\",\"script_bank\":0,\"marker\":false,"
          "\"marker_ignored\":false,\"cmdline_bank\":1,\"marker_bank\":null,",
          "{\"bank\":0,\"state\":\"none\",\"installed\":null,\"version\":null,\"signer\":null,"
          "\"kernel_md5\":null,",
          "\"progress\":null,\"progress_problem\":null}\n"}},
        {"the last bootopt= wins",
         {"1", "bootopt=1 console=ttyS0 bootopt=0\n", "", "", ""},
         {},
         {"running bank:      0 (from bootopt=", "cmdline bank:      0\n"},
         {"\"cmdline_bank\":0,"}},
        {"only the script tells",
         {"1", "console=ttyS0 bootopt=2\n", "", "", ""},
         {},
         {"running bank:      1 (from the boot script)\n", "cmdline bank:      none\n"},
         {"\"running_bank\":1,\"running_source\":\"script\",", "\"cmdline_bank\":null,"}},
        {"a foreign marker, no bootopt=",
         {"0", "console=ttyS0\n", "0\n", "", ""},
         {},
         {"running bank:      unknown\n", "marker:            foreign\n"},
         {"\"running_bank\":null,\"running_source\":null,",
          "\"marker\":false,\"marker_ignored\":true,", "\"marker_bank\":null,"}},
        {"a foreign marker beside bootopt=",
         {"0", "bootopt=1\n", "1\n", "", ""},
         {},
         {"running bank:      1 (from bootopt=", "marker:            foreign\n"},
         {"\"running_source\":\"bootopt\","}},
        {"no bank in the script",
         {"-", "console=ttyS0\n", "", "", ""},
         {},
         {"running bank:      unknown\nscript bank:       none\n"},
         {"\"running_bank\":null,\"running_source\":null,\"script_bank\":null,"}},
        {"records malformed and through a link",
         {"0", "bootopt=0\n", "", "fwupgrade-bank 1\nstate half\ninstalled 5\n", "->"},
         {},
         {"bank 0 record:     malformed\nbank 1 record:     unreadable\nprogress:"},
         {"{\"bank\":0,\"state\":\"malformed\",\"installed\":null,\"version\":null,",
          "{\"bank\":1,\"state\":\"unreadable\",\"installed\":null,"}},
        {"verified, unsigned, odd version texts",
         {"0", "bootopt=0\n", "", head + "version a\\b/c\nsigner unsigned\ninstalled 0\n",
          head + "version\nsigner unsigned\ninstalled 1\n"},
         {},
         {"bank 0 version:    a\\b/c\nbank 0 signer:     unsigned\n",
          "bank 1 version:    \nbank 1 signer:     unsigned\n"},
         {"\"installed\":0,\"version\":\"a\\\\b/c\",\"signer\":\"unsigned\",\"kernel_md5\":\"1111",
          "\"installed\":1,\"version\":\"\",\"signer\":\"unsigned\","}},
        {"a progress record too small",
         {"0", "bootopt=0\n", "", "", ""},
         {8},
         {"progress:          unreadable\n"},
         {"\"progress\":null,\"progress_problem\":\"the progress record cannot be attached or is "
          "too small\"}\n"}},
        {"a run writing the kernel",
         {"0", "bootopt=0\n", "", "", ""},
         {UPGRADE_STAGE_WRITE_KERNEL, 10, 20, 5, 0, 40},
         {"progress:          stage 3, kernel 5 of 10 bytes, root 0 of 20 bytes, 40%\n"},
         {"\"progress\":{\"stage\":3,\"state\":\"running\",\"kernel_done\":5,\"kernel_total\":10,"
          "\"root_done\":0,\"root_total\":20,\"stage_percent\":40},\"progress_problem\":null}"}},
        {"a finished run",
         {"0", "bootopt=0\n", "", "", ""},
         {UPGRADE_STAGE_DONE, 10, 20, 10, 20, 100},
         {"root 20 of 20 bytes, 100%\n"},
         {"\"stage\":7,\"state\":\"done\",", "\"stage_percent\":100}"}},
    };
    const int key = platform_progress_key();
    for (const auto &row : rows) {
        const std::vector<std::string> &s = row.setup;
        use_script(s[0] == "-" ? "fis load -b 0x1 rootfs\nfis load vmlinux\n"
                               : sim::boot_script(s[0][0] - '0'));
        write("proc/cmdline", s[1]);
        unlink(path("var/lock/bootidx_changed").c_str());
        if (!s[2].empty())
            write("var/lock/bootidx_changed", s[2]);
        for (int bank = 0; bank < 2; bank++) {
            const std::string rel = "kelpvar/config" + std::to_string(bank) + "/bank_record";
            sim::remove_tree(path(rel));
            if (s[3 + bank] == "->") {
                write(rel + ".real", "fwupgrade-bank 1\nstate being-written\ninstalled 5\n");
                ASSERT_EQ(0, symlink("bank_record.real", path(rel).c_str()));
            } else if (!s[3 + bank].empty()) {
                write(rel, s[3 + bank]);
            }
        }
        int id = -1;
        if (!row.shm.empty()) {
            const std::vector<uint32_t> &v = row.shm;
            const upgrade_progress p =
                v.size() < 6
                    ? upgrade_progress{}
                    : upgrade_progress{(int32_t)v[0], v[1], v[2], v[3], v[4], (uint8_t)v[5], {}};
            const size_t size = v.size() < 6 ? v[0] : sizeof(p);
            id = shmget(key, size, IPC_CREAT | 0600);
            ASSERT_GE(id, 0) << row.name;
            void *at = shmat(id, nullptr, 0);
            ASSERT_NE((void *)-1, at) << row.name;
            memcpy(at, &p, std::min(size, sizeof(p)));
            shmdt(at);
        }
        const run_result text = run("get_boot_idx", {"--status"});
        const run_result json = run("set_boot_idx", {"--status", "--json"});
        if (id >= 0)
            shmctl(id, IPC_RMID, nullptr);
        EXPECT_EQ(0, text.status) << row.name << ": " << text.err;
        EXPECT_EQ(0, json.status) << row.name << ": " << json.err;
        for (const std::string &line : row.text)
            EXPECT_NE(std::string::npos, text.out.find(line)) << row.name << ": " << text.out;
        for (const std::string &member : row.json)
            EXPECT_NE(std::string::npos, json.out.find(member)) << row.name << ": " << json.out;
    }
}

} // namespace
