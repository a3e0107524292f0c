#include "boot_idx.h"

#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <mntent.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include "crc32.h"
#include "mtd_part.h"
#include "platform.h"

namespace
{

// The quoted label matches exactly one partition: /proc/mtd prints every name in double quotes.
const char g_redboot_conf_name[] = "\"RedBoot config\"";
const char g_rb_boot_script_data_key[] = "boot_script_data";
const char g_bootidx_changed_path[] = "/var/lock/bootidx_changed";
const char g_bootidx_changed_dir[] = "/var/lock";
const char g_cmdline_path[] = "/proc/cmdline";
const char g_mtab_path[] = "/etc/mtab";

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
const char *const g_bootopt_bank[] = {"bootopt=0", "bootopt=1"};

enum : int {
    RB_TYPE_END = 0, // type byte that ends the entry list
    RB_TYPE_BOOL = 1,
    RB_TYPE_INT = 2,
    RB_TYPE_STRING = 3,
    RB_TYPE_SCRIPT = 4,
    RB_TYPE_IP = 5,
    RB_TYPE_ESA = 6,
    RB_TYPE_NETPORT = 7,
};

enum : int {
    RB_ENTRY_HEADER_LEN = 4, // type, name length, enable sense, enable-key length
    RB_ENTRY_NAME_LEN = 1,   // offset of the name length in the header
    RB_ENTRY_KEY_LEN = 3,    // offset of the enable-key length in the header
    RB_LEN_WORD = 4,         // boolean, integer, IP address
    RB_LEN_ESA = 8,
    RB_LEN_STRING = 128, // string and network port
};

enum : int {
    CMDLINE_READ_MAX = 512,  // only this much of the kernel command line is looked at
    SCRUB_LINE_LEN = 200,    // a new scrub command line, terminator included
    SCRUB_VALUE_OFFSET = 3,  // "-l" and the one character behind it
    VERIFY_CHUNK_LEN = 4096, // read-back of a stored block, piece by piece
    TEXT_NOT_FOUND = -1,
    BANK_COUNT = 2,
};

enum : int {
    BANK_ERR_NONE = -1,       // get_boot_idx: the script names no usable bank
    CMDLINE_ERR_OPEN = -1,    // /proc/cmdline did not open
    CMDLINE_ERR_READ = -2,    // it opened but could not be read
    CMDLINE_NO_BANK = -2,     // no "bootopt=0" or "bootopt=1" in it
    MARKER_ERR = -1,          // the change marker could not be created or removed
    MOUNT_ERR_NOT_FOUND = -1, // no /etc/mtab, or the device is not in it
    CMD_ERR_USAGE = -1,       // a command's argument count is wrong
    CMD_ERR_NO_BANK = -1,     // get_boot_idx: no usable bank in the script
    DECIMAL_BASE = 10,
};

// The read-back compares whole pieces.
static_assert(RB_CONFIG_SIZE % VERIFY_CHUNK_LEN == 0, "block is a whole number of pieces");

enum : unsigned {
    NUMBER_BASE_MAX = 36, // digits 0-9 and letters a-z; digit_value's answer for anything else
};

enum : mode_t {
    BOOTIDX_CHANGED_MODE = 0644,
};

enum : int {
    // How long an operation waits for another's hold on the device before it gives up: long
    // enough for any edit (one 128 KiB block), short enough that a hung holder is reported.
    LOCK_WAIT_MS = 10000,
    LOCK_RETRY_MS = 20, // pause between two attempts
    USEC_PER_MS = 1000,
};

enum boot_access { ACCESS_UNKNOWN_OP, ACCESS_BAD_INDEX, ACCESS_READ_ONLY, ACCESS_READ_WRITE };

int config_length(unsigned type)
{
    switch (type) {
    case RB_TYPE_BOOL:
    case RB_TYPE_INT:
    case RB_TYPE_IP:
        return RB_LEN_WORD;
    case RB_TYPE_STRING:
    case RB_TYPE_NETPORT:
        return RB_LEN_STRING;
    case RB_TYPE_SCRIPT:
        return RB_SCRIPT_LEN;
    case RB_TYPE_ESA:
        return RB_LEN_ESA;
    default:
        return 0;
    }
}

const uint8_t *next_config(const uint8_t *entry)
{
    return entry + RB_ENTRY_HEADER_LEN + entry[RB_ENTRY_NAME_LEN] + entry[RB_ENTRY_KEY_LEN] +
           config_length(entry[0]);
}

// The name must be the key with its NUL inside the entry's name field.
bool is_script_name(const uint8_t *name, int name_len)
{
    int key_size = (int)sizeof(g_rb_boot_script_data_key);

    return name_len >= key_size && memcmp(name, g_rb_boot_script_data_key, key_size) == 0;
}

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

int edit_set_idx(script_text *s, int bank, int *modified)
{
    int kernel = text_find(s, 0, g_anchor_kernel);
    int root = text_find(s, 0, g_anchor_root);
    int kernel_digit = kernel + (int)strlen(g_anchor_kernel);
    int root_digit = root + (int)strlen(g_anchor_root);
    int end = s->len;

    // A digit on the field's last byte would leave no room for the text's NUL: such an anchor
    // counts as missing.
    if (kernel < 0 || root < 0 || kernel_digit >= RB_SCRIPT_LEN - 1 ||
        root_digit >= RB_SCRIPT_LEN - 1)
        return 0;
    s->field[kernel_digit] = (char)('0' + bank);
    s->field[root_digit] = (char)('0' + bank);
    // A digit written where the NUL stood lengthens the text by one; end it behind the digit.
    if (kernel_digit >= end)
        end = kernel_digit + 1;
    if (root_digit >= end)
        end = root_digit + 1;
    s->field[end] = '\0';
    *modified = 1;
    return 0;
}

int edit_set_ramdisk_size(script_text *s, int size, int *modified)
{
    int initrd = text_find(s, 0, g_anchor_initrd);
    int comma = text_find_any(s, initrd, ",");
    int unit = text_find_any(s, comma, "Mm");
    char *copy = nullptr;
    int at = comma + 1;

    // Without a unit letter the end of the number is unknown; replacing up to the text's end
    // would wipe the rest of the script, so nothing changes.
    if (initrd < 0 || comma < 0 || unit < 0)
        return 0;
    copy = take_working_copy(s);
    if (copy == nullptr)
        return BOOT_ERR_STORE;
    snprintf(s->field + at, (size_t)(RB_SCRIPT_LEN - at), "%u%s", (unsigned)size, copy + unit);
    free(copy);
    *modified = 1;
    return 0;
}

int edit_enable_uart(script_text *s, int *modified)
{
    int quote = text_find_last(s, '"');
    char *copy = nullptr;

    if (text_find(s, 0, g_anchor_console) >= 0 || quote < 0)
        return 0;
    copy = take_working_copy(s);
    if (copy == nullptr)
        return BOOT_ERR_STORE;
    snprintf(s->field + quote, (size_t)(RB_SCRIPT_LEN - quote), g_console_item_format,
             copy + quote);
    free(copy);
    *modified = 1;
    return 0;
}

int edit_disable_uart(script_text *s, int *modified)
{
    int item = text_find(s, 0, g_anchor_console);
    int item_end = text_find_any(s, item, " \"");
    int at = item;
    int tail;
    char *copy = nullptr;

    if (item < 0)
        return 0;
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
    *modified = 1;
    return 0;
}

int edit_update_exec(script_text *s, const char *text, int *modified)
{
    int exec = text_find(s, 0, g_anchor_exec);
    int open_quote = text_find_any(s, exec, "\"");
    int close_quote = open_quote < 0 ? TEXT_NOT_FOUND : text_find_any(s, open_quote + 1, "\"");
    int at = open_quote + 1;
    char *copy = nullptr;

    if (exec < 0 || open_quote < 0 || close_quote < 0)
        return 0;
    copy = take_working_copy(s);
    if (copy == nullptr)
        return BOOT_ERR_STORE;
    snprintf(s->field + at, (size_t)(RB_SCRIPT_LEN - at), "%s%s", text, copy + close_quote);
    free(copy);
    *modified = 1;
    return 0;
}

int edit_update_scrub(script_text *s, const char *text, int *modified)
{
    int scrub = text_find(s, 0, g_anchor_scrub);
    int length_opt = text_find(s, scrub, g_anchor_length_opt);
    int newline = text_find_any(s, length_opt, "\n");
    int at = length_opt + SCRUB_VALUE_OFFSET;
    char line[SCRUB_LINE_LEN];
    char *copy = nullptr;

    if (scrub >= 0 && (length_opt < 0 || newline < 0))
        return 0;
    copy = take_working_copy(s);
    if (copy == nullptr)
        return BOOT_ERR_STORE;
    if (scrub >= 0) {
        snprintf(s->field + at, (size_t)(RB_SCRIPT_LEN - at), "%s%s", text, copy + newline);
    } else {
        // No scrub command yet: it becomes the script's first line.
        snprintf(line, sizeof(line), g_scrub_line_format, text);
        snprintf(s->field, RB_SCRIPT_LEN, "%s\n%s", line, copy);
    }
    free(copy);
    *modified = 1;
    return 0;
}

int edit_update_load(script_text *s, const char *text, int *modified)
{
    int load = text_find(s, 0, g_anchor_load);
    int any_root = text_find(s, load, g_anchor_root);
    int address = text_find(s, load, g_anchor_address);
    int root = text_find(s, address, g_anchor_root);
    char *copy = nullptr;

    if (load < 0 || any_root < 0 || address < 0 || root < 0)
        return 0;
    copy = take_working_copy(s);
    if (copy == nullptr)
        return BOOT_ERR_STORE;
    // One byte less than the room left: the field's last byte is never touched by this edit.
    snprintf(s->field + address, (size_t)(RB_SCRIPT_LEN - address - 1), "%s %s", text, copy + root);
    free(copy);
    *modified = 1;
    return 0;
}

boot_access access_of(int operation, int argument)
{
    switch (operation) {
    case BOOT_OP_GET_IDX:
    case BOOT_OP_GET_RAMDISK_SIZE:
    case BOOT_OP_SHOW:
    case BOOT_OP_GET_SCRIPT:
        return ACCESS_READ_ONLY;
    case BOOT_OP_SET_IDX:
        return argument < 0 || argument > 1 ? ACCESS_BAD_INDEX : ACCESS_READ_WRITE;
    case BOOT_OP_SET_RAMDISK_SIZE:
    case BOOT_OP_ENABLE_UART:
    case BOOT_OP_DISABLE_UART:
    case BOOT_OP_UPDATE_EXEC:
    case BOOT_OP_UPDATE_SCRUB:
    case BOOT_OP_UPDATE_LOAD:
        return ACCESS_READ_WRITE;
    default:
        return ACCESS_UNKNOWN_OP;
    }
}

void put_le32(uint8_t *p, uint32_t v)
{
    for (int i = 0; i < 4; i++)
        p[i] = (uint8_t)(v >> (8 * i));
}

// Reads until `len` bytes are in or the device ends or fails; returns the count read.
int read_full(int fd, uint8_t *buf, int len)
{
    int total = 0;

    while (total < len) {
        ssize_t n = read(fd, buf + total, (size_t)(len - total));
        if (n <= 0)
            break;
        total += (int)n;
    }
    return total;
}

int write_full(int fd, const uint8_t *buf, int len)
{
    int total = 0;

    while (total < len) {
        ssize_t n = write(fd, buf + total, (size_t)(len - total));
        if (n <= 0)
            break;
        total += (int)n;
    }
    return total;
}

// Reads the stored block back from the device and compares it with `block`: 0 when equal.
int verify_block(int fd, const uint8_t *block)
{
    uint8_t chunk[VERIFY_CHUNK_LEN];

    // Drop the cached pages first so that the comparison sees the device, not the copy just
    // written (a hint only: where it is not honoured the cache is compared).
    posix_fadvise(fd, 0, RB_CONFIG_SIZE, POSIX_FADV_DONTNEED);
    if (lseek(fd, 0, SEEK_SET) != 0)
        return -1;
    for (int done = 0; done < RB_CONFIG_SIZE; done += VERIFY_CHUNK_LEN) {
        if (read_full(fd, chunk, VERIFY_CHUNK_LEN) != VERIFY_CHUNK_LEN ||
            memcmp(chunk, block + done, VERIFY_CHUNK_LEN) != 0)
            return -1;
    }
    return 0;
}

// New CRC, the whole block written from offset 0, synced and read back. 0, or BOOT_ERR_STORE.
int store_block(int fd, uint8_t *block)
{
    put_le32(block + RB_CONFIG_CRC_OFFSET, cyg_crc32(block, RB_CONFIG_CRC_OFFSET));
    if (lseek(fd, 0, SEEK_SET) != 0 || write_full(fd, block, RB_CONFIG_SIZE) != RB_CONFIG_SIZE ||
        fsync(fd) != 0 || verify_block(fd, block) != 0)
        return BOOT_ERR_STORE;
    return 0;
}

int run_on_block(int fd, uint8_t *block, int operation, int argument, char *text)
{
    int modified = 0;
    int script = boot_config_find_script(block);
    int result;

    if (script < 0)
        return BOOT_ERR_NO_SCRIPT;
    result = boot_script_run((char *)block + script, operation, argument, text, &modified);
    if (modified && store_block(fd, block) != 0)
        result = BOOT_ERR_STORE;
    return result;
}

// The device `path` opened with `flags`, or -1.
int open_device(const char *path, int flags)
{
    char resolved[PLATFORM_PATH_MAX];
    const char *dev = platform_path(path, resolved, sizeof(resolved));

    return dev == nullptr ? -1 : open(dev, flags);
}

// Reads the block through `fd` and runs the operation on it.
int run_on_device(int fd, int operation, int argument, char *text)
{
    uint8_t *block = nullptr;
    int result;

    if ((block = (uint8_t *)malloc(RB_CONFIG_SIZE)) == nullptr ||
        read_full(fd, block, RB_CONFIG_SIZE) < RB_CONFIG_SIZE) {
        // No buffer fails like a short device: either way the block never reached memory.
        result = BOOT_ERR_READ;
    } else {
        result = run_on_block(fd, block, operation, argument, text);
    }
    free(block);
    return result;
}

// An edit between unlock and relock: the device opened for writing, the operation run, and the
// descriptor closed before the caller locks the partition again (the driver writes its cached
// data back at the close).
int edit_on_device(const char *path, int operation, int argument, char *text)
{
    int fd = open_device(path, O_RDWR);
    int result = fd < 0 ? BOOT_ERR_OPEN : run_on_device(fd, operation, argument, text);

    if (fd >= 0)
        close(fd);
    return result;
}

// The probe creates the marker exclusively and removes it again; any failure to create it (it
// exists, /var/lock is missing or read-only) counts as present.
// Looks without creating anything: a probe that created and removed the marker would, if cut off
// in between, leave a marker that claims a switch that never happened, and the next upgrade of
// the boot would rewrite the running bank. Where a marker could not be created (no directory, or
// one that cannot be written), it counts as present, as a failed creation would.
int check_bootidx_changed(void)
{
    char buf[PLATFORM_PATH_MAX];
    char dir_buf[PLATFORM_PATH_MAX];
    const char *path = platform_path(g_bootidx_changed_path, buf, sizeof(buf));
    const char *dir = platform_path(g_bootidx_changed_dir, dir_buf, sizeof(dir_buf));
    struct stat st;

    if (path == nullptr || dir == nullptr || lstat(path, &st) == 0)
        return 1;
    if (stat(dir, &st) != 0 || !S_ISDIR(st.st_mode) || access(dir, W_OK) != 0)
        return 1;
    return 0;
}

int check_bootidx_override(void)
{
    char buf[PLATFORM_PATH_MAX];
    const char *path = platform_path(g_cmdline_path, buf, sizeof(buf));
    char cmdline[CMDLINE_READ_MAX];
    int fd = path == nullptr ? -1 : open(path, O_RDONLY);
    ssize_t n;

    if (fd < 0)
        return CMDLINE_ERR_OPEN;
    n = read(fd, cmdline, sizeof(cmdline));
    close(fd);
    if (n < 0)
        return CMDLINE_ERR_READ;
    return boot_cmdline_override(cmdline, (size_t)n);
}

// redboot_cli sub-commands; the usage is printed from this table too.
struct cli_command {
    const char *name;  // sub-command as typed
    int operation;     // BOOT_OP_* it runs
    const char *value; // placeholder of its required value in the usage, or nullptr for none
};

const cli_command g_cli_commands[] = {
    {"show", BOOT_OP_SHOW, nullptr},
    {"enable_uart", BOOT_OP_ENABLE_UART, nullptr},
    {"disable_uart", BOOT_OP_DISABLE_UART, nullptr},
    {"update_exec", BOOT_OP_UPDATE_EXEC, "exec_cmd"},
    {"update_load", BOOT_OP_UPDATE_LOAD, "start_addr"},
    {"update_scrub", BOOT_OP_UPDATE_SCRUB, "length"},
};

// The bank argument read as atoi reads it (leading white space, one sign, digits up to the first
// other character, 0 without digits). A value beyond int is clamped instead of left to the
// platform's conversion, so that it stays a bank the set operation refuses on every build.
int parse_bank_arg(const char *text)
{
    long value = strtol(text, nullptr, DECIMAL_BASE);

    if (value > INT_MAX)
        return INT_MAX;
    if (value < INT_MIN)
        return INT_MIN;
    return (int)value;
}

[[noreturn]] void redboot_cli_usage(void)
{
    printf("Usage:\n");
    for (const cli_command &c : g_cli_commands) {
        if (c.value != nullptr)
            printf("    redboot_cli %s <%s>\n", c.name, c.value);
        else
            printf("    redboot_cli %s\n", c.name);
    }
    printf("Example:\n");
    printf("    redboot_cli update_exec \"root=/dev/ram0 initrd=0x0a000000,10M "
           "console=ttyS0,115200\"\n");
    printf("    redboot_cli update_load 0x0c000000\n");
    printf("    redboot_cli update_scrub 0x0a000000\n");
    printf("\n");
    exit(-1);
}

} // namespace

