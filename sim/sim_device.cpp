// SPDX-License-Identifier: MIT
#include "sim_device.h"

#include "boot_judge.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <ftw.h>
#include <sys/stat.h>
#include <unistd.h>

namespace sim
{

namespace
{

const uint32_t kEraseBlock = 0x20000;

void put_le32(std::string *s, size_t off, uint32_t v)
{
    for (int i = 0; i < 4; i++)
        (*s)[off + i] = (char)((v >> (8 * i)) & 0xFF);
}

std::string le32(uint32_t v)
{
    std::string s(4, '\0');
    put_le32(&s, 0, v);
    return s;
}

bool fill_device(const std::string &path, uint32_t size)
{
    std::string chunk(0x10000, '\xff');
    FILE *f = fopen(path.c_str(), "wb");
    bool ok = f != nullptr;

    for (uint32_t done = 0; ok && done < size;) {
        size_t n = size - done < chunk.size() ? size - done : chunk.size();
        ok = fwrite(chunk.data(), 1, n, f) == n;
        done += (uint32_t)n;
    }
    if (f != nullptr && fclose(f) != 0)
        ok = false;
    return ok;
}

bool copy_file(const std::string &from, const std::string &to)
{
    std::string data;
    return read_file(from, &data) && write_file(to, data) && chmod(to.c_str(), 0755) == 0;
}

// Writes a recognisable stand-in image at the start of a partition's device.
bool stamp_firmware(const std::string &dev, const char *what)
{
    std::string data;
    if (!read_file(dev, &data))
        return false;
    std::string stamp = std::string("simulated running ") + what + " image\n";
    data.replace(0, stamp.size() < data.size() ? stamp.size() : data.size(), stamp);
    return write_file(dev, data);
}

int remove_one(const char *path, const struct stat64 *, int, struct FTW *)
{
    return remove(path);
}

} // namespace

uint32_t crc_ref(const std::string &data, size_t len)
{
    uint32_t crc = 0;
    for (size_t i = 0; i < len; i++) {
        crc ^= (uint8_t)data[i];
        for (int b = 0; b < 8; b++)
            crc = (crc & 1) ? (crc >> 1) ^ 0xEDB88320u : crc >> 1;
    }
    return crc;
}

std::string boot_script(int bank)
{
    char buf[256];
    snprintf(buf, sizeof(buf),
             "fis load -b 0x0a000000 root%d\nfis load kernel%d\n"
             "exec -c \"root=/dev/ram0 initrd=0x0a000000,10M console=ttyS0,115200\"\n",
             bank, bank);
    return buf;
}

uint32_t config_value_length(uint8_t type)
{
    switch (type) {
    case 1:
    case 2:
    case 5:
        return 4;
    case 3:
    case 7:
        return 128;
    case 4:
        return 512;
    case 6:
        return 8;
    default:
        return 0;
    }
}

std::vector<config_entry> standard_entries(const std::string &script)
{
    return {
        {1, "boot_script", le32(1), ""},
        {4, "boot_script_data", script, "boot_script"},
        {2, "boot_script_timeout", le32(3), "boot_script"},
        {5, "bootp_my_ip", std::string("\xc0\xa8\x01\x02", 4), "bootp"},
        {3, "bootp_server_file", "", ""},
        {6, "eth0_esa_data", std::string("\x00\x0a\x35\x00\x01\x02\x00\x00", 8), ""},
        {2, "console_baud_rate", le32(115200), ""},
    };
}

std::string config_block(const std::vector<config_entry> &entries, bool fix_crc)
{
    std::string block(kBlockSize, '\xff');
    size_t pos = 8;

    put_le32(&block, 0, kBlockSize);
    put_le32(&block, 4, kConfigLeadingKey);
    for (const config_entry &e : entries) {
        uint32_t vlen = config_value_length(e.type);
        size_t nlen = e.name.size() + 1;
        size_t klen = e.enable_key.empty() ? 0 : e.enable_key.size() + 1;
        std::string entry;
        entry += (char)e.type;
        entry += (char)nlen;
        entry += (char)(klen ? 1 : 0);
        entry += (char)klen;
        entry += e.name + '\0';
        if (klen)
            entry += e.enable_key + '\0';
        std::string value = e.value.substr(0, vlen);
        value.resize(vlen, '\0');
        entry += value;
        block.replace(pos, entry.size(), entry);
        pos += entry.size();
    }
    block[pos] = '\0'; // end of the list
    put_le32(&block, kTrailingKeyOffset, kConfigTrailingKey);
    put_le32(&block, kCrcOffset, fix_crc ? crc_ref(block, kCrcOffset) : 0);
    return block;
}

std::vector<partition> standard_partitions(const device_options &opt)
{
    return {
        {"RedBoot", 0x40000, kEraseBlock, false},
        {"RedBoot config", kBlockSize, kEraseBlock, true},
        {"FIS directory", 0x20000, kEraseBlock, true},
        {"kernel0", opt.kernel_size, kEraseBlock, true},
        {"root0", opt.root_size, kEraseBlock, true},
        {"kernel1", opt.kernel_size, kEraseBlock, true},
        {"root1", opt.root_size, kEraseBlock, true},
        {"config", 0x100000, kEraseBlock, false},
    };
}

std::string proc_mtd(const std::vector<partition> &parts)
{
    std::string out = "dev:    size   erasesize  name\n";
    char line[160];

    for (size_t i = 0; i < parts.size(); i++) {
        snprintf(line, sizeof(line), "mtd%zu: %08x %08x \"%s\"\n", i, parts[i].size,
                 parts[i].erasesize, parts[i].label.c_str());
        out += line;
    }
    return out;
}

int create_device(const std::string &root, const device_options &opt, std::string *err)
{
    std::vector<partition> parts = standard_partitions(opt);
    std::string script = opt.script.empty() ? boot_script(opt.running_bank) : opt.script;
    std::string cmdline = opt.cmdline;
    auto fail = [err](const std::string &what) {
        if (err != nullptr)
            *err = what + ": " + strerror(errno);
        return -1;
    };

    // As a boot by the script would leave it: its exec line's text and the running bank.
    if (cmdline.empty()) {
        script_cmdline(script, &cmdline);
        cmdline = boot_cmdline(cmdline, opt.running_bank);
    }
    for (const char *d : {"proc/sys/kernel", "dev", "var/lock", "var/log", "etc", "lib", "tmpfs",
                          "kelpvar/config0/oem_root", "kelpvar/config1/oem_root"}) {
        if (!make_dirs(root + "/" + d))
            return fail(root + "/" + d);
    }
    if (!write_file(root + "/proc/mtd", proc_mtd(parts)))
        return fail("proc/mtd");
    for (size_t i = 0; i < parts.size(); i++) {
        std::string dev = root + "/dev/mtdblock" + std::to_string(i);
        if (parts[i].label == "RedBoot config") {
            // Its character device stands in empty: the upgrade lock is taken on it, never read.
            std::string chr = root + "/dev/mtd" + std::to_string(i);
            if (!write_file(dev, config_block(standard_entries(script))) || !write_file(chr, ""))
                return fail(dev);
        } else if (parts[i].label == "FIS directory") {
            if (!write_file(dev, fis_directory(standard_fis(parts), parts[i].size)))
                return fail(dev);
        } else if (parts[i].create_device && !fill_device(dev, parts[i].size)) {
            return fail(dev);
        }
    }
    // The running bank holds firmware: the boot loader started it, so its flash is not erased.
    for (const char *label : {"kernel", "root"}) {
        std::string dev =
            root + "/dev/mtdblock" +
            std::to_string(mtd_index(proc_mtd(parts), label + std::to_string(opt.running_bank)));
        if (!stamp_firmware(dev, label))
            return fail(dev);
    }
    if (!write_file(root + "/proc/cmdline", cmdline) ||
        !write_file(root + "/proc/sys/kernel/osrelease", "2.6.31-" + opt.model + "\n") ||
        !write_file(root + "/proc/dte", "") ||
        !write_file(root + "/etc/mtab", "rootfs / rootfs rw 0 0\n"
                                        "/dev/mtdblock7 /kelpvar jffs2 rw 0 0\n"
                                        "tmpfs /tmpfs tmpfs rw 0 0\n"))
        return fail("proc files");
    // Without the flash driver there is no proc/strata at all, so unlock requests fail.
    if (opt.flash_driver &&
        (!make_dirs(root + "/proc/strata") || !write_file(root + "/proc/strata/lock", "") ||
         !write_file(root + "/proc/strata/unlock", "")))
        return fail("proc/strata");
    if (!opt.evt_library.empty() && !copy_file(opt.evt_library, root + "/lib/libevt.so"))
        return fail(opt.evt_library);
    return 0;
}

bool block_boot_script(const std::string &block, std::string *script)
{
    static const char kKey[] = "boot_script_data";
    const size_t key_len = sizeof(kKey) - 1;
    const uint32_t script_len = config_value_length(4);
    size_t pos = 8;

    if (block.size() < kBlockSize)
        return false;
    // Every header, name and value must end before the CRC word, as the boot loader keeps them.
    while (pos + 4 <= kCrcOffset && block[pos] != '\0') {
        uint8_t type = (uint8_t)block[pos];
        size_t n = (uint8_t)block[pos + 1];
        size_t m = (uint8_t)block[pos + 3];
        size_t value = pos + 4 + n + m;

        if (value > kCrcOffset)
            return false;
        const char *name = block.data() + pos + 4;
        size_t name_len = strnlen(name, n);
        if (type == 4 && name_len == key_len && memcmp(name, kKey, key_len) == 0) {
            if (value + script_len > kCrcOffset)
                return false;
            const char *text = block.data() + value;
            script->assign(text, strnlen(text, script_len));
            return true;
        }
        pos = value + config_value_length(type);
    }
    return false;
}

int script_bank(const std::string &script)
{
    auto has = [&script](const char *word) { return script.find(word) != std::string::npos; };
    int bank = -1;

    if (has("kernel0") && has("root0"))
        bank = 0;
    if (has("kernel1") && has("root1"))
        bank = 1;
    return bank;
}

int mtd_index(const std::string &proc_mtd_text, const std::string &label, uint32_t *size)
{
    const std::string quoted = "\"" + label + "\"";
    size_t start = 0;

    while (start < proc_mtd_text.size()) {
        size_t end = proc_mtd_text.find('\n', start);
        if (end == std::string::npos)
            end = proc_mtd_text.size();
        std::string line = proc_mtd_text.substr(start, end - start);
        unsigned num = 0, bytes = 0;
        size_t q = line.find('"');
        if (q != std::string::npos && line.compare(q, std::string::npos, quoted) == 0 &&
            sscanf(line.c_str(), "mtd%u:", &num) == 1) {
            if (size != nullptr)
                *size = sscanf(line.c_str(), "mtd%*u: %x", &bytes) == 1 ? bytes : 0;
            return (int)num;
        }
        start = end + 1;
    }
    return -1;
}

std::string cmdline_for_bank(const std::string &cmdline, int bank)
{
    static const char kSpace[] = " \t\r\n";
    std::string out;
    size_t pos = cmdline.find_first_not_of(kSpace);

    while (pos != std::string::npos) {
        size_t end = cmdline.find_first_of(kSpace, pos);
        std::string word = cmdline.substr(pos, end == std::string::npos ? end : end - pos);
        // The tool takes any "bootopt=" substring as the override, so no such word may stay.
        if (word.find("bootopt=") == std::string::npos)
            out += word + " ";
        pos = end == std::string::npos ? end : cmdline.find_first_not_of(kSpace, end);
    }
    return out + "bootopt=" + std::to_string(bank) + "\n";
}

exec_result script_cmdline(const std::string &script, std::string *cmdline)
{
    static const char kBlank[] = " \t";
    size_t start = 0;

    while (start < script.size()) {
        size_t end = script.find('\n', start);
        if (end == std::string::npos)
            end = script.size();
        const std::string line = script.substr(start, end - start);
        start = end + 1;
        size_t word = line.find_first_not_of(kBlank);
        if (word == std::string::npos || line.compare(word, 4, "exec") != 0 ||
            (word + 4 < line.size() && strchr(kBlank, line[word + 4]) == nullptr))
            continue;
        size_t open = line.find('"', word);
        if (open == std::string::npos) {
            cmdline->clear();
            return EXEC_NO_TEXT;
        }
        size_t close = line.find('"', open + 1);
        if (close == std::string::npos) {
            *cmdline = line.substr(open + 1);
            return EXEC_UNTERMINATED;
        }
        *cmdline = line.substr(open + 1, close - open - 1);
        return EXEC_QUOTED;
    }
    return EXEC_NONE;
}

bool block_crc_valid(const std::string &block)
{
    if (block.size() < kBlockSize)
        return false;
    uint32_t stored = 0;
    for (int i = 3; i >= 0; i--)
        stored = (stored << 8) | (uint8_t)block[kCrcOffset + i];
    return crc_ref(block, kCrcOffset) == stored;
}

int read_config_block(const std::string &root, std::string *block, std::string *err)
{
    std::string table;
    auto fail = [err](const std::string &what) {
        if (err != nullptr)
            *err = what;
        return -1;
    };

    if (!read_file(root + "/proc/mtd", &table))
        return fail(root + "/proc/mtd: " + strerror(errno));
    int num = mtd_index(table, "RedBoot config");
    if (num < 0)
        return fail("no \"RedBoot config\" partition in " + root + "/proc/mtd");
    std::string dev = root + "/dev/mtdblock" + std::to_string(num);
    if (!read_file(dev, block))
        return fail(dev + ": " + strerror(errno));
    if (block->size() < kBlockSize)
        return fail(dev + ": shorter than a configuration block");
    return 0;
}

int read_boot_script(const std::string &root, std::string *script, std::string *err)
{
    std::string block;

    if (read_config_block(root, &block, err) != 0)
        return -1;
    if (!block_boot_script(block, script)) {
        if (err != nullptr)
            *err = "the configuration block has no boot_script_data entry";
        return -1;
    }
    return 0;
}

bool write_file(const std::string &path, const std::string &data)
{
    FILE *f = fopen(path.c_str(), "wb");
    bool ok = f != nullptr && fwrite(data.data(), 1, data.size(), f) == data.size();

    if (f != nullptr && fclose(f) != 0)
        ok = false;
    return ok;
}

bool read_file(const std::string &path, std::string *data)
{
    FILE *f = fopen(path.c_str(), "rb");
    char buf[65536];
    size_t n;

    if (f == nullptr)
        return false;
    data->clear();
    while ((n = fread(buf, 1, sizeof(buf), f)) > 0)
        data->append(buf, n);
    bool ok = !ferror(f);
    fclose(f);
    return ok;
}

bool make_dirs(const std::string &path)
{
    for (size_t i = 1; i <= path.size(); i++) {
        if (i == path.size() || path[i] == '/') {
            std::string part = path.substr(0, i);
            if (mkdir(part.c_str(), 0755) != 0 && errno != EEXIST)
                return false;
        }
    }
    return true;
}

bool remove_tree(const std::string &path)
{
    // The 64-bit walk: on a 32-bit target the plain one stops at a file of 2 GiB or more.
    return nftw64(path.c_str(), remove_one, 16, FTW_DEPTH | FTW_PHYS) == 0;
}

} // namespace sim
