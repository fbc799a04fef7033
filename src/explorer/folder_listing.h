// The folders of the open volume as the explorer shows them, and the listing of one folder
// into rows. Everything goes through the file system's ItemTree and the store's lists, so
// every file system is listed the same way.
//
// Folders: the root, the real folders (by their entry in the deleted-entries list), "Lost
// files" (entries whose folder chain is broken), "Rebuild" (records found in free space that
// wait for the merge), "RAW files" and its sub-folders, one per extension of the RAW items.
//
// Thread safety: a scan may append to the lists at any time. Every read of a list happens
// under the store's entry-list lock; when the lists grew since the last listing, the folder
// index (and the ItemTree behind it) is made again first. List() may run on a worker.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "explorer/display_filter.h"
#include "explorer/navigation.h"
#include "fs/file_system.h"
#include "store/file_entry.h"
#include "store/item_store.h"

namespace torvane::explorer {

// The folder shown for search results (always in natural order).
inline constexpr FolderRef kSearchResultsFolderRef = 0x44444444;

// One row of the list: a copy of the entry, its name, and where it came from.
struct Row {
  FileEntry entry;
  std::u16string name;               // the stored name, or the generated one
  uint32_t list = 0;                 // the store list it came from (kDeletedEntriesId, ...); 0: made here
  uint64_t index = 0;                // its index in that list
  FolderRef opens = kRootFolderRef;  // folder rows: the folder a double click lists
  bool IsFolderRow() const { return entry.IsFolder() || entry.kind >= kKindVirtualFolder; }
};

struct FolderListing {
  FolderRef folder = kRootFolderRef;
  std::vector<Row> rows;
  size_t firstSortable = 0;  // 3 at the root (the virtual folders stay on top), 1 below (".."), else 0
  bool found = true;         // false: no such folder
  bool stopped = false;      // the stop flag ended the listing early
};

// A folder of the tree view.
struct FolderNode {
  FolderRef ref = kRootFolderRef;
  std::u16string name;
};

class VolumeFolders {
 public:
  // `fileSystem` and `store` must outlive this object.
  VolumeFolders(ItemStore& store, const FileSystem& fileSystem);
  ~VolumeFolders();

  FsKind Kind() const { return kind_; }

  // The rows of `folder` that the filter admits, in natural order: at the root first the
  // three virtual folders, below the root a ".." row first. `stop` (may be null) ends the
  // listing early. Safe on any thread, also while a scan appends.
  FolderListing List(FolderRef folder, const FilterSnapshot& filter, const std::atomic<bool>* stop = nullptr);

  // The sub-folders of a folder for the tree view (virtual ones included at the root).
  std::vector<FolderNode> SubFolders(FolderRef folder);
  // The parent of a folder (the root for the root and the top virtual folders).
  FolderRef ParentOf(FolderRef folder);
  // The chain from the root to `folder` (the root itself is an empty chain).
  FolderChain ChainOf(FolderRef folder);
  // A folder's own name ("Lost files", "RAW files", an extension's "JPG", a folder's name).
  std::u16string FolderName(FolderRef folder);
  // The path box text: `rootLabel` ("$:\") then the names joined by backslashes.
  std::u16string PathText(FolderRef folder, std::u16string_view rootLabel);
  // Rows for entries of the deleted-entries list given by index (search results).
  FolderListing RowsOf(const std::vector<uint64_t>& indexes);

  // Writes a row's mark or size back to its entry in the store (so recovery sees it).
  void StoreMark(const Row& row);
  void StoreSize(const Row& row);

 private:
  struct Index;
  // Makes the index again when the lists grew; called with the entry-list lock held.
  void RefreshLocked();
  Row MakeRowLocked(uint32_t list, uint64_t index) const;

  ItemStore& store_;
  const FileSystem& fileSystem_;
  FsKind kind_;
  std::mutex indexLock_;  // taken before the entry-list lock
  std::unique_ptr<Index> index_;
};

}  // namespace torvane::explorer