int boot_config_find_script(const uint8_t *block)
{
    int pos = RB_CONFIG_LIST_OFFSET;

    // Erased flash has no end marker: the walk stops where an entry would reach the CRC word.
    while (pos + RB_ENTRY_HEADER_LEN <= RB_CONFIG_CRC_OFFSET && block[pos] != RB_TYPE_END) {
        const uint8_t *entry = block + pos;
        int value = pos + RB_ENTRY_HEADER_LEN + entry[RB_ENTRY_NAME_LEN] + entry[RB_ENTRY_KEY_LEN];

        if (value > RB_CONFIG_CRC_OFFSET)
            break;
        if (entry[0] == RB_TYPE_SCRIPT &&
            is_script_name(entry + RB_ENTRY_HEADER_LEN, entry[RB_ENTRY_NAME_LEN]))
            return value + RB_SCRIPT_LEN <= RB_CONFIG_CRC_OFFSET ? value : BOOT_ERR_NO_SCRIPT;
        pos = (int)(next_config(entry) - block);
    }
    return BOOT_ERR_NO_SCRIPT;
}

int boot_script_run(char *field, int operation, int argument, char *text, int *modified)
{
    script_text s = make_script_text(field);

    // The text operations have nothing to place without a text.
    if (text == nullptr && (operation == BOOT_OP_UPDATE_EXEC || operation == BOOT_OP_UPDATE_SCRUB ||
                            operation == BOOT_OP_UPDATE_LOAD))
        return 0;
    switch (operation) {
    case BOOT_OP_GET_IDX:
        return query_bank(&s);
    case BOOT_OP_SET_IDX:
        return argument == 0 || argument == 1 ? edit_set_idx(&s, argument, modified)
                                              : BOOT_ERR_BAD_INDEX;
    case BOOT_OP_GET_RAMDISK_SIZE:
        return query_ramdisk_size(&s);
    case BOOT_OP_SET_RAMDISK_SIZE:
        return edit_set_ramdisk_size(&s, argument, modified);
    case BOOT_OP_SHOW:
        return show_script(&s);
    case BOOT_OP_ENABLE_UART:
        return edit_enable_uart(&s, modified);
    case BOOT_OP_DISABLE_UART:
        return edit_disable_uart(&s, modified);
    case BOOT_OP_UPDATE_EXEC:
        return edit_update_exec(&s, text, modified);
    case BOOT_OP_UPDATE_SCRUB:
        return edit_update_scrub(&s, text, modified);
    case BOOT_OP_UPDATE_LOAD:
        return edit_update_load(&s, text, modified);
    case BOOT_OP_GET_SCRIPT:
        return copy_script(&s, text);
    default:
        return BOOT_ERR_UNKNOWN_OP;
    }
}

