#include "fs/fat/fat_scan_family.h"

namespace torvane::fat {

uint64_t FatScanFamily::CountFreeClusters(AllocationMap* map) {
  uint64_t free = 0;
  for (uint64_t c = 2; c <= v_.LastCluster(); ++c) {
    if (v_.IsFreeCluster(c))
      ++free;
    else if (map != nullptr)
      map->MarkCluster(c, AllocationMap::kAllocated);
  }
  return free;
}

void FatScanFamily::Search(const RunDescriptor& run, const std::atomic<bool>* stop) {
  // Whole clusters of the run, placed by their sectors (a chunk of the whole volume may
  // begin before the data area or inside a cluster).
  const VolumeGeometry& g = v_.Geometry();
  const uint64_t spc = g.sectorsPerCluster;
  if (spc == 0) return;
  uint64_t first = run.firstSector <= g.clusterBase ? 0 : (run.firstSector - g.clusterBase + spc - 1) / spc;
  first = std::max<uint64_t>(first, 2);
  const uint64_t firstSector = g.clusterBase + first * spc;
  if (firstSector < run.firstSector) return;
  const uint64_t skip = (firstSector - run.firstSector) * 512;
  if (skip >= run.data.size()) return;
  const ByteSpan data = run.data.subspan(skip);
  const uint64_t added = ScanClustersForFolders(v_, walker_, data, first, data.size() / v_.ClusterBytes(), stop);
  if (added > 0 && treeChanged_) treeChanged_();
}

void FatScanFamily::EndOfScan() {
  if (AddParentPlaceholders(v_) > 0 && treeChanged_) treeChanged_();
}

}  // namespace torvane::fat
