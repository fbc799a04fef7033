#!/usr/bin/env bash
# The explorer model on an NTFS volume whose one folder holds FILES files (200,000 by
# default, a tenth of them deleted): the walk, opening the model on that folder and forming
# its first 100 rows, listing and sorting it again, and peak memory (bench/model_bench.cpp);
# then `torvane ls DISK -v 0 big --json` timed in ROUNDS rounds. See bench/README.md.
#
# Environment: ROUNDS (default 5), BENCH_DIR (keeps and reuses the disk), KEEP, FILES.
set -euo pipefail

BENCH_NAME=explorer_model
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
FILES="${FILES:-200000}"
DISK_SECTORS=$((2 * 1024 * 1024 * 2))   # 2 GiB disk (sparse)
PART_START=2048
PART_SECTORS=$((DISK_SECTORS - PART_START))

bench_require_tools cmake ninja qemu-img mkntfs ntfs-3g sfdisk python3 mountpoint
bench_require_positive ROUNDS
bench_require_positive FILES
bench_build
ninja -C "$BUILD" torvane >/dev/null
bench_setup_work
TAG="ntfs-flat-${FILES}f"
RAW="$WORK/$TAG.raw"
DISK="$WORK/$TAG.vmdk"
PART="$WORK/$TAG.part.img"
MNT="$WORK/$TAG.mnt"
bench_ntfs_volume
script_cleanup() {
  ntfs_cleanup
  rm -rf "$PART" "$MNT"
}

if [[ ! -s "$DISK" || ! -f "$DISK.complete" ]]; then
  rm -f "$DISK" "$RAW" "$DISK.complete" "$PART"
  say "making an NTFS volume with $FILES files in one folder in $WORK (several minutes) ..."
  new_ntfs_disk FLAT 0x464c4154
  mount_ntfs
  t0=$(date +%s)
  python3 - "$MNT" "$FILES" <<'PY' || die "populating the volume failed"
import os, random, sys
mnt, nfiles = sys.argv[1], int(sys.argv[2])
r = random.Random(20261207)
EXTS = ['.txt', '.docx', '.jpg', '.png', '.csv', '.log', '.pdf', '.dat']
big = os.path.join(mnt, 'big')
os.mkdir(big)
paths = []
for i in range(nfiles):
    p = os.path.join(big, 'file %06d %s%s' % (i, ''.join(r.choice('abcdefghij') for _ in range(r.randint(2, 12))),
                                            r.choice(EXTS)))
    fd = os.open(p, os.O_CREAT | os.O_EXCL | os.O_WRONLY, 0o644)
    if r.random() < 0.3:
        os.write(fd, b'%d\n' % i)
    os.close(fd)
    paths.append(p)
    if (i + 1) % 20000 == 0:
        print('  %d files' % (i + 1), file=sys.stderr, flush=True)
for p in r.sample(paths, len(paths) // 10):
    os.unlink(p)
PY
  unmount_ntfs
  say "  populated in $(( $(date +%s) - t0 )) s"
  place_partition
  qemu-img convert -f raw -O vmdk -o subformat=monolithicSparse "$RAW" "$DISK"
  rm -f "$RAW"
  touch "$DISK.complete"
fi

driver="$WORK/model_bench"
"${CXX:-c++}" -O2 -std=c++20 -I "$REPO/src" "$REPO/bench/model_bench.cpp" "$BUILD/src/libtorvane.a" -lz -lpthread \
  -o "$driver"
"$driver" "$DISK"

run_ls() { "$TORVANE" ls "$DISK" -v 0 big --json >/dev/null 2>&1; }
times=()
for ((i = 0; i < ROUNDS; i++)); do
  times+=("$(bench_elapsed run_ls)")
  printf 'round %d  ls big: %ss\n' "$((i + 1))" "${times[-1]}"
done
printf 'median ls of the folder: %ss\n' "$(bench_median "${times[@]}")"

# A content search reads every file of the volume; recover reads (and writes) those of the
# folder, which holds all but a handful of them.
run_search() { "$TORVANE" search "$DISK" -v 0 --text "no-such-text-anywhere" >/dev/null 2>&1; }
OUT="$WORK/recovered"
run_recover() { rm -rf "$OUT"; "$TORVANE" recover "$DISK" -v 0 -o "$OUT" big --yes >/dev/null 2>&1; }
search_times=() recover_times=()
for ((i = 0; i < ROUNDS; i++)); do
  search_times+=("$(bench_elapsed run_search)")
  recover_times+=("$(bench_elapsed run_recover)")
  printf 'round %d  content search: %ss  recover big: %ss\n' "$((i + 1))" "${search_times[-1]}" "${recover_times[-1]}"
done
rm -rf "$OUT"
printf 'median content search: %ss, median recover: %ss\n' "$(bench_median "${search_times[@]}")" \
  "$(bench_median "${recover_times[@]}")"
