// The FAT side of a scan: free clusters from the FAT, and lost folders searched in what
// the driver reads.
#pragma once

#include <functional>

#include "fs/fat/fat_walk.h"
#include "fs/fat/lost_folders.h"
#include "fs/scan_family.h"

namespace torvane::fat {

class FatScanFamily final : public ScanFamily {
 public:
  FatScanFamily(FatVolume& volume, FatWalker& walker, std::function<void()> treeChanged = {})
      : v_(volume), walker_(walker), treeChanged_(std::move(treeChanged)) {}

  bool HasBitmap() const override { return !v_.Geometry().fatTable.empty(); }
  uint64_t CountFreeClusters(AllocationMap* map) override;
  bool IsClusterFree(uint64_t cluster) const override { return v_.IsFreeCluster(cluster); }
  void SearchRun(const RunDescriptor& run, const std::atomic<bool>* stop) override { Search(run, stop); }
  void SearchChunk(const RunDescriptor& chunk, const std::atomic<bool>* stop) override { Search(chunk, stop); }
  void EndOfScan() override;

 private:
  void Search(const RunDescriptor& run, const std::atomic<bool>* stop);

  FatVolume& v_;
  FatWalker& walker_;
  std::function<void()> treeChanged_;
};

}  // namespace torvane::fat
