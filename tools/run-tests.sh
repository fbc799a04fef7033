#!/usr/bin/env bash
# Builds and runs the test suite three times: the whole suite in a normal build and in one
# with the address and undefined-behaviour sanitizers, then the suites that run threads in a
# thread-sanitizer build.
set -euo pipefail
repo="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
"$repo/tools/install-deps.sh"
jobs=$(nproc 2>/dev/null || echo 2)
# The suites with more than one thread: the scan driver (pause, resume and stop from another
# thread), the item store and its lists under concurrent appends, the allocation map, the
threaded='^(ScanDriverTest|ItemStoreTest|DynListTest|AllocationMapTest|ReformattedScanTest|CliScanTest|CliScanStopTest|SessionScanTest|PartitionSearchTest|SearchTest|ExplorerListingThreadTest|CarveFixture|CarveReformatted)\.'
for variant in build build-asan build-tsan; do
  extra=()
  filter=()
  case "$variant" in
    build-asan) extra=(-DTORVANE_SANITIZE=ON -DCMAKE_BUILD_TYPE=Debug) ;;
    # The desktop application's tests stay out of the thread-sanitizer run: Qt itself is not
    # built for it, and its thread pool and event queues raise reports of their own. They run
    # in the two other builds (closing with workers running is checked under the address
    # sanitizer).
    build-tsan) extra=(-DTORVANE_TSAN=ON -DTORVANE_GUI=OFF); filter=(-R "$threaded") ;;
  esac
  echo "== $variant"
  cmake -S "$repo" -B "$repo/$variant" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo "${extra[@]}" >/dev/null
  ninja -C "$repo/$variant" -j "$jobs"
  TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1" \
    ctest --test-dir "$repo/$variant" --output-on-failure -j "$jobs" "${filter[@]}"
done
