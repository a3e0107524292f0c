// SPDX-License-Identifier: MIT
// The firmware upgrade end to end: the real program on simulated devices, with faults provoked
// through the devices themselves or the preloaded fault shim. After every run the device must be
// bootable (the script names a bank holding a complete image, the block CRC holds), both target
// partitions locked again, the staging directory gone, and the record and events must tell the
// outcome.
#include "fixture.h"

#include <functional>

#include <algorithm>
#include <cstring>
#include <sys/inotify.h>
#include <thread>
#include <fcntl.h>
#include <spawn.h>
#include <sys/file.h>
#include <sys/shm.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "md5.h"
#include "bank_record.h"
#include "bank_state.h"
#include "boot_cmd.h"
#include "lock_files.h"
#include "rb_config.h"
#include "lock_files.h"
#include "notify.h"
#include "progress.h"
#include "sha256.h"
#include "upgrade.h"

extern char **environ;

namespace
{

using fwtest::crc_ref;
using fwtest::md5_of;
using fwtest::random_bytes;

using fwtest::run_result;

const uint32_t kKernelPart = 0x40000; // 256 KiB
const uint32_t kRootPart = 0x180000;  // 1.5 MiB: the ramdisk becomes 1 MiB
const size_t kKernelLen = 100000;
const size_t kRootLen = 300000;

// Bank b is kernel b / root b: mtdblock 3 + 2b and 4 + 2b in the simulated table.
int kernel_dev(int bank)
{
    return 3 + 2 * bank;
}
int root_dev(int bank)
{
    return 4 + 2 * bank;
}

struct image {
    std::string model;
    std::string kernel;
    std::string root;
};

image make_image(const std::string &model, unsigned seed, size_t klen = kKernelLen,
                 size_t rlen = kRootLen)
{
    return {model, random_bytes(klen, seed), random_bytes(rlen, seed + 1000)};
}

std::string image_file(const image &img)
{
    return fwtest::image_file(img.model, img.kernel, img.root);
}

bool read_progress(upgrade_progress *out)
{
    int id = shmget(UPGRADE_PROGRESS_KEY, 0, 0);
    if (id < 0)
        return false;
    void *p = shmat(id, nullptr, SHM_RDONLY);
    if (p == reinterpret_cast<void *>(-1))
        return false;
    memcpy(out, p, sizeof(*out));
    shmdt(p);
    return true;
}

// Removes the record segment, so that a test can create one of its own choosing.
void drop_segment()
{
    int id = shmget(UPGRADE_PROGRESS_KEY, 0, 0);
    if (id >= 0)
        shmctl(id, IPC_RMID, nullptr);
}

std::string event_line(int id)
{
    char buf[64];
    snprintf(buf, sizeof(buf), "4 0x%x 0 0\n", id);
    return buf;
}

std::vector<std::string> split_lines(const std::string &text)
{
    std::vector<std::string> out;
    size_t pos = 0;
    while (pos < text.size()) {
        size_t end = text.find('\n', pos);
        if (end == std::string::npos)
            end = text.size();
        out.push_back(text.substr(pos, end - pos));
        pos = end + 1;
    }
    return out;
}

// The program's own lines on standard error; an emulator's loader may add its own, about the
// preloaded shim it cannot use itself.
std::vector<std::string> told(const std::string &err)
{
    std::vector<std::string> out;
    for (const std::string &line : split_lines(err)) {
        if (line.compare(0, 11, "fwupgrade: ") == 0)
            out.push_back(line);
    }
    return out;
}

// Runs a shell command line, quietly; its exit status.
int sh(const std::string &cmd)
{
    return system(("(set -e; " + cmd + "\n) >/dev/null 2>&1").c_str());
}

// The key id a signature file's manifest names.
std::string key_id_in(const std::string &sig)
{
    size_t at = sig.find("\nkey-id ");
    return at == std::string::npos ? "" : sig.substr(at + 8, 16);
}

std::string sha256_hex(const std::string &data)
{
    uint8_t d[SHA256_LEN];
    sha256_digest(data.data(), data.size(), d);
    return fwtest::hex(d, SHA256_LEN);
}

std::string fault_library()
{
    std::string evt = fwtest::evt_library();
    return evt.substr(0, evt.rfind('/')) + "/libfwfault.so";
}

class Upgrade : public fwtest::SimDeviceTest
{
  protected:
    void SetUp() override
    {
        SimDeviceTest::SetUp();
        reset(0);
    }

    // A fresh device running `bank`, whose banks both hold a complete factory image.
    void reset(int bank, uint32_t kernel_part = kKernelPart, uint32_t root_part = kRootPart)
    {
        sim::device_options opt;
        opt.running_bank = bank;
        opt.kernel_size = kernel_part;
        opt.root_size = root_part;
        opt.evt_library = fwtest::evt_library();
        sim::remove_tree(dir_.path());
        make_device(opt);
        factory_ = make_image("SIM3000", 1);
        for (int b = 0; b < 2; b++) {
            overwrite_start(kernel_dev(b), factory_.kernel);
            overwrite_start(root_dev(b), factory_.root);
        }
        original_script_ = stored_script();
        for (int n = 3; n <= 6; n++)
            initial_dev_[n] = dev(n);
    }

    void overwrite_start(int n, const std::string &data)
    {
        std::string d = dev(n);
        d.replace(0, data.size(), data);
        write("dev/mtdblock" + std::to_string(n), d);
    }

    std::string dev(int n) const
    {
        return read("dev/mtdblock" + std::to_string(n));
    }

    bool bank_holds(int bank, const image &img) const
    {
        std::string k = dev(kernel_dev(bank)), r = dev(root_dev(bank));
        return k.compare(0, img.kernel.size(), img.kernel) == 0 &&
               r.compare(0, img.root.size(), img.root) == 0;
    }

    void stage(const image &img)
    {
        stage_file(image_file(img));
    }
    void stage_file(const std::string &fw)
    {
        ASSERT_TRUE(sim::make_dirs(path("tmpfs/upgrading")));
        write("tmpfs/upgrading/fw.bin", fw);
    }

    bool exists(const std::string &rel) const
    {
        struct stat st;
        return lstat(path(rel).c_str(), &st) == 0;
    }

    // Runs the upgrade with the fault shim preloaded and the lock records traced.
    run_result upgrade(const std::string &fault = "", const std::vector<std::string> &extra = {})
    {
        std::vector<std::string> env = {"LD_PRELOAD=" + fault_library(),
                                        "FWUP_LOCK_TRACE=" + path("lock.trace"),
                                        "FWUP_NOR_TALLY=" + path("nor.tally")};
        if (!fault.empty())
            env.push_back("FWUP_FAULT=" + fault);
        unlink(path("nor.tally").c_str());
        env.insert(env.end(), extra.begin(), extra.end());
        return run("fwupgrade", {}, env);
    }

    // What the flash model counted on device `n` in the last run: its sessions in order (the
    // writing pass, then the read-back), as erases and bytes read.
    std::vector<std::pair<long long, long long>> nor_sessions(int n) const
    {
        std::vector<std::pair<long long, long long>> out;
        std::string name = "/dev/mtdblock" + std::to_string(n) + " ";
        for (const std::string &line : split_lines(read("nor.tally"))) {
            size_t at = line.find(name);
            long long erases = 0, read = 0;
            if (at != std::string::npos &&
                sscanf(line.c_str() + at + name.size(),
                       "erases %lld programmed %*d filled %*d read %lld", &erases, &read) == 2)
                out.push_back({erases, read});
        }
        return out;
    }

    std::vector<std::string> trace() const
    {
        return split_lines(read("lock.trace"));
    }

    // Every target partition that was unlocked carries a lock record after its last unlock.
    void expect_relocked(int bank) const
    {
        std::vector<std::string> t = trace();
        for (int n : {kernel_dev(bank), root_dev(bank)}) {
            std::string name = "mtdblock" + std::to_string(n);
            auto last = [&t](const std::string &rec) {
                auto it = std::find(t.rbegin(), t.rend(), rec);
                return it == t.rend() ? -1L : (long)(t.rend() - it - 1);
            };
            long unlocked = last("unlock " + name), locked = last("lock " + name);
            if (unlocked >= 0) {
                EXPECT_GT(locked, unlocked) << name << " left unlocked";
            }
        }
    }

    void expect_not_unlocked(int bank) const
    {
        for (const std::string &rec : trace()) {
            EXPECT_NE("unlock mtdblock" + std::to_string(kernel_dev(bank)), rec);
            EXPECT_NE("unlock mtdblock" + std::to_string(root_dev(bank)), rec);
        }
    }

    // What every run ends with: code as exit status, a bootable device, no staging directory,
    // the final record, start and result events, the time slice back at 0.
    void expect_finished(const run_result &r, int code, int script_bank, const image &booted)
    {
        EXPECT_EQ(code & 0xFF, r.status) << r.out << r.err;
        EXPECT_EQ(script_bank, sim::script_bank(stored_script())) << stored_script();
        EXPECT_TRUE(bank_holds(script_bank, booted))
            << "the boot script names bank " << script_bank << " without its image";
        EXPECT_TRUE(stored_crc_valid());
        EXPECT_FALSE(exists("tmpfs/upgrading"));
        upgrade_progress p;
        ASSERT_TRUE(read_progress(&p));
        if (code == 0) {
            EXPECT_EQ(UPGRADE_STAGE_DONE, p.stage);
            EXPECT_EQ(100, p.percent);
        } else {
            EXPECT_EQ(UPGRADE_STAGE_FAILED, p.stage);
            EXPECT_EQ((uint8_t)code, p.percent);
            EXPECT_EQ(code, (int8_t)p.percent);
        }
        EXPECT_EQ(event_line(UPGRADE_EVT_START) +
                      event_line(code == 0 ? UPGRADE_EVT_SUCCESS : UPGRADE_EVT_FAILURE),
                  read("var/log/evt.log"));
        EXPECT_EQ(std::string("timeslice=0\0", 12), read("proc/dte"));
    }

    // Stores of the configuration block while `action` runs: every store is one burst of writes
    // to its device, between the opens of its operation.
    int count_stores(const std::function<void()> &action)
    {
        int in = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
        EXPECT_GE(in, 0);
        EXPECT_GE(inotify_add_watch(in, path("dev/mtdblock1").c_str(), IN_MODIFY | IN_OPEN), 0);
        action();
        alignas(inotify_event) char buf[8192];
        ssize_t n;
        int stores = 0;
        while ((n = ::read(in, buf, sizeof(buf))) > 0) {
            for (ssize_t off = 0; off < n;) {
                const inotify_event *e = reinterpret_cast<const inotify_event *>(buf + off);
                stores += (e->mask & IN_MODIFY) != 0 ? 1 : 0;
                off += (ssize_t)(sizeof(inotify_event) + e->len);
            }
        }
        close(in);
        return stores;
    }

    // The change marker's content, "" when there is none.
    std::string marker() const
    {
        std::string text;
        return sim::read_file(path("var/lock/bootidx_changed"), &text) ? text : "";
    }

    void plant_marker(uid_t owner)
    {
        write("var/lock/bootidx_changed", "");
        ASSERT_EQ(0, chown(path("var/lock/bootidx_changed").c_str(), owner, owner));
    }

