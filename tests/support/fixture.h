// SPDX-License-Identifier: MIT
// Test support: temporary device roots, running the real program, capturing standard output.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <sys/types.h>
#include <vector>

#include "sim_device.h"

namespace fwtest
{

// Paths of the built programs (set by the build).
const char *sim_binary();
const char *evt_library();
const char *fwtool_binary();

// Test data: lower-case hex of bytes, deterministic pseudo-random bytes, the MD5 digest (16 raw
// bytes) of a string, and a bitwise CRC-32 (reflected, initial 0, no inversion) independent of
// the program's table-driven one.
std::string hex(const uint8_t *d, size_t n);
std::string random_bytes(size_t n, uint32_t seed);
std::string md5_of(const std::string &data);
uint32_t crc_ref(const std::string &data, size_t len);
// A firmware image file for `model` (at most 15 characters kept), assembled by hand,
// independently of the program's writer.
std::string image_file(const std::string &model, const std::string &kernel,
                       const std::string &root);

// A fresh directory under the temporary directory, removed with everything in it.
class TempDir
{
  public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir &) = delete;
    TempDir &operator=(const TempDir &) = delete;
    const std::string &path() const
    {
        return path_;
    }
    std::string operator/(const std::string &rel) const
    {
        return path_ + "/" + rel;
    }

  private:
    std::string path_;
};

struct run_result {
    int status = -1; // exit status 0..255, or 128 + signal
    std::string out; // standard output
    std::string err; // standard error
};

// Runs `program` with argv[0] = `name` and `args`, with the extra environment entries
// ("KEY=VALUE") added to the test's own. Waits for it to end.
run_result run_program(const std::string &program, const std::string &name,
                       const std::vector<std::string> &args,
                       const std::vector<std::string> &env = {});

// Runs `program` as run_program does, on a pseudo-terminal `columns` wide: everything it wrote
// to the terminal, both streams together, in `out`.
run_result run_in_terminal(const std::string &program, const std::string &name,
                           const std::vector<std::string> &args, int columns);
// Starts `program` as run_program does, its standard streams on /dev/null, and returns at once:
// the child's process id for waitpid(), or -1. Use it, not posix_spawn(), for the built programs:
// in a cross build they run through the emulator.
pid_t start_program(const std::string &program, const std::string &name,
                    const std::vector<std::string> &args, const std::vector<std::string> &env = {});

// Captures what the process writes to file descriptor 1 between construction and take().
class StdoutCapture
{
  public:
    StdoutCapture();
    ~StdoutCapture();
    std::string take();

  private:
    int saved_ = -1;
    int file_ = -1;
};

// A simulated device in a temporary root, with FWUP_SYSROOT pointing at it for in-process calls
// of the modules (platform_init() is called in SetUp) and for the programs the test runs.
class SimDeviceTest : public ::testing::Test
{
  protected:
    void SetUp() override;
    // Recreates the device with other options (the root stays the same directory).
    void make_device(const sim::device_options &opt);
    // Runs fwupgrade-sim under the command `name` against this device.
    run_result run(const std::string &name, const std::vector<std::string> &args = {},
                   const std::vector<std::string> &env = {});
    std::string path(const std::string &rel) const
    {
        return dir_ / rel;
    }
    std::string read(const std::string &rel) const;
    void write(const std::string &rel, const std::string &data) const;
    // The configuration block as stored on the simulated flash.
    std::string config_block() const;
    // The boot script text in the stored block ("" when there is no script entry).
    std::string stored_script() const;
    // True when the stored block's CRC word matches its contents.
    bool stored_crc_valid() const;

    TempDir dir_;
    sim::device_options opt_;
};

} // namespace fwtest
