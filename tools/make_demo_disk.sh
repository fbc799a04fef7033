#!/usr/bin/env bash
# Builds samples/demo.vmdk: an MBR disk with one NTFS partition (label "Demo",
# starting at sector 2048) holding a few dozen real files, about a third of
# which have been deleted afterwards. samples/demo-files.txt lists every file
# written (path, size, sha256, deleted yes/no).
#
# Run as root. Needs: ntfs-3g (FUSE), mkntfs, sfdisk, qemu-img, python3,
# cjpeg (libjpeg-turbo-progs, installed with apt-get if missing), and
# sleuthkit (fls, icat) for the final check.
#
# Usage: tools/make_demo_disk.sh [output-dir]     (default: <repo>/samples)
set -euo pipefail

here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
repo="$(cd "$here/.." && pwd)"
outdir="${1:-$repo/samples}"
mkdir -p "$outdir"
outdir="$(cd "$outdir" && pwd)"

source "$here/lib.sh"
require_root
if ! command -v cjpeg >/dev/null; then
    say "installing libjpeg-turbo-progs for cjpeg"
    apt-get install -y -q libjpeg-turbo-progs >/dev/null ||
        { apt-get update -q >/dev/null && apt-get install -y -q libjpeg-turbo-progs >/dev/null; }
fi
require_tools ntfs-3g mkntfs sfdisk qemu-img python3 cjpeg fls icat mountpoint sha256sum

DISK_SECTORS=131072          # 64 MiB disk
PART_START=2048
PART_SECTORS=$((DISK_SECTORS - PART_START))

tmp="$(mktemp -d)"
MNT="$tmp/mnt" NTFS_IMAGE="$tmp/part.img" NTFS_LOG="$tmp/ntfs-3g.log" NTFS_OPTS=no_detach
cleanup() {
    ntfs_cleanup
    rm -rf "$tmp"
}
trap cleanup EXIT
mkdir -p "$MNT" "$tmp/stage"

# ---------------------------------------------------------------------------
# The files. Every file is generated deterministically; deleted.txt lists the
# ones removed later.
# ---------------------------------------------------------------------------
say "generating files"
python3 - "$tmp/stage" "$tmp/deleted.txt" <<'PY'
import io, os, random, struct, sys, tarfile, zipfile, zlib, subprocess, gzip

root, deleted_list = sys.argv[1], sys.argv[2]
rng = random.Random(1729)
FIXED_TIME = (2024, 3, 14, 9, 26, 53)
MTIME = 1710408413

def put(rel, data):
    path = os.path.join(root, rel)
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, 'wb') as f:
        f.write(data)

WORDS = ('the quarterly revenue growth team project customer meeting report budget plan '
         'schedule review draft final summary market product release support service '
         'holiday travel photo archive backup office north south region target value '
         'increase decrease forecast analysis result system network storage disk volume '
         'update version change request approval invoice payment supplier contract').split()

def sentence():
    w = [rng.choice(WORDS) for _ in range(rng.randint(6, 14))]
    return ' '.join(w).capitalize() + '.'

def paragraph(n=5):
    return ' '.join(sentence() for _ in range(n))

def text(paragraphs):
    return '\n\n'.join(paragraph() for _ in range(paragraphs)) + '\n'

