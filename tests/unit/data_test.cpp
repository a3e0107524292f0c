// SPDX-License-Identifier: MIT
// Data blocks and the chunked transfer primitives: chunk boundaries (4096 for reads and compares,
// 32768 for writes), progress accounting near 2^32, and real faults (short reads and writes,
// failing flushes and syncs) provoked with custom stdio streams, /dev/full, /dev/null and a file
// size limit.
#include "fixture.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/mman.h>
#include <sys/resource.h>
#include <unistd.h>
#include <vector>

#include "data.h"
#include "datablk.h"
#include "lock_files.h"
#include "notify.h"
#include "progress.h"
#include "sha256.h"
#include "upgrade.h"

namespace
{

using fwtest::hex;

using fwtest::StdoutCapture;
using fwtest::TempDir;

const char kEmptyMd5[] = "d41d8cd98f00b204e9800998ecf8427e";

// Deterministic bytes that differ from chunk to chunk.
std::string pattern(size_t len, unsigned seed = 1)
{
    std::string s(len, '\0');
    uint32_t x = seed * 2654435761u + 12345u;
    for (size_t i = 0; i < len; i++) {
        x = x * 1103515245u + 12345u;
        s[i] = (char)(x >> 16);
    }
    return s;
}

const uint8_t *bytes(const std::string &s)
{
    return (const uint8_t *)s.data();
}

// The system's md5sum over a file: an implementation independent of ours.
std::string md5sum(const std::string &path)
{
    std::string cmd = "md5sum '" + path + "'";
    FILE *p = popen(cmd.c_str(), "r");
    char buf[33] = {0};
    if (p == nullptr)
        return "";
    size_t n = fread(buf, 1, 32, p);
    pclose(p);
    return std::string(buf, n);
}

std::string md5sum_of(const std::string &data)
{
    TempDir d;
    sim::write_file(d / "m", data);
    return md5sum(d / "m");
}

size_t count(const std::string &text, const std::string &what)
{
    size_t n = 0;
    for (size_t p = text.find(what); p != std::string::npos; p = text.find(what, p + 1))
        n++;
    return n;
}

size_t chunks(size_t len, size_t chunk)
{
    return (len + chunk - 1) / chunk;
}

// An in-memory stream whose writes can be cut short or refused, and which records every write
// request that reaches it. Without `seekable` positioning fails.
struct sink {
    std::string data;
    size_t pos = 0;
    size_t accept = SIZE_MAX; // bytes accepted in total before writes come up short
    bool fail = false;        // every write fails
    bool seekable = true;
    std::vector<size_t> requests;
    std::vector<size_t> positions; // where each request began
};

ssize_t sink_write(void *c, const char *buf, size_t n)
{
    sink *s = (sink *)c;
    s->requests.push_back(n);
    s->positions.push_back(s->pos);
    if (s->fail)
        return -1;
    size_t room = s->accept > s->data.size() ? s->accept - s->data.size() : 0;
    size_t take = n < room ? n : room;
    if (s->pos + take > s->data.size())
        s->data.resize(s->pos + take);
    memcpy(&s->data[s->pos], buf, take);
    s->pos += take;
    return (ssize_t)take;
}

ssize_t sink_read(void *c, char *buf, size_t n)
{
    sink *s = (sink *)c;
    size_t left = s->pos < s->data.size() ? s->data.size() - s->pos : 0;
    size_t take = n < left ? n : left;
    memcpy(buf, s->data.data() + s->pos, take);
    s->pos += take;
    return (ssize_t)take;
}

int sink_seek(void *c, off64_t *off, int whence)
{
    sink *s = (sink *)c;
    if (!s->seekable || whence != SEEK_SET || *off < 0)
        return -1;
    s->pos = (size_t)*off;
    return 0;
}

FILE *open_sink(sink *s)
{
    cookie_io_functions_t io = {sink_read, sink_write, sink_seek, nullptr};
    return fopencookie(s, "w+", io);
}

// The record's sink as a transfer takes it; each call refills the one copy, which the transfer
// uses before the next call.
const data_progress *counter(upgrade_progress *p)
{
    static data_progress one;

    one = progress_sink(p);
    return &one;
}

upgrade_progress make_progress(int32_t stage, uint32_t kernel_total, uint32_t root_total)
{
    upgrade_progress p;
    memset(&p, 0, sizeof(p));
    p.stage = stage;
    p.kernel_total = kernel_total;
    p.root_total = root_total;
    memset(p.pad, 0xAA, sizeof(p.pad));
    return p;
}

// Lowers the file size limit for one scope, so that a write past it comes up short for real.
class FileSizeLimit
{
  public:
    explicit FileSizeLimit(rlim_t limit)
    {
        old_handler_ = signal(SIGXFSZ, SIG_IGN);
        getrlimit(RLIMIT_FSIZE, &old_);
        rlimit lim = old_;
        lim.rlim_cur = limit;
        setrlimit(RLIMIT_FSIZE, &lim);
    }
    ~FileSizeLimit()
    {
        setrlimit(RLIMIT_FSIZE, &old_);
        signal(SIGXFSZ, old_handler_);
    }

