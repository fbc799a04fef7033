#!/usr/bin/env bash
# Makes the small media files the probe tests measure (JPEG with and without EXIF, TIFF and
# camera RAW look-alikes, MP3, MPEG program and transport streams, MXF) and packs them into
# tests/data/probes-media.tar.xz with MANIFEST.tsv: file, catalogue entry the probe is
# called for, the entry it should answer (the same, or the sub-type), the name suffix.
#
# Needs ffmpeg (with libmp3lame), ImageMagick and Python 3 with Pillow (Debian: ffmpeg,
# imagemagick, python3-pil). CI does not run this: the archive is committed.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT
dir="$out/probes-media"
mkdir -p "$dir"
PY=${PYTHON:-/usr/bin/python3}
CONVERT=${CONVERT:-/usr/bin/convert}
ff() { ffmpeg -hide_banner -loglevel error -y -bitexact "$@"; }

# --- JPEG and TIFF -------------------------------------------------------------------------
"$PY" - "$dir" <<'EOF'
import sys
from PIL import Image, ImageDraw
d = sys.argv[1]

def picture(w, h):
    im = Image.new("RGB", (w, h))
    dr = ImageDraw.Draw(im)
    for i in range(0, w, 4):
        dr.line([(i, 0), (w - i, h)], fill=(i * 3 % 256, 80, 255 - i % 256))
    return im

im = picture(96, 64)
exif = Image.Exif()
exif[271] = "NIKON CORPORATION"
exif[272] = "NIKON D700"
im.save(f"{d}/exif.jpg", quality=80, exif=exif.tobytes())
exif = Image.Exif()
exif[271] = "Canon"
exif[272] = "Canon EOS 5D"
im.save(f"{d}/progressive.jpg", quality=70, progressive=True, exif=exif.tobytes())
im.save(f"{d}/plain.jpg", quality=60)

# TIFFs: plain, and with the makes that classify them as camera RAW pictures.
def tiff(name, make=None, model=None, **kw):
    info = {}
    if make: info[271] = make
    if model: info[272] = model
    picture(40, 30).save(f"{d}/{name}", tiffinfo=info, **kw)

tiff("plain.tif")
tiff("strips.tif", compression="tiff_lzw")
tiff("nikon.tif", "NIKON CORPORATION", "NIKON D3")
tiff("coolpix.tif", "NIKON", "COOLPIX P7000")
tiff("sony.tif", "SONY", "DSLR-A700")
tiff("pentax.tif", "PENTAX Corporation", "PENTAX K-5")
tiff("olympus.tif", "OLYMPUS IMAGING CORP.", "E-M5")
EOF
# A big-endian TIFF whose directory follows the image data, as libtiff writes it.
"$CONVERT" -size 48x32 gradient:red-blue -define tiff:endian=msb -compress none "$dir/bigendian.tif"

# --- MP3 -----------------------------------------------------------------------------------
ff -f lavfi -i "sine=frequency=440:duration=1" -ac 1 -ar 22050 -c:a libmp3lame -b:a 32k \
  -id3v2_version 3 -write_id3v1 1 -metadata artist="Test Artist" -metadata title="A/B: Song" \
  "$dir/id3v3.mp3"
ff -f lavfi -i "sine=frequency=300:duration=1" -ac 1 -ar 44100 -c:a libmp3lame -b:a 64k \
  -id3v2_version 4 -metadata artist="Künstler" -metadata title="Lied" "$dir/id3v4.mp3"
ff -f lavfi -i "sine=frequency=500:duration=3" -ac 1 -ar 8000 -c:a libmp3lame -b:a 16k \
  -id3v2_version 0 -write_xing 0 "$dir/bare.mp3"

# --- MPEG program and transport streams, MXF -----------------------------------------------
video=(-f lavfi -i "testsrc=size=64x48:rate=25:duration=1")
ff "${video[@]}" -c:v mpeg1video -b:v 100k -f mpeg "$dir/mpeg1.mpg"
ff "${video[@]}" -c:v mpeg2video -b:v 100k -f vob "$dir/mpeg2.mpg"
ff "${video[@]}" -c:v mpeg2video -b:v 100k -f mpegts "$dir/stream.ts"
ff "${video[@]}" -c:v mpeg2video -b:v 100k -f mpegts -mpegts_m2ts_mode 1 "$dir/stream.m2ts"
ff "${video[@]}" -c:v mpeg2video -b:v 200k -f mxf "$dir/clip.mxf"

# file, candidate entry, answered entry, name suffix
cat >"$dir/MANIFEST.tsv" <<'EOF'
file	entry	answer	suffix
exif.jpg	65	65	NIKON D700
progressive.jpg	65	65	Canon EOS 5D
plain.jpg	65	65	
plain.tif	148	184	
strips.tif	148	184	
nikon.tif	148	146	
coolpix.tif	148	134	
sony.tif	148	141	
pentax.tif	148	137	
olympus.tif	148	145	
bigendian.tif	147	184	
id3v3.mp3	61	61	Test Artist - A_B_ Song
id3v4.mp3	61	61	Künstler - Lied
bare.mp3	59	59	
mpeg1.mpg	151	151	
mpeg2.mpg	151	151	
stream.ts	149	149	
stream.m2ts	171	171	
clip.mxf	150	150	
EOF

tar -C "$out" --owner=0 --group=0 --numeric-owner --mtime=@0 --sort=name -cJf tests/data/probes-media.tar.xz probes-media
ls -l "$dir"
du -b tests/data/probes-media.tar.xz