    // Signing keys made with openssl once per test, outside the device root: "k" is the one
    // trust() puts in the device's keyring, "o" one the device never knows.
    std::string keys_dir()
    {
        const std::string d = keys_.path();
        std::string probe;
        if (!sim::read_file(d + "/k.pub.pem", &probe)) {
            EXPECT_EQ(0, sh("cd '" + d +
                            "'; for k in k o; do openssl genpkey -algorithm ed25519 -out $k.pem;"
                            " openssl pkey -in $k.pem -pubout -out $k.pub.pem; done"));
        }
        return d;
    }

    void trust()
    {
        std::string pub;
        ASSERT_TRUE(sim::read_file(keys_dir() + "/k.pub.pem", &pub));
        ASSERT_TRUE(sim::make_dirs(path("etc/fwupgrade/keys")));
        write("etc/fwupgrade/keys/k.pem", pub);
    }

    // The signature file of the image file `fw` by `key`: the manifest `fwtool image manifest`
    // prints (version 2.4.1), edited by the sed script `edit` before openssl signs it.
    std::string sign(const std::string &fw, const std::string &edit = "",
                     const std::string &key = "k")
    {
        const std::string d = keys_dir();
        EXPECT_TRUE(sim::write_file(d + "/fw.bin", fw));
        run_result m = fwtest::run_program(fwtest::fwtool_binary(), "fwtool",
                                           {"image", "manifest", d + "/fw.bin", "--key",
                                            d + "/" + key + ".pub.pem", "--version", "2.4.1"});
        EXPECT_EQ(0, m.status) << m.err;
        EXPECT_TRUE(sim::write_file(d + "/manifest", m.out));
        EXPECT_EQ(0, sh("cd '" + d + "'; sed -i -e '" + edit + "' manifest;" +
                        "openssl pkeyutl -sign -inkey " + key +
                        ".pem -rawin -in manifest -out sig.bin;"
                        "{ cat manifest; printf 'signature %s\\n' \"$(xxd -p -c 64 sig.bin)\"; }"
                        " > fw.sig"));
        std::string sig;
        EXPECT_TRUE(sim::read_file(d + "/fw.sig", &sig));
        return sig;
    }

    // The target bank's record; its state is 0 when there is none.
    bank_record record(int bank) const
    {
        bank_record r;
        memset(&r, 0, sizeof(r));
        const std::string p = path("kelpvar/config" + std::to_string(bank) + "/bank_record");
        (void)bank_record_read(p.c_str(), &r);
        return r;
    }

