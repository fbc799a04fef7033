#!/usr/bin/env bash
# Times `torvane recover` of one large contiguous NTFS file against sleuthkit's `icat` of the
# same file, alternating the two, and prints the median of each and the ratio torvane/icat.
#
# The volume: a raw disk with an MBR and one NTFS partition at sector 2048 (4 KiB clusters),
# holding one file, /big.bin, of 768 MiB of random data in a single data run. Torvane reads
# it from a monolithicSparse VMDK, icat from the raw disk it was converted from.
#
# Environment:
#   ROUNDS     timed rounds per tool (default 5)
#   BENCH_DIR  work directory; the disks kept there are reused between runs
#              (default: a fresh mktemp -d under /var/tmp)
#   KEEP       1 = keep the work directory even when it was made by this script
set -euo pipefail

BENCH_NAME=recover_vs_icat
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
FILE_MIB=768
# 3 GiB (sparse). mkntfs puts $MFTMirr and $LogFile in the middle of the volume and ntfs-3g
# keeps the first 12.5% for the MFT zone, so the volume must be well over twice the file for
# the file to fit in one run between the two.
DISK_SECTORS=$((3 * 1024 * 1024 * 2))
PART_START=2048
PART_SECTORS=$((DISK_SECTORS - PART_START))
NAME=big.bin

bench_require_tools cmake ninja qemu-img icat ifind istat mkntfs ntfs-3g sfdisk mountpoint cmp
bench_require_positive ROUNDS

# --- 1. Release build -------------------------------------------------------------------
bench_build

# --- 2. Source volume -------------------------------------------------------------------
bench_setup_work
TAG="ntfs-big-${FILE_MIB}m"
RAW="$WORK/$TAG.raw"
DISK="$WORK/$TAG.vmdk"
PART="$WORK/$TAG.part.img"
MNT="$WORK/$TAG.mnt"
bench_ntfs_volume
OUT_T="$WORK/out-torvane"          # a folder: torvane writes OUT_T/big.bin
OUT_I="$WORK/out-icat.bin"
BENCH_OUTPUTS=("$OUT_T" "$OUT_I")
script_cleanup() {
  ntfs_cleanup
  rm -rf "$PART" "$MNT"
}


# Both disks are made under their final names; a marker records that they were completed.
if [[ ! -s "$DISK" || ! -s "$RAW" || ! -f "$DISK.complete" ]]; then
  rm -f "$DISK" "$RAW" "$DISK.complete" "$PART"
  say "making an NTFS volume with one ${FILE_MIB} MiB file in $WORK ..."
  new_ntfs_disk BIGFILE 0x42454e44

  mount_ntfs
  # One sequential write into the empty volume: ntfs-3g allocates it as one run.
  head -c $((FILE_MIB * 1024 * 1024)) /dev/urandom >"$MNT/$NAME" || die "writing $NAME failed"
  unmount_ntfs
  place_partition
  qemu-img convert -f raw -O vmdk -o subformat=monolithicSparse "$RAW" "$DISK"
  touch "$DISK.complete"
fi

# The file's MFT record, and a check that its data is a single run.
INODE=$(ifind -n "/$NAME" -o "$PART_START" -f ntfs "$RAW") || die "ifind found no /$NAME"
[[ "$INODE" =~ ^[0-9]+$ ]] || die "ifind printed '$INODE'"
# `istat -r` prints each non-resident attribute's runs as "Starting address: LCN, length: N".
runs=$(istat -r -o "$PART_START" -f ntfs "$RAW" "$INODE" |
  awk '/^Type: / { on = /^Type: \$DATA \(128-/; next } on && /Starting address:/ { n++ }
       END { print n + 0 }')
[[ "$runs" == 1 ]] || die "/$NAME has $runs data runs, not 1 (delete $RAW to make it again)"

# --- 3. Timing ---------------------------------------------------------------------------
# Before each run, outside the timing, the outputs are deleted and `sync` writes back whatever
# the previous run left dirty (bench_elapsed in lib.sh), so both tools start equal. Nothing is
# dropped from the page cache: both read their disk warm. Neither tool flushes its output.
run_torvane() { "$TORVANE" recover "$DISK" -v 0 -o "$OUT_T" "$NAME" >/dev/null 2>&1; }
run_icat() { icat -o "$PART_START" -f ntfs "$RAW" "$INODE" >"$OUT_I"; }

echo "disk: $DISK ($(stat -c %s "$DISK") bytes), raw: $RAW"
echo "file: /$NAME, MFT record $INODE, 1 data run"
echo "torvane: $TORVANE"
echo "icat: $(icat -V | head -n1)"

# Untimed warm-up: fills the page cache with both disks and checks the outputs once.
bench_remove_outputs
run_torvane || die "torvane recover failed"
run_icat || die "icat failed"
[[ -f "$OUT_T/$NAME" ]] || die "torvane wrote no $OUT_T/$NAME"
size=$(stat -c %s "$OUT_T/$NAME")
[[ "$size" == $((FILE_MIB * 1024 * 1024)) ]] || die "torvane wrote $size bytes, not ${FILE_MIB} MiB"
cmp "$OUT_T/$NAME" "$OUT_I" || die "outputs differ"
echo "outputs are byte-identical ($size bytes)"

# --- 4. Timed rounds and summary ---------------------------------------------------------
bench_compare run_torvane icat run_icat
exit 0
