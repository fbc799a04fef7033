#include "partitions/volume_list.h"

#include <cstring>

#include "util/bytes.h"

namespace torvane {

bool VolumeListBuilder::ReadSector(uint64_t sector, uint8_t* out, uint32_t count) {
  std::memset(out, 0, uint64_t{count} * 512);
  return source_.ReadSectors(out, count, sector) == 1;
}

int32_t VolumeListBuilder::Recognize(uint64_t sector, PartitionRecord& record, const uint8_t* entry,
                                     const uint8_t* gptEntry) {
  if (sector >= source_.diskSectors) return 0;
  // Where no table points, the backup boot sector of a volume already found is no volume.
  if (entry == nullptr && gptEntry == nullptr && IsBackupOfKnownVolume(sector)) return 0;
  return recognize_(source_, &list_, entry, record, sector, nullptr, gptEntry);
}

bool VolumeListBuilder::IsBackupOfKnownVolume(uint64_t sector) {
  if (list_.volumes.empty() && list_.walkVolumes.empty()) return false;
  uint8_t boot[512];
  if (!ReadSector(sector, boot) || std::memcmp(boot + 3, "NTFS    ", 8) != 0) return false;
  // An NTFS volume's size leaves out its last sector, which holds the backup.
  const uint64_t total = LeU64(AsBytes(boot, 512), 40);
  if (total == 0 || total > sector) return false;
  const uint64_t owner = sector - total;
  for (const auto* records : {&list_.volumes, &list_.walkVolumes})
    for (const auto& v : *records)
      if (v.startSector == owner) return true;
  return false;
}

bool VolumeListBuilder::IsKnownStart(uint64_t start) const {
  for (const auto& v : list_.volumes)
    if (v.driveNumber == -1 && v.startSector == start) return true;
  return false;
}

bool VolumeListBuilder::AddVolume(const PartitionRecord& record) {
  for (const auto& v : list_.volumes)
    if (v.driveNumber == record.driveNumber && v.startSector == record.startSector && v.sectors == record.sectors)
      return false;
  list_.volumes.push_back(record);
  return true;
}

void VolumeListBuilder::CrossCheckCandidates() {
  list_.freePrimarySlots = 0;
  for (int i = 0; i < 4; ++i) list_.freePrimarySlots += IsFreeEntry(mbr_ + 446 + 16 * i);
  std::vector<PrimaryCandidate> kept;
  for (const auto& c : list_.candidates) {
    const uint32_t start = LeU32(AsBytes(c.entry, 16), 8), size = LeU32(AsBytes(c.entry, 16), 12);
    bool drop = false;
    if (start != 0 && size != 0) {
      for (int i = 0; i < 4; ++i)
        if (LeU32(AsBytes(mbr_ + 446 + 16 * i, 16), 8) == start) drop = true;
      // A damaged extended block's repair covers the volume 63 sectors behind it.
      for (const auto& epp : list_.eppBlocks)
        if (epp.sector < (uint64_t{1} << 32) && epp.sector + 63 == start) drop = true;
    }
    if (drop) {
      if (list_.primariesToRestore > 0) --list_.primariesToRestore;
      if (c.entry[4] == 0x0F && list_.extendedCandidates > 0) --list_.extendedCandidates;
    } else {
      kept.push_back(c);
    }
  }
  list_.candidates = std::move(kept);
}

void BuildVolumeList(DiskSource& source, VolumeList& list, VolumeRecognizer recognize) {
  list.Clear();
  VolumeListBuilder builder(source, list, recognize);
  builder.ReadPartitionTables();
  // A disk without a partition table may be one volume from its first sector on.
  if (list.volumes.empty()) {
    PartitionRecord record;
    if (recognize(source, &list, nullptr, record, 0, nullptr, nullptr) && record.fsKind != FsKind::kNone &&
        record.fsKind != FsKind::kOther)
      builder.AddVolume(record);
  }
  list.tableVolumes = list.volumes.size();
  builder.WalkDisk();
  builder.ScanGaps();
  builder.CrossCheckCandidates();
  builder.ProbeCandidateStarts();

  bool lost = false;
  for (const auto& w : list.walkVolumes) {
    bool listed = false;
    for (size_t i = 0; i < list.tableVolumes; ++i) listed |= list.volumes[i].startSector == w.startSector;
    lost |= !listed;
  }
  bool rebuilt = false;
  for (const auto& v : list.volumes) rebuilt |= v.bootRebuilt != 0;
  list.repairOffered = !list.eppBlocks.empty() || lost || rebuilt;
}

}  // namespace torvane
