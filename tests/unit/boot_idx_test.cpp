// SPDX-License-Identifier: MIT
// The boot-configuration module in process: the pure workers on hand-made script fields and
// blocks, the operation frame and the bank state on a simulated device.
#include "fixture.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <climits>
#include <csignal>
#include <cstring>
#include <random>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

#include "bank_state.h"
#include "boot_cmd.h"
#include "lock_files.h"
#include "rb_config.h"
#include "boot_wrappers.h"

// Lets a test refuse the script's working copy (the one 512-byte allocation of an edit). Every
// other request goes to the allocator that free() belongs to: the C library's, or in the
// sanitizer build AddressSanitizer's, which would abort on a block it did not hand out.
#if defined(__SANITIZE_ADDRESS__)
#define FWTEST_ASAN_MALLOC 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define FWTEST_ASAN_MALLOC 1
#endif
#endif
#ifdef FWTEST_ASAN_MALLOC
extern "C" void *__interceptor_malloc(size_t size);
static void *next_malloc(size_t size)
{
    return __interceptor_malloc(size);
}
#else
extern "C" void *__libc_malloc(size_t size);
static void *next_malloc(size_t size)
{
    return __libc_malloc(size);
}
#endif
static std::atomic<bool> g_refuse_script_copy{false};
extern "C" void *malloc(size_t size) noexcept
{
    if (size == RB_SCRIPT_LEN && g_refuse_script_copy.load())
        return nullptr;
    return next_malloc(size);
}

