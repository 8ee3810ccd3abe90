# The entry points: make demo, make test, make bench. Each first makes sure the Debian packages
# are present, then configures and builds with the CMake presets.
.PHONY: all deps build build-asan build-release build-libcxx build-tsan demo test tsan bench fuzz clean

JOBS ?= $(shell nproc)

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

# The programs and their libraries at -O3, as a plain Release build (a vendor's) compiles them:
# the optimiser reports warnings the other builds never see, and they must stay warning-free there
# too. Built only, without the tests: they run in the two builds above.
build-release: deps
	@cmake --preset release >/dev/null
	@cmake --build --preset release -j $(JOBS)

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

test: build build-asan build-release build-libcxx
	@ctest --preset default -j $(JOBS)
	@ctest --preset asan -j $(JOBS)

bench: build
	@scripts/bench build

fuzz: deps
	@cmake --preset fuzz >/dev/null
	@cmake --build --preset fuzz -j $(JOBS) --target orvix_fuzzers
	@scripts/fuzz build-fuzz

clean:
	rm -rf build build-asan build-release build-libcxx build-tsan build-fuzz