    image factory_;
    std::string original_script_;
    std::string initial_dev_[8];
    fwtest::TempDir keys_;
};

// ---- success ----

TEST_F(Upgrade, WritesTheOtherBankAndSelectsItFromEitherBank)
{
    for (int running : {0, 1}) {
        SCOPED_TRACE(running);
        reset(running);
        int target = 1 - running;
        // Letter case does not matter in the model comparison.
        image img = make_image(running == 0 ? "SIM3000" : "sim3000", 10 + running);
        stage(img);
        // A block whose CRC does not match is used, told once, and stored with a matching one.
        std::string block = config_block();
        if (running == 1) {
            block[RB_CONFIG_CRC_OFFSET] = (char)(block[RB_CONFIG_CRC_OFFSET] ^ 0x01);
            write("dev/mtdblock1", block);
        }

        run_result r = upgrade();

        expect_finished(r, 0, target, img);
        EXPECT_EQ(running == 1 ? 1 : 0, (int)told(r.err).size()) << r.err;
        if (running == 1) {
            EXPECT_NE(std::string::npos, r.err.find("the boot loader would ignore this block\n"));
        }
        EXPECT_TRUE(bank_holds(running, factory_)) << "the running bank was touched";
        EXPECT_TRUE(exists("var/lock/bootidx_changed"));
        // The ramdisk follows the root partition: 1.5 MiB counts as 1.
        EXPECT_NE(std::string::npos, stored_script().find("initrd=0x0a000000,1M"))
            << stored_script();
        upgrade_progress p;
        ASSERT_TRUE(read_progress(&p));
        EXPECT_EQ(kKernelLen, p.kernel_total);
        EXPECT_EQ(kRootLen, p.root_total);
        EXPECT_EQ(kKernelLen, p.kernel_done);
        EXPECT_EQ(kRootLen, p.root_done);
        EXPECT_EQ(0, p.pad[0] | p.pad[1] | p.pad[2]);
        std::vector<std::string> t = trace();
        for (int n : {kernel_dev(target), root_dev(target)})
            EXPECT_NE(t.end(),
                      std::find(t.begin(), t.end(), "unlock mtdblock" + std::to_string(n)));
        expect_relocked(target);
    }
}

// Without a keyring any image installs and a signature beside it is ignored; with one, a good
// signature installs. Either way the written bank's record says "verified" with what it holds,
// before the script names it; the running bank's record is not touched.
TEST_F(Upgrade, SignaturePolicyAndTheVerifiedBankRecord)
{
    image img = make_image("SIM3000", 12);
    const std::string fw = image_file(img);
    // Keys, manifest and signature from openssl and the shell alone, as a signer without fwtool
    // makes them.
    const std::string d = keys_dir();
    ASSERT_TRUE(sim::write_file(d + "/fw.bin", fw));
    const std::string by_openssl =
        "cd '" + d +
        "'; sha() { openssl dgst -sha256 -r | cut -c1-64; };"
        "id=$(openssl pkey -pubin -in k.pub.pem -outform DER | tail -c 32 | sha | cut -c1-16);"
        "{ echo 'fwupgrade-manifest 1';"
        "  echo \"image-sha256 $(sha < fw.bin)\";"
        "  echo \"kernel-sha256 $(dd if=fw.bin bs=1 skip=76 count=100000 2>/dev/null | sha)\";"
        "  echo \"root-sha256 $(dd if=fw.bin bs=1 skip=100076 count=300000 2>/dev/null | sha)\";"
        "  echo 'model SIM3000'; echo 'version 7.1'; echo \"key-id $id\"; } > manifest;"
        "openssl pkeyutl -sign -inkey k.pem -rawin -in manifest -out sig.bin;"
        "{ cat manifest; printf 'signature %s\\n' \"$(xxd -p -c 64 sig.bin)\"; } > os.sig";
    ASSERT_EQ(0, sh(by_openssl));
    std::string openssl_sig;
    ASSERT_TRUE(sim::read_file(d + "/os.sig", &openssl_sig));
    struct row {
        const char *name;
        bool keys;
        std::string sig;
        const char *version; // in the record; null: unsigned
    };
    const row rows[] = {
        {"unsigned, no keyring", false, "", nullptr},
        {"a signature without a keyring is ignored", false, "not a signature\n", nullptr},
        {"signed, trusted", true, sign(fw), "2.4.1"},
        {"signed without a version, trusted", true, sign(fw, "s/^version .*/version/"), ""},
        {"signed with openssl alone, trusted", true, openssl_sig, "7.1"},
    };
    for (const row &r : rows) {
        SCOPED_TRACE(r.name);
        reset(0);
        stage(img);
        if (r.keys)
            trust();
        if (!r.sig.empty())
            write("tmpfs/upgrading/fw.sig", r.sig);
        const int64_t before = (int64_t)time(nullptr);

        run_result res = upgrade();

        expect_finished(res, 0, 1, img);
        EXPECT_TRUE(told(res.err).empty()) << res.err;
        bank_record rec = record(1);
        EXPECT_EQ(BANK_VERIFIED, rec.state);
        EXPECT_GE(rec.installed, before);
        EXPECT_LE(rec.installed, (int64_t)time(nullptr));
        EXPECT_EQ(fwtest::md5_of(img.kernel), std::string((char *)rec.kernel_md5, 16));
        EXPECT_EQ(fwtest::md5_of(img.root), std::string((char *)rec.root_md5, 16));
        EXPECT_EQ(sha256_hex(fw), fwtest::hex(rec.image_sha256, SHA256_LEN));
        EXPECT_EQ(sha256_hex(img.kernel), fwtest::hex(rec.kernel_sha256, SHA256_LEN));
        EXPECT_EQ(sha256_hex(img.root), fwtest::hex(rec.root_sha256, SHA256_LEN));
        EXPECT_EQ(r.version != nullptr, rec.is_signed);
        EXPECT_STREQ(r.version != nullptr ? r.version : "", rec.version);
        if (r.version != nullptr) {
            EXPECT_EQ(key_id_in(r.sig), fwtest::hex(rec.signer, KEY_ID_LEN));
        }
        EXPECT_FALSE(exists("kelpvar/config0/bank_record"));
    }
}

TEST_F(Upgrade, SecondUpgradeOfTheSameBootRewritesTheSelectedBankOnly)
{
    image first = make_image("SIM3000", 20), second = make_image("SIM3000", 21);
    stage(first);
    ASSERT_EQ(0, upgrade().status);
    std::string block = config_block();
    write("var/log/evt.log", "");

    stage(second);
    run_result r = upgrade();

    expect_finished(r, 0, 1, second);
    EXPECT_EQ(block, config_block()) << "the boot configuration was written again";
    EXPECT_TRUE(exists("var/lock/bootidx_changed"));
    EXPECT_TRUE(bank_holds(0, factory_));
    expect_relocked(1);
}

// The bank being written keeps the blocks that already hold the new bytes: a repeat of the image
// erases nothing, a new root beside the same kernel erases the root's blocks only. The read-back
// still reads every byte of both payloads from the flash.
TEST_F(Upgrade, ErasesOnlyTheBlocksThatDiffer)
{
    const long long blocks_k = (kKernelLen + 0x1FFFF) / 0x20000;
    const long long blocks_r = (kRootLen + 0x1FFFF) / 0x20000;
    const struct {
        const char *name;
        bool same_kernel; // bank 1 holds the new kernel before the run
        bool same_root;   // ... and the new root
        long long kernel_erases, root_erases;
    } rows[] = {
        {"wholly new image", false, false, blocks_k, blocks_r},
        {"repeat of the image bank 1 holds", true, true, 0, 0},
        {"same kernel, new root", true, false, 0, blocks_r},
        {"new kernel, same root", false, true, blocks_k, 0},
    };
    for (const auto &r : rows) {
        SCOPED_TRACE(r.name);
        reset(0);
        image img = make_image("SIM3000", 30);
        if (r.same_kernel)
            overwrite_start(kernel_dev(1), img.kernel);
        if (r.same_root)
            overwrite_start(root_dev(1), img.root);
        stage(img);

        run_result res = upgrade();

        expect_finished(res, 0, 1, img);
        const int devs[] = {kernel_dev(1), root_dev(1)};
        const long long erases[] = {r.kernel_erases, r.root_erases};
        const size_t lens[] = {kKernelLen, kRootLen};
        for (int i = 0; i < 2; i++) {
            std::vector<std::pair<long long, long long>> s = nor_sessions(devs[i]);
            ASSERT_EQ(2u, s.size()) << read("nor.tally");
            EXPECT_EQ(erases[i], s[0].first) << devs[i];
            EXPECT_EQ(0, s[1].first) << devs[i];
            EXPECT_EQ((long long)lens[i], s[1].second) << devs[i];
        }
    }
}

TEST_F(Upgrade, AfterARebootTheNextUpgradeWritesTheBankThatRanBefore)
{
    image first = make_image("SIM3000", 30), second = make_image("SIM3000", 31);
    stage(first);
    ASSERT_EQ(0, upgrade().status);
    ASSERT_EQ(1, sim::script_bank(stored_script()));

    // The reboot: /var/lock starts empty and the kernel says it came from bank 1.
    sim::remove_tree(path("var/lock"));
    ASSERT_TRUE(sim::make_dirs(path("var/lock")));
    write("proc/cmdline", sim::cmdline_for_bank(read("proc/cmdline"), 1));
    write("var/log/evt.log", "");
    stage(second);

    run_result r = upgrade();

    expect_finished(r, 0, 0, second);
    EXPECT_TRUE(bank_holds(1, first));
    EXPECT_TRUE(exists("var/lock/bootidx_changed"));
    expect_relocked(0);
}

TEST_F(Upgrade, PayloadsExactlyAsLargeAsTheirPartitionsFit)
{
    image img = make_image("SIM3000", 40, kKernelPart, kRootPart);
    stage(img);

    expect_finished(upgrade(), 0, 1, img);
}

TEST_F(Upgrade, GoesOnWithoutRecordOrEventLibrary)
{
    // A segment of the record's key but too small for it: the run must neither use nor touch it.
    drop_segment();
    int id = shmget(UPGRADE_PROGRESS_KEY, 8, IPC_CREAT | IPC_EXCL | 0600);
    ASSERT_GE(id, 0) << "a record segment already exists";
    auto *seg = static_cast<uint8_t *>(shmat(id, nullptr, 0));
    ASSERT_NE(reinterpret_cast<void *>(-1), seg);
    memset(seg, 0xA5, 8);
    ASSERT_EQ(0, unlink(path("lib/libevt.so").c_str()));
    image img = make_image("SIM3000", 50);
    stage(img);

    run_result r = upgrade();

    EXPECT_EQ(0, r.status) << r.out;
    EXPECT_EQ(std::string(8, '\xA5'), std::string((const char *)seg, 8));
    EXPECT_EQ(1, sim::script_bank(stored_script()));
    EXPECT_TRUE(bank_holds(1, img));
    EXPECT_FALSE(exists("tmpfs/upgrading"));
    EXPECT_FALSE(exists("var/log/evt.log"));
    shmdt(seg);
    drop_segment();
}

// ---- OEM customisation ----

// A gzip tar of exactly `size` bytes holding oem/new.conf: the gzip header's comment field takes
// up the slack, so the archive stays valid at any size above its bare length.
std::string oem_archive(const fwtest::TempDir &tmp, size_t size)
{
    std::string src = tmp / "src";
    EXPECT_TRUE(sim::make_dirs(src + "/oem"));
    EXPECT_TRUE(sim::write_file(src + "/oem/new.conf", "oem=1\n"));
    std::string cmd = "tar -C '" + src + "' -cf - oem | gzip -n -9 > '" + tmp / "bare.gz" + "'";
    EXPECT_EQ(0, system(cmd.c_str()));
    std::string gz;
    EXPECT_TRUE(sim::read_file(tmp / "bare.gz", &gz));
    if (gz.size() < 10 || gz[3] != 0 || gz.size() + 1 > size) {
        ADD_FAILURE() << "unexpected gzip output";
        return gz;
    }
    const char kCommentFlag = 0x10;
    std::string out = gz.substr(0, 10);
    out[3] = kCommentFlag;
    out += std::string(size - gz.size() - 1, 'c') + '\0' + gz.substr(10);
    return out;
}

struct oem_row {
    const char *name;
    bool nooem;          // stage .nooem as well
    size_t archive_size; // 0: no archive
    bool dir_present;    // the bank's OEM directory exists beforehand
    bool unpacked;       // the archive's file must appear
    bool old_kept;       // the file that was there must stay
};

TEST_F(Upgrade, OemCustomisationFollowsTheStagedRequest)
{
    const oem_row rows[] = {
        {"nooem wins over an archive", true, 1000, true, false, false},
        // The directory is emptied before the archive lands in it.
        {"archive of 131071 bytes", false, 131071, true, true, false},
        {"archive of 131072 bytes", false, 131072, true, false, true},
        {"directory created first", false, 131071, false, true, false},
    };
    for (const oem_row &row : rows) {
        SCOPED_TRACE(row.name);
        reset(0);
        fwtest::TempDir tmp;
        std::string oem = "kelpvar/config1/oem_root";
        sim::remove_tree(path(oem));
        if (row.dir_present) {
            ASSERT_TRUE(sim::make_dirs(path(oem)));
            write(oem + "/old.conf", "old\n");
        }
        image img = make_image("SIM3000", 60);
        stage(img);
        if (row.nooem)
            write("tmpfs/upgrading/.nooem", "");
        if (row.archive_size != 0) {
            std::string archive = oem_archive(tmp, row.archive_size);
            ASSERT_EQ(row.archive_size, archive.size());
            write("tmpfs/upgrading/oem.bin", archive);
        }

        expect_finished(upgrade(), 0, 1, img);
        EXPECT_EQ(row.unpacked, exists(oem + "/oem/new.conf"));
        EXPECT_EQ(row.old_kept, exists(oem + "/old.conf"));
        EXPECT_TRUE(exists(oem)) << "the OEM directory itself must stay";
        EXPECT_TRUE(exists("kelpvar/config0/oem_root")) << "the running bank's OEM directory";
    }
}

// ---- failures before anything is written ----

TEST_F(Upgrade, ImageFaultsLeaveBothBanksAndTheScriptAlone)
{
    image img = make_image("SIM3000", 70);
    std::string good = image_file(img);
    auto flip = [](std::string s, size_t off) {
        s[off] = (char)(s[off] ^ 0x01);
        return s;
    };
    // A header field changed, with the CRC made right again.
    auto field = [](std::string s, size_t off, uint32_t v) {
        for (int i = 0; i < 4; i++)
            s[off + i] = (char)(v >> (8 * i));
        uint32_t crc = fwtest::crc_ref(s, 72);
        for (int i = 0; i < 4; i++)
            s[72 + i] = (char)(crc >> (8 * i));
        return s;
    };
    std::string root_digest_says =
        "root payload digest mismatch: the header holds " +
        fwtest::hex((const uint8_t *)fwtest::md5_of(img.root).data(), MD5_DIGEST_LEN);
    // What stands at fw.bin (the file itself, a FIFO, a directory or a link to the file), and
    // part of the one line on standard error (or null).
    struct staged_as {
        mode_t kind;
        const char *says;
    };
    auto as = [](mode_t kind, const char *says) { return staged_as{kind, says}; };
    // With a keyring, the signature beside the image: refused before anything is unlocked.
    enum { NO_KEYS, TRUSTED, BROKEN_KEYRING, KEY_NOT_A_KEY, KEYRING_A_FILE };
    struct row {
        const char *name;
        const char *fw; // file name under tmpfs/upgrading holding `data`
        std::string data;
        const char *fault;
        int code;
        staged_as as = {S_IFREG, nullptr};
        const char *out = nullptr; // standard output, when it is checked
        int keys = NO_KEYS;
        std::string sig = ""; // fw.sig's bytes; "@link": a link to a good one; "@dir": a directory
    };
    const std::string cut_example = image_file({"TEST", "abc", "xyz"}).substr(0, 81);
    const std::string zeros(64, '0');
    const std::string good_sig = sign(good), by_other = sign(good, "", "o");
    std::string digit_changed = good_sig, version_changed = good_sig;
    char &digit = digit_changed[good_sig.find("\nsignature ") + 12];
    digit = digit == '0' ? '1' : '0';
    version_changed.replace(version_changed.find("version 2.4.1"), 13, "version 2.4.2");
    auto refused = [](const std::string &why) {
        return "signature check failed: " + why + " (/tmpfs/upgrading/fw.sig)";
    };
    const std::string says[] = {
        refused("no signature"),
        refused("unreadable signature file"),
        refused("unknown key " + key_id_in(by_other)),
        refused("bad signature"),
        refused("malformed signature file"),
        refused("manifest does not match the image: image-sha256 differs"),
        refused("manifest does not match the image: kernel-sha256 differs"),
        refused("manifest does not match the image: root-sha256 differs"),
        refused("manifest does not match the image: model differs"),
    };
    const row rows[] = {
        {"no image", "other.bin", good, "", UPGRADE_ERR_RESOURCE},
        {"header cut to 75 bytes", "fw.bin", good.substr(0, 75), "", UPGRADE_ERR_RESOURCE,
         as(S_IFREG, nullptr), ""},
        // The short read's line, with the counts of the one request for the whole payload.
        {"root payload one byte short", "fw.bin", good.substr(0, good.size() - 1), "",
         UPGRADE_ERR_RESOURCE, as(S_IFREG, nullptr),
         "fread failed to_do : done = 300000 : 299999 !\n"},
        {"example image cut to 81 bytes", "fw.bin", cut_example, "", UPGRADE_ERR_RESOURCE,
         as(S_IFREG, "the root payload lies past the end"),
         "fread failed to_do : done = 3 : 2 !\n"},
        {"kernel payload past the end", "fw.bin", good.substr(0, 70000), "", UPGRADE_ERR_RESOURCE,
         as(S_IFREG, "the kernel payload lies past the end"),
         "fread failed to_do : done = 100000 : 69924 !\n"},
        {"wrong magic", "fw.bin", flip(good, 0), "", UPGRADE_ERR_MAGIC},
        {"header byte changed", "fw.bin", flip(good, 30), "", UPGRADE_ERR_CHECKSUM},
        {"kernel byte changed", "fw.bin", flip(good, 76 + 5), "", UPGRADE_ERR_CHECKSUM},
        {"root byte changed", "fw.bin", flip(good, good.size() - 1), "", UPGRADE_ERR_CHECKSUM},
        {"image cannot be positioned", "fw.bin", good, "fseek:tmpfs/upgrading/fw.bin",
         UPGRADE_ERR_IMAGE},
        // An image that cannot boot, and ranges checked against the file before anything is read
        // or allocated (two 2 GiB payloads in a 77-byte file).
        {"empty kernel", "fw.bin", image_file({"SIM3000", "", img.root}), "", UPGRADE_ERR_IMAGE,
         as(S_IFREG, "the kernel payload of the image is empty")},
        {"empty root", "fw.bin", image_file({"SIM3000", img.kernel, ""}), "", UPGRADE_ERR_IMAGE,
         as(S_IFREG, "the root payload of the image is empty")},
        {"root past the end", "fw.bin", field(good, 52, 0x7FFFFFFF), "", UPGRADE_ERR_RESOURCE,
         as(S_IFREG, "the root payload lies past the end of the staged image: offset 100076 + size "
                     "2147483647 > 400076 bytes")},
        {"2 GiB payloads in 77 bytes", "fw.bin",
         field(field(good, 28, 0x7FFFFFFF), 52, 0x7FFFFFFF).substr(0, 77), "", UPGRADE_ERR_RESOURCE,
         as(S_IFREG, "the kernel payload lies past the end")},
        {"wrong magic, said", "fw.bin", flip(good, 0), "", UPGRADE_ERR_MAGIC,
         as(S_IFREG, "wrong magic in the image header: 0x13578643, not 0x13578642")},
        {"root digest, said", "fw.bin", flip(good, good.size() - 1), "", UPGRADE_ERR_CHECKSUM,
         as(S_IFREG, root_digest_says.c_str())},
        // Staged inputs that are not regular files fail at once, without being opened.
        {"image is a FIFO", "other.bin", good, "", UPGRADE_ERR_IMAGE, as(S_IFIFO, "is a FIFO")},
        {"image is a directory", "other.bin", good, "", UPGRADE_ERR_IMAGE,
         as(S_IFDIR, "is a directory")},
        {"image is a link to an image", "other.bin", good, "", UPGRADE_ERR_IMAGE,
         as(S_IFLNK, "is a symbolic link")},
        {"keys and no signature", "fw.bin", good, "", UPGRADE_ERR_SIGNATURE,
         as(S_IFREG, says[0].c_str()), nullptr, TRUSTED},
        {"signature is a link", "fw.bin", good, "", UPGRADE_ERR_SIGNATURE,
         as(S_IFREG, says[1].c_str()), nullptr, TRUSTED, "@link"},
        {"signature is a directory", "fw.bin", good, "", UPGRADE_ERR_SIGNATURE,
         as(S_IFREG, says[1].c_str()), nullptr, TRUSTED, "@dir"},
        {"signed by an unknown key", "fw.bin", good, "", UPGRADE_ERR_SIGNATURE,
         as(S_IFREG, says[2].c_str()), nullptr, TRUSTED, by_other},
        {"a signature digit changed", "fw.bin", good, "", UPGRADE_ERR_SIGNATURE,
         as(S_IFREG, says[3].c_str()), nullptr, TRUSTED, digit_changed},
        {"the manifest's version changed", "fw.bin", good, "", UPGRADE_ERR_SIGNATURE,
         as(S_IFREG, says[3].c_str()), nullptr, TRUSTED, version_changed},
        {"signature file is not one", "fw.bin", good, "", UPGRADE_ERR_SIGNATURE,
         as(S_IFREG, says[4].c_str()), nullptr, TRUSTED, "signature\n"},
        {"the signature of another image", "fw.bin", good, "", UPGRADE_ERR_SIGNATURE,
         as(S_IFREG, says[5].c_str()), nullptr, TRUSTED,
         sign(image_file(make_image("SIM3000", 71)))},
        {"a signed wrong kernel digest", "fw.bin", good, "", UPGRADE_ERR_SIGNATURE,
         as(S_IFREG, says[6].c_str()), nullptr, TRUSTED,
         sign(good, "s/^kernel-sha256 .*/kernel-sha256 " + zeros + "/")},
        {"a signed wrong root digest", "fw.bin", good, "", UPGRADE_ERR_SIGNATURE,
         as(S_IFREG, says[7].c_str()), nullptr, TRUSTED,
         sign(good, "s/^root-sha256 .*/root-sha256 " + zeros + "/")},
        {"a signed other model", "fw.bin", good, "", UPGRADE_ERR_SIGNATURE,
         as(S_IFREG, says[8].c_str()), nullptr, TRUSTED, sign(good, "s/^model .*/model SIM3001/")},
        // A key file that cannot be used refuses every image: told by the keyring's loader.
        {"keyring unusable", "fw.bin", good, "", UPGRADE_ERR_SIGNATURE,
         as(S_IFREG, "/etc/fwupgrade/keys/bad.pem is not a regular file"), nullptr, BROKEN_KEYRING,
         good_sig},
        {"a key file that holds no key", "fw.bin", good, "", UPGRADE_ERR_SIGNATURE,
         as(S_IFREG, "/etc/fwupgrade/keys/bad.pem is not an Ed25519 public key in PEM"), nullptr,
         KEY_NOT_A_KEY, good_sig},
        {"the keyring is a file", "fw.bin", good, "", UPGRADE_ERR_SIGNATURE,
         as(S_IFREG, "cannot read the keyring"), nullptr, KEYRING_A_FILE, good_sig},
        {"signature file over 1024 bytes", "fw.bin", good, "", UPGRADE_ERR_SIGNATURE,
         as(S_IFREG, says[1].c_str()), nullptr, TRUSTED, good_sig + std::string(1025, '#')},
    };
    for (const row &r : rows) {
        SCOPED_TRACE(r.name);
        reset(0);
        ASSERT_TRUE(sim::make_dirs(path("tmpfs/upgrading")));
        write(std::string("tmpfs/upgrading/") + r.fw, r.data);
        std::string fw = path("tmpfs/upgrading/fw.bin");
        if (r.as.kind == S_IFIFO) {
            ASSERT_EQ(0, mkfifo(fw.c_str(), 0600));
        } else if (r.as.kind == S_IFDIR) {
            ASSERT_EQ(0, mkdir(fw.c_str(), 0700));
        } else if (r.as.kind == S_IFLNK) {
            ASSERT_EQ(0, symlink(r.fw, fw.c_str()));
        }
        if (r.keys == TRUSTED)
            trust();
        if (r.keys == BROKEN_KEYRING) {
            ASSERT_TRUE(sim::make_dirs(path("etc/fwupgrade/keys/bad.pem")));
        }
        if (r.keys == KEY_NOT_A_KEY) {
            trust();
            write("etc/fwupgrade/keys/bad.pem", "-----BEGIN PUBLIC KEY-----\n");
        }
        if (r.keys == KEYRING_A_FILE) {
            ASSERT_TRUE(sim::make_dirs(path("etc/fwupgrade")));
            write("etc/fwupgrade/keys", "not a directory\n");
        }
        const std::string sig = path("tmpfs/upgrading/fw.sig");
        if (r.sig == "@link") {
            write("tmpfs/upgrading/good.sig", good_sig);
            ASSERT_EQ(0, symlink("good.sig", sig.c_str()));
        } else if (r.sig == "@dir") {
            ASSERT_EQ(0, mkdir(sig.c_str(), 0700));
        } else if (!r.sig.empty()) {
            write("tmpfs/upgrading/fw.sig", r.sig);
        }

        run_result res = upgrade(r.fault);
        expect_finished(res, r.code, 0, factory_);
        EXPECT_EQ(1u, told(res.err).size()) << res.err;
        if (r.out != nullptr) {
            EXPECT_EQ(r.out, res.out);
        }
        if (r.as.says != nullptr) {
            EXPECT_NE(std::string::npos, res.err.find(r.as.says)) << res.err;
        }
        for (int n = 3; n <= 6; n++)
            EXPECT_EQ(initial_dev_[n], dev(n)) << "mtdblock" << n;
        EXPECT_EQ(original_script_, stored_script());
        EXPECT_TRUE(trace().empty()) << "a partition was locked or unlocked";
        EXPECT_FALSE(exists("var/lock/bootidx_changed"));
        EXPECT_FALSE(exists("kelpvar/config1/bank_record"));
        upgrade_progress p;
        ASSERT_TRUE(read_progress(&p));
        EXPECT_EQ(0u, p.kernel_total);
        EXPECT_EQ(0u, p.root_total);
    }
}

// A matching model lets the run reach the partition lookup, which fails at once without bank 1
// in the table (-19); a mismatch stops before it (-22).
TEST_F(Upgrade, ModelCheck)
{
    struct row {
        const char *release;
        const char *model;
        bool match;
    };
    const row rows[] = {
        {"2.6.31-SIM3000", "SIM3000", true},
        {"2.6.31-SIM3000", "Sim3000", true},
        {"2.6.31-SIM3000", "SIM4000", false},
        {"2.6.31-SIM3000", "SIM300", false},
        {"2.6.31-SIM3000-rt7", "SIM3000", true},
        {"2.6.31-SIM3000", "", true},
        {"2.6.31", "OTHER", true},
        {"2.6.31-", "OTHER", false},
        {"2.6.31-", "ZEPH12", true},
        {"2.6.31-ZEPH100", "KOVAX9", true},
        {"2.6.31-abcZEPH1", "ABCKOVAX", true},
        {"2.6.31-abcKOVAX1", "ABCzeph", false},
        {"2.6.31-KOVAXZEPH", "KOVAX", false},
        {"2.6.31-KOVAXZEPH", "KOVAXZEPH7", true},
    };
    for (const row &r : rows) {
        SCOPED_TRACE(std::string(r.release) + " / " + r.model);
        reset(0);
        write("proc/sys/kernel/osrelease", std::string(r.release) + "\n");
        std::string mtd = read("proc/mtd");
        for (const char *label : {"\"kernel1\"", "\"root1\""}) {
            size_t at = mtd.find(label);
            ASSERT_NE(std::string::npos, at);
            size_t start = mtd.rfind('\n', at) + 1;
            mtd.erase(start, mtd.find('\n', at) + 1 - start);
        }
        write("proc/mtd", mtd);
        stage(make_image(r.model, 80));

        expect_finished(upgrade(), r.match ? UPGRADE_ERR_RESOURCE : UPGRADE_ERR_MODEL, 0, factory_);
    }
}

TEST_F(Upgrade, TargetPartitionFaults)
{
    enum node { NODE_FILE, NODE_ABSENT, NODE_DIR }; // what stands at a target's dev/ path
    struct row {
        const char *name;
        size_t kernel_len;
        size_t root_len;
        const char *missing_label; // dropped from /proc/mtd
        bool unlock_refused;       // the unlock control is a directory
        node kernel_node;          // dev/mtdblock5
        node root_node;            // dev/mtdblock6
    };
    const row rows[] = {
        {"kernel one byte too large", kKernelPart + 1, kRootLen, nullptr, false, NODE_FILE,
         NODE_FILE},
        {"root one byte too large", kKernelLen, kRootPart + 1, nullptr, false, NODE_FILE,
         NODE_FILE},
        {"root partition not listed", kKernelLen, kRootLen, "\"root1\"", false, NODE_FILE,
         NODE_FILE},
        {"kernel partition not listed", kKernelLen, kRootLen, "\"kernel1\"", false, NODE_FILE,
         NODE_FILE},
        {"unlock refused", kKernelLen, kRootLen, nullptr, true, NODE_FILE, NODE_FILE},
        // Listed partitions without device nodes: nothing may be created in dev/ and "read back".
        {"no device nodes", kKernelLen, kRootLen, nullptr, false, NODE_ABSENT, NODE_ABSENT},
        {"no root device node", kKernelLen, kRootLen, nullptr, false, NODE_FILE, NODE_ABSENT},
        {"kernel device node is a directory", kKernelLen, kRootLen, nullptr, false, NODE_DIR,
         NODE_FILE},
    };
    for (const row &r : rows) {
        SCOPED_TRACE(r.name);
        reset(0);
        const std::pair<int, node> nodes[] = {{kernel_dev(1), r.kernel_node},
                                              {root_dev(1), r.root_node}};
        for (const auto &n : nodes) {
            std::string dev_path = path("dev/mtdblock" + std::to_string(n.first));
            if (n.second != NODE_FILE) {
                ASSERT_EQ(0, unlink(dev_path.c_str()));
            }
            if (n.second == NODE_DIR) {
                ASSERT_EQ(0, mkdir(dev_path.c_str(), 0755));
            }
        }
        if (r.missing_label != nullptr) {
            std::string mtd = read("proc/mtd");
            size_t at = mtd.find(r.missing_label);
            size_t start = mtd.rfind('\n', at) + 1;
            mtd.erase(start, mtd.find('\n', at) + 1 - start);
            write("proc/mtd", mtd);
        }
        if (r.unlock_refused) {
            ASSERT_EQ(0, unlink(path("proc/strata/unlock").c_str()));
            ASSERT_EQ(0, mkdir(path("proc/strata/unlock").c_str(), 0755));
        }
        stage(make_image("SIM3000", 90, r.kernel_len, r.root_len));

        expect_finished(upgrade(), UPGRADE_ERR_RESOURCE, 0, factory_);
        for (int n = 3; n <= 4; n++)
            EXPECT_EQ(initial_dev_[n], dev(n)) << "mtdblock" << n;
        for (const auto &n : nodes) {
            std::string rel = "dev/mtdblock" + std::to_string(n.first);
            struct stat st;
            bool present = stat(path(rel).c_str(), &st) == 0;
            if (n.second == NODE_FILE) {
                EXPECT_EQ(initial_dev_[n.first], read(rel)) << rel;
            } else if (n.second == NODE_ABSENT) {
                EXPECT_FALSE(present) << rel << " was created";
            } else {
                EXPECT_TRUE(present && S_ISDIR(st.st_mode)) << rel;
            }
        }
        EXPECT_EQ(original_script_, stored_script());
        EXPECT_FALSE(exists("var/lock/bootidx_changed"));
        expect_not_unlocked(1);
        if (r.unlock_refused) {
            // The exit steps still ask for both locks: both unlocks were asked for.
            std::vector<std::string> t = trace();
            EXPECT_NE(t.end(), std::find(t.begin(), t.end(), "lock mtdblock5"));
            EXPECT_NE(t.end(), std::find(t.begin(), t.end(), "lock mtdblock6"));
        } else {
            // Nothing was unlocked, so nothing is locked either (a partition found beside a
            // missing one is no business of this run).
            EXPECT_TRUE(trace().empty()) << read("lock.trace");
        }
    }
}

// ---- failures while writing or verifying ----

TEST_F(Upgrade, WriteFaultsKeepTheRunningBankSelected)
{
    // A kernel device node that would not open is refused before any write (TargetPartitionFaults);
    // the flush fault covers a kernel write that fails as a whole.
    struct row {
        const char *name;
        const char *fault;
        uint32_t kernel_done; // as the last good chunk left it
        uint32_t root_done;
    };
    const row rows[] = {
        {"kernel write stops after two chunks", "fwrite:mtdblock5:after=65536", 65536, kRootLen},
        {"kernel flush fails", "fflush:mtdblock5", 0, kRootLen},
        // Syncs come at the end of each 128 KiB erase block and of the payload; the chunks
        // before them are flushed and counted.
        {"root sync fails", "fsync:mtdblock6", kKernelLen, 3 * 32768},
        {"kernel sync at its end fails", "fsync:mtdblock5", 3 * 32768, kRootLen},
    };
    for (const row &r : rows) {
        SCOPED_TRACE(r.name);
        reset(0);
        image img = make_image("SIM3000", 100);
        stage(img);

        expect_finished(upgrade(r.fault), UPGRADE_ERR_WRITE, 0, factory_);
        EXPECT_EQ(original_script_, stored_script());
        EXPECT_FALSE(exists("var/lock/bootidx_changed"));
        expect_relocked(1);
        EXPECT_EQ(BANK_BEING_WRITTEN, record(1).state);
        upgrade_progress p;
        ASSERT_TRUE(read_progress(&p));
        EXPECT_EQ(kKernelLen, p.kernel_total);
        EXPECT_EQ(kRootLen, p.root_total);
        EXPECT_EQ(r.kernel_done, p.kernel_done);
        EXPECT_EQ(r.root_done, p.root_done);
        if (r.root_done == kRootLen) {
            EXPECT_EQ(0, dev(root_dev(1)).compare(0, kRootLen, img.root))
                << "the root payload must be written after a failed kernel write";
        }
    }
}

TEST_F(Upgrade, VerifyMismatchComparesBothAndKeepsTheRunningBank)
{
    struct row {
        const char *fault;
        uint32_t kernel_done;
        uint32_t root_done;
    };
    const row rows[] = {
        {"verify-corrupt:mtdblock5", 0, kRootLen},
        {"verify-corrupt:mtdblock6:after=299999", kKernelLen, 299999 / 4096 * 4096},
    };
    for (const row &r : rows) {
        SCOPED_TRACE(r.fault);
        reset(0);
        stage(make_image("SIM3000", 110));

        expect_finished(upgrade(r.fault), UPGRADE_ERR_VERIFY, 0, factory_);
        EXPECT_EQ(original_script_, stored_script());
        EXPECT_FALSE(exists("var/lock/bootidx_changed"));
        expect_relocked(1);
        EXPECT_EQ(BANK_BEING_WRITTEN, record(1).state);
        upgrade_progress p;
        ASSERT_TRUE(read_progress(&p));
        EXPECT_EQ(r.kernel_done, p.kernel_done);
        EXPECT_EQ(r.root_done, p.root_done);
    }
}

// The staged file shrinks or changes after its digests were checked: a payload that cannot be
// read again fails its write or comparison, and one whose bytes changed reaches the flash but is
// caught by the comparison, which digests the staged bytes it compares. The run ends cleanly,
// with one line, and the script stays on the running bank.
TEST_F(Upgrade, StagedImageChangedDuringTheRunIsNeverSelected)
{
    image img = make_image("SIM3000", 115);
    // The checks and the SHA-256 digests read the whole file once.
    const long long loaded = 76 + kKernelLen + kRootLen;
    const long long written = loaded + kKernelLen + kRootLen;
    struct row {
        const char *rule;
        long long after;
        int code;
        const char *says;
    };
    const row rows[] = {
        {"stage-shrink", loaded, UPGRADE_ERR_WRITE,
         "writing the root payload to /dev/mtdblock6 failed at byte 98304: fread of the staged "
         "image: end of file"},
        {"stage-change", loaded, UPGRADE_ERR_VERIFY,
         "comparing the root payload with /dev/mtdblock6 failed at byte 300000: sha256 of the "
         "staged image: differs from the one taken when the run began"},
        {"stage-shrink", written, UPGRADE_ERR_VERIFY,
         "comparing the root payload with /dev/mtdblock6 failed at byte 98304: fread of the "
         "staged image: end of file"},
        {"stage-change", written, UPGRADE_ERR_VERIFY,
         "comparing the root payload with /dev/mtdblock6 failed at byte 299999: compare: the "
         "bytes differ"},
    };
    for (const row &r : rows) {
        SCOPED_TRACE(std::string(r.rule) + " after " + std::to_string(r.after));
        reset(0);
        stage(img);

        run_result res = upgrade(std::string(r.rule) +
                                 ":tmpfs/upgrading/fw.bin:after=" + std::to_string(r.after));

        expect_finished(res, r.code, 0, factory_);
        EXPECT_EQ(original_script_, stored_script());
        EXPECT_FALSE(exists("var/lock/bootidx_changed"));
        expect_relocked(1);
        EXPECT_EQ(BANK_BEING_WRITTEN, record(1).state) << "a changed image was recorded verified";
        std::vector<std::string> lines = told(res.err);
        ASSERT_EQ(1u, lines.size()) << res.err;
        EXPECT_EQ(0u, lines[0].find("fwupgrade: " + std::string(r.says))) << res.err;
    }
}

// The bank's record is written before the first payload byte and again before the switch: when
// either cannot be, the run stops (228), told once by the record's writer, and the script stays
// on the running bank. The directory's sync is the record's last step: the new record is in
// place, but not known to last, so the run does not go on on its word.
TEST_F(Upgrade, BankRecordThatCannotBeWrittenStopsTheRun)
{
    image img = make_image("SIM3000", 118);
    struct row {
        const char *fault;
        bool written; // the payloads reached the bank
        int state;    // the record afterwards
    };
    const row rows[] = {
        {"fsync:kelpvar/config1", false, BANK_BEING_WRITTEN},
        {"fsync:kelpvar/config1:after=1", true, BANK_VERIFIED},
    };
    for (const row &r : rows) {
        SCOPED_TRACE(r.fault);
        reset(0);
        stage(img);

        run_result res = upgrade(r.fault);

        expect_finished(res, UPGRADE_ERR_RECORD, 0, factory_);
        EXPECT_EQ(original_script_, stored_script());
        expect_relocked(1);
        std::vector<std::string> lines = told(res.err);
        ASSERT_EQ(1u, lines.size()) << res.err;
        EXPECT_NE(std::string::npos, lines[0].find("bank_record: fsync of the directory failed"))
            << lines[0];
        EXPECT_EQ(r.written, bank_holds(1, img));
        if (!r.written) {
            EXPECT_EQ(initial_dev_[kernel_dev(1)], dev(kernel_dev(1)));
            EXPECT_EQ(initial_dev_[root_dev(1)], dev(root_dev(1)));
        }
        EXPECT_EQ(r.state, record(1).state);
    }
}

TEST_F(Upgrade, BootSwitchFailureLeavesTheVerifiedBankUnselected)
{
    image img = make_image("SIM3000", 120);
    stage(img);

    run_result r = upgrade("write:mtdblock1,fwrite:mtdblock1");

    expect_finished(r, UPGRADE_ERR_BOOT_SWITCH, 0, factory_);
    EXPECT_TRUE(bank_holds(1, img));
    EXPECT_EQ(original_script_, stored_script()) << "ramdisk or bank changed";
    EXPECT_EQ("0\n", marker()) << "made before the store was tried, it stays";
    expect_relocked(1);
}

TEST_F(Upgrade, FailedSecondUpgradeOfTheBootReturnsToTheRunningBank)
{
    image first = make_image("SIM3000", 130), second = make_image("SIM3000", 131);
    stage(first);
    ASSERT_EQ(0, upgrade().status);
    ASSERT_TRUE(exists("var/lock/bootidx_changed"));
    write("var/log/evt.log", "");
    stage(second);

    run_result r = upgrade("verify-corrupt:mtdblock6");

    expect_finished(r, UPGRADE_ERR_VERIFY, 0, factory_);
    EXPECT_EQ("0\n", marker()) << "the running bank stays recorded";
    expect_relocked(1);
}

TEST_F(Upgrade, SecondUpgradeOfTheBootMovesTheScriptOffTheBankBeforeRewritingIt)
{
    image first = make_image("SIM3000", 140), second = make_image("SIM3000", 141);
    stage(first);
    ASSERT_EQ(0, upgrade().status);
    write("var/log/evt.log", "");
    stage(second);

    // The script cannot be moved back to the running bank: bank 1 is not touched at all, so the
    // script still names a bank that holds the first image whole.
    run_result r = upgrade("write:mtdblock1,fwrite:mtdblock1");

    expect_finished(r, UPGRADE_ERR_BOOT_SWITCH, 1, first);
    EXPECT_TRUE(exists("var/lock/bootidx_changed"));
    expect_relocked(1);

    // A write that stops half-way leaves the script on the running bank, which the marker
    // still records.
    write("var/log/evt.log", "");
    stage(second);
    run_result cut = upgrade("fwrite:mtdblock6:after=32768");
    expect_finished(cut, UPGRADE_ERR_WRITE, 0, factory_);
    EXPECT_EQ("0\n", marker());
}

// ---- one upgrade at a time ----

TEST_F(Upgrade, HeldLockRefusesTheRunAndLeavesTheHolderAlone)
{
    image img = make_image("SIM3000", 150);
    stage(img);
    write("proc/dte", "holder");
    // The upgrade lock: the configuration partition's character device.
    int lock = open(path("dev/mtd1").c_str(), O_RDONLY);
    ASSERT_GE(lock, 0);
    ASSERT_EQ(0, flock(lock, LOCK_EX));
    // The holder's record, as its loading stage would show it.
    drop_segment();
    int id = shmget(UPGRADE_PROGRESS_KEY, sizeof(upgrade_progress), IPC_CREAT);
    ASSERT_GE(id, 0);
    auto *rec = static_cast<upgrade_progress *>(shmat(id, nullptr, 0));
    ASSERT_NE(reinterpret_cast<void *>(-1), rec);
    upgrade_progress holder = {UPGRADE_STAGE_WRITE_ROOT, 1, 2, 3, 4, 42, {7, 8, 9}};
    *rec = holder;

    run_result r = upgrade();

    EXPECT_EQ(238, r.status);
    // Under qemu-user the host's loader adds a line of its own about the preloaded shim.
    EXPECT_NE(std::string::npos, r.err.find("fwupgrade: another upgrade is running\n")) << r.err;
    EXPECT_EQ(0, memcmp(&holder, rec, sizeof(holder)));
    EXPECT_EQ("holder", read("proc/dte"));
    EXPECT_FALSE(exists("var/log/evt.log"));
    EXPECT_TRUE(trace().empty());
    EXPECT_EQ(image_file(img), read("tmpfs/upgrading/fw.bin"));
    for (int n = 3; n <= 6; n++)
        EXPECT_EQ(initial_dev_[n], dev(n)) << "mtdblock" << n;
    EXPECT_EQ(original_script_, stored_script());
    shmdt(rec);
    close(lock);

    // A device root without the partition's device is told as such, not as another run.
    fwtest::TempDir empty;
    run_result bare = fwtest::run_program(fwtest::sim_binary(), "fwupgrade", {},
                                          {"FWUP_SYSROOT=" + empty.path()});
    EXPECT_EQ(238, bare.status);
    EXPECT_EQ(0u, bare.err.find("fwupgrade: cannot open the upgrade lock, the configuration "
                                "partition's flash device: No such file or directory"))
        << bare.err;

    // Once the holder lets go, the same staging upgrades normally; the padding stays untouched.
    expect_finished(upgrade(), 0, 1, img);
    upgrade_progress after;
    ASSERT_TRUE(read_progress(&after));
    EXPECT_EQ(0, memcmp(holder.pad, after.pad, sizeof(after.pad)));
}

TEST_F(Upgrade, TwoRunsStartedTogetherOnlyOneUpgrades)
{
    image img = make_image("SIM3000", 160);
    stage(img);
    pid_t pids[2];
    for (pid_t &pid : pids)
        ASSERT_GT(pid = fwtest::start_program(fwtest::sim_binary(), "fwupgrade", {}), 0);
    int codes[2];
    for (int i = 0; i < 2; i++) {
        int st = 0;
        ASSERT_EQ(pids[i], waitpid(pids[i], &st, 0));
        ASSERT_TRUE(WIFEXITED(st));
        codes[i] = WEXITSTATUS(st);
    }
    std::sort(codes, codes + 2);

    EXPECT_EQ(0, codes[0]);
    EXPECT_EQ(238, codes[1]);
    expect_finished({0, "", ""}, 0, 1, img);
}

// ---- whatever happens, the device boots a complete bank ----

const uid_t kNobody = 65534;

// The script never names the bank being written: it is moved off it first, and a failure leaves
// it on the running bank, read from the script rather than assumed.
TEST_F(Upgrade, NeverWritesTheBankTheScriptNames)
{
    struct row {
        const char *name;
        bool first_upgrade; // an upgrade of this boot before, whose marker then went
        const char *fault;
        int code;
        int script_bank; // named afterwards
        int stores;      // of the configuration block
    };
    const row rows[] = {
        {"manual switch, write fails", false, "fwrite:mtdblock6:after=32768", UPGRADE_ERR_WRITE, 0,
         1},
        {"manual switch, verify fails", false, "verify-corrupt:mtdblock5", UPGRADE_ERR_VERIFY, 0,
         1},
        {"manual switch, success", false, "", 0, 1, 2},
        {"marker lost, write fails", true, "fwrite:mtdblock5:after=0", UPGRADE_ERR_WRITE, 0, 1},
        {"marker lost, success", true, "", 0, 1, 2},
    };
    for (const row &r : rows) {
        SCOPED_TRACE(r.name);
        reset(0);
        image earlier = factory_;
        if (r.first_upgrade) {
            earlier = make_image("SIM3000", 200);
            stage(earlier);
            ASSERT_EQ(0, upgrade().status);
            ASSERT_EQ(0, unlink(path("var/lock/bootidx_changed").c_str()));
        } else {
            ASSERT_EQ(0, run("set_boot_idx", {"1"}).status);
        }
        write("var/log/evt.log", "");
        image img = make_image("SIM3000", 201);
        stage(img);

        run_result res;
        int stores = count_stores([&] { res = upgrade(r.fault); });

        expect_finished(res, r.code, r.script_bank, r.code == 0 ? img : factory_);
        EXPECT_EQ(r.stores, stores);
        EXPECT_TRUE(bank_holds(0, factory_)) << "the running bank was written";
        // Every run here changed the script, so the running bank is recorded, success or not.
        EXPECT_EQ("0\n", marker());
    }
}

// The running bank is never the target, whatever stands at the marker's path: where the kernel
// names it, that decides; where it does not, only the tool's own marker tells it, and anything
// else there stops the upgrade before it writes or stores anything.
TEST_F(Upgrade, NeverWritesTheRunningBank)
{
    enum setup {
        SWITCHED_BACK,
        PLANTED,
        PLANTED_NO_BOOTOPT,
        STALE,
        FOREIGN_CONTENT,
        PLANTED_DIR,
        PLANTED_DIR_NO_BOOTOPT,
        HARD_LINK_NO_BOOTOPT,
        WRONG_CONTENT_NO_BOOTOPT,
        WRONG_MODE_NO_BOOTOPT,
        MANUAL_SWITCH_NO_BOOTOPT,
        SECOND_UPGRADE_NO_BOOTOPT,
    };
    const struct {
        const char *name;
        setup how;
        int code;           // of the upgrade
        const char *marker; // its content afterwards, nullptr: left as planted
    } rows[] = {
        {"upgrade undone by set_boot_idx", SWITCHED_BACK, 0, "0\n"},
        {"marker planted by another user", PLANTED, 0, nullptr},
        {"planted marker, command line silent", PLANTED_NO_BOOTOPT, UPGRADE_ERR_MARKER, nullptr},
        {"empty marker of root's", STALE, 0, nullptr},
        {"marker with content, wrong mode", FOREIGN_CONTENT, 0, nullptr},
        {"directory planted at the marker", PLANTED_DIR, 0, nullptr},
        // Once in the way of the marker, it let a second upgrade of the boot take the running
        // bank for the target where the command line is silent.
        {"directory planted at the marker, command line silent", PLANTED_DIR_NO_BOOTOPT,
         UPGRADE_ERR_MARKER, nullptr},
        {"second name of root's file, command line silent", HARD_LINK_NO_BOOTOPT,
         UPGRADE_ERR_MARKER, nullptr},
        {"wrong content, command line silent", WRONG_CONTENT_NO_BOOTOPT, UPGRADE_ERR_MARKER,
         nullptr},
        {"wrong mode, command line silent", WRONG_MODE_NO_BOOTOPT, UPGRADE_ERR_MARKER, nullptr},
        {"set_boot_idx 1 first, command line silent", MANUAL_SWITCH_NO_BOOTOPT, 0, "0\n"},
        {"second upgrade, command line silent", SECOND_UPGRADE_NO_BOOTOPT, 0, "0\n"},
    };
    const std::string marker_path = path("var/lock/bootidx_changed");
    for (const auto &r : rows) {
        SCOPED_TRACE(r.name);
        reset(0);
        switch (r.how) {
        case SWITCHED_BACK: {
            stage(make_image("SIM3000", 210));
            ASSERT_EQ(0, upgrade().status);
            ASSERT_EQ("0\n", marker());
            run_result back = run("set_boot_idx", {"0"});
            ASSERT_EQ(0, back.status) << back.err;
            EXPECT_EQ("0\n", marker()) << "the switch back changed the running bank's record";
            // Bank 1 holds the first upgrade's image now; the factory one is on bank 0.
            break;
        }
        case PLANTED:
        case PLANTED_NO_BOOTOPT:
            plant_marker(kNobody);
            break;
        case STALE:
            plant_marker(0);
            break;
        case FOREIGN_CONTENT:
            write("var/lock/bootidx_changed", "1\n");
            ASSERT_EQ(0, chmod(marker_path.c_str(), 0644));
            break;
        case PLANTED_DIR:
        case PLANTED_DIR_NO_BOOTOPT:
            ASSERT_EQ(0, mkdir(marker_path.c_str(), 0777));
            write("var/lock/bootidx_changed/x", "");
            write("var/lock/bootidx_changed.foreign.1", "");
            break;
        case HARD_LINK_NO_BOOTOPT:
            // Root's own file, as a second name a user made for it: it claims bank 1 runs.
            write("var/lock/root-file", "1\n");
            ASSERT_EQ(0, chmod(path("var/lock/root-file").c_str(), 0600));
            ASSERT_EQ(0, link(path("var/lock/root-file").c_str(), marker_path.c_str()));
            break;
        case WRONG_CONTENT_NO_BOOTOPT:
            write("var/lock/bootidx_changed", "1");
            ASSERT_EQ(0, chmod(marker_path.c_str(), 0600));
            break;
        case WRONG_MODE_NO_BOOTOPT:
            write("var/lock/bootidx_changed", "1\n");
            ASSERT_EQ(0, chmod(marker_path.c_str(), 0644));
            break;
        case MANUAL_SWITCH_NO_BOOTOPT:
        case SECOND_UPGRADE_NO_BOOTOPT:
            break;
        }
        bool silent = r.how >= PLANTED_DIR_NO_BOOTOPT || r.how == PLANTED_NO_BOOTOPT;
        if (silent)
            write("proc/cmdline", "console=ttyS0,115200 root=/dev/ram0\n");
        if (r.how == MANUAL_SWITCH_NO_BOOTOPT) {
            ASSERT_EQ(0, run("set_boot_idx", {"1"}).status);
        } else if (r.how == SECOND_UPGRADE_NO_BOOTOPT) {
            stage(make_image("SIM3000", 212));
            ASSERT_EQ(0, upgrade().status);
        }
        struct stat planted;
        bool had = lstat(marker_path.c_str(), &planted) == 0;
        std::string block = config_block();
        write("var/log/evt.log", "");
        image img = make_image("SIM3000", 211);
        stage(img);

        run_result res = upgrade();
        if (r.code == 0) {
            expect_finished(res, 0, 1, img);
        } else {
            expect_finished(res, r.code, 0, factory_);
            EXPECT_EQ(block, config_block()) << "stored with the running bank unknown";
            EXPECT_EQ(1u, told(res.err).size()) << res.err;
            EXPECT_TRUE(trace().empty()) << "a partition was unlocked";
        }
        EXPECT_TRUE(bank_holds(0, factory_)) << "the running bank was written";
        struct stat st;
        ASSERT_EQ(0, lstat(marker_path.c_str(), &st));
        if (r.marker != nullptr) {
            EXPECT_EQ(r.marker, marker());
            EXPECT_EQ(0600u, st.st_mode & 07777);
        } else {
            // What a user planted is neither trusted nor replaced.
            ASSERT_TRUE(had);
            EXPECT_EQ(planted.st_ino, st.st_ino);
            EXPECT_EQ(planted.st_mode, st.st_mode);
        }
    }
}

// One store per switch, none when the bytes would not change; none at all for a failure.
TEST_F(Upgrade, StoresOfTheConfigurationBlock)
{
    image first = make_image("SIM3000", 220), second = make_image("SIM3000", 221);
    stage(first);
    EXPECT_EQ(1, count_stores([&] { EXPECT_EQ(0, upgrade().status); })) << "ordinary upgrade";
    stage(second);
    EXPECT_EQ(2, count_stores([&] { EXPECT_EQ(0, upgrade().status); })) << "second upgrade";
    reset(0);
    stage(second);
    EXPECT_EQ(0, count_stores([&] { EXPECT_EQ(233, upgrade("fsync:mtdblock5").status); }))
        << "failed upgrade";

    // Commands whose result equals what the flash holds leave it alone.
    const std::string exec = "root=/dev/ram0 initrd=0x0a000000,10M console=ttyS0,115200";
    const std::vector<std::vector<std::string>> same[] = {
        {{"set_boot_idx", "0"}},
        {{"redboot_cli", "enable_uart"}},
        {{"redboot_cli", "update_exec", exec}},
        {{"redboot_cli", "update_load", "0x0a000000"}},
    };
    for (const auto &cmd : same) {
        const std::vector<std::string> &argv = cmd[0];
        std::vector<std::string> args(argv.begin() + 1, argv.end());
        EXPECT_EQ(0, count_stores([&] { EXPECT_EQ(0, run(argv[0], args).status); })) << argv[1];
    }
    EXPECT_EQ(original_script_, stored_script());
}

// While an upgrade holds its lock, the boot commands change nothing; an upgrade waits for an edit
// in progress.
TEST_F(Upgrade, BootCommandsAndUpgradesExcludeEachOther)
{
    int lock = open(path("dev/mtd1").c_str(), O_RDONLY);
    ASSERT_GE(lock, 0);
    ASSERT_EQ(0, flock(lock, LOCK_EX)); // as an upgrade holds it
    const std::vector<std::string> edits[] = {
        {"set_boot_idx", "1"},
        {"redboot_cli", "disable_uart"},
        {"redboot_cli", "update_exec", "root=/dev/ram0"},
    };
    for (const auto &argv : edits) {
        run_result r = run(argv[0], std::vector<std::string>(argv.begin() + 1, argv.end()));
        EXPECT_EQ(256 + BOOT_ERR_BUSY, r.status) << argv[1];
        EXPECT_NE(std::string::npos, r.err.find("a firmware upgrade is running")) << r.err;
    }
    EXPECT_EQ(0, run("get_boot_idx").status) << "queries go on";
    EXPECT_EQ(original_script_, stored_script());

    // A boot command's shared hold: the upgrade waits for it instead of failing.
    ASSERT_EQ(0, flock(lock, LOCK_SH));
    std::thread release([lock] {
        usleep(400000);
        flock(lock, LOCK_UN);
    });
    image img = make_image("SIM3000", 230);
    stage(img);
    run_result r = upgrade();
    release.join();
    expect_finished(r, 0, 1, img);
    close(lock);
}

// Nothing a local user can make at the lock's or the record's place takes them over.
TEST_F(Upgrade, SharedStateOnlyRootCanTake)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root to act as another user";
    // The lock file of earlier versions lived in the world-writable /var/lock: whatever a user
    // plants or holds there now is neither used nor touched.
    const std::string lock_path = path("var/lock/fwupgrade.lock");
    const std::string elsewhere = path("elsewhere");
    enum planted { FOREIGN_FILE, LINK, DIRECTORY };
    for (planted p : {FOREIGN_FILE, LINK, DIRECTORY}) {
        SCOPED_TRACE(p == LINK ? "link" : p == DIRECTORY ? "directory" : "foreign file");
        reset(0);
        write("elsewhere", "keep");
        int held = -1;
        if (p == FOREIGN_FILE) {
            held = open(lock_path.c_str(), O_RDWR | O_CREAT, 0644);
            ASSERT_GE(held, 0);
            ASSERT_EQ(0, fchown(held, kNobody, kNobody));
            ASSERT_EQ(0, flock(held, LOCK_EX)); // the user's hold
        } else if (p == LINK) {
            ASSERT_EQ(0, symlink(elsewhere.c_str(), lock_path.c_str()));
        } else {
            ASSERT_EQ(0, mkdir(lock_path.c_str(), 0777));
            write("var/lock/fwupgrade.lock/x", "");
        }
        struct stat before;
        ASSERT_EQ(0, lstat(lock_path.c_str(), &before));
        image img = make_image("SIM3000", 240);
        stage(img);
        expect_finished(upgrade(), 0, 1, img);
        EXPECT_EQ(0, run("set_boot_idx", {"0"}).status) << "an edit after it";
        struct stat st;
        ASSERT_EQ(0, lstat(lock_path.c_str(), &st));
        EXPECT_EQ(before.st_ino, st.st_ino);
        EXPECT_EQ(before.st_mode, st.st_mode);
        EXPECT_EQ(before.st_uid, st.st_uid);
        EXPECT_EQ("keep", read("elsewhere"));
        if (held >= 0)
            close(held);
        sim::remove_tree(lock_path);
    }

