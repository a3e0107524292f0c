// SPDX-License-Identifier: MIT
// The firmware image file: the 82-byte TEST image assembled by hand and reproduced by the writer,
// every single-byte corruption of its header, truncations, payload placement, out-of-range
// header fields, the two-file loader, and `fwtool image create/info` on images from our writer
// and from an independent one.
#include "fixture.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <unistd.h>
#include <vector>

#include "datablk.h"
#include "image.h"
#include "image_file.h"
#include "md5.h"

namespace
{

using fwtest::hex;

using fwtest::run_program;
using fwtest::StdoutCapture;
using fwtest::TempDir;

const char kAbcMd5[] = "900150983cd24fb0d6963f7d28e17f72";
const char kXyzMd5[] = "d16fb36f0911f878998c136191af705e";
const char kEmptyMd5[] = "d41d8cd98f00b204e9800998ecf8427e";

std::string unhex(const std::string &h)
{
    std::string s;
    for (size_t i = 0; i + 1 < h.size(); i += 2)
        s += (char)std::stoi(h.substr(i, 2), nullptr, 16);
    return s;
}

// The TEST image with kernel "abc" and root "xyz", byte by byte.
const std::string kExample = unhex("42865713544553540000000000000000"
                                   "000000004c0000004c00000003000000"
                                   "900150983cd24fb0d6963f7d28e17f72"
                                   "4f00000003000000d16fb36f0911f878"
                                   "998c136191af705e0bc97d97"
                                   "61626378797a");

// An independent header writer: bit-at-a-time CRC, explicit little-endian words.
std::string le32(uint32_t v)
{
    std::string s;
    for (int i = 0; i < 4; i++)
        s += (char)(v >> (8 * i));
    return s;
}

uint32_t crc_ref(const std::string &data)
{
    uint32_t crc = 0;
    for (unsigned char c : data) {
        crc ^= c;
        for (int b = 0; b < 8; b++)
            crc = (crc & 1) ? (crc >> 1) ^ 0xEDB88320u : crc >> 1;
    }
    return crc;
}

struct raw_header {
    std::string name = "TEST"; // padded or cut to 16 bytes as given
    uint32_t header_len = 76;
    uint32_t koff = 76, ksize = 3;
    std::string kmd5 = kAbcMd5;
    uint32_t roff = 79, rsize = 3;
    std::string rmd5 = kXyzMd5;
};

std::string build_header(const raw_header &h)
{
    std::string name = h.name;
    name.resize(16, '\0');
    std::string b = le32(0x13578642) + name + le32(h.header_len) + le32(h.koff) + le32(h.ksize) +
                    unhex(h.kmd5) + le32(h.roff) + le32(h.rsize) + unhex(h.rmd5);
    return b + le32(crc_ref(b));
}

// An image with the payloads placed where the header says; gaps are filled with '#'.
std::string build_image(const raw_header &h, const std::string &kernel, const std::string &root)
{
    std::string img = build_header(h);
    for (auto part : {std::make_pair(h.koff, kernel), std::make_pair(h.roff, root)}) {
        if (img.size() < part.first + part.second.size())
            img.resize(part.first + part.second.size(), '#');
        img.replace(part.first, part.second.size(), part.second);
    }
    return img;
}

class ImageTest : public ::testing::Test
{
  protected:
    void SetUp() override
    {
        init_datablk(&blocks_[0]);
        init_datablk(&blocks_[1]);
        memcpy(name_, "untouched", 10);
    }
    // Every path leaves the records for the caller to clean; valgrind sees whether that suffices.
    void TearDown() override
    {
        cleanup_datablk(&blocks_[0]);
        cleanup_datablk(&blocks_[1]);
    }
    std::string put(const std::string &rel, const std::string &data)
    {
        std::string p = dir_ / rel;
        EXPECT_TRUE(sim::write_file(p, data));
        return p;
    }
    std::string get(const std::string &path)
    {
        std::string data;
        EXPECT_TRUE(sim::read_file(path, &data));
        return data;
    }
    // Loads `image` and captures what was printed.
    int load(const std::string &image, std::string *out = nullptr)
    {
        std::string p = put("img", image);
        StdoutCapture cap;
        int rc = load_image_from_file(name_, blocks_, p.c_str());
        std::string text = cap.take();
        if (out != nullptr)
            *out = text;
        return rc;
    }
    void reset()
    {
        cleanup_datablk(&blocks_[0]);
        cleanup_datablk(&blocks_[1]);
        memcpy(name_, "untouched", 10);
    }
    std::string payload(int i)
    {
        return blocks_[i].data == nullptr
                   ? ""
                   : std::string((const char *)blocks_[i].data, blocks_[i].size);
    }
    std::string md5(int i)
    {
        return hex(blocks_[i].md5, MD5_DIGEST_LEN);
    }

