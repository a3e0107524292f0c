// SPDX-License-Identifier: MIT
// Stand-in for the platform's event library on the simulated device: each event becomes one
// line of $FWUP_SYSROOT/var/log/evt.log, so tests and the demo can see what was logged.
#include <cstdio>
#include <cstdlib>
#include <string>

extern "C" __attribute__((visibility("default"))) int Evt_log_event(int a, int b, int c, int d)
{
    const char *root = getenv("FWUP_SYSROOT");
    std::string path = std::string(root != nullptr ? root : "") + "/var/log/evt.log";
    FILE *f = fopen(path.c_str(), "a");

    if (f != nullptr) {
        fprintf(f, "%d 0x%x %d %d\n", a, b, c, d);
        fclose(f);
    }
    return 0;
}
