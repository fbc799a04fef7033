#!/usr/bin/env bash
# Builds tests/data/reformatted.tar.xz: a disk whose NTFS partition was
# quick-formatted over an older NTFS volume. The old files are no longer in
# the live MFT; they can only be found by searching the new volume's free
# space for the old volume's MFT records.
#
# The archive holds the folder reformatted/ with:
#   reformatted.vmdk  monolithicSparse VMDK (qemu-img) of a 42 MiB MBR disk
#                     with one NTFS partition (type 7) at sector 2048: the new
#                     volume NEWVOL (41 MiB, 4 KiB clusters) laid over the old
#                     volume OLDVOL (40 MiB, 4 KiB clusters, same start). The
#                     partition entry describes the new volume.
#   old-files.tsv     the files of the old volume:
#                       path    relative to the old root, "/"-separated
#                       size    bytes
#                       sha256  of the content
#                       mft     the file's record number in the old MFT (the
#                               record itself is still on the disk, at the old
#                               MFT's place; see layout.txt)
#                       intact  "yes" if the bytes at the file's old clusters
#                               (or, for a resident file, the value in its old
#                               record) still hash to sha256, "no" if the
#                               second format or the new files overwrote any
#                               of them
#   new-files.tsv     the files of the new volume: path size sha256 mft
#   layout.txt        sizes, serials, MFT, MFT mirror and $LogFile clusters
#                     of both volumes, whether the old backup boot sector is
#                     still there, the old folders and their records, the
#                     clusters of the old and new files and what overwrote the
#                     old files that are not intact.
#
# The old MFT (records 0-112: system files, 8 folders from 64, 41 files from
# 72) lies in the new volume's free space; the old folders' records and
# index blocks survive too, so full old paths can be rebuilt. Beware: the old
# folder records 64-66 have the same numbers (and sequence numbers) as the
# new files in the new MFT, and the old files' parent references to the root
# (record 5) meet the new root.
#
# How it is made:
#   1. mkntfs -Q -L OLDVOL on the first 40 MiB of the partition area. mkntfs
#      always puts the MFT at cluster 4; the old volume's MFT is then moved to
#      cluster 256 (as another formatter would place it), before the volume
#      is mounted: the MFT clusters are copied, the runlist of $MFT:$DATA is
#      rewritten in record 0 and in its mirror, both boot sectors get the new
#      MFT cluster, $Bitmap is updated and the old clusters are zeroed. The
#      volume is checked by ntfsfix -n, by a remount that reads every file
#      back and by sleuthkit.
#   2. ntfs-3g writes the old files (folders first, then the files, both in
#      sorted order): text, CSV and binary files of 1-200 KiB, a few tiny
#      resident ones and an empty one. Their records and clusters are taken
#      from sleuthkit (fls, istat) after unmounting.
#   3. mkntfs -Q -L NEWVOL over a 41 MiB partition (1 MiB larger): its MFT
#      lands at cluster 4, away from the old MFT; its MFT mirror and $LogFile
#      (at half the volume) land on old files' data.
#   4. ntfs-3g writes three new files; their data lands right behind the new
#      $LogFile and near the end of the volume, on more old files' data.
#   5. The partition table describes the new volume.
# Self-checks: every old file's record is found by scanning the final
# partition in 1 KiB steps for FILE records (record number and name match);
# the new MFT lists only the new files; sleuthkit on the final partition with
# the old boot sector put back (the "old view") gives, for each old record,
# exactly the content expected from the intact column.
#
# Content is generated from fixed seeds; the volume serial numbers are fixed;
# timestamps come from the run.
#
# With --odd it builds tests/data/reformatted-odd.tar.xz instead (folder
# reformatted-odd/, disk reformatted-odd.vmdk, the same listings): a partition
# of an odd number of sectors (45057, 22 MiB) as older partitioning tools made
# them, whose old volume (20 MiB) started one sector after the new one, as if
# the partition had been moved. The old MFT's records then lie at odd sectors
# of the new volume, off its record grid, in the first 4097 sectors (the last
# of the 20 MiB pieces a search from the volume's end reads). layout.txt adds
# old_volume_start (the old volume's first sector in the partition); the old
# volume's clusters are counted from there.
#
# Needs (root): ntfs-3g (FUSE, /dev/fuse), mkntfs, ntfsfix, sfdisk, qemu-img,
# sleuthkit (fls, istat, icat), python3, xz, tar, cmp.
# Optional: cmake (used to check that `cmake -E tar xJf` unpacks the archive).
#
# Usage: tools/make_reformatted_fixture.sh [--odd] [output.tar.xz]
set -euo pipefail

