// SPDX-License-Identifier: MIT
// The simulated platform: every device path and command resolved under $FWUP_SYSROOT.
#include "platform.h"

#include "progress.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sys/stat.h>

namespace
{

const char kRootVar[] = "FWUP_SYSROOT";
const char kReleasePath[] = "/proc/sys/kernel/osrelease";

char g_root[PLATFORM_PATH_MAX];
size_t g_root_len;

// Bounded appender: every write checks the room left, and an overflow poisons the result.
struct out_buf {
    char *p;
    size_t size;
    size_t len;
    bool overflow;
};

void put(out_buf *o, const char *s, size_t n)
{
    if (o->overflow || n >= o->size - o->len) {
        o->overflow = true;
        return;
    }
    memcpy(o->p + o->len, s, n);
    o->len += n;
    o->p[o->len] = '\0';
}

// Length of the word's last component when it is a shell pattern ("*", ".[!.]*"), else 0.
size_t glob_tail(const char *w, size_t n)
{
    const char *slash = static_cast<const char *>(memrchr(w, '/', n));
    size_t tail = slash == nullptr ? 0 : n - (size_t)(slash - w);

    for (size_t i = 1; i < tail; i++) {
        if (strchr("*?[", slash[i]) != nullptr)
            return tail;
    }
    return 0;
}

void put_path_word(out_buf *o, const char *w, size_t n)
{
    size_t glob = glob_tail(w, n);
    size_t body = n - glob;

    // Root and path go into one pair of single quotes; a quote inside becomes '\''.
    put(o, "'", 1);
    for (size_t i = 0; i < g_root_len + body; i++) {
        char c = i < g_root_len ? g_root[i] : w[i - g_root_len];
        if (c == '\'')
            put(o, "'\\''", 4);
        else
            put(o, &c, 1);
    }
    put(o, "'", 1);
    // A pattern in the last component stays outside the quotes, for the shell to expand.
    put(o, w + body, glob);
}

} // namespace

int platform_init(void)
{
    const char *root = getenv(kRootVar);
    char resolved[PATH_MAX];
    struct stat st;
    // Told under the name the program was started as, like the command's own errors.
    const char *name = program_invocation_short_name;

    if (root == nullptr || root[0] == '\0') {
        fprintf(stderr, "%s: %s is not set; point it at a simulated device root\n", name, kRootVar);
        return -1;
    }
    if (stat(root, &st) != 0 || !S_ISDIR(st.st_mode)) {
        fprintf(stderr, "%s: %s=%s is not a directory\n", name, kRootVar, root);
        return -1;
    }
    // The simulated device must not be this machine itself: its /var/lock, /proc and /dev.
    if (realpath(root, resolved) != nullptr && strcmp(resolved, "/") == 0) {
        fprintf(stderr, "%s: %s=%s is this machine's root, not a simulated device\n", name,
                kRootVar, root);
        return -1;
    }
    g_root_len = strlen(root);
    while (g_root_len > 1 && root[g_root_len - 1] == '/')
        g_root_len--;
    if (g_root_len >= sizeof(g_root) / 2) {
        fprintf(stderr, "%s: %s is too long\n", name, kRootVar);
        return -1;
    }
    memcpy(g_root, root, g_root_len);
    g_root[g_root_len] = '\0';
    return 0;
}

const char *platform_path(const char *path, char *buf, size_t size)
{
    out_buf o = {buf, size, 0, size == 0};

    if (size > 0)
        buf[0] = '\0';
    put(&o, g_root, g_root_len);
    put(&o, path, strlen(path));
    return o.overflow ? nullptr : buf;
}

const char *platform_command(const char *cmd, char *buf, size_t size)
{
    out_buf o = {buf, size, 0, size == 0};
    const char *p = cmd;
    bool foreign_path = false;

    if (size > 0)
        buf[0] = '\0';
    while (*p != '\0') {
        size_t n = strcspn(p, " ");
        if (n == 0) {
            put(&o, p, 1);
            p++;
            continue;
        }
        if (p[0] == '/')
            put_path_word(&o, p, n);
        else if (memchr(p, '/', n) != nullptr)
            foreign_path = true; // "-C/x", "2>/dev/x": would reach the host's own files
        else
            put(&o, p, n);
        p += n;
    }
    return o.overflow || foreign_path ? nullptr : buf;
}

int platform_is_device(const char *resolved_path)
{
    struct stat st;

    return stat(resolved_path, &st) == 0 && S_ISREG(st.st_mode) ? 1 : 0;
}

int platform_release(char *buf, size_t size)
{
    char path[PLATFORM_PATH_MAX];
    const char *resolved = platform_path(kReleasePath, path, sizeof(path));
    FILE *f = nullptr;
    int ret = -1;

    if (size == 0 || resolved == nullptr)
        return -1;
    f = fopen(resolved, "r");
    if (f == nullptr)
        return -1;
    if (fgets(buf, (int)size, f) != nullptr) {
        buf[strcspn(buf, "\n")] = '\0';
        ret = 0;
    }
    fclose(f);
    return ret;
}

int platform_progress_key(void)
{
    char buf[PLATFORM_PATH_MAX], text[32] = {};
    const char *path = platform_path(g_sim_key_file, buf, sizeof(buf));
    FILE *f = path != nullptr ? fopen(path, "r") : nullptr;
    unsigned key = 0;

    if (f == nullptr)
        return UPGRADE_PROGRESS_KEY;
    size_t n = fread(text, 1, sizeof(text) - 1, f);
    fclose(f);
    text[n] = '\0';
    // A key of 0 would be IPC_PRIVATE: a fresh record no reader could find.
    if (sscanf(text, "0x%x", &key) != 1 || key == 0)
        return UPGRADE_PROGRESS_KEY;
    return (int)key;
}
