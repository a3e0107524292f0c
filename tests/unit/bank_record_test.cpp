// SPDX-License-Identifier: MIT
// Bank records: the text round trip, hostile texts, the atomic replacement (no temporary file
// left, the old record kept when the new one cannot be written) and the boot check's verdicts.
#include "fixture.h"

#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "bank_record.h"

namespace
{

using fwtest::TempDir;

const std::string kVerified = "fwupgrade-bank 1\n"
                              "state verified\n"
                              "kernel-md5 " +
                              std::string(32, '1') + "\nroot-md5 " + std::string(32, '2') +
                              "\nimage-sha256 " + std::string(64, '3') + "\nkernel-sha256 " +
                              std::string(64, '4') + "\nroot-sha256 " + std::string(64, '5') +
                              "\nversion 7.1\nsigner 0123456789abcdef\ninstalled 1700000000\n";
const std::string kBeingWritten = "fwupgrade-bank 1\nstate being-written\ninstalled 0\n";

std::string replace(std::string s, const std::string &from, const std::string &to)
{
    const size_t at = s.find(from);
    EXPECT_NE(at, std::string::npos) << from;
    return at == std::string::npos ? s : s.replace(at, from.size(), to);
}

void put(const std::string &path, const std::string &data)
{
    FILE *f = fopen(path.c_str(), "wb");
    ASSERT_NE(f, nullptr) << path;
    fwrite(data.data(), 1, data.size(), f);
    fclose(f);
}

TEST(BankRecord, TextRows)
{
    struct row {
        const char *name;
        std::string text;
        int state; // 0: refused
    };
    const std::vector<row> rows = {
        {"verified, signed", kVerified, BANK_VERIFIED},
        {"verified, unsigned", replace(kVerified, "0123456789abcdef", "unsigned"), BANK_VERIFIED},
        {"verified, no version", replace(kVerified, "version 7.1", "version"), BANK_VERIFIED},
        {"being written", kBeingWritten, BANK_BEING_WRITTEN},
        {"largest time", replace(kBeingWritten, "0\n", std::string(18, '9') + "\n"),
         BANK_BEING_WRITTEN},
        {"empty", "", 0},
        {"other tag", replace(kVerified, "bank 1", "bank 2"), 0},
        {"unknown state", replace(kVerified, "verified", "done"), 0},
        {"being written with digests", replace(kVerified, "state verified", "state being-written"),
         0},
        {"verified without digests", replace(kBeingWritten, "being-written", "verified"), 0},
        {"upper-case digest", replace(kVerified, std::string(32, '1'), std::string(32, 'A')), 0},
        {"short digest", replace(kVerified, std::string(32, '1'), std::string(31, '1')), 0},
        {"long digest", replace(kVerified, std::string(32, '1'), std::string(33, '1')), 0},
        {"digest with a non-hex digit",
         replace(kVerified, std::string(32, '1'), std::string(31, '1') + "g"), 0},
        {"upper-case signer", replace(kVerified, "0123456789abcdef", "0123456789ABCDEF"), 0},
        {"signer of 15 digits", replace(kVerified, "0123456789abcdef", "0123456789abcde"), 0},
        {"signer word misspelt", replace(kVerified, "0123456789abcdef", "Unsigned"), 0},
        {"time with a leading zero", replace(kBeingWritten, "installed 0", "installed 01"), 0},
        {"negative time", replace(kBeingWritten, "installed 0", "installed -1"), 0},
        {"19-digit time", replace(kBeingWritten, "0\n", std::string(19, '9') + "\n"), 0},
        {"no time", replace(kBeingWritten, "installed 0\n", ""), 0},
        {"line after the time", kBeingWritten + "x\n", 0},
        {"last line unended", kBeingWritten.substr(0, kBeingWritten.size() - 1), 0},
        {"CR LF", replace(kBeingWritten, "1\n", "1\r\n"), 0},
        {"empty version with its space", replace(kVerified, "version 7.1", "version "), 0},
        {"version with a trailing space", replace(kVerified, "7.1", "7.1 "), 0},
        {"65-character version", replace(kVerified, "7.1", std::string(65, 'v')), 0},
        {"longest record",
         replace(replace(kVerified, "7.1", std::string(64, 'v')), "1700000000",
                 std::string(18, '9')),
         BANK_VERIFIED},
        {"tag with a value", replace(kBeingWritten, "bank 1\n", "bank 1 x\n"), 0},
        {"no state line", replace(kBeingWritten, "state being-written\n", ""), 0},
        {"no root digest", replace(kVerified, "root-sha256 " + std::string(64, '5') + "\n", ""), 0},
        {"no signer", replace(kVerified, "signer 0123456789abcdef\n", ""), 0},
        {"time alone", replace(kBeingWritten, "installed 0", "installed"), 0},
        {"time with a letter", replace(kBeingWritten, "installed 0", "installed 12a"), 0},
        {"version with a tab", replace(kVerified, "7.1", "7\t1"), 0},
        {"version with a leading space", replace(kVerified, "7.1", " 7.1"), 0},
        {"lines swapped",
         replace(replace(kVerified, "version 7.1\n", ""), "installed", "version 7.1\ninstalled"),
         0},
    };
    for (const row &r : rows) {
        bank_record rec;
        rec.state = -9;
        const int rc = bank_record_parse(r.text.data(), r.text.size(), &rec);
        EXPECT_EQ(rc, r.state != 0 ? 0 : BANK_RECORD_ERR_FORMAT) << r.name;
        EXPECT_EQ(rec.state, r.state != 0 ? r.state : -9) << r.name;
        if (r.state == 0)
            continue;
        // What parses formats back to the same bytes.
        char buf[BANK_RECORD_TEXT_MAX];
        const int n = bank_record_format(&rec, buf, sizeof(buf));
        ASSERT_GT(n, 0) << r.name;
        EXPECT_EQ(std::string(buf, (size_t)n), r.text) << r.name;
    }
}

TEST(BankRecord, FormatRefusesWhatCannotBeRead)
{
    bank_record r = {};
    char buf[BANK_RECORD_TEXT_MAX];
    r.state = 3;
    EXPECT_EQ(bank_record_format(&r, buf, sizeof(buf)), BANK_RECORD_ERR_FORMAT);
    r.state = BANK_BEING_WRITTEN;
    r.installed = -1;
    EXPECT_EQ(bank_record_format(&r, buf, sizeof(buf)), BANK_RECORD_ERR_FORMAT);
    r.installed = 5;
    EXPECT_EQ(bank_record_format(&r, buf, 10), BANK_RECORD_ERR_SPACE);
    r.state = BANK_VERIFIED;
    memset(r.version, 'v', sizeof(r.version)); // no NUL
    EXPECT_EQ(bank_record_format(&r, buf, sizeof(buf)), BANK_RECORD_ERR_FORMAT);
    snprintf(r.version, sizeof(r.version), "a\nb");
    EXPECT_EQ(bank_record_format(&r, buf, sizeof(buf)), BANK_RECORD_ERR_FORMAT);
}

int entries(const std::string &dir)
{
    DIR *d = opendir(dir.c_str());
    int n = 0;
    while (d != nullptr && readdir(d) != nullptr)
        n++;
    if (d != nullptr)
        closedir(d);
    return n - 2;
}

TEST(BankRecord, WriteReadAndBootCheck)
{
    TempDir tmp;
    const std::string path = tmp / "bank_record";
    bank_record r;
    ASSERT_EQ(bank_record_parse(kBeingWritten.data(), kBeingWritten.size(), &r), 0);

    EXPECT_EQ(bank_record_boot_check(path.c_str()), 0) << "no record: the bank may boot";
    ASSERT_EQ(bank_record_write(path.c_str(), &r), 0);
    EXPECT_EQ(bank_record_boot_check(path.c_str()), BANK_RECORD_ERR_INCOMPLETE);
    ASSERT_EQ(bank_record_parse(kVerified.data(), kVerified.size(), &r), 0);
    ASSERT_EQ(bank_record_write(path.c_str(), &r), 0);
    EXPECT_EQ(bank_record_boot_check(path.c_str()), 0);
    EXPECT_EQ(entries(tmp.path()), 1) << "a temporary file was left";
    // What a cut between the temporary file and the rename left goes at the next write; names
    // that are not such a file stay.
    for (const char *left : {"bank_record.a1B2c3", "bank_record.ZZZZZZ"})
        put(tmp / left, "being-written");
    for (const char *other : {"bank_record.old", "bank_record.a1B2c3d", "bank_record_a1B2c3"})
        put(tmp / other, "keep");
    ASSERT_EQ(bank_record_write(path.c_str(), &r), 0);
    EXPECT_EQ(entries(tmp.path()), 4) << "stale temporary files stayed, or others went";
    for (const char *other : {"bank_record.old", "bank_record.a1B2c3d", "bank_record_a1B2c3"})
        EXPECT_EQ(unlink((tmp / other).c_str()), 0) << other;
    struct stat st;
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0644u);
    bank_record back;
    ASSERT_EQ(bank_record_read(path.c_str(), &back), 0);
    EXPECT_EQ(memcmp(&back, &r, sizeof(r)), 0);

