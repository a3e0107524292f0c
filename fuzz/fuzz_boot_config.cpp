// SPDX-License-Identifier: MIT
// The configuration-block walk and every boot-script operation on arbitrary blocks and fields.
// The walk is checked against an independent one. The operation runs twice: on the script field
// in place inside the block, which sits in a larger canary-filled buffer, so that any byte it
// changes outside its 512 bytes shows; and on a copy in an allocation of exactly 512 bytes, so
// that any read outside the field is caught by AddressSanitizer. Both runs must agree. After an
// edit the field holds a NUL; an operation that reports no edit changes nothing; the queries
// agree with references built on the C library.
//
// Input: byte 0 the operation (0 to 12, or a negative code when its top bit is set), bytes 1-4
// the argument (little-endian), bytes 5-6 the text length (little-endian, at most 1024), the
// text, then the block from offset 0 (the rest of the block reads as erased flash, 0xFF).
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "rb_config.h"

namespace
{

enum : size_t {
    CANARY_LEN = 4096, // on each side of the block
    TEXT_MAX = 1024,
    HEADER_LEN = 7, // operation, argument, text length
    OP_CHOICES = 13,
    ERASED = 0xFF,
    CANARY = 0xA5,
    OUT_FILL = 0x5A,
};

const char kScriptKey[] = "boot_script_data"; // compared with its NUL

void check(bool ok)
{
    if (!ok)
        abort();
}

// An independent walk: entries from offset 8 until a type 0, stopping where an entry's header,
// name or key would reach the CRC word.
int ref_find_script(const uint8_t *b)
{
    static const int value_len[] = {0, 4, 4, 128, 512, 4, 8, 128};
    size_t pos = RB_CONFIG_LIST_OFFSET;

    while (pos + 4 <= (size_t)RB_CONFIG_CRC_OFFSET && b[pos] != 0) {
        size_t name_len = b[pos + 1];
        size_t value = pos + 4 + name_len + b[pos + 3];
        if (value > (size_t)RB_CONFIG_CRC_OFFSET)
            break;
        if (b[pos] == 4 && name_len >= sizeof(kScriptKey) &&
            memcmp(b + pos + 4, kScriptKey, sizeof(kScriptKey)) == 0)
            return value + RB_SCRIPT_LEN <= (size_t)RB_CONFIG_CRC_OFFSET ? (int)value
                                                                         : BOOT_ERR_NO_SCRIPT;
        pos = value + (b[pos] < 8 ? value_len[b[pos]] : 0);
    }
    return BOOT_ERR_NO_SCRIPT;
}

// The script text: up to its NUL; a field without one is read as its first 511 bytes.
std::string text_of(const char *field)
{
    size_t len = strnlen(field, RB_SCRIPT_LEN);
    return std::string(field, len < (size_t)RB_SCRIPT_LEN ? len : RB_SCRIPT_LEN - 1);
}

bool has(const std::string &s, const char *word)
{
    return s.find(word) != std::string::npos;
}

int ref_bank(const std::string &s)
{
    int bank = BOOT_ERR_NOT_FOUND;
    if (has(s, "kernel0") && has(s, "root0"))
        bank = 0;
    if (has(s, "kernel1") && has(s, "root1"))
        bank = 1;
    return bank;
}

// The number after the first comma behind "initrd=", as the device's 32-bit strtoul reads it in
// base 0 (one optional sign after blanks; ULONG_MAX on overflow), converted to int.
int ref_ramdisk_size(const std::string &s)
{
    size_t initrd = s.find("initrd=");
    size_t comma = initrd == std::string::npos ? initrd : s.find(',', initrd);
    if (comma == std::string::npos)
        return BOOT_ERR_NOT_FOUND;
    const char *p = s.c_str() + comma + 1;
    while (*p == ' ' || (*p >= '\t' && *p <= '\r'))
        p++;
    bool negative = *p == '-';
    if (*p == '-' || *p == '+')
        p++;
    // strtoull would take a second sign or more blanks; the device's strtoul reads no digits.
    if (*p == '-' || *p == '+' || *p == ' ' || (*p >= '\t' && *p <= '\r'))
        return 0;
    errno = 0;
    unsigned long long v = strtoull(p, nullptr, 0);
    uint32_t u;
    if (errno == ERANGE || v > UINT32_MAX)
        u = UINT32_MAX;
    else
        u = negative ? 0u - (uint32_t)v : (uint32_t)v;
    return (int)u;
}

struct op_result {
    int result;
    int modified;
};

op_result run(char *field, int op, int argument, const std::string &text, char *out)
{
    op_result r = {0, 0};
    std::vector<char> arg(text.c_str(), text.c_str() + strlen(text.c_str()) + 1);

    r.result = boot_script_run(field, op, argument, op == BOOT_OP_GET_SCRIPT ? out : arg.data(),
                               &r.modified, nullptr);
    return r;
}

bool is_edit(int op)
{
    switch (op) {
    case BOOT_OP_SET_IDX:
    case BOOT_OP_SET_RAMDISK_SIZE:
    case BOOT_OP_ENABLE_UART:
    case BOOT_OP_DISABLE_UART:
    case BOOT_OP_UPDATE_EXEC:
    case BOOT_OP_UPDATE_SCRUB:
    case BOOT_OP_UPDATE_LOAD:
        return true;
    default:
        return false;
    }
}

void check_outcome(const std::string &before, const char *field, int op, const op_result &r)
{
    std::string after(field, RB_SCRIPT_LEN);

    if (op < BOOT_OP_GET_IDX || op > BOOT_OP_GET_SCRIPT)
        check(r.result == BOOT_ERR_UNKNOWN_OP);
    if (r.modified != 0) {
        check(is_edit(op) && r.result == 0);
        check(memchr(field, '\0', RB_SCRIPT_LEN) != nullptr);
    } else {
        check(after == before);
    }
    std::string text = text_of(before.data());
    if (op == BOOT_OP_GET_IDX)
        check(r.result == ref_bank(text));
    if (op == BOOT_OP_GET_RAMDISK_SIZE)
        check(r.result == ref_ramdisk_size(text));
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int * /*argc*/, char *** /*argv*/)
{
    // BOOT_OP_SHOW prints the script; the fuzzer's own output goes to standard error.
    check(freopen("/dev/null", "w", stdout) != nullptr);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < HEADER_LEN)
        return 0;
    int op = data[0] < 0x80 ? data[0] % OP_CHOICES : (int)(int8_t)data[0];
    int argument = (int)((uint32_t)data[1] | (uint32_t)data[2] << 8 | (uint32_t)data[3] << 16 |
                         (uint32_t)data[4] << 24);
    size_t text_len = ((size_t)data[5] | (size_t)data[6] << 8) % (TEXT_MAX + 1);
    if (text_len > size - HEADER_LEN)
        text_len = size - HEADER_LEN;
    std::string text(reinterpret_cast<const char *>(data + HEADER_LEN), text_len);
    const uint8_t *image = data + HEADER_LEN + text_len;
    size_t image_len = size - HEADER_LEN - text_len;
    if (image_len > (size_t)RB_CONFIG_SIZE)
        image_len = RB_CONFIG_SIZE;

