# Thin driver over CMake. `make` builds, `make test` builds and runs every test (release and
# sanitizer builds, and the Windows checks), `make demo` runs the command-line tour.
JOBS ?= $(shell nproc 2>/dev/null || echo 2)
BUILD ?= build
ASAN_BUILD ?= build-asan
CMAKE ?= cmake

.PHONY: all build asan test test-release test-asan test-windows demo bench clean

all: build

$(BUILD)/CMakeCache.txt:
	$(CMAKE) -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo

$(ASAN_BUILD)/CMakeCache.txt:
	$(CMAKE) -S . -B $(ASAN_BUILD) -DCMAKE_BUILD_TYPE=Debug -DVARNEL32_SANITIZE=ON

build: $(BUILD)/CMakeCache.txt
	$(CMAKE) --build $(BUILD) -j $(JOBS)

asan: $(ASAN_BUILD)/CMakeCache.txt
	$(CMAKE) --build $(ASAN_BUILD) -j $(JOBS)

test-release: build
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS)

test-asan: asan
	cd $(ASAN_BUILD) && ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 \
	  UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 ctest --output-on-failure -j $(JOBS)

test-windows:
	@if [ -x scripts/windows-test.sh ]; then scripts/windows-test.sh; fi

test: test-release test-asan test-windows

demo: build
	@if [ -x scripts/demo.sh ]; then scripts/demo.sh $(BUILD); else echo "no demo yet"; fi

bench:
	$(CMAKE) -S . -B build-bench -DCMAKE_BUILD_TYPE=Release -DVARNEL32_BUILD_BENCH=ON -DVARNEL32_BUILD_TESTS=OFF
	$(CMAKE) --build build-bench -j $(JOBS) --target varnel32_bench
	./build-bench/bench/varnel32_bench

clean:
	rm -rf $(BUILD) $(ASAN_BUILD) build-*
