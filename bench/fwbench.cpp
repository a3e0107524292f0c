// SPDX-License-Identifier: MIT
// Benchmarks of the firmware tool, each against a baseline measured in the same run and reported
// as a ratio: MD5 and SHA-256 against OpenSSL, the signature check against OpenSSL's Ed25519, the
// simulated upgrade against a floor program that does only the required I/O (the signed upgrade
// against the floor plus `openssl dgst -sha256` of the image), its syncs per erase block from the
// fault shim's trace, its time on the controller's flash from the shim's NOR model against what the
// flash allows, growth with payload size, peak memory, `fwtool image create` against cat and
// openssl, and the boot-index commands against `cat` of the configuration block. Prints one table
// and writes the same as JSON.
//
// Usage: fwbench [--work DIR] [--json FILE]
#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <climits>
#include <cstring>
#include <malloc.h>
#include <openssl/evp.h>
#include <sodium.h>
#include <string>
#include <linux/magic.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/utsname.h>
#include <unistd.h>
#include <vector>

#include "bench_support.h"
#include "bench_trace.h"
#include "data.h"
#include "datablk.h"
#include "image.h"
#include "image_file.h"
#include "keyring.h"
#include "md5.h"
#include "manifest.h"
#include "mtd_part.h"
#include "sha256.h"
#include "sim_device.h"

using namespace fwbench;

