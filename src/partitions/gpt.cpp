// The GUID partition table: header, entry array, and the backup copy at the disk's end.
#include <zlib.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "partitions/volume_list.h"
#include "util/bytes.h"

namespace torvane {
namespace {

// Entries looked at: the usual array has 128; more are ignored.
constexpr uint32_t kMaxEntriesUsed = 128;
// The array read for its checksum: real disks have 128 entries of 128 bytes; 1 MiB allows
// far more while bounding the read.
constexpr uint64_t kMaxArrayBytes = 1 << 20;

uint32_t Crc32(const uint8_t* data, size_t size) {
  return static_cast<uint32_t>(crc32(0L, data, static_cast<uInt>(size)));
}

}  // namespace

bool VolumeListBuilder::ReadGpt(uint64_t headerSector) {
  uint8_t header[512];
  auto valid = [&](uint64_t at) {
    if (!ReadSector(at, header) || std::memcmp(header, "EFI PART", 8) != 0) return false;
    const ByteSpan h = AsBytes(header, 512);
    const uint32_t headerSize = LeU32(h, 12);
    if (headerSize < 92 || headerSize > 512) return false;
    uint8_t copy[512];
    std::memcpy(copy, header, headerSize);
    std::memset(copy + 16, 0, 4);
    return Crc32(copy, headerSize) == LeU32(h, 16);
  };
  if (!valid(headerSector)) {
    // The backup header sits in the disk's last sector.
    if (source_.diskSectors == kNoBound || source_.diskSectors < 2 || !valid(source_.diskSectors - 1)) return false;
  }
  const ByteSpan h = AsBytes(header, 512);
  const uint64_t arraySector = LeU64(h, 72);
  const uint32_t count = LeU32(h, 80), entrySize = LeU32(h, 84);
  if (entrySize < 128 || entrySize % 128 != 0 || count == 0 || uint64_t{count} * entrySize > kMaxArrayBytes ||
      arraySector >= source_.diskSectors)
    return false;
  const uint64_t arrayBytes = uint64_t{count} * entrySize;
  std::vector<uint8_t> array((arrayBytes + 511) / 512 * 512);
  if (!ReadSector(arraySector, array.data(), static_cast<uint32_t>(array.size() / 512)) ||
      Crc32(array.data(), arrayBytes) != LeU32(h, 88))
    return false;
  for (uint32_t i = 0; i < std::min(count, kMaxEntriesUsed); ++i) {
    const uint8_t* entry = array.data() + uint64_t{i} * entrySize;
    if (IsAllZero(AsBytes(entry, 16))) continue;  // unused: no type GUID
    const uint64_t first = LeU64(AsBytes(entry, 128), 32), last = LeU64(AsBytes(entry, 128), 40);
    if (first == 0 || last < first || last >= source_.diskSectors) continue;
    PartitionRecord record;
    if (Recognize(first, record, nullptr, entry)) AddVolume(record);
  }
  return true;
}

}  // namespace torvane
