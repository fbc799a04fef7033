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
                   size_t maxRuns = 1 << 20, size_t* encodedBytes = nullptr);

// Clusters stored on disk: the lengths of all runs that are not sparse.
uint64_t CountAllocatedClusters(const std::vector<DataRun>& runs);
// The LCN of the first run; 0 for an empty runlist or one that starts sparse.
uint64_t FirstRunLcn(const std::vector<DataRun>& runs);
// The LCN reached after the last run that is stored on disk.
uint64_t LastRunLcn(const std::vector<DataRun>& runs);

// Cuts the runs to a volume of `clusters` clusters (LCNs 0 to clusters - 1): a run reaching
// past the end is shortened, a run starting at or past it is dropped (its VCNs then read as
// lying past the runlist). Sparse runs stay.
void ClipRunsToVolume(std::vector<DataRun>& runs, uint64_t clusters);

// Puts runs gathered from several records in VCN order and cuts away every VCN that an
// earlier run already covers, so that each VCN maps to one place.
void OrderRunsByVcn(std::vector<DataRun>& runs);

// The stored pieces of VCN-ordered runs with every cluster that an earlier piece already
// covers left out: read in this order, each cluster of the volume is read at most once.
// Sparse runs are left out.
std::vector<DataRun> DistinctClusterPieces(const std::vector<DataRun>& runs);

// Where a virtual cluster lies: its LCN (0 when sparse), how many clusters from it on lie
// one after another on disk (or, for a sparse cluster, how many sparse clusters follow),
// and whether it is sparse. Sparse runs occupy virtual clusters like any other. A VCN past
// the runlist gives {0, 0, false}.
struct VcnMapping {
  uint64_t lcn = 0;
  uint64_t contiguous = 0;
  bool sparse = false;
};
VcnMapping MapVcn(const std::vector<DataRun>& runs, uint64_t vcn);

// Steps through the runs one at a time (for readers that follow a file's data in order).
struct RunCursor {
  size_t index = 0;
  bool NextRun(const std::vector<DataRun>& runs, DataRun& run) {
    if (index >= runs.size()) return false;
    run = runs[index++];
    return true;
  }
};

}  // namespace torvane::ntfs
