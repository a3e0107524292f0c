# SPDX-License-Identifier: MIT
# Shared part of the 32-bit ARM toolchain files. The including file sets
#   FWUP_ARM_DEFAULT_PREFIX  compiler prefix of the Debian cross toolchain ("arm-linux-gnueabi-")
#   FWUP_ARM_FLAGS           code generation flags of the controller's ABI
# The cache variables let a team point the build at the controller's own SDK instead:
#   FWUP_CROSS_PREFIX   compiler prefix, with a directory if the tools are not on PATH
#                       (e.g. /opt/sdk/bin/arm-linux-gnueabi-)
#   FWUP_CROSS_SYSROOT  the SDK's target root file system, passed to the compiler as --sysroot
# Programs built for the target run under qemu-arm with the target's library root, so the tests
# need no binfmt registration.

set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR arm)

set(FWUP_CROSS_PREFIX "${FWUP_ARM_DEFAULT_PREFIX}"
    CACHE STRING "Cross compiler prefix, e.g. /opt/sdk/bin/arm-linux-gnueabi-")
set(FWUP_CROSS_SYSROOT "" CACHE PATH "Target sysroot (empty: the toolchain's own)")

# try_compile projects read the toolchain file again without the cache.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES FWUP_CROSS_PREFIX FWUP_CROSS_SYSROOT)

set(CMAKE_C_COMPILER "${FWUP_CROSS_PREFIX}gcc")
set(CMAKE_CXX_COMPILER "${FWUP_CROSS_PREFIX}g++")
set(CMAKE_C_FLAGS_INIT "${FWUP_ARM_FLAGS}")
# -Wno-psabi: GCC notes each std::vector iterator passed by value that GCC 7 passed differently
# on ARM; everything here is built by one compiler.
set(CMAKE_CXX_FLAGS_INIT "${FWUP_ARM_FLAGS} -Wno-psabi")

if(FWUP_CROSS_SYSROOT)
    # CMake passes CMAKE_SYSROOT to the compiler as --sysroot and searches it for packages.
    set(CMAKE_SYSROOT "${FWUP_CROSS_SYSROOT}")
    set(fwup_target_root "${FWUP_CROSS_SYSROOT}")
else()
    # Debian's cross toolchains keep the target's C library under /usr/<triplet>.
    string(REGEX REPLACE "-$" "" fwup_triplet "${FWUP_ARM_DEFAULT_PREFIX}")
    set(fwup_target_root "/usr/${fwup_triplet}")
    list(APPEND CMAKE_FIND_ROOT_PATH "${fwup_target_root}")
endif()

# Headers and libraries come from the target only; build tools from the host.
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

find_program(FWUP_QEMU_ARM NAMES qemu-arm qemu-arm-static NO_CMAKE_FIND_ROOT_PATH)
if(NOT FWUP_QEMU_ARM)
    set(FWUP_QEMU_ARM qemu-arm)
endif()
# -L: the target's dynamic loader and libraries come from its root, not the host's.
set(CMAKE_CROSSCOMPILING_EMULATOR "${FWUP_QEMU_ARM};-L;${fwup_target_root}")

# Under user-mode emulation on a 64-bit host, ext4 hands out 64-bit directory offsets that a
# 32-bit readdir() cannot return (EOVERFLOW), so the emulated programs keep their temporary
# files on tmpfs, whose offsets are small, as on the controller's own file systems.
set(FWUP_EMULATOR_TMPDIR "/dev/shm" CACHE PATH "TMPDIR of emulated programs (tmpfs; empty: keep)")
if(FWUP_EMULATOR_TMPDIR)
    list(APPEND CMAKE_CROSSCOMPILING_EMULATOR -E "TMPDIR=${FWUP_EMULATOR_TMPDIR}")
endif()