int boot_config_flock(int fd, int how, int wait_ms)
{
    // Polled rather than blocking, so that a holder that never lets go cannot hang the caller.
    for (int waited = 0;; waited += LOCK_RETRY_MS) {
        if (flock(fd, how | LOCK_NB) == 0)
            return 0;
        if (errno != EWOULDBLOCK || waited >= wait_ms)
            return -1;
        usleep((useconds_t)LOCK_RETRY_MS * USEC_PER_MS);
    }
}

int boot_cmdline_override(const char *buf, size_t len)
{
    int result = CMDLINE_NO_BANK;

    // "bootopt=1" wins when both occur.
    for (int bank = 0; bank < BANK_COUNT; bank++) {
        if (memmem(buf, len, g_bootopt_bank[bank], strlen(g_bootopt_bank[bank])) != nullptr)
            result = bank;
    }
    return result;
}

int do_flash_boot_idx(int operation, int argument, char *text)
{
    char path[MTD_PATH_LEN];
    boot_access access = access_of(operation, argument);
    int lock_fd = -1;
    int result;

    if (access == ACCESS_UNKNOWN_OP) {
        printf("Unknown operation: %d\n", operation);
        return BOOT_ERR_UNKNOWN_OP;
    }
    if (access == ACCESS_BAD_INDEX)
        return BOOT_ERR_BAD_INDEX;
    if (lookup_mtd_block_device(g_redboot_conf_name, path) <= 0)
        return BOOT_ERR_NO_PARTITION;
    // The device's lock serialises every use of the block: a query holds it shared so that it
    // never reads a block half stored; an edit holds it exclusive from before the unlock to after
    // the relock, so that no two edits each store a copy missing the other's change, and none
    // writes a partition that another has just locked again. It is taken on a read-only
    // descriptor of its own: the edit's read-write one must not ask for it a second time.
    lock_fd = open_device(path, O_RDONLY);
    if (lock_fd < 0 || boot_config_flock(lock_fd, access == ACCESS_READ_ONLY ? LOCK_SH : LOCK_EX,
                                         LOCK_WAIT_MS) != 0) {
        result = BOOT_ERR_OPEN;
    } else if (access == ACCESS_READ_ONLY) {
        result = run_on_device(lock_fd, operation, argument, text);
    } else if (unlock_mtd_device(path) != 0) {
        result = BOOT_ERR_UNLOCK;
    } else {
        result = edit_on_device(path, operation, argument, text);
        // Locked again whatever happened: a failed edit must not leave the boot loader's settings
        // open to stray writes.
        lock_mtd_device(path);
    }
    if (lock_fd >= 0)
        close(lock_fd); // releases the device's lock
    return result;
}

