// The boot script text inside its 512-byte field: the queries and the edits, pure functions over
// the field that the block frame (boot_idx.cpp) reads and stores.
#include "boot_idx.h"

#include <cctype>
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

int edit_update_scrub(edit_ctx *e, const char *text)
{
    script_text *s = &e->s;
    int scrub = text_find(s, 0, g_anchor_scrub);
    int length_opt = text_find(s, scrub, g_anchor_length_opt);
    int newline = text_find_any(s, length_opt, "\n");
    int at = length_opt + SCRUB_VALUE_OFFSET;
    char line[SCRUB_LINE_LEN];
    char *copy = nullptr;

    if (!is_number(text, strlen(text)))
        return refuse(e, number_refusal(text));
    if (scrub >= 0 && (length_opt < 0 || newline < 0))
        return 0;
    if (scrub >= 0) {
        // The value goes behind "-l " on the scrub line itself.
        if (spans_lines(s, scrub, length_opt) || at > newline)
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
    if (scrub >= 0)
        snprintf(s->field + at, (size_t)(RB_SCRIPT_LEN - at), "%s%s", text, copy + newline);
    else
        snprintf(s->field, RB_SCRIPT_LEN, "%s\n%s", line, copy);
    free(copy);
    e->modified = 1;
    return 0;
}

int edit_update_load(edit_ctx *e, const char *text)
{
    script_text *s = &e->s;
    int load = text_find(s, 0, g_anchor_load);
    int any_root = text_find(s, load, g_anchor_root);
    int address = text_find(s, load, g_anchor_address);
    int root = text_find(s, address, g_anchor_root);
    char *copy = nullptr;

    if (!is_number(text, strlen(text)))
        return refuse(e, number_refusal(text));
    if (load < 0 || any_root < 0 || address < 0 || root < 0)
        return 0;
    // The address must be the one of the root's load: from another line, the lines between
    // would go.
    if (spans_lines(s, address, root))
        return refuse(e, BOOT_REFUSE_SPANS_LINES);
    // The edit never touches the field's last byte.
    if (!fits(edited_len(s, address, strlen(text) + 1, root), RB_SCRIPT_LEN - 1))
        return refuse(e, BOOT_REFUSE_TOO_LONG);
    copy = take_working_copy(s);
    if (copy == nullptr)
        return BOOT_ERR_STORE;
    snprintf(s->field + address, (size_t)(RB_SCRIPT_LEN - address - 1), "%s %s", text, copy + root);
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
