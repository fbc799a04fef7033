// The folder cursor of FAT12/16/32: opens a folder (the fixed root area, a folder's
// clusters, or a virtual folder of the entry lists) and hands out its items one by one as
// entries of the item store, checked against the volume.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "fs/fat/assess.h"
#include "fs/fat/dir_entry.h"
#include "fs/fat/fat_volume.h"
#include "store/file_entry.h"

namespace torvane::fat {

// Virtual folders: they list entry lists rather than a folder of the volume.
inline constexpr uint64_t kDeletedEntriesFolder = 0x33333333;  // the deleted-entries list
inline constexpr uint64_t kRawFilesFolder = 0x22222222;        // the RAW-files list
inline constexpr uint64_t kRawFilesFolderToo = 0x44444444;     // the same
inline constexpr uint64_t kLostFilesFolder = 0x11000000;       // the whole lost-files list
// The lost-files entries whose parent is cluster `c`. Keyed on the whole cluster: the link a
// placeholder stores (0x11000000 + c) keeps only the lower 24 bits of c, and two parents of
// a volume with 16 M clusters or more would share it.
constexpr uint64_t LostParentFolder(uint32_t c) {
  return (uint64_t{1} << 32) | c;
}

struct FatItem {
  FileEntry entry;
  std::u16string name;
  DirItem raw;  // the decoded directory item (volume folders only)
};

struct FolderCursor {
  uint64_t folderId = 0;
  uint32_t mode = kModeFull;
  AssessView view = AssessView::kFull;
  std::vector<std::byte> bytes;  // the whole folder, read once
  size_t position = 0;
  const DynList* list = nullptr;  // virtual folders
  uint64_t index = 0;
  bool byParent = false;
  uint32_t parentCluster = 0;
  bool open = false;
};

// Opens a folder. A folder is refused only when its first entry is not a plausible entry
// (its access date is not looked at: cameras leave it 0); a refused or unreadable folder
// lists nothing.
bool OpenFolder(FatVolume& volume, uint32_t mode, uint64_t folderId, FolderCursor& cursor,
                AssessView view = AssessView::kFull);
// The next item; false at the end of the folder. "." and ".." and volume labels are items
// too (the caller chooses what to show).
bool NextEntry(FatVolume& volume, FolderCursor& cursor, FatItem& out);
void CloseFolder(FolderCursor& cursor);

// The entry of an item read from folder `folderId`: the fields the store keeps for FAT,
// the chain and folder tests, and for a deleted item the overwrite assessment.
FileEntry MakeEntry(FatVolume& volume, const DirItem& item, uint32_t folderId, uint32_t mode, AssessView view);

// A DOS date and time (taken as UTC) as a FILETIME; 0 when the date is 0.
uint64_t DosToFiletime(uint16_t date, uint16_t time);

}  // namespace torvane::fat
