#!/usr/bin/env bash
# Saves and loads a scan session of 1,000,000 named entries (and a 1 MiB allocation map)
# and prints the seconds each took (processor time and wall clock, the save's fsync
# included) and the file's size as a share of the raw list, names and map.
# Targets: each at most 1 s, the file at most 40 % of the raw size.
#
# Environment:
#   BUILD_TESTS  the build folder with torvane_tests (default: build-bench-tests, made
#                here as a Release build with the tests)
set -euo pipefail

REPO="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
BUILD="${BUILD_TESTS:-$REPO/build-bench-tests}"
if [[ ! -f "$BUILD/build.ninja" ]]; then
  cmake -S "$REPO" -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
fi
ninja -C "$BUILD" torvane_tests >/dev/null
"$BUILD/torvane_tests" --gtest_also_run_disabled_tests \
  --gtest_filter='SessionBench.DISABLED_SaveAndLoadAMillionNamedEntries' | grep -E '^(entries|processor|wall)'
