// The MFT walk: every record of the MFT, read through the MFT's own runlist, turned into an
// entry of the deleted-entries list.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>

#include "fs/ntfs/ntfs_volume.h"
#include "store/item_store.h"

namespace torvane::ntfs {

// What the "Processing MFT" window's buttons do, as flags the front ends set: Skip sets
// `stop` (the explorer opens with what was found so far); Abort sets `stop` and the scan's
// stop flag.
struct MftWalkControl {
  std::atomic<bool> stop{false};
  std::atomic<bool>* scanStop = nullptr;
  // Called after each chunk with the progress in thousandths.
  std::function<void(uint32_t permille)> progress;

  // "Explore files now - stop collecting all entries."
  void Skip() { stop = true; }
  // "Cancel.": the scan that would follow does not start either.
  void Abort() {
    stop = true;
    if (scanStop != nullptr) *scanStop = true;
  }
};

struct MftWalkResult {
  bool ok = false;  // the MFT could be read (a stopped walk is still ok)
  bool stopped = false;
  std::string error;
  uint64_t records = 0;  // record positions examined
  uint64_t entries = 0;  // entries added
};

MftWalkResult RunMftWalk(NtfsVolume& volume, ItemStore& store, MftWalkControl& control);

}  // namespace torvane::ntfs
