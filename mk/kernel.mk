# SPDX-License-Identifier: MIT
# The device build on a real ARM Linux kernel with real MTD flash, under qemu-system-arm:
#   make test-kernel         every scenario and power cut (about 20 minutes here)
#   make test-kernel-quick   the bank query, one upgrade and its repeat with the reboot, and two
#                            power cuts: inside a store, and in a payload with the script naming
#                            the bank to write
# The kernel and busybox (Debian armhf packages) are downloaded into a cache outside the clone and
# unpacked under build-kernel/, never installed. kernel/test-kernel.sh says how the guest is put
# together.
# The build's and the ARM builds' packages come with the emulator, dtc and cpio.
KERNEL_PACKAGES := qemu-system-arm=qemu-system-arm device-tree-compiler=dtc cpio=cpio
ALL_PACKAGES += $(KERNEL_PACKAGES)

.PHONY: prereqs-kernel build-kernel-tools test-kernel test-kernel-quick

prereqs-kernel:
	@scripts/prereqs.sh $(BUILD_PACKAGES) $(ARM_PACKAGES) $(KERNEL_PACKAGES)

# Only what the guest and the judge need: the device program, the stand-in event library, the
# progress watcher and the control files' server for the target; kflash and fwtool on the host.
build-kernel-tools: prereqs-kernel
	cmake --preset default >/dev/null
	cmake --build --preset default --target kflash fwtool
	@$(call arm-configure,arm-gnueabi) >/dev/null
	cmake --build --preset arm-gnueabi --target fwupgrade evt kwatch kcontrol

test-kernel: build-kernel-tools
	@$(call arm-configure,arm-gnueabihf) >/dev/null
	cmake --build --preset arm-gnueabihf --target fwupgrade evt
	kernel/test-kernel.sh full

test-kernel-quick: build-kernel-tools
	kernel/test-kernel.sh quick