here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
repo="$(cd "$here/.." && pwd)"
variant=reformatted
if [ "${1:-}" = --odd ]; then variant=reformatted-odd; shift; fi
out="${1:-$repo/tests/data/$variant.tar.xz}"
case "$out" in /*) ;; *) out="$PWD/$out" ;; esac

source "$here/lib.sh"
require_root
require_tools ntfs-3g mkntfs ntfsfix sfdisk qemu-img python3 fls istat icat mountpoint \
              xz tar cmp dd umount

PART_START=2048
OLD_SECTORS=81920            # 40 MiB old volume
NEW_SECTORS=83968            # 41 MiB new volume = the final partition
OLD_SHIFT=0                  # sectors from the partition start to the old volume
MAX_ARCHIVE=$((2 * 1024 * 1024))
if [ "$variant" = reformatted-odd ]; then
    OLD_SECTORS=40960        # 20 MiB
    NEW_SECTORS=45057        # odd
    OLD_SHIFT=1
    MAX_ARCHIVE=$((1024 * 1024))
fi
DISK_SECTORS=$((PART_START + NEW_SECTORS))
OLD_MFT_LCN=256              # where the old volume's MFT is moved to
OLD_SERIAL=0x4f4c44564f4c3031
NEW_SERIAL=0x4e4557564f4c3032

tmp="$(mktemp -d)"
part="$tmp/part.img"
MNT="$tmp/mnt" NTFS_IMAGE="$part" NTFS_LOG="$tmp/ntfs-3g.log" NTFS_OPTS=no_detach
cleanup() {
    ntfs_cleanup
    rm -rf "$tmp"
}
trap cleanup EXIT
stage="$tmp/stage"
dir="$tmp/$variant"
mkdir -p "$MNT" "$stage" "$dir"

# ---------------------------------------------------------------------------
# Everything that looks at or changes bytes, in one Python program:
#   fixture.py generate STAGE                  content, old.json, new.json
#   fixture.py serial IMAGE SECTORS SERIAL     fixed serial in both boot sectors
#   fixture.py move-mft IMAGE LCN              relocate a fresh volume's MFT
#   fixture.py boot IMAGE                      MFT, mirror cluster; sizes
#   fixture.py write STAGE MNT old|new         write the files
#   fixture.py verify STAGE MNT old            read every file back
#   fixture.py measure STAGE IMAGE old|new     records and clusters (sleuthkit)
#   fixture.py check STAGE IMAGE OLDBOOT DIR   scan, intact, old view, tsv files
# It imports the helpers it shares with make_ntfs_fixture.sh from
# ntfs_fixture_lib.py in this folder.
# ---------------------------------------------------------------------------
cat > "$tmp/fixture.py" <<'PY'
import hashlib, json, os, random, struct, subprocess, sys

from ntfs_fixture_lib import BLOCK, WORDS, fls, istat, run, serial, text
import ntfs_fixture_lib

# --- content ------------------------------------------------------------------
def csv(seed, size):
    return ntfs_fixture_lib.csv(seed, size, 2023)

def binary(seed, size, name):
    """Binary blocks: each 4 KiB block starts with the file name and its
    index (so that a block read from the wrong place shows), the rest are
    bytes from a 16-value alphabet spread over 0..255."""
    r = random.Random(seed)
    alphabet = bytes(r.sample(range(256), 16))
    out = bytearray()
    for i in range((size + BLOCK - 1) // BLOCK):
        head = b'\x00\x7fBIN %s block %05d\x00' % (name.encode(), i)
        body = bytes(alphabet[(x >> s) & 15] for x in r.randbytes(BLOCK // 2) for s in (0, 4))
        out += (head + body)[:BLOCK]
    return bytes(out[:size])

def source(seed, size):
    r = random.Random(seed)
    out, n, f = ['#include <stdio.h>\n#include <stdlib.h>\n\n'], 0, 0
    n = len(out[0])
    while n < size:
        f += 1
        s = ('static int %s_%d(int value)\n{\n    /* %s */\n    return value * %d + %d;\n}\n\n'
             % (r.choice(WORDS), f, ' '.join(r.choice(WORDS) for _ in range(8)),
                r.randint(2, 99), r.randint(0, 999)))
        out.append(s)
        n += len(s)
    return ''.join(out).encode()[:size]

