// SPDX-License-Identifier: MIT
// Simulated device trees: everything the firmware tool reads and writes on the controller, laid
// out as plain files under one directory (the FWUP_SYSROOT of fwupgrade-sim). Host-side code.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace sim
{

// The boot loader's key words around a configuration block: at offset 4 and at 0x1FFF8.
const uint32_t kConfigLeadingKey = 0x0BADFACE;
const uint32_t kConfigTrailingKey = 0xDEADDEAD;
// The configuration block's geometry: one erase block, the trailing key word and the CRC last.
const uint32_t kBlockSize = 0x20000;
const uint32_t kTrailingKeyOffset = 0x1FFF8;
const uint32_t kCrcOffset = 0x1FFFC;

struct partition {
    std::string label;  // without quotes, as RedBoot names it
    uint32_t size;      // bytes
    uint32_t erasesize; // bytes
    bool create_device; // write dev/mtdblockN filled with 0xFF
};

struct config_entry {
    uint8_t type; // 1 bool, 2 int, 3 string, 4 script, 5 IP, 6 ESA, 7 port
    std::string name;
    std::string value;      // raw value bytes, padded with zeros to the type's length
    std::string enable_key; // empty for none
};

struct device_options {
    int running_bank = 0;            // the script loads it, the kernel booted from it
    std::string model = "SIM3000";   // release text is "2.6.31-" + model
    uint32_t kernel_size = 0x100000; // each kernel partition
    uint32_t root_size = 0x400000;   // each root partition
    std::string script;              // boot script text; empty: the standard one
    std::string cmdline;             // kernel command line; empty: the script's, running_bank's
    std::string evt_library;         // file to install as lib/libevt.so; empty: none
    bool flash_driver = true;        // proc/strata/lock and unlock present
};

// Bitwise CRC-32 (reflected 0xEDB88320, initial 0, no inversion) of the first `len` bytes,
// independent of the program's table-driven one so that a fault in either shows.
uint32_t crc_ref(const std::string &data, size_t len);

// The standard three-line boot script loading `bank`.
std::string boot_script(int bank);

// The RedBoot value length of an entry type (0 for unknown types).
uint32_t config_value_length(uint8_t type);

// The usual entries of a RedBoot configuration with `script` as boot_script_data.
std::vector<config_entry> standard_entries(const std::string &script);

// A whole 0x20000-byte configuration block: length word, key words, the entries, an end marker,
// 0xFF fill and a valid CRC. `fix_crc` false leaves the CRC word as 0.
std::string config_block(const std::vector<config_entry> &entries, bool fix_crc = true);

// The partition table of the simulated device (kernel/root sizes from the options).
std::vector<partition> standard_partitions(const device_options &opt);

// /proc/mtd text for the partitions, numbered from 0 in order.
std::string proc_mtd(const std::vector<partition> &parts);

// Builds a complete device tree under `root` (created when absent): the configuration partition
// has its block device and an empty stand-in for its character device. Returns 0, or -1 with the
// reason in `*err`.
int create_device(const std::string &root, const device_options &opt, std::string *err);

// The boot script stored in a configuration block, found by an independent walk of its entries:
// the first type-4 entry named boot_script_data whose value lies wholly before the CRC word.
// False when there is none; `*script` is then left alone.
bool block_boot_script(const std::string &block, std::string *script);

// The bank a boot script loads, as the boot loader's bank test sees it: 1 when the text holds
// both "kernel1" and "root1", else 0 when it holds "kernel0" and "root0", else -1.
int script_bank(const std::string &script);

// The partition number of the quoted `label` in /proc/mtd text, or -1 when no line names it.
// With `size` non-null, the partition's size (hex column) goes there when it is found.
int mtd_index(const std::string &proc_mtd_text, const std::string &label, uint32_t *size = nullptr);

// The kernel command line after a boot from `bank`: every word that mentions "bootopt=" is
// dropped and one "bootopt=<bank>" ends the line.
std::string cmdline_for_bank(const std::string &cmdline, int bank);

// What the kernel command line of a boot by `script` is taken from.
enum exec_result {
    EXEC_NONE = -1,        // no exec line: the boot loader would stop at its prompt
    EXEC_QUOTED = 0,       // the text between the double quotes of the first exec line
    EXEC_UNTERMINATED = 1, // no closing quote: the text after the opening one, to the line's end
    EXEC_NO_TEXT = 2,      // an exec line without a quoted command line: empty
};

// The kernel command line that the first exec line of `script` (first word "exec") passes,
// in `*cmdline`, and how it was found.
exec_result script_cmdline(const std::string &script, std::string *cmdline);

// True when the CRC word of a whole configuration block matches its contents; the boot loader
// ignores a block that fails (and with it the boot script).
bool block_crc_valid(const std::string &block);

// Reads the whole configuration block of the device under `root`. Returns 0, or -1 with the
// reason in `*err`.
int read_config_block(const std::string &root, std::string *block, std::string *err);

// Reads the boot script from the configuration block of the device under `root`. Returns 0, or
// -1 with the reason in `*err`.
int read_boot_script(const std::string &root, std::string *script, std::string *err);

// Small file helpers shared by tests and tools.
bool write_file(const std::string &path, const std::string &data);
bool read_file(const std::string &path, std::string *data);
bool make_dirs(const std::string &path);
bool remove_tree(const std::string &path);

} // namespace sim
