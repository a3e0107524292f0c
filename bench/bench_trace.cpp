// SPDX-License-Identifier: MIT
#include "bench_trace.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <utility>

#include "sim_device.h"

namespace fwbench
{

namespace
{

// Index of the first event of `pid` from `from` on whose name is `name` and whose text holds
// every one of `needles`; -1 when there is none.
int find_event(const std::vector<event> &ev, int pid, size_t from, const char *name,
               std::initializer_list<const char *> needles)
{
    for (size_t i = from; i < ev.size(); i++) {
        if (ev[i].pid != pid || ev[i].name != name)
            continue;
        bool all = true;
        for (const char *n : needles)
            all = all && ev[i].text.find(n) != std::string::npos;
        if (all)
            return (int)i;
    }
    return -1;
}

} // namespace

// Reads strace -f -ttt -T output into one event per system call (entry time, duration), with
// the process exits as events named "+++".
std::vector<event> read_trace(const std::string &path)
{
    std::vector<event> out;
    std::string text;
    if (!sim::read_file(path, &text))
        return out;
    std::vector<std::pair<int, size_t>> pending; // pid, index of an unfinished call
    size_t pos = 0;
    while (pos < text.size()) {
        size_t eol = text.find('\n', pos);
        if (eol == std::string::npos)
            eol = text.size();
        std::string line = text.substr(pos, eol - pos);
        pos = eol + 1;
        int pid = 0;
        double ts = 0;
        int used = 0;
        if (sscanf(line.c_str(), "%d %lf %n", &pid, &ts, &used) != 2)
            continue;
        std::string rest = line.substr((size_t)used);
        double dur = 0;
        size_t lt = rest.rfind('<');
        if (lt != std::string::npos && !rest.empty() && rest.back() == '>')
            dur = atof(rest.c_str() + lt + 1);
        if (rest.compare(0, 4, "<...") == 0) {
            // "<... name resumed>": completes the pid's unfinished call
            for (auto it = pending.begin(); it != pending.end(); ++it) {
                if (it->first == pid) {
                    out[it->second].duration = dur;
                    out[it->second].text += rest;
                    pending.erase(it);
                    break;
                }
            }
            continue;
        }
        event e;
        e.pid = pid;
        e.start = ts;
        e.duration = dur;
        e.text = rest;
        e.name = rest.compare(0, 3, "+++") == 0 ? "+++" : rest.substr(0, rest.find('('));
        if (rest.find("<unfinished ...>") != std::string::npos)
            pending.push_back({pid, out.size()});
        out.push_back(e);
    }
    return out;
}

landmarks find_landmarks(const std::vector<event> &ev, const std::string &root,
                         const std::string &kernel, const std::string &rootfs, bool ours)
{
    landmarks m;
    if (ev.empty())
        return m;
    int pid = ev[0].pid;
    int exec = find_event(ev, pid, 0, "execve", {});
    int image = find_event(ev, pid, 0, "openat", {"tmpfs/upgrading/fw.bin"});
    int own = ours ? find_event(ev, pid, 0, "openat", {root.c_str()}) : image;
    int write = find_event(ev, pid, 0, "openat", {kernel.c_str(), "O_RDWR"});
    int verify =
        write < 0 ? -1 : find_event(ev, pid, (size_t)write, "openat", {kernel.c_str(), "O_RDONLY"});
    int verify_root =
        verify < 0 ? -1
                   : find_event(ev, pid, (size_t)verify, "openat", {rootfs.c_str(), "O_RDONLY"});
    int after_image = -1, after_verify = -1;
    for (int i = image + 1; image >= 0 && i < (int)ev.size() && after_image < 0; i++) {
        if (ev[i].pid == pid && (ev[i].name == "openat" || ev[i].name == "clock_nanosleep") &&
            ev[i].text.find("fw.bin") == std::string::npos)
            after_image = i;
    }
    for (int i = verify_root + 1; verify_root >= 0 && i < (int)ev.size() && after_verify < 0; i++) {
        if (ev[i].pid == pid && (ev[i].name == "openat" || ev[i].name == "clock_nanosleep"))
            after_verify = i;
    }
    int pause = find_event(ev, pid, 0, "clock_nanosleep", {});
    int exit = find_event(ev, pid, 0, "exit_group", {});
    int gone = find_event(ev, pid, 0, "+++", {});
    auto at = [&ev](int i) { return i < 0 ? NAN : ev[(size_t)i].start; };
    m.exec = at(exec);
    m.first_own = at(own);
    m.image = at(image);
    m.after_image = at(after_image);
    m.write = at(write);
    m.verify = at(verify);
    m.after_verify = at(after_verify);
    m.pause = at(pause);
    m.pause_end = pause < 0 ? NAN : ev[(size_t)pause].start + ev[(size_t)pause].duration;
    m.exit = at(exit);
    m.gone = at(gone);
    // system(): the spawn of the shell to the end of the wait for it
    for (size_t i = 0; i < ev.size(); i++) {
        if (ev[i].pid != pid ||
            (ev[i].name != "clone3" && ev[i].name != "clone" && ev[i].name != "vfork"))
            continue;
        int w = find_event(ev, pid, i, "wait4", {});
        if (w >= 0) {
            m.shell += ev[(size_t)w].start + ev[(size_t)w].duration - ev[i].start;
            m.shells++;
        }
    }
    return m;
}

} // namespace fwbench
