// The paths of a FAT or exFAT volume's entries. Folders there have no record numbers: a
// folder is known by its first cluster, which its entry keeps in `link`, and every entry
// keeps the identifier of the folder it was read from in the low 32 bits of `dataStart`
// (lost folders found in free space name their parent's first cluster in `parent` instead).
// The tree joins the two. Where several folder entries start at the same cluster (a deleted
// folder whose cluster was given to a new one) the first existing folder wins, else the
// first one listed.
#pragma once

#include <cstdint>
#include <unordered_map>
#include <vector>

#include "fs/file_system.h"
#include "store/dyn_list.h"

namespace torvane {

class ClusterTree final : public ItemTree {
 public:
  // `rootId` is the identifier the root folder's entries carry (FAT12/16: the fixed root
  // area's identifier; FAT32 and exFAT: the root's first cluster). A parent identifier of 0
  // also means the root, as a ".." entry says it. The list must not change while the tree
  // is used.
  ClusterTree(const DynList& list, uint32_t rootId);

  std::vector<std::u16string_view> PathComponents(uint64_t index, bool* lost = nullptr,
                                                  std::vector<uint64_t>* positions = nullptr) const override;

  Placement PlaceOf(uint64_t index, uint64_t* holder) const override;

  // The list index of the folder entry whose first cluster is `cluster`, or -1.
  int64_t FolderIndex(uint32_t cluster) const;

  // The identifier of the folder that holds `e`.
  static uint32_t HolderOf(const FileEntry& e);

 private:
  const DynList& list_;
  uint32_t rootId_;
  std::unordered_map<uint32_t, uint64_t> folders_;
};

}  // namespace torvane
