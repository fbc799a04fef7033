#include "fs/ntfs/record_search.h"

#include <algorithm>
#include <cstring>
#include <mutex>
#include <unordered_map>
#include <vector>

#include "store/dyn_list.h"

namespace torvane::ntfs {
namespace {

bool StartsWithFile(const std::byte* p) { return std::memcmp(p, "FILE", 4) == 0; }

char16_t FoldAscii(char16_t c) { return c >= u'a' && c <= u'z' ? c - (u'a' - u'A') : c; }

bool SameName(std::u16string_view a, std::u16string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (FoldAscii(a[i]) != FoldAscii(b[i])) return false;
  return true;
}

bool IsDuplicate(const FileEntry& a, std::u16string_view aName, const FileEntry& b, std::u16string_view bName) {
  return a.recordNumber == b.recordNumber && a.attributes == b.attributes &&
         (a.IsFolder() || a.size == b.size) && SameName(aName, bName);
}

// Converts the record at `at` and appends it and its further links to `list`.
uint64_t TakeRecord(NtfsVolume& volume, ItemStore& store, DynList& list, std::span<const std::byte> data,
                    size_t at, uint64_t sector, uint64_t cluster, std::vector<std::byte>& scratch) {
  const uint32_t recordBytes = volume.RecordBytes();
  scratch.assign(data.begin() + static_cast<std::ptrdiff_t>(at),
                 data.begin() + static_cast<std::ptrdiff_t>(at + recordBytes));
  FileEntry entry;
  std::u16string name;
  // The record number its header carries; no position gives one here.
  if (!volume.RecordToEntry(scratch, entry, name, cluster, 0, true)) return 0;
  entry.recordSector = sector;
  uint64_t added = 0;
  if (store.AppendEntryLocked(list, entry, name)) ++added;
  for (const auto* link : volume.OtherLinks()) {
    FileEntry copy = entry;
    copy.SetParentRecord(link->parent);
    if (store.AppendEntryLocked(list, copy, link->name)) ++added;
  }
  return added;
}

}  // namespace

uint64_t ScanRunForRecords(NtfsVolume& volume, ItemStore& store, std::span<const std::byte> run,
                           uint64_t firstSector, uint64_t firstCluster, const std::atomic<bool>* stop,
                           const std::function<void()>& treeChanged) {
  const uint32_t recordBytes = volume.RecordBytes();
  const uint64_t clusterBytes = volume.ClusterBytes();
  if (recordBytes == 0 || clusterBytes == 0) return 0;
  std::vector<std::byte> scratch;
  uint64_t added = 0;
  bool foundInRun = false;
  // Records lie at record-size steps from a cluster's start; a whole record must fit.
  for (size_t at = 0; at + recordBytes <= run.size(); at += recordBytes) {
    if (stop != nullptr && *stop) break;
    if (!StartsWithFile(run.data() + at)) {
      if (!foundInRun && store.pendingRebuildCount > 0) MergeRebuiltEntries(store, treeChanged);
      continue;
    }
    const uint64_t n = TakeRecord(volume, store, store.rebuildEntries, run, at, firstSector + at / 512,
                                  firstCluster + at / clusterBytes, scratch);
    foundInRun |= n != 0;
    added += n;
  }
  return added;
}

uint64_t MergeRebuiltEntries(ItemStore& store, const std::function<void()>& treeChanged) {
  DynList& pending = store.rebuildEntries;
  DynList& main = store.deletedEntries;
  const uint64_t count = EntryCount(pending);
  std::vector<FileEntry> entries(count);
  for (uint64_t i = 0; i < count; ++i) entries[i] = EntryAt(pending, i);
  std::vector<uint64_t> order(count);
  for (uint64_t i = 0; i < count; ++i) order[i] = i;
  std::stable_sort(order.begin(), order.end(),
                   [&](uint64_t a, uint64_t b) { return entries[a].recordNumber < entries[b].recordNumber; });
  // Duplicates among the pending entries: a later one equal to an earlier one of its group.
  for (size_t i = 0; i < order.size(); ++i) {
    FileEntry& e = entries[order[i]];
    for (size_t j = i; j-- > 0 && entries[order[j]].recordNumber == e.recordNumber;) {
      const FileEntry& earlier = entries[order[j]];
      if (earlier.state != kStateDuplicate &&
          IsDuplicate(e, EntryName(pending, e), earlier, EntryName(pending, earlier))) {
        e.state = kStateDuplicate;
        break;
      }
    }
  }
  // Duplicates of entries already listed.
  {
    std::lock_guard<std::mutex> lock(store.entryListLock);
    std::unordered_multimap<uint64_t, uint64_t> listed;
    const uint64_t n = EntryCount(main);
    listed.reserve(n);
    for (uint64_t i = 0; i < n; ++i) listed.emplace(uint64_t{EntryAt(main, i).recordNumber}, i);
    for (FileEntry& e : entries) {
      if (e.state == kStateDuplicate) continue;
      auto [first, last] = listed.equal_range(uint64_t{e.recordNumber});
      for (auto it = first; it != last; ++it) {
        const FileEntry other = EntryAt(main, it->second);
        if (IsDuplicate(e, EntryName(pending, e), other, EntryName(main, other))) {
          e.state = kStateDuplicate;
          break;
        }
      }
    }
  }
  uint64_t added = 0;
  for (uint64_t i : order) {
    const FileEntry& e = entries[i];
    if (e.state == kStateDuplicate) continue;
    if (!store.AppendEntryLocked(main, e, EntryName(pending, e))) continue;
    ++added;
    ++store.deletedCount;
  }
  ReleaseEntryNames(pending);
  FreeDynList(pending);
  InitDynList(pending, kEntryListSize, kRebuildEntriesId, &store.Messages());
  store.pendingRebuildCount = 0;
  if (added != 0 && treeChanged) treeChanged();
  return added;
}

uint64_t ScanChunkForRecords(NtfsVolume& volume, ItemStore& store, std::span<const std::byte> chunk,
                             uint64_t firstSector, const std::atomic<bool>* stop) {
  const uint32_t recordBytes = volume.RecordBytes();
  const uint64_t clusterBytes = volume.ClusterBytes();
  if (recordBytes == 0 || clusterBytes == 0) return 0;
  const uint64_t sectorsPerCluster = clusterBytes / 512;
  std::vector<std::byte> scratch;
  uint64_t added = 0;
  for (size_t at = 0; at + recordBytes <= chunk.size(); at += recordBytes) {
    if (stop != nullptr && *stop) break;
    if (!StartsWithFile(chunk.data() + at)) continue;
    const uint64_t sector = firstSector + at / 512;
    const uint64_t n = TakeRecord(volume, store, store.deletedEntries, chunk, at, sector,
                                  sector / sectorsPerCluster, scratch);
    store.deletedCount += n;
    added += n;
  }
  return added;
}

uint64_t CountFreeClusters(const NtfsVolume& volume, AllocationMap* map) {
  const auto& bitmap = volume.Geometry().allocationMap;
  const uint64_t last = volume.LastCluster();
  uint64_t free = 0;
  uint64_t c = 0;
  while (c <= last && c / 8 < bitmap.size()) {
    if (c % 8 == 0 && last - c >= 64 && c / 8 + 8 <= bitmap.size()) {
      uint64_t word;
      std::memcpy(&word, bitmap.data() + c / 8, 8);
      if (word == 0) {
        free += 64;
        c += 64;
        continue;
      }
      if (word == ~uint64_t{0}) {
        if (map != nullptr)
          for (uint64_t k = 0; k < 64; ++k) map->MarkCluster(c + k, AllocationMap::kAllocated);
        c += 64;
        continue;
      }
    }
    if ((bitmap[c / 8] >> (c % 8)) & 1) {
      if (map != nullptr) map->MarkCluster(c, AllocationMap::kAllocated);
    } else {
      ++free;
    }
    ++c;
  }
  return free;
}

}  // namespace torvane::ntfs