namespace
{

using fwtest::SimDeviceTest;
using fwtest::StdoutCapture;

const std::string kSample = sim::boot_script(0);

// A script field: the text, its NUL, and a filler that must survive behind the NUL.
std::string make_field(const std::string &text, char filler = '\0')
{
    std::string f(RB_SCRIPT_LEN, filler);
    f.replace(0, text.size(), text);
    if (text.size() < RB_SCRIPT_LEN)
        f[text.size()] = '\0';
    return f;
}

std::string text_of(const std::string &field)
{
    return field.substr(0, strnlen(field.data(), field.size()));
}

struct edit_result {
    int result;
    int modified;
    std::string field;
    int refusal;
};

edit_result run_op(const std::string &field, int op, int arg = 0, const char *text = nullptr)
{
    edit_result r{0, 0, field, BOOT_REFUSE_NONE};
    r.result =
        boot_script_run(&r.field[0], op, arg, const_cast<char *>(text), &r.modified, &r.refusal);
    return r;
}

std::string replace(std::string s, const std::string &from, const std::string &to)
{
    size_t at = s.find(from);
    return at == std::string::npos ? s : s.replace(at, from.size(), to);
}

struct edit_row {
    const char *what;
    std::string script;
    int op;
    int arg;
    const char *text;
    std::string expect; // the edited text
    int modified;
    int result = 0; // BOOT_ERR_REFUSED: the field stays as it was
    int refusal = BOOT_REFUSE_NONE;
};

TEST(BootScriptEdit, WorkedExamplesAndEdgeCases)
{
    const std::string no_console = replace(kSample, " console=ttyS0,115200", "");
    const std::string scrubbed = "scrub -o 0x03000000 -l 0x0a000000\n" + kSample;
    const edit_row rows[] = {
        {"set 1", kSample, BOOT_OP_SET_IDX, 1, nullptr, sim::boot_script(1), 1},
        {"set same bank rewrites", kSample, BOOT_OP_SET_IDX, 0, nullptr, kSample, 1},
        // The first "root" is not followed by a bank digit: the '=' is not what the edit writes.
        {"set with first root not a bank", "exec -c \"root=/dev/ram0\"\nfis load kernel0\n",
         BOOT_OP_SET_IDX, 1, nullptr, "exec -c \"root=/dev/ram0\"\nfis load kernel0\n", 0,
         BOOT_ERR_REFUSED, BOOT_REFUSE_NO_BANK_DIGIT},
        {"set without root", "fis load kernel0\n", BOOT_OP_SET_IDX, 1, nullptr,
         "fis load kernel0\n", 0},
        {"set with kernel at the text end", "load root0 kernel", BOOT_OP_SET_IDX, 1, nullptr,
         "load root0 kernel", 0, BOOT_ERR_REFUSED, BOOT_REFUSE_NO_BANK_DIGIT},
        {"ramdisk 32", kSample, BOOT_OP_SET_RAMDISK_SIZE, 32, nullptr,
         replace(kSample, ",10M", ",32M"), 1},
        {"ramdisk -1", kSample, BOOT_OP_SET_RAMDISK_SIZE, -1, nullptr,
         replace(kSample, ",10M", ",4294967295M"), 1},
        {"ramdisk keeps m", "initrd=0x0a000000,10m x", BOOT_OP_SET_RAMDISK_SIZE, 32, nullptr,
         "initrd=0x0a000000,32m x", 1},
        {"ramdisk number without its unit", "initrd=0x0a000000,512 mem=64M",
         BOOT_OP_SET_RAMDISK_SIZE, 32, nullptr, "initrd=0x0a000000,512 mem=64M", 0,
         BOOT_ERR_REFUSED, BOOT_REFUSE_NO_UNIT},
        {"ramdisk without unit letter", "initrd=0x0a000000,512\nexec\n", BOOT_OP_SET_RAMDISK_SIZE,
         32, nullptr, "initrd=0x0a000000,512\nexec\n", 0, BOOT_ERR_REFUSED, BOOT_REFUSE_NO_UNIT},
        {"ramdisk hex number", "initrd=0x0a000000,0x20M x", BOOT_OP_SET_RAMDISK_SIZE, 4, nullptr,
         "initrd=0x0a000000,4M x", 1},
        {"disable, quote ends item", kSample, BOOT_OP_DISABLE_UART, 0, nullptr, no_console, 1},
        {"disable, space ends item", "exec -c \"console=ttyS0,115200   root=/dev/ram0\"",
         BOOT_OP_DISABLE_UART, 0, nullptr, "exec -c \"root=/dev/ram0\"", 1},
        {"disable would run into next line", "a console=ttyS0\nfis load x\n", BOOT_OP_DISABLE_UART,
         0, nullptr, "a console=ttyS0\nfis load x\n", 0, BOOT_ERR_REFUSED, BOOT_REFUSE_SPANS_LINES},
        {"disable, text end ends item", "exec -c  console=ttyS0,115200", BOOT_OP_DISABLE_UART, 0,
         nullptr, "exec -c", 1},
        {"enable restores sample", no_console, BOOT_OP_ENABLE_UART, 0, nullptr, kSample, 1},
        {"enable with console anywhere", "console=x\nexec -c \"a\"", BOOT_OP_ENABLE_UART, 0,
         nullptr, "console=x\nexec -c \"a\"", 0},
        {"enable before last quote", "exec -c \"a\"\necho \"b\"\n", BOOT_OP_ENABLE_UART, 0, nullptr,
         "exec -c \"a\"\necho \"b console=ttyS0,115200\"\n", 1},
        {"enable without quote", "exec -c a\n", BOOT_OP_ENABLE_UART, 0, nullptr, "exec -c a\n", 0},
        {"exec", kSample, BOOT_OP_UPDATE_EXEC, 0, "root=/dev/ram0 initrd=0x0a000000,16M",
         replace(kSample, "initrd=0x0a000000,10M console=ttyS0,115200", "initrd=0x0a000000,16M"),
         1},
        {"exec without closing quote", "exec -c \"a\n", BOOT_OP_UPDATE_EXEC, 0, "b",
         "exec -c \"a\n", 0},
        {"scrub added", kSample, BOOT_OP_UPDATE_SCRUB, 0, "0x0a000000", scrubbed, 1},
        {"scrub replaced", scrubbed, BOOT_OP_UPDATE_SCRUB, 0, "0x0c000000",
         replace(scrubbed, "-l 0x0a000000", "-l 0x0c000000"), 1},
        {"scrub -l then newline", "scrub -o 0x03000000 -l\nfis load\n", BOOT_OP_UPDATE_SCRUB, 0,
         "0x1", "scrub -o 0x03000000 -l\nfis load\n", 0, BOOT_ERR_REFUSED, BOOT_REFUSE_SPANS_LINES},
        {"scrub empty value", kSample, BOOT_OP_UPDATE_SCRUB, 0, "", kSample, 0, BOOT_ERR_REFUSED,
         BOOT_REFUSE_NOT_NUMBER},
        {"scrub 0x without digits", kSample, BOOT_OP_UPDATE_SCRUB, 0, "0x", kSample, 0,
         BOOT_ERR_REFUSED, BOOT_REFUSE_NOT_NUMBER},
        {"scrub decimal", scrubbed, BOOT_OP_UPDATE_SCRUB, 0, "4096",
         replace(scrubbed, "-l 0x0a000000", "-l 4096"), 1},
        {"scrub last line without newline", "fis load\nscrub -o 1 -l 2", BOOT_OP_UPDATE_SCRUB, 0,
         "3", "fis load\nscrub -o 1 -l 2", 0},
        {"load", kSample, BOOT_OP_UPDATE_LOAD, 0, "0x0c000000",
         replace(kSample, "0x0a000000 root0", "0x0c000000 root0"), 1},
        // The address of the kernel's load line: the root load would swallow the kernel's.
        {"load across lines", "fis load -b 0x0c000000 kernel0\nfis load root0\n",
         BOOT_OP_UPDATE_LOAD, 0, "0x0a000000", "fis load -b 0x0c000000 kernel0\nfis load root0\n",
         0, BOOT_ERR_REFUSED, BOOT_REFUSE_OTHER_LINE},
        // Written as the next edit finds it again: "0x" and hex digits.
        {"load decimal", kSample, BOOT_OP_UPDATE_LOAD, 0, "201326592",
         replace(kSample, "0x0a000000 root0", "0x0c000000 root0"), 1},
        {"load 0X", kSample, BOOT_OP_UPDATE_LOAD, 0, "0X0C000000",
         replace(kSample, "0x0a000000 root0", "0x0C000000 root0"), 1},
        // The "0x" and "root" of the command line are not the load line's.
        {"load on its -b line only",
         "fis load -b 4096 root0\nfis load kernel0\nexec -c \"initrd=0x1,10M root=/dev/ram0\"\n",
         BOOT_OP_UPDATE_LOAD, 0, "0x2",
         "fis load -b 0x2 root0\nfis load kernel0\nexec -c \"initrd=0x1,10M root=/dev/ram0\"\n", 1},
        {"load keeps the rest of its line", "fis load -b 0x1 -d root0\n", BOOT_OP_UPDATE_LOAD, 0,
         "0x2", "fis load -b 0x2 -d root0\n", 1},
        {"scrub words in the command line only",
         "fis load kernel0\nexec -c \"edac.scrub=1 -l x\"\n", BOOT_OP_UPDATE_SCRUB, 0, "0x1",
         "scrub -o 0x03000000 -l 0x1\nfis load kernel0\nexec -c \"edac.scrub=1 -l x\"\n", 1},
        {"scrub line without its -l", "scrub -o 0x03000000\nexec -c \"a -l b\"\n",
         BOOT_OP_UPDATE_SCRUB, 0, "0x1", "scrub -o 0x03000000\nexec -c \"a -l b\"\n", 0,
         BOOT_ERR_REFUSED, BOOT_REFUSE_OTHER_LINE},
        {"scrub line after others", "exec -c \"scrub\"\n  scrub -o 1 -l 2\n", BOOT_OP_UPDATE_SCRUB,
         0, "3", "exec -c \"scrub\"\n  scrub -o 1 -l 3\n", 1},
        {"exec empty", kSample, BOOT_OP_UPDATE_EXEC, 0, "", kSample, 0, BOOT_ERR_REFUSED,
         BOOT_REFUSE_EMPTY_CMDLINE},
        {"exec blanks", kSample, BOOT_OP_UPDATE_EXEC, 0, "   ", kSample, 0, BOOT_ERR_REFUSED,
         BOOT_REFUSE_EMPTY_CMDLINE},
        {"exec with bootopt", kSample, BOOT_OP_UPDATE_EXEC, 0, "root=/dev/ram0 bootopt=1", kSample,
         0, BOOT_ERR_REFUSED, BOOT_REFUSE_BOOTOPT},
        {"load not a number", kSample, BOOT_OP_UPDATE_LOAD, 0, "banana", kSample, 0,
         BOOT_ERR_REFUSED, BOOT_REFUSE_NOT_NUMBER},
        {"load beyond 32 bits", kSample, BOOT_OP_UPDATE_LOAD, 0, "0x100000000", kSample, 0,
         BOOT_ERR_REFUSED, BOOT_REFUSE_TOO_LARGE},
        {"scrub beyond 32 bits", kSample, BOOT_OP_UPDATE_SCRUB, 0, "12345678901234567890", kSample,
         0, BOOT_ERR_REFUSED, BOOT_REFUSE_TOO_LARGE},
        {"scrub 2^32", kSample, BOOT_OP_UPDATE_SCRUB, 0, "4294967296", kSample, 0, BOOT_ERR_REFUSED,
         BOOT_REFUSE_TOO_LARGE},
        {"scrub 2^32 - 1", scrubbed, BOOT_OP_UPDATE_SCRUB, 0, "4294967295",
         replace(scrubbed, "-l 0x0a000000", "-l 4294967295"), 1},
        {"scrub digits then junk", kSample, BOOT_OP_UPDATE_SCRUB, 0, "99999999999x", kSample, 0,
         BOOT_ERR_REFUSED, BOOT_REFUSE_NOT_NUMBER},
        // The bank query reads the whole text: a command line naming the other bank would
        // outvote the load lines.
        {"exec naming the other bank", kSample, BOOT_OP_UPDATE_EXEC, 0, "kernel1 root1", kSample, 0,
         BOOT_ERR_REFUSED, BOOT_REFUSE_CHANGES_BANK},
        {"set with the other bank named elsewhere",
         "fis load root1\nfis load kernel1\nexec -c \"kernel1 root1\"\n", BOOT_OP_SET_IDX, 0,
         nullptr, "fis load root1\nfis load kernel1\nexec -c \"kernel1 root1\"\n", 0,
         BOOT_ERR_REFUSED, BOOT_REFUSE_OTHER_BANK},
        {"load with a space", kSample, BOOT_OP_UPDATE_LOAD, 0, "0x1 root1", kSample, 0,
         BOOT_ERR_REFUSED, BOOT_REFUSE_NOT_NUMBER},
        {"exec with a quote and lines", kSample, BOOT_OP_UPDATE_EXEC, 0,
         "console=ttyS0\"\nfis delete root1\nexec -c \"x", kSample, 0, BOOT_ERR_REFUSED,
         BOOT_REFUSE_CONTROL_CHAR},
        {"exec with a tab", kSample, BOOT_OP_UPDATE_EXEC, 0, "a\tb", kSample, 0, BOOT_ERR_REFUSED,
         BOOT_REFUSE_CONTROL_CHAR},
        {"exec quotes on other lines", "exec -c\n\"a\" \"b\"\n", BOOT_OP_UPDATE_EXEC, 0, "x",
         "exec -c\n\"a\" \"b\"\n", 0, BOOT_ERR_REFUSED, BOOT_REFUSE_SPANS_LINES},
        // A decimal address an older edit left is found on its line all the same.
        {"load without 0x", "fis load -b 12 root0\n", BOOT_OP_UPDATE_LOAD, 0, "0x1",
         "fis load -b 0x1 root0\n", 1},
        {"load without later root", "root0\nfis load -b 0x1 kernel0\n", BOOT_OP_UPDATE_LOAD, 0,
         "0x2", "root0\nfis load -b 0x1 kernel0\n", 0},
    };
    for (const edit_row &row : rows) {
        edit_result r = run_op(make_field(row.script, 'Z'), row.op, row.arg, row.text);
        EXPECT_EQ(row.result, r.result) << row.what;
        EXPECT_EQ(row.refusal, r.refusal) << row.what;
        if (row.result != 0) {
            EXPECT_EQ(make_field(row.script, 'Z'), r.field) << row.what;
        }
        EXPECT_EQ(row.expect, text_of(r.field)) << row.what;
        EXPECT_EQ(row.modified, r.modified) << row.what;
        // Behind the new NUL the old bytes stay.
        size_t end = text_of(r.field).size() + 1;
        size_t old_end = std::max(end, row.script.size() + 1);
        EXPECT_EQ(std::string(RB_SCRIPT_LEN - old_end, 'Z'), r.field.substr(old_end)) << row.what;
    }
}

// A result that would not fit in the field is refused whole, where it would once have been cut
// (the closing quote and later lines lost); one that fits exactly is made.
TEST(BootScriptEdit, ResultsThatWouldNotFitAreRefused)
{
    const std::string between = "root=/dev/ram0 initrd=0x0a000000,10M console=ttyS0,115200";
    const size_t exec_room = RB_SCRIPT_LEN - 1 - (kSample.size() - between.size());
    const std::string long_script(500, 'x');
    const struct {
        const char *what;
        std::string script;
        int op;
        std::string text;
        int result;
    } rows[] = {
        {"exec of 600 characters", kSample, BOOT_OP_UPDATE_EXEC, std::string(600, 'a'),
         BOOT_ERR_REFUSED},
        {"exec one past the room", kSample, BOOT_OP_UPDATE_EXEC, std::string(exec_room + 1, 'a'),
         BOOT_ERR_REFUSED},
        {"exec exactly filling the field", kSample, BOOT_OP_UPDATE_EXEC,
         std::string(exec_room, 'a'), 0},
        {"load of 511 characters", kSample, BOOT_OP_UPDATE_LOAD, "0x" + std::string(509, '0'),
         BOOT_ERR_REFUSED},
        {"scrub line in front of 500 characters", long_script, BOOT_OP_UPDATE_SCRUB, "0x1",
         BOOT_ERR_REFUSED},
        {"console into a full script", "exec \"" + std::string(500, 'a') + "\"",
         BOOT_OP_ENABLE_UART, "", BOOT_ERR_REFUSED},
    };
    for (const auto &row : rows) {
        edit_result r = run_op(make_field(row.script, 'Z'), row.op, 0, row.text.c_str());
        EXPECT_EQ(row.result, r.result) << row.what;
        if (row.result != 0) {
            EXPECT_EQ(BOOT_REFUSE_TOO_LONG, r.refusal) << row.what;
            EXPECT_EQ(make_field(row.script, 'Z'), r.field) << row.what;
        } else {
            EXPECT_EQ(RB_SCRIPT_LEN - 1, (int)text_of(r.field).size()) << row.what;
            EXPECT_EQ("\"\n", text_of(r.field).substr(text_of(r.field).size() - 2)) << row.what;
        }
    }
}

// The script's lines split at their newlines; the text ends with one.
std::vector<std::string> script_lines(const std::string &text)
{
    std::vector<std::string> lines;
    size_t at = 0;
    for (size_t nl; (nl = text.find('\n', at)) != std::string::npos; at = nl + 1)
        lines.push_back(text.substr(at, nl - at));
    if (at != text.size())
        lines.push_back(text.substr(at)); // no newline at the end: malformed below
    return lines;
}

bool starts(const std::string &s, const std::string &prefix)
{
    return s.compare(0, prefix.size(), prefix) == 0;
}

bool is_number_text(const std::string &s)
{
    bool hex = s.size() > 2 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X');
    std::string digits = hex ? s.substr(2) : s;
    return !digits.empty() && digits.find_first_not_of(hex ? "0123456789abcdefABCDEF"
                                                           : "0123456789") == std::string::npos;
}

// Empty when the script still has the shape the boot loader runs: an optional scrub line first,
// the root's load at a number, the kernel's load, the exec line with one quoted command line,
// all naming one bank; otherwise what is wrong.
std::string malformation(const std::string &text, size_t base_lines)
{
    std::vector<std::string> lines = script_lines(text);
    if (text.empty() || text.back() != '\n')
        return "no newline at the end";
    size_t first = 0;
    if (starts(lines[0], "scrub ")) {
        if (!starts(lines[0], "scrub -o 0x03000000 -l ") || !is_number_text(lines[0].substr(23)))
            return "scrub line: " + lines[0];
        first = 1;
    }
    if (lines.size() - first != base_lines)
        return "line count";
    const std::string &load = lines[first];
    const std::string &kernel = lines[first + 1];
    const std::string &exec = lines[first + 2];
    size_t space = load.find(' ', 12);
    if (!starts(load, "fis load -b ") || space == std::string::npos ||
        !is_number_text(load.substr(12, space - 12)) || load.size() != space + 6 ||
        load.compare(space, 5, " root") != 0)
        return "load line: " + load;
    char bank = load.back();
    if (kernel != std::string("fis load kernel") + bank)
        return "kernel line: " + kernel;
    if (!starts(exec, "exec -c \"") || exec.back() != '"' ||
        std::count(exec.begin(), exec.end(), '"') != 2)
        return "exec line: " + exec;
    return "";
}

// Random sequences of every edit, with values aimed at the anchors of the others (a command
// line holding "scrub", "-l", "0x", "load" and "root", decimal addresses): each edit is made or
// refused whole, and the script keeps its lines and bank.
TEST(BootScriptEdit, RandomEditSequencesKeepTheScriptWellFormed)
{
    const std::string exec_scrub =
        replace(kSample, "initrd=", "edac.scrub=1 -l 0x1 root=/dev/ram1 initrd=");
    const struct {
        const char *what;
        std::string script;
    } starts_from[] = {
        {"sample", kSample},
        {"with a scrub line", "scrub -o 0x03000000 -l 0x0a000000\n" + kSample},
        {"scrub words in the command line", exec_scrub},
        {"decimal load address", replace(kSample, "0x0a000000 root0", "167772160 root0")},
    };
    const char *const words[] = {"root=/dev/ram0",
                                 "initrd=0x0a000000,16M",
                                 "edac.scrub=1",
                                 "-l",
                                 "0x10",
                                 "load",
                                 "-b",
                                 "fis",
                                 "quiet",
                                 "console=ttyS0,115200",
                                 "mem=64M",
                                 "root=/dev/mtdblock4",
                                 "exec",
                                 "kernel",
                                 "scrub"};
    std::mt19937 rng(20000);
    auto pick = [&rng](size_t n) { return (size_t)(rng() % n); };
    auto number = [&](void) {
        uint32_t v = rng() >> (pick(32));
        char buf[16];
        snprintf(buf, sizeof(buf), pick(2) != 0 ? "0x%08x" : "%u", (unsigned)v);
        return std::string(buf);
    };
    int broken = 0;
    for (int run = 0; run < 20000 && broken < 5; run++) {
        const auto &start = starts_from[run % 4];
        size_t base = script_lines(start.script).size() - (starts(start.script, "scrub") ? 1 : 0);
        std::string field = make_field(start.script);
        std::string done;
        for (int step = 0; step < 8; step++) {
            int op = BOOT_OP_SET_IDX;
            int arg = 0;
            std::string text;
            switch (pick(7)) {
            case 0:
                arg = (int)pick(2);
                break;
            case 1:
                op = BOOT_OP_SET_RAMDISK_SIZE;
                arg = (int)pick(64);
                break;
            case 2:
                op = pick(2) != 0 ? BOOT_OP_ENABLE_UART : BOOT_OP_DISABLE_UART;
                break;
            case 3:
                op = BOOT_OP_UPDATE_EXEC;
                for (size_t n = 1 + pick(4); n > 0; n--)
                    text += std::string(text.empty() ? "" : " ") + words[pick(15)];
                break;
            case 4:
                op = BOOT_OP_UPDATE_SCRUB;
                text = number();
                break;
            default:
                op = BOOT_OP_UPDATE_LOAD;
                text = number();
                break;
            }
            edit_result r = run_op(field, op, arg, text.empty() ? nullptr : text.c_str());
            done += std::to_string(op) + "(" + std::to_string(arg) + "," + text + ") ";
            if (r.result != 0) {
                EXPECT_EQ(BOOT_ERR_REFUSED, r.result) << done;
                EXPECT_EQ(field, r.field) << done;
            }
            field = r.field;
            std::string wrong = malformation(text_of(field), base);
            if (!wrong.empty()) {
                ADD_FAILURE() << start.what << ": " << wrong << " after " << done;
                broken++;
                break;
            }
        }
    }
    EXPECT_EQ(0, broken);
}

// The upgrade's switch: the bank, and the ramdisk size when it differs, in one edit.
TEST(BootScriptEdit, SelectSetsBankAndRamdiskTogether)
{
    const struct {
        const char *what;
        std::string script;
        int bank;
        int ramdisk;
        std::string expect;
        int result;
    } rows[] = {
        {"bank and ramdisk", kSample, 1, 32, replace(sim::boot_script(1), ",10M", ",32M"), 0},
        {"ramdisk already right", kSample, 1, 10, sim::boot_script(1), 0},
        {"ramdisk left alone", kSample, 1, -1, sim::boot_script(1), 0},
        // A ramdisk number that cannot be rewritten soundly stays; the switch still happens.
        {"ramdisk without unit", "fis load -b 0x1 root0\nfis load kernel0\ninitrd=0x1,512 x\n", 1,
         32, "fis load -b 0x1 root1\nfis load kernel1\ninitrd=0x1,512 x\n", 0},
        {"no bank digit", "exec -c \"root=/dev/ram0\"\nfis load kernel0\n", 1, 32,
         "exec -c \"root=/dev/ram0\"\nfis load kernel0\n", BOOT_ERR_REFUSED},
        {"other bank named elsewhere", "fis load root1\nfis load kernel1\nexec \"kernel1 root1\"",
         0, -1, "fis load root1\nfis load kernel1\nexec \"kernel1 root1\"", BOOT_ERR_REFUSED},
    };
    for (const auto &row : rows) {
        std::string field = make_field(row.script);
        int modified = 0;
        int refusal = 0;
        EXPECT_EQ(row.result,
                  boot_script_select(&field[0], row.bank, row.ramdisk, &modified, &refusal))
            << row.what;
        EXPECT_EQ(row.expect, text_of(field)) << row.what;
    }
}

TEST(BootScriptEdit, FieldWithoutNulEndsAtItsLastByte)
{
    std::string field = make_field("fis load -b 0x0a000000 root0\nfis load kernel0\n" +
                                   std::string(RB_SCRIPT_LEN, 'x'));
    field.resize(RB_SCRIPT_LEN);
    EXPECT_EQ(0, run_op(field, BOOT_OP_GET_IDX).result);

    // The copy holds 511 characters and the NUL, and not one byte more.
    char out[RB_SCRIPT_LEN + 1];
    out[RB_SCRIPT_LEN] = 'Q';
    edit_result r = run_op(field, BOOT_OP_GET_SCRIPT, 0, out);
    EXPECT_EQ(field.substr(0, RB_SCRIPT_LEN - 1), std::string(out));
    EXPECT_EQ('Q', out[RB_SCRIPT_LEN]);

    StdoutCapture cap;
    run_op(field, BOOT_OP_SHOW);
    EXPECT_EQ(field.substr(0, RB_SCRIPT_LEN - 1) + "\n", cap.take());

    // An edit terminates the text inside the field.
    r = run_op(field, BOOT_OP_SET_IDX, 1);
    EXPECT_EQ(1, r.modified);
    EXPECT_EQ('\0', r.field[RB_SCRIPT_LEN - 1]);
    EXPECT_EQ(1, run_op(r.field, BOOT_OP_GET_IDX).result);
    r = run_op(field, BOOT_OP_UPDATE_EXEC, 0, "x"); // no quotes: unchanged
    EXPECT_EQ(0, r.modified);

    // A digit that would take the last byte leaves no room for the NUL: nothing changes.
    std::string tail = "root0 kernel";
    std::string at_end = std::string(RB_SCRIPT_LEN - 1 - tail.size(), 'x') + tail;
    r = run_op(make_field(at_end), BOOT_OP_SET_IDX, 1);
    EXPECT_EQ(0, r.modified);
    EXPECT_EQ(at_end, text_of(r.field));
}

TEST(BootScriptEdit, RefusedWorkingCopyLeavesTheFieldAlone)
{
    for (int op : {BOOT_OP_SET_RAMDISK_SIZE, BOOT_OP_DISABLE_UART, BOOT_OP_UPDATE_EXEC,
                   BOOT_OP_UPDATE_SCRUB, BOOT_OP_UPDATE_LOAD}) {
        std::string field = make_field(kSample);
        int modified = 0;
        g_refuse_script_copy = true;
        int r = boot_script_run(&field[0], op, 32, const_cast<char *>("0x1"), &modified, nullptr);
        g_refuse_script_copy = false;
        EXPECT_EQ(BOOT_ERR_STORE, r) << op;
        EXPECT_EQ(0, modified) << op;
        EXPECT_EQ(make_field(kSample), field) << op;
    }
}

TEST(BootScriptQuery, BankAndRamdiskSize)
{
    const struct {
        std::string script;
        int op;
        int expect;
    } rows[] = {
        {kSample, BOOT_OP_GET_IDX, 0},
        {sim::boot_script(1), BOOT_OP_GET_IDX, 1},
        {"kernel0 root0 kernel1 root1", BOOT_OP_GET_IDX, 1},
        {"kernel0 root1", BOOT_OP_GET_IDX, BOOT_ERR_NOT_FOUND},
        {"kernel10 root10", BOOT_OP_GET_IDX, 1},
        {"initrd=0x0a000000,10M", BOOT_OP_GET_RAMDISK_SIZE, 10},
        {"initrd=0x0a000000,010M", BOOT_OP_GET_RAMDISK_SIZE, 8},
        {"initrd=0x0a000000,0x20M", BOOT_OP_GET_RAMDISK_SIZE, 32},
        {"initrd=0x0a000000, +7M", BOOT_OP_GET_RAMDISK_SIZE, 7},
        {"initrd=0x0a000000,-5M", BOOT_OP_GET_RAMDISK_SIZE, -5},
        {"initrd=0x0a000000,0xM", BOOT_OP_GET_RAMDISK_SIZE, 0},
        {"initrd=0x0a000000,M", BOOT_OP_GET_RAMDISK_SIZE, 0},
        {"initrd=0x0a000000 console=ttyS0,115200", BOOT_OP_GET_RAMDISK_SIZE, 115200},
        {"initrd=1,3000000000", BOOT_OP_GET_RAMDISK_SIZE, (int)3000000000u},
        {"initrd=1,99999999999", BOOT_OP_GET_RAMDISK_SIZE, -1}, // 32-bit strtoul saturates
        {"initrd=0x0a000000", BOOT_OP_GET_RAMDISK_SIZE, BOOT_ERR_NOT_FOUND},
        {"ramdisk,10M", BOOT_OP_GET_RAMDISK_SIZE, BOOT_ERR_NOT_FOUND},
    };
    for (const auto &row : rows) {
        edit_result r = run_op(make_field(row.script), row.op);
        EXPECT_EQ(row.expect, r.result) << row.script;
        EXPECT_EQ(0, r.modified) << row.script;
    }
    // The number is read no further than the field's end.
    std::string field = "initrd=1," + std::string(RB_SCRIPT_LEN - 9, '1');
    EXPECT_EQ(-1, run_op(field, BOOT_OP_GET_RAMDISK_SIZE).result);
}

// A block whose entry at `at` has `type` and `name`, reached through entries of an unknown type
// (no value) that fill the space before it.
std::string block_with_script_at(size_t at, uint8_t type = 4, const char *name = nullptr)
{
    std::string b(RB_CONFIG_SIZE, '\0');
    size_t pos = RB_CONFIG_LIST_OFFSET;
    while (pos < at) {
        size_t step = std::min<size_t>(at - pos, 4 + 255 + 255);
        if (at - pos - step != 0 && at - pos - step < 4)
            step -= 4;
        size_t n = std::min<size_t>(step - 4, 255);
        b[pos] = 8;
        b[pos + 1] = (char)n;
        b[pos + 3] = (char)(step - 4 - n);
        pos += step;
    }
    std::string key = name != nullptr ? name : "boot_script_data";
    b[at] = (char)type;
    b[at + 1] = (char)(key.size() + 1);
    if (at + 4 + key.size() <= b.size())
        b.replace(at + 4, key.size(), key);
    return b;
}

TEST(BootConfigWalk, FindsTheScriptOnlyInsideTheBlock)
{
    std::string b = sim::config_block(sim::standard_entries(kSample));
    int off = boot_config_find_script((const uint8_t *)b.data());
    ASSERT_GT(off, 0);
    EXPECT_EQ(kSample, text_of(b.substr(off, RB_SCRIPT_LEN)));

    // The value ends exactly at the CRC word: found; one byte further: not taken.
    size_t last = RB_CONFIG_CRC_OFFSET - RB_SCRIPT_LEN - 4 - 17;
    b = block_with_script_at(last);
    EXPECT_EQ((int)(last + 4 + 17), boot_config_find_script((const uint8_t *)b.data()));
    b = block_with_script_at(last + 1);
    EXPECT_EQ(BOOT_ERR_NO_SCRIPT, boot_config_find_script((const uint8_t *)b.data()));

    const struct {
        const char *what;
        std::string block;
    } missing[] = {
        {"erased", std::string(RB_CONFIG_SIZE, '\xff')},
        {"no script entry", sim::config_block({{2, "boot_script_timeout", "", ""}})},
        {"string type", block_with_script_at(1000, 3)},
        {"longer name", block_with_script_at(1000, 4, "boot_script_data2")},
        {"header at CRC word", block_with_script_at(RB_CONFIG_CRC_OFFSET - 3)},
    };
    for (const auto &m : missing)
        EXPECT_EQ(BOOT_ERR_NO_SCRIPT, boot_config_find_script((const uint8_t *)m.block.data()))
            << m.what;
    // A name that fills its field without a NUL is no match.
    b = block_with_script_at(1000);
    b[1001] = 16;
    EXPECT_EQ(BOOT_ERR_NO_SCRIPT, boot_config_find_script((const uint8_t *)b.data()));
}

TEST(BootCmdline, OverrideRows)
{
    const struct {
        std::string text;
        int expect;
    } rows[] = {
        {"console=ttyS0 bootopt=0", 0},
        // The boot loader's own word comes last: one the script carries must not outvote it.
        {"bootopt=1 bootopt=0", 0},
        {"bootopt=0 bootopt=1", 1},
        {"bootopt=1 quiet bootopt=0 bootopt=", 0},
        {"bootopt=10", 1},
        {"xbootopt=0", 0},
        {"", -2},
        {"bootopt=2 BOOTOPT=1", -2},
        {std::string("a\0b\0bootopt=1", 13), 1},
    };
    for (const auto &row : rows)
        EXPECT_EQ(row.expect, boot_cmdline_override(row.text.data(), row.text.size())) << row.text;
}

class BootFlash : public SimDeviceTest
{
  protected:
    void use_block(const std::string &block)
    {
        write("dev/mtdblock1", block);
    }
    void use_script(const std::string &script, bool fix_crc = true)
    {
        use_block(sim::config_block(sim::standard_entries(script), fix_crc));
    }
    void clear_lock_records()
    {
        write("proc/strata/lock", "");
        write("proc/strata/unlock", "");
    }
};

TEST_F(BootFlash, UnknownCodesAndBadIndexTouchNothing)
{
    ASSERT_EQ(0, unlink(path("proc/mtd").c_str())); // a lookup would fail with -3
    for (int op : {0, 12, -1, INT_MIN}) {
        StdoutCapture cap;
        EXPECT_EQ(BOOT_ERR_UNKNOWN_OP, do_flash_boot_idx(op, 0, nullptr));
        EXPECT_EQ("Unknown operation: " + std::to_string(op) + "\n", cap.take());
    }
    EXPECT_EQ(BOOT_ERR_BAD_INDEX, do_flash_boot_idx(BOOT_OP_SET_IDX, 2, nullptr));
    EXPECT_EQ(BOOT_ERR_BAD_INDEX, set_boot_idx(-1));
    EXPECT_EQ(BOOT_ERR_NO_PARTITION, do_flash_boot_idx(BOOT_OP_GET_IDX, 0, nullptr));
}

TEST_F(BootFlash, QueriesReadWithoutUnlockingOrWriting)
{
    use_script(kSample, false);
    std::string before = config_block();
    clear_lock_records();
    int size = -5;
    char script[RB_SCRIPT_LEN];
    EXPECT_EQ(0, do_flash_boot_idx(BOOT_OP_GET_IDX, 0, nullptr));
    EXPECT_EQ(10, get_boot_ramdisk_size(&size));
    EXPECT_EQ(10, size);
    EXPECT_EQ(0, get_boot_script(script));
    EXPECT_EQ(kSample, script);
    StdoutCapture cap;
    EXPECT_EQ(0, do_flash_boot_idx(BOOT_OP_SHOW, 0, nullptr));
    EXPECT_EQ(kSample + "\n", cap.take());
    EXPECT_TRUE(before == config_block());
    EXPECT_EQ("", read("proc/strata/unlock"));
    EXPECT_EQ("", read("proc/strata/lock"));

    use_script("fis load kernel0 root0\n");
    size = -5;
    EXPECT_EQ(BOOT_ERR_NOT_FOUND, get_boot_ramdisk_size(&size));
    EXPECT_EQ(-5, size);
}

TEST_F(BootFlash, EditStoresTheWholeBlockWithAFreshCrc)
{
    use_script(kSample, false); // a wrong CRC is no obstacle
    clear_lock_records();
    EXPECT_EQ(0, set_boot_idx(1));
    // Only the digits and the CRC word change; the stored block reads back as built.
    EXPECT_TRUE(sim::config_block(sim::standard_entries(sim::boot_script(1))) == config_block());
    EXPECT_TRUE(stored_crc_valid());
    EXPECT_EQ("mtdblock1\n", read("proc/strata/unlock"));
    EXPECT_EQ("mtdblock1\n", read("proc/strata/lock"));

    EXPECT_EQ(0, set_boot_ramdisk_size(16));
    EXPECT_EQ(0, set_boot_exec("root=/dev/ram0 initrd=0x0a000000,16M"));
    EXPECT_EQ(0, set_boot_load("0x0c000000"));
    EXPECT_EQ(0, set_boot_scrub("0x0b000000"));
    EXPECT_EQ("scrub -o 0x03000000 -l 0x0b000000\nfis load -b 0x0c000000 root1\n"
              "fis load kernel1\nexec -c \"root=/dev/ram0 initrd=0x0a000000,16M\"\n",
              stored_script());
    EXPECT_TRUE(stored_crc_valid());
}

TEST_F(BootFlash, MissingAnchorWritesNothingButRelocks)
{
    use_script("fis load\n", false);
    std::string before = config_block();
    clear_lock_records();
    EXPECT_EQ(0, do_flash_boot_idx(BOOT_OP_UPDATE_EXEC, 0, const_cast<char *>("x")));
    EXPECT_TRUE(before == config_block()); // the wrong CRC stays: nothing was written
    EXPECT_EQ("mtdblock1\n", read("proc/strata/lock"));
}

TEST_F(BootFlash, FailuresAfterUnlockLockAgain)
{
    const std::string dev = path("dev/mtdblock1");
    const struct {
        const char *what;
        int expect;
        int query; // the same device read by a query
        void (*prepare)(const std::string &dev);
    } rows[] = {
        {"directory as device", BOOT_ERR_OPEN, BOOT_ERR_READ,
         [](const std::string &d) {
             ASSERT_EQ(0, unlink(d.c_str()));
             ASSERT_EQ(0, mkdir(d.c_str(), 0755));
         }},
        {"short partition", BOOT_ERR_READ, BOOT_ERR_READ,
         [](const std::string &d) { ASSERT_EQ(0, truncate(d.c_str(), RB_CONFIG_SIZE - 1)); }},
        {"erased block", BOOT_ERR_NO_SCRIPT, BOOT_ERR_NO_SCRIPT,
         [](const std::string &d) { sim::write_file(d, std::string(RB_CONFIG_SIZE, '\xff')); }},
        {"no script entry", BOOT_ERR_NO_SCRIPT, BOOT_ERR_NO_SCRIPT,
         [](const std::string &d) {
             sim::write_file(d, sim::config_block({{1, "boot_script", "", ""}}));
         }},
    };
    for (const auto &row : rows) {
        sim::remove_tree(dev);
        use_script(kSample);
        row.prepare(dev);
        clear_lock_records();
        EXPECT_EQ(row.expect, set_boot_idx(1)) << row.what;
        EXPECT_EQ("mtdblock1\n", read("proc/strata/lock")) << row.what;
        EXPECT_EQ(row.query, do_flash_boot_idx(BOOT_OP_GET_IDX, 0, nullptr)) << row.what;
    }
    sim::remove_tree(dev);

    // No flash driver: the unlock fails and the device is never opened.
    use_script(kSample);
    sim::remove_tree(path("proc/strata"));
    std::string before = config_block();
    EXPECT_EQ(BOOT_ERR_UNLOCK, set_boot_idx(1));
    EXPECT_TRUE(before == config_block());
}

TEST_F(BootFlash, FailedWriteIsStoreErrorAndLocksAgain)
{
    struct rlimit saved;
    ASSERT_EQ(0, getrlimit(RLIMIT_FSIZE, &saved));
    struct rlimit small = saved;
    small.rlim_cur = RB_CONFIG_SIZE / 2; // the write stops half way
    clear_lock_records();
    sighandler_t old = signal(SIGXFSZ, SIG_IGN);
    ASSERT_EQ(0, setrlimit(RLIMIT_FSIZE, &small));
    int r = set_boot_idx(1);
    setrlimit(RLIMIT_FSIZE, &saved);
    signal(SIGXFSZ, old);
    EXPECT_EQ(BOOT_ERR_STORE, r);
    EXPECT_EQ("mtdblock1\n", read("proc/strata/lock"));
    EXPECT_FALSE(stored_crc_valid()); // partly written: new script, old CRC
}

struct bank_row {
    const char *marker;  // the marker's content (root's, mode 0600), nullptr: none
    const char *cmdline; // nullptr: no /proc/cmdline
    int script_bank;
    int current, target, fallback; // the result when current >= 0, else get_boot_idx's code
};

long long ms_since(std::chrono::steady_clock::time_point start)
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
                                                                 start)
        .count();
}

