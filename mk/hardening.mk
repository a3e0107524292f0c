# SPDX-License-Identifier: MIT
# Hardening: proof that bad input and faults never corrupt memory, flash or the boot choice.
#   make test-sanitize   every test under AddressSanitizer and UndefinedBehaviorSanitizer
#   make fuzz            each libFuzzer target for FUZZ_SECONDS (default 60) from its seeds
#   make lint            the include rules (scripts/check-includes.sh), clang-tidy (.clang-tidy)
#                        and cppcheck on src/ and tools/; groff on the man pages, shellcheck on
#                        the packaging scripts and the completion
#   make memcheck        the end-to-end tests with every fwupgrade-sim run under Valgrind
.PHONY: build-sanitize test-sanitize build-fuzz fuzz lint memcheck prereqs-memcheck

FUZZ_SECONDS ?= 60
FUZZ_TARGETS := fuzz_image fuzz_boot_config fuzz_mtd fuzz_cmdline fuzz_oem_tar fuzz_sig
FUZZ_PACKAGES := clang=clang,clang++ libclang-rt-14-dev
LINT_PACKAGES := clang-format=clang-format clang-tidy=clang-tidy cppcheck=cppcheck groff=groff shellcheck=shellcheck
MEMCHECK_PACKAGES := valgrind=valgrind
ALL_PACKAGES += $(FUZZ_PACKAGES) $(LINT_PACKAGES) $(MEMCHECK_PACKAGES)

build-sanitize: prereqs
	cmake --preset sanitize
	cmake --build --preset sanitize

test-sanitize: build-sanitize
	ctest --preset sanitize

build-fuzz:
	@scripts/prereqs.sh $(BUILD_PACKAGES) $(FUZZ_PACKAGES)
	cmake --preset fuzz
	cmake --build --preset fuzz

# What a run learns goes to a corpus of its own under build-fuzz, so the committed seeds stay as
# they are; a finding is written to build-fuzz/artifacts and fails the target. Every target runs
# even when one finds something.
fuzz: build-fuzz
	@mkdir -p build-fuzz/artifacts build-fuzz/logs; rc=0; \
	for t in $(FUZZ_TARGETS); do \
	    mkdir -p build-fuzz/corpus/$$t; log=build-fuzz/logs/$$t.log; \
	    if build-fuzz/bin/$$t -max_total_time=$(FUZZ_SECONDS) -print_final_stats=1 \
	        -artifact_prefix=build-fuzz/artifacts/$$t- build-fuzz/corpus/$$t fuzz/corpus/$$t \
	        >$$log 2>&1; then \
	        echo "$$t: $$(sed -n 's/^stat::number_of_executed_units: *//p' $$log) runs in $(FUZZ_SECONDS) s, no finding"; \
	    else \
	        tail -n 40 $$log; echo "$$t: FINDING (log: $$log)"; rc=1; \
	    fi; \
	done; exit $$rc

# Both tools read the compile commands of the default build (LINT_PRESET picks another), so they
# see the flags the code is built with. Test code is left out: it is held to the compiler's
# warnings only. The clang-tidy checks, and why, are in .clang-tidy. cppcheck's style findings
# that contradict the house style are suppressed: C casts (plain procedural C++ over malloc'd
# bytes), STL algorithms instead of loops (the device code uses no std library), and narrower
# variable scopes (handles are declared at the top, set to sentinels, for the one exit path).
LINT_SOURCES = $(wildcard src/*.cpp tools/*.cpp)
LINT_PRESET ?= default
LINT_DIR = $(if $(filter default,$(LINT_PRESET)),build,build-$(LINT_PRESET))

lint:
	@scripts/prereqs.sh $(BUILD_PACKAGES) $(LINT_PACKAGES)
	@cmake --preset $(LINT_PRESET) >/dev/null
	@# The sources include the generated version header, which a clean clone has not built yet.
	@cmake --build $(LINT_DIR) --target fw_version_header >/dev/null
	@# Every C++ source and header the project tracks, in the project's .clang-format style.
	git ls-files '*.cpp' '*.h' | xargs clang-format --dry-run --Werror
	scripts/check-includes.sh
	clang-tidy -p $(LINT_DIR) --quiet $(LINT_SOURCES)
	cppcheck --project=$(LINT_DIR)/compile_commands.json --file-filter='src/*' --file-filter='tools/*' \
	    --enable=warning,style,performance,portability --std=c++17 --inline-suppr \
	    --error-exitcode=1 --quiet --suppress=missingIncludeSystem \
	    --suppress=cstyleCast --suppress=useStlAlgorithm --suppress=variableScope
	@# The man pages: any warning of groff's (bad requests, fonts, lines it cannot fill) fails.
	@for page in man/*.[0-9]; do \
	    out=$$(groff -ww -man -z "$$page" 2>&1) || exit 1; \
	    if [ -n "$$out" ]; then echo "$$out"; exit 1; fi; \
	done
	shellcheck -s bash tools/fwtool-completion.bash scripts/package.sh scripts/test-package.sh \
	    scripts/test-install.sh scripts/check-includes.sh scripts/build-sodium.sh

# Valgrind is checked before the build, so that a user without root is given one command.
memcheck: prereqs-memcheck build
	scripts/memcheck.sh build

prereqs-memcheck:
	@scripts/prereqs.sh $(BUILD_PACKAGES) $(MEMCHECK_PACKAGES)
