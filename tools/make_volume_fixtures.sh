#!/usr/bin/env bash
# Builds the partition-table / file-system fixtures and packs them into
# tests/data/volumes.tar.xz.
#
# Every disk is laid out by sfdisk or sgdisk, every file system is made by its
# own mkfs tool, and the disk is stored as a monolithicSparse VMDK written by
# qemu-img. volumes/MANIFEST.tsv lists the volumes a correct reader must find;
# its numbers are read back from sfdisk, sgdisk, mmls, fsstat and blkid (and
# from the boot sectors the mkfs tools wrote), never computed here.
# volumes/<disk>.mmls.txt keeps the mmls output of each disk as partitioned,
# before any sector was zeroed.
#
# Needs (root): qemu-utils, fdisk (sfdisk), gdisk (sgdisk), dosfstools, mtools,
# ntfs-3g, exfatprogs, exfat-fuse, e2fsprogs, util-linux (mkswap, blkid),
# sleuthkit (mmls, fsstat), xz, tar, python3, cmp, /dev/fuse.
# Optional: cmake (used to check that `cmake -E tar xJf` unpacks the archive).
#
# Usage: tools/make_volume_fixtures.sh [output.tar.xz]
set -euo pipefail

here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
repo="$(cd "$here/.." && pwd)"
out="${1:-$repo/tests/data/volumes.tar.xz}"
case "$out" in /*) ;; *) out="$PWD/$out" ;; esac

source "$here/lib.sh"
require_tools qemu-img sfdisk sgdisk mkfs.fat fsck.fat mcopy mmd mkntfs ntfs-3g \
              mkfs.exfat exfatlabel fsck.exfat mount.exfat-fuse mkfs.ext2 e2fsck \
              mkswap blkid losetup mountpoint mmls fsstat xz tar python3 cmp dd umount
require_root

# MNT serves the ntfs-3g mounts (through lib.sh, NTFS_IMAGE set per volume) and
# the exFAT ones.
tmp="$(mktemp -d)"
MNT="$tmp/mnt" NTFS_LOG="$tmp/ntfs-3g.log" NTFS_OPTS=no_detach
loop=""
cleanup() {
    ntfs_cleanup
    if [ -n "$loop" ]; then losetup -d "$loop"; fi
    rm -rf "$tmp"
}
trap cleanup EXIT
dir="$tmp/volumes"
work="$tmp/work"
mkdir -p "$dir" "$work" "$MNT"
cd "$work"

# Fixed identifiers, derived from the label so every run gives the same ones.
serial_of() { printf '%s' "$1" | cksum | awk '{ printf "%08X", $1 }'; }
uuid_of() {
    printf '%s' "$1" | md5sum |
        sed 's/^\(........\)\(....\)\(....\)\(....\)\(............\).*/\1-\2-\3-\4-\5/'
}

# A few small files per volume: a text file, a sub-directory and a file that
# spans several clusters. Fixed modification times.
content() {
    local label="$1" d="$tmp/content/$1"
    if [ ! -d "$d" ]; then
        mkdir -p "$d/SUBDIR"
        printf 'Torvane test volume %s\n' "$label" > "$d/HELLO.TXT"
        python3 -c '
import sys
label = sys.argv[1].encode()
line = b"%s %04d\n"
sys.stdout.buffer.write(b"".join(line % (label, i) for i in range(400)))
' "$label" > "$d/SUBDIR/DATA.TXT"
        touch -d '2024-03-01 12:00:00 UTC' "$d/HELLO.TXT" "$d/SUBDIR/DATA.TXT" "$d/SUBDIR"
    fi
    printf '%s\n' "$d"
}

# exfat-fuse finishes writing after umount returns; wait until nothing holds
# PATH open any more.
wait_released() {
    local i
    for i in $(seq 300); do
        [ -z "$(find /proc/[0-9]*/fd -lname "$1" 2>/dev/null)" ] && return 0
        sleep 0.1
    done
    die "$1 is still open"
}

