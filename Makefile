# Thin driver over CMake. `make` builds, `make test` builds and runs every test (release and
# sanitizer builds, the Windows checks, the thread tests under ThreadSanitizer, a minute of
# each fuzzer and the fault sweep's crash points), `make demo` runs the
# command-line tour. `make crash` runs the fault sweep alone, with its tables (a gate of
# `make test`), `make fuzz` fuzzes longer.
# `make install PREFIX=...` installs, `make package` builds the Debian package.
JOBS ?= $(shell nproc 2>/dev/null || echo 2)
BUILD ?= build
ASAN_BUILD ?= build-asan
TSAN_BUILD ?= build-tsan
FUZZ_BUILD ?= build-fuzz
CMAKE ?= cmake
FUZZ_SECONDS ?= 300
TEST_FUZZ_SECONDS ?= 60
PREFIX ?= /usr/local
# The builds that make test runs (and CI): warnings are errors there, and the tests must be
# built, so that a missing GoogleTest fails rather than testing less.
CHECKED = -DVARNEL32_WERROR=ON -DVARNEL32_BUILD_TESTS=ON

.PHONY: all build asan test test-release test-asan test-windows demo bench clean \
  test-tsan fuzz-build fuzz test-fuzz crash install package

all: build

$(BUILD)/CMakeCache.txt:
	$(CMAKE) -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo

$(ASAN_BUILD)/CMakeCache.txt:
	$(CMAKE) -S . -B $(ASAN_BUILD) -DCMAKE_BUILD_TYPE=Debug -DVARNEL32_SANITIZE=ON $(CHECKED)

build: $(BUILD)/CMakeCache.txt
	$(CMAKE) --build $(BUILD) -j $(JOBS)

asan: $(ASAN_BUILD)/CMakeCache.txt
	$(CMAKE) --build $(ASAN_BUILD) -j $(JOBS)

# `make` leaves warnings as warnings; the test builds turn them into errors for good.
test-release: $(BUILD)/CMakeCache.txt
	$(CMAKE) $(BUILD) $(CHECKED) > /dev/null
	$(CMAKE) --build $(BUILD) -j $(JOBS)
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS)

test-asan: $(ASAN_BUILD)/CMakeCache.txt
	$(CMAKE) $(ASAN_BUILD) $(CHECKED) > /dev/null
	$(CMAKE) --build $(ASAN_BUILD) -j $(JOBS)
	cd $(ASAN_BUILD) && ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 \
	  UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 ctest --output-on-failure -j $(JOBS)

test-windows:
	@if [ -x scripts/windows-test.sh ]; then scripts/windows-test.sh; fi

test: test-release test-asan test-windows test-tsan test-fuzz crash

# ---- Reliability -------------------------------------------------------------------------
$(TSAN_BUILD)/CMakeCache.txt:
	$(CMAKE) -S . -B $(TSAN_BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVARNEL32_TSAN=ON \
	  -DVARNEL32_BUILD_TOOLS=OFF $(CHECKED)

# Only the thread and process tests are built and run with ThreadSanitizer. These builds name their
# targets, so they configure again first: a target added since would not be known yet.
test-tsan: $(TSAN_BUILD)/CMakeCache.txt
	$(CMAKE) $(TSAN_BUILD) $(CHECKED) > /dev/null
	$(CMAKE) --build $(TSAN_BUILD) -j $(JOBS) --target varnel32_thread_tests
	TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 $(TSAN_BUILD)/tests/varnel32_thread_tests

$(FUZZ_BUILD)/CMakeCache.txt:
	CC=clang-14 CXX=clang++-14 $(CMAKE) -S . -B $(FUZZ_BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DVARNEL32_BUILD_FUZZ=ON -DVARNEL32_BUILD_TESTS=OFF -DVARNEL32_BUILD_TOOLS=OFF \
	  -DVARNEL32_WERROR=ON

fuzz-build: $(FUZZ_BUILD)/CMakeCache.txt
	$(CMAKE) $(FUZZ_BUILD) -DVARNEL32_WERROR=ON > /dev/null
	$(CMAKE) --build $(FUZZ_BUILD) -j $(JOBS) --target varnel32_fuzz_open_file \
	  varnel32_fuzz_operations varnel32_fuzz_irfile

fuzz: fuzz-build
	fuzz/run.sh $(FUZZ_BUILD) $(FUZZ_SECONDS)

test-fuzz: fuzz-build
	fuzz/run.sh $(FUZZ_BUILD) $(TEST_FUZZ_SECONDS)

crash: build
	$(BUILD)/tests/varnel32_tests --gtest_filter='FaultSweep.*'

# The demo runs irlib alone, so irlib (and the library under it) is all it builds.
demo: $(BUILD)/CMakeCache.txt
	$(CMAKE) --build $(BUILD) -j $(JOBS) --target irlib
	scripts/demo.sh $(BUILD)

# DESTDIR=... stages the install, as packagers do.
install: build
	$(CMAKE) --install $(BUILD) --prefix $(PREFIX)

# The Debian package, varnel32_<version>_<arch>.deb, in $(BUILD).
package: build
	cd $(BUILD) && cpack -G DEB

# The comparison with SQLite, LMDB and a raw file; BENCH_ARGS="--records 10000" for a
# quicker run, "--json" for machine-readable output (varnel32_bench --help lists the rest).
# Built as the library ships (RelWithDebInfo), so the figures are those of the real thing.
bench:
	$(CMAKE) -S . -B build-bench -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVARNEL32_BUILD_BENCH=ON -DVARNEL32_BUILD_TESTS=OFF
	$(CMAKE) --build build-bench -j $(JOBS) --target varnel32_bench
	./build-bench/bench/varnel32_bench $(BENCH_ARGS)

clean:
	rm -rf $(BUILD) $(ASAN_BUILD) build-*
