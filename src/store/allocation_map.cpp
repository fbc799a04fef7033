#include "store/allocation_map.h"

#include <atomic>
#include <new>

namespace torvane {

bool AllocationMap::Resize(uint64_t clusterCount) {
  Clear();
  if (clusterCount > kMaxClusters) return false;
  const uint64_t clusters = clusterCount + 2;
  try {
    bytes_.assign((clusters + 1) / 2, 0);
  } catch (const std::bad_alloc&) {
    return false;
  }
  clusters_ = clusters;
  return true;
}

void AllocationMap::Clear() {
  std::vector<uint8_t>().swap(bytes_);
  clusters_ = 0;
}

void AllocationMap::MarkCluster(uint64_t cluster, uint8_t bits) {
  if (cluster >= clusters_) return;
  const uint8_t nibble = bits & 0x0F;
  std::atomic_ref<uint8_t> byte(bytes_[cluster / 2]);
  byte.fetch_or(static_cast<uint8_t>(cluster % 2 == 0 ? nibble : nibble << 4), std::memory_order_relaxed);
}

uint8_t AllocationMap::Get(uint64_t cluster) const {
  if (cluster >= clusters_) return 0;
  // atomic_ref needs a mutable object; the load does not write.
  std::atomic_ref<uint8_t> byte(const_cast<uint8_t&>(bytes_[cluster / 2]));
  const uint8_t value = byte.load(std::memory_order_relaxed);
  return cluster % 2 == 0 ? (value & 0x0F) : (value >> 4);
}

}  // namespace torvane
