#!/usr/bin/env bash
# Builds Torvane and runs it on the bundled sample disk.
set -euo pipefail
repo="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
"$repo/tools/install-deps.sh"
cmake -S "$repo" -B "$repo/build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
ninja -C "$repo/build" torvane_cli >/dev/null
"$repo/build/torvane" info "$repo/samples/demo.vmdk"
echo
"$repo/build/torvane" volumes "$repo/samples/demo.vmdk"
echo
echo "Deleted files on volume 0:"
"$repo/build/torvane" ls "$repo/samples/demo.vmdk" -v 0 -r --deleted
echo
echo "Recovering them into ./recovered:"
rm -rf ./recovered
"$repo/build/torvane" recover "$repo/samples/demo.vmdk" -v 0 -o ./recovered --all --deleted
