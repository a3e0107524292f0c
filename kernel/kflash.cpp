// SPDX-License-Identifier: MIT
// Host side of the real-kernel tests: the controller's flash layout in one table, the flash image
// file that qemu-system-arm's SPI NOR chip runs on, and the boot loader's judgement of that file
// after a boot (or a power cut), made by the simulated platform's independent judge.
//
//   kflash layout                                  label, offset and size of each partition
//   kflash dts BASE.dts [--read-only LABEL]...     device-tree source with the partitions
//   kflash payload SEED SIZE OUT                   pseudo-random payload bytes
//   kflash create FLASH BANK K0 R0 K1 R1           new flash: script names BANK, banks hold the
//                                                  payloads, the FIS directory lists all four
//   kflash boot FLASH                              "prompt -1", "bank N" or "no-bank -1", then
//                                                  the kernel command line or the reason
//   kflash script FLASH                            the boot script text
//   kflash holds FLASH BANK KERNEL ROOT            exit 0 when the bank begins with both payloads
//   kflash erases TRACE                            erase tally of a qemu trace, by partition
//   kflash changed BEFORE AFTER ERASE_KIB          per partition, the erase blocks that differ
//   kflash watch FLASH CONSOLE PID TIMEOUT_S [at|after N DELAY_MS]
//        timeline of one boot: console lines, stores of the configuration block; with a cut,
//        SIGKILL to PID DELAY_MS after the Nth store begins (at) or has completed (after)
//   kflash window WATCHLOG TRACE                   per upgrade: stores, store and upgrade time,
//                                                  erases of the bank partitions
//   kflash enumerate ERASE_KIB PAGE                the judgement at every step of one store
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <sys/stat.h>
#include <sys/time.h>
#include <fcntl.h>
#include <map>
#include <string>
#include <unistd.h>
#include <vector>

#include "boot_judge.h"
#include "sim_device.h"