    TempDir dir_;
    datablk blocks_[2];
    char name_[FW_NAME_LEN];
};

TEST_F(ImageTest, WriterReproducesTheExample)
{
    ASSERT_EQ(DATA_OK, load_datablk_from_file(&blocks_[0], put("k", "abc").c_str()));
    ASSERT_EQ(DATA_OK, load_datablk_from_file(&blocks_[1], put("r", "xyz").c_str()));
    uint8_t header[FW_HEADER_LEN];
    memset(header, 0xCC, sizeof(header));
    EXPECT_EQ(0, image_to_header("TEST", blocks_, header));
    EXPECT_EQ(kExample.substr(0, FW_HEADER_LEN), std::string((const char *)header, 76));

    std::string out = dir_ / "out";
    StdoutCapture cap;
    EXPECT_EQ(DATA_OK, dump_image_to_file("TEST", blocks_, out.c_str()));
    EXPECT_EQ("", cap.take());
    EXPECT_EQ(kExample, get(out));
    EXPECT_EQ(kExample, build_image(raw_header(), "abc", "xyz"));
}

TEST_F(ImageTest, ExampleLoads)
{
    std::string out;
    EXPECT_EQ(0, load(kExample, &out));
    EXPECT_EQ("", out);
    EXPECT_STREQ("TEST", name_);
    EXPECT_EQ(3u, blocks_[0].size);
    EXPECT_EQ(3u, blocks_[1].size);
    EXPECT_EQ("abc", payload(0));
    EXPECT_EQ("xyz", payload(1));
    EXPECT_EQ(kAbcMd5, md5(0));
    EXPECT_EQ(kXyzMd5, md5(1));

    // A null name buffer is allowed.
    reset();
    std::string p = put("img", kExample);
    EXPECT_EQ(0, load_image_from_file(nullptr, blocks_, p.c_str()));
}

// Any change of one header byte fails the magic (bytes 0..3) or the CRC (4..75); nothing is
// allocated or handed back.
TEST_F(ImageTest, EveryHeaderByteIsProtected)
{
    for (int i = 0; i < FW_HEADER_LEN; i++) {
        for (uint8_t flip : {0x01, 0x80, 0xFF}) {
            SCOPED_TRACE("byte " + std::to_string(i) + " xor " + std::to_string(flip));
            std::string img = kExample;
            img[i] ^= flip;
            std::string out;
            EXPECT_EQ(i < 4 ? IMAGE_ERR_MAGIC : IMAGE_ERR_CHECKSUM, load(img, &out));
            EXPECT_EQ("", out);
            EXPECT_STREQ("untouched", name_);
            EXPECT_EQ(0u, blocks_[0].size);
            EXPECT_EQ(nullptr, blocks_[0].data);
            EXPECT_EQ(nullptr, blocks_[1].data);
            reset();
        }
    }
}

struct truncation_case {
    size_t len;
    const char *output;
    bool name_written;
    bool kernel_read;
};

TEST_F(ImageTest, Truncations)
{
    const truncation_case cases[] = {
        {0, "", false, false},
        {75, "", false, false},
        {76, "fread failed to_do : done = 3 : 0 !\n", true, false},
        {78, "fread failed to_do : done = 3 : 2 !\n", true, false},
        {79, "fread failed to_do : done = 3 : 0 !\n", true, true},
        {81, "fread failed to_do : done = 3 : 2 !\n", true, true},
    };
    for (const truncation_case &c : cases) {
        SCOPED_TRACE("length " + std::to_string(c.len));
        std::string out;
        EXPECT_EQ(DATA_ERR_READ, load(kExample.substr(0, c.len), &out));
        EXPECT_EQ(c.output, out);
        EXPECT_STREQ(c.name_written ? "TEST" : "untouched", name_);
        if (c.len >= FW_HEADER_LEN) {
            // Both buffers are attached before the reads; only a completed read sets a digest.
            EXPECT_EQ(3u, blocks_[1].size);
            EXPECT_NE(nullptr, blocks_[0].data);
            EXPECT_NE(nullptr, blocks_[1].data);
            EXPECT_EQ(c.kernel_read ? kAbcMd5 : std::string(32, '0'), md5(0));
            EXPECT_EQ(std::string(32, '0'), md5(1));
        }
        reset();
    }

    // The length check comes first: a short file with a wrong magic is still short.
    std::string img = kExample.substr(0, 75);
    img[0] ^= 1;
    EXPECT_EQ(DATA_ERR_READ, load(img));
}

TEST_F(ImageTest, PayloadChangeFailsTheDigestWithBothBuffersAttached)
{
    for (size_t at : {76u, 78u, 79u, 81u}) {
        SCOPED_TRACE(at);
        std::string img = kExample;
        img[at] ^= 0x20;
        std::string out;
        EXPECT_EQ(IMAGE_ERR_CHECKSUM, load(img, &out));
        EXPECT_EQ("", out);
        EXPECT_STREQ("untouched", name_);
        EXPECT_NE(nullptr, blocks_[0].data);
        EXPECT_NE(nullptr, blocks_[1].data);
        reset();
    }
}

TEST_F(ImageTest, PayloadsMayLieAnywhere)
{
    raw_header h;
    h.header_len = 0xDEADBEEF;
    h.roff = 80;
    h.koff = 100;
    EXPECT_EQ(0, load(build_image(h, "abc", "xyz")));
    EXPECT_EQ("abc", payload(0));
    EXPECT_EQ("xyz", payload(1));
    reset();

    // Both payloads may even share their bytes.
    h.koff = 76;
    h.roff = 76;
    h.rmd5 = kAbcMd5;
    EXPECT_EQ(0, load(build_image(h, "abc", "abc")));
    EXPECT_EQ("abc", payload(1));
}

TEST_F(ImageTest, KernelPastTheEndStopsBeforeTheRoot)
{
    raw_header h;
    h.koff = 1000;
    std::string out;
    EXPECT_EQ(DATA_ERR_READ, load(build_image(h, "", "xyz"), &out));
    EXPECT_EQ("fread failed to_do : done = 3 : 0 !\n", out);
    EXPECT_STREQ("TEST", name_);
    EXPECT_EQ(std::string(32, '0'), md5(1));
}

// Offsets and sizes beyond 2^31 - 1 cannot be read through a signed 32-bit length at a 32-bit
// position; such a header is refused as short before anything is allocated.
TEST_F(ImageTest, OutOfRangeFieldsAreRefusedAsShort)
{
    struct field_case {
        const char *name;
        uint32_t raw_header::*field;
        uint32_t value;
    };
    const field_case cases[] = {
        {"kernel size 2^31", &raw_header::ksize, 0x80000000u},
        {"root size 2^32-1", &raw_header::rsize, 0xFFFFFFFFu},
        {"kernel offset 2^31", &raw_header::koff, 0x80000000u},
        {"root offset 2^32-1", &raw_header::roff, 0xFFFFFFFFu},
    };
    for (const field_case &c : cases) {
        SCOPED_TRACE(c.name);
        raw_header h;
        h.*(c.field) = c.value;
        std::string out;
        EXPECT_EQ(DATA_ERR_READ, load(build_header(h) + "abcxyz", &out));
        EXPECT_EQ("", out);
        EXPECT_EQ(0u, blocks_[0].size);
        EXPECT_EQ(0u, blocks_[1].size);
        EXPECT_EQ(nullptr, blocks_[0].data);
        EXPECT_STREQ("untouched", name_);
        reset();
    }
}

TEST_F(ImageTest, EmptyPayloadsLoadWithoutBuffers)
{
    ASSERT_EQ(DATA_OK, load_datablk_from_file(&blocks_[0], put("k", "").c_str()));
    ASSERT_EQ(DATA_OK, load_datablk_from_file(&blocks_[1], put("r", "xyz").c_str()));
    std::string out = dir_ / "out";
    ASSERT_EQ(DATA_OK, dump_image_to_file("E", blocks_, out.c_str()));
    std::string img = get(out);
    EXPECT_EQ(79u, img.size());
    reset();

    EXPECT_EQ(0, load(img));
    EXPECT_EQ(0u, blocks_[0].size);
    EXPECT_EQ(nullptr, blocks_[0].data);
    EXPECT_EQ(kEmptyMd5, md5(0));
    EXPECT_EQ("xyz", payload(1));
}

TEST_F(ImageTest, ModelNames)
{
    struct name_case {
        const char *given; // nullptr: no name
        const char *field; // the 16-byte field up to its zero padding
        const char *read;
    };
    const name_case cases[] = {
        {nullptr, "", ""},
        {"", "", ""},
        {"A", "A", "A"},
        {"ABCDEFGHIJKLMNO", "ABCDEFGHIJKLMNO", "ABCDEFGHIJKLMNO"},
        {"ABCDEFGHIJKLMNOP", "ABCDEFGHIJKLMNO", "ABCDEFGHIJKLMNO"},
        {"ABCDEFGHIJKLMNOPQRSTUVWXYZ", "ABCDEFGHIJKLMNO", "ABCDEFGHIJKLMNO"},
    };
    ASSERT_EQ(DATA_OK, load_datablk_from_file(&blocks_[0], put("k", "abc").c_str()));
    ASSERT_EQ(DATA_OK, load_datablk_from_file(&blocks_[1], put("r", "xyz").c_str()));
    datablk loaded[2];
    for (const name_case &c : cases) {
        SCOPED_TRACE(c.given == nullptr ? "(null)" : c.given);
        std::string out = dir_ / "out";
        ASSERT_EQ(DATA_OK, dump_image_to_file(c.given, blocks_, out.c_str()));
        std::string img = get(out);
        std::string field = c.field;
        field.resize(FW_NAME_LEN, '\0');
        EXPECT_EQ(field, img.substr(FW_OFF_NAME, FW_NAME_LEN));
        init_datablk(&loaded[0]);
        init_datablk(&loaded[1]);
        char name[FW_NAME_LEN];
        EXPECT_EQ(0, load_image_from_file(name, loaded, out.c_str()));
        EXPECT_STREQ(c.read, name);
        cleanup_datablk(&loaded[0]);
        cleanup_datablk(&loaded[1]);
    }

    // A field of 16 characters without a terminator reads as its first 15.
    reset();
    raw_header h;
    h.name = "0123456789abcdef";
    EXPECT_EQ(0, load(build_image(h, "abc", "xyz")));
    EXPECT_STREQ("0123456789abcde", name_);
}

TEST_F(ImageTest, OpenFailures)
{
    std::string missing = dir_ / "missing";
    StdoutCapture cap;
    EXPECT_EQ(DATA_ERR_OPEN, load_image_from_file(name_, blocks_, missing.c_str()));
    std::string bad_out = dir_ / "no/dir/img";
    EXPECT_EQ(DATA_ERR_OPEN, dump_image_to_file("TEST", blocks_, bad_out.c_str()));
    EXPECT_EQ("fopen failed on " + missing + "!\nfopen failed on " + bad_out + "!\n", cap.take());
    EXPECT_STREQ("untouched", name_);
}

// Whatever stops a write (a full device, a device without fsync, an impossible length), the
// writer reports -6 and prints nothing of its own.
TEST_F(ImageTest, WriteFailuresAreMinusSix)
{
    ASSERT_EQ(DATA_OK, load_datablk_from_file(&blocks_[0], put("k", "abc").c_str()));
    ASSERT_EQ(DATA_OK, load_datablk_from_file(&blocks_[1], put("r", "xyz").c_str()));
    StdoutCapture cap;
    EXPECT_EQ(DATA_ERR_WRITE, dump_image_to_file("TEST", blocks_, "/dev/full"));
    EXPECT_EQ(DATA_ERR_WRITE, dump_image_to_file("TEST", blocks_, "/dev/null"));
    uint32_t real = blocks_[0].size;
    blocks_[0].size = 0x7FFFFFF0u; // the root would start past 2^31 - 1
    EXPECT_EQ(DATA_ERR_WRITE, dump_image_to_file("TEST", blocks_, (dir_ / "out").c_str()));
    blocks_[0].size = real;
    EXPECT_EQ("", cap.take());
}

// The check of an image read in place, as the upgrade does it: every range is checked against
// the file's length before any payload is read (nothing printed, nothing allocated), empty
// payloads are refused, and each failure tells which part and what was found.
TEST_F(ImageTest, CheckInPlace)
{
    raw_header empty_kernel;
    empty_kernel.ksize = 0;
    empty_kernel.kmd5 = kEmptyMd5;
    empty_kernel.roff = 76;
    raw_header empty_root;
    empty_root.rsize = 0;
    empty_root.rmd5 = kEmptyMd5;
    raw_header kernel_far;
    kernel_far.koff = 1000;
    raw_header huge;
    huge.ksize = 0x7FFFFFFF;
    huge.rsize = 0x7FFFFFFF;
    raw_header high;
    high.roff = 0x80000000u;
    std::string bad_kernel = kExample;
    bad_kernel[77] ^= 1;
    std::string bad_root = kExample;
    bad_root[81] ^= 1;
    std::string bad_magic = kExample;
    bad_magic[3] ^= 1;
    std::string bad_crc = kExample;
    bad_crc[40] ^= 1;
    const struct {
        const char *name;
        std::string file;
        uint64_t claimed; // the length the caller took; 0: the file's own
        int rc;
        int payload;
        const char *out; // what the reads printed
    } rows[] = {
        {"example", kExample, 0, 0, 1, ""},
        {"header short", kExample.substr(0, 75), 0, DATA_ERR_READ, -1, ""},
        {"magic", bad_magic, 0, IMAGE_ERR_MAGIC, -1, ""},
        {"header CRC", bad_crc, 0, IMAGE_ERR_CHECKSUM, -1, ""},
        {"root one byte short", kExample.substr(0, 81), 0, DATA_ERR_READ, 1, ""},
        {"kernel past the end", build_image(kernel_far, "", "xyz"), 0, DATA_ERR_READ, 0, ""},
        {"2 GiB payloads in 82 bytes", build_image(huge, "abc", "xyz"), 0, DATA_ERR_READ, 0, ""},
        {"root at 2^31", build_header(high) + "abcxyz", 0, DATA_ERR_READ, 1, ""},
        {"empty kernel", build_image(empty_kernel, "", "xyz"), 0, IMAGE_ERR_EMPTY, 0, ""},
        {"empty root", build_image(empty_root, "abc", ""), 0, IMAGE_ERR_EMPTY, 1, ""},
        {"kernel changed", bad_kernel, 0, IMAGE_ERR_CHECKSUM, 0, ""},
        {"root changed", bad_root, 0, IMAGE_ERR_CHECKSUM, 1, ""},
        // The file shrank after its length was taken: the read itself comes up short.
        {"shrank", kExample.substr(0, 81), 82, DATA_ERR_READ, 1,
         "fread failed to_do : done = 3 : 2 !\n"},
    };
    for (const auto &r : rows) {
        SCOPED_TRACE(r.name);
        std::string p = put("img", r.file);
        FILE *f = fopen(p.c_str(), "rb");
        ASSERT_NE(nullptr, f);
        fw_image_header hdr;
        fw_image_fault fault;
        memset(&fault, 0x5A, sizeof(fault));
        StdoutCapture cap;
        int rc = check_image_stream(f, r.claimed != 0 ? r.claimed : r.file.size(), &hdr, &fault,
                                    nullptr);
        std::string out = cap.take();
        fclose(f);
        EXPECT_EQ(r.rc, rc);
        EXPECT_EQ(r.out, out);
        if (rc == 0)
            continue;
        EXPECT_EQ(r.payload, fault.payload);
        EXPECT_EQ(r.claimed != 0, fault.call != nullptr);
        if (rc == IMAGE_ERR_MAGIC) {
            EXPECT_EQ(0x12578642u, hdr.magic);
        }
        if (rc == IMAGE_ERR_CHECKSUM && r.payload < 0) {
            EXPECT_EQ(crc_ref(r.file.substr(0, 72)), fault.crc);
            EXPECT_NE(fault.crc, hdr.header_crc);
        }
        if (rc == IMAGE_ERR_CHECKSUM && r.payload >= 0) {
            std::string payload = r.file.substr(r.payload == 0 ? 76 : 79, 3);
            EXPECT_EQ(hex((const uint8_t *)fwtest::md5_of(payload).data(), MD5_DIGEST_LEN),
                      hex(fault.md5, MD5_DIGEST_LEN));
        }
    }
}

TEST_F(ImageTest, TwoFileLoader)
{
    std::string k = put("k", std::string(40000, 'k'));
    std::string r = put("r", "root");
    memset(blocks_[0].md5, 0x5A, MD5_DIGEST_LEN);
    memset(blocks_[1].md5, 0x5A, MD5_DIGEST_LEN);
    EXPECT_EQ(0, load_image_from_file331(blocks_, k.c_str(), r.c_str()));
    EXPECT_EQ(std::string(40000, 'k'), payload(0));
    EXPECT_EQ("root", payload(1));
    EXPECT_EQ("5a5a5a5a5a5a5a5a5a5a5a5a5a5a5a5a", md5(0));
    EXPECT_EQ("5a5a5a5a5a5a5a5a5a5a5a5a5a5a5a5a", md5(1));
    reset();

    std::string missing = dir_ / "missing";
    {
        StdoutCapture cap;
        EXPECT_EQ(DATA_ERR_OPEN, load_image_from_file331(blocks_, k.c_str(), missing.c_str()));
        EXPECT_EQ("fopen failed on " + missing + "!\n", cap.take());
        EXPECT_EQ(40000u, blocks_[0].size);
        EXPECT_EQ(nullptr, blocks_[1].data);
    }
    reset();
    {
        StdoutCapture cap;
        EXPECT_EQ(DATA_ERR_OPEN, load_image_from_file331(blocks_, missing.c_str(), r.c_str()));
        EXPECT_EQ("fopen failed on " + missing + "!\n", cap.take());
        EXPECT_EQ(nullptr, blocks_[0].data);
        EXPECT_EQ(nullptr, blocks_[1].data);
    }
    reset();

    // Empty files load as empty blocks.
    std::string e = put("e", "");
    EXPECT_EQ(0, load_image_from_file331(blocks_, e.c_str(), e.c_str()));
    EXPECT_EQ(0u, blocks_[0].size);
    EXPECT_EQ(nullptr, blocks_[0].data);
    EXPECT_EQ(nullptr, blocks_[1].data);
}

// A file one byte past what a signed 32-bit count carries is refused before any allocation,
// with the code alone: the loader has no message of its own for it.
TEST_F(ImageTest, TwoFileLoaderRefusesAFileTooLongSilently)
{
    std::string k = put("k", "abc");
    std::string big = put("big", "");
    // Sparse: takes no room. truncate64: the length does not fit a 32-bit target's off_t.
    ASSERT_EQ(0, truncate64(big.c_str(), 0x80000000LL));
    StdoutCapture cap;
    EXPECT_EQ(DATA_ERR_SEEK, load_image_from_file331(blocks_, k.c_str(), big.c_str()));
    EXPECT_EQ("", cap.take());
    EXPECT_EQ("abc", payload(0));
    EXPECT_EQ(0u, blocks_[1].size);
    EXPECT_EQ(nullptr, blocks_[1].data);
}

// ---- fwtool image

class FwtoolImageTest : public ::testing::Test
{
  protected:
    fwtest::run_result fwtool(const std::vector<std::string> &args)
    {
        std::vector<std::string> a = {"image"};
        a.insert(a.end(), args.begin(), args.end());
        return run_program(fwtest::fwtool_binary(), "fwtool", a);
    }
    std::string put(const std::string &rel, const std::string &data)
    {
        std::string p = dir_ / rel;
        EXPECT_TRUE(sim::write_file(p, data));
        return p;
    }

