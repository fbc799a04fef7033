#include "fs/item_content.h"

#include <cstring>

#include "util/bytes.h"

namespace torvane {

bool ReaderSink::WriteZeros(uint64_t count) {
  static const std::vector<std::byte> zeros(1 << 20);
  while (count > 0) {
    const size_t n = static_cast<size_t>(std::min<uint64_t>(count, zeros.size()));
    if (!WriteChunk({zeros.data(), n})) return false;
    count -= n;
  }
  return true;
}

bool Cancelled(const ReaderContext& ctx) {
  return (ctx.cancel != nullptr && *ctx.cancel) || (ctx.searchStop != nullptr && *ctx.searchStop);
}

// Reads clusters; a failed read delivers zeros and marks the outcome incomplete.
bool ReadVolumeClusters(ReaderContext& ctx, uint64_t lcn, uint64_t count, std::byte* out, ReadOutcome& outcome) {
  const uint64_t spc = ctx.geometry.sectorsPerCluster;
  const uint64_t failedBefore = ctx.source.failedSectors;
  uint64_t first;
  if (!CheckedMul(lcn, spc, first) || !CheckedAdd(first, ctx.geometry.clusterBase, first) ||
      ctx.source.ReadSectors(out, static_cast<uint32_t>(count * spc), first) != 1) {
    std::memset(out, 0, count * spc * 512);
    outcome.incomplete = true;
    return false;
  }
  if (ctx.source.failedSectors != failedBefore) outcome.incomplete = true;
  return true;
}

}  // namespace torvane
