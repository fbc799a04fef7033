// FileEntry: the fixed 68-byte record of everything a scan finds (existing, deleted and lost
// files and folders, records rebuilt from free space, files detected by content).
//
// The entry lists are written to session files exactly as they stand in memory, so this
// layout is a file format: packed, little-endian, offsets fixed by the static_asserts below.
// The meanings noted are those of NTFS entries; the FAT and exFAT readers reuse some fields
// (the entry's byte offset inside its folder in `attributes`, the holding folder in the low
// half of `dataStart`, a deleted flag at 0x20 and an assessment flag at 0x21, the FAT
// attribute byte in `folderFlag`; `time` is a FILETIME for every file system, the FAT access
// date sits in the 16 bits at 0x40 and the exFAT access time in `recordSector`).
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <type_traits>

namespace torvane {

// state: how an entry was found and how much of its data is still there. 0 to 99 is the
// percentage of the data clusters of a deleted file that are still free (kind 2).
inline constexpr uint8_t kStateExisting = 200;          // the record is in use
inline constexpr uint8_t kStateFoundInFreeSpace = 110;  // or deleted where no bitmap exists
inline constexpr uint8_t kStateRecoverable = 100;       // deleted, data fully recoverable
inline constexpr uint8_t kStateDuplicate = 244;         // dropped by the merge, never listed
inline constexpr uint8_t kStatePlaceholder = 245;       // folder made up for a missing parent

// kind
inline constexpr uint8_t kKindNormal = 0;
inline constexpr uint8_t kKindRaw = 1;                   // detected by content
inline constexpr uint8_t kKindPartlyOverwritten = 2;     // FAT/exFAT: data or folder not intact
inline constexpr uint8_t kKindUnverifiable = 3;          // FAT/exFAT: content cannot be checked
inline constexpr uint8_t kKindRecoveredFat32Folder = 4;  // FAT32 folder, first cluster recovered
inline constexpr uint8_t kKindVirtualFolder = 6;         // virtual folder, ".." row, placeholder
inline constexpr uint8_t kKindFirstVirtualRow = 7;       // 7 and 8: the explorer's virtual rows
inline constexpr uint8_t kKindLastVirtualRow = 8;

// folderFlag, attributes, dataKind, parent, link
inline constexpr uint8_t kFolderFlag = 0x10;
inline constexpr uint32_t kAttributeFolder = 0x10000000;
inline constexpr uint32_t kAttributeCompressed = 0x800;
inline constexpr uint32_t kAttributeEncrypted = 0x4000;
inline constexpr uint16_t kDataNonResident = 0;
inline constexpr uint16_t kDataResident = 0x101;
inline constexpr uint16_t kDataInExtensionRecord = 0x200;
inline constexpr uint32_t kNoParent = 0xFFFFFFFF;
inline constexpr uint32_t kPlaceholderLinkBase = 0x11000000;  // + cluster

// `name` values below this mean "no name".
inline constexpr uint32_t kFirstNameRef = 2;

#pragma pack(push, 1)
struct FileEntry {
  uint32_t name = 0;          // reference into the owning list's NameStore; 0 or 1: none
  uint64_t size = 0;          // bytes (0 for folders)
  uint64_t recordSector = 0;  // NTFS: volume sector the MFT record was read from
  uint32_t link = 0;          // FAT/exFAT: first cluster; NTFS: set by the folder listing
  uint32_t attributes = 0;
  uint64_t dataStart = 0;  // first data cluster (LCN)
  uint8_t state = 0;
  uint64_t time = 0;  // FILETIME
  uint16_t dataKind = 0;
  uint64_t recordNumber = 0;  // 48-bit MFT record number
  uint8_t virtualFlag = 0;
  uint8_t mark = 0;
  uint8_t listed = 0;
  uint8_t kind = 0;
  uint8_t folderFlag = 0;
  uint32_t parent = 0;      // low 32 bits of the parent's record (FAT: its first cluster)
  uint16_t parentHigh = 0;  // bits 32 to 47 of the parent's record
  uint8_t hasChain = 0;     // FAT/exFAT: data is read along the cluster chain
  uint8_t reserved43 = 0;

  uint64_t ParentRecord() const { return static_cast<uint64_t>(parent) | (static_cast<uint64_t>(parentHigh) << 32); }
  void SetParentRecord(uint64_t record) {
    parent = static_cast<uint32_t>(record);
    parentHigh = static_cast<uint16_t>(record >> 32);
  }
  bool HasParent() const { return parent != kNoParent; }
  bool IsFolder() const { return (folderFlag & kFolderFlag) != 0; }
  bool HasName() const { return name >= kFirstNameRef; }
};
#pragma pack(pop)

inline constexpr size_t kFileEntrySize = 68;

static_assert(std::endian::native == std::endian::little,
              "entry lists are stored in session files as they lie in memory");
static_assert(sizeof(FileEntry) == kFileEntrySize, "FileEntry is stored whole in session files");
static_assert(std::is_trivially_copyable_v<FileEntry> && std::is_standard_layout_v<FileEntry>);
static_assert(offsetof(FileEntry, size) == 0x04);
static_assert(offsetof(FileEntry, recordSector) == 0x0C);
static_assert(offsetof(FileEntry, link) == 0x14);
static_assert(offsetof(FileEntry, attributes) == 0x18);
static_assert(offsetof(FileEntry, dataStart) == 0x1C);
static_assert(offsetof(FileEntry, state) == 0x24);
static_assert(offsetof(FileEntry, time) == 0x25);
static_assert(offsetof(FileEntry, dataKind) == 0x2D);
static_assert(offsetof(FileEntry, recordNumber) == 0x2F);
static_assert(offsetof(FileEntry, virtualFlag) == 0x37);
static_assert(offsetof(FileEntry, kind) == 0x3A);
static_assert(offsetof(FileEntry, folderFlag) == 0x3B);
static_assert(offsetof(FileEntry, parent) == 0x3C);
static_assert(offsetof(FileEntry, parentHigh) == 0x40);
static_assert(offsetof(FileEntry, hasChain) == 0x42);

}  // namespace torvane
