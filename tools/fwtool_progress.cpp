// fwtool progress: reads the upgrade's shared-memory progress record, once or following a run.
// The record is only ever attached read-only; this command never creates or changes it.
#include "fwtool.h"

#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <sys/ipc.h>
#include <sys/shm.h>
#include <unistd.h>

#include "upgrade.h"

namespace
{

const double kDefaultTimeout = 120.0; // seconds; a watch always ends by itself
const double kMaxTimeout = 86400.0;
const long kPollNanos = 20 * 1000 * 1000;
const int kBarWidth = 30;
const int kLineStep = 10; // off a terminal, a line at every 10 percent of the run
const int kPercentScale = 100;

const char kUsage[] =
    "usage: fwtool progress [--watch] [--timeout SECONDS] [--json]\n"
    "Shows the upgrade's progress record (shared memory, key 0x13578642): stage, bytes done of\n"
    "each payload, percent, and the failure code of a failed run.\n"
    "\n"
    "options:\n"
    "  --watch            follow the next upgrade run until it ends, then print its outcome\n"
    "                     (exit status 0 when it succeeded, 1 when it failed or timed out)\n"
    "  --timeout SECONDS  give up watching after this long (default 120)\n"
    "  --json             one JSON object per line: the record, or with --watch one per change\n"
    "                     of it (a watch that times out ends with {\"timeout\":true,...})\n"
    "\n"
    "The percent of the whole run counts the writing of both payloads as its first half and the\n"
    "comparing as its second, by bytes. On a terminal --watch draws one bar over the whole run;\n"
    "otherwise it prints a line with the percent at each stage and every 10 percent.\n"
    "\n"
    "The upgrade creates the record with permission bits 0: only root can read it.\n";

struct stage_name {
    int32_t stage;
    const char *name;
};

const stage_name g_stages[] = {
    {0, "not started"},
    {UPGRADE_STAGE_LOADING, "loading"},
    {UPGRADE_STAGE_WRITE_KERNEL, "writing kernel"},
    {UPGRADE_STAGE_WRITE_ROOT, "writing root"},
    {UPGRADE_STAGE_VERIFY_KERNEL, "verifying kernel"},
    {UPGRADE_STAGE_VERIFY_ROOT, "verifying root"},
    {UPGRADE_STAGE_DONE, "done"},
    {UPGRADE_STAGE_FAILED, "failed"},
};

struct code_meaning {
    int code;
    const char *name;
    const char *meaning;
};

const code_meaning g_codes[] = {
    {UPGRADE_ERR_IMAGE, "UPGRADE_ERR_IMAGE",
     "the image could not be loaded (other loader failure)"},
    {UPGRADE_ERR_BOOT_SWITCH, "UPGRADE_ERR_BOOT_SWITCH",
     "the boot index could not be set (to the new bank, or back to the fall-back bank)"},
    {UPGRADE_ERR_LOCKED, "UPGRADE_ERR_LOCKED", "the upgrade lock was not obtained"},
    {UPGRADE_ERR_RESOURCE, "UPGRADE_ERR_RESOURCE",
     "image missing or short, no memory, bank state unreadable, or target partition "
     "missing/too small/not unlockable"},
    {UPGRADE_ERR_MAGIC, "UPGRADE_ERR_MAGIC", "the image header has a wrong magic number"},
    {UPGRADE_ERR_CHECKSUM, "UPGRADE_ERR_CHECKSUM",
     "the image header CRC or a payload digest does not match"},
    {UPGRADE_ERR_MODEL, "UPGRADE_ERR_MODEL", "the image is for another model than the running one"},
    {UPGRADE_ERR_WRITE, "UPGRADE_ERR_WRITE", "writing a payload to its partition failed"},
    {UPGRADE_ERR_VERIFY, "UPGRADE_ERR_VERIFY",
     "reading a payload back failed or gave bytes that differ from the image"},
    {UPGRADE_ERR_MARKER, "UPGRADE_ERR_MARKER",
     "no bootopt= on the kernel command line, and the change marker is not the tool's or could "
     "not be made"},
};

const char *stage_text(int32_t stage)
{
    for (const stage_name &s : g_stages) {
        if (s.stage == stage)
            return s.name;
    }
    return "unknown stage";
}

bool is_running(int32_t stage)
{
    return stage >= UPGRADE_STAGE_LOADING && stage <= UPGRADE_STAGE_VERIFY_ROOT;
}

bool is_final(int32_t stage)
{
    return stage == UPGRADE_STAGE_DONE || stage == UPGRADE_STAGE_FAILED;
}

// The failure code of a failed run: byte 20 read as a signed 8-bit value.
int failure_code(const upgrade_progress &r)
{
    return (int8_t)r.percent;
}

const code_meaning *find_code(int code)
{
    for (const code_meaning &c : g_codes) {
        if (c.code == code)
            return &c;
    }
    return nullptr;
}

void print_failure(FILE *out, const char *lead, int code)
{
    const code_meaning *c = find_code(code);
    if (c != nullptr)
        fprintf(out, "%s%d (%s): %s\n", lead, code, c->name, c->meaning);
    else
        fprintf(out, "%s%d: not a code of the upgrade\n", lead, code);
}

// The attached segment and what the kernel said about it when it was attached.
struct segment {
    int id = -1;
    const volatile uint8_t *mem = nullptr;
    pid_t lpid = 0;      // last process to attach or detach before this one attached
    shmatt_t nattch = 0; // attachments including this one, when it was made
};

enum open_result { OPEN_OK, OPEN_ABSENT, OPEN_ERROR };

// Attaches the record read-only. OPEN_ERROR comes with its one-line reason in `why`.
open_result open_segment(segment *seg, char *why, size_t why_len)
{
    struct shmid_ds ds;
    int id = shmget(UPGRADE_PROGRESS_KEY, 0, 0);

    if (id < 0) {
        if (errno == ENOENT)
            return OPEN_ABSENT;
        snprintf(why, why_len, "shmget of key 0x%x failed: %s", UPGRADE_PROGRESS_KEY,
                 strerror(errno));
        return OPEN_ERROR;
    }
    if (shmctl(id, IPC_STAT, &ds) != 0) {
        if (errno == EACCES)
            snprintf(why, why_len,
                     "the progress record exists but only root can read it (the upgrade "
                     "creates it with permission bits 0)");
        else
            snprintf(why, why_len, "cannot read the progress record's state: %s", strerror(errno));
        return OPEN_ERROR;
    }
    // The upgrade writes only a record its own user made without permission bits; one that
    // anybody else made may hold anything its maker wrote, a forged success included.
    if (ds.shm_perm.cuid != geteuid() || ds.shm_perm.uid != geteuid() ||
        (ds.shm_perm.mode & 0777) != 0) {
        snprintf(why, why_len,
                 "the segment with key 0x%x was not made by the upgrade (creator uid %u, mode "
                 "%03o); it is not read",
                 UPGRADE_PROGRESS_KEY, (unsigned)ds.shm_perm.cuid,
                 (unsigned)(ds.shm_perm.mode & 0777));
        return OPEN_ERROR;
    }
    if (ds.shm_segsz < sizeof(upgrade_progress)) {
        snprintf(why, why_len,
                 "the segment with key 0x%x holds %zu bytes, not a %zu-byte progress record",
                 UPGRADE_PROGRESS_KEY, (size_t)ds.shm_segsz, sizeof(upgrade_progress));
        return OPEN_ERROR;
    }
    void *mem = shmat(id, nullptr, SHM_RDONLY);
    if (mem == (void *)-1) {
        snprintf(why, why_len, "cannot attach the progress record: %s", strerror(errno));
        return OPEN_ERROR;
    }
    seg->id = id;
    seg->mem = (const volatile uint8_t *)mem;
    seg->lpid = ds.shm_lpid;
    seg->nattch = ds.shm_nattch + 1;
    return OPEN_OK;
}

// open_segment for the command itself: the reason goes to standard error.
open_result open_segment_or_say(segment *seg)
{
    char why[256];
    open_result rc = open_segment(seg, why, sizeof(why));
    if (rc == OPEN_ERROR)
        fprintf(stderr, "fwtool progress: %s\n", why);
    return rc;
}

void close_segment(segment *seg)
{
    if (seg->mem != nullptr)
        shmdt((const void *)seg->mem);
    seg->mem = nullptr;
    seg->id = -1;
}

// The writer stores field by field without any lock, so each byte is taken as it is now.
upgrade_progress read_record(const segment &seg)
{
    upgrade_progress r = {};
    uint8_t *out = (uint8_t *)&r;

    for (size_t i = 0; i < sizeof(r); i++)
        out[i] = seg.mem[i];
    return r;
}

bool same_record(const upgrade_progress &a, const upgrade_progress &b)
{
    return memcmp(&a, &b, sizeof(a)) == 0;
}

void print_record(const upgrade_progress &r)
{
    printf("stage:   %d (%s)\n", r.stage, stage_text(r.stage));
    printf("kernel:  %u of %u bytes\n", r.kernel_done, r.kernel_total);
    printf("root:    %u of %u bytes\n", r.root_done, r.root_total);
    if (r.stage == UPGRADE_STAGE_FAILED)
        print_failure(stdout, "result:  ", failure_code(r));
    else if (r.stage >= UPGRADE_STAGE_WRITE_KERNEL && r.stage <= UPGRADE_STAGE_VERIFY_ROOT)
        printf("percent: %u of the %s, %d of the whole run\n", r.percent,
               r.stage <= UPGRADE_STAGE_WRITE_ROOT ? "writing" : "comparing",
               fwtool_overall_percent(r));
    else
        printf("percent: %u\n", r.percent);
}

void print_json(const upgrade_progress &r)
{
    json_writer w;
    json_begin(&w, stdout);
    fwtool_progress_json(&w, r);
    json_finish(&w);
}

int show_once(bool json)
{
    segment seg;

    switch (open_segment_or_say(&seg)) {
    case OPEN_ABSENT:
        fprintf(stderr, "fwtool progress: no progress record (no upgrade has run since the "
                        "system started)\n");
        return FWTOOL_FAILED;
    case OPEN_ERROR:
        return FWTOOL_USAGE;
    case OPEN_OK:
        break;
    }
    upgrade_progress r = read_record(seg);
    close_segment(&seg);
    if (json)
        print_json(r);
    else
        print_record(r);
    return FWTOOL_OK;
}

double now_seconds()
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (double)ts.tv_sec + (double)ts.tv_nsec / 1e9;
}

