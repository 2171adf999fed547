#!/usr/bin/env bash
# The whole test suite, as CI runs it (make test), on a build folder made by the Makefile:
#   1. the normal build's tests (GUI tests offscreen), the include-direction and format checks,
#   2. the program make run builds, which must hold no test hook (scripts/check-test-hooks.sh),
#   3. clang-tidy on the program's sources (scripts/lint.py, results cached per source),
#   4. every test again under AddressSanitizer + UndefinedBehaviorSanitizer, the window's code
#      and its tests included,
#   5. the tests labelled `threads` (tests/CMakeLists.txt) under ThreadSanitizer, without the
#      window (README: Testing),
#   6. each fuzz target for FUZZ_SECONDS (default 20) from the checked-in corpus (scripts/fuzz.sh).
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

stage "the program users run holds no test hook"
run_build=${RUN_BUILD:-build-run}
make --no-print-directory build-run RUN_BUILD="$run_build"
scripts/check-test-hooks.sh "$run_build/src/tarnwick" "$build/src/tarnwick"
if [ -x "$build/src/tarnwick-window" ]; then
  scripts/check-test-hooks.sh "$run_build/src/tarnwick-window" "$build/src/tarnwick-window"
fi

stage "clang-tidy"
scripts/lint.py "$build"

sanitized() {
  local kind=$1 dir=$2 gui=$3
  cmake -S . -B "$dir" -G Ninja -DTARNWICK_GUI="$gui" -DTARNWICK_WERROR=ON \
    -DTARNWICK_SANITIZE="$kind" -DCMAKE_BUILD_TYPE=RelWithDebInfo "${launcher[@]}" >/dev/null
  cmake --build "$dir" -j "$jobs"
}

# Every process writes its sanitizer report into a file of its own in $reports, the programs
# that the end-to-end tests start and kill included (a killed program's exit code tells
# nothing): any such file fails the stage.
reportsIn() {
  reports=$PWD/$1/sanitizer-reports
  rm -rf "$reports"
  mkdir -p "$reports"
}
noReports() {
  if compgen -G "$reports/*" >/dev/null; then
    for report in "$reports"/*; do
      printf '\n-- %s\n' "$report"
      cat "$report"
    done
    echo "sanitizer reports (above) from the $1 stage" >&2
    return 1
  fi
}

# Qt is not built with the sanitizers, which AddressSanitizer does not need. What it reports in
# the libraries Qt loads (not in our code) is suppressed by library in scripts/sanitizers/, each
# with its reason.
stage "AddressSanitizer + UndefinedBehaviorSanitizer"
sanitized address build-asan ON
reportsIn build-asan
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1:strict_string_checks=1:log_path=$reports/asan:suppressions=$PWD/scripts/sanitizers/asan.supp \
LSAN_OPTIONS=suppressions=$PWD/scripts/sanitizers/lsan.supp:print_suppressions=0 \
UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1:log_path=$reports/ubsan \
  ctest --test-dir build-asan --output-on-failure -j "$jobs" --timeout 900 || { noReports ASan; exit 1; }
noReports ASan

# The window stays out: ThreadSanitizer sees only the locks of instrumented code, and Qt's own
# threads (the X connection's reader, the event dispatcher's wake-ups) synchronise inside Qt,
# which Debian does not build with it; it would report races that are none.
stage "ThreadSanitizer (tests labelled threads)"
sanitized thread build-tsan OFF
reportsIn build-tsan
TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1:log_path=$reports/tsan \
  ctest --test-dir build-tsan --output-on-failure -j "$jobs" --timeout 900 -L '^threads$' ||
  { noReports TSan; exit 1; }
noReports TSan

stage "fuzz targets"
FUZZ_SECONDS=${FUZZ_SECONDS:-20} scripts/fuzz.sh

printf '\nall stages passed in %d s\n' $((SECONDS - started))
