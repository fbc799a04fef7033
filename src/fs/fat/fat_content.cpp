#include "fs/fat/fat_content.h"

#include <algorithm>

namespace torvane::fat {

bool ReadFatItem(ReaderContext& ctx, const FileEntry& item, ContentWindow& out, ReaderSink& sink, ReadOutcome& outcome) {
  const VolumeGeometry& g = ctx.geometry;
  const uint64_t clusterBytes = uint64_t{g.sectorsPerCluster} * 512;
  const uint64_t size = g.fsKind == FsKind::kExfat ? uint64_t{item.size} : (uint64_t{item.size} & 0xFFFFFFFF);
  if (clusterBytes == 0) return false;
  const uint64_t pieceClusters = std::max<uint64_t>(1, kTransferBytes / clusterBytes);
  std::vector<std::byte> buffer(pieceClusters * clusterBytes);
  const bool deleted = ((uint64_t{item.dataStart} >> 32) & 0xFF) != 0;
  uint32_t cluster = item.link;
  if (item.hasChain && !deleted && !g.fatTable.empty()) {
    bool broken = false;
    while (out.Position() < size && !broken) {
      if (Cancelled(ctx)) return false;
      uint64_t n = 1;
      uint32_t next = g.NextFatCluster(cluster);
      while (n < pieceClusters && next == cluster + n) next = g.NextFatCluster(cluster + static_cast<uint32_t>(n++));
      ReadVolumeClusters(ctx, cluster, n, buffer.data(), outcome);
      if (!out.Feed({buffer.data(), std::min(n * clusterBytes, size - out.Position())})) return false;
      if (out.Position() >= size) break;
      if (next == kFatChainEnd || next < 2 || next > g.clusterCount + 1) broken = true;
      cluster = next;
    }
    if (!broken) return out.Position() >= size;
    // A damaged chain: the file is read again from its start as contiguous clusters.
    if (!sink.Restart()) return false;
    out.Reset();
    cluster = item.link;
  }
  for (uint64_t c = cluster; out.Position() < size;) {
    if (Cancelled(ctx)) return false;
    const uint64_t n = std::min(pieceClusters, (size - out.Position() + clusterBytes - 1) / clusterBytes);
    ReadVolumeClusters(ctx, c, n, buffer.data(), outcome);
    if (!out.Feed({buffer.data(), std::min(n * clusterBytes, size - out.Position())})) return false;
    c += n;
  }
  return true;
}

}  // namespace torvane::fat
