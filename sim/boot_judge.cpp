// SPDX-License-Identifier: MIT
#include "boot_judge.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>

namespace sim
{

namespace
{

const uint32_t kLeadingKeyOffset = 4;
const size_t kFisNameLen = 16;
// A load whose first bytes are all erased copied no image: the chip was never programmed there.
const uint32_t kErasedProbe = 4096;
const uint32_t kKernelAddress = 0x00008000;
const uint32_t kRamdiskAddress = 0x0a000000;

uint32_t get_le32(const std::string &s, size_t off)
{
    uint32_t v = 0;
    for (int i = 3; i >= 0; i--)
        v = (v << 8) | (uint8_t)s[off + i];
    return v;
}

void put_le32(std::string *s, size_t off, uint32_t v)
{
    for (int i = 0; i < 4; i++)
        (*s)[off + i] = (char)((v >> (8 * i)) & 0xFF);
}

struct entry_view {
    uint8_t type;
    std::string name;
    uint8_t sense;
    std::string key;
    size_t value; // offset of the value in the block
};

// Every entry of the list, walked as the boot loader keeps it: nothing may reach the CRC word.
std::vector<entry_view> walk(const std::string &block)
{
    std::vector<entry_view> out;
    size_t pos = 8;
    while (pos + 4 <= kCrcOffset && block[pos] != '\0') {
        entry_view e;
        e.type = (uint8_t)block[pos];
        size_t n = (uint8_t)block[pos + 1];
        size_t m = (uint8_t)block[pos + 3];
        e.sense = (uint8_t)block[pos + 2];
        e.value = pos + 4 + n + m;
        if (e.value + config_value_length(e.type) > kCrcOffset)
            break;
        e.name.assign(block.data() + pos + 4, strnlen(block.data() + pos + 4, n));
        e.key.assign(block.data() + pos + 4 + n, strnlen(block.data() + pos + 4 + n, m));
        out.push_back(e);
        pos = e.value + config_value_length(e.type);
    }
    return out;
}

const entry_view *find_entry(const std::vector<entry_view> &list, uint8_t type, const char *name)
{
    for (const entry_view &e : list) {
        if (e.type == type && e.name == name)
            return &e;
    }
    return nullptr;
}

// A boolean entry's truth; false when there is no such entry.
bool flag_set(const std::string &block, const std::vector<entry_view> &list,
              const std::string &name)
{
    const entry_view *e = find_entry(list, 1, name.c_str());
    return e != nullptr && get_le32(block, e->value) != 0;
}

std::vector<std::string> words_of(const std::string &line)
{
    static const char kBlank[] = " \t\r";
    std::vector<std::string> out;
    size_t pos = line.find_first_not_of(kBlank);
    while (pos != std::string::npos) {
        size_t end = line.find_first_of(kBlank, pos);
        out.push_back(line.substr(pos, end == std::string::npos ? end : end - pos));
        pos = end == std::string::npos ? end : line.find_first_not_of(kBlank, end);
    }
    return out;
}

bool parse_number(const std::string &text, uint32_t *out)
{
    char *end = nullptr;
    unsigned long v = strtoul(text.c_str(), &end, 0);
    if (text.empty() || end == text.c_str() || *end != '\0')
        return false;
    *out = (uint32_t)v;
    return true;
}

// initrd=ADDR,SIZE of a command line: the address, and the size in bytes (K or M suffix).
bool initrd_of(const std::string &cmdline, uint32_t *addr, uint64_t *size)
{
    for (const std::string &w : words_of(cmdline)) {
        if (w.compare(0, 7, "initrd=") != 0)
            continue;
        size_t comma = w.find(',');
        char *end = nullptr;
        if (comma == std::string::npos || !parse_number(w.substr(7, comma - 7), addr))
            return false;
        *size = strtoull(w.c_str() + comma + 1, &end, 0);
        if (*end == 'K' || *end == 'k')
            *size <<= 10;
        else if (*end == 'M' || *end == 'm')
            *size <<= 20;
        return true;
    }
    return false;
}

bool erased(const fis_image &img, const flash_reader &read)
{
    std::string head;
    uint32_t n = img.length < kErasedProbe ? img.length : kErasedProbe;
    if (!read(img.flash_offset, n, &head))
        return true;
    return head.find_first_not_of('\xff') == std::string::npos;
}

boot_judgement prompt(const std::string &why)
{
    boot_judgement j;
    j.verdict = VERDICT_PROMPT;
    j.why = why;
    return j;
}

} // namespace

std::string fis_directory(const std::vector<fis_image> &images, uint32_t size)
{
    std::string out(size, '\xff');
    size_t pos = 0;
    for (const fis_image &img : images) {
        if (pos + kFisRecordSize > size)
            break;
        std::string rec(kFisRecordSize, '\0');
        // A NUL always ends the name inside its 16 bytes.
        size_t n = img.name.size() < kFisNameLen ? img.name.size() : kFisNameLen - 1;
        rec.replace(0, n, img.name, 0, n);
        put_le32(&rec, 16, img.flash_offset);
        put_le32(&rec, 20, img.mem_address);
        put_le32(&rec, 24, img.length);
        put_le32(&rec, 28, img.entry_point);
        out.replace(pos, kFisRecordSize, rec);
        pos += kFisRecordSize;
    }
    return out;
}

std::vector<fis_image> fis_read(const std::string &bytes)
{
    std::vector<fis_image> out;
    for (size_t pos = 0; pos + kFisRecordSize <= bytes.size(); pos += kFisRecordSize) {
        if ((uint8_t)bytes[pos] == 0xFF)
            break;
        fis_image img;
        img.name.assign(bytes.data() + pos, strnlen(bytes.data() + pos, kFisNameLen));
        img.flash_offset = get_le32(bytes, pos + 16);
        img.mem_address = get_le32(bytes, pos + 20);
        img.length = get_le32(bytes, pos + 24);
        img.entry_point = get_le32(bytes, pos + 28);
        out.push_back(img);
    }
    return out;
}

bool block_keys_valid(const std::string &block)
{
    return block.size() >= kBlockSize && get_le32(block, kLeadingKeyOffset) == kConfigLeadingKey &&
           get_le32(block, kTrailingKeyOffset) == kConfigTrailingKey;
}

const char *verdict_name(boot_verdict v)
{
    switch (v) {
    case VERDICT_BANK:
        return "bank";
    case VERDICT_NO_BANK:
        return "no-bank";
    case VERDICT_PROMPT:
        break;
    }
    return "prompt";
}

boot_judgement judge_boot(const std::string &block, const std::vector<fis_image> &fis,
                          const flash_reader &read)
{
    if (block.size() < kBlockSize)
        return prompt("the configuration block cannot be read whole");
    if (!block_keys_valid(block))
        return prompt("a key word of the configuration block does not match");
    if (!block_crc_valid(block))
        return prompt("the configuration block's CRC does not match");
    std::vector<entry_view> list = walk(block);
    const entry_view *script_entry = find_entry(list, 4, "boot_script_data");
    if (script_entry == nullptr)
        return prompt("the configuration block has no boot script");
    // The script runs only when boot_script is set and its own enable key agrees.
    if (!flag_set(block, list, "boot_script"))
        return prompt("boot_script is not set: the boot script does not run");
    if (!script_entry->key.empty() &&
        flag_set(block, list, script_entry->key) != (script_entry->sense != 0))
        return prompt("the boot script's enable key " + script_entry->key + " disables it");
    const char *text = block.data() + script_entry->value;
    const std::string script(text, strnlen(text, config_value_length(4)));

    std::map<uint32_t, const fis_image *> memory; // load address -> image
    const fis_image *kernel = nullptr;
    size_t start = 0;
    while (start < script.size()) {
        size_t end = script.find('\n', start);
        if (end == std::string::npos)
            end = script.size();
        const std::string line = script.substr(start, end - start);
        start = end + 1;
        std::vector<std::string> w = words_of(line);
        if (w.size() >= 2 && w[0] == "fis" && w[1] == "load") {
            uint32_t addr = 0;
            bool at = false;
            std::string name;
            for (size_t i = 2; i < w.size(); i++) {
                if (w[i] == "-b" && i + 1 < w.size()) {
                    if (!parse_number(w[++i], &addr))
                        return prompt("fis load: bad load address " + w[i]);
                    at = true;
                } else if (w[i][0] != '-' && name.empty()) {
                    name = w[i];
                }
            }
            const fis_image *img = nullptr;
            for (const fis_image &f : fis)
                img = img == nullptr && f.name == name ? &f : img;
            if (img == nullptr)
                return prompt("fis load: no image \"" + name + "\" in the FIS directory");
            memory[at ? addr : img->mem_address] = img;
            if (!at)
                kernel = img;
            continue;
        }
        if (w.empty() || w[0] != "exec")
            continue; // other commands change nothing that is started
        if (kernel == nullptr)
            return prompt("exec: no image loaded to start");
        boot_judgement j;
        j.verdict = VERDICT_NO_BANK;
        j.how = script_cmdline(line, &j.cmdline);
        j.kernel = kernel->name;
        uint32_t initrd = 0;
        uint64_t size = 0;
        auto ram = memory.end();
        if (initrd_of(j.cmdline, &initrd, &size))
            ram = memory.find(initrd);
        if (ram != memory.end())
            j.ramdisk = ram->second->name;
        if (erased(*kernel, read))
            j.why = "the kernel image " + kernel->name + " is erased flash";
        else if (ram == memory.end())
            j.why = "no image was loaded at the command line's initrd= address";
        else if (erased(*ram->second, read))
            j.why = "the ramdisk image " + j.ramdisk + " is erased flash";
        else if (size < ram->second->length)
            j.why = "initrd= gives the ramdisk fewer bytes than " + j.ramdisk + " holds";
        else if (j.kernel.compare(0, 6, "kernel") != 0 || j.kernel.size() != 7 ||
                 j.ramdisk != "root" + j.kernel.substr(6) ||
                 (j.kernel[6] != '0' && j.kernel[6] != '1'))
            j.why = "kernel " + j.kernel + " with ramdisk " + j.ramdisk + " is no bank's pair";
        else
            j.verdict = VERDICT_BANK;
        if (j.verdict == VERDICT_BANK)
            j.bank = j.kernel[6] - '0';
        return j;
    }
    return prompt("the boot script ends without exec");
}

std::string boot_cmdline(const std::string &exec_text, int bank)
{
    std::string out;
    for (const std::string &w : words_of(exec_text))
        out += w + " ";
    return out + "bootopt=" + std::to_string(bank) + "\n";
}

std::vector<fis_image> standard_fis(const std::vector<partition> &parts)
{
    std::vector<fis_image> out;
    uint32_t offset = 0;
    for (const partition &p : parts) {
        bool kernel = p.label.compare(0, 6, "kernel") == 0;
        if (kernel || p.label.compare(0, 4, "root") == 0) {
            uint32_t addr = kernel ? kKernelAddress : kRamdiskAddress;
            out.push_back({p.label, offset, addr, p.size, addr});
        }
        offset += p.size;
    }
    return out;
}

int judge_device(const std::string &root, boot_judgement *out, std::string *err)
{
    std::string table, block, fis;
    if (!read_file(root + "/proc/mtd", &table)) {
        *err = root + "/proc/mtd: " + strerror(errno);
        return -1;
    }
    if (read_config_block(root, &block, err) != 0)
        return -1;
    // The partitions lie back to back on one chip, in the table's order.
    struct span {
        uint32_t offset, size;
        std::string dev;
    };
    std::vector<span> spans;
    uint32_t offset = 0;
    for (int i = 0;; i++) {
        char name[16];
        snprintf(name, sizeof(name), "mtd%d:", i);
        size_t at = table.find(name);
        unsigned size = 0;
        if (at == std::string::npos || sscanf(table.c_str() + at, "mtd%*d: %x", &size) != 1)
            break;
        spans.push_back({offset, size, root + "/dev/mtdblock" + std::to_string(i)});
        offset += size;
    }
    int fis_num = mtd_index(table, "FIS directory");
    if (fis_num >= 0 && (size_t)fis_num < spans.size())
        read_file(spans[fis_num].dev, &fis);
    flash_reader read = [&spans](uint32_t off, uint32_t len, std::string *data) {
        for (const span &s : spans) {
            std::string all;
            if (off < s.offset || off + (uint64_t)len > (uint64_t)s.offset + s.size)
                continue;
            if (!read_file(s.dev, &all) || all.size() < off - s.offset + (uint64_t)len)
                return false;
            *data = all.substr(off - s.offset, len);
            return true;
        }
        return false;
    };
    *out = judge_boot(block, fis_read(fis), read);
    return 0;
}

} // namespace sim
