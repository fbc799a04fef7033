#!/usr/bin/env python3
"""Writes the carving benchmark's disk: SIZE_MIB of a third real files (JPEG, PNG, BMP, WAV,
PDF, ZIP, DOCX, MP3 and texts, each unique), a third random data and a third zeros, laid in
blocks on sector boundaries, and FILES.tsv with each file's sha256 and type.

Usage: carve_image.py OUT.img FILES.tsv SIZE_MIB"""
import hashlib, importlib.util, os, random, struct, sys, zlib

loader_of = importlib.util.spec_from_file_location(
    "fixture", os.path.join(os.path.dirname(__file__), "..", "tools", "make_carve_fixture.py"))
fx = importlib.util.module_from_spec(loader_of)
loader_of.loader.exec_module(fx)

out, listing, size_mib = sys.argv[1], sys.argv[2], int(sys.argv[3])
total = size_mib << 20
rng = random.Random(99)
# A few base pictures and sounds, made unique per copy by a comment, chunk, name or title.
jpegs = [fx.jpeg(640 + 64 * i, 480, i) for i in range(6)]
mp3 = fx.mp3()
pngs = [fx.png(160 + i, 120) for i in range(4)]
bmps = [fx.bmp(96 + i, 64) for i in range(4)]
wavs = [fx.wav(20000 + 100 * i) for i in range(4)]


def unique(kind, n):
    tag = b"torvane-bench-%08d" % n
    if kind == "jpg":
        base = jpegs[n % len(jpegs)]
        return base[:2] + b"\xff\xfe" + struct.pack(">H", len(tag) + 2) + tag + base[2:]
    if kind == "png":  # a text chunk after the header
        base = pngs[n % len(pngs)]
        text = b"tEXt" + b"Comment\0" + tag
        return base[:33] + struct.pack(">I", len(text) - 4) + text + struct.pack(">I", zlib.crc32(text)) + base[33:]
    if kind in ("bmp", "wav"):  # the last data bytes
        base = (bmps if kind == "bmp" else wavs)[n % 4]
        return base[:-8] + struct.pack("<Q", n)
    if kind == "pdf":
        return fx.pdf().replace(b"%PDF-1.4\n", b"%PDF-1.4\n%" + tag + b"\n", 1)
    if kind == "zip":
        return fx.zip_file([tag.decode() + ".bin", "b.txt"])
    if kind == "docx":
        return fx.zip_file([tag.decode() + ".xml"], docx=True)
    if kind == "mp3":
        return mp3.replace(b"Carve Song", b"CS%08d" % n, 1)  # the title, same length
    return (tag + b" " + fx.LINE.encode() * (20 + n % 200))


kinds = ["jpg", "jpg", "jpg", "png", "bmp", "wav", "pdf", "zip", "docx", "mp3", "txt"]
written = 0
n = 0
rows = []
block = 8 << 20
with open(out, "wb") as f:
    while written < total:
        # A block of files, then random data, then zeros, each about a third.
        start = written
        while written - start < block // 3 and written < total:
            kind = kinds[n % len(kinds)]
            data = unique(kind, n)
            sector = written // 512
            f.write(data)
            padding = (-len(data)) % 512
            f.write(b"\0" * padding)
            written += len(data) + padding
            rows.append((kind, sector, len(data), hashlib.sha256(data).hexdigest()))
            n += 1
        third = block // 3 // 512 * 512
        chunk = max(0, min(third, total - written))
        f.write(os.urandom(chunk))
        written += chunk
        chunk = max(0, min(third, total - written))
        f.write(b"\0" * chunk)
        written += chunk
with open(listing, "w") as f:
    for r in rows:
        f.write("\t".join(map(str, r)) + "\n")
