#!/usr/bin/env bash
# Builds and runs the whole test suite twice: a normal build, and one with the address and
# undefined-behaviour sanitizers.
set -euo pipefail
repo="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
"$repo/tools/install-deps.sh"
jobs=$(nproc 2>/dev/null || echo 2)
for variant in build build-asan; do
  extra=()
  [ "$variant" = build-asan ] && extra=(-DTORVANE_SANITIZE=ON -DCMAKE_BUILD_TYPE=Debug)
  echo "== $variant"
  cmake -S "$repo" -B "$repo/$variant" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo "${extra[@]}" >/dev/null
  ninja -C "$repo/$variant" -j "$jobs"
  ctest --test-dir "$repo/$variant" --output-on-failure -j "$jobs"
done
