// Host side of the real-kernel tests: the controller's flash layout in one table, the flash image
// file that qemu-system-arm's SPI NOR chip runs on, and the judge that reads that file after a
// boot (or a power cut) with the simulated platform's independent readers: the configuration
// block walk, the bitwise reference CRC and the boot loader's bank test.
//
//   kflash layout                                  label, offset and size of each partition
//   kflash dts BASE.dts [--read-only LABEL]...     device-tree source with the partitions
//   kflash payload SEED SIZE OUT                   pseudo-random payload bytes
//   kflash create FLASH BANK K0 R0 K1 R1           new flash: script names BANK, banks hold
//   payloads kflash boot FLASH                              "<bank> ok|torn" as the boot loader
//   sees it kflash script FLASH                            the boot script text kflash holds FLASH
//   BANK KERNEL ROOT            exit 0 when the bank begins with both payloads kflash cut FLASH PID
//   at|after N DELAY_MS TIMEOUT_S
//        SIGKILL to PID DELAY_MS after the Nth store of the configuration block begins (at) or
//        has completed (after); a store is complete when the block holds a valid CRC again.
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <map>
#include <string>
#include <unistd.h>
#include <vector>

#include "sim_device.h"

namespace
{

struct region {
    const char *label;
    uint32_t offset;
    uint32_t size;
};

// The controller's partitions on the board's 64 MiB SPI NOR chip (4 KiB erase sectors). The root
// partitions are 6 MiB, so that a switch also rewrites the ramdisk size in the script (10M there).
const region g_layout[] = {
    {"RedBoot", 0x0000000, 0x040000},       {"RedBoot config", 0x0040000, 0x020000},
    {"FIS directory", 0x0060000, 0x020000}, {"kernel0", 0x0080000, 0x200000},
    {"root0", 0x0280000, 0x600000},         {"kernel1", 0x0880000, 0x200000},
    {"root1", 0x0A80000, 0x600000},         {"config", 0x1080000, 0x100000},
    {"spare", 0x1180000, 0x2E80000},
};

const uint32_t kFlashSize = 0x4000000; // the chip's size; qemu wants the whole chip in the file
const uint32_t kBlockSize = 0x20000;
const uint32_t kCrcOffset = 0x1FFFC;
const char kConfigLabel[] = "RedBoot config";
// The board's first flash controller; its first chip carries the partitions.
const char kFlashNode[] = "/ahb/spi@1e620000/flash@0";

const region *find_region(const std::string &label)
{
    for (const region &r : g_layout) {
        if (label == r.label)
            return &r;
    }
    return nullptr;
}

const region *bank_region(int bank, bool root)
{
    char label[16];
    snprintf(label, sizeof(label), "%s%d", root ? "root" : "kernel", bank);
    return find_region(label);
}

bool read_at(int fd, uint32_t offset, uint32_t len, std::string *out)
{
    out->assign(len, '\0');
    size_t done = 0;
    while (done < len) {
        ssize_t n = pread(fd, &(*out)[done], len - done, (off_t)(offset + done));
        if (n <= 0)
            return false;
        done += (size_t)n;
    }
    return true;
}

bool read_region(const std::string &flash, const region &r, std::string *out)
{
    int fd = open(flash.c_str(), O_RDONLY);
    bool ok = fd >= 0 && read_at(fd, r.offset, r.size, out);
    if (fd >= 0)
        close(fd);
    return ok;
}

bool crc_valid(const std::string &block)
{
    uint32_t stored = 0;
    for (int i = 0; i < 4; i++)
        stored |= (uint32_t)(uint8_t)block[kCrcOffset + i] << (8 * i);
    return stored == sim::crc_ref(block, kCrcOffset);
}

int usage()
{
    fprintf(stderr,
            "usage: kflash layout | dts BASE [--read-only LABEL]... | payload SEED SIZE OUT"
            " | create FLASH BANK K0 R0 K1 R1 | boot FLASH | script FLASH"
            " | holds FLASH BANK KERNEL ROOT | cut FLASH PID at|after N DELAY_MS TIMEOUT_S\n");
    return 2;
}

int cmd_layout(int, char **)
{
    for (const region &r : g_layout)
        printf("%s\t0x%07x\t0x%07x\n", r.label, r.offset, r.size);
    return 0;
}

int cmd_dts(int argc, char **argv)
{
    std::vector<std::string> read_only;
    if (argc < 1)
        return usage();
    for (int i = 1; i + 1 < argc; i += 2) {
        if (strcmp(argv[i], "--read-only") != 0 || find_region(argv[i + 1]) == nullptr)
            return usage();
        read_only.push_back(argv[i + 1]);
    }
    if (argc % 2 != 1)
        return usage();
    printf("/include/ \"%s\"\n&{%s} {\n\t/delete-node/ partitions;\n\tpartitions {\n"
           "\t\tcompatible = \"fixed-partitions\";\n\t\t#address-cells = <1>;\n"
           "\t\t#size-cells = <1>;\n",
           argv[0], kFlashNode);
    for (const region &r : g_layout) {
        bool ro = false;
        for (const std::string &l : read_only)
            ro = ro || l == r.label;
        printf("\t\tpartition@%x {\n\t\t\tlabel = \"%s\";\n\t\t\treg = <0x%x 0x%x>;\n%s\t\t};\n",
               r.offset, r.label, r.offset, r.size, ro ? "\t\t\tread-only;\n" : "");
    }
    printf("\t};\n};\n");
    return 0;
}

int cmd_payload(int argc, char **argv)
{
    if (argc != 3)
        return usage();
    uint64_t x = strtoull(argv[0], nullptr, 0) * 0x9E3779B97F4A7C15ull + 1;
    size_t size = strtoul(argv[1], nullptr, 0);
    std::string data(size, '\0');
    for (size_t i = 0; i < size; i++) {
        x ^= x << 13;
        x ^= x >> 7;
        x ^= x << 17;
        data[i] = (char)(x >> 24);
    }
    return sim::write_file(argv[2], data) ? 0 : 1;
}

int cmd_create(int argc, char **argv)
{
    if (argc != 6)
        return usage();
    std::string flash(kFlashSize, '\xff');
    int bank = atoi(argv[1]);
    std::string block = sim::config_block(sim::standard_entries(sim::boot_script(bank)));
    const region *config = find_region(kConfigLabel);

    flash.replace(config->offset, block.size(), block);
    for (int i = 0; i < 4; i++) {
        std::string data;
        const region *r = bank_region(i / 2, i % 2 != 0);
        if (!sim::read_file(argv[2 + i], &data) || data.size() > r->size) {
            fprintf(stderr, "kflash: %s: unreadable or larger than %s\n", argv[2 + i], r->label);
            return 1;
        }
        flash.replace(r->offset, data.size(), data);
    }
    return sim::write_file(argv[0], flash) ? 0 : 1;
}

bool load_block(const std::string &flash, std::string *block)
{
    if (!read_region(flash, *find_region(kConfigLabel), block)) {
        fprintf(stderr, "kflash: %s: cannot read the configuration block\n", flash.c_str());
        return false;
    }
    return true;
}

// The bank is taken from the script as the walk finds it, CRC or not: a torn block is reported
// beside it, so that the caller can count it and still judge what the script would load.
int cmd_boot(int argc, char **argv)
{
    std::string block, script;
    if (argc != 1)
        return usage();
    if (!load_block(argv[0], &block))
        return 1;
    int bank = sim::block_boot_script(block, &script) ? sim::script_bank(script) : -1;
    printf("%d %s\n", bank, crc_valid(block) ? "ok" : "torn");
    return 0;
}

int cmd_script(int argc, char **argv)
{
    std::string block, script;
    if (argc != 1)
        return usage();
    if (!load_block(argv[0], &block) || !sim::block_boot_script(block, &script))
        return 1;
    printf("%s\n", script.c_str());
    return 0;
}

int cmd_holds(int argc, char **argv)
{
    if (argc != 4)
        return usage();
    int bank = atoi(argv[1]);
    for (int i = 0; i < 2; i++) {
        std::string want, have;
        const region *r = bank_region(bank, i != 0);
        if (r == nullptr || !sim::read_file(argv[2 + i], &want) ||
            !read_region(argv[0], *r, &have)) {
            fprintf(stderr, "kflash: cannot read %s or bank %d\n", argv[2 + i], bank);
            return 1;
        }
        size_t n = 0;
        while (n < want.size() && want[n] == have[n])
            n++;
        if (n < want.size()) {
            printf("%s: differs from %s at byte %zu of %zu\n", r->label, argv[2 + i], n,
                   want.size());
            return 1;
        }
    }
    return 0;
}

// Tallies the flash chip's erase commands, as qemu's m25p80 trace events log them, by partition:
// "<label> <erases> <sectors erased> <most erases of one sector>", then one line counting
// programs that tried to turn a 0 bit into a 1 (the chip keeps the 0; a driver fault).
int cmd_erases(int argc, char **argv)
{
    if (argc != 1)
        return usage();
    FILE *f = fopen(argv[0], "r");
    if (f == nullptr) {
        fprintf(stderr, "kflash: %s: %s\n", argv[0], strerror(errno));
        return 1;
    }
    std::map<uint32_t, int> per_sector; // sector offset -> erases
    long zero_to_one = 0;
    char line[256];
    while (fgets(line, sizeof(line), f) != nullptr) {
        unsigned long offset = 0, len = 0;
        const char *at = strstr(line, "offset = ");
        if (strncmp(line, "m25p80_programming_zero_to_one", 30) == 0)
            zero_to_one++;
        if (strncmp(line, "m25p80_flash_erase", 18) != 0 || at == nullptr ||
            sscanf(at, "offset = %lx, len = %lu", &offset, &len) != 2)
            continue;
        for (unsigned long o = offset; o < offset + len; o += 4096)
            per_sector[(uint32_t)o]++;
    }
    fclose(f);
    for (const region &r : g_layout) {
        int erases = 0, sectors = 0, most = 0;
        for (auto it = per_sector.lower_bound(r.offset);
             it != per_sector.end() && it->first < r.offset + r.size; ++it) {
            erases += it->second;
            sectors++;
            most = it->second > most ? it->second : most;
        }
        printf("%s\t%d\t%d\t%d\n", r.label, erases, sectors, most);
    }
    printf("zero-to-one\t%ld\n", zero_to_one);
    return 0;
}

double now_ms()
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec * 1000.0 + ts.tv_nsec / 1e6;
}