    std::vector<uint8_t> buf(CANARY_LEN + RB_CONFIG_SIZE + CANARY_LEN, CANARY);
    uint8_t *block = buf.data() + CANARY_LEN;
    memset(block, ERASED, RB_CONFIG_SIZE);
    memcpy(block, image, image_len);

    int script = boot_config_find_script(block);
    check(script == ref_find_script(block));
    // Without a script entry the operation still runs, on the bytes where an entry's value
    // could start.
    size_t at = script >= 0 ? (size_t)script : RB_CONFIG_LIST_OFFSET;
    char *field = reinterpret_cast<char *>(block + at);
    std::string before(field, RB_SCRIPT_LEN);
    std::vector<uint8_t> whole(buf);

    char *exact = static_cast<char *>(malloc(RB_SCRIPT_LEN));
    char *out_a = static_cast<char *>(malloc(RB_SCRIPT_LEN));
    char *out_b = static_cast<char *>(malloc(RB_SCRIPT_LEN));
    check(exact != nullptr && out_a != nullptr && out_b != nullptr);
    memcpy(exact, field, RB_SCRIPT_LEN);
    memset(out_a, OUT_FILL, RB_SCRIPT_LEN);
    memset(out_b, OUT_FILL, RB_SCRIPT_LEN);

    op_result in_block = run(field, op, argument, text, out_a);
    op_result alone = run(exact, op, argument, text, out_b);

    check(in_block.result == alone.result && in_block.modified == alone.modified);
    check(memcmp(field, exact, RB_SCRIPT_LEN) == 0);
    check_outcome(before, field, op, in_block);
    // Nothing outside the field changed: the rest of the block and the canaries.
    check(memcmp(buf.data(), whole.data(), CANARY_LEN + at) == 0);
    size_t end = CANARY_LEN + at + RB_SCRIPT_LEN;
    check(memcmp(buf.data() + end, whole.data() + end, buf.size() - end) == 0);

    if (op == BOOT_OP_GET_SCRIPT) {
        std::string want = text_of(before.data());
        check(memchr(out_a, '\0', RB_SCRIPT_LEN) != nullptr);
        check(want == out_a && memcmp(out_a, out_b, want.size() + 1) == 0);
    }
    free(exact);
    free(out_a);
    free(out_b);
    return 0;
}