# make_fs KIND LABEL START SECTORS IMAGE
# Writes a file system of SECTORS sectors into the new file IMAGE, as it
# would be made on a partition starting at sector START.
make_fs() {
    local kind="$1" label="$2" start="$3" sectors="$4" img="$5"
    rm -f "$img"
    truncate -s $((sectors * 512)) "$img"
    local src
    case "$kind" in
        fat12|fat16|fat32)
            local bits="${kind#fat}" extra=()
            [ "$bits" = 32 ] && extra=(-s 1)
            mkfs.fat --invariant -F "$bits" "${extra[@]}" -h "$start" -g 255/63 \
                --mbr=n -n "$label" -i "$(serial_of "$label")" "$img" >/dev/null
            src="$(content "$label")"
            MTOOLS_SKIP_CHECK=1 mcopy -s -m -i "$img" "$src/HELLO.TXT" "$src/SUBDIR" ::/
            fsck.fat -n "$img" >/dev/null || die "$img: fsck.fat failed"
            ;;
        ntfs)
            mkntfs -q -F -Q -T -s 512 -p "$start" -H 255 -S 63 -L "$label" \
                "$img" "$sectors" 2>/dev/null
            src="$(content "$label")"
            NTFS_IMAGE="$img"
            mount_ntfs
            cp -rp "$src/HELLO.TXT" "$src/SUBDIR" "$MNT/"
            unmount_ntfs
            ;;
        exfat)
            mkfs.exfat -L "$label" "$img" >/dev/null
            exfatlabel -i "$img" "0x$(serial_of "$label")" >/dev/null
            src="$(content "$label")"
            # exfat-fuse mounts block devices only.
            loop="$(losetup -f --show "$img")"
            mount.exfat-fuse "$loop" "$MNT" >/dev/null 2>&1
            cp -r "$src/HELLO.TXT" "$src/SUBDIR" "$MNT/"
            umount "$MNT"
            wait_released "$loop"
            losetup -d "$loop"
            loop=""
            fsck.exfat -n "$img" >/dev/null || die "$img: fsck.exfat failed"
            ;;
        ext2)
            src="$(content "$label")"
            E2FSPROGS_FAKE_TIME=1709294400 mkfs.ext2 -q -F -b 1024 -L "$label" \
                -U "$(uuid_of "$label")" -E "hash_seed=$(uuid_of "seed$label")" \
                -d "$src" "$img"
            e2fsck -fn "$img" >/dev/null 2>&1 || die "$img: e2fsck failed"
            ;;
        swap)
            # mkswap warns about the image being sparse and world-readable.
            mkswap -L "$label" -U "$(uuid_of "$label")" "$img" >/dev/null 2>&1
            ;;
        *) die "unknown file system kind $kind" ;;
    esac
}

# Partitions of a disk image as "number start sectors type", from sfdisk.
parts() {
    sfdisk -J "$1" | python3 -c '
import json, re, sys
for p in json.load(sys.stdin)["partitiontable"].get("partitions", []):
    n = re.search(r"(\d+)$", p["node"]).group(1)
    print(n, p["start"], p["size"], p["type"])
'
}

# Volume rows: disk|partition number (0: whole disk)|kind|label|note
rows=(
    "mbr-logical|1|fat16|PRIMFAT16|primary"
    "mbr-logical|2|ntfs|PRIMNTFS|primary"
    "mbr-logical|5|fat32|LOGFAT32|logical"
    "mbr-logical|6|exfat|LOGEXFAT|logical"
    "mbr-logical|7|ntfs|LOGNTFS|logical"
    "gpt|1|fat32|GPTFAT32|gpt"
    "gpt|2|ntfs|GPTNTFS|gpt"
    "gpt|3|exfat|GPTEXFAT|gpt"
    "gpt|4|ext2|GPTEXT2|gpt"
    "superfloppy-fat12|0|fat12|FLOPPY12|superfloppy"
    "ntfs-backup-boot|1|ntfs|BACKUPBOOT|primary backup_boot primary_boot_zeroed"
    "lost-table|1|ntfs|LOSTNTFS|lost mbr_zeroed"
    "lost-table|2|fat32|LOSTFAT32|lost mbr_zeroed"
    "fat32-backup-boot|1|fat32|BACKUPFAT32|primary backup_boot primary_boot_zeroed"
    "linux|1|ext2|LINUXEXT2|primary"
    "linux|2|swap|SWAPLABEL|primary"
    "mbr-gap|2|fat16|SLOT2|primary slot1_empty"
    "mbr-gap|3|ntfs|SLOT3|primary slot1_empty"
)
disks=(mbr-logical gpt superfloppy-fat12 ntfs-backup-boot lost-table
       fat32-backup-boot linux mbr-gap)

