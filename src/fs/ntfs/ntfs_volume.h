// An open NTFS volume as the readers see it: the MFT's runlist, record reads through it,
// extension records, system files, attribute contents, and the cluster bitmap tests.
#pragma once

#include <atomic>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "disk/disk_source.h"
#include "fs/ntfs/mft_record.h"
#include "fs/ntfs/runlist.h"
#include "fs/volume_geometry.h"
#include "store/allocation_map.h"
#include "store/file_entry.h"
#include "util/ui_port.h"

namespace torvane::ntfs {

// Attribute contents are read whole into memory up to this size: far more than any index,
// attribute list or $Bitmap that the readers load this way needs, while a damaged runlist
// cannot make the reader allocate gigabytes.
constexpr uint64_t kMaxAttributeBytes = 256ull << 20;
// Extension records kept from free-space searches (records without $STANDARD_INFORMATION).
constexpr uint64_t kMaxKeptRecordBytes = 64ull << 20;

// The clear bits among bits [first, first + count) of a bitmap (bits past its end count as
// set); `setBits`, when given, has every set bit's cluster marked used. The one count of
// free clusters: the scan's total and a deleted file's share of free clusters both use it.
uint64_t CountClearBits(std::span<const uint8_t> bitmap, uint64_t first, uint64_t count,
                        AllocationMap* setBits = nullptr);

// The next sequence number NTFS gives a record when it frees it (0 is skipped).
inline uint16_t SequenceAfterFree(uint16_t sequence) {
  return sequence == 0 ? 0 : sequence == 0xFFFF ? 1 : static_cast<uint16_t>(sequence + 1);
}

// A file reference made of a record number and a sequence number.
inline uint64_t MakeReference(uint64_t record, uint16_t sequence) {
  return (record & 0xFFFFFFFFFFFFull) | (uint64_t{sequence} << 48);
}

// FileEntry::reserved43 of an NTFS entry: the folder now at the entry's parent record is not
// the folder the entry was made in (the parent reference's sequence number does not match),
// so the entry belongs under "Lost files".
constexpr uint8_t kParentStale = 0x01;
inline bool ParentIsStale(const FileEntry& e) {
  return (e.reserved43 & kParentStale) != 0;
}

class NtfsVolume {
 public:
  NtfsVolume(DiskSource& source, const VolumeGeometry& geometry, UiPort* ui = nullptr)
      : source_(source), g_(geometry), ui_(ui) {}

  // Reads MFT record 0 and the runlist of the MFT's data, following its attribute list
  // when the MFT is fragmented into extension records. False, with a reason, on failure.
  bool LoadMft(std::string& error);
  const std::vector<DataRun>& MftRuns() const { return mftRuns_; }

  uint32_t RecordBytes() const { return g_.mftRecordBytes; }
  uint64_t ClusterBytes() const { return uint64_t{g_.sectorsPerCluster} * 512; }
  uint64_t LastCluster() const { return g_.clusterCount; }
  // Clusters the volume holds (LCNs below this), bounded by the disk when its size is known.
  uint64_t VolumeClusters() const;
  bool HasBitmap() const { return !g_.allocationMap.empty() && !g_.damaged; }
  const VolumeGeometry& Geometry() const { return g_; }
  DiskSource& Source() { return source_; }

  // True when the bitmap is absent, the volume is raw, or the cluster is past the volume;
  // false for clusters 0 and 1; otherwise whether the cluster's bit is clear.
  bool IsClusterFree(uint64_t cluster) const;
  // 0..100: the share of the runs' clusters that are free; 110 without a bitmap.
  uint32_t FreeClusterPercent(const std::vector<DataRun>& runs) const;

  // Reads `count` clusters of an attribute from `startVcn` on; sparse clusters and clusters
  // that cannot be read come out as zeros. False only when a read was refused.
  bool ReadAttributeClusters(const std::vector<DataRun>& runs, uint64_t startVcn, std::byte* buffer, uint64_t count);
  // The content of an attribute: a resident value, or the clusters of a non-resident one
  // cut to its real size. False when the value lies outside the record or the runlist is
  // damaged, or when it is larger than `cap` bytes (reported once to the user).
  bool ReadAttributeValue(std::span<const std::byte> record, const AttributeView& attribute,
                          std::vector<std::byte>& out, uint64_t cap = kMaxAttributeBytes);