int get_boot_idx(int *current_idx, int *target_idx, int *fallback_idx)
{
    int script_bank = do_flash_boot_idx(BOOT_OP_GET_IDX, 0, nullptr);
    int changed;
    int override;
    int running;

    if (script_bank != 0 && script_bank != 1)
        return BANK_ERR_NONE;
    changed = check_bootidx_changed();
    override = check_bootidx_override();
    if (changed) {
        // An upgrade of this boot already switched the script: rewrite that bank again, and fall
        // back to the one running now.
        *current_idx = script_bank;
        *target_idx = script_bank;
        *fallback_idx = 1 - script_bank;
    } else {
        running = override == 0 || override == 1 ? override : script_bank;
        *current_idx = running;
        *target_idx = 1 - running;
        *fallback_idx = running;
    }
    return 0;
}

int set_bootidx_changed(void)
{
    char buf[PLATFORM_PATH_MAX];
    const char *path = platform_path(g_bootidx_changed_path, buf, sizeof(buf));
    int fd = path == nullptr ? -1 : open(path, O_WRONLY | O_CREAT | O_EXCL, BOOTIDX_CHANGED_MODE);

    if (fd < 0)
        return MARKER_ERR;
    close(fd);
    return 0;
}

int clear_bootidx_changed(void)
{
    char buf[PLATFORM_PATH_MAX];
    const char *path = platform_path(g_bootidx_changed_path, buf, sizeof(buf));

    return path != nullptr && unlink(path) == 0 ? 0 : MARKER_ERR;
}