    // A record made before root's by another user: the run neither uses nor touches it.
    reset(0);
    drop_segment();
    pid_t pid = fork();
    if (pid == 0) {
        if (setgid(kNobody) != 0 || setuid(kNobody) != 0)
            _exit(1);
        int id = shmget(UPGRADE_PROGRESS_KEY, sizeof(upgrade_progress), IPC_CREAT | 0666);
        void *seg = id < 0 ? reinterpret_cast<void *>(-1) : shmat(id, nullptr, 0);
        if (seg == reinterpret_cast<void *>(-1))
            _exit(1);
        memset(seg, 0x5A, sizeof(upgrade_progress));
        _exit(0);
    }
    int st = 0;
    ASSERT_EQ(pid, waitpid(pid, &st, 0));
    ASSERT_TRUE(WIFEXITED(st) && WEXITSTATUS(st) == 0);
    image img = make_image("SIM3000", 241);
    stage(img);
    run_result r = upgrade();
    EXPECT_EQ(0, r.status);
    EXPECT_NE(std::string::npos, r.err.find("was not made by this tool")) << r.err;
    upgrade_progress rec;
    ASSERT_TRUE(read_progress(&rec));
    EXPECT_EQ(std::string(sizeof(rec), '\x5A'), std::string((const char *)&rec, sizeof(rec)));
    EXPECT_TRUE(bank_holds(1, img));
    drop_segment();
}

