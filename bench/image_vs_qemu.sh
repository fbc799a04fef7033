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

SCRIPT_DIR="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
REPO="$(cd "$SCRIPT_DIR/.." && pwd)"
BUILD="$REPO/build-bench"
TORVANE="$BUILD/torvane"
ROUNDS="${ROUNDS:-5}"
SIZE_MIB=1024

die() { echo "image_vs_qemu: $*" >&2; exit 1; }

command -v qemu-img >/dev/null || die "qemu-img not found (install qemu-utils)"
command -v cmake >/dev/null || die "cmake not found"
command -v ninja >/dev/null || die "ninja not found"
[[ "$ROUNDS" =~ ^[1-9][0-9]*$ ]] || die "ROUNDS must be a positive integer"

# --- 1. Release build -------------------------------------------------------------------
if [[ ! -f "$BUILD/build.ninja" ]]; then
  cmake -S "$REPO" -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=Release -DTORVANE_TESTS=OFF >/dev/null
fi
ninja -C "$BUILD" torvane_cli >/dev/null
[[ -x "$TORVANE" ]] || die "build did not produce $TORVANE"

# --- 2. Source disk ---------------------------------------------------------------------
if [[ -n "${BENCH_DIR:-}" ]]; then
  WORK="$BENCH_DIR"
  mkdir -p "$WORK"
  OWN_WORK=0
else
  WORK="$(mktemp -d /var/tmp/torvane-bench.XXXXXX)"
  OWN_WORK=1
fi
OUT_T="$WORK/out-torvane.raw"
OUT_Q="$WORK/out-qemu.raw"
cleanup() {
  rm -f "$OUT_T" "$OUT_Q"
  if [[ "$OWN_WORK" == 1 && "${KEEP:-0}" != 1 ]]; then rm -rf "$WORK"; fi
}
trap cleanup EXIT

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
# Before each run, outside the timing, the outputs are deleted and `sync` writes back whatever
# the previous run left dirty (and, on a filesystem mounted with discard, issues the discards
# for the deleted file), so both tools start equal. Nothing is dropped from the page cache:
# both read the source warm.
run_torvane() { "$TORVANE" image "$DISK" -o "$OUT_T" --force >/dev/null 2>&1; }
run_qemu() { qemu-img convert -f vmdk -O raw "$DISK" "$OUT_Q"; }

# Prints the wall time of "$@" in seconds; fails if the command fails.
elapsed() {
  local t0 t1
  rm -f "$OUT_T" "$OUT_Q"
  sync
  t0=$(date +%s.%N)
  "$@" || die "$* failed"
  t1=$(date +%s.%N)
  awk -v a="$t0" -v b="$t1" 'BEGIN { printf "%.3f", b - a }'
}

median() { printf '%s\n' "$@" | sort -g | awk '{ v[NR] = $1 } END {
  if (NR % 2) printf "%.3f", v[(NR + 1) / 2]; else printf "%.3f", (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }

echo "disk: $DISK ($(stat -c %s "$DISK") bytes)"
echo "torvane: $TORVANE"
echo "qemu-img: $(qemu-img --version | head -n1)"

# Untimed warm-up: fills the page cache with the source and checks the outputs once.
rm -f "$OUT_T" "$OUT_Q"
run_torvane || die "torvane image failed"
run_qemu || die "qemu-img convert failed"
cmp "$OUT_T" "$OUT_Q" || die "outputs differ"
echo "outputs are byte-identical ($(stat -c %s "$OUT_T") bytes)"

t_times=() q_times=()
printf '%-6s %10s %10s\n' round torvane qemu-img
for ((i = 1; i <= ROUNDS; i++)); do
  # Alternate which tool goes first so neither always follows the other's writeback.
  if ((i % 2)); then
    t=$(elapsed run_torvane); q=$(elapsed run_qemu)
  else
    q=$(elapsed run_qemu); t=$(elapsed run_torvane)
  fi
  t_times+=("$t") q_times+=("$q")
  printf '%-6s %9ss %9ss\n' "$i" "$t" "$q"
done

# --- 4. Summary ---------------------------------------------------------------------------
mt=$(median "${t_times[@]}")
mq=$(median "${q_times[@]}")
printf '%-6s %9ss %9ss\n' median "$mt" "$mq"
awk -v t="$mt" -v q="$mq" 'BEGIN { printf "ratio: %.2f\n", (q > 0 ? t / q : 0) }'
exit 0