namespace
{

const double kMiB = 1024.0 * 1024.0;
const uint32_t kKernelBytes = 4u << 20; // every upgrade image carries a 4 MiB kernel
const double kPauseSeconds = 1.0;       // the upgrade's pause on success, and the floor's
const char kModel[] = "SIM3000";        // the simulated device's model (sim_device.h default)
const int kRunningBank = 0;             // so every upgrade writes bank 1
const double kMd5Goal = 0.90;           // at least this share of OpenSSL's throughput
const double kUpgradeGoal = 1.10;       // at most this multiple of the floor's time
const double kSignedGoal = 1.10;        // signed: at most this multiple of floor + openssl sha256
const double kGrowthGoal = 0.10;        // per-MiB slopes within 10% of each other
const double kMemoryGoalMiB = 4.0;      // peak RSS at most this, whatever the payload
const double kSyncGoal = 1.0;           // syncs per erase block of payload written
const double kCreateGoal = 1.5;         // image create at most this multiple of cat + openssl
const double kFlashGoal = 1.05;         // modelled flash time at most this multiple of its floor
const int kCreateReps = 7;

// Repetitions, interleaved with their baselines; chosen so that a run stays well under five
// minutes on two cores and an ordinary virtual disk.
const int kMd5Reps = 7;
const uint32_t kMainMiB = 64; // the headline figure: 4 MiB kernel, 60 MiB root
const int kMainReps = 7;
const int kSizes = 3;
const uint32_t kSizeMiB[kSizes] = {16, 64, 256}; // payload sizes of the growth series
const int kGrowthReps = 12;
const int kTraceReps = 3;                // 1 when a series ran over its budget
const double kMainBudgetSeconds = 120;   // of the 64 MiB series on the disk
const double kGrowthBudgetSeconds = 150; // of the growth series
const uint64_t kMemoryMarginMiB = 256;   // kept free beyond what the growth series needs in memory
const int kCommandReps = 101;
const int kSigReps = 201;                   // signature checks, each timed alone
const size_t kMallocThreshold = 128 * 1024; // blocks mapped alone, and free heap handed back

// ---- results ----

enum verdict { V_INFO, V_PASS, V_FAIL };

struct row {
    std::string figure;   // what is measured, with its unit
    double ours;          // our value
    double base;          // the baseline's value, measured in the same run
    std::string baseline; // what the baseline is
    double ratio;         // ours / base
    std::string goal;     // the goal as text, or "info"
    verdict v;
};

struct phase {
    std::string name;
    double ours_ms; // NAN where the phase does not exist
    double floor_ms;
};

struct bench_state {
    std::string work;     // scratch directory on the disk (device trees, images)
    std::string mem;      // the same in memory, for the growth series; else `work`
    std::string mem_what; // what `mem` is, for the notes
    std::string json;     // result file
    std::string bin;      // links that name the commands
    std::string logs;     // programs' output
    std::string traces;   // strace output
    std::string strace;   // path of strace, empty when absent
    std::string cat;      // path of cat
    std::string openssl;  // path of openssl, empty when absent: no signed upgrade series
    std::vector<row> rows;
    std::vector<phase> phases;
    std::vector<std::string> notes; // method and findings, printed under the table
    std::string samples_json;       // raw samples, already JSON
    std::string machine_json;
    std::string machine_text;
    bool failed = false;      // a program under test failed or setup went wrong
    bool over_budget = false; // the upgrades ran out of time: fewer repetitions
};

void add_row(bench_state *s, const std::string &figure, double ours, double base,
             const std::string &baseline, const std::string &goal, verdict v)
{
    s->rows.push_back({figure, ours, base, baseline, ours / base, goal, v});
}

void fail(bench_state *s, const std::string &what)
{
    fprintf(stderr, "fwbench: %s\n", what.c_str());
    s->failed = true;
}

// ---- 1. MD5 and SHA-256 ----

void md5_of(const uint8_t *buf, size_t len, uint8_t *digest)
{
    md5_context ctx;
    md5_init(&ctx);
    md5_append(&ctx, buf, (int32_t)len);
    md5_finish(&ctx, digest);
}

void sha256_of(const uint8_t *buf, size_t len, uint8_t *digest)
{
    sha256_digest(buf, len, digest);
}

// The device build's SHA-256 (libsodium's portable code), which the host build does not use.
void sodium_sha256_of(const uint8_t *buf, size_t len, uint8_t *digest)
{
    crypto_hash_sha256(digest, buf, len);
}

// Our digest of `len` bytes against OpenSSL's `md`, interleaved, each going first in turn, so
// that a slow moment of the machine hits both alike. Timed in this thread's CPU time, which a busy
// machine's preemptions leave out; the best of each is the figure, the nearest to what the code
// itself costs. Adds the row (MiB/s) and returns ours, NAN when the digests differ.
double digest_row(bench_state *s, const uint8_t *buf, size_t len, const char *name,
                  void (*ours_fn)(const uint8_t *, size_t, uint8_t *), size_t digest_len,
                  const EVP_MD *md, double goal)
{
    std::vector<double> ours, theirs;
    uint8_t d_ours[EVP_MAX_MD_SIZE], d_theirs[EVP_MAX_MD_SIZE];
    unsigned int d_len = 0;
    for (int rep = 0; rep < kMd5Reps * 2; rep++) {
        bool mine = (rep + rep / 2) % 2 == 0;
        double t0 = now_thread_cpu();
        if (mine)
            ours_fn(buf, len, d_ours);
        else
            EVP_Digest(buf, len, d_theirs, &d_len, md, nullptr);
        (mine ? ours : theirs).push_back(now_thread_cpu() - t0);
    }
    bool same = d_len == digest_len && memcmp(d_ours, d_theirs, d_len) == 0;
    if (!same)
        fail(s, format("%s digests differ from OpenSSL's", name));

    double ours_mibs = len / kMiB / minimum(ours);
    double theirs_mibs = len / kMiB / minimum(theirs);
    bool judged = std::isfinite(goal);
    add_row(s, format("%s of 64 MiB in memory, MiB/s (best of %d, CPU time)", name, kMd5Reps),
            ours_mibs, theirs_mibs, std::string("OpenSSL ") + name,
            judged ? format(">= %.2f", goal) : "info",
            !judged                                   ? V_INFO
            : same && ours_mibs / theirs_mibs >= goal ? V_PASS
                                                      : V_FAIL);
    std::string key = name;
    key.erase(
        std::remove_if(key.begin(), key.end(), [](char c) { return !isalnum((unsigned char)c); }),
        key.end());
    std::transform(key.begin(), key.end(), key.begin(), [](char c) { return (char)tolower(c); });
    s->samples_json += format("\"%s_cpu_seconds\": {\"ours\": %s, \"openssl\": %s},\n", key.c_str(),
                              json_array(ours).c_str(), json_array(theirs).c_str());
    return same ? ours_mibs : NAN;
}

// MD5 (judged: the image header's digest) and SHA-256 (what a signature vouches for: the host
// build's, through OpenSSL, and the device build's, libsodium's portable code) of the same
// 64 MiB. Returns the host build's rates in `md5_mibs` and `sha_mibs`.
void bench_digests(bench_state *s, double *md5_mibs, double *sha_mibs)
{
    const size_t len = 64u << 20;
    uint8_t *buf = (uint8_t *)malloc(len);
    *md5_mibs = NAN;
    *sha_mibs = NAN;
    if (buf == nullptr) {
        fail(s, "no memory for the digest buffer");
        return;
    }
    fill_random(buf, len, 1);
    *md5_mibs = digest_row(s, buf, len, "MD5", md5_of, MD5_DIGEST_LEN, EVP_md5(), kMd5Goal);
    *sha_mibs = digest_row(s, buf, len, "SHA-256", sha256_of, SHA256_LEN, EVP_sha256(), NAN);
    (void)digest_row(s, buf, len, "SHA-256 (device build: libsodium)", sodium_sha256_of, SHA256_LEN,
                     EVP_sha256(), NAN);
    free(buf);
}

// ---- simulated devices and images ----

std::string image_path(const std::string &dir, uint32_t payload_mib)
{
    return dir + format("/fw-%u.bin", payload_mib);
}

// A firmware image of `payload_mib` MiB: the 4 MiB kernel and the rest as root, random bytes
// (the root's from `root_seed` when it is given, else from `seed`). Written without the per-chunk
// sync of dump_image_to_file (setup is not measured, and a sync of the whole tree follows),
// through the image module's own header encoding.
bool make_image(const std::string &path, uint32_t payload_mib, uint64_t seed,
                uint64_t root_seed = UINT64_MAX)
{
    datablk blocks[2];
    uint32_t sizes[2] = {kKernelBytes, (payload_mib << 20) - kKernelBytes};
    uint8_t header[FW_HEADER_LEN];
    bool ok = true;

    for (int i = 0; i < 2; i++) {
        init_datablk(&blocks[i]);
        blocks[i].data = (uint8_t *)malloc(sizes[i]);
        ok = ok && blocks[i].data != nullptr;
        if (blocks[i].data == nullptr)
            continue;
        blocks[i].size = sizes[i];
        fill_random(blocks[i].data, sizes[i],
                    i == 1 && root_seed != UINT64_MAX ? root_seed : seed * 2 + (uint64_t)i);
        md5_context ctx;
        md5_init(&ctx);
        md5_append(&ctx, blocks[i].data, (int32_t)sizes[i]);
        md5_finish(&ctx, blocks[i].md5);
    }
    FILE *f = ok ? fopen(path.c_str(), "wb") : nullptr;
    if (f != nullptr) {
        image_to_header(kModel, blocks, header);
        ok = fwrite(header, 1, sizeof(header), f) == sizeof(header) &&
             fwrite(blocks[0].data, 1, sizes[0], f) == sizes[0] &&
             fwrite(blocks[1].data, 1, sizes[1], f) == sizes[1];
        ok = fclose(f) == 0 && ok;
    } else {
        ok = false;
    }
    for (datablk &b : blocks)
        cleanup_datablk(&b);
    return ok;
}

struct device {
    uint32_t erase_size = 0; // of the target partitions, from the device's /proc/mtd
    std::string root;        // FWUP_SYSROOT
    std::string kernel;      // block device file of the target bank's kernel
    std::string rootfs;      // block device file of the target bank's root
    std::string config;      // block device file of the configuration block
};

// Where the signing material lives beside the images of `dir`: the public key (in a directory
// of its own, a keyring as the device reads one) and the signature file of an image.
std::string keyring_dir(const std::string &dir)
{
    return dir + "/keyring";
}

std::string public_key_path(const std::string &dir)
{
    return keyring_dir(dir) + "/signing.pub.pem";
}

std::string signature_path(const std::string &dir, uint32_t payload_mib)
{
    return image_path(dir, payload_mib) + ".sig";
}

std::string dev_path(const std::string &root, const std::string &mtd, const char *label)
{
    int n = sim::mtd_index(mtd, label);
    return n < 0 ? "" : root + "/dev/mtdblock" + std::to_string(n);
}

// A fresh simulated device in `dir` whose target partitions are exactly as large as the payloads,
// with the image of that size from the same directory staged; with `signed_image`, its signature
// staged beside it and the signing key in the device's keyring. The payload partitions become
// sparse files of zeros, which differ from every block of a payload: the upgrade reads each
// block before writing it, the floor truncates them, and the simulator's 0xFF fill never goes to
// the disk.
bool make_device(const std::string &dir, uint32_t payload_mib, device *out,
                 bool signed_image = false)
{
    std::string err, mtd, root = dir + "/dev";
    sim::device_options opt;
    opt.running_bank = kRunningBank;
    opt.model = kModel;
    opt.kernel_size = kKernelBytes;
    opt.root_size = (payload_mib << 20) - kKernelBytes;
    opt.evt_library = FWBENCH_EVT_LIB;

    sim::remove_tree(root);
    if (sim::create_device(root, opt, &err) != 0) {
        fprintf(stderr, "fwbench: device %s: %s\n", root.c_str(), err.c_str());
        return false;
    }
    if (!sim::read_file(root + "/proc/mtd", &mtd))
        return false;
    const char *labels[] = {"kernel0", "root0", "kernel1", "root1"};
    for (const char *label : labels) {
        std::string p = dev_path(root, mtd, label);
        off_t size = label[0] == 'k' ? opt.kernel_size : opt.root_size;
        if (p.empty() || truncate(p.c_str(), 0) != 0 || truncate(p.c_str(), size) != 0)
            return false;
    }
    out->root = root;
    out->kernel = dev_path(root, mtd, "kernel1");
    out->rootfs = dev_path(root, mtd, "root1");
    out->config = dev_path(root, mtd, "RedBoot config");
    // The floor syncs as the upgrade does, at the erase-block size the device reports.
    size_t line = mtd.find("\"kernel1\"");
    size_t start = line == std::string::npos ? 0 : mtd.rfind('\n', line) + 1;
    if (line == std::string::npos ||
        mtd_line_erasesize(mtd.data() + start, line - start, &out->erase_size) != 0)
        return false;
    std::string staged = root + "/tmpfs/upgrading";
    if (!sim::make_dirs(staged) ||
        link(image_path(dir, payload_mib).c_str(), (staged + "/fw.bin").c_str()) != 0)
        return false;
    if (!signed_image)
        return true;
    std::string key, keys = root + "/etc/fwupgrade/keys";
    return sim::read_file(public_key_path(dir), &key) && sim::make_dirs(keys) &&
           sim::write_file(keys + "/signing.pub.pem", key) &&
           link(signature_path(dir, payload_mib).c_str(), (staged + "/fw.sig").c_str()) == 0;
}

// A signing key (`fwtool key create`), its public half alone in the keyring directory of `dir`,
// and the signature of the image of `payload_mib` MiB there (`fwtool image sign`).
bool make_signature(bench_state *s, const std::string &dir, uint32_t payload_mib)
{
    std::vector<std::string> env = {"PATH=/usr/sbin:/usr/bin:/sbin:/bin"};
    std::string log = s->logs + "/sign.log", name = dir + "/signing";
    unlink((name + ".pem").c_str());
    unlink((name + ".pub.pem").c_str());
    sim::remove_tree(keyring_dir(dir));
    run_out k =
        run_program(FWBENCH_FWTOOL_BIN, {"fwtool", "key", "create", "-o", name}, env, log, false);
    run_out g =
        k.status == 0
            ? run_program(FWBENCH_FWTOOL_BIN,
                          {"fwtool", "image", "sign", "--key", name + ".pem",
                           image_path(dir, payload_mib), "-o", signature_path(dir, payload_mib)},
                          env, log, false)
            : run_out();
    return g.status == 0 && sim::make_dirs(keyring_dir(dir)) &&
           rename((name + ".pub.pem").c_str(), public_key_path(dir).c_str()) == 0;
}

std::vector<std::string> device_env(const device &d)
{
    return {"PATH=/usr/sbin:/usr/bin:/sbin:/bin", "FWUP_SYSROOT=" + d.root};
}

// ---- 2-4. the upgrade against the floor ----

// RUN_SIGNED: the upgrade of a signed image with the key in the device's keyring; RUN_SHA256:
// `openssl dgst -sha256` of the same image file, the digest a signature check cannot do without;
// RUN_DIGESTS: every digest the upgrade's checks take, by openssl: the MD5 of the image once and
// its SHA-256 three times (the file, its payloads, the read-back).
enum run_kind {
    RUN_UPGRADE,
    RUN_FLOOR,
    RUN_FLOOR_DEV,
    RUN_SIGNED,
    RUN_SHA256,
    RUN_DIGESTS,
    RUN_KINDS
};

const char *const kRunNames[RUN_KINDS] = {"upgrade", "floor",  "floor-dev",
                                          "signed",  "sha256", "digests"};

struct size_samples {
    uint32_t payload_mib = 0;
    std::vector<double> seconds[RUN_KINDS]; // process start to exit
    std::vector<double> cpu[RUN_KINDS];     // seconds of CPU, the shell's included
    long rss_kib[RUN_KINDS] = {};           // peak resident set over the runs
    long parent_anon_kib = 0;               // the benchmark's own at the forks, the largest
};

run_out run_upgrade(bench_state *s, const device &d)
{
    return run_program(s->bin + "/fwupgrade", {"fwupgrade"}, device_env(d),
                       s->logs + "/upgrade.log", true);
}

run_out run_floor(bench_state *s, const device &d, bool from_device)
{
    std::vector<std::string> argv = {"floor"};
    if (from_device)
        argv.push_back("--from-device");
    argv.insert(argv.end(), {"--erase-size", std::to_string(d.erase_size),
                             d.root + "/tmpfs/upgrading/fw.bin", d.kernel, d.rootfs});
    return run_program(FWBENCH_FLOOR_BIN, argv, device_env(d), s->logs + "/floor.log", true);
}

// The upgrade must really have happened: exit status 0 and the script now loading bank 1; a
// signed one must have been taken as signed (the bank's record names a signer).
bool upgrade_done(const device &d, const run_out &r, bool signed_image = false)
{
    std::string script, err, record;
    bool ok = r.status == 0 && sim::read_boot_script(d.root, &script, &err) == 0 &&
              sim::script_bank(script) == 1 - kRunningBank;
    if (ok && signed_image)
        ok = sim::read_file(d.root + format("/kelpvar/config%d/bank_record", 1 - kRunningBank),
                            &record) &&
             record.find("\nsigner ") != std::string::npos &&
             record.find("\nsigner unsigned") == std::string::npos;
    return ok;
}

// One run of `kind` at `out->payload_mib` on a fresh device in `dir`, added to `out` when
// `record` is set.
bool run_one(bench_state *s, const std::string &dir, run_kind kind, size_samples *out, bool record)
{
    device d;
    bool upgrade = kind == RUN_UPGRADE || kind == RUN_SIGNED;
    const bool yardstick = kind == RUN_SHA256 || kind == RUN_DIGESTS;
    if (!yardstick && !make_device(dir, out->payload_mib, &d, kind == RUN_SIGNED)) {
        fail(s, "cannot build a simulated device in " + dir);
        return false;
    }
    sync(); // nothing of the setup left for the run's syncs to write
    run_out r;
    if (kind == RUN_SHA256)
        r = run_program(s->openssl,
                        {"openssl", "dgst", "-sha256", image_path(dir, out->payload_mib)},
                        {"PATH=/usr/sbin:/usr/bin:/sbin:/bin"}, s->logs + "/sha256.log", true);
    else if (kind == RUN_DIGESTS)
        r = run_program("/bin/sh",
                        {"sh", "-c",
                         "\"$0\" dgst -md5 \"$1\" && \"$0\" dgst -sha256 \"$1\" \"$1\" \"$1\"",
                         s->openssl, image_path(dir, out->payload_mib)},
                        {"PATH=/usr/sbin:/usr/bin:/sbin:/bin"}, s->logs + "/digests.log", true);
    else
        r = upgrade ? run_upgrade(s, d) : run_floor(s, d, kind == RUN_FLOOR_DEV);
    bool ok = upgrade ? upgrade_done(d, r, kind == RUN_SIGNED) : r.status == 0;
    // Removed and synced at once: the freed blocks are discarded now, not inside the next timed
    // run.
    if (!d.root.empty())
        sim::remove_tree(d.root);
    sync();
    if (!ok) {
        fail(s, format("the %u MiB %s run failed (exit status %d; see %s)", out->payload_mib,
                       kRunNames[kind], r.status, s->logs.c_str()));
        return false;
    }
    if (!record)
        return true;
    out->seconds[kind].push_back(r.seconds);
    out->cpu[kind].push_back(r.cpu_seconds);
    out->rss_kib[kind] = std::max(out->rss_kib[kind], r.maxrss_kib);
    out->parent_anon_kib = std::max(out->parent_anon_kib, r.parent_anon_kib);
    printf("  %3u MiB %-9s %7.3f s, CPU %.3f s, peak RSS %.1f MiB\n", out->payload_mib,
           kRunNames[kind], r.seconds, r.cpu_seconds, r.maxrss_kib / 1024.0);
    return true;
}

// One run of each of `kinds` at `out->payload_mib`; `round` rotates their order, so that a drift
// of the machine favours none. With `record` false the runs only warm the caches. With
// `warm_first`, an untimed floor run goes first.
bool run_round(bench_state *s, const std::string &dir, const std::vector<run_kind> &kinds,
               size_samples *out, int round, bool record, bool warm_first)
{
    if (warm_first && !run_one(s, dir, RUN_FLOOR_DEV, out, false))
        return false;
    for (size_t k = 0; k < kinds.size(); k++) {
        if (!run_one(s, dir, kinds[(round + k) % kinds.size()], out, record))
            return false;
    }
    return true;
}

// Up to `reps` rounds over all `sizes`, after one round that only warms the caches. A further
// round of a size runs only while it fits in `budget` seconds, judged by that size's last round,
// so that a slow disk costs repetitions, not the deadline; `cut` tells that it did.
//
// The largest of several sizes (the last; they ascend) starts each round with an untimed floor
// run. Otherwise its first timed run follows the smaller sizes, and on a virtual machine that
// hands freed memory back to its host it ran 0.3 to 0.9 s slower at 256 MiB than the run right
// after it; with the untimed run first, the two agree.
bool run_series(bench_state *s, const std::string &dir, const std::vector<run_kind> &kinds,
                std::vector<size_samples> *sizes, int reps, double budget, bool *cut)
{
    if (!run_round(s, dir, kinds, &sizes->front(), 0, false, false))
        return false;
    double t0 = now_mono();
    std::vector<double> round_seconds(sizes->size(), 0.0);
    for (int round = 0; round < reps; round++) {
        for (size_t i = 0; i < sizes->size(); i++) {
            if (round > 0 && now_mono() - t0 + round_seconds[i] > budget) {
                *cut = true;
                continue;
            }
            double t = now_mono();
            bool largest = sizes->size() > 1 && i + 1 == sizes->size();
            if (!run_round(s, dir, kinds, &(*sizes)[i], round, true, largest))
                return false;
            round_seconds[i] = now_mono() - t;
        }
    }
    return true;
}

double best(const std::vector<double> &v)
{
    return minimum(v);
}

// Which rounds of a series a figure is taken from: all, or one of two interleaved halves, to show
// how far the figure moves between two halves of the same run. A half takes rounds in pairs,
// because consecutive rounds run the programs in turned order.
enum rounds_used { ROUNDS_ALL, ROUNDS_FIRST_HALF, ROUNDS_SECOND_HALF };

// The level of one size's runs in the growth series: slow spells only ever add time, so a low
// one, but not the very lowest, which a single lucky run would decide.
double growth_level(const std::vector<double> &v, rounds_used which = ROUNDS_ALL)
{
    const double kLevelQuantile = 0.25;
    if (which == ROUNDS_ALL)
        return quantile(v, kLevelQuantile);
    std::vector<double> half;
    for (size_t i = 0; i < v.size(); i++) {
        if ((i % 4 < 2) == (which == ROUNDS_FIRST_HALF))
            half.push_back(v[i]);
    }
    return quantile(half, kLevelQuantile);
}

// The headline: each upgrade ran right beside its floor runs, so they shared the disk's mood of
// the moment: the ratio is the median of the ratios of those pairs, the times are medians.
void add_main_rows(bench_state *s, const size_samples &m)
{
    const std::vector<double> &ours = m.seconds[RUN_UPGRADE];
    std::vector<double> dev_ratio, cache_ratio;
    for (size_t i = 0; i < ours.size(); i++) {
        if (i < m.seconds[RUN_FLOOR_DEV].size())
            dev_ratio.push_back(ours[i] / m.seconds[RUN_FLOOR_DEV][i]);
        if (i < m.seconds[RUN_FLOOR].size())
            cache_ratio.push_back(ours[i] / m.seconds[RUN_FLOOR][i]);
    }
    // The upgrade drops the written pages before its read-back, so that it compares what reached
    // the device; the judged floor does the same required work. The floor that reads back through
    // the page cache is shown beside it.
    double ratio = median(dev_ratio);
    add_row(s, format("upgrade 4+60 MiB, start to exit, s (%zu pairs, medians)", ours.size()),
            median(ours), median(m.seconds[RUN_FLOOR_DEV]), "floor reading back from the device",
            format("<= %.2f", kUpgradeGoal), ratio <= kUpgradeGoal ? V_PASS : V_FAIL);
    s->rows.back().ratio = ratio;
    s->notes.push_back(format("Upgrade 4+60 MiB: ratio is the median of the paired ratios (%s); "
                              "best of each: %.3f s against %.3f s (%.3f).",
                              json_array(dev_ratio).c_str(), best(ours),
                              best(m.seconds[RUN_FLOOR_DEV]),
                              best(ours) / best(m.seconds[RUN_FLOOR_DEV])));
    add_row(s, "same, against a floor reading back through the page cache", median(ours),
            median(m.seconds[RUN_FLOOR]), "floor program, cached read-back", "info", V_INFO);
    s->rows.back().ratio = median(cache_ratio);
    // CPU time does not wait for the disk, so it shows the code's own cost even on a busy one.
    add_row(s, "upgrade 4+60 MiB, CPU time user+sys, s (medians)", median(m.cpu[RUN_UPGRADE]),
            median(m.cpu[RUN_FLOOR]), "floor program", "info", V_INFO);
}

// The signed upgrade ran in the same rounds: against the floor reading back from the device plus
// `openssl dgst -sha256` of the image (the required I/O and the one digest a signature needs, by
// programs built for them), each pair from one round; and against the unsigned upgrade of the
// same image, which shows what the keyring and the signature check add.
void add_signed_rows(bench_state *s, const size_samples &m)
{
    const std::vector<double> &ours = m.seconds[RUN_SIGNED];
    const std::vector<double> &sha = m.seconds[RUN_SHA256];
    const std::vector<double> &floor = m.seconds[RUN_FLOOR_DEV];
    const std::vector<double> &plain = m.seconds[RUN_UPGRADE];
    std::vector<double> base, ratio, cost;
    for (size_t i = 0; i < ours.size() && i < sha.size() && i < floor.size(); i++) {
        base.push_back(floor[i] + sha[i]);
        ratio.push_back(ours[i] / base.back());
    }
    for (size_t i = 0; i < ours.size() && i < plain.size(); i++)
        cost.push_back(ours[i] / plain[i]);
    if (ratio.empty())
        return;
    double r = median(ratio);
    add_row(s,
            format("upgrade 4+60 MiB with a signed image (keyring present), s (%zu pairs, "
                   "medians)",
                   ratio.size()),
            median(ours), median(base), "floor from the device + openssl dgst -sha256",
            format("<= %.2f", kSignedGoal), r <= kSignedGoal ? V_PASS : V_FAIL);
    s->rows.back().ratio = r;
    const std::vector<double> &all = m.seconds[RUN_DIGESTS];
    std::vector<double> all_base, all_ratio;
    for (size_t i = 0; i < ours.size() && i < all.size() && i < floor.size(); i++) {
        all_base.push_back(floor[i] + all[i]);
        all_ratio.push_back(ours[i] / all_base.back());
    }
    if (!all_ratio.empty()) {
        add_row(s, "same, against the floor + every digest the upgrade takes, s (medians)",
                median(ours), median(all_base), "floor + openssl: MD5 once, SHA-256 three times",
                "info", V_INFO);
        s->rows.back().ratio = median(all_ratio);
    }
    add_row(s, "signed upgrade against the unsigned one, same image, s (medians)", median(ours),
            median(plain), "unsigned upgrade, same rounds", "info", V_INFO);
    s->rows.back().ratio = median(cost);
    add_row(s, "signed upgrade 4+60 MiB, CPU time user+sys, s (medians)", median(m.cpu[RUN_SIGNED]),
            median(m.cpu[RUN_FLOOR_DEV]) + median(m.cpu[RUN_SHA256]),
            "floor from the device + openssl", "info", V_INFO);
    s->notes.push_back(format(
        "Signed upgrade 4+60 MiB: ratio is the median of the paired ratios (%s); best of each: "
        "%.3f s against %.3f s. openssl dgst -sha256 of the image alone: %.3f s (median). "
        "Signed against unsigned, paired: %s.",
        json_array(ratio).c_str(), best(ours), best(base), median(sha), json_array(cost).c_str()));
}

// Growth, on the lower quartile of each size's times: sizes cannot be paired. The slopes between
// sizes leave every fixed cost out and are the test.
void add_growth_rows(bench_state *s, const std::vector<size_samples> &g, const std::string &where)
{
    // ms per added MiB between size i and i + 1, of the times or CPU times of `kind`
    auto slope = [&g](size_t i, run_kind kind, bool cpu, rounds_used which = ROUNDS_ALL) {
        const std::vector<double> &a = cpu ? g[i].cpu[kind] : g[i].seconds[kind];
        const std::vector<double> &b = cpu ? g[i + 1].cpu[kind] : g[i + 1].seconds[kind];
        return (growth_level(b, which) - growth_level(a, which)) * 1000 /
               (g[i + 1].payload_mib - g[i].payload_mib);
    };
    auto quotient = [&slope](run_kind kind, rounds_used which) {
        return slope(1, kind, false, which) / slope(0, kind, false, which);
    };
    for (const size_samples &z : g) {
        add_row(s, format("upgrade %u MiB, ms per MiB less the 1 s pause (q1)", z.payload_mib),
                (growth_level(z.seconds[RUN_UPGRADE]) - kPauseSeconds) * 1000 / z.payload_mib,
                (growth_level(z.seconds[RUN_FLOOR_DEV]) - kPauseSeconds) * 1000 / z.payload_mib,
                "floor program", "info", V_INFO);
    }
    for (size_t i = 0; i + 1 < g.size(); i++) {
        add_row(s,
                format("growth %u->%u MiB, ms per added MiB (q1)", g[i].payload_mib,
                       g[i + 1].payload_mib),
                slope(i, RUN_UPGRADE, false), slope(i, RUN_FLOOR_DEV, false), "floor program",
                "info", V_INFO);
    }
    // The goal is the upgrade's own: its cost per added MiB stays flat. The floor's quotient
    // shows how flat the machine itself is for the same required work.
    double growth = quotient(RUN_UPGRADE, ROUNDS_ALL);
    add_row(s, "growth: slope 64->256 / slope 16->64", growth, quotient(RUN_FLOOR_DEV, ROUNDS_ALL),
            "floor program", format("%.2f..%.2f", 1 - kGrowthGoal, 1 + kGrowthGoal),
            fabs(growth - 1) <= kGrowthGoal ? V_PASS : V_FAIL);
    s->notes.push_back(format(
        "Growth from half the rounds: %.2f from rounds 1, 2, 5, 6, ... and %.2f from rounds 3, "
        "4, 7, 8, ... (the floor's: %.2f and %.2f). How far the two stand apart shows how "
        "finely this machine tells the quotient in one run.",
        quotient(RUN_UPGRADE, ROUNDS_FIRST_HALF), quotient(RUN_UPGRADE, ROUNDS_SECOND_HALF),
        quotient(RUN_FLOOR_DEV, ROUNDS_FIRST_HALF), quotient(RUN_FLOOR_DEV, ROUNDS_SECOND_HALF)));
    add_row(s, "growth in CPU time: slope 64->256 / 16->64",
            slope(1, RUN_UPGRADE, true) / slope(0, RUN_UPGRADE, true),
            slope(1, RUN_FLOOR_DEV, true) / slope(0, RUN_FLOOR_DEV, true), "floor program", "info",
            V_INFO);
    s->notes.push_back(format(
        "Growth: the upgrades at 16, 64 and 256 MiB ran on a simulated device held in %s, each "
        "beside the floor. There the disk's cost, the same for any program that writes and "
        "syncs these bytes and on a shared virtual disk varying from run to run by more than "
        "the goal's margin, is left out, and what remains per MiB is the program's own work. "
        "The cost of each added MiB (difference of the lower quartiles, q1, of the times of two "
        "sizes over the difference of their payloads) from 16 to 64 MiB and from 64 to 256 MiB "
        "must agree within 10%%. Slow spells of the machine only add time, hence a low level; "
        "not the very lowest, which one lucky run decides. The rows 'ms per MiB less the 1 s "
        "pause' keep the other fixed costs "
        "(process start, configuration block, shell command, event log), which weigh on 16 MiB "
        "most.",
        where.c_str()));
}

// Peak resident set of each size, whatever the payload; 64 MiB ran in both series. It is the
// kernel's high-water mark of the pages the process maps (ru_maxrss from wait4, the largest of the
// process and the shell commands it waited for): the staged image lies in a tmpfs and is read
// with read(2), so its pages belong to the file system and are not counted; a program that mapped
// the image would have them counted. The floor, which holds both payloads, is shown beside it.
void add_memory_rows(bench_state *s, const size_samples &main, const std::vector<size_samples> &g)
{
    long inherited = main.parent_anon_kib;
    for (const size_samples &z : g) {
        long ours = z.rss_kib[RUN_UPGRADE], floor = z.rss_kib[RUN_FLOOR_DEV];
        if (z.payload_mib == main.payload_mib) {
            ours = std::max({ours, main.rss_kib[RUN_UPGRADE], main.rss_kib[RUN_SIGNED]});
            floor = std::max({floor, main.rss_kib[RUN_FLOOR], main.rss_kib[RUN_FLOOR_DEV]});
        }
        inherited = std::max(inherited, z.parent_anon_kib);
        add_row(s, format("peak RSS beyond the staged image, %u MiB upgrade, MiB", z.payload_mib),
                ours / 1024.0, floor / 1024.0, "floor program (holds both)",
                format("<= %.0f", kMemoryGoalMiB),
                ours / 1024.0 <= kMemoryGoalMiB ? V_PASS : V_FAIL);
    }
    s->notes.push_back(format(
        "Peak memory: the kernel's high-water mark of the resident pages the process maps "
        "(ru_maxrss from wait4, which also covers the shell commands it waits for). The staged "
        "image lies in a tmpfs and is read with read(2) into a 32 KiB buffer, so its pages belong "
        "to the file system and are not counted; the program's code and libraries are. A forked "
        "child's mark starts at the anonymous pages it inherits: the benchmark's own at the forks "
        "of these runs were at most %.2f MiB.",
        inherited / 1024.0));
}

void add_samples(bench_state *s, const char *series, const size_samples &z)
{
    s->samples_json += format(
        "\"%s_%u_mib\": {\"ours_seconds\": %s, \"floor_seconds\": %s, "
        "\"floor_from_device_seconds\": %s, \"ours_cpu_seconds\": %s, \"floor_cpu_seconds\": %s, "
        "\"floor_from_device_cpu_seconds\": %s, \"ours_peak_rss_kib\": %ld, "
        "\"floor_peak_rss_kib\": %ld, \"bench_anon_kib_at_fork\": %ld},\n",
        series, z.payload_mib, json_array(z.seconds[RUN_UPGRADE]).c_str(),
        json_array(z.seconds[RUN_FLOOR]).c_str(), json_array(z.seconds[RUN_FLOOR_DEV]).c_str(),
        json_array(z.cpu[RUN_UPGRADE]).c_str(), json_array(z.cpu[RUN_FLOOR]).c_str(),
        json_array(z.cpu[RUN_FLOOR_DEV]).c_str(), z.rss_kib[RUN_UPGRADE],
        std::max(z.rss_kib[RUN_FLOOR], z.rss_kib[RUN_FLOOR_DEV]), z.parent_anon_kib);
    if (!z.seconds[RUN_SIGNED].empty())
        s->samples_json +=
            format("\"%s_%u_mib_signed\": {\"ours_seconds\": %s, \"openssl_sha256_seconds\": "
                   "%s, \"ours_cpu_seconds\": %s, \"openssl_sha256_cpu_seconds\": %s, "
                   "\"ours_peak_rss_kib\": %ld},\n",
                   series, z.payload_mib, json_array(z.seconds[RUN_SIGNED]).c_str(),
                   json_array(z.seconds[RUN_SHA256]).c_str(), json_array(z.cpu[RUN_SIGNED]).c_str(),
                   json_array(z.cpu[RUN_SHA256]).c_str(), z.rss_kib[RUN_SIGNED]);
}

// The upgrade against the floor: the 64 MiB headline on the disk, beside both floors, and the
// growth series in memory, beside the floor that reads back from the device. Adds the time,
// growth and memory rows; false when a run failed.
bool bench_upgrades(bench_state *s)
{
    printf("fwbench: images\n");
    bool ok = make_image(image_path(s->work, kMainMiB), kMainMiB, kMainMiB);
    for (uint32_t mib : kSizeMiB) {
        if (s->mem != s->work || mib != kMainMiB)
            ok = ok && make_image(image_path(s->mem, mib), mib, mib);
    }
    if (!ok) {
        fail(s, "cannot write the images");
        return false;
    }
    std::vector<run_kind> main_kinds = {RUN_UPGRADE, RUN_FLOOR, RUN_FLOOR_DEV};
    if (s->openssl.empty()) {
        s->notes.push_back("openssl is not installed: no figure for the signed upgrade.");
    } else if (!make_signature(s, s->work, kMainMiB)) {
        fail(s, "cannot make the signing key or sign the image (see " + s->logs + "/sign.log)");
        return false;
    } else {
        main_kinds.insert(main_kinds.end(), {RUN_SIGNED, RUN_SHA256, RUN_DIGESTS});
    }
    malloc_trim(0);
    sync();

    printf("fwbench: %u MiB upgrades on %s, each beside the floors\n", kMainMiB, s->work.c_str());
    std::vector<size_samples> main(1);
    main[0].payload_mib = kMainMiB;
    bool cut = false;
    if (!run_series(s, s->work, main_kinds, &main, kMainReps, kMainBudgetSeconds, &cut))
        return false;

    printf("fwbench: upgrades of 16, 64 and 256 MiB in %s, each beside the floor\n",
           s->mem.c_str());
    std::vector<size_samples> growth(kSizes);
    for (int i = 0; i < kSizes; i++)
        growth[i].payload_mib = kSizeMiB[i];
    if (!run_series(s, s->mem, {RUN_UPGRADE, RUN_FLOOR_DEV}, &growth, kGrowthReps,
                    kGrowthBudgetSeconds, &cut))
        return false;
    s->over_budget = cut;
    if (cut)
        s->notes.push_back(
            format("The machine was slow: repetitions were cut to keep the series "
                   "within %.0f s on the disk and %.0f s in memory (runs: %zu at "
                   "64 MiB on the disk; %zu, %zu, %zu in memory).",
                   kMainBudgetSeconds, kGrowthBudgetSeconds, main[0].seconds[RUN_UPGRADE].size(),
                   growth[0].seconds[RUN_UPGRADE].size(), growth[1].seconds[RUN_UPGRADE].size(),
                   growth[2].seconds[RUN_UPGRADE].size()));

    add_main_rows(s, main[0]);
    add_signed_rows(s, main[0]);
    add_growth_rows(s, growth, s->mem_what);
    add_memory_rows(s, main[0], growth);
    add_samples(s, "disk", main[0]);
    for (const size_samples &z : growth)
        add_samples(s, "memory", z);
    return true;
}

// ---- syncs per erase block, from the fault shim's trace ----

// Lines "fsync PATH" and "fflush PATH" of a sync trace for the files `paths`.
void count_syncs(const std::string &trace, const std::vector<std::string> &paths, long *syncs,
                 long *flushes)
{
    std::string text;
    *syncs = 0;
    *flushes = 0;
    if (!sim::read_file(trace, &text))
        return;
    for (const std::string &p : paths) {
        for (const char *call : {"fsync ", "fflush "}) {
            std::string line = call + p + "\n";
            for (size_t at = text.find(line); at != std::string::npos; at = text.find(line, at + 1))
                (call[1] == 's' ? *syncs : *flushes) += at == 0 || text[at - 1] == '\n';
        }
    }
}

std::string real_path(const std::string &path)
{
    char buf[PATH_MAX];
    return realpath(path.c_str(), buf) != nullptr ? buf : path;
}

// One 64 MiB upgrade and one floor run with the fault shim preloaded (no faults, only its trace
// of fsync and fflush): the syncs that reached the target partitions against the erase blocks
// their payloads cover. mtdblock writes its cached erase block back at every sync, so one sync
// per block means each block is erased and programmed once.
void bench_syncs(bench_state *s)
{
    double per_block[2] = {NAN, NAN};
    double per_chunk = NAN;
    for (int k = 0; k < 2; k++) {
        bool ours = k == 0;
        device d;
        std::string trace = s->traces + (ours ? "/upgrade.syncs" : "/floor.syncs");
        unlink(trace.c_str());
        if (!make_device(s->mem, kMainMiB, &d)) {
            fail(s, "cannot build the device for the sync trace");
            return;
        }
        std::vector<std::string> env = device_env(d);
        env.push_back(std::string("LD_PRELOAD=") + FWBENCH_FAULT_LIB);
        env.push_back("FWUP_SYNC_TRACE=" + trace);
        run_out r = ours ? run_program(s->bin + "/fwupgrade", {"fwupgrade"}, env,
                                       s->logs + "/syncs.log", true)
                         : run_program(FWBENCH_FLOOR_BIN,
                                       {"floor", "--erase-size", std::to_string(d.erase_size),
                                        d.root + "/tmpfs/upgrading/fw.bin", d.kernel, d.rootfs},
                                       env, s->logs + "/syncs.log", true);
        long syncs = 0, flushes = 0;
        count_syncs(trace, {real_path(d.kernel), real_path(d.rootfs)}, &syncs, &flushes);
        bool ok = ours ? upgrade_done(d, r) : r.status == 0;
        sim::remove_tree(d.root);
        if (!ok || syncs == 0) {
            fail(s, "the traced run for the syncs failed (see " + s->logs + "/syncs.log)");
            return;
        }
        uint64_t e = d.erase_size;
        uint64_t root = ((uint64_t)kMainMiB << 20) - kKernelBytes;
        uint64_t blocks = (kKernelBytes + e - 1) / e + (root + e - 1) / e;
        uint64_t chunks = (kKernelBytes + DATA_WRITE_CHUNK - 1) / DATA_WRITE_CHUNK +
                          (root + DATA_WRITE_CHUNK - 1) / DATA_WRITE_CHUNK;
        per_block[k] = (double)syncs / (double)blocks;
        if (ours)
            per_chunk = (double)flushes / (double)chunks;
        if (ours)
            s->notes.push_back(format(
                "Syncs: %ld fsync and %ld fflush calls reached the two target partitions in a "
                "4+60 MiB upgrade, whose payloads cover %llu erase blocks of %llu KiB and %llu "
                "chunks of 32 KiB (traced by the fault shim, FWUP_SYNC_TRACE). A sync after "
                "every chunk, as before, made %.1f per block.",
                syncs, flushes, (unsigned long long)blocks, (unsigned long long)(e >> 10),
                (unsigned long long)chunks, (double)chunks / (double)blocks));
    }
    add_row(s, "syncs per erase block written, 4+60 MiB upgrade", per_block[0], per_block[1],
            "floor program", format("<= %.1f", kSyncGoal),
            per_block[0] <= kSyncGoal ? V_PASS : V_FAIL);
    add_row(s, "flushes per 32 KiB chunk written, same run", per_chunk, 1.0, "one per chunk",
            "info", V_INFO);
}

// ---- modelled controller time: the fault shim's NOR flash model ----

// The flash figures handed to the shim, so that the floor below is computed from the same ones:
// the typical values of a 3 V parallel NOR of uniform 128 KiB blocks (block erase 0.2 s, buffer
// program 2.0 MB/s, a 32-byte page read in 70 + 15 x 20 ns).
const double kNorEraseUs = 200000.0;
const double kNorProgramNs = 500.0;
const double kNorReadNs = 370.0 / 32.0;
const uint64_t kNewRootSeed = 9999; // the root of the image that keeps the main image's kernel

// One line of the shim's tally: what one stream on a flash device cost.
struct nor_session {
    std::string path;
    long long erases = 0;
    long long programmed = 0;
    long long filled = 0;
    long long read = 0;
    double us = 0;
};

std::vector<nor_session> read_tally(const std::string &path)
{
    std::vector<nor_session> out;
    std::string text;
    if (!sim::read_file(path, &text))
        return out;
    for (size_t at = 0; at < text.size();) {
        size_t end = text.find('\n', at);
        end = end == std::string::npos ? text.size() : end;
        std::string line = text.substr(at, end - at);
        at = end + 1;
        char dev[PATH_MAX];
        nor_session n;
        if (sscanf(line.c_str(),
                   "nor %4095s erases %lld programmed %lld filled %lld read %lld us %lf", dev,
                   &n.erases, &n.programmed, &n.filled, &n.read, &n.us) == 6) {
            n.path = dev;
            out.push_back(n);
        }
    }
    return out;
}

// The sessions on `dev`, in the order they closed: the writing pass, then the read-back.
std::vector<nor_session> sessions_of(const std::vector<nor_session> &all, const std::string &dev)
{
    std::vector<nor_session> out;
    for (const nor_session &n : all) {
        if (n.path == dev)
            out.push_back(n);
    }
    return out;
}

// What a flash holding `old` must at least do to hold `want`: erase and program the erase blocks
// that differ (only the payload's bytes of each), once.
struct flash_floor {
    long long blocks = 0; // erase blocks the payload covers
    long long differ = 0; // of those, the ones whose bytes differ
    long long bytes = 0;  // payload bytes in them
};

flash_floor floor_of(const std::string &old, const std::string &want, uint32_t erase_size)
{
    flash_floor f;
    for (size_t at = 0; at < want.size(); at += erase_size) {
        size_t n = std::min((size_t)erase_size, want.size() - at);
        f.blocks++;
        if (old.size() < at + n || old.compare(at, n, want, at, n) != 0) {
            f.differ++;
            f.bytes += (long long)n;
        }
    }
    return f;
}

// A payload's bytes from an image file made by make_image: header, kernel, root.
bool image_payloads(const std::string &path, std::string *kernel, std::string *root)
{
    std::string img;
    if (!sim::read_file(path, &img) || img.size() < FW_HEADER_LEN + kKernelBytes)
        return false;
    *kernel = img.substr(FW_HEADER_LEN, kKernelBytes);
    *root = img.substr(FW_HEADER_LEN + kKernelBytes);
    return true;
}

enum flash_case { FLASH_NEW, FLASH_REPEAT, FLASH_NEW_ROOT, FLASH_CASES };
const char *const kFlashCaseNames[FLASH_CASES] = {"wholly new image", "repeat of the same image",
                                                  "same kernel, new root"};

// One modelled run: the phases' modelled and floor seconds, and the erases per payload.
struct flash_run {
    double model[4] = {NAN, NAN, NAN, NAN}; // write kernel, write root, verify kernel, root
    double floor[4] = {NAN, NAN, NAN, NAN};
    long long erases[2] = {0, 0};
    flash_floor need[2];
};

const char *const kFlashPhases[4] = {"writing the kernel", "writing the root",
                                     "reading the kernel back", "reading the root back"};

// An upgrade of a 4+60 MiB image on a device whose target bank holds, before the run, nothing
// (zeros), the same image, or the same image when the staged one has a new root.
bool flash_run_case(bench_state *s, flash_case c, flash_run *out)
{
    device d;
    std::string kernel, root, old_kernel, old_root;
    std::string staged_image =
        c == FLASH_NEW_ROOT ? s->mem + "/fw-newroot.bin" : image_path(s->mem, kMainMiB);
    if (!make_device(s->mem, kMainMiB, &d))
        return false;
    std::string staged = d.root + "/tmpfs/upgrading/fw.bin";
    bool ok =
        image_payloads(staged_image, &kernel, &root) &&
        (c == FLASH_NEW || image_payloads(image_path(s->mem, kMainMiB), &old_kernel, &old_root));
    if (ok && c != FLASH_NEW)
        ok = sim::write_file(d.kernel, old_kernel) && sim::write_file(d.rootfs, old_root);
    if (ok && c == FLASH_NEW_ROOT)
        ok = unlink(staged.c_str()) == 0 && link(staged_image.c_str(), staged.c_str()) == 0;
    if (ok) {
        if (c == FLASH_NEW) {
            old_kernel.assign(kernel.size(), '\0'); // the sparse partitions read as zeros
            old_root.assign(root.size(), '\0');
        }
        out->need[0] = floor_of(old_kernel, kernel, d.erase_size);
        out->need[1] = floor_of(old_root, root, d.erase_size);
    }
    std::string tally = s->traces + format("/flash-%d.tally", (int)c);
    unlink(tally.c_str());
    std::vector<std::string> env = device_env(d);
    env.push_back(std::string("LD_PRELOAD=") + FWBENCH_FAULT_LIB);
    env.push_back("FWUP_NOR_TALLY=" + tally);
    env.push_back(format("FWUP_NOR_ERASE_US=%.17g", kNorEraseUs));
    env.push_back(format("FWUP_NOR_PROGRAM_NS=%.17g", kNorProgramNs));
    env.push_back(format("FWUP_NOR_READ_NS=%.17g", kNorReadNs));
    run_out r =
        ok ? run_program(s->bin + "/fwupgrade", {"fwupgrade"}, env, s->logs + "/flash.log", true)
           : run_out();
    ok = ok && upgrade_done(d, r);
    std::vector<nor_session> all = read_tally(tally);
    const std::string devs[2] = {real_path(d.kernel), real_path(d.rootfs)};
    const size_t lens[2] = {kernel.size(), root.size()};
    sim::remove_tree(d.root);
    for (int i = 0; ok && i < 2; i++) {
        std::vector<nor_session> n = sessions_of(all, devs[i]);
        ok = n.size() == 2;
        if (!ok)
            break;
        out->erases[i] = n[0].erases;
        out->model[i] = n[0].us / 1e6;
        out->model[2 + i] = n[1].us / 1e6;
        // The least: the blocks that differ erased and programmed, the payload read once to
        // compare and once to verify.
        double read_s = (double)lens[i] * kNorReadNs / 1e9;
        out->floor[i] = ((double)out->need[i].differ * kNorEraseUs +
                         (double)out->need[i].bytes * kNorProgramNs / 1000.0) /
                            1e6 +
                        read_s;
        out->floor[2 + i] = read_s;
    }
    if (!ok)
        fail(s, format("the modelled %s run failed (see %s/flash.log and %s)", kFlashCaseNames[c],
                       s->logs.c_str(), tally.c_str()));
    return ok;
}

double sum4(const double *v)
{
    return v[0] + v[1] + v[2] + v[3];
}

// The upgrade's time on the controller's flash, from the shim's model of a NOR behind mtdblock,
// against the least the flash allows for the same run, and the erases of three upgrades.
void bench_flash(bench_state *s)
{
    if (!make_image(s->mem + "/fw-newroot.bin", kMainMiB, kMainMiB, kNewRootSeed)) {
        fail(s, "cannot write the image with a new root");
        return;
    }
    flash_run runs[FLASH_CASES];
    for (int c = 0; c < FLASH_CASES; c++) {
        if (!flash_run_case(s, (flash_case)c, &runs[c]))
            return;
    }
    const flash_run &fresh = runs[FLASH_NEW];
    for (int p = 0; p < 4; p++) {
        double ratio = fresh.model[p] / fresh.floor[p];
        add_row(s, format("flash time 4+60 MiB, new image, %s, s", kFlashPhases[p]), fresh.model[p],
                fresh.floor[p], "flash floor, same run", format("<= %.2f", kFlashGoal),
                ratio <= kFlashGoal ? V_PASS : V_FAIL);
    }
    for (int c = 0; c < FLASH_CASES; c++) {
        double ratio = sum4(runs[c].model) / sum4(runs[c].floor);
        add_row(s, format("flash time 4+60 MiB, %s, whole, s", kFlashCaseNames[c]),
                sum4(runs[c].model), sum4(runs[c].floor), "flash floor, same run",
                format("<= %.2f", kFlashGoal), ratio <= kFlashGoal ? V_PASS : V_FAIL);
    }
    const flash_run &same = runs[FLASH_REPEAT];
    const flash_run &root = runs[FLASH_NEW_ROOT];
    long long blocks = fresh.need[0].blocks + fresh.need[1].blocks;
    long long fresh_erases = fresh.erases[0] + fresh.erases[1];
    add_row(s, "erases, repeat of the same image", (double)(same.erases[0] + same.erases[1]),
            (double)blocks, "erase blocks of the payloads", "= 0",
            same.erases[0] + same.erases[1] == 0 ? V_PASS : V_FAIL);
    add_row(s, "erases of the kernel, same kernel and new root", (double)root.erases[0],
            (double)root.need[0].blocks, "erase blocks of the kernel", "= 0",
            root.erases[0] == 0 ? V_PASS : V_FAIL);
    add_row(s, "erases of the root, same run", (double)root.erases[1], (double)root.need[1].blocks,
            "erase blocks of the root", "info", V_INFO);
    add_row(s, "erases, wholly new image", (double)fresh_erases, (double)blocks,
            "erase blocks of the payloads", "1 per block",
            fresh_erases == blocks ? V_PASS : V_FAIL);
    s->notes.push_back(format(
        "Flash time: the fault shim's model of a NOR flash behind mtdblock (FWUP_NOR_TALLY), "
        "%.0f ms per erase of a 128 KiB block, %.0f ns per byte programmed, %.2f ns per byte "
        "read; mtdblock fills its one cached block from the flash before the first write into "
        "it and writes it back, one erase and a program of the whole block, at each sync. The "
        "floor: the blocks that differ erased and programmed with the payload's bytes, each "
        "payload read once to compare and once to verify. A 4+60 MiB upgrade: %.1f s (floor "
        "%.1f s) with a wholly new image, %.1f s (%.1f s) with the same kernel and a new root, "
        "%.2f s (%.2f s) for a repeat of the same image.",
        kNorEraseUs / 1000.0, kNorProgramNs, kNorReadNs, sum4(fresh.model), sum4(fresh.floor),
        sum4(root.model), sum4(root.floor), sum4(same.model), sum4(same.floor)));
    s->notes.push_back("The comparison's cost on this machine is inside the upgrade's time "
                       "against the floor program: the target banks of those runs are blank, so "
                       "every block differs and is read before it is written.");
}

// ---- fwtool image create against cat and openssl ----

// A 4 MiB kernel and a 60 MiB root made into an image, in memory, against the same bytes put
// into one file by cat with their MD5 digests from `openssl dgst -md5`: what the tool must do
// (read both, digest both, write one file), by programs built for it.
void bench_image_create(bench_state *s)
{
    std::string openssl = find_in_path("openssl");
    if (openssl.empty()) {
        s->notes.push_back("openssl is not installed: no figure for fwtool image create.");
        return;
    }
    std::string dir = s->mem + "/create";
    std::string k = dir + "/kernel", r = dir + "/root";
    if (!sim::make_dirs(dir)) {
        fail(s, "cannot create " + dir);
        return;
    }
    {
        std::vector<uint8_t> buf(((size_t)kMainMiB << 20) - kKernelBytes);
        fill_random(buf.data(), buf.size(), 99);
        if (!sim::write_file(k, std::string((const char *)buf.data(), kKernelBytes)) ||
            !sim::write_file(r, std::string((const char *)buf.data(), buf.size()))) {
            fail(s, "cannot write the payload files in " + dir);
            return;
        }
    }
    std::vector<std::string> env = {"PATH=/usr/sbin:/usr/bin:/sbin:/bin"};
    std::string log = s->logs + "/create.log";
    std::string shell = "cat '" + k + "' '" + r + "' > '" + dir + "/cat.out' && '" + openssl +
                        "' dgst -md5 '" + k + "' '" + r + "' > /dev/null";
    std::vector<double> ours, base, ratio;
    bool ok = true;
    for (int rep = 0; rep < kCreateReps + 1 && ok; rep++) {
        run_out a, b;
        for (int i = 0; i < 2; i++) {
            // Each goes first in turn.
            if ((rep + i) % 2 == 0)
                a = run_program(FWBENCH_FWTOOL_BIN,
                                {"fwtool", "image", "create", "--model", kModel, "--kernel", k,
                                 "--root", r, "-o", dir + "/fw.out"},
                                env, log, false);
            else
                b = run_program("/bin/sh", {"sh", "-c", shell}, env, log, false);
        }
        ok = a.status == 0 && b.status == 0;
        if (rep == 0)
            continue; // warms the caches
        ours.push_back(a.seconds);
        base.push_back(b.seconds);
        ratio.push_back(a.seconds / b.seconds);
    }
    sim::remove_tree(dir);
    if (!ok) {
        fail(s, "fwtool image create or its baseline failed (see " + log + ")");
        return;
    }
    add_row(s, format("fwtool image create 4+60 MiB, s (%d pairs, medians)", kCreateReps),
            median(ours), median(base), "cat + openssl dgst -md5", format("<= %.1f", kCreateGoal),
            median(ratio) <= kCreateGoal ? V_PASS : V_FAIL);
    s->rows.back().ratio = median(ratio);
    s->notes.push_back(format("Image create: in %s; the ratio is the median of the paired ratios "
                              "(%s).",
                              s->mem_what.c_str(), json_array(ratio).c_str()));
    s->samples_json += format("\"image_create_seconds\": {\"ours\": %s, \"cat_openssl\": %s},\n",
                              json_array(ours).c_str(), json_array(base).c_str());
}

// ---- where the time goes: one traced run of each ----

bool trace_run(bench_state *s, bool ours, const device &d, const std::string &out)
{
    std::vector<std::string> argv = {
        "strace",
        "-f",
        "--seccomp-bpf",
        "-ttt",
        "-T",
        "-s",
        "1024",
        "-o",
        out,
        "-e",
        "trace=execve,openat,clone,clone3,vfork,wait4,clock_nanosleep,exit_group"};
    if (ours) {
        argv.push_back(s->bin + "/fwupgrade");
    } else {
        argv.insert(argv.end(), {FWBENCH_FLOOR_BIN, "--erase-size", std::to_string(d.erase_size),
                                 d.root + "/tmpfs/upgrading/fw.bin", d.kernel, d.rootfs});
    }
    run_out r = run_program(s->strace, argv, device_env(d), s->logs + "/trace.log", true);
    return r.status == 0;
}

double span_ms(double from, double to)
{
    return (to - from) * 1000.0;
}

// The phases of one traced run, in ms, in the order of the table; NAN where the program has no
// such phase.
std::vector<double> phase_times(const landmarks &m, bool ours)
{
    double none = ours ? NAN : 0;
    return {
        span_ms(m.exec, m.first_own),
        ours ? span_ms(m.first_own, m.image) : none,
        span_ms(m.image, ours ? m.after_image : m.write),
        ours ? span_ms(m.after_image, m.write) : none,
        span_ms(m.write, m.verify),
        span_ms(m.verify, ours ? m.after_verify : m.pause),
        ours ? span_ms(m.after_verify, m.pause) : none,
        span_ms(m.pause, m.pause_end),
        span_ms(m.pause_end, m.exit),
        m.shell * 1000.0,
        span_ms(m.exit, m.gone),
        span_ms(m.exec, m.gone),
    };
}

const char *const kPhaseNames[] = {
    "exec and dynamic loading, to the first own file",
    "start: time slice, event log, progress record, lock",
    "read image (ours: header CRC, MD5 of both, SHA-256 of all)",
    "bank state (configuration block), partition lookups, unlock",
    "write both, 32 KiB chunks flushed, fsync per erase block",
    "read back and compare both, 4 KiB (ours: + MD5, SHA-256)",
    "select the new bank: configuration block stored, marker",
    "pause",
    "exit steps: lock, free, shell command, event log, detach",
    "  of which the shell command (system: spawn to reaped)",
    "process exit (address space torn down)",
    "total, as traced",
};

// Where the time goes: runs of each program under strace (only the landmark calls are
// stopped, through seccomp-bpf, so the rest runs at full speed), interleaved; each phase's
// figure is its median over the runs.
void bench_phases(bench_state *s, uint32_t payload_mib, double md5_mibs, double sha_mibs)
{
    if (s->strace.empty()) {
        s->notes.push_back("strace is not installed: no breakdown of the upgrade's time.");
        return;
    }
    const size_t count = sizeof(kPhaseNames) / sizeof(kPhaseNames[0]);
    // [ours, floor][phase] -> the phase's durations over the runs
    std::vector<std::vector<double>> times[2] = {std::vector<std::vector<double>>(count),
                                                 std::vector<std::vector<double>>(count)};
    int reps = s->over_budget ? 1 : kTraceReps;
    for (int rep = 0; rep < reps; rep++) {
        for (int k = 0; k < 2; k++) {
            bool ours = (rep + k) % 2 == 0;
            device d;
            std::string trace =
                s->traces + format("/%s-%d.trace", ours ? "upgrade" : "floor", rep + 1);
            if (!make_device(s->work, payload_mib, &d)) {
                fail(s, "cannot build the traced device");
                return;
            }
            sync();
            bool ok = trace_run(s, ours, d, trace);
            std::vector<double> t = phase_times(
                find_landmarks(read_trace(trace), d.root, d.kernel, d.rootfs, ours), ours);
            sim::remove_tree(d.root);
            sync();
            if (!ok) {
                fail(s, std::string("the traced ") + (ours ? "upgrade" : "floor") + " run failed");
                return;
            }
            for (size_t i = 0; i < count; i++)
                times[ours ? 0 : 1][i].push_back(t[i]);
        }
    }
    for (size_t i = 0; i < count; i++)
        s->phases.push_back({kPhaseNames[i], median(times[0][i]), median(times[1][i])});
    s->notes.push_back("Page cache: the upgrade hands each chunk's pages back to the kernel once "
                       "it is synced, and what it compared once compared; its read-back comes "
                       "from the disk. The traced floor keeps the written pages and reads back "
                       "from the cache.");
    s->notes.push_back(format("Cross-check of the digest cost: %u MiB at our MD5 rate of %.0f "
                              "MiB/s is %.0f ms, at our SHA-256 rate of %.0f MiB/s %.0f ms; the "
                              "upgrade takes the MD5 once and the SHA-256 three times (the file "
                              "and its payloads in one read of the image, and the read-back).",
                              payload_mib, md5_mibs, payload_mib / md5_mibs * 1000.0, sha_mibs,
                              payload_mib / sha_mibs * 1000.0));
}

// ---- the signature check alone ----

// The device's check of a signature file held in memory (form, key lookup, Ed25519 over the
// manifest) against a keyring held in memory, as the upgrade does once per run, against OpenSSL's
// one-shot Ed25519 verification of the same signature over the same manifest with the same key;
// interleaved, each call timed alone in this thread's CPU time, the best of each.
void bench_signature(bench_state *s)
{
    fw_keyring ring;
    fw_sig_file sig;
    std::string bytes;
    if (s->openssl.empty())
        return; // no signature was made
    if (keyring_load(keyring_dir(s->work).c_str(), &ring) != 1 ||
        !sim::read_file(signature_path(s->work, kMainMiB), &bytes) ||
        sig_verify(bytes.data(), bytes.size(), &ring, &sig) != 0) {
        fail(s, "cannot load the keyring or check the signature in " + s->work);
        return;
    }
    EVP_PKEY *key = EVP_PKEY_new_raw_public_key(EVP_PKEY_ED25519, nullptr, ring.keys[0].pub,
                                                ED25519_PUBLIC_LEN);
    EVP_MD_CTX *ctx = EVP_MD_CTX_new();
    std::vector<double> ours, theirs;
    bool ok = key != nullptr && ctx != nullptr;
    for (int rep = 0; rep < kSigReps * 2 && ok; rep++) {
        bool mine = (rep + rep / 2) % 2 == 0;
        double t0 = now_thread_cpu();
        if (mine) {
            ok = sig_verify(bytes.data(), bytes.size(), &ring, &sig) == 0;
        } else {
            ok = EVP_DigestVerifyInit(ctx, nullptr, nullptr, nullptr, key) == 1 &&
                 EVP_DigestVerify(ctx, sig.signature, ED25519_SIGNATURE_LEN,
                                  (const unsigned char *)bytes.data(), sig.signed_len) == 1;
        }
        (mine ? ours : theirs).push_back(now_thread_cpu() - t0);
    }
    EVP_MD_CTX_free(ctx);
    EVP_PKEY_free(key);
    if (!ok) {
        fail(s, "a signature check failed, ours or OpenSSL's");
        return;
    }
    add_row(s, format("signature check in memory, us (best of %d, CPU time)", kSigReps),
            minimum(ours) * 1e6, minimum(theirs) * 1e6, "OpenSSL Ed25519 verify", "info", V_INFO);
    s->notes.push_back(format("Signature check: sig_verify on the %zu bytes of the signature file "
                              "and a keyring of one key, both in memory (parse, key lookup, "
                              "Ed25519 over the %zu-byte manifest), against OpenSSL's "
                              "EVP_DigestVerify of the same signature; medians %.0f and %.0f us.",
                              bytes.size(), sig.signed_len, median(ours) * 1e6,
                              median(theirs) * 1e6));
    s->samples_json += format("\"signature_check_cpu_seconds\": {\"ours\": %s, \"openssl\": %s},\n",
                              json_array(ours).c_str(), json_array(theirs).c_str());
}

// ---- 5. the boot-index commands against cat ----

void bench_commands(bench_state *s)
{
    device d;
    std::string err, mtd;
    sim::device_options opt;
    opt.running_bank = kRunningBank;
    opt.evt_library = FWBENCH_EVT_LIB;
    d.root = s->work + "/cmd-dev";
    sim::remove_tree(d.root);
    if (sim::create_device(d.root, opt, &err) != 0 || !sim::read_file(d.root + "/proc/mtd", &mtd)) {
        fail(s, "cannot build the device for the boot-index commands: " + err);
        return;
    }
    d.config = dev_path(d.root, mtd, "RedBoot config");
    sync();

    std::vector<double> get, set, cat;
    std::string log = s->logs + "/commands.log";
    int bank = kRunningBank;
    bool ok = true;
    for (int rep = 0; rep < kCommandReps && ok; rep++) {
        run_out c = run_program(s->cat, {"cat", d.config}, device_env(d), "/dev/null", false);
        run_out g =
            run_program(s->bin + "/get_boot_idx", {"get_boot_idx"}, device_env(d), log, false);
        // Each set moves the script to the other bank, so every call stores the block.
        bank = 1 - bank;
        run_out t = run_program(s->bin + "/set_boot_idx", {"set_boot_idx", std::to_string(bank)},
                                device_env(d), log, false);
        ok = c.status == 0 && g.status == 1 - bank && t.status == 0;
        cat.push_back(c.seconds);
        get.push_back(g.seconds);
        set.push_back(t.seconds);
    }
    sim::remove_tree(d.root);
    if (!ok) {
        fail(s, "a boot-index command failed (see " + log + ")");
        return;
    }
    add_row(s, format("get_boot_idx, start to exit, ms (median of %d)", kCommandReps),
            median(get) * 1000, median(cat) * 1000, "cat of the 128 KiB block", "info", V_INFO);
    add_row(s, format("set_boot_idx, start to exit, ms (median of %d)", kCommandReps),
            median(set) * 1000, median(cat) * 1000, "cat of the 128 KiB block", "info", V_INFO);
    s->samples_json +=
        format("\"commands_seconds\": {\"get_boot_idx\": %s, \"set_boot_idx\": "
               "%s, \"cat\": %s},\n",
               json_array(get).c_str(), json_array(set).c_str(), json_array(cat).c_str());
}

// ---- the machine, and where the scratch files go ----

// Scratch space: /tmp or the build tree, whichever syncs faster (the upgrade is made of
// synced 32 KiB writes); on one file system, the build tree. Returns why.
std::string choose_work_dir(bench_state *s, const std::string &build_dir)
{
    struct stat a, b;
    const std::string tmp = "/tmp";
    if (!s->work.empty())
        return "given with --work";
    std::string chosen = build_dir;
    std::string why = "/tmp and the build tree are on the same file system";
    if (stat(tmp.c_str(), &a) == 0 && stat(build_dir.c_str(), &b) == 0 && a.st_dev != b.st_dev) {
        double t_tmp = sync_write_ms(tmp), t_build = sync_write_ms(build_dir);
        if (t_tmp < t_build)
            chosen = tmp;
        why = format("/tmp %.2f ms, build tree %.2f ms per synced 32 KiB write", t_tmp, t_build);
    }
    s->work = chosen + "/fwbench-work";
    return why;
}

// Scratch space of the growth series: a directory in /dev/shm when that is a tmpfs with room for
// the images and the largest upgrade's partitions, and the machine has the memory for those and
// the program's buffer besides; else the disk's. Sets `mem` and `mem_what`.
void choose_memory_dir(bench_state *s)
{
    const char *shm = "/dev/shm";
    const uint64_t mib = 1u << 20;
    uint64_t images = 0, largest = 0;
    for (uint32_t m : kSizeMiB) {
        images += m;
        largest = std::max<uint64_t>(largest, m);
    }
    uint64_t need_space = (images + largest + kMemoryMarginMiB) * mib;
    uint64_t need_memory = need_space + largest * mib + kMemoryMarginMiB * mib;
    uint64_t available =
        strtoull(first_line_with("/proc/meminfo", "MemAvailable").c_str(), nullptr, 10) * 1024;
    struct statfs fs;
    std::string why;
    if (statfs(shm, &fs) != 0 || fs.f_type != TMPFS_MAGIC)
        why = "/dev/shm is not a tmpfs";
    else if ((uint64_t)fs.f_bavail * fs.f_bsize < need_space)
        why =
            format("/dev/shm has less than %llu MiB free", (unsigned long long)(need_space / mib));
    else if (available < need_memory)
        why = format("less than %llu MiB of memory available",
                     (unsigned long long)(need_memory / mib));
    if (!why.empty()) {
        s->mem = s->work;
        s->mem_what = "the scratch directory on the disk (" + why + ")";
        return;
    }
    s->mem = format("%s/fwbench-%d", shm, (int)getpid());
    s->mem_what = format("memory (tmpfs, %s)", s->mem.c_str());
}

// The 1-minute load average, from /proc/loadavg.
std::string machine_load()
{
    std::string text;
    return sim::read_file("/proc/loadavg", &text) ? text.substr(0, text.find(' ')) : "?";
}

// Share of the last minute in which some task waited for I/O, from /proc/pressure/io.
std::string io_pressure()
{
    std::string text;
    if (!sim::read_file("/proc/pressure/io", &text))
        return "not available";
    size_t at = text.find("avg60=");
    return at == std::string::npos ? "?"
                                   : text.substr(at + 6, text.find(' ', at) - at - 6) +
                                         "% of the last minute with a task waiting";
}

void describe_machine(bench_state *s, bool private_ipc)
{
    struct utsname u;
    uname(&u);
    std::string cpu = first_line_with("/proc/cpuinfo", "model name");
    long cores = sysconf(_SC_NPROCESSORS_ONLN);
    long mem_mib = sysconf(_SC_PHYS_PAGES) / 1024 * sysconf(_SC_PAGESIZE) / 1024;
    std::string disk = mount_of(s->work);
    s->machine_text = format("%ld cores (nproc), CPU %s, %ld MiB memory, Linux %s, scratch on %s",
                             cores, cpu.c_str(), mem_mib, u.release, disk.c_str());
    s->machine_json = format("{\"nproc\": %ld, \"cpu\": %s, \"memory_mib\": %ld, \"kernel\": %s, "
                             "\"scratch\": %s, \"scratch_fs\": %s, \"private_ipc\": %s}",
                             cores, json_string(cpu).c_str(), mem_mib,
                             json_string(u.release).c_str(), json_string(s->work).c_str(),
                             json_string(disk).c_str(), private_ipc ? "true" : "false");
}

// ---- report ----

const char *verdict_text(verdict v)
{
    return v == V_PASS ? "pass" : v == V_FAIL ? "FAIL" : "info";
}

std::string number(double v)
{
    if (!std::isfinite(v))
        return "-";
    double a = fabs(v);
    return format(a >= 100 ? "%.0f" : a >= 10 ? "%.1f" : a >= 1 ? "%.2f" : "%.3f", v);
}

void print_report(const bench_state &s)
{
    printf("\nMachine: %s\n\n", s.machine_text.c_str());
    printf("%-52s %9s %9s  %-26s %6s  %-16s %s\n", "figure", "ours", "baseline", "(baseline)",
           "ratio", "goal", "result");
    for (const row &r : s.rows)
        printf("%-52s %9s %9s  %-26s %6s  %-16s %s\n", r.figure.c_str(), number(r.ours).c_str(),
               number(r.base).c_str(), r.baseline.c_str(), number(r.ratio).c_str(), r.goal.c_str(),
               verdict_text(r.v));
    if (!s.phases.empty()) {
        printf("\nWhere the time of a 64 MiB upgrade goes (median of %d traced run%s each, "
               "ms):\n",
               s.over_budget ? 1 : kTraceReps, s.over_budget ? "" : "s");
        printf("%-62s %9s %9s %9s\n", "phase", "ours", "floor", "extra");
        for (const phase &p : s.phases)
            printf("%-62s %9.1f %9.1f %9.1f\n", p.name.c_str(), p.ours_ms, p.floor_ms,
                   p.ours_ms - p.floor_ms);
    }
    printf("\n");
    for (const std::string &n : s.notes)
        printf("- %s\n", n.c_str());
}

bool write_json(const bench_state &s)
{
    std::string out = "{\n\"machine\": " + s.machine_json + ",\n\"rows\": [\n";
    for (size_t i = 0; i < s.rows.size(); i++) {
        const row &r = s.rows[i];
        out += format("  {\"figure\": %s, \"ours\": %s, \"baseline\": %s, \"baseline_is\": %s, "
                      "\"ratio\": %s, \"goal\": %s, \"result\": %s}%s\n",
                      json_string(r.figure).c_str(), json_number(r.ours).c_str(),
                      json_number(r.base).c_str(), json_string(r.baseline).c_str(),
                      json_number(r.ratio).c_str(), json_string(r.goal).c_str(),
                      json_string(verdict_text(r.v)).c_str(), i + 1 < s.rows.size() ? "," : "");
    }
    out += "],\n\"phases_ms\": [\n";
    for (size_t i = 0; i < s.phases.size(); i++) {
        const phase &p = s.phases[i];
        out += format("  {\"phase\": %s, \"ours\": %s, \"floor\": %s}%s\n",
                      json_string(p.name).c_str(), json_number(p.ours_ms).c_str(),
                      json_number(p.floor_ms).c_str(), i + 1 < s.phases.size() ? "," : "");
    }
    out += "],\n\"notes\": [\n";
    for (size_t i = 0; i < s.notes.size(); i++)
        out += "  " + json_string(s.notes[i]) + (i + 1 < s.notes.size() ? ",\n" : "\n");
    out += "],\n\"samples\": {\n" + s.samples_json +
           "\"complete\": " + (s.failed ? "false" : "true") + "\n}\n}\n";
    return sim::write_file(s.json, out);
}

} // namespace

