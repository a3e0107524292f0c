#include "fwtool.h"

#include <cstdio>

// Placeholder until the image commands are built.
int fwtool_image(int argc, char **argv)
{
    (void)argc;
    (void)argv;
    fprintf(stderr, "fwtool image: not available yet\n");
    return FWTOOL_USAGE;
}
