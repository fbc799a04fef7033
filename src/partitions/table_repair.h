// The partition-table repair: the restore plan (MBR entries for lost primary volumes, the
// rebuilt blocks of an extended chain, boot sectors taken back from their backups), the
// partition backup file (.tqb) that holds every sector the plan writes before it is written,
// and the restore of such a file. The only code that writes to a source disk.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "disk/disk_source.h"
#include "partitions/partition_record.h"
#include "partitions/volume_list.h"
#include "util/bytes.h"
#include "util/output_guard.h"

namespace torvane {

// Sectors at one place: their content (a multiple of 512 bytes).
struct SectorBlock {
  uint64_t sector = 0;
  std::vector<uint8_t> data;
  uint32_t Count() const { return static_cast<uint32_t>(data.size() / 512); }
};

struct RestorePlan {
  std::vector<SectorBlock> writes;       // the new content of every sector the repair writes
  std::vector<std::string> details;      // what the plan does, one line each
  std::vector<std::string> notRestored;  // lost volumes the plan leaves alone, with why
  bool Empty() const { return writes.empty(); }
};

// The backup boot sector of a volume whose primary boot sector is not valid: NTFS's at the
// volume's end, FAT32's 6 sectors in; taken only when it is a valid boot sector of the
// volume's kind (its text and the 0x55 0xAA signature; an NTFS size leading back to the
// start). `out` gets 512 bytes, `at` the sector they came from.
bool BackupBootSector(DiskSource& source, const PartitionRecord& record, uint8_t* out, uint64_t& at);

// An MBR entry is in use when its type is not 0 and its start and size lie inside the disk
// (an LVM, LUKS, BitLocker or unknown volume is never given away as free).
bool IsEntryInUse(const uint8_t* entry, uint64_t diskSectors);

// The plan for the open disk (opened as a whole disk) whose volume list is `list`: `lost`
// holds the volumes to give table entries (the partition search's lost volumes, or the walk's).
RestorePlan BuildRestorePlan(DiskSource& source, const VolumeList& list, const std::vector<PartitionRecord>& lost);

// The .tqb file: "TQBK", disk sectors, the 128-byte UTF-16 name (63 characters), block
// count, reserved; then the blocks (u64 sector, u32 count, count × 512 bytes).
constexpr size_t kTqbHeaderBytes = 148;
struct PartitionBackup {
  uint64_t diskSectors = 0;
  std::u16string sourceName;
  std::vector<SectorBlock> blocks;
};

// The blocks a backup of the disk holds: every sector the plan writes, the MBR, the blocks of
// the extended chain and the boot area of every listed volume (16 sectors for NTFS, else 1).
std::vector<SectorBlock> BackupRanges(const VolumeList& list, const RestorePlan& plan);

std::vector<uint8_t> SerializeBackup(const PartitionBackup& backup);
// Reads a .tqb file's bytes: every count is checked against the bytes present, the file must
// end with its last block, and every block must lie inside a disk of `diskSectors` (the
// disk it will be written to) whose size must equal the stored one. False with the reason.
bool ParseBackup(ByteSpan bytes, uint64_t diskSectors, PartitionBackup& backup, std::string& error);

// Reads the `ranges` from the disk and writes them as a new .tqb file at `path` (never
// replacing a file, never one of the source's files), then reads the file back and compares
// it with the disk. False with the reason (a refused read, a failed write, a mismatch).
bool CreatePartitionBackup(DiskSource& source, const std::vector<SectorBlock>& ranges,
                           const std::filesystem::path& path, const OutputGuard& guard, std::string& error);
bool LoadPartitionBackup(const std::filesystem::path& path, uint64_t diskSectors, PartitionBackup& backup,
                         std::string& error);

// Writes the blocks to the disk `diskPath` (opened for writing; only sectors stored in its
// leaf are written), flushes, and reads every block back to compare. False with the reason;
// `written` counts the blocks written before a failure.
bool WriteBlocks(const std::filesystem::path& diskPath, const std::vector<SectorBlock>& blocks, size_t& written,
                 std::string& error);

}  // namespace torvane