int get_mount_point(const char *device_name, char *buf, size_t size)
{
    char path_buf[PLATFORM_PATH_MAX];
    const char *path = platform_path(g_mtab_path, path_buf, sizeof(path_buf));
    FILE *mtab = path == nullptr ? nullptr : setmntent(path, "r");
    struct mntent *m;
    int result = MOUNT_ERR_NOT_FOUND;

    if (mtab == nullptr)
        return MOUNT_ERR_NOT_FOUND;
    while (result != 0 && (m = getmntent(mtab)) != nullptr) {
        if (strcmp(m->mnt_fsname, device_name) == 0) {
            snprintf(buf, size, "%s", m->mnt_dir);
            result = 0;
        }
    }
    endmntent(mtab);
    return result;
}

int set_boot_idx(int bank)
{
    return do_flash_boot_idx(BOOT_OP_SET_IDX, bank, nullptr);
}

// The text operations only read `text`.
int set_boot_exec(const char *text)
{
    return do_flash_boot_idx(BOOT_OP_UPDATE_EXEC, 0, const_cast<char *>(text));
}

int set_boot_scrub(const char *text)
{
    return do_flash_boot_idx(BOOT_OP_UPDATE_SCRUB, 0, const_cast<char *>(text));
}

int set_boot_load(const char *text)
{
    return do_flash_boot_idx(BOOT_OP_UPDATE_LOAD, 0, const_cast<char *>(text));
}

