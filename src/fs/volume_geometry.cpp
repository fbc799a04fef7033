#include "fs/volume_geometry.h"

#include <algorithm>
#include <cstring>

#include "util/bytes.h"

namespace torvane {
namespace {

// A chain walk without a loaded FAT, or over a damaged one, ends after this many clusters:
// a FAT32 volume has at most 2^28 clusters.
constexpr uint64_t kMaxChainClusters = uint64_t{1} << 28;

}  // namespace

void VolumeGeometry::Clear() {
  DiskSource* keepSource = source;
  auto keepBuffers = std::move(workBuffers);
  *this = VolumeGeometry{};
  source = keepSource;
  workBuffers = std::move(keepBuffers);
}

uint32_t VolumeGeometry::ReadClusters(void* buffer, uint32_t count, uint64_t cluster) const {
  uint64_t sectors, offset, first;
  if (source == nullptr || !CheckedMul(count, sectorsPerCluster, sectors) || sectors > 0xFFFFFFFF ||
      !CheckedMul(cluster, sectorsPerCluster, offset) || !CheckedAdd(clusterBase, offset, first))
    return 0;
  return source->ReadSectors(buffer, static_cast<uint32_t>(sectors), first);
}

uint32_t VolumeGeometry::ReadClusterFirstSector(void* buffer, uint64_t cluster) const {
  uint64_t offset, first;
  if (source == nullptr || !CheckedMul(cluster, sectorsPerCluster, offset) || !CheckedAdd(clusterBase, offset, first))
    return 0;
  return source->ReadSectors(buffer, 1, first);
}

uint64_t VolumeGeometry::SectorToCluster(uint64_t sector) const {
  if (sector <= clusterBase || sectorsPerCluster == 0) return 0;
  return (sector - clusterBase) / sectorsPerCluster;
}

uint32_t VolumeGeometry::NextFatCluster(uint32_t cluster) const {
  if (fsKind != FsKind::kFat12 && fsKind != FsKind::kFat16 && fsKind != FsKind::kFat32 && fsKind != FsKind::kExfat)
    return kFatNoChain;
  if (cluster > clusterCount + 1) return kFatChainEnd;
  if (fatTable.empty()) return cluster + 1;
  const ByteSpan fat(reinterpret_cast<const std::byte*>(fatTable.data()), fatTable.size());
  switch (fsKind) {
    case FsKind::kFat12: {
      // Two entries in three bytes.
      const size_t at = cluster + cluster / 2;
      if (at + 1 >= fatTable.size()) return kFatChainEnd;
      uint32_t v = LeU16(fat, at);
      v = (cluster & 1) ? v >> 4 : v & 0xFFF;
      return v >= 0xFF7 ? kFatChainEnd : v;  // 0xFF7 marks a bad cluster: the chain ends
    }
    case FsKind::kFat16: {
      if (uint64_t{cluster} * 2 + 2 > fatTable.size()) return kFatChainEnd;
      const uint32_t v = LeU16(fat, cluster * 2);
      return v >= 0xFFF7 ? kFatChainEnd : v;
    }
    default: {
      if (uint64_t{cluster} * 4 + 4 > fatTable.size()) return kFatChainEnd;
      // The top four bits of a FAT32 entry are reserved; exFAT uses all 32.
      uint32_t v = LeU32(fat, uint64_t{cluster} * 4);
      if (fsKind == FsKind::kFat32) v &= 0x0FFFFFFF;
      return v >= 0x0FFFFFF7 ? kFatChainEnd : v;
    }
  }
}

uint64_t VolumeGeometry::FatChainBytes(uint32_t cluster) const {
  if (NextFatCluster(cluster) == kFatNoChain) return 0;
  auto step = [this](uint32_t c) { return NextFatCluster(c); };
  auto ended = [](uint32_t c) { return c >= 0x0FFFFFF7; };
  // A chain without a loop has at most as many clusters as the volume; walk it plainly.
  const uint64_t limit = std::min<uint64_t>(clusterCount + 2, kMaxChainClusters);
  uint64_t count = 0;
  for (uint32_t c = cluster; count <= limit; c = step(c)) {
    if (c == 0) return 0;  // ran into a free entry
    if (ended(c)) return count * bytesPerCluster + 512;
    ++count;
  }
  // Longer than the volume: it loops. Floyd's cycle search finds the clusters before the
  // loop (mu) and in it (lambda) without remembering every cluster visited.
  uint32_t slow = step(cluster), fast = step(step(cluster));
  while (slow != fast) {
    slow = step(slow);
    fast = step(step(fast));
  }
  uint64_t mu = 0;
  for (slow = cluster; slow != fast; ++mu) {
    slow = step(slow);
    fast = step(fast);
  }
  uint64_t lambda = 1;
  for (fast = step(slow); slow != fast; ++lambda) fast = step(fast);
  return (mu + lambda) * bytesPerCluster + 512;
}

uint32_t VolumeGeometry::ContiguousClusters(uint32_t cluster, uint64_t byteLimit) const {
  if (cluster >= 0x0FFFFFF8 || bytesPerCluster == 0) return 0;
  uint32_t n = 1;
  while (uint64_t{n + 1} * bytesPerCluster <= byteLimit) {
    const uint32_t next = NextFatCluster(cluster);
    if (next != cluster + 1) break;
    cluster = next;
    ++n;
  }
  return n;
}

uint32_t VolumeGeometry::ReadFatChain(uint32_t cluster, std::byte* out, uint64_t byteCount) {
  const uint64_t chain = FatChainBytes(cluster);
  if (chain < 512) return 0;
  const uint64_t chainBytes = chain - 512;
  if (byteCount == 0) byteCount = chainBytes;
  if (byteCount > chainBytes || bytesPerCluster == 0) return 0;
  PageBuffer& work = const_cast<PageBuffer&>(workBuffers[0]);
  if (work.size() < bytesPerCluster && !work.Resize(std::max<size_t>(bytesPerCluster, 1 << 20))) return 0;
  uint64_t done = 0;
  const uint64_t whole = byteCount / bytesPerCluster * bytesPerCluster;
  while (done < whole) {
    const uint32_t n = ContiguousClusters(cluster, std::min<uint64_t>(whole - done, work.size()));
    if (n == 0 || !ReadClusters(out + done, n, cluster)) return 0;
    done += uint64_t{n} * bytesPerCluster;
    cluster += n - 1;
    cluster = NextFatCluster(cluster);
  }
  if (done < byteCount) {
    // The last partial cluster goes through the work buffer; only its used bytes are copied.
    if (!ReadClusters(work.data(), 1, cluster)) return 0;
    std::memcpy(out + done, work.data(), byteCount - done);
  }
  return 1;
}

uint32_t DefaultSectorsPerCluster(FsKind kind, uint64_t sectors, uint32_t bytesPerSector) {
  if (bytesPerSector == 0) bytesPerSector = 512;
  const uint64_t s = sectors * bytesPerSector / 512;  // in 512-byte units
  switch (kind) {
    case FsKind::kFat12:
      return 8;
    case FsKind::kFat16:
      return s < 0x40000 ? 4 : s < 0x80000 ? 8 : s < 0x100000 ? 16 : s < 0x200000 ? 32 : s < 0x400000 ? 64 : 128;
    case FsKind::kFat32:
      return s < 0x20000 ? 1 : s < 0x40000 ? 2 : s < 0x80000 ? 4 : s < 0x1000000 ? 8 : 32;
    case FsKind::kNtfs: {
      const uint64_t bytes = sectors * bytesPerSector;
      constexpr uint64_t kTiB = uint64_t{1} << 40;
      const uint32_t cluster = bytes <= 16 * kTiB    ? 4096
                               : bytes <= 32 * kTiB  ? 8192
                               : bytes <= 64 * kTiB  ? 16384
                               : bytes <= 128 * kTiB ? 32768
                                                     : 65536;
      return std::max<uint32_t>(1, cluster / bytesPerSector);
    }
    default:
      return 1;
  }
}

}  // namespace torvane