void sleep_ms(double ms)
{
    if (ms <= 0)
        return;
    struct timespec ts = {(time_t)(ms / 1000), (long)((ms - (time_t)(ms / 1000) * 1000) * 1e6)};
    nanosleep(&ts, nullptr);
}

// Polls the configuration block in the flash file every half millisecond. A store shows as a
// change of the block; it is complete when the block holds a valid CRC over new content.
int cmd_cut(int argc, char **argv)
{
    if (argc != 6)
        return usage();
    pid_t pid = (pid_t)atoi(argv[1]);
    bool after = strcmp(argv[2], "after") == 0;
    int nth = atoi(argv[3]);
    double delay = atof(argv[4]);
    double deadline = now_ms() + atof(argv[5]) * 1000;
    const region *config = find_region(kConfigLabel);
    std::string last, cur;
    int fd = open(argv[0], O_RDONLY);
    int started = 0, completed = 0;
    bool in_store = false;

    if ((strcmp(argv[2], "at") != 0 && !after) || nth < 1 || fd < 0 ||
        !read_at(fd, config->offset, config->size, &last))
        return usage();
    while (now_ms() < deadline) {
        if (kill(pid, 0) != 0) {
            printf("kflash cut: the emulator ended first (%d stores begun, %d completed)\n",
                   started, completed);
            close(fd);
            return 1;
        }
        sleep_ms(0.5);
        if (!read_at(fd, config->offset, config->size, &cur) || cur == last)
            continue;
        if (!in_store) {
            in_store = true;
            started++;
        }
        if (crc_valid(cur)) {
            in_store = false;
            completed++;
        }
        last = cur;
        if ((!after && started == nth) || (after && completed == nth)) {
            sleep_ms(delay);
            kill(pid, SIGKILL);
            printf("kflash cut: SIGKILL %s store %d + %.0f ms\n", after ? "after" : "in", nth,
                   delay);
            close(fd);
            return 0;
        }
    }
    printf("kflash cut: no such store in time (%d begun, %d completed)\n", started, completed);
    close(fd);
    return 1;
}

} // namespace

int main(int argc, char **argv)
{
    struct command {
        const char *name;
        int (*run)(int argc, char **argv);
    };
    static const command commands[] = {
        {"layout", cmd_layout}, {"dts", cmd_dts},       {"payload", cmd_payload},
        {"create", cmd_create}, {"boot", cmd_boot},     {"script", cmd_script},
        {"holds", cmd_holds},   {"erases", cmd_erases}, {"cut", cmd_cut},
    };
    if (argc < 2)
        return usage();
    for (const command &c : commands) {
        if (strcmp(argv[1], c.name) == 0)
            return c.run(argc - 2, argv + 2);
    }
    return usage();
}
