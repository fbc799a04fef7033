#include "fs/fat/fat_file_system.h"

#include "fs/cluster_tree.h"
#include "fs/fat/fat_content.h"
#include "fs/fat/fat_scan_family.h"

namespace torvane::fat {

FatFileSystem::FatFileSystem(DiskSource& source, const VolumeGeometry& geometry, ItemStore& store)
    : store_(store), volume_(source, geometry, store), walker_(volume_) {}

bool FatFileSystem::Walk(const std::function<void(uint32_t permille)>& progress, WalkSummary& summary,
                         std::string& error) {
  store_.Create();
  walker_.Reset();
  bool readable = false;
  summary.entries = walker_.AddTree(volume_.RootId(), nullptr, &readable, progress);
  summary.foundWhere = "in the folders";
  if (!readable) {
    error = "the root folder cannot be read";
    return false;
  }
  return true;
}

std::unique_ptr<ItemTree> FatFileSystem::MakeTree() const {
  return std::make_unique<ClusterTree>(store_.deletedEntries, volume_.RootId());
}

bool FatFileSystem::ReadItem(ReaderContext& ctx, const FileEntry& item, ContentWindow& out, ReadOutcome& outcome) {
  return ReadFatItem(ctx, item, out, outcome);
}

std::unique_ptr<ScanFamily> FatFileSystem::MakeScanFamily(std::function<void()> treeChanged) {
  return std::make_unique<FatScanFamily>(volume_, walker_, std::move(treeChanged));
}

}  // namespace torvane::fat
