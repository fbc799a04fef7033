#!/usr/bin/env bash
# Times `torvane scan` (the search of an NTFS volume's free space for lost MFT records)
# against `torvane image` of the whole disk, alternating the two, and compares their read
# throughput: the bytes of the volume's free clusters per second of the scan against the
# bytes of the disk per second of the image. Target: the scan reads at no less than 90% of
# the image's speed (ratio >= 0.90).
#
# The disk: a 1.5 GiB monolithicSparse VMDK with an MBR and one NTFS partition at sector
# 2048 (4 KiB clusters) whose free clusters hold over 1 GiB of random data (a 1.2 GiB file
# was written and deleted), so that the scan really reads them.
#
# Environment:
#   ROUNDS     timed rounds per command (default 5)
#   BENCH_DIR  work directory; the disks kept there are reused between runs
#              (default: a fresh mktemp -d under /var/tmp)
#   KEEP       1 = keep the work directory even when it was made by this script
set -euo pipefail

BENCH_NAME=scan_vs_image
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
FILE_MIB=1228                            # the file written, then deleted (1.2 GiB)
DISK_SECTORS=$((3 * 1024 * 1024))        # 1.5 GiB disk (sparse)
PART_START=2048
PART_SECTORS=$((DISK_SECTORS - PART_START))
NAME=fill.bin
MIN_FREE_DATA=$((1024 * 1024 * 1024))    # free bytes that must hold non-zero data

bench_require_tools cmake ninja qemu-img icat mkntfs ntfs-3g sfdisk python3 mountpoint
bench_require_positive ROUNDS

# --- 1. Release build -------------------------------------------------------------------
bench_build

# --- 2. Source volume -------------------------------------------------------------------
bench_setup_work
TAG="ntfs-free-${FILE_MIB}m"
RAW="$WORK/$TAG.raw"
DISK="$WORK/$TAG.vmdk"
PART="$WORK/$TAG.part.img"
MNT="$WORK/$TAG.mnt"
bench_ntfs_volume
OUT="$WORK/out-image.raw"
BENCH_OUTPUTS=("$OUT")
script_cleanup() {
  ntfs_cleanup
  rm -rf "$PART" "$MNT"
}


# Both disks are made under their final names; a marker records that they were completed.
if [[ ! -s "$DISK" || ! -s "$RAW" || ! -f "$DISK.complete" ]]; then
  rm -f "$DISK" "$RAW" "$DISK.complete" "$PART"
  say "making an NTFS volume whose free space holds ${FILE_MIB} MiB of data in $WORK ..."
  new_ntfs_disk FREESPACE 0x42454e45

  # Write the file, unmount (everything reaches the image), remount and delete it: its
  # clusters are free again but keep the data.
  mount_ntfs
  head -c $((FILE_MIB * 1024 * 1024)) /dev/urandom >"$MNT/$NAME" || die "writing $NAME failed"
  unmount_ntfs
  mount_ntfs
  rm -f "$MNT/$NAME"
  unmount_ntfs
  place_partition
  qemu-img convert -f raw -O vmdk -o subformat=monolithicSparse "$RAW" "$DISK"
  touch "$DISK.complete"
fi

