// exFAT folders of the open volume: the next-cluster lookup, the allocation bitmap, a
// folder's bytes (OpenExFolder), its entry sets turned into FileEntry records one after the
// other (NextExEntry), and the assessment of how much of a deleted file is still free.
//
// How an exFAT item fills FileEntry:
//   name        the assembled file name (cut at its length)
//   size        the stream extension's data length
//   link        the first cluster
//   attributes  the byte offset of the file entry in its folder
//   dataStart   bits 0-31: the holding folder's first cluster; bits 32-39 (the byte at
//               0x20): 1 for a deleted set; bits 40-47 (0x21): 1 once assessed
//   state       200 in use, 0-100 deleted (share of its clusters still free; a deleted
//               folder over a free cluster 100), 110 without a bitmap
//   time        the last-modified time as a FILETIME (UTC, with its 10 ms part)
//   recordSector the last-accessed time as a FILETIME (0: none)
//   folderFlag  the low byte of the file attributes (0x10: folder)
//   hasChain    1 when the first cluster is in use in the bitmap
//   reserved43  bit 0: the stream says NoFatChain (the data lies in consecutive clusters);
//               bit 1: the set checksum of a set in use did not match
//   kind        2: overwritten (a deleted folder over an allocated cluster, a deleted file
//               whose first sector fails its content check)
//   parent      kNoParent; entries found in free space keep the cluster of their folder
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "fs/exfat/exfat_entry_set.h"
#include "fs/volume_geometry.h"
#include "store/allocation_map.h"
#include "store/file_entry.h"

namespace torvane::exfat {

inline constexpr uint8_t kExNoFatChain = 0x01;            // FileEntry::reserved43
inline constexpr uint8_t kExBadChecksum = 0x02;           // FileEntry::reserved43
inline constexpr uint64_t kMaxFolderBytes = 64ull << 20;  // larger folders are read this far

// Whether a deleted file's first bytes still fit its name's type: true (fits), false (does
// not), or no answer when there is no check for the name.
enum class ContentVerdict { kNoCheck, kFits, kDoesNotFit };
using ContentCheckFn = ContentVerdict (*)(std::u16string_view name, ByteSpan firstBytes, uint64_t size);
// The check by extension of the probes.
ContentVerdict CheckByExtension(std::u16string_view name, ByteSpan firstBytes, uint64_t size);

// How a folder's clusters are found.
enum class FolderRoad {
  kChain,        // along the FAT (live folders); capped by `bytes` when given
  kConsecutive,  // `bytes` in consecutive clusters (NoFatChain folders)
  kDeleted,      // consecutive clusters while they are free (deleted folders), `bytes` at most
  kFreeSpace,    // consecutive clusters measured by MeasureExFolder (found in free space)
};

class ExVolume {
 public:
  // `map` (may be null) is the scan's allocation map: clusters whose nibble is set there
  // (taken by a file the content detection found) count as not free.
  ExVolume(const VolumeGeometry& geometry, const AllocationMap* map = nullptr) : g_(geometry), map_(map) {}

  const VolumeGeometry& Geometry() const { return g_; }
  uint64_t ClusterBytes() const { return uint64_t{g_.sectorsPerCluster} * 512; }
  uint64_t LastCluster() const { return g_.clusterCount; }
  bool HasBitmap() const { return !g_.allocationMap.empty(); }
  bool InVolume(uint64_t cluster) const { return cluster >= 2 && cluster <= LastCluster(); }
  // The bitmap's bit of the cluster (bit 0 of byte 0 is cluster 2); clusters outside the
  // volume and a missing bitmap answer "not in use".
  bool InUse(uint64_t cluster) const;
  // Free for the assessment: not in use, and not taken by a file the scan found.
  bool FreeForData(uint64_t cluster) const;

  // The next cluster of a chain: the FAT's entry when a FAT is loaded, else cluster + 1;
  // 0 past the chain's end or beyond the volume.
  uint32_t NextCluster(uint32_t cluster) const;

  // The length of a folder found in free space read as consecutive clusters: while each
  // cluster holds nothing but entry types a folder holds (and the end entries after them),
  // at most kMaxFolderBytes, never past the volume's last cluster.
  uint64_t MeasureExFolder(uint32_t cluster) const;

  // Reads a folder's bytes. `bytes` is the data length a stream extension gives (0: not
  // known). `clusters`, when given, receives the clusters read. False when nothing could be
  // read.
  bool OpenExFolder(uint32_t firstCluster, FolderRoad road, uint64_t bytes, std::vector<std::byte>& out,
                    std::vector<uint32_t>* clusters = nullptr) const;

  // The state of a deleted file: the share of its n = size / cluster clusters (at most the
  // volume's clusters) still free, following NextCluster from the first one (consecutive
  // clusters for NoFatChain files, whose FAT entries mean nothing) and stopping at the first
  // cluster outside the volume. 110 without a bitmap; folders and empty files 100.
  uint8_t AssessExEntry(const FileEntry& e) const;

  // A decoded set as an entry of the folder `folderId`; `check` (may be null) judges the
  // first sector of a deleted file whose first cluster is free.
  FileEntry MakeEntry(const EntrySet& set, uint32_t folderId, ContentCheckFn check) const;

 private:
  const VolumeGeometry& g_;
  const AllocationMap* map_;
};

// A folder opened for listing: NextExEntry gives its sets one after the other.
struct ExFolderCursor {
  std::vector<std::byte> bytes;
  size_t pos = 0;
  uint32_t folderId = 0;
  EntrySet set;  // the set the last NextExEntry decoded (its name is the entry's)
};

// Decodes the next set into `entry`; false at the end of the folder.
bool NextExEntry(const ExVolume& volume, ExFolderCursor& cursor, FileEntry& entry, ContentCheckFn check);

// Deleted flag and assessment flag of dataStart.
inline bool IsDeletedEx(const FileEntry& e) {
  return ((e.dataStart >> 32) & 0xFF) != 0;
}

}  // namespace torvane::exfat