  // The runs of a non-resident attribute, cut to the volume (false when damaged).
  bool AttributeRuns(std::span<const std::byte> record, const AttributeView& attribute,
                     std::vector<DataRun>& runs) const;

  // Reads MFT record `number` through the MFT's runlist; fixups applied.
  bool ReadRecord(uint64_t number, std::vector<std::byte>& out);
  // The extension record `reference` (48 bits used) of the file whose base record is
  // `base` (record number and sequence): from the MFT, or from the records kept from free
  // space when the MFT position holds another record. The extension's base reference must
  // name the file: its record number and its sequence number (or, when `baseDeleted`, the
  // sequence the base record had before NTFS freed it). Never another file's record.
  bool LoadExtensionRecord(uint64_t reference, uint64_t base, bool baseDeleted, std::vector<std::byte>& out);
  // A system file ($MFT, $Bitmap) among records 0 to 15 of the MFT or of its mirror,
  // compared by its whole name.
  bool FindSystemRecord(std::u16string_view name, std::vector<std::byte>& out, bool fromMirror);

  // Keeps a whole record that has no $STANDARD_INFORMATION, for LoadExtensionRecord.
  void KeepExtensionRecord(std::span<const std::byte> record);
  size_t KeptRecordCount() const { return kept_.size() / std::max<uint32_t>(1, RecordBytes()); }

  // Turns one record (as read; fixups are applied here) into an entry and its name.
  // `recordCluster` is the volume cluster the record was read from; `recordNumber` the
  // number its position gives (used when the header carries none).
  bool RecordToEntry(std::span<std::byte> record, FileEntry& entry, std::u16string& name, uint64_t recordCluster,
                     uint64_t recordNumber, bool keepExtensionRecords);

  // Every name of the record RecordToEntry accepted last, the one it took first: a file with
  // hard links has one $FILE_NAME per link, in the base record or in extension records.
  struct FileNameInfo {
    std::u16string name;
    uint64_t parent = 0;  // record number of the folder
    uint16_t parentSequence = 0;
    uint64_t time = 0;
    uint64_t size = 0;
    uint32_t flags = 0;
    int rank = 0;
  };
  const std::vector<FileNameInfo>& Names() const { return names_; }
  // The names of the last accepted record other than the one its entry carries: one per
  // further link (8.3 names of a link that has a long name are left out).
  std::vector<const FileNameInfo*> OtherLinks() const;

  // The header of the record RecordToEntry accepted last.
  const MftRecordHeader& LastHeader() const { return header_; }

  // The MFT walk notes each folder record it lists (by its number, sequence number and use),
  // so that an entry's parent reference can be checked against the folder that holds its
  // parent's record now.
  void NoteFolderRecord(uint64_t number, uint16_t sequence, bool inUse);
  // True when the MFT holds a folder at the reference's record number that is not the
  // folder referred to: its sequence number differs (a deleted folder may show the one
  // after the reference's, as NTFS bumps it when freeing the record). False when the MFT
  // holds no folder there or the reference carries no sequence number.
  bool ParentReferenceStale(uint64_t parentReference) const;

  // Oversized attributes met (reported to the user once).
  uint64_t OversizedAttributes() const { return oversized_; }

 private:
  bool ReadRecordAt(uint64_t sector, std::vector<std::byte>& out);
  bool DecodeRuns(std::span<const std::byte> record, const AttributeView& attribute, std::vector<DataRun>& runs) const;
  void GatherFileNames(std::span<const std::byte> record, const MftRecordHeader& header, uint64_t recordNumber);
  void ReportOversized(uint64_t clusters);

  DiskSource& source_;
  const VolumeGeometry& g_;
  UiPort* ui_;
  std::vector<DataRun> mftRuns_;
  std::vector<std::byte> kept_;
  std::atomic<uint64_t> oversized_{0};
  // Scratch of RecordToEntry, kept to spare allocations per record.
  std::vector<DataRun> runs_;
  std::vector<std::byte> listValue_;
  std::vector<std::byte> extension_;
  std::vector<FileNameInfo> names_;
  MftRecordHeader header_;
  // By record number: 0 unknown, else 0x10000 | (in use ? 0x20000 : 0) | sequence.
  std::vector<uint32_t> folders_;
};

}  // namespace torvane::ntfs