TEST(BootConfigLock, WaitIsBoundedAndEndsWhenTheHolderLetsGo)
{
    fwtest::TempDir dir;
    ASSERT_TRUE(sim::write_file(dir / "dev", "x"));
    // Two open file descriptions of one file: their flock locks conflict even in one process.
    int holder = open((dir / "dev").c_str(), O_RDONLY);
    int waiter = open((dir / "dev").c_str(), O_RDONLY);
    ASSERT_GE(holder, 0);
    ASSERT_GE(waiter, 0);

    ASSERT_EQ(0, flock(holder, LOCK_SH));
    EXPECT_EQ(0, boot_config_flock(waiter, LOCK_SH, 0)); // readers share
    EXPECT_EQ(0, flock(waiter, LOCK_UN));

    ASSERT_EQ(0, flock(holder, LOCK_EX));
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(-1, boot_config_flock(waiter, LOCK_SH, 200)); // a holder that never lets go
    EXPECT_GE(ms_since(start), 200);
    EXPECT_LT(ms_since(start), 2000);

    std::thread release([holder] {
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        flock(holder, LOCK_UN);
    });
    start = std::chrono::steady_clock::now();
    EXPECT_EQ(0, boot_config_flock(waiter, LOCK_EX, 5000));
    EXPECT_GE(ms_since(start), 250);
    EXPECT_LT(ms_since(start), 4000);
    release.join();
    EXPECT_EQ(-1, boot_config_flock(holder, LOCK_SH, 0)); // now the waiter holds it
    close(waiter);
    close(holder);
}

