// Searching data for MFT records: the free-space search whose finds wait in the rebuild list
// and are merged without duplicates, and the whole-volume search of reverse mode.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "fs/ntfs/ntfs_volume.h"
#include "store/item_store.h"

namespace torvane::ntfs {

// The bytes at the edge of the piece searched last, for a record that starts in one piece
// and ends in the next: records off the cluster grid straddle the pieces the scan reads.
struct RecordSeam {
  std::vector<std::byte> bytes;  // the last bytes of a run, or the first ones of a chunk
  uint64_t firstSector = 0;      // where they lie
  bool valid = false;
};

// Tests every sector of a run of free clusters the scan driver has read (`firstSector`/
// `firstCluster` locate its start): each record that begins there with "FILE", fits the
// run and converts goes into the rebuild list. A sector that starts no record, met before
// any record of the run, merges what is pending first, so that records lying together are
// merged as one batch. With `seam`, a record that begins at the end of the run before (when
// that one ended where this one starts) and runs on into this one is tested too.
// The caller must not hold the store's locks (appends take them). Returns the entries added.
uint64_t ScanRunForRecords(NtfsVolume& volume, ItemStore& store, std::span<const std::byte> run, uint64_t firstSector,
                           uint64_t firstCluster, const std::atomic<bool>* stop,
                           const std::function<void()>& treeChanged = {}, RecordSeam* seam = nullptr);

// Moves the rebuild list into the deleted-entries list, leaving out duplicates: entries
// with the same record number, the same name (letters A-Z compared without case), the same
// attributes, and, for files, the same size. Returns the entries added; `treeChanged` runs
// when any were.
uint64_t MergeRebuiltEntries(ItemStore& store, const std::function<void()>& treeChanged = {});

// The entries of the deleted-entries list by record number, brought up to date as the list
// grows: the duplicate test of the whole-volume search.
class ListedRecords {
 public:
  // Indexes the entries appended since the last call. The caller holds the list's lock.
  void CatchUp(const DynList& list);
  // Whether the list holds a duplicate of `e` (the rule of MergeRebuiltEntries).
  bool Lists(const DynList& list, const FileEntry& e, std::u16string_view name) const;

 private:
  std::unordered_multimap<uint64_t, uint64_t> byRecord_;
  uint64_t indexed_ = 0;
};

// The whole-volume search of reverse mode: every sector is tested for a record, and found
// records go straight into the deleted-entries list, except those the list already holds
// (the MFT walk lists the records of the MFT first). `listed` carries the index of the list
// from chunk to chunk; without it, one is built for this chunk. Chunks come from the end of
// the volume down: with `seam`, a record that begins at this chunk's end and runs on into
// the chunk searched before is tested too. Returns the entries added.
uint64_t ScanChunkForRecords(NtfsVolume& volume, ItemStore& store, std::span<const std::byte> chunk,
                             uint64_t firstSector, const std::atomic<bool>* stop, ListedRecords* listed = nullptr,
                             RecordSeam* seam = nullptr);

// Counts the free clusters of the volume and marks the used ones (nibble value 1) in the
// allocation map.
uint64_t CountFreeClusters(const NtfsVolume& volume, AllocationMap* map);

}  // namespace torvane::ntfs
