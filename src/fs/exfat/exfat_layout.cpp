#include "fs/exfat/exfat_layout.h"

#include <array>
#include <cstring>

#include "util/bytes.h"

namespace torvane::exfat {
namespace {

constexpr size_t kBootSectorMinBytes = 512;
constexpr size_t kDirEntryBytes = 32;
constexpr uint32_t kMinFatOffset = 24;             // after the boot region and its backup
constexpr uint32_t kMaxClusterCount = 0xFFFFFFF5;  // higher FAT values are markers

constexpr uint8_t kEntryEnd = 0x00;
constexpr uint8_t kEntryBitmap = 0x81;
constexpr uint8_t kEntryLabel = 0x83;
constexpr uint8_t kBitmapOfSecondFat = 0x01;
constexpr size_t kMaxLabelChars = 11;

// FAT entry 0 (media 0xF8 in a 32-bit entry) and entry 1 (0xFFFFFFFF).
constexpr std::array<uint8_t, 8> kFatStart = {0xF8, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};

uint8_t Byte(std::span<const std::byte> s, size_t i) {
  return std::to_integer<uint8_t>(s[i]);
}

bool Fail(std::string& why, const char* reason) {
  why = reason;
  return false;
}

}  // namespace

bool ParseExfatBootSector(std::span<const std::byte> sector, ExfatBootInfo& out, std::string& why) {
  if (sector.size() < kBootSectorMinBytes) return Fail(why, "boot sector shorter than 512 bytes");
  if (std::memcmp(sector.data() + 3, "EXFAT   ", 8) != 0) return Fail(why, "no EXFAT name");
  if (LeU16(sector, 510) != 0xAA55) return Fail(why, "no boot signature");

  const uint32_t bpsShift = Byte(sector, 108);
  const uint32_t spcShift = Byte(sector, 109);
  if (bpsShift < 9 || bpsShift > 12) return Fail(why, "bytes-per-sector shift outside 9..12");
  // Clusters are at most 32 MiB.
  if (spcShift > 25 - bpsShift) return Fail(why, "cluster larger than 32 MiB");

  ExfatBootInfo info;
  info.bytesPerSector = uint32_t{1} << bpsShift;
  info.sectorsPerCluster = uint32_t{1} << spcShift;
  info.volumeLength = LeU64(sector, 72);
  info.fatOffset = LeU32(sector, 80);
  info.fatLength = LeU32(sector, 84);
  info.clusterHeapOffset = LeU32(sector, 88);
  info.clusterCount = LeU32(sector, 92);
  info.rootCluster = LeU32(sector, 96);
  info.serial = LeU32(sector, 100);
  info.fatCount = Byte(sector, 110);

  if (info.fatCount != 1 && info.fatCount != 2) return Fail(why, "FAT count not 1 or 2");
  if (info.fatOffset < kMinFatOffset) return Fail(why, "FAT inside the boot regions");
  if (info.fatLength == 0) return Fail(why, "FAT length 0");
  const uint64_t fatsEnd = uint64_t{info.fatOffset} + uint64_t{info.fatLength} * info.fatCount;
  if (info.clusterHeapOffset < fatsEnd) return Fail(why, "cluster heap overlaps the FATs");
  if (info.clusterCount == 0 || info.clusterCount > kMaxClusterCount) return Fail(why, "cluster count out of range");
  // Both factors are below 2^32, so the product and the sum fit in 64 bits.
  const uint64_t heapEnd = info.clusterHeapOffset + uint64_t{info.clusterCount} * info.sectorsPerCluster;
  if (heapEnd > info.volumeLength) return Fail(why, "cluster heap runs past the volume's end");
  // The FAT holds an entry for every cluster plus the two reserved ones.
  if (uint64_t{info.fatLength} * info.bytesPerSector < (uint64_t{info.clusterCount} + 2) * 4)
    return Fail(why, "FAT too short for the cluster count");
  if (info.rootCluster < 2 || info.rootCluster - 2 >= info.clusterCount)
    return Fail(why, "root directory cluster outside the heap");

  out = info;
  why.clear();
  return true;
}

bool LocalizeExfat(std::span<const std::byte> bootSector, const SectorReader& read, uint64_t& distance,
                   ExfatBootInfo& out) {
  ExfatBootInfo info;
  std::string why;
  if (!ParseExfatBootSector(bootSector, info, why)) return false;

  const uint64_t factor = info.bytesPerSector / kReaderSectorBytes;
  const uint64_t fatAt = uint64_t{info.fatOffset} * factor;
  std::array<std::byte, kReaderSectorBytes> sector;
  // The main boot sector is the likelier find, so its start is tried first. fatOffset is at
  // least 24, so the backup candidate never reaches before the reader's sector 0.
  for (const uint64_t candidate : {uint64_t{0}, uint64_t{kBootRegionSectors} * factor}) {
    if (!read(fatAt - candidate, 1, sector.data())) continue;
    if (std::memcmp(sector.data(), kFatStart.data(), kFatStart.size()) != 0) continue;
    distance = candidate;
    out = info;
    return true;
  }
  return false;
}

bool ParseRootDirectory(std::span<const std::byte> dirBytes, ExfatRootInfo& out) {
  out = ExfatRootInfo{};
  bool haveLabel = false;
  bool bitmapIsFirstFats = false;
  for (size_t off = 0; dirBytes.size() - off >= kDirEntryBytes; off += kDirEntryBytes) {
    const auto e = dirBytes.subspan(off, kDirEntryBytes);
    const uint8_t type = Byte(e, 0);
    if (type == kEntryEnd) break;

    if (type == kEntryLabel && !haveLabel) {
      const size_t chars = Byte(e, 1);
      if (chars > kMaxLabelChars) continue;  // corrupt entry: not a label to show
      for (size_t i = 0; i < chars; ++i) out.label.push_back(static_cast<char16_t>(LeU16(e, 2 + 2 * i)));
      haveLabel = true;
    } else if (type == kEntryBitmap) {
      const bool ofSecondFat = (Byte(e, 1) & kBitmapOfSecondFat) != 0;
      const uint32_t cluster = LeU32(e, 20);
      const uint64_t length = LeU64(e, 24);
      if (cluster < 2 || length == 0) continue;
      // The first FAT's bitmap wins; the second FAT's serves only while none other is seen.
      if (out.hasBitmap && (bitmapIsFirstFats || ofSecondFat)) continue;
      out.hasBitmap = true;
      out.bitmapCluster = cluster;
      out.bitmapLength = length;
      bitmapIsFirstFats = !ofSecondFat;
    }
  }
  return out.hasBitmap;
}

uint32_t ExfatBootChecksum(std::span<const std::byte> first11Sectors, uint32_t bytesPerSector) {
  if (bytesPerSector < 512 || bytesPerSector > 4096 || !IsPowerOfTwo(bytesPerSector)) return 0;
  const size_t length = size_t{bytesPerSector} * 11;
  if (first11Sectors.size() < length) return 0;
  uint32_t sum = 0;
  for (size_t i = 0; i < length; ++i) {
    if (i == 106 || i == 107 || i == 112) continue;
    sum = ((sum & 1) ? 0x80000000u : 0u) + (sum >> 1) + Byte(first11Sectors, i);
  }
  return sum;
}

}  // namespace torvane::exfat
