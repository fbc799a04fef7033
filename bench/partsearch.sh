#!/usr/bin/env bash
# Times `torvane partsearch` (DEEP, then FAST) against TestDisk's command mode (analyse, quick
# and deeper search: `testdisk /cmd DISK partition_i386,analyze,search`) on the same sparse
# 4 GiB raw disk whose MBR was zeroed, and prints the medians and ratios torvane/testdisk.
#
# The disk: an NTFS volume of 64 MiB at sector 2048, a FAT32 volume of 512 MiB after it and
# an NTFS volume of 128 MiB ending 1 MiB before the disk's end, then the MBR zeroed. Both
# tools must find the three volumes (checked once, untimed).
#
# Environment:
#   ROUNDS       timed rounds per tool (default 5)
#   BENCH_DIR    work directory; the disk kept there is reused between runs
#   KEEP         1 = keep the work directory even when it was made by this script
#   TORVANE_BIN  a torvane binary to time instead of building build-bench/
set -euo pipefail

BENCH_NAME=partsearch
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
bench_require_tools cmake ninja testdisk sfdisk mkntfs mkfs.fat
bench_require_positive ROUNDS
if [[ -n "${TORVANE_BIN:-}" ]]; then TORVANE="$TORVANE_BIN"; else bench_build; fi

bench_setup_work
RAW="$WORK/partsearch-4g.raw"
if [[ ! -s "$RAW" || ! -f "$RAW.complete" ]]; then
  say "making a 4 GiB disk with three lost volumes in $WORK ..."
  rm -f "$RAW" "$RAW.complete"
  DISK_SECTORS=$((4 * 1024 * 1024 * 2))
  truncate -s $((DISK_SECTORS * 512)) "$RAW"
  last_start=$((DISK_SECTORS - 2048 - 128 * 2048))
  printf 'label: dos\nunit: sectors\n\nstart=2048, size=131072, type=7\nstart=133120, size=1048576, type=c\nstart=%d, size=262144, type=7\n' \
    "$last_start" | sfdisk -q --no-reread --no-tell-kernel "$RAW"
  part() { # part KIND START SECTORS LABEL
    local img="$WORK/part.img"
    rm -f "$img"
    truncate -s $(($3 * 512)) "$img"
    case "$1" in
      ntfs) mkntfs -q -F -Q -s 512 -p "$2" -H 255 -S 63 -L "$4" "$img" "$3" >/dev/null 2>&1 ;;
      fat32) mkfs.fat -F 32 -h "$2" -n "$4" "$img" >/dev/null ;;
    esac
    RAW="$RAW" PART="$img" PART_START="$2" DISK_SECTORS="$DISK_SECTORS" place_partition
  }
  part ntfs 2048 131072 FIRST
  part fat32 133120 1048576 MIDDLE
  part ntfs "$last_start" 262144 LAST
  dd if=/dev/zero of="$RAW" bs=512 count=1 conv=notrunc status=none
  touch "$RAW.complete"
fi

say "checking that both tools find the three volumes ..."
found="$("$TORVANE" partsearch "$RAW" --json 2>/dev/null)"
for label in FIRST MIDDLE LAST; do
  grep -q "\"label\":\"$label\"" <<<"$found" || die "torvane did not find $label"
done
[[ "$(grep -o '"label"' <<<"$found" | wc -l)" == 3 ]] || die "torvane found more than the three volumes"
(cd "$WORK" && testdisk /log /cmd "$RAW" partition_i386,analyze,search </dev/null >/dev/null 2>&1) || true
for label in FIRST MIDDLE LAST; do
  grep -q "$label" "$WORK/testdisk.log" || die "testdisk did not find $label"
done

run_deep() { "$TORVANE" partsearch "$RAW" >/dev/null 2>&1; }
run_fast() { "$TORVANE" partsearch "$RAW" --fast >/dev/null 2>&1; }
run_testdisk() { (cd "$WORK" && testdisk /cmd "$RAW" partition_i386,analyze,search </dev/null >/dev/null 2>&1) || true; }

echo "== DEEP DETECT vs testdisk"
bench_compare run_deep testdisk run_testdisk
echo "== FAST DETECT vs testdisk"
bench_compare run_fast testdisk run_testdisk
