// The open FAT12/16/32 volume as the FAT readers see it: the fixed root area, the cluster
// tests (free, folder), the reading of a folder's bytes with loop protection, and the
// content check by extension that the overwrite assessment asks.
#pragma once

#include <array>
#include <cstdint>
#include <mutex>
#include <unordered_map>
#include <vector>

#include "disk/disk_source.h"
#include "fs/volume_geometry.h"
#include "store/item_store.h"
#include "util/bytes.h"

namespace torvane::fat {

// The identifier of the fixed root area of FAT12 and FAT16.
inline constexpr uint32_t kFixedRootId = 1;
// A folder holds at most 65,536 entries; more bytes than that are never read for one.
inline constexpr uint64_t kMaxFolderBytes = 65536ull * 32;

// Whether the first bytes of a file fit the type its extension names; null: no check.
using ContentCheckFn = bool (*)(ByteSpan firstBytes, uint64_t fileSize);
using ContentCheckLookup = ContentCheckFn (*)(std::string_view extension);

class FatVolume {
 public:
  FatVolume(DiskSource& source, const VolumeGeometry& geometry, ItemStore& store);

  const VolumeGeometry& Geometry() const { return g_; }
  ItemStore& Store() const { return store_; }
  bool Fat32() const { return g_.fsKind == FsKind::kFat32; }
  // The identifier the root folder's entries carry: the fixed root area, or FAT32's root cluster.
  uint32_t RootId() const { return Fat32() ? g_.rootDirectoryCluster : kFixedRootId; }
  uint64_t LastCluster() const { return g_.clusterCount + 1; }
  bool InVolume(uint64_t cluster) const { return cluster >= 2 && cluster <= LastCluster(); }
  uint32_t ClusterBytes() const { return g_.sectorsPerCluster * 512; }

  // The FAT entry of the cluster is 0. Always true without a table (raw mode); false beyond
  // the last cluster.
  bool IsFreeCluster(uint64_t cluster) const;
  // The cluster's first sector begins with a "." entry followed by a ".." entry.
  bool IsFolderCluster(uint64_t cluster) const;
  // The first sector of a cluster; false beyond the volume or when it cannot be read.
  bool ReadFirstSector(uint64_t cluster, std::array<std::byte, 512>& out) const;
  bool ReadCluster(uint64_t cluster, std::vector<std::byte>& out) const;

  // The bytes of a folder: the fixed root area (sized by the boot sector's root entries),
  // a chain of clusters followed through the FAT, or, for a folder whose chain is gone,
  // the free clusters that follow its first one while they still hold entries. A chain
  // that comes back to a cluster ends there; no folder is read beyond kMaxFolderBytes.
  bool ReadFolderBytes(uint32_t folderId, std::vector<std::byte>& out) const;

  // The content check of an extension (the catalogue's checks by default; tests swap it).
  ContentCheckFn CheckFor(std::string_view extension) const { return lookup_(extension); }
  void SetContentCheckLookup(ContentCheckLookup lookup) { lookup_ = lookup; }

  // The FAT32 cluster cache: a deleted entry resolved once is not searched again. Keyed
  // by the folder identifier and the entry's offset; the records live in list 7.
  struct CachedCluster {
    uint16_t low = 0, high = 0;
    uint8_t kind = 0;
  };
  bool FindCached(uint32_t folderId, uint32_t offset, CachedCluster& out) const;
  void Cache(uint32_t folderId, uint32_t offset, const CachedCluster& value);

 private:
  DiskSource& source_;
  const VolumeGeometry& g_;
  ItemStore& store_;
  ContentCheckLookup lookup_;
  uint64_t rootStart_ = 0;    // fixed root area: first sector
  uint64_t rootSectors_ = 0;  // and its length
  mutable std::mutex cacheLock_;
  mutable std::unordered_map<uint64_t, uint64_t> cacheIndex_;  // key -> record index in list 7
  mutable uint64_t cacheIndexed_ = 0;                          // records indexed so far
};

}  // namespace torvane::fat