enum watch_output { OUT_BAR, OUT_LINES, OUT_JSON };

// What a watch has shown so far of the run it follows.
struct watch_view {
    watch_output how;
    bool shown = false;      // something of this run was shown
    upgrade_progress last{}; // the record as last seen
    int percent = 0;         // of the whole run; never goes back while the run goes on
    int32_t line_stage = 0;  // stage and ten-percent step of the last line (OUT_LINES)
    int line_step = -1;
};

// One redrawn line on a terminal: a bar over the whole run, the stage and the byte counts.
void draw_bar(const watch_view &v, const upgrade_progress &r)
{
    int fill = v.percent * kBarWidth / kPercentScale;
    char bar[kBarWidth + 1];

    for (int i = 0; i < kBarWidth; i++)
        bar[i] = i < fill ? '#' : '-';
    bar[kBarWidth] = '\0';
    printf("\r[%s] %3d%% %-16s kernel %u/%u root %u/%u\033[K", bar, v.percent, stage_text(r.stage),
           r.kernel_done, r.kernel_total, r.root_done, r.root_total);
    fflush(stdout);
}

// Shows one reading of the record of the run being followed, in the watch's form.
void show_reading(watch_view *v, const upgrade_progress &r)
{
    bool changed = !v->shown || !same_record(r, v->last);
    int pct = fwtool_overall_percent(r);

    if (pct > v->percent)
        v->percent = pct;
    switch (v->how) {
    case OUT_BAR:
        if (changed)
            draw_bar(*v, r);
        break;
    case OUT_JSON:
        if (changed)
            print_json(r);
        break;
    case OUT_LINES: {
        int step = v->percent / kLineStep;
        if (v->shown && r.stage == v->line_stage && step == v->line_step)
            break;
        if (r.stage == UPGRADE_STAGE_FAILED)
            printf("stage %d: %s (at %d%%)\n", r.stage, stage_text(r.stage), v->percent);
        else
            printf("stage %d: %s (%d%%)\n", r.stage, stage_text(r.stage), v->percent);
        fflush(stdout);
        v->line_stage = r.stage;
        v->line_step = step;
        break;
    }
    }
    v->shown = true;
    v->last = r;
}

