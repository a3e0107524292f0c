#include "fwtool.h"

#include <cstdio>

// Placeholder until the progress commands are built.
int fwtool_progress(int argc, char **argv)
{
    (void)argc;
    (void)argv;
    fprintf(stderr, "fwtool progress: not available yet\n");
    return FWTOOL_USAGE;
}
