#!/usr/bin/env bash
# Builds tests/data/ntfs.tar.xz: a real NTFS volume for testing the MFT walk
# (existing and deleted files with their full paths), checked against
# sleuthkit.
#
# The archive holds the folder ntfs/ with:
#   ntfs.vmdk        monolithicSparse VMDK (qemu-img) of a 64 MiB MBR disk with
#                    one NTFS partition (label FIXTURE, 4 KiB clusters) at
#                    sector 2048, written through the ntfs-3g FUSE driver.
#   fls.txt          `fls -r -p -o 2048 -f ntfs` of the final disk (allocated
#                    and deleted entries; deleted ones carry a `*`).
#   fls-deleted.txt  the same with -d: deleted entries only.
#   files.tsv        every file written, one row per name (each hard link is a
#                    row) and one row per named data stream ("path:stream"):
#                      path      relative to the volume root, "/"-separated
#                      size      bytes
#                      sha256    of the content (holes read as zeros)
#                      deleted   yes/no
#                      flags     comma-separated, measured with istat on the
#                                volume (for deleted files: before deletion):
#                                  resident    $DATA is resident
#                                  fragmented  the allocated clusters form
#                                              more than one run
#                                  attrlist    the record has $ATTRIBUTE_LIST
#                                  compressed  $DATA is compressed
#                                  sparse      $DATA is sparse
#                                  ads         the file has named streams
#                                  hardlink    the file has several names
#                                  stream      the row is a named stream
#                                  late        written after the deletions
#                                  helper      scaffolding for the interleaved
#                                              files, deleted at once (its
#                                              record and clusters are reused)
#                                ("-" when none)
#                      mft       MFT record number the file was written to
#                      intact    deleted rows: "yes" if icat of that record
#                                still gives the original content, "partial"
#                                if it gives only a correct beginning (the
#                                rest of the runlist was in extension records
#                                the driver cleared), "reused" if the record
#                                belongs to another file now, "no" otherwise;
#                                "-" for existing files
#
# How the volume was filled:
#   1. mount: folders 6 deep with spaces, accents, CJK and emoji (UTF-16
#      surrogate pairs) in names, a 130-character name, names differing only
#      in case in different folders, tiny resident files, an empty file,
#      medium and > 1 MiB files, two sparse files (one with 640 data/hole
#      runs, hence an attribute list), named streams (resident and not), 100
#      long-named hard links to one file (their $FILE_NAMEs overflow the
#      record: attribute list), and two pairs of files written alternately
#      into a hole that is the only free space left, so that every step is a
#      run of its own (16 runs each; 320 runs each for the second pair, whose
#      runlists spill into extension records).
#   2. mount with -o compression: a folder marked compressed holding
#      compressible text, a mixed random/zero/text file and a subfolder.
#   3. mount: every file is read back, then tiny, big, fragmented and
#      compressed files and the folder tree "Old Stuff" are deleted, and two
#      new files are written afterwards (they may reuse freed records).
#
# Content is generated from fixed seeds; timestamps and a few allocation
# details come from the run. The volume serial number is fixed.
#
# Needs (root): ntfs-3g (FUSE, /dev/fuse), mkntfs, sfdisk, qemu-img,
# sleuthkit (fls, istat, icat), python3, xz, tar, cmp.
# Optional: cmake (used to check that `cmake -E tar xJf` unpacks the archive).
#
# Usage: tools/make_ntfs_fixture.sh [output.tar.xz]
set -euo pipefail