TEST_F(BootFlash, QueryWaitsForAnEditInProgress)
{
    // Another process's edit, played by a second descriptor of the device. (Past the 10-second
    // bound the query would fail with BOOT_ERR_OPEN; the bound itself is tested above.)
    int holder = open(path("dev/mtdblock1").c_str(), O_RDONLY);
    ASSERT_GE(holder, 0);
    ASSERT_EQ(0, flock(holder, LOCK_EX));
    std::thread release([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        use_script(sim::boot_script(1));
        flock(holder, LOCK_UN);
    });
    auto start = std::chrono::steady_clock::now();
    int bank = do_flash_boot_idx(BOOT_OP_GET_IDX, 0, nullptr);
    long long waited = ms_since(start);
    release.join();
    close(holder);
    EXPECT_EQ(1, bank); // the block as the edit left it
    EXPECT_GE(waited, 250);
}

TEST_F(BootFlash, BankStateTable)
{
    const int F = BOOT_ERR_FOREIGN;
    const bank_row rows[] = {
        // The command line names the running bank, whatever the marker or the script say.
        {"1\n", "bootopt=0", 0, 0, 1, 0},
        {"0\n", "bootopt=1", 1, 1, 0, 1},
        {"", "bootopt=1", 0, 1, 0, 1},
        {"1\n", "bootopt=1", 0, 1, 0, 1},
        {nullptr, "bootopt=0", 0, 0, 1, 0},
        {nullptr, "bootopt=0", 1, 0, 1, 0},
        {nullptr, "bootopt=1", 0, 1, 0, 1},
        {nullptr, "bootopt=1", 1, 1, 0, 1},
        // Without it, the marker's bank, whichever bank the script names since.
        {"0\n", "quiet", 1, 0, 1, 0},
        {"0\n", nullptr, 0, 0, 1, 0},
        {"1\n", "quiet", 0, 1, 0, 1},
        {"1\n", "quiet", 1, 1, 0, 1},
        // No marker: the script has not changed this boot and names the running bank.
        {nullptr, "quiet", 0, 0, 1, 0},
        {nullptr, "quiet", 1, 1, 0, 1},
        {nullptr, nullptr, 0, 0, 1, 0},
        {nullptr, nullptr, 1, 1, 0, 1},
        // A marker without its bank is none of this tool's: refused, never guessed.
        {"", "quiet", 0, F, F, F},
        {"2\n", nullptr, 1, F, F, F},
        {"1", "quiet", 0, F, F, F},
        {"1\n\n", "quiet", 0, F, F, F},
    };
    for (const bank_row &row : rows) {
        std::string what = std::string("marker ") + (row.marker ? row.marker : "(none)") + " " +
                           (row.cmdline ? row.cmdline : "(no cmdline)") + " script " +
                           std::to_string(row.script_bank);
        use_script(sim::boot_script(row.script_bank));
        unlink(path("proc/cmdline").c_str());
        if (row.cmdline != nullptr)
            write("proc/cmdline", row.cmdline);
        unlink(path("var/lock/bootidx_changed").c_str());
        if (row.marker != nullptr) {
            write("var/lock/bootidx_changed", row.marker);
            ASSERT_EQ(0, chmod(path("var/lock/bootidx_changed").c_str(), 0600));
        }
        int cur = -9, tgt = -9, fb = -9;
        int result = get_boot_idx(&cur, &tgt, &fb);
        if (row.current < 0) {
            EXPECT_EQ(row.current, result) << what;
            EXPECT_EQ(-9, cur) << what;
            continue;
        }
        EXPECT_EQ(0, result) << what;
        EXPECT_EQ(row.current, cur) << what;
        EXPECT_EQ(row.target, tgt) << what;
        EXPECT_EQ(row.fallback, fb) << what;
        // The decision reads the marker and never makes, changes or removes it.
        EXPECT_EQ(row.marker != nullptr,
                  access(path("var/lock/bootidx_changed").c_str(), F_OK) == 0)
            << what;
    }
    // The rule itself, without I/O: no source left that names a bank.
    EXPECT_EQ(BOOT_ERR_NOT_FOUND, boot_running_bank(-8, BOOT_MARKER_ABSENT, -2));
    EXPECT_EQ(1, boot_running_bank(-8, 1, -2));
    EXPECT_EQ(0, boot_running_bank(-8, BOOT_MARKER_FOREIGN, 0));
}