# new_mbr DISK SIZE_MIB ID: an empty disk with the sfdisk script on stdin.
new_mbr() {
    rm -f "$1.raw"
    truncate -s "$2M" "$1.raw"
    { printf 'label: dos\nlabel-id: %s\nunit: sectors\n\n' "$3"; cat; } |
        sfdisk -q --no-reread --no-tell-kernel "$1.raw" >/dev/null
}

# ---------------------------------------------------------------------------
# 1. Partition tables.
# ---------------------------------------------------------------------------
say "partition tables"
new_mbr mbr-logical 80 0x7a6e0001 <<'EOF'
size=12MiB, type=e
size=8MiB, type=7
type=5
size=36MiB, type=c
size=8MiB, type=7
type=7
EOF

rm -f gpt.raw
truncate -s 72M gpt.raw
sgdisk -o -U "$(uuid_of gpt-disk)" \
    -n 1:2048:+36M -t 1:0700 -c 1:GPTFAT32 -u "1:$(uuid_of gpt-part1)" \
    -n 2:0:+8M     -t 2:0700 -c 2:GPTNTFS  -u "2:$(uuid_of gpt-part2)" \
    -n 3:0:+8M     -t 3:0700 -c 3:GPTEXFAT -u "3:$(uuid_of gpt-part3)" \
    -n 4:0:0       -t 4:8300 -c 4:GPTEXT2  -u "4:$(uuid_of gpt-part4)" \
    gpt.raw >/dev/null
grep -q 'No problems found' <<<"$(sgdisk -v gpt.raw)" || die "gpt.raw: sgdisk -v complains"

new_mbr ntfs-backup-boot 16 0x7a6e0004 <<'EOF'
start=2048, type=7
EOF
new_mbr lost-table 56 0x7a6e0005 <<'EOF'
start=2048, size=16MiB, type=7
type=c
EOF
new_mbr fat32-backup-boot 40 0x7a6e0006 <<'EOF'
start=2048, type=c
EOF
new_mbr linux 32 0x7a6e0007 <<'EOF'
size=16MiB, type=83
type=82
EOF
# Slot 1 exists only to be deleted: sfdisk --delete clears its entry and
# leaves slots 2 and 3 where they are.
new_mbr mbr-gap 32 0x7a6e0008 <<'EOF'
size=4MiB, type=6
size=12MiB, type=6
type=7
EOF
sfdisk -q --no-reread --no-tell-kernel --delete mbr-gap.raw 1
python3 - <<'PY' || die "mbr-gap.raw: slot 1 is not empty or slots 2/3 are missing"
d = open('mbr-gap.raw', 'rb').read(512)
e = [d[446 + 16 * i:462 + 16 * i] for i in range(4)]
assert e[0] == bytes(16) and e[1] != bytes(16) and e[2] != bytes(16) and e[3] == bytes(16)
assert d[510:512] == b'\x55\xaa'
PY
[ "$(parts mbr-gap.raw | awk '{ print $1 }' | tr '\n' ' ')" = "2 3 " ] ||
    die "mbr-gap.raw: sfdisk does not list partitions 2 and 3"

# Extended partition of mbr-logical must be type 0x05.
grep -qx '3 [0-9]* [0-9]* 5' <<<"$(parts mbr-logical.raw)" || die "mbr-logical.raw: no type 0x05 at slot 3"

