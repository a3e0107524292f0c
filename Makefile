# Thin wrappers over the CMake presets. `make demo` runs the tool on a simulated device,
# `make test` builds and runs every test.
.PHONY: all build demo test clean

all: build

.PHONY: prereqs
prereqs:
	@scripts/prereqs.sh

build: prereqs
	cmake --preset default
	cmake --build --preset default

demo: build
	@scripts/demo.sh build

test: build
	ctest --preset default

clean:
	rm -rf build build-*
