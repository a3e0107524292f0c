#!/bin/bash
# SPDX-License-Identifier: MIT
# The include rules that keep the layers apart: each broken rule prints the offending include as
# "file:line: include" with the rule it breaks, and the script fails.
set -u
cd "$(dirname "$0")/.." || exit 1
rc=0

INCLUDE='[[:space:]]*#[[:space:]]*include[[:space:]]*"'

# report RULE: every "file:line:include" line on standard input breaks RULE.
report() {
    local line
    while IFS= read -r line; do
        printf '%s: breaks "%s"\n' "$line" "$1" >&2
        rc=1
    done
}

# forbid RULE PATTERN FILES...: a quoted include in FILES whose name matches PATTERN breaks RULE.
forbid() {
    local rule=$1 pattern=$2
    shift 2
    report "$rule" < <(grep -nHE "^${INCLUDE}(${pattern})\"" "$@" 2>/dev/null)
}

# only RULE ALLOWED FILE...: each of FILES includes nothing but the headers ALLOWED matches.
only() {
    local rule=$1 allowed=$2 f
    shift 2
    for f in "$@"; do
        [ -e "$f" ] || continue
        report "$rule" < <(grep -nHE "^${INCLUDE}" "$f" | grep -vE ":[0-9]+:${INCLUDE}(${allowed})\"")
    done
}

# Pure files stand on nothing above them: the checksums, the byte order, the archive reader, the
# script edits.
only "a pure file includes only its own header" 'crc32\.h' src/crc32.h src/crc32.cpp
only "a pure file includes only its own header" 'md5\.h|byteorder\.h' src/md5.h src/md5.cpp
only "a pure file includes only its own header" '' src/byteorder.h
only "a pure file includes only its own header" 'oem_tar\.h' src/oem_tar.h src/oem_tar.cpp
only "a pure file includes only its own header" 'boot_script\.h|byteorder\.h|crc32\.h' \
    src/boot_script.h src/boot_script.cpp
# The image codec stands on the transfer and the checksums (CRC, MD5, SHA-256), nothing above.
only "the image codec includes nothing above it" 'image\.h|md5\.h|sha256\.h|crc32\.h|byteorder\.h|data\.h|data_blk\.h' \
    src/image.h src/image.cpp
# The transfer knows nothing of payload files, images, the progress record or the upgrade: it
# counts through the sink its caller hands it.
forbid "data includes no upgrade, data_blk, image or progress" \
    'upgrade[^"]*|data_blk\.h|image[^"]*|progress\.h' src/data.h src/data.cpp
# The upgrade's own files stand beneath the procedure: none reaches back up to it.
forbid "no upgrade_* file includes upgrade.h" 'upgrade\.h' src/upgrade_*.h src/upgrade_*.cpp
# The boot configuration (the script, the block, the bank state, the lock and marker files, the
# partitions) is below every command: it includes none of them, nor the upgrade's files.
forbid "the boot configuration includes no command, upgrade or notification" \
    'upgrade[^"]*|boot_cmd\.h|main[^"]*|report\.h|notify\.h|progress\.h' \
    src/boot_script.* src/rb_config.* src/bank_state.* src/lock_files.* src/mtd_part.*
# The commands are reached only through the dispatch in main.cpp.
below_front=()
for f in src/*.h src/*.cpp; do
    case $f in src/main.cpp | src/upgrade.cpp | src/boot_cmd.cpp) ;; *) below_front+=("$f") ;; esac
done
forbid "only main.cpp includes a command's header" 'upgrade\.h|boot_cmd\.h' "${below_front[@]}"
# The device program never reaches into the host's or the simulator's code.
forbid "src/ includes nothing from sim/ or host/" \
    '(\.\./)*(sim|host)/[^"]*|sim_device\.h|boot_judge\.h|datablk\.h|image_file\.h|boot_wrappers\.h' \
    src/*.h src/*.cpp

# Each header is the contract of one implementation of its name; byteorder.h and paths.h are
# header-only, and platform.h has the device's and the simulator's.
for h in src/*.h; do
    case $h in src/byteorder.h | src/paths.h) continue ;; esac
    base=${h%.h}
    [ "$h" = src/platform.h ] && [ -e sim/platform_sim.cpp ] && [ -e src/platform.cpp ] && continue
    if [ ! -e "$base.cpp" ]; then
        echo "$h: a header without its implementation ($base.cpp)" >&2
        rc=1
    fi
done

# The device program links the device library and its platform, and nothing host-only.
if grep -nE 'FW_CORE_SOURCES[^)]*(sim|host)/' CMakeLists.txt >&2; then
    echo "CMakeLists.txt: the device library lists a sim/ or host/ source" >&2
    rc=1
fi
if ! grep -qE '^add_library\(fwcore STATIC \$<TARGET_OBJECTS:fwcore_objs> src/platform\.cpp\)' \
    CMakeLists.txt; then
    echo "CMakeLists.txt: fwcore must be the device modules and src/platform.cpp only" >&2
    rc=1
fi
if ! grep -qE '^target_link_libraries\(fwupgrade PRIVATE fwcore\)' CMakeLists.txt; then
    echo "CMakeLists.txt: fwupgrade must link fwcore only" >&2
    rc=1
fi

[ $rc -eq 0 ] && echo "include rules: ok"
exit $rc