# --- images ---------------------------------------------------------------
def pixels(w, h, seed):
    r = random.Random(seed)
    cx, cy, rad = r.randint(0, w), r.randint(0, h), r.randint(min(w, h) // 6, min(w, h) // 3)
    a, b = r.randint(0, 255), r.randint(0, 255)
    rows = []
    for y in range(h):
        row = bytearray()
        for x in range(w):
            if (x - cx) ** 2 + (y - cy) ** 2 < rad * rad:
                row += bytes((250, 210, 40))
            else:
                row += bytes(((x * 255 // w + a) & 255, (y * 255 // h) & 255, (b + (x + y) // 4) & 255))
        rows.append(bytes(row))
    return rows

def png(w, h, seed):
    rows = pixels(w, h, seed)
    raw = b''.join(b'\0' + r for r in rows)
    def chunk(t, d):
        return struct.pack('>I', len(d)) + t + d + struct.pack('>I', zlib.crc32(t + d) & 0xffffffff)
    return (b'\x89PNG\r\n\x1a\n' + chunk(b'IHDR', struct.pack('>IIBBBBB', w, h, 8, 2, 0, 0, 0))
            + chunk(b'IDAT', zlib.compress(raw, 9)) + chunk(b'IEND', b''))

def bmp(w, h, seed):
    rows = pixels(w, h, seed)
    stride = (w * 3 + 3) & ~3
    body = bytearray()
    for r in reversed(rows):
        bgr = bytearray(len(r))
        bgr[0::3], bgr[1::3], bgr[2::3] = r[2::3], r[1::3], r[0::3]
        body += bgr + bytes(stride - len(bgr))
    hdr = struct.pack('<2sIHHI', b'BM', 54 + len(body), 0, 0, 54)
    info = struct.pack('<IiiHHIIiiII', 40, w, h, 1, 24, 0, len(body), 2835, 2835, 0, 0)
    return hdr + info + bytes(body)

def jpeg(w, h, seed, quality):
    rows = pixels(w, h, seed)
    ppm = b'P6\n%d %d\n255\n' % (w, h) + b''.join(rows)
    return subprocess.run(['cjpeg', '-quality', str(quality), '-optimize'], input=ppm,
                          check=True, capture_output=True).stdout

# --- documents ------------------------------------------------------------
def pdf(title, paras):
    lines = [title, ''] + [l for p in paras for l in wrap(p, 80) + ['']]
    content = ['BT', '/F1 11 Tf', '14 TL', '72 760 Td', '/F2 16 Tf (%s) Tj' % esc(title), 'T*', '/F1 11 Tf']
    for l in lines[1:48]:
        content.append('(%s) \'' % esc(l))
    content.append('ET')
    stream = '\n'.join(content).encode('latin-1')
    objs = [
        b'<< /Type /Catalog /Pages 2 0 R >>',
        b'<< /Type /Pages /Kids [3 0 R] /Count 1 >>',
        b'<< /Type /Page /Parent 2 0 R /MediaBox [0 0 612 792] /Contents 4 0 R '
        b'/Resources << /Font << /F1 5 0 R /F2 6 0 R >> >> >>',
        b'<< /Length %d >>\nstream\n' % len(stream) + stream + b'\nendstream',
        b'<< /Type /Font /Subtype /Type1 /BaseFont /Helvetica >>',
        b'<< /Type /Font /Subtype /Type1 /BaseFont /Helvetica-Bold >>',
        b'<< /Title (%s) /Producer (Demo generator) /CreationDate (D:20240314092653Z) >>' % esc(title).encode(),
    ]
    out = bytearray(b'%PDF-1.4\n%\xe2\xe3\xcf\xd3\n')
    offsets = []
    for i, o in enumerate(objs, 1):
        offsets.append(len(out))
        out += b'%d 0 obj\n' % i + o + b'\nendobj\n'
    xref = len(out)
    out += b'xref\n0 %d\n0000000000 65535 f \n' % (len(objs) + 1)
    for off in offsets:
        out += b'%010d 00000 n \n' % off
    out += b'trailer\n<< /Size %d /Root 1 0 R /Info 7 0 R >>\nstartxref\n%d\n%%%%EOF\n' % (len(objs) + 1, xref)
    return bytes(out)

def esc(s):
    return s.replace('\\', '\\\\').replace('(', '\\(').replace(')', '\\)')

def wrap(p, width):
    out, cur = [], ''
    for w in p.split():
        if len(cur) + len(w) + 1 > width:
            out.append(cur)
            cur = w
        else:
            cur = (cur + ' ' + w).strip()
    if cur:
        out.append(cur)
    return out

def zinfo(name, method=zipfile.ZIP_DEFLATED):
    zi = zipfile.ZipInfo(name, FIXED_TIME)
    zi.compress_type = method
    zi.external_attr = 0o644 << 16
    return zi

def xml_escape(s):
    return s.replace('&', '&amp;').replace('<', '&lt;').replace('>', '&gt;')

def docx(title, paras):
    body = ''.join('<w:p><w:r><w:t>%s</w:t></w:r></w:p>' % xml_escape(p) for p in [title] + paras)
    files = {
        '[Content_Types].xml': '<?xml version="1.0" encoding="UTF-8" standalone="yes"?>\n'
            '<Types xmlns="http://schemas.openxmlformats.org/package/2006/content-types">'
            '<Default Extension="rels" ContentType="application/vnd.openxmlformats-package.relationships+xml"/>'
            '<Default Extension="xml" ContentType="application/xml"/>'
            '<Override PartName="/word/document.xml" ContentType="application/vnd.openxmlformats-officedocument.wordprocessingml.document.main+xml"/>'
            '</Types>',
        '_rels/.rels': '<?xml version="1.0" encoding="UTF-8" standalone="yes"?>\n'
            '<Relationships xmlns="http://schemas.openxmlformats.org/package/2006/relationships">'
            '<Relationship Id="rId1" Type="http://schemas.openxmlformats.org/officeDocument/2006/relationships/officeDocument" Target="word/document.xml"/>'
            '</Relationships>',
        'word/document.xml': '<?xml version="1.0" encoding="UTF-8" standalone="yes"?>\n'
            '<w:document xmlns:w="http://schemas.openxmlformats.org/wordprocessingml/2006/main">'
            '<w:body>%s</w:body></w:document>' % body,
    }
    buf = io.BytesIO()
    with zipfile.ZipFile(buf, 'w') as z:
        for n, c in files.items():
            z.writestr(zinfo(n), c)
    return buf.getvalue()

def odt(title, paras):
    body = ''.join('<text:p>%s</text:p>' % xml_escape(p) for p in [title] + paras)
    buf = io.BytesIO()
    with zipfile.ZipFile(buf, 'w') as z:
        z.writestr(zinfo('mimetype', zipfile.ZIP_STORED), 'application/vnd.oasis.opendocument.text')
        z.writestr(zinfo('content.xml'), '<?xml version="1.0" encoding="UTF-8"?>\n'
            '<office:document-content xmlns:office="urn:oasis:names:tc:opendocument:xmlns:office:1.0" '
            'xmlns:text="urn:oasis:names:tc:opendocument:xmlns:text:1.0" office:version="1.2">'
            '<office:body><office:text>%s</office:text></office:body></office:document-content>' % body)
        z.writestr(zinfo('META-INF/manifest.xml'), '<?xml version="1.0" encoding="UTF-8"?>\n'
            '<manifest:manifest xmlns:manifest="urn:oasis:names:tc:opendocument:xmlns:manifest:1.0" manifest:version="1.2">'
            '<manifest:file-entry manifest:full-path="/" manifest:media-type="application/vnd.oasis.opendocument.text"/>'
            '<manifest:file-entry manifest:full-path="content.xml" manifest:media-type="text/xml"/>'
            '</manifest:manifest>')
    return buf.getvalue()

def rtf(title, paras):
    body = ''.join('\\par %s\n' % p for p in paras)
    return ('{\\rtf1\\ansi\\deff0{\\fonttbl{\\f0 Times New Roman;}}\n'
            '\\f0\\fs24{\\b %s}\n%s}\n' % (title, body)).encode()

def html(title, paras):
    ps = '\n'.join('<p>%s</p>' % xml_escape(p) for p in paras)
    return ('<!DOCTYPE html>\n<html lang="en">\n<head><meta charset="utf-8"><title>%s</title></head>\n'
            '<body>\n<h1>%s</h1>\n%s\n</body>\n</html>\n' % (title, title, ps)).encode()

def csv(rows, seed):
    r = random.Random(seed)
    out = ['date,region,item,quantity,amount']
    for i in range(rows):
        out.append('2024-%02d-%02d,%s,%s,%d,%.2f' % (i % 12 + 1, i % 28 + 1, r.choice(['North', 'South', 'East', 'West']),
                   r.choice(WORDS), r.randint(1, 500), r.uniform(10, 9999)))
    return ('\n'.join(out) + '\n').encode()

def log(n_lines, seed):
    r = random.Random(seed)
    out = []
    t = MTIME - 86400 * 7
    for i in range(n_lines):
        t += r.randint(0, 9)
        lvl = r.choice(['INFO'] * 8 + ['WARN', 'ERROR'])
        out.append('%s %-5s [worker-%d] request %d %s %s in %d ms' % (
            '2024-03-%02d %02d:%02d:%02d' % (7 + (t // 86400) % 7, (t // 3600) % 24, (t // 60) % 60, t % 60),
            lvl, r.randint(1, 8), 100000 + i, r.choice(['GET', 'PUT', 'POST']),
            '/api/' + r.choice(WORDS) + '/' + str(r.randint(1, 999)), r.randint(1, 2500)))
    return ('\n'.join(out) + '\n').encode()

def zip_of(members, method=zipfile.ZIP_DEFLATED):
    buf = io.BytesIO()
    with zipfile.ZipFile(buf, 'w') as z:
        for n, c in members:
            z.writestr(zinfo(n, method), c)
    return buf.getvalue()

def targz(members):
    raw = io.BytesIO()
    with tarfile.open(fileobj=raw, mode='w', format=tarfile.USTAR_FORMAT) as t:
        for n, c in members:
            ti = tarfile.TarInfo(n)
            ti.size, ti.mtime, ti.mode = len(c), MTIME, 0o644
            t.addfile(ti, io.BytesIO(c))
    return gzip.compress(raw.getvalue(), 9, mtime=MTIME)

def paras(n):
    return [paragraph(rng.randint(3, 6)) for _ in range(n)]

files = []   # (path, data, deleted)
def add(path, data, deleted=False):
    files.append((path, data, deleted))

# Pictures
add('Pictures/sunset.png', png(320, 240, 1))
add('Pictures/logo.png', png(64, 64, 2), True)
add('Pictures/diagram.png', png(200, 150, 3))
add('Pictures/scan.bmp', bmp(160, 120, 4))
add('Pictures/Holiday/beach.jpg', jpeg(640, 480, 5, 85), True)
add('Pictures/Holiday/mountain.jpg', jpeg(480, 360, 6, 80))
add('Pictures/Holiday/city.jpg', jpeg(320, 240, 7, 90))
add('Pictures/Holiday/harbour.bmp', bmp(200, 150, 8))
add('Pictures/Holiday/panorama.bmp', bmp(720, 520, 9), True)          # > 1 MiB
add('Pictures/Holiday/thumb.png', png(4, 4, 10))                        # tiny, resident

# Documents
add('Documents/Reports/2024/Q1-report.pdf', pdf('Q1 Report 2024', paras(6)))
add('Documents/Reports/2024/Q2-report.pdf', pdf('Q2 Report 2024', paras(8)), True)
add('Documents/Reports/2024/annual-summary.docx', docx('Annual Summary 2024', paras(10)))
add('Documents/Reports/2024/budget.csv', csv(300, 11))
add('Documents/Reports/2023/old-report.odt', odt('Report 2023', paras(7)))
add('Documents/Reports/2023/figures.csv', csv(120, 12), True)
add('Documents/Reports/2023/review.pdf', pdf('Review 2023', paras(5)))
add('Documents/letter.rtf', rtf('Dear customer', paras(4)))
add('Documents/index.html', html('Team pages', paras(6)))
add('Documents/contacts.csv', b'name,phone\nAlice,555-0101\nBob,555-0102\n')   # tiny
add('Documents/Drafts/draft1.txt', text(4).encode(), True)
add('Documents/Drafts/draft2.rtf', rtf('Draft two', paras(3)), True)
add('Documents/Drafts/outline.html', html('Outline', paras(2)), True)
add('Documents/Drafts/memo.docx', docx('Memo', paras(3)), True)
add('Documents/Drafts/note.txt', b'remember to finish the draft\n', True)      # tiny

# Notes
add('Notes/todo.txt', b'- call Bob\n- send invoice\n- book travel\n')             # tiny
add('Notes/phone.txt', b'Reception 555-0100\n', True)                           # tiny
add('Notes/wifi.txt', b'SSID: office-guest\n', True)                            # tiny
add('Notes/ideas.md', ('# Ideas\n\n' + text(6)).encode())
add('Notes/meeting-2024-03-01.txt', text(12).encode())
add('Notes/shopping.txt', b'milk, bread, coffee, apples\n')                     # tiny

# Archive
add('Archive/photos-backup.zip', zip_of([('beach-small.png', png(120, 90, 13)),
                                         ('city-small.png', png(120, 90, 14)),
                                         ('readme.txt', text(2).encode())]))
add('Archive/projects.tar.gz', targz([('projects/plan.txt', text(5).encode()),
                                      ('projects/budget.csv', csv(80, 15)),
                                      ('projects/notes.md', text(3).encode())]), True)
add('Archive/data-export.zip', zip_of([('export/sales-%d.csv' % i, csv(6000, 100 + i))
                                       for i in range(5)], zipfile.ZIP_STORED))  # > 1 MiB, stored
add('Archive/old-logs.tar.gz', targz([('logs/app-%d.log' % i, log(400, 200 + i)) for i in range(3)]))

# Logs
add('Logs/server.log', log(16000, 300), True)                                     # > 1 MiB
add('Logs/app.log', log(300, 301))

# Root
add('readme.txt', b'Demo volume. See Documents and Pictures.\n')               # tiny
add('hello.txt', b'Hello, world!\n', True)                                       # tiny

for path, data, _ in files:
    put(path, data)
with open(deleted_list, 'w') as f:
    for path, _, deleted in files:
        if deleted:
            f.write(path + '\n')
PY

( cd "$tmp/stage" && find . -type f | sed 's|^\./||' | LC_ALL=C sort ) > "$tmp/all.txt"
{
    printf 'path\tsize\tsha256\tdeleted\n'
    while IFS= read -r f; do
        size="$(stat -c %s "$tmp/stage/$f")"
        sum="$(sha256sum < "$tmp/stage/$f" | cut -d' ' -f1)"
        if grep -qxF "$f" "$tmp/deleted.txt"; then del=yes; else del=no; fi
        printf '%s\t%s\t%s\t%s\n' "$f" "$size" "$sum" "$del"
    done < "$tmp/all.txt"
} > "$tmp/demo-files.txt"

# ---------------------------------------------------------------------------
# Disk, partition table, file system.
# ---------------------------------------------------------------------------
say "partitioning"
truncate -s $((DISK_SECTORS * 512)) "$tmp/disk.raw"
printf 'label: dos\nlabel-id: 0x54564e44\nunit: sectors\n\nstart=%d, size=%d, type=7, bootable\n' \
    "$PART_START" "$PART_SECTORS" | sfdisk -q "$tmp/disk.raw"

say "mkntfs"
truncate -s $((PART_SECTORS * 512)) "$tmp/part.img"
mkntfs -F -Q -q -L Demo -s 512 -c 4096 -p "$PART_START" -H 255 -S 63 "$tmp/part.img"

say "copying files"
mount_ntfs
# Directories first, then files in sorted order, so MFT numbering is stable.
( cd "$tmp/stage" && find . -mindepth 1 -type d | LC_ALL=C sort ) | while IFS= read -r d; do
    mkdir -p "$MNT/$d"
done
while IFS= read -r f; do
    cp "$tmp/stage/$f" "$MNT/$f"
done < "$tmp/all.txt"
unmount_ntfs

say "deleting files"
mount_ntfs
while IFS= read -r f; do
    cmp -s "$tmp/stage/$f" "$MNT/$f" || die "$f did not survive the remount"
done < "$tmp/all.txt"
while IFS= read -r f; do
    rm "$MNT/$f"
done < "$tmp/deleted.txt"
rmdir "$MNT/Documents/Drafts"
unmount_ntfs

dd if="$tmp/part.img" of="$tmp/disk.raw" bs=512 seek="$PART_START" conv=notrunc,sparse status=none
[ "$(stat -c %s "$tmp/disk.raw")" = $((DISK_SECTORS * 512)) ] || die "disk image grew"

# ---------------------------------------------------------------------------
# Check with sleuthkit: every deleted file is listed as deleted and its
# content is still readable by inode (the volume saw no writes afterwards).
# ---------------------------------------------------------------------------
say "checking with sleuthkit"
fls -r -p -o "$PART_START" -f ntfs "$tmp/disk.raw" > "$tmp/fls.txt"
python3 - "$tmp/fls.txt" "$tmp/demo-files.txt" "$tmp/disk.raw" "$PART_START" <<'PY'
import hashlib, re, subprocess, sys
fls, listing, disk, start = sys.argv[1:]
entries = {}
for line in open(fls, encoding='utf-8', errors='replace'):
    m = re.match(r'^(\S+/\S+)\s+(\*\s+)?(\d+)-\S+(?:\(realloc\))?:\t(.*)$', line.rstrip('\n'))
    if m and m.group(1).endswith('/r'):
        entries.setdefault(m.group(4), []).append((bool(m.group(2)), m.group(3)))
rows = [l.rstrip('\n').split('\t') for l in open(listing)][1:]
bad = 0
for path, size, sha, deleted in rows:
    got = entries.get(path)
    if not got:
        print('not listed by fls:', path); bad += 1; continue
    flagged, inode = got[0]
    if flagged != (deleted == 'yes'):
        print('wrong deleted flag:', path); bad += 1; continue
    data = subprocess.run(['icat', '-o', start, '-f', 'ntfs', disk, inode],
                          check=True, capture_output=True).stdout
    if hashlib.sha256(data).hexdigest() != sha:
        print('content differs (icat):', path); bad += 1
print('%d files, %d deleted, %d problems' % (len(rows), sum(r[3] == 'yes' for r in rows), bad))
sys.exit(1 if bad else 0)
PY

# ---------------------------------------------------------------------------
# Pack into a VMDK.
# ---------------------------------------------------------------------------
say "converting to vmdk"
rm -f "$outdir/demo.vmdk"
qemu-img convert -f raw -O vmdk -o subformat=monolithicSparse "$tmp/disk.raw" "$tmp/demo.vmdk"
if [ "$(stat -c %s "$tmp/demo.vmdk")" -gt $((10 * 1024 * 1024)) ]; then
    say "monolithicSparse is over 10 MiB, using streamOptimized"
    rm -f "$tmp/demo.vmdk"
    qemu-img convert -f raw -O vmdk -o subformat=streamOptimized "$tmp/disk.raw" "$tmp/demo.vmdk"
fi
qemu-img convert -f vmdk -O raw "$tmp/demo.vmdk" "$tmp/check.raw"
cmp "$tmp/check.raw" "$tmp/disk.raw" || die "demo.vmdk does not read back as the raw disk"
qemu-img info "$tmp/demo.vmdk" >&2

mv "$tmp/demo.vmdk" "$outdir/demo.vmdk"
cp "$tmp/demo-files.txt" "$outdir/demo-files.txt"
say "wrote $outdir/demo.vmdk ($(stat -c %s "$outdir/demo.vmdk") bytes) and demo-files.txt"