namespace
{

struct region {
    const char *label;
    uint32_t offset;
    uint32_t size;
};

// The controller's partitions on a 64 MiB SPI NOR chip (64 KiB erase blocks, or 4 KiB sectors).
// The root partitions are 6 MiB, so that a switch also rewrites the ramdisk size in the script
// (10M there).
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

// A block the boot loader takes: both key words and the CRC.
bool block_valid(const std::string &block)
{
    return sim::block_keys_valid(block) && sim::block_crc_valid(block);
}

const uint32_t kKernelAddress = 0x00008000;
const uint32_t kRamdiskAddress = 0x0a000000;

// The boot loader's image directory: each bank's kernel and root partition, whole.
std::string fis_bytes()
{
    std::vector<sim::fis_image> images;
    for (int i = 0; i < 4; i++) {
        const region *r = bank_region(i / 2, i % 2 != 0);
        uint32_t addr = i % 2 != 0 ? kRamdiskAddress : kKernelAddress;
        images.push_back({r->label, r->offset, addr, r->size, addr});
    }
    return sim::fis_directory(images, find_region("FIS directory")->size);
}

int usage()
{
    fprintf(stderr,
            "usage: kflash layout | dts BASE [--read-only LABEL]... | payload SEED SIZE OUT"
            " | create FLASH BANK K0 R0 K1 R1 | boot FLASH | script FLASH"
            " | holds FLASH BANK KERNEL ROOT | erases TRACE | changed BEFORE AFTER ERASE_KIB"
            " | watch FLASH CONSOLE PID TIMEOUT_S [at|after N DELAY_MS] | window WATCHLOG TRACE"
            " | enumerate ERASE_KIB PAGE\n");
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
    std::string fis = fis_bytes();
    flash.replace(find_region("FIS directory")->offset, fis.size(), fis);
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

sim::boot_judgement judge(const std::string &flash_path, const std::string &block,
                          const std::string &fis)
{
    int fd = open(flash_path.c_str(), O_RDONLY);
    sim::flash_reader read = [fd](uint32_t off, uint32_t len, std::string *out) {
        return fd >= 0 && read_at(fd, off, len, out);
    };
    sim::boot_judgement j = sim::judge_boot(block, sim::fis_read(fis), read);
    if (fd >= 0)
        close(fd);
    return j;
}

// What the next power-on does, as the boot loader decides it from the flash file.
int cmd_boot(int argc, char **argv)
{
    std::string block, fis;
    if (argc != 1)
        return usage();
    if (!load_block(argv[0], &block) || !read_region(argv[0], *find_region("FIS directory"), &fis))
        return 1;
    sim::boot_judgement j = judge(argv[0], block, fis);
    printf("%s %d\n%s\n", sim::verdict_name(j.verdict), j.bank,
           j.verdict == sim::VERDICT_BANK ? j.cmdline.c_str() : j.why.c_str());
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
        if (strstr(line, "m25p80_programming_zero_to_one") != nullptr)
            zero_to_one++;
        if (strstr(line, "m25p80_flash_erase ") == nullptr || at == nullptr ||
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

// Per partition, "<label> <erase blocks whose bytes differ>" between two flash files: the blocks
// a boot had to erase, since the program leaves a block that already holds its bytes unwritten.
int cmd_changed(int argc, char **argv)
{
    if (argc != 3)
        return usage();
    uint32_t erase = (uint32_t)strtoul(argv[2], nullptr, 0) * 1024;
    std::string before, after;
    if (erase == 0 || !sim::read_file(argv[0], &before) || !sim::read_file(argv[1], &after) ||
        before.size() != kFlashSize || after.size() != kFlashSize) {
        fprintf(stderr, "kflash: cannot compare %s with %s\n", argv[0], argv[1]);
        return 1;
    }
    for (const region &r : g_layout) {
        int blocks = 0;
        for (uint32_t o = r.offset; o < r.offset + r.size; o += erase)
            blocks += before.compare(o, erase, after, o, erase) != 0 ? 1 : 0;
        printf("%s\t%d\n", r.label, blocks);
    }
    return 0;
}

double now_ms()
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec * 1000.0 + ts.tv_nsec / 1e6;
}

// Wall-clock seconds, the clock qemu stamps its trace lines with.
double wall_s()
{
    struct timeval tv;
    gettimeofday(&tv, nullptr);
    return tv.tv_sec + tv.tv_usec / 1e6;
}

void sleep_ms(double ms)
{
    if (ms <= 0)
        return;
    struct timespec ts = {(time_t)(ms / 1000), (long)((ms - (time_t)(ms / 1000) * 1000) * 1e6)};
    nanosleep(&ts, nullptr);
}

// Follows the console file: each complete new line that starts with "KT-" is printed with the
// time it was seen.
struct console_tail {
    FILE *f = nullptr;
    std::string partial;
    std::string last_phase; // the last "KT-P" line
    bool armed = false;     // "KT-ARM cut" seen: the upgrade to cut has begun
};

void tail_console(console_tail *c)
{
    char buf[4096];
    size_t n;
    if (c->f == nullptr)
        return;
    clearerr(c->f);
    while ((n = fread(buf, 1, sizeof(buf), c->f)) > 0)
        c->partial.append(buf, n);
    size_t nl;
    while ((nl = c->partial.find('\n')) != std::string::npos) {
        std::string line = c->partial.substr(0, nl);
        c->partial.erase(0, nl + 1);
        while (!line.empty() && line.back() == '\r')
            line.pop_back();
        if (line.compare(0, 3, "KT-") != 0)
            continue;
        if (line.compare(0, 5, "KT-P ") == 0)
            c->last_phase = line;
        c->armed = c->armed || line == "KT-ARM cut";
        printf("%.6f console %s\n", wall_s(), line.c_str());
    }
}

// One boot's timeline, polled every half millisecond. A store shows as a change of the block;
// it is complete when the block is valid again and either differs from the block before the
// store or its CRC sector was seen rewritten (a store of unchanged content). With a cut, the
// emulator is killed once the Nth store of the upgrade named "cut" has begun (at) or completed
// (after), DELAY_MS later.
int cmd_watch(int argc, char **argv)
{
    if (argc != 4 && argc != 7)
        return usage();
    pid_t pid = (pid_t)atoi(argv[2]);
    double deadline = now_ms() + atof(argv[3]) * 1000;
    bool cut = argc == 7, after = cut && strcmp(argv[4], "after") == 0;
    int nth = cut ? atoi(argv[5]) : 0;
    double delay = cut ? atof(argv[6]) : 0;
    const region *config = find_region(kConfigLabel);
    const uint32_t crc_sector = kCrcOffset & ~0xFFFu;
    std::string last, cur, before;
    console_tail con;
    int fd = open(argv[0], O_RDONLY);
    int started = 0, completed = 0, rc = 1, cut_started = 0, cut_completed = 0;
    bool in_store = false, crc_touched = false, done = false;

    if ((cut && strcmp(argv[4], "at") != 0 && !after) || (cut && nth < 1) || fd < 0 ||
        !read_at(fd, config->offset, config->size, &last)) {
        if (fd >= 0)
            close(fd);
        return usage();
    }
    setvbuf(stdout, nullptr, _IOLBF, 0);
    while (!done) {
        // The console file appears when the emulator opens it.
        if (con.f == nullptr)
            con.f = fopen(argv[1], "rb");
        tail_console(&con);
        bool alive = kill(pid, 0) == 0;
        if (!read_at(fd, config->offset, config->size, &cur))
            break;
        if (cur != last) {
            if (!in_store) {
                in_store = true;
                crc_touched = false;
                before = last;
                started++;
                cut_started += con.armed ? 1 : 0;
                printf("%.6f store-begin %d\n", wall_s(), started);
            }
            crc_touched = crc_touched || cur.compare(crc_sector, kBlockSize - crc_sector, last,
                                                     crc_sector, kBlockSize - crc_sector) != 0;
            if (block_valid(cur) && (cur != before || crc_touched)) {
                in_store = false;
                completed++;
                cut_completed += con.armed ? 1 : 0;
                printf("%.6f store-end %d\n", wall_s(), completed);
            }
            last = cur;
        }
        if (!alive) {
            printf("%.6f end %s begun=%d completed=%d\n", wall_s(),
                   in_store ? "in-store" : "outside", started, completed);
            rc = cut ? 1 : 0;
            break;
        }
        if (cut && ((!after && cut_started == nth) || (after && cut_completed == nth))) {
            sleep_ms(delay);
            kill(pid, SIGKILL);
            // What the chip held when the power went: a change since the last poll is a store
            // under way.
            while (kill(pid, 0) == 0)
                sleep_ms(0.5);
            tail_console(&con);
            bool changed = read_at(fd, config->offset, config->size, &cur) && cur != last;
            bool torn = in_store || changed;
            printf("%.6f cut %s %s store %d + %.0f ms; phase: %s\n", wall_s(),
                   torn ? "in-store" : "outside", after ? "after" : "at", nth, delay,
                   con.last_phase.empty() ? "none" : con.last_phase.c_str());
            rc = 0;
            done = true;
            continue;
        }
        if (now_ms() > deadline) {
            printf("%.6f timeout begun=%d completed=%d\n", wall_s(), started, completed);
            break;
        }
        sleep_ms(0.5);
    }
    if (con.f != nullptr)
        fclose(con.f);
    close(fd);
    return rc;
}

struct upgrade_span {
    std::string name;
    double armed = 0, ended = 0; // wall-clock seconds
    std::string rc = "-";        // "-" while the upgrade had not returned
};

// Per upgrade of a boot: its stores (erases of the configuration block's first sector in the
// trace), the time from the first of them until the block was valid again, and the upgrade's
// own time from its start on the console to its exit status (or to the power cut), and the
// erase commands that fell on the banks' kernel and root partitions meanwhile.
int cmd_window(int argc, char **argv)
{
    if (argc != 2)
        return usage();
    FILE *w = fopen(argv[0], "r"), *t = fopen(argv[1], "r");
    std::vector<upgrade_span> ups;
    std::vector<double> ends, first_erases, bank_erases;
    double last_seen = 0;
    char line[512];
    const region *config = find_region(kConfigLabel);

    if (w == nullptr || t == nullptr) {
        fprintf(stderr, "kflash window: cannot read %s or %s\n", argv[0], argv[1]);
        if (w != nullptr)
            fclose(w);
        if (t != nullptr)
            fclose(t);
        return 1;
    }
    while (fgets(line, sizeof(line), w) != nullptr) {
        double at = 0;
        char what[32] = "", a[128] = "", b[32] = "";
        if (sscanf(line, "%lf %31s %127s %127s %31s", &at, what, a, a + 64, b) < 2)
            continue;
        last_seen = at;
        char tag[16] = "", name[64] = "", rc[16] = "";
        if (strcmp(what, "console") == 0 &&
            sscanf(line, "%*f console %15s %63s %15s", tag, name, rc) >= 2) {
            if (strcmp(tag, "KT-ARM") == 0) {
                upgrade_span u;
                u.name = name;
                u.armed = at;
                ups.push_back(u);
            } else if (strcmp(tag, "KT-RC") == 0) {
                for (upgrade_span &u : ups) {
                    if (u.name == name && u.rc == "-") {
                        u.rc = rc;
                        u.ended = at;
                    }
                }
            }
        } else if (strcmp(what, "store-end") == 0) {
            ends.push_back(at);
        }
    }
    while (fgets(line, sizeof(line), t) != nullptr) {
        unsigned long offset = 0;
        double at = 0;
        const char *o = strstr(line, "offset = ");
        const char *stamp = strchr(line, '@');
        if (strstr(line, "m25p80_flash_erase ") == nullptr || o == nullptr || stamp == nullptr ||
            sscanf(o, "offset = %lx", &offset) != 1 || sscanf(stamp + 1, "%lf", &at) != 1)
            continue;
        if (offset == config->offset)
            first_erases.push_back(at);
        for (int i = 0; i < 4; i++) {
            const region *r = bank_region(i / 2, i % 2 != 0);
            if (offset >= r->offset && offset < r->offset + r->size)
                bank_erases.push_back(at);
        }
    }
    fclose(w);
    fclose(t);
    for (upgrade_span &u : ups) {
        double end = u.rc == "-" ? last_seen : u.ended;
        int stores = 0;
        double store_s = 0;
        for (double e : first_erases) {
            if (e < u.armed || e > end)
                continue;
            stores++;
            double done = end;
            for (double x : ends) {
                if (x > e) {
                    done = x < end ? x : end;
                    break;
                }
            }
            store_s += done - e;
        }
        int payload_erases = 0;
        for (double e : bank_erases)
            payload_erases += e >= u.armed && e <= end ? 1 : 0;
        printf("upgrade %s rc %s stores %d store_ms %.0f upgrade_ms %.0f bank_erases %d\n",
               u.name.c_str(), u.rc.c_str(), stores, store_s * 1000, (end - u.armed) * 1000,
               payload_erases);
    }
    return 0;
}

// The old block and the block one upgrade stores over it: the script moved from bank 0 to bank
// 1 and the ramdisk size set to root1's 6 MiB, edited here by plain text replacement.
void store_pair(std::string *old_block, std::string *new_block)
{
    std::string script = sim::boot_script(0), edited = script;
    *old_block = sim::config_block(sim::standard_entries(script));
    const char *swaps[][2] = {{"root0", "root1"}, {"kernel0", "kernel1"}, {",10M", ",6M"}};
    for (const auto &sw : swaps) {
        size_t at = edited.find(sw[0]);
        if (at != std::string::npos)
            edited.replace(at, strlen(sw[0]), sw[1]);
    }
    // The store writes the whole block back: every byte but the script field and CRC as read.
    *new_block = *old_block;
    size_t field = old_block->find(script);
    std::string value = edited;
    value.resize(sim::config_value_length(4), '\0');
    new_block->replace(field, value.size(), value);
    std::string fresh = sim::config_block(sim::standard_entries(edited));
    new_block->replace(kCrcOffset, 4, fresh, kCrcOffset, 4);
}

// Every point at which a power cut can fall inside one store on a NOR chip: the block goes out
// erase block by erase block, each erased whole and then programmed page by page. Each point is
// judged as the boot loader would find the flash.
int cmd_enumerate(int argc, char **argv)
{
    if (argc != 2)
        return usage();
    uint32_t erase = (uint32_t)strtoul(argv[0], nullptr, 0) * 1024;
    uint32_t page = (uint32_t)strtoul(argv[1], nullptr, 0);
    if (erase == 0 || page == 0 || kBlockSize % erase != 0 || erase % page != 0)
        return usage();
    std::string flash(kFlashSize, '\xff'), old_block, new_block;
    const region *config = find_region(kConfigLabel);
    store_pair(&old_block, &new_block);
    std::string fis = fis_bytes();
    flash.replace(find_region("FIS directory")->offset, fis.size(), fis);
    for (int i = 0; i < 4; i++)
        flash.replace(bank_region(i / 2, i % 2 != 0)->offset, 8, "firmware");
    sim::flash_reader read = [&flash](uint32_t off, uint32_t len, std::string *out) {
        if ((uint64_t)off + len > flash.size())
            return false;
        *out = flash.substr(off, len);
        return true;
    };
    std::vector<sim::fis_image> dir = sim::fis_read(fis);
    std::string block = old_block;
    int points = 0, prompt = 0, old_bank = 0, new_bank = 0, other = 0;
    int first_prompt = -1, last_prompt = -1;
    auto judge_now = [&]() {
        sim::boot_judgement j = sim::judge_boot(block, dir, read);
        points++;
        if (j.verdict == sim::VERDICT_PROMPT) {
            prompt++;
            first_prompt = first_prompt < 0 ? points : first_prompt;
            last_prompt = points;
        } else if (j.verdict == sim::VERDICT_BANK && j.bank == 0) {
            old_bank++;
        } else if (j.verdict == sim::VERDICT_BANK && j.bank == 1) {
            new_bank++;
        } else {
            other++;
        }
    };
    for (uint32_t e = 0; e < kBlockSize; e += erase) {
        block.replace(e, erase, erase, '\xff');
        judge_now();
        for (uint32_t p = e; p < e + erase; p += page) {
            block.replace(p, page, new_block, p, page);
            judge_now();
        }
    }
    (void)config;
    printf("one store, %u KiB erase blocks, %u-byte pages: %d cut points: %d stop at the prompt "
           "(points %d to %d), %d boot the old bank 0, %d boot the new bank 1, %d boot neither\n",
           erase / 1024, page, points, prompt, first_prompt, last_prompt, old_bank, new_bank,
           other);
    return block == new_block && new_bank == 1 && other == 0 && prompt == points - 1 ? 0 : 1;
}

} // namespace

int main(int argc, char **argv)
{
    struct command {
        const char *name;
        int (*run)(int argc, char **argv);
    };
    static const command commands[] = {
        {"layout", cmd_layout},       {"dts", cmd_dts},
        {"payload", cmd_payload},     {"create", cmd_create},
        {"boot", cmd_boot},           {"script", cmd_script},
        {"holds", cmd_holds},         {"erases", cmd_erases},
        {"watch", cmd_watch},         {"window", cmd_window},
        {"enumerate", cmd_enumerate}, {"changed", cmd_changed},
    };
    if (argc < 2)
        return usage();
    for (const command &c : commands) {
        if (strcmp(argv[1], c.name) == 0)
            return c.run(argc - 2, argv + 2);
    }
    return usage();
}
