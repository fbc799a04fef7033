// The walk of a FAT folder tree into the deleted-entries list: every existing and deleted
// file and folder below a folder, with loop protection. The file system's walk starts at
// the root; the scan starts it again at each lost folder it finds in free space.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <unordered_set>

#include "fs/fat/fat_volume.h"

namespace torvane::fat {

// Folders nested deeper than this are damaged (a path of 260 characters holds at most 130).
inline constexpr size_t kMaxFolderDepth = 256;

class FatWalker {
 public:
  explicit FatWalker(FatVolume& volume) : v_(volume) {}

  // Forgets every folder walked and every link noted (the list was created again).
  void Reset();

  // Appends the items of folder `folderId` and of the folders below it that can still be
  // read (existing ones, and deleted ones whose first cluster is free and still a folder),
  // each folder once. Returns the entries added; false in `readable` when `folderId`
  // itself could not be opened.
  uint64_t AddTree(uint32_t folderId, const std::atomic<bool>* stop, bool* readable = nullptr,
                   const std::function<void(uint32_t)>& progress = {});

  // Appends one entry unless `checkLink` and an entry with its link is there already.
  bool Append(FileEntry entry, std::u16string_view name, bool checkLink);

  bool IsKnownFolder(uint32_t link) const;
  bool IsKnownLink(uint32_t link) const;

 private:
  FatVolume& v_;
  mutable std::mutex lock_;                   // guards the sets
  std::unordered_set<uint32_t> walked_;       // folders whose items were read
  std::unordered_set<uint32_t> folderLinks_;  // first clusters of folder entries in the list
  std::unordered_set<uint32_t> links_;        // first clusters of every entry in the list
};

}  // namespace torvane::fat
