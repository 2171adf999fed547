# make run   builds and starts Tarnwick
# make test  builds everything and runs the whole test suite (sanitizers and fuzzing included)
# make check builds and runs the tests once, without the sanitizer and fuzz stages; a test whose
#            server (nginx, tinyproxy, aiosmtpd) is not installed is skipped, and says so
# make fuzz  runs each fuzz target for FUZZ_SECONDS (default 600)
# make lint  runs clang-tidy (.clang-tidy) on the program's sources; make test does too
# make format formats every C++ file with .clang-format (make test fails on an unformatted one)
# make clean removes every build folder these commands make
#
# `make run` builds in build-run without -Werror and without the tests; the others build in
# $(BUILD) with -Werror. Both build everything before a test runs, and ctest itself rebuilds the
# program before an end-to-end test (fixture tarnwick_binary), so no test runs a stale binary.
BUILD ?= build
RUN_BUILD ?= build-run
JOBS ?= 2
CMAKE_FLAGS ?=
FUZZ_SECONDS ?= 600

# ccache when it is installed; paths below the checkout count relative to it, so that another
# clone of the same sources (CI's) reuses what this one compiled.
export CCACHE_BASEDIR := $(CURDIR)
LAUNCHER := $(if $(shell command -v ccache 2>/dev/null),-DCMAKE_C_COMPILER_LAUNCHER=ccache -DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
export JOBS
# The test script builds what make run builds, to look for test hooks in it.
export RUN_BUILD

.PHONY: all build run test check fuzz lint format clean build-run build-test deps-run deps-test deps-check

all: build-test
build: build-test

deps-run:
	@scripts/install-deps.sh run
deps-test:
	@scripts/install-deps.sh test
deps-check:
	@scripts/install-deps.sh check

build-run: deps-run
	@cmake -S . -B $(RUN_BUILD) -G Ninja -DTARNWICK_WERROR=OFF -DTARNWICK_TESTS=OFF $(LAUNCHER) $(CMAKE_FLAGS) >/dev/null
	@cmake --build $(RUN_BUILD) -j $(JOBS) --target tarnwick

run: build-run
	@$(RUN_BUILD)/src/tarnwick $(ARGS)

# The test build: -Werror, tests on, everything built. The benchmarks are compiled too (not
# run), so that none of them falls behind the code it measures.
build-test:
	@cmake -S . -B $(BUILD) -G Ninja -DTARNWICK_WERROR=ON -DTARNWICK_TESTS=ON -DTARNWICK_BENCH=ON $(LAUNCHER) $(CMAKE_FLAGS) >/dev/null
	@cmake --build $(BUILD) -j $(JOBS)

test: deps-test
	@$(MAKE) --no-print-directory build-test
	@scripts/run-tests.sh $(BUILD)

check: deps-check
	@$(MAKE) --no-print-directory build-test
	@TARNWICK_QUICK=1 TARNWICK_ALLOW_MISSING_SERVERS=1 scripts/run-tests.sh $(BUILD)

lint: deps-test
	@$(MAKE) --no-print-directory build-test
	@scripts/lint.py $(BUILD)

format:
	@scripts/check-format.sh --fix

fuzz: deps-test
	@FUZZ_SECONDS=$(FUZZ_SECONDS) scripts/fuzz.sh

clean:
	rm -rf $(BUILD) $(RUN_BUILD) build-asan build-tsan build-fuzz build-bench
