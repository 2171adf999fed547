# make run   builds and starts Tarnwick
# make test  builds everything and runs the whole test suite (sanitizers and fuzzing included)
# make check builds and runs the tests once, without the sanitizer and fuzz stages
BUILD ?= build
JOBS ?= 2
CMAKE_FLAGS ?=

.PHONY: all deps configure build run test check clean

all: build

deps:
	@scripts/install-deps.sh

configure: deps
	@cmake -S . -B $(BUILD) -G Ninja -DTARNWICK_WERROR=ON $(CMAKE_FLAGS) >/dev/null

build: configure
	@cmake --build $(BUILD) -j $(JOBS)

run: build
	@$(BUILD)/src/tarnwick $(ARGS)

test: build
	@scripts/run-tests.sh $(BUILD)

check: build
	@TARNWICK_QUICK=1 scripts/run-tests.sh $(BUILD)

clean:
	rm -rf $(BUILD)
