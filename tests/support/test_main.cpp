// SPDX-License-Identifier: MIT
// Test entry: a private System V IPC namespace where the system allows one, so that tests which
// use the fixed progress-record key never meet another run's segment.
#include <gtest/gtest.h>

#include <sched.h>

int main(int argc, char **argv)
{
    (void)unshare(CLONE_NEWIPC);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
