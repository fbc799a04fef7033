#include "fs/open_volume.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <vector>

#include "fs/exfat/exfat_layout.h"
#include "fs/fat/fat_directory.h"
#include "fs/fat/fat_layout.h"
#include "fs/ntfs/mft_record.h"
#include "fs/ntfs/runlist.h"
#include "fs/recognize_volume.h"
#include "util/bytes.h"

namespace torvane {
namespace {

// Recognition may move to a backup boot sector or another candidate sector and start over;
// the moves are counted so that a damaged disk cannot keep it going.
constexpr int kMaxRestarts = 6;
// Reads of large tables go in pieces of this many sectors.
constexpr uint32_t kTableReadSectors = 8192;
// Where a FAT32 volume reformatted by a later format tool keeps its root directory: probed
// when the computed root holds nothing but the System Volume Information folder.
constexpr uint64_t kReformattedRootProbes[] = {37440, 32768, 8192, 122176, 480, 240};

bool Has(const std::byte* sector, size_t offset, const char* text) {
  return std::memcmp(sector + offset, text, std::strlen(text)) == 0;
}

// Reads `bytes` bytes from `sector` on in pieces; false when any piece is refused.
bool ReadLarge(DiskSource& source, uint64_t sector, std::byte* out, uint64_t bytes) {
  std::vector<std::byte> tail;
  while (bytes > 0) {
    const uint64_t n = std::min<uint64_t>(bytes / 512, kTableReadSectors);
    if (n == 0) {
      tail.resize(512);
      if (source.ReadSectors(tail.data(), 1, sector) != 1) return false;
      std::memcpy(out, tail.data(), bytes);
      return true;
    }
    if (source.ReadSectors(out, static_cast<uint32_t>(n), sector) != 1) return false;
    sector += n;
    out += n * 512;
    bytes -= n * 512;
  }
  return true;
}

template <typename T>
bool TryResize(std::vector<T>& v, uint64_t size) {
  try {
    v.assign(size, T{});
    return true;
  } catch (const std::bad_alloc&) {
    v.clear();
    return false;
  }
}

class VolumeOpener {
 public:
  VolumeOpener(DiskSource& source, VolumeGeometry& g, const OpenVolumeRequest& request)
      : source_(source), g_(g), request_(request) {}

