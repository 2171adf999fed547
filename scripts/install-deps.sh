#!/usr/bin/env bash
# Installs the Debian 12 packages that building, running and testing Tarnwick need.
# As root it uses apt-get; otherwise it names the missing packages and stops.
set -euo pipefail

packages=(
  g++ cmake ninja-build pkg-config make
  qt6-base-dev libcurl4-openssl-dev libicu-dev libcanberra-dev libssl-dev
  libgtest-dev libgmock-dev libcpp-httplib-dev libbenchmark-dev
  nginx-light tinyproxy python3-aiosmtpd openssl
  xvfb fonts-noto-cjk xdg-utils tzdata
  # scripts/fuzz.sh: clang and its fuzzer and sanitizer runtimes (only recommended by clang-14)
  clang libclang-rt-14-dev
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi

if [ "$(id -u)" -ne 0 ]; then
  echo "Tarnwick needs these Debian packages, which are not installed:" >&2
  echo "  ${missing[*]}" >&2
  echo "Install them as root:  apt-get install ${missing[*]}" >&2
  exit 1
fi

export DEBIAN_FRONTEND=noninteractive
apt-get update -qq
apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
