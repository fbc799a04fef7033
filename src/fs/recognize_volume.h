// Names the file system at a sector and fills a PartitionRecord from its boot sector:
// FAT12/16/32, NTFS and exFAT in full; HPFS, Ext2/3, ReiserFS, Linux swap and the Microsoft
// reserved partition by name and size. Takes backup boot sectors where the primary one is
// missing or unsound (a sound primary wins over a backup that differs), rebuilds a lost NTFS
// boot sector from the MFT, and cuts every volume to the disk it lies on.
#pragma once

#include <cstdint>

#include "disk/disk_source.h"
#include "partitions/partition_record.h"

namespace torvane {

// The file system a boot sector (512 bytes) names by its text fields, looked at in the order
// EXFAT, FAT32, FAT12, FAT16, NTFS; kOther when it names none of them.
FsKind BootSectorKind(const void* bootSector);

// MFT position assumed by RebuildNtfsBootSector: where mkntfs and Windows put the MFT on
// volumes with 4 KiB clusters.
constexpr uint64_t kAssumedMftCluster = 786432;

// Returns 1 when the volume was recognised or at least sized, 0 when nothing usable lies at
// `sector` (relative to the source's volume start, which is 0 while a disk's volume list is
// built). `tableEntry` is the 16-byte MBR entry pointing here and `gptEntry` the 128-byte GPT
// entry, either may be null; `sectorCopy` is a 512-byte copy of the sector to use instead
// of reading it, or null. `list`, when given, gets damagedVolumeSeen set when a backup boot
// sector was taken.
int32_t RecognizeVolume(DiskSource& source, VolumeList* list, const uint8_t* tableEntry, PartitionRecord& record,
                        uint64_t sector, const uint8_t* sectorCopy, const uint8_t* gptEntry);

// Synthesises an NTFS boot sector into `bootSector` (512 bytes) for a volume at `start`
// whose boot sector is lost, when MFT record 6 ($Bitmap) lies where mkntfs puts it on a
// volume with 4 KiB clusters. `sizeSectors` is the known size (0 when unknown); the result's
// size is cut to the disk, whose last sector is `diskLastSector`. 1 when rebuilt.
uint32_t RebuildNtfsBootSector(DiskSource& source, uint64_t start, uint64_t sizeSectors, uint64_t diskLastSector,
                               uint8_t* bootSector);

}  // namespace torvane
