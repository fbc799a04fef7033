#include "fs/recognize_volume.h"

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "fs/exfat/exfat_layout.h"
#include "fs/fat/fat_directory.h"
#include "fs/ntfs/mft_record.h"
#include "fs/volume_geometry.h"
#include "util/bytes.h"
#include "util/text.h"

namespace torvane {
namespace {

// A boot-sector size replaces the table's when they differ by at least this many sectors.
constexpr uint64_t kFatSizeSlack = 528897;
constexpr uint64_t kNtfsSizeSlack = 524289;
constexpr uint64_t kReiserSizeSlack = 131073;
// Recognition restarts after taking a backup or rebuilt boot sector; a damaged disk could
// offer one after another, so the restarts are counted.
constexpr int kMaxRestarts = 4;
// Root-directory reads for volume labels: the label entry is among the first entries.
constexpr uint32_t kMaxLabelReadSectors = 128;

bool Has(const uint8_t* sector, size_t offset, const char* text) {
  return std::memcmp(sector + offset, text, std::strlen(text)) == 0;
}

ByteSpan Span(const uint8_t* p, size_t n) {
  return AsBytes(p, n);
}

bool IsBlank(std::string_view text) {
  return TrimRight(text).empty();
}

std::string_view Field(const uint8_t* sector, size_t offset, size_t width) {
  return {reinterpret_cast<const char*>(sector + offset), width};
}

class Recognizer {
 public:
  Recognizer(DiskSource& source, VolumeList* list, const uint8_t* tableEntry, PartitionRecord& record, uint64_t sector)
      : source_(source), list_(list), tableEntry_(tableEntry), record_(record), sector_(sector) {}

  uint8_t boot[512] = {};

  int32_t Run() {
    bool triedLastSector = false, triedRebuild = false, triedBackups = false;
    for (int attempt = 0; attempt <= kMaxRestarts; ++attempt) {
      if (TestKnownKinds()) return Finish();
      if (done_) return record_.sectors != 0 ? 1 : 0;
      if (attempt == kMaxRestarts) break;
      // An NTFS backup at the volume's end stands in for a primary that is gone or foreign.
      if (!triedLastSector && record_.sectors != 0) {
        triedLastSector = true;
        uint8_t last[512];
        if (ReadAt(record_.sectors - 1, last) && Has(last, 3, "NTFS") && std::memcmp(last, boot, 84) != 0) {
          std::memcpy(boot, last, 512);
          record_.bootRestored = 1;
          continue;
        }
      }
      if (!triedRebuild) {
        triedRebuild = true;
        const uint64_t diskLast = source_.diskSectors == kNoBound ? kNoBound : source_.diskSectors - 1;
        if (RebuildNtfsBootSector(source_, sector_, record_.sectors, diskLast - std::min(diskLast, source_.volumeStart),
                                  boot)) {
          record_.bootRebuilt = 1;
          continue;
        }
      }
      if (NameOtherKinds()) return Finish();
      NameReservedPartition();
      if (!triedBackups) {
        triedBackups = true;
        // A volume further on: this is not its boot sector, and no backup of it is here.
        uint8_t further[512];
        if (ReadAt(63, further) && Has(further, 3, "NTFS")) break;
        if (TakeBackupBootSector()) continue;
      }
      break;
    }
    if (GetText(record_.fsName) != u"UNKNOWN") return Finish();
    return record_.sectors != 0 ? 1 : 0;
  }

 private:
  bool ReadAt(uint64_t offset, uint8_t* out, uint32_t count = 1) {
    std::memset(out, 0, uint64_t{count} * 512);
    uint64_t at;
    return CheckedAdd(sector_, offset, at) && source_.ReadSectors(out, count, at) == 1;
  }

  void Name(const char* fsName, FsKind kind, uint8_t systemId) {
    SetText(record_.fsName, std::string_view(fsName));
    record_.fsKind = kind;
    record_.systemId = systemId;
  }

  void Label(std::string_view text, const char* whenBlank) {
    SetText(record_.label, IsBlank(text) ? std::string_view(whenBlank) : TrimRight(text));
  }

  void TookBackup() {
    record_.bootRestored = 1;
    record_.bootFromBackup = 1;
    if (list_ != nullptr) list_->damagedVolumeSeen = true;
  }

  // Moves the volume's start back by `distance` sectors (the sector read was a backup).
  void MoveStartBack(uint64_t distance) {
    if (distance == 0 || sector_ < distance) return;
    sector_ -= distance;
    record_.startSector -= distance;
  }

