# SPDX-License-Identifier: MIT
# `make test-fresh`: the README's two commands, as a newcomer runs them, in a fresh minimal Debian
# root (debootstrap --variant=minbase, plus git and make) with a clone of the committed tree.
# Root only; it reaches nothing but the Debian mirror. Too slow for CI (a few minutes for the
# root the first time, then the build and the whole suite); run it when what the entry points
# install changes. Settings (see scripts/test-fresh.sh):
#   FRESH_TARGETS    the make targets run in the root, in order (default: demo test); any entry
#                    point, or test-prereqs: the proof that every check of scripts/prereqs.sh
#                    fails when its tool is absent, over ALL_PACKAGES
#   FRESH_MIRROR     Debian mirror (default: the one /etc/apt/sources.list* names for the suite)
#   FRESH_SUITE      Debian release (default: bookworm)
#   FRESH_MAKE_ARGS  variables for every make in the root, e.g. FRESH_MAKE_ARGS=FUZZ_SECONDS=5
#   FRESH_KEEP=1     keep the root (build-fresh/root) for a look inside
.PHONY: test-fresh test-prereqs

FRESH_TARGETS ?= demo test
# The entry points a user reaches from the README; test-prereqs runs each without root.
ENTRY_POINTS := demo test test-sanitize test-arm size package-arm bench fuzz lint memcheck \
    test-kernel test-kernel-quick
FRESH_PACKAGES := debootstrap=debootstrap git=git util-linux=unshare,flock,findmnt tar=tar
ALL_PACKAGES += $(FRESH_PACKAGES)

test-fresh:
	@scripts/prereqs.sh $(FRESH_PACKAGES)
	@FRESH_MIRROR='$(FRESH_MIRROR)' FRESH_SUITE='$(FRESH_SUITE)' \
	    FRESH_MAKE_ARGS='$(FRESH_MAKE_ARGS)' FRESH_KEEP='$(FRESH_KEEP)' \
	    scripts/test-fresh.sh $(FRESH_TARGETS)

# Hides and reinstalls tools, so it refuses to run anywhere but in a root made by test-fresh.
test-prereqs:
	@ENTRY_POINTS='$(ENTRY_POINTS)' scripts/test-prereqs.sh $(ALL_PACKAGES)