# ---------------------------------------------------------------------------
# 2. File systems, made on their own images and copied in at the partition
#    start the table reports.
# ---------------------------------------------------------------------------
for row in "${rows[@]}"; do
    IFS='|' read -r disk num kind label note <<<"$row"
    [ "$num" = 0 ] && continue
    read -r _ start sectors _ < <(parts "$disk.raw" | awk -v n="$num" '$1 == n')
    [ -n "${start:-}" ] || die "$disk.raw: no partition $num"
    say "$disk.raw #$num: $kind $label at $start, $sectors sectors"
    make_fs "$kind" "$label" "$start" "$sectors" "$work/part.img"
    RAW="$disk.raw" PART="$work/part.img" PART_START="$start"
    DISK_SECTORS=$(($(stat -c %s "$RAW") / 512))
    place_partition
done

say "superfloppy-fat12.raw"
rm -f superfloppy-fat12.raw
mkfs.fat --invariant -F 12 -C -n FLOPPY12 -i "$(serial_of FLOPPY12)" --mbr=n \
    superfloppy-fat12.raw 1440 >/dev/null
src="$(content FLOPPY12)"
MTOOLS_SKIP_CHECK=1 mcopy -s -m -i superfloppy-fat12.raw "$src/HELLO.TXT" "$src/SUBDIR" ::/
fsck.fat -n superfloppy-fat12.raw >/dev/null || die "superfloppy-fat12.raw: fsck.fat failed"

# ---------------------------------------------------------------------------
# 3. Read everything back (before any damage) and write the MANIFEST.
# ---------------------------------------------------------------------------
for disk in "${disks[@]}"; do
    rc=0
    mmls "$disk.raw" > "$dir/$disk.mmls.txt" 2>&1 || rc=$?
    # mmls prints nothing when it finds no table (the superfloppy).
    if [ "$rc" != 0 ]; then
        [ "$disk" = superfloppy-fat12 ] || die "$disk: mmls failed"
        [ -s "$dir/$disk.mmls.txt" ] ||
            echo "(mmls printed nothing and exited with status $rc: no partition table)" > "$dir/$disk.mmls.txt"
    fi
done

# Facts the boot sectors hold, printed as note words; fails if the backup
# copies the mkfs tools wrote are not where and what they should be.
bootcheck() {
    python3 - "$@" <<'PY'
import struct, sys
path, kind, start, sectors = sys.argv[1], sys.argv[2], int(sys.argv[3]), int(sys.argv[4])
with open(path, 'rb') as f:
    f.seek(start * 512)
    d = f.read(sectors * 512)
sec = lambda n: d[n * 512:(n + 1) * 512]
def fail(msg):
    sys.exit('%s @%d: %s' % (path, start, msg))
words = []
if kind == 'ntfs':
    b = sec(0)
    if b[3:11] != b'NTFS    ': fail('no NTFS boot sector')
    total = struct.unpack_from('<Q', b, 0x28)[0]
    hidden = struct.unpack_from('<I', b, 0x1c)[0]
    if hidden != start: fail('hidden sectors %d' % hidden)
    if total != sectors - 1: fail('NTFS total sectors %d, partition %d' % (total, sectors))
    if sec(sectors - 1) != b: fail('no backup boot sector in the last sector')
    words += ['ntfs_total=%d' % total, 'ntfs_backup=+%d' % (sectors - 1)]
elif kind in ('fat12', 'fat16', 'fat32'):
    b = sec(0)
    hidden = struct.unpack_from('<I', b, 0x1c)[0]
    if hidden != start: fail('hidden sectors %d' % hidden)
    total = struct.unpack_from('<H', b, 0x13)[0] or struct.unpack_from('<I', b, 0x20)[0]
    words.append('fat_total=%d' % total)
    if kind == 'fat32':
        backup = struct.unpack_from('<H', b, 0x32)[0]
        fsinfo = struct.unpack_from('<H', b, 0x30)[0]
        if sec(backup) != b: fail('backup boot sector differs')
        # mcopy updates the free-cluster hints of the primary FSInfo only, so
        # the backup FSInfo is checked for its signatures, not for equality.
        if sec(backup + fsinfo)[:4] != b'RRaA' or sec(backup + fsinfo)[484:488] != b'rrAa':
            fail('no backup FSInfo')
        words.append('fat32_backup=+%d' % backup)
elif kind == 'exfat':
    if sec(0)[3:11] != b'EXFAT   ': fail('no exFAT boot sector')
    # VolumeFlags (106..107) and PercentInUse (112) are left out of the
    # checksum; the FUSE driver updates them in the main boot sector only.
    volatile = (106, 107, 112)
    main, backup = bytearray(d[:12 * 512]), bytearray(d[12 * 512:24 * 512])
    for region in (main, backup):
        s = 0
        for i, c in enumerate(region[:11 * 512]):
            if i not in volatile:
                s = (((s >> 1) | ((s & 1) << 31)) + c) & 0xffffffff
        if region[11 * 512:] != struct.pack('<I', s) * 128: fail('boot checksum')
    for i in volatile:
        main[i] = backup[i] = 0
    if main != backup: fail('backup boot region differs')
    offset = struct.unpack_from('<Q', sec(0), 0x40)[0]
    length = struct.unpack_from('<Q', sec(0), 0x48)[0]
    words += ['exfat_total=%d' % length, 'exfat_backup=+12', 'partition_offset=%d' % offset]
elif kind == 'swap':
    if d[4096 - 10:4096] != b'SWAPSPACE2': fail('no SWAPSPACE2 signature')
print(' '.join(words))
PY
}

