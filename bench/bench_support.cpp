// SPDX-License-Identifier: MIT
#include "bench_support.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sched.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>
#include <utility>

#include "sim_device.h"

namespace fwbench
{

namespace
{

bool g_private_ipc = false; // set by probe_private_ipc

} // namespace

double now_mono()
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (double)ts.tv_sec + (double)ts.tv_nsec * 1e-9;
}

double now_thread_cpu()
{
    timespec ts;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return (double)ts.tv_sec + (double)ts.tv_nsec * 1e-9;
}

double quantile(std::vector<double> v, double q)
{
    // A value that could not be measured (NAN) has no place in the order.
    v.erase(std::remove_if(v.begin(), v.end(), [](double x) { return std::isnan(x); }), v.end());
    if (v.empty())
        return NAN;
    std::sort(v.begin(), v.end());
    // Interpolated between the two values around position q * (n - 1).
    double at = q * (double)(v.size() - 1);
    size_t lo = (size_t)at;
    size_t hi = std::min(lo + 1, v.size() - 1);
    return v[lo] + (v[hi] - v[lo]) * (at - (double)lo);
}

double median(std::vector<double> v)
{
    return quantile(std::move(v), 0.5);
}

double minimum(const std::vector<double> &v)
{
    return v.empty() ? NAN : *std::min_element(v.begin(), v.end());
}

std::string format(const char *fmt, ...)
{
    va_list ap, again;
    va_start(ap, fmt);
    va_copy(again, ap);
    int n = vsnprintf(nullptr, 0, fmt, ap);
    std::string out(n > 0 ? (size_t)n : 0, '\0');
    if (n > 0)
        vsnprintf(&out[0], out.size() + 1, fmt, again);
    va_end(again);
    va_end(ap);
    return out;
}

void fill_random(uint8_t *p, size_t n, uint64_t seed)
{
    uint64_t x = seed * 0x9E3779B97F4A7C15ull + 1;
    for (size_t i = 0; i < n; i += sizeof(x)) {
        x ^= x << 13;
        x ^= x >> 7;
        x ^= x << 17;
        memcpy(p + i, &x, std::min(sizeof(x), n - i));
    }
}

std::string find_in_path(const std::string &name)
{
    const char *path = getenv("PATH");
    std::string dirs = path != nullptr ? path : "/usr/bin:/bin";
    size_t start = 0;
    while (start <= dirs.size()) {
        size_t end = dirs.find(':', start);
        if (end == std::string::npos)
            end = dirs.size();
        std::string candidate = dirs.substr(start, end - start) + "/" + name;
        if (access(candidate.c_str(), X_OK) == 0)
            return candidate;
        start = end + 1;
    }
    return "";
}

long self_anon_kib()
{
    std::string status;
    if (!sim::read_file("/proc/self/status", &status))
        return -1;
    size_t at = status.find("RssAnon:");
    return at == std::string::npos ? -1 : atol(status.c_str() + at + 8);
}

// Each run gets a private System V IPC namespace where the system allows one (root), the
// equivalent of `unshare --ipc` without a process of its own: the progress record of one run
// never meets another's, nor that of a test running beside the benchmark.
bool probe_private_ipc()
{
    pid_t pid = fork();
    if (pid == 0)
        _exit(unshare(CLONE_NEWIPC) == 0 ? 0 : 1);
    int status = 0;
    g_private_ipc =
        pid > 0 && waitpid(pid, &status, 0) == pid && WIFEXITED(status) && WEXITSTATUS(status) == 0;
    return g_private_ipc;
}

