# SPDX-License-Identifier: MIT
# `make bench`: the benchmarks, built in release mode, one table printed and the same written to
# build-release/bench/results.json. OpenSSL's libcrypto (libssl-dev) is the MD5, SHA-256 and
# Ed25519 yardstick, the openssl command part of the image-create and signed-upgrade yardsticks,
# and strace times the upgrade's phases; all are needed for the benchmarks only.
BENCH_PACKAGES := libssl-dev openssl=openssl strace=strace
ALL_PACKAGES += $(BENCH_PACKAGES)

.PHONY: prereqs-bench bench

prereqs-bench:
	@scripts/prereqs.sh $(BUILD_PACKAGES) $(BENCH_PACKAGES)

bench: prereqs-bench
	cmake --preset release
	cmake --build --preset release --target fwbench
	build-release/bin/fwbench