// What a local user can put at the marker's path, where the command line names no bank: only a
// file this tool made, with its one name, mode and content, tells the running bank.
TEST_F(BootFlash, OnlyTheToolsOwnMarkerTellsTheRunningBank)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root to act as another user";
    enum plant { OWN, MODE_0644, HARD_LINK, OTHER_OWNER, SYMLINK, DIRECTORY, FIFO };
    const struct {
        const char *name;
        plant how;
        int result; // get_boot_idx with the script naming bank 0
    } rows[] = {
        {"the tool's own", OWN, 0},
        {"mode 0644", MODE_0644, BOOT_ERR_FOREIGN},
        {"a second name of root's file", HARD_LINK, BOOT_ERR_FOREIGN},
        {"another user's", OTHER_OWNER, BOOT_ERR_FOREIGN},
        {"a link to a good marker", SYMLINK, BOOT_ERR_FOREIGN},
        {"a directory", DIRECTORY, BOOT_ERR_FOREIGN},
        {"a FIFO", FIFO, BOOT_ERR_FOREIGN},
    };
    const std::string marker = path("var/lock/bootidx_changed");
    const std::string good = path("var/lock/root-file");
    write("proc/cmdline", "quiet");
    use_script(sim::boot_script(0));
    for (const auto &row : rows) {
        SCOPED_TRACE(row.name);
        sim::remove_tree(marker);
        unlink(good.c_str());
        write("var/lock/root-file", "1\n");
        ASSERT_EQ(0, chmod(good.c_str(), 0600));
        switch (row.how) {
        case OWN:
        case MODE_0644:
        case OTHER_OWNER:
            ASSERT_EQ(0, rename(good.c_str(), marker.c_str()));
            if (row.how == MODE_0644) {
                ASSERT_EQ(0, chmod(marker.c_str(), 0644));
            }
            if (row.how == OTHER_OWNER) {
                ASSERT_EQ(0, chown(marker.c_str(), 65534, 65534));
            }
            break;
        case HARD_LINK:
            ASSERT_EQ(0, link(good.c_str(), marker.c_str()));
            break;
        case SYMLINK:
            ASSERT_EQ(0, symlink(good.c_str(), marker.c_str()));
            break;
        case DIRECTORY:
            ASSERT_EQ(0, mkdir(marker.c_str(), 0777));
            break;
        case FIFO:
            ASSERT_EQ(0, mkfifo(marker.c_str(), 0600));
            break;
        }
        int cur = -9, tgt = -9, fb = -9;
        EXPECT_EQ(row.result, get_boot_idx(&cur, &tgt, &fb));
        EXPECT_EQ(row.result == 0 ? 1 : -9, cur) << "the running bank";
        // Nothing may be stored while the path holds what the tool did not make.
        EXPECT_EQ(row.result == 0 ? 0 : BOOT_ERR_FOREIGN, set_boot_idx(1));
        EXPECT_EQ(row.result == 0 ? 1 : 0, get_boot_bank());
        use_script(sim::boot_script(0));
    }
}

