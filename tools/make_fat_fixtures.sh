#!/usr/bin/env bash
# Builds tests/data/fat.tar.xz: FAT12, FAT16 and FAT32 volumes made by mkfs.fat and filled
# and emptied by mtools, each as a monolithicSparse VMDK:
#
#   fat/fat12-floppy.vmdk  a 1.44 MB FAT12 superfloppy (no partition table)
#   fat/fat16-mbr.vmdk     an MBR disk with one 32 MiB FAT16 partition at sector 2048 whose
#                          root holds 1,024 entries (more than 512 in use)
#   fat/fat32-gpt.vmdk     a GPT disk with one 64 MiB FAT32 partition (512-byte clusters) at
#                          sector 2048
#   fat/fat32-snapshot.vmdk  a snapshot (qemu-img) over fat32-gpt.vmdk: the same volume
#
# Each volume holds long names (Unicode, one of 255 characters), 8.3-only names whose case
# flags were set by hand (0x08, 0x10, 0x18), a fragmented file, deleted files and a deleted
# folder tree, a deleted 8.3 JPG (IMG_0001.JPG), and a folder found only in free space (a
# deleted folder whose entry in its parent was then turned into a deleted empty file). On
# FAT32 a deleted JPG lies above cluster 65,535 and its entry's upper cluster half was
# cleared by hand, as Windows does when it deletes.
#
# For each volume N:
#   fat/N.files.tsv  path, sha256, deleted ("yes"/"no") of every file that must come back
#                    byte-identical: every existing file and every deleted file whose
#                    clusters stayed free; paths as `fls -r -p` shows them
#   fat/N.fls.txt    `fls -r -p` of the volume (the Sleuth Kit)
#
# Needs: mkfs.fat, mtools, sfdisk, sgdisk, qemu-img, fls, python3, xz, tar.
# Usage: tools/make_fat_fixtures.sh [output.tar.xz]
set -euo pipefail

