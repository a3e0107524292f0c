#include "fwtool.h"

#include <cstdio>

// Placeholder until the sandbox commands are built.
int fwtool_sandbox(int argc, char **argv)
{
    (void)argc;
    (void)argv;
    fprintf(stderr, "fwtool sandbox: not available yet\n");
    return FWTOOL_USAGE;
}
