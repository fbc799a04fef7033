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
  const uint32_t sectors = static_cast<uint32_t>(count * spc);
  uint64_t first;
  ReadResult r;
  if (CheckedMul(lcn, spc, first) && CheckedAdd(first, ctx.geometry.clusterBase, first))
    r = ctx.source.Read(out, sectors, first);
  if (!r) {
    std::memset(out, 0, uint64_t{sectors} * 512);
    outcome.incomplete = true;
    outcome.unreadableSectors += sectors;
    return false;
  }
  if (r.failedSectors != 0) {
    outcome.incomplete = true;
    outcome.unreadableSectors += r.failedSectors;
  }
  return true;
}

}  // namespace torvane
