#include "fs/exfat/exfat_file_system.h"

#include <deque>

#include "fs/cluster_tree.h"
#include "fs/exfat/exfat_content.h"
#include "fs/exfat/exfat_scan_family.h"

namespace torvane::exfat {
namespace {

// Folders nested deeper than this are damaged (a chain of folders that loops through
// clusters the visited set does not catch cannot be deeper than the volume anyway).
constexpr uint32_t kMaxFolderDepth = 512;

}  // namespace

ExfatFileSystem::ExfatFileSystem(DiskSource& source, const VolumeGeometry& geometry, ItemStore& store)
    : g_(geometry), store_(store), volume_(geometry) {
  (void)source;
}

bool ExfatFileSystem::Walk(const std::function<void(uint32_t permille)>& progress, WalkSummary& summary,
                           std::string& error) {
  store_.Create();
  walkedFolderClusters_.clear();
  summary.foundWhere = "in the folders";
  const uint32_t root = g_.rootDirectoryCluster;
  if (!volume_.InVolume(root)) {
    error = "the root folder of the exFAT volume lies outside it";
    return false;
  }
  struct Pending {
    uint32_t cluster;
    FolderRoad road;
    uint64_t bytes;
    uint32_t depth;
  };
  std::deque<Pending> queue{{root, FolderRoad::kChain, 0, 0}};
  // Folders are known by their first cluster; each is read once, so loops end.
  std::unordered_set<uint32_t> queued{root};
  while (!queue.empty()) {
    const Pending p = queue.front();
    queue.pop_front();
    ExFolderCursor cursor;
    cursor.folderId = p.cluster;
    std::vector<uint32_t> clusters;
    if (!volume_.OpenExFolder(p.cluster, p.road, p.bytes, cursor.bytes, &clusters)) {
      if (p.cluster == root) {
        error = "the root folder of the exFAT volume cannot be read";
        return false;
      }
      continue;
    }
    walkedFolderClusters_.insert(clusters.begin(), clusters.end());
    FileEntry e;
    while (NextExEntry(volume_, cursor, e, contentCheck)) {
      if (!store_.AppendEntryLocked(store_.deletedEntries, e, cursor.set.name)) {
        error = "memory ran out while the folders were listed";
        return false;
      }
      ++summary.entries;
      const bool deleted = IsDeletedEx(e);
      if (deleted) store_.deletedCount.fetch_add(1, std::memory_order_relaxed);
      if (!e.IsFolder() || p.depth >= kMaxFolderDepth || !volume_.InVolume(e.link) || queued.count(e.link)) continue;
      if (!deleted) {
        const bool contiguous = (e.reserved43 & kExNoFatChain) != 0;
        queue.push_back(
            {e.link, contiguous ? FolderRoad::kConsecutive : FolderRoad::kChain, cursor.set.dataLength, p.depth + 1});
      } else if (!volume_.InUse(e.link)) {
        // A deleted folder is read only while its clusters are free: an allocated first
        // cluster holds someone else's data now.
        queue.push_back({e.link, cursor.set.dataLength == 0 ? FolderRoad::kFreeSpace : FolderRoad::kDeleted,
                         cursor.set.dataLength, p.depth + 1});
      } else {
        continue;
      }
      queued.insert(e.link);
    }
  }
  if (progress) progress(1000);
  return true;
}

std::unique_ptr<ItemTree> ExfatFileSystem::MakeTree() const {
  return std::make_unique<ClusterTree>(store_.deletedEntries, g_.rootDirectoryCluster);
}

bool ExfatFileSystem::ReadItem(ReaderContext& ctx, const FileEntry& item, ContentWindow& out, ReadOutcome& outcome) {
  return ReadExfatItem(ctx, item, out, outcome);
}

std::unique_ptr<ScanFamily> ExfatFileSystem::MakeScanFamily(std::function<void()> treeChanged) {
  return std::make_unique<ExfatScanFamily>(g_, store_, walkedFolderClusters_, contentCheck, std::move(treeChanged));
}

}  // namespace torvane::exfat
