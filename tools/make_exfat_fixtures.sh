#!/usr/bin/env bash
# Builds the exFAT fixture disks and packs them into tests/data/exfat.tar.xz.
#
# Two disks, each with one exFAT volume made by mkfs.exfat and filled through exfat-fuse on
# a loop device: exfat-mbr (MBR, 4 KiB clusters) and exfat-gpt (GPT, 128 KiB clusters).
# Each volume holds fragmented files (written interleaved), contiguous files (NoFatChain),
# names of 1 to 255 characters, Unicode names, a folder tree, deleted files and a deleted
# folder tree, and a folder whose own entry was wiped after its deletion, so that it is
# found only in free space. Known modification times (touch -d, UTC).
#
# exfat/<disk>.vmdk       the disk (monolithicSparse, qemu-img)
# exfat/<disk>.files.tsv  path, sha256, size, mtime (Unix seconds), how it should be found:
#                         "live", "deleted" (deleted, its clusters untouched since) or
#                         "lost" (in a folder found only in free space; path below it),
#                         atime (Unix seconds)
# exfat/<disk>.fls.txt    `fls -r -p` of the volume (the Sleuth Kit)
#
# Needs (root): mkfs.exfat, mount.exfat-fuse, losetup, sfdisk, sgdisk, qemu-img, fls,
# python3, xz, tar, /dev/fuse.
#
# Usage: tools/make_exfat_fixtures.sh [output.tar.xz]
set -euo pipefail

here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
repo="$(cd "$here/.." && pwd)"
out="${1:-$repo/tests/data/exfat.tar.xz}"
case "$out" in /*) ;; *) out="$PWD/$out" ;; esac

export LIB_NAME=make_exfat_fixtures
source "$here/lib.sh"
require_tools mkfs.exfat mount.exfat-fuse losetup sfdisk sgdisk qemu-img fls python3 xz tar mountpoint
require_root
export TZ=UTC

tmp="$(mktemp -d)"
MNT="$tmp/mnt"
loop=""
cleanup() {
  if mountpoint -q "$MNT" 2>/dev/null; then umount "$MNT" || umount -l "$MNT" || true; fi
  if [[ -n "$loop" ]]; then losetup -d "$loop" 2>/dev/null || true; fi
  rm -rf "$tmp"
}
trap cleanup EXIT
mkdir -p "$MNT" "$tmp/exfat"
cd "$tmp"

wait_released() {
  local _
  for _ in $(seq 300); do
    [[ -z "$(find /proc/[0-9]*/fd -lname "$1" 2>/dev/null)" ]] && return 0
    sleep 0.1
  done
  die "$1 is still open"
}

mount_volume() {
  loop="$(losetup -f --show "$1")"
  mount.exfat-fuse "$loop" "$MNT" >/dev/null 2>&1 || die "exfat-fuse refused $1"
}

unmount_volume() {
  sync
  umount "$MNT"
  wait_released "$loop"
  losetup -d "$loop"
  loop=""
}

