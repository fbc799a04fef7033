#include "fs/ntfs/record_search.h"

#include <algorithm>
#include <cstring>
#include <mutex>
#include <unordered_map>
#include <vector>

#include "store/dyn_list.h"

namespace torvane::ntfs {
namespace {

bool StartsWithFile(const std::byte* p) {
  return std::memcmp(p, "FILE", 4) == 0;
}

char16_t FoldAscii(char16_t c) {
  return c >= u'a' && c <= u'z' ? c - (u'a' - u'A') : c;
}

bool SameName(std::u16string_view a, std::u16string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (FoldAscii(a[i]) != FoldAscii(b[i])) return false;
  return true;
}

bool IsDuplicate(const FileEntry& a, std::u16string_view aName, const FileEntry& b, std::u16string_view bName) {
  return a.recordNumber == b.recordNumber && a.attributes == b.attributes && (a.IsFolder() || a.size == b.size) &&
         SameName(aName, bName);
}

// A record can start at any sector: records found where a volume with another alignment
// (an older one, or one of 512-byte clusters) kept its MFT lie off the current record grid.
constexpr size_t kSectorBytes = 512;

// Converts the record at `at` into its entry and the entries of its further links, each
// with its parent checked against the MFT's folders.
size_t ConvertRecord(NtfsVolume& volume, std::span<const std::byte> data, size_t at, uint64_t sector, uint64_t cluster,
                     std::vector<std::byte>& scratch, std::vector<FileEntry>& entries,
                     std::vector<std::u16string>& names) {
  entries.clear();
  names.clear();
  const uint32_t recordBytes = volume.RecordBytes();
  scratch.assign(data.begin() + static_cast<std::ptrdiff_t>(at),
                 data.begin() + static_cast<std::ptrdiff_t>(at + recordBytes));
  FileEntry entry;
  std::u16string name;
  // The record number its header carries; no position gives one here.
  if (!volume.RecordToEntry(scratch, entry, name, cluster, 0, true)) return 0;
  entry.recordSector = sector;
  auto add = [&](FileEntry e, std::u16string n, uint64_t parent, uint16_t sequence) {
    e.SetParentRecord(parent);
    if (volume.ParentReferenceStale(MakeReference(parent, sequence))) e.reserved43 |= kParentStale;
    entries.push_back(e);
    names.push_back(std::move(n));
  };
  const auto& first = volume.Names().front();
  add(entry, name, first.parent, first.parentSequence);
  for (const auto* link : volume.OtherLinks()) add(entry, link->name, link->parent, link->parentSequence);
  return entries.size();
}

}  // namespace

void ListedRecords::CatchUp(const DynList& list) {
  const uint64_t n = EntryCount(list);
  for (; indexed_ < n; ++indexed_) byRecord_.emplace(uint64_t{EntryAt(list, indexed_).recordNumber}, indexed_);
}

bool ListedRecords::Lists(const DynList& list, const FileEntry& e, std::u16string_view name) const {
  auto [first, last] = byRecord_.equal_range(uint64_t{e.recordNumber});
  for (auto it = first; it != last; ++it) {
    const FileEntry other = EntryAt(list, it->second);
    if (IsDuplicate(e, name, other, EntryName(list, other))) return true;
  }
  return false;
}

uint64_t ScanRunForRecords(NtfsVolume& volume, ItemStore& store, std::span<const std::byte> run, uint64_t firstSector,
                           uint64_t firstCluster, const std::atomic<bool>* stop,
                           const std::function<void()>& treeChanged, RecordSeam* seam) {
  const uint32_t recordBytes = volume.RecordBytes();
  const uint64_t clusterBytes = volume.ClusterBytes();
  if (recordBytes == 0 || clusterBytes == 0) return 0;
  std::vector<std::byte> scratch;
  std::vector<FileEntry> entries;
  std::vector<std::u16string> names;
  uint64_t added = 0;
  bool foundInRun = false;
  const uint64_t sectorsPerCluster = clusterBytes / kSectorBytes;
  auto take = [&](std::span<const std::byte> data, size_t at, uint64_t sector, uint64_t cluster) {
    const size_t n = ConvertRecord(volume, data, at, sector, cluster, scratch, entries, names);
    for (size_t i = 0; i < n; ++i)
      if (store.AppendEntryLocked(store.rebuildEntries, entries[i], names[i])) ++added;
    foundInRun |= n != 0;
  };
  const size_t edge = recordBytes - std::min<size_t>(recordBytes, kSectorBytes);
  if (seam != nullptr) {
    // Records that begin in the run before and end in this one.
    if (seam->valid && edge != 0 && seam->bytes.size() == edge && run.size() >= edge &&
        seam->firstSector + edge / kSectorBytes == firstSector) {
      std::vector<std::byte> joined(seam->bytes);
      joined.insert(joined.end(), run.begin(), run.begin() + static_cast<std::ptrdiff_t>(edge));
      for (size_t at = 0; at < edge; at += kSectorBytes) {
        if (!StartsWithFile(joined.data() + at)) continue;
        const uint64_t sector = seam->firstSector + at / kSectorBytes;
        take(joined, at, sector, sector / sectorsPerCluster);
      }
    }
    seam->valid = edge != 0 && run.size() >= edge;
    if (seam->valid) {
      seam->bytes.assign(run.end() - static_cast<std::ptrdiff_t>(edge), run.end());
      seam->firstSector = firstSector + (run.size() - edge) / kSectorBytes;
    }
  }
  // Every sector may start a record; a whole record must fit.
  for (size_t at = 0; at + recordBytes <= run.size(); at += kSectorBytes) {
    if (stop != nullptr && *stop) break;
    if (!StartsWithFile(run.data() + at)) {
      if (!foundInRun && store.pendingRebuildCount > 0) MergeRebuiltEntries(store, treeChanged);
      continue;
    }
    take(run, at, firstSector + at / kSectorBytes, firstCluster + at / clusterBytes);
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
                             uint64_t firstSector, const std::atomic<bool>* stop, ListedRecords* listed,
                             RecordSeam* seam) {
  const uint32_t recordBytes = volume.RecordBytes();
  const uint64_t clusterBytes = volume.ClusterBytes();
  if (recordBytes == 0 || clusterBytes == 0) return 0;
  ListedRecords local;
  if (listed == nullptr) listed = &local;
  const uint64_t sectorsPerCluster = clusterBytes / kSectorBytes;
  std::vector<std::byte> scratch;
  std::vector<FileEntry> entries;
  std::vector<std::u16string> names;
  uint64_t added = 0;
  DynList& list = store.deletedEntries;
  auto take = [&](std::span<const std::byte> data, size_t at, uint64_t sector) {
    const size_t n = ConvertRecord(volume, data, at, sector, sector / sectorsPerCluster, scratch, entries, names);
    for (size_t i = 0; i < n; ++i) {
      {
        // Only this search appends while it runs, so the test and the append below agree.
        std::lock_guard<std::mutex> lock(store.entryListLock);
        listed->CatchUp(list);
        if (listed->Lists(list, entries[i], names[i])) continue;  // the MFT walk has it
      }
      if (!store.AppendEntryLocked(list, entries[i], names[i])) continue;
      ++store.deletedCount;
      ++added;
    }
  };
  const size_t edge = recordBytes - std::min<size_t>(recordBytes, kSectorBytes);
  if (seam != nullptr) {
    // Records that begin at this chunk's end and run on into the chunk above it.
    if (seam->valid && edge != 0 && seam->bytes.size() == edge && chunk.size() >= edge &&
        firstSector + chunk.size() / kSectorBytes == seam->firstSector) {
      std::vector<std::byte> joined(chunk.end() - static_cast<std::ptrdiff_t>(edge), chunk.end());
      joined.insert(joined.end(), seam->bytes.begin(), seam->bytes.end());
      const uint64_t joinedSector = seam->firstSector - edge / kSectorBytes;
      for (size_t at = 0; at < edge; at += kSectorBytes)
        if (StartsWithFile(joined.data() + at)) take(joined, at, joinedSector + at / kSectorBytes);
    }
    seam->valid = edge != 0 && chunk.size() >= edge;
    if (seam->valid) {
      seam->bytes.assign(chunk.begin(), chunk.begin() + static_cast<std::ptrdiff_t>(edge));
      seam->firstSector = firstSector;
    }
  }
  for (size_t at = 0; at + recordBytes <= chunk.size(); at += kSectorBytes) {
    if (stop != nullptr && *stop) break;
    if (StartsWithFile(chunk.data() + at)) take(chunk, at, firstSector + at / kSectorBytes);
  }
  return added;
}

uint64_t CountFreeClusters(const NtfsVolume& volume, AllocationMap* map) {
  const uint64_t last = volume.LastCluster();
  return CountClearBits(volume.Geometry().allocationMap, 0, last == ~uint64_t{0} ? last : last + 1, map);
}

}  // namespace torvane::ntfs
