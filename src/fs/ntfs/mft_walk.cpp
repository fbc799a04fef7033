#include "fs/ntfs/mft_walk.h"

#include <algorithm>
#include <mutex>
#include <vector>

#include "store/dyn_list.h"

namespace torvane::ntfs {
namespace {

// The MFT is read in pieces of 2 MiB (at least one cluster).
constexpr uint64_t kChunkBytes = 2ull << 20;

}  // namespace

MftWalkResult RunMftWalk(NtfsVolume& volume, ItemStore& store, MftWalkControl& control) {
  MftWalkResult result;
  store.ResetCounts();
  if (!volume.LoadMft(result.error)) return result;
  result.ok = true;
  // Each cluster of the MFT is read once, however often its runlist names it; the runs
  // were cut to the volume when loaded, so the walk ends at the volume's end.
  const std::vector<DataRun> pieces = DistinctClusterPieces(volume.MftRuns());
  const uint64_t total = CountAllocatedClusters(pieces);
  const uint64_t clusterBytes = volume.ClusterBytes();
  const uint64_t recordBytes = volume.RecordBytes();
  if (total == 0 || clusterBytes == 0 || recordBytes == 0) return result;
  const uint64_t sectorsPerCluster = clusterBytes / 512;
  // A chunk holds whole records and at least one cluster.
  const uint64_t chunkClusters =
      std::max<uint64_t>({1, kChunkBytes / clusterBytes, (recordBytes + clusterBytes - 1) / clusterBytes});
  std::vector<std::byte> chunk(chunkClusters * clusterBytes);
  std::u16string name;
  FileEntry entry;
  uint64_t done = 0;
  DiskSource& source = volume.Source();
  // The parent reference of each entry listed, checked against the MFT's folders at the end
  // (a folder may come after its files in the MFT).
  const uint64_t firstIndex = EntryCount(store.deletedEntries);
  std::vector<uint64_t> parents;
  auto append = [&](const FileEntry& e, std::u16string_view entryName, uint64_t parent, uint16_t sequence) {
    if (!store.AppendEntryLocked(store.deletedEntries, e, entryName)) return false;
    parents.push_back(MakeReference(parent, sequence));
    ++result.entries;
    return true;
  };
  auto checkParents = [&] {
    std::lock_guard<std::mutex> lock(store.entryListLock);
    for (uint64_t i = 0; i < parents.size() && firstIndex + i < EntryCount(store.deletedEntries); ++i) {
      if (!volume.ParentReferenceStale(parents[i])) continue;
      FileEntry e = EntryAt(store.deletedEntries, firstIndex + i);
      e.reserved43 |= kParentStale;
      SetEntryAt(store.deletedEntries, firstIndex + i, e);
    }
  };
  for (const DataRun& run : pieces) {
    for (uint64_t offset = 0; offset < run.length; offset += chunkClusters) {
      // Records larger than a cluster are read whole: a chunk never ends inside one.
      uint64_t n = std::min(chunkClusters, run.length - offset);
      const uint64_t bytes = n * clusterBytes;
      if (source.ReadSectors(chunk.data(), static_cast<uint32_t>(n * sectorsPerCluster),
                             (run.lcn + offset) * sectorsPerCluster) != 1)
        std::fill(chunk.begin(), chunk.begin() + static_cast<std::ptrdiff_t>(bytes), std::byte{0});
      const uint64_t firstByte = (run.vcn + offset) * clusterBytes;
      for (uint64_t at = 0; at + recordBytes <= bytes; at += recordBytes) {
        if (control.stop) {
          result.stopped = true;
          checkParents();
          return result;
        }
        ++result.records;
        const uint64_t cluster = run.lcn + offset + at / clusterBytes;
        const uint64_t number = (firstByte + at) / recordBytes;
        std::span<std::byte> record(chunk.data() + at, recordBytes);
        if (!volume.RecordToEntry(record, entry, name, cluster, number, false)) continue;
        entry.recordSector = (run.lcn + offset) * sectorsPerCluster + at / 512;
        const MftRecordHeader& header = volume.LastHeader();
        if (entry.IsFolder()) volume.NoteFolderRecord(entry.recordNumber, header.sequence, header.inUse());
        const auto& first = volume.Names().front();
        if (!append(entry, name, first.parent, first.parentSequence)) continue;
        if (entry.state <= kStateRecoverable) ++store.deletedCount;
        // Every further hard link of the file is listed in its own folder.
        for (const auto* link : volume.OtherLinks()) {
          FileEntry copy = entry;
          copy.SetParentRecord(link->parent);
          append(copy, link->name, link->parent, link->parentSequence);
        }
      }
      done += n;
      if (control.progress) control.progress(static_cast<uint32_t>(done * 1000 / total));
    }
  }
  checkParents();
  return result;
}

}  // namespace torvane::ntfs
