// SPDX-License-Identifier: MIT
// What the boot loader does at the next power-on, judged from the flash alone: whether it takes
// its configuration block (both key words and the CRC), whether the boot script is enabled, and
// what the script's lines load and start. Shared by the simulator's tools and the real-kernel
// harness; host code, independent of the device program.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "sim_device.h"

namespace sim
{

// One image of the boot loader's flash image directory.
struct fis_image {
    std::string name;      // at most 15 characters
    uint32_t flash_offset; // from the start of the chip
    uint32_t mem_address;  // where a load without -b puts it
    uint32_t length;       // bytes a load copies
    uint32_t entry_point;  // where exec starts it
};

// The directory's flash format: 64-byte records (name, NUL-padded to 16 bytes, then the four
// words above, little-endian), ended by a record whose first byte is erased (0xFF) or by the end
// of the partition. `size` is the partition's size.
const uint32_t kFisRecordSize = 64;
std::string fis_directory(const std::vector<fis_image> &images, uint32_t size);
std::vector<fis_image> fis_read(const std::string &bytes);

enum boot_verdict {
    VERDICT_PROMPT,  // the boot loader stops at its prompt: nothing is started
    VERDICT_BANK,    // it starts one bank's kernel with that bank's ramdisk
    VERDICT_NO_BANK, // it starts a kernel that cannot come up as either bank
};

struct boot_judgement {
    boot_verdict verdict = VERDICT_PROMPT;
    int bank = -1;       // VERDICT_BANK only
    std::string why;     // what stopped it, or why the start is no bank
    std::string kernel;  // directory name of the image exec starts
    std::string ramdisk; // directory name of the image at the initrd= address
    std::string cmdline; // the exec line's command line, as the kernel receives it
    exec_result how = EXEC_NONE;
};

// Reads `length` bytes at `offset` of the chip; false when they cannot be read.
using flash_reader = std::function<bool(uint32_t offset, uint32_t length, std::string *out)>;

// True when both key words of a whole configuration block are in place.
bool block_keys_valid(const std::string &block);

// The judgement of a power-on with configuration block `block` and image directory `fis`.
boot_judgement judge_boot(const std::string &block, const std::vector<fis_image> &fis,
                          const flash_reader &read);

// "prompt", "bank" or "no-bank".
const char *verdict_name(boot_verdict v);

// The kernel command line of a boot from `bank`: the exec line's words as they stand, then the
// loader's "bootopt=<bank>".
std::string boot_cmdline(const std::string &exec_text, int bank);

// The judgement of the simulated device under `root`, whose partitions lie on one chip back to
// back in /proc/mtd order. Returns 0, or -1 with the reason in `*err` when the device cannot be
// read at all.
int judge_device(const std::string &root, boot_judgement *out, std::string *err);

// The image directory create_device writes: each bank's kernel and root partition.
std::vector<fis_image> standard_fis(const std::vector<partition> &parts);

} // namespace sim
