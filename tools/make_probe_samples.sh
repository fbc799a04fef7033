#!/usr/bin/env bash
# Writes the small sample files of tests/data/probes/ that the probe tests measure, and
# their MANIFEST.tsv (file, catalogue entry, tag, size the probes must give).
#
# Only python3's standard library is used: ZIP-family archives come from zipfile (with the
# member names Office, OpenDocument and Java write; a data-descriptor archive from writing
# to an unseekable stream; a ZIP64 archive from force_zip64), compound files are built here
# sector by sector, and the rest (PE, RAR 4 and 5, 7z, PDF, PNG, GIF, BMP, DDS, ISO base
# media, Matroska, RIFF, SWF) are assembled from their published layouts. Output is
# deterministic, so the committed files only change when this script does.
set -euo pipefail
out="${1:-$(cd "$(dirname "$0")/.." && pwd)/tests/data/probes}"
mkdir -p "$out"
python3 - "$out" <<'PY'
import io, os, struct, sys, zipfile, zlib, binascii

out = sys.argv[1]
manifest = []

def save(name, data, entry, tag):
    with open(os.path.join(out, name), "wb") as f:
        f.write(data)
    manifest.append((name, entry, tag, len(data)))

def pattern(n, seed=1):
    # Bytes that do not compress and hold no signatures by chance.
    x, b = seed, bytearray()
    while len(b) < n:
        x = (x * 1103515245 + 12345) & 0x7FFFFFFF
        b.append(0x20 + (x >> 16) % 90)
    return bytes(b)

DATE = (2024, 1, 2, 3, 4, 6)

def zip_bytes(members, stream=False, zip64=False, mimetype=None):
    raw = io.BytesIO()
    class Unseekable(io.RawIOBase):
        def writable(self): return True
        def write(self, b):
            raw.write(b)
            return len(b)
    target = Unseekable() if stream else raw
    with zipfile.ZipFile(target, "w", zipfile.ZIP_DEFLATED) as z:
        if mimetype:
            info = zipfile.ZipInfo("mimetype", DATE)
            info.compress_type = zipfile.ZIP_STORED
            z.writestr(info, mimetype)
        for name, data in members:
            info = zipfile.ZipInfo(name, DATE)
            info.compress_type = zipfile.ZIP_DEFLATED
            if zip64:
                with z.open(info, "w", force_zip64=True) as w:
                    w.write(data)
            else:
                z.writestr(info, data)
    return raw.getvalue()

ct = b'<?xml version="1.0"?><Types xmlns="http://schemas.openxmlformats.org/package/2006/content-types"/>'
save("plain.zip", zip_bytes([("readme.txt", b"hello " * 50), ("data.bin", pattern(3000))]), 56, "ZIP")
save("document.docx", zip_bytes([("[Content_Types].xml", ct), ("_rels/.rels", b"<Relationships/>"),
                                 ("word/document.xml", b"<w:document/>" * 20)]), 98, "DOCX")
save("sheet.xlsx", zip_bytes([("[Content_Types].xml", ct), ("_rels/.rels", b"<Relationships/>"),
                              ("xl/workbook.xml", b"<workbook/>" * 20)]), 96, "XLSX")
save("slides.pptx", zip_bytes([("[Content_Types].xml", ct), ("_rels/.rels", b"<Relationships/>"),
                               ("ppt/presentation.xml", b"<p:presentation/>"),
                               ("ppt/slideLayouts/slideLayout1.xml", b"<p:sldLayout/>")]), 97, "PPTX")
save("text.odt", zip_bytes([("content.xml", b"<office:document-content/>" * 10),
                            ("META-INF/manifest.xml", b"<manifest:manifest/>")],
                           mimetype=b"application/vnd.oasis.opendocument.text"), 81, "ODT")
save("classes.jar", zip_bytes([("META-INF/MANIFEST.MF", b"Manifest-Version: 1.0\r\n\r\n"),
                               ("a/Main.class", b"\xca\xfe\xba\xbe" + pattern(500))]), 99, "JAR")
save("no-content-types.zip", zip_bytes([("word/document.xml", b"<w:document/>")]), 56, "ZIP")
save("streamed.zip", zip_bytes([("one.txt", b"first member " * 40), ("two.bin", pattern(2000, 7))], stream=True),
     56, "ZIP")