  uint32_t Open(std::string* error, std::string* userMessage) {
    std::string openError;
    if (!OpenSource(openError)) {
      if (error != nullptr) *error = openError;
      return 0;
    }
    source_.driveNumber = request_.driveNumber;
    source_.driveLetter = static_cast<char>(std::tolower(static_cast<unsigned char>(request_.driveLetter)));
    // No volume reaches past the disk it lies on, whatever a table or boot sector claims.
    diskRoom_ = source_.diskSectors == kNoBound
                    ? kNoBound
                    : source_.diskSectors - std::min(source_.diskSectors, request_.startSector);
    volumeRoom_ = request_.volumeSectors != 0 ? std::min(request_.volumeSectors, diskRoom_) : diskRoom_;
    if (request_.volumeSectors != 0 && volumeRoom_ != 0) source_.volumeLastSector = volumeRoom_ - 1;
    g_.Clear();
    g_.source = &source_;
    g_.bytesPerSector = source_.bytesPerSector;
    std::memcpy(g_.bootSectorCopy.data(), source_.bootSectorCopy.data(), 512);
    const DriveSettings* settings = request_.settings;
    const bool override = settings != nullptr && settings->override != 0;
    const FsKind wanted = override ? settings->Kind() : request_.requestedKind;
    const uint32_t clusterBytes = override ? settings->ClusterBytes() : 0;
    const bool damaged = settings != nullptr && settings->damaged != 0;

    // Recognition comes first; a kind or cluster size forced by the caller or the drive
    // settings then overrides what it found.
    Recognise();
    Geometry();
    const bool recognised = g_.fsKind != FsKind::kOther && g_.sectorsPerCluster != 0;
    const bool agrees = (wanted == FsKind::kAutomatic || wanted == g_.fsKind) &&
                        (clusterBytes == 0 || clusterBytes == g_.sectorsPerCluster * 512);
    if (recognised && agrees) {
      if (request_.loadTables && !damaged) LoadTables();
      g_.volumeLastSector =
          (g_.clusterCount + 1) * g_.sectorsPerCluster + (g_.fsKind == FsKind::kNtfs ? 0 : g_.clusterBase) - 1;
    } else {
      const FsKind kind = wanted == FsKind::kAutomatic ? FsKind::kOther : wanted;
      ClearGeometry();
      if (!OpenForced(kind, override, clusterBytes, damaged, userMessage)) {
        source_.CloseSource();
        if (error != nullptr) error->clear();
        return 0;
      }
    }
    if (damaged) g_.damaged = true;
    g_.fsKindAtOpen = g_.fsKind;
    g_.bytesPerCluster = g_.sectorsPerCluster * g_.bytesPerSector;
    const uint64_t volumeSectors = request_.volumeSectors != 0 ? volumeRoom_
                                   : g_.volumeSectors != 0     ? g_.volumeSectors
                                                               : diskRoom_;
    for (size_t i = 0; i < 4; ++i) {
      static constexpr FsKind kKinds[] = {FsKind::kNtfs, FsKind::kFat32, FsKind::kFat16, FsKind::kFat12};
      g_.defaultSectorsPerCluster[i] = DefaultSectorsPerCluster(kKinds[i], volumeSectors, g_.bytesPerSector);
    }
    // Work buffers: one cluster when a cluster is larger than 1 MiB.
    const size_t want = std::max<size_t>(g_.bytesPerCluster, kMinSectorBufferBytes);
    for (auto& b : g_.workBuffers)
      if (b.size() < want) b.Resize(want);
    if (source_.sectorBuffer.size() < want) source_.sectorBuffer.Resize(want);
    if (request_.volumeSectors != 0 && volumeRoom_ != 0) g_.volumeLastSector = volumeRoom_ - 1;
    source_.volumeLastSector = g_.volumeLastSector;
    if (request_.record != nullptr) request_.record->fsKind = g_.fsKind;
    return 1;
  }

 private:
  // An empty path opens again the disk the source already holds (a disk held in memory).
  bool OpenSource(std::string& error) {
    if (request_.path.empty() && source_.disk != nullptr) {
      auto disk = std::move(source_.disk);
      return source_.OpenDisk(std::move(disk), request_.startSector, error);
    }
    return source_.OpenSource(request_.path, request_.startSector, error);
  }

  // Everything recognition filled in goes, but the boot sector it settled on.
  void ClearGeometry() {
    std::array<std::byte, 512> boot = g_.bootSectorCopy;
    const uint32_t usedBackup = g_.usedBackupBootSector;
    g_.Clear();
    g_.source = &source_;
    g_.bytesPerSector = source_.bytesPerSector;
    g_.bootSectorCopy = boot;
    g_.usedBackupBootSector = usedBackup;
  }

  bool ReadBoot(uint64_t sector) {
    std::memset(boot_, 0, sizeof boot_);
    return source_.ReadSectors(boot_, 1, sector) == 1;
  }