// Runs `exe` with `argv` and `env`; standard output and error go to `log` (appended). The time
// is taken from just before the fork to the reaped child, so it covers process start and exit.
// A forked child's peak starts from the resident set it inherits, the benchmark's anonymous
// pages (the kernel copies their page-table entries and sets the new process's high-water mark
// to them; exec keeps that mark): the benchmark keeps them small, and each run tells how small.
run_out run_program(const std::string &exe, const std::vector<std::string> &argv,
                    const std::vector<std::string> &env, const std::string &log, bool private_ipc)
{
    std::vector<char *> av, ev;
    for (const std::string &a : argv)
        av.push_back(const_cast<char *>(a.c_str()));
    av.push_back(nullptr);
    for (const std::string &e : env)
        ev.push_back(const_cast<char *>(e.c_str()));
    ev.push_back(nullptr);

    run_out r;
    r.parent_anon_kib = self_anon_kib();
    fflush(stdout);
    double t0 = now_mono();
    pid_t pid = fork();
    if (pid == 0) {
        int in = open("/dev/null", O_RDONLY);
        int out = open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
        if (in < 0 || out < 0 || dup2(in, 0) < 0 || dup2(out, 1) < 0 || dup2(out, 2) < 0)
            _exit(126);
        if (private_ipc && g_private_ipc && unshare(CLONE_NEWIPC) != 0)
            _exit(126);
        execve(exe.c_str(), av.data(), ev.data());
        _exit(127);
    }
    if (pid < 0)
        return r;
    int status = 0;
    struct rusage ru;
    memset(&ru, 0, sizeof(ru));
    if (wait4(pid, &status, 0, &ru) != pid)
        return r;
    r.seconds = now_mono() - t0;
    r.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    r.cpu_seconds = (double)ru.ru_utime.tv_sec + (double)ru.ru_utime.tv_usec * 1e-6 +
                    (double)ru.ru_stime.tv_sec + (double)ru.ru_stime.tv_usec * 1e-6;
    r.maxrss_kib = ru.ru_maxrss;
    return r;
}

std::string json_string(const std::string &text)
{
    std::string out = "\"";
    for (char c : text) {
        if (c == '"' || c == '\\')
            out += std::string("\\") + c;
        else if (c == '\n')
            out += "\\n";
        else if ((unsigned char)c < 0x20)
            out += format("\\u%04x", c);
        else
            out += c;
    }
    return out + "\"";
}

std::string json_number(double v)
{
    return std::isfinite(v) ? format("%.6g", v) : "null";
}

std::string json_array(const std::vector<double> &v)
{
    std::string out = "[";
    for (size_t i = 0; i < v.size(); i++)
        out += (i ? ", " : "") + json_number(v[i]);
    return out + "]";
}

std::string first_line_with(const std::string &path, const char *key)
{
    std::string text;
    if (!sim::read_file(path, &text))
        return "?";
    size_t at = text.find(key);
    if (at == std::string::npos)
        return "?";
    size_t colon = text.find(':', at);
    size_t eol = text.find('\n', at);
    std::string v = text.substr(colon + 1, eol - colon - 1);
    v.erase(0, v.find_first_not_of(" \t"));
    return v;
}

// The mount that holds `path`: device, mount point and file system type from /proc/self/mounts.
std::string mount_of(const std::string &path)
{
    std::string text, best, best_dir;
    if (!sim::read_file("/proc/self/mounts", &text))
        return "?";
    char real[PATH_MAX];
    std::string p = realpath(path.c_str(), real) != nullptr ? real : path;
    size_t pos = 0;
    while (pos < text.size()) {
        size_t eol = text.find('\n', pos);
        std::string line = text.substr(pos, eol - pos);
        pos = eol == std::string::npos ? text.size() : eol + 1;
        char dev[256], dir[512], type[64];
        if (sscanf(line.c_str(), "%255s %511s %63s", dev, dir, type) != 3)
            continue;
        std::string d = dir;
        bool under = p == d || d == "/" ||
                     (p.compare(0, d.size(), d) == 0 && p.size() > d.size() && p[d.size()] == '/');
        if (under && d.size() >= best_dir.size()) {
            best_dir = d;
            best = std::string(dev) + " on " + d + " (" + type + ")";
        }
    }
    return best;
}

// Milliseconds per 32 KiB chunk written and synced, median over 4 MiB: the disk's share of an
// upgrade.
double sync_write_ms(const std::string &dir)
{
    std::string path = dir + "/fwbench-sync.tmp";
    std::vector<uint8_t> chunk(32768, 0x5A);
    std::vector<double> t;
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    for (int i = 0; fd >= 0 && i < 128; i++) {
        double t0 = now_mono();
        if (write(fd, chunk.data(), chunk.size()) != (ssize_t)chunk.size() || fsync(fd) != 0)
            break;
        t.push_back(now_mono() - t0);
    }
    if (fd >= 0)
        close(fd);
    unlink(path.c_str());
    return t.size() == 128 ? median(t) * 1000 : NAN;
}

} // namespace fwbench
