#include "fs/exfat/exfat_scan_family.h"

#include <cstdio>

namespace torvane::exfat {
namespace {

// Items whose data the folder tree no longer vouches for.
bool NotIntact(const FileEntry& e) {
  return IsDeletedEx(e) || e.hasChain == 0 || e.kind == kKindPartlyOverwritten || e.kind == kKindUnverifiable;
}

}  // namespace

uint64_t ScanClustersForExFolders(const ExVolume& volume, ItemStore& store, const RunDescriptor& run,
                                  const std::unordered_set<uint32_t>& walkedFolders,
                                  std::unordered_set<uint32_t>& listedLinks, ContentCheckFn check,
                                  const std::atomic<bool>* stop) {
  const uint64_t clusterBytes = volume.ClusterBytes();
  uint64_t added = 0;
  for (uint64_t i = 0; i < run.clusters && (i + 1) * clusterBytes <= run.data.size(); ++i) {
    if (stop != nullptr && stop->load(std::memory_order_relaxed)) break;
    const uint64_t c = run.firstCluster + i;
    if (c > 0xFFFFFFFF || !LooksLikeFolderStart(run.data.subspan(i * clusterBytes, kEntryBytes))) continue;
    const auto cluster = static_cast<uint32_t>(c);
    // Folders the walk read, and clusters already read as part of a folder found earlier.
    if (walkedFolders.count(cluster) || listedLinks.count(cluster)) continue;
    ExFolderCursor cursor;
    cursor.folderId = cluster;
    std::vector<uint32_t> clusters;
    if (!volume.OpenExFolder(cluster, FolderRoad::kFreeSpace, 0, cursor.bytes, &clusters)) continue;
    std::vector<std::pair<FileEntry, std::u16string>> items;
    FileEntry e;
    while (NextExEntry(volume, cursor, e, check)) {
      if (!NotIntact(e) || (e.link != 0 && listedLinks.count(e.link))) continue;
      e.parent = cluster;
      items.emplace_back(e, cursor.set.name);
    }
    if (items.empty()) continue;
    // The folder itself: known only by its cluster, its own entry is gone; it lies under
    // "Lost files" (its holder is no folder of the list).
    FileEntry folder;
    folder.link = cluster;
    folder.folderFlag = kFolderFlag;
    folder.dataStart = kNoParent;
    folder.parent = kNoParent;
    folder.state = kStateFoundInFreeSpace;
    char name[16];
    std::snprintf(name, sizeof name, "#%.9u", cluster);
    const std::u16string folderName(name, name + std::char_traits<char>::length(name));
    if (!store.AppendEntryLocked(store.deletedEntries, folder, folderName)) break;
    for (uint32_t k : clusters) listedLinks.insert(k);
    ++added;
    for (auto& [item, itemName] : items) {
      if (!store.AppendEntryLocked(store.deletedEntries, item, itemName)) return added;
      if (item.link != 0) listedLinks.insert(item.link);
      store.deletedCount.fetch_add(1, std::memory_order_relaxed);
      ++added;
    }
  }
  return added;
}

ExfatScanFamily::ExfatScanFamily(const VolumeGeometry& geometry, ItemStore& store,
                                 const std::unordered_set<uint32_t>& walked, ContentCheckFn check,
                                 std::function<void()> treeChanged)
    : volume_(geometry, &store.allocationMap),
      store_(store),
      walked_(walked),
      check_(check),
      treeChanged_(std::move(treeChanged)) {}

uint64_t ExfatScanFamily::CountFreeClusters(AllocationMap* map) {
  uint64_t free = 0;
  for (uint64_t c = 2; c <= volume_.LastCluster(); ++c) {
    if (!volume_.InUse(c)) {
      ++free;
    } else if (map != nullptr) {
      map->MarkCluster(c, AllocationMap::kAllocated);
    }
  }
  return free;
}

bool ExfatScanFamily::IsClusterFree(uint64_t cluster) const {
  return volume_.InVolume(cluster) && !volume_.InUse(cluster);
}

void ExfatScanFamily::SearchRun(const RunDescriptor& run, const std::atomic<bool>* stop) {
  if (!linksTaken_) {
    // Items the walk listed are not appended again.
    std::lock_guard lock(store_.entryListLock);
    const uint64_t n = EntryCount(store_.deletedEntries);
    for (uint64_t i = 0; i < n; ++i) {
      const FileEntry e = EntryAt(store_.deletedEntries, i);
      if (e.link != 0) listedLinks_.insert(e.link);
    }
    linksTaken_ = true;
  }
  if (ScanClustersForExFolders(volume_, store_, run, walked_, listedLinks_, check_, stop) > 0 && treeChanged_)
    treeChanged_();
}

}  // namespace torvane::exfat
