#include "fs/fat/fat_walk.h"

#include <utility>
#include <vector>

#include "fs/fat/folder_cursor.h"

namespace torvane::fat {

void FatWalker::Reset() {
  std::lock_guard<std::mutex> lock(lock_);
  walked_.clear();
  folderLinks_.clear();
  links_.clear();
}

bool FatWalker::IsKnownFolder(uint32_t link) const {
  std::lock_guard<std::mutex> lock(lock_);
  return folderLinks_.count(link) != 0;
}

bool FatWalker::IsKnownLink(uint32_t link) const {
  std::lock_guard<std::mutex> lock(lock_);
  return links_.count(link) != 0;
}

bool FatWalker::Append(FileEntry e, std::u16string_view name, bool checkLink) {
  {
    std::lock_guard<std::mutex> lock(lock_);
    if (checkLink && links_.count(e.link) != 0) return false;
    links_.insert(e.link);
    if (e.IsFolder()) folderLinks_.insert(e.link);
  }
  ItemStore& store = v_.Store();
  if (!store.AppendEntryLocked(store.deletedEntries, e, name)) return false;
  if (e.state != kStateExisting) ++store.deletedCount;
  return true;
}

uint64_t FatWalker::AddTree(uint32_t folderId, const std::atomic<bool>* stop, bool* readable,
                            const std::function<void(uint32_t)>& progress) {
  uint64_t added = 0, done = 0;
  std::vector<std::pair<uint32_t, size_t>> pending;  // folder, depth
  {
    std::lock_guard<std::mutex> lock(lock_);
    if (!walked_.insert(folderId).second) return 0;
  }
  pending.emplace_back(folderId, 0);
  FolderCursor cursor;
  FatItem item;
  bool first = true;
  while (!pending.empty()) {
    if (stop != nullptr && stop->load()) break;
    const auto [id, depth] = pending.back();
    pending.pop_back();
    const bool opened = OpenFolder(v_, kModeFull, id, cursor);
    if (first && readable != nullptr) *readable = opened;
    first = false;
    while (opened && NextEntry(v_, cursor, item)) {
      const DirItem& raw = item.raw;
      if (raw.dot || raw.volumeLabel || !raw.usable) continue;
      if (!Append(item.entry, item.name, false)) continue;
      ++added;
      const FileEntry& e = item.entry;
      if (!e.IsFolder() || !v_.InVolume(e.link) || depth + 1 >= kMaxFolderDepth) continue;
      // A deleted folder whose cluster went to someone else holds their data now.
      if (raw.deleted && (e.kind == kKindPartlyOverwritten || !v_.IsFreeCluster(e.link))) continue;
      std::lock_guard<std::mutex> lock(lock_);
      if (walked_.insert(e.link).second) pending.emplace_back(e.link, depth + 1);
    }
    CloseFolder(cursor);
    ++done;
    if (progress) progress(static_cast<uint32_t>(done * 1000 / (done + pending.size())));
  }
  return added;
}

}  // namespace torvane::fat
