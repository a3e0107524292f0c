# SPDX-License-Identifier: MIT
# Thin wrappers over the CMake presets. `make demo` runs the tool on a simulated device,
# `make test` builds and runs every test. `make test-arm` does the same for the 32-bit ARM
# targets under qemu-arm, `make size` shows what the device program costs there and
# `make package-arm` makes the controller's Debian packages and tarballs, `make package` the
# host's package.
.PHONY: all build demo test clean

all: build

# What each entry point needs from Debian's packages, as items of scripts/prereqs.sh (its header
# says how to write one: a package, and the command or file that shows it is there). Every entry
# point checks BUILD_PACKAGES with its own list in one call. ALL_PACKAGES gathers every list for
# the proof that each check fails when its tool is absent (FRESH_TARGETS=test-prereqs in
# mk/fresh.mk); a new list is added to it.
BUILD_PACKAGES := g++=@c++17 gcc=cc cmake=@cmake-3.20 make=make \
    libgtest-dev=/usr/include/gtest/gtest.h tar=tar gzip=gzip dpkg-dev=dpkg-shlibdeps \
    libsodium-dev=/usr/include/sodium.h libssl-dev=/usr/include/openssl/sha.h openssl=openssl
ALL_PACKAGES = $(BUILD_PACKAGES) $(ARM_PACKAGES)

.PHONY: prereqs
prereqs:
	@scripts/prereqs.sh $(BUILD_PACKAGES)

build: prereqs
	cmake --preset default
	cmake --build --preset default

demo: build
	@scripts/demo.sh build

test: build
	ctest --preset default

# 32-bit ARM: arm-gnueabi is the controller (ARMv5TE, soft float), arm-gnueabihf an ARMv7
# hard-float build. Cross compilers, qemu-user and the GoogleTest sources are Debian packages.
ARM_TARGETS := arm-gnueabi arm-gnueabihf
ARM_PACKAGES := g++-arm-linux-gnueabi=arm-linux-gnueabi-g++ \
    g++-arm-linux-gnueabihf=arm-linux-gnueabihf-g++ qemu-user=qemu-arm \
    googletest=/usr/src/googletest/googletest/CMakeLists.txt binutils=readelf \
    autoconf=autoreconf automake=automake libtool=libtoolize
# The stripped device program, libsodium linked in, must fit in 96 KiB on the controller.
ARM_SIZE_LIMIT := 98304

.PHONY: prereqs-arm build-arm test-arm size package-arm arm-size-report

prereqs-arm:
	@scripts/prereqs.sh $(BUILD_PACKAGES) $(ARM_PACKAGES)

# Configures one ARM preset with the static libsodium that scripts/build-sodium.sh builds once
# from Debian's source (kept in /var/cache/fwupgrade-sodium, outside the clone).
arm-configure = { root=$$(scripts/build-sodium.sh $(ARM_DEB_ARCH_$(1))) || exit 1; \
    cmake --preset $(1) -DFWUP_SODIUM_ROOT="$$root"; }

build-arm: prereqs-arm
	@set -e; $(foreach t,$(ARM_TARGETS),$(call arm-configure,$(t)); cmake --build --preset $(t);)

# Both suites run even when the first fails, so one run shows every failure.
test-arm: build-arm
	@rc=0; for t in $(ARM_TARGETS); do \
	    echo "== $$t: tests under qemu-arm"; \
	    ctest --preset $$t || rc=1; \
	done; \
	$(MAKE) --no-print-directory arm-size-report || rc=1; \
	exit $$rc

size: build-arm
	@$(MAKE) --no-print-directory arm-size-report

# Installs each target stripped into build-<target>/stage (prefix /usr, as on the controller)
# and checks the program there: its size and the shared libraries it needs.
arm-size-report:
	@rc=0; for t in $(ARM_TARGETS); do \
	    stage=$(CURDIR)/build-$$t/stage; rm -rf "$$stage"; \
	    DESTDIR="$$stage" cmake --install build-$$t --prefix /usr --strip >/dev/null || exit 1; \
	    exe=$$stage/usr/sbin/fwupgrade; \
	    size=$$(stat -c %s "$$exe"); \
	    needed=$$(readelf -d "$$exe" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p' | paste -sd ' ' -); \
	    glibc=$$(readelf -V "$$exe" | grep -o 'GLIBC_[0-9][0-9.]*' | sort -uV | tail -n 1); \
	    echo "$$t: fwupgrade $$size bytes stripped; NEEDED: $$needed; newest C library symbol: $$glibc"; \
	    case "$$needed" in *libstdc++*|*libgcc_s*) \
	        echo "$$t: fwupgrade must need nothing but the C library"; rc=1;; esac; \
	    if [ $$t = arm-gnueabi ] && [ $$size -ge $(ARM_SIZE_LIMIT) ]; then \
	        echo "$$t: fwupgrade is over the $(ARM_SIZE_LIMIT)-byte limit"; rc=1; fi; \
	done; exit $$rc

# Each target's Debian package, build-<target>/fwupgrade_<version>_<arch>.deb, installs
# /usr/sbin/fwupgrade and its command links; beside it fwupgrade-<version>-<triplet>.tar.gz holds
# the same two files' worth for a controller without dpkg. `make package` makes the host's
# fwupgrade-tools package in build/. The version is the one the build put into the program
# (cmake/version.cmake); scripts/package.sh says how the packages stay reproducible.
# `make test-package` makes each package twice and checks the copies are identical, their
# metadata and contents, and lintian's verdict.
PACKAGE_PACKAGES := dpkg-dev=dpkg-shlibdeps lintian=lintian
ALL_PACKAGES += $(PACKAGE_PACKAGES)
ARM_DEB_ARCH_arm-gnueabi := armel
ARM_DEB_ARCH_arm-gnueabihf := armhf

.PHONY: package package-host prereqs-package test-package

prereqs-package:
	@scripts/prereqs.sh $(BUILD_PACKAGES) $(ARM_PACKAGES) $(PACKAGE_PACKAGES)

package-arm: prereqs-package build-arm
	@$(foreach t,$(ARM_TARGETS),scripts/package.sh device build-$(t) $(ARM_DEB_ARCH_$(t)) &&) true

package-host: prereqs-package build
	@scripts/package.sh host build

package: package-host

test-package: prereqs-package build build-arm
	@TEST_LINTIAN=1 scripts/test-package.sh host build
	@$(foreach t,$(ARM_TARGETS),TEST_LINTIAN=1 scripts/test-package.sh device build-$(t) $(ARM_DEB_ARCH_$(t)) &&) true

clean:
	rm -rf build build-*

include mk/bench.mk
include mk/hardening.mk
include mk/kernel.mk
include mk/fresh.mk
