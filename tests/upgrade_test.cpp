// The firmware upgrade end to end: the real program on simulated devices, with faults provoked
// through the devices themselves or the preloaded fault shim. After every run the device must be
// bootable (the script names a bank holding a complete image, the block CRC holds), both target
// partitions locked again, the staging directory gone, and the record and events must tell the
// outcome.
#include "fixture.h"

#include <algorithm>
#include <cstring>
#include <fcntl.h>
#include <spawn.h>
#include <sys/file.h>
#include <sys/shm.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "md5.h"
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
    run_result upgrade(const std::string &fault = "")
    {
        std::vector<std::string> env = {"LD_PRELOAD=" + fault_library(),
                                        "FWUP_LOCK_TRACE=" + path("lock.trace")};
        if (!fault.empty())
            env.push_back("FWUP_FAULT=" + fault);
        return run("fwupgrade", {}, env);
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

    image factory_;
    std::string original_script_;
    std::string initial_dev_[8];
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

        run_result r = upgrade();

        expect_finished(r, 0, target, img);
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
        {"archive of 131071 bytes", false, 131071, true, true, true},
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
    struct row {
        const char *name;
        const char *fw; // file name under tmpfs/upgrading holding `data`
        std::string data;
        const char *fault;
        int code;
        staged_as as = {S_IFREG, nullptr};
    };
    const row rows[] = {
        {"no image", "other.bin", good, "", UPGRADE_ERR_RESOURCE},
        {"header cut to 75 bytes", "fw.bin", good.substr(0, 75), "", UPGRADE_ERR_RESOURCE},
        {"root payload one byte short", "fw.bin", good.substr(0, good.size() - 1), "",
         UPGRADE_ERR_RESOURCE},
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

        run_result res = upgrade(r.fault);
        expect_finished(res, r.code, 0, factory_);
        EXPECT_EQ(1u, split_lines(res.err).size()) << res.err;
        EXPECT_EQ(0u, res.err.find("fwupgrade: ")) << res.err;
        if (r.as.says != nullptr) {
            EXPECT_NE(std::string::npos, res.err.find(r.as.says)) << res.err;
        }
        for (int n = 3; n <= 6; n++)
            EXPECT_EQ(initial_dev_[n], dev(n)) << "mtdblock" << n;
        EXPECT_EQ(original_script_, stored_script());
        EXPECT_TRUE(trace().empty()) << "a partition was locked or unlocked";
        EXPECT_FALSE(exists("var/lock/bootidx_changed"));
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
            // The exit steps still ask for both locks: the paths were known.
            std::vector<std::string> t = trace();
            EXPECT_NE(t.end(), std::find(t.begin(), t.end(), "lock mtdblock5"));
            EXPECT_NE(t.end(), std::find(t.begin(), t.end(), "lock mtdblock6"));
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
    const long long loaded = 76 + kKernelLen + kRootLen; // the checks read the whole file once
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
         "comparing the root payload with /dev/mtdblock6 failed at byte 300000: digest of the "
         "staged image: differs from the image header's"},
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
        EXPECT_EQ(0u, res.err.find("fwupgrade: " + std::string(r.says))) << res.err;
        EXPECT_EQ(1u, split_lines(res.err).size()) << res.err;
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
    EXPECT_FALSE(exists("var/lock/bootidx_changed"));
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
    EXPECT_FALSE(exists("var/lock/bootidx_changed"));
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

    // A write that stops half-way leaves the script on the running bank, the marker gone.
    write("var/log/evt.log", "");
    stage(second);
    run_result cut = upgrade("fwrite:mtdblock6:after=32768");
    expect_finished(cut, UPGRADE_ERR_WRITE, 0, factory_);
    EXPECT_FALSE(exists("var/lock/bootidx_changed"));
}

// ---- one upgrade at a time ----

TEST_F(Upgrade, HeldLockRefusesTheRunAndLeavesTheHolderAlone)
{
    image img = make_image("SIM3000", 150);
    stage(img);
    write("proc/dte", "holder");
    int lock = open(path("var/lock/fwupgrade.lock").c_str(), O_RDWR | O_CREAT, 0644);
    ASSERT_GE(lock, 0);
    ASSERT_EQ(0, flock(lock, LOCK_EX));
    // The holder's record, as its loading stage would show it.
    int id = shmget(UPGRADE_PROGRESS_KEY, sizeof(upgrade_progress), IPC_CREAT | 0600);
    ASSERT_GE(id, 0);
    auto *rec = static_cast<upgrade_progress *>(shmat(id, nullptr, 0));
    ASSERT_NE(reinterpret_cast<void *>(-1), rec);
    upgrade_progress holder = {UPGRADE_STAGE_WRITE_ROOT, 1, 2, 3, 4, 42, {7, 8, 9}};
    *rec = holder;

    run_result r = upgrade();

    EXPECT_EQ(238, r.status);
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

} // namespace
