#!/usr/bin/env python3
"""Writes a disk image with no file system: real files laid on sector boundaries between
filler regions (zeros, FF, spaces) and random data, and a list of where each lies.

Usage: make_carve_fixture.py OUTDIR   (writes OUTDIR/carve.img and OUTDIR/MANIFEST.tsv)
The JPEGs are made by cjpeg and the MP3 by lame; everything else here."""
import hashlib, io, os, random, struct, subprocess, sys, tempfile, zipfile, zlib

SECTOR = 512
rng = random.Random(14)


def png(w, h):
    raw = b"".join(b"\0" + bytes((x * 7 + y * 3 + rng.randrange(4)) & 255 for x in range(w * 3)) for y in range(h))
    def chunk(t, d):
        return struct.pack(">I", len(d)) + t + d + struct.pack(">I", zlib.crc32(t + d))
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", w, h, 8, 2, 0, 0, 0))
            + chunk(b"IDAT", zlib.compress(raw)) + chunk(b"IEND", b""))


def bmp(w, h):
    row = (w * 3 + 3) & ~3
    pixels = bytes(rng.randrange(256) for _ in range(row * h))
    return (b"BM" + struct.pack("<IHHI", 54 + len(pixels), 0, 0, 54)
            + struct.pack("<IiiHHIIiiII", 40, w, h, 1, 24, 0, len(pixels), 2835, 2835, 0, 0) + pixels)


def wav(samples):
    data = bytes(rng.randrange(256) for _ in range(samples * 2))
    fmt = struct.pack("<HHIIHH", 1, 1, 8000, 16000, 2, 16)
    body = b"WAVE" + b"fmt " + struct.pack("<I", len(fmt)) + fmt + b"data" + struct.pack("<I", len(data)) + data
    return b"RIFF" + struct.pack("<I", len(body)) + body


def pdf():
    objs = [b"<< /Type /Catalog /Pages 2 0 R >>", b"<< /Type /Pages /Kids [3 0 R] /Count 1 >>",
            b"<< /Type /Page /Parent 2 0 R /MediaBox [0 0 200 200] /Contents 4 0 R >>"]
    stream = zlib.compress(b"BT /F1 12 Tf 20 100 Td (Torvane carving test) Tj ET" * 40)
    objs.append(b"<< /Length %d /Filter /FlateDecode >>\nstream\n" % len(stream) + stream + b"\nendstream")
    out = io.BytesIO()
    out.write(b"%PDF-1.4\n%\xe2\xe3\xcf\xd3\n")
    offsets = []
    for i, o in enumerate(objs, 1):
        offsets.append(out.tell())
        out.write(b"%d 0 obj\n" % i + o + b"\nendobj\n")
    xref = out.tell()
    out.write(b"xref\n0 %d\n0000000000 65535 f \n" % (len(objs) + 1))
    for off in offsets:
        out.write(b"%010d 00000 n \n" % off)
    out.write(b"trailer\n<< /Size %d /Root 1 0 R >>\nstartxref\n%d\n%%%%EOF\n" % (len(objs) + 1, xref))
    return out.getvalue()


def zip_file(names, docx=False):
    out = io.BytesIO()
    with zipfile.ZipFile(out, "w", zipfile.ZIP_DEFLATED) as z:
        if docx:
            z.writestr("[Content_Types].xml", '<?xml version="1.0"?><Types/>')
            z.writestr("word/document.xml", "<w:document>" + "text " * 400 + "</w:document>")
        for n in names:
            z.writestr(n, bytes(rng.randrange(256) for _ in range(3000)) + b"hello " * 500)
    return out.getvalue()


def jpeg(w, h, seed):
    with tempfile.TemporaryDirectory() as d:
        ppm = os.path.join(d, "p.ppm")
        r = random.Random(seed)
        with open(ppm, "wb") as f:
            f.write(b"P6 %d %d 255\n" % (w, h))
            f.write(bytes((x ^ y ^ r.randrange(32)) & 255 for y in range(h) for x in range(w * 3)))
        return subprocess.run(["cjpeg", "-quality", "85", ppm], check=True, capture_output=True).stdout


def mp3():
    with tempfile.TemporaryDirectory() as d:
        w = os.path.join(d, "a.wav")
        r = random.Random(3)
        data = bytes(r.randrange(256) for _ in range(44100 * 2))
        fmt = struct.pack("<HHIIHH", 1, 1, 44100, 88200, 2, 16)
        body = b"WAVE" + b"fmt " + struct.pack("<I", 16) + fmt + b"data" + struct.pack("<I", len(data)) + data
        open(w, "wb").write(b"RIFF" + struct.pack("<I", len(body)) + body)
        out = os.path.join(d, "a.mp3")
        subprocess.run(["lame", "--quiet", "-b", "128", "--tt", "Carve Song", "--ta", "Torvane", "--id3v2-only",
                        w, out], check=True)
        return open(out, "rb").read()


