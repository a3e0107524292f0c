# SPDX-License-Identifier: MIT
# Hardening builds: the sanitizer configuration (preset "sanitize") and the libFuzzer targets
# (preset "fuzz"). Included at the end of the top-level list file, once every target exists.

option(FWUP_SANITIZE "Build everything under AddressSanitizer and UndefinedBehaviorSanitizer" OFF)
option(FWUP_FUZZ "Build the libFuzzer targets under fuzz/ (needs clang)" OFF)

# Every target of `dir` and of the directories below it.
function(fw_collect_targets dir out)
    get_property(targets DIRECTORY ${dir} PROPERTY BUILDSYSTEM_TARGETS)
    get_property(subdirs DIRECTORY ${dir} PROPERTY SUBDIRECTORIES)
    foreach(sub ${subdirs})
        fw_collect_targets(${sub} sub_targets)
        list(APPEND targets ${sub_targets})
    endforeach()
    set(${out} ${targets} PARENT_SCOPE)
endfunction()

if(FWUP_SANITIZE)
    # Any finding ends the program at once with a report and a non-zero status, so that no test
    # can pass over it. Frame pointers keep the reports' stacks whole.
    set(FW_SANITIZE_FLAGS -fsanitize=address,undefined -fno-sanitize-recover=all
        -fno-omit-frame-pointer)
    # The runtimes are linked into each program: the fault-injection shim is preloaded ahead of
    # everything else, which a shared ASan runtime refuses (it must come first).
    if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
        set(FW_SANITIZE_RUNTIME -static-libasan -static-libubsan)
    else()
        set(FW_SANITIZE_RUNTIME "")
    endif()
    # Left uninstrumented: the libraries that the simulated program preloads (fwfault) or opens
    # (evt). The preloaded shim also reaches every shell and gzip that the upgrade starts, which
    # would refuse an ASan library that is not their first; and neither is code of the tool.
    set(FW_SANITIZE_EXEMPT evt fwfault)
    fw_collect_targets(${PROJECT_SOURCE_DIR} fw_all_targets)
    foreach(t ${fw_all_targets})
        get_target_property(type ${t} TYPE)
        if(t IN_LIST FW_SANITIZE_EXEMPT OR NOT type MATCHES
           "^(EXECUTABLE|STATIC_LIBRARY|OBJECT_LIBRARY|SHARED_LIBRARY|MODULE_LIBRARY)$")
            continue()
        endif()
        set_property(TARGET ${t} APPEND PROPERTY COMPILE_OPTIONS ${FW_SANITIZE_FLAGS})
        if(type STREQUAL "EXECUTABLE")
            set_property(TARGET ${t} APPEND PROPERTY LINK_OPTIONS
                ${FW_SANITIZE_FLAGS} ${FW_SANITIZE_RUNTIME})
        endif()
    endforeach()
endif()

if(FWUP_FUZZ)
    if(NOT CMAKE_CXX_COMPILER_ID MATCHES "Clang")
        message(FATAL_ERROR "FWUP_FUZZ needs clang++ (libFuzzer): -DCMAKE_CXX_COMPILER=clang++")
    endif()
    add_subdirectory(fuzz)
endif()
