# shellcheck shell=bash
# Shared steps of the fixture scripts in tools/ and the benchmarks in bench/; sourced, not
# run. A script sets `set -euo pipefail` first; it may set LIB_NAME to prefix its errors.
#
# NTFS volumes through ntfs-3g: set NTFS_IMAGE (the partition image), MNT (the mount point),
# NTFS_LOG (ntfs-3g's output) and optionally NTFS_OPTS (default no_detach; it must keep
# no_detach), then mount_ntfs [extra ntfs-3g options] / unmount_ntfs;
# ntfs_cleanup undoes a mount left behind (call it from the script's EXIT trap).

say() { printf '== %s\n' "$*" >&2; }
die() { printf '%s: %s\n' "${LIB_NAME:-error}" "$*" >&2; exit 1; }

# Exits with an error unless every named command is on the PATH.
require_tools() {
  local tool
  for tool in "$@"; do command -v "$tool" >/dev/null || die "missing tool: $tool"; done
}

require_root() { [[ "$(id -u)" == 0 ]] || die "must run as root (FUSE mount)"; }

ntfs_pid=""

# ntfs-3g in the foreground as a child of this shell, so that after umount we can wait
# until it has written everything back to the image file.
mount_ntfs() {
  mkdir -p "$MNT"
  ntfs-3g -o "${NTFS_OPTS:-no_detach}${1:+,$1}" "$NTFS_IMAGE" "$MNT" >"$NTFS_LOG" 2>&1 &
  ntfs_pid=$!
  local _
  for _ in $(seq 100); do
    mountpoint -q "$MNT" && return 0
    kill -0 "$ntfs_pid" 2>/dev/null || { cat "$NTFS_LOG" >&2; die "ntfs-3g exited"; }
    sleep 0.1
  done
  die "ntfs-3g did not mount"
}

unmount_ntfs() {
  sync
  umount "$MNT"
  wait "$ntfs_pid" || { cat "$NTFS_LOG" >&2; die "ntfs-3g failed"; }
  ntfs_pid=""
}

ntfs_cleanup() {
  if [[ -n "${MNT:-}" ]] && mountpoint -q "$MNT" 2>/dev/null; then umount "$MNT" || umount -l "$MNT" || true; fi
  if [[ -n "$ntfs_pid" ]] && kill -0 "$ntfs_pid" 2>/dev/null; then wait "$ntfs_pid" 2>/dev/null || true; fi
}

# A sparse raw disk RAW of DISK_SECTORS sectors with an MBR naming one NTFS partition at
# PART_START of PART_SECTORS sectors, and that partition formatted in its own image file
# PART (4 KiB clusters unless CLUSTER is set): new_ntfs_disk LABEL DISK_ID.
new_ntfs_disk() {
  truncate -s $((DISK_SECTORS * 512)) "$RAW"
  printf 'label: dos\nlabel-id: %s\nunit: sectors\n\nstart=%d, size=%d, type=7\n' \
    "$2" "$PART_START" "$PART_SECTORS" | sfdisk -q --no-reread --no-tell-kernel "$RAW"
  truncate -s $((PART_SECTORS * 512)) "$PART"
  mkntfs -F -Q -q -L "$1" -s 512 -c "${CLUSTER:-4096}" -p "$PART_START" -H 255 -S 63 \
    "$PART" "$PART_SECTORS" >/dev/null 2>&1 || die "mkntfs failed"
}

# Puts the partition image PART into the disk RAW at PART_START and removes it.
place_partition() {
  dd if="$PART" of="$RAW" bs=1M oflag=seek_bytes seek=$((PART_START * 512)) \
    conv=notrunc,sparse status=none
  rm -f "$PART"
  [[ "$(stat -c %s "$RAW")" == $((DISK_SECTORS * 512)) ]] || die "disk image grew"
}

# Writes the raw disk RAW as the monolithicSparse VMDK named VMDK (qemu-img), checks it and
# that it reads back as RAW (through the scratch file RAW.check): raw_to_vmdk RAW VMDK.
raw_to_vmdk() {
  qemu-img convert -f raw -O vmdk -o subformat=monolithicSparse "$1" "$2"
  qemu-img check -q "$2"
  qemu-img convert -f vmdk -O raw "$2" "$1.check"
  cmp "$1.check" "$1" || { rm -f "$1.check"; die "$(basename "$2") does not read back as $(basename "$1")"; }
  rm -f "$1.check"
}

# Packs the named files (relative to the current folder) into the archive OUT as a sparse,
# reproducible tar.xz, refuses one over MAX bytes (0: no limit), and checks that the build's
# `cmake -E tar` unpacks it to the same bytes: pack_archive OUT MAX FILE...
pack_archive() {
  local out="$1" max="$2" size g
  shift 2
  mkdir -p "$(dirname "$out")"
  tar --format=gnu --sparse --owner=0 --group=0 --numeric-owner --mtime=@0 \
    --no-recursion -cf - "$@" | xz -9 -T1 >"$out.tmp"
  size="$(stat -c %s "$out.tmp")"
  if [[ "$max" -gt 0 && "$size" -gt "$max" ]]; then rm -f "$out.tmp"; die "archive is $size bytes, over $max"; fi
  mv "$out.tmp" "$out"
  if command -v cmake >/dev/null; then
    say "checking extraction with cmake -E tar"
    local x
    x="$(mktemp -d)"
    (cd "$x" && cmake -E tar xJf "$out")
    for g in "$@"; do cmp "$g" "$x/$g" || { rm -rf "$x"; die "extracted $g differs"; }; done
    [[ "$(find "$x" -type f | wc -l)" == "$#" ]] || { rm -rf "$x"; die "extraction has extra files"; }
    rm -rf "$x"
  fi
  say "wrote $out ($size bytes)"
}
