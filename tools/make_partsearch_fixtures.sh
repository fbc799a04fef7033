#!/usr/bin/env bash
# Builds the disks the partition search and the table repair are tested on and packs them
# into tests/data/partsearch.tar.xz.
#
# Each disk is a raw image laid out by sfdisk or sgdisk with file systems made by their own
# mkfs tools, then damaged the way a wrong click in a disk manager damages it:
#   zeroed-mbr        the MBR sector zeroed (an NTFS and a FAT32 primary behind it)
#   zeroed-gpt        both GPT copies and the protective MBR zeroed (FAT32 and NTFS)
#   deleted-logical   the middle logical volume (exFAT) deleted from the extended chain
#   overwritten-start the first 16 sectors of an NTFS volume zeroed (its backup boot
#                     sector at the volume's end stays)
# partsearch/MANIFEST.tsv lists each volume as the tools made it (start and size from
# sfdisk/sgdisk, the file system's own size and label from fsstat); <disk>.mmls.txt keeps
# mmls before the damage and <disk>.sha256 the image's hash before the damage.
#
# Needs (root not needed): sfdisk, sgdisk, mkfs.fat, mkntfs, mkfs.exfat, mmls, fsstat,
# python3, xz, tar.
# Usage: tools/make_partsearch_fixtures.sh [output.tar.xz]
set -euo pipefail