  // `count` units of `unitSectors` sectors each, as the boot sector gives the size.
  void Reconcile(uint64_t count, uint64_t unitSectors, uint64_t slack) {
    uint64_t bootSectors;
    if (!CheckedMul(count, unitSectors, bootSectors) || bootSectors == 0 || bootSectors > vdisk::kMaxDiskSectors)
      return;
    const uint64_t table = record_.sectors;
    const uint64_t diff = table > bootSectors ? table - bootSectors : bootSectors - table;
    if (table == 0 || diff >= slack) record_.sectors = bootSectors;
  }

  bool TestKnownKinds() {
    switch (BootSectorKind(boot)) {
      case FsKind::kExfat:
        return RecognizeExfat();
      case FsKind::kFat32:
        return RecognizeFat32();
      case FsKind::kFat12:
        return RecognizeFat12Or16(true);
      case FsKind::kFat16:
        return RecognizeFat12Or16(false);
      case FsKind::kNtfs:
        return RecognizeNtfs();
      default:
        return false;
    }
  }

  bool RecognizeExfat() {
    exfat::ExfatBootInfo info;
    std::string why;
    if (!exfat::ParseExfatBootSector(Span(boot, 512), info, why)) return false;
    const uint64_t scale = info.bytesPerSector / 512;
    record_.bytesPerSector = info.bytesPerSector;
    Name("EXFAT", FsKind::kExfat, 7);
    record_.serial = info.serial;
    uint64_t distance = 0;
    exfat::ExfatBootInfo located;
    const SectorReader read = [this](uint64_t s, uint32_t n, std::byte* out) {
      return ReadAt(s, reinterpret_cast<uint8_t*>(out), n);
    };
    if (exfat::LocalizeExfat(Span(boot, 512), read, distance, located)) MoveStartBack(distance);
    // The label lives in the root directory.
    const uint64_t spc = uint64_t{info.sectorsPerCluster} * scale;
    const uint64_t root = (uint64_t{info.clusterHeapOffset} +
                           (uint64_t{std::max<uint32_t>(info.rootCluster, 2)} - 2) * info.sectorsPerCluster) *
                          scale;
    std::vector<uint8_t> dir(std::min<uint64_t>(spc, kMaxLabelReadSectors) * 512);
    exfat::ExfatRootInfo rootInfo;
    if (ReadAt(root, dir.data(), static_cast<uint32_t>(dir.size() / 512)) &&
        exfat::ParseRootDirectory(Span(dir.data(), dir.size()), rootInfo) && !rootInfo.label.empty())
      SetText(record_.label, std::u16string_view(rootInfo.label));
    else
      SetText(record_.label, std::string_view("NO NAME"));
    Reconcile(info.volumeLength, scale, kFatSizeSlack);
    return true;
  }

  bool RecognizeFat32() {
    const ByteSpan b = Span(boot, 512);
    const uint32_t bps = LeU16(b, 11), spc = boot[13], reserved = LeU16(b, 14), fats = boot[16];
    const uint32_t fatLength = LeU32(b, 36), rootCluster = LeU32(b, 44);
    if (!ValidBytesPerSector(bps) || !IsPowerOfTwo(spc) || reserved == 0 || fats == 0 || fats > 2 || fatLength == 0)
      return false;
    const uint64_t scale = bps / 512;
    record_.bytesPerSector = bps;
    Name("FAT32", FsKind::kFat32, 11);
    Label(Field(boot, 71, 11), "NO NAME");
    record_.serial = LeU32(b, 67);
    const uint64_t firstData = uint64_t{reserved} + uint64_t{fats} * fatLength;
    // The sector found may be the backup boot sector, 6 sectors into the volume: then the
    // FAT lies 6 sectors earlier than this boot sector says.
    uint8_t fat[512] = {};
    if (sector_ >= 6 * scale && source_.ReadSectors(fat, 1, sector_ - 6 * scale + uint64_t{reserved} * scale) == 1 &&
        fat[0] == 0xF8 && fat[3] == 0x0F && !FatStartsAt(uint64_t{reserved} * scale))
      MoveStartBack(6 * scale);
    const uint64_t root = (firstData + (uint64_t{std::max<uint32_t>(rootCluster, 2)} - 2) * spc) * scale;
    std::vector<uint8_t> dir(std::min<uint64_t>(uint64_t{spc} * scale, kMaxLabelReadSectors) * 512);
    if (ReadAt(root, dir.data(), static_cast<uint32_t>(dir.size() / 512))) {
      auto label = fat::FindVolumeLabel(Span(dir.data(), dir.size()));
      if (label && !IsBlank(*label)) SetText(record_.label, TrimRight(*label));
    }
    const uint64_t total = LeU32(b, 32) != 0 ? LeU32(b, 32) : LeU16(b, 19);
    Reconcile(total, scale, kFatSizeSlack);
    return true;
  }

