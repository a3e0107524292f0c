// SPDX-License-Identifier: MIT
// fwtool sandbox and progress, run as the real program: simulated devices as the upgrade sees
// them, and the progress record read from outside while this test writes it.
#include "fixture.h"

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <pty.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/ipc.h>
#include <sys/shm.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include "boot_judge.h"
#include "platform.h"
#include "lock_files.h"
#include "notify.h"
#include "progress.h"
#include "upgrade.h"

namespace
{

using fwtest::run_result;
using fwtest::TempDir;

run_result fwtool(const std::vector<std::string> &args, const std::vector<std::string> &env = {})
{
    return fwtest::run_program(fwtest::fwtool_binary(), "fwtool", args, env);
}

run_result fwtool_in_terminal(const std::vector<std::string> &args, int columns)
{
    return fwtest::run_in_terminal(fwtest::fwtool_binary(), "fwtool", args, columns);
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

// Puts a stand-in firmware at the start of a bank's partitions, so that it is no erased flash.
void install_bank(const std::string &root, int bank)
{
    for (int dev : {3 + 2 * bank, 4 + 2 * bank}) {
        const std::string path = root + "/dev/mtdblock" + std::to_string(dev);
        std::string data;
        ASSERT_TRUE(sim::read_file(path, &data));
        data.replace(0, 8, "firmware");
        ASSERT_TRUE(sim::write_file(path, data));
    }
}

const std::string kEvtEnv = std::string("FWTOOL_EVT_LIB=") + fwtest::evt_library();

void pause_for(int ms)
{
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

std::vector<std::string> split_lines(const std::string &text)
{
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos)
            end = text.size();
        lines.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return lines;
}

// A strict reader of one JSON value (RFC 8259), independent of the writer: true when `text` is
// exactly one value, optionally followed by a newline.
class JsonCheck
{
  public:
    explicit JsonCheck(const std::string &text) : s_(text) {}
    bool valid()
    {
        if (!value())
            return false;
        if (p_ < s_.size() && s_[p_] == '\n')
            p_++;
        return p_ == s_.size();
    }

  private:
    bool value()
    {
        if (p_ >= s_.size())
            return false;
        switch (s_[p_]) {
        case '{':
            return container('}', true);
        case '[':
            return container(']', false);
        case '"':
            return string();
        case 't':
            return word("true");
        case 'f':
            return word("false");
        case 'n':
            return word("null");
        default:
            return number();
        }
    }
    bool container(char close, bool object)
    {
        p_++;
        if (p_ < s_.size() && s_[p_] == close) {
            p_++;
            return true;
        }
        for (;;) {
            if (object && !(string() && p_ < s_.size() && s_[p_++] == ':'))
                return false;
            if (!value() || p_ >= s_.size())
                return false;
            char c = s_[p_++];
            if (c == close)
                return true;
            if (c != ',')
                return false;
        }
    }
    bool string()
    {
        if (p_ >= s_.size() || s_[p_] != '"')
            return false;
        for (p_++; p_ < s_.size(); p_++) {
            unsigned char c = (unsigned char)s_[p_];
            if (c == '"') {
                p_++;
                return true;
            }
            if (c < 0x20)
                return false;
            if (c == '\\') {
                if (++p_ >= s_.size())
                    return false;
                char e = s_[p_];
                if (e == 'u') {
                    for (int i = 0; i < 4; i++) {
                        if (++p_ >= s_.size() || !isxdigit((unsigned char)s_[p_]))
                            return false;
                    }
                } else if (strchr("\"\\/bfnrt", e) == nullptr) {
                    return false;
                }
            }
        }
        return false;
    }
    bool word(const char *w)
    {
        size_t n = strlen(w);
        if (s_.compare(p_, n, w) != 0)
            return false;
        p_ += n;
        return true;
    }
    bool number()
    {
        size_t start = p_;
        if (p_ < s_.size() && s_[p_] == '-')
            p_++;
        if (p_ < s_.size() && s_[p_] == '0')
            p_++;
        else if (!digits())
            return false;
        if (p_ < s_.size() && s_[p_] == '.' && (++p_, !digits()))
            return false;
        return p_ > start;
    }
    bool digits()
    {
        size_t start = p_;
        while (p_ < s_.size() && isdigit((unsigned char)s_[p_]))
            p_++;
        return p_ > start;
    }

    const std::string &s_;
    size_t p_ = 0;
};

bool json_valid(const std::string &text)
{
    return JsonCheck(text).valid();
}

// The integer after "key": in a JSON text, or -1 when it is missing or not a number.
long json_number_of(const std::string &text, const std::string &key)
{
    size_t at = text.find("\"" + key + "\":");
    if (at == std::string::npos)
        return -1;
    const char *p = text.c_str() + at + key.size() + 3;
    return isdigit((unsigned char)*p) ? strtol(p, nullptr, 10) : -1;
}

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
    // An existing sandbox is kept unless asked for afresh.
    r = fwtool({"sandbox", "create", root, "--running-bank", "1"}, {kEvtEnv});
    EXPECT_EQ(2, r.status);
    EXPECT_NE(std::string::npos, r.err.find("is already a sandbox; --force")) << r.err;
    EXPECT_TRUE(exists(root + "/var/log/evt.log"));
    EXPECT_EQ(0, device(root, "get_boot_idx").status);
    ASSERT_EQ(
        0, fwtool({"sandbox", "create", root, "--running-bank", "1", "--force"}, {kEvtEnv}).status);
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
    ASSERT_EQ(0, fwtool({"key", "create", "-o", t / "k"}, {kEvtEnv}).status);
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
        {"image", "sign", t / "img"},                               // no key
        {"image", "sign", "--key", t / "missing", t / "img"},       // unreadable key
        {"image", "manifest", t / "img", "--key"},                  // no value
        {"image", "verify", t / "img"},                             // no keyring
        {"image", "verify", "--keyring", t / "missing", t / "img"}, // no keys
        {"image", "verify", "--keyring", t.path(), t / "img", "a", "b"},
        {"image", "sign", "--key", t / "img", t / "img"},       // not a key
        {"image", "sign", "--key", t / "k.pub.pem", t / "img"}, // the public key
        {"image", "manifest", t / "img", "--key", t / "k.pem"}, // the private key
        {"image", "verify", "--keyring", t / "img", t / "img"}, // keyring is a file
        {"image", "verify", "--keyring", t.path(), t / "img"},  // a private key in it
        {"image", "sign", "--key", t / "k.pem", t / "img", "--version", std::string(65, 'v')},
        {"key"},
        {"key", "make"},
        {"key", "create", "extra"},
        {"key", "create", "--colour=red"},
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
        {"progress", "--json", "--timeout", "1"},
        {"status"},
        {"status", sb, sb},
        {"status", t.path()}, // not a sandbox
        {"status", sb, "--image"},
        {"status", sb, "--image="},
        {"status", sb, "--image", t / "img"}, // not an image
        {"status", sb, "--image", t / "missing"},
        {"status", sb, "--image", t.path()},
        {"status", "--colour", sb},
        {"help", "frobnicate"},
        {"--versions"},
    };
    for (const auto &args : rows) {
        std::string shown;
        for (const std::string &a : args)
            shown += a + " ";
        run_result r = fwtool(args, {kEvtEnv});
        EXPECT_EQ(2, r.status) << shown;
        EXPECT_FALSE(r.err.empty()) << shown;
        EXPECT_EQ(1, std::count(r.err.begin(), r.err.end(), '\n')) << shown << r.err;
        EXPECT_EQ(0u, r.out.size()) << shown << r.out;
    }
    EXPECT_FALSE(exists(t / "x"));
    EXPECT_FALSE(exists(sb + "/tmpfs/upgrading/fw.bin"));
    EXPECT_FALSE(exists(t / "tmpfs"));
    EXPECT_FALSE(exists(t / "img.sig"));
}

