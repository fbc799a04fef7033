#include "fs/cluster_tree.h"

#include <algorithm>
#include <unordered_set>

namespace torvane {
namespace {

// Folder chains deeper than this are damaged.
constexpr size_t kMaxClusterPathDepth = 512;

}  // namespace

ClusterTree::ClusterTree(const DynList& list, uint32_t rootId) : list_(list), rootId_(rootId) {
  const uint64_t n = EntryCount(list);
  for (uint64_t i = 0; i < n; ++i) {
    const FileEntry e = EntryAt(list, i);
    if (!e.IsFolder() || e.link == 0 || e.link == kNoParent || e.state == kStateDuplicate) continue;
    auto [it, added] = folders_.emplace(e.link, i);
    if (!added && e.state == kStateExisting && EntryAt(list, it->second).state != kStateExisting) it->second = i;
  }
}

uint32_t ClusterTree::HolderOf(const FileEntry& e) {
  const auto holder = static_cast<uint32_t>(e.dataStart);
  if (holder != 0) return holder;
  return e.HasParent() ? e.parent : 0;
}

int64_t ClusterTree::FolderIndex(uint32_t cluster) const {
  auto it = folders_.find(cluster);
  return it == folders_.end() ? -1 : static_cast<int64_t>(it->second);
}

std::vector<std::u16string_view> ClusterTree::PathComponents(uint64_t index, bool* lost,
                                                             std::vector<uint64_t>* positions) const {
  std::vector<std::u16string_view> names;
  std::vector<uint64_t> along;
  if (index >= EntryCount(list_)) return names;
  FileEntry e = EntryAt(list_, index);
  if (e.state == kStateDuplicate) return names;
  names.push_back(EntryName(list_, e));
  along.push_back(index);
  bool isLost = false;
  std::unordered_set<uint64_t> seen{index};
  for (size_t depth = 0;; ++depth) {
    const uint32_t holder = HolderOf(e);
    if (holder == 0 || holder == rootId_) break;
    const int64_t at = FolderIndex(holder);
    // A holder that is no folder of the list, a chain that loops or runs too deep: lost.
    if (at < 0 || depth >= kMaxClusterPathDepth || !seen.insert(static_cast<uint64_t>(at)).second) {
      isLost = true;
      break;
    }
    e = EntryAt(list_, static_cast<uint64_t>(at));
    names.push_back(EntryName(list_, e));
    along.push_back(static_cast<uint64_t>(at));
  }
  if (isLost) names.push_back(kLostFilesFolderName);
  std::reverse(names.begin(), names.end());
  if (positions != nullptr) *positions = std::vector<uint64_t>(along.rbegin(), along.rend());
  if (lost != nullptr) *lost = isLost;
  return names;
}

ItemTree::Placement ClusterTree::PlaceOf(uint64_t index, uint64_t* holder) const {
  if (index >= EntryCount(list_)) return Placement::kHidden;
  const FileEntry e = EntryAt(list_, index);
  if (e.state == kStateDuplicate) return Placement::kHidden;
  const uint32_t folder = HolderOf(e);
  if (folder == 0 || folder == rootId_) return Placement::kRoot;
  const int64_t at = FolderIndex(folder);
  if (at < 0 || static_cast<uint64_t>(at) == index) return Placement::kLost;
  *holder = static_cast<uint64_t>(at);
  return Placement::kHeld;
}

}  // namespace torvane
