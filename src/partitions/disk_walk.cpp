// The sector walk for volumes that no table describes any more, the damaged blocks of
// extended partitions, and the probes of usual start sectors.
#include <algorithm>
#include <cstring>

#include "partitions/volume_list.h"
#include "util/bytes.h"

namespace torvane {
namespace {

constexpr uint64_t kWalkPassStarts[] = {63, 16065, 256, 2048};
// Six misses in a row end a pass: past that the walk is in the middle of nowhere.
constexpr int kMaxMisses = 6;
// Steps of one pass; each step moves forward, so this only bounds pathological disks.
constexpr int kMaxWalkSteps = 100000;
constexpr uint64_t kCandidateStarts[] = {6, 256, 63, 1024, 2048, 33024, 32768, 67584, 264192, 128, 512};
// Volumes chained behind one candidate start.
constexpr int kMaxChain = 1024;

uint32_t EntryStartOf(const uint8_t* e) {
  return LeU32(AsBytes(e, 16), 8);
}
uint32_t EntrySizeOf(const uint8_t* e) {
  return LeU32(AsBytes(e, 16), 12);
}

}  // namespace

uint64_t VolumeListBuilder::AlignToCylinder(uint64_t next, const PartitionRecord& record) {
  const uint64_t n = record.sectors % 63;
  if (n == 0) return next;
  const uint64_t step = 63 - n;
  PartitionRecord probe;
  return Recognize(next + step, probe) ? next + step : next + 1;
}

void VolumeListBuilder::AddPrimaryCandidate(const PartitionRecord& record, bool inExtended, uint64_t extendedBase) {
  if (record.startSector > 0xFFFFFFFF) return;  // an MBR entry cannot describe it
  if (inExtended) {
    // The extended partition that holds the volume, grown to reach the volume's end.
    for (auto& c : list_.candidates) {
      if (c.entry[4] == 0x0F && EntryStartOf(c.entry) == extendedBase) {
        const uint64_t size = record.startSector + record.sectors - extendedBase;
        StoreLeU32({reinterpret_cast<std::byte*>(c.entry), 16}, 12,
                   static_cast<uint32_t>(std::min<uint64_t>(size, 0xFFFFFFFF)));
        EncodeChs(c.entry, extendedBase, size);
        return;
      }
    }
  }
  PrimaryCandidate c;
  const uint64_t start = inExtended ? extendedBase : record.startSector;
  const uint64_t size = inExtended ? record.startSector + record.sectors - extendedBase : record.sectors;
  c.entry[4] = inExtended ? 0x0F : record.systemId;
  StoreLeU32({reinterpret_cast<std::byte*>(c.entry), 16}, 8, static_cast<uint32_t>(start));
  StoreLeU32({reinterpret_cast<std::byte*>(c.entry), 16}, 12,
             static_cast<uint32_t>(std::min<uint64_t>(size, 0xFFFFFFFF)));
  EncodeChs(c.entry, start, size);
  c.fitsMbr = list_.candidates.size() < 4 ? 1 : 0;
  if (inExtended) ++list_.extendedCandidates;
  list_.candidates.push_back(c);
  ++list_.primariesToRestore;
}

uint32_t VolumeListBuilder::CheckEppBlock(uint64_t sector, uint64_t extendedBase) {
  uint8_t block[512];
  if (!ReadSector(sector, block) || block[510] != 0x55 || block[511] != 0xAA || !IsAllZero(AsBytes(block, 446)))
    return 0;
  const uint8_t* first = block + 446;
  const uint8_t* second = block + 462;
  if (EntryStartOf(first) == 63) return 0;  // points where it should
  PartitionRecord named, behind;
  if (EntryStartOf(first) != 0 && Recognize(sector + EntryStartOf(first), named)) return 0;
  if (!Recognize(sector + 63, behind)) return 0;

  EppBlock epp;
  epp.driveNumber = source_.driveNumber;
  epp.sector = sector;
  const uint64_t volumeEnd = AlignToCylinder(sector + 63 + behind.sectors, behind);
  const uint64_t size = volumeEnd - (sector + 63);
  epp.firstEntry[4] = behind.systemId;
  StoreLeU32({reinterpret_cast<std::byte*>(epp.firstEntry), 16}, 8, 63);
  StoreLeU32({reinterpret_cast<std::byte*>(epp.firstEntry), 16}, 12,
             static_cast<uint32_t>(std::min<uint64_t>(size, 0xFFFFFFFF)));
  EncodeChs(epp.firstEntry, sector + 63, size);
  epp.logicalStart = sector + 63;
  epp.logicalSystemId = behind.systemId;
  epp.firstValid = 1;

  // The link to the next block: kept when it leads to a volume, else looked for behind this
  // volume (its block right after the volume's aligned end, the volume 63 sectors further).
  PartitionRecord linked, following;
  const bool linkGood = EntryStartOf(second) >= 63 && extendedBase + EntryStartOf(second) > sector &&
                        Recognize(extendedBase + EntryStartOf(second) + 63, linked);
  const uint64_t nextBlock = volumeEnd;
  if (!linkGood && nextBlock > extendedBase && Recognize(nextBlock + 63, following)) {
    const uint64_t nextEnd = AlignToCylinder(nextBlock + 63 + following.sectors, following);
    StoreLeU32({reinterpret_cast<std::byte*>(epp.secondEntry), 16}, 8,
               static_cast<uint32_t>(std::min<uint64_t>(nextBlock - extendedBase, 0xFFFFFFFF)));
    StoreLeU32({reinterpret_cast<std::byte*>(epp.secondEntry), 16}, 12,
               static_cast<uint32_t>(std::min<uint64_t>(nextEnd - nextBlock, 0xFFFFFFFF)));
    epp.secondEntry[4] = 0x05;
    EncodeChs(epp.secondEntry, nextBlock, nextEnd - nextBlock);
    epp.nextBlock = nextBlock;
    epp.nextSystemId = following.systemId;
    epp.secondValid = 1;
  }
  epp.damaged = 1;
  list_.eppBlocks.push_back(epp);
  return 1;
}

void VolumeListBuilder::WalkDisk() {
  const uint64_t disk = source_.diskSectors;
  for (uint64_t passStart : kWalkPassStarts) {
    uint64_t s = passStart, extendedBase = 0, rememberedSize = 0;
    int misses = 0;
    bool clean = true;  // no miss since the pass start or the last volume found
    for (int step = 0; step < kMaxWalkSteps && s < disk; ++step) {
      uint8_t sector[512];
      if (!ReadSector(s, sector)) break;
      // The NTFS backup boot sector at the end of a volume just found: the next one follows.
      if (IsBackupOfKnownVolume(s)) {
        ++s;
        continue;
      }
      PartitionRecord record;
      bool found = false, inExtended = false;
      uint64_t at = s;
      if (sector[510] != 0x55 || sector[511] != 0xAA) {
        found = Recognize(at, record) != 0;
      } else {
        if (IsAllZero(AsBytes(sector, 446))) {
          // An extended block: the logical volume lies 63 sectors behind it.
          if (extendedBase == 0) extendedBase = s;
          CheckEppBlock(s, extendedBase);
          rememberedSize = EntrySizeOf(sector + 446);
          at = s + 63;
          inExtended = true;
        }
        found = Recognize(at, record) != 0;
      }
      if (found) {
        list_.walkVolumes.push_back(record);
        uint64_t end = AlignToCylinder(record.startSector + record.sectors, record);
        list_.walkVolumes.back().sectors = end > at ? end - at : rememberedSize != 0 ? rememberedSize : 63;
        if (clean) AddPrimaryCandidate(list_.walkVolumes.back(), inExtended, extendedBase);
        clean = true;
        misses = 0;
        const uint64_t next = end > s ? end : s + 63;
        s = next;
        continue;
      }
      clean = false;
      CheckEppBlock(s, extendedBase != 0 ? extendedBase : s);
      s += 63;
      if (++misses == kMaxMisses) break;
    }
  }
}

void VolumeListBuilder::ScanGaps() {
  uint64_t pos = 0;
  for (const auto& v : list_.volumes) pos = std::max(pos, v.startSector + v.sectors);
  if (pos == 0) return;
  for (int i = 0; i < kMaxChain && pos < source_.diskSectors; ++i) {
    if (IsBackupOfKnownVolume(pos)) ++pos;
    PartitionRecord record;
    if (!Recognize(pos, record) || record.sectors == 0) return;
    list_.walkVolumes.push_back(record);
    const uint64_t next = AlignToCylinder(record.startSector + record.sectors, record);
    if (next <= pos) return;
    pos = next;
  }
}

void VolumeListBuilder::ProbeCandidateStarts() {
  for (uint64_t candidate : kCandidateStarts) {
    if (IsKnownStart(candidate)) continue;
    PartitionRecord record;
    uint64_t at = candidate;
    if (!Recognize(at, record) && !Recognize(++at, record)) continue;
    for (int i = 0; i < kMaxChain; ++i) {
      if (record.sectors == 0) break;
      AddVolume(record);
      // The next volume follows this one, past its NTFS backup boot sector if it has one.
      uint64_t next = record.startSector + record.sectors;
      if (IsBackupOfKnownVolume(next)) ++next;
      if (next <= at || next >= source_.diskSectors || IsKnownStart(next) || !Recognize(next, record)) break;
      at = next;
    }
  }
}

}  // namespace torvane
