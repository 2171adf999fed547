#!/usr/bin/env bash
# Builds the libFuzzer targets (clang, ASan+UBSan, see fuzz/) in build-fuzz and runs each for
# FUZZ_SECONDS (default 60) on a temporary copy of its corpus in tests/data/fuzz/<target>. Fails on
# any finding: crash, sanitizer report, leak, time-out or a failed property. The input behind a
# finding is kept in FUZZ_ARTIFACTS (default <build>/findings); reproduce with
# <build>/fuzz/fuzz_<target> <file>.
#   FUZZ_TARGETS="url_codec smtp_reply" limits the run to some targets.
#   FUZZ_GROW=1 merges what a run found back into tests/data/fuzz (-merge=1 keeps only inputs that
#   reach new coverage, so the checked-in corpus stays small); otherwise nothing is written there.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${FUZZ_BUILD:-build-fuzz}
seconds=${FUZZ_SECONDS:-60}
jobs=${JOBS:-2}
artifacts=${FUZZ_ARTIFACTS:-$build/findings}

# Largest input per target: a few blocks, a settings file, a page of some kilobytes.
declare -A maxLen=(
  [fetch_record]=4096 [watch_record]=8192 [handover_file]=4096 [settings_archive]=2048
  [url_codec]=1024 [location]=2048 [check_area]=16384 [smtp_reply]=2048 [import_list]=8192
)
targets=${FUZZ_TARGETS:-"fetch_record watch_record handover_file settings_archive url_codec location check_area smtp_reply import_list"}

launcher=()
if command -v ccache >/dev/null; then
  export CCACHE_BASEDIR=${CCACHE_BASEDIR:-$PWD}
  launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
fi
CC=clang CXX=clang++ cmake -S . -B "$build" -G Ninja -DTARNWICK_GUI=OFF -DTARNWICK_TESTS=OFF \
  -DTARNWICK_WERROR=ON -DTARNWICK_FUZZ=ON -DTARNWICK_SANITIZE=address \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo "${launcher[@]}" >/dev/null
cmake --build "$build" -j "$jobs"

mkdir -p "$artifacts"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failed=()
for target in $targets; do
  binary=$build/fuzz/fuzz_$target
  if [ ! -x "$binary" ]; then
    echo "fuzz_$target: not built" >&2
    failed+=("$target")
    continue
  fi
  corpus=$work/$target
  mkdir -p "$corpus"
  cp -r "tests/data/fuzz/$target/." "$corpus/"
  log=$work/$target.log
  status=0
  ASAN_OPTIONS=detect_leaks=1:strict_string_checks=1 \
  UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
    "$binary" -max_total_time="$seconds" -max_len="${maxLen[$target]:-4096}" -timeout=10 \
      -rss_limit_mb=2048 -print_final_stats=1 -artifact_prefix="$artifacts/$target-" \
      "$corpus" >"$log" 2>&1 || status=$?
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
  time=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log")
  if [ "$status" -ne 0 ]; then
    echo "fuzz_$target: FINDING (exit $status)"
    tail -n 60 "$log"
    failed+=("$target")
  else
    echo "fuzz_$target: ${seconds}s, ${runs:-?} runs (${time:-?}/s), no finding"
    if [ "${FUZZ_GROW:-0}" = 1 ]; then
      before=$(find "tests/data/fuzz/$target" -type f | wc -l)
      "$binary" -merge=1 -max_len="${maxLen[$target]:-4096}" "tests/data/fuzz/$target" "$corpus" \
        >"$log.merge" 2>&1 || { tail -n 20 "$log.merge"; failed+=("$target"); continue; }
      after=$(find "tests/data/fuzz/$target" -type f | wc -l)
      echo "fuzz_$target: corpus $before -> $after inputs"
    fi
  fi
done

if [ ${#failed[@]} -ne 0 ]; then
  echo "fuzzing found faults in: ${failed[*]} (inputs in $artifacts)" >&2
  exit 1
fi