    TempDir dir_;
};

const char kExampleInfo[] =
    "model:          TEST\n"
    "magic:          0x13578642 (good)\n"
    "header length:  76\n"
    "kernel:         offset 76, size 3, md5 900150983cd24fb0d6963f7d28e17f72\n"
    "root:           offset 79, size 3, md5 d16fb36f0911f878998c136191af705e\n"
    "header crc:     stored 0x977DC90B, computed 0x977DC90B (good)\n"
    "kernel digest:  good\n"
    "root digest:    good\n"
    "image:          good\n";

TEST_F(FwtoolImageTest, CreateThenInfo)
{
    std::string img = dir_ / "fw.bin";
    auto r = fwtool({"create", "--model", "TEST", "--kernel", put("k", "abc"), "--root",
                     put("r", "xyz"), "-o", img});
    EXPECT_EQ(0, r.status) << r.err;
    EXPECT_EQ(img + ": model 'TEST', kernel 3 bytes, root 3 bytes\n", r.out);
    std::string written;
    ASSERT_TRUE(sim::read_file(img, &written));
    EXPECT_EQ(kExample, written);

    r = fwtool({"info", img});
    EXPECT_EQ(0, r.status) << r.err;
    EXPECT_EQ(kExampleInfo, r.out);
    EXPECT_EQ("", r.err);
}

// Images from the independent writer above: the hand-assembled example, and one with the root
// first, gaps and an odd header length.
TEST_F(FwtoolImageTest, InfoJudgesIndependentImages)
{
    auto r = fwtool({"info", put("example", kExample)});
    EXPECT_EQ(0, r.status);
    EXPECT_EQ(kExampleInfo, r.out);

    raw_header h;
    h.name = "";
    h.header_len = 0;
    h.roff = 90;
    h.koff = 200;
    r = fwtool({"info", put("placed", build_image(h, "abc", "xyz"))});
    EXPECT_EQ(0, r.status) << r.out;
    EXPECT_NE(std::string::npos, r.out.find("model:          (none)\n"));
    EXPECT_NE(std::string::npos, r.out.find("kernel:         offset 200, size 3"));
}

struct info_bad_case {
    const char *name;
    std::string image;
    const char *expect_line;
    const char *not_shown = nullptr; // what comes after a check that failed
};

TEST_F(FwtoolImageTest, InfoReportsEachBadPart)
{
    std::string bad_magic = kExample;
    bad_magic[0] = 0;
    std::string bad_crc = kExample;
    bad_crc[72] ^= 1;
    std::string bad_kernel = kExample;
    bad_kernel[76] = 'A';
    std::string bad_root = kExample;
    bad_root[81] = 'Z';
    raw_header past;
    past.roff = 200;
    const info_bad_case cases[] = {
        {"magic", bad_magic, "magic:          0x13578600 (bad)\n", "model:"},
        {"crc", bad_crc, "header crc:     stored 0x977DC90A, computed 0x977DC90B (bad)\n",
         "digest:"},
        {"kernel", bad_kernel, "kernel digest:  bad (computed 35593b7ce5020eae3ca68fd5b6f3e031)\n"},
        {"root", bad_root, "root digest:    bad (computed 630866ba466680fdbcb956aabb8a77f5)\n"},
        {"root past the end", build_header(past) + "abc",
         "root digest:    bad (payload ends at 203, the file is 79 bytes)\n"},
        {"truncated payload", kExample.substr(0, 80),
         "root digest:    bad (payload ends at 82, the file is 80 bytes)\n"},
        {"short header", kExample.substr(0, 40), "40 bytes, shorter than the 76-byte header\n"},
        // Well-formed, but the device could not boot it.
        {"empty kernel", fwtest::image_file("TEST", "", "xyz"),
         "kernel digest:  bad (empty: an image without a kernel cannot boot)\n"},
        {"empty root", fwtest::image_file("TEST", "abc", ""),
         "root digest:    bad (empty: an image without a root cannot boot)\n"},
    };
    for (const info_bad_case &c : cases) {
        SCOPED_TRACE(c.name);
        auto r = fwtool({"info", put("img", c.image)});
        EXPECT_EQ(1, r.status);
        EXPECT_NE(std::string::npos, r.out.find(c.expect_line)) << r.out;
        EXPECT_NE(std::string::npos, r.out.find("image:          bad\n")) << r.out;
        if (c.not_shown != nullptr) {
            EXPECT_EQ(std::string::npos, r.out.find(c.not_shown)) << r.out;
        }
        EXPECT_EQ("", r.err);
    }
}

TEST_F(FwtoolImageTest, UsageAndUnreadableInput)
{
    struct usage_case {
        std::vector<std::string> args;
        int status;
        std::string err; // start of standard error; "" for none
        std::string out; // start of standard output
    };
    std::string k = put("k", "abc");
    std::string empty = put("empty", "");
    std::string missing = dir_ / "missing";
    // Every bad argument is told in the one wording, with where help is.
    const std::string try_create = "; try 'fwtool image create --help'\n";
    const std::string try_info = "; try 'fwtool image info --help'\n";
    const usage_case cases[] = {
        {{}, 2, "fwtool image: a command is needed; try 'fwtool image --help'\n", ""},
        {{"--help"}, 0, "", "usage: fwtool image <command>"},
        {{"create", "--help"}, 0, "", "usage: fwtool image create --model NAME"},
        {{"info", "-h"}, 0, "", "usage: fwtool image info [--json] IMAGE"},
        {{"frobnicate"},
         2,
         "fwtool image: unknown command 'frobnicate'; try 'fwtool image --help'\n",
         ""},
        {{"help"}, 0, "", "usage: fwtool image <command>"},
        // "-" is standard output for the image written (the summary goes to standard error) and
        // standard input for the image read (here /dev/null).
        {{"create", "--model", "M", "--kernel", k, "--root", k, "-o", "-"},
         0,
         "-: model 'M', kernel 3 bytes, root 3 bytes\n",
         std::string("\x42\x86\x57\x13", 4)},
        {{"info", "-"}, 1, "", "-: 0 bytes, shorter than the 76-byte header\n"},
        {{"help", "create"}, 0, "", "usage: fwtool image create --model NAME"},
        {{"create", "--model=M", "--kernel=" + k, "--root=" + k, "-o", dir_ / "eq"},
         0,
         "",
         (dir_ / "eq") + ": model 'M', kernel 3 bytes, root 3 bytes\n"},
        {{"info"}, 2, "fwtool image info: expected one IMAGE argument" + try_info, ""},
        {{"info", "a", "b"}, 2, "fwtool image info: expected one IMAGE argument" + try_info, ""},
        {{"info", missing}, 2, "fwtool image info: cannot open '", ""},
        {{"info", dir_.path()}, 2, "fwtool image info: '", ""},
        {{"create", "--model", "M", "--kernel", k, "--root", k},
         2,
         "fwtool image create: -o is required" + try_create,
         ""},
        {{"create", "--model", "M", "--kernel", k, "--root", k, "-o"},
         2,
         "fwtool image create: -o needs a value" + try_create,
         ""},
        {{"create", "--bogus"},
         2,
         "fwtool image create: unknown argument '--bogus'" + try_create,
         ""},
        {{"create", "--bogus=1"},
         2,
         "fwtool image create: unknown argument '--bogus=1'" + try_create,
         ""},
        {{"create", "--model", "ABCDEFGHIJKLMNOP", "--kernel", k, "--root", k, "-o", "x"},
         2,
         "fwtool image create: model name 'ABCDEFGHIJKLMNOP' is longer than 15 characters" +
             try_create,
         ""},
        {{"create", "--model", "M", "--kernel", missing, "--root", k, "-o", dir_ / "x"},
         2,
         "fwtool image create: cannot open kernel file '",
         ""},
        {{"create", "--model", "M", "--kernel", k, "--root", dir_.path(), "-o", dir_ / "x"},
         2,
         "fwtool image create: root file '",
         ""},
        {{"create", "--model", "M", "--kernel", k, "--root", k, "-o", dir_ / "no/dir/x"},
         2,
         "fwtool image create: writing '",
         ""},
        {{"create", "--model", "M", "--kernel", k, "--root", k, "-o", "/dev/full"},
         1,
         "fwtool image create: writing '/dev/full' failed: No space left on device\n",
         ""},
        {{"create", "--model", "M", "--kernel", empty, "--root", k, "-o", dir_ / "x"},
         2,
         "fwtool image create: kernel file '",
         ""},
        {{"create", "--model", "M", "--kernel", k, "--root", empty, "-o", dir_ / "x"},
         2,
         "fwtool image create: root file '",
         ""},
        {{"info", "--json"}, 2, "fwtool image info: expected one IMAGE argument" + try_info, ""},
    };
    for (const usage_case &c : cases) {
        std::string trace;
        for (const std::string &a : c.args)
            trace += a + " ";
        SCOPED_TRACE(trace);
        auto r = fwtool(c.args);
        EXPECT_EQ(c.status, r.status);
        EXPECT_EQ(0u, r.err.find(c.err)) << r.err;
        EXPECT_EQ(0u, r.out.find(c.out)) << r.out;
        // Failures told on standard error say so in one line.
        if (c.status != 0 && !c.err.empty()) {
            EXPECT_EQ(1, std::count(r.err.begin(), r.err.end(), '\n')) << r.err;
        }
    }
}

} // namespace