OLD = [
    ('readme.txt', b'OLDVOL - the old volume. Documents, Photos, Projects and Music.\n'),
    ('todo.txt', b'- renew the insurance\n- back up the photos\n- call the bank\n'),
    ('notes.txt', text(1, 1500, 'Loose notes')),
    ('Documents/annual-report-2023.txt', text(2, 150000, 'Annual report 2023')),
    ('Documents/letter-to-bank.txt', text(3, 6000, 'Dear Sir or Madam')),
    ('Documents/budget-2024.csv', csv(4, 120000)),
    ('Documents/contacts.csv', b'name,phone,email\n' + b''.join(
        b'Contact %02d,555-01%02d,contact%02d@example.com\n' % (i, i, i) for i in range(80))),
    ('Documents/travel-plan.txt', text(5, 12000, 'Travel plan')),
    ('Documents/short-memo.txt', b'Memo: the office is closed on Friday.\n'),
    ('Documents/empty.txt', b''),
    ('Documents/Minutes/meeting-2023-01.txt', text(11, 4000, 'Minutes January')),
    ('Documents/Minutes/meeting-2023-02.txt', text(12, 9000, 'Minutes February')),
    ('Documents/Minutes/meeting-2023-03.txt', text(13, 14000, 'Minutes March')),
    ('Documents/Minutes/meeting-2023-04.txt', text(14, 19000, 'Minutes April')),
    ('Documents/Minutes/meeting-2023-05.txt', text(15, 25000, 'Minutes May')),
    ('Documents/Minutes/meeting-2023-06.txt', text(16, 30000, 'Minutes June')),
    ('Photos/album.txt', text(20, 2000, 'Album')),
    ('Photos/IMG_0001.raw', binary(21, 40000, 'IMG_0001')),
    ('Photos/IMG_0002.raw', binary(22, 70000, 'IMG_0002')),
    ('Photos/IMG_0003.raw', binary(23, 100000, 'IMG_0003')),
    ('Photos/IMG_0004.raw', binary(24, 130000, 'IMG_0004')),
    ('Photos/IMG_0005.raw', binary(25, 160000, 'IMG_0005')),
    ('Photos/IMG_0006.raw', binary(26, 200000, 'IMG_0006')),
    ('Photos/Thumbnails/thumb-0001.bin', binary(31, 1024, 'thumb-0001')),
    ('Photos/Thumbnails/thumb-0002.bin', binary(32, 1500, 'thumb-0002')),
    ('Photos/Thumbnails/thumb-0003.bin', binary(33, 2000, 'thumb-0003')),
    ('Photos/Thumbnails/thumb-0004.bin', binary(34, 2500, 'thumb-0004')),
    ('Photos/Thumbnails/thumb-0005.bin', binary(35, 3000, 'thumb-0005')),
    ('Photos/Thumbnails/thumb-0006.bin', binary(36, 5000, 'thumb-0006')),
    ('Projects/Alpha/main.c', source(40, 9000)),
    ('Projects/Alpha/Makefile', b'CFLAGS = -O2 -Wall\n\nall: alpha\n\nalpha: main.o\n'
                                b'\t$(CC) -o $@ $^\n\nclean:\n\trm -f alpha main.o\n'),
    ('Projects/Alpha/design.txt', text(41, 30000, 'Alpha design')),
    ('Projects/Alpha/firmware.bin', binary(42, 180000, 'firmware')),
    ('Projects/Alpha/build.log', text(43, 70000, 'Build log')),
    ('Projects/Alpha/notes.txt', b'Alpha: ship the firmware before the review.\n'),
    ('Projects/Beta/data.csv', csv(50, 90000)),
    ('Projects/Beta/model.bin', binary(51, 64000, 'model')),
    ('Projects/Beta/readme.md', text(52, 2000, '# Beta')),
    ('Projects/Beta/version.txt', b'beta 0.9.1\n'),
    ('Music/demo-track.bin', binary(60, 200000, 'demo-track')),
    ('Music/playlist.m3u', b'#EXTM3U\n' + b''.join(b'track-%02d.mp3\n' % i for i in range(1, 60))),
]

NEW = [
    ('readme.txt', b'NEWVOL - freshly formatted.\n'),
    ('inventory.csv', csv(70, 300000)),
    ('backup.bin', binary(71, 200000, 'backup')),
]

def generate(stage):
    for key, files in (('old', OLD), ('new', NEW)):
        rows = []
        os.makedirs(os.path.join(stage, key))
        for i, (path, data) in enumerate(files):
            name = '%s/%03d' % (key, i)
            with open(os.path.join(stage, name), 'wb') as f:
                f.write(data)
            rows.append(dict(path=path, file=name, size=len(data),
                             sha256=hashlib.sha256(data).hexdigest()))
        save(stage, key, rows)

def load(stage, key):
    with open(os.path.join(stage, key + '.json')) as f:
        return json.load(f)

def save(stage, key, rows):
    with open(os.path.join(stage, key + '.json'), 'w') as f:
        json.dump(rows, f, indent=1)

def content(stage, row):
    with open(os.path.join(stage, row['file']), 'rb') as f:
        return f.read()