save("zip64.zip", zip_bytes([("big.txt", b"zip64 member " * 30)], zip64=True), 56, "ZIP")

# --- compound files -----------------------------------------------------------------------
def compound(streams, clsid=b"\0" * 16, extra_free=0):
    """A version 3 compound file: header, one FAT sector, directory, stream sectors."""
    S = 512
    sectors = []          # contents of sectors 0..n-1
    fat = []
    def chain(data):
        first = len(sectors)
        count = max(1, (len(data) + S - 1) // S)
        for i in range(count):
            sectors.append(data[i * S:(i + 1) * S].ljust(S, b"\0"))
            fat.append(first + i + 1 if i + 1 < count else 0xFFFFFFFE)
        return first
    sectors.append(b"")   # sector 0: the FAT itself, filled in last
    fat.append(0xFFFFFFFD)
    placed = []
    for name, data in streams:
        placed.append((name, chain(data), len(data)))
    def entry(name, kind, start, size, child=0xFFFFFFFF, right=0xFFFFFFFF, cls=b"\0" * 16):
        n = (name + "\0").encode("utf-16-le")
        return (n.ljust(64, b"\0") + struct.pack("<HBB", len(n), kind, 1) +
                struct.pack("<III", 0xFFFFFFFF, right, child) + cls + b"\0" * 4 + b"\0" * 16 +
                struct.pack("<IQ", start, size))
    dirs = [entry("Root Entry", 5, 0xFFFFFFFE, 0, child=1, cls=clsid)]
    for i, (name, start, size) in enumerate(placed):
        dirs.append(entry(name, 2, start, size, right=i + 2 if i + 1 < len(placed) else 0xFFFFFFFF))
    while len(dirs) % 4:
        dirs.append(b"\0" * 64 + struct.pack("<HBB", 0, 0, 0) + b"\xff" * 12 + b"\0" * 48)
    dir_start = chain(b"".join(dirs))
    assert len(fat) <= S // 4
    fat_bytes = b"".join(struct.pack("<I", v) for v in fat).ljust(S, b"\xff")
    sectors[0] = fat_bytes
    header = (b"\xd0\xcf\x11\xe0\xa1\xb1\x1a\xe1" + b"\0" * 16 + struct.pack("<HHHHH", 0x3E, 3, 0xFFFE, 9, 6) +
              b"\0" * 6 + struct.pack("<IIIIIIIII", 0, 1, dir_start, 0, 4096, 0xFFFFFFFE, 0, 0xFFFFFFFE, 0))
    header += struct.pack("<I", 0) + b"\xff" * (4 * 108)
    assert len(header) == 512
    return header + b"".join(sectors)

save("word.doc", compound([("WordDocument", pattern(5000)), ("1Table", pattern(4200, 3))]), 95, "DOC")
save("book.xls", compound([("Workbook", pattern(4700))]), 93, "XLS")
save("classed.xls", compound([("Data", pattern(4100))],
                             clsid=bytes.fromhex("2008020000000000c000000000000046")), 93, "XLS")
save("plain.cfb", compound([("Contents", pattern(4300))]), 50, "CFB")

# --- PE -------------------------------------------------------------------------------------
def pe(dll=False, certificate=b""):
    dos = bytearray(b"MZ" + b"\0" * 58 + struct.pack("<I", 0x80)).ljust(0x80, b"\0")
    sections = [(b".text", 0x1000, 0x200, 0x400), (b".data", 0x2000, 0x200, 0x600)]
    coff = struct.pack("<HHIIIHH", 0x14C, len(sections), 0, 0, 0, 224, 0x0102 | (0x2000 if dll else 0))
    end = 0x800
    cert_at = end if certificate else 0
    opt = bytearray(224)
    struct.pack_into("<HBBIII", opt, 0, 0x10B, 14, 0, 0x200, 0x200, 0)
    struct.pack_into("<I", opt, 16, 0x1000)       # entry point
    struct.pack_into("<II", opt, 56, 0x3000, 0x400)  # size of image, size of headers
    struct.pack_into("<I", opt, 92, 16)           # number of directories
    struct.pack_into("<II", opt, 96 + 4 * 8, cert_at, len(certificate))
    table = b"".join(name.ljust(8, b"\0") + struct.pack("<IIIIIIHHI", size, rva, size, raw, 0, 0, 0, 0, 0x60000020)
                     for name, rva, size, raw in sections)
    head = bytes(dos) + b"PE\0\0" + coff + bytes(opt) + table
    body = head.ljust(0x400, b"\0") + pattern(0x200, 11) + pattern(0x200, 12)
    return body + certificate

save("program.exe", pe(), 52, "EXE")
save("library.dll", pe(dll=True), 51, "DLL")
save("signed.exe", pe(certificate=struct.pack("<IHH", 0x208, 0x200, 2) + pattern(0x200, 13)), 52, "EXE")

# --- RAR 4 and 5 ----------------------------------------------------------------------------
def rar4():
    def block(kind, flags, body, add=b""):
        size = 7 + len(body)
        head = struct.pack("<BHH", kind, flags, size) + body
        return struct.pack("<H", zlib.crc32(head) & 0xFFFF) + head + add
    data = pattern(900, 21)
    name = b"file.txt"
    fh = struct.pack("<IIBIIBBHI", len(data), len(data), 2, zlib.crc32(data), 0, 20, 0x30, len(name), 0x20) + name
    return (b"Rar!\x1a\x07\x00" + block(0x73, 0, b"\0" * 6) + block(0x74, 0x8000, fh, data) +
            block(0x7B, 0x4000, b""))

def vint(v):
    b = bytearray()
    while True:
        c = v & 0x7F
        v >>= 7
        b.append(c | (0x80 if v else 0))
        if not v:
            return bytes(b)

def rar5():
    def header(fields, data=b""):
        body = b"".join(fields)
        sized = vint(len(body)) + body
        return struct.pack("<I", zlib.crc32(sized)) + sized + data
    data = pattern(1500, 31)
    name = b"notes.txt"
    main = header([vint(1), vint(0), vint(0)])
    file = header([vint(2), vint(2), vint(len(data)), vint(0), vint(len(data)), vint(0x20), vint(0), vint(0),
                   vint(0), vint(len(name)), name], data)
    end = header([vint(5), vint(0), vint(0)])
    return b"Rar!\x1a\x07\x01\x00" + main + file + end

save("old.rar", rar4(), 55, "RAR")
save("new.rar", rar5(), 55, "RAR")

# --- 7z: a start header whose checksum holds, packed data, a small next header -------------
packed = pattern(700, 41)
next_header = b"\x01\x04\x06\x00\x01\x09" + vint(len(packed)) + b"\x00\x00\x00"
start = struct.pack("<QQI", len(packed), len(next_header), zlib.crc32(next_header))
save("archive.7z", b"7z\xbc\xaf\x27\x1c\x00\x04" + struct.pack("<I", zlib.crc32(start)) + start + packed +
     next_header, 37, "7z")

# --- PDF with an incremental update -------------------------------------------------------
pdf1 = (b"%PDF-1.4\n1 0 obj\n<< /Type /Catalog /Pages 2 0 R >>\nendobj\n2 0 obj\n<< /Type /Pages /Kids [] "
        b"/Count 0 >>\nendobj\nxref\n0 3\n0000000000 65535 f \n0000000009 00000 n \n0000000058 00000 n \n"
        b"trailer\n<< /Size 3 /Root 1 0 R >>\nstartxref\n110\n%%EOF\n")
pdf2 = (b"3 0 obj\n<< /Producer (update) >>\nendobj\nxref\n0 1\n0000000000 65535 f \ntrailer\n"
        b"<< /Size 4 /Root 1 0 R /Prev 110 >>\nstartxref\n250\n%%EOF\n")
save("updated.pdf", pdf1 + pdf2, 57, "PDF")

# --- images ---------------------------------------------------------------------------------
def png(w, h):
    def chunk(kind, data):
        return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))
    rows = b"".join(b"\0" + pattern(w * 3, y + 1) for y in range(h))
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", w, h, 8, 2, 0, 0, 0)) +
            chunk(b"tEXt", b"Comment\0probe sample") + chunk(b"IDAT", zlib.compress(rows, 9)) + chunk(b"IEND", b""))