// ---- the OEM customisation from hostile staging ----

// One tar member: a ustar header and its data, padded to whole blocks.
std::string tar_member(const std::string &name, char type, const std::string &data,
                       unsigned mode = 0644, const std::string &link = "")
{
    std::string h(512, '\0');
    auto field = [&h](size_t off, size_t len, const std::string &v) {
        h.replace(off, std::min(len, v.size()), v.substr(0, len));
    };
    auto octal = [&field](size_t off, size_t len, unsigned long v) {
        char buf[32];
        snprintf(buf, sizeof(buf), "%0*lo", (int)len - 1, v);
        field(off, len, buf);
    };
    field(0, 100, name);
    octal(100, 8, mode);
    octal(108, 8, 1234); // owner and group that must not be kept
    octal(116, 8, 1234);
    octal(124, 12, data.size());
    octal(136, 12, 1700000000);
    field(148, 8, "        ");
    h[156] = type;
    field(157, 100, link);
    field(257, 6, std::string("ustar\0", 6));
    field(263, 2, "00");
    unsigned sum = 0;
    for (unsigned char c : h)
        sum += c;
    char chk[8];
    snprintf(chk, sizeof(chk), "%06o", sum);
    field(148, 7, std::string(chk, 7));
    std::string padded = data + std::string((512 - data.size() % 512) % 512, '\0');
    return h + padded;
}