int main(int argc, char **argv)
{
    bench_state s;
    s.json = FWBENCH_RESULTS;
    for (int i = 1; i < argc; i++) {
        std::string a = argv[i];
        if (a == "--work" && i + 1 < argc) {
            s.work = argv[++i];
        } else if (a == "--json" && i + 1 < argc) {
            s.json = argv[++i];
        } else {
            fprintf(stderr, "usage: fwbench [--work DIR] [--json FILE]\n");
            return 2;
        }
    }
    // Fixed thresholds: glibc would otherwise raise both after the large buffers below are freed
    // (the images, a partition read whole by the device builder), keep the freed heap resident,
    // and every forked child would start its peak from it.
    mallopt(M_MMAP_THRESHOLD, (int)kMallocThreshold);
    mallopt(M_TRIM_THRESHOLD, (int)kMallocThreshold);
    double t_start = now_mono();
    std::string load_start = machine_load();
    bool private_ipc = probe_private_ipc();
    std::string why = choose_work_dir(&s, FWBENCH_BUILD_DIR);
    s.bin = s.work + "/bin";
    // Logs and traces stay beside the results; the scratch tree goes at the end.
    std::string out_dir =
        s.json.rfind('/') == std::string::npos ? "." : s.json.substr(0, s.json.rfind('/'));
    s.logs = out_dir + "/logs";
    s.traces = out_dir + "/traces";
    s.strace = find_in_path("strace");
    s.cat = find_in_path("cat");
    s.openssl = find_in_path("openssl");
    choose_memory_dir(&s);
    sim::remove_tree(s.work);
    sim::remove_tree(s.logs);
    if (!sim::make_dirs(s.bin) || !sim::make_dirs(s.logs) || !sim::make_dirs(s.traces) ||
        !sim::make_dirs(s.mem)) {
        fprintf(stderr, "fwbench: cannot create %s or %s\n", s.work.c_str(), s.mem.c_str());
        return 1;
    }
    // The commands are links to the one program, as on the controller.
    for (const char *name : {"fwupgrade", "get_boot_idx", "set_boot_idx"}) {
        if (symlink(FWBENCH_SIM_BIN, (s.bin + "/" + name).c_str()) != 0) {
            fprintf(stderr, "fwbench: cannot link %s: %s\n", name, strerror(errno));
            return 1;
        }
    }
    describe_machine(&s, private_ipc);
    s.notes.push_back(format("Scratch files in %s on %s (%s); a 32 KiB write and fsync there "
                             "takes %.2f ms (median of 128).",
                             s.work.c_str(), mount_of(s.work).c_str(), why.c_str(),
                             sync_write_ms(s.work)));
    if (!private_ipc)
        s.notes.push_back("No private IPC namespace could be had (not root?): the runs share "
                          "the system's progress-record segment.");

    printf("fwbench: MD5 and SHA-256\n");
    double md5_mibs = NAN, sha_mibs = NAN;
    bench_digests(&s, &md5_mibs, &sha_mibs);

    if (bench_upgrades(&s)) {
        printf("fwbench: syncs per erase block (fault shim trace)\n");
        bench_syncs(&s);
        printf("fwbench: modelled flash time (fault shim's NOR model)\n");
        bench_flash(&s);
        printf("fwbench: phases (strace)\n");
        bench_phases(&s, kMainMiB, md5_mibs, sha_mibs);
    }
    printf("fwbench: the signature check in memory\n");
    bench_signature(&s);

    printf("fwbench: fwtool image create, cat and openssl\n");
    bench_image_create(&s);

    printf("fwbench: get_boot_idx, set_boot_idx and cat\n");
    bench_commands(&s);

    sim::remove_tree(s.mem);
    sim::remove_tree(s.work);
    s.notes.push_back(format("Whole benchmark: %.0f s. Other load on the machine: load average "
                             "%s at the start, %s at the end; I/O pressure at the end: %s.",
                             now_mono() - t_start, load_start.c_str(), machine_load().c_str(),
                             io_pressure().c_str()));
    print_report(s);
    int missed = 0;
    for (const row &r : s.rows)
        missed += r.v == V_FAIL;
    printf("\n%d goal%s missed; results in %s\n", missed, missed == 1 ? "" : "s", s.json.c_str());
    if (!write_json(s)) {
        fprintf(stderr, "fwbench: cannot write %s\n", s.json.c_str());
        return 1;
    }
    return s.failed ? 1 : 0;
}