    // A record that cannot be written leaves the old one, and nothing else.
    r.state = 7;
    EXPECT_EQ(bank_record_write(path.c_str(), &r), BANK_RECORD_ERR_FORMAT);
    EXPECT_EQ(bank_record_boot_check(path.c_str()), 0);
    r.state = BANK_BEING_WRITTEN;
    const std::string missing_dir = tmp / "none/bank_record";
    EXPECT_EQ(bank_record_write(missing_dir.c_str(), &r), BANK_RECORD_ERR_WRITE);
    EXPECT_EQ(entries(tmp.path()), 1);
    // A path without a directory is refused, not written beside the working directory.
    EXPECT_EQ(bank_record_write("bank_record", &r), BANK_RECORD_ERR_WRITE);

    struct row {
        const char *name;
        void (*make)(const std::string &path);
        int read;  // bank_record_read
        int check; // bank_record_boot_check
    };
    const std::vector<row> rows = {
        {"no record", [](const std::string &) {}, BANK_RECORD_ERR_MISSING, 0},
        {"garbage", [](const std::string &p) { put(p, "garbage\n"); }, BANK_RECORD_ERR_FORMAT,
         BANK_RECORD_ERR_FORMAT},
        {"empty file", [](const std::string &p) { put(p, ""); }, BANK_RECORD_ERR_FORMAT,
         BANK_RECORD_ERR_FORMAT},
        {"over 512 bytes", [](const std::string &p) { put(p, kVerified + std::string(200, 'x')); },
         BANK_RECORD_ERR_READ, BANK_RECORD_ERR_READ},
        {"through a link",
         [](const std::string &p) {
             put(p + ".real", kBeingWritten);
             ASSERT_EQ(symlink((p + ".real").c_str(), p.c_str()), 0);
         },
         BANK_RECORD_ERR_READ, BANK_RECORD_ERR_READ},
        {"a directory", [](const std::string &p) { mkdir(p.c_str(), 0755); }, BANK_RECORD_ERR_READ,
         BANK_RECORD_ERR_READ},
    };
    for (const row &w : rows) {
        TempDir t;
        const std::string p = t / "bank_record";
        w.make(p);
        bank_record out;
        EXPECT_EQ(bank_record_read(p.c_str(), &out), w.read) << w.name;
        EXPECT_EQ(bank_record_boot_check(p.c_str()), w.check) << w.name;
    }
}

} // namespace