TEST(FwtoolArguments, EachCommandHasHelp)
{
    // Help wins wherever it stands, touches nothing and needs nothing else to be right.
    const std::vector<std::vector<std::string>> rows = {
        {"-h"},
        {"--help"},
        {"help"},
        {"help", "status"},
        {"help", "image"},
        {"sandbox", "--help"},
        {"sandbox", "create", "--help"},
        {"sandbox", "stage", "-h"},
        {"sandbox", "reboot", "--help"},
        {"sandbox", "reboot", "/nonexistent", "-h"},
        {"progress", "--help"},
        {"progress", "--watch", "-h"},
        {"progress", "--timeout", "-h"},
        {"status", "--help"},
        {"status", "/nonexistent", "--image", "/nonexistent", "-h"},
        {"image", "info", "--json", "-h"},
        {"image", "help"},
        {"sandbox", "help", "stage"},
        {"image", "sign", "--key", "/nonexistent", "--help"},
        {"image", "help", "verify"},
        {"key", "--help"},
        {"key", "create", "-o", "/nonexistent/k", "-h"},
        {"help", "key"},
    };
    for (const auto &args : rows) {
        std::string shown;
        for (const std::string &a : args)
            shown += a + " ";
        run_result r = fwtool(args);
        EXPECT_EQ(0, r.status) << shown;
        EXPECT_EQ(0u, r.out.find("usage: fwtool ")) << shown << r.out;
        EXPECT_EQ("", r.err) << shown;
    }
}

TEST(FwtoolArguments, VersionIsTheProjectVersionWithTheCommit)
{
    run_result r = fwtool({"--version"});
    EXPECT_EQ(0, r.status);
    EXPECT_EQ("", r.err);
    // The same form as the device program's: the package name, the version, the commit.
    const std::string prefix = "fwtool (fwupgrade) ";
    ASSERT_EQ(0u, r.out.find(prefix)) << r.out;
    std::string version =
        r.out.substr(prefix.size(), r.out.find_first_of(" \n", prefix.size()) - prefix.size());
    EXPECT_EQ(std::string::npos, version.find_first_not_of("0123456789.")) << r.out;
    EXPECT_NE(std::string::npos, version.find('.')) << r.out;
    // One version for both programs.
    run_result dev = fwtest::run_program(fwtest::sim_binary(), "fwupgrade", {"--version"});
    EXPECT_EQ(0, dev.status);
    EXPECT_EQ("fwtool" + dev.out.substr(strlen("fwupgrade")), r.out);
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

    // Neither is a good image: refused, unless forced (as tests of the device's own checks do).
    for (const std::string &bad : {t / "fw.img", t / "oem.tgz"}) {
        run_result r = fwtool({"sandbox", "stage", sb, bad});
        EXPECT_EQ(1, r.status);
        EXPECT_NE(std::string::npos, r.err.find("is not a good image (bad magic); --force"))
            << r.err;
        EXPECT_FALSE(exists(up + "/fw.bin"));
    }
    run_result r = fwtool(
        {"sandbox", "stage", sb, t / "fw.img", "--oem", t / "oem.tgz", "--nooem", "--force"});
    ASSERT_EQ(0, r.status) << r.err;
    EXPECT_EQ(image, slurp(up + "/fw.bin"));
    EXPECT_EQ(archive, slurp(up + "/oem.bin"));
    EXPECT_TRUE(exists(up + "/.nooem"));
    EXPECT_NE(std::string::npos, r.out.find("ignore")) << "131072 bytes is over the limit";
    EXPECT_FALSE(exists(up + "/fw.sig")) << "no IMAGE.sig, no fw.sig";

    // The signature file beside the image travels with it, and goes with the next staging.
    ASSERT_TRUE(sim::write_file(t / "fw.img.sig", "signed"));
    ASSERT_EQ(0, fwtool({"sandbox", "stage", sb, t / "fw.img", "--force"}).status);
    EXPECT_EQ("signed", slurp(up + "/fw.sig"));

    ASSERT_EQ(0, fwtool({"sandbox", "stage", sb, t / "oem.tgz", "--force"}).status);
    EXPECT_EQ(archive, slurp(up + "/fw.bin"));
    EXPECT_FALSE(exists(up + "/oem.bin"));
    EXPECT_FALSE(exists(up + "/.nooem"));

    ASSERT_EQ(
        0, fwtool({"sandbox", "stage", sb, t / "fw.img", "--oem", t / "fw.img", "--force"}).status);
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
    install_bank(sb, 1);
    ASSERT_TRUE(sim::write_file(sb + "/var/lock/bootidx_changed", ""));
    ASSERT_TRUE(sim::make_dirs(sb + "/var/lock/sub/dir"));
    ASSERT_TRUE(sim::make_dirs(sb + "/tmpfs/upgrading"));
    ASSERT_TRUE(sim::write_file(sb + "/tmpfs/upgrading/fw.bin", "x"));
    // The old command line is not carried over: the new one is the script's.
    ASSERT_TRUE(sim::write_file(sb + "/proc/cmdline",
                                "console=ttyS0 bootopt=0 quiet xbootopt=0\tmem=64M\n"));
    // With the marker, the program still takes bank 1 as current and target.
    EXPECT_EQ(1, device(sb, "get_boot_idx").status);

    run_result r = fwtool({"sandbox", "reboot", sb});
    ASSERT_EQ(0, r.status) << r.err;
    const std::string booted =
        "root=/dev/ram0 initrd=0x0a000000,10M console=ttyS0,115200 bootopt=1\n";
    EXPECT_EQ("booted bank 1 (kernel1, root1); kernel command line: " + booted, r.out);
    EXPECT_FALSE(exists(sb + "/var/lock/bootidx_changed"));
    EXPECT_FALSE(exists(sb + "/var/lock/sub"));
    EXPECT_TRUE(exists(sb + "/var/lock"));
    EXPECT_FALSE(exists(sb + "/tmpfs/upgrading"));
    EXPECT_EQ(booted, slurp(sb + "/proc/cmdline"));
    EXPECT_EQ(1, device(sb, "get_boot_idx").status);
}

// Each edit of the script shows in the command line of the next boot.
TEST(SandboxReboot, CommandLineFollowsTheScriptEdits)
{
    const std::string kStock = "root=/dev/ram0 initrd=0x0a000000,10M console=ttyS0,115200";
    const struct {
        const char *command;
        std::vector<std::string> args;
        std::string cmdline; // after the reboot
    } rows[] = {
        {"redboot_cli", {"disable_uart"}, "root=/dev/ram0 initrd=0x0a000000,10M bootopt=0\n"},
        {"redboot_cli",
         {"update_exec", "root=/dev/ram0 initrd=0x0a000000,4M"},
         "root=/dev/ram0 initrd=0x0a000000,4M bootopt=0\n"},
        {"redboot_cli", {"update_exec", kStock + " quiet"}, kStock + " quiet bootopt=0\n"},
        {"set_boot_idx", {"1"}, kStock + " bootopt=1\n"},
        // update_exec refuses a bank word (the rule for one in a script is below); the stored
        // command line stays.
        {"redboot_cli", {"update_exec", "bootopt=1 console=ttyS0"}, kStock + " bootopt=0\n"},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.command + (" " + row.args[0]));
        TempDir t;
        ASSERT_EQ(0, fwtool({"sandbox", "create", t.path()}, {kEvtEnv}).status);
        install_bank(t.path(), 1);
        bool refused = row.args.size() > 1 && row.args[1].find("bootopt=") != std::string::npos;
        ASSERT_EQ(refused ? 245 : 0, device(t.path(), row.command, row.args).status);
        run_result r = fwtool({"sandbox", "reboot", t.path()});
        EXPECT_EQ(0, r.status) << r.err;
        EXPECT_EQ(row.cmdline, slurp(t / "proc/cmdline"));
        EXPECT_NE(std::string::npos, r.out.find("kernel command line: " + row.cmdline)) << r.out;
    }
}

