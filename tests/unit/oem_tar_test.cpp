// SPDX-License-Identifier: MIT
// The OEM archive's tar reader over hand-assembled streams: what reaches the sink from sound
// archives, and one row per hostile archive that must be refused whole. Every stream is fed whole
// and in uneven pieces, which must read the same.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "oem_tar.h"

namespace
{

// A ustar header (POSIX magic unless `gnu`), checksum filled in.
std::string header(const std::string &name, char type, size_t size, unsigned mode = 0644,
                   bool gnu = false)
{
    std::string h(512, '\0');
    auto octal = [&h](size_t off, size_t len, unsigned long v) {
        char buf[32];
        snprintf(buf, sizeof(buf), "%0*lo", (int)len - 1, v);
        h.replace(off, len - 1, buf);
    };
    h.replace(0, std::min<size_t>(name.size(), 100), name.substr(0, 100));
    octal(100, 8, mode);
    octal(108, 8, 1234);
    octal(116, 8, 1234);
    octal(124, 12, size);
    octal(136, 12, 1700000000);
    h[156] = type;
    h.replace(257, 8,
              gnu ? std::string("ustar  \0", 8)
                  : std::string("ustar\0"
                                "00",
                                8));
    return h;
}

// Signs the header that begins `h` (what follows it is left alone).
std::string with_sum(std::string h)
{
    h.replace(148, 8, "        ");
    unsigned sum = 0;
    for (size_t i = 0; i < 512; i++)
        sum += (unsigned char)h[i];
    char chk[8];
    snprintf(chk, sizeof(chk), "%06o", sum);
    h.replace(148, 7, std::string(chk, 7));
    return h;
}

// One pax record "LEN key=value\n", its length counting itself.
std::string rec(const std::string &kv)
{
    size_t n = kv.size() + 2;
    size_t len = n + std::to_string(n).size();
    len = n + std::to_string(len).size();
    return std::to_string(len) + " " + kv + "\n";
}

// Replaces bytes of a header and signs it again: the field is wrong, the checksum right.
std::string patch(const std::string &h, size_t off, const std::string &bytes)
{
    std::string p = h;
    p.replace(off, bytes.size(), bytes);
    return with_sum(p);
}

std::string padded(const std::string &data)
{
    return data + std::string((512 - data.size() % 512) % 512, '\0');
}

std::string member(const std::string &name, char type, const std::string &data = "",
                   unsigned mode = 0644)
{
    return with_sum(header(name, type, data.size(), mode)) + padded(data);
}

std::string pax(const std::string &records)
{
    return member("././@PaxHeader", 'x', records);
}

std::string gnu_long(const std::string &name)
{
    return with_sum(header("././@LongLink", 'L', name.size() + 1, 0644, true)) +
           padded(name + '\0');
}

const std::string kEnd(1024, '\0');

// What the sink was told: "D name mode|" for a directory, "F name mode:data|" for a file.
struct recorder {
    std::string log;
    int fail_at = -1; // refuse the n-th event
    int events = 0;
};

int record(void *ctx, const oem_tar_event *ev)
{
    recorder *r = static_cast<recorder *>(ctx);
    char mode[16];
    snprintf(mode, sizeof(mode), "%o", ev->mode);
    if (r->events++ == r->fail_at)
        return -1;
    switch (ev->kind) {
    case OEM_TAR_DIR:
        r->log += std::string("D ") + ev->name + " " + mode + "|";
        break;
    case OEM_TAR_FILE:
        r->log += std::string("F ") + ev->name + " " + mode + ":";
        break;
    case OEM_TAR_DATA:
        r->log.append(reinterpret_cast<const char *>(ev->data), ev->len);
        break;
    default:
        r->log += "|";
    }
    return 0;
}

// Reads `stream` in pieces of `piece` bytes (0: whole); the result code, the sink's log in `log`.
int read_stream(const std::string &stream, size_t piece, std::string *log, std::string *member)
{
    oem_tar t;
    recorder r;
    oem_tar_init(&t);
    size_t step = piece == 0 ? stream.size() : piece;
    int rc = 0;
    for (size_t off = 0; rc == 0 && off < stream.size(); off += step) {
        size_t n = std::min(step, stream.size() - off);
        rc =
            oem_tar_feed(&t, reinterpret_cast<const uint8_t *>(stream.data()) + off, n, record, &r);
    }
    rc = oem_tar_finish(&t);
    *log = r.log;
    *member = oem_tar_member(&t);
    return rc;
}

struct tar_row {
    const char *name;
    std::string stream;
    int rc;
    std::string log; // what the sink must have been told (sound rows only)
};

TEST(OemTar, SoundArchivesReachTheSinkMasked)
{
    const std::string good = member("etc/", '5', "", 0755) + member("etc/oem.conf", '0', "oem=1\n");
    const std::string big(1300, 'b');
    const tar_row rows[] = {
        {"files and a directory", good + kEnd, 0, "D etc 755|F etc/oem.conf 644:oem=1\n|"},
        {"a lone end block", good + std::string(512, '\0'), 0,
         "D etc 755|F etc/oem.conf 644:oem=1\n|"},
        {"empty archive", kEnd, 0, ""},
        {"data over several blocks", member("big", '0', big) + kEnd, 0, "F big 644:" + big + "|"},
        // Modes: any execute bit makes 0755, write bits for others go, set-id is refused elsewhere.
        {"modes masked",
         member("d/", '5', "", 0777) + member("p/", '5', "", 0500) + member("x", '0', "", 0700) +
             member("w", '0', "", 0666) + kEnd,
         0, "D d 755|D p 700|F x 755:|F w 644:|"},
        // The directory itself keeps its own mode however the archive names it.
        {"./ with mode 0777", member("./", '5', "", 0777) + member(".", '5', "", 0777) + kEnd, 0,
         ""},
        {"dot components cleaned", member("./a//b/./c", '0', "x") + kEnd, 0, "F a/b/c 644:x|"},
        {"POSIX prefix", patch(header("name", '0', 0), 345, "pre/fix") + kEnd, 0,
         "F pre/fix/name 644:|"},
        {"GNU header: no prefix", patch(header("name", '0', 0, 0644, true), 345, "../x") + kEnd, 0,
         "F name 644:|"},
        {"GNU long name", gnu_long(std::string(150, 'n')) + member("short", '0') + kEnd, 0,
         "F " + std::string(150, 'n') + " 644:|"},
        {"pax path and descriptive records",
         pax(rec("path=a/long") + rec("mtime=1700000000")) + member("a/trunc", '0', "y") + kEnd, 0,
         "F a/long 644:y|"},
        {"pax global comment", member("pax_global_header", 'g', rec("comment=")) + good + kEnd, 0,
         "D etc 755|F etc/oem.conf 644:oem=1\n|"},
        {"base-256 size",
         patch(header("f", '0', 0), 124, std::string("\x80\0\0\0\0\0\0\0\0\0\0\x01", 12)) +
             padded("z") + kEnd,
         0, "F f 644:z|"},
    };
    for (const tar_row &row : rows) {
        for (size_t piece : {0, 1, 7, 512, 700}) {
            SCOPED_TRACE(std::string(row.name) + ", pieces of " + std::to_string(piece));
            std::string log, name;
            EXPECT_EQ(row.rc, read_stream(row.stream, piece, &log, &name));
            EXPECT_EQ(row.log, log);
        }
    }
}

struct refusal_row {
    const char *name;
    std::string stream;
    int rc;
};

TEST(OemTar, HostileArchivesAreRefusedWhole)
{
    const std::string good = member("etc/", '5', "", 0755) + member("etc/oem.conf", '0', "x");
    const std::string dev = member("mtdblock1", '4', "", 0666);
    const std::string huge = std::string(OEM_TAR_STREAM_MAX, '\0');
    const refusal_row rows[] = {
        // A leading NUL in a number field: one tar skips it, another reads 0.
        {"mode with a leading NUL",
         patch(member("suid", '0', "x"), 100,
               std::string("\0"
                           "004755",
                           7)),
         OEM_TAR_ERR_HEADER},
        {"size with a leading NUL",
         patch(header("smuggle", '0', 0), 124,
               std::string("\0"
                           "0000001000",
                           11)) +
             dev + kEnd,
         OEM_TAR_ERR_HEADER},
        {"size with a leading space", patch(header("f", '0', 0), 124, " 0000000000") + kEnd,
         OEM_TAR_ERR_HEADER},
        {"digits after the terminator",
         patch(header("f", '0', 0), 124,
               std::string("0\0"
                           "1",
                           3)) +
             kEnd,
         OEM_TAR_ERR_HEADER},
        {"bad checksum",
         [] {
             std::string h = member("f", '0', "x");
             h[0] ^= 1; // one bit after signing
             return h + kEnd;
         }(),
         OEM_TAR_ERR_HEADER},
        {"no ustar magic", patch(header("f", '0', 0), 257, std::string(8, '\0')) + kEnd,
         OEM_TAR_ERR_HEADER},
        // Pax records must be exactly "LEN SP KEY=VALUE LF".
        {"tab after a pax length", pax("10\tsize=0\n") + member("f", '0', dev) + kEnd,
         OEM_TAR_ERR_PAX},
        {"tab record before a path", pax("6\tx=y\n" + rec("path=ab")) + member("f", '0') + kEnd,
         OEM_TAR_ERR_PAX},
        {"negative pax length", pax("-6 x=y\n") + member("f", '0') + kEnd, OEM_TAR_ERR_PAX},
        {"short pax length", pax("3 path=x\n") + member("f", '0') + kEnd, OEM_TAR_ERR_PAX},
        {"pax length past the data", pax("99 path=x\n") + member("f", '0') + kEnd, OEM_TAR_ERR_PAX},
        {"pax length with a leading zero", pax("012 path=ab\n") + member("f", '0') + kEnd,
         OEM_TAR_ERR_PAX},
        {"pax size record", pax("10 size=0\n") + member("f", '0', dev) + kEnd, OEM_TAR_ERR_PAX},
        {"pax link record", pax(rec("linkpath=/etc")) + member("f", '0') + kEnd, OEM_TAR_ERR_PAX},
        {"pax path in a global header", member("g", 'g', "10 path=x\n") + good + kEnd,
         OEM_TAR_ERR_PAX},
        // Names.
        {"absolute name", good + member("/etc/evil", '0', "x") + kEnd, OEM_TAR_ERR_NAME},
        {"name leading out", good + member("etc/../../evil", '0', "x") + kEnd, OEM_TAR_ERR_NAME},
        {".. via a GNU long name", gnu_long("../../evil") + member("harmless", '0') + kEnd,
         OEM_TAR_ERR_NAME},
        {".. via a pax path", pax("19 path=../../evil\n") + member("harmless", '0') + kEnd,
         OEM_TAR_ERR_NAME},
        {"empty name", member("", '0', "x") + kEnd, OEM_TAR_ERR_NAME},
        {"L header with an empty name", patch(gnu_long("n"), 0, std::string(1, '\0')) + dev + kEnd,
         OEM_TAR_ERR_NAME},
        {"empty L name", gnu_long("") + member("f", '0') + kEnd, OEM_TAR_ERR_NAME},
        {"name not ending in its field", member(std::string(100, 'n'), '0') + kEnd,
         OEM_TAR_ERR_NAME},
        {"file named like a directory", member("etc/", '0', "x") + kEnd, OEM_TAR_ERR_NAME},
        {"two long names for one member", gnu_long("a") + gnu_long("b") + member("f", '0') + kEnd,
         OEM_TAR_ERR_NAME},
        {"long name for no member", good + gnu_long("a") + kEnd, OEM_TAR_ERR_END},
        // Kinds and modes.
        {"symbolic link", good + member("escape", '2') + kEnd, OEM_TAR_ERR_TYPE},
        {"hard link", good + member("hard", '1') + kEnd, OEM_TAR_ERR_TYPE},
        {"plain file with a link name",
         good + patch(header("hard", '0', 0), 157, "etc/oem.conf") + kEnd, OEM_TAR_ERR_TYPE},
        {"character device", good + member("tty", '3') + kEnd, OEM_TAR_ERR_TYPE},
        {"block device", good + dev + kEnd, OEM_TAR_ERR_TYPE},
        {"FIFO", good + member("fifo", '6') + kEnd, OEM_TAR_ERR_TYPE},
        {"contiguous file", good + member("c", '7') + kEnd, OEM_TAR_ERR_TYPE},
        {"set-user-id file", good + member("suid", '0', "x", 04755) + kEnd, OEM_TAR_ERR_MODE},
        {"set-group-id directory", member("d/", '5', "", 02755) + kEnd, OEM_TAR_ERR_MODE},
        {"sticky directory", member("d/", '5', "", 01777) + kEnd, OEM_TAR_ERR_MODE},
        {"file type in the mode", member("f", '0', "", 0100644) + kEnd, OEM_TAR_ERR_MODE},
        // The stream's end.
        {"member after a zero block", good + std::string(512, '\0') + member("escape", '2') + kEnd,
         OEM_TAR_ERR_TRAILER},
        {"ends inside a member", member("f", '0', std::string(1000, 'x')).substr(0, 512),
         OEM_TAR_ERR_END},
        {"no end block", good, OEM_TAR_ERR_END},
        {"not a whole block", good + kEnd + "x", OEM_TAR_ERR_END},
        {"empty stream", "", OEM_TAR_ERR_END},
        // Size.
        {"member over 16 MiB", with_sum(header("f", '0', OEM_TAR_STREAM_MAX + 1)) + kEnd,
         OEM_TAR_ERR_SIZE},
        {"base-256 size over 16 MiB",
         patch(header("f", '0', 0), 124, std::string("\x80\0\0\0\0\0\0\0\x01\0\0\x01", 12)) + kEnd,
         OEM_TAR_ERR_SIZE},
        {"stream over 16 MiB", with_sum(header("f", '0', huge.size() - 512)) + huge,
         OEM_TAR_ERR_SIZE},
    };
    for (const refusal_row &row : rows) {
        for (size_t piece : {0, 1, 513}) {
            if (piece == 1 && row.stream.size() > 1 << 20)
                continue; // a byte at a time would only be slow
            SCOPED_TRACE(std::string(row.name) + ", pieces of " + std::to_string(piece));
            std::string log, name;
            EXPECT_EQ(row.rc, read_stream(row.stream, piece, &log, &name));
        }
    }
}

TEST(OemTar, RefusalsNameTheMemberAndStopTheSink)
{
    std::string log, name;
    const std::string stream = member("ok", '0', "x") + member("bad/../../x", '0', "y") + kEnd;
    EXPECT_EQ(OEM_TAR_ERR_NAME, read_stream(stream, 0, &log, &name));
    EXPECT_EQ("bad/../../x", name);
    EXPECT_EQ("F ok 644:x|", log);
    EXPECT_STREQ("has an empty, absolute or unsafe name", oem_tar_reason(OEM_TAR_ERR_NAME));

    // A sink that cannot make a member refuses the archive; nothing more reaches it.
    oem_tar t;
    recorder r;
    r.fail_at = 1;
    oem_tar_init(&t);
    const std::string two = member("a", '0', "x") + member("b", '0', "y") + kEnd;
    EXPECT_EQ(OEM_TAR_ERR_SINK, oem_tar_feed(&t, reinterpret_cast<const uint8_t *>(two.data()),
                                             two.size(), record, &r));
    EXPECT_EQ(OEM_TAR_ERR_SINK, oem_tar_finish(&t));
    EXPECT_EQ("F a 644:", r.log);
    EXPECT_EQ(2, r.events);
}

} // namespace
