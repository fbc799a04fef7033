#include "fs/fat/fat_layout.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <limits>
#include <optional>
#include <vector>

#include "fs/volume_geometry.h"
#include "util/bytes.h"

namespace torvane::fat {
namespace {

constexpr uint32_t kChunkSectors = 128;  // 64 KiB per read while scanning
// A FAT16 FAT has at most 65536 two-byte entries: 128 KiB, 256 reader sectors.
constexpr uint64_t kMaxFat16Sectors = 65536 * 2 / kReaderSectorBytes;
// FAT16 root directories nearly always hold 512 entries; assumed when the boot sector is
// not believed.
constexpr uint32_t kDefaultRootSectors = 512 * 32 / kReaderSectorBytes;
// First-FAT candidates tried by the scan. Runs of end-of-chain entries inside a FAT can look
// like a FAT's start, but the real start comes first, so a few candidates are enough.
constexpr int kMaxCandidates = 4;

using Sector = std::array<std::byte, kReaderSectorBytes>;

uint8_t Byte(std::span<const std::byte> s, size_t i) {
  return std::to_integer<uint8_t>(s[i]);
}

// What the boot sector claims, each field kept only when credible, converted to reader
// sectors. A zero field is one not believed.
struct BootClaims {
  uint64_t fatStart = 0;
  uint32_t fatSectors = 0;
  uint32_t fatCount = 0;
  uint32_t rootSectors = 0;  // FAT16 only
  uint32_t sectorsPerCluster = 0;
};

BootClaims ReadBootClaims(int fatBits, std::span<const std::byte> boot) {
  BootClaims c;
  if (boot.size() < 64) return c;
  const uint32_t bps = LeU16(boot, 11);
  // Without a believable sector size no other count can be converted.
  if (!ValidBytesPerSector(bps)) return c;
  const uint32_t factor = bps / kReaderSectorBytes;

  const uint32_t spc = Byte(boot, 13);
  if (IsPowerOfTwo(spc) && spc <= 128) c.sectorsPerCluster = spc * factor;

  const uint32_t reserved = LeU16(boot, 14);
  if (reserved > 0) c.fatStart = uint64_t{reserved} * factor;

  const uint32_t fats = Byte(boot, 16);
  if (fats == 1 || fats == 2) c.fatCount = fats;

  const uint32_t rootEntries = LeU16(boot, 17);
  const uint32_t fatSize16 = LeU16(boot, 22);
  uint64_t fatSize = 0;
  if (fatBits == 16) {
    fatSize = fatSize16;
    if (rootEntries > 0) c.rootSectors = static_cast<uint32_t>((uint64_t{rootEntries} * 32 + bps - 1) / bps * factor);
  } else if (fatSize16 == 0 && rootEntries == 0) {
    // FAT32 keeps its root directory in clusters and its FAT length in the 32-bit field.
    fatSize = LeU32(boot, 36);
  }
  fatSize *= factor;
  const uint64_t maxFatSize = fatBits == 16 ? kMaxFat16Sectors : std::numeric_limits<uint32_t>::max();
  if (fatSize > 0 && fatSize <= maxFatSize) c.fatSectors = static_cast<uint32_t>(fatSize);
  return c;
}

bool ReadOne(const SectorReader& read, uint64_t sector, Sector& out) {
  return read(sector, 1, out.data());
}

// Two first FAT sectors are copies when both begin a FAT and agree on everything but
// entry 1, whose dirty and error flags may be updated in one copy only.
bool IsFatCopy(int fatBits, const Sector& first, std::span<const std::byte> other) {
  if (!IsFatStart(fatBits, other)) return false;
  const size_t entryBytes = fatBits == 16 ? 2 : 4;
  return std::memcmp(first.data(), other.data(), entryBytes) == 0 &&
         std::memcmp(first.data() + 2 * entryBytes, other.data() + 2 * entryBytes,
                     kReaderSectorBytes - 2 * entryBytes) == 0;
}

// Visits the sectors [begin, end) read in chunks until `visit` answers true; answers that
// sector. Chunks that cannot be read are passed over.
template <typename Visit>
std::optional<uint64_t> Scan(const SectorReader& read, uint64_t begin, uint64_t end, std::vector<std::byte>& buffer,
                             Visit&& visit) {
  buffer.resize(size_t{kChunkSectors} * kReaderSectorBytes);
  for (uint64_t chunk = begin; chunk < end; chunk += kChunkSectors) {
    const auto count = static_cast<uint32_t>(std::min<uint64_t>(kChunkSectors, end - chunk));
    if (!read(chunk, count, buffer.data())) continue;
    for (uint32_t i = 0; i < count; ++i) {
      const std::span<const std::byte> sector(buffer.data() + size_t{i} * kReaderSectorBytes, kReaderSectorBytes);
      if (visit(chunk + i, sector)) return chunk + i;
    }
  }
  return std::nullopt;
}

// Fills in the layout from a FAT found at `fatStart` and checks it fits in the volume.
bool Finish(int fatBits, uint64_t fatStart, uint32_t fatSectors, uint32_t fatCount, uint32_t rootSectors,
            uint32_t sectorsPerCluster, uint64_t volumeSectors, FatLayout& out) {
  const uint64_t fatEnd = fatStart + uint64_t{fatSectors} * fatCount;
  const uint64_t dataStart = fatEnd + (fatBits == 16 ? rootSectors : 0);
  if (dataStart >= volumeSectors) return false;
  out = FatLayout{fatStart, fatSectors, fatCount, dataStart, sectorsPerCluster};
  return true;
}

// The boot sector taken at its word: every field credible and a FAT (each copy) beginning
// where it says.
bool TrustBootSector(int fatBits, const BootClaims& c, const SectorReader& read, uint64_t volumeSectors,
                     FatLayout& out) {
  if (c.fatStart == 0 || c.fatSectors == 0 || c.fatCount == 0 || c.sectorsPerCluster == 0) return false;
  if (fatBits == 16 && c.rootSectors == 0) return false;
  if (c.fatStart >= volumeSectors) return false;
  Sector sector;
  for (uint32_t i = 0; i < c.fatCount; ++i) {
    const uint64_t at = c.fatStart + uint64_t{i} * c.fatSectors;
    if (at >= volumeSectors || !ReadOne(read, at, sector) || !IsFatStart(fatBits, sector)) return false;
  }
  return Finish(fatBits, c.fatStart, c.fatSectors, c.fatCount, c.rootSectors, c.sectorsPerCluster, volumeSectors, out);
}

}  // namespace

bool IsFatStart(int fatBits, std::span<const std::byte> sector) {
  if (sector.size() < 8) return false;
  const uint8_t media = Byte(sector, 0);
  if (media != 0xF0 && media < 0xF8) return false;
  if (Byte(sector, 1) != 0xFF || Byte(sector, 2) != 0xFF) return false;
  if (fatBits == 16) {
    // Entry 1: end of chain, bits 15 (clean shutdown) and 14 (hard error) may be clear.
    return (Byte(sector, 3) & 0x3F) == 0x3F;
  }
  if (fatBits == 32) {
    // Entry 0 is 0x0FFFFFxx. Entry 1 as above with its flags in bits 27 and 26; the top
    // four bits are not part of the entry.
    return Byte(sector, 3) == 0x0F && (LeU32(sector, 4) & 0x03FFFFFF) == 0x03FFFFFF;
  }
  return false;
}

bool LocalizeFat(int fatBits, std::span<const std::byte> bootSector, const SectorReader& read, uint64_t volumeSectors,
                 FatLayout& out) {
  if (fatBits != 16 && fatBits != 32) return false;
  const BootClaims claims = ReadBootClaims(fatBits, bootSector);
  if (TrustBootSector(fatBits, claims, read, volumeSectors, out)) return true;

  // The boot sector is not believed. A FAT begins with a recognisable first sector and is
  // normally stored twice, back to back: the distance from its first sector to the next
  // sector holding the same content is the FAT's length. Sector 0 is the boot sector, so
  // the scan starts at 1. The first FAT start found wins: a sector inside a FAT that
  // happens to begin with end-of-chain entries looks like a start too, but comes later.
  // When the first FAT's first sector is lost, such a sector and its twin in the second
  // copy can pair up and give a FAT start a few sectors late; callers confirm the layout
  // (a root directory at the data start) before relying on it.
  std::vector<std::byte> buffer;
  std::vector<std::byte> copyBuffer;
  const uint64_t scanEnd = std::min(volumeSectors, kFatScanSectors);
  const uint64_t maxFatSectors = fatBits == 16 ? kMaxFat16Sectors : kFatScanSectors;
  const uint32_t rootSectors = claims.rootSectors != 0 ? claims.rootSectors : kDefaultRootSectors;
  int candidates = 0;
  bool found = false;

  Scan(read, 1, scanEnd, buffer, [&](uint64_t at, std::span<const std::byte> bytes) {
    if (!IsFatStart(fatBits, bytes)) return false;
    Sector first;
    std::memcpy(first.data(), bytes.data(), first.size());

    // The boot sector's FAT length, when credible, is tried first: one read, and it reaches
    // second copies beyond the scan window of large FAT32 volumes.
    Sector other;
    if (claims.fatSectors != 0 && at + claims.fatSectors < volumeSectors &&
        ReadOne(read, at + claims.fatSectors, other) && IsFatCopy(fatBits, first, other)) {
      found = Finish(fatBits, at, claims.fatSectors, 2, rootSectors, claims.sectorsPerCluster, volumeSectors, out);
      if (found) return true;
    }

    const uint64_t copyEnd = std::min(volumeSectors, at + 1 + maxFatSectors);
    const auto copy = Scan(read, at + 1, copyEnd, copyBuffer,
                           [&](uint64_t, std::span<const std::byte> s) { return IsFatCopy(fatBits, first, s); });
    if (copy) {
      found = Finish(fatBits, at, static_cast<uint32_t>(*copy - at), 2, rootSectors, claims.sectorsPerCluster,
                     volumeSectors, out);
    } else if (candidates == 0 && claims.fatCount == 1 && claims.fatSectors != 0) {
      // A volume formatted with a single FAT has no copy to measure; its boot sector's
      // length is taken for the first FAT found.
      found = Finish(fatBits, at, claims.fatSectors, 1, rootSectors, claims.sectorsPerCluster, volumeSectors, out);
    }
    return found || ++candidates >= kMaxCandidates;
  });
  return found;
}

}  // namespace torvane::fat
