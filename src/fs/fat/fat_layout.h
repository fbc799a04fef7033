// Finding where a FAT16 or FAT32 volume keeps its allocation tables and its data area when
// the boot sector cannot be taken at its word: it was overwritten, the volume was
// reformatted as another kind, or the user forced the kind.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "disk/sector_reader.h"

namespace torvane::fat {

// The sector source reads 512-byte sectors; every sector number and count below is in those
// units, whatever sector size the boot sector states.
constexpr uint32_t kReaderSectorBytes = 512;

// How far LocalizeFat looks for the first FAT, and past it for the second copy.
constexpr uint64_t kFatScanSectors = 65536;

struct FatLayout {
  uint64_t fatStart = 0;           // first sector of the first FAT
  uint32_t fatSectors = 0;         // length of one FAT
  uint32_t fatCount = 0;           // 1 or 2
  uint64_t firstDataSector = 0;    // sector of cluster 2
  uint32_t sectorsPerCluster = 0;  // 0 when the boot sector does not say it credibly
};

// True when the sector (at least 8 bytes) begins a FAT of `fatBits` (16 or 32) bits:
// entry 0 holds the media byte, entry 1 the end-of-chain value (its two flag bits aside).
bool IsFatStart(int fatBits, std::span<const std::byte> sector);

// Finds the FAT and the data area of a FAT16 or FAT32 volume. `bootSector` is the volume's
// first sector as read (possibly garbage), `read` reads sectors relative to the volume's
// start, `volumeSectors` is the volume's length. Trusts the boot sector when its fields are
// sane and a FAT begins where it says; otherwise scans the volume's start for a FAT and its
// second copy. False when no credible layout is found.
bool LocalizeFat(int fatBits, std::span<const std::byte> bootSector, const SectorReader& read, uint64_t volumeSectors,
                 FatLayout& out);

}  // namespace torvane::fat
