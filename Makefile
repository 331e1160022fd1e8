# The front door. `make demo` builds the console program and runs one detection; `make check`
MAKEFLAGS += --no-print-directory
# installs what is missing, builds the native, sanitizer and Windows builds, and runs every test.
SHELL := /bin/bash
JOBS ?= $(shell nproc)
export DEBIAN_FRONTEND := noninteractive

.PHONY: all demo check deps deps-native native asan mingw test-native test-asan test-windows bench fuzz clean

all: native

deps-native:
	scripts/install-deps native

deps:
	scripts/install-deps all

native:
	cmake --preset native >/dev/null
	cmake --build --preset native -j$(JOBS)

asan:
	cmake --preset asan >/dev/null
	cmake --build --preset asan -j$(JOBS)

mingw:
	scripts/wine-env prepare
	cmake --preset mingw >/dev/null
	source scripts/wine-env && cmake --build --preset mingw -j$(JOBS)

test-native: native
	ctest --preset native -j$(JOBS)

test-asan: asan
	ctest --preset asan -j$(JOBS)

test-windows: mingw
	source scripts/wine-env && scripts/wine-env keepalive && ctest --preset mingw -j$(JOBS); rc=$$?; scripts/wine-env stop; exit $$rc

demo: deps-native native
	scripts/demo

check: deps
	$(MAKE) test-native
	$(MAKE) test-asan
	$(MAKE) test-windows

clean:
	rm -rf build