// Follows the next run to its end. A record that already shows a final stage may be left from
// an earlier run, so the end counts only once this run is known to have started: a running
// stage was seen, the segment was created after the watch began, its contents changed, or
// another process attached it and let go again.
int watch(double timeout, bool json)
{
    const double deadline = now_seconds() + timeout;
    const pid_t self = getpid();
    watch_view view;
    segment seg;
    upgrade_progress base{}, r{};
    bool have_base = false, fresh = false, begun = false, done = false;

    view.how = json ? OUT_JSON : (isatty(STDOUT_FILENO) != 0 ? OUT_BAR : OUT_LINES);
    switch (open_segment_or_say(&seg)) {
    case OPEN_ERROR:
        return FWTOOL_USAGE;
    case OPEN_OK:
        base = read_record(seg);
        have_base = true;
        break;
    case OPEN_ABSENT:
        break;
    }
    const int base_id = seg.id;
    const pid_t base_lpid = seg.lpid;
    if (view.how == OUT_BAR) {
        printf("waiting for an upgrade run...\033[K");
        fflush(stdout);
    }
    while (!done) {
        int id = shmget(UPGRADE_PROGRESS_KEY, 0, 0);
        if (id >= 0 && id != seg.id) {
            // A segment other than the one seen at the start belongs to a new run.
            close_segment(&seg);
            if (open_segment_or_say(&seg) == OPEN_ERROR)
                return FWTOOL_USAGE;
            fresh = seg.id >= 0 && seg.id != base_id;
        }
        if (seg.mem != nullptr) {
            struct shmid_ds ds;
            bool other_came_and_went = false;
            r = read_record(seg);
            if (shmctl(seg.id, IPC_STAT, &ds) == 0)
                other_came_and_went = ds.shm_lpid != self && ds.shm_lpid != base_lpid &&
                                      ds.shm_lpid != seg.lpid && ds.shm_nattch <= seg.nattch;
            if (is_running(r.stage) ||
                (is_final(r.stage) &&
                 (fresh || (have_base && !same_record(r, base)) || other_came_and_went)))
                begun = true;
            if (begun) {
                show_reading(&view, r);
                done = is_final(r.stage);
            }
        }
        if (!done && now_seconds() >= deadline)
            break;
        if (!done) {
            struct timespec pause = {0, kPollNanos};
            nanosleep(&pause, nullptr);
        }
    }
    close_segment(&seg);
    if (view.how == OUT_BAR)
        printf("\n");
    if (!done) {
        if (json) {
            json_writer w;
            json_begin(&w, stdout);
            json_bool(&w, "timeout", true);
            json_bool(&w, "started", begun);
            json_number(&w, "seconds", timeout);
            json_finish(&w);
        } else {
            printf("no upgrade run %s within %g seconds\n", begun ? "ended" : "started", timeout);
            fflush(stdout);
        }
        return FWTOOL_FAILED;
    }
    if (r.stage == UPGRADE_STAGE_DONE) {
        if (!json)
            printf("upgrade done: kernel %u bytes and root %u bytes written and verified\n",
                   r.kernel_total, r.root_total);
        return FWTOOL_OK;
    }
    if (!json)
        print_failure(stdout, "upgrade failed: ", failure_code(r));
    return FWTOOL_FAILED;
}

