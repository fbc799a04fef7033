#!/usr/bin/env bash
# Installs the Debian packages Torvane needs to build and test, when run as root and any is
# missing. As another user it only says what is missing.
set -euo pipefail

# qt6-base-dev builds the desktop application (torvane-gui); its tests run offscreen.
packages=(g++ cmake ninja-build pkg-config zlib1g-dev libgtest-dev qt6-base-dev qt6-image-formats-plugins)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0
if [ "$(id -u)" -ne 0 ]; then
  echo "Torvane needs these packages: ${missing[*]}" >&2
  echo "Run as root, or: sudo apt-get install ${missing[*]}" >&2
  exit 1
fi
apt-get update -qq
DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}" >/dev/null
