# SPDX-License-Identifier: MIT
# Controller: ARMv5TE, soft float, little-endian (Debian's armel toolchain by default).
# Usage: cmake -DCMAKE_TOOLCHAIN_FILE=cmake/arm-linux-gnueabi.cmake
#        [-DFWUP_CROSS_PREFIX=<sdk>/bin/<triplet>-] [-DFWUP_CROSS_SYSROOT=<sdk sysroot>]
set(FWUP_ARM_DEFAULT_PREFIX arm-linux-gnueabi-)
set(FWUP_ARM_FLAGS "-march=armv5te -mfloat-abi=soft")
include(${CMAKE_CURRENT_LIST_DIR}/arm-linux-common.cmake)