int get_boot_script(char *text)
{
    return do_flash_boot_idx(BOOT_OP_GET_SCRIPT, 0, text);
}

int get_boot_ramdisk_size(int *ramdisk_size)
{
    int result = do_flash_boot_idx(BOOT_OP_GET_RAMDISK_SIZE, 0, nullptr);

    if (result >= 0)
        *ramdisk_size = result;
    return result;
}

int set_boot_ramdisk_size(int ramdisk_size)
{
    return do_flash_boot_idx(BOOT_OP_SET_RAMDISK_SIZE, ramdisk_size, nullptr);
}

int get_boot_idx_main(int /*argc*/, char ** /*argv*/)
{
    int bank = do_flash_boot_idx(BOOT_OP_GET_IDX, 0, nullptr);

    return bank == 0 || bank == 1 ? bank : CMD_ERR_NO_BANK;
}

int set_boot_idx_main(int argc, char **argv)
{
    if (argc != 2)
        return CMD_ERR_USAGE;
    return do_flash_boot_idx(BOOT_OP_SET_IDX, parse_bank_arg(argv[1]), nullptr);
}

int redboot_cli_main(int argc, char **argv)
{
    if (argc <= 1)
        redboot_cli_usage();
    for (const cli_command &c : g_cli_commands) {
        if (strcmp(argv[1], c.name) != 0)
            continue;
        if (c.value == nullptr)
            return do_flash_boot_idx(c.operation, 0, nullptr);
        if (argc <= 2)
            redboot_cli_usage();
        // Every sub-command reports its operation's result, so a failed edit never exits 0.
        return do_flash_boot_idx(c.operation, 0, argv[2]);
    }
    redboot_cli_usage();
}
