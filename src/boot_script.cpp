// SPDX-License-Identifier: MIT
// The boot script text inside its 512-byte field: the queries and the edits, pure functions over
// the field that the block frame (boot_idx.cpp) reads and stores.
#include "boot_script.h"

#include <cctype>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace
{

// What the boot script operations look for and write.
const char g_anchor_kernel[] = "kernel"; // followed by the bank digit
const char g_anchor_root[] = "root";     // likewise
const char *const g_anchor_kernel_bank[] = {"kernel0", "kernel1"};
const char *const g_anchor_root_bank[] = {"root0", "root1"};
const char g_anchor_initrd[] = "initrd="; // the ramdisk size follows its first comma
const char g_anchor_console[] = "console=";
const char g_anchor_exec[] = "exec";
const char g_anchor_scrub[] = "scrub";
const char g_anchor_length_opt[] = "-l"; // of the scrub command
const char g_anchor_load[] = "load";
const char g_anchor_address[] = "0x"; // the load address
const char g_anchor_bootopt[] = "bootopt=";
// The commands whose lines the scrub and load edits write to, word by word.
const char *const g_scrub_command[] = {g_anchor_scrub};
const char *const g_load_command[] = {"fis", "load"};
const char g_load_address_opt[] = "-b";
const char g_load_address_format[] = "0x%08x";
const char g_console_item_format[] = " console=ttyS0,115200%s";
const char g_scrub_line_format[] = "scrub -o 0x03000000 -l %s";

enum : int {
    SCRUB_LINE_LEN = 200,   // a new scrub command line, terminator included
    SCRUB_VALUE_OFFSET = 3, // "-l" and the one character behind it
    TEXT_NOT_FOUND = -1,
    BANK_COUNT = 2,
};

enum : unsigned {
    NUMBER_BASE_MAX = 36, // digits 0-9 and letters a-z; digit_value's answer for anything else
};

// The script text inside its 512-byte field. Every search below is bounded by `len`, so a field
// without a NUL is read as a text ending at the field's last byte.
struct script_text {
    char *field; // the RB_SCRIPT_LEN-byte value in the block buffer
    int len;     // characters before the first NUL, at most RB_SCRIPT_LEN - 1
};

script_text make_script_text(char *field)
{
    size_t len = strnlen(field, RB_SCRIPT_LEN);

    if (len == RB_SCRIPT_LEN)
        len = RB_SCRIPT_LEN - 1;
    return script_text{field, (int)len};
}

// Offset of the first `needle` at or after `from`, or TEXT_NOT_FOUND.
int text_find(const script_text *s, int from, const char *needle)
{
    const void *p;

    if (from < 0 || from > s->len)
        return TEXT_NOT_FOUND;
    p = memmem(s->field + from, (size_t)(s->len - from), needle, strlen(needle));
    return p == nullptr ? TEXT_NOT_FOUND : (int)((const char *)p - s->field);
}

// Offset of the first character of `set` at or after `from`, or TEXT_NOT_FOUND.
int text_find_any(const script_text *s, int from, const char *set)
{
    if (from < 0)
        return TEXT_NOT_FOUND;
    for (int i = from; i < s->len; i++) {
        if (strchr(set, s->field[i]) != nullptr)
            return i;
    }
    return TEXT_NOT_FOUND;
}

int text_find_last(const script_text *s, char c)
{
    const void *p = memrchr(s->field, c, (size_t)s->len);

    return p == nullptr ? TEXT_NOT_FOUND : (int)((const char *)p - s->field);
}

// Offset of the end of the line holding `at`: its newline, or the text's end.
int line_end(const script_text *s, int at)
{
    int newline = text_find_any(s, at, "\n");

    return newline < 0 ? s->len : newline;
}

bool is_blank(char c)
{
    return c == ' ' || c == '\t';
}

// The word at or after `at` on its line: its start in `*start`, and its end as the result, or
// TEXT_NOT_FOUND when the line has no more words.
int next_word(const script_text *s, int at, int end, int *start)
{
    while (at < end && is_blank(s->field[at]))
        at++;
    if (at >= end)
        return TEXT_NOT_FOUND;
    *start = at;
    while (at < end && !is_blank(s->field[at]))
        at++;
    return at;
}

bool word_is(const script_text *s, int start, int end, const char *word)
{
    size_t n = strlen(word);

    return (size_t)(end - start) == n && memcmp(s->field + start, word, n) == 0;
}

// True when the line from `start` to `end` begins with the `count` words of `command`; `*after`
// is then where the next word may begin.
bool line_runs(const script_text *s, int start, int end, const char *const *command, int count,
               int *after)
{
    int at = start;

    for (int i = 0; i < count; i++) {
        int word = 0;
        int word_end = next_word(s, at, end, &word);
        if (word_end < 0 || !word_is(s, word, word_end, command[i]))
            return false;
        at = word_end;
    }
    *after = at;
    return true;
}

// A line that runs a command.
struct script_line {
    int start; // first character
    int end;   // its newline, or the text's end
    int after; // behind the command's words
};

// The first line from `from` on that runs `command`: 0 with `*line` filled, or TEXT_NOT_FOUND.
int find_command_line(const script_text *s, const char *const *command, int count, int from,
                      script_line *line)
{
    for (int start = from; start >= 0 && start < s->len;) {
        int end = line_end(s, start);
        if (line_runs(s, start, end, command, count, &line->after)) {
            line->start = start;
            line->end = end;
            return 0;
        }
        start = end < s->len ? end + 1 : TEXT_NOT_FOUND;
    }
    return TEXT_NOT_FOUND;
}

// The whole field copied, with the text's end marked, so that a tail read from it with "%s"
// never runs past the text. Without the copy the edit cannot be made: callers fail it as a store
// failure (BOOT_ERR_STORE), the block being left as read.
char *take_working_copy(const script_text *s)
{
    char *copy = (char *)malloc(RB_SCRIPT_LEN);

    if (copy != nullptr) {
        memcpy(copy, s->field, RB_SCRIPT_LEN);
        copy[s->len] = '\0';
    }
    return copy;
}

unsigned digit_value(char c)
{
    if (c >= '0' && c <= '9')
        return (unsigned)(c - '0');
    if (c >= 'a' && c <= 'z')
        return (unsigned)(c - 'a') + 10;
    if (c >= 'A' && c <= 'Z')
        return (unsigned)(c - 'A') + 10;
    return NUMBER_BASE_MAX;
}

// The number at `p` as the controller's 32-bit strtoul reads it in base 0 (leading blanks, a
// sign, a 0x or 0 prefix; ULONG_MAX on overflow), but never past `n` characters.
uint32_t parse_ulong32(const char *p, int n)
{
    const uint64_t max = UINT32_MAX;
    unsigned base = 10;
    uint64_t value = 0;
    bool negative = false;
    bool overflow = false;
    int i = 0;

    while (i < n && isspace((unsigned char)p[i]))
        i++;
    if (i < n && (p[i] == '+' || p[i] == '-')) {
        negative = p[i] == '-';
        i++;
    }
    if (i < n && p[i] == '0') {
        base = 8;
        if (i + 2 < n && (p[i + 1] == 'x' || p[i + 1] == 'X') &&
            isxdigit((unsigned char)p[i + 2])) {
            base = 16;
            i += 2;
        }
    }
    for (; i < n && digit_value(p[i]) < base; i++) {
        value = value * base + digit_value(p[i]);
        if (value > max) {
            overflow = true;
            value = max;
        }
    }
    if (overflow)
        return UINT32_MAX;
    return negative ? 0u - (uint32_t)value : (uint32_t)value;
}

int query_bank(const script_text *s)
{
    int result = BOOT_ERR_NOT_FOUND;

    // Bank 1 wins when the script names both.
    for (int bank = 0; bank < BANK_COUNT; bank++) {
        if (text_find(s, 0, g_anchor_kernel_bank[bank]) >= 0 &&
            text_find(s, 0, g_anchor_root_bank[bank]) >= 0)
            result = bank;
    }
    return result;
}

// The comma may lie anywhere after "initrd=", not only inside its item.
int query_ramdisk_size(const script_text *s)
{
    int initrd = text_find(s, 0, g_anchor_initrd);
    int comma = text_find_any(s, initrd, ",");

    if (initrd < 0 || comma < 0)
        return BOOT_ERR_NOT_FOUND;
    return (int)parse_ulong32(s->field + comma + 1, s->len - comma - 1);
}

int show_script(const script_text *s)
{
    printf("%.*s\n", s->len, s->field);
    return 0;
}

int copy_script(const script_text *s, char *out)
{
    if (out != nullptr) {
        memcpy(out, s->field, (size_t)s->len);
        out[s->len] = '\0';
    }
    return 0;
}

// One edit's working state: the text, and what became of it.
struct edit_ctx {
    script_text s;
    int modified; // the text was rewritten
    int refusal;  // boot_refusal of a refused edit
};

int refuse(edit_ctx *e, int why)
{
    e->refusal = why;
    return BOOT_ERR_REFUSED;
}

// True when a text of `len` characters and its NUL fit in `room` bytes of the field.
bool fits(size_t len, int room)
{
    return len + 1 <= (size_t)room;
}

// Length of the text after replacing [at, tail) with `n` new characters.
size_t edited_len(const script_text *s, int at, size_t n, int tail)
{
    return (size_t)at + n + (size_t)(s->len - tail);
}

bool spans_lines(const script_text *s, int from, int to)
{
    return from >= 0 && to > from && memchr(s->field + from, '\n', (size_t)(to - from)) != nullptr;
}

// A value that stays one item of one line: no double quote (it would end the quoted command
// line), no newline or other control character (it would start a new script line).
bool is_plain_value(const char *text)
{
    for (const unsigned char *p = (const unsigned char *)text; *p != '\0'; p++) {
        if (*p == '"' || *p < 0x20 || *p == 0x7f)
            return false;
    }
    return true;
}

// A number as the boot loader reads one into a 32-bit word: 0x and hex digits, or decimal digits.
bool is_number(const char *p, size_t n)
{
    size_t i = 0;
    bool hex = n > 2 && p[0] == '0' && (p[1] == 'x' || p[1] == 'X');
    uint64_t value = 0;

    if (hex)
        i = 2;
    if (i == n)
        return false;
    for (; i < n; i++) {
        if (hex ? !isxdigit((unsigned char)p[i]) : !isdigit((unsigned char)p[i]))
            return false;
        value = value * (hex ? 16 : 10) + digit_value(p[i]);
        if (value > UINT32_MAX)
            return false;
    }
    return true;
}

// Why a value is no number: well-formed digits beyond 32 bits are too large, anything else is no
// number at all.
int number_refusal(const char *text)
{
    const char *digits = text + (text[0] == '0' && (text[1] == 'x' || text[1] == 'X') ? 2 : 0);
    const bool hex = digits != text;
    size_t n = 0;

    while (digits[n] != '\0' &&
           (hex ? isxdigit((unsigned char)digits[n]) != 0 : isdigit((unsigned char)digits[n]) != 0))
        n++;
    return n > 0 && digits[n] == '\0' ? BOOT_REFUSE_TOO_LARGE : BOOT_REFUSE_NOT_NUMBER;
}

// The character right after the anchor at `at` must be a bank digit: anything else (the '=' of
// "root=/dev/ram0", the text's end) is not what the edit writes to.
bool has_bank_digit(const script_text *s, int at, const char *anchor)
{
    int digit = at + (int)strlen(anchor);

    return at >= 0 && digit < s->len && (s->field[digit] == '0' || s->field[digit] == '1');
}

int edit_set_idx(edit_ctx *e, int bank)
{
    script_text *s = &e->s;
    int kernel = text_find(s, 0, g_anchor_kernel);
    int root = text_find(s, 0, g_anchor_root);

    if (kernel < 0 || root < 0)
        return 0;
    if (!has_bank_digit(s, kernel, g_anchor_kernel) || !has_bank_digit(s, root, g_anchor_root))
        return refuse(e, BOOT_REFUSE_NO_BANK_DIGIT);
    s->field[kernel + (int)strlen(g_anchor_kernel)] = (char)('0' + bank);
    s->field[root + (int)strlen(g_anchor_root)] = (char)('0' + bank);
    s->field[s->len] = '\0'; // a field that had no NUL ends inside itself from now on
    e->modified = 1;
    return 0;
}

int edit_set_ramdisk_size(edit_ctx *e, int size)
{
    script_text *s = &e->s;
    int initrd = text_find(s, 0, g_anchor_initrd);
    int comma = text_find_any(s, initrd, ",");
    int unit = text_find_any(s, comma, "Mm");
    char number[RB_SCRIPT_LEN];
    int at = comma + 1;
    char *copy = nullptr;

    if (initrd < 0 || comma < 0)
        return 0;
    // Only a number right before its unit letter is replaced; anything else between the comma
    // and the letter would be swallowed.
    if (unit < 0 || !is_number(s->field + at, (size_t)(unit - at)))
        return refuse(e, BOOT_REFUSE_NO_UNIT);
    int n = snprintf(number, sizeof(number), "%u", (unsigned)size);
    if (!fits(edited_len(s, at, (size_t)n, unit), RB_SCRIPT_LEN))
        return refuse(e, BOOT_REFUSE_TOO_LONG);
    copy = take_working_copy(s);
    if (copy == nullptr)
        return BOOT_ERR_STORE;
    snprintf(s->field + at, (size_t)(RB_SCRIPT_LEN - at), "%s%s", number, copy + unit);
    free(copy);
    e->modified = 1;
    return 0;
}

int edit_enable_uart(edit_ctx *e)
{
    script_text *s = &e->s;
    int quote = text_find_last(s, '"');
    size_t item_len = strlen(g_console_item_format) - strlen("%s");
    char *copy = nullptr;

    if (text_find(s, 0, g_anchor_console) >= 0 || quote < 0)
        return 0;
    if (!fits(edited_len(s, quote, item_len, quote), RB_SCRIPT_LEN))
        return refuse(e, BOOT_REFUSE_TOO_LONG);
    copy = take_working_copy(s);
    if (copy == nullptr)
        return BOOT_ERR_STORE;
    snprintf(s->field + quote, (size_t)(RB_SCRIPT_LEN - quote), g_console_item_format,
             copy + quote);
    free(copy);
    e->modified = 1;
    return 0;
}

int edit_disable_uart(edit_ctx *e)
{
    script_text *s = &e->s;
    int item = text_find(s, 0, g_anchor_console);
    int item_end = text_find_any(s, item, " \"");
    int at = item;
    int tail;
    char *copy = nullptr;

    if (item < 0)
        return 0;
    // An item not ended on its own line would take the start of the next line with it.
    if (spans_lines(s, item, item_end >= 0 ? item_end : s->len))
        return refuse(e, BOOT_REFUSE_SPANS_LINES);
    if (item_end >= 0 && s->field[item_end] == ' ') {
        // The item goes with the spaces behind it.
        tail = item_end + 1;
        while (tail < s->len && s->field[tail] == ' ')
            tail++;
    } else {
        // Ended by a quote, or by the end of the text: the item goes with the spaces before it.
        tail = item_end >= 0 ? item_end : s->len;
        while (at > 0 && s->field[at - 1] == ' ')
            at--;
    }
    copy = take_working_copy(s);
    if (copy == nullptr)
        return BOOT_ERR_STORE;
    snprintf(s->field + at, (size_t)(RB_SCRIPT_LEN - at), "%s", copy + tail);
    free(copy);
    e->modified = 1;
    return 0;
}

int edit_update_exec(edit_ctx *e, const char *text)
{
    script_text *s = &e->s;
    int exec = text_find(s, 0, g_anchor_exec);
    int open_quote = text_find_any(s, exec, "\"");
    int close_quote = open_quote < 0 ? TEXT_NOT_FOUND : text_find_any(s, open_quote + 1, "\"");
    int at = open_quote + 1;
    char *copy = nullptr;

    if (!is_plain_value(text))
        return refuse(e, BOOT_REFUSE_CONTROL_CHAR);
    if (text[strspn(text, " ")] == '\0')
        return refuse(e, BOOT_REFUSE_EMPTY_CMDLINE);
    // Found anywhere, it would come before the word the boot loader appends, and the bank state
    // (which reads the command line as bytes) would take it for the bank that runs.
    if (strstr(text, g_anchor_bootopt) != nullptr)
        return refuse(e, BOOT_REFUSE_BOOTOPT);
    if (exec < 0 || open_quote < 0 || close_quote < 0)
        return 0;
    if (spans_lines(s, exec, close_quote))
        return refuse(e, BOOT_REFUSE_SPANS_LINES);
    if (!fits(edited_len(s, at, strlen(text), close_quote), RB_SCRIPT_LEN))
        return refuse(e, BOOT_REFUSE_TOO_LONG);
    copy = take_working_copy(s);
    if (copy == nullptr)
        return BOOT_ERR_STORE;
    snprintf(s->field + at, (size_t)(RB_SCRIPT_LEN - at), "%s%s", text, copy + close_quote);
    free(copy);
    e->modified = 1;
    return 0;
}

// The scrub command's own line: "scrub" and "-l" found elsewhere (a kernel command line holding
// "edac.scrub=1 ... -l") are not what the edit writes to.
int edit_update_scrub(edit_ctx *e, const char *text)
{
    script_text *s = &e->s;
    script_line scrub = {0, 0, 0};
    bool present = find_command_line(s, g_scrub_command, 1, 0, &scrub) == 0;
    int length_opt = present ? text_find(s, scrub.after, g_anchor_length_opt) : TEXT_NOT_FOUND;
    int newline = text_find_any(s, length_opt, "\n");
    int at = length_opt + SCRUB_VALUE_OFFSET;
    char line[SCRUB_LINE_LEN];
    char *copy = nullptr;

    if (!is_number(text, strlen(text)))
        return refuse(e, number_refusal(text));
    if (present && length_opt < 0)
        return 0;
    if (present && length_opt >= scrub.end)
        return refuse(e, BOOT_REFUSE_OTHER_LINE);
    if (present && newline < 0)
        return 0;
    if (present) {
        // The value goes behind "-l " on the scrub line itself.
        if (at > newline)
            return refuse(e, BOOT_REFUSE_SPANS_LINES);
        if (!fits(edited_len(s, at, strlen(text), newline), RB_SCRIPT_LEN))
            return refuse(e, BOOT_REFUSE_TOO_LONG);
    } else {
        // No scrub command yet: it becomes the script's first line.
        int n = snprintf(line, sizeof(line), g_scrub_line_format, text);
        if (n < 0 || n >= (int)sizeof(line) || !fits((size_t)n + 1 + (size_t)s->len, RB_SCRIPT_LEN))
            return refuse(e, BOOT_REFUSE_TOO_LONG);
    }
    copy = take_working_copy(s);
    if (copy == nullptr)
        return BOOT_ERR_STORE;
    if (present)
        snprintf(s->field + at, (size_t)(RB_SCRIPT_LEN - at), "%s%s", text, copy + newline);
    else
        snprintf(s->field, RB_SCRIPT_LEN, "%s\n%s", line, copy);
    free(copy);
    e->modified = 1;
    return 0;
}

// Where a load edit of old would have written: a "load", a "0x" behind it and a "root" behind
// that, on any lines.
bool has_loose_load_anchors(const script_text *s)
{
    int load = text_find(s, 0, g_anchor_load);
    int address = text_find(s, load, g_anchor_address);

    return load >= 0 && address >= 0 && text_find(s, address, g_anchor_root) >= 0;
}

// The root's load line: the first "fis load" line carrying "-b", with the address word behind
// the option and the root named after it on the same line. 0 with the address's span, or
// TEXT_NOT_FOUND.
int find_load_address(const script_text *s, int *address, int *address_end)
{
    script_line line = {0, 0, 0};

    for (int from = 0; find_command_line(s, g_load_command, 2, from, &line) == 0;
         from = line.end + 1) {
        int word = 0;
        int at = line.after;
        int end;
        while ((end = next_word(s, at, line.end, &word)) >= 0 &&
               !word_is(s, word, end, g_load_address_opt))
            at = end;
        if (end < 0)
            continue; // a load without "-b" is the kernel's
        end = next_word(s, end, line.end, &word);
        int root = text_find(s, end, g_anchor_root);
        if (end < 0 || root < 0 || root >= line.end)
            return TEXT_NOT_FOUND;
        *address = word;
        *address_end = end;
        return 0;
    }
    return TEXT_NOT_FOUND;
}

// The address as the next edit, and an older tool in the other bank, look for it: "0x" and hex
// digits. A decimal number is written in that form, the same value.
void format_load_address(const char *text, char *out, size_t size)
{
    size_t n = strlen(text);

    if (n > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X'))
        snprintf(out, size, "0x%s", text + 2);
    else
        snprintf(out, size, g_load_address_format, (unsigned)strtoul(text, nullptr, 10));
}

int edit_update_load(edit_ctx *e, const char *text)
{
    script_text *s = &e->s;
    size_t text_len = strlen(text);
    char value[RB_SCRIPT_LEN];
    char *copy = nullptr;
    int address = 0;
    int address_end = 0;

    if (!is_number(text, text_len))
        return refuse(e, number_refusal(text));
    // Only the address word is replaced: the rest of its line, and every other line, stay.
    if (find_load_address(s, &address, &address_end) != 0)
        return has_loose_load_anchors(s) ? refuse(e, BOOT_REFUSE_OTHER_LINE) : 0;
    if (text_len >= sizeof(value))
        return refuse(e, BOOT_REFUSE_TOO_LONG);
    format_load_address(text, value, sizeof(value));
    // The edit never touches the field's last byte.
    if (!fits(edited_len(s, address, strlen(value), address_end), RB_SCRIPT_LEN - 1))
        return refuse(e, BOOT_REFUSE_TOO_LONG);
    copy = take_working_copy(s);
    if (copy == nullptr)
        return BOOT_ERR_STORE;
    snprintf(s->field + address, (size_t)(RB_SCRIPT_LEN - address - 1), "%s%s", value,
             copy + address_end);
    free(copy);
    e->modified = 1;
    return 0;
}

} // namespace

// An edit may change the bank the script names only when it is a switch, and a switch must leave
// the script naming the bank asked for: the bank query reads the whole text, so a "kernel1" and
// "root1" elsewhere (in the command line, say) would outvote the load lines. Otherwise the field
// goes back to `before` and the edit is refused.
int keep_bank_sound(edit_ctx *e, const char *before, int bank_before, int switch_to, int result)
{
    int bank_after;

    if (result != 0 || !e->modified)
        return result;
    e->s = make_script_text(e->s.field); // the edit moved the text's end
    bank_after = query_bank(&e->s);
    if (switch_to >= 0 ? bank_after == switch_to : bank_after == bank_before)
        return result;
    memcpy(e->s.field, before, RB_SCRIPT_LEN);
    e->s = make_script_text(e->s.field);
    e->modified = 0;
    return refuse(e, switch_to >= 0 ? BOOT_REFUSE_OTHER_BANK : BOOT_REFUSE_CHANGES_BANK);
}

int boot_script_run(char *field, int operation, int argument, char *text, int *modified,
                    int *refusal)
{
    edit_ctx e = {make_script_text(field), 0, BOOT_REFUSE_NONE};
    char before[RB_SCRIPT_LEN];
    int bank_before = query_bank(&e.s);
    int result;

    memcpy(before, field, sizeof(before));

    // The text operations have nothing to place without a text.
    if (text == nullptr && (operation == BOOT_OP_UPDATE_EXEC || operation == BOOT_OP_UPDATE_SCRUB ||
                            operation == BOOT_OP_UPDATE_LOAD))
        return 0;
    switch (operation) {
    case BOOT_OP_GET_IDX:
        return query_bank(&e.s);
    case BOOT_OP_GET_RAMDISK_SIZE:
        return query_ramdisk_size(&e.s);
    case BOOT_OP_SHOW:
        return show_script(&e.s);
    case BOOT_OP_GET_SCRIPT:
        return copy_script(&e.s, text);
    case BOOT_OP_SET_IDX:
        result = argument == 0 || argument == 1 ? edit_set_idx(&e, argument) : BOOT_ERR_BAD_INDEX;
        break;
    case BOOT_OP_SET_RAMDISK_SIZE:
        result = edit_set_ramdisk_size(&e, argument);
        break;
    case BOOT_OP_ENABLE_UART:
        result = edit_enable_uart(&e);
        break;
    case BOOT_OP_DISABLE_UART:
        result = edit_disable_uart(&e);
        break;
    case BOOT_OP_UPDATE_EXEC:
        result = edit_update_exec(&e, text);
        break;
    case BOOT_OP_UPDATE_SCRUB:
        result = edit_update_scrub(&e, text);
        break;
    case BOOT_OP_UPDATE_LOAD:
        result = edit_update_load(&e, text);
        break;
    default:
        return BOOT_ERR_UNKNOWN_OP;
    }
    result = keep_bank_sound(&e, before, bank_before, operation == BOOT_OP_SET_IDX ? argument : -1,
                             result);
    *modified = e.modified;
    if (refusal != nullptr)
        *refusal = e.refusal;
    return result;
}

int boot_script_select(char *field, int bank, int ramdisk_mib, int *modified, int *refusal)
{
    edit_ctx e = {make_script_text(field), 0, BOOT_REFUSE_NONE};
    char before[RB_SCRIPT_LEN];
    int bank_before = query_bank(&e.s);
    int result;

    memcpy(before, field, sizeof(before));
    result = bank == 0 || bank == 1 ? edit_set_idx(&e, bank) : BOOT_ERR_BAD_INDEX;
    result = keep_bank_sound(&e, before, bank_before, bank, result);

    // The ramdisk follows the bank; its own refusal does not undo the switch.
    if (result == 0 && e.modified && ramdisk_mib >= 0 && query_ramdisk_size(&e.s) != ramdisk_mib) {
        edit_ctx ramdisk = {e.s, 0, BOOT_REFUSE_NONE};
        if (edit_set_ramdisk_size(&ramdisk, ramdisk_mib) == 0 && ramdisk.modified)
            e.modified = 1;
    }
    *modified = e.modified;
    if (refusal != nullptr)
        *refusal = e.refusal;
    return result;
}
