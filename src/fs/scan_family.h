// What a scan needs from the file system of the volume: its free-cluster test and its
// search for lost records in the data the driver reads. One implementation per family
// (NTFS now; FAT and exFAT later).
#pragma once

#include <atomic>
#include <cstdint>
#include <span>

#include "store/allocation_map.h"

namespace torvane {

// One run (free-region phase) or chunk (whole-volume phase) the driver has read.
struct RunDescriptor {
  std::span<const std::byte> data;  // the valid bytes
  uint64_t firstSector = 0;         // volume-relative
  uint64_t firstCluster = 0;
  uint64_t clusters = 0;
  uint64_t sectors = 0;
  uint64_t entryCount = 0;    // entries in the deleted-entries list
  uint64_t deletedCount = 0;  // the deleted count
};

class ScanFamily {
 public:
  virtual ~ScanFamily() = default;
  // Whether the volume has an allocation bitmap to tell free clusters.
  virtual bool HasBitmap() const = 0;
  // Counts the free clusters and marks the used ones in the map.
  virtual uint64_t CountFreeClusters(AllocationMap* map) = 0;
  virtual bool IsClusterFree(uint64_t cluster) const = 0;
  // Searches a run of free clusters for lost records (free-region phase). Takes the store's
  // locks itself.
  virtual void SearchRun(const RunDescriptor& run, const std::atomic<bool>* stop) = 0;
  // Searches a chunk of the whole volume (reverse mode).
  virtual void SearchChunk(const RunDescriptor& chunk, const std::atomic<bool>* stop) = 0;
  // The end of a scan that ran to its end (merging what waits).
  virtual void EndOfScan() = 0;
};

}  // namespace torvane