  private:
    rlimit old_;
    sighandler_t old_handler_;
};

// ---- do_fread_data

class FreadTest : public ::testing::TestWithParam<size_t>
{
};

// Both modes (one request into memory, 4096-byte scratch chunks for the digest only) give the
// system md5sum of the range, on and around the scratch boundary.
TEST_P(FreadTest, DigestMatchesMd5sumInBothModes)
{
    TempDir d;
    const size_t len = GetParam();
    const long offset = 7;
    std::string content = pattern(offset + len + 5);
    ASSERT_TRUE(sim::write_file(d / "f", content));
    std::string expect = md5sum_of(content.substr(offset, len));

    FILE *f = fopen((d / "f").c_str(), "rb");
    ASSERT_NE(nullptr, f);
    std::vector<uint8_t> dest(len + 1, 0xEE);
    uint8_t digest[MD5_DIGEST_LEN], digest2[MD5_DIGEST_LEN];
    StdoutCapture cap;
    EXPECT_EQ(DATA_OK, do_fread_data(dest.data(), (int32_t)len, f, offset, digest));
    EXPECT_EQ(DATA_OK, do_fread_data(nullptr, (int32_t)len, f, offset, digest2));
    EXPECT_EQ(DATA_OK, do_fread_data(dest.data(), (int32_t)len, f, offset, nullptr));
    EXPECT_EQ("", cap.take());
    fclose(f);
    EXPECT_EQ(expect, hex(digest, sizeof(digest)));
    EXPECT_EQ(expect, hex(digest2, sizeof(digest2)));
    EXPECT_EQ(content.substr(offset, len), std::string((const char *)dest.data(), len));
    EXPECT_EQ(0xEE, dest[len]);
}

INSTANTIATE_TEST_SUITE_P(Lengths, FreadTest,
                         ::testing::Values(0, 1, 4095, 4096, 4097, 8192, 8292, 100000));

TEST(Fread, NonPositiveLengthReadsNothingAndDigestsEmptyInput)
{
    TempDir d;
    ASSERT_TRUE(sim::write_file(d / "f", "abc"));
    FILE *f = fopen((d / "f").c_str(), "rb");
    ASSERT_NE(nullptr, f);
    for (int32_t len : {0, -1, INT32_MIN}) {
        uint8_t dest[4] = {1, 2, 3, 4};
        uint8_t digest[MD5_DIGEST_LEN];
        EXPECT_EQ(DATA_OK, do_fread_data(dest, len, f, 0, digest)) << len;
        EXPECT_EQ(kEmptyMd5, hex(digest, sizeof(digest))) << len;
        EXPECT_EQ(1, dest[0]);
    }
    fclose(f);
}

TEST(Fread, PositioningFailureReadsNothing)
{
    sink s;
    s.data = "abcdef";
    s.seekable = false;
    FILE *f = open_sink(&s);
    uint8_t dest[6] = {0};
    uint8_t digest[MD5_DIGEST_LEN];
    memset(digest, 0x5A, sizeof(digest));
    StdoutCapture cap;
    EXPECT_EQ(DATA_ERR_SEEK, do_fread_data(dest, 6, f, 0, digest));
    EXPECT_EQ("fseek failed !\n", cap.take());
    EXPECT_EQ(0, dest[0]);
    EXPECT_EQ(0x5A, digest[0]);
    fclose(f);

    TempDir d;
    ASSERT_TRUE(sim::write_file(d / "f", "abc"));
    f = fopen((d / "f").c_str(), "rb");
    StdoutCapture cap2;
    EXPECT_EQ(DATA_ERR_SEEK, do_fread_data(dest, 1, f, -1, nullptr));
    EXPECT_EQ("fseek failed !\n", cap2.take());
    fclose(f);
}

TEST(Fread, ShortReadReportsTheRequestAndLeavesTheDigest)
{
    TempDir d;
    ASSERT_TRUE(sim::write_file(d / "f", pattern(5000)));
    FILE *f = fopen((d / "f").c_str(), "rb");
    ASSERT_NE(nullptr, f);
    std::vector<uint8_t> dest(8192);
    uint8_t digest[MD5_DIGEST_LEN];
    memset(digest, 0x5A, sizeof(digest));
    {
        // Into memory: one request for the whole range.
        StdoutCapture cap;
        EXPECT_EQ(DATA_ERR_READ, do_fread_data(dest.data(), 8192, f, 0, digest));
        EXPECT_EQ("fread failed to_do : done = 8192 : 5000 !\n", cap.take());
    }
    {
        // Digest only: the second 4096-byte chunk asks for 3096 and gets 904.
        StdoutCapture cap;
        EXPECT_EQ(DATA_ERR_READ, do_fread_data(nullptr, 7192, f, 0, digest));
        EXPECT_EQ("fread failed to_do : done = 3096 : 904 !\n", cap.take());
    }
    {
        StdoutCapture cap;
        EXPECT_EQ(DATA_ERR_READ, do_fread_data(dest.data(), 3, f, 6000, digest));
        EXPECT_EQ("fread failed to_do : done = 3 : 0 !\n", cap.take());
    }
    EXPECT_EQ(0x5A, digest[0]);
    fclose(f);

    // Digest only, past the first 32 KiB read: still the 4096-byte chunk's line (the tenth asks
    // for 4096 and gets 3136).
    ASSERT_TRUE(sim::write_file(d / "g", pattern(40000)));
    f = fopen((d / "g").c_str(), "rb");
    ASSERT_NE(nullptr, f);
    StdoutCapture cap;
    EXPECT_EQ(DATA_ERR_READ, do_fread_data(nullptr, 70000, f, 0, digest));
    EXPECT_EQ("fread failed to_do : done = 4096 : 3136 !\n", cap.take());
    fclose(f);
}

// ---- do_fwrite_data

class FwriteChunkTest : public ::testing::TestWithParam<size_t>
{
};

// Stage 2 is not a writing stage: every chunk prints the exception once and leaves the done
// counts, so the output counts the chunks; the percentage is still recomputed from the counts.
TEST_P(FwriteChunkTest, OneAccountingPerChunk)
{
    TempDir d;
    const size_t len = GetParam();
    std::string content = pattern(len);
    upgrade_progress p = make_progress(UPGRADE_STAGE_LOADING, 100, 300);
    p.kernel_done = 100;
    p.root_done = 50;

    FILE *f = fopen((d / "out").c_str(), "w+b");
    ASSERT_NE(nullptr, f);
    StdoutCapture cap;
    EXPECT_EQ(DATA_OK, do_fwrite_data(bytes(content), (int32_t)len, f, 0, counter(&p)));
    std::string out = cap.take();
    fclose(f);

    EXPECT_EQ(chunks(len, DATA_WRITE_CHUNK), count(out, "exception !!\n"));
    EXPECT_EQ(out.size(), count(out, "exception !!\n") * strlen("exception !!\n"));
    EXPECT_EQ(100u, p.kernel_done);
    EXPECT_EQ(50u, p.root_done);
    EXPECT_EQ(len > 0 ? 37 : 0, p.percent);
    std::string written;
    ASSERT_TRUE(sim::read_file(d / "out", &written));
    EXPECT_EQ(content, written);
}

INSTANTIATE_TEST_SUITE_P(Lengths, FwriteChunkTest,
                         ::testing::Values(0, 1, 32767, 32768, 32769, 65536, 65537));

struct percent_case {
    const char *name;
    int32_t stage;
    uint32_t kernel_total, root_total;
    uint32_t kernel_done_before;
    uint32_t len;
    uint32_t kernel_done, root_done; // after the write
    uint8_t percent;
};

// Sums and the product by 100 exceed 32 bits here; a 32-bit computation gives other values.
const percent_case g_percent_cases[] = {
    {"kernel 1M of 1M+3M", UPGRADE_STAGE_WRITE_KERNEL, 1000000, 3000000, 0, 1000000, 1000000, 0,
     25},
    {"root 3M after 1M", UPGRADE_STAGE_WRITE_ROOT, 1000000, 3000000, 1000000, 3000000, 1000000,
     3000000, 100},
    {"50,000,000 in all", UPGRADE_STAGE_WRITE_ROOT, 49999000, 1000, 49999000, 1000, 49999000, 1000,
     100},
    {"3,000,000,000 + 1,000,000,000", UPGRADE_STAGE_WRITE_ROOT, 3000000000u, 1000000000u,
     3000000000u, 1000, 3000000000u, 1000, 75},
    {"totals near 2^33", UPGRADE_STAGE_WRITE_ROOT, 0xFFFFFFFFu, 0xFFFFFFFFu, 0xFFFFFFFFu, 1,
     0xFFFFFFFFu, 1, 50},
};

TEST(Fwrite, PercentIsComputedWide)
{
    for (const percent_case &c : g_percent_cases) {
        SCOPED_TRACE(c.name);
        TempDir d;
        std::string content = pattern(c.len);
        upgrade_progress p = make_progress(c.stage, c.kernel_total, c.root_total);
        p.kernel_done = c.kernel_done_before;
        FILE *f = fopen((d / "out").c_str(), "w+b");
        ASSERT_NE(nullptr, f);
        EXPECT_EQ(DATA_OK, do_fwrite_data(bytes(content), (int32_t)c.len, f, 0, counter(&p)));
        fclose(f);
        EXPECT_EQ(c.kernel_done, p.kernel_done);
        EXPECT_EQ(c.root_done, p.root_done);
        EXPECT_EQ(c.percent, p.percent);
        EXPECT_EQ(0xAA, p.pad[0]);
        EXPECT_EQ(0xAA, p.pad[2]);
        EXPECT_EQ(c.stage, p.stage);
        EXPECT_EQ(c.kernel_total, p.kernel_total);
    }
}

TEST(Fwrite, ZeroTotalsKeepThePercentage)
{
    TempDir d;
    upgrade_progress p = make_progress(UPGRADE_STAGE_WRITE_KERNEL, 0, 0);
    p.percent = 42;
    FILE *f = fopen((d / "out").c_str(), "w+b");
    ASSERT_NE(nullptr, f);
    EXPECT_EQ(DATA_OK, do_fwrite_data(bytes("abcd"), 4, f, 0, counter(&p)));
    fclose(f);
    EXPECT_EQ(4u, p.kernel_done);
    EXPECT_EQ(42, p.percent);
}

TEST(Fwrite, VerifyStagesAreNotWriteStages)
{
    TempDir d;
    upgrade_progress p = make_progress(UPGRADE_STAGE_VERIFY_KERNEL, 4, 0);
    FILE *f = fopen((d / "out").c_str(), "w+b");
    ASSERT_NE(nullptr, f);
    StdoutCapture cap;
    EXPECT_EQ(DATA_OK, do_fwrite_data(bytes("abcd"), 4, f, 0, counter(&p)));
    EXPECT_EQ("exception !!\n", cap.take());
    fclose(f);
    EXPECT_EQ(0u, p.kernel_done);
    EXPECT_EQ(0, p.percent);
}

TEST(Fwrite, PositioningFailureWritesNothing)
{
    sink s;
    s.seekable = false;
    upgrade_progress p = make_progress(UPGRADE_STAGE_WRITE_KERNEL, 3, 0);
    FILE *f = open_sink(&s);
    StdoutCapture cap;
    EXPECT_EQ(DATA_ERR_SEEK, do_fwrite_data(bytes("abc"), 3, f, 0, counter(&p)));
    EXPECT_EQ("fseek failed !\n", cap.take());
    fclose(f);
    EXPECT_TRUE(s.requests.empty());
    EXPECT_EQ(0u, p.kernel_done);
}

TEST(Fwrite, ShortWriteReportsTheBlockLength)
{
    sink s;
    s.accept = 100;
    std::string content = pattern(40000);
    upgrade_progress p = make_progress(UPGRADE_STAGE_WRITE_KERNEL, 40000, 0);
    FILE *f = open_sink(&s);
    StdoutCapture cap;
    EXPECT_EQ(DATA_ERR_WRITE, do_fwrite_data(bytes(content), 40000, f, 0, counter(&p)));
    EXPECT_EQ("fwrite failed to_do : done = 40000 : 100 !\n", cap.take());
    fclose(f);
    EXPECT_EQ(0u, p.kernel_done);
}

// The file size limit stops the second chunk part-way: the first chunk stays written and synced,
// the record holds its count, and the message names the whole block.
TEST(Fwrite, LaterChunkShortWriteKeepsTheFirst)
{
    TempDir d;
    std::string content = pattern(65536);
    upgrade_progress p = make_progress(UPGRADE_STAGE_WRITE_ROOT, 65536, 65536);
    p.kernel_done = 65536;
    FILE *f = fopen((d / "out").c_str(), "w+b");
    ASSERT_NE(nullptr, f);
    std::string out;
    int rc;
    {
        FileSizeLimit limit(40000);
        StdoutCapture cap;
        rc = do_fwrite_data(bytes(content), 65536, f, 0, counter(&p));
        out = cap.take();
    }
    fclose(f);
    EXPECT_EQ(DATA_ERR_WRITE, rc);
    EXPECT_EQ("fwrite failed to_do : done = 65536 : 7232 !\n", out);
    EXPECT_EQ(32768u, p.root_done);
    EXPECT_EQ(75, p.percent);
    std::string written;
    ASSERT_TRUE(sim::read_file(d / "out", &written));
    EXPECT_EQ(content.substr(0, 40000), written);
}

TEST(Fwrite, FlushFailureIsSilent)
{
    upgrade_progress p = make_progress(UPGRADE_STAGE_WRITE_KERNEL, 100, 0);
    {
        // The stream buffer takes the bytes; the cookie refuses them when they are flushed.
        sink s;
        s.fail = true;
        FILE *f = open_sink(&s);
        StdoutCapture cap;
        EXPECT_EQ(DATA_ERR_FLUSH, do_fwrite_data(bytes(pattern(100)), 100, f, 0, counter(&p)));
        EXPECT_EQ("", cap.take());
        EXPECT_EQ(1u, s.requests.size());
        fclose(f);
    }
    {
        // A device that is full.
        FILE *f = fopen("/dev/full", "w+b");
        ASSERT_NE(nullptr, f);
        StdoutCapture cap;
        EXPECT_EQ(DATA_ERR_FLUSH, do_fwrite_data(bytes(pattern(100)), 100, f, 0, counter(&p)));
        EXPECT_EQ("", cap.take());
        fclose(f);
    }
    EXPECT_EQ(0u, p.kernel_done);
}

// /dev/null takes positioning and writes but has no fsync (EINVAL).
TEST(Fwrite, SyncFailureIsSilentAndStopsBeforeAccounting)
{
    upgrade_progress p = make_progress(UPGRADE_STAGE_WRITE_KERNEL, 100, 0);
    FILE *f = fopen("/dev/null", "w+b");
    ASSERT_NE(nullptr, f);
    StdoutCapture cap;
    EXPECT_EQ(DATA_ERR_SYNC, do_fwrite_data(bytes(pattern(100)), 100, f, 0, counter(&p)));
    EXPECT_EQ("", cap.take());
    fclose(f);
    EXPECT_EQ(0u, p.kernel_done);
    EXPECT_EQ(0, p.percent);
}

// ---- do_verify_data

class VerifyChunkTest : public ::testing::TestWithParam<size_t>
{
};

TEST_P(VerifyChunkTest, OneAccountingPerChunk)
{
    TempDir d;
    const size_t len = GetParam();
    std::string content = pattern(len + 10);
    ASSERT_TRUE(sim::write_file(d / "f", content));
    upgrade_progress p = make_progress(UPGRADE_STAGE_LOADING, 10, 10);
    p.root_done = 5;
    FILE *f = fopen((d / "f").c_str(), "rb");
    ASSERT_NE(nullptr, f);
    StdoutCapture cap;
    EXPECT_EQ(DATA_OK, do_verify_data(bytes(content) + 10, (int32_t)len, f, 10, counter(&p)));
    std::string out = cap.take();
    fclose(f);
    EXPECT_EQ(chunks(len, DATA_READ_CHUNK), count(out, "exception !!\n"));
    EXPECT_EQ(0u, p.kernel_done);
    EXPECT_EQ(5u, p.root_done);
    EXPECT_EQ(len > 0 ? 25 : 0, p.percent);
}

INSTANTIATE_TEST_SUITE_P(Lengths, VerifyChunkTest,
                         ::testing::Values(0, 1, 4095, 4096, 4097, 8192, 8292));

TEST(Verify, CountsUnderTheCompareStages)
{
    TempDir d;
    std::string content = pattern(8292);
    ASSERT_TRUE(sim::write_file(d / "f", content));
    FILE *f = fopen((d / "f").c_str(), "rb");
    ASSERT_NE(nullptr, f);

    upgrade_progress p = make_progress(UPGRADE_STAGE_VERIFY_KERNEL, 8292, 8292);
    EXPECT_EQ(DATA_OK, do_verify_data(bytes(content), 8292, f, 0, counter(&p)));
    EXPECT_EQ(8292u, p.kernel_done);
    EXPECT_EQ(50, p.percent);
    p.stage = UPGRADE_STAGE_VERIFY_ROOT;
    EXPECT_EQ(DATA_OK, do_verify_data(bytes(content), 8292, f, 0, counter(&p)));
    EXPECT_EQ(8292u, p.root_done);
    EXPECT_EQ(100, p.percent);

    // A write stage is not a compare stage.
    upgrade_progress w = make_progress(UPGRADE_STAGE_WRITE_KERNEL, 8292, 0);
    StdoutCapture cap;
    EXPECT_EQ(DATA_OK, do_verify_data(bytes(content), 100, f, 0, counter(&w)));
    EXPECT_EQ("exception !!\n", cap.take());
    EXPECT_EQ(0u, w.kernel_done);
    fclose(f);
}

TEST(Verify, DifferenceInTheLastByteAfterTwoChunks)
{
    TempDir d;
    std::string content = pattern(8292);
    std::string device = content;
    device[8291] ^= 0x01;
    ASSERT_TRUE(sim::write_file(d / "f", device));
    FILE *f = fopen((d / "f").c_str(), "rb");
    ASSERT_NE(nullptr, f);
    upgrade_progress p = make_progress(UPGRADE_STAGE_VERIFY_KERNEL, 8292, 0);
    StdoutCapture cap;
    EXPECT_EQ(DATA_ERR_MISMATCH, do_verify_data(bytes(content), 8292, f, 0, counter(&p)));
    EXPECT_EQ("", cap.take());
    EXPECT_EQ(8192u, p.kernel_done);
    EXPECT_EQ(98, p.percent);

    p.kernel_done = 0;
    device = content;
    device[0] ^= 0x80;
    fclose(f);
    ASSERT_TRUE(sim::write_file(d / "f", device));
    f = fopen((d / "f").c_str(), "rb");
    EXPECT_EQ(DATA_ERR_MISMATCH, do_verify_data(bytes(content), 8292, f, 0, counter(&p)));
    EXPECT_EQ(0u, p.kernel_done);
    fclose(f);
}

TEST(Verify, ShortReadAndPositioningFailure)
{
    TempDir d;
    std::string content = pattern(8192);
    ASSERT_TRUE(sim::write_file(d / "f", content.substr(0, 5000)));
    FILE *f = fopen((d / "f").c_str(), "rb");
    ASSERT_NE(nullptr, f);
    upgrade_progress p = make_progress(UPGRADE_STAGE_VERIFY_ROOT, 0, 8192);
    {
        StdoutCapture cap;
        EXPECT_EQ(DATA_ERR_READ, do_verify_data(bytes(content), 8192, f, 0, counter(&p)));
        EXPECT_EQ("fread failed bytes_read : done = 4096 : 904 !\n", cap.take());
        EXPECT_EQ(4096u, p.root_done);
    }
    {
        StdoutCapture cap;
        EXPECT_EQ(DATA_ERR_SEEK, do_verify_data(bytes(content), 1, f, -5, counter(&p)));
        EXPECT_EQ("fseek failed !\n", cap.take());
    }
    fclose(f);
}

// ---- page cache

// Pages of the file at `path` that are in the page cache, from its first byte to `len`.
size_t resident_pages(const std::string &path, size_t len)
{
    size_t page = (size_t)sysconf(_SC_PAGESIZE);
    size_t pages = (len + page - 1) / page;
    std::vector<unsigned char> in(pages);
    int fd = open(path.c_str(), O_RDONLY);
    void *map = fd >= 0 ? mmap(nullptr, len, PROT_READ, MAP_SHARED, fd, 0) : MAP_FAILED;
    size_t n = 0;
    if (map != MAP_FAILED && mincore(map, len, in.data()) == 0) {
        for (unsigned char c : in)
            n += c & 1;
    } else {
        n = SIZE_MAX;
    }
    if (map != MAP_FAILED)
        munmap(map, len);
    if (fd >= 0)
        close(fd);
    return n;
}

// Whether the file system lets clean pages go on request; tmpfs, for one, keeps them: they are the
// file.
bool drops_clean_pages(const std::string &path)
{
    std::string data = pattern(4 * 4096);
    FILE *f = fopen(path.c_str(), "w+b");
    bool ok = f != nullptr && fwrite(data.data(), 1, data.size(), f) == data.size() &&
              fflush(f) == 0 && fsync(fileno(f)) == 0 &&
              posix_fadvise(fileno(f), 0, 0, POSIX_FADV_DONTNEED) == 0;
    if (f != nullptr)
        fclose(f);
    return ok && resident_pages(path, data.size()) == 0;
}

// A payload as large as the device's root must not leave its copy in the page cache: written
// pages are handed back once synced, compared ones once compared, so a large upgrade neither
// doubles its memory nor reads back from memory. The last, partly covered page may stay.
TEST(PageCache, WrittenAndComparedPagesAreHandedBack)
{
    TempDir d;
    if (!drops_clean_pages(d / "probe"))
        GTEST_SKIP() << "this file system keeps its pages";
    const size_t len = 64 * DATA_WRITE_CHUNK + 100;
    std::string content = pattern(len);
    FILE *f = fopen((d / "f").c_str(), "w+b");
    ASSERT_NE(nullptr, f);
    ASSERT_EQ(DATA_OK, do_fwrite_data(bytes(content), (int32_t)len, f, 0, nullptr));
    fclose(f);
    EXPECT_LE(resident_pages(d / "f", len), 1u);

    // Read through the cache first, as a verification following other readers would find it.
    std::string back;
    ASSERT_TRUE(sim::read_file(d / "f", &back));
    ASSERT_EQ(content, back);
    ASSERT_GT(resident_pages(d / "f", len), 1u);
    f = fopen((d / "f").c_str(), "rb");
    ASSERT_NE(nullptr, f);
    EXPECT_EQ(DATA_OK, do_verify_data(bytes(content), (int32_t)len, f, 0, nullptr));
    fclose(f);
    EXPECT_LE(resident_pages(d / "f", len), 1u);
}

// ---- do_fcopy_data and do_fcompare_data: payloads streamed from a file

// A flash block device writes a whole erase block back at each sync, so the copy syncs where a
// chunk reaches or crosses the end of an erase block, and at the end. /dev/null takes the writes
// but fails every sync, so the bytes counted before the first failure show where it came.
TEST(Fcopy, FirstSyncComesAtTheEndOfTheFirstEraseBlock)
{
    const struct {
        uint32_t erase_size;
        int32_t len;
        uint32_t counted; // before the first sync
    } rows[] = {
        {0, 200000, 0},               // unknown: every chunk
        {4096, 200000, 0},            // smaller than a chunk: every chunk
        {32768, 200000, 0},           // one chunk per block
        {65536, 200000, 32768},       // two
        {131072, 200000, 98304},      // four, as on the controller
        {98304, 200000, 65536},       // three
        {49152, 200000, 32768},       // not a multiple: the chunk that crosses 48 KiB
        {131072, 100000, 98304},      // the last chunk, short of the block's end
        {0x40000000, 200000, 196608}, // a block larger than the payload: only at the end
    };
    TempDir d;
    std::string content = pattern(200000, 7);
    ASSERT_TRUE(sim::write_file(d / "src", content));
    for (const auto &r : rows) {
        SCOPED_TRACE(std::to_string(r.erase_size) + " / " + std::to_string(r.len));
        FILE *src = fopen((d / "src").c_str(), "rb");
        FILE *dst = fopen("/dev/null", "w+b");
        ASSERT_NE(nullptr, src);
        ASSERT_NE(nullptr, dst);
        upgrade_progress p = make_progress(UPGRADE_STAGE_WRITE_ROOT, 1, (uint32_t)r.len);
        data_fault f = {nullptr, -1, -1, 0};
        EXPECT_EQ(DATA_ERR_SYNC,
                  do_fcopy_data(src, 0, r.len, dst, 0, r.erase_size, counter(&p), &f));
        fclose(src);
        fclose(dst);
        EXPECT_EQ(r.counted, p.root_done);
        EXPECT_STREQ("fsync", f.call);
        EXPECT_EQ(0, f.source);
        EXPECT_EQ((int32_t)r.counted, f.at);
        EXPECT_NE(0, f.err);
    }
}

// Bytes from any position of the source land at any position of the target, and are counted
// chunk by chunk; the target's positions, not the source's, decide the syncs.
TEST(Fcopy, CopiesTheRangeAndCountsEachChunk)
{
    TempDir d;
    std::string content = pattern(300000, 8);
    ASSERT_TRUE(sim::write_file(d / "src", content));
    for (int32_t len : {0, 1, 32768, 32769, 131072, 200001}) {
        SCOPED_TRACE(len);
        ASSERT_TRUE(sim::write_file(d / "dst", std::string(100, '#')));
        FILE *src = fopen((d / "src").c_str(), "rb");
        FILE *dst = fopen((d / "dst").c_str(), "r+b");
        ASSERT_NE(nullptr, src);
        ASSERT_NE(nullptr, dst);
        upgrade_progress p = make_progress(UPGRADE_STAGE_LOADING, 10, 10);
        StdoutCapture cap;
        EXPECT_EQ(DATA_OK, do_fcopy_data(src, 777, len, dst, 10, 131072, counter(&p), nullptr));
        std::string out = cap.take();
        fclose(src);
        fclose(dst);
        EXPECT_EQ(chunks((size_t)len, DATA_WRITE_CHUNK), count(out, "exception !!\n"));
        std::string written;
        ASSERT_TRUE(sim::read_file(d / "dst", &written));
        std::string want = std::string(10, '#') + content.substr(777, (size_t)len);
        if (want.size() < 100)
            want += std::string(100 - want.size(), '#');
        EXPECT_EQ(want, written);
    }
}

// A chunk the target already holds is counted but not written, and a block with nothing written
// is not synced: on the controller it is then never erased. The in-memory target records each
// write request and fails every sync (it has no descriptor), so with one erase block spanning the
// payload an unwritten payload ends in success and a written one in the sync at its end.
TEST(Fcopy, LeavesWhatTheTargetHoldsUnwritten)
{
    const int32_t len = 100000;
    const struct {
        const char *name;
        size_t keep; // bytes of the payload the target holds, the rest absent
        long flip;   // a byte of those that differs; -1 for none
        int expect;  // result: DATA_OK without a write, else the sync at the end fails
        std::vector<size_t> written; // positions of the write requests, one per chunk
    } rows[] = {
        {"identical", (size_t)len, -1, DATA_OK, {}},
        {"identical and longer", (size_t)len + 5000, -1, DATA_OK, {}},
        {"first byte differs", (size_t)len, 0, DATA_ERR_SYNC, {0}},
        {"last byte of the second chunk differs", (size_t)len, 65535, DATA_ERR_SYNC, {32768}},
        {"last byte differs", (size_t)len, len - 1, DATA_ERR_SYNC, {98304}},
        {"target ends inside the second chunk", 50000, -1, DATA_ERR_SYNC, {32768, 65536, 98304}},
        {"empty target", 0, -1, DATA_ERR_SYNC, {0, 32768, 65536, 98304}},
    };
    TempDir d;
    std::string content = pattern((size_t)len + 5000, 12);
    ASSERT_TRUE(sim::write_file(d / "src", content));
    for (const auto &r : rows) {
        SCOPED_TRACE(r.name);
        sink s;
        s.data = content.substr(0, r.keep);
        if (r.flip >= 0)
            s.data[(size_t)r.flip] ^= 0x10;
        FILE *src = fopen((d / "src").c_str(), "rb");
        FILE *dst = open_sink(&s);
        ASSERT_NE(nullptr, src);
        upgrade_progress p = make_progress(UPGRADE_STAGE_WRITE_ROOT, 1, (uint32_t)len);
        data_fault f = {nullptr, -1, -1, 0};
        EXPECT_EQ(r.expect, do_fcopy_data(src, 0, len, dst, 0, 0x40000000, counter(&p), &f));
        fclose(src);
        fclose(dst);
        // A failing sync stops before its chunk is counted; skipped chunks are counted alike.
        EXPECT_EQ(r.expect == DATA_OK ? (uint32_t)len : 98304u, p.root_done);
        EXPECT_EQ(r.written, s.positions);
        EXPECT_EQ(content.substr(0, (size_t)len), s.data.substr(0, (size_t)len));
        if (r.expect == DATA_ERR_SYNC) {
            EXPECT_EQ(98304, f.at);
        }
    }
}

TEST(Fcopy, FailuresTellWhereAndOnWhichSide)
{
    TempDir d;
    ASSERT_TRUE(sim::write_file(d / "src", pattern(70000, 9)));
    FILE *src = fopen((d / "src").c_str(), "rb");
    ASSERT_NE(nullptr, src);
    upgrade_progress p = make_progress(UPGRADE_STAGE_WRITE_KERNEL, 100000, 0);
    data_fault f = {nullptr, -1, -1, -1};

    // The source ends inside the third chunk: two chunks counted, nothing printed.
    {
        TempDir out;
        FILE *dst = fopen((out / "dst").c_str(), "w+b");
        ASSERT_NE(nullptr, dst);
        StdoutCapture cap;
        int rc = do_fcopy_data(src, 0, 100000, dst, 0, 0, counter(&p), &f);
        EXPECT_EQ("", cap.take());
        EXPECT_EQ(DATA_ERR_READ, rc);
        fclose(dst);
        EXPECT_STREQ("fread", f.call);
        EXPECT_EQ(1, f.source);
        EXPECT_EQ(65536, f.at);
        EXPECT_EQ(0, f.err);
        EXPECT_EQ(65536u, p.kernel_done);
    }
    // A target that fills up, and one that cannot be positioned.
    {
        sink s;
        s.accept = 40000;
        FILE *dst = open_sink(&s);
        StdoutCapture cap;
        // No sync before the end: a cookie stream has no descriptor to sync.
        int rc = do_fcopy_data(src, 0, 70000, dst, 0, 0x40000000, nullptr, &f);
        std::string out = cap.take();
        EXPECT_EQ(DATA_ERR_WRITE, rc);
        EXPECT_EQ(0u, out.find("fwrite failed to_do : done = 70000 : ")) << out;
        fclose(dst);
        EXPECT_STREQ("fwrite", f.call);
        EXPECT_EQ(0, f.source);
        EXPECT_EQ(32768, f.at);
    }
    {
        sink s;
        s.seekable = false;
        FILE *dst = open_sink(&s);
        StdoutCapture cap;
        int rc = do_fcopy_data(src, 0, 100, dst, 0, 0, nullptr, &f);
        EXPECT_EQ("fseek failed !\n", cap.take());
        EXPECT_EQ(DATA_ERR_SEEK, rc);
        fclose(dst);
        EXPECT_STREQ("fseek", f.call);
        EXPECT_EQ(0, f.source);
    }
    fclose(src);
}

// The comparison digests exactly the source bytes it compared, so a digest equal to the one
// expected vouches for what the target holds.
TEST(Fcompare, ComparesDigestsTheSourceAndFindsTheFirstDifference)
{
    TempDir d;
    std::string content = pattern(20000, 10);
    ASSERT_TRUE(sim::write_file(d / "src", "head" + content));
    ASSERT_TRUE(sim::write_file(d / "dev", content + "tail"));
    FILE *src = fopen((d / "src").c_str(), "rb");
    FILE *dev = fopen((d / "dev").c_str(), "rb");
    ASSERT_NE(nullptr, src);
    ASSERT_NE(nullptr, dev);
    uint8_t md5[MD5_DIGEST_LEN];
    upgrade_progress p = make_progress(UPGRADE_STAGE_VERIFY_KERNEL, 20000, 0);
    data_fault f = {nullptr, -1, -1, -1};

    uint8_t sha[SHA256_LEN];
    uint8_t sha_ref[SHA256_LEN];
    sha256_digest(content.data(), content.size(), sha_ref);

    EXPECT_EQ(DATA_OK, do_fcompare_data(src, 4, 20000, dev, 0, md5, sha, counter(&p), &f));
    EXPECT_EQ(md5sum_of(content), hex(md5, MD5_DIGEST_LEN));
    EXPECT_EQ(hex(sha_ref, SHA256_LEN), hex(sha, SHA256_LEN));
    EXPECT_EQ(20000u, p.kernel_done);
    EXPECT_EQ(100, p.percent);

    // The device holds the source shifted by one byte: the first difference is at byte 0, and
    // one differing byte after two whole chunks is found where it is.
    EXPECT_EQ(DATA_ERR_MISMATCH, do_fcompare_data(src, 5, 100, dev, 0, md5, nullptr, nullptr, &f));
    EXPECT_STREQ("compare", f.call);
    EXPECT_EQ(0, f.at);
    std::string bad = content;
    bad[8192 + 1000] ^= 0x40;
    ASSERT_TRUE(sim::write_file(d / "dev2", bad));
    FILE *dev2 = fopen((d / "dev2").c_str(), "rb");
    ASSERT_NE(nullptr, dev2);
    EXPECT_EQ(DATA_ERR_MISMATCH,
              do_fcompare_data(src, 4, 20000, dev2, 0, md5, nullptr, nullptr, &f));
    EXPECT_EQ(8192 + 1000, f.at);
    fclose(dev2);

    // Either side ending early: the device's short read prints the design's line, the source's
    // nothing.
    {
        StdoutCapture cap;
        EXPECT_EQ(DATA_ERR_READ,
                  do_fcompare_data(src, 4, 20005, dev, 0, md5, nullptr, nullptr, &f));
        EXPECT_EQ("fread failed bytes_read : done = 3621 : 3620 !\n", cap.take());
        EXPECT_EQ(0, f.source);
        EXPECT_EQ(16384, f.at);
    }
    {
        StdoutCapture cap;
        EXPECT_EQ(DATA_ERR_READ,
                  do_fcompare_data(src, 4, 20001, dev, 0, nullptr, nullptr, nullptr, &f));
        EXPECT_EQ("", cap.take());
        EXPECT_STREQ("fread", f.call);
        EXPECT_EQ(1, f.source);
        EXPECT_EQ(16384, f.at);
    }
    fclose(src);
    fclose(dev);
}

// The file-level operations on a payload left in its file: the device holds it afterwards, and
// a comparison fails when the source's bytes no longer have the payload's digest, even where
// the device holds exactly those bytes.
TEST(Datasrc, DumpThenVerifyAndAChangedSource)
{
    TempDir d;
    std::string content = pattern(150000, 11);
    ASSERT_TRUE(sim::write_file(d / "img", "0123456789" + content));
    FILE *img = fopen((d / "img").c_str(), "rb");
    ASSERT_NE(nullptr, img);
    datasrc src = {img, 10, (uint32_t)content.size(), {0}, {0}, false};
    memcpy(src.md5, fwtest::md5_of(content).data(), MD5_DIGEST_LEN);
    ASSERT_TRUE(sim::write_file(d / "dev", std::string(200000, '\xFF')));
    data_fault f = {nullptr, -1, -1, -1};

    EXPECT_EQ(DATA_OK, dump_datasrc_to_file(&src, (d / "dev").c_str(), 131072, nullptr, &f));
    std::string written;
    ASSERT_TRUE(sim::read_file(d / "dev", &written));
    EXPECT_EQ(content, written);
    EXPECT_EQ(DATA_OK, verify_datasrc_with_file(&src, (d / "dev").c_str(), nullptr, &f));

    src.md5[0] ^= 1;
    EXPECT_EQ(DATA_ERR_MISMATCH, verify_datasrc_with_file(&src, (d / "dev").c_str(), nullptr, &f));
    EXPECT_STREQ("digest", f.call);
    EXPECT_EQ(1, f.source);
    EXPECT_EQ((int32_t)content.size(), f.at);

    // With its SHA-256 required, the comparison also fails on that digest alone.
    src.md5[0] ^= 1;
    src.has_sha256 = true;
    sha256_digest(content.data(), content.size(), src.sha256);
    EXPECT_EQ(DATA_OK, verify_datasrc_with_file(&src, (d / "dev").c_str(), nullptr, &f));
    src.sha256[SHA256_LEN - 1] ^= 1;
    EXPECT_EQ(DATA_ERR_MISMATCH, verify_datasrc_with_file(&src, (d / "dev").c_str(), nullptr, &f));
    EXPECT_STREQ("sha256", f.call);
    EXPECT_EQ(1, f.source);
    src.has_sha256 = false;

    // A target that is not there yet is created, as a truncating open would.
    EXPECT_EQ(DATA_OK, dump_datasrc_to_file(&src, (d / "new").c_str(), 131072, nullptr, &f));
    ASSERT_TRUE(sim::read_file(d / "new", &written));
    EXPECT_EQ(content, written);

    std::string missing = d / "no/dev";
    StdoutCapture cap;
    EXPECT_EQ(DATA_ERR_OPEN, dump_datasrc_to_file(&src, missing.c_str(), 0, nullptr, &f));
    EXPECT_EQ(DATA_ERR_OPEN, verify_datasrc_with_file(&src, missing.c_str(), nullptr, &f));
    EXPECT_EQ("fopen failed on " + missing + "!\nfopen failed on " + missing + "!\n", cap.take());
    EXPECT_STREQ("fopen", f.call);
    EXPECT_EQ(ENOENT, f.err);
    fclose(img);
}

// ---- records

TEST(Datablk, InitAndCleanup)
{
    datablk b;
    memset(&b, 0xFF, sizeof(b)); // uninitialised storage: init must not free it
    init_datablk(&b);
    EXPECT_EQ(0u, b.size);
    EXPECT_EQ(nullptr, b.data);
    EXPECT_EQ(std::string(32, '0'), hex(b.md5, sizeof(b.md5)));

    b.size = 7;
    b.md5[3] = 9;
    cleanup_datablk(&b); // empty: only zeroed
    EXPECT_EQ(0u, b.size);
    EXPECT_EQ(0, b.md5[3]);

    b.data = (uint8_t *)malloc(16);
    b.size = 16;
    cleanup_datablk(&b);
    EXPECT_EQ(nullptr, b.data);
    cleanup_datablk(&b); // a second call frees nothing more
    EXPECT_EQ(nullptr, b.data);
}

class LoadTest : public ::testing::TestWithParam<size_t>
{
};

TEST_P(LoadTest, FileBytesAndDigest)
{
    TempDir d;
    const size_t len = GetParam();
    std::string content = pattern(len, 7);
    ASSERT_TRUE(sim::write_file(d / "f", content));
    datablk b;
    init_datablk(&b);
    StdoutCapture cap;
    EXPECT_EQ(DATA_OK, load_datablk_from_file(&b, (d / "f").c_str()));
    EXPECT_EQ("", cap.take());
    EXPECT_EQ(len, b.size);
    EXPECT_EQ(md5sum(d / "f"), hex(b.md5, sizeof(b.md5)));
    if (len == 0) {
        // An empty file is an empty block with the digest of empty input.
        EXPECT_EQ(nullptr, b.data);
        EXPECT_EQ(kEmptyMd5, hex(b.md5, sizeof(b.md5)));
    } else {
        ASSERT_NE(nullptr, b.data);
        EXPECT_EQ(content, std::string((const char *)b.data, b.size));
    }
    cleanup_datablk(&b);
}

INSTANTIATE_TEST_SUITE_P(Lengths, LoadTest, ::testing::Values(0, 1, 4096, 32769, 100000));

TEST(Datablk, LoadMissingFile)
{
    TempDir d;
    std::string path = d / "missing";
    datablk b;
    init_datablk(&b);
    StdoutCapture cap;
    EXPECT_EQ(DATA_ERR_OPEN, load_datablk_from_file(&b, path.c_str()));
    EXPECT_EQ("fopen failed on " + path + "!\n", cap.take());
    EXPECT_EQ(0u, b.size);
    EXPECT_EQ(nullptr, b.data);
}

TEST(Datablk, DumpWithAndWithoutReadBack)
{
    TempDir d;
    std::string content = pattern(70000, 3);
    ASSERT_TRUE(sim::write_file(d / "src", content));
    datablk b;
    init_datablk(&b);
    ASSERT_EQ(DATA_OK, load_datablk_from_file(&b, (d / "src").c_str()));

    // The target is truncated first: a longer old content does not survive.
    ASSERT_TRUE(sim::write_file(d / "dev", pattern(90000, 4)));
    upgrade_progress p = make_progress(UPGRADE_STAGE_WRITE_KERNEL, 70000, 70000);
    StdoutCapture cap;
    EXPECT_EQ(DATA_OK, dump_datablk_to_file(&b, (d / "dev").c_str(), 1, counter(&p)));
    EXPECT_EQ("", cap.take());
    EXPECT_EQ(70000u, p.kernel_done);
    EXPECT_EQ(50, p.percent);
    std::string written;
    ASSERT_TRUE(sim::read_file(d / "dev", &written));
    EXPECT_EQ(content, written);

    // A digest that does not match what comes back is a mismatch only when reading back.
    b.md5[15] ^= 1;
    EXPECT_EQ(DATA_ERR_MISMATCH, dump_datablk_to_file(&b, (d / "dev").c_str(), 1, nullptr));
    EXPECT_EQ(DATA_OK, dump_datablk_to_file(&b, (d / "dev").c_str(), 0, nullptr));
    cleanup_datablk(&b);
}

TEST(Datablk, DumpFailuresPassTheCodeOn)
{
    TempDir d;
    datablk b;
    init_datablk(&b);
    b.data = (uint8_t *)malloc(100);
    memset(b.data, 1, 100);
    b.size = 100;
    std::string path = d / "no/such/dir";
    {
        StdoutCapture cap;
        EXPECT_EQ(DATA_ERR_OPEN, dump_datablk_to_file(&b, path.c_str(), 0, nullptr));
        EXPECT_EQ("fopen failed on " + path + "!\n", cap.take());
    }
    EXPECT_EQ(DATA_ERR_FLUSH, dump_datablk_to_file(&b, "/dev/full", 1, nullptr));
    EXPECT_EQ(DATA_ERR_SYNC, dump_datablk_to_file(&b, "/dev/null", 1, nullptr));

    // A length no signed 32-bit count carries is refused before the target is truncated.
    ASSERT_TRUE(sim::write_file(d / "dev", "keep"));
    b.size = 0x80000000u;
    EXPECT_EQ(DATA_ERR_WRITE, dump_datablk_to_file(&b, (d / "dev").c_str(), 0, nullptr));
    EXPECT_EQ(DATA_ERR_READ, verify_datablk_with_file(&b, (d / "dev").c_str(), nullptr));
    std::string kept;
    ASSERT_TRUE(sim::read_file(d / "dev", &kept));
    EXPECT_EQ("keep", kept);
    cleanup_datablk(&b);
}

TEST(Datablk, VerifyWithFile)
{
    TempDir d;
    std::string content = pattern(10000, 5);
    ASSERT_TRUE(sim::write_file(d / "src", content));
    datablk b;
    init_datablk(&b);
    ASSERT_EQ(DATA_OK, load_datablk_from_file(&b, (d / "src").c_str()));

    // A partition is longer than its payload: only the first `size` bytes count.
    ASSERT_TRUE(sim::write_file(d / "dev", content + std::string(5000, '\xFF')));
    upgrade_progress p = make_progress(UPGRADE_STAGE_VERIFY_ROOT, 10000, 10000);
    p.kernel_done = 10000;
    EXPECT_EQ(DATA_OK, verify_datablk_with_file(&b, (d / "dev").c_str(), counter(&p)));
    EXPECT_EQ(10000u, p.root_done);
    EXPECT_EQ(100, p.percent);

    std::string bad = content;
    bad[9999] ^= 0x10;
    ASSERT_TRUE(sim::write_file(d / "dev", bad));
    EXPECT_EQ(DATA_ERR_MISMATCH, verify_datablk_with_file(&b, (d / "dev").c_str(), nullptr));

    ASSERT_TRUE(sim::write_file(d / "dev", content.substr(0, 9000)));
    {
        StdoutCapture cap;
        EXPECT_EQ(DATA_ERR_READ, verify_datablk_with_file(&b, (d / "dev").c_str(), nullptr));
        EXPECT_EQ("fread failed bytes_read : done = 1808 : 808 !\n", cap.take());
    }
    std::string missing = d / "missing";
    {
        StdoutCapture cap;
        EXPECT_EQ(DATA_ERR_OPEN, verify_datablk_with_file(&b, missing.c_str(), nullptr));
        EXPECT_EQ("fopen failed on " + missing + "!\n", cap.take());
    }
    cleanup_datablk(&b);
}

} // namespace
