#include "fs/fat/fat_content.h"

#include <algorithm>

namespace torvane::fat {

bool ReadFatItem(ReaderContext& ctx, const FileEntry& item, ContentWindow& out, ReadOutcome& outcome) {
  const VolumeGeometry& g = ctx.geometry;
  const uint64_t clusterBytes = uint64_t{g.sectorsPerCluster} * 512;
  const uint64_t size = g.fsKind == FsKind::kExfat ? uint64_t{item.size} : (uint64_t{item.size} & 0xFFFFFFFF);
  if (clusterBytes == 0) return false;
  const uint64_t pieceClusters = std::max<uint64_t>(1, kTransferBytes / clusterBytes);
  std::vector<std::byte> buffer(pieceClusters * clusterBytes);
  const bool deleted = ((uint64_t{item.dataStart} >> 32) & 0xFF) != 0;
  uint64_t cluster = item.link;
  if (item.hasChain && !deleted && !g.fatTable.empty()) {
    // A chain longer than the volume's clusters loops; it is taken as broken there.
    for (uint64_t steps = 0; out.Position() < size; ++steps) {
      if (Cancelled(ctx)) return false;
      uint32_t next = g.NextFatCluster(static_cast<uint32_t>(cluster));
      if (out.Before(clusterBytes)) {
        // A whole cluster before the window: the chain is followed without reading it.
        out.Skip(std::min(clusterBytes, size - out.Position()));
      } else {
        uint64_t n = 1;
        while (n < pieceClusters && next == cluster + n) next = g.NextFatCluster(static_cast<uint32_t>(cluster + n++));
        ReadVolumeClusters(ctx, cluster, n, buffer.data(), outcome, out.Position());
        if (!out.Feed({buffer.data(), std::min(n * clusterBytes, size - out.Position())})) return false;
        cluster += n - 1;
      }
      if (out.Position() >= size) return true;
      if (next == kFatChainEnd || next < 2 || next > g.clusterCount + 1 || steps > g.clusterCount) {
        // The chain breaks before the file's end (a free entry, an end mark, a cluster
        // outside the volume): the rest is taken as the clusters that follow the last one.
        ++cluster;
        break;
      }
      cluster = next;
    }
  }
  // Contiguous clusters from `cluster` on; whole pieces before the window are passed over.
  const uint64_t pieceBytes = pieceClusters * clusterBytes;
  while (out.Position() < size && size - out.Position() > pieceBytes && out.Before(pieceBytes)) {
    out.Skip(pieceBytes);
    cluster += pieceClusters;
  }
  while (out.Position() < size) {
    if (Cancelled(ctx)) return false;
    const uint64_t n = std::min(pieceClusters, (size - out.Position() + clusterBytes - 1) / clusterBytes);
    ReadVolumeClusters(ctx, cluster, n, buffer.data(), outcome, out.Position());
    if (!out.Feed({buffer.data(), std::min(n * clusterBytes, size - out.Position())})) return false;
    cluster += n;
  }
  return true;
}

}  // namespace torvane::fat
