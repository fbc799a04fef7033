#include "fs/ntfs/ntfs_file_system.h"

#include "fs/ntfs/mft_walk.h"
#include "fs/ntfs/ntfs_content.h"
#include "fs/ntfs/ntfs_scan_family.h"
#include "fs/ntfs/ntfs_tree.h"
#include "fs/ntfs/record_search.h"

namespace torvane::ntfs {

NtfsFileSystem::NtfsFileSystem(DiskSource& source, const VolumeGeometry& geometry, ItemStore& store)
    : store_(store), volume_(source, geometry, &store.Messages()) {}

bool NtfsFileSystem::Walk(const std::function<void(uint32_t permille)>& progress, WalkSummary& summary,
                          std::string& error) {
  store_.Create();
  MftWalkControl control;
  control.progress = progress;
  const MftWalkResult walk = RunMftWalk(volume_, store_, control);
  summary.entries = walk.entries;
  summary.stopped = walk.stopped;
  summary.foundWhere = "in the MFT";
  if (!walk.ok) error = walk.error;
  return walk.ok;
}

std::unique_ptr<ItemTree> NtfsFileSystem::MakeTree() const {
  return std::make_unique<NtfsTree>(store_.deletedEntries);
}

bool NtfsFileSystem::ReadItem(ReaderContext& ctx, const FileEntry& item, ContentWindow& out, ReadOutcome& outcome) {
  if (ctx.ntfs == nullptr) ctx.ntfs = &volume_;
  return ReadNtfsItem(ctx, item, out, outcome);
}

std::unique_ptr<ScanFamily> NtfsFileSystem::MakeScanFamily(std::function<void()> treeChanged) {
  return std::make_unique<NtfsScanFamily>(volume_, store_, std::move(treeChanged));
}

void NtfsFileSystem::AfterScan() {
  if (store_.pendingRebuildCount > 0) MergeRebuiltEntries(store_);
}

}  // namespace torvane::ntfs