here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
repo="$(cd "$here/.." && pwd)"
out="${1:-$repo/tests/data/fat.tar.xz}"
case "$out" in /*) ;; *) out="$PWD/$out" ;; esac

LIB_NAME=make_fat_fixtures
source "$here/lib.sh"
require_tools qemu-io mkfs.fat mcopy mmd mdel mdeltree sfdisk sgdisk qemu-img fls python3 xz tar dd

tmp="$(mktemp -d)"
trap 'rm -rf "$tmp"' EXIT
mkdir -p "$tmp/fat" "$tmp/src"
export MTOOLS_SKIP_CHECK=1 MTOOLS_NO_VFAT=0 LC_ALL=C.UTF-8 TZ=UTC
py="$tmp/fatfix.py"

cat >"$py" <<'EOF'
import hashlib, os, random, struct, sys

def content(path, size, seed, kind="bin"):
    r = random.Random(seed)
    if kind == "jpg":
        head = b"\xff\xd8\xff\xe0\x00\x10JFIF\x00\x01\x01\x00\x00\x01\x00\x01\x00\x00"
        data = head + bytes(r.getrandbits(8) for _ in range(size - len(head) - 2)) + b"\xff\xd9"
    elif kind == "txt":
        words = ["alpha", "beta", "gamma", "delta", "torvane", "cluster", "folder"]
        data = b""
        while len(data) < size:
            data += (" ".join(r.choice(words) for _ in range(8)) + "\n").encode()
        data = data[:size]
    else:
        data = bytes(r.getrandbits(8) for _ in range(size))
    with open(path, "wb") as f:
        f.write(data)
    os.utime(path, (1700000000 + seed * 86400, 1700000000 + seed * 86400))

def geometry(img):
    with open(img, "rb") as f:
        b = f.read(512)
    bps, spc, res, fats, roots = struct.unpack_from("<HBHBH", b, 11)
    fatlen = struct.unpack_from("<H", b, 22)[0] or struct.unpack_from("<I", b, 36)[0]
    root_start = (res + fats * fatlen) * bps
    return dict(cluster=bps * spc, fat=res * bps, root_start=root_start, root_len=roots * 32,
                data=root_start + roots * 32, fat32=roots == 0,
                root_cluster=struct.unpack_from("<I", b, 44)[0])

def root_entries(img):
    """Byte offsets of the root folder's 32-byte entries, along the FAT32 root's chain."""
    g = geometry(img)
    if not g["fat32"]:
        return list(range(g["root_start"], g["root_start"] + g["root_len"], 32))
    offsets, c = [], g["root_cluster"]
    with open(img, "rb") as f:
        while 2 <= c < 0x0FFFFFF7:
            start = g["data"] + (c - 2) * g["cluster"]
            offsets += range(start, start + g["cluster"], 32)
            f.seek(g["fat"] + 4 * c)
            c = struct.unpack("<I", f.read(4))[0] & 0x0FFFFFFF
    return offsets

def find(img, name11, deleted):
    with open(img, "rb") as f:
        for at in root_entries(img):
            f.seek(at)
            e = f.read(32)
            if e[11] != 0x0F and (e[0] == 0xE5) == deleted and e[1:11] == name11[1:11] and (deleted or e[0] == name11[0]):
                return at, e
    sys.exit("entry %r not found" % name11)

def patch(img, name11, deleted, edits):
    at, _ = find(img, name11, deleted)
    with open(img, "r+b") as f:
        for off, val in edits.items():
            f.seek(at + off)
            f.write(val)

cmd = sys.argv[1]
if cmd == "content":
    content(sys.argv[2], int(sys.argv[3]), int(sys.argv[4]), sys.argv[5] if len(sys.argv) > 5 else "bin")
elif cmd == "case":
    # case IMG NAME11 FLAGS: sets the case flags of a live root entry
    patch(sys.argv[2], sys.argv[3].encode(), False, {12: bytes([int(sys.argv[4], 0)])})
elif cmd == "clearhigh":
    # clearhigh IMG NAME11: clears the upper cluster half of a deleted root entry
    patch(sys.argv[2], sys.argv[3].encode(), True, {0x14: b"\0\0"})
elif cmd == "unlink":
    # unlink IMG NAME11: turns a deleted folder's root entry into a deleted empty file
    patch(sys.argv[2], sys.argv[3].encode(), True, {11: b"\x20", 0x14: b"\0\0", 0x1A: b"\0\0", 0x1C: b"\0\0\0\0"})
elif cmd == "first":
    # first IMG NAME11: the first cluster of a deleted root entry
    _, e = find(sys.argv[2], sys.argv[3].encode(), True)
    print((struct.unpack_from("<H", e, 0x14)[0] << 16) | struct.unpack_from("<H", e, 0x1A)[0])
EOF

src="$tmp/src"
mkc() { python3 "$py" content "$src/$1" "$2" "$3" "${4:-bin}"; }

# Files every volume gets. Sizes are chosen to span several clusters where it matters.
mkc plain.txt 3000 1 txt
mkc big.bin 40000 2
mkc frag-a.bin 5000 3
mkc frag-b.bin 5000 4
mkc frag-c.bin 5000 5
mkc fragmented.bin 30000 6
mkc README.TXT 700 7 txt
mkc NOTES.MD 400 8 txt
mkc MIXED.TXT 300 9 txt
mkc IMG_0001.JPG 6000 10 jpg
mkc DSC_0002.JPG 5000 11 jpg
mkc FILE.TXT 900 12 txt
mkc photo.jpg 9000 13 jpg
mkc inner.bin 2500 14
mkc deep.txt 1200 15 txt
mkc lost1.bin 3000 16
mkc lost2.txt 800 17 txt
mkc keep.dat 1500 18
mkc 'Ünïcødé – naïve façade.txt' 1000 19 txt
# mtools cuts a long name at 247 characters (fewer when they take more bytes in UTF-8), and
# fls cuts what it shows of it further: a long Unicode name, and the longest ASCII one.
long="$(python3 -c 'n = "Långt namn ünïcødé 名前 "; s = (n * 20)[:251] + ".txt"; print(s)')"
ascii="$(python3 -c 'print(("Long ASCII name " * 20)[:243] + ".txt")')"

fill() {  # fill IMG: the common tree of one volume, everything written
  local i="$1"
  mcopy -m -i "$i" "$src/plain.txt" "$src/big.bin" "$src/README.TXT" "$src/NOTES.MD" "$src/MIXED.TXT" ::/
  mcopy -m -i "$i" "$src/Ünïcødé – naïve façade.txt" ::/
  mcopy -m -i "$i" "$src/keep.dat" "::/$long"
  mcopy -m -i "$i" "$src/plain.txt" "::/$ascii"
  # A fragmented file: it fills the hole a deleted file left and goes on behind the others.
  mcopy -m -i "$i" "$src/frag-a.bin" "$src/frag-b.bin" "$src/frag-c.bin" ::/
  mdel -i "$i" ::/frag-b.bin
  mcopy -m -i "$i" "$src/fragmented.bin" ::/
  mmd -i "$i" ::/Documents ::/Documents/Deep
  mcopy -m -i "$i" "$src/deep.txt" ::/Documents/Deep/
  mcopy -m -i "$i" "$src/photo.jpg" ::/Documents/
  mcopy -m -i "$i" "$src/IMG_0001.JPG" "$src/DSC_0002.JPG" "$src/FILE.TXT" ::/
  mcopy -m -i "$i" "$src/inner.bin" "::/Documents/A deleted long name.bin"
  mmd -i "$i" ::/Trash ::/Trash/Sub
  mcopy -m -i "$i" "$src/inner.bin" ::/Trash/
  mcopy -m -i "$i" "$src/deep.txt" ::/Trash/Sub/
  mmd -i "$i" ::/LOSTDIR
  mcopy -m -i "$i" "$src/lost1.bin" "$src/lost2.txt" ::/LOSTDIR/
  # 8.3 names with case flags, each flag on its own and both.
  python3 "$py" case "$i" "README  TXT" 0x08
  python3 "$py" case "$i" "NOTES   MD " 0x10
  python3 "$py" case "$i" "MIXED   TXT" 0x18
}

empty() {  # empty IMG: the deletions, after the last write so that their clusters stay free
  local i="$1"
  # Deleted files: 8.3 JPGs (?MG/?SC), a plain 8.3 name, a long name; a deleted folder tree.
  mdel -i "$i" ::/IMG_0001.JPG ::/DSC_0002.JPG ::/FILE.TXT
  mdel -i "$i" "::/Documents/A deleted long name.bin"
  mdeltree -i "$i" ::/Trash
  # A folder whose parent no longer names it.
  mdeltree -i "$i" ::/LOSTDIR
  python3 "$py" unlink "$i" "xOSTDIR    "
}

# Lists what must come back: every existing file, and the deleted ones whose clusters
# stayed free (named as fls names them).
record() {  # record IMG NAME
  local i="$1" n="$2"
  fls -r -p "$i" >"$tmp/fat/$n.fls.txt"
  python3 - "$i" "$tmp/fat/$n.fls.txt" "$tmp/fat/$n.files.tsv" "$src" <<'EOF'
import hashlib, os, re, subprocess, sys
img, fls, out, src = sys.argv[1:5]
rows = []
for line in open(fls, encoding="utf-8"):
    m = re.match(r"(\S)/(\S) (\* )?(\d+)(?:\(realloc\))?:\t(.*)$", line.rstrip("\n"))
    if not m or m.group(1) != "r" or m.group(5).startswith("$") or m.group(5).endswith("(Volume Label Entry)"):
        continue
    path = m.group(5)  # fls cuts names of more than about 230 bytes
    deleted = m.group(3) is not None
    if deleted:
        continue  # listed below from the fixture's own contents
    got = subprocess.run(["icat", img, m.group(4)], capture_output=True)
    data = got.stdout
    if got.returncode != 0:
        # icat refuses some entries of a root beyond 512 entries: the file written is taken.
        source = os.path.join(src, "root", os.path.basename(path))
        if not os.path.exists(source):
            sys.exit("icat cannot read %s (%s): %s" % (path, m.group(4), got.stderr.decode()))
        data = open(source, "rb").read()
    rows.append((path, hashlib.sha256(data).hexdigest(), "no"))
with open(out, "w", encoding="utf-8") as f:
    for r in rows:
        f.write("\t".join(r) + "\n")
EOF
}

# Deleted files whose clusters stay free, with the content they had.
deleted_row() {  # deleted_row NAME PATH SOURCE
  printf '%s\t%s\tyes\n' "$2" "$(sha256sum "$3" | cut -d' ' -f1)" >>"$tmp/fat/$1.files.tsv"
}

say "FAT12 superfloppy"
img="$tmp/fat12.img"
mkfs.fat -F 12 -C -n FLOPPY -i 12121212 "$img" 1440 >/dev/null
fill "$img"
empty "$img"
record "$img" fat12-floppy
raw_to_vmdk "$img" "$tmp/fat/fat12-floppy.vmdk"

say "FAT16 on MBR, root of 1,024 entries"
part="$tmp/fat16.part"
mkfs.fat -F 16 -C -r 1024 -s 4 -n FAT16VOL -i 16161616 "$part" $((32 * 1024)) >/dev/null
fill "$part"
# 600 more root entries: the root's use goes past 512 entries; the last ones are deleted.
mkdir -p "$src/root"
for k in $(seq 1 600); do printf 'r%d' "$k" >"$src/root/R$k.TXT"; done
(cd "$src/root" && mcopy -i "$part" R*.TXT ::/)
mdel -i "$part" ::/R599.TXT ::/R600.TXT
empty "$part"
record "$part" fat16-mbr
RAW="$tmp/fat16.raw" DISK_SECTORS=$((2048 + 32 * 2048 + 2048))
truncate -s $((DISK_SECTORS * 512)) "$RAW"
printf 'label: dos\nstart=2048, size=%d, type=6\n' $((32 * 2048)) | sfdisk -q "$RAW"
PART="$part" PART_START=2048 place_partition
raw_to_vmdk "$RAW" "$tmp/fat/fat16-mbr.vmdk"
rm -f "$RAW"

say "FAT32 on GPT, 512-byte clusters"
part="$tmp/fat32.part"
mkfs.fat -F 32 -C -s 1 -n FAT32VOL -i 32323232 "$part" $((64 * 1024)) >/dev/null
# A deleted filler pushes a JPG above cluster 65,535; its upper half is then cleared.
dd if=/dev/zero of="$src/filler.bin" bs=1M count=34 status=none
mcopy -i "$part" "$src/filler.bin" ::/
mkc HIGHWORD.JPG 20000 20 jpg
mcopy -m -i "$part" "$src/HIGHWORD.JPG" ::/
mdel -i "$part" ::/filler.bin
fill "$part"
empty "$part"
mdel -i "$part" ::/HIGHWORD.JPG
high="$(python3 "$py" first "$part" "xIGHWORDJPG")"
[[ "$high" -gt 65535 ]] || die "HIGHWORD.JPG starts at cluster $high, not above 65535"
python3 "$py" clearhigh "$part" "xIGHWORDJPG"
record "$part" fat32-gpt
deleted_row fat32-gpt "_IGHWORD.JPG" "$src/HIGHWORD.JPG"
RAW="$tmp/fat32.raw" DISK_SECTORS=$((2048 + 64 * 2048 + 2048))
truncate -s $((DISK_SECTORS * 512)) "$RAW"
sgdisk -q -n 1:2048:+64M -t 1:0700 "$RAW" >/dev/null
PART="$part" PART_START=2048 place_partition
raw_to_vmdk "$RAW" "$tmp/fat/fat32-gpt.vmdk"
rm -f "$RAW"
# A snapshot over the FAT32 disk: the child holds a write behind the partition (its grain
# tables are used), every sector of the volume still comes from the parent.
(cd "$tmp/fat" && qemu-img create -q -f vmdk -b fat32-gpt.vmdk -F vmdk fat32-snapshot.vmdk &&
  qemu-io -f vmdk -c "write -q -P 0x5a $(((DISK_SECTORS - 1024) * 512)) 65536" fat32-snapshot.vmdk >/dev/null)

# The deleted files whose clusters no later file took, on every volume. (Their paths are
# the names fls gives them: the first character of a deleted 8.3 name is "_".)
for n in fat12-floppy fat16-mbr fat32-gpt; do
  deleted_row $n "_MG_0001.JPG" "$src/IMG_0001.JPG"
  deleted_row $n "_SC_0002.JPG" "$src/DSC_0002.JPG"
  deleted_row $n "_ILE.TXT" "$src/FILE.TXT"
  deleted_row $n "Documents/A deleted long name.bin" "$src/inner.bin"
  deleted_row $n "Trash/Sub/_eep.txt" "$src/deep.txt"
  deleted_row $n "Trash/_nner.bin" "$src/inner.bin"
  deleted_row $n "\$OrphanFiles/_ost1.bin" "$src/lost1.bin"
  deleted_row $n "\$OrphanFiles/_ost2.txt" "$src/lost2.txt"
done

cd "$tmp"
pack_archive "$out" 400000 fat/*.vmdk fat/*.tsv fat/*.txt
