// The MBR's four primary entries and the chain of extended partition blocks.
#include <cstring>
#include <set>

#include "partitions/volume_list.h"
#include "util/bytes.h"

namespace torvane {
namespace {

constexpr size_t kEntries = 446;
constexpr size_t kEntrySize = 16;
// A chain longer than this is damaged: no partitioning tool makes that many logical drives.
constexpr int kMaxExtendedHops = 1024;
// 1024 cylinders of 255 heads and 63 sectors: the end of what CHS can address.
constexpr uint64_t kChsLimit = 0xFB0400;

bool IsExtendedType(uint8_t type) {
  return type == 0x05 || type == 0x0F || type == 0x85;
}

uint32_t EntryStart(const uint8_t* e) {
  return LeU32(AsBytes(e, kEntrySize), 8);
}
uint32_t EntrySize(const uint8_t* e) {
  return LeU32(AsBytes(e, kEntrySize), 12);
}

void EncodeChsAt(uint8_t* out, uint64_t lba) {
  if (lba >= kChsLimit || lba > 0xFFFFFFFF) {
    out[0] = 254;
    out[1] = 0xFF;
    out[2] = 0xFF;
    return;
  }
  const uint64_t cylinder = lba / (255 * 63);
  out[0] = static_cast<uint8_t>((lba / 63) % 255);
  out[1] = static_cast<uint8_t>((lba % 63 + 1) | ((cylinder >> 2) & 0xC0));
  out[2] = static_cast<uint8_t>(cylinder & 0xFF);
}

}  // namespace

void EncodeChs(uint8_t* entry, uint64_t start, uint64_t size) {
  EncodeChsAt(entry + 1, start);
  EncodeChsAt(entry + 5, size == 0 ? start : start + size - 1);
}

int32_t VolumeListBuilder::ReadPartitionTables() {
  if (!ReadSector(0, mbr_)) return 0;
  int32_t result = 0;
  const uint8_t* first = mbr_ + kEntries;
  if (first[4] == 0xEE) {
    // A protective entry names the GPT header; sector 1 is where it always is.
    if (!ReadGpt(EntryStart(first)) && EntryStart(first) != 1) ReadGpt(1);
  } else {
    uint8_t sector1[512];
    if (ReadSector(1, sector1) && std::memcmp(sector1, "EFI PART", 8) == 0) ReadGpt(1);
  }
  if (first[0] != 0x00 && first[0] != 0x80) {
    // Not a partition table: sector 0 is the boot sector of a volume covering the disk.
    PartitionRecord record;
    result = Recognize(0, record);
    if (result) AddVolume(record);
    return result;
  }
  for (int i = 0; i < 4; ++i) {
    const uint8_t* entry = mbr_ + kEntries + i * kEntrySize;
    // An empty slot is skipped, not the end: a deleted first partition leaves the others.
    if (EntrySize(entry) == 0 || EntryStart(entry) == 0) continue;
    if (IsExtendedType(entry[4])) {
      list_.hasExtended = true;
      FollowExtendedChain(EntryStart(entry));
      continue;
    }
    PartitionRecord record;
    result = Recognize(EntryStart(entry), record, entry);
    if (result) AddVolume(record);
  }
  return result;
}

void VolumeListBuilder::FollowExtendedChain(uint64_t extendedStart) {
  std::set<uint64_t> visited;
  uint64_t block = extendedStart;
  for (int hop = 0; hop < kMaxExtendedHops; ++hop) {
    // A block seen before, or one outside the disk, ends the chain.
    if (!visited.insert(block).second) return;
    uint8_t ebr[512];
    if (!ReadSector(block, ebr) || ebr[510] != 0x55 || ebr[511] != 0xAA) return;
    uint64_t next = 0;
    for (int i = 0; i < 2; ++i) {
      const uint8_t* entry = ebr + kEntries + i * kEntrySize;
      if (EntrySize(entry) == 0 || EntryStart(entry) == 0) break;
      if (i == 0 && !IsExtendedType(entry[4])) {
        PartitionRecord record;
        if (Recognize(block + EntryStart(entry), record, entry)) AddVolume(record);
        continue;
      }
      next = extendedStart + EntryStart(entry);
      break;
    }
    if (next == 0 || next <= block) return;  // no link, or one pointing backwards
    block = next;
  }
}

uint32_t VolumeListBuilder::IsFreeEntry(const uint8_t* entry) {
  // A typed entry inside the disk is in use whatever lies there (LVM, LUKS, BitLocker and
  // unknown volumes are not recognised, and must never be given away).
  const uint64_t start = EntryStart(entry), size = EntrySize(entry), disk = source_.diskSectors;
  if (entry[4] != 0 && start != 0 && size != 0 && start < disk && size <= disk - start) return 0;
  uint8_t recomputed[16];
  std::memcpy(recomputed, entry, sizeof recomputed);
  EncodeChs(recomputed, EntryStart(entry), EntrySize(entry));
  const auto word = [](const uint8_t* e, size_t at) { return LeU16(AsBytes(e, 16), at); };
  if (word(recomputed, 2) == word(entry, 2) || word(recomputed, 6) == word(entry, 6)) {
    if (EntryStart(entry) == 0 || EntrySize(entry) == 0) return 1;
    if (disk < (uint64_t{1} << 32) && (EntryStart(entry) > disk || EntrySize(entry) > disk)) return 1;
    return 0;
  }
  PartitionRecord record;
  return Recognize(EntryStart(entry), record) ? 0 : 1;
}

}  // namespace torvane