here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
repo="$(cd "$here/.." && pwd)"
out="${1:-$repo/tests/data/ntfs.tar.xz}"
case "$out" in /*) ;; *) out="$PWD/$out" ;; esac

source "$here/lib.sh"
require_root
require_tools ntfs-3g mkntfs sfdisk qemu-img python3 fls istat icat mountpoint xz tar cmp dd umount

DISK_SECTORS=131072          # 64 MiB disk
PART_START=2048
PART_SECTORS=$((DISK_SECTORS - PART_START))
SERIAL=0x54564e5446495854    # volume serial number written into both boot sectors
MAX_ARCHIVE=$((3 * 1024 * 1024))

tmp="$(mktemp -d)"
MNT="$tmp/mnt" NTFS_IMAGE="$tmp/part.img" NTFS_LOG="$tmp/ntfs-3g.log" NTFS_OPTS=no_detach,streams_interface=xattr
cleanup() {
    ntfs_cleanup
    rm -rf "$tmp"
}
trap cleanup EXIT
stage="$tmp/stage"
dir="$tmp/ntfs"
mkdir -p "$MNT" "$stage" "$dir"

# ---------------------------------------------------------------------------
# The file table and every step that touches files, in one Python program:
#   fixture.py generate STAGE                 content and plan.json
#   fixture.py populate STAGE MNT 1|2         write the files of a mount
#   fixture.py verify STAGE MNT               read every file back
#   fixture.py delete STAGE MNT               the deletions
#   fixture.py late STAGE MNT                 files written afterwards
#   fixture.py measure STAGE IMAGE OFFSET KEY flags and records, from istat
#   fixture.py check STAGE RAW OFFSET TSV     icat checks; writes files.tsv
#   fixture.py serial IMAGE SECTORS SERIAL    fixed serial in both boot sectors
# It imports the helpers it shares with make_reformatted_fixture.sh from
# ntfs_fixture_lib.py in this folder.
# ---------------------------------------------------------------------------
cat > "$tmp/fixture.py" <<'PY'
import errno, hashlib, json, os, random, shutil, subprocess, sys

from ntfs_fixture_lib import BLOCK, fls, fls_entries, istat, run, serial, text
import ntfs_fixture_lib

# --- content ------------------------------------------------------------------
def csv(seed, size):
    return ntfs_fixture_lib.csv(seed, size, 2024)

def blocks(seed, nblocks, name, size=None):
    """4 KiB blocks, each naming itself, then a little text and padding
    (so that a block read from the wrong place shows)."""
    out = []
    for i in range(nblocks):
        head = b'%s block %06d\n' % (name.encode(), i)
        pad = b'%s block %06d continues\n' % (name.encode(), i)
        out.append((head + text(seed * 100000 + i, 256) + b'\n' +
                    pad * (BLOCK // len(pad) + 1))[:BLOCK])
    return b''.join(out)[:size]

def sparse_image(size, pieces):
    data = bytearray(size)
    for off, payload in pieces:
        data[off:off + len(payload)] = payload
    return bytes(data)

LONG_NAME = ('Quarterly financial statements and supporting schedules for the '
             'northern region - final version approved by the board (2024).txt')
DEEP = 'Projects/Alpha Team/Résumé/2024/日本語/📷 Fotos 🎉'
LINK_TARGET = 'Links/shared note.txt'
LINKS = 100

def plan():
    rows = []
    def add(path, data, phase=1, how='copy', deleted=False, expect=(), streams=None, **kw):
        row = dict(path=path, data=data, phase=phase, how=how, deleted=deleted,
                   expect=sorted(expect), streams=streams or {})
        row.update(kw)
        rows.append(row)

    # Tiny (resident), medium and big files, unusual names.
    add('readme.txt', b'Torvane NTFS fixture volume. See Projects, Media and Documents.\n',
        expect={'resident'})
    add('readme-old.txt', b'Old read-me, replaced.\n', deleted=True, expect={'resident'})
    add('Projects/Alpha Team/Report.txt', text(1, 20000, 'Alpha team report'))
    add('Projects/Alpha Team/Résumé/cv-draft.txt', text(2, 2500, 'Curriculum vitae'))
    add(DEEP + '/deep note.txt', 'Six folders deep: Résumé, 日本語, 📷.\n'.encode(),
        expect={'resident'})
    add(DEEP + '/album-index.csv', csv(3, 90000))
    add('Projects/Beta/report.txt', b'beta report, lower case name\n', expect={'resident'})
    add('Projects/Beta/Data Sets/measurements.csv', csv(4, 1100000))
    add('Archive/REPORT.TXT', text(5, 8000, 'REPORT IN UPPER CASE'))
    add('Archive/' + LONG_NAME, text(6, 5000, 'Long name'))
    add('Media/recording-2024-03-14.log', blocks(7, 367, 'recording', 1500000), deleted=True)
    add('Media/catalogue.csv', csv(8, 400000), expect={'ads'},
        streams={'thumbnail': text(9, 20000, 'thumbnail stream')})
    add('Documents/Résumé.txt', 'Résumé of the project, see Media.\n'.encode(),
        expect={'resident', 'ads'},
        streams={'Zone.Identifier': b'[ZoneTransfer]\r\nZoneId=3\r\n'})
    add('Documents/notes/todo.txt', b'- call Bob\n- send invoice\n', deleted=True,
        expect={'resident'})
    add('Documents/notes/phone.txt', b'Reception 555-0100\n', deleted=True, expect={'resident'})
    add('Documents/notes/shopping list.txt', b'milk, bread, coffee, apples\n',
        expect={'resident'})
    add('Documents/notes/empty.txt', b'', expect={'resident'})

    # A folder tree deleted as a whole.
    add('Old Stuff/2019/Taxes/return.txt', text(10, 30000, 'Tax return 2019'), deleted=True)
    add('Old Stuff/2019/Taxes/receipts.csv', csv(11, 60000), deleted=True)
    add('Old Stuff/2019/Photos/list.txt', b'beach.jpg\ncity.jpg\n', deleted=True,
        expect={'resident'})
    add('Old Stuff/Backup/settings.ini', b'[main]\nlevel=3\n', deleted=True,
        expect={'resident', 'ads'}, streams={'backup-note': b'made before the upgrade\n'})
    add('Old Stuff/Backup/Deep/Deeper/core dump.txt', blocks(12, 293, 'core dump', 1200000),
        deleted=True)

    # Sparse files: holes around a few written blocks, and a checkerboard of
    # 320 data blocks and 320 holes whose runlist needs an attribute list.
    add('Sparse/disk-image.bin', sparse_image(8 << 20, [
            (2 << 20, text(13, 3 * BLOCK, 'disk image at 2 MiB')),
            (5 << 20, text(14, BLOCK, 'disk image at 5 MiB'))]),
        how='sparse', expect={'sparse'})
    board, written = bytearray(640 * BLOCK - BLOCK), blocks(15, 320, 'checkerboard')
    for i in range(320):
        board[2 * i * BLOCK:(2 * i + 1) * BLOCK] = written[i * BLOCK:(i + 1) * BLOCK]
    add('Sparse/checkerboard.dat', bytes(board), how='sparse', expect={'sparse', 'attrlist'})

    # Hard links: the file record overflows into extension records.
    add(LINK_TARGET, b'One note, %d names.\n' % (LINKS + 1), expect={'attrlist', 'hardlink'})
    for i in range(1, LINKS + 1):
        add('Links/%03d - hard link to the shared note, with a deliberately long name '
            'so that the names overflow the record.txt' % i, None, how='link',
            target=LINK_TARGET, expect={'attrlist', 'hardlink'})

    # Interleaved writes into one hole: a run per step.
    add('Fragmented/interleaved-a.log', blocks(20, 257, 'interleaved-a', 1049576),
        how='interleave', group='ab', step=65536, expect={'fragmented'})
    add('Fragmented/interleaved-b.log', blocks(21, 257, 'interleaved-b', 1049576),
        how='interleave', group='ab', step=65536, deleted=True, expect={'fragmented'})
    add('Fragmented/many-runs-1.dat', blocks(22, 320, 'many-runs-1'),
        how='interleave', group='mn', step=BLOCK, expect={'fragmented', 'attrlist'})
    add('Fragmented/many-runs-2.dat', blocks(23, 320, 'many-runs-2'),
        how='interleave', group='mn', step=BLOCK, deleted=True,
        expect={'fragmented', 'attrlist'})
    # Helpers of the interleaving, deleted right away (contents: zeros).
    add('Temp/reserve.tmp', None, how='reserve', deleted=True)
    add('Temp/ballast.tmp', None, how='ballast', deleted=True)

    # Second mount, with compression.
    add('Compressed/server.log', text(30, 300000, 'server log'), phase=2, deleted=True,
        expect={'compressed'})
    add('Compressed/table.csv', csv(31, 150000), phase=2, expect={'compressed'})
    add('Compressed/mixed.bin', random.Random(32).randbytes(65536) + bytes(65536) +
        text(33, 100000, 'after random and zeros'), phase=2, expect={'compressed'})
    add('Compressed/small.txt', b'Small enough to stay resident in a compressed folder.\n',
        phase=2, expect={'resident'})
    add('Compressed/Sub Folder/nested.txt', text(34, 40000, 'nested'), phase=2,
        expect={'compressed'})

    # Written after the deletions.
    add('Documents/notes/added after cleanup.txt', b'Written after the clean-up.\n',
        phase=3, expect={'resident', 'late'})
    add('Projects/Beta/new-plan.txt', text(40, 48000, 'new plan'), phase=3, expect={'late'})
    add('Projects/Beta/new-plan notes.txt', b'See new-plan.txt.\n', phase=3,
        expect={'resident', 'late'})
    add('Projects/Gamma/kickoff.txt', text(41, 3000, 'Gamma kickoff'), phase=3,
        expect={'late'})
    return rows

DELETED_TREES = ['Old Stuff']
COMPRESSED_DIR = 'Compressed'

def load(stage):
    with open(os.path.join(stage, 'plan.json')) as f:
        return json.load(f)

def save(stage, rows):
    with open(os.path.join(stage, 'plan.json'), 'w') as f:
        json.dump(rows, f, indent=1, ensure_ascii=False)

def content(stage, row):
    if row['how'] == 'link':
        row = next(r for r in load(stage) if r['path'] == row['target'])
    with open(os.path.join(stage, 'data', row['file']), 'rb') as f:
        return f.read()

def stream_content(stage, row, name):
    with open(os.path.join(stage, 'data', row['streams'][name]), 'rb') as f:
        return f.read()

def generate(stage):
    rows = plan()
    os.makedirs(os.path.join(stage, 'data'))
    for i, row in enumerate(rows):
        data = row.pop('data')
        if data is not None:
            row['file'] = '%03d' % i
            with open(os.path.join(stage, 'data', row['file']), 'wb') as f:
                f.write(data)
        for j, (name, sdata) in enumerate(sorted(row['streams'].items())):
            row['streams'][name] = '%03d.%d' % (i, j)
            with open(os.path.join(stage, 'data', row['streams'][name]), 'wb') as f:
                f.write(sdata)
    save(stage, rows)

# --- writing ------------------------------------------------------------------
def write_file(path, data):
    fd = os.open(path, os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o644)
    try:
        view = memoryview(data)
        while view:
            view = view[os.write(fd, view[:1 << 20]):]
    finally:
        os.close(fd)

def write_sparse(path, data):
    """Sets the size first, then writes only the blocks that are not zero."""
    fd = os.open(path, os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o644)
    try:
        os.ftruncate(fd, len(data))
        for off in range(0, len(data), BLOCK):
            chunk = data[off:off + BLOCK]
            if chunk.count(0) != len(chunk):
                os.pwrite(fd, chunk, off)
    finally:
        os.close(fd)

def fill_until_full(fd):
    total = 0
    for chunk in (1 << 20, 65536, BLOCK):
        zeros = bytes(chunk)
        while True:
            try:
                n = os.write(fd, zeros)
            except OSError as e:
                if e.errno != errno.ENOSPC:
                    raise
                break
            total += n
            if n < chunk:
                break
    return total

def mkparent(mnt, path):
    os.makedirs(os.path.dirname(os.path.join(mnt, path)), exist_ok=True)

def populate(stage, mnt, phase):
    rows = load(stage)
    mine = [r for r in rows if r['phase'] == phase]
    if phase == 2:
        d = os.path.join(mnt, COMPRESSED_DIR)
        os.mkdir(d)
        attr = int.from_bytes(os.getxattr(d, 'system.ntfs_attrib_be'), 'big')
        os.setxattr(d, 'system.ntfs_attrib_be', (attr | 0x800).to_bytes(4, 'big'))
        attr = int.from_bytes(os.getxattr(d, 'system.ntfs_attrib_be'), 'big')
        if not attr & 0x800:
            sys.exit('%s: the compressed attribute did not stick' % d)
    for r in mine:
        p = os.path.join(mnt, r['path'])
        if r['how'] in ('copy', 'sparse'):
            mkparent(mnt, r['path'])
            (write_sparse if r['how'] == 'sparse' else write_file)(p, content(stage, r))
        elif r['how'] == 'link':
            os.link(os.path.join(mnt, r['target']), p)
        for name in sorted(r['streams']):
            os.setxattr(p, 'user.' + name, stream_content(stage, r, name))
    if phase != 1:
        return

    # Interleaving. Files are created empty first; a reserve file claims a
    # hole, a ballast file of zeros takes all the rest of the space (MFT zone
    # included) and gives its last MiB back so that the MFT can still grow;
    # then the reserve is deleted and the partners of each group are written
    # one step at a time: the allocator continues a file right after its
    # last cluster, finds the partner there and moves to the start of the
    # largest free range, which is right behind the partner.
    inter = [r for r in mine if r['how'] == 'interleave']
    groups = {}
    for r in inter:
        groups.setdefault(r['group'], []).append(r)
    for r in inter:
        mkparent(mnt, r['path'])
        os.close(os.open(os.path.join(mnt, r['path']), os.O_WRONLY | os.O_CREAT, 0o644))
    helper = {r['how']: r for r in mine if r['how'] in ('reserve', 'ballast')}
    reserve_p = os.path.join(mnt, helper['reserve']['path'])
    ballast_p = os.path.join(mnt, helper['ballast']['path'])
    mkparent(mnt, helper['reserve']['path'])
    need = sum(len(content(stage, r)) for r in inter)
    reserve_size = (need + (512 << 10) + BLOCK - 1) // BLOCK * BLOCK
    write_file(reserve_p, bytes(reserve_size))
    fd = os.open(ballast_p, os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o644)
    try:
        full = fill_until_full(fd)
        ballast_size = full - (1 << 20)
        os.ftruncate(fd, ballast_size)
    finally:
        os.close(fd)
    if os.path.getsize(ballast_p) != ballast_size:
        sys.exit('ballast size %d, expected %d' % (os.path.getsize(ballast_p), ballast_size))
    os.unlink(reserve_p)
    for name in sorted(groups):
        members = groups[name]
        datas = [content(stage, r) for r in members]
        step = members[0]['step']
        fds = [os.open(os.path.join(mnt, r['path']), os.O_WRONLY) for r in members]
        try:
            for off in range(0, max(map(len, datas)), step):
                for fd, data in zip(fds, datas):
                    chunk = data[off:off + step]
                    if chunk and os.write(fd, chunk) != len(chunk):
                        sys.exit('short write')
        finally:
            for fd in fds:
                os.close(fd)
    os.unlink(ballast_p)
    os.rmdir(os.path.dirname(ballast_p))
    helper['reserve']['size'] = reserve_size
    helper['ballast']['size'] = ballast_size
    save(stage, rows)

def verify(stage, mnt):
    rows = load(stage)
    n = 0
    for r in rows:
        if r['phase'] > 2 or r['how'] in ('reserve', 'ballast'):
            continue
        p = os.path.join(mnt, r['path'])
        with open(p, 'rb') as f:
            if f.read() != content(stage, r):
                sys.exit('%s: content differs after remount' % r['path'])
        for name in r['streams']:
            if os.getxattr(p, 'user.' + name) != stream_content(stage, r, name):
                sys.exit('%s: stream %s differs after remount' % (r['path'], name))
        n += 1
    print('%d names read back' % n)

def delete(stage, mnt):
    for r in load(stage):
        if (r['deleted'] and r['how'] not in ('reserve', 'ballast') and
                not any(r['path'].startswith(t + '/') for t in DELETED_TREES)):
            os.unlink(os.path.join(mnt, r['path']))
    for t in DELETED_TREES:
        shutil.rmtree(os.path.join(mnt, t))

def late(stage, mnt):
    for r in load(stage):
        if r['phase'] == 3:
            mkparent(mnt, r['path'])
            write_file(os.path.join(mnt, r['path']), content(stage, r))

# --- sleuthkit ------------------------------------------------------------------
def runs(clusters):
    n, prev = 0, None
    for c in clusters:
        if c == 0:          # a hole (cluster 0 is the boot sector)
            continue
        if prev is None or c != prev + 1:
            n += 1
        prev = c
    return n

def flags_of(info, stream=None):
    data = [a for a in info['attrs'] if a['type'] == '$DATA']
    mine = [a for a in data if a['name'] == (stream or 'N/A')]
    if not mine:
        return None
    a = mine[0]
    f = set()
    if a['resident']:
        f.add('resident')
    elif runs(a['clusters']) > 1:
        f.add('fragmented')
    if any(x['type'] == '$ATTRIBUTE_LIST' for x in info['attrs']):
        f.add('attrlist')
    if 'Compressed' in a['extra']:
        f.add('compressed')
    if 'Sparse' in a['extra']:
        f.add('sparse')
    if any(x['name'] != 'N/A' for x in data):
        f.add('ads')
    if info['links'] > 1:
        f.add('hardlink')
    if stream:
        f.add('stream')
    return f, a['id'], runs(a['clusters'])

def measure(stage, image, offset, key):
    """Records, attribute ids and flags of the files that exist now."""
    rows = load(stage)
    entries = fls(image, offset)
    live = {e['path']: e for e in entries if not e['deleted']}
    bad = 0
    for r in rows:
        if key == 'before' and r['phase'] == 3 or key == 'final' and r['phase'] != 3:
            continue
        if r['how'] in ('reserve', 'ballast'):
            r['mft'] = None
            continue
        e = live.get(r['path'])
        if e is None:
            print('fls does not list %s' % r['path']); bad += 1; continue
        info = istat(image, offset, e['inode'])
        f, attr_id, nruns = flags_of(info)
        if r['phase'] == 3:
            f.add('late')
        r.update(mft=e['inode'], attr=attr_id, flags=sorted(f), runs=nruns,
                 stream_attrs={}, stream_flags={})
        missing = set(r['expect']) - f
        if missing:
            print('%s: expected %s, istat shows %s' % (r['path'], sorted(missing), sorted(f)))
            bad += 1
        for name in r['streams']:
            s = live.get(r['path'] + ':' + name)
            got = flags_of(info, name)
            if s is None or got is None or s['attr'] != got[1]:
                print('%s: stream %s not found' % (r['path'], name)); bad += 1; continue
            r['stream_attrs'][name] = got[1]
            r['stream_flags'][name] = sorted(got[0])
    save(stage, rows)
    if bad:
        sys.exit('%d problems' % bad)
    for r in rows:
        if r.get('runs', 0) > 1 and r['how'] != 'link' and (r['phase'] == 3) == (key == 'final'):
            print('  %-34s %4d runs  %s' % (r['path'][:34], r['runs'], ','.join(r['flags'])))

def sha(data):
    return hashlib.sha256(data).hexdigest()

def check(stage, raw, offset, tsv, fls_txt, fls_deleted):
    rows = load(stage)
    entries = fls_entries(open(fls_txt, encoding='utf-8').read().splitlines())
    by_path = {}
    for e in entries:
        by_path.setdefault(e['path'], []).append(e)
    deleted_entries = fls_entries(open(fls_deleted, encoding='utf-8').read().splitlines())
    if [e for e in deleted_entries if not e['deleted']]:
        sys.exit('fls -d listed an allocated entry')
    if len(deleted_entries) != sum(e['deleted'] for e in entries):
        sys.exit('fls -d and fls disagree on the deleted entries')
    bad, out = 0, []
    zero_sha = {}
    for r in rows:
        names = [(r['path'], None)] + [(r['path'] + ':' + s, s) for s in sorted(r['streams'])]
        for path, stream in names:
            if r['how'] in ('reserve', 'ballast'):
                size = r['size']
                digest = zero_sha.setdefault(size, sha(bytes(size)))
                flags, mft = ['helper'], None
            else:
                data = stream_content(stage, r, stream) if stream else content(stage, r)
                size, digest = len(data), sha(data)
                flags = r['stream_flags'][stream] if stream else r['flags']
                mft = r['mft']
                attr = r['stream_attrs'][stream] if stream else r['attr']
            intact = '-'
            if not r['deleted']:
                hits = [e for e in by_path.get(path, []) if not e['deleted']]
                if len(hits) != 1 or hits[0]['inode'] != mft:
                    print('%s: fls lists %r, expected record %d' % (path, hits, mft)); bad += 1
                elif sha(run('icat', '-o', offset, '-f', 'ntfs', raw,
                             '%d-%s' % (mft, attr))) != digest:
                    print('%s: icat content differs' % path); bad += 1
            elif mft is not None:
                info = istat(raw, offset, mft)
                if info['allocated']:
                    intact = 'reused'
                else:
                    # icat fails when the attribute is gone from the record.
                    got = subprocess.run(['icat', '-o', offset, '-f', 'ntfs', raw,
                                          '%d-%s' % (mft, attr)], capture_output=True).stdout
                    if sha(got) == digest:
                        intact = 'yes'
                    elif got and size > len(got) and sha(got) == sha(data[:len(got)]):
                        intact = 'partial'
                    else:
                        intact = 'no'
            else:
                intact = 'no'   # helpers: their clusters were handed to other files
            out.append((path, size, digest, 'yes' if r['deleted'] else 'no',
                        ','.join(flags) or '-', '-' if mft is None else mft, intact))
    with open(tsv, 'w', encoding='utf-8') as f:
        f.write('path\tsize\tsha256\tdeleted\tflags\tmft\tintact\n')
        for row in out:
            f.write('\t'.join(map(str, row)) + '\n')
    if bad:
        sys.exit('%d problems' % bad)

    # Summary.
    live = [o for o in out if o[3] == 'no']
    dead = [o for o in out if o[3] == 'yes']
    print('files.tsv: %d rows (%d existing, %d deleted); %d distinct records'
          % (len(out), len(live), len(dead), len({o[5] for o in out if o[5] != '-'})))
    for o in dead:
        print('  deleted %-60s intact=%s' % (o[0][:60], o[6]))
    alloc = sum(not e['deleted'] for e in entries)
    print('fls.txt: %d lines, %d allocated, %d deleted (%d realloc); fls-deleted.txt: %d lines'
          % (len(entries), alloc, len(entries) - alloc,
             sum(e['realloc'] for e in entries), len(deleted_entries)))

if __name__ == '__main__':
    cmd, args = sys.argv[1], sys.argv[2:]
    if cmd == 'generate':
        generate(*args)
    elif cmd == 'populate':
        populate(args[0], args[1], int(args[2]))
    elif cmd == 'verify':
        verify(*args)
    elif cmd == 'delete':
        delete(*args)
    elif cmd == 'late':
        late(*args)
    elif cmd == 'measure':
        measure(*args)
    elif cmd == 'check':
        check(*args)
    elif cmd == 'serial':
        serial(*args)
    else:
        sys.exit('unknown command ' + cmd)
PY
fx() { PYTHONPATH="$here" PYTHONDONTWRITEBYTECODE=1 python3 "$tmp/fixture.py" "$@"; }

say "generating content"
fx generate "$stage"

# ---------------------------------------------------------------------------
# Disk, partition table, file system.
# ---------------------------------------------------------------------------
say "partitioning and mkntfs"
RAW="$tmp/disk.raw" PART="$tmp/part.img"
new_ntfs_disk FIXTURE 0x4e544653
fx serial "$tmp/part.img" "$PART_SECTORS" "$SERIAL" || die "could not set the serial"

say "mount 1: files, links, streams, sparse and interleaved files"
mount_ntfs
fx populate "$stage" "$MNT" 1
unmount_ntfs

say "mount 2: compressed folder"
mount_ntfs compression
fx populate "$stage" "$MNT" 2
unmount_ntfs

say "measuring the volume before the deletions"
fx measure "$stage" "$tmp/part.img" 0 before

say "mount 3: read back, delete, write new files"
mount_ntfs
fx verify "$stage" "$MNT"
fx delete "$stage" "$MNT"
fx late "$stage" "$MNT"
unmount_ntfs
fx measure "$stage" "$tmp/part.img" 0 final

place_partition

# ---------------------------------------------------------------------------
# sleuthkit listings and checks.
# ---------------------------------------------------------------------------
say "fls and icat checks"
fls -r -p -o "$PART_START" -f ntfs "$tmp/disk.raw" > "$dir/fls.txt"
fls -r -p -d -o "$PART_START" -f ntfs "$tmp/disk.raw" > "$dir/fls-deleted.txt"
fx check "$stage" "$tmp/disk.raw" "$PART_START" "$dir/files.tsv" "$dir/fls.txt" "$dir/fls-deleted.txt"

# ---------------------------------------------------------------------------
# VMDK and archive.
# ---------------------------------------------------------------------------
say "ntfs.vmdk"
raw_to_vmdk "$tmp/disk.raw" "$dir/ntfs.vmdk"

say "packing"
cd "$tmp"
list=(ntfs/files.tsv ntfs/fls.txt ntfs/fls-deleted.txt ntfs/ntfs.vmdk)
[ "${#list[@]}" = "$(find ntfs -type f | wc -l)" ] || die "unlisted files in ntfs/"
pack_archive "$out" "$MAX_ARCHIVE" "${list[@]}"
