#!/usr/bin/env bash
# Fails when a C++ source or header under src, tests, bench or fuzz is not formatted with the
# repository's .clang-format, and names each such file. clang-format 14 (Debian 12's) decides:
# other versions format some constructs differently.
#   scripts/check-format.sh          check (ctest format, part of make test and make check)
#   scripts/check-format.sh --fix    format those files in place
# Without clang-format 14 it fails, unless TARNWICK_ALLOW_MISSING_SERVERS=1 (make check), where
# it says it skipped.
set -euo pipefail
cd "$(dirname "$0")/.."

formatter=
for candidate in clang-format-14 clang-format; do
  if command -v "$candidate" >/dev/null &&
     "$candidate" --version | grep -q 'version 14\.'; then
    formatter=$candidate
    break
  fi
done
if [ -z "$formatter" ]; then
  if [ "${TARNWICK_ALLOW_MISSING_SERVERS:-0}" = 1 ]; then
    echo "skipped: TARNWICK_ALLOW_MISSING_SERVERS=1 (clang-format 14 is not installed)"
    exit 0
  fi
  echo "clang-format 14 is not installed (Debian package clang-format-14)" >&2
  exit 1
fi

# Every file on disk, so that a new file counts before it is added to git. tests/data holds
# inputs, not our code.
mapfile -d '' files < <(find src tests bench fuzz -path tests/data -prune -o \
                          -type f \( -name '*.cpp' -o -name '*.h' \) -print0 | sort -z)

if [ "${1:-}" = --fix ]; then
  printf '%s\0' "${files[@]}" | xargs -0 -n 50 "$formatter" -i
  exit 0
fi

jobs=${JOBS:-2}
status=0
report=$(printf '%s\0' "${files[@]}" | xargs -0 -n 20 -P "$jobs" "$formatter" --dry-run 2>&1) ||
  status=$?
if [ "$status" -ne 0 ]; then
  echo "$report" >&2
  echo "$formatter failed (exit $status)" >&2
  exit 1
fi
unformatted=$(sed -n 's/^\([^:]*\):[0-9]*:[0-9]*: warning: code should be clang-formatted.*/\1/p' \
              <<<"$report" | sort -u)
if [ -n "$unformatted" ]; then
  echo "not formatted with .clang-format ($formatter); scripts/check-format.sh --fix formats them:"
  printf '  %s\n' $unformatted
  exit 1
fi
echo "${#files[@]} files formatted with .clang-format ($formatter)"