TEST(SandboxReboot, BankAndCommandLineRulesOfTheScript)
{
    const std::string kRoot0 = "fis load -b 0x0a000000 root0\nfis load kernel0\n";
    const std::string kBoot0 = kRoot0 + "exec -c \"initrd=0x0a000000,4M ";
    const struct {
        std::string script;
        int bank;            // -1: refused, status 1
        const char *outcome; // the new command line, or the reason for the refusal
        uint32_t clobber;    // a byte of the block changed before the CRC is made; 0 none
        bool erased;         // bank 0 left as erased flash
    } rows[] = {
        {kBoot0 + "a b\"\n", 0, "initrd=0x0a000000,4M a b bootopt=0\n", 0, false},
        {"fis load -b 0x0a000000 root1\nfis load kernel1\nexec -c \"initrd=0x0a000000,4M x\"", 1,
         "initrd=0x0a000000,4M x bootopt=1\n", 0, false},
        // Names in the text load nothing: only fis load lines do.
        {"kernel0 root0 kernel1 root1\nexec\n", -1, "no image loaded", 0, false},
        {"kernel1 root1 kernel0 root0\n \texec -c \"q\"\n", -1, "no image loaded", 0, false},
        {"fis load kernel10 root1\nexec -c \"x\"", -1, "no image \"kernel10\"", 0, false},
        {kBoot0 + "first\"\nexec -c \"second\"\n", 0, "initrd=0x0a000000,4M first bootopt=0\n", 0,
         false},
        {kRoot0 + "exec -c \"\"\n", -1, "no image was loaded at the command line's initrd=", 0,
         false},
        {kRoot0 + "exec -b 0x100 -c \"  a  initrd=0x0a000000,4M b \"\n", 0,
         "a initrd=0x0a000000,4M b bootopt=0\n", 0, false},
        // Cut short: the boot loader takes the text to the end of the line.
        {kBoot0 + "root=/dev/ram0 console=ttyS0,1152\n", 0,
         "initrd=0x0a000000,4M root=/dev/ram0 console=ttyS0,1152 bootopt=0\n", 0, false},
        {"fis load -b 0x0a000000 root1\nfis load kernel0\nexec -c \"initrd=0x0a000000,4M\"\n", -1,
         "kernel0 with ramdisk root1 is no bank's pair", 0, false},
        // The last load without -b is what exec starts.
        {"fis load kernel0\nfis load root0\nexec -c \"initrd=0x0a000000,4M\"\n", -1,
         "kernel root0 with ramdisk root0", 0, false},
        {"exec -c \"root=/dev/ram0\"\n", -1, "no image loaded", 0, false},
        {kRoot0, -1, "ends without exec", 0, false},
        {"root0 kernel0\nexecute -c \"x\"\n# exec -c \"y\"\n", -1, "ends without exec", 0, false},
        {kBoot0 + "x\"\n", -1, "kernel image kernel0 is erased flash", 0, true},
        {kBoot0.substr(0, kBoot0.size() - 3) + "1M\"\n", -1, "fewer bytes than root0", 0, false},
        // A block the boot loader does not take: a key word, or the script switched off.
        {kBoot0 + "x\"\n", -1, "key word", 4, false},
        {kBoot0 + "x\"\n", -1, "key word", 0x1FFF8, false},
        {kBoot0 + "x\"\n", -1, "boot_script is not set", 24, false},
        {kBoot0 + "x\"\n", -1, "enable key boot_script disables it", 30, false},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.script);
        TempDir t;
        sim::device_options opt;
        opt.script = row.script;
        opt.running_bank = 1;
        ASSERT_EQ(0, sim::create_device(t.path(), opt, nullptr));
        if (!row.erased)
            install_bank(t.path(), 0);
        if (row.clobber != 0) {
            std::string block = slurp(t / "dev/mtdblock1");
            block[row.clobber] ^= 1;
            const uint32_t crc = sim::crc_ref(block, 0x1FFFC);
            for (int i = 0; i < 4; i++)
                block[0x1FFFC + i] = (char)(crc >> (8 * i));
            ASSERT_TRUE(sim::write_file(t / "dev/mtdblock1", block));
        }
        ASSERT_TRUE(sim::write_file(t / "var/lock/bootidx_changed", ""));
        run_result r = fwtool({"sandbox", "reboot", t.path()});
        const std::string cmdline = slurp(t / "proc/cmdline");
        EXPECT_FALSE(exists(t / "var/lock/bootidx_changed"));
        if (row.bank < 0) {
            EXPECT_EQ(1, r.status);
            EXPECT_NE(std::string::npos, r.err.find(row.outcome)) << r.err;
            EXPECT_NE(std::string::npos, cmdline.find("bootopt=1")) << "left alone";
        } else {
            EXPECT_EQ(0, r.status) << r.err;
            EXPECT_EQ(row.bank, device(t.path(), "get_boot_idx").status);
            EXPECT_EQ(row.outcome, cmdline);
        }
    }
}

// The image directory as the boot loader reads it: names cut to 15 characters, the list ended by
// an erased record or by the end of the partition.
TEST(SandboxReboot, FisDirectoryRecords)
{
    const struct {
        std::vector<sim::fis_image> images;
        uint32_t size;
        size_t read; // records read back
        const char *last_name;
    } rows[] = {
        {{{"kernel0", 0x80000, 0x8000, 0x200000, 0x8000}}, 0x20000, 1, "kernel0"},
        {{{"a-name-of-twenty-chars", 1, 2, 3, 4}}, 0x20000, 1, "a-name-of-twent"},
        {{{"a", 1, 2, 3, 4}, {"b", 5, 6, 7, 8}, {"c", 9, 10, 11, 12}}, 128, 2, "b"},
        {{}, 0x20000, 0, ""},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.last_name);
        std::vector<sim::fis_image> got = sim::fis_read(sim::fis_directory(row.images, row.size));
        ASSERT_EQ(row.read, got.size());
        if (got.empty())
            continue;
        const sim::fis_image &l = got.back(), &w = row.images[got.size() - 1];
        EXPECT_EQ(row.last_name, l.name);
        EXPECT_EQ(w.flash_offset, l.flash_offset);
        EXPECT_EQ(w.mem_address, l.mem_address);
        EXPECT_EQ(w.length, l.length);
        EXPECT_EQ(w.entry_point, l.entry_point);
    }
}

