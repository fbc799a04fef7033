#include "fs/ntfs/runlist.h"

#include <algorithm>
#include <cstddef>
#include <iterator>
#include <map>

namespace torvane::ntfs {

bool DecodeRunlist(std::span<const std::byte> data, uint64_t startVcn, std::vector<DataRun>& runs, size_t maxRuns,
                   size_t* encodedBytes) {
  runs.clear();
  if (encodedBytes != nullptr) *encodedBytes = 0;
  uint64_t vcn = startVcn;
  int64_t lcn = 0;
  size_t at = 0;
  while (at < data.size()) {
    const uint8_t header = std::to_integer<uint8_t>(data[at]);
    if (header == 0) {
      if (encodedBytes != nullptr) *encodedBytes = at;
      return true;
    }
    const size_t lengthBytes = header & 0x0F, offsetBytes = header >> 4;
    if (lengthBytes == 0 || lengthBytes > 8 || offsetBytes > 8 || data.size() - at - 1 < lengthBytes + offsetBytes ||
        runs.size() >= maxRuns)
      return false;
    ++at;
    uint64_t length = 0;
    for (size_t i = 0; i < lengthBytes; ++i) length |= uint64_t{std::to_integer<uint8_t>(data[at + i])} << (8 * i);
    at += lengthBytes;
    if (length == 0 || length > (uint64_t{1} << 48)) return false;
    DataRun run;
    run.vcn = vcn;
    run.length = length;
    if (offsetBytes == 0) {
      run.sparse = true;
    } else {
      uint64_t raw = 0;
      for (size_t i = 0; i < offsetBytes; ++i) raw |= uint64_t{std::to_integer<uint8_t>(data[at + i])} << (8 * i);
      at += offsetBytes;
      // Sign-extend the delta from its stored width.
      if (offsetBytes < 8 && (raw >> (8 * offsetBytes - 1)) & 1) raw |= ~uint64_t{0} << (8 * offsetBytes);
      const int64_t delta = static_cast<int64_t>(raw);
      if (__builtin_add_overflow(lcn, delta, &lcn) || lcn < 0) return false;
      run.lcn = static_cast<uint64_t>(lcn);
    }
    runs.push_back(run);
    vcn += length;
  }
  return false;  // no terminating zero inside the attribute
}

uint64_t CountAllocatedClusters(const std::vector<DataRun>& runs) {
  uint64_t total = 0;
  for (const auto& r : runs)
    if (!r.sparse) total += r.length;  // each length <= 2^48, at most 2^20 runs
  return total;
}

uint64_t FirstRunLcn(const std::vector<DataRun>& runs) {
  return runs.empty() || runs.front().sparse ? 0 : runs.front().lcn;
}

uint64_t LastRunLcn(const std::vector<DataRun>& runs) {
  for (auto it = runs.rbegin(); it != runs.rend(); ++it)
    if (!it->sparse) return it->lcn;
  return 0;
}

void ClipRunsToVolume(std::vector<DataRun>& runs, uint64_t clusters) {
  std::erase_if(runs, [&](const DataRun& r) { return !r.sparse && r.lcn >= clusters; });
  for (DataRun& r : runs)
    if (!r.sparse) r.length = std::min(r.length, clusters - r.lcn);
}

void OrderRunsByVcn(std::vector<DataRun>& runs) {
  std::stable_sort(runs.begin(), runs.end(), [](const DataRun& a, const DataRun& b) { return a.vcn < b.vcn; });
  std::vector<DataRun> kept;
  kept.reserve(runs.size());
  uint64_t covered = 0;  // the first VCN no kept run covers
  for (DataRun r : runs) {
    const uint64_t end = r.vcn + r.length;  // lengths <= 2^48, VCNs from a 64-bit start
    if (end <= covered || end < r.vcn) continue;
    if (r.vcn < covered) {
      const uint64_t cut = covered - r.vcn;
      r.vcn = covered;
      r.length -= cut;
      if (!r.sparse) r.lcn += cut;
    }
    covered = end;
    kept.push_back(r);
  }
  runs = std::move(kept);
}

std::vector<DataRun> DistinctClusterPieces(const std::vector<DataRun>& runs) {
  std::vector<DataRun> pieces;
  std::map<uint64_t, uint64_t> read;  // start -> end of the LCN ranges already taken
  for (const DataRun& r : runs) {
    if (r.sparse || r.length == 0) continue;
    uint64_t at = r.lcn;
    const uint64_t end = r.lcn + r.length;
    // The first range that ends after `at`: ranges are disjoint, so start from the one
    // starting at or before it.
    auto it = read.upper_bound(at);
    if (it != read.begin() && std::prev(it)->second > at) --it;
    while (at < end) {
      const uint64_t gapEnd = (it == read.end()) ? end : std::min(end, it->first);
      if (gapEnd > at) pieces.push_back({r.vcn + (at - r.lcn), at, gapEnd - at, false});
      if (it == read.end() || it->first >= end) break;
      at = std::max(at, it->second);
      ++it;
    }
    // Record [lcn, end) as read, merging the ranges it meets.
    uint64_t start = r.lcn, stop = end;
    auto first = read.upper_bound(start);
    if (first != read.begin() && std::prev(first)->second >= start) --first;
    auto last = first;
    while (last != read.end() && last->first <= stop) {
      start = std::min(start, last->first);
      stop = std::max(stop, last->second);
      ++last;
    }
    read.erase(first, last);
    read.emplace(start, stop);
  }
  return pieces;
}

VcnMapping MapVcn(const std::vector<DataRun>& runs, uint64_t vcn) {
  // Runs are in VCN order: find the last run starting at or before the VCN.
  auto it = std::upper_bound(runs.begin(), runs.end(), vcn, [](uint64_t v, const DataRun& r) { return v < r.vcn; });
  if (it == runs.begin()) return {};
  const DataRun& run = *--it;
  if (vcn - run.vcn >= run.length) return {};
  VcnMapping m;
  m.sparse = run.sparse;
  m.contiguous = run.length - (vcn - run.vcn);
  if (run.sparse) return m;
  m.lcn = run.lcn + (vcn - run.vcn);
  // Following runs that continue on disk right where this one ends are one extent.
  uint64_t end = run.lcn + run.length;
  for (auto next = it + 1; next != runs.end() && !next->sparse && next->lcn == end; ++next) {
    m.contiguous += next->length;
    end += next->length;
  }
  return m;
}

}  // namespace torvane::ntfs
