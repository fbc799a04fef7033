#include "fs/fat/assess.h"

#include <algorithm>

namespace torvane::fat {
namespace {

// The bytes of the file's last sector behind its size are zero (a file's slack is written
// as zeros); with a size of whole sectors nothing can be told and the test passes.
bool TailIsClear(const FatVolume& v, uint32_t first, uint32_t size) {
  const uint64_t lastByte = uint64_t{size} - 1;
  if (size % 512 == 0) return true;
  const uint64_t cluster = first + lastByte / v.ClusterBytes();
  if (!v.InVolume(cluster)) return false;
  std::vector<std::byte> bytes;
  if (!v.ReadCluster(cluster, bytes)) return false;
  const uint64_t inCluster = lastByte % v.ClusterBytes();
  const uint64_t sectorEnd = (inCluster / 512 + 1) * 512;
  return IsAllZero(ByteSpan(bytes).subspan(inCluster + 1, sectorEnd - inCluster - 1));
}

// "." names the candidate itself (both halves), ".." follows.
bool IsFolderAt(const FatVolume& v, uint32_t cluster) {
  std::array<std::byte, 512> s;
  if (!v.IsFolderCluster(cluster) || !v.ReadFirstSector(cluster, s)) return false;
  const ByteSpan b(s.data(), s.size());
  return ((uint32_t{LeU16(b, 0x14)} << 16) | LeU16(b, 0x1A)) == cluster;
}

}  // namespace

uint8_t AssessEntry(const FatVolume& v, const FileEntry& e, bool deleted, AssessView view) {
  if (e.IsFolder()) return 120;
  if (view == AssessView::kQuick) return deleted ? kStateFoundInFreeSpace : 0;
  if (!deleted) return kStateExisting;
  if (e.kind == kKindPartlyOverwritten || e.kind == kKindUnverifiable) return kStateFoundInFreeSpace;
  if (e.size == 0) return kStateRecoverable;
  const uint64_t f = e.link;
  const uint64_t n = (e.size + v.ClusterBytes() - 1) / v.ClusterBytes();
  if (!v.InVolume(f)) return kStateFoundInFreeSpace;
  for (uint64_t c = f; c < f + n; ++c)
    if (!v.IsFreeCluster(c)) return static_cast<uint8_t>(100 * (c - f) / n);
  return kStateRecoverable;
}

void RecoverHighWord(FatVolume& v, const DirItem& item, uint32_t folderId, FileEntry& e) {
  if (item.firstCluster == 0) return;  // an empty file has no cluster
  FatVolume::CachedCluster found;
  if (v.FindCached(folderId, item.offset, found)) {
    e.link = (uint32_t{found.high} << 16) | found.low;
    e.kind = found.kind;
    return;
  }
  const bool folder = item.IsFolder();
  const uint32_t maxHigh = static_cast<uint32_t>(std::min<uint64_t>(v.LastCluster() >> 16, 0xFFFF));
  const ContentCheckFn check = folder ? nullptr : v.CheckFor(item.extension);
  if (!folder && check == nullptr) e.kind = kKindUnverifiable;
  // Upper halves from the stored one up, round to it again; candidates beyond the volume
  // are never tried.
  uint32_t winner = 0, firstFit = 0;
  bool won = false, fit = false;
  const uint32_t start = std::min<uint32_t>(item.highWord, maxHigh);
  for (uint32_t i = 0; i <= maxHigh && !won; ++i) {
    const uint32_t h = (start + i) % (maxHigh + 1);
    const uint32_t candidate = (h << 16) | item.lowWord;
    if (!v.IsFreeCluster(candidate)) continue;
    if (folder) {
      if (IsFolderAt(v, candidate)) winner = candidate, won = true;
      continue;
    }
    if (check != nullptr) {
      std::array<std::byte, 512> s;
      if (!v.ReadFirstSector(candidate, s) || !check(ByteSpan(s.data(), s.size()), item.size)) continue;
      if (!fit) firstFit = candidate, fit = true;
    }
    if (TailIsClear(v, candidate, item.size)) winner = candidate, won = true;
  }
  if (!won && fit) winner = firstFit, won = true;
  if (won) {
    e.link = winner;
    if (folder && (winner >> 16) != item.highWord) e.kind = kKindRecoveredFat32Folder;
  } else {
    e.kind = kKindPartlyOverwritten;
  }
  v.Cache(folderId, item.offset, {static_cast<uint16_t>(e.link & 0xFFFF), static_cast<uint16_t>(e.link >> 16), e.kind});
}

}  // namespace torvane::fat