bool parse_timeout(const char *text, double *out)
{
    char *end = nullptr;
    errno = 0;
    double v = strtod(text, &end);
    if (errno != 0 || end == text || *end != '\0' || !std::isfinite(v) || v <= 0 || v > kMaxTimeout)
        return false;
    *out = v;
    return true;
}

uint32_t at_most(uint32_t v, uint32_t limit)
{
    return v < limit ? v : limit;
}

} // namespace

int fwtool_overall_percent(const upgrade_progress &r)
{
    const uint64_t kernel = r.kernel_total, root = r.root_total;
    const uint64_t total = kernel + root; // bytes of one pass
    uint64_t done = 0;                    // bytes of both passes

    switch (r.stage) {
    case UPGRADE_STAGE_FAILED:
        return -1;
    case UPGRADE_STAGE_DONE:
        return kPercentScale;
    case UPGRADE_STAGE_WRITE_KERNEL:
        done = at_most(r.kernel_done, r.kernel_total);
        break;
    case UPGRADE_STAGE_WRITE_ROOT:
        // The stage says the kernel is written, whatever a count read mid-update says.
        done = kernel + at_most(r.root_done, r.root_total);
        break;
    case UPGRADE_STAGE_VERIFY_KERNEL:
        // The upgrade resets the kernel count, then the root count, after setting this stage:
        // a root count left from the writing means the comparing has not begun.
        done = total + (r.root_done != 0 ? 0 : at_most(r.kernel_done, r.kernel_total));
        break;
    case UPGRADE_STAGE_VERIFY_ROOT:
        done = total + kernel + at_most(r.root_done, r.root_total);
        break;
    default:
        return 0;
    }
    if (total == 0)
        return 0;
    return (int)(done * kPercentScale / (2 * total));
}

