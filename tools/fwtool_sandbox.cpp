// SPDX-License-Identifier: MIT
// fwtool sandbox: simulated devices for fwupgrade-sim. A sandbox is a directory laid out like the
// controller's file system (see sim/sim_device.h); these commands create one, stage an upgrade
// in it and power-cycle it.
#include "fwtool.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <string>
#include <sys/ipc.h>
#include <sys/shm.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <unistd.h>
#include <utility>
#include <vector>

#include "boot_judge.h"
#include "platform.h"
#include "progress.h"
#include "sim_device.h"

namespace
{

const char kEvtEnv[] = "FWTOOL_EVT_LIB";
const char kStaging[] = "/tmpfs/upgrading";
const uint32_t kMaxPartition = 256u << 20; // keeps a typo from filling the disk
const long kOemLimit = 131071;             // the upgrade ignores larger archives
const long kProcSuperMagic = 0x9fa0;

enum sub_id { SUB_CREATE, SUB_STAGE, SUB_REBOOT };

struct option_spec {
    const char *name; // without the leading "--"; nullptr ends a table
    bool takes_value;
};

const option_spec g_create_opts[] = {
    {"running-bank", true}, {"model", true},  {"kernel-size", true}, {"root-size", true},
    {"evt-lib", true},      {"force", false}, {nullptr, false},
};
const option_spec g_stage_opts[] = {
    {"oem", true}, {"nooem", false}, {"force", false}, {nullptr, false}};
const option_spec g_no_opts[] = {{nullptr, false}};

struct sub_command {
    const char *name;
    sub_id id;
    const option_spec *opts;
    const char *synopsis;
    const char *summary;
    const char *help; // one "  --opt  text" line each; may be empty
};

const sub_command g_subs[] = {
    {"create", SUB_CREATE, g_create_opts,
     "DIR [--running-bank 0|1] [--model NAME] [--kernel-size N] [--root-size N] [--evt-lib FILE] "
     "[--force]",
     "build a simulated device in DIR, booted from the given bank",
     "  --running-bank 0|1  bank the boot script loads and the kernel booted from (default 0)\n"
     "  --model NAME        model in the kernel release text 2.6.31-NAME (default SIM3000)\n"
     "  --kernel-size N     size of each kernel partition (default 1M)\n"
     "  --root-size N       size of each root partition (default 4M)\n"
     "  --evt-lib FILE      event library to install as lib/libevt.so (default: $FWTOOL_EVT_LIB,\n"
     "                      else ../lib/libevt.so or ../lib/fwupgrade/libevt.so beside the\n"
     "                      fwtool executable)\n"
     "  --force             make an existing sandbox afresh (what its banks hold is lost)\n"
     "  Sizes are decimal or 0x hex, optionally with a K or M suffix, at most 256M.\n"},
    {"stage", SUB_STAGE, g_stage_opts, "DIR IMAGE [--oem ARCHIVE] [--nooem] [--force]",
     "stage IMAGE for the next upgrade: DIR/tmpfs/upgrading/fw.bin, replacing what was staged",
     "  --oem ARCHIVE       also stage the OEM archive (gzip tar) as oem.bin\n"
     "  --nooem             also create the .nooem marker (clears the OEM directory)\n"
     "  --force             stage IMAGE even when it fails a check of 'fwtool image info'\n"
     "  IMAGE.sig, when it is there, is staged beside it as fw.sig.\n"},
    {"reboot", SUB_REBOOT, g_no_opts, "DIR",
     "power-cycle DIR: empty var/lock and tmpfs, boot what the stored boot script says",
     "  The boot loader takes the configuration block only when both key words and the CRC\n"
     "  match and boot_script is set; it runs the script's fis load lines through the FIS\n"
     "  directory and starts the last kernel loaded. The new kernel command line (proc/cmdline)\n"
     "  is the quoted text of the exec line, word for word, and bootopt=N for the bank started.\n"
     "  Exit status 1, with nothing booted, when the boot loader would stop at its prompt or\n"
     "  start no bank's kernel and ramdisk (a mixed pair, erased flash, no ramdisk).\n"},
};

std::string command(const sub_command &s)
{
    return std::string("sandbox ") + s.name;
}

void sub_usage(FILE *out, const sub_command &s)
{
    fprintf(out, "usage: fwtool sandbox %s %s\n%s.\n", s.name, s.synopsis, s.summary);
    if (s.help[0] != '\0')
        fprintf(out, "\n%s%s", s.opts[0].name != nullptr ? "options:\n" : "", s.help);
}

// A parsed command line: positional words and the values of the options seen.
struct args {
    std::vector<std::string> words;
    std::vector<std::pair<std::string, std::string>> opts; // name without "--", value
};

// Splits argv into positional words and known options ("--opt VALUE" or "--opt=VALUE"). Prints
// the reason and returns false on an unknown option or a missing value.
bool parse_args(const sub_command &s, int argc, char **argv, args *out)
{
    for (int i = 1; i < argc; i++) {
        std::string a = argv[i];
        if (a.size() < 2 || a.compare(0, 2, "--") != 0 || a == "--") {
            out->words.push_back(a);
            continue;
        }
        std::string name = a.substr(2), value;
        size_t eq = name.find('=');
        bool inline_value = eq != std::string::npos;
        if (inline_value) {
            value = name.substr(eq + 1);
            name.resize(eq);
        }
        const option_spec *opt = nullptr;
        for (const option_spec *o = s.opts; o->name != nullptr; o++) {
            if (name == o->name)
                opt = o;
        }
        if (opt == nullptr) {
            fwtool_usage_error(command(s).c_str(), "unknown option '--%s'", name.c_str());
            return false;
        }
        if (opt->takes_value && !inline_value) {
            if (i + 1 >= argc) {
                fwtool_usage_error(command(s).c_str(), "--%s needs a value", opt->name);
                return false;
            }
            value = argv[++i];
        } else if (!opt->takes_value && inline_value) {
            fwtool_usage_error(command(s).c_str(), "--%s takes no value", opt->name);
            return false;
        }
        out->opts.emplace_back(name, value);
    }
    return true;
}

// The last value given for an option, or nullptr.
const std::string *option(const args &a, const char *name)
{
    const std::string *v = nullptr;
    for (const auto &o : a.opts) {
        if (o.first == name)
            v = &o.second;
    }
    return v;
}

bool expect_words(const sub_command &s, const args &a, size_t n)
{
    if (a.words.size() == n)
        return true;
    fwtool_usage_error(command(s).c_str(), "expected %s", s.synopsis);
    return false;
}

// Parses a size: decimal or 0x hex digits, optionally a K or M suffix. False when malformed,
// zero or beyond `max`.
bool parse_size(const char *text, uint32_t max, uint32_t *out)
{
    const char *p = text;
    bool hex = p[0] == '0' && (p[1] == 'x' || p[1] == 'X');
    uint64_t v = 0;
    int digits = 0;

    if (hex)
        p += 2;
    for (; hex ? isxdigit((unsigned char)*p) : isdigit((unsigned char)*p); p++, digits++) {
        int d = isdigit((unsigned char)*p) ? *p - '0' : tolower((unsigned char)*p) - 'a' + 10;
        v = v * (hex ? 16 : 10) + (uint64_t)d;
        if (v > max)
            return false;
    }
    uint64_t unit = 1;
    if (*p == 'K' || *p == 'k')
        unit = 1024;
    else if (*p == 'M' || *p == 'm')
        unit = 1024 * 1024;
    if (unit != 1)
        p++;
    if (digits == 0 || *p != '\0' || v == 0 || v > max / unit)
        return false;
    *out = (uint32_t)(v * unit);
    return true;
}

bool is_dir(const std::string &path)
{
    struct stat st;
    return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool is_file(const std::string &path)
{
    struct stat st;
    return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

// -1 when the directory cannot be read, else 1 when empty and 0 otherwise.
int dir_empty(const std::string &dir)
{
    DIR *d = opendir(dir.c_str());
    int empty = 1;

    if (d == nullptr)
        return -1;
    for (struct dirent *e = readdir(d); e != nullptr; e = readdir(d)) {
        if (strcmp(e->d_name, ".") != 0 && strcmp(e->d_name, "..") != 0) {
            empty = 0;
            break;
        }
    }
    closedir(d);
    return empty;
}

// Removes everything inside `dir`, keeping the directory itself (created when absent).
bool empty_dir(const std::string &dir)
{
    DIR *d = opendir(dir.c_str());
    bool ok = true;

    if (d == nullptr)
        return sim::make_dirs(dir);
    std::vector<std::string> names;
    for (struct dirent *e = readdir(d); e != nullptr; e = readdir(d)) {
        if (strcmp(e->d_name, ".") != 0 && strcmp(e->d_name, "..") != 0)
            names.push_back(e->d_name);
    }
    closedir(d);
    for (const std::string &n : names)
        ok = sim::remove_tree(dir + "/" + n) && ok;
    return ok;
}

// The sandbox's progress record goes, as memory does at a power cycle. Only a sandbox with a key
// of its own has one: the device's fixed key may be a real run's.
void forget_record(const std::string &dir)
{
    if (!is_file(dir + g_sim_key_file))
        return;
    int id = shmget((key_t)fwtool_progress_key(dir.c_str()), 0, 0);
    if (id >= 0)
        (void)shmctl(id, IPC_RMID, nullptr);
}

// A progress key for a new sandbox, recorded in it for fwupgrade-sim and fwtool: derived from the
// directory, and one no segment uses yet, so that two sandboxes never share a record.
bool record_key(const std::string &dir, std::string *err)
{
    for (int proj = 1; proj <= UCHAR_MAX; proj++) {
        key_t key = ftok(dir.c_str(), proj);
        if (key == -1 || key == IPC_PRIVATE || key == (key_t)UPGRADE_PROGRESS_KEY)
            continue;
        if (shmget(key, 0, 0) >= 0 || errno != ENOENT)
            continue;
        char text[16];
        snprintf(text, sizeof(text), "0x%08x\n", (unsigned)key);
        if (sim::write_file(dir + g_sim_key_file, text))
            return true;
        *err = "cannot write " + dir + g_sim_key_file + ": " + strerror(errno);
        return false;
    }
    *err = "no free progress key for " + dir;
    return false;
}

bool require_sandbox(const sub_command &s, const std::string &dir)
{
    if (fwtool_is_sandbox(dir.c_str()))
        return true;
    fprintf(stderr, "fwtool sandbox %s: %s is not a sandbox (no simulated proc/mtd)\n", s.name,
            dir.c_str());
    return false;
}

// The stand-in event library: the option, else the environment, else the build's lib directory
// beside the directory of this executable.
std::string evt_library(const std::string *opt_value)
{
    if (opt_value != nullptr)
        return *opt_value;
    const char *env = getenv(kEvtEnv);
    if (env != nullptr && env[0] != '\0')
        return env;
    char exe[PATH_MAX];
    ssize_t n = readlink("/proc/self/exe", exe, sizeof(exe) - 1);
    if (n <= 0)
        return "";
    exe[n] = '\0';
    std::string dir(exe);
    dir.resize(std::min(dir.rfind('/'), dir.size()));
    // The build tree keeps it in lib/, an installed tree in lib/fwupgrade/ (private to the tools).
    const std::string built = dir + "/../lib/libevt.so";
    const std::string installed = dir + "/../lib/fwupgrade/libevt.so";
    return is_file(built) || !is_file(installed) ? built : installed;
}

int cmd_create(const sub_command &s, const args &a)
{
    sim::device_options opt;
    std::string err;

    if (!expect_words(s, a, 1))
        return FWTOOL_USAGE;
    const std::string &dir = a.words[0];
    if (const std::string *v = option(a, "running-bank")) {
        if (*v != "0" && *v != "1") {
            fwtool_usage_error("sandbox create", "--running-bank must be 0 or 1, not '%s'",
                               v->c_str());
            return FWTOOL_USAGE;
        }
        opt.running_bank = (*v)[0] - '0';
    }
    if (const std::string *v = option(a, "model")) {
        bool printable = !v->empty();
        for (char c : *v)
            printable = printable && c > ' ' && c < 0x7f && c != '/';
        if (!printable) {
            fwtool_usage_error("sandbox create",
                               "--model must be a non-empty word without blanks or '/'");
            return FWTOOL_USAGE;
        }
        opt.model = *v;
    }
    const struct {
        const char *name;
        uint32_t *field;
    } sizes[] = {{"kernel-size", &opt.kernel_size}, {"root-size", &opt.root_size}};
    for (const auto &sz : sizes) {
        const std::string *v = option(a, sz.name);
        if (v != nullptr && !parse_size(v->c_str(), kMaxPartition, sz.field)) {
            fwtool_usage_error("sandbox create",
                               "--%s '%s' is not a size from 1 to 256M (decimal or 0x hex, K or "
                               "M suffix)",
                               sz.name, v->c_str());
            return FWTOOL_USAGE;
        }
    }
    std::string lib = evt_library(option(a, "evt-lib"));
    const char *env = getenv(kEvtEnv);
    bool explicit_lib = option(a, "evt-lib") != nullptr || (env != nullptr && env[0] != '\0');
    if (is_file(lib)) {
        opt.evt_library = lib;
    } else if (explicit_lib) {
        fprintf(stderr, "fwtool sandbox create: event library %s not found\n", lib.c_str());
        return FWTOOL_USAGE;
    }
    if (is_dir(dir) && !fwtool_is_sandbox(dir.c_str()) && dir_empty(dir) != 1) {
        fprintf(stderr,
                "fwtool sandbox create: %s exists and is neither empty nor a sandbox; "
                "refusing to write into it\n",
                dir.c_str());
        return FWTOOL_USAGE;
    }
    // An existing sandbox may hold an installed bank that took a while to get: kept unless asked.
    if (fwtool_is_sandbox(dir.c_str()) && option(a, "force") == nullptr) {
        fprintf(stderr,
                "fwtool sandbox create: %s is already a sandbox; --force makes it afresh (what "
                "its banks hold is lost)\n",
                dir.c_str());
        return FWTOOL_USAGE;
    }
    // An earlier sandbox goes whole: a left-over marker, staging or log would make the new
    // device behave as if something had already happened on it.
    if (fwtool_is_sandbox(dir.c_str()))
        forget_record(dir);
    if (fwtool_is_sandbox(dir.c_str()) && !empty_dir(dir)) {
        fprintf(stderr, "fwtool sandbox create: cannot empty the earlier sandbox %s: %s\n",
                dir.c_str(), strerror(errno));
        return FWTOOL_FAILED;
    }
    if (sim::create_device(dir, opt, &err) != 0 || !record_key(dir, &err)) {
        fprintf(stderr, "fwtool sandbox create: %s\n", err.c_str());
        return FWTOOL_FAILED;
    }

    std::vector<sim::partition> parts = sim::standard_partitions(opt);
    printf("sandbox %s: model %s (release 2.6.31-%s), running bank %d\n", dir.c_str(),
           opt.model.c_str(), opt.model.c_str(), opt.running_bank);
    for (size_t i = 0; i < parts.size(); i++)
        printf("  mtd%zu  %-16s 0x%08x  %s\n", i, ("\"" + parts[i].label + "\"").c_str(),
               parts[i].size,
               parts[i].create_device ? ("dev/mtdblock" + std::to_string(i)).c_str()
                                      : "(no device file)");
    printf("  progress record: key 0x%08x\n", fwtool_progress_key(dir.c_str()));
    if (opt.evt_library.empty())
        printf("  no event library (%s not found): events are not logged\n", lib.c_str());
    else
        printf("  events: lib/libevt.so logs to var/log/evt.log\n");
    return FWTOOL_OK;
}

bool copy_into(const std::string &from, const std::string &to, long *size)
{
    std::string data;
    if (!sim::read_file(from, &data)) {
        fprintf(stderr, "fwtool sandbox stage: cannot read %s: %s\n", from.c_str(),
                strerror(errno));
        return false;
    }
    if (!sim::write_file(to, data)) {
        fprintf(stderr, "fwtool sandbox stage: cannot write %s: %s\n", to.c_str(), strerror(errno));
        return false;
    }
    *size = (long)data.size();
    return true;
}

int cmd_stage(const sub_command &s, const args &a)
{
    long size = 0;

    if (!expect_words(s, a, 2))
        return FWTOOL_USAGE;
    const std::string &dir = a.words[0];
    const std::string staging = dir + kStaging;
    const std::string *oem = option(a, "oem");
    if (!require_sandbox(s, dir))
        return FWTOOL_USAGE;
    for (const std::string *f : {&a.words[1], oem}) {
        if (f != nullptr && !is_file(*f)) {
            fprintf(stderr, "fwtool sandbox stage: %s is not a file\n", f->c_str());
            return FWTOOL_USAGE;
        }
    }
    char why[160];
    if (!fwtool_image_check(a.words[1].c_str(), why, sizeof(why)) &&
        option(a, "force") == nullptr) {
        fprintf(stderr,
                "fwtool sandbox stage: %s is not a good image (%s); --force stages it anyway\n",
                a.words[1].c_str(), why);
        return FWTOOL_FAILED;
    }
    // A stale archive or marker from an earlier staging would change what the upgrade does.
    if (!empty_dir(staging)) {
        fprintf(stderr, "fwtool sandbox stage: cannot empty %s: %s\n", staging.c_str(),
                strerror(errno));
        return FWTOOL_FAILED;
    }
    if (!copy_into(a.words[1], staging + "/fw.bin", &size))
        return FWTOOL_FAILED;
    printf("staged %s as tmpfs/upgrading/fw.bin (%ld bytes)\n", a.words[1].c_str(), size);
    // The image's detached signature travels with it, as the device expects it beside fw.bin.
    const std::string sig = a.words[1] + ".sig";
    if (is_file(sig)) {
        if (!copy_into(sig, staging + "/fw.sig", &size))
            return FWTOOL_FAILED;
        printf("staged %s as tmpfs/upgrading/fw.sig (%ld bytes)\n", sig.c_str(), size);
    }
    if (oem != nullptr) {
        if (!copy_into(*oem, staging + "/oem.bin", &size))
            return FWTOOL_FAILED;
        printf("staged %s as tmpfs/upgrading/oem.bin (%ld bytes)%s\n", oem->c_str(), size,
               size > kOemLimit ? "; over 131071 bytes, the upgrade will ignore it" : "");
    }
    if (option(a, "nooem") != nullptr) {
        if (!sim::write_file(staging + "/.nooem", "")) {
            fprintf(stderr, "fwtool sandbox stage: cannot create %s/.nooem: %s\n", staging.c_str(),
                    strerror(errno));
            return FWTOOL_FAILED;
        }
        printf("created tmpfs/upgrading/.nooem: the upgrade clears the OEM directory%s\n",
               oem != nullptr ? " and does not unpack the archive" : "");
    }
    return FWTOOL_OK;
}

int cmd_reboot(const sub_command &s, const args &a)
{
    std::string cmdline, why;
    sim::boot_judgement j;

    if (!expect_words(s, a, 1))
        return FWTOOL_USAGE;
    const std::string &dir = a.words[0];
    if (!require_sandbox(s, dir))
        return FWTOOL_USAGE;
    // Both are memory-backed on the controller, as the record is: nothing survives a power cycle.
    forget_record(dir);
    if (!empty_dir(dir + "/var/lock") || !empty_dir(dir + "/tmpfs")) {
        fprintf(stderr, "fwtool sandbox reboot: cannot empty var/lock and tmpfs in %s: %s\n",
                dir.c_str(), strerror(errno));
        return FWTOOL_FAILED;
    }
    if (sim::judge_device(dir, &j, &why) != 0) {
        fprintf(stderr, "fwtool sandbox reboot: %s\n", why.c_str());
        return FWTOOL_FAILED;
    }
    if (j.verdict == sim::VERDICT_PROMPT) {
        fprintf(stderr, "fwtool sandbox reboot: %s: the boot loader would stop at its prompt\n",
                j.why.c_str());
        return FWTOOL_FAILED;
    }
    if (j.verdict == sim::VERDICT_NO_BANK) {
        fprintf(stderr, "fwtool sandbox reboot: the boot script loads neither bank (%s)\n",
                j.why.c_str());
        return FWTOOL_FAILED;
    }
    // The loader adds the bank it loaded; the script's own words reach the kernel unchanged.
    cmdline = sim::boot_cmdline(j.cmdline, j.bank);
    const std::string path = dir + "/proc/cmdline";
    if (!sim::write_file(path, cmdline)) {
        fprintf(stderr, "fwtool sandbox reboot: cannot write %s: %s\n", path.c_str(),
                strerror(errno));
        return FWTOOL_FAILED;
    }
    printf("booted bank %d (kernel%d, root%d); kernel command line: %s", j.bank, j.bank, j.bank,
           cmdline.c_str());
    if (j.how == sim::EXEC_UNTERMINATED)
        printf("  (the exec line's command line has no closing quote: taken to the line's "
               "end)\n");
    else if (j.how == sim::EXEC_NO_TEXT)
        printf("  (the exec line passes no command line)\n");
    return FWTOOL_OK;
}

} // namespace

// A sandbox has the simulated partition table as a plain file. The real root fails this test
// (its proc is the kernel's), which keeps the commands from rewriting the host's own files.
bool fwtool_is_sandbox(const char *dir)
{
    struct statfs fs;
    const std::string d(dir);
    if (!is_file(d + "/proc/mtd"))
        return false;
    return statfs((d + "/proc").c_str(), &fs) == 0 && (long)fs.f_type != kProcSuperMagic;
}

int fwtool_sandbox(int argc, char **argv)
{
    args a;
    int status;
    const sub_command *s = fwtool_pick_sub("sandbox", g_subs, argc, argv, sub_usage, &status);

    if (s == nullptr)
        return status;
    if (!parse_args(*s, argc - 1, argv + 1, &a))
        return FWTOOL_USAGE;
    switch (s->id) {
    case SUB_CREATE:
        return cmd_create(*s, a);
    case SUB_STAGE:
        return cmd_stage(*s, a);
    case SUB_REBOOT:
        return cmd_reboot(*s, a);
    }
    return FWTOOL_USAGE;
}