  // True when the sector at `offset` from the current start begins a FAT32 table.
  bool FatStartsAt(uint64_t offset) {
    uint8_t fat[512];
    return ReadAt(offset, fat) && fat[0] >= 0xF0 && fat[1] == 0xFF && fat[2] == 0xFF && fat[3] == 0x0F;
  }

  bool RecognizeFat12Or16(bool fat12) {
    const ByteSpan b = Span(boot, 512);
    const uint32_t bps = fat12 ? 512 : LeU16(b, 11);
    if (!ValidBytesPerSector(bps) || boot[13] == 0) return false;
    record_.bytesPerSector = bps;
    if (fat12) {
      Name("FAT12", FsKind::kFat12, 1);
      Label(Field(boot, 43, 11), "N/A=FAT12");
    } else {
      Name("FAT16", FsKind::kFat16, 6);
      Label(Field(boot, 43, 11), "NO NAME");
    }
    record_.serial = LeU32(b, 39);
    const uint64_t total = LeU16(b, 19) != 0 ? LeU16(b, 19) : LeU32(b, 32);
    Reconcile(total, bps / 512, kFatSizeSlack);
    return true;
  }

  static bool NtfsFieldsValid(const uint8_t* sector) {
    const ByteSpan b = Span(sector, 512);
    return ValidBytesPerSector(LeU16(b, 11)) && LeU32(b, 36) == 0x00800080 &&
           ntfs::NtfsSectorsPerCluster(sector[13]) != 0;
  }

  bool RecognizeNtfs() {
    if (!NtfsFieldsValid(boot)) {
      // Impossible fields: the backup at the volume's last sector stands in when it is sound,
      // else nothing here is usable. A sound primary is kept even when its backup differs.
      uint8_t last[512];
      if (record_.sectors == 0 || !ReadAt(record_.sectors - 1, last) || !Has(last, 3, "NTFS") ||
          !NtfsFieldsValid(last)) {
        done_ = true;
        record_.sectors = 0;
        return false;
      }
      std::memcpy(boot, last, 512);
      TookBackup();
    }
    const ByteSpan b = Span(boot, 512);
    const uint32_t bps = LeU16(b, 11);
    const uint32_t spc = ntfs::NtfsSectorsPerCluster(boot[13]);
    record_.bytesPerSector = bps;
    Name("NTFS", FsKind::kNtfs, 7);
    record_.serial = static_cast<uint32_t>(LeU64(b, 72));
    SetText(record_.label, std::string_view("NO NAME"));
    const uint64_t clusterBytes = uint64_t{spc} * bps;
    const uint32_t recordBytes =
        ntfs::MftRecordBytes(static_cast<int8_t>(boot[64]), static_cast<uint32_t>(clusterBytes));
    uint64_t mftByte;
    if (recordBytes != 0 && CheckedMul(LeU64(b, 48), clusterBytes, mftByte) &&
        CheckedAdd(mftByte, 3ull * recordBytes, mftByte)) {
      std::vector<std::byte> r;
      std::u16string label;
      uint64_t at;
      if (CheckedAdd(sector_, mftByte / 512, at) &&
          ntfs::ReadRecordAt(source_, at, recordBytes, r) == ntfs::RecordRead::kOk && ntfs::ReadVolumeName(r, label) &&
          !label.empty())
        SetText(record_.label, std::u16string_view(label));
    }
    Reconcile(LeU64(b, 40), bps / 512, kNtfsSizeSlack);
    return true;
  }