void fwtool_progress_summary(FILE *out, const upgrade_progress &r)
{
    fprintf(out, "stage %d (%s), kernel %u of %u bytes, root %u of %u bytes", r.stage,
            stage_text(r.stage), r.kernel_done, r.kernel_total, r.root_done, r.root_total);
    if (r.stage == UPGRADE_STAGE_FAILED)
        print_failure(out, ", result ", failure_code(r));
    else
        fprintf(out, ", %d%% of the whole run\n", fwtool_overall_percent(r));
}

void fwtool_progress_json(json_writer *w, const upgrade_progress &r)
{
    const bool failed = r.stage == UPGRADE_STAGE_FAILED;

    json_int(w, "stage", r.stage);
    json_string(w, "stage_name", stage_text(r.stage));
    json_int(w, "kernel_done", r.kernel_done);
    json_int(w, "kernel_total", r.kernel_total);
    json_int(w, "root_done", r.root_done);
    json_int(w, "root_total", r.root_total);
    if (failed) {
        const code_meaning *c = find_code(failure_code(r));
        json_null(w, "percent");
        json_null(w, "overall_percent");
        json_int(w, "code", failure_code(r));
        json_string(w, "code_name", c != nullptr ? c->name : nullptr);
        json_string(w, "meaning", c != nullptr ? c->meaning : nullptr);
    } else {
        json_int(w, "percent", r.percent);
        json_int(w, "overall_percent", fwtool_overall_percent(r));
    }
}

int fwtool_progress_snapshot(upgrade_progress *out, char *why, size_t why_len)
{
    segment seg;

    switch (open_segment(&seg, why, why_len)) {
    case OPEN_ABSENT:
        return PROGRESS_ABSENT;
    case OPEN_ERROR:
        return PROGRESS_UNREADABLE;
    case OPEN_OK:
        break;
    }
    *out = read_record(seg);
    close_segment(&seg);
    return PROGRESS_READ_OK;
}

int fwtool_progress(int argc, char **argv)
{
    bool watching = false, timed = false, json = false;
    double timeout = kDefaultTimeout;

    for (int i = 1; i < argc; i++) {
        if (fwtool_is_help(argv[i])) {
            fputs(kUsage, stdout);
            return FWTOOL_OK;
        }
    }
    for (int i = 1; i < argc; i++) {
        const char *a = argv[i];
        if (strcmp(a, "--watch") == 0) {
            watching = true;
        } else if (strcmp(a, "--json") == 0) {
            json = true;
        } else if (strcmp(a, "--timeout") == 0 || strncmp(a, "--timeout=", 10) == 0) {
            const char *v = a[9] == '=' ? a + 10 : (i + 1 < argc ? argv[++i] : nullptr);
            if (v == nullptr || !parse_timeout(v, &timeout)) {
                fprintf(stderr,
                        "fwtool progress: --timeout needs a number of seconds above 0 and at "
                        "most 86400\n");
                return FWTOOL_USAGE;
            }
            timed = true;
        } else {
            fprintf(stderr, "fwtool progress: unexpected argument '%s'\n", a);
            fputs(kUsage, stderr);
            return FWTOOL_USAGE;
        }
    }
    if (timed && !watching) {
        fprintf(stderr, "fwtool progress: --timeout applies only with --watch\n");
        return FWTOOL_USAGE;
    }
    return watching ? watch(timeout, json) : show_once(json);
}
