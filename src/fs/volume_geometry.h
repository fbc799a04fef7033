// The geometry of the open volume: what every file-system reader needs to find clusters,
// the FAT and the MFT, with the in-memory tables, and the cluster services over them.
#pragma once

#include <array>
#include <cstdint>
#include <vector>

#include "disk/disk_source.h"
#include "partitions/partition_record.h"
#include "util/bytes.h"
#include "util/page_buffer.h"

namespace torvane {

// A sector size a boot sector may state: a power of two from 512 to 4096 bytes.
constexpr bool ValidBytesPerSector(uint32_t bytes) {
  return IsPowerOfTwo(bytes) && bytes >= 512 && bytes <= 4096;
}

// Chain values the cluster services answer.
constexpr uint32_t kFatChainEnd = 0x0FFFFFFF;
constexpr uint32_t kFatNoChain = 0xFFFFFFFF;  // not a FAT volume

struct VolumeGeometry {
  FsKind fsKind = FsKind::kNone;
  FsKind fsKindAtOpen = FsKind::kNone;
  uint32_t bytesPerCluster = 512;
  uint32_t bytesPerSector = 512;
  uint32_t sectorsPerCluster = 1;
  // Indexed by kind: NTFS, FAT32, FAT16, FAT12.
  std::array<uint32_t, 4> defaultSectorsPerCluster{};
  uint64_t firstDataSector = 0;
  uint64_t clusterBase = 0;  // sector of (virtual) cluster 0
  uint32_t rootDirectoryCluster = 0;
  uint64_t clusterCount = 0;
  // NTFS
  uint64_t mftCluster = 0;
  uint64_t mftMirrorCluster = 0;
  uint64_t mftStartSector = 0;
  uint32_t mftRecordBytes = 0;
  uint32_t sectorsPerMftRecord = 0;
  uint32_t mftRecordsPerCluster = 0;
  uint64_t mftRecordCount = 0;
  // FAT: the copy that is read
  uint64_t fatStartSector = 0;
  uint32_t fatSectors = 0;
  uint64_t fatBytes = 0;
  uint64_t fatEntries = 0;
  // In-memory tables (empty when not loaded). The nibble-per-cluster allocation map the
  // scanners mark lives in the item store.
  std::vector<uint8_t> fatTable;
  std::vector<uint8_t> allocationMap;
  uint64_t volumeLastSector = kNoBound;
  uint64_t volumeSectors = 0;
  uint32_t usedBackupBootSector = 0;
  bool damaged = false;  // opened without trusting FAT or MFT
  bool reverse = false;
  std::array<std::byte, 512> bootSectorCopy{};
  // Cluster-sized work buffers (at least 1 MiB, or one cluster when a cluster is larger).
  std::array<PageBuffer, 2> workBuffers;

  // The source the cluster services read through; set by OpenVolume.
  DiskSource* source = nullptr;

  void Clear();

  uint32_t ReadClusters(void* buffer, uint32_t count, uint64_t cluster) const;
  uint32_t ReadClusterFirstSector(void* buffer, uint64_t cluster) const;
  uint64_t SectorToCluster(uint64_t sector) const;
  // The next cluster of a FAT chain; kFatChainEnd at its end, kFatNoChain on other kinds.
  uint32_t NextFatCluster(uint32_t cluster) const;
  // The bytes of a chain: its clusters times the cluster size, plus 512 when it ends (or
  // loops); 0 when it runs into a free entry.
  uint64_t FatChainBytes(uint32_t cluster) const;
  // How many clusters from `cluster` on follow each other, within `byteLimit` bytes.
  uint32_t ContiguousClusters(uint32_t cluster, uint64_t byteLimit) const;
  // Reads a whole chain (or its first `byteCount` bytes) into `out`, run by run.
  uint32_t ReadFatChain(uint32_t cluster, std::byte* out, uint64_t byteCount);
};

// The cluster size a formatter picks for a volume of `sectors` sectors, in sectors.
uint32_t DefaultSectorsPerCluster(FsKind kind, uint64_t sectors, uint32_t bytesPerSector);

}  // namespace torvane
