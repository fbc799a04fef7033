// Building the volume list of a disk: MBR with its extended chain, GPT, the sector walk for
// volumes no table describes, damaged extended blocks, and the usual start sectors.
#pragma once

#include <cstdint>

#include "disk/disk_source.h"
#include "partitions/partition_record.h"

namespace torvane {

// Names the file system at a sector and fills a PartitionRecord from it; answers 1 when the
// volume was recognised or at least sized. The partition layer finds volumes through this
// function, which the file-system layer above provides (RecognizeVolume): `tableEntry` is
// the MBR entry pointing there, `sectorCopy` a copy of the sector or null, `gptEntry` the GPT
// entry; `list`, when given, learns of damaged volumes.
using VolumeRecognizer = int32_t (*)(DiskSource& source, VolumeList* list, const uint8_t* tableEntry,
                                     PartitionRecord& record, uint64_t sector, const uint8_t* sectorCopy,
                                     const uint8_t* gptEntry);

// Runs the whole sequence for the open disk (opened as a whole disk, volume start 0).
void BuildVolumeList(DiskSource& source, VolumeList& list, VolumeRecognizer recognize);

// Fills the CHS bytes of a 16-byte MBR entry for a volume at `start` of `size` sectors, for
// 255 heads and 63 sectors per track; positions past 1024 cylinders get head 254 and 0xFFFF.
void EncodeChs(uint8_t* entry, uint64_t start, uint64_t size);

// The parts of the sequence, for the tests and the table repair.
class VolumeListBuilder {
 public:
  VolumeListBuilder(DiskSource& source, VolumeList& list, VolumeRecognizer recognize)
      : source_(source), list_(list), recognize_(recognize) {}

  int32_t ReadPartitionTables();
  void WalkDisk();
  void ScanGaps();
  void CrossCheckCandidates();
  void ProbeCandidateStarts();
  uint32_t IsFreeEntry(const uint8_t* entry);
  uint32_t CheckEppBlock(uint64_t sector, uint64_t extendedBase);
  uint64_t AlignToCylinder(uint64_t next, const PartitionRecord& record);
  void AddPrimaryCandidate(const PartitionRecord& record, bool inExtended, uint64_t extendedBase);
  bool IsKnownStart(uint64_t start) const;
  // True when `sector` holds the NTFS backup boot sector of a volume already found (the
  // copy at its last sector, whose size leads back to that volume's start).
  bool IsBackupOfKnownVolume(uint64_t sector);
  bool AddVolume(const PartitionRecord& record);

 private:
  bool ReadSector(uint64_t sector, uint8_t* out, uint32_t count = 1);
  int32_t Recognize(uint64_t sector, PartitionRecord& record, const uint8_t* entry = nullptr,
                    const uint8_t* gptEntry = nullptr);
  bool ReadGpt(uint64_t headerSector);
  void FollowExtendedChain(uint64_t extendedStart);

  DiskSource& source_;
  VolumeList& list_;
  VolumeRecognizer recognize_;
  uint8_t mbr_[512] = {};
};

}  // namespace torvane
