#!/usr/bin/env bash
# Builds the disks the repair of logical volumes is tested on and packs them into
# tests/data/repair.tar.xz.
#
# One MBR disk laid out by sfdisk: a FAT16 primary, and an extended partition holding an
# NTFS, a FAT16 and an exFAT logical volume (each behind its extended boot record, 2048
# sectors before it). The NTFS volume's hidden-sectors field counts from the disk's start
# (as Linux tools write it), the logical FAT16 volume's from its extended boot record (as
# Windows writes it). Three copies are damaged:
#   zeroed-ebr         the extended boot record of the logical FAT16 volume zeroed (the chain
#                      ends there, so the exFAT volume behind it is lost as well)
#   deleted-extended   the MBR entry of the extended partition zeroed (the chain is intact)
#   deleted-first      the first logical volume deleted by sfdisk (the chain's first block
#                      now names the second volume)
# repair/before.mmls.txt is mmls of the disk before the damage, repair/before.sha256 its hash.
#
# Needs (root not needed): sfdisk, mkfs.fat, mkntfs, mkfs.exfat, mmls, xz, tar.
# Usage: tools/make_repair_fixtures.sh [output.tar.xz]
set -euo pipefail

here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
repo="$(cd "$here/.." && pwd)"
out="${1:-$repo/tests/data/repair.tar.xz}"
case "$out" in /*) ;; *) out="$PWD/$out" ;; esac

source "$here/lib.sh"
require_tools sfdisk mkfs.fat mkntfs mkfs.exfat mmls xz tar dd sha256sum

tmp="$(mktemp -d)"
trap 'rm -rf "$tmp"' EXIT
dir="$tmp/repair"
mkdir -p "$dir"
cd "$dir"

RAW="$tmp/base.raw"
DISK_SECTORS=81920
PART="$tmp/part.img"
truncate -s $((DISK_SECTORS * 512)) "$RAW"
printf 'label: dos\nlabel-id: 0x7a6e2001\nunit: sectors\n\n%s\n' \
  'size=8MiB, type=6
type=5
size=8MiB, type=7
size=8MiB, type=6
type=7' | sfdisk -q --no-reread --no-tell-kernel "$RAW" >/dev/null

# part NUMBER: "start sectors" of a partition, from sfdisk.
part() { sfdisk -d "$RAW" | awk -v n="$1" -F'[ ,=]+' '$1 ~ ("[^0-9]" n "$") { print $4, $6 }'; }
# fat NUMBER BITS LABEL HIDDEN
fat() {
  read -r PART_START sectors < <(part "$1")
  truncate -s $((sectors * 512)) "$PART"
  mkfs.fat --invariant -F "$2" -s 1 -h "$4" -g 255/63 --mbr=n -n "$3" -i "$(printf '%s' "$3" | cksum | cut -c1-8)" \
    "$PART" >/dev/null
  place_partition
}
read -r PART_START sectors < <(part 1)
fat 1 16 RPFAT16 "$PART_START"
read -r PART_START sectors < <(part 5)
truncate -s $((sectors * 512)) "$PART"
mkntfs -q -F -Q -T -s 512 -p "$PART_START" -H 255 -S 63 -L RLNTFS "$PART" "$sectors" 2>/dev/null
place_partition
fat 6 16 RLFAT16 2048
read -r PART_START sectors < <(part 7)
truncate -s $((sectors * 512)) "$PART"
mkfs.exfat -L RLEXFAT "$PART" >/dev/null
place_partition

mmls "$RAW" >before.mmls.txt
sha256sum <"$RAW" | awk '{ print $1 }' >before.sha256
[[ "$(grep -c '^0..:  0' before.mmls.txt)" == 4 ]] || die "mmls does not list four volumes"

read -r l6 _ < <(part 6)
cp --sparse=always "$RAW" zeroed-ebr.raw
dd if=/dev/zero of=zeroed-ebr.raw bs=512 seek=$((l6 - 2048)) count=1 conv=notrunc status=none

cp --sparse=always "$RAW" deleted-extended.raw
dd if=/dev/zero of=deleted-extended.raw bs=1 seek=462 count=16 conv=notrunc status=none

cp --sparse=always "$RAW" deleted-first.raw
sfdisk -q --no-reread --no-tell-kernel --delete deleted-first.raw 5

for d in zeroed-ebr deleted-extended deleted-first; do
  say "$d after the damage:"
  mmls "$d.raw" >&2 || true
done

cd "$tmp"
list=(repair/before.mmls.txt repair/before.sha256)
for d in zeroed-ebr deleted-extended deleted-first; do list+=("repair/$d.raw"); done
pack_archive "$out" 1000000 "${list[@]}"