# fs_facts DISK START KIND: "FSNAME|LABEL|SECTORS" from fsstat (blkid for swap).
fs_facts() {
    local disk="$1" start="$2" kind="$3"
    if [ "$kind" = swap ]; then
        local info
        info="$(blkid -p -o export -O $(($start * 512)) "$disk")"
        grep -qx 'TYPE=swap' <<<"$info" || die "$disk @$start: blkid does not see swap"
        printf 'Linux Swap 2|%s|\n' "$(sed -n 's/^LABEL=//p' <<<"$info")"
        return
    fi
    fsstat -o "$start" "$disk" | python3 -c '
import re, sys
text = sys.stdin.read()
fs = re.search(r"^File System Type: (.*)$", text, re.M).group(1).strip()
labels = {m.strip() for m in re.findall(r"^Volume (?:Label|Name)[^:]*: (.*)$", text, re.M)}
if len(labels) != 1:
    sys.exit("labels disagree: %r" % labels)
r = re.search(r"^Total Range: (\d+) - (\d+)$", text, re.M)
print("%s|%s|%s" % ({"exFAT": "EXFAT"}.get(fs, fs), labels.pop(), int(r.group(2)) + 1 if r else ""))
'
}

# mmls must list the same start and length.
mmls_has() {
    python3 - "$dir/$1.mmls.txt" "$2" "$3" <<'PY'
import re, sys
text, start, length = open(sys.argv[1]).read(), int(sys.argv[2]), int(sys.argv[3])
for m in re.finditer(r'^\d+:\s+(\S+)\s+(\d+)\s+\d+\s+(\d+)\s', text, re.M):
    if m.group(1) not in ('Meta', '-------') and int(m.group(2)) == start and int(m.group(3)) == length:
        sys.exit(0)
sys.exit(1)
PY
}

