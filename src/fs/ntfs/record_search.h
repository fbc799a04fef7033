// Searching data for MFT records: the free-space search whose finds wait in the rebuild list
// and are merged without duplicates, and the whole-volume search of reverse mode.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>

#include "fs/ntfs/ntfs_volume.h"
#include "store/item_store.h"

namespace torvane::ntfs {

// Tests every record-sized slot of a run of free clusters the scan driver has read
// (`firstSector`/`firstCluster` locate its start): each that begins with "FILE" and converts
// goes into the rebuild list. A slot that is no record, met before any record of the run,
// merges what is pending first, so that records lying together are merged as one batch.
// The caller must not hold the store's locks (appends take them). Returns the entries added.
uint64_t ScanRunForRecords(NtfsVolume& volume, ItemStore& store, std::span<const std::byte> run,
                           uint64_t firstSector, uint64_t firstCluster, const std::atomic<bool>* stop,
                           const std::function<void()>& treeChanged = {});

// Moves the rebuild list into the deleted-entries list, leaving out duplicates: entries
// with the same record number, the same name (letters A-Z compared without case), the same
// attributes, and, for files, the same size. Returns the entries added; `treeChanged` runs
// when any were.
uint64_t MergeRebuiltEntries(ItemStore& store, const std::function<void()>& treeChanged = {});

// The whole-volume search of reverse mode: found records go straight into the deleted-
// entries list, without a duplicate test. Returns the entries added.
uint64_t ScanChunkForRecords(NtfsVolume& volume, ItemStore& store, std::span<const std::byte> chunk,
                             uint64_t firstSector, const std::atomic<bool>* stop);

// Counts the free clusters of the volume and marks the used ones (nibble value 1) in the
// allocation map.
uint64_t CountFreeClusters(const NtfsVolume& volume, AllocationMap* map);

}  // namespace torvane::ntfs
