#!/usr/bin/env bash
# Builds the VMDK test fixtures and packs them into tests/data/vmdk.tar.xz.
#
# Every image is produced by qemu-img / qemu-io from a deterministic raw
# disk, so the fixtures are real-world files rather than hand-made ones.
# Needs: qemu-utils (qemu-img, qemu-io), xz, tar, python3, cmp.
# Optional: cmake (used to check that `cmake -E tar xJf` unpacks the archive).
#
# Usage: tools/make_vmdk_fixtures.sh [output.tar.xz]
set -euo pipefail

here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
repo="$(cd "$here/.." && pwd)"
out="${1:-$repo/tests/data/vmdk.tar.xz}"
case "$out" in /*) ;; *) out="$PWD/$out" ;; esac

source "$here/lib.sh"
require_tools qemu-img qemu-io xz tar python3 cmp

tmp="$(mktemp -d)"
trap 'rm -rf "$tmp"' EXIT
dir="$tmp/vmdk"
mkdir -p "$dir"
cd "$dir"


# qemu-io on a vmdk image; every command string is one -c argument.
qio() {
    local img="$1"; shift
    local args=()
    for c in "$@"; do args+=(-c "$c"); done
    qemu-io -f vmdk "${args[@]}" "$img" >/dev/null
}

# Prints the text descriptor of a vmdk: either the whole (small text) file or
# the copy embedded in a hosted sparse extent.
descriptor() {
    python3 - "$1" <<'PY'
import struct, sys
data = open(sys.argv[1], 'rb').read()
if data[:4] == b'KDMV':
    off, size = struct.unpack_from('<QQ', data, 28)
    text = data[off * 512:(off + size) * 512]
else:
    text = data
sys.stdout.write(text.split(b'\0', 1)[0].decode('ascii'))
PY
}

# ---------------------------------------------------------------------------
# 1. base.raw: 40 MiB, 81920 sectors.
#    Data sectors hold "LBA <n> " repeated to fill the sector.
#    Zero regions (64 KiB grains, 128 sectors each):
#      grain 5               whole grain zero
#      grain 6, 2nd half     half a grain zero (sectors 832..895)
#      sector 1000           a single zero sector inside a data grain
#      grains 40..47         eight consecutive zero grains
#      grains 600..603       four zero grains in the second grain table
#      grain 639             last grain of the disk
#    Sectors 65535 and 65536 (either side of the 32 MiB grain-table
#    boundary) hold data.
#    Sectors 40960..41471 (256 KiB at 20 MiB): pseudo-random bytes.
# ---------------------------------------------------------------------------
say "base.raw"
python3 - <<'PY'
import random
SECTORS = 81920
GRAIN = 128
zero = set()
def zero_grains(first, last):
    zero.update(range(first * GRAIN, (last + 1) * GRAIN))
zero_grains(5, 5)
zero.update(range(6 * GRAIN + 64, 7 * GRAIN))
zero.add(1000)
zero_grains(40, 47)
zero_grains(600, 603)
zero_grains(639, 639)
assert 65535 not in zero and 65536 not in zero
RAND_FIRST, RAND_COUNT = 40960, 512
rng = random.Random(20240611)
with open('base.raw', 'wb') as f:
    for n in range(SECTORS):
        if n in zero:
            f.write(bytes(512))
        elif RAND_FIRST <= n < RAND_FIRST + RAND_COUNT:
            if n == RAND_FIRST:
                f.write(rng.randbytes(RAND_COUNT * 512))
        else:
            stamp = b'LBA %d ' % n
            f.write((stamp * (512 // len(stamp) + 1))[:512])
PY
[ "$(stat -c %s base.raw)" = $((40 * 1024 * 1024)) ] || die "base.raw has the wrong size"

# ---------------------------------------------------------------------------
# 2. The five subformats, converted from base.raw.
# ---------------------------------------------------------------------------
for pair in sparse:monolithicSparse flat:monolithicFlat \
            split-sparse:twoGbMaxExtentSparse split-flat:twoGbMaxExtentFlat \
            stream:streamOptimized; do
    name="${pair%%:*}"; sub="${pair#*:}"
    say "$name.vmdk ($sub)"
    qemu-img convert -f raw -O vmdk -o subformat="$sub" base.raw "$name.vmdk"
done

# ---------------------------------------------------------------------------
# 3. Snapshot chain: sparse.vmdk <- child.vmdk <- grandchild.vmdk.
#    Backing names are relative so the chain works wherever it is unpacked.
# ---------------------------------------------------------------------------
say "child.vmdk"
qemu-img create -q -f vmdk -b sparse.vmdk -F vmdk child.vmdk
qio child.vmdk \
    "write -P 0xa1 4096 4096" \
    "write -P 0xa2 335872 4096" \
    "write -P 0xa3 1277952 65536" \
    "write -P 0xa4 2686976 131072" \
    "write -P 0xa5 33552384 4096" \
    "write -P 0xa6 36044800 65536" \
    "write -z 1966080 4096" \
    "write -P 0xa7 41877504 8192"
# 0xa1: 4 KiB inside grain 0 (rest of the grain comes from the parent)
# 0xa2: 4 KiB inside grain 5, which is zero in the parent
# 0xa3: 64 KiB straddling grains 19/20
# 0xa4: 128 KiB = grains 41..42, zero in the parent
# 0xa5: 4 KiB straddling the 32 MiB grain-table boundary
# 0xa6: one whole grain (550) in the second grain table
# zero: 4 KiB of zeros over parent data in grain 30
# 0xa7: 8 KiB in the last grain (639), zero in the parent

say "grandchild.vmdk"
qemu-img create -q -f vmdk -b child.vmdk -F vmdk grandchild.vmdk
qio grandchild.vmdk \
    "write -P 0xb1 6144 4096" \
    "write -P 0xb2 37748736 4096"
# 0xb1: overlaps the child's 0xa1 write and the parent data after it
# 0xb2: 4 KiB at 36 MiB (parent data)

for img in child grandchild; do
    qemu-img convert -f vmdk -O raw "$img.vmdk" "$img.raw"
done

for img in child grandchild; do
    hint="$(descriptor "$img.vmdk" | sed -n 's/^parentFileNameHint="\(.*\)"$/\1/p')"
    case "$img:$hint" in
        child:sparse.vmdk|grandchild:child.vmdk) ;;
        *) die "$img.vmdk has parentFileNameHint '$hint'" ;;
    esac
done

# ---------------------------------------------------------------------------
# 4. big-split.vmdk: 2200 MiB twoGbMaxExtentSparse, several extents.
#    Everything not listed in big-split.regions reads as zero.
# ---------------------------------------------------------------------------
say "big-split.vmdk"
qemu-img create -q -f vmdk -o subformat=twoGbMaxExtentSparse big-split.vmdk 2200M
regions=(
    "0 65536 11"
    "1048576000 1536 44"
    "2147479552 8192 22"
    "2306854912 8192 33"
)
# 0          first grain of the first extent
# 1000 MiB   1.5 KiB, sector aligned but not grain aligned
# 2048 MiB   4 KiB before to 4 KiB after the 2 GiB boundary
# 2200 MiB - 12 KiB: near the end (the last 4 KiB stay zero)
: > big-split.regions
cmds=()
for r in "${regions[@]}"; do
    read -r off len pat <<<"$r"
    cmds+=("write -P 0x$pat $off $len")
    echo "$off $len $pat" >> big-split.regions
done
qio big-split.vmdk "${cmds[@]}"
[ "$(ls big-split-s*.vmdk | wc -l)" -ge 2 ] || die "big-split.vmdk has fewer than two extents"

say "checking big-split.vmdk"
total=$((2200 * 1024 * 1024))
for r in "${regions[@]}"; do
    read -r off len pat <<<"$r"
    lo=$(( off >= 4096 ? off - 4096 : 0 ))
    end=$(( off + len ))
    hi=$(( end + 4096 <= total ? end + 4096 : total ))
    checks=("read -P 0x$pat $off $len")
    [ "$lo" -lt "$off" ] && checks+=("read -P 0 $lo $((off - lo))")
    [ "$end" -lt "$hi" ] && checks+=("read -P 0 $end $((hi - end))")
    for c in "${checks[@]}"; do
        qio big-split.vmdk "$c" || die "big-split.vmdk: '$c' failed"
    done
done
qemu-img check -q big-split.vmdk

# ---------------------------------------------------------------------------
# 5. MANIFEST and self-check.
# ---------------------------------------------------------------------------
say "MANIFEST"
: > MANIFEST
for pair in sparse:base flat:base split-sparse:base split-flat:base stream:base \
            child:child grandchild:grandchild; do
    img="${pair%%:*}.vmdk"; raw="${pair#*:}.raw"
    size="$(qemu-img info -f vmdk --output=json "$img" |
            python3 -c 'import json,sys; print(json.load(sys.stdin)["virtual-size"])')"
    [ $((size % 512)) = 0 ] || die "$img: capacity not a sector multiple"
    [ "$size" = "$(stat -c %s "$raw")" ] || die "$img: capacity differs from $raw"
    echo "$img $raw $((size / 512))" >> MANIFEST
    qemu-img check -q "$img"
    qemu-img convert -f vmdk -O raw "$img" "$tmp/check.raw"
    cmp "$tmp/check.raw" "$raw" || die "$img does not read back as $raw"
    rm -f "$tmp/check.raw"
done

# ---------------------------------------------------------------------------
# Pack. Files that share content are kept next to each other so the xz
# dictionary (64 MiB at -9) sees the repeats.
# ---------------------------------------------------------------------------
say "packing"
cd "$tmp"
files=(MANIFEST big-split.regions base.raw flat.vmdk flat-flat.vmdk
       split-flat.vmdk split-flat-f*.vmdk sparse.vmdk split-sparse.vmdk
       split-sparse-s*.vmdk stream.vmdk child.vmdk child.raw grandchild.vmdk
       grandchild.raw big-split.vmdk big-split-s*.vmdk)
list=()
for f in "${files[@]}"; do
    for g in vmdk/$f; do
        [ -f "$g" ] || die "missing $g"
        list+=("$g")
    done
done
# Nothing left out.
[ "${#list[@]}" = "$(find vmdk -type f | wc -l)" ] || die "unlisted files in vmdk/"

pack_archive "$out" 0 "${list[@]}"
