#!/bin/sh
# Installs the build into a folder of its own and has systemd check the user service there:
# its ExecStart must name the installed program, and `systemd-analyze --user verify` must pass
# it without a word (a setting it does not understand is only warned about, and ignored).
#   verify-user-service.sh BUILD_FOLDER
set -u
build=$1
if ! command -v systemd-analyze >/dev/null 2>&1; then
  if [ "${TARNWICK_ALLOW_MISSING_SERVERS:-}" = 1 ]; then
    echo "systemd-analyze is not installed (skipped: TARNWICK_ALLOW_MISSING_SERVERS=1)"
    exit 0
  fi
  echo "systemd-analyze is not installed: \`scripts/install-deps.sh test\` installs it" \
       "(only \`make check\` skips this test)" >&2
  exit 1
fi
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
prefix=$work/prefix
if ! cmake --install "$build" --prefix "$prefix" >"$work/install.log" 2>&1; then
  cat "$work/install.log" >&2
  exit 1
fi
unit=$prefix/lib/systemd/user/tarnwick-headless.service
if ! grep -qx "ExecStart=$prefix/bin/tarnwick --headless" "$unit" ||
   ! grep -qx "Restart=on-failure" "$unit"; then
  echo "the installed unit does not start $prefix/bin/tarnwick --headless, restarted on failure:" >&2
  cat "$unit" >&2
  exit 1
fi
# The user's service manager is not running here (a container, a build machine): verify needs
# only a runtime folder of the user's to look at.
mkdir -m 700 "$work/runtime"
XDG_RUNTIME_DIR=$work/runtime systemd-analyze --user verify "$unit" >"$work/verify.log" 2>&1
code=$?
if [ $code -ne 0 ] || [ -s "$work/verify.log" ]; then
  echo "systemd-analyze --user verify $unit (exit $code):" >&2
  cat "$work/verify.log" >&2
  exit 1
fi
echo "verified: $unit"
