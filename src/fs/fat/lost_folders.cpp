#include "fs/fat/lost_folders.h"

#include <cstdio>
#include <mutex>
#include <unordered_set>

#include "fs/cluster_tree.h"
#include "fs/fat/fat_directory.h"
#include "fs/fat/folder_cursor.h"

namespace torvane::fat {
namespace {

bool StartsWithDots(ByteSpan c) {
  return c.size() >= 3 * kDirEntryBytes &&
         std::equal(c.begin(), c.begin() + 11, ".          ",
                    [](std::byte b, char ch) { return std::to_integer<char>(b) == ch; }) &&
         std::equal(c.begin() + 32, c.begin() + 43, "..         ",
                    [](std::byte b, char ch) { return std::to_integer<char>(b) == ch; });
}

// Entries one after the other up to the end marker, each plausible in the stricter sense of
// a search through free space; at least one.
bool HoldsOnlyEntries(const FatVolume& v, ByteSpan c) {
  size_t passed = 0;
  for (size_t at = 0; at + kDirEntryBytes <= c.size(); at += kDirEntryBytes) {
    const ByteSpan e = c.subspan(at, kDirEntryBytes);
    const uint8_t first = LeU8(e, 0);
    if (first == 0) break;
    if (!IsPlausibleEntry(e)) return false;
    if (LeU8(e, 11) == kAttrLongName) {
      if (first != kEntryDeleted && (first < 0x41 || first > 0x4F) && (first < 0x01 || first > 0x14)) return false;
    } else {
      for (size_t i = 0; i < 11; ++i)
        if (LeU8(e, i) < 0x20) return false;
      const uint32_t cluster = (v.Fat32() ? uint32_t{LeU16(e, 0x14)} << 16 : 0) | LeU16(e, 0x1A);
      if (cluster != 0 && !v.InVolume(cluster)) return false;
    }
    ++passed;
  }
  return passed > 0;
}

// The name the parent folder gives the folder at `cluster`, when it still gives one.
bool NameInParent(FatVolume& v, uint32_t parent, uint32_t cluster, std::u16string& name) {
  FolderCursor cursor;
  if (!OpenFolder(v, kModeNoAssessment, parent, cursor)) return false;
  FatItem item;
  while (NextEntry(v, cursor, item)) {
    const DirItem& r = item.raw;
    if (!r.IsFolder() || r.dot) continue;
    const bool same =
        r.firstCluster == cluster || (r.deleted && v.Fat32() && r.highWord == 0 && r.lowWord == (cluster & 0xFFFF));
    if (same) {
      name = r.name;
      return true;
    }
  }
  return false;
}

}  // namespace

std::u16string ClusterFolderName(uint64_t cluster) {
  char text[24];
  std::snprintf(text, sizeof text, "#%.9llu", static_cast<unsigned long long>(cluster));
  return std::u16string(text, text + std::char_traits<char>::length(text));
}

uint64_t ScanClustersForFolders(FatVolume& v, FatWalker& walker, ByteSpan data, uint64_t firstCluster,
                                uint64_t clusters, const std::atomic<bool>* stop) {
  const uint64_t bytes = v.ClusterBytes();
  uint64_t added = 0;
  for (uint64_t i = 0; i < clusters && (i + 1) * bytes <= data.size(); ++i) {
    if (stop != nullptr && stop->load()) break;
    const uint64_t c64 = firstCluster + i;
    if (!v.InVolume(c64)) continue;
    const auto cluster = static_cast<uint32_t>(c64);
    const ByteSpan c = data.subspan(i * bytes, bytes);
    if (StartsWithDots(c) && LeU8(c, 64) != 0) {
      if (walker.IsKnownFolder(cluster)) continue;
      const ByteSpan dotDot = c.subspan(32, 32);
      const uint32_t parent = (v.Fat32() ? uint32_t{LeU16(dotDot, 0x14)} << 16 : 0) | LeU16(dotDot, 0x1A);
      const uint32_t parentId = parent == 0 ? v.RootId() : parent;
      std::u16string name;
      if ((parent == 0 || (v.InVolume(parent) && v.IsFolderCluster(parent))) &&
          NameInParent(v, parentId, cluster, name) && !name.empty()) {
      } else {
        name = ClusterFolderName(cluster);
      }
      FileEntry e{};
      e.link = cluster;
      e.parent = parent;
      e.folderFlag = kAttrDirectory;
      e.dataStart = uint64_t{1} << 32;  // deleted; its folder is named by `parent`
      e.state = 120;
      e.time = DosToFiletime(LeU16(c, 0x18), LeU16(c, 0x16));
      if (!walker.Append(e, name, true)) continue;
      ++added;
      added += walker.AddTree(cluster, stop);
      continue;
    }
    if (LeU8(c, 0) == 0 || !HoldsOnlyEntries(v, c)) continue;
    FolderCursor cursor;
    if (!OpenFolder(v, kModeFull, cluster, cursor)) continue;
    FatItem item;
    while (NextEntry(v, cursor, item)) {
      const FileEntry& e = item.entry;
      if (item.raw.dot || item.raw.volumeLabel || !item.raw.usable || !v.InVolume(e.link)) continue;
      const bool intact =
          e.hasChain && !item.raw.deleted && e.kind != kKindPartlyOverwritten && e.kind != kKindUnverifiable;
      if (intact) continue;
      if (walker.Append(e, item.name, true)) ++added;
    }
    CloseFolder(cursor);
  }
  return added;
}

uint64_t AddParentPlaceholders(FatVolume& v) {
  ItemStore& store = v.Store();
  std::unordered_set<uint32_t> links, wanted;
  {
    std::lock_guard<std::mutex> lock(store.entryListLock);
    const uint64_t n = EntryCount(store.deletedEntries);
    for (uint64_t i = 0; i < n; ++i) links.insert(EntryAt(store.deletedEntries, i).link);
    for (uint64_t i = 0; i < n; ++i) {
      const FileEntry e = EntryAt(store.deletedEntries, i);
      if (static_cast<uint32_t>(e.dataStart) != 0 || !e.HasParent() || e.parent == 0 || e.parent == v.RootId())
        continue;
      if (links.count(e.parent) == 0) wanted.insert(e.parent);
    }
    // Parents that have a placeholder already, by their whole cluster.
    const uint64_t m = EntryCount(store.lostFiles);
    for (uint64_t i = 0; i < m; ++i) {
      const FileEntry e = EntryAt(store.lostFiles, i);
      if (e.state == kStatePlaceholder) wanted.erase(static_cast<uint32_t>(e.recordNumber));
    }
  }
  uint64_t added = 0;
  for (const uint32_t cluster : wanted) {
    FileEntry p{};
    p.link = kPlaceholderLinkBase + (cluster & 0xFFFFFF);
    p.recordNumber = cluster;
    p.parent = kNoParent;
    p.folderFlag = kFolderFlag;
    p.state = kStatePlaceholder;
    if (store.AppendEntryLocked(store.lostFiles, p, ClusterFolderName(cluster))) ++added;
  }
  return added;
}

}  // namespace torvane::fat
