#!/usr/bin/env bash
# The file-type probes over a region of mixed real files (the probe test samples, each
# starting on a 4 KiB boundary, repeated up to REGION_MIB, 1024 by default), read warm from
# the page cache: GB of region per second of probe time. See bench/README.md.
set -euo pipefail
BENCH_NAME=probes
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"

REGION_MIB="${REGION_MIB:-1024}"
bench_require_positive REGION_MIB
bench_require_tools cmake ninja tar xz
bench_build
ninja -C "$BUILD" torvane >/dev/null
bench_setup_work

driver="$WORK/probe_bench"
"${CXX:-c++}" -O2 -std=c++20 -I "$REPO/src" "$REPO/bench/probe_bench.cpp" "$BUILD/src/libtorvane.a" -lz -lpthread \
  -o "$driver"

region="$WORK/region.bin"
if [[ ! -f "$region" ]]; then
  samples="$WORK/samples"
  mkdir -p "$samples"
  tar -C "$samples" -xJf "$REPO/tests/data/probes-media.tar.xz"
  cp -r "$REPO/tests/data/probes" "$samples/"
  unit="$WORK/unit.bin"
  : >"$unit"
  while IFS= read -r -d '' f; do
    cat "$f" >>"$unit"
    pad=$(( (4096 - $(stat -c %s "$unit") % 4096) % 4096 ))
    head -c "$pad" /dev/zero >>"$unit"
  done < <(find "$samples" -type f ! -name MANIFEST.tsv -print0 | sort -z)
  unit_bytes=$(stat -c %s "$unit")
  copies=$(( (REGION_MIB * 1048576 + unit_bytes - 1) / unit_bytes ))
  say "region: $copies copies of $unit_bytes bytes of samples"
  for ((i = 0; i < copies; i++)); do cat "$unit"; done >"$region"
fi
cat "$region" >/dev/null  # warm the page cache
"$driver" "$region" "$ROUNDS"
