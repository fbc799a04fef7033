// FAT12, FAT16 and FAT32 behind the one file-system interface: the folder walk, the tree
// of folder clusters, the FAT content reader and the FAT scan family.
#pragma once

#include <memory>

#include "fs/fat/fat_volume.h"
#include "fs/fat/fat_walk.h"
#include "fs/file_system.h"

namespace torvane::fat {

class FatFileSystem final : public FileSystem {
 public:
  FatFileSystem(DiskSource& source, const VolumeGeometry& geometry, ItemStore& store);

  FsKind Kind() const override { return volume_.Geometry().fsKind; }
  bool Walk(const std::function<void(uint32_t permille)>& progress, WalkSummary& summary, std::string& error) override;
  std::unique_ptr<ItemTree> MakeTree() const override;
  bool ReadItem(ReaderContext& ctx, const FileEntry& item, ContentWindow& out, ReadOutcome& outcome) override;
  std::unique_ptr<ScanFamily> MakeScanFamily(std::function<void()> treeChanged) override;

  FatVolume& Volume() { return volume_; }

 private:
  ItemStore& store_;
  FatVolume volume_;
  FatWalker walker_;
};

}  // namespace torvane::fat
