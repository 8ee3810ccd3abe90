# The entry points: make demo, make test, make bench. Each first makes sure the Debian packages
# are present, then configures and builds with the CMake presets.
.PHONY: all deps build build-asan build-libcxx build-tsan demo test tsan bench fuzz clean

JOBS ?= $(shell nproc)
# Many tests wait on real time (real services, child processes), so one test more than there are
# cores runs at once.
TEST_JOBS ?= $(shell echo $$(( $$(nproc) + 1 )))

# Let ccache share results between checkouts in different folders (a fresh clone in CI).
export CCACHE_BASEDIR := $(CURDIR)
export CCACHE_NOHASHDIR := 1

all: build

deps:
	@scripts/install-deps

build: deps
	@cmake --preset default >/dev/null
	@cmake --build --preset default -j $(JOBS)

build-asan: deps
	@cmake --preset asan >/dev/null
	@cmake --build --preset asan -j $(JOBS)

# The programs with the target's toolchain, clang and libc++, so that a libstdc++-only header or
# extension fails here rather than in the macOS build. Programs only: Debian's GoogleTest and
# Google Benchmark are built for libstdc++.
build-libcxx: deps
	@cmake --preset libcxx >/dev/null
	@cmake --build --preset libcxx -j $(JOBS)

# ThreadSanitizer over every test, the real-service ones included. Several times slower than the
# other builds, so kept out of `make test`; run it after a change to threads, locks or the GLib
# bindings. GLib's own hand-offs between its threads are suppressed (tests/sanitizers/tsan.supp).
build-tsan: deps
	@cmake --preset tsan >/dev/null
	@cmake --build --preset tsan -j $(JOBS)

tsan: build-tsan
	@ctest --preset tsan

# Only what the demo runs (the programs and the demo's helpers): the test suite waits for `make test`.
demo: deps
	@cmake --preset default >/dev/null
	@cmake --build --preset default -j $(JOBS) --target orvix_demo
	@scripts/demo build/bin

# The default build is a Release build (-O3) with line tables: the programs it tests are the ones a
# plain Release build (a vendor's) compiles, with the optimiser's warnings.
test: build build-asan build-libcxx
	@ctest --preset default -j $(TEST_JOBS)
	@ctest --preset asan -j $(TEST_JOBS)

bench: build
	@scripts/bench build

fuzz: deps
	@cmake --preset fuzz >/dev/null
	@cmake --build --preset fuzz -j $(JOBS) --target orvix_fuzzers
	@scripts/fuzz build-fuzz

clean:
	rm -rf build build-asan build-libcxx build-tsan build-fuzz