  bool NameOtherKinds() {
    const ByteSpan b = Span(boot, 512);
    if (Has(boot, 54, "HPFS")) {
      Name("HPFS", FsKind::kOther, 7);
      Label(Field(boot, 43, 11), "NO NAME");
      record_.serial = LeU32(b, 39);
      Reconcile(LeU32(b, 32), 1, kFatSizeSlack);
      return true;
    }
    uint8_t super[1024];
    if (ReadAt(2, super, 2) && LeU16(Span(super, 1024), 56) == 0xEF53 && LeU16(Span(super, 1024), 58) <= 2 &&
        LeU16(Span(super, 1024), 60) < 4) {
      const ByteSpan s = Span(super, 1024);
      const uint32_t compat = LeU32(s, 92), incompat = LeU32(s, 96), logBlock = LeU32(s, 24);
      // Extents (an ext4 feature) make it neither Ext2 nor Ext3.
      const char* name = (incompat & 0x40) ? "Ext" : (compat & 0x4) ? "Ext3" : "Ext2";
      Name(name, FsKind::kOther, 131);
      Label(Field(super, 120, 16), "NO NAME");
      if (logBlock <= 6) Reconcile(LeU32(s, 4), uint64_t{2} << logBlock, kFatSizeSlack);
      return true;
    }
    uint8_t reiser[512];
    if (ReadAt(128, reiser) && Has(reiser, 52, "ReIsEr")) {
      const ByteSpan r = Span(reiser, 512);
      Name("ReiserFS", FsKind::kOther, 131);
      Label(Field(reiser, 100, 16), "NO NAME");
      Reconcile(LeU32(r, 0), LeU16(r, 44) / 512, kReiserSizeSlack);
      return true;
    }
    uint8_t page[4096];
    if (ReadAt(0, page, 8)) {
      const char* name = Has(page, 4086, "SWAPSPACE2")   ? "Linux Swap 2"
                         : Has(page, 4086, "SWAP-SPACE") ? "Linux Swap"
                                                         : nullptr;
      if (name != nullptr) {
        Name(name, FsKind::kOther, 130);
        SetText(record_.label, std::string_view(name));
        return true;
      }
    }
    return false;
  }

  void NameReservedPartition() {
    const uint64_t bytes = record_.sectors * 512;
    if ((bytes == 128ull << 20 || bytes == 32ull << 20) && (sector_ == 6 || sector_ == 34)) {
      SetText(record_.fsName, std::string_view("MS Reserved Partition"));
      SetText(record_.displayLabel, std::string_view("MS Reserved Partition"));
      record_.fsKind = FsKind::kOther;
      reserved_ = true;
    }
  }

  // Backup boot sectors: NTFS at the volume's last sector (by the table entry's size), FAT32
  // 6 and 2 sectors further, exFAT 12 sectors further.
  bool TakeBackupBootSector() {
    uint8_t candidate[512];
    const uint32_t entrySize = tableEntry_ != nullptr ? LeU32(Span(tableEntry_, 16), 12) : 0;
    if (entrySize != 0 && entrySize != record_.sectors && ReadAt(entrySize - 1, candidate) && Has(candidate, 3, "NTFS"))
      return Take(candidate);
    for (uint64_t offset : {6, 2})
      if (ReadAt(offset, candidate) && Has(candidate, 82, "FAT32")) return Take(candidate);
    if (ReadAt(12, candidate) && Has(candidate, 3, "EXFAT")) return Take(candidate);
    return false;
  }

  bool Take(const uint8_t* candidate) {
    std::memcpy(boot, candidate, 512);
    TookBackup();
    return true;
  }

  int32_t Finish() {
    if (!reserved_) {
      std::memcpy(record_.displayLabel, record_.label, sizeof record_.label);
      if (boot[508] == 0x1F && boot[509] == 0x2C && boot[510] == 0x55 && boot[511] == 0xAA) {
        SetText(record_.label, std::string_view("BitLocker Boot"));
        SetText(record_.displayLabel, std::string_view("BitLocker Boot"));
      }
    }
    return 1;
  }

