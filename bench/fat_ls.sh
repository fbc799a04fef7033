#!/usr/bin/env bash
# Times `torvane ls -r --json` against sleuthkit's `fls -r -p` on the same FAT32 volume of
# 100,000 files in 1,000 folders (long names, a tenth of the files deleted), alternating
# the two, and prints the median of each and the ratio torvane/fls.
#
# The volume is made by mkfs.fat (a superfloppy: no partition table) and filled by writing
# its folders and FAT directly (mtools would take hours for 100,000 files). Torvane reads it
# from a monolithicSparse VMDK, fls from the raw image.
#
# Environment:
#   ROUNDS     timed rounds per tool (default 5)
#   BENCH_DIR  work directory; the disks kept there are reused between runs
#   KEEP       1 = keep the work directory even when it was made by this script
#   FILES, FOLDERS  (default 100000 and 1000)
set -euo pipefail

BENCH_NAME=fat_ls
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
FILES="${FILES:-100000}"
FOLDERS="${FOLDERS:-1000}"

bench_require_tools cmake ninja qemu-img fls mkfs.fat python3
bench_require_positive ROUNDS
bench_require_positive FILES
bench_require_positive FOLDERS

bench_build
bench_setup_work
TAG="fat32-${FILES}f-${FOLDERS}d"
RAW="$WORK/$TAG.raw"
DISK="$WORK/$TAG.vmdk"

if [[ ! -s "$DISK" || ! -s "$RAW" || ! -f "$DISK.complete" ]]; then
  rm -f "$DISK" "$RAW" "$DISK.complete"
  say "making a FAT32 volume with $FILES files in $FOLDERS folders in $WORK ..."
  mkfs.fat -F 32 -s 8 -C -n BENCH "$RAW" $((300 * 1024)) >/dev/null
  python3 - "$RAW" "$FILES" "$FOLDERS" <<'PY' || die "filling the volume failed"
import random, struct, sys
img, nfiles, nfolders = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
r = random.Random(1234)
f = open(img, "r+b")
boot = f.read(512)
bps, spc, reserved, fats = struct.unpack_from("<HBHB", boot, 11)
fatlen = struct.unpack_from("<I", boot, 36)[0]
root = struct.unpack_from("<I", boot, 44)[0]
cbytes = bps * spc
data = (reserved + fats * fatlen) * bps
fat = {}
next_free = root + 1

def checksum(n):
    s = 0
    for b in n:
        s = (((s & 1) << 7) + (s >> 1) + b) & 0xFF
    return s

def entries(long, short, attr, cluster, deleted):
    u = long.encode("utf-16-le") + b"\0\0"
    u += b"\xff" * (-len(u) % 26)
    parts = [u[i:i + 26] for i in range(0, len(u), 26)]
    out, sum_ = [], checksum(short)
    for k in range(len(parts), 0, -1):
        p = parts[k - 1]
        seq = 0xE5 if deleted else (k | (0x40 if k == len(parts) else 0))
        out.append(bytes([seq]) + p[0:10] + b"\x0f\x00" + bytes([sum_]) + p[10:22] + b"\0\0" + p[22:26])
    name = (b"\xe5" + short[1:]) if deleted else short
    out.append(name + struct.pack("<BBBHHHHHHHI", attr, 0, 0, 0, 0x5000, 0x5000, cluster >> 16,
                                  0x6000, 0x5021, cluster & 0xFFFF, 0))
    return b"".join(out)

def write_folder(first, body):
    global next_free
    n = max(1, -(-len(body) // cbytes))
    chain = [first] + list(range(next_free, next_free + n - 1))
    next_free += n - 1
    for a, b in zip(chain, chain[1:] + [0x0FFFFFFF]):
        fat[a] = b
    body = body + b"\0" * (n * cbytes - len(body))
    for i, c in enumerate(chain):
        f.seek(data + (c - 2) * cbytes)
        f.write(body[i * cbytes:(i + 1) * cbytes])

words = "report budget plan draft final summary photo archive notes minutes agenda".split()
rootbody = b""
for d in range(nfolders):
    c = next_free
    next_free += 1
    dot = b".          " + struct.pack("<BBBHHHHHHHI", 0x10, 0, 0, 0, 0, 0, c >> 16, 0, 0, c & 0xFFFF, 0)
    dotdot = b"..         " + struct.pack("<BBBHHHHHHHI", 0x10, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0)
    body = dot + dotdot
    for i in range(nfiles // nfolders):
        n = d * (nfiles // nfolders) + i
        long = "%s %s %06d.txt" % (r.choice(words), r.choice(words), n)
        body += entries(long, b"F%06d TXT" % n, 0x20, 0, r.random() < 0.1)
    write_folder(c, body)
    rootbody += entries("Folder %s %04d" % (r.choice(words), d), b"D%06d    " % d, 0x10, c, False)
write_folder(root, rootbody)
for k in range(fats):
    base = reserved * bps + k * fatlen * bps
    for c, v in fat.items():
        f.seek(base + 4 * c)
        f.write(struct.pack("<I", v))
f.close()
PY
  qemu-img convert -f raw -O vmdk -o subformat=monolithicSparse "$RAW" "$DISK"
  touch "$DISK.complete"
fi

run_torvane() { "$TORVANE" ls "$DISK" -v 0 -r --json >/dev/null; }
run_fls() { fls -r -p -f fat "$RAW" >/dev/null; }

echo "disk: $DISK ($(stat -c %s "$DISK") bytes), raw: $RAW"
n_t=$("$TORVANE" ls "$DISK" -v 0 -r --json | wc -l) || die "torvane ls failed"
n_f=$(fls -r -p -f fat "$RAW" | wc -l) || die "fls failed"
echo "entries: torvane $n_t, fls $n_f"
bench_compare run_torvane fls run_fls
exit 0
