// The record of one volume of a disk, as listed, shown, and stored in scan-state and session
// files (so its layout is a file format), and the other records of the volume list.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace torvane {

enum class FsKind : uint32_t {
  kNone = 0,
  kFat12 = 1,
  kFat16 = 2,
  kFat32 = 3,
  kNtfs = 4,
  kExfat = 5,
  kOther = 6,      // no file system the scanners can walk
  kAutomatic = 7,  // only as the kind asked of OpenVolume: recognise by content
};

#pragma pack(push, 1)
struct PartitionRecord {
  int32_t driveNumber = -1;
  uint64_t startSector = 0;  // absolute
  uint64_t sectors = 0;
  uint16_t startCylinder = 0;
  uint8_t startHead = 0;
  uint8_t startSectorChs = 0;
  uint16_t endCylinder = 0;
  uint8_t endHead = 0;
  uint8_t endSectorChs = 0;
  uint8_t typeByte = 0;
  uint8_t reserved29[4] = {};
  // UTF-16 texts, terminated; stored as bytes because the record is packed (a char16_t
  // array at an odd offset could not be referenced).
  uint8_t fsName[64] = {};
  uint8_t label[256] = {};
  uint8_t displayLabel[256] = {};
  uint32_t serial = 0;
  uint8_t driveLetter = '$';
  double freeSpace = 0;
  uint32_t wholeDisk = 0;
  uint32_t bootRestored = 0;
  uint8_t reserved630[4] = {};
  uint8_t systemId = 0;
  uint32_t bootFromBackup = 0;
  uint32_t damaged = 0;
  uint8_t reserved643[16] = {};
  uint32_t bytesPerSector = 512;
  FsKind fsKind = FsKind::kNone;
  uint8_t reserved667[4] = {};
  uint32_t bootRebuilt = 0;
};
#pragma pack(pop)
static_assert(sizeof(PartitionRecord) == 675, "PartitionRecord is stored whole in files");
static_assert(offsetof(PartitionRecord, fsName) == 33);
static_assert(offsetof(PartitionRecord, label) == 97);
static_assert(offsetof(PartitionRecord, displayLabel) == 353);
static_assert(offsetof(PartitionRecord, driveLetter) == 613);
static_assert(offsetof(PartitionRecord, wholeDisk) == 622);
static_assert(offsetof(PartitionRecord, systemId) == 634);
static_assert(offsetof(PartitionRecord, bytesPerSector) == 659);
static_assert(offsetof(PartitionRecord, bootRebuilt) == 671);

// Copies text into a fixed UTF-16 field of a record, cut to fit and always terminated.
template <size_t N>
void SetText(uint8_t (&field)[N], std::u16string_view text) {
  constexpr size_t kChars = N / 2;
  const size_t n = std::min(text.size(), kChars - 1);
  for (size_t i = 0; i < kChars; ++i) {
    const char16_t c = i < n ? text[i] : u'\0';
    field[2 * i] = static_cast<uint8_t>(c & 0xFF);
    field[2 * i + 1] = static_cast<uint8_t>(c >> 8);
  }
}
template <size_t N>
void SetText(uint8_t (&field)[N], std::string_view latin1) {
  std::u16string wide(latin1.size(), u'\0');
  for (size_t i = 0; i < latin1.size(); ++i) wide[i] = static_cast<unsigned char>(latin1[i]);
  SetText(field, std::u16string_view(wide));
}
template <size_t N>
std::u16string GetText(const uint8_t (&field)[N]) {
  std::u16string text;
  for (size_t i = 0; i + 1 < N; i += 2) {
    const char16_t c = static_cast<char16_t>(field[i] | (field[i + 1] << 8));
    if (c == 0) break;
    text += c;
  }
  return text;
}

// A reconstructed block of an extended partition's chain (for the table repair).
#pragma pack(push, 1)
struct EppBlock {
  int32_t driveNumber = -1;
  uint64_t sector = 0;
  uint8_t firstEntry[16] = {};
  uint8_t secondEntry[16] = {};
  uint64_t logicalStart = 0;
  uint64_t nextBlock = 0;
  uint32_t firstValid = 0;
  uint32_t secondValid = 0;
  uint8_t logicalSystemId = 0;
  uint8_t nextSystemId = 0;
  uint8_t reserved70[4] = {};
  uint32_t damaged = 1;
};
#pragma pack(pop)
static_assert(sizeof(EppBlock) == 78);

// A primary table entry built for a volume found by the disk walk.
#pragma pack(push, 1)
struct PrimaryCandidate {
  uint8_t entry[16] = {};
  uint32_t fitsMbr = 0;  // 1 for the first four candidates
};
#pragma pack(pop)
static_assert(sizeof(PrimaryCandidate) == 20);

// Everything BuildVolumeList learns about one disk.
struct VolumeList {
  std::vector<PartitionRecord> volumes;      // the disk's volumes, in the order found
  size_t tableVolumes = 0;                   // how many of them a partition table lists
  std::vector<PartitionRecord> walkVolumes;  // found by the disk walk and the gap scan
  std::vector<EppBlock> eppBlocks;
  std::vector<PrimaryCandidate> candidates;
  uint32_t primariesToRestore = 0;
  uint32_t extendedCandidates = 0;
  uint32_t freePrimarySlots = 0;
  bool hasExtended = false;
  bool damagedVolumeSeen = false;
  // Volumes no table lists, damaged extended blocks or rebuilt boot sectors were found: the
  // front ends offer the partition table repair.
  bool repairOffered = false;

  void Clear() { *this = VolumeList{}; }
};

}  // namespace torvane