// A member with some of its header bytes replaced, signed again: only the field is wrong.
std::string patched(std::string member, size_t off, const std::string &bytes)
{
    member.replace(off, bytes.size(), bytes);
    member.replace(148, 8, "        ");
    unsigned sum = 0;
    for (size_t i = 0; i < 512; i++)
        sum += (unsigned char)member[i];
    char chk[8];
    snprintf(chk, sizeof(chk), "%06o", sum);
    member.replace(148, 7, std::string(chk, 7));
    return member;
}

std::string gzip_tar(const fwtest::TempDir &tmp, const std::string &members)
{
    std::string tar = tmp / "a.tar";
    EXPECT_TRUE(sim::write_file(tar, members + std::string(1024, '\0')));
    EXPECT_EQ(0, system(("gzip -n -f '" + tar + "'").c_str()));
    std::string gz;
    EXPECT_TRUE(sim::read_file(tar + ".gz", &gz));
    return gz;
}

TEST_F(Upgrade, OemArchivesStayInsideTheirDirectory)
{
    const std::string good = tar_member("etc/", '5', "", 0755) +
                             tar_member("etc/oem.conf", '0', "oem=1\n") +
                             tar_member(".profile", '0', "x\n");
    const struct {
        const char *name;
        std::string members;
        bool unpacked;
    } rows[] = {
        {"plain files and directories", good, true},
        {"symbolic link", good + tar_member("escape", '2', "", 0777, "/elsewhere"), false},
        {"hard link", good + tar_member("hard", '1', "", 0644, "etc/oem.conf"), false},
        {"character device", good + tar_member("tty", '3', ""), false},
        {"FIFO", good + tar_member("fifo", '6', ""), false},
        {"absolute name", good + tar_member("/etc/evil", '0', "x"), false},
        {"name leading out", good + tar_member("etc/../../evil", '0', "x"), false},
        {"set-user-id file", good + tar_member("suid", '0', "x", 04755), false},
        {"pax path leading out",
         tar_member("././@PaxHeader", 'x', "19 path=../../evil\n") +
             tar_member("harmless", '0', "x"),
         false},
        {"pax header out of shape",
         tar_member("././@PaxHeader", 'x', "99 path=x\n") + tar_member("harmless", '0', "x"),
         false},
        // Members a check that stops early, or reads sizes its own way, would let by: a pax size
        // record hides the next header inside a member's data; one tar reads on past a lone
        // zero block.
        {"pax size record",
         good + tar_member("././@PaxHeader", 'x', "10 size=0\n") +
             tar_member("smuggle", '0', tar_member("tty", '3', "")),
         false},
        {"member after a lone zero block",
         good + std::string(512, '\0') + tar_member("escape", '2', "", 0777, "/elsewhere"), false},
        {"GNU long name leading out",
         tar_member("././@LongLink", 'L', "../../evil") + tar_member("harmless", '0', "x"), false},
        // Archives that tar programs read otherwise than a check of them would: a size with a
        // leading NUL, a tab after a pax length, an L header without a name, a plain file with a
        // link name.
        {"size with a leading NUL",
         good +
             patched(tar_member("smuggle", '0', ""), 124,
                     std::string("\0"
                                 "0000001000",
                                 11)) +
             tar_member("tty", '3', ""),
         false},
        {"tab after a pax length",
         good + tar_member("././@PaxHeader", 'x', "10\tsize=0\n") +
             tar_member("smuggle", '0', tar_member("tty", '3', "")),
         false},
        {"L header with an empty name",
         good + patched(tar_member("././@LongLink", 'L', "x"), 0, std::string(1, '\0')) +
             tar_member("fifo", '6', ""),
         false},
        {"plain file with a link name", good + tar_member("hard", '0', "", 0644, "/etc/passwd"),
         false},
        {"a file given twice", good + tar_member("etc/oem.conf", '0', "again\n"), false},
        // The OEM directory keeps its own mode.
        {"./ with mode 0777", tar_member("./", '5', "", 0777) + good, true},
    };
    const std::string oem = "kelpvar/config1/oem_root";
    for (const auto &row : rows) {
        SCOPED_TRACE(row.name);
        reset(0);
        fwtest::TempDir tmp;
        ASSERT_TRUE(sim::make_dirs(path(oem)));
        write(oem + "/old.conf", "old\n");
        write(oem + "/.hidden", "old\n");
        image img = make_image("SIM3000", 250);
        stage(img);
        write("tmpfs/upgrading/oem.bin", gzip_tar(tmp, row.members));

        run_result r = upgrade();

        expect_finished(r, 0, 1, img);
        EXPECT_EQ(row.unpacked, exists(oem + "/etc/oem.conf"));
        EXPECT_EQ(row.unpacked, exists(oem + "/.profile"));
        EXPECT_EQ(!row.unpacked, exists(oem + "/old.conf")) << "cleared only to unpack";
        EXPECT_EQ(!row.unpacked, exists(oem + "/.hidden")) << "dot-files cleared too";
        EXPECT_FALSE(exists("evil") || exists("kelpvar/evil") || exists("kelpvar/config1/evil"));
        EXPECT_FALSE(exists("kelpvar/config1/.oem_root.new") ||
                     exists("kelpvar/config1/.oem_root.old"))
            << "the private directories are gone";
        struct stat st;
        ASSERT_EQ(0, lstat(path(oem).c_str(), &st));
        EXPECT_TRUE(S_ISDIR(st.st_mode));
        EXPECT_EQ(0u, st.st_mode & 07022) << std::oct << st.st_mode;
        if (row.unpacked) {
            ASSERT_EQ(0, stat(path(oem + "/etc/oem.conf").c_str(), &st));
            EXPECT_EQ(geteuid(), st.st_uid) << "the archive's owner was kept";
            EXPECT_EQ("oem=1\n", read(oem + "/etc/oem.conf"));
            EXPECT_TRUE(told(r.err).empty()) << r.err;
        } else {
            EXPECT_NE(std::string::npos, r.err.find("the OEM archive")) << r.err;
            EXPECT_EQ(1u, told(r.err).size()) << r.err;
            EXPECT_EQ("old\n", read(oem + "/old.conf"));
        }
    }
}