  DiskSource& source_;
  VolumeList* list_;
  const uint8_t* tableEntry_;
  PartitionRecord& record_;
  uint64_t sector_;
  bool done_ = false;
  bool reserved_ = false;
};

}  // namespace

FsKind BootSectorKind(const void* bootSector) {
  const auto* boot = static_cast<const uint8_t*>(bootSector);
  if (Has(boot, 3, "EXFAT")) return FsKind::kExfat;
  if (Has(boot, 82, "FAT32")) return FsKind::kFat32;
  if (Has(boot, 54, "FAT12")) return FsKind::kFat12;
  if (Has(boot, 54, "FAT16")) return FsKind::kFat16;
  if (Has(boot, 3, "NTFS")) return FsKind::kNtfs;
  return FsKind::kOther;
}

int32_t RecognizeVolume(DiskSource& source, VolumeList* list, const uint8_t* tableEntry, PartitionRecord& record,
                        uint64_t sector, const uint8_t* sectorCopy, const uint8_t* gptEntry) {
  record = PartitionRecord{};
  Recognizer r(source, list, tableEntry, record, sector);
  if (sectorCopy != nullptr) {
    std::memcpy(r.boot, sectorCopy, 512);
  } else if (source.ReadSectors(r.boot, 1, sector) != 1) {
    return 0;
  }
  // An empty partition table, or the protective entry of a GPT disk, is no volume.
  if (r.boot[510] == 0x55 && r.boot[511] == 0xAA && IsAllZero(AsBytes(r.boot, 446))) return 0;
  if (tableEntry != nullptr && tableEntry[4] == 0xEE) return 0;

  record.driveNumber = source.driveNumber;
  record.startSector = sector + source.volumeStart;
  if (gptEntry != nullptr) {
    const ByteSpan g = AsBytes(gptEntry, 128);
    const uint64_t first = LeU64(g, 32), last = LeU64(g, 40);
    if (first == 0 || last == 0 || last < first) return 0;
    record.sectors = last - first + 1;
  } else if (tableEntry != nullptr) {
    const ByteSpan e = AsBytes(tableEntry, 16);
    record.sectors = LeU32(e, 12);
    record.startHead = tableEntry[1];
    record.startSectorChs = tableEntry[2] & 0x3F;
    record.startCylinder = static_cast<uint16_t>(LeU16(e, 2) >> 6);
    record.endHead = tableEntry[5];
    record.endSectorChs = tableEntry[6] & 0x3F;
    record.endCylinder = static_cast<uint16_t>(LeU16(e, 6) >> 6);
    record.typeByte = tableEntry[4];
  }
  record.bytesPerSector = source.bytesPerSector;
  record.driveLetter = '$';
  SetText(record.fsName, std::string_view("UNKNOWN"));
  SetText(record.label, std::string_view("NO NAME"));
  const int32_t result = r.Run();
  // No volume reaches past the disk it lies on, whatever its boot sector claims.
  const uint64_t start = record.startSector, sectors = record.sectors;
  if (source.diskSectors != kNoBound && sectors > source.diskSectors - std::min(source.diskSectors, start))
    record.sectors = source.diskSectors - std::min(source.diskSectors, start);
  return result;
}

uint32_t RebuildNtfsBootSector(DiskSource& source, uint64_t start, uint64_t sizeSectors, uint64_t diskLastSector,
                               uint8_t* bootSector) {
  const uint32_t bps = source.bytesPerSector;
  if (!ValidBytesPerSector(bps)) return 0;
  const uint32_t recordBytes = bps == 4096 ? 4096 : 1024;
  const uint64_t recordSector = uint64_t{4096 / bps} * kAssumedMftCluster + 6 * (1024 / bps);
  uint64_t at;
  if (!CheckedAdd(start, recordSector, at) || at > diskLastSector) return 0;
  std::vector<std::byte> r;
  std::u16string name;
  uint64_t bitmapBytes = 0;
  if (ntfs::ReadRecordAt(source, at, recordBytes, r) != ntfs::RecordRead::kOk || !ntfs::ReadFileName(r, name) ||
      name != u"$Bitmap" || !ntfs::ReadDataSize(r, bitmapBytes) || bitmapBytes == 0)
    return 0;
  const uint32_t spc = 4096 / bps;
  uint64_t computed;
  if (!CheckedMul(bitmapBytes, 8ull * spc, computed)) return 0;
  uint64_t size = sizeSectors;
  if (size == 0 || size > computed || computed - size > computed / 100000) size = computed;
  if (start <= diskLastSector) size = std::min(size, diskLastSector - start + 1);

  std::memset(bootSector, 0, 512);
  const MutableByteSpan out(reinterpret_cast<std::byte*>(bootSector), 512);
  bootSector[0] = 0xEB;
  bootSector[1] = 0x52;
  bootSector[2] = 0x90;
  std::memcpy(bootSector + 3, "NTFS    ", 8);
  StoreLeU16(out, 11, static_cast<uint16_t>(bps));
  bootSector[13] = static_cast<uint8_t>(spc);
  StoreLeU32(out, 28, static_cast<uint32_t>(std::min<uint64_t>(start, 0xFFFFFFFF)));
  StoreLeU32(out, 36, 0x00800080);
  StoreLeU64(out, 40, size);
  StoreLeU64(out, 48, kAssumedMftCluster);
  bootSector[64] = bps == 4096 ? 1 : 246;  // 246 = -10: records of 2^10 bytes
  bootSector[510] = 0x55;
  bootSector[511] = 0xAA;
  return 1;
}

}  // namespace torvane