# --- boot sector, records, runlists ----------------------------------------------
def boot(image):
    with open(image, 'rb') as f:
        b = f.read(512)
    if b[3:11] != b'NTFS    ':
        sys.exit('%s: no NTFS boot sector' % image)
    bps, spc = struct.unpack_from('<HB', b, 0x0b)
    sectors, mft, mirr = struct.unpack_from('<qqq', b, 0x28)
    rs = b[0x40] if b[0x40] < 0x80 else 256 - b[0x40]
    rec = rs * bps * spc if b[0x40] < 0x80 else 1 << rs
    return dict(cluster=bps * spc, sector=bps, sectors=sectors, mft=mft, mirr=mirr,
                record=rec, serial=struct.unpack_from('<Q', b, 0x48)[0])

def unfix(rec):
    """Applies the update sequence array; returns the record and its USN."""
    rec = bytearray(rec)
    uo, uc = struct.unpack_from('<HH', rec, 4)
    usn = rec[uo:uo + 2]
    for i in range(1, uc):
        end = i * 512 - 2
        if rec[end:end + 2] != usn:
            return None
        rec[end:end + 2] = rec[uo + 2 * i:uo + 2 * i + 2]
    return rec

def fix(rec):
    rec = bytearray(rec)
    uo, uc = struct.unpack_from('<HH', rec, 4)
    usn = rec[uo:uo + 2]
    for i in range(1, uc):
        end = i * 512 - 2
        rec[uo + 2 * i:uo + 2 * i + 2] = rec[end:end + 2]
        rec[end:end + 2] = usn
    return bytes(rec)

def attributes(rec):
    pos = struct.unpack_from('<H', rec, 0x14)[0]
    while pos + 8 <= len(rec):
        typ, length = struct.unpack_from('<II', rec, pos)
        if typ == 0xffffffff or length < 16 or pos + length > len(rec):
            return
        nonres, nlen, noff = rec[pos + 8], rec[pos + 9], struct.unpack_from('<H', rec, pos + 10)[0]
        name = rec[pos + noff:pos + noff + 2 * nlen].decode('utf-16-le', 'replace')
        yield dict(type=typ, pos=pos, length=length, nonres=bool(nonres), name=name)
        pos += length

def resident_value(rec, a):
    vlen, voff = struct.unpack_from('<IH', rec, a['pos'] + 0x10)
    return bytes(rec[a['pos'] + voff:a['pos'] + voff + vlen])

def runlist(rec, a):
    p = a['pos'] + struct.unpack_from('<H', rec, a['pos'] + 0x20)[0]
    runs, lcn = [], 0
    while rec[p]:
        lb, ob = rec[p] & 15, rec[p] >> 4
        length = int.from_bytes(rec[p + 1:p + 1 + lb], 'little')
        if ob:
            lcn += int.from_bytes(rec[p + 1 + lb:p + 1 + lb + ob], 'little', signed=True)
            runs.append((lcn, length))
        else:
            runs.append((None, length))
        p += 1 + lb + ob
    return runs

def encode_runs(runs):
    out, prev = bytearray(), 0
    for lcn, length in runs:
        lb = (length.bit_length() + 8) // 8
        delta = lcn - prev
        ob = 1
        while not -(1 << (8 * ob - 1)) <= delta < (1 << (8 * ob - 1)):
            ob += 1
        out += bytes([lb | ob << 4]) + length.to_bytes(lb, 'little') + \
            delta.to_bytes(ob, 'little', signed=True)
        prev = lcn
    return bytes(out + b'\0')

def file_names(rec):
    out = []
    for a in attributes(rec):
        if a['type'] == 0x30 and not a['nonres']:
            v = resident_value(rec, a)
            parent = struct.unpack_from('<Q', v, 0)[0]
            n = v[0x40]
            out.append((parent & 0xffffffffffff, parent >> 48, v[0x41],
                        v[0x42:0x42 + 2 * n].decode('utf-16-le', 'replace')))
    return out

