# Front door of the project. `make check` and `make demo` set up everything
# they need on a fresh Debian 12 machine.

BUILD       ?= build
ASAN_BUILD  ?= build-asan
TSAN_BUILD  ?= build-tsan
WIN_BUILD   ?= build-windows
FUZZ_BUILD  ?= build-fuzz
FUZZ_SECONDS ?= 60
FUZZ_JOBS   ?= 1
CHECK_FUZZ_SECONDS ?= 10
JOBS        ?= $(shell nproc)

CMAKE_GEN   := -G Ninja
CTEST       := ctest --output-on-failure -j $(JOBS)

.PHONY: all setup build test asan tsan windows wine-test check demo bench fuzz format format-check clean \
    package windows-package soak

all: build

setup:
	@scripts/setup.sh

$(BUILD)/build.ninja:
	cmake -S . -B $(BUILD) $(CMAKE_GEN) -DCMAKE_BUILD_TYPE=RelWithDebInfo

$(ASAN_BUILD)/build.ninja:
	cmake -S . -B $(ASAN_BUILD) $(CMAKE_GEN) -DCMAKE_BUILD_TYPE=Debug \
	    -DQX17_SANITIZE=address -DQX17_BUILD_BENCH=OFF

$(TSAN_BUILD)/build.ninja:
	cmake -S . -B $(TSAN_BUILD) $(CMAKE_GEN) -DCMAKE_BUILD_TYPE=Debug \
	    -DQX17_SANITIZE=thread -DQX17_BUILD_BENCH=OFF

$(WIN_BUILD)/build.ninja:
	cmake -S . -B $(WIN_BUILD) $(CMAKE_GEN) -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	    -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake \
	    -DQX17_LINUX_TOOLS=$(abspath $(BUILD))/tools

$(FUZZ_BUILD)/build.ninja:
	CXX=clang++ cmake -S . -B $(FUZZ_BUILD) $(CMAKE_GEN) -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	    -DQX17_FUZZ=ON

build: setup $(BUILD)/build.ninja
	cmake --build $(BUILD) -j $(JOBS)

test: build
	cd $(BUILD) && $(CTEST)

asan: setup $(ASAN_BUILD)/build.ninja
	cmake --build $(ASAN_BUILD) -j $(JOBS)
	cd $(ASAN_BUILD) && LSAN_OPTIONS=suppressions=$(CURDIR)/tests/sanitizers/lsan.supp $(CTEST)

# The threaded tests (serial port, virtual tracker) under ThreadSanitizer.
tsan: setup $(TSAN_BUILD)/build.ninja
	cmake --build $(TSAN_BUILD) -j $(JOBS)
	cd $(TSAN_BUILD) && $(CTEST) -L 'serial|tracker_sim'

# The Windows libraries, program and tests, cross-compiled with MinGW-w64.
windows: setup $(WIN_BUILD)/build.ninja
	cmake --build $(WIN_BUILD) -j $(JOBS)

# The Windows tests under Wine, in a prefix of their own; the COM-port tests
# use test peers of the Linux build.
wine-test: windows build
	scripts/wine_tests.sh $(WIN_BUILD)

# Every test, plain and under AddressSanitizer + UndefinedBehaviorSanitizer,
# the threaded ones under ThreadSanitizer, the Windows build under Wine, then
# a short run of every fuzzer.
check: format-check test asan tsan wine-test
	$(MAKE) --no-print-directory fuzz FUZZ_SECONDS=$(CHECK_FUZZ_SECONDS)

fuzz: setup $(FUZZ_BUILD)/build.ninja
	cmake --build $(FUZZ_BUILD) -j $(JOBS)
	scripts/fuzz.sh $(FUZZ_BUILD) $(FUZZ_SECONDS) $(FUZZ_JOBS)

# The tool under faults for a while (not part of check; ends within 20
# minutes): the window, the production line, killed saves and hang-ups.
soak: build $(ASAN_BUILD)/build.ninja
	cmake --build $(ASAN_BUILD) -j $(JOBS) --target soak
	scripts/soak.sh $(BUILD) $(ASAN_BUILD)

# The Debian package, qx17eep_<version>_amd64.deb, in $(BUILD)/.
package: build
	cd $(BUILD) && cpack -G DEB

# The Windows setup, qx17eep-<version>-windows-x64-setup.exe, and the zip,
# qx17eep-<version>-windows-x64.zip, in $(WIN_BUILD)/.
windows-package: windows
	cd $(WIN_BUILD) && cpack -G ZIP
	rm -rf $(WIN_BUILD)/setup-files
	cmake --install $(WIN_BUILD) --prefix $(WIN_BUILD)/setup-files --strip
	makensis -V2 $(WIN_BUILD)/packaging/setup.nsi

# The editor's window against the virtual tracker, linked as COM1 in a
# throw-away configuration folder.
demo: build
	scripts/demo.sh $(BUILD)

bench: build
	$(BUILD)/tools/bench/protocol_bench
	$(BUILD)/tools/bench/serial_bench
	$(BUILD)/tools/bench/window_bench
	$(BUILD)/tools/bench/settings_bench
	$(BUILD)/tools/bench/exchange_bench
	$(BUILD)/tools/bench/line_bench
	$(BUILD)/tools/bench/record_bench
	$(BUILD)/tools/bench/serve_bench

FORMAT_FILES = $(shell git ls-files --cached --others --exclude-standard '*.cpp' '*.h')

format:
	clang-format -i $(FORMAT_FILES)

format-check:
	clang-format --dry-run --Werror $(FORMAT_FILES)

clean:
	rm -rf $(BUILD) $(ASAN_BUILD) $(TSAN_BUILD) $(WIN_BUILD) $(FUZZ_BUILD)