LINE = "The quick brown fox jumps over the lazy dog, and then it rests.\r\n"
TEXTS = [
    ("notes.txt", "TXTa", (LINE * 30).encode()),  # runs over several sectors, ends mid-sector
    ("short.txt", "TXTa", b"four words and more\n"),
    ("page.html", "HTML", b"<!DOCTYPE HTML>\n<html><head><title>Carved Page</title></head><body>\n"
     + b"<p>paragraph</p>\n" * 60 + b"</body></html>\n"),
    ("data.xml", "XML", b'<?xml version="1.0"?>\n<root>\n' + b"  <item>value</item>\n" * 50 + b"</root>\n"),
    ("prog.c", "C", b"#include <stdio.h>\n\nint main(void) {\n  printf(\"hi\\n\");\n  return 0;\n}\n" * 8),
    ("prog.cpp", "CPP", b"#include \"stdafx.h\"\nclass Widget {\n public:\n  int size;\n};\n" * 10),
    ("run.bat", "BAT", b"@echo off\r\nset X=1\r\necho %X%\r\n" * 20),
    ("export.reg", "REG", b"Windows Registry Editor Version 5.00\r\n\r\n[HKEY_CURRENT_USER\\Software\\Torvane]\r\n"
     b"\"Value\"=dword:00000001\r\n" * 10),
    ("mail.eml", "EML", b"From: a@example.com\r\nTo: b@example.com\r\nSubject: test\r\n\r\nbody line\r\n" * 6),
    ("doc.rtf", "RTF", b"{\\rtf1\\ansi\\deff0 {\\fonttbl {\\f0 Times;}}\\f0\\fs24 Hello carving world.\\par\n" * 9 + b"}"),
    ("card.vcf", "VCF", b"BEGIN:VCARD\r\nVERSION:3.0\r\nFN:Jane Doe\r\nEND:VCARD\r\n"),
    ("wide.txt", "TXTu", "\ufeffWide text line, written as UTF-16.\r\n".encode("utf-16-le") * 25),
    ("wide.reg", "REG", "\ufeffWindows Registry Editor Version 5.00\r\n\r\n[HKEY_LOCAL_MACHINE\\X]\r\n"
     .encode("utf-16-le") * 4),
]


def main():
    out = sys.argv[1]
    os.makedirs(out, exist_ok=True)
    files = [
        ("photo1.jpg", "JPG", jpeg(320, 240, 1)),
        ("photo2.jpg", "JPG", jpeg(200, 150, 2)),
        ("image.png", "PNG", png(120, 90)),
        ("image.bmp", "BMP", bmp(64, 48)),
        ("sound.wav", "WAV", wav(6000)),
        ("paper.pdf", "PDF", pdf()),
        ("archive.zip", "ZIP", zip_file(["a.bin", "b.txt", "c.dat"])),
        ("letter.docx", "DOCX", zip_file([], docx=True)),
        ("song.mp3", "MP3", mp3()),
    ] + TEXTS
    fragmented = jpeg(400, 300, 7)
    disk = bytearray()
    rows = []

    def pad():
        disk.extend(b"\0" * ((-len(disk)) % SECTOR))

    def filler(kind, sectors):
        disk.extend({"zero": b"\0", "ff": b"\xff", "space": b" ", "random": None}[kind] * (sectors * SECTOR)
                    if kind != "random" else bytes(rng.randrange(256) for _ in range(sectors * SECTOR)))

    # Random data never starts a sector with a header the tests count: its sectors start
    # with a byte no dispatch slot or text has.
    def random_region(sectors):
        for _ in range(sectors):
            s = bytearray(rng.randrange(256) for _ in range(SECTOR))
            s[0], s[1], s[2], s[3] = 0x07, 0x00, 0x00, 0x00
            disk.extend(s)

    filler("zero", 64)
    kinds = ["zero", "ff", "space"]
    for i, (name, kind, data) in enumerate(files):
        sector = len(disk) // SECTOR
        disk.extend(data)
        pad()
        rows.append((name, kind, sector, len(data), hashlib.sha256(data).hexdigest(), "whole"))
        if i % 3 == 2:
            random_region(8)
        else:
            filler(kinds[i % 3], 4 + i)
    # A JPEG in two pieces with 16 sectors of zeros between: its probe measures to the end
    # marker, so the carved file holds the gap and is not byte-identical.
    half = (len(fragmented) // 2) // SECTOR * SECTOR
    sector = len(disk) // SECTOR
    disk.extend(fragmented[:half])
    filler("zero", 16)
    disk.extend(fragmented[half:])
    pad()
    rows.append(("fragmented.jpg", "JPG", sector, len(fragmented), hashlib.sha256(fragmented).hexdigest(),
                 "fragmented"))
    filler("zero", 2048 - (len(disk) // SECTOR) % 2048 + 100)  # crosses a 1 MiB run boundary
    with open(os.path.join(out, "carve.img"), "wb") as f:
        f.write(disk)
    with open(os.path.join(out, "MANIFEST.tsv"), "w") as f:
        f.write("name\ttype\tsector\tsize\tsha256\tlayout\n")
        for r in rows:
            f.write("\t".join(str(x) for x in r) + "\n")


if __name__ == "__main__":
    main()
