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

void ReadOutcome::AddUnreadable(uint64_t offset, uint64_t length) {
  if (length == 0) return;
  if (!unreadableRanges.empty()) {
    ByteRange& last = unreadableRanges.back();
    if (offset <= last.offset + last.length || unreadableRanges.size() >= kMaxUnreadableRanges) {
      const uint64_t end = std::max(last.offset + last.length, offset + length);
      last.offset = std::min(last.offset, offset);
      last.length = end - last.offset;
      return;
    }
  }
  unreadableRanges.push_back({offset, length});
}

void NoteUnreadable(const ReadResult& read, uint32_t sectors, ReadOutcome& outcome, uint64_t itemOffset,
                    uint64_t itemBytes) {
  const uint64_t failed = read ? read.failedSectors : sectors;
  if (failed == 0) return;
  outcome.incomplete = true;
  outcome.unreadableSectors += failed;
  if (itemBytes != 0) {
    outcome.AddUnreadable(itemOffset, itemBytes);
  } else if (!read) {
    outcome.AddUnreadable(itemOffset, uint64_t{sectors} * 512);
  } else {
    for (const auto& r : read.failedRanges) outcome.AddUnreadable(itemOffset + r.start * 512, r.count * 512);
  }
}

bool ReadVolumeClusters(ReaderContext& ctx, uint64_t lcn, uint64_t count, std::byte* out, ReadOutcome& outcome,
                        uint64_t itemOffset, uint64_t itemBytes) {
  const uint64_t spc = ctx.geometry.sectorsPerCluster;
  const uint32_t sectors = static_cast<uint32_t>(count * spc);
  uint64_t first;
  ReadResult r;
  if (CheckedMul(lcn, spc, first) && CheckedAdd(first, ctx.geometry.clusterBase, first))
    r = ctx.source.Read(out, sectors, first);
  if (!r) std::memset(out, 0, uint64_t{sectors} * 512);
  NoteUnreadable(r, sectors, outcome, itemOffset, itemBytes);
  return static_cast<bool>(r);
}

}  // namespace torvane
