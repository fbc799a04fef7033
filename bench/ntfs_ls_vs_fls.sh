#!/usr/bin/env bash
# Times `torvane ls -r --json` against sleuthkit's `fls -r -p` on the same NTFS volume of
# about 212,000 MFT records (210,000 small files in 2,220 nested folders, a tenth of the
# files deleted), alternating the two, and prints the median of each and the ratio
# torvane/fls. Then measures Torvane's peak resident memory per listed entry.
#
# Torvane reads the volume from a monolithicSparse VMDK, fls from the raw disk it was
# converted from (partition at sector 2048).
#
# Environment:
#   ROUNDS     timed rounds per tool (default 5)
#   BENCH_DIR  work directory; the disks kept there are reused between runs (making them
#              takes several minutes) (default: a fresh mktemp -d under /var/tmp)
#   KEEP       1 = keep the work directory even when it was made by this script
#   FILES      files to create (default 210000); FOLDERS_TOP top-level folders (default 20,
#              each with 10 subfolders of 10 subfolders: 20 + 200 + 2000 folders)
set -euo pipefail

BENCH_NAME=ntfs_ls_vs_fls
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
FILES="${FILES:-210000}"
FOLDERS_TOP="${FOLDERS_TOP:-20}"
DISK_SECTORS=$((2 * 1024 * 1024 * 2))   # 2 GiB disk (sparse)
PART_START=2048
PART_SECTORS=$((DISK_SECTORS - PART_START))
TINY="$REPO/samples/demo.vmdk"           # baseline for the memory figure

bench_require_tools cmake ninja qemu-img fls mkntfs ntfs-3g sfdisk python3 mountpoint
bench_require_positive ROUNDS
bench_require_positive FILES
bench_require_positive FOLDERS_TOP
if [[ ! -x /usr/bin/time ]]; then
  say "installing the package 'time' for /usr/bin/time"
  apt-get install -y -q time >/dev/null ||
    { apt-get update -q >/dev/null && apt-get install -y -q time >/dev/null; } ||
    die "/usr/bin/time is missing (package 'time')"
fi

# --- 1. Release build -------------------------------------------------------------------
bench_build

# --- 2. Source volume -------------------------------------------------------------------
bench_setup_work
TAG="ntfs-${FILES}f-${FOLDERS_TOP}t"
RAW="$WORK/$TAG.raw"
DISK="$WORK/$TAG.vmdk"
PART="$WORK/$TAG.part.img"
MNT="$WORK/$TAG.mnt"
bench_ntfs_volume
script_cleanup() {
  ntfs_cleanup
  rm -rf "$PART" "$MNT" "$WORK/time.out"
}


# Both disks are made under their final names; a marker records that they were completed.
if [[ ! -s "$DISK" || ! -s "$RAW" || ! -f "$DISK.complete" ]]; then
  rm -f "$DISK" "$RAW" "$DISK.complete" "$PART"
  say "making an NTFS volume with $FILES files in $WORK (several minutes) ..."
  new_ntfs_disk BENCH 0x42454e43

  mount_ntfs
  t0=$(date +%s)
  # Names of 10-30 characters from a fixed seed; files are mostly empty, some hold a few
  # bytes (resident data). Then a tenth of the files, chosen at random, are deleted.
  python3 - "$MNT" "$FILES" "$FOLDERS_TOP" <<'PY' || die "populating the volume failed"
import os, random, sys, time
mnt, nfiles, ntop = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
r = random.Random(20240314)
WORDS = ('report budget plan schedule review draft final summary market product release '
         'support service holiday travel photo archive backup office north south region '
         'target value forecast analysis result system network storage invoice payment '
         'supplier contract meeting notes minutes agenda customer project invoice scan '
         'letter memo slides chart table export import config settings cache index').split()
EXTS = ['.txt', '.docx', '.xlsx', '.pdf', '.jpg', '.png', '.csv', '.log', '.ini', '.dat']

def name(lo, hi, ext):
    while True:
        parts = [r.choice(WORDS)]
        while len('-'.join(parts)) + len(ext) < lo:
            parts.append(r.choice(WORDS) if r.random() < 0.7 else str(r.randint(1, 2024)))
        s = '-'.join(parts)
        if r.random() < 0.3:
            s = s.replace('-', ' ').title()
        s += ext
        if len(s) <= hi:
            return s

