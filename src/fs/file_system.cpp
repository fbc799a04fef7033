#include "fs/file_system.h"

#include "fs/exfat/exfat_file_system.h"
#include "fs/fat/fat_file_system.h"
#include "fs/ntfs/ntfs_file_system.h"
#include "fs/raw_file_system.h"

namespace torvane {

ItemTree::Placement ItemTree::PlaceOf(uint64_t index, uint64_t* holder) const {
  bool lost = false;
  std::vector<uint64_t> positions;
  if (PathComponents(index, &lost, &positions).empty()) return Placement::kHidden;
  if (!positions.empty() && positions.back() == index) positions.pop_back();
  if (!positions.empty()) {
    *holder = positions.back();
    return Placement::kHeld;
  }
  return lost ? Placement::kLost : Placement::kRoot;
}

std::unique_ptr<FileSystem> OpenFileSystem(DiskSource& source, const VolumeGeometry& geometry, ItemStore& store,
                                           std::string& error) {
  switch (geometry.fsKind) {
    case FsKind::kNtfs:
      if (geometry.damaged) {
        error = "a damaged NTFS volume whose MFT cannot be found";
        return nullptr;
      }
      return std::make_unique<ntfs::NtfsFileSystem>(source, geometry, store);
    case FsKind::kFat12:
    case FsKind::kFat16:
    case FsKind::kFat32:
      return std::make_unique<fat::FatFileSystem>(source, geometry, store);
    case FsKind::kExfat:
      if (geometry.damaged) {
        error = "a damaged exFAT volume whose folders cannot be read";
        return nullptr;
      }
      return std::make_unique<exfat::ExfatFileSystem>(source, geometry, store);
    case FsKind::kNone:
    case FsKind::kOther:
      // No file system Torvane reads (or the whole disk): RAW mode, found by content only.
      return OpenRawFileSystem(source, geometry, store);
    case FsKind::kAutomatic:
      break;
  }
  error = "not a volume with a file system Torvane can read";
  return nullptr;
}

}  // namespace torvane
