#!/usr/bin/env bash
# The whole test suite, as CI runs it (make test), on a build folder made by the Makefile:
#   1. the normal build's tests (GUI tests offscreen) and the include-direction check,
#   2. every test again under AddressSanitizer + UndefinedBehaviorSanitizer,
#   3. the tests labelled `threads` (tests/CMakeLists.txt) under ThreadSanitizer,
#   4. each fuzz target for FUZZ_SECONDS (default 20) from the checked-in corpus (scripts/fuzz.sh).
# Any failure or sanitizer report fails the run. TARNWICK_QUICK=1 runs stage 1 only (make check).
# A test whose server is missing fails, unless TARNWICK_ALLOW_MISSING_SERVERS=1 (make check).
set -euo pipefail
build=${1:-build}
cd "$(dirname "$0")/.."
export QT_QPA_PLATFORM=offscreen
jobs=${JOBS:-2}
launcher=()
if command -v ccache >/dev/null; then
  export CCACHE_BASEDIR=${CCACHE_BASEDIR:-$PWD}
  launcher=(-DCMAKE_C_COMPILER_LAUNCHER=ccache -DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
fi

stage() { printf '\n== %s (%s)\n' "$*" "$(date +%H:%M:%S)"; }
started=$SECONDS

if [ "${TARNWICK_ALLOW_MISSING_SERVERS:-0}" = 1 ]; then
  echo "note: tests whose server (nginx, tinyproxy, aiosmtpd) is not installed are skipped" \
       "(TARNWICK_ALLOW_MISSING_SERVERS=1); make test fails them"
fi

stage "tests ($build)"
ctest --test-dir "$build" --output-on-failure -j "$jobs" --timeout 600

if [ "${TARNWICK_QUICK:-0}" = 1 ]; then
  exit 0
fi

# Sanitizer builds leave the GUI out: it holds no logic of its own yet, and Qt is not built
# with the sanitizers.
sanitized() {
  local kind=$1 dir=$2
  cmake -S . -B "$dir" -G Ninja -DTARNWICK_GUI=OFF -DTARNWICK_WERROR=ON \
    -DTARNWICK_SANITIZE="$kind" -DCMAKE_BUILD_TYPE=RelWithDebInfo "${launcher[@]}" >/dev/null
  cmake --build "$dir" -j "$jobs"
}

stage "AddressSanitizer + UndefinedBehaviorSanitizer"
sanitized address build-asan
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1:strict_string_checks=1 \
UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  ctest --test-dir build-asan --output-on-failure -j "$jobs" --timeout 900

stage "ThreadSanitizer (tests labelled threads)"
sanitized thread build-tsan
TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 \
  ctest --test-dir build-tsan --output-on-failure -j "$jobs" --timeout 900 -L '^threads$'

stage "fuzz targets"
FUZZ_SECONDS=${FUZZ_SECONDS:-20} scripts/fuzz.sh

printf '\nall stages passed in %d s\n' $((SECONDS - started))