# fill_volume TSV CLUSTER: the files; lists what was written to TSV.
fill_volume() {
  local tsv="$1" cluster="$2"
  python3 - "$MNT" "$tsv" "$cluster" <<'PY'
import hashlib, os, sys
root, tsv, cluster = sys.argv[1], sys.argv[2], int(sys.argv[3])
rows = []

def data(tag, size):
    out = bytearray()
    i = 0
    while len(out) < size:  # numbered lines: every block differs, yet it packs small
        out += f"{tag} {i:09d}\n".encode()
        i += 1
    return bytes(out[:size])

def write(rel, payload, mtime=None):
    p = os.path.join(root, rel)
    os.makedirs(os.path.dirname(p), exist_ok=True)
    with open(p, "wb") as f:
        f.write(payload)
    if mtime is not None:  # accessed a month before: the two times must not be mixed up
        os.utime(p, (mtime - 30 * 86400, mtime))
    return rel

def note(rel, how, payload, mtime, atime=None):
    atime = mtime - 30 * 86400 if atime is None else atime
    rows.append((rel, hashlib.sha256(payload).hexdigest(), len(payload), mtime, how, atime))

T = 1686836730  # 2023-06-15 13:45:30 UTC
# Names of 1 to 255 characters, Unicode, plain files.
names = ["a", "b" * 15, "c" * 16, "d" * 20, "e" * 30 + ".txt", "N" * 250 + ".bin",
         "Ünïcödé – 日本語 – файл.txt", "emoji 😀 name.dat", "x" * 255]
for k, n in enumerate(names):
    p = data(n, 100 + 37 * k)
    write(n, p, T + k * 2)
    note(n, "live", p, T + k * 2)
# A folder tree.
for rel, size in [("docs/readme.txt", 900), ("docs/sub/deep/notes.md", 5000),
                  ("docs/sub/table.csv", cluster * 3 + 11), ("Photos 2024/IMG_0001.JPG", cluster + 5)]:
    p = data(rel, size)
    if rel.endswith(".JPG"):
        p = b"\xff\xd8\xff\xe0\x00\x10JFIF\x00" + p[11:]
    write(rel, p, T + 100)
    note(rel, "live", p, T + 100)
# Contiguous files (written at once: NoFatChain).
for rel, size in [("contig/one.bin", cluster * 7 + 100), ("contig/two.bin", cluster * 2)]:
    p = data(rel, size)
    write(rel, p, T + 200)
    note(rel, "live", p, T + 200)
# Fragmented files: two files grown one cluster at a time in turn.
os.makedirs(os.path.join(root, "frag"), exist_ok=True)
pa, pb = data("fa", cluster * 9 + 123), data("fb", cluster * 8 + 7)
fa = open(os.path.join(root, "frag/a.bin"), "wb")
fb = open(os.path.join(root, "frag/b.bin"), "wb")
for i in range(0, max(len(pa), len(pb)), cluster):
    for f, p in ((fa, pa), (fb, pb)):
        if i < len(p):
            f.write(p[i:i + cluster]); f.flush(); os.fsync(f.fileno())
fa.close(); fb.close()
for rel, p in (("frag/a.bin", pa), ("frag/b.bin", pb)):
    os.utime(os.path.join(root, rel), (T, T + 300))
    note(rel, "live", p, T + 300, T)
# A folder of several clusters that are not consecutive: its entries grow in turn with a
# file in the root folder.
os.makedirs(os.path.join(root, "many"), exist_ok=True)
filler = open(os.path.join(root, "filler.bin"), "wb")
pf = data("filler", cluster * 12)
for k in range(96):
    rel = f"many/entry number {k:03d} with a longer name.txt"
    p = data(rel, 50 + k)
    write(rel, p, T + 500 + 2 * k)
    note(rel, "live", p, T + 500 + 2 * k)
    if k % 8 == 7:
        filler.write(pf[(k // 8) * cluster:(k // 8 + 1) * cluster]); filler.flush(); os.fsync(filler.fileno())
filler.close()
os.utime(os.path.join(root, "filler.bin"), (T, T + 600))
note("filler.bin", "live", pf, T + 600, T)
# What will be deleted: files in the root and in a folder, a folder tree, and a folder
# whose entry is wiped afterwards (made last, so that its set ends the root folder).
gone = [("old notes.txt", 3000), ("trash/one.txt", 700), ("trash/inner/two.bin", cluster * 4 + 1),
        ("trash/inner/IMG_0042.JPG", cluster * 2 + 9), ("docs/sub/removed.dat", cluster * 3),
        ("lost/kept.txt", 1200), ("lost/kept2.bin", cluster * 2 + 3)]
for rel, size in gone:
    p = data(rel, size)
    if rel.endswith(".JPG"):
        p = b"\xff\xd8\xff\xe0\x00\x10JFIF\x00" + p[11:]
    write(rel, p, T + 400)
    if rel.startswith("lost/"):
        note(rel[len("lost/"):], "lost", p, T + 400)
    else:
        note(rel, "deleted", p, T + 400)
with open(tsv, "w") as f:
    for r in rows:
        f.write("\t".join(str(x) for x in r) + "\n")
PY
}

delete_files() {
  rm -f "$MNT/old notes.txt" "$MNT/docs/sub/removed.dat"
  rm -rf "$MNT/trash" "$MNT/lost"
}

# wipe_lost_entry IMAGE: the deleted set of "lost" in the root folder becomes end entries.
wipe_lost_entry() {
  python3 - "$1" <<'PY'
import struct, sys
img = sys.argv[1]
with open(img, "r+b") as f:
    boot = f.read(512)
    bps, spc = 1 << boot[108], 1 << boot[109]
    heap, root = struct.unpack_from("<I", boot, 88)[0], struct.unpack_from("<I", boot, 96)[0]
    cb = bps * spc
    at = heap * bps + (root - 2) * cb
    f.seek(at)
    d = bytearray(f.read(cb))
    for o in range(0, cb, 32):
        if d[o] == 0x05 and d[o + 32] == 0x40 and d[o + 35] == 4:
            name = d[o + 66:o + 74].decode("utf-16-le")
            if name == "lost":
                n = d[o + 1] + 1
                if any(d[o + 32 * n:]):
                    sys.exit("the set of lost is not the last one of the root folder")
                d[o:o + 32 * n] = bytes(32 * n)
                f.seek(at)
                f.write(d)
                sys.exit(0)
    sys.exit("no deleted set named lost in the root folder")
PY
}

# stale_fat IMAGE: the FAT entry of contig/one.bin's first cluster (undefined for a file
# whose stream says NoFatChain) is made to point at the first cluster of the file "a", as
# stale entries do; a reader that follows the FAT there reads the wrong clusters.
stale_fat() {
  python3 - "$1" <<'PY'
import struct, sys
img = sys.argv[1]
with open(img, "r+b") as f:
    boot = f.read(512)
    bps, spc = 1 << boot[108], 1 << boot[109]
    fat, heap, root = (struct.unpack_from("<I", boot, o)[0] for o in (80, 88, 96))
    cb = bps * spc
    def folder(c):
        f.seek(heap * bps + (c - 2) * cb)
        d = f.read(cb)
        out = {}
        for o in range(0, cb - 64, 32):
            if d[o] == 0x85:
                n, s = d[o + 1], d[o + 32:o + 64]
                name = b"".join(d[o + 64 + 32 * i + 2:o + 96 + 32 * i] for i in range(n - 1))
                out[name.decode("utf-16-le")[:s[3]]] = (struct.unpack_from("<I", s, 20)[0], s[1])
        return out
    top = folder(root)
    one, flags = folder(top["contig"][0])["one.bin"]
    if flags & 2 == 0:
        sys.exit("contig/one.bin is not marked NoFatChain")
    f.seek(fat * bps + 4 * one)
    f.write(struct.pack("<I", top["a"][0]))
PY
}

# make_disk NAME TABLE CLUSTER
make_disk() {
  local name="$1" table="$2" cluster="$3" start=2048 sectors=$((48 * 2048))
  local raw="$tmp/$name.raw" part="$tmp/$name.part"
  truncate -s $(((start + sectors + 2048) * 512)) "$raw"
  if [[ "$table" == mbr ]]; then
    printf 'label: dos\nlabel-id: 0x1e8fa7c2\nunit: sectors\n\nstart=%d, size=%d, type=7\n' "$start" "$sectors" |
      sfdisk -q --no-reread --no-tell-kernel "$raw"
  else
    sgdisk -o -U 5e3a2d1c-0b7f-4e55-9a31-0c2f6d7e8a90 -n "1:$start:+$sectors" -t 1:0700 -c 1:EXFATDATA \
      -u 1:7b1f0c22-5a4e-4c1d-8e2f-3a9b6c5d4e71 "$raw" >/dev/null
  fi
  truncate -s $((sectors * 512)) "$part"
  mkfs.exfat -c "$cluster" -L "$(tr '[:lower:]' '[:upper:]' <<<"${name//-/}" | cut -c1-11)" "$part" >/dev/null
  mount_volume "$part"
  fill_volume "$tmp/exfat/$name.files.tsv" "$cluster"
  unmount_volume
  mount_volume "$part"
  delete_files
  unmount_volume
  wipe_lost_entry "$part"
  stale_fat "$part"
  dd if="$part" of="$raw" bs=1M oflag=seek_bytes seek=$((start * 512)) conv=notrunc,sparse status=none
  rm -f "$part"
  fls -r -p -o "$start" "$raw" >"$tmp/exfat/$name.fls.txt"
  raw_to_vmdk "$raw" "$tmp/exfat/$name.vmdk"
  rm -f "$raw"
}

make_disk exfat-mbr mbr 4096
make_disk exfat-gpt gpt 131072

cd "$tmp"
pack_archive "$out" 4000000 exfat/exfat-mbr.vmdk exfat/exfat-mbr.files.tsv exfat/exfat-mbr.fls.txt \
  exfat/exfat-gpt.vmdk exfat/exfat-gpt.files.tsv exfat/exfat-gpt.fls.txt