  // Steps through the candidate boot sectors until one names a file system.
  void Recognise() {
    std::memcpy(boot_, g_.bootSectorCopy.data(), 512);
    uint64_t bootAt = 0;
    for (int restart = 0; restart <= kMaxRestarts; ++restart) {
      g_.fsKind = BootSectorKind(boot_);
      // Impossible fields move the search to where a backup boot sector may be.
      if (g_.fsKind == FsKind::kFat32 && (boot_[13] == std::byte{0} || LeU16(Boot(), 11) == 0)) {
        const uint64_t next = bootAt == 0 ? 6 : bootAt == 6 ? 2 : bootAt == 2 ? 16 : kNoBound;
        if (next == kNoBound || !ReadBoot(next)) break;
        bootAt = next;
        g_.usedBackupBootSector = 1;
        continue;
      }
      if (g_.fsKind == FsKind::kExfat && (boot_[108] == std::byte{0} || boot_[109] == std::byte{0}) && bootAt == 0) {
        if (!ReadBoot(12)) break;
        bootAt = 12;
        g_.usedBackupBootSector = 1;
        continue;
      }
      if (g_.fsKind != FsKind::kOther) break;
      uint8_t rebuilt[512];
      const uint64_t diskLast = source_.diskSectors - 1 - std::min(source_.diskSectors - 1, request_.startSector);
      if (RebuildNtfsBootSector(source_, 0, request_.volumeSectors, diskLast, rebuilt)) {
        std::memcpy(boot_, rebuilt, 512);
        g_.fsKind = FsKind::kNtfs;
        break;
      }
      if (bootAt != 0 || !TryBackups()) break;
      bootAt = kNoBound;  // a backup was taken; no further moves
      g_.usedBackupBootSector = 1;
    }
    std::memcpy(g_.bootSectorCopy.data(), boot_, 512);
  }

  // Backup boot sectors of a volume whose first sector names nothing.
  bool TryBackups() {
    if (ReadBoot(12) && Has(boot_, 3, "EXFAT")) return true;
    for (uint64_t s : {2, 6})
      if (ReadBoot(s) && Has(boot_, 82, "FAT32")) return true;
    const uint64_t size = request_.record != nullptr ? request_.record->sectors : 0;
    if (size != 0) {
      for (uint64_t s : {size - 1, size})
        if (ReadBoot(s) && Has(boot_, 3, "NTFS")) return true;
    }
    std::memcpy(boot_, g_.bootSectorCopy.data(), 512);
    return false;
  }

  ByteSpan Boot() const { return {boot_, 512}; }

  void Geometry() {
    const ByteSpan b = Boot();
    switch (g_.fsKind) {
      case FsKind::kFat12:
      case FsKind::kFat16:
      case FsKind::kFat32:
        if (!FatGeometry(b)) g_.fsKind = FsKind::kOther;
        break;
      case FsKind::kNtfs:
        if (!NtfsGeometry(b)) g_.fsKind = FsKind::kOther;
        break;
      case FsKind::kExfat:
        if (!ExfatGeometry(b)) g_.fsKind = FsKind::kOther;
        break;
      default:
        break;
    }
  }

  bool FatGeometry(ByteSpan b) {
    const uint32_t bps = LeU16(b, 11), spc = LeU8(b, 13), reserved = LeU16(b, 14), fats = LeU8(b, 16);
    const uint32_t rootEntries = LeU16(b, 17);
    const bool fat32 = g_.fsKind == FsKind::kFat32;
    const uint32_t fatLength = fat32 ? LeU32(b, 36) : LeU16(b, 22);
    if (!ValidBytesPerSector(bps) || !IsPowerOfTwo(spc) || reserved == 0 || fats == 0 || fats > 2 || fatLength == 0)
      return false;
    const uint32_t scale = bps / 512;
    g_.sectorsPerCluster = spc * scale;
    g_.fatStartSector = uint64_t{reserved + (fats == 2 ? fatLength : 0)} * scale;
    g_.fatSectors = fatLength * scale;
    const uint64_t total16 = LeU16(b, 19), total32 = LeU32(b, 32);
    g_.volumeSectors = (total16 != 0 ? total16 : total32) * scale;
    if (fat32) g_.volumeSectors = (total32 != 0 ? total32 : total16) * scale;
    g_.volumeSectors = std::min(g_.volumeSectors, diskRoom_);
    const uint64_t rootSectors = (uint64_t{rootEntries} * 32 + bps - 1) / bps;
    g_.firstDataSector = (uint64_t{reserved} + uint64_t{fats} * fatLength + (fat32 ? 0 : rootSectors)) * scale;
    if (g_.volumeSectors <= g_.firstDataSector || g_.firstDataSector < 2ull * g_.sectorsPerCluster) return false;
    g_.rootDirectoryCluster = fat32 ? std::max<uint32_t>(LeU32(b, 44), 2) : 1;
    g_.clusterCount = (g_.volumeSectors - g_.firstDataSector) / g_.sectorsPerCluster + 1;
    if (fat32) ProbeReformattedRoot();
    g_.clusterBase = g_.firstDataSector - 2ull * g_.sectorsPerCluster;
    SizeFatTable();
    return true;
  }