// Staged files that are not plain files are never opened: the run neither hangs nor uses them.
TEST_F(Upgrade, StagedOemFilesThatAreNotPlainFilesCountAsAbsent)
{
    const std::string oem = "kelpvar/config1/oem_root";
    for (const char *staged : {"tmpfs/upgrading/.nooem", "tmpfs/upgrading/oem.bin"}) {
        SCOPED_TRACE(staged);
        reset(0);
        ASSERT_TRUE(sim::make_dirs(path(oem)));
        write(oem + "/old.conf", "old\n");
        image img = make_image("SIM3000", 260);
        stage(img);
        ASSERT_EQ(0, mkfifo(path(staged).c_str(), 0644));

        expect_finished(upgrade(), 0, 1, img);
        EXPECT_TRUE(exists(oem + "/old.conf"));
    }
    // .nooem clears dot-files as well.
    reset(0);
    ASSERT_TRUE(sim::make_dirs(path(oem + "/sub")));
    write(oem + "/.hidden", "x");
    write(oem + "/..odd", "x");
    write(oem + "/sub/f", "x");
    image img = make_image("SIM3000", 261);
    stage(img);
    write("tmpfs/upgrading/.nooem", "");
    expect_finished(upgrade(), 0, 1, img);
    EXPECT_FALSE(exists(oem + "/.hidden") || exists(oem + "/..odd") || exists(oem + "/sub"));
    EXPECT_TRUE(exists(oem));

    // A link in the directory's place takes neither the clearing nor the archive elsewhere.
    reset(0);
    fwtest::TempDir tmp;
    sim::remove_tree(path(oem));
    ASSERT_TRUE(sim::make_dirs(path("elsewhere")));
    write("elsewhere/keep", "x");
    ASSERT_EQ(0, symlink(path("elsewhere").c_str(), path(oem).c_str()));
    img = make_image("SIM3000", 262);
    stage(img);
    write("tmpfs/upgrading/oem.bin", gzip_tar(tmp, tar_member("new.conf", '0', "x\n")));
    expect_finished(upgrade(), 0, 1, img);
    EXPECT_EQ("x", read("elsewhere/keep"));
    EXPECT_FALSE(exists("elsewhere/new.conf"));
    EXPECT_TRUE(exists(oem + "/new.conf"));

    // With nothing staged the step leaves whatever is in the directory's place alone.
    reset(0);
    sim::remove_tree(path(oem));
    ASSERT_TRUE(sim::make_dirs(path("elsewhere")));
    write("elsewhere/keep", "x");
    ASSERT_EQ(0, symlink(path("elsewhere").c_str(), path(oem).c_str()));
    img = make_image("SIM3000", 263);
    stage(img);
    expect_finished(upgrade(), 0, 1, img);
    struct stat st;
    EXPECT_TRUE(lstat(path(oem).c_str(), &st) == 0 && S_ISLNK(st.st_mode));
    EXPECT_EQ("x", read("elsewhere/keep"));

    // A staged archive that is a link to a sound archive counts as absent.
    reset(0);
    sim::remove_tree(path(oem));
    ASSERT_TRUE(sim::make_dirs(path(oem)));
    write(oem + "/old.conf", "old\n");
    ASSERT_TRUE(sim::make_dirs(path("elsewhere")));
    write("elsewhere/oem.bin", gzip_tar(tmp, tar_member("new.conf", '0', "x\n")));
    img = make_image("SIM3000", 264);
    stage(img);
    ASSERT_EQ(0,
              symlink(path("elsewhere/oem.bin").c_str(), path("tmpfs/upgrading/oem.bin").c_str()));
    expect_finished(upgrade(), 0, 1, img);
    EXPECT_TRUE(exists(oem + "/old.conf"));
    EXPECT_FALSE(exists(oem + "/new.conf"));
}