TEST_F(BootFlash, ScriptWithoutBankStoresNothing)
{
    use_script("fis load kernel0 root1\n");
    int cur = -9, tgt = -9, fb = -9;
    EXPECT_EQ(-1, get_boot_idx(&cur, &tgt, &fb));
    EXPECT_EQ(-9, cur);
    EXPECT_EQ(-9, tgt);
    EXPECT_EQ(-9, fb);
    EXPECT_NE(0, access(path("var/lock/bootidx_changed").c_str(), F_OK));
}

TEST_F(BootFlash, CmdlineIsReadOnlyWithinItsFirst512Bytes)
{
    const struct {
        std::string cmdline;
        int current; // script names bank 0, no marker
    } rows[] = {
        {std::string(503, 'x') + "bootopt=1", 1}, // ends on byte 512
        {std::string(504, 'x') + "bootopt=1", 0}, // one byte past
        {std::string("\0\0\0bootopt=1", 12), 1},  {"bootopt=1 bootopt=0", 0}, {"", 0},
    };
    for (const auto &row : rows) {
        write("proc/cmdline", row.cmdline);
        int cur = -9, tgt = -9, fb = -9;
        EXPECT_EQ(0, get_boot_idx(&cur, &tgt, &fb));
        EXPECT_EQ(row.current, cur) << row.cmdline.size();
    }
}

