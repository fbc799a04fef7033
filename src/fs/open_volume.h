// Opening a volume: the source, recognition of the file system at the volume's start, the
// geometry, and (on request) the FAT, allocation bitmap and maps the scanners need.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>

#include "disk/disk_source.h"
#include "fs/volume_geometry.h"
#include "partitions/partition_record.h"

namespace torvane {

// The advanced drive settings of one volume: the user's override of what recognition says.
struct DriveSettings {
  uint8_t override = 0;      // 1: "Previously was another system:"
  uint8_t kindIndex = 0;     // 0 FAT16, 1 FAT32, 2 NTFS, 3 EXFAT
  uint8_t clusterIndex = 0;  // 0 AUTO, n >= 1: 2^(n+8) bytes
  uint8_t fatChoice = 0;     // 0 FAT1, 1 FAT2 (kept with the settings)
  uint8_t damaged = 0;       // 1: do not load or walk FAT/MFT (the volume opens damaged)
  uint8_t reverse = 0;       // 1: scan from the end
  uint32_t rawAnalysisOff = 0;
  // An MFT position found by the partition search, in sectors (0: none), and the volume
  // size stored with it.
  uint64_t mftPosition = 0;
  uint64_t mftVolumeSectors = 0;

  FsKind Kind() const { return static_cast<FsKind>(kindIndex + 2); }
  uint32_t ClusterBytes() const { return clusterIndex == 0 ? 0 : 1u << (clusterIndex + 8); }
};

struct OpenVolumeRequest {
  int32_t driveNumber = -1;  // negative: an image file
  char driveLetter = '$';
  bool loadTables = false;
  std::filesystem::path path;  // empty: the disk the source already holds (e.g. in memory)
  uint64_t startSector = 0;
  uint64_t volumeSectors = 0;  // 0: unknown
  PartitionRecord* record = nullptr;
  FsKind requestedKind = FsKind::kAutomatic;
  const DriveSettings* settings = nullptr;
};

// Recognition comes first; a kind or cluster size the request or its settings force then
// overrides it. Every volume is cut to its disk and sized in clusters (a raw or forced one as
// its sectors over the cluster size), and its tables are sized by what it can hold.
// 1 opened, 0 failed (`error` says why when it is not a silent localisation failure).
// `userMessage`, when set, is a message to show the user (title "Torvane", error icon).
uint32_t OpenVolume(DiskSource& source, VolumeGeometry& geometry, const OpenVolumeRequest& request,
                    std::string* error = nullptr, std::string* userMessage = nullptr);

}  // namespace torvane