  // A FAT32 volume formatted again keeps its old root elsewhere; when the root that the
  // boot sector names holds only System Volume Information, look where formatters put it.
  void ProbeReformattedRoot() {
    std::byte sector[512] = {};
    if (source_.ReadSectors(sector, 1, g_.firstDataSector) != 1) return;
    const ByteSpan s(sector, 512);
    auto zeroAt = [&](std::initializer_list<size_t> offsets) {
      for (size_t o : offsets)
        if (sector[o] != std::byte{0}) return false;
      return true;
    };
    const bool onlySvi = (fat::IsSystemVolumeInformationLfn(s.subspan(0, 32)) && zeroAt({96, 128, 160})) ||
                         (fat::IsSystemVolumeInformationLfn(s.subspan(32, 32)) && zeroAt({128, 160, 192}));
    if (!onlySvi) return;
    for (uint64_t probe : kReformattedRootProbes) {
      if (probe == g_.firstDataSector) continue;
      std::byte candidate[512] = {};
      if (source_.ReadSectors(candidate, 1, probe) != 1) continue;
      const ByteSpan c(candidate, 512);
      if (fat::IsValidDirEntry(c.subspan(0, 32)) && fat::IsValidDirEntry(c.subspan(32, 32))) {
        g_.firstDataSector = probe;
        return;
      }
    }
  }

  bool NtfsGeometry(ByteSpan b) {
    const uint32_t bps = LeU16(b, 11);
    const uint32_t spc = ntfs::NtfsSectorsPerCluster(LeU8(b, 13));
    if (!ValidBytesPerSector(bps) || spc == 0 || LeU32(b, 36) != 0x00800080) return false;
    const uint32_t scale = bps / 512;
    g_.sectorsPerCluster = spc * scale;
    g_.firstDataSector = 2;
    g_.clusterBase = 0;
    g_.volumeSectors = LeU64(b, 40) * scale;
    if (g_.volumeSectors == 0 || g_.volumeSectors > vdisk::kMaxDiskSectors) return false;
    g_.volumeSectors = std::min(g_.volumeSectors, diskRoom_);
    if (g_.volumeSectors < 2ull * g_.sectorsPerCluster) return false;
    g_.clusterCount = g_.volumeSectors / g_.sectorsPerCluster - 1;
    g_.mftCluster = LeU64(b, 48);
    g_.mftMirrorCluster = LeU64(b, 56);
    g_.mftRecordBytes = ntfs::MftRecordBytes(static_cast<int8_t>(LeU8(b, 64)), g_.sectorsPerCluster * 512);
    if (g_.mftRecordBytes == 0 || g_.mftCluster > g_.clusterCount) return false;
    g_.mftStartSector = g_.mftCluster * g_.sectorsPerCluster;
    g_.sectorsPerMftRecord = std::max<uint32_t>(1, g_.mftRecordBytes / 512);
    g_.mftRecordsPerCluster = std::max<uint32_t>(1, g_.sectorsPerCluster * 512 / g_.mftRecordBytes);
    // The MFT's own record gives the number of records; its mirror stands in when damaged.
    uint64_t dataSize = 0;
    for (uint64_t cluster : {g_.mftCluster, g_.mftMirrorCluster}) {
      std::vector<std::byte> rec;
      if (ReadMftRecordAt(cluster * g_.sectorsPerCluster, rec) && ntfs::ReadDataSize(rec, dataSize)) {
        g_.mftRecordCount = dataSize / g_.mftRecordBytes;
        break;
      }
    }
    // No more records than the volume can hold.
    g_.mftRecordCount = std::min(g_.mftRecordCount, g_.volumeSectors * 512 / g_.mftRecordBytes);
    return true;
  }

