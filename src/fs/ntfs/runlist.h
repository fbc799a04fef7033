// NTFS runlists: where the clusters of a non-resident attribute lie.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

namespace torvane::ntfs {

struct DataRun {
  uint64_t vcn = 0;     // first virtual cluster of the run
  uint64_t lcn = 0;     // first logical cluster on the volume (0 for a sparse run)
  uint64_t length = 0;  // clusters
  bool sparse = false;
};

// Decodes a runlist starting at virtual cluster `startVcn`. Each run is a header byte (low
// nibble: bytes of the length, high nibble: bytes of the signed LCN delta; 0 ends the list),
// the length, and the delta from the previous run's LCN (absent for a sparse run). False when
// the list runs past its span, a field is wider than 8 bytes, a length is 0, an LCN goes
// negative, or more than `maxRuns` runs are listed; `runs` then holds the runs decoded so far.
bool DecodeRunlist(std::span<const std::byte> data, uint64_t startVcn, std::vector<DataRun>& runs,
                   size_t maxRuns = 1 << 20);

}  // namespace torvane::ntfs