say "MANIFEST"
manifest="$dir/MANIFEST.tsv"
printf 'disk\tstart_sector\tsectors\tfs\tlabel\tnote\n' > "$manifest"
for row in "${rows[@]}"; do
    IFS='|' read -r disk num kind label note <<<"$row"
    if [ "$num" = 0 ]; then
        start=0; sectors=""; ptype=""
    else
        read -r _ start sectors ptype < <(parts "$disk.raw" | awk -v n="$num" '$1 == n')
        mmls_has "$disk" "$start" "$sectors" || die "$disk: mmls disagrees on #$num"
    fi
    IFS='|' read -r fs flabel fsize < <(fs_facts "$disk.raw" "$start" "$kind")
    case "$kind:$fs" in
        fat12:FAT12|fat16:FAT16|fat32:FAT32|ntfs:NTFS|exfat:EXFAT|ext2:Ext2|"swap:Linux Swap 2") ;;
        *) die "$disk @$start: expected $kind, tools report '$fs'" ;;
    esac
    [ "$flabel" = "$label" ] || die "$disk @$start: label '$flabel', expected '$label'"
    if [ "$num" = 0 ]; then
        sectors="$fsize"
        [ "$((sectors * 512))" = "$(stat -c %s "$disk.raw")" ] || die "$disk: fs size differs from disk"
        words=""
    elif [ "$disk" = gpt ]; then
        info="$(sgdisk -i "$num" gpt.raw)"
        grep -q "^First sector: $start " <<<"$info" || die "gpt: sgdisk start of #$num"
        grep -q "^Partition size: $sectors sectors" <<<"$info" || die "gpt: sgdisk size of #$num"
        grep -q "^Partition name: '$label'" <<<"$info" || die "gpt: sgdisk name of #$num"
        words="part=$num"
    else
        words="slot=$num type=0x$(printf '%02x' "0x$ptype")"
    fi
    extra="$(bootcheck "$disk.raw" "$kind" "$start" "$sectors")" || die "bootcheck $disk #$num"
    note="$(echo $note $words $extra)"
    printf '%s.vmdk\t%s\t%s\t%s\t%s\t%s\n' "$disk" "$start" "$sectors" "$fs" "$label" "$note" >> "$manifest"
done
cat "$manifest" >&2

# ---------------------------------------------------------------------------
# 4. Damage.
# ---------------------------------------------------------------------------
zero_sector() { dd if=/dev/zero of="$1" bs=512 count=1 seek="$2" conv=notrunc status=none; }
sector() { dd if="$1" bs=512 count=1 skip="$2" status=none | od -An -v -tx1; }

say "damage"
read -r _ s n _ < <(parts ntfs-backup-boot.raw | awk '$1 == 1')
zero_sector ntfs-backup-boot.raw "$s"
[ "$(sector ntfs-backup-boot.raw "$s")" = "$(sector /dev/zero 0)" ] || die "ntfs-backup-boot: primary not zeroed"
bootcheck ntfs-backup-boot.raw ntfs "$s" "$n" >/dev/null 2>&1 && die "ntfs-backup-boot: primary still readable"
grep -q '4e 54 46 53 20 20 20 20' <<<"$(sector ntfs-backup-boot.raw $((s + n - 1)))" ||
    die "ntfs-backup-boot: backup boot sector lost"

read -r _ s _ _ < <(parts fat32-backup-boot.raw | awk '$1 == 1')
zero_sector fat32-backup-boot.raw "$s"
[ "$(sector fat32-backup-boot.raw "$s")" = "$(sector /dev/zero 0)" ] || die "fat32-backup-boot: primary not zeroed"
grep -q '46 41 54 33 32 20 20 20' <<<"$(sector fat32-backup-boot.raw $((s + 6)))" ||
    die "fat32-backup-boot: backup boot sector lost"

lost_first="$(parts lost-table.raw | awk '$1 == 1 { print $2 }')"
zero_sector lost-table.raw 0
mmls lost-table.raw >/dev/null 2>&1 && die "lost-table: mmls still finds a table"
fsstat -o "$lost_first" lost-table.raw >/dev/null || die "lost-table: file system gone"

# ---------------------------------------------------------------------------
# 5. VMDKs, read back through qemu-img.
# ---------------------------------------------------------------------------
for disk in "${disks[@]}"; do
    say "$disk.vmdk"
    raw_to_vmdk "$disk.raw" "$dir/$disk.vmdk"
done

# ---------------------------------------------------------------------------
# Pack.
# ---------------------------------------------------------------------------
say "packing"
cd "$tmp"
list=(volumes/MANIFEST.tsv)
for disk in "${disks[@]}"; do
    list+=("volumes/$disk.vmdk" "volumes/$disk.mmls.txt")
done
[ "${#list[@]}" = "$(find volumes -type f | wc -l)" ] || die "unlisted files in volumes/"

pack_archive "$out" 0 "${list[@]}"
