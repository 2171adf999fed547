#!/usr/bin/env bash
# The whole test suite, as CI runs it:
#   1. the normal build's tests (GUI tests offscreen),
#   2. every test again under AddressSanitizer + UndefinedBehaviorSanitizer,
#   3. the threaded tests under ThreadSanitizer,
#   4. each fuzz target for a while (scripts/fuzz.sh).
# Any failure or sanitizer report fails the run. TARNWICK_QUICK=1 runs stage 1 only.
set -euo pipefail
build=${1:-build}
cd "$(dirname "$0")/.."
export QT_QPA_PLATFORM=offscreen
jobs=${JOBS:-2}

stage() { printf '\n== %s\n' "$*"; }

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
    -DTARNWICK_SANITIZE="$kind" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
  cmake --build "$dir" -j "$jobs"
}

stage "AddressSanitizer + UndefinedBehaviorSanitizer"
sanitized address build-asan
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1:strict_string_checks=1 \
UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  ctest --test-dir build-asan --output-on-failure -j "$jobs" --timeout 900

stage "ThreadSanitizer (threaded tests)"
sanitized thread build-tsan
TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 \
  ctest --test-dir build-tsan --output-on-failure -j "$jobs" --timeout 900 \
    -L '^(checker|watchlist|bridge|siblings|platform|app|e2e)$'

if [ -x scripts/fuzz.sh ]; then
  stage "fuzz targets"
  scripts/fuzz.sh
fi
