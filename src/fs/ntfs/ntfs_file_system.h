// NTFS behind the one file-system interface: the MFT walk, the tree of parent references,
// the NTFS content reader and the NTFS scan family.
#pragma once

#include <memory>

#include "fs/file_system.h"
#include "fs/ntfs/ntfs_volume.h"

namespace torvane::ntfs {

class NtfsFileSystem final : public FileSystem {
 public:
  NtfsFileSystem(DiskSource& source, const VolumeGeometry& geometry, ItemStore& store);

  FsKind Kind() const override { return FsKind::kNtfs; }
  bool Walk(const std::function<void(uint32_t permille)>& progress, WalkSummary& summary, std::string& error) override;
  std::unique_ptr<ItemTree> MakeTree() const override;
  bool ReadItem(ReaderContext& ctx, const FileEntry& item, ContentWindow& out, ReadOutcome& outcome) override;
  std::unique_ptr<ScanFamily> MakeScanFamily(std::function<void()> treeChanged) override;
  void AfterScan() override;

  NtfsVolume& Volume() { return volume_; }

 private:
  ItemStore& store_;
  NtfsVolume volume_;
};

}  // namespace torvane::ntfs
