// The exFAT side of a scan: free clusters from the allocation bitmap, and folders found in
// free runs (ScanClustersForExFolders), whose deleted or damaged items join the entry list
// under "Lost files". The whole-volume phase runs only the content detection on exFAT.
#pragma once

#include <functional>
#include <unordered_set>

#include "fs/exfat/exfat_folder.h"
#include "fs/scan_family.h"
#include "store/item_store.h"

namespace torvane::exfat {

// Searches the clusters of a run for folders: a cluster that begins like a folder and is no
// folder the walk read is read as a folder (consecutive clusters, MeasureExFolder) and its
// items that are not intact (deleted, first cluster free, overwritten) are appended, each
// once by first cluster. A folder entry "#%.9u" (the cluster) holds them; it lies under
// "Lost files". Returns the entries appended.
uint64_t ScanClustersForExFolders(const ExVolume& volume, ItemStore& store, const RunDescriptor& run,
                                  const std::unordered_set<uint32_t>& walkedFolders,
                                  std::unordered_set<uint32_t>& listedLinks, ContentCheckFn check,
                                  const std::atomic<bool>* stop);

class ExfatScanFamily final : public ScanFamily {
 public:
  ExfatScanFamily(const VolumeGeometry& geometry, ItemStore& store, const std::unordered_set<uint32_t>& walked,
                  ContentCheckFn check, std::function<void()> treeChanged);
  bool HasBitmap() const override { return volume_.HasBitmap(); }
  uint64_t CountFreeClusters(AllocationMap* map) override;
  bool IsClusterFree(uint64_t cluster) const override;
  void SearchRun(const RunDescriptor& run, const std::atomic<bool>* stop) override;
  void SearchChunk(const RunDescriptor&, const std::atomic<bool>*) override {}
  void EndOfScan() override {}

 private:
  ExVolume volume_;
  ItemStore& store_;
  const std::unordered_set<uint32_t>& walked_;
  ContentCheckFn check_;
  std::function<void()> treeChanged_;
  std::unordered_set<uint32_t> listedLinks_;
  bool linksTaken_ = false;
};

}  // namespace torvane::exfat