TEST(SandboxReboot, ABlockWithABadCrcDoesNotBoot)
{
    TempDir t;
    ASSERT_EQ(0, fwtool({"sandbox", "create", t.path()}, {kEvtEnv}).status);
    std::string block = slurp(t / "dev/mtdblock1");
    ASSERT_EQ(0x20000u, block.size());
    block[0x1FFFC] ^= 1;
    ASSERT_TRUE(sim::write_file(t / "dev/mtdblock1", block));
    const std::string before = slurp(t / "proc/cmdline");
    run_result r = fwtool({"sandbox", "reboot", t.path()});
    EXPECT_EQ(1, r.status);
    EXPECT_NE(std::string::npos, r.err.find("CRC does not match")) << r.err;
    EXPECT_EQ(before, slurp(t / "proc/cmdline"));
    run_result st = fwtool({"status", t.path()});
    EXPECT_EQ(1, st.status);
    EXPECT_NE(std::string::npos, st.out.find("would not boot: the configuration block's CRC"))
        << st.out;
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

// ---- image create and info

TEST(ImageCreate, StreamsPayloadsOfEverySizeIntoTheImage)
{
    // Sizes on and around the 1 MiB copy chunk, and the smallest.
    const uint32_t kChunk = 1u << 20;
    const struct {
        uint32_t kernel, root;
    } rows[] = {
        {1, 1},          {kChunk, 1}, {kChunk - 1, kChunk + 1}, {kChunk + 1, 2 * kChunk + 77},
        {3, 3 * kChunk},
    };
    uint32_t seed = 1;
    for (const auto &row : rows) {
        SCOPED_TRACE(std::to_string(row.kernel) + " + " + std::to_string(row.root));
        TempDir t;
        const std::string k = fwtest::random_bytes(row.kernel, seed++);
        const std::string r = fwtest::random_bytes(row.root, seed++);
        ASSERT_TRUE(sim::write_file(t / "k", k));
        ASSERT_TRUE(sim::write_file(t / "r", r));
        run_result c = fwtool({"image", "create", "--model", "ZX9", "--kernel", t / "k", "--root",
                               t / "r", "-o", t / "fw.bin"});
        ASSERT_EQ(0, c.status) << c.err;
        EXPECT_EQ(t / "fw.bin" + ": model 'ZX9', kernel " + std::to_string(row.kernel) +
                      " bytes, root " + std::to_string(row.root) + " bytes\n",
                  c.out);
        EXPECT_TRUE(slurp(t / "fw.bin") == fwtest::image_file("ZX9", k, r));
        EXPECT_EQ(0, fwtool({"image", "info", t / "fw.bin"}).status);
    }
}

// Refusals come before the image is opened: an earlier file at -o stays as it was.
TEST(ImageCreate, RefusesPayloadsThatCannotMakeABootableImage)
{
    TempDir t;
    ASSERT_TRUE(sim::write_file(t / "empty", ""));
    ASSERT_TRUE(sim::write_file(t / "k", "kernel"));
    ASSERT_EQ(0, mkfifo((t / "fifo").c_str(), 0600));
    // Sparse: takes no room, and ends just below 2^31 - 1 bytes.
    ASSERT_TRUE(sim::write_file(t / "huge", ""));
    ASSERT_EQ(0, truncate64((t / "huge").c_str(), 2147483600LL));
    const struct {
        std::string kernel, root, output;
        std::string err;
    } rows[] = {
        {t / "empty", t / "k", t / "out",
         "kernel file '" + t / "empty" + "' is empty; an image without a kernel cannot boot\n"},
        {t / "k", t / "empty", t / "out",
         "root file '" + t / "empty" + "' is empty; an image without a root cannot boot\n"},
        {t / "fifo", t / "k", t / "out",
         "kernel file '" + t / "fifo" + "' is not a regular file\n"},
        {t / "k", t / "fifo", t / "out", "root file '" + t / "fifo" + "' is not a regular file\n"},
        {t / "k", t / "k", t / "k",
         "the image '" + t / "k" + "' would overwrite the kernel file\n"},
        {t / "huge", t / "k", t / "out",
         "the root would start at 2147483676, beyond the 2^31 - 1 bytes the device can address\n"},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.err);
        ASSERT_TRUE(sim::write_file(t / "out", "earlier"));
        run_result r = fwtool({"image", "create", "--model", "M", "--kernel", row.kernel, "--root",
                               row.root, "-o", row.output});
        EXPECT_EQ(2, r.status);
        EXPECT_EQ("fwtool image create: " + row.err, r.err);
        EXPECT_EQ("", r.out);
        EXPECT_EQ("earlier", slurp(t / "out"));
        EXPECT_EQ("kernel", slurp(t / "k"));
    }
}

TEST(ImageCreate, AFailedWriteLeavesNoPartialImage)
{
    TempDir t;
    ASSERT_TRUE(sim::write_file(t / "k", fwtest::random_bytes(60000, 7)));
    ASSERT_TRUE(sim::write_file(t / "r", fwtest::random_bytes(60000, 8)));
    // A file size limit makes the writes fail part way; the child inherits it.
    struct rlimit saved, small;
    ASSERT_EQ(0, getrlimit(RLIMIT_FSIZE, &saved));
    small = saved;
    small.rlim_cur = 100000;
    void (*old_handler)(int) = signal(SIGXFSZ, SIG_IGN);
    ASSERT_EQ(0, setrlimit(RLIMIT_FSIZE, &small));
    run_result r = fwtool({"image", "create", "--model", "M", "--kernel", t / "k", "--root",
                           t / "r", "-o", t / "fw.bin"});
    setrlimit(RLIMIT_FSIZE, &saved);
    signal(SIGXFSZ, old_handler);
    EXPECT_EQ(1, r.status);
    EXPECT_EQ("fwtool image create: writing '" + t / "fw.bin" + "' failed: " + strerror(EFBIG) +
                  "\n",
              r.err);
    EXPECT_FALSE(exists(t / "fw.bin"));
}