save("image.png", png(40, 30), 62, "PNG")

# A 2x2 GIF89a with a global colour table, a graphic control extension and one image.
gif = (b"GIF89a" + struct.pack("<HHBBB", 2, 2, 0x80, 0, 0) + b"\0\0\0\xff\xff\xff" +
       b"\x21\xf9\x04\x00\x00\x00\x00\x00" + b"\x21\xfe\x05hello\x00" +
       b"\x2c" + struct.pack("<HHHHB", 0, 0, 2, 2, 0) + b"\x02\x02\x44\x01\x00" + b"\x3b")
save("image.gif", gif, 63, "GIF")

w, h = 13, 7
stride = (w * 3 + 3) // 4 * 4
pixels = b"".join(pattern(w * 3, y + 5).ljust(stride, b"\0") for y in range(h))
bmp_info = struct.pack("<IiiHHIIiiII", 40, w, h, 1, 24, 0, len(pixels), 2835, 2835, 0, 0)
save("image.bmp", b"BM" + struct.pack("<IHHI", 14 + 40 + len(pixels), 0, 0, 54) + bmp_info + pixels, 66, "BMP")

def dds(w, h, mips, cube):
    caps2 = 0x200 | 0xFC00 if cube else 0
    head = bytearray(128)
    head[0:4] = b"DDS "
    struct.pack_into("<IIIIIII", head, 4, 124, 0x1 | 0x2 | 0x4 | 0x1000 | 0x20000, h, w, 0, 0, mips)
    struct.pack_into("<II4s", head, 76, 32, 0x4, b"DXT1")
    struct.pack_into("<II", head, 108, 0x1000 | 0x400000 | 0x8, caps2)
    total = 0
    for level in range(mips):
        lw, lh = max(w >> level, 1), max(h >> level, 1)
        total += ((lw + 3) // 4) * ((lh + 3) // 4) * 8
    return bytes(head) + pattern(total * (6 if cube else 1), 51)
save("texture.dds", dds(64, 32, 7, False), 36, "DDS")
save("cube.dds", dds(16, 16, 5, True), 36, "DDS")

# A JPEG 2000 codestream: SIZ, COD, QCD, one tile-part, end marker.
siz = struct.pack(">HHHIIIIIIIIHBBB", 0xFF51, 41, 0, 8, 8, 0, 0, 8, 8, 0, 0, 1, 7, 1, 1)
cod = struct.pack(">HHBBHBBBBBB", 0xFF52, 12, 0, 0, 1, 0, 0, 4, 4, 0, 1)
qcd = struct.pack(">HHBB", 0xFF5C, 4, 0x40, 0x40)
tile = pattern(120, 55)
sot = struct.pack(">HHHIBB", 0xFF90, 10, 0, 12 + 2 + len(tile), 0, 1)
save("image.j2k", b"\xff\x4f" + siz + cod + qcd + sot + b"\xff\x93" + tile + b"\xff\xd9", 49, "JP2")

# A Fuji RAF: its header's offsets to the preview, the CFA header and the CFA data.
raf = bytearray(b"FUJIFILMCCD-RAW 0201FF383501" + b"\0" * 4 + b"X-T1".ljust(32, b"\0"))
raf = raf.ljust(84, b"\0")
raf += struct.pack(">IIIIII", 160, 300, 460, 40, 500, 1000)
raf = bytes(raf).ljust(160, b"\0") + b"\xff\xd8\xff" + pattern(297, 56) + pattern(40, 57) + pattern(1000, 58)
save("camera.raf", raf, 125, "RAF")

# A Paint Shop Pro 7 image: the header, then its main blocks (general attributes, layers).
psp = b"Paint Shop Pro Image File\n\x1a" + b"\0" * 5 + struct.pack("<HH", 7, 0)
for block_id, body in ((0, pattern(46, 91)), (3, pattern(400, 92))):
    psp += b"~BK\0" + struct.pack("<HI", block_id, len(body)) + body
save("image.pspimage", psp, 72, "PSPIMAGE")

# --- ISO base media -------------------------------------------------------------------------
def box(kind, payload):
    return struct.pack(">I", 8 + len(payload)) + kind + payload
ftyp_mp4 = box(b"ftyp", b"isom\0\0\2\0isomiso2mp41")
moov = box(b"moov", box(b"mvhd", b"\0" * 100))
save("movie.mp4", ftyp_mp4 + moov + box(b"mdat", pattern(3000, 61)), 78, "MP4")
mdat64 = struct.pack(">I", 1) + b"mdat" + struct.pack(">Q", 16 + 2500) + pattern(2500, 62)
save("large-box.mp4", ftyp_mp4 + mdat64 + moov, 78, "MP4")
save("clip.mov", box(b"ftyp", b"qt  \x20\x05\x03\x00qt  ") + moov + box(b"mdat", pattern(2000, 63)), 77, "MOV")
save("phone.3gp", box(b"ftyp", b"3gp4\0\0\2\0isom3gp4") + moov + box(b"mdat", pattern(1500, 64)), 76, "3GP")
save("picture.heic", box(b"ftyp", b"heic\0\0\0\0mif1heic") + box(b"meta", b"\0" * 60) + box(b"mdat", pattern(1200, 65)),
     203, "HEIC")
save("picture.avif", box(b"ftyp", b"avif\0\0\0\0avifmif1") + box(b"meta", b"\0" * 60) + box(b"mdat", pattern(1200, 66)),
     202, "AVIF")

# --- Matroska with a known segment size ------------------------------------------------------
def ebml(id_bytes, payload):
    n = len(payload)
    return id_bytes + bytes([0x01]) + n.to_bytes(7, "big") + payload
header = ebml(b"\x1a\x45\xdf\xa3", b"\x42\x82\x88matroska" + b"\x42\x87\x81\x04")
segment = ebml(b"\x18\x53\x80\x67", ebml(b"\x15\x49\xa9\x66", b"\x2a\xd7\xb1\x83\x0f\x42\x40") +
               ebml(b"\x1f\x43\xb6\x75", b"\xe7\x81\x00" + b"\xa3" + bytes([0x80 | 100]) + pattern(100, 71)))
save("video.mkv", header + segment, 38, "MKV")

# --- RIFF, IFF, SWF, AU ----------------------------------------------------------------------
def riff(form, chunks):
    body = form + b"".join(k + struct.pack("<I", len(d)) + d + (b"\0" if len(d) % 2 else b"") for k, d in chunks)
    return b"RIFF" + struct.pack("<I", len(body)) + body
save("sound.wav", riff(b"WAVE", [(b"fmt ", struct.pack("<HHIIHH", 1, 1, 8000, 8000, 1, 8)), (b"data", pattern(1601, 81))]),
     48, "WAV")
save("video.avi", riff(b"AVI ", [(b"LIST", b"hdrl" + pattern(200, 82)), (b"JUNK", pattern(50, 83))]), 47, "AVI")
save("image.webp", riff(b"WEBP", [(b"VP8 ", pattern(300, 84))]), 189, "WEBP")
aiff = b"AIFF" + b"COMM" + struct.pack(">IhIh", 18, 1, 100, 8) + b"\x40\x0b\xfa\0\0\0\0\0\0\0" + b"SSND" + \
    struct.pack(">III", 108, 0, 0) + pattern(100, 85)
save("sound.aiff", b"FORM" + struct.pack(">I", len(aiff)) + aiff, 192, "AIFF")
save("sound.au", b".snd" + struct.pack(">IIIII", 32, 700, 2, 8000, 1) + b"\0" * 8 + pattern(700, 86), 193, "AU")
movie = pattern(2000, 87)
save("movie.swf", b"CWS\x0a" + struct.pack("<I", 8 + len(movie)) + zlib.compress(movie, 9), 44, "SWF")

with open(os.path.join(out, "MANIFEST.tsv"), "w") as f:
    f.write("file\tentry\ttag\tsize\n")
    for name, entry, tag, size in manifest:
        f.write(f"{name}\t{entry}\t{tag}\t{size}\n")
print(f"{len(manifest)} samples, {sum(m[3] for m in manifest)} bytes in {out}")
PY