TEST_F(BootFlash, MarkerLifeCycle)
{
    const std::string marker = path("var/lock/bootidx_changed");
    struct stat st;
    std::string text;
    write("proc/cmdline", "quiet");

    // Made before the first store of the boot with the bank the script named then, and kept as
    // it is by every later one, whichever bank they name.
    EXPECT_EQ(0, boot_state_before_store(1));
    EXPECT_EQ(0, boot_state_before_store(0));
    ASSERT_EQ(0, lstat(marker.c_str(), &st));
    EXPECT_TRUE(S_ISREG(st.st_mode));
    EXPECT_EQ(0600u, st.st_mode & 07777);
    EXPECT_EQ(1u, st.st_nlink);
    EXPECT_EQ(geteuid(), st.st_uid);
    ASSERT_TRUE(sim::read_file(marker, &text));
    EXPECT_EQ("1\n", text);
    EXPECT_EQ(0, set_boot_idx(1));
    ASSERT_TRUE(sim::read_file(marker, &text));
    EXPECT_EQ("1\n", text);
    ASSERT_EQ(0, unlink(marker.c_str()));

    // A script that names no bank leaves nothing to record.
    EXPECT_EQ(BOOT_ERR_NOT_FOUND, boot_state_before_store(BOOT_ERR_NOT_FOUND));
    EXPECT_NE(0, access(marker.c_str(), F_OK));

    // Something else in the marker's place stops the store; where the kernel names the bank, it
    // is left alone and stops nothing.
    ASSERT_EQ(0, mkdir(marker.c_str(), 0755));
    EXPECT_EQ(BOOT_ERR_FOREIGN, boot_state_before_store(0));
    write("proc/cmdline", "bootopt=1");
    EXPECT_EQ(0, boot_state_before_store(0));
    ASSERT_EQ(0, lstat(marker.c_str(), &st));
    EXPECT_TRUE(S_ISDIR(st.st_mode));
    EXPECT_EQ(0, rmdir(marker.c_str()));

    // Without /var/lock no marker can be made: a store needs one unless the kernel names the bank.
    sim::remove_tree(path("var/lock"));
    EXPECT_EQ(0, boot_state_before_store(0));
    write("proc/cmdline", "quiet");
    EXPECT_EQ(BOOT_ERR_MARKER, boot_state_before_store(0));
    EXPECT_EQ(BOOT_ERR_MARKER, set_boot_idx(0));
    EXPECT_EQ(1, get_boot_bank()) << "stored without a marker";
    int cur = -9, tgt = -9, fb = -9;
    EXPECT_EQ(0, get_boot_idx(&cur, &tgt, &fb));
    EXPECT_EQ(1, cur);
    EXPECT_EQ(0, tgt);
    EXPECT_EQ(1, fb);
}

TEST_F(BootFlash, MountPoint)
{
    write("etc/mtab", "rootfs / rootfs rw 0 0\n/dev/mtdblock7 /kelp%svar jffs2 rw 0 0\n"
                      "/dev/mtdblock7 /second jffs2 rw 0 0\n");
    char buf[16] = "untouched";
    EXPECT_EQ(-1, get_mount_point("/dev/mtdblock9", buf, sizeof(buf)));
    EXPECT_STREQ("untouched", buf);
    EXPECT_EQ(0, get_mount_point("/dev/mtdblock7", buf, sizeof(buf)));
    EXPECT_STREQ("/kelp%svar", buf);
    EXPECT_EQ(0, get_mount_point("/dev/mtdblock7", buf, 6));
    EXPECT_STREQ("/kelp", buf);
    ASSERT_EQ(0, unlink(path("etc/mtab").c_str()));
    EXPECT_EQ(-1, get_mount_point("rootfs", buf, sizeof(buf)));
}

} // namespace
