// SPDX-License-Identifier: MIT
#include "fixture.h"

#include <pty.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include "md5.h"
#include "platform.h"

extern char **environ;

namespace fwtest
{

namespace
{

std::string drain(int fd)
{
    std::string s;
    char buf[4096];
    ssize_t n;
    while ((n = read(fd, buf, sizeof(buf))) > 0)
        s.append(buf, (size_t)n);
    return s;
}

// Offset of the boot script value in a block, by an independent walk; 0 when absent.
size_t script_offset(const std::string &b)
{
    static const size_t lens[] = {0, 4, 4, 128, 512, 4, 8, 128};
    size_t pos = 8;
    while (pos + 4 <= 0x1FFFC && b[pos] != 0) {
        uint8_t type = (uint8_t)b[pos];
        size_t n = (uint8_t)b[pos + 1], m = (uint8_t)b[pos + 3];
        size_t len = type < 8 ? lens[type] : 0;
        if (pos + 4 + n + m > 0x1FFFC)
            break;
        if (type == 4 && strncmp(&b[pos + 4], "boot_script_data", n) == 0 && n >= 17 &&
            b[pos + 4 + 16] == '\0')
            return pos + 4 + n + m + 512 <= 0x1FFFC ? pos + 4 + n + m : 0;
        pos += 4 + n + m + len;
    }
    return 0;
}

#ifdef FWUP_TEST_EMULATOR
// True for an ELF file of the target machine; host programs and scripts run directly.
bool is_target_program(const std::string &path)
{
    enum : int { ELF_MACHINE_OFFSET = 18, EM_ARM_MACHINE = 40 };
    const unsigned char elf_magic[4] = {0x7f, 'E', 'L', 'F'};
    unsigned char h[20] = {};
    bool arm = false;
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd >= 0) {
        arm = read(fd, h, sizeof(h)) == (ssize_t)sizeof(h) &&
              memcmp(h, elf_magic, sizeof(elf_magic)) == 0 &&
              (h[ELF_MACHINE_OFFSET] | h[ELF_MACHINE_OFFSET + 1] << 8) == EM_ARM_MACHINE;
        close(fd);
    }
    return arm;
}
#endif

} // namespace

std::string hex(const uint8_t *d, size_t n)
{
    static const char digits[] = "0123456789abcdef";
    std::string s;
    for (size_t i = 0; i < n; i++) {
        s += digits[d[i] >> 4];
        s += digits[d[i] & 15];
    }
    return s;
}

std::string random_bytes(size_t n, uint32_t seed)
{
    std::string s(n, '\0');
    uint32_t x = seed * 2654435761u + 1;
    for (char &c : s) {
        x = x * 1103515245u + 12345u;
        c = (char)(x >> 16);
    }
    return s;
}

std::string md5_of(const std::string &data)
{
    md5_context ctx;
    uint8_t digest[MD5_DIGEST_LEN];
    md5_init(&ctx);
    md5_append(&ctx, data.data(), (int32_t)data.size());
    md5_finish(&ctx, digest);
    return std::string((const char *)digest, sizeof(digest));
}

uint32_t crc_ref(const std::string &data, size_t len)
{
    return sim::crc_ref(data, len);
}

static void put_le32(std::string *s, size_t off, uint32_t v)
{
    for (int i = 0; i < 4; i++)
        (*s)[off + i] = (char)(v >> (8 * i));
}

std::string image_file(const std::string &model, const std::string &kernel, const std::string &root)
{
    std::string h(76, '\0');
    put_le32(&h, 0, 0x13578642u);
    h.replace(4, std::min<size_t>(model.size(), 15), model.substr(0, 15));
    put_le32(&h, 20, 76);
    put_le32(&h, 24, 76);
    put_le32(&h, 28, (uint32_t)kernel.size());
    h.replace(32, 16, md5_of(kernel));
    put_le32(&h, 48, (uint32_t)(76 + kernel.size()));
    put_le32(&h, 52, (uint32_t)root.size());
    h.replace(56, 16, md5_of(root));
    put_le32(&h, 72, crc_ref(h, 72));
    return h + kernel + root;
}

const char *sim_binary()
{
    return FWUP_SIM_BIN;
}

const char *evt_library()
{
    return FWUP_EVT_LIB;
}

const char *fwtool_binary()
{
    return FWTOOL_BIN;
}

TempDir::TempDir()
{
    const char *tmp = getenv("TMPDIR");
    std::string templ = std::string(tmp != nullptr && *tmp ? tmp : "/tmp") + "/fwtest.XXXXXX";
    std::vector<char> buf(templ.begin(), templ.end());
    buf.push_back('\0');
    if (mkdtemp(buf.data()) == nullptr)
        abort();
    path_ = buf.data();
}

TempDir::~TempDir()
{
    sim::remove_tree(path_);
}

