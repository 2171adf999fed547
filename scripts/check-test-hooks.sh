#!/usr/bin/env bash
# Fails when the program users run holds a test hook's name, or when the test build's program
# lacks one (then the first check would prove nothing). The names are the TARNWICK_TEST_*
# variables written in the sources (src/core/util/TestHooks.cpp).
#   scripts/check-test-hooks.sh PROGRAM_WITHOUT_TESTS PROGRAM_OF_THE_TEST_BUILD
set -euo pipefail
cd "$(dirname "$0")/.."
shipped=${1:?program built without the tests (make run: build-run/src/tarnwick)}
tested=${2:?program of the test build (build/src/tarnwick)}

mapfile -t names < <(grep -rhoE 'TARNWICK_TEST_[A-Z0-9_]+' src | sort -u)
if [ ${#names[@]} -eq 0 ]; then
  echo "no TARNWICK_TEST_ names in src: nothing to look for" >&2
  exit 1
fi

status=0
leaked=$(strings -a "$shipped" | grep -oE 'TARNWICK_TEST_[A-Z0-9_]+' | sort -u || true)
if [ -n "$leaked" ]; then
  echo "$shipped holds test hooks:" $leaked >&2
  status=1
fi
inTest=$(strings -a "$tested" | grep -oE 'TARNWICK_TEST_[A-Z0-9_]+' | sort -u || true)
for name in "${names[@]}"; do
  if ! grep -qx "$name" <<<"$inTest"; then
    echo "$tested lacks the test hook $name: the check above would miss it" >&2
    status=1
  fi
done
if [ "$status" -eq 0 ]; then
  echo "no test hook in $shipped (${#names[@]} names, each present in $tested)"
fi
exit "$status"
