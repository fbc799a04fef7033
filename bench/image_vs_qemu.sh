#!/usr/bin/env bash
# Times `torvane image` against `qemu-img convert -O raw` on the same fully allocated
# 1 GiB monolithicSparse VMDK, alternating the two, and prints the median of each and
# the ratio torvane/qemu-img.
#
# Environment:
#   ROUNDS     timed rounds per tool (default 5)
#   BENCH_DIR  work directory; the source disk kept there is reused between runs
#              (default: a fresh mktemp -d under /var/tmp)
#   KEEP       1 = keep the work directory even when it was made by this script
set -euo pipefail

BENCH_NAME=image_vs_qemu
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
SIZE_MIB=1024

bench_require_tools qemu-img cmake ninja
bench_require_positive ROUNDS

# --- 1. Release build -------------------------------------------------------------------
bench_build

# --- 2. Source disk ---------------------------------------------------------------------
bench_setup_work
OUT_T="$WORK/out-torvane.raw"
OUT_Q="$WORK/out-qemu.raw"
BENCH_OUTPUTS=("$OUT_T" "$OUT_Q")

RAW="$WORK/source-${SIZE_MIB}m.raw"
DISK="$WORK/source-${SIZE_MIB}m.vmdk"
# The descriptor inside the VMDK names the file it was created as, so the disk is made under
# its final name and a marker file records that it was completed.
if [[ ! -s "$DISK" || ! -f "$DISK.complete" ]]; then
  rm -f "$DISK" "$DISK.complete"
  echo "making a ${SIZE_MIB} MiB monolithicSparse disk of random data in $WORK ..."
  bytes=$((SIZE_MIB * 1024 * 1024))
  if command -v openssl >/dev/null; then
    openssl rand -out "$RAW" "$bytes"
  elif command -v python3 >/dev/null; then
    python3 - "$RAW" "$bytes" <<'EOF'
import os, sys
left = int(sys.argv[2])
with open(sys.argv[1], "wb") as f:
    while left:
        n = min(left, 1 << 24)
        f.write(os.urandom(n))
        left -= n
EOF
  else
    head -c "$bytes" /dev/urandom >"$RAW"
  fi
  [[ "$(stat -c %s "$RAW")" == "$bytes" ]] || die "could not make $bytes bytes of data"
  qemu-img convert -f raw -O vmdk -o subformat=monolithicSparse "$RAW" "$DISK"
  rm -f "$RAW"
  touch "$DISK.complete"
fi

# --- 3. Timing ---------------------------------------------------------------------------
# Before each run, outside the timing, the outputs are deleted and `sync` is called (see
# bench_elapsed in lib.sh), so both tools start equal. Nothing is dropped from the page
# cache: both read the source warm.
run_torvane() { "$TORVANE" image "$DISK" -o "$OUT_T" --force >/dev/null 2>&1; }
run_qemu() { qemu-img convert -f vmdk -O raw "$DISK" "$OUT_Q"; }

echo "disk: $DISK ($(stat -c %s "$DISK") bytes)"
echo "torvane: $TORVANE"
echo "qemu-img: $(qemu-img --version | head -n1)"

# Untimed warm-up: fills the page cache with the source and checks the outputs once.
bench_remove_outputs
run_torvane || die "torvane image failed"
run_qemu || die "qemu-img convert failed"
cmp "$OUT_T" "$OUT_Q" || die "outputs differ"
echo "outputs are byte-identical ($(stat -c %s "$OUT_T") bytes)"

# --- 4. Timed rounds and summary ---------------------------------------------------------
bench_compare run_torvane qemu-img run_qemu
exit 0