  bool ReadMftRecordAt(uint64_t sector, std::vector<std::byte>& rec) {
    return ntfs::ReadRecordAt(source_, sector, g_.mftRecordBytes, rec) == ntfs::RecordRead::kOk;
  }

  bool ExfatGeometry(ByteSpan b) {
    std::string why;
    exfat::ExfatBootInfo info;
    if (!exfat::ParseExfatBootSector(b, info, why)) return false;
    const uint32_t scale = info.bytesPerSector / 512;
    g_.sectorsPerCluster = info.sectorsPerCluster * scale;
    g_.fatStartSector = (uint64_t{info.fatOffset} + (info.fatCount == 2 ? info.fatLength : 0)) * scale;
    g_.fatSectors = info.fatLength * scale;
    g_.firstDataSector = uint64_t{info.clusterHeapOffset} * scale;
    g_.clusterBase = g_.firstDataSector - 2ull * g_.sectorsPerCluster;
    g_.rootDirectoryCluster = info.rootCluster;
    g_.volumeSectors = std::min(info.volumeLength * scale, diskRoom_);
    if (g_.volumeSectors <= g_.firstDataSector) return false;
    // The cluster count field, checked against the volume's length when parsed and cut to
    // the clusters the disk holds; clusters are numbered from 2, so the highest is count + 1.
    g_.clusterCount =
        std::min<uint64_t>(info.clusterCount, (g_.volumeSectors - g_.firstDataSector) / g_.sectorsPerCluster) + 1;
    SizeFatTable();
    return true;
  }

  // The FAT holds an entry for every cluster and the two reserved ones (a FAT12 entry takes
  // a byte and a half, exFAT's four bytes), and no more than its own length: the table is
  // sized by the clusters of the volume as cut to its disk.
  void SizeFatTable() {
    const uint64_t entries = g_.clusterCount + 2;
    const uint64_t needed = g_.fsKind == FsKind::kFat12   ? (entries * 3 + 1) / 2
                            : g_.fsKind == FsKind::kFat16 ? entries * 2
                                                          : entries * 4;
    g_.fatBytes = std::min<uint64_t>(uint64_t{g_.fatSectors} * 512, needed);
    g_.fatEntries = g_.fsKind == FsKind::kFat12   ? g_.fatBytes * 2 / 3
                    : g_.fsKind == FsKind::kFat16 ? g_.fatBytes / 2
                                                  : g_.fatBytes / 4;
  }

  // Reads the FAT copy in use; an unreadable one leaves no table (chains then run on).
  void LoadFatTable() {
    if (TryResize(g_.fatTable, g_.fatBytes) &&
        !ReadLarge(source_, g_.fatStartSector, reinterpret_cast<std::byte*>(g_.fatTable.data()), g_.fatBytes))
      g_.fatTable.clear();
  }

  void LoadTables() {
    switch (g_.fsKind) {
      case FsKind::kFat12:
      case FsKind::kFat16:
      case FsKind::kFat32:
        LoadFatTable();
        break;
      case FsKind::kNtfs:
        LoadNtfsBitmap();
        break;
      case FsKind::kExfat:
        LoadExfatBitmap();
        LoadFatTable();
        break;
      default:
        break;
    }
  }

