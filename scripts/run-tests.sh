#!/usr/bin/env bash
# Runs the test suite of one build folder; GUI tests run offscreen.
set -euo pipefail
build=${1:-build}
export QT_QPA_PLATFORM=offscreen
ctest --test-dir "$build" --output-on-failure -j 2 --timeout 300