namespace
{

// In a child: replaces it with `program` (see run_program), or ends it with status 127.
[[noreturn]] void exec_program(const std::string &program, const std::string &name,
                               const std::vector<std::string> &args,
                               const std::vector<std::string> &env)
{
    std::vector<std::string> envs;
    for (char **e = environ; *e != nullptr; e++)
        envs.push_back(*e);
    for (const std::string &e : env) {
        std::string key = e.substr(0, e.find('=') + 1);
        for (auto it = envs.begin(); it != envs.end();)
            it = it->compare(0, key.size(), key) == 0 ? envs.erase(it) : it + 1;
        envs.push_back(e);
    }
    std::vector<char *> argv, envp;
    const char *exe = program.c_str();
#ifdef FWUP_TEST_EMULATOR
    // Target programs run under the user-mode emulator (no binfmt registration needed); its -0
    // keeps the invocation name, which selects the command.
    static const char *const emulator[] = {FWUP_TEST_EMULATOR};
    if (is_target_program(program)) {
        exe = emulator[0];
        for (const char *a : emulator)
            argv.push_back(const_cast<char *>(a));
        argv.push_back(const_cast<char *>("-0"));
        argv.push_back(const_cast<char *>(name.c_str()));
        argv.push_back(const_cast<char *>(program.c_str()));
    } else {
        argv.push_back(const_cast<char *>(name.c_str()));
    }
#else
    argv.push_back(const_cast<char *>(name.c_str()));
#endif
    for (const std::string &a : args)
        argv.push_back(const_cast<char *>(a.c_str()));
    argv.push_back(nullptr);
    for (std::string &e : envs)
        envp.push_back(&e[0]);
    envp.push_back(nullptr);
    execve(exe, argv.data(), envp.data());
    _exit(127);
}

} // namespace

run_result run_in_terminal(const std::string &program, const std::string &name,
                           const std::vector<std::string> &args, int columns)
{
    run_result r;
    struct winsize ws = {};
    int master = -1;
    ws.ws_row = 24;
    ws.ws_col = (unsigned short)columns;
    fflush(stdout);
    pid_t pid = forkpty(&master, nullptr, nullptr, &ws);
    if (pid < 0)
        return r;
    if (pid == 0)
        exec_program(program, name, args, {});
    char buf[4096];
    ssize_t n;
    // The terminal's end reports EIO once the program and its streams are gone.
    while ((n = read(master, buf, sizeof(buf))) > 0 || (n < 0 && errno == EINTR))
        r.out.append(buf, n > 0 ? (size_t)n : 0);
    close(master);
    int st = 0;
    waitpid(pid, &st, 0);
    r.status = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
    return r;
}

run_result run_program(const std::string &program, const std::string &name,
                       const std::vector<std::string> &args, const std::vector<std::string> &env)
{
    run_result r;
    int out[2], err[2];
    if (pipe(out) != 0 || pipe(err) != 0)
        return r;
    fflush(stdout);
    pid_t pid = fork();
    if (pid == 0) {
        dup2(out[1], 1);
        dup2(err[1], 2);
        close(out[0]);
        close(err[0]);
        int devnull = open("/dev/null", O_RDONLY);
        dup2(devnull, 0);
        exec_program(program, name, args, env);
    }
    close(out[1]);
    close(err[1]);
    // Drain stderr after stdout; the programs under test write little to either.
    r.out = drain(out[0]);
    r.err = drain(err[0]);
    close(out[0]);
    close(err[0]);
    int st = 0;
    waitpid(pid, &st, 0);
    r.status = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
    return r;
}

pid_t start_program(const std::string &program, const std::string &name,
                    const std::vector<std::string> &args, const std::vector<std::string> &env)
{
    fflush(stdout);
    pid_t pid = fork();
    if (pid == 0) {
        int devnull = open("/dev/null", O_RDWR);
        for (int fd = 0; fd <= 2; fd++)
            dup2(devnull, fd);
        exec_program(program, name, args, env);
    }
    return pid;
}

StdoutCapture::StdoutCapture()
{
    char templ[] = "/tmp/fwcapture.XXXXXX";
    fflush(stdout);
    file_ = mkstemp(templ);
    unlink(templ);
    saved_ = dup(1);
    dup2(file_, 1);
}

StdoutCapture::~StdoutCapture()
{
    take();
}

std::string StdoutCapture::take()
{
    std::string s;
    if (saved_ < 0)
        return s;
    fflush(stdout);
    dup2(saved_, 1);
    close(saved_);
    saved_ = -1;
    lseek(file_, 0, SEEK_SET);
    s = drain(file_);
    close(file_);
    file_ = -1;
    return s;
}

void SimDeviceTest::SetUp()
{
    opt_ = sim::device_options();
    opt_.evt_library = evt_library();
    make_device(opt_);
}

void SimDeviceTest::make_device(const sim::device_options &opt)
{
    std::string err;
    opt_ = opt;
    ASSERT_EQ(0, sim::create_device(dir_.path(), opt_, &err)) << err;
    setenv("FWUP_SYSROOT", dir_.path().c_str(), 1);
    ASSERT_EQ(0, platform_init());
}

run_result SimDeviceTest::run(const std::string &name, const std::vector<std::string> &args,
                              const std::vector<std::string> &env)
{
    std::vector<std::string> e = env;
    e.insert(e.begin(), "FWUP_SYSROOT=" + dir_.path());
    return run_program(sim_binary(), name, args, e);
}

std::string SimDeviceTest::read(const std::string &rel) const
{
    std::string data;
    sim::read_file(path(rel), &data);
    return data;
}

void SimDeviceTest::write(const std::string &rel, const std::string &data) const
{
    ASSERT_TRUE(sim::write_file(path(rel), data)) << rel;
}

std::string SimDeviceTest::config_block() const
{
    return read("dev/mtdblock1");
}

std::string SimDeviceTest::stored_script() const
{
    std::string b = config_block();
    if (b.size() < 0x20000)
        return "";
    size_t off = script_offset(b);
    if (off == 0)
        return "";
    std::string field = b.substr(off, 512);
    return field.substr(0, field.find('\0'));
}

bool SimDeviceTest::stored_crc_valid() const
{
    std::string b = config_block();
    if (b.size() < 0x20000)
        return false;
    uint32_t stored = 0;
    for (int i = 0; i < 4; i++)
        stored |= (uint32_t)(uint8_t)b[0x1FFFC + i] << (8 * i);
    return stored == crc_ref(b, 0x1FFFC);
}

} // namespace fwtest
