#include "fs/fat/fat_volume.h"

#include <algorithm>
#include <cstring>
#include <unordered_set>

#include "fs/fat/fat_directory.h"
#include "raw/probes/file_type_by_tag.h"

namespace torvane::fat {
namespace {

constexpr uint64_t kCacheRecordBytes = 13;

ContentCheckFn CatalogueCheck(std::string_view extension) {
  if (extension.empty()) return nullptr;
  return probes::FileTypeByTag(extension);
}

bool IsDotEntry(ByteSpan e, bool dotDot) {
  if (LeU8(e, 0) != '.' || (LeU8(e, 11) & kAttrDirectory) == 0) return false;
  for (size_t i = 1; i < 11; ++i)
    if (LeU8(e, i) != (i == 1 && dotDot ? '.' : ' ')) return false;
  return true;
}

// A cluster of a folder whose chain is gone still holds entries when its first one is a
// plausible entry or its end marker.
bool HoldsEntries(ByteSpan cluster) {
  return LeU8(cluster, 0) == 0 || IsValidDirEntry(cluster.first(kDirEntryBytes));
}

bool HasEndMarker(ByteSpan bytes) {
  for (size_t at = 0; at + kDirEntryBytes <= bytes.size(); at += kDirEntryBytes)
    if (LeU8(bytes, at) == 0) return true;
  return false;
}

}  // namespace

FatVolume::FatVolume(DiskSource& source, const VolumeGeometry& geometry, ItemStore& store)
    : source_(source), g_(geometry), store_(store), lookup_(CatalogueCheck) {
  const ByteSpan boot(g_.bootSectorCopy.data(), g_.bootSectorCopy.size());
  const uint32_t bps = LeU16(boot, 11);
  const uint64_t rootEntries = LeU16(boot, 17);
  if (!Fat32() && ValidBytesPerSector(bps) && rootEntries != 0) {
    rootSectors_ = (rootEntries * kDirEntryBytes + bps - 1) / bps * (bps / 512);
    rootStart_ = g_.firstDataSector >= rootSectors_ ? g_.firstDataSector - rootSectors_ : 0;
  }
}

bool FatVolume::IsFreeCluster(uint64_t cluster) const {
  if (!InVolume(cluster)) return false;
  if (g_.fatTable.empty()) return true;
  return g_.NextFatCluster(static_cast<uint32_t>(cluster)) == 0;
}

bool FatVolume::ReadFirstSector(uint64_t cluster, std::array<std::byte, 512>& out) const {
  if (!InVolume(cluster)) return false;
  return g_.ReadClusterFirstSector(out.data(), cluster) == 1;
}

bool FatVolume::ReadCluster(uint64_t cluster, std::vector<std::byte>& out) const {
  out.resize(ClusterBytes());
  if (!InVolume(cluster) || out.empty()) return false;
  return g_.ReadClusters(out.data(), 1, cluster) != 0;
}

bool FatVolume::IsFolderCluster(uint64_t cluster) const {
  std::array<std::byte, 512> s;
  if (!ReadFirstSector(cluster, s)) return false;
  const ByteSpan b(s.data(), s.size());
  return IsDotEntry(b.first(32), false) && IsDotEntry(b.subspan(32, 32), true);
}

bool FatVolume::ReadFolderBytes(uint32_t folderId, std::vector<std::byte>& out) const {
  out.clear();
  if (folderId == kFixedRootId && !Fat32()) {
    if (rootSectors_ == 0) return false;
    out.resize(rootSectors_ * 512);
    return source_.ReadSectors(out.data(), static_cast<uint32_t>(rootSectors_), rootStart_) != 0;
  }
  if (!InVolume(folderId) || ClusterBytes() == 0) return false;
  std::vector<std::byte> cluster;
  const bool chained = !IsFreeCluster(folderId) && !g_.fatTable.empty();
  std::unordered_set<uint32_t> visited;
  uint64_t c = folderId;
  while (out.size() + ClusterBytes() <= std::max<uint64_t>(kMaxFolderBytes, ClusterBytes())) {
    if (!ReadCluster(c, cluster)) break;
    const ByteSpan b(cluster.data(), cluster.size());
    if (!chained && c != folderId && !HoldsEntries(b)) break;
    out.insert(out.end(), cluster.begin(), cluster.end());
    if (chained) {
      visited.insert(static_cast<uint32_t>(c));
      const uint32_t next = g_.NextFatCluster(static_cast<uint32_t>(c));
      // The chain ends, leaves the volume, or comes back to a cluster already read.
      if (!InVolume(next) || !visited.insert(next).second) break;
      c = next;
    } else {
      if (HasEndMarker(b) || !IsFreeCluster(c + 1)) break;
      ++c;
    }
  }
  return !out.empty();
}

bool FatVolume::FindCached(uint32_t folderId, uint32_t offset, CachedCluster& out) const {
  std::lock_guard<std::mutex> lock(cacheLock_);
  const DynList& list = store_.fat32ClusterCache;
  // Records added by others (a loaded session) are indexed on the way.
  for (; (cacheIndexed_ + 1) * kCacheRecordBytes <= list.used; ++cacheIndexed_) {
    const ByteSpan r(list.buffer + cacheIndexed_ * kCacheRecordBytes, kCacheRecordBytes);
    cacheIndex_[(uint64_t{LeU32(r, 4)} << 32) | LeU32(r, 8)] = cacheIndexed_;
  }
  auto it = cacheIndex_.find((uint64_t{folderId} << 32) | offset);
  if (it == cacheIndex_.end()) return false;
  const ByteSpan r(list.buffer + it->second * kCacheRecordBytes, kCacheRecordBytes);
  out.low = LeU16(r, 0);
  out.high = LeU16(r, 2);
  out.kind = LeU8(r, 12);
  return true;
}

void FatVolume::Cache(uint32_t folderId, uint32_t offset, const CachedCluster& value) {
  std::array<std::byte, kCacheRecordBytes> r{};
  const MutableByteSpan m(r.data(), r.size());
  StoreLeU16(m, 0, value.low);
  StoreLeU16(m, 2, value.high);
  StoreLeU32(m, 4, folderId);
  StoreLeU32(m, 8, offset);
  r[12] = std::byte{value.kind};
  std::lock_guard<std::mutex> lock(cacheLock_);
  AddBinToDynList(store_.fat32ClusterCache, r.data(), r.size());
}

}  // namespace torvane::fat
