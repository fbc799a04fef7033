// exFAT volume recognition: the boot sector's fields, where the volume really starts when
// the boot sector found is the backup copy, the root directory's label and allocation
// bitmap, and the boot-region checksum.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

#include "disk/sector_reader.h"

namespace torvane::exfat {

// The sector source reads 512-byte sectors; distances handed to or from the reader are in
// those units.
constexpr uint32_t kReaderSectorBytes = 512;
// The boot region (boot sector, 8 extended boot sectors, OEM parameters, reserved sector,
// checksum sector) is 12 sectors long and is followed by its backup.
constexpr uint32_t kBootRegionSectors = 12;

// Boot sector fields; sector counts and offsets are in the volume's own sectors
// (bytesPerSector), as stored.
struct ExfatBootInfo {
  uint32_t bytesPerSector = 0;
  uint32_t sectorsPerCluster = 0;
  uint64_t volumeLength = 0;
  uint32_t fatOffset = 0, fatLength = 0, clusterHeapOffset = 0, clusterCount = 0, rootCluster = 0, serial = 0;
  uint8_t fatCount = 0;
};

// Parses and checks an exFAT boot sector (at least 512 bytes). False with a one-line
// reason in `why` when the sector is not a consistent exFAT boot sector.
bool ParseExfatBootSector(std::span<const std::byte> sector, ExfatBootInfo& out, std::string& why);

// `bootSector` was read at sector 0 of `read`, which may be the volume's start or the
// backup boot region 12 sectors into the volume. Finds which by looking for the FAT's first
// entries at fatOffset from each candidate start (the sector read first, then 12 sectors
// before it). `distance` answers how many reader sectors the volume's real start lies
// before the sector the boot sector was read at: 0, or 12 volume sectors in reader sectors
// (12 with 512-byte sectors). False when the boot sector does not parse or no FAT is found.
bool LocalizeExfat(std::span<const std::byte> bootSector, const SectorReader& read, uint64_t& distance,
                   ExfatBootInfo& out);

struct ExfatRootInfo {
  std::u16string label;
  bool hasBitmap = false;
  uint32_t bitmapCluster = 0;
  uint64_t bitmapLength = 0;
};

// Walks the root directory's 32-byte entries up to the end marker (type 0) or the span's
// end, taking the volume label and the first FAT's allocation bitmap (the second FAT's
// bitmap when it is the only one). True when an allocation bitmap was found: every exFAT
// root directory holds one.
bool ParseRootDirectory(std::span<const std::byte> dirBytes, ExfatRootInfo& out);

// The boot-region checksum over the first 11 sectors of `bytesPerSector` bytes, skipping
// the volume flags and percent-in-use bytes of the boot sector (106, 107, 112), which
// change without the checksum being rewritten. The 12th sector repeats the expected value.
// 0 when the span is shorter than 11 sectors or the sector size is not 512..4096.
uint32_t ExfatBootChecksum(std::span<const std::byte> first11Sectors, uint32_t bytesPerSector);

}  // namespace torvane::exfat
