# The front door. `make demo` builds the console program and runs one detection; `make check`
# installs what is missing, builds the native, sanitizer and Windows builds, and runs every test
# (with a brief run of the benchmarks; the sanitizer build replays every fuzz input). Fuzzing
# itself, in clang's build, is `make fuzz-smoke` and `make fuzz`.
MAKEFLAGS += --no-print-directory
SHELL := /bin/bash
JOBS ?= $(shell nproc)
export DEBIAN_FRONTEND := noninteractive

.PHONY: all demo check deps deps-native native asan mingw mingw32 test-native test-asan test-windows test-usbsim clean deb
.PHONY: dist test-dist
.PHONY: bench bench-build bench-smoke fuzz fuzz-build fuzz-smoke static check-kernel

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

# Both Windows builds: x64 with its tests (run under wine), and x86 (32-bit) with the two shipped
# programs alone, since no 32-bit process runs here; their headers are checked by the x64 tests.
mingw: mingw32
	scripts/wine-env prepare
	cmake --preset mingw >/dev/null
	source scripts/wine-env && cmake --build --preset mingw -j$(JOBS)

mingw32:
	cmake --preset mingw32 >/dev/null
	cmake --build --preset mingw32 -j$(JOBS)

test-native: native
	ctest --preset native -j$(JOBS)

# Kept apart from `make check` for its time (its Debug build with sanitizers takes some six
# minutes of two cores); CI runs it beside.
test-asan: asan
	ctest --preset asan -j$(JOBS)

test-windows: mingw
	source scripts/wine-env && scripts/wine-env keepalive && ctest --preset mingw -j$(JOBS); rc=$$?; scripts/wine-env stop; exit $$rc

# The shipped Windows programs on the real USB path: the simulated host-controller and hub
# driver (tools/usbsim, docs/usbsim.md) serves each fixture under wine, in parallel prefixes.
USBSIM_DIALOG_FIXTURE := tests/data/fixtures/two-keys-behind-hub
# A machine with a hub that never answers: the dialog's detection still ends.
USBSIM_HANGING_FIXTURE := tests/data/fixtures/hub-never-answers
test-usbsim: native mingw
	tests/win/usbsim/differential.py --jobs 2
	KELDAR_USBSIM_PREFIX=build/usbsim/prefix-0 scripts/usbsim $(USBSIM_DIALOG_FIXTURE).json -- \
	  wine build/mingw/tests/win/usbsim/keldar_usbsim_dialog.exe \
	  "Z:$(subst /,\\,$(CURDIR)/build/mingw/app/keldar.exe)" \
	  "Z:$(subst /,\\,$(CURDIR)/$(USBSIM_DIALOG_FIXTURE).golden.json)"
	KELDAR_USBSIM_PREFIX=build/usbsim/prefix-0 scripts/usbsim $(USBSIM_HANGING_FIXTURE).json -- \
	  wine build/mingw/tests/win/usbsim/keldar_usbsim_dialog.exe \
	  "Z:$(subst /,\\,$(CURDIR)/build/mingw/app/keldar.exe)" \
	  "Z:$(subst /,\\,$(CURDIR)/$(USBSIM_HANGING_FIXTURE).golden.json)"
	tests/win/usbsim/interrupted_run.sh build/usbsim/prefix-1

# The Windows release bundle: dist/keldar-VERSION-windows.zip with the dialog and the console
# program of both Windows builds, README.md, LICENSE and SHA256SUMS (scripts/make-dist). It needs
# the two programs of each build, not the tests.
dist:
	cmake --preset mingw >/dev/null
	cmake --build --preset mingw -j$(JOBS) --target keldar_gui keldar
	$(MAKE) mingw32
	scripts/make-dist build/mingw build/mingw32 dist

# The bundle unpacked: its sums, the 64-bit programs under wine (the dialog on the simulated
# driver), the 32-bit programs' headers (tests/win/dist_test.py).
test-dist: dist native mingw
	scripts/wine-env prepare
	tests/win/dist_test.py dist/keldar-$$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' build/mingw/CMakeCache.txt)-windows.zip

# The demo needs the console program alone, not the tests.
demo: deps-native
	cmake --preset native >/dev/null
	cmake --build --preset native -j$(JOBS) --target keldar
	scripts/demo

# The Debian package of the console program: build/keldar_VERSION-1_ARCH.deb (dpkg-deb).
deb:
	cmake --preset native >/dev/null
	cmake --build --preset native -j$(JOBS) --target keldar
	scripts/make-deb build/native/cli/keldar build