TEST(ImageInfo, JsonGivesEveryFieldAndVerdict)
{
    TempDir t;
    ASSERT_TRUE(sim::write_file(t / "good", fwtest::image_file("TEST", "abc", "xyz")));
    ASSERT_TRUE(sim::write_file(t / "nokernel", fwtest::image_file("TE\"ST", "", "xyz")));
    ASSERT_TRUE(sim::write_file(t / "short", "0123456789"));
    ASSERT_TRUE(sim::write_file(t / "garbage", std::string(100, 'x')));
    const struct {
        const char *file;
        int status;
        std::string json;
    } rows[] = {
        {"good", 0,
         "{\"path\":\"" + t / "good" +
             "\",\"file_size\":82,\"model\":\"TEST\",\"magic\":\"0x13578642\",\"magic_good\":true,"
             "\"header_len\":76,\"kernel\":{\"offset\":76,\"size\":3,"
             "\"md5\":\"900150983cd24fb0d6963f7d28e17f72\","
             "\"computed_md5\":\"900150983cd24fb0d6963f7d28e17f72\",\"good\":true,"
             "\"problem\":null},\"root\":{\"offset\":79,\"size\":3,"
             "\"md5\":\"d16fb36f0911f878998c136191af705e\","
             "\"computed_md5\":\"d16fb36f0911f878998c136191af705e\",\"good\":true,"
             "\"problem\":null},\"header_crc\":\"0x977DC90B\",\"computed_crc\":\"0x977DC90B\","
             "\"crc_good\":true,\"good\":true}\n"},
        {"nokernel", 1,
         "\"model\":\"TE\\\"ST\",\"magic\":\"0x13578642\",\"magic_good\":true,\"header_len\":76,"
         "\"kernel\":{\"offset\":76,\"size\":0,\"md5\":\"d41d8cd98f00b204e9800998ecf8427e\","
         "\"computed_md5\":null,\"good\":false,\"problem\":\"empty: an image without a kernel "
         "cannot boot\"},"},
        {"garbage", 1,
         "{\"path\":\"" + t / "garbage" +
             "\",\"file_size\":100,\"magic\":\"0x78787878\",\"magic_good\":false,\"problem\":"
             "\"bad magic: not a firmware image\",\"good\":false}\n"},
        {"short", 1,
         "{\"path\":\"" + t / "short" +
             "\",\"file_size\":10,\"problem\":\"shorter than the 76-byte "
             "header\",\"good\":false}\n"},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.file);
        run_result r = fwtool({"image", "info", "--json", t / row.file});
        EXPECT_EQ(row.status, r.status);
        EXPECT_TRUE(json_valid(r.out)) << r.out;
        EXPECT_NE(std::string::npos, r.out.find(row.json)) << r.out;
        EXPECT_EQ("", r.err);
    }
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
        // Records are made as the upgrade makes them, without permission bits: root's to read.
        if (geteuid() != 0)
            GTEST_SKIP() << "needs root";
        int id = shmget(UPGRADE_PROGRESS_KEY, 0, 0);
        if (id >= 0 && shmctl(id, IPC_RMID, nullptr) != 0)
            GTEST_SKIP() << "another progress record exists and cannot be removed";
        // The runs this test writes by hand hold the upgrade lock of a device, as a live
        // upgrade does; `fwtool progress` reads that device (FWUP_SYSROOT).
        ASSERT_EQ(0, fwtool({"sandbox", "create", sandbox_}).status);
        // Without a key of its own, the device's record is the fixed key's, as on a controller.
        ASSERT_EQ(0, unlink((sandbox_ + g_sim_key_file).c_str()));
        setenv("FWUP_SYSROOT", sandbox_.c_str(), 1);
        hold_lock(true);
    }
    // Takes or lets go of the device's upgrade lock, as an upgrade run starts or dies.
    void hold_lock(bool hold)
    {
        if (hold && lock_fd_ < 0) {
            std::string table;
            ASSERT_TRUE(sim::read_file(sandbox_ + "/proc/mtd", &table));
            int index = sim::mtd_index(table, "RedBoot config");
            ASSERT_GE(index, 0);
            lock_fd_ =
                open((sandbox_ + "/dev/mtd" + std::to_string(index)).c_str(), O_RDONLY | O_CLOEXEC);
            ASSERT_GE(lock_fd_, 0) << strerror(errno);
            ASSERT_EQ(0, flock(lock_fd_, LOCK_EX));
        } else if (!hold && lock_fd_ >= 0) {
            close(lock_fd_);
            lock_fd_ = -1;
        }
    }
    void TearDown() override
    {
        hold_lock(false);
        unsetenv("FWUP_SYSROOT");
        if (rec_ != nullptr)
            shmdt(rec_);
        int id = shmget(UPGRADE_PROGRESS_KEY, 0, 0);
        if (id >= 0)
            shmctl(id, IPC_RMID, nullptr);
    }
    upgrade_progress *create(size_t size = sizeof(upgrade_progress))
    {
        int id = shmget(UPGRADE_PROGRESS_KEY, size, IPC_CREAT | IPC_EXCL);
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
        pause_for(ms);
    }

    upgrade_progress *rec_ = nullptr;
    TempDir dir_;
    std::string sandbox_ = dir_ / "device";
    int lock_fd_ = -1;
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
        // The record's percent is of one pass; the whole run counts both, by bytes.
        {UPGRADE_STAGE_WRITE_ROOT, 53, "4 (writing root)",
         "percent: 53 of the writing, 11 of the whole run"},
        {UPGRADE_STAGE_VERIFY_ROOT, 3, "6 (verifying root)",
         "percent: 3 of the comparing, 61 of the whole run"},
        {UPGRADE_STAGE_DONE, 100, "7 (done)", "percent: 100"},
        {UPGRADE_STAGE_FAILED, 0xED, "-1 (failed)",
         std::string("result:  -19 (UPGRADE_ERR_RESOURCE): ") + kResource},
        {UPGRADE_STAGE_FAILED, 0xF0, "-1 (failed)",
         "result:  -16 (UPGRADE_ERR_IMAGE): the image could not be loaded (other loader "
         "failure)"},
        {UPGRADE_STAGE_FAILED, 0xE8, "-1 (failed)",
         "result:  -24 (UPGRADE_ERR_VERIFY): reading a payload back failed or gave bytes that "
         "differ from the image"},
        {UPGRADE_STAGE_FAILED, 0xE7, "-1 (failed)",
         "result:  -25 (UPGRADE_ERR_MARKER): no bootopt= on the kernel command line, and the "
         "change marker is not the tool's or could not be made"},
        {UPGRADE_STAGE_FAILED, 0xE6, "-1 (failed)", "result:  -26: not a code of the upgrade"},
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

