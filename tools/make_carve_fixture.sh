#!/bin/sh
# Makes tests/data/carve.tar.xz: a disk image with no file system holding real files on
# sector boundaries (tools/make_carve_fixture.py) and its MANIFEST.tsv.
set -eu
here=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir "$work/carve"
python3 "$here/make_carve_fixture.py" "$work/carve"
tar -C "$work" --sort=name --mtime=@0 --owner=0 --group=0 --numeric-owner -cJf "$here/../tests/data/carve.tar.xz" carve
ls -l "$here/../tests/data/carve.tar.xz"
