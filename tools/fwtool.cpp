#include "fwtool.h"

#include <cstdio>
#include <cstring>

namespace
{

struct family {
    const char *name;
    int (*run)(int argc, char **argv);
    const char *summary;
};

const family g_families[] = {
    {"image", fwtool_image, "create and inspect firmware images"},
    {"sandbox", fwtool_sandbox, "create, stage and reboot simulated devices"},
    {"progress", fwtool_progress, "show the upgrade's shared-memory progress record"},
};

void usage(FILE *out)
{
    fprintf(out, "usage: fwtool <command> [args]\n\ncommands:\n");
    for (const family &f : g_families)
        fprintf(out, "  %-9s %s\n", f.name, f.summary);
    fprintf(out, "\n'fwtool <command> --help' describes each command.\n");
}

} // namespace

bool fwtool_is_help(const char *arg)
{
    return strcmp(arg, "--help") == 0 || strcmp(arg, "-h") == 0;
}

int main(int argc, char **argv)
{
    if (argc < 2) {
        usage(stderr);
        return FWTOOL_USAGE;
    }
    if (fwtool_is_help(argv[1])) {
        usage(stdout);
        return FWTOOL_OK;
    }
    for (const family &f : g_families) {
        if (strcmp(argv[1], f.name) == 0)
            return f.run(argc - 1, argv + 1);
    }
    fprintf(stderr, "fwtool: unknown command '%s'\n", argv[1]);
    usage(stderr);
    return FWTOOL_USAGE;
}