here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
repo="$(cd "$here/.." && pwd)"
out="${1:-$repo/tests/data/partsearch.tar.xz}"
case "$out" in /*) ;; *) out="$PWD/$out" ;; esac

source "$here/lib.sh"
require_tools sfdisk sgdisk mkfs.fat mkntfs mkfs.exfat mmls fsstat python3 xz tar dd sha256sum

tmp="$(mktemp -d)"
trap 'rm -rf "$tmp"' EXIT
dir="$tmp/partsearch"
mkdir -p "$dir"
cd "$dir"

serial_of() { printf '%s' "$1" | cksum | awk '{ printf "%08X", $1 }'; }

# make_fs KIND LABEL START SECTORS DISK: the file system made on its own image and put into
# DISK at START.
make_fs() {
  local kind="$1" label="$2" start="$3" sectors="$4" disk="$5" img="$tmp/part.img"
  rm -f "$img"
  truncate -s $((sectors * 512)) "$img"
  case "$kind" in
    fat16 | fat32)
      local extra=()
      extra=(-s 1)
      mkfs.fat --invariant -F "${kind#fat}" "${extra[@]}" -h "$start" -g 255/63 --mbr=n \
        -n "$label" -i "$(serial_of "$label")" "$img" >/dev/null
      ;;
    ntfs) mkntfs -q -F -Q -T -s 512 -p "$start" -H 255 -S 63 -L "$label" "$img" "$sectors" 2>/dev/null ;;
    exfat) mkfs.exfat -L "$label" "$img" >/dev/null ;;
  esac
  RAW="$disk" PART="$img" PART_START="$start" DISK_SECTORS=$(($(stat -c %s "$disk") / 512)) place_partition
}

# Partitions as "number start sectors", from sfdisk (MBR and GPT alike).
parts() {
  sfdisk -J "$1" | python3 -c '
import json, re, sys
for p in json.load(sys.stdin)["partitiontable"].get("partitions", []):
    print(re.search(r"(\d+)$", p["node"]).group(1), p["start"], p["size"])
'
}

manifest="$dir/MANIFEST.tsv"
printf 'disk\tstart_sector\tsectors\tfs_sectors\tfs\tlabel\tnote\n' >"$manifest"
# add_row DISK NUMBER KIND LABEL NOTE: one MANIFEST row, its numbers read back.
add_row() {
  local disk="$1" num="$2" kind="$3" label="$4" note="$5" start sectors fs flabel total
  read -r _ start sectors < <(parts "$disk.raw" | awk -v n="$num" '$1 == n')
  IFS='|' read -r fs flabel total < <(fsstat -o "$start" "$disk.raw" | python3 -c '
import re, sys
t = sys.stdin.read()
fs = re.search(r"^File System Type: (.*)$", t, re.M).group(1).strip()
label = re.search(r"^Volume (?:Label|Name)[^:]*: (.*)$", t, re.M).group(1).strip()
r = re.search(r"^Total Sector Range: (\d+) - (\d+)$", t, re.M) or re.search(r"^(?:Total )?Range: (\d+) - (\d+)$", t, re.M)
print("%s|%s|%s" % ({"exFAT": "EXFAT"}.get(fs, fs), label, int(r.group(2)) + 1))
')
  [[ "$flabel" == "$label" ]] || die "$disk #$num: label '$flabel'"
  case "$kind:$fs" in fat16:FAT16 | fat32:FAT32 | ntfs:NTFS | exfat:EXFAT) ;; *) die "$disk #$num: $fs" ;; esac
  # fsstat counts NTFS without the backup boot sector in the partition's last sector.
  printf '%s.raw\t%s\t%s\t%s\t%s\t%s\t%s\n' "$disk" "$start" "$sectors" "$total" "$fs" "$label" "$note" >>"$manifest"
}

new_mbr() {
  rm -f "$1.raw"
  truncate -s "$2M" "$1.raw"
  { printf 'label: dos\nlabel-id: %s\nunit: sectors\n\n' "$3"; cat; } |
    sfdisk -q --no-reread --no-tell-kernel "$1.raw" >/dev/null
}
zero() { dd if=/dev/zero of="$1" bs=512 seek="$2" count="$3" conv=notrunc status=none; }
fill() { # fill DISK NUMBER KIND LABEL
  local start sectors
  read -r _ start sectors < <(parts "$1.raw" | awk -v n="$2" '$1 == n')
  say "$1 #$2: $3 $4 at $start, $sectors sectors"
  make_fs "$3" "$4" "$start" "$sectors" "$1.raw"
}
finish() { # finish DISK: mmls and hash before the damage
  mmls "$1.raw" >"$1.mmls.txt"
  sha256sum <"$1.raw" | awk '{ print $1 }' >"$1.sha256"
}

new_mbr zeroed-mbr 48 0x7a6e1001 <<'X'
start=2048, size=8MiB, type=7
type=c
X
fill zeroed-mbr 1 ntfs ZMNTFS
fill zeroed-mbr 2 fat32 ZMFAT32
add_row zeroed-mbr 1 ntfs ZMNTFS lost
add_row zeroed-mbr 2 fat32 ZMFAT32 lost
finish zeroed-mbr
zero zeroed-mbr.raw 0 1
mmls zeroed-mbr.raw >/dev/null 2>&1 && die "zeroed-mbr: mmls still finds a table"

rm -f zeroed-gpt.raw
truncate -s 48M zeroed-gpt.raw
sgdisk -o -U 7a6e1002-0000-4000-8000-000000000001 -n 1:2048:+36M -t 1:0700 -c 1:ZGFAT32 \
  -n 2:0:+8M -t 2:0700 -c 2:ZGNTFS zeroed-gpt.raw >/dev/null
fill zeroed-gpt 1 fat32 ZGFAT32
fill zeroed-gpt 2 ntfs ZGNTFS
add_row zeroed-gpt 1 fat32 ZGFAT32 lost
add_row zeroed-gpt 2 ntfs ZGNTFS lost
finish zeroed-gpt
gsectors=$(($(stat -c %s zeroed-gpt.raw) / 512))
zero zeroed-gpt.raw 0 34
zero zeroed-gpt.raw $((gsectors - 33)) 33
mmls zeroed-gpt.raw >/dev/null 2>&1 && die "zeroed-gpt: mmls still finds a table"

new_mbr deleted-logical 40 0x7a6e1003 <<'X'
size=8MiB, type=6
type=5
size=8MiB, type=7
size=8MiB, type=7
type=6
X
fill deleted-logical 1 fat16 DLFAT16
fill deleted-logical 5 ntfs DLNTFS
fill deleted-logical 6 exfat DLEXFAT
fill deleted-logical 7 fat16 DLLAST
add_row deleted-logical 1 fat16 DLFAT16 ok
add_row deleted-logical 5 ntfs DLNTFS ok
add_row deleted-logical 6 exfat DLEXFAT lost
add_row deleted-logical 7 fat16 DLLAST ok
finish deleted-logical
# The volume stays; only its entry goes (sfdisk relinks the chain around it).
sfdisk -q --no-reread --no-tell-kernel --delete deleted-logical.raw 6
[[ "$(parts deleted-logical.raw | awk '{ print $1 }' | tr '\n' ' ')" == "1 2 5 6 " ]] ||
  die "deleted-logical: unexpected partitions after the delete"

new_mbr overwritten-start 24 0x7a6e1004 <<'X'
start=2048, type=7
X
fill overwritten-start 1 ntfs OWNTFS
add_row overwritten-start 1 ntfs OWNTFS ok
finish overwritten-start
zero overwritten-start.raw 2048 16

cat "$manifest" >&2
say "packing"
cd "$tmp"
list=(partsearch/MANIFEST.tsv)
for d in zeroed-mbr zeroed-gpt deleted-logical overwritten-start; do
  list+=("partsearch/$d.raw" "partsearch/$d.mmls.txt" "partsearch/$d.sha256")
done
pack_archive "$out" 8000000 "${list[@]}"