// The OEM directory is replaced whole or not at all: where the file system cannot swap two
// directories the old one steps aside first, and what a cut run left beside it is cleaned up (a
// stepped-aside directory with nothing in its place is put back, even with nothing staged).
TEST_F(Upgrade, OemDirectoryIsReplacedWholeOrNotAtAll)
{
    enum leftover { NONE, STEPPED_ASIDE, STALE_NEW };
    const struct {
        const char *name;
        const char *fault;
        leftover left; // what a cut run left beside the OEM directory
        bool archive;  // a sound archive is staged
        bool unpacked;
        const char *err; // in the one line on standard error; null: none
    } rows[] = {
        {"swapped in one step", "", NONE, true, true, nullptr},
        {"stepped aside where no swap is had", "exchange:oem_root", NONE, true, true, nullptr},
        {"a file that cannot be written", "write:oem.conf", NONE, true, false,
         "\"etc/oem.conf\" could not be written"},
        {"stale new directory of a cut run", "", STALE_NEW, true, true, nullptr},
        {"stepped aside by a cut run, nothing staged", "", STEPPED_ASIDE, false, false, nullptr},
        {"stepped aside by a cut run, archive staged", "exchange:oem_root", STEPPED_ASIDE, true,
         true, nullptr},
    };
    const std::string config = "kelpvar/config1";
    const std::string oem = config + "/oem_root";
    for (const auto &row : rows) {
        SCOPED_TRACE(row.name);
        reset(0);
        fwtest::TempDir tmp;
        sim::remove_tree(path(oem));
        std::string old_dir = row.left == STEPPED_ASIDE ? config + "/.oem_root.old" : oem;
        ASSERT_TRUE(sim::make_dirs(path(old_dir)));
        write(old_dir + "/old.conf", "old\n");
        if (row.left == STALE_NEW) {
            ASSERT_TRUE(sim::make_dirs(path(config + "/.oem_root.new/half")));
            write(config + "/.oem_root.new/half/x", "x");
        }
        image img = make_image("SIM3000", 280);
        stage(img);
        if (row.archive)
            write("tmpfs/upgrading/oem.bin",
                  gzip_tar(tmp, tar_member("etc/", '5', "", 0755) +
                                    tar_member("etc/oem.conf", '0', "oem=1\n")));

        run_result r = upgrade(row.fault);

        expect_finished(r, 0, 1, img);
        EXPECT_EQ(row.unpacked, exists(oem + "/etc/oem.conf"));
        EXPECT_EQ(!row.unpacked, exists(oem + "/old.conf"));
        EXPECT_FALSE(exists(config + "/.oem_root.new") || exists(config + "/.oem_root.old"));
        if (row.err != nullptr) {
            EXPECT_NE(std::string::npos, r.err.find(row.err)) << r.err;
            EXPECT_EQ(1u, told(r.err).size()) << r.err;
        } else {
            EXPECT_TRUE(told(r.err).empty()) << r.err;
        }
    }
}

// The archive is read once, from the descriptor the upgrade opened: replaced by a hostile one
// while it is being decompressed (by a gzip that swaps it first), the unpacked content is still
// the archive that was opened.
TEST_F(Upgrade, OemArchiveSwappedWhileReadIsNotUnpacked)
{
    fwtest::TempDir tmp;
    const std::string oem = "kelpvar/config1/oem_root";
    std::string real_gzip;
    {
        FILE *p = popen("command -v gzip", "r");
        ASSERT_NE(nullptr, p);
        char buf[512] = {};
        ASSERT_NE(nullptr, fgets(buf, sizeof(buf), p));
        pclose(p);
        real_gzip = std::string(buf).substr(0, strcspn(buf, "\n"));
    }
    ASSERT_TRUE(sim::write_file(
        tmp / "hostile.bin",
        gzip_tar(tmp, tar_member("suid", '0', "x", 04755) + tar_member("tty", '3', ""))));
    ASSERT_TRUE(sim::make_dirs(tmp / "bin"));
    ASSERT_TRUE(sim::write_file(tmp / "bin/gzip", "#!/bin/sh\nmv -f '" + tmp / "hostile.bin" +
                                                      "' '" + path("tmpfs/upgrading/oem.bin") +
                                                      "'\nexec '" + real_gzip + "' \"$@\"\n"));
    ASSERT_EQ(0, chmod((tmp / "bin/gzip").c_str(), 0755));

    reset(0);
    ASSERT_TRUE(sim::make_dirs(path(oem)));
    image img = make_image("SIM3000", 270);
    stage(img);
    write("tmpfs/upgrading/oem.bin", gzip_tar(tmp, tar_member("new.conf", '0', "x\n")));
    const char *host_path = getenv("PATH");
    run_result r = upgrade("", {"PATH=" + tmp / "bin:" + (host_path != nullptr ? host_path : "")});

    expect_finished(r, 0, 1, img);
    EXPECT_FALSE(exists(tmp / "hostile.bin")) << "the swap did not happen";
    EXPECT_EQ("x\n", read(oem + "/new.conf"));
    EXPECT_FALSE(exists(oem + "/suid") || exists(oem + "/tty"));
}

} // namespace
