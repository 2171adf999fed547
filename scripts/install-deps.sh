#!/usr/bin/env bash
# Installs the Debian 12 packages Tarnwick needs, in sets:
#   scripts/install-deps.sh run    building and running (make run)
#   scripts/install-deps.sh test   everything make test uses as well: test libraries, the servers
#                                  the end-to-end tests start, the fuzzing compiler, the display
#                                  tools for window screenshots
#   scripts/install-deps.sh check  what make check needs; missing servers and tools are only
#                                  named, since make check skips what needs them
# As root it runs apt-get (with apt-get update first); otherwise it names the missing packages
# and fails.
set -euo pipefail
set_name=${1:-test}

# qt6-translations-l10n: Qt's own texts (standard buttons, file choosers) in the user's language.
# qtkeychain-qt6-dev: the mail password in the desktop's secret store.
# libyaml-cpp-dev and libpugixml-dev: imported and exported lists (urls.yaml, OPML).
run_packages=(
  g++ cmake ninja-build pkg-config make ccache
  qt6-base-dev libcurl4-openssl-dev libicu-dev libcanberra-dev libssl-dev qtkeychain-qt6-dev
  libgumbo-dev libdtl-dev libyaml-cpp-dev libpugixml-dev
  fonts-noto-cjk xdg-utils tzdata qt6-translations-l10n
)
# xvfb and x11-utils (xprop): end-to-end tests that look at the windows the program shows;
# dbus-daemon: the notification tests' private session bus.
test_packages=(
  libgtest-dev libgmock-dev libcpp-httplib-dev libbenchmark-dev python3 openssl xvfb x11-utils
  dbus-daemon
)
# Servers the end-to-end tests start on 127.0.0.1.
server_packages=(nginx-light tinyproxy python3-aiosmtpd)
# scripts/fuzz.sh: clang and its fuzzer and sanitizer runtimes (only recommended by clang-14);
# window screenshots: a window manager and panel on the virtual display, xwd and convert;
# xdotool types and clicks into the real window (screenshots, end-to-end tests of dialogs);
# clang-format-14 and clang-tidy-14: the format check (ctest format) and the lint stage;
# librsvg2-bin and python3-pil: scripts/make-icons.py, which redraws the committed images;
# dunst: the notification service on the screenshot desktop.
tool_packages=(clang libclang-rt-14-dev openbox tint2 x11-apps imagemagick xdotool
               clang-format-14 clang-tidy-14 librsvg2-bin python3-pil dunst)

# systemd (systemd-analyze): the check of the headless mode's user service.
tool_packages+=(systemd)

case "$set_name" in
  run) required=("${run_packages[@]}") optional=() ;;
  test) required=("${run_packages[@]}" "${test_packages[@]}" "${server_packages[@]}"
                  "${tool_packages[@]}") optional=() ;;
  check) required=("${run_packages[@]}" "${test_packages[@]}")
         optional=("${server_packages[@]}" "${tool_packages[@]}") ;;
  *) echo "usage: $0 run|test|check" >&2; exit 2 ;;
esac

missingOf() {
  local p
  for p in "$@"; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
      echo "$p"
    fi
  done
}
mapfile -t missing < <(missingOf "${required[@]}")
mapfile -t missingOptional < <(missingOf "${optional[@]}")

if [ "$(id -u)" -eq 0 ]; then
  # As root, make check gets the servers too: a run that skips nothing is worth more.
  toInstall=("${missing[@]}" "${missingOptional[@]}")
  if [ ${#toInstall[@]} -ne 0 ]; then
    echo "installing: ${toInstall[*]}"
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq
    apt-get install -y -qq --no-install-recommends "${toInstall[@]}" >/dev/null
  fi
  exit 0
fi

if [ ${#missingOptional[@]} -ne 0 ]; then
  echo "make check runs without these Debian packages and skips the tests that need them:" >&2
  echo "  ${missingOptional[*]}" >&2
fi
if [ ${#missing[@]} -ne 0 ]; then
  echo "Tarnwick ($set_name) needs these Debian packages, which are not installed:" >&2
  echo "  ${missing[*]}" >&2
  echo "Install them as root:  apt-get install ${missing[*]}" >&2
  exit 1
fi
