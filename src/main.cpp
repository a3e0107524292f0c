// SPDX-License-Identifier: MIT
#include "upgrade.h"

int main(int argc, char **argv)
{
    return fwupgrade_main(argc, argv);
}
