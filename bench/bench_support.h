// SPDX-License-Identifier: MIT
// Support of the benchmark harness: clocks and statistics, running a program and taking its
// time and peak memory, JSON text, and facts about the machine. Host-side code.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace fwbench
{

double now_mono();                                // seconds, monotonic clock
double now_thread_cpu();                          // seconds of CPU time used by this thread
double quantile(std::vector<double> v, double q); // 0 <= q <= 1, interpolated; of the values that
                                                  // are not NAN; NAN for none
double median(std::vector<double> v);             // quantile 0.5
double minimum(const std::vector<double> &v);     // NAN for none
std::string format(const char *fmt, ...) __attribute__((format(printf, 1, 2)));

// Fills `n` bytes with a repeatable pseudo-random sequence (xorshift) chosen by `seed`.
void fill_random(uint8_t *p, size_t n, uint64_t seed);
// The first executable `name` along $PATH, or "" when there is none.
std::string find_in_path(const std::string &name);
// This process's anonymous resident pages (RssAnon), the part a forked child inherits, or -1.
long self_anon_kib();

struct run_out {
    int status = -1;          // exit status, or 128 + signal
    double seconds = 0;       // fork to reaped child
    double cpu_seconds = 0;   // user + system time of the child and what it waited for
    long maxrss_kib = 0;      // the child's peak resident set (wait4)
    long parent_anon_kib = 0; // this process's anonymous resident set at the fork
};

// Whether each run can have a private System V IPC namespace (root); remembered for
// run_program.
bool probe_private_ipc();
// Runs `exe` with `argv` and the environment `env` (nothing else), standard input from
// /dev/null, standard output and error appended to `log`. With `private_ipc` (and a successful
// probe) the child gets its own IPC namespace first.
run_out run_program(const std::string &exe, const std::vector<std::string> &argv,
                    const std::vector<std::string> &env, const std::string &log, bool private_ipc);

std::string json_string(const std::string &text); // quoted and escaped
std::string json_number(double v);                // null when not finite
std::string json_array(const std::vector<double> &v);

// The value after the colon of the first line of `path` that holds `key` ("?" when none).
std::string first_line_with(const std::string &path, const char *key);
// "device on mount-point (type)" of the file system that holds `path`.
std::string mount_of(const std::string &path);
// Median milliseconds of one 32 KiB write followed by fsync in `dir`, over 128 of them.
double sync_write_ms(const std::string &dir);

} // namespace fwbench