def move_mft(image, new_lcn):
    """Moves the MFT of a freshly made (never mounted) volume to NEW_LCN."""
    new_lcn = int(new_lcn)
    bs = boot(image)
    cs, rs = bs['cluster'], bs['record']
    with open(image, 'r+b') as f:
        def read(off, n):
            f.seek(off)
            return f.read(n)
        def write(off, data):
            f.seek(off)
            f.write(data)
        rec0 = unfix(read(bs['mft'] * cs, rs))
        data = [a for a in attributes(rec0) if a['type'] == 0x80 and not a['name']][0]
        runs = runlist(rec0, data)
        if len(runs) != 1 or runs[0][0] != bs['mft']:
            sys.exit('$MFT is not one run at the boot sector\'s cluster: %r' % runs)
        old_lcn, count = runs[0]
        mp = data['pos'] + struct.unpack_from('<H', rec0, data['pos'] + 0x20)[0]
        enc = encode_runs([(new_lcn, count)])
        if mp + len(enc) > data['pos'] + data['length']:
            sys.exit('the new runlist does not fit into the attribute')
        # $Bitmap: the old clusters become free, the new ones used.
        rec6 = unfix(read(bs['mft'] * cs + 6 * rs, rs))
        bma = [a for a in attributes(rec6) if a['type'] == 0x80 and not a['name']][0]
        bm_runs = runlist(rec6, bma)
        bitmap = bytearray(b''.join(read(l * cs, n * cs) for l, n in bm_runs))
        def bit(c):
            return bitmap[c >> 3] >> (c & 7) & 1
        def setbit(c, v):
            bitmap[c >> 3] = bitmap[c >> 3] & ~(1 << (c & 7)) | (v << (c & 7))
        for c in range(new_lcn, new_lcn + count):
            if bit(c):
                sys.exit('cluster %d is in use' % c)
        for c in range(old_lcn, old_lcn + count):
            if not bit(c):
                sys.exit('cluster %d of the MFT is not marked used' % c)
            setbit(c, 0)
        for c in range(new_lcn, new_lcn + count):
            setbit(c, 1)
        # Copy, patch record 0 here and in the mirror, zero the old place.
        mft = bytearray(read(old_lcn * cs, count * cs))
        rec0[mp:mp + len(enc)] = enc
        rec0[mp + len(enc):data['pos'] + data['length']] = bytes(
            data['pos'] + data['length'] - mp - len(enc))
        mft[0:rs] = fix(rec0)
        write(new_lcn * cs, bytes(mft))
        mirror = read(bs['mirr'] * cs, rs)
        if mirror != read(old_lcn * cs, rs):
            sys.exit('$MFTMirr differs from $MFT')
        write(bs['mirr'] * cs, bytes(mft[0:rs]))
        write(old_lcn * cs, bytes(count * cs))
        pos = 0
        for l, n in bm_runs:
            write(l * cs, bytes(bitmap[pos:pos + n * cs]))
            pos += n * cs
        for sector in (0, bs['sectors']):
            b = bytearray(read(sector * bs['sector'], 512))
            if b[3:11] != b'NTFS    ':
                sys.exit('no boot sector at sector %d' % sector)
            struct.pack_into('<q', b, 0x30, new_lcn)
            write(sector * bs['sector'], bytes(b))
    print('MFT moved from cluster %d to %d (%d clusters)' % (old_lcn, new_lcn, count))

# --- writing ------------------------------------------------------------------
def write(stage, mnt, key):
    rows = load(stage, key)
    for d in sorted({os.path.dirname(r['path']) for r in rows} - {''}):
        os.makedirs(os.path.join(mnt, d), exist_ok=True)
    for r in sorted(rows, key=lambda r: r['path']):
        with open(os.path.join(mnt, r['path']), 'wb') as f:
            f.write(content(stage, r))

def verify(stage, mnt, key):
    rows = load(stage, key)
    for r in rows:
        with open(os.path.join(mnt, r['path']), 'rb') as f:
            if f.read() != content(stage, r):
                sys.exit('%s: content differs after remount' % r['path'])
    print('%d files read back' % len(rows))

# --- sleuthkit ------------------------------------------------------------------
def istat_data(image, inode):
    """Unnamed $DATA of a record: (resident, clusters)."""
    data = [a for a in istat(image, 0, inode)['attrs'] if a['type'] == '$DATA' and a['name'] == 'N/A']
    if not data:
        sys.exit('record %d has no $DATA' % inode)
    for a in data:
        if a['extra'].strip():
            sys.exit('record %d: unexpected $DATA flags %r' % (inode, a['extra']))
    return dict(resident=data[-1]['resident'], clusters=data[-1]['clusters'])

