// The one interface of an opened volume's file system. The front ends (command line, GUI,
// explorer) open a volume, ask for its FileSystem and from then on never ask which one it
// is: they walk it into the item store, read its paths through an ItemTree, read an item's
// content, and hand its scan family to the scan driver. NTFS, FAT12/16/32 and exFAT sit
// behind it; RAW items (kind 1) are read the same way on every file system.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "disk/disk_source.h"
#include "fs/item_content.h"
#include "fs/scan_family.h"
#include "fs/volume_geometry.h"
#include "store/item_store.h"

namespace torvane {

// The folder that holds the entries whose own folder cannot be reached any more.
inline constexpr std::u16string_view kLostFilesFolderName = u"Lost files";

// The paths of the entries of a volume's entry list. Built over the list as it stands; made
// again after a scan added entries. The list must not change while a tree is used.
class ItemTree {
 public:
  virtual ~ItemTree() = default;
  // The names from the volume root to the entry at `index`; "Lost files" first when the
  // entry's folder chain is broken (then `lost` is set). `positions`, when given, receives
  // the list indexes of the entries along the path, root first (none for "Lost files").
  // Empty for an entry that is never shown (a dropped duplicate).
  virtual std::vector<std::u16string_view> PathComponents(uint64_t index, bool* lost = nullptr,
                                                          std::vector<uint64_t>* positions = nullptr) const = 0;
  // Where the entry at `index` is shown, from its own folder alone: inside the folder entry
  // at list position `*holder` (the folder is found, whatever lies above it), at the root,
  // under "Lost files" (its folder is not in the list, or is the entry itself), or never (a
  // dropped duplicate). The explorer places every entry of a large list in one pass this
  // way; PathComponents walks the whole chain.
  enum class Placement : uint8_t { kHeld, kRoot, kLost, kHidden };
  virtual Placement PlaceOf(uint64_t index, uint64_t* holder) const;

  // Whether the entry at `index` is file-system metadata (the NTFS $ files), which a
  // recovery of the whole volume leaves out unless asked to take it.
  virtual bool IsSystemEntry(uint64_t index) const {
    (void)index;
    return false;
  }
};

// What walking a volume's structures found.
struct WalkSummary {
  uint64_t entries = 0;  // entries added to the list
  bool stopped = false;  // the walk was told to stop early; what it found stands
  // Where the entries were found, for messages: "in the MFT", "in the folders".
  std::string foundWhere;
};

class FileSystem {
 public:
  virtual ~FileSystem() = default;

  virtual FsKind Kind() const = 0;

  // Creates the store's lists and walks the volume's structures into the entry list
  // (existing and deleted files and folders). `progress` (may be empty) gets thousandths.
  // False with a one-line reason when the structures cannot be read at all.
  virtual bool Walk(const std::function<void(uint32_t permille)>& progress, WalkSummary& summary,
                    std::string& error) = 0;

  // The paths of the entries of the store's entry list as it stands now.
  virtual std::unique_ptr<ItemTree> MakeTree() const = 0;

  // Delivers the bytes of one of this volume's items (not a RAW item: the content reader
  // reads those itself) through the window. False when the item cannot be read.
  virtual bool ReadItem(ReaderContext& ctx, const FileEntry& item, ContentWindow& out, ReadOutcome& outcome) = 0;

  // The side of a scan that knows this file system: free clusters and the search of what
  // the scan driver reads. `treeChanged` (may be empty) is called when entries joined the
  // list in a way that changes folders already shown.
  virtual std::unique_ptr<ScanFamily> MakeScanFamily(std::function<void()> treeChanged = {}) = 0;

  // Called once after a scan ended (finished, stopped or interrupted): entries that wait
  // for a merge join the list.
  virtual void AfterScan() {}
};

// The file system of the open volume, ready to be walked: NTFS, FAT12/16/32 or exFAT. Null
// with a one-line reason ("an ext2 volume, which Torvane cannot read", "a damaged NTFS
// volume ...") otherwise.
std::unique_ptr<FileSystem> OpenFileSystem(DiskSource& source, const VolumeGeometry& geometry, ItemStore& store,
                                           std::string& error);

}  // namespace torvane