# The volume's free clusters from its $Bitmap (MFT record 6, read with icat) and the
# cluster count in its boot sector; also how many free clusters hold anything but zeros.
# Prints: cluster_bytes clusters free_clusters free_clusters_with_data
read -r CLUSTER_BYTES CLUSTERS FREE_CLUSTERS FREE_DATA_CLUSTERS < <(
  icat -o "$PART_START" -f ntfs "$RAW" 6 | python3 -c '
import struct, sys
raw, start = sys.argv[1], int(sys.argv[2]) * 512
bitmap = sys.stdin.buffer.read()
with open(raw, "rb") as f:
    f.seek(start)
    boot = f.read(512)
    assert boot[3:11] == b"NTFS    ", "no NTFS boot sector"
    bps = struct.unpack_from("<H", boot, 0x0B)[0]
    spc = boot[0x0D]
    total = struct.unpack_from("<Q", boot, 0x28)[0]
    cb = bps * spc
    clusters = total // spc
    free = data = 0
    zero = bytes(cb)
    step = 256                      # clusters per read (multiple of 8)
    for c0 in range(0, clusters, step):
        n = min(step, clusters - c0)
        bits = bitmap[c0 // 8:(c0 + n + 7) // 8]
        if bits == b"\xff" * len(bits) and n == step:
            continue
        f.seek(start + c0 * cb)
        block = f.read(n * cb)
        for k in range(n):
            c = c0 + k
            if not (bitmap[c // 8] >> (c % 8)) & 1:
                free += 1
                if block[k * cb:(k + 1) * cb] != zero:
                    data += 1
print(cb, clusters, free, data)
' "$RAW" "$PART_START") || die "reading the volume's \$Bitmap failed"
[[ "$FREE_CLUSTERS" =~ ^[0-9]+$ && "$CLUSTER_BYTES" =~ ^[0-9]+$ ]] || die "could not count free clusters"
FREE_BYTES=$((FREE_CLUSTERS * CLUSTER_BYTES))
FREE_DATA_BYTES=$((FREE_DATA_CLUSTERS * CLUSTER_BYTES))
DISK_BYTES=$((DISK_SECTORS * 512))
((FREE_DATA_BYTES >= MIN_FREE_DATA)) ||
  die "only $FREE_DATA_BYTES free bytes hold data (delete $DISK to make it again)"

# --- 3. Timing ---------------------------------------------------------------------------
# Before each run, outside the timing, the image output is deleted and `sync` writes back
# whatever the previous run left dirty (bench_elapsed in lib.sh). Nothing is dropped from
# the page cache: both read the VMDK warm. `torvane image` ends with fdatasync.
run_scan() { "$TORVANE" scan "$DISK" -v 0 >/dev/null 2>&1; }
run_image() { "$TORVANE" image "$DISK" -o "$OUT" --force >/dev/null 2>&1; }
# Reference, not the target: the same image written to /dev/null, i.e. its reads alone. Its
# closing fdatasync fails on /dev/null (EINVAL) after every byte was read and written, so
# that one failure is accepted; any other is not.
run_image_null() {
  local err
  err=$("$TORVANE" image "$DISK" -o /dev/null --force 2>&1 >/dev/null) && return 0
  [[ "$err" == *"cannot finish /dev/null"* ]] || { echo "$err" >&2; return 1; }
}

echo "disk: $DISK ($(stat -c %s "$DISK") bytes in the file, $DISK_BYTES bytes of disk)"
echo "volume 0: $CLUSTERS clusters of $CLUSTER_BYTES bytes, $FREE_CLUSTERS free" \
  "($FREE_BYTES bytes, $FREE_DATA_BYTES of them holding data)"
echo "torvane: $TORVANE"

# Untimed warm-up of each, which also shows what the scan reports.
bench_remove_outputs
"$TORVANE" scan "$DISK" -v 0 2>&1 >/dev/null | tail -n1 || die "torvane scan failed"
run_image || die "torvane image failed"
[[ "$(stat -c %s "$OUT")" == "$DISK_BYTES" ]] || die "the image is not $DISK_BYTES bytes"

run_image_null || die "torvane image to /dev/null failed"

# Alternating rounds: odd rounds run scan, image, image>null; even rounds the reverse.
s_times=() i_times=() n_times=()
printf '%-6s %10s %10s %11s\n' round scan image image\>null
for ((r = 1; r <= ROUNDS; r++)); do
  if ((r % 2)); then
    s=$(bench_elapsed run_scan); i=$(bench_elapsed run_image); n=$(bench_elapsed run_image_null)
  else
    n=$(bench_elapsed run_image_null); i=$(bench_elapsed run_image); s=$(bench_elapsed run_scan)
  fi
  s_times+=("$s") i_times+=("$i") n_times+=("$n")
  printf '%-6s %9ss %9ss %10ss\n' "$r" "$s" "$i" "$n"
done
ms=$(bench_median "${s_times[@]}")
mi=$(bench_median "${i_times[@]}")
mn=$(bench_median "${n_times[@]}")
printf '%-6s %9ss %9ss %10ss\n' median "$ms" "$mi" "$mn"
awk -v fb="$FREE_BYTES" -v db="$DISK_BYTES" -v s="$ms" -v i="$mi" -v n="$mn" 'BEGIN {
  ts = s > 0 ? fb / s / 1e6 : 0; ti = i > 0 ? db / i / 1e6 : 0; tn = n > 0 ? db / n / 1e6 : 0
  printf "throughput: scan %.0f MB/s (%d free bytes), image %.0f MB/s, image>null %.0f MB/s (%d disk bytes)\n", ts, fb, ti, tn, db
  printf "ratio: %.2f\n", (ti > 0 ? ts / ti : 0)
  printf "read-only ratio (scan / image>null): %.2f\n", (tn > 0 ? ts / tn : 0) }'
exit 0