def measure(stage, image, key):
    rows = load(stage, key)
    entries = fls(image)
    live = {e['path']: e for e in entries if not e['deleted']}
    for r in rows:
        e = live.get(r['path'])
        if e is None or e['meta_type'] != 'r':
            sys.exit('fls does not list %s' % r['path'])
        d = istat_data(image, e['inode'])
        r.update(mft=e['inode'], resident=d['resident'], clusters=d['clusters'])
        if not d['resident'] and len(d['clusters']) != (r['size'] + BLOCK - 1) // BLOCK:
            sys.exit('%s: %d clusters for %d bytes' % (r['path'], len(d['clusters']), r['size']))
    folders = sorted((e['path'], e['inode']) for e in entries
                     if not e['deleted'] and e['meta_type'] == 'd' and not e['path'].startswith('$'))
    user = {e['path'] for e in entries if not e['deleted'] and not e['path'].startswith('$')}
    extra = user - {r['path'] for r in rows} - {p for p, _ in folders}
    if extra:
        sys.exit('unexpected entries: %s' % sorted(extra))
    # (Records 16-23, reserved and unused, show as $OrphanFiles/OrphanFile-N.)
    dead = [e['path'] for e in entries if e['deleted'] and not e['path'].startswith('$')]
    if dead:
        sys.exit('deleted entries on the %s volume: %s' % (key, dead))
    save(stage, key, rows)
    # The clusters of $MFT and $LogFile from their runlists (istat shows the
    # clusters past the initialized size as 0).
    b = boot(image)
    with open(image, 'rb') as f:
        def clusters(num):
            f.seek(b['mft'] * b['cluster'] + num * b['record'])
            rec = unfix(f.read(b['record']))
            data = [a for a in attributes(rec) if a['type'] == 0x80 and not a['name']][0]
            return [l + i for l, n in runlist(rec, data) for i in range(n)]
        mft, logfile = clusters(0), clusters(2)
    with open(os.path.join(stage, key + '-layout.json'), 'w') as f:
        json.dump(dict(boot=b, folders=folders, mft=mft, logfile=logfile), f)
    print('%s volume: %d files, %d folders, records %d-%d, MFT clusters %d-%d'
          % (key, len(rows), len(folders), min(r['mft'] for r in rows),
             max(r['mft'] for r in rows), mft[0], mft[-1]))

# --- checks and the listings ---------------------------------------------------
def ranges(clusters):
    out = []
    for c in clusters:
        if out and out[-1][1] == c - 1:
            out[-1][1] = c
        else:
            out.append([c, c])
    return ','.join('%d' % a if a == b else '%d-%d' % (a, b) for a, b in out)

