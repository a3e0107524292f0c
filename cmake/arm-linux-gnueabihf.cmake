# SPDX-License-Identifier: MIT
# ARMv7 with hardware floating point, little-endian (Debian's armhf toolchain by default).
# Usage: cmake -DCMAKE_TOOLCHAIN_FILE=cmake/arm-linux-gnueabihf.cmake
#        [-DFWUP_CROSS_PREFIX=<sdk>/bin/<triplet>-] [-DFWUP_CROSS_SYSROOT=<sdk sysroot>]
set(FWUP_ARM_DEFAULT_PREFIX arm-linux-gnueabihf-)
set(FWUP_ARM_FLAGS "-march=armv7-a+fp -mfloat-abi=hard")
include(${CMAKE_CURRENT_LIST_DIR}/arm-linux-common.cmake)
