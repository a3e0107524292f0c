// SPDX-License-Identifier: MIT
// The simulated platform: path resolution under the root, quoting inside shell command lines,
// the release name, and the program refusing to run without a usable root.
#include "fixture.h"

#include <cstdlib>

#include "platform.h"

namespace
{

using fwtest::run_program;
using fwtest::sim_binary;
using fwtest::TempDir;

class PlatformTest : public ::testing::Test
{
  protected:
    void use_root(const std::string &root)
    {
        setenv("FWUP_SYSROOT", root.c_str(), 1);
        ASSERT_EQ(0, platform_init());
    }
    TempDir dir_;
};

TEST_F(PlatformTest, PathsResolveUnderTheRoot)
{
    char buf[PLATFORM_PATH_MAX];
    use_root(dir_.path() + "/");
    EXPECT_STREQ((dir_.path() + "/proc/mtd").c_str(), platform_path("/proc/mtd", buf, sizeof(buf)));
    // A path that does not fit is refused, never cut.
    char small[8];
    EXPECT_EQ(nullptr, platform_path("/proc/mtd", small, sizeof(small)));
}

TEST_F(PlatformTest, CommandPathsAreQuotedAndGlobsStayOutside)
{
    TempDir spaced;
    std::string root = spaced.path() + "/my dev's root";
    ASSERT_TRUE(sim::make_dirs(root));
    use_root(root);
    char buf[PLATFORM_PATH_MAX];
    std::string q = "'" + spaced.path() + "/my dev'\\''s root";
    EXPECT_EQ(
        "rm -rf " + q + "/kelpvar/config0/oem_root'/*",
        std::string(platform_command("rm -rf /kelpvar/config0/oem_root/*", buf, sizeof(buf))));
    EXPECT_EQ("[ -d " + q + "/k' ] || mkdir " + q + "/k'",
              std::string(platform_command("[ -d /k ] || mkdir /k", buf, sizeof(buf))));
    // Dot-files too: each pattern stays outside the quotes.
    EXPECT_EQ("rm -rf " + q + "/k'/.[!.]* " + q + "/k'/..?*",
              std::string(platform_command("rm -rf /k/.[!.]* /k/..?*", buf, sizeof(buf))));
    EXPECT_EQ("tar zxf " + q + "/a.bin' -C " + q + "/d/'",
              std::string(platform_command("tar zxf /a.bin -C /d/", buf, sizeof(buf))));
    char small[16];
    EXPECT_EQ(nullptr, platform_command("rm -rf /tmpfs/upgrading", small, sizeof(small)));

    // The quoted command really works on a root with spaces.
    ASSERT_TRUE(sim::make_dirs(root + "/kelpvar/config0/oem_root/sub"));
    ASSERT_TRUE(sim::write_file(root + "/kelpvar/config0/oem_root/file", "x"));
    ASSERT_EQ(0, system(platform_command("rm -rf /kelpvar/config0/oem_root/*", buf, sizeof(buf))));
    std::string data;
    EXPECT_FALSE(sim::read_file(root + "/kelpvar/config0/oem_root/file", &data));
    EXPECT_EQ(0, access((root + "/kelpvar/config0/oem_root").c_str(), F_OK));
}

TEST_F(PlatformTest, CommandPathsOutsideTheirOwnWordAreRefused)
{
    use_root(dir_.path());
    char buf[PLATFORM_PATH_MAX];
    for (const char *cmd :
         {"tar zxf /a.bin -C/x", "rm -rf /a 2>/dev/x", "cat a/b", "ls ./x", "echo x>/etc/passwd"}) {
        EXPECT_EQ(nullptr, platform_command(cmd, buf, sizeof(buf))) << cmd;
    }
    // Every command line the upgrade runs still resolves.
    for (const char *cmd : {"rm -rf /tmpfs/upgrading", "rm -rf /kelpvar/config1/oem_root/*",
                            "[ -d /kelpvar/config1/oem_root ] || mkdir /kelpvar/config1/oem_root",
                            "tar zxf /tmpfs/upgrading/oem.bin -C /kelpvar/config1/oem_root/"}) {
        EXPECT_NE(nullptr, platform_command(cmd, buf, sizeof(buf))) << cmd;
    }
}

TEST_F(PlatformTest, ReleaseIsTheFirstLineOfOsrelease)
{
    char buf[64] = "unchanged";
    use_root(dir_.path());
    EXPECT_EQ(-1, platform_release(buf, sizeof(buf))); // missing file: a failing uname
    ASSERT_TRUE(sim::make_dirs(dir_ / "proc/sys/kernel"));
    ASSERT_TRUE(sim::write_file(dir_ / "proc/sys/kernel/osrelease", "2.6.31-KX400ZEPH\nmore\n"));
    ASSERT_EQ(0, platform_release(buf, sizeof(buf)));
    EXPECT_STREQ("2.6.31-KX400ZEPH", buf);
}

TEST_F(PlatformTest, SimulatedProgramRefusesWithoutARoot)
{
    ASSERT_TRUE(sim::write_file(dir_ / "plain", ""));
    // A root that is this machine's own would let the program write its /var/lock and /dev.
    for (const std::vector<std::string> &env : {std::vector<std::string>{"FWUP_SYSROOT="},
                                                {"FWUP_SYSROOT=" + dir_ / "missing"},
                                                {"FWUP_SYSROOT=" + dir_ / "plain"},
                                                {"FWUP_SYSROOT=/"},
                                                {"FWUP_SYSROOT=/tmp/.."}}) {
        fwtest::run_result r = run_program(sim_binary(), "get_boot_idx", {}, env);
        EXPECT_EQ(255, r.status) << env[0];
        // The simulator's own complaint, on standard error under the name it was started as.
        EXPECT_EQ(0u, r.err.find("get_boot_idx: FWUP_SYSROOT")) << r.err;
        EXPECT_EQ(1, std::count(r.err.begin(), r.err.end(), '\n'));
        EXPECT_EQ("", r.out);
    }
    // Unset entirely, under the upgrade's name: nothing may be touched either.
    unsetenv("FWUP_SYSROOT");
    fwtest::run_result r = run_program(sim_binary(), "fwupgrade", {});
    EXPECT_EQ(255, r.status);
}

} // namespace
