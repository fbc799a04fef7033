#!/usr/bin/env bash
# Times `torvane carve` of a 1 GiB raw disk of mixed content (a third real files, a third
# random data, a third zeros) against PhotoRec on the same image, and counts for each the
# files laid down that come back byte-identical.
#
# Environment: ROUNDS (default 3), BENCH_DIR, KEEP (see lib.sh), SIZE_MIB (default 1024).
set -euo pipefail

BENCH_NAME=carve
ROUNDS="${ROUNDS:-3}"
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
SIZE_MIB="${SIZE_MIB:-1024}"

bench_require_tools cmake ninja python3 cjpeg lame photorec sha256sum
bench_require_positive ROUNDS
bench_build
bench_setup_work

IMG="$WORK/carve-bench.img"
FILES="$WORK/carve-bench.tsv"
if [[ ! -f "$IMG" || ! -f "$FILES" ]]; then
  say "making a $SIZE_MIB MiB disk in $WORK"
  python3 "$REPO/bench/carve_image.py" "$IMG" "$FILES" "$SIZE_MIB"
fi
OUT_T="$WORK/out-torvane"
OUT_P="$WORK/out-photorec"
BENCH_OUTPUTS=("$OUT_T" "$OUT_P" "$WORK/photorec.log")

run_torvane() { "$TORVANE" carve "$IMG" -o "$OUT_T" >/dev/null 2>&1; }
run_photorec() {
  mkdir -p "$OUT_P"
  (cd "$WORK" && photorec /log /d "$OUT_P/r" /cmd "$IMG" partition_none,options,paranoid,fileopt,everything,enable,search \
    >/dev/null 2>&1)
}

# Warm the page cache, then the timed rounds.
cat "$IMG" >/dev/null
bench_compare run_torvane photorec run_photorec

# Files found byte-identical: the laid-down files whose sha256 is among a tool's outputs.
count_found() {
  local dir="$1"
  find "$dir" -type f -print0 | xargs -0 -r sha256sum | awk '{ print $1 }' | sort -u >"$WORK/hashes"
  awk -F'\t' 'NR == FNR { h[$1] = 1; next } ($4 in h) { n++ } END { print n + 0 }' "$WORK/hashes" "$FILES"
}
bench_remove_outputs
run_torvane
run_photorec
laid=$(wc -l <"$FILES")
found_t=$(count_found "$OUT_T")
found_p=$(count_found "$OUT_P")
printf 'files laid down: %d\nbyte-identical: torvane %d, photorec %d\n' "$laid" "$found_t" "$found_p"
awk -v t="$found_t" -v p="$found_p" 'BEGIN { printf "found ratio: %.2f\n", (p > 0 ? t / p : 0) }'