// A record anybody could have written, a forged "done" in it, is not shown as the upgrade's.
TEST_F(ProgressTest, ARecordTheUpgradeDidNotMakeIsRefused)
{
    upgrade_progress *rec = create();
    ASSERT_NE(nullptr, rec);
    set(rec, UPGRADE_STAGE_DONE, 10, 10, 20, 20, 100);
    int id = shmget(UPGRADE_PROGRESS_KEY, 0, 0);
    struct shmid_ds ds;
    ASSERT_EQ(0, shmctl(id, IPC_STAT, &ds));
    ds.shm_perm.mode = 0666;
    ASSERT_EQ(0, shmctl(id, IPC_SET, &ds));
    for (const std::vector<std::string> &args :
         {std::vector<std::string>{"progress"}, {"progress", "--watch", "--timeout", "5"}}) {
        run_result r = fwtool(args);
        EXPECT_EQ(2, r.status) << args.size();
        EXPECT_NE(std::string::npos, r.err.find("was not made by the upgrade")) << r.err;
        EXPECT_NE(std::string::npos,
                  r.err.find("until 'ipcrm -M 0x13578642' (as its owner or root)"))
            << r.err;
        EXPECT_EQ(std::string::npos, r.out.find("done")) << r.out;
    }
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

// A run of a 4096-byte kernel and an 8192-byte root, each step held long enough to be seen. The
// fields of a step are stored in an order that no reading in between shows another percent.
void play_run(upgrade_progress *rec)
{
    const int kStep = 150;
    pause_for(300);
    rec->kernel_total = rec->kernel_done = rec->root_total = rec->root_done = 0;
    rec->percent = 0;
    rec->stage = UPGRADE_STAGE_LOADING;
    pause_for(kStep);
    rec->kernel_total = 4096;
    rec->root_total = 8192;
    rec->stage = UPGRADE_STAGE_WRITE_KERNEL;
    pause_for(kStep);
    rec->kernel_done = 4096; // 4096 of 2 x 12288 bytes
    rec->percent = 33;
    pause_for(kStep);
    rec->root_done = 8192;
    rec->percent = 100;
    rec->stage = UPGRADE_STAGE_WRITE_ROOT;
    pause_for(kStep);
    rec->stage = UPGRADE_STAGE_VERIFY_KERNEL;
    rec->kernel_done = 0;
    rec->root_done = 0;
    rec->percent = 0;
    pause_for(kStep);
    rec->root_done = 4096;
    rec->kernel_done = 4096;
    rec->stage = UPGRADE_STAGE_VERIFY_ROOT;
    rec->percent = 66;
    pause_for(kStep);
    rec->root_done = 8192;
    rec->percent = 100;
    rec->stage = UPGRADE_STAGE_DONE;
}

TEST_F(ProgressTest, WatchFollowsARunFromStage2ToStage7)
{
    upgrade_progress *rec = create();
    ASSERT_NE(nullptr, rec);
    set(rec, UPGRADE_STAGE_DONE, 10, 10, 20, 20, 100); // left from an earlier run
    std::thread writer([rec] { play_run(rec); });
    auto start = std::chrono::steady_clock::now();
    run_result r = fwtool({"progress", "--watch", "--timeout", "20"});
    auto took = std::chrono::steady_clock::now() - start;
    writer.join();
    EXPECT_EQ(0, r.status) << r.err;
    // Not a terminal: a line at each stage and each ten percent of the whole run, the percent
    // on every one, then the outcome.
    EXPECT_EQ("stage 2: loading (0%)\n"
              "stage 3: writing kernel (0%)\n"
              "stage 3: writing kernel (16%)\n"
              "stage 4: writing root (50%)\n"
              "stage 5: verifying kernel (50%)\n"
              "stage 6: verifying root (83%)\n"
              "stage 7: done (100%)\n"
              "upgrade done: kernel 4096 bytes and root 8192 bytes written and verified\n",
              r.out);
    EXPECT_GE(took, std::chrono::milliseconds(1000));
    EXPECT_LT(took, std::chrono::seconds(10));
}

TEST_F(ProgressTest, WatchJsonGivesOneObjectPerChange)
{
    upgrade_progress *rec = create();
    ASSERT_NE(nullptr, rec);
    set(rec, UPGRADE_STAGE_DONE, 10, 10, 20, 20, 100);
    std::thread writer([rec] { play_run(rec); });
    run_result r = fwtool({"progress", "--watch", "--json", "--timeout", "20"});
    writer.join();
    EXPECT_EQ(0, r.status) << r.err;
    std::vector<std::string> lines = split_lines(r.out);
    ASSERT_GE(lines.size(), 7u) << r.out;
    long last = -1;
    for (const std::string &l : lines) {
        EXPECT_TRUE(json_valid(l)) << l;
        long pct = json_number_of(l, "run_percent");
        EXPECT_GE(pct, last) << l;
        last = pct;
    }
    EXPECT_EQ(0u, lines[0].find("{\"stage\":2,\"stage_name\":\"loading\",")) << lines[0];
    EXPECT_EQ("{\"stage\":7,\"stage_name\":\"done\",\"state\":\"done\",\"kernel_done\":4096,"
              "\"kernel_total\":4096,\"root_done\":8192,\"root_total\":8192,\"stage_percent\":100,"
              "\"run_percent\":100}",
              lines.back());

    // A watch that sees no run ends with an object that says so.
    r = fwtool({"progress", "--watch", "--json", "--timeout", "0.3"});
    EXPECT_EQ(1, r.status);
    EXPECT_EQ("{\"timeout\":true,\"started\":false,\"seconds\":0.3}\n", r.out);
}

// The percent of the whole run from the record's counts: writing is the first half, comparing the
// second, both by bytes; counts that a reading catches mid-update do not move it backwards.
TEST_F(ProgressTest, OverallPercentWeighsBothPassesByBytes)
{
    const struct {
        int32_t stage;
        uint32_t kt, kd, rt, rd;
        const char *overall; // and, for a failed run, what follows
    } rows[] = {
        {0, 0, 0, 0, 0, "0"},
        {UPGRADE_STAGE_LOADING, 100, 100, 300, 300, "0"}, // counts of an earlier run
        {UPGRADE_STAGE_WRITE_KERNEL, 0, 0, 0, 0, "0"},    // totals not stored yet
        {UPGRADE_STAGE_WRITE_KERNEL, 100, 50, 300, 0, "6"},
        {UPGRADE_STAGE_WRITE_KERNEL, 100, 900, 300, 0, "12"}, // done beyond total: capped
        {UPGRADE_STAGE_WRITE_ROOT, 100, 100, 300, 150, "31"},
        {UPGRADE_STAGE_WRITE_ROOT, 100, 0, 300, 300, "50"}, // the stage says the kernel is written
        {UPGRADE_STAGE_VERIFY_KERNEL, 100, 100, 300, 300, "50"}, // counts not reset yet
        {UPGRADE_STAGE_VERIFY_KERNEL, 100, 0, 300, 300, "50"},
        {UPGRADE_STAGE_VERIFY_KERNEL, 100, 40, 300, 0, "55"},
        {UPGRADE_STAGE_VERIFY_ROOT, 100, 100, 300, 0, "62"},
        {UPGRADE_STAGE_VERIFY_ROOT, 100, 100, 300, 299, "99"},
        {UPGRADE_STAGE_VERIFY_ROOT, 100, 100, 300, 300, "100"},
        {UPGRADE_STAGE_DONE, 100, 100, 300, 300, "100"},
        {UPGRADE_STAGE_FAILED, 100, 100, 300, 10,
         "null,\"code\":-19,\"code_name\":\"UPGRADE_ERR_RESOURCE\",\"meaning\":\"image missing"},
        {UPGRADE_STAGE_WRITE_ROOT, 0xFFFFFFFF, 0xFFFFFFFF, 0xFFFFFFFF, 0x7FFFFFFF, "37"},
    };
    upgrade_progress *rec = create();
    ASSERT_NE(nullptr, rec);
    for (const auto &row : rows) {
        set(rec, row.stage, row.kt, row.kd, row.rt, row.rd, 0xED);
        run_result r = fwtool({"progress", "--json"});
        EXPECT_EQ(0, r.status) << r.err;
        EXPECT_TRUE(json_valid(r.out)) << r.out;
        EXPECT_NE(std::string::npos, r.out.find(std::string("\"run_percent\":") + row.overall +
                                                (row.stage == UPGRADE_STAGE_FAILED ? "" : "}")))
            << row.stage << " " << row.kd << " " << row.rd << ": " << r.out;
    }
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
    EXPECT_EQ("stage -1: failed (at 0%)\n"
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

// A record that is not final while no upgrade holds the lock belongs to a run that died: each
// command says so, and a watch ends on it at once.
TEST_F(ProgressTest, ARunWhoseProgramDiedIsInterrupted)
{
    const struct {
        int32_t stage;
        bool lock_held;
        int status; // of fwtool progress
        const char *state;
    } rows[] = {
        {UPGRADE_STAGE_WRITE_ROOT, true, 0, "running"},
        {UPGRADE_STAGE_WRITE_ROOT, false, 1, "interrupted"},
        {UPGRADE_STAGE_LOADING, false, 1, "interrupted"},
        {0, false, 1, "interrupted"}, // died before its first stage
        {UPGRADE_STAGE_VERIFY_KERNEL, true, 0, "running"},
        {UPGRADE_STAGE_DONE, false, 0, "done"},
        {UPGRADE_STAGE_FAILED, false, 0, "failed"},
    };
    upgrade_progress *rec = create();
    ASSERT_NE(nullptr, rec);
    for (const auto &row : rows) {
        hold_lock(row.lock_held);
        set(rec, row.stage, 4096, 4096, 8192, 2048, row.stage == UPGRADE_STAGE_FAILED ? 0xED : 25);
        const bool dead = std::string(row.state) == "interrupted";
        run_result r = fwtool({"progress"});
        EXPECT_EQ(row.status, r.status) << row.stage << r.err;
        EXPECT_EQ(dead, r.out.find("result:  interrupted in stage ") != std::string::npos) << r.out;
        r = fwtool({"progress", "--json"});
        EXPECT_NE(std::string::npos, r.out.find(std::string("\"state\":\"") + row.state + "\""))
            << r.out;
        r = fwtool({"status", sandbox_});
        EXPECT_EQ(dead, r.out.find(", interrupted at ") != std::string::npos) << r.out;
        if (!dead)
            continue;
        auto start = std::chrono::steady_clock::now();
        r = fwtool({"progress", "--watch", "--timeout", "20"});
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
        EXPECT_EQ(1, r.status);
        EXPECT_NE(std::string::npos, r.out.find("upgrade interrupted in stage ")) << r.out;
    }

    // A run that dies while it is watched ends the watch too.
    hold_lock(true);
    set(rec, UPGRADE_STAGE_WRITE_KERNEL, 4096, 1024, 8192, 0, 25);
    std::thread killer([this] {
        pause_ms(300);
        hold_lock(false);
    });
    run_result r = fwtool({"progress", "--watch", "--timeout", "20"});
    killer.join();
    EXPECT_EQ(1, r.status);
    EXPECT_EQ(0u, r.out.find("stage 3: writing kernel (4%)\n"
                             "upgrade interrupted in stage 3 (writing kernel): "))
        << r.out;
}

// A run after one that got far is drawn from its own start, not from where the other stopped.
TEST_F(ProgressTest, WatchDrawsANewRunFromItsOwnStart)
{
    upgrade_progress *rec = create();
    ASSERT_NE(nullptr, rec);
    set(rec, UPGRADE_STAGE_WRITE_ROOT, 4096, 4096, 8192, 8192, 100);
    std::thread writer([rec] {
        pause_ms(300);
        rec->stage = UPGRADE_STAGE_LOADING;
        pause_ms(150);
        rec->percent = 0xED;
        rec->stage = UPGRADE_STAGE_FAILED;
    });
    run_result r = fwtool({"progress", "--watch", "--timeout", "20"});
    writer.join();
    EXPECT_EQ(1, r.status);
    EXPECT_EQ(0u, r.out.find("stage 4: writing root (50%)\n"
                             "stage 2: loading (0%)\n"
                             "stage -1: failed (at 0%)\n"))
        << r.out;
}

// On a terminal the watch redraws one line in place, always short of the terminal's width:
// detail goes first, then the bar narrows.
TEST_F(ProgressTest, WatchLineFitsTheTerminal)
{
    const struct {
        int columns;
        bool detail; // the byte counts are shown
        bool bar;
    } rows[] = {{40, false, true}, {80, false, true}, {200, true, true}, {20, false, false}};
    upgrade_progress *rec = create();
    ASSERT_NE(nullptr, rec);
    for (const auto &row : rows) {
        set(rec, UPGRADE_STAGE_DONE, 10, 10, 20, 20, 100); // left from an earlier run
        std::thread writer([rec] { play_run(rec); });
        run_result r = fwtool_in_terminal({"progress", "--watch", "--timeout", "20"}, row.columns);
        writer.join();
        EXPECT_EQ(0, r.status) << row.columns;
        // Drawn lines end at a carriage return; the terminal turns each line end into "\r\n".
        // The last line is the outcome, printed once.
        std::string text = r.out;
        const size_t outcome = text.rfind("upgrade done: ");
        ASSERT_NE(std::string::npos, outcome) << text;
        EXPECT_EQ(2, std::count(text.begin(), text.end(), '\n')) << row.columns << ": " << text;
        text.resize(outcome);
        size_t pos = 0, drawn = 0;
        std::string last;
        while (pos < text.size()) {
            size_t end = text.find_first_of("\r\n", pos);
            std::string piece = text.substr(pos, end == std::string::npos ? end : end - pos);
            pos = end == std::string::npos ? text.size() : end + 1;
            for (size_t k; (k = piece.find("\033[K")) != std::string::npos;)
                piece.erase(k, 3);
            if (piece.empty())
                continue;
            EXPECT_LT(piece.size(), (size_t)row.columns) << piece;
            drawn++;
            last = piece;
        }
        EXPECT_GE(drawn, 3u) << text;
        EXPECT_NE(std::string::npos, last.find("100% done")) << last;
        EXPECT_EQ(row.detail, last.find("kernel 4096/4096 root 8192/8192") != std::string::npos)
            << row.columns << ": " << last;
        EXPECT_EQ(row.bar, last.find("[###") == 0) << row.columns << ": " << last;
    }
}

// ---- status

// The record that the upgrades of these tests leave behind is removed with the fixture.
class StatusTest : public ProgressTest
{
};

TEST_F(StatusTest, FollowsAnUpgradeARebootAndChangesByHand)
{
    TempDir t;
    const std::string sb = t / "sb";
    ASSERT_EQ(0, fwtool({"sandbox", "create", sb, "--kernel-size", "256K", "--root-size", "1M"},
                        {kEvtEnv})
                     .status);
    ASSERT_TRUE(sim::write_file(t / "k", fwtest::random_bytes(100000, 11)));
    ASSERT_TRUE(sim::write_file(t / "r", fwtest::random_bytes(300000, 12)));
    ASSERT_EQ(0, fwtool({"image", "create", "--model", "SIM3000", "--kernel", t / "k", "--root",
                         t / "r", "-o", t / "fw.bin"})
                     .status);
    // Only root reads the record the upgrade makes (permission bits 0).
    const std::string done = geteuid() == 0 ? "stage 7 (done), kernel 100000 of 100000 bytes"
                                            : "unreadable: the progress record exists";
    const struct {
        const char *step;
        int script_bank;
        bool marker;
        int cmdline_bank;
        const char *kernel1, *root1; // whether they hold the image; bank 0 never does
        int status;
        std::string progress;
    } rows[] = {
        {"fresh", 0, false, 0, "false", "false", 1, "none (no upgrade has run"},
        {"upgraded", 1, true, 0, "true", "true", 0, done},
        // A power cycle loses the record with the rest of memory.
        {"rebooted", 1, false, 1, "true", "true", 0, "none (no upgrade has run"},
        {"kernel1 changed", 1, false, 1, "false", "true", 1, "none (no upgrade has run"},
        {"script back on bank 0", 0, true, 1, "false", "true", 1, "none (no upgrade has run"},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.step);
        const std::string step = row.step;
        if (step == "upgraded") {
            ASSERT_EQ(0, fwtool({"sandbox", "stage", sb, t / "fw.bin"}).status);
            ASSERT_EQ(0, device(sb, "fwupgrade").status);
        } else if (step == "rebooted") {
            // The upgrade set the ramdisk to the 1 MiB root partition; the boot passes that on.
            run_result r = fwtool({"sandbox", "reboot", sb});
            ASSERT_EQ(0, r.status);
            EXPECT_NE(std::string::npos, r.out.find(" initrd=0x0a000000,1M ")) << r.out;
        } else if (step == "kernel1 changed") {
            std::string part = slurp(sb + "/dev/mtdblock5");
            part[99999] ^= 0x40;
            ASSERT_TRUE(sim::write_file(sb + "/dev/mtdblock5", part));
        } else if (step == "script back on bank 0") {
            ASSERT_EQ(0, device(sb, "set_boot_idx", {"0"}).status);
        }

        run_result r = fwtool({"status", sb, "--image", t / "fw.bin"});
        EXPECT_EQ(row.status, r.status) << r.err;
        const std::string b = std::to_string(row.script_bank);
        EXPECT_NE(std::string::npos, r.out.find("script bank:   " + b +
                                                " (the boot script loads "
                                                "kernel" +
                                                b + " and root" + b + ")\n"))
            << r.out;
        EXPECT_NE(std::string::npos,
                  r.out.find(row.marker ? "marker:        present" : "marker:        absent"));
        EXPECT_NE(std::string::npos,
                  r.out.find("cmdline bank:  " + std::to_string(row.cmdline_bank) + " (bootopt="));
        const bool bank1 = std::string(row.kernel1) == "true" && std::string(row.root1) == "true";
        EXPECT_NE(std::string::npos,
                  r.out.find("bank 1:        kernel1 262144 bytes, root1 1048576 bytes; holds the "
                             "image: " +
                             std::string(bank1 ? "yes\n" : "no (kernel1 differs, root1 ")))
            << r.out;
        EXPECT_NE(std::string::npos, r.out.find("progress:      " + row.progress)) << r.out;

        r = fwtool({"status", "--json", sb, "--image=" + t / "fw.bin"});
        EXPECT_EQ(row.status, r.status);
        EXPECT_TRUE(json_valid(r.out)) << r.out;
        EXPECT_EQ(0u, r.out.find("{\"sandbox\":\"" + sb + "\",\"script_bank\":" + b +
                                 ",\"boots\":true,\"boot_problem\":null,\"marker\":" +
                                 (row.marker ? "true" : "false") +
                                 ",\"marker_ignored\":false,\"cmdline_bank\":" +
                                 std::to_string(row.cmdline_bank) + ","))
            << r.out;
        EXPECT_NE(
            std::string::npos,
            r.out.find("\"banks\":[{\"bank\":0,\"kernel\":{\"label\":\"kernel0\",\"size\":262144,"
                       "\"holds_image\":false},\"root\":{\"label\":\"root0\",\"size\":1048576,"
                       "\"holds_image\":false},\"holds_image\":false},{\"bank\":1,\"kernel\":{"
                       "\"label\":\"kernel1\",\"size\":262144,\"holds_image\":" +
                       std::string(row.kernel1) +
                       "},\"root\":{\"label\":\"root1\",\"size\":1048576,\"holds_image\":" +
                       row.root1 + "},\"holds_image\":" + (bank1 ? "true" : "false") + "}]"))
            << r.out;
    }
}

// Each sandbox has a record of its own: a run on one is never shown on another.
TEST_F(StatusTest, SandboxesKeepTheirOwnRecords)
{
    TempDir t;
    const std::string a = t / "a", b = t / "b";
    for (const std::string &sb : {a, b})
        ASSERT_EQ(0, fwtool({"sandbox", "create", sb, "--kernel-size", "256K", "--root-size", "1M"},
                            {kEvtEnv})
                         .status);
    const std::string key_a = slurp(a + g_sim_key_file), key_b = slurp(b + g_sim_key_file);
    EXPECT_EQ(11u, key_a.size()) << key_a;
    EXPECT_NE(key_a, key_b);
    ASSERT_TRUE(sim::write_file(t / "fw.bin", fwtest::image_file("SIM3000", "abc", "xyz")));
    ASSERT_EQ(0, fwtool({"sandbox", "stage", a, t / "fw.bin"}).status);
    ASSERT_EQ(0, device(a, "fwupgrade").status);
    const struct {
        std::string sandbox;
        std::string progress;
    } rows[] = {{a, "progress:      stage 7 (done)"},
                {b, "progress:      none (no upgrade has run"}};
    for (const auto &row : rows) {
        run_result r = fwtool({"status", row.sandbox});
        EXPECT_NE(std::string::npos, r.out.find(row.progress)) << r.out;
        r = fwtool({"progress"}, {"FWUP_SYSROOT=" + row.sandbox});
        EXPECT_EQ(row.sandbox == a ? 0 : 1, r.status) << r.out << r.err;
    }
    // Made afresh, a sandbox starts without the earlier device's record.
    ASSERT_EQ(0, fwtool({"sandbox", "create", a, "--force"}, {kEvtEnv}).status);
    EXPECT_NE(std::string::npos,
              fwtool({"status", a}).out.find("progress:      none (no upgrade has run"));
}

TEST_F(StatusTest, WithoutAnImageShowsSizesAndJudgesOnlyTheBoot)
{
    TempDir t;
    ASSERT_EQ(0, fwtool({"sandbox", "create", t.path(), "--running-bank", "1"}, {kEvtEnv}).status);
    run_result r = fwtool({"status", t.path()});
    EXPECT_EQ(0, r.status);
    EXPECT_EQ("sandbox:       " + t.path() +
                  "\n"
                  "script bank:   1 (the boot script loads kernel1 and root1)\n"
                  "marker:        absent\n"
                  "cmdline bank:  1 (bootopt=1 on the kernel command line)\n"
                  "bank 0:        kernel0 1048576 bytes, root0 4194304 bytes\n"
                  "bank 1:        kernel1 1048576 bytes, root1 4194304 bytes\n"
                  "bank 0 record: none\n"
                  "bank 1 record: none\n"
                  "progress:      none (no upgrade has run since the system started)\n",
              r.out);
    r = fwtool({"status", "--json", t.path()});
    EXPECT_EQ(0, r.status);
    EXPECT_TRUE(json_valid(r.out)) << r.out;
    EXPECT_NE(std::string::npos,
              r.out.find("\"image\":null,\"banks\":[{\"bank\":0,\"kernel\":{\"label\":\"kernel0\","
                         "\"size\":1048576,\"holds_image\":null},"))
        << r.out;
    EXPECT_NE(std::string::npos, r.out.find("\"progress\":null,\"progress_problem\":null}\n"))
        << r.out;

    // A script that loads no bank, and a kernel command line without a bank word.
    ASSERT_EQ(0, device(t.path(), "redboot_cli", {"update_exec", "console=ttyS0"}).status);
    sim::device_options opt;
    opt.script = "fis load kernel0\nfis load root1\nexec -c \"x\"\n";
    ASSERT_TRUE(
        sim::write_file(t / "dev/mtdblock1", sim::config_block(sim::standard_entries(opt.script))));
    ASSERT_TRUE(sim::write_file(t / "proc/cmdline", "console=ttyS0\n"));
    // Not a marker the tool could have made: it does not count.
    ASSERT_TRUE(sim::write_file(t / "var/lock/bootidx_changed", "planted"));
    r = fwtool({"status", t.path()});
    EXPECT_EQ(1, r.status);
    EXPECT_NE(std::string::npos, r.out.find("script bank:   none\n"
                                            "boot:          would not boot: the boot script "
                                            "loads neither bank ("))
        << r.out;
    EXPECT_NE(std::string::npos, r.out.find("cmdline bank:  none (no bootopt=0")) << r.out;
    EXPECT_NE(std::string::npos, r.out.find("marker:        absent (var/lock/bootidx_changed is "
                                            "not the change marker the tool makes"))
        << r.out;
    r = fwtool({"status", "--json", t.path()});
    EXPECT_EQ(1, r.status);
    EXPECT_NE(
        std::string::npos,
        r.out.find(
            "\"script_bank\":null,\"boots\":false,\"boot_problem\":\"the boot script "
            "loads neither bank (no image was loaded at the command line's initrd= address)\","
            "\"marker\":false,\"marker_ignored\":true,\"cmdline_bank\":null,"))
        << r.out;

    // Each bank's record, read with the device's own parser: a link is not trusted.
    ASSERT_TRUE(sim::write_file(t / "kelpvar/config0/bank_record",
                                "fwupgrade-bank 1\nstate being-written\ninstalled 9\n"));
    ASSERT_EQ(0, symlink("../config0/bank_record", (t / "kelpvar/config1/bank_record").c_str()));
    r = fwtool({"status", t.path()});
    EXPECT_NE(std::string::npos, r.out.find("bank 0 record: being-written\nbank 0 installed: 9\n"
                                            "bank 1 record: unreadable\nprogress:"))
        << r.out;
}

// Paths are bytes: JSON text escapes what it must and keeps well-formed UTF-8 as it is.
TEST_F(StatusTest, JsonEscapesThePath)
{
    TempDir t;
    const std::string name = "sb \"q\" back\\slash\nline\t\x01\x7f \xff\xc3\xa9\xe2\x82\xac"
                             "\xed\xa0\x80\xc0\xaf";
    const std::string sb = t / name;
    ASSERT_EQ(0, fwtool({"sandbox", "create", sb}, {kEvtEnv}).status);
    run_result r = fwtool({"status", "--json", sb});
    EXPECT_EQ(0, r.status) << r.err;
    EXPECT_TRUE(json_valid(r.out)) << r.out;
    EXPECT_EQ(0u, r.out.find("{\"sandbox\":\"" + t.path() +
                             "/sb \\\"q\\\" back\\\\slash\\nline\\t\\u0001\\u007f \\u00ff"
                             "\xc3\xa9\xe2\x82\xac\\u00ed\\u00a0\\u0080\\u00c0\\u00af\","))
        << r.out;
}

} // namespace
