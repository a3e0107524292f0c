// SPDX-License-Identifier: MIT
// fwtool progress: reads the upgrade's shared-memory progress record, once or following a run.
// The record is only ever attached read-only; this command never creates or changes it.
#include "fwtool.h"

#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <sys/ioctl.h>
#include <sys/ipc.h>
#include <sys/shm.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include "platform.h"
#include "sim_device.h"
#include "progress.h"

namespace
{

const double kDefaultTimeout = 120.0; // seconds; a watch always ends by itself
const double kMaxTimeout = 86400.0;
const long kPollNanos = 20 * 1000 * 1000;
const int kBarWidth = 30;
const int kMinBarWidth = 10;                    // narrower than this, the bar is left out
const int kDefaultColumns = 80;                 // when the terminal does not say
const int kLockPollEvery = 10;                  // polls between two looks at the upgrade lock
const char kLockPartition[] = "RedBoot config"; // the upgrade holds its character device
const char kSysrootEnv[] = "FWUP_SYSROOT";
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
    "comparing as its second, by bytes. On a terminal --watch redraws one line over the whole\n"
    "run, cut to the terminal's width; otherwise it prints a line with the percent at each stage\n"
    "and every 10 percent. A run whose program died (the record is not final and no upgrade\n"
    "holds the lock) is reported as interrupted, with exit status 1; a watch ends on it.\n"
    "\n"
    "With FWUP_SYSROOT naming a sandbox, the record and the lock are that simulated device's.\n"
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

key_t progress_key(const char *root)
{
    return (key_t)fwtool_progress_key(root);
}

// Attaches the record read-only. OPEN_ERROR comes with its one-line reason in `why`.
open_result open_segment(const char *root, segment *seg, char *why, size_t why_len)
{
    struct shmid_ds ds;
    const key_t key = progress_key(root);
    int id = shmget(key, 0, 0);

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
                 "%03o); it is not read, and keeps the upgrade from showing its progress until "
                 "'ipcrm -M 0x%x' (as its owner or root) removes it",
                 (unsigned)key, (unsigned)ds.shm_perm.cuid, (unsigned)(ds.shm_perm.mode & 0777),
                 (unsigned)key);
        return OPEN_ERROR;
    }
    if (ds.shm_segsz < sizeof(upgrade_progress)) {
        snprintf(why, why_len,
                 "the segment with key 0x%x holds %zu bytes, not a %zu-byte progress record",
                 (unsigned)key, (size_t)ds.shm_segsz, sizeof(upgrade_progress));
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
open_result open_segment_or_say(const char *root, segment *seg)
{
    char why[384];
    open_result rc = open_segment(root, seg, why, sizeof(why));
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

// Reads the record and judges its run. A run ends by writing its final stage and only then
// letting go of the lock, so a free lock with a record that is still not final, the same before
// and after the look, means the run died; a run that starts meanwhile takes the lock first.
run_state judge_run(const char *root, const segment &seg, upgrade_progress *r)
{
    upgrade_progress before = read_record(seg);

    if (before.stage == UPGRADE_STAGE_DONE || before.stage == UPGRADE_STAGE_FAILED) {
        *r = before;
        return before.stage == UPGRADE_STAGE_DONE ? RUN_DONE : RUN_FAILED;
    }
    const bool free = fwtool_upgrade_running(root) == 0;
    *r = read_record(seg);
    if (r->stage == UPGRADE_STAGE_DONE)
        return RUN_DONE;
    if (r->stage == UPGRADE_STAGE_FAILED)
        return RUN_FAILED;
    return free && same_record(before, *r) ? RUN_INTERRUPTED : RUN_GOING;
}

const char *state_name(run_state state)
{
    switch (state) {
    case RUN_GOING:
        return "running";
    case RUN_DONE:
        return "done";
    case RUN_FAILED:
        return "failed";
    case RUN_INTERRUPTED:
        return "interrupted";
    }
    return "running";
}

void print_interrupted(FILE *out, const char *lead, const upgrade_progress &r)
{
    fprintf(out,
            "%sinterrupted in stage %d (%s): no upgrade holds the lock, so the run's program "
            "ended (killed, or the power went) before it finished\n",
            lead, r.stage, stage_text(r.stage));
}

void print_record(const upgrade_progress &r, run_state state)
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
    if (state == RUN_INTERRUPTED)
        print_interrupted(stdout, "result:  ", r);
}

void print_json(const upgrade_progress &r, run_state state)
{
    json_writer w;
    json_begin(&w, stdout);
    fwtool_progress_json(&w, r, state);
    json_finish(&w);
}

int show_once(bool json)
{
    const char *root = fwtool_progress_root();
    segment seg;
    upgrade_progress r;

    switch (open_segment_or_say(root, &seg)) {
    case OPEN_ABSENT:
        fprintf(stderr, "fwtool progress: no progress record (no upgrade has run since the "
                        "system started)\n");
        return FWTOOL_FAILED;
    case OPEN_ERROR:
        return FWTOOL_USAGE;
    case OPEN_OK:
        break;
    }
    run_state state = judge_run(root, seg, &r);
    close_segment(&seg);
    if (json)
        print_json(r, state);
    else
        print_record(r, state);
    return state == RUN_INTERRUPTED ? FWTOOL_FAILED : FWTOOL_OK;
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

int terminal_columns()
{
    struct winsize ws;
    if (ioctl(STDOUT_FILENO, TIOCGWINSZ, &ws) == 0 && ws.ws_col > 0)
        return ws.ws_col;
    return kDefaultColumns;
}

// Redraws the one line in place. It stays short of the last column: a terminal that wraps
// there would move the next redraw down a line.
void redraw(const char *text)
{
    const int room = terminal_columns() - 1;
    printf("\r%.*s\033[K", room > 0 ? room : 0, text);
    fflush(stdout);
}

} // namespace

// The bar line in `columns`: a bar over the whole run, the percent, the stage and the byte
// counts; detail goes first, then the bar narrows, then it goes, so that the line never wraps.
void fwtool_bar_line(char *out, size_t len, int columns, int percent, const upgrade_progress &r)
{
    const int room = columns - 1;
    const char *stage = stage_text(r.stage);
    char head[64], detail[96], bar[kBarWidth + 1];

    snprintf(head, sizeof(head), "%3d%% %s", percent, stage);
    snprintf(detail, sizeof(detail), "kernel %u/%u root %u/%u", r.kernel_done, r.kernel_total,
             r.root_done, r.root_total);
    const int head_len = (int)strlen(head);
    const int stage_pad = 16 - (int)strlen(stage) > 0 ? 16 - (int)strlen(stage) : 0;
    const int full = 2 + kBarWidth + 1 + head_len + stage_pad + 1 + (int)strlen(detail);
    int width = full <= room ? kBarWidth : room - 3 - head_len;
    if (width > kBarWidth)
        width = kBarWidth;
    if (width < kMinBarWidth)
        width = 0;
    int fill = percent * width / kPercentScale;
    for (int i = 0; i < width; i++)
        bar[i] = i < fill ? '#' : '-';
    bar[width] = '\0';
    if (full <= room)
        snprintf(out, len, "[%s] %s%*s %s", bar, head, stage_pad, "", detail);
    else if (width > 0)
        snprintf(out, len, "[%s] %s", bar, head);
    else
        snprintf(out, len, "%s", head);
    if (room >= 0 && (size_t)room < len)
        out[room] = '\0';
}

namespace
{

void draw_bar(const watch_view &v, const upgrade_progress &r)
{
    char line[256];
    fwtool_bar_line(line, sizeof(line), terminal_columns(), v.percent, r);
    redraw(line);
}

// Shows one reading of the record of the run being followed, in the watch's form.
void show_reading(watch_view *v, const upgrade_progress &r)
{
    bool changed = !v->shown || !same_record(r, v->last);
    int pct = fwtool_overall_percent(r);

    // Stages only go forward within a run: one that goes back, or a running stage after a
    // final one, is a new run, drawn from its own start.
    if (v->shown && r.stage != UPGRADE_STAGE_FAILED &&
        (r.stage < v->last.stage || is_final(v->last.stage))) {
        v->percent = 0;
        v->line_step = -1;
    }
    if (pct > v->percent)
        v->percent = pct;
    switch (v->how) {
    case OUT_BAR:
        if (changed)
            draw_bar(*v, r);
        break;
    case OUT_JSON:
        if (changed)
            print_json(r, r.stage == UPGRADE_STAGE_DONE     ? RUN_DONE
                          : r.stage == UPGRADE_STAGE_FAILED ? RUN_FAILED
                                                            : RUN_GOING);
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
    const char *root = fwtool_progress_root();
    watch_view view;
    segment seg;
    upgrade_progress base{}, r{};
    bool have_base = false, fresh = false, begun = false, done = false, interrupted = false;

    view.how = json ? OUT_JSON : (isatty(STDOUT_FILENO) != 0 ? OUT_BAR : OUT_LINES);
    switch (open_segment_or_say(root, &seg)) {
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
    if (view.how == OUT_BAR)
        redraw("waiting for an upgrade run...");
    for (int poll = 0; !done; poll++) {
        int id = shmget(UPGRADE_PROGRESS_KEY, 0, 0);
        if (id >= 0 && id != seg.id) {
            // A segment other than the one seen at the start belongs to a new run.
            close_segment(&seg);
            if (open_segment_or_say(root, &seg) == OPEN_ERROR)
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
            // A dead run is told at once, then every few polls: its record stays as it was.
            if (!is_final(r.stage) && (poll == 0 || poll % kLockPollEvery == 0) &&
                judge_run(root, seg, &r) == RUN_INTERRUPTED)
                begun = interrupted = true;
            if (begun) {
                show_reading(&view, r);
                done = is_final(r.stage) || interrupted;
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
            printf("no upgrade run %s within %g second%s\n", begun ? "ended" : "started", timeout,
                   timeout == 1.0 ? "" : "s");
            fflush(stdout);
        }
        return FWTOOL_FAILED;
    }
    if (interrupted) {
        if (json)
            print_json(r, RUN_INTERRUPTED);
        else
            print_interrupted(stdout, "upgrade ", r);
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

void fwtool_progress_summary(FILE *out, const upgrade_progress &r, run_state state)
{
    fprintf(out, "stage %d (%s), kernel %u of %u bytes, root %u of %u bytes", r.stage,
            stage_text(r.stage), r.kernel_done, r.kernel_total, r.root_done, r.root_total);
    if (r.stage == UPGRADE_STAGE_FAILED)
        print_failure(out, ", result ", failure_code(r));
    else if (state == RUN_INTERRUPTED)
        fprintf(out, ", interrupted at %d%% of the whole run (no upgrade holds the lock)\n",
                fwtool_overall_percent(r));
    else
        fprintf(out, ", %d%% of the whole run\n", fwtool_overall_percent(r));
}

void fwtool_progress_json(json_writer *w, const upgrade_progress &r, run_state state)
{
    const bool failed = r.stage == UPGRADE_STAGE_FAILED;

    json_int(w, "stage", r.stage);
    json_string(w, "stage_name", stage_text(r.stage));
    json_string(w, "state", state_name(state));
    json_int(w, "kernel_done", r.kernel_done);
    json_int(w, "kernel_total", r.kernel_total);
    json_int(w, "root_done", r.root_done);
    json_int(w, "root_total", r.root_total);
    if (failed) {
        const code_meaning *c = find_code(failure_code(r));
        json_null(w, "stage_percent");
        json_null(w, "run_percent");
        json_int(w, "code", failure_code(r));
        json_string(w, "code_name", c != nullptr ? c->name : nullptr);
        json_string(w, "meaning", c != nullptr ? c->meaning : nullptr);
    } else {
        json_int(w, "stage_percent", r.percent);
        json_int(w, "run_percent", fwtool_overall_percent(r));
    }
}

int fwtool_progress_snapshot(const char *root, upgrade_progress *out, run_state *state, char *why,
                             size_t why_len)
{
    segment seg;

    switch (open_segment(root, &seg, why, why_len)) {
    case OPEN_ABSENT:
        return PROGRESS_ABSENT;
    case OPEN_ERROR:
        return PROGRESS_UNREADABLE;
    case OPEN_OK:
        break;
    }
    *state = judge_run(root, seg, out);
    close_segment(&seg);
    return PROGRESS_READ_OK;
}

unsigned fwtool_progress_key(const char *root)
{
    char path[PATH_MAX], text[32] = {};
    unsigned key = 0;

    if (root[0] == '\0' ||
        snprintf(path, sizeof(path), "%s%s", root, g_sim_key_file) >= (int)sizeof(path))
        return UPGRADE_PROGRESS_KEY;
    FILE *f = fopen(path, "r");
    if (f == nullptr)
        return UPGRADE_PROGRESS_KEY;
    size_t n = fread(text, 1, sizeof(text) - 1, f);
    fclose(f);
    text[n] = '\0';
    return sscanf(text, "0x%x", &key) == 1 && key != 0 ? key : (unsigned)UPGRADE_PROGRESS_KEY;
}

const char *fwtool_progress_root(void)
{
    const char *root = getenv(kSysrootEnv);
    return root != nullptr && root[0] != '\0' && fwtool_is_sandbox(root) ? root : "";
}

// The one place that knows what the upgrade's lock is. The kernel's table of file locks tells
// whether an upgrade holds it, without taking it: a probe that held the lock even for a moment
// would turn a starting upgrade away or make it wait.
int fwtool_upgrade_running(const char *root)
{
    char path[PATH_MAX], line[256];
    struct stat st;
    std::string table;

    // No partition table or no configuration partition: no upgrade can hold the lock either.
    if (!sim::read_file(std::string(root) + "/proc/mtd", &table))
        return 0;
    int index = sim::mtd_index(table, kLockPartition);
    if (index < 0)
        return 0;
    if (snprintf(path, sizeof(path), "%s/dev/mtd%d", root, index) >= (int)sizeof(path))
        return -1;
    if (stat(path, &st) != 0)
        return errno == ENOENT ? 0 : -1;
    FILE *locks = fopen("/proc/locks", "r");
    if (locks == nullptr)
        return -1;
    int held = 0;
    // "1: FLOCK  ADVISORY  WRITE 1234 08:01:5678 0 EOF"; waiters ("1: -> FLOCK ...") hold nothing.
    while (held == 0 && fgets(line, sizeof(line), locks) != nullptr) {
        char kind[16], mode[16], access[16];
        unsigned maj = 0, min = 0;
        unsigned long ino = 0;
        long pid = 0;
        if (sscanf(line, "%*d: %15s %15s %15s %ld %x:%x:%lu", kind, mode, access, &pid, &maj, &min,
                   &ino) == 7 &&
            strcmp(kind, "FLOCK") == 0 && strcmp(access, "WRITE") == 0 && ino == st.st_ino &&
            maj == major(st.st_dev) && min == minor(st.st_dev))
            held = 1;
    }
    fclose(locks);
    return held;
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
                fwtool_usage_error("progress",
                                   "--timeout needs a number of seconds above 0 and at most 86400");
                return FWTOOL_USAGE;
            }
            timed = true;
        } else {
            fwtool_usage_error("progress", "unexpected argument '%s'", a);
            return FWTOOL_USAGE;
        }
    }
    if (timed && !watching) {
        fwtool_usage_error("progress", "--timeout applies only with --watch");
        return FWTOOL_USAGE;
    }
    return watching ? watch(timeout, json) : show_once(json);
}
