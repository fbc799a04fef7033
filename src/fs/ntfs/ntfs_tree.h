// The folder tree of an NTFS scan: entry paths from the parent references, and the folder
// listing the explorer walks. No index records are read; folder membership comes from the
// parent reference in each entry's $FILE_NAME.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <unordered_map>
#include <vector>

#include "fs/file_system.h"
#include "store/dyn_list.h"
#include "store/file_entry.h"
#include "store/item_store.h"

namespace torvane::ntfs {

constexpr uint64_t kRootFolderRecord = 5;
// Records below this hold the metadata files ($MFT to $Extend are 0 to 11; 12 to 23 are
// reserved for more).
constexpr uint64_t kFirstUserRecord = 24;
// The text before the first backslash of a path on a disk opened from an image.
constexpr std::u16string_view kImageVolumeRoot = u"$:";
constexpr std::u16string_view kLostFilesFolder = kLostFilesFolderName;
// Parent chains deeper than this are damaged (NTFS paths end far earlier).
constexpr size_t kMaxPathDepth = 512;

class NtfsTree final : public ItemTree {
 public:
  // Indexes the entries of `list` by record number (a folder wins over a file of the same
  // number, then the first one found). The list must not change while the tree is used.
  explicit NtfsTree(const DynList& list);

  // The names from the volume root to the entry at `index`; "Lost files" first when the
  // chain reaches a parent that is not in the list, or an entry whose parent record now
  // holds another folder (and no older folder of that number was found). A chain that loops
  // ends there, as lost.
  // `positions`, when given, receives the indexes of the entries along the path, root first.
  std::vector<std::u16string_view> PathComponents(uint64_t index, bool* lost = nullptr,
                                                  std::vector<uint64_t>* positions = nullptr) const override;
  Placement PlaceOf(uint64_t index, uint64_t* holder) const override;
  // NTFS metadata: a root entry whose name starts with "$" and whose record is below 24
  // ($MFT to $Extend and the reserved records), or anything below such a folder ($Extend).
  bool IsSystemEntry(uint64_t index) const override;
  // The full path as the explorer shows it: the root text, then each name after a backslash.
  std::u16string BuildEntryPath(uint64_t index, std::u16string_view rootText = kImageVolumeRoot) const;

  // The entry index of the folder with that record number, or -1.
  int64_t FolderIndex(uint64_t recordNumber) const;

 private:
  // Entry index + 1 by record number (0: none). Record numbers of an MFT are dense, so a
  // vector indexed by them costs 4 bytes a record; numbers found far beyond the MFT's size
  // (records from free space) go to a map.
  static constexpr uint32_t kNone = 0;
  uint64_t Lookup(uint64_t recordNumber) const;
  void Set(uint64_t recordNumber, uint64_t index);

  const DynList& list_;
  std::vector<uint32_t> dense_;
  std::unordered_map<uint64_t, uint64_t> sparse_;
  // A second folder with the same record number (found in free space): the old folder of
  // entries whose parent reference is stale.
  std::unordered_map<uint64_t, uint64_t> older_;
};

// Folder identifiers of the listing besides record numbers.
constexpr uint64_t kAllEntriesFolderId = ~uint64_t{0};
constexpr uint64_t kSyntheticFolderId = ~uint64_t{0} - 1;  // -2
constexpr uint64_t kRawFolderIdA = ~uint64_t{0} - 2;       // -3
constexpr uint64_t kRawFolderIdB = ~uint64_t{0} - 3;       // -4

using DisplayFilter = std::function<bool(const FileEntry&)>;
// The filter that admits everything (the display filter of the explorer comes later).
inline bool AdmitAll(const FileEntry&) {
  return true;
}

struct NtfsFolderCursor {
  uint64_t folderId = 0;
  uint64_t position = 0;
  uint64_t end = 0;
  const DynList* list = nullptr;
  bool syntheticPending = false;
};

// Opens a folder: its children are the entries whose parent is `folderId`, in list order.
// For the virtual identifiers, `folderEntry` (when given) is filled as a virtual folder.
NtfsFolderCursor OpenNtfsFolder(ItemStore& store, uint64_t folderId, FileEntry* folderEntry = nullptr);
// The next child that passes the filter: a copy with `link` set to its byte offset in the
// list and `virtualFlag` 1. False at the end.
bool NextNtfsItem(ItemStore& store, NtfsFolderCursor& cursor, FileEntry& item, const DisplayFilter& filter = AdmitAll);
void CloseNtfsFolder(NtfsFolderCursor& cursor);

}  // namespace torvane::ntfs
