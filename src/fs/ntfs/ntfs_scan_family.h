// The NTFS side of a scan: free clusters from $Bitmap, and MFT records searched in what the
// driver reads.
#pragma once

#include <functional>

#include "fs/ntfs/ntfs_volume.h"
#include "fs/ntfs/record_search.h"
#include "fs/scan_family.h"

namespace torvane::ntfs {

class NtfsScanFamily final : public ScanFamily {
 public:
  NtfsScanFamily(NtfsVolume& volume, ItemStore& store, std::function<void()> treeChanged = {})
      : volume_(volume), store_(store), treeChanged_(std::move(treeChanged)) {}
  bool HasBitmap() const override { return volume_.HasBitmap(); }
  uint64_t CountFreeClusters(AllocationMap* map) override { return ntfs::CountFreeClusters(volume_, map); }
  bool IsClusterFree(uint64_t cluster) const override { return volume_.IsClusterFree(cluster); }
  void SearchRun(const RunDescriptor& run, const std::atomic<bool>* stop) override {
    ScanRunForRecords(volume_, store_, run.data, run.firstSector, run.firstCluster, stop, treeChanged_, &seam_);
  }
  void SearchChunk(const RunDescriptor& chunk, const std::atomic<bool>* stop) override {
    ScanChunkForRecords(volume_, store_, chunk.data, chunk.firstSector, stop, &listed_, &seam_);
  }
  void EndOfScan() override {
    if (store_.pendingRebuildCount > 0) MergeRebuiltEntries(store_, treeChanged_);
  }

 private:
  NtfsVolume& volume_;
  ItemStore& store_;
  std::function<void()> treeChanged_;
  ListedRecords listed_;
  RecordSeam seam_;
};

}  // namespace torvane::ntfs
