// The allocation map: one nibble per cluster of the open volume, two clusters per byte (even
// cluster in the low nibble, odd cluster in the high nibble). Bit 0 means "allocated by the
// file system"; the content detection adds bits of its own. The session files store the bytes
// as they are, and the explorer draws them.
//
// Marks and reads may come from the scan thread and the explorer at the same time: each byte
// is accessed atomically (relaxed), so concurrent marks of neighbouring clusters never lose a
// bit. Resize and Clear must not run while anyone else uses the map.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace torvane {

class AllocationMap {
 public:
  inline static constexpr uint8_t kAllocated = 1;
  // Largest volume the map is made for (2^36 clusters: 256 TiB at 4 KiB per cluster). A
  // cluster count read from a damaged boot sector must not size a huge allocation.
  inline static constexpr uint64_t kMaxClusters = uint64_t{1} << 36;

  // Sizes the map, all clear, for clusterCount + 2 clusters: FAT and exFAT number their data
  // clusters from 2, NTFS from 0, and either way the volume's last cluster fits. False (and an
  // empty map) for a count beyond kMaxClusters or when memory runs out.
  bool Resize(uint64_t clusterCount);
  void Clear();

  // ORs the low 4 bits of `bits` into the cluster's nibble; ignored beyond the map.
  void MarkCluster(uint64_t cluster, uint8_t bits);
  // The cluster's nibble; 0 beyond the map.
  uint8_t Get(uint64_t cluster) const;

  uint64_t ClusterCount() const { return clusters_; }  // clusters the map covers
  // The bytes, for the session files (load into data() after Resize).
  const uint8_t* data() const { return bytes_.data(); }
  uint8_t* data() { return bytes_.data(); }
  size_t size() const { return bytes_.size(); }

 private:
  std::vector<uint8_t> bytes_;
  uint64_t clusters_ = 0;
};

}  // namespace torvane
