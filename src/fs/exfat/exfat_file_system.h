// exFAT behind the one file-system interface: the walk of the whole folder tree (files and
// folders in use and deleted) into the entry list, paths through the shared cluster tree,
// the exFAT content reader, and the exFAT scan family (folders found in free space).
#pragma once

#include <memory>
#include <unordered_set>

#include "fs/exfat/exfat_folder.h"
#include "fs/file_system.h"

namespace torvane::exfat {

class ExfatFileSystem final : public FileSystem {
 public:
  ExfatFileSystem(DiskSource& source, const VolumeGeometry& geometry, ItemStore& store);

  FsKind Kind() const override { return FsKind::kExfat; }
  bool Walk(const std::function<void(uint32_t permille)>& progress, WalkSummary& summary, std::string& error) override;
  std::unique_ptr<ItemTree> MakeTree() const override;
  bool ReadItem(ReaderContext& ctx, const FileEntry& item, ContentWindow& out, ReadOutcome& outcome) override;
  std::unique_ptr<ScanFamily> MakeScanFamily(std::function<void()> treeChanged) override;

  // The content check given to deleted files (tests replace it; null: none).
  ContentCheckFn contentCheck = &CheckByExtension;

 private:
  const VolumeGeometry& g_;
  ItemStore& store_;
  ExVolume volume_;
  // The clusters of every folder the walk read: the scan does not list them again.
  std::unordered_set<uint32_t> walkedFolderClusters_;
};

}  // namespace torvane::exfat