def check(stage, image, old_boot, outdir):
    old, new = load(stage, 'old'), load(stage, 'new')
    with open(os.path.join(stage, 'old-layout.json')) as f:
        ol = json.load(f)
    with open(os.path.join(stage, 'new-layout.json')) as f:
        nl = json.load(f)
    ob, nb = ol['boot'], nl['boot']
    cs, rs = ob['cluster'], ob['record']
    shift = int(os.environ['OLD_SHIFT']) * 512  # where the old volume starts
    with open(image, 'rb') as f:
        disk = f.read()
    bad = 0

    # 1. The old MFT's clusters and the new MFT's clusters do not meet.
    if set(ol['mft']) & set(nl['mft']):
        print('the new MFT overlaps the old one'); bad += 1

    # 2. Scan the whole partition in 512-byte steps for FILE records.
    found = {}
    for off in range(0, len(disk) - rs + 1, 512):
        if disk[off:off + 4] != b'FILE':
            continue
        rec = unfix(disk[off:off + rs])
        if rec is None:
            continue
        num = struct.unpack_from('<I', rec, 0x2c)[0]
        for parent, seq, ns, name in file_names(rec):
            found.setdefault((num, name), []).append(off)
    old_mft_off = {}
    i = 0
    for c in ol['mft']:
        for k in range(cs // rs):
            old_mft_off[i] = shift + c * cs + k * rs
            i += 1
    new_mft = {c * cs + k * rs for c in nl['mft'] for k in range(cs // rs)}
    for r in old:
        name = r['path'].rsplit('/', 1)[-1]
        offs = found.get((r['mft'], name), [])
        if old_mft_off[r['mft']] not in offs:
            print('old record %d (%s) not found at its place' % (r['mft'], r['path'])); bad += 1
    for path, num in ol['folders']:
        if old_mft_off[num] not in found.get((num, path.rsplit('/', 1)[-1]), []):
            print('old folder record %d (%s) not found' % (num, path)); bad += 1
    outside = sum(1 for offs in found.values() for o in offs if o not in new_mft)

    # 3. intact: the bytes at the old clusters, or the resident value in the
    #    old record, against the original.
    def old_record(num):
        return unfix(disk[old_mft_off[num]:old_mft_off[num] + rs])
    for r in old:
        if r['resident']:
            rec = old_record(r['mft'])
            a = [a for a in attributes(rec) if a['type'] == 0x80 and not a['name']]
            got = resident_value(rec, a[0]) if a and not a[0]['nonres'] else b''
        else:
            got = b''.join(disk[shift + c * cs:shift + (c + 1) * cs] for c in r['clusters'])[:r['size']]
        r['intact'] = 'yes' if hashlib.sha256(got).hexdigest() == r['sha256'] else 'no'

    # 4. The old view: the final partition with the old boot sector. Every
    #    old record gives the original content exactly when it is intact.
    view = os.path.join(os.path.dirname(image), 'old-view.img')
    with open(old_boot, 'rb') as f:
        ob_bytes = f.read()
    with open(view, 'wb') as f:
        f.write(ob_bytes + disk[shift + len(ob_bytes):shift + ob['sectors'] * ob['sector'] + ob['sector']])
    for r in old:
        got = subprocess.run(['icat', '-f', 'ntfs', view, str(r['mft'])],
                             capture_output=True).stdout
        same = hashlib.sha256(got).hexdigest() == r['sha256']
        if same != (r['intact'] == 'yes'):
            print('%s: old view says %s, intact=%s' % (r['path'], same, r['intact'])); bad += 1
    old_view = {e['path']: e['inode'] for e in fls(view) if not e['deleted']}
    for r in old:
        if old_view.get(r['path']) != r['mft']:
            print('%s: the old view lists it as %r' % (r['path'], old_view.get(r['path']))); bad += 1
    os.unlink(view)

    # 5. The new MFT lists only the new files (and its folders: none).
    live = fls(image)
    user = sorted((e['path'], e['inode']) for e in live if not e['path'].startswith('$'))
    if user != sorted((r['path'], r['mft']) for r in new):
        print('the new volume lists %r' % user); bad += 1
    for r in new:
        if hashlib.sha256(run('icat', '-f', 'ntfs', image, str(r['mft']))).hexdigest() != r['sha256']:
            print('%s: icat content differs' % r['path']); bad += 1

    # 6. What overwrote the old files that are not intact.
    new_clusters = {c for r in new for c in r['clusters']}
    new_logfile = set(nl['logfile'])
    for r in old:
        hit = set(r['clusters'])
        r['by'] = ', '.join(w for w, s in (('new files', new_clusters), ('new $LogFile', new_logfile))
                            if hit & s) or 'other new metadata'
        if r['intact'] == 'yes' and hit & (new_clusters | new_logfile):
            print('%s: intact although overwritten' % r['path']); bad += 1
    bo = shift + ob['sectors'] * ob['sector']
    old_backup_ok = disk[bo:bo + 512] == ob_bytes
    if bad:
        sys.exit('%d problems' % bad)

    with open(os.path.join(outdir, 'old-files.tsv'), 'w') as f:
        f.write('path\tsize\tsha256\tmft\tintact\n')
        for r in old:
            f.write('%s\t%d\t%s\t%d\t%s\n' % (r['path'], r['size'], r['sha256'], r['mft'], r['intact']))
    with open(os.path.join(outdir, 'new-files.tsv'), 'w') as f:
        f.write('path\tsize\tsha256\tmft\n')
        for r in new:
            f.write('%s\t%d\t%s\t%d\n' % (r['path'], r['size'], r['sha256'], r['mft']))

    part_start = int(os.environ['PART_START'])
    with open(os.path.join(outdir, 'layout.txt'), 'w') as f:
        w = lambda *a: print(*a, file=f)
        w('# Disk: %d sectors of 512 bytes; one MBR partition (type 7) at sector %d, '
          '%d sectors.' % (int(os.environ['DISK_SECTORS']), part_start, nb['sectors'] + 1))
        w('# Clusters are counted from each volume\'s start; cluster size %d, MFT record '
          'size %d, both volumes.' % (cs, rs))
        w('old_volume_start\t%d' % (shift // 512))
        for key, b, l in (('old', ob, ol), ('new', nb, nl)):
            w('%s_label\t%s' % (key, 'OLDVOL' if key == 'old' else 'NEWVOL'))
            w('%s_serial\t%016X' % (key, b['serial']))
            w('%s_volume_sectors\t%d' % (key, b['sectors']))
            w('%s_volume_clusters\t%d' % (key, b['sectors'] * b['sector'] // cs))
            w('%s_backup_boot_sector\t%d' % (key, part_start + b['sectors'] + (shift // 512 if key == 'old' else 0)))
            w('%s_mft_cluster\t%d' % (key, b['mft']))
            w('%s_mft_clusters\t%s' % (key, ranges(l['mft'])))
            w('%s_mftmirr_cluster\t%d' % (key, b['mirr']))
            w('%s_logfile_clusters\t%s' % (key, ranges(l['logfile'])))
        w('# Whether the old volume\'s backup boot sector is still on the disk (it lies in '
          'the new volume\'s free space).')
        w('old_backup_boot_sector_present\t%s' % ('yes' if old_backup_ok else 'no'))
        w('# Old folders: path and MFT record.')
        for path, num in ol['folders']:
            w('old_folder\t%s\t%d' % (path, num))
        w('# Old files: path, clusters of $DATA (resident: "-"), intact, what overwrote them.')
        for r in old:
            w('old_data\t%s\t%s\t%s\t%s' % (r['path'], ranges(r['clusters']) or '-', r['intact'],
                                           r['by'] if r['intact'] == 'no' else '-'))
        w('# New files: path, clusters of $DATA (resident: "-").')
        for r in new:
            w('new_data\t%s\t%s' % (r['path'], ranges(r['clusters']) or '-'))

    n_int = sum(r['intact'] == 'yes' for r in old)
    print('old MFT cluster %d (%s), new MFT cluster %d (%s)'
          % (ob['mft'], ranges(ol['mft']), nb['mft'], ranges(nl['mft'])))
    print('%d FILE records found by the scan, %d outside the new MFT' %
          (sum(map(len, found.values())), outside))
    print('%d old files, %d intact; overwritten:' % (len(old), n_int))
    for r in old:
        if r['intact'] != 'yes':
            print('  %-40s %s (%s)' % (r['path'], ranges(r['clusters']), r['by']))
    print('old backup boot sector present: %s' % old_backup_ok)

if __name__ == '__main__':
    cmd, args = sys.argv[1], sys.argv[2:]
    {'generate': generate, 'serial': serial, 'move-mft': move_mft, 'write': write,
     'verify': verify, 'measure': measure, 'check': check,
     'boot': lambda image: print(json.dumps(boot(image)))}[cmd](*args)
PY
fx() { PYTHONPATH="$here" PYTHONDONTWRITEBYTECODE=1 python3 "$tmp/fixture.py" "$@"; }

say "generating content"
fx generate "$stage"

# ---------------------------------------------------------------------------
# The old volume.
# ---------------------------------------------------------------------------
say "old volume: mkntfs, MFT moved to cluster $OLD_MFT_LCN"
truncate -s $((OLD_SECTORS * 512)) "$part"
mkntfs -F -Q -q -L OLDVOL -s 512 -c 4096 -p "$PART_START" -H 255 -S 63 \
    "$part" "$OLD_SECTORS" 2>/dev/null
fx serial "$part" "$OLD_SECTORS" "$OLD_SERIAL"
fx move-mft "$part" "$OLD_MFT_LCN"

say "old volume: writing files"
mount_ntfs
fx write "$stage" "$MNT" old
unmount_ntfs
mount_ntfs
fx verify "$stage" "$MNT" old
unmount_ntfs
ntfsfix -n "$part" >"$tmp/ntfsfix.log" 2>&1 || { cat "$tmp/ntfsfix.log" >&2; die "ntfsfix: old volume"; }
fx measure "$stage" "$part" old
dd if="$part" of="$tmp/old-boot.bin" bs=512 count=1 status=none
if [ "$OLD_SHIFT" != 0 ]; then
    say "old volume: moved $OLD_SHIFT sector(s) into the partition"
    truncate -s $((NEW_SECTORS * 512)) "$tmp/shifted.img"
    dd if="$part" of="$tmp/shifted.img" bs=512 seek="$OLD_SHIFT" conv=notrunc status=none
    mv "$tmp/shifted.img" "$part"
fi

# ---------------------------------------------------------------------------
# The new volume over it.
# ---------------------------------------------------------------------------
say "new volume: mkntfs over the whole partition; the disk's partition table describes it"
RAW="$tmp/disk.raw" PART="$part" PART_SECTORS="$NEW_SECTORS"
new_ntfs_disk NEWVOL 0x52464d54
fx serial "$part" "$NEW_SECTORS" "$NEW_SERIAL"

say "new volume: writing files"
mount_ntfs
fx write "$stage" "$MNT" new
unmount_ntfs
ntfsfix -n "$part" >"$tmp/ntfsfix.log" 2>&1 || { cat "$tmp/ntfsfix.log" >&2; die "ntfsfix: new volume"; }
fx measure "$stage" "$part" new

say "checking"
PART_START=$PART_START DISK_SECTORS=$DISK_SECTORS OLD_SHIFT=$OLD_SHIFT \
    fx check "$stage" "$part" "$tmp/old-boot.bin" "$dir"

# ---------------------------------------------------------------------------
# Disk: the new volume put into its partition.
# ---------------------------------------------------------------------------
say "disk"
place_partition
fls -o "$PART_START" -f ntfs "$tmp/disk.raw" >/dev/null || die "sleuthkit cannot read the disk"

# ---------------------------------------------------------------------------
# VMDK and archive.
# ---------------------------------------------------------------------------
say "$variant.vmdk"
raw_to_vmdk "$tmp/disk.raw" "$dir/$variant.vmdk"

say "packing"
cd "$tmp"
list=("$variant/layout.txt" "$variant/new-files.tsv" "$variant/old-files.tsv"
      "$variant/$variant.vmdk")
[ "${#list[@]}" = "$(find "$variant" -type f | wc -l)" ] || die "unlisted files in $variant/"
pack_archive "$out" "$MAX_ARCHIVE" "${list[@]}"