check: deps
	$(MAKE) test-native
	$(MAKE) bench-smoke
	$(MAKE) test-windows
	$(MAKE) test-usbsim
	$(MAKE) test-dist

# The console program statically linked, as scripts/kernel-usb puts it into a kernel's image.
static:
	cmake --preset static >/dev/null
	cmake --build --preset static -j$(JOBS)

# keldar on Debian's kernel under QEMU, with real USB stacks: each scenario of tests/kernel
# boots once (tests/kernel/check). The kernel package is downloaded and cached once per pin.
check-kernel:
	scripts/install-deps kernel
	$(MAKE) static
	cmake --preset native >/dev/null
	cmake --build --preset native -j$(JOBS) --target keldar
	tests/kernel/check

# Benchmarks of whole detections on generated machines (Google Benchmark). `bench` runs them in
# full, in a Release build, and ends with the growth between sizes; `bench-smoke` runs each once
# from the native build, so that they keep building and running (no timing is judged there).
bench-build:
	cmake --preset bench >/dev/null
	cmake --build --preset bench -j$(JOBS) --target keldar_bench keldar_generate_machine

bench: bench-build
	build/bench/bench/keldar_bench --benchmark_color=false

bench-smoke: native
	build/native/bench/keldar_bench --benchmark_min_time=0 --benchmark_color=false \
	  >build/native/bench-smoke.log 2>&1 || { cat build/native/bench-smoke.log; exit 1; }
	@grep -c '^BM_' build/native/bench-smoke.log | xargs echo "benchmarks run:"

# libFuzzer targets (clang, ASan + UBSan). Each run grows a working corpus under build/fuzz,
# seeded from fuzz/corpus; a crash is written to build/fuzz/artifacts. `fuzz-smoke` first
# replays every regression input, then fuzzes each target for a few seconds.
# The targets are the files fuzz/<name>_fuzzer.cpp, as fuzz/CMakeLists.txt finds them.
FUZZ_TARGETS := $(patsubst fuzz/%_fuzzer.cpp,%,$(wildcard fuzz/*_fuzzer.cpp))
FUZZ_SECONDS ?= 60
FUZZ_SMOKE_SECONDS ?= 5
FUZZ_FLAGS ?= -timeout=10 -rss_limit_mb=2048 -print_final_stats=1
# Seeds kept elsewhere in the tree (the folders fuzz/<target>.seeds lists), read beside
# fuzz/corpus/<target> rather than copied into it.

fuzz-build:
	cmake --preset fuzz >/dev/null
	cmake --build --preset fuzz -j$(JOBS) --target $(addprefix fuzz_,$(FUZZ_TARGETS))

fuzz: fuzz-build
	@set -e; for t in $(FUZZ_TARGETS); do \
	  mkdir -p build/fuzz/corpus/$$t build/fuzz/artifacts; seeds=$$(cat fuzz/$$t.seeds 2>/dev/null || true); \
	  echo "fuzz_$$t: $(FUZZ_SECONDS) s"; \
	  build/fuzz/fuzz/fuzz_$$t $(FUZZ_FLAGS) -max_total_time=$(FUZZ_SECONDS) \
	    -artifact_prefix=build/fuzz/artifacts/$$t- build/fuzz/corpus/$$t fuzz/corpus/$$t $$seeds; \
	done

fuzz-smoke: fuzz-build
	@set -e; for t in $(FUZZ_TARGETS); do \
	  mkdir -p build/fuzz/corpus/$$t build/fuzz/artifacts; seeds=$$(cat fuzz/$$t.seeds 2>/dev/null || true); \
	  echo "fuzz_$$t: regression inputs, then $(FUZZ_SMOKE_SECONDS) s"; \
	  regressions=$$(find fuzz/regressions/$$t -type f 2>/dev/null | sort); \
	  if [ -n "$$regressions" ]; then \
	    build/fuzz/fuzz/fuzz_$$t $(FUZZ_FLAGS) $$regressions 2>build/fuzz/$$t-regressions.log \
	      || { cat build/fuzz/$$t-regressions.log; exit 1; }; \
	  fi; \
	  build/fuzz/fuzz/fuzz_$$t $(FUZZ_FLAGS) -max_total_time=$(FUZZ_SMOKE_SECONDS) \
	    -artifact_prefix=build/fuzz/artifacts/$$t- build/fuzz/corpus/$$t fuzz/corpus/$$t $$seeds \
	    2>build/fuzz/$$t-smoke.log || { cat build/fuzz/$$t-smoke.log; exit 1; }; \
	  grep -h "stat::number_of_executed_units" build/fuzz/$$t-smoke.log || true; \
	done

clean:
	rm -rf build
