// SPDX-License-Identifier: MIT
// Partition lookup by quoted label in /proc/mtd, the per-line parsers behind it, and the records
// written to the flash driver's lock and unlock control files.
#include "fixture.h"

#include <cstring>
#include <unistd.h>
#include <vector>

#include "mtd_part.h"

namespace
{

const char kTable[] = "dev:    size   erasesize  name\n"
                      "mtd0: 00040000 00020000 \"root10\"\n"
                      "mtd1: 00100000 00020000 \"root1\"\n"
                      "mtd2: 00200000 00020000 \"dup\"\n"
                      "mtd3: 00300000 00020000 \"dup\"\n"
                      "mtd12: 00800000 00020000 \"big\"\n"
                      "mtd13: 00100000 00010000 \"small-blocks\"\n"
                      "mtd14: 00100000 \"no-erasesize\"\n";

const uint32_t kUntouched = 0xDEADBEEFu;

class MtdPartTest : public fwtest::SimDeviceTest
{
  protected:
    void set_table(const std::string &text)
    {
        write("proc/mtd", text);
    }
};

TEST_F(MtdPartTest, StandardDeviceTable)
{
    char path[MTD_PATH_LEN];
    uint32_t size = 0;
    EXPECT_EQ(14, lookup_mtd_block_device("\"RedBoot config\"", path));
    EXPECT_STREQ("/dev/mtdblock1", path);
    EXPECT_EQ(9, lookup_mtd_char_device("\"RedBoot config\"", path));
    EXPECT_STREQ("/dev/mtd1", path);
    EXPECT_EQ(0, lookup_mtd_size("\"root0\"", &size));
    EXPECT_EQ(opt_.root_size, size);
    EXPECT_EQ(0, lookup_mtd_erasesize("\"root0\"", &size));
    EXPECT_EQ(0x20000u, size);
}

TEST_F(MtdPartTest, EraseSizeLookups)
{
    const struct {
        const char *pattern;
        int ret;
        uint32_t size;
    } rows[] = {
        {"\"root1\"", 0, 0x20000},
        {"\"small-blocks\"", 0, 0x10000},
        // A line that the kernel would never print: no erase size is not a size of 0.
        {"\"no-erasesize\"", MTD_ERR_NOT_FOUND, kUntouched},
        {"\"kernel0\"", MTD_ERR_NOT_FOUND, kUntouched},
    };
    set_table(kTable);
    for (const auto &r : rows) {
        uint32_t size = kUntouched;
        EXPECT_EQ(r.ret, lookup_mtd_erasesize(r.pattern, &size)) << r.pattern;
        EXPECT_EQ(r.size, size) << r.pattern;
    }
    ASSERT_EQ(0, unlink(path("proc/mtd").c_str()));
    uint32_t size = kUntouched;
    EXPECT_EQ(MTD_ERR_OPEN, lookup_mtd_erasesize("\"root1\"", &size));
    EXPECT_EQ(kUntouched, size);
}

TEST_F(MtdPartTest, LookupsByLabel)
{
    const struct {
        const char *pattern;
        int block_ret;
        const char *block_path;
        int char_ret;
        const char *char_path;
        int size_ret;
        uint32_t size;
    } rows[] = {
        // The quotes keep root1 from matching root10, listed before it.
        {"\"root1\"", 14, "/dev/mtdblock1", 9, "/dev/mtd1", 0, 0x100000},
        // A bare pattern is a plain substring: it takes the first line that holds it.
        {"root1", 14, "/dev/mtdblock0", 9, "/dev/mtd0", 0, 0x40000},
        // Duplicate labels: the first listed wins.
        {"\"dup\"", 14, "/dev/mtdblock2", 9, "/dev/mtd2", 0, 0x200000},
        // Several digits are carried whole.
        {"\"big\"", 15, "/dev/mtdblock12", 10, "/dev/mtd12", 0, 0x800000},
        // Case-sensitive, and absent labels leave the outputs alone.
        {"\"BIG\"", MTD_ERR_NOT_FOUND, "sentinel", MTD_ERR_NOT_FOUND, "sentinel", MTD_ERR_NOT_FOUND,
         kUntouched},
        {"\"kernel0\"", MTD_ERR_NOT_FOUND, "sentinel", MTD_ERR_NOT_FOUND, "sentinel",
         MTD_ERR_NOT_FOUND, kUntouched},
    };
    set_table(kTable);
    for (const auto &r : rows) {
        char path[MTD_PATH_LEN] = "sentinel";
        uint32_t size = kUntouched;
        EXPECT_EQ(r.block_ret, lookup_mtd_block_device(r.pattern, path)) << r.pattern;
        EXPECT_STREQ(r.block_path, path) << r.pattern;
        strcpy(path, "sentinel");
        EXPECT_EQ(r.char_ret, lookup_mtd_char_device(r.pattern, path)) << r.pattern;
        EXPECT_STREQ(r.char_path, path) << r.pattern;
        EXPECT_EQ(r.size_ret, lookup_mtd_size(r.pattern, &size)) << r.pattern;
        EXPECT_EQ(r.size, size) << r.pattern;
    }
}

TEST_F(MtdPartTest, LinesAreSearchedWholeEvenWithNulBytes)
{
    const char table[] = "dev:    size   erasesize  name\n"
                         "mtd5: 00010000 00020000 \0 \"after-nul\"\n";
    set_table(std::string(table, sizeof(table) - 1));
    char path[MTD_PATH_LEN];
    uint32_t size = 0;
    EXPECT_EQ(14, lookup_mtd_block_device("\"after-nul\"", path));
    EXPECT_STREQ("/dev/mtdblock5", path);
    EXPECT_EQ(0, lookup_mtd_size("\"after-nul\"", &size));
    EXPECT_EQ(0x10000u, size);
}

TEST_F(MtdPartTest, MissingTableIsAnOpenFailure)
{
    ASSERT_EQ(0, unlink(path("proc/mtd").c_str()));
    char path_out[MTD_PATH_LEN] = "sentinel";
    uint32_t size = kUntouched;
    EXPECT_EQ(MTD_ERR_OPEN, lookup_mtd_block_device("\"root0\"", path_out));
    EXPECT_EQ(MTD_ERR_OPEN, lookup_mtd_size("\"root0\"", &size));
    EXPECT_STREQ("sentinel", path_out);
    EXPECT_EQ(kUntouched, size);
}

// The parsers get exactly `len` bytes with nothing after them, so a read past the line is caught
// by the sanitizer build.
std::vector<char> exact(const std::string &s)
{
    return std::vector<char>(s.begin(), s.end());
}

TEST(MtdLineDevice, Rows)
{
    const std::string n114(114, '7'), n115(115, '7'), n119(119, '7'), n120(120, '7');
    const struct {
        std::string line;
        int kind;
        int ret;
        std::string path; // "" for untouched
    } rows[] = {
        {"mtd3: 00200000 00020000 \"kernel0\"\n", 2, 14, "/dev/mtdblock3"},
        {"mtd3: 00200000 00020000 \"kernel0\"\n", 1, 9, "/dev/mtd3"},
        // The 4th character is the colon: the bare prefix.
        {"mtd: 00200000", 2, 13, "/dev/mtdblock"},
        {"mtd: 00200000", 1, 8, "/dev/mtd"},
        // A colon before the 4th character is not the device's.
        {"m:d4: 0", 2, 14, "/dev/mtdblock4"},
        // Unknown kinds on a matched line.
        {"mtd3: 00200000", 3, MTD_ERR_KIND, ""},
        {"mtd3: 00200000", 0, MTD_ERR_KIND, ""},
        // No usable colon: not found, nothing read outside the line.
        {"mtd3 00200000 \"x\"\n", 2, MTD_ERR_NOT_FOUND, ""},
        {"mtd", 2, MTD_ERR_NOT_FOUND, ""},
        {"mt", 1, MTD_ERR_NOT_FOUND, ""},
        {"", 2, MTD_ERR_NOT_FOUND, ""},
        {std::string("mtd\0"
                     "3: 0",
                     8),
         2, MTD_ERR_NOT_FOUND, ""},
        // Number texts on and one past the 128-byte path limit.
        {"mtd" + n114 + ":", 2, 127, "/dev/mtdblock" + n114},
        {"mtd" + n115 + ":", 2, MTD_ERR_NOT_FOUND, ""},
        {"mtd" + n119 + ":", 1, 127, "/dev/mtd" + n119},
        {"mtd" + n120 + ":", 1, MTD_ERR_NOT_FOUND, ""},
    };
    for (const auto &r : rows) {
        std::vector<char> line = exact(r.line);
        char path[MTD_PATH_LEN] = "sentinel";
        EXPECT_EQ(r.ret, mtd_line_device(line.data(), line.size(), r.kind, path)) << r.line;
        EXPECT_EQ(r.path.empty() ? "sentinel" : r.path, std::string(path)) << r.line;
    }
}

TEST(MtdLineSize, Rows)
{
    const struct {
        std::string line;
        size_t cut; // bytes dropped from the end
        int ret;
        uint32_t size;
    } rows[] = {
        {"mtd3: 00200000 00020000 \"kernel0\"\n", 0, 0, 0x200000},
        {"mtd12: ffffffff 00020000 \"all\"\n", 0, 0, 0xFFFFFFFFu},
        {"mtd3:0x1F 00020000", 0, 0, 0x1F},
        {"mtd3: \t ABCdef zz", 0, 0, 0xABCDEF},
        // No digits, or a prefix without digits, read as 0.
        {"mtd3: zz", 0, 0, 0},
        {"mtd3: 0x", 0, 0, 0},
        {"mtd3:", 0, 0, 0},
        // No sign is taken: "-1" must not become a 4 GiB partition.
        {"mtd3: -1", 0, 0, 0},
        // Beyond 32 bits saturates.
        {"mtd3: 123456789", 0, 0, 0xFFFFFFFFu},
        // Digits past `len` are not read.
        {"mtd3: 12", 1, 0, 0x1},
        // The first colon counts, wherever it is.
        {"a:10 mtd3: 20", 0, 0, 0x10},
        {"mtd3 00200000", 0, MTD_ERR_NOT_FOUND, kUntouched},
        {"", 0, MTD_ERR_NOT_FOUND, kUntouched},
    };
    for (const auto &r : rows) {
        std::vector<char> line = exact(r.line.substr(0, r.line.size() - r.cut));
        uint32_t size = kUntouched;
        EXPECT_EQ(r.ret, mtd_line_size(line.data(), line.size(), &size)) << r.line;
        EXPECT_EQ(r.size, size) << r.line;
    }
}

// The erase size is the number after the size, read by the same rules; both must have digits.
TEST(MtdLineEraseSize, Rows)
{
    const struct {
        std::string line;
        size_t cut; // bytes dropped from the end
        int ret;
        uint32_t size;
    } rows[] = {
        {"mtd3: 00200000 00020000 \"kernel0\"\n", 0, 0, 0x20000},
        {"mtd3: 00200000 0x40000", 0, 0, 0x40000},
        {"mtd3:1\t\t000A8000\"x\"", 0, 0, 0xA8000},
        {"mtd3: 123456789 00020000", 0, 0, 0x20000},
        {"mtd3: 00200000 123456789", 0, 0, 0xFFFFFFFFu},
        {"mtd3: 00200000 00000000", 0, 0, 0},
        // Digits past `len` are not read.
        {"mtd3: 00200000 00020000", 4, 0, 0x2},
        {"mtd3: 00200000 00020000", 8, MTD_ERR_NOT_FOUND, kUntouched},
        {"mtd3: 00200000 \"kernel0\"", 0, MTD_ERR_NOT_FOUND, kUntouched},
        {"mtd3: 00200000 -1", 0, MTD_ERR_NOT_FOUND, kUntouched},
        {"mtd3: zz 00020000", 0, MTD_ERR_NOT_FOUND, kUntouched},
        {"mtd3: 00200000zz 00020000", 0, MTD_ERR_NOT_FOUND, kUntouched},
        {"mtd3 00200000 00020000", 0, MTD_ERR_NOT_FOUND, kUntouched},
        {std::string("mtd3: 1\0 2", 10), 0, MTD_ERR_NOT_FOUND, kUntouched},
        {"", 0, MTD_ERR_NOT_FOUND, kUntouched},
    };
    for (const auto &r : rows) {
        std::vector<char> line = exact(r.line.substr(0, r.line.size() - r.cut));
        uint32_t size = kUntouched;
        EXPECT_EQ(r.ret, mtd_line_erasesize(line.data(), line.size(), &size)) << r.line;
        EXPECT_EQ(r.size, size) << r.line;
    }
}

TEST_F(MtdPartTest, LockRecordsNameTheBlockDevice)
{
    const struct {
        int (*op)(const char *);
        const char *path;
        const char *file;
        const char *record;
    } rows[] = {
        {lock_mtd_device, "/dev/mtd3", "proc/strata/lock", "mtdblock3\n"},
        {lock_mtd_device, "/dev/mtdblock3", "proc/strata/lock", "mtdblock3\n"},
        {unlock_mtd_device, "/dev/mtd3", "proc/strata/unlock", "mtdblock3\n"},
        {unlock_mtd_device, "/dev/mtdblock12", "proc/strata/unlock", "mtdblock12\n"},
    };
    for (const auto &r : rows) {
        write("proc/strata/lock", "old");
        write("proc/strata/unlock", "old");
        EXPECT_EQ(0, r.op(r.path)) << r.path;
        EXPECT_EQ(r.record, read(r.file)) << r.path;
        // The other control file is left alone.
        const char *other =
            strcmp(r.file, "proc/strata/lock") == 0 ? "proc/strata/unlock" : "proc/strata/lock";
        EXPECT_EQ("old", read(other)) << r.path;
    }
}

TEST_F(MtdPartTest, RefusedPathsOpenNoControlFile)
{
    const std::string tail(115, '3'); // one digit too many for a 128-byte block path
    const struct {
        std::string path;
        int ret;
    } rows[] = {
        {"/dev/sda1", MTD_LOCK_ERR_PATH},          {"/dev/mt", MTD_LOCK_ERR_PATH},
        {"dev/mtd3", MTD_LOCK_ERR_PATH},           {"", MTD_LOCK_ERR_PATH},
        {"/dev/mtd" + tail, MTD_LOCK_ERR_CONVERT}, {"/dev/mtdblock" + tail, MTD_LOCK_ERR_CONVERT},
    };
    for (const auto &r : rows) {
        write("proc/strata/lock", "old");
        write("proc/strata/unlock", "old");
        EXPECT_EQ(r.ret, unlock_mtd_device(r.path.c_str())) << r.path;
        EXPECT_EQ(r.ret, lock_mtd_device(r.path.c_str())) << r.path;
        // Opening for writing would have emptied them.
        EXPECT_EQ("old", read("proc/strata/lock")) << r.path;
        EXPECT_EQ("old", read("proc/strata/unlock")) << r.path;
    }
    // One digit fewer still fits.
    EXPECT_EQ(0, lock_mtd_device(("/dev/mtd" + tail.substr(1)).c_str()));
    EXPECT_EQ("mtdblock" + tail.substr(1) + "\n", read("proc/strata/lock"));
}

TEST_F(MtdPartTest, DriverAbsentFailsToOpen)
{
    ASSERT_TRUE(sim::remove_tree(path("proc/strata")));
    EXPECT_EQ(MTD_LOCK_ERR_OPEN, unlock_mtd_device("/dev/mtdblock3"));
    EXPECT_EQ(MTD_LOCK_ERR_OPEN, lock_mtd_device("/dev/mtd3"));
}

TEST_F(MtdPartTest, RecordTheDriverRefusesIsNotSuccess)
{
    // A control file that rejects every write: the unlock did not happen.
    ASSERT_EQ(0, unlink(path("proc/strata/unlock").c_str()));
    ASSERT_EQ(0, symlink("/dev/full", path("proc/strata/unlock").c_str()));
    EXPECT_EQ(MTD_LOCK_ERR_OPEN, unlock_mtd_device("/dev/mtdblock3"));
}

} // namespace