  // $Bitmap is MFT record 6: one bit per cluster.
  void LoadNtfsBitmap() {
    std::vector<std::byte> rec;
    if (!ReadMftRecordAt(g_.mftStartSector + 6ull * g_.mftRecordBytes / 512, rec)) return;
    auto data = ntfs::FindAttribute(rec, 0x80, true);
    if (!data) return;
    const uint64_t maxBytes = (g_.clusterCount + 1 + 7) / 8;
    if (!data->nonResident) {
      auto value = ntfs::ResidentValue(rec, *data);
      g_.allocationMap.assign(
          reinterpret_cast<const uint8_t*>(value.data()),
          reinterpret_cast<const uint8_t*>(value.data()) + std::min<uint64_t>(value.size(), maxBytes));
      return;
    }
    const uint64_t size = std::min<uint64_t>(data->realSize, maxBytes);
    if (data->runlistOffset >= data->length) return;
    std::vector<ntfs::DataRun> runs;
    ntfs::DecodeRunlist(
        std::span<const std::byte>(rec).subspan(data->offset + data->runlistOffset, data->length - data->runlistOffset),
        data->lowestVcn, runs);
    if (!TryResize(g_.allocationMap, size)) return;
    const uint64_t clusterBytes = uint64_t{g_.sectorsPerCluster} * 512;
    for (const auto& run : runs) {
      uint64_t offset;
      if (!CheckedMul(run.vcn, clusterBytes, offset) || offset >= size) break;
      const uint64_t bytes = std::min(run.length * clusterBytes, size - offset);
      if (run.sparse) continue;  // reads as zeros, already there
      if (!ReadLarge(source_, run.lcn * g_.sectorsPerCluster,
                     reinterpret_cast<std::byte*>(g_.allocationMap.data()) + offset, bytes)) {
        g_.allocationMap.clear();
        return;
      }
    }
  }

  // The allocation bitmap named by the root directory's bitmap entry.
  void LoadExfatBitmap() {
    const uint64_t spc = g_.sectorsPerCluster;
    std::vector<std::byte> dir(std::min<uint64_t>(spc, 128) * 512);
    exfat::ExfatRootInfo root;
    if (source_.ReadSectors(dir.data(), static_cast<uint32_t>(dir.size() / 512),
                            g_.clusterBase + uint64_t{g_.rootDirectoryCluster} * spc) != 1 ||
        !exfat::ParseRootDirectory(dir, root) || !root.hasBitmap || root.bitmapCluster < 2 ||
        root.bitmapCluster > g_.clusterCount)
      return;
    const uint64_t size = std::min<uint64_t>(root.bitmapLength, (g_.clusterCount + 7) / 8);
    if (TryResize(g_.allocationMap, size) && !ReadLarge(source_, g_.clusterBase + uint64_t{root.bitmapCluster} * spc,
                                                        reinterpret_cast<std::byte*>(g_.allocationMap.data()), size))
      g_.allocationMap.clear();
  }