folders = []
for a in range(ntop):
    top = '%s %02d' % (name(8, 20, ''), a)
    folders.append(top)
    for b in range(10):
        mid = os.path.join(top, '%s %d' % (name(8, 20, ''), b))
        folders.append(mid)
        for c in range(10):
            folders.append(os.path.join(mid, '%s_%d' % (name(8, 22, ''), c)))
for f in folders:
    os.mkdir(os.path.join(mnt, f))

flags = os.O_CREAT | os.O_EXCL | os.O_WRONLY
paths = []
t0 = time.time()
for i in range(nfiles):
    folder = folders[r.randrange(len(folders))]
    while True:
        p = os.path.join(mnt, folder, name(10, 30, r.choice(EXTS)))
        try:
            fd = os.open(p, flags, 0o644)
            break
        except FileExistsError:
            continue
    if r.random() < 0.3:
        os.write(fd, b'%d\n' % i)
    os.close(fd)
    paths.append(p)
    if (i + 1) % 20000 == 0:
        print('  %d files, %.0f s' % (i + 1, time.time() - t0), file=sys.stderr, flush=True)
gone = r.sample(paths, len(paths) // 10)
for p in gone:
    os.unlink(p)
print('  %d folders, %d files created, %d deleted' % (len(folders), nfiles, len(gone)),
      file=sys.stderr)
PY
  unmount_ntfs
  say "  populated in $(( $(date +%s) - t0 )) s"
  place_partition
  qemu-img convert -f raw -O vmdk -o subformat=monolithicSparse "$RAW" "$DISK"
  touch "$DISK.complete"
fi

# --- 3. Timing ---------------------------------------------------------------------------
# Both tools read their disk warm from the page cache; nothing is written but the listing,
# which goes to /dev/null, so BENCH_OUTPUTS stays empty and nothing is synced between runs.
run_torvane() { "$TORVANE" ls "$DISK" -v 0 -r --json >/dev/null; }
run_fls() { fls -r -p -o "$PART_START" -f ntfs "$RAW" >/dev/null; }

echo "disk: $DISK ($(stat -c %s "$DISK") bytes), raw: $RAW"
echo "torvane: $TORVANE"
echo "fls: $(fls -V | head -n1)"

# Untimed warm-up, which also counts what each tool lists.
n_t=$("$TORVANE" ls "$DISK" -v 0 -r --json | wc -l) || die "torvane ls failed"
n_td=$("$TORVANE" ls "$DISK" -v 0 -r --json | grep -c '"deleted":true' || true)
n_f=$(fls -r -p -o "$PART_START" -f ntfs "$RAW" | wc -l) || die "fls failed"
n_fd=$(fls -r -p -o "$PART_START" -f ntfs "$RAW" | grep -c '^[^ ]* \*' || true)
echo "entries: torvane $n_t ($n_td deleted), fls $n_f ($n_fd deleted)"

bench_compare run_torvane fls run_fls

# --- 4. Memory ---------------------------------------------------------------------------
# Peak resident set (KiB from /usr/bin/time) of one run, per entry listed.
peak_kib() { /usr/bin/time -f %M -o "$WORK/time.out" "$@" >/dev/null || die "$* failed"
             tail -n1 "$WORK/time.out"; }
rss=$(peak_kib "$TORVANE" ls "$DISK" -v 0 -r --json)
rss_f=$(peak_kib fls -r -p -o "$PART_START" -f ntfs "$RAW")
echo "peak RSS: torvane $rss KiB, fls $rss_f KiB"
if [[ -f "$TINY" ]]; then
  base=$(peak_kib "$TORVANE" ls "$TINY" -v 0 -r --json)
  n_tiny=$("$TORVANE" ls "$TINY" -v 0 -r --json | wc -l)
  echo "baseline: torvane on $(basename "$TINY") ($n_tiny entries): $base KiB"
else
  base=""
fi
awk -v r="$rss" -v n="$n_t" 'BEGIN { printf "bytes per entry: %.0f\n", r * 1024 / n }'
if [[ -n "$base" ]]; then
  awk -v r="$rss" -v b="$base" -v n="$n_t" \
    'BEGIN { printf "bytes per entry above baseline: %.0f\n", (r - b) * 1024 / n }'
fi
exit 0