  // A kind forced by the caller or the advanced drive settings, or a volume nothing was
  // recognised on. Every way out sizes the volume in clusters, so that a scan covers it.
  bool OpenForced(FsKind kind, bool override, uint32_t clusterBytes, bool damaged, std::string* userMessage) {
    const DriveSettings* settings = request_.settings;
    const uint64_t volumeSectors = volumeRoom_;
    g_.fsKind = kind;
    g_.sectorsPerCluster = clusterBytes != 0 ? std::max<uint32_t>(1, clusterBytes / 512)
                                             : DefaultSectorsPerCluster(kind, volumeSectors, 512);
    g_.volumeSectors = volumeSectors;
    g_.volumeLastSector = volumeSectors == 0 ? kNoBound : volumeSectors - 1;
    const SectorReader read = [this](uint64_t s, uint32_t n, std::byte* out) {
      return source_.ReadSectors(out, n, s) == 1;
    };
    switch (kind) {
      case FsKind::kFat16:
      case FsKind::kFat32: {
        fat::FatLayout layout;
        if (fat::LocalizeFat(kind == FsKind::kFat16 ? 16 : 32, g_.bootSectorCopy, read, volumeSectors, layout)) {
          g_.fatStartSector = layout.fatStart;
          g_.fatSectors = layout.fatSectors;
          g_.firstDataSector = layout.firstDataSector;
          if (layout.sectorsPerCluster != 0 && clusterBytes == 0) g_.sectorsPerCluster = layout.sectorsPerCluster;
          g_.clusterBase = g_.firstDataSector - std::min<uint64_t>(g_.firstDataSector, 2ull * g_.sectorsPerCluster);
          g_.clusterCount =
              volumeSectors > g_.firstDataSector ? (volumeSectors - g_.firstDataSector) / g_.sectorsPerCluster + 1 : 0;
          g_.rootDirectoryCluster = kind == FsKind::kFat32 ? 2 : 1;
          SizeFatTable();
          if (request_.loadTables && !damaged) LoadFatTable();
          return true;
        }
        if (!override) return false;
        if (userMessage != nullptr)
          *userMessage = kind == FsKind::kFat16 ? "Sorry, can't localize FAT16 file system."
                                                : "Sorry, can't localize FAT32 file system.";
        OpenRaw(clusterBytes);
        return true;
      }
      case FsKind::kNtfs:
        g_.firstDataSector = 2;
        g_.mftRecordBytes = 1024;
        g_.sectorsPerMftRecord = 2;
        g_.damaged = true;
        if (settings != nullptr && settings->mftPosition != 0) {
          g_.clusterBase = settings->mftPosition;
          g_.firstDataSector = settings->mftPosition + 2;
          if (settings->mftVolumeSectors != 0 && diskRoom_ != 0) {
            g_.volumeSectors = std::min(settings->mftVolumeSectors, diskRoom_);
            g_.volumeLastSector = g_.volumeSectors - 1;
          }
        }
        g_.clusterCount = RawClusters();
        return true;
      case FsKind::kExfat: {
        uint64_t distance = 0;
        exfat::ExfatBootInfo info;
        if (exfat::LocalizeExfat(g_.bootSectorCopy, read, distance, info)) {
          std::memcpy(boot_, g_.bootSectorCopy.data(), 512);
          if (ExfatGeometry(ByteSpan(boot_, 512))) {
            if (request_.loadTables && !damaged) LoadTables();
            return true;
          }
        }
        if (!override) return false;
        g_.damaged = true;
        g_.clusterCount = RawClusters();
        return true;
      }
      default:
        OpenRaw(clusterBytes);
        return true;
    }
  }

  // A volume read as raw data has its sectors over the cluster size in clusters.
  uint64_t RawClusters() const {
    return g_.volumeSectors == kNoBound || g_.sectorsPerCluster == 0 ? 0 : g_.volumeSectors / g_.sectorsPerCluster;
  }

  // No file system the scanners can walk: a damaged raw volume, scanned as NTFS-like data
  // from its first sector to its last. The cluster size is the settings', else the boot
  // sector's when it is a power of two, else one sector.
  void OpenRaw(uint32_t clusterBytes) {
    g_.fsKind = FsKind::kNtfs;
    const uint8_t spc = std::to_integer<uint8_t>(g_.bootSectorCopy[13]);
    g_.sectorsPerCluster = clusterBytes != 0 ? std::max<uint32_t>(1, clusterBytes / 512) : IsPowerOfTwo(spc) ? spc : 1;
    g_.firstDataSector = 2;
    g_.clusterBase = 0;
    g_.mftRecordBytes = 1024;
    g_.sectorsPerMftRecord = 2;
    g_.volumeSectors = volumeRoom_;
    g_.volumeLastSector = volumeRoom_ == 0 ? kNoBound : volumeRoom_ - 1;
    g_.clusterCount = RawClusters();
    g_.damaged = true;
  }

  DiskSource& source_;
  VolumeGeometry& g_;
  const OpenVolumeRequest& request_;
  std::byte boot_[512] = {};
  uint64_t diskRoom_ = kNoBound;    // sectors from the volume's start to the disk's end
  uint64_t volumeRoom_ = kNoBound;  // the requested size (else the disk's room), cut to the disk
};

}  // namespace

uint32_t OpenVolume(DiskSource& source, VolumeGeometry& geometry, const OpenVolumeRequest& request, std::string* error,
                    std::string* userMessage) {
  VolumeOpener opener(source, geometry, request);
  return opener.Open(error, userMessage);
}

}  // namespace torvane
