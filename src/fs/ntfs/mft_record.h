// NTFS master file table records: update-sequence fixups, the record header, the attribute
// chain, and the handful of attribute values the reader needs (file name, data size, volume
// label), plus the boot-sector encodings of the record and cluster sizes.
//
// Every function parses untrusted bytes: each offset and length taken from the record is
// checked against the record (and the enclosing attribute) before it is used, so a damaged
// or hostile record yields "not found" or "damaged", never a read outside the span.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace torvane {
struct DiskSource;
}

namespace torvane::ntfs {

// Attribute type codes used by the reader.
constexpr uint32_t kAttrStandardInformation = 0x10;
constexpr uint32_t kAttrAttributeList = 0x20;
constexpr uint32_t kAttrFileName = 0x30;
constexpr uint32_t kAttrVolumeName = 0x60;
constexpr uint32_t kAttrVolumeInformation = 0x70;
constexpr uint32_t kAttrData = 0x80;
constexpr uint32_t kAttrIndexRoot = 0x90;
constexpr uint32_t kAttrIndexAllocation = 0xA0;
constexpr uint32_t kAttrBitmap = 0xB0;
constexpr uint32_t kAttrEnd = 0xFFFFFFFF;

// $FILE_NAME namespaces.
constexpr uint8_t kNamespacePosix = 0;
constexpr uint8_t kNamespaceWin32 = 1;
constexpr uint8_t kNamespaceDos = 2;
constexpr uint8_t kNamespaceWin32AndDos = 3;

// A file reference: the low 48 bits number the MFT record, the high 16 bits hold the
// sequence number the record must carry for the reference to be current.
inline uint64_t ReferenceRecord(uint64_t reference) {
  return reference & 0xFFFFFFFFFFFFull;
}
inline uint16_t ReferenceSequence(uint64_t reference) {
  return static_cast<uint16_t>(reference >> 48);
}

// Checks the update-sequence array of a record read from disk and puts back the two bytes
// it displaced at the end of each sector. `record` is the whole record (its size the MFT
// record size). False when the magic is not "FILE" (chkdsk's "BAAD" included), when the
// array's offset or count does not fit the record and sector sizes, or when a sector's tail
// does not carry the sequence number (a torn write); on false the record is left unchanged.
bool ApplyFixups(std::span<std::byte> record, uint32_t bytesPerSector);

// How reading one MFT record at a given place went.
enum class RecordRead {
  kOk,          // read, fixups applied
  kUnreadable,  // the sectors could not be read, or the record size is impossible
  kDamaged,     // read, but no "FILE" record or a torn one (see ApplyFixups)
};

// Reads the record of `recordBytes` bytes that starts at volume sector `sector` (sectors of
// 512 bytes) and applies its fixups. `out` holds the record on kOk (and the bytes read, as
// they are, on kDamaged). The one routine every reader of a single record goes through.
RecordRead ReadRecordAt(DiskSource& source, uint64_t sector, uint32_t recordBytes, std::vector<std::byte>& out);

struct MftRecordHeader {
  static constexpr uint16_t kInUse = 0x0001;
  static constexpr uint16_t kDirectory = 0x0002;

  uint16_t sequence = 0;
  uint16_t linkCount = 0;
  uint16_t firstAttributeOffset = 0;
  uint16_t flags = 0;
  uint32_t usedSize = 0;
  uint32_t allocatedSize = 0;
  // Reference of the base record; 0 for a base record itself.
  uint64_t baseRecord = 0;
  // The record's own number, written only by newer NTFS versions (update-sequence array at
  // 0x30 or later); hasRecordNumber tells whether the field exists.
  uint32_t recordNumber = 0;
  bool hasRecordNumber = false;

  bool inUse() const { return (flags & kInUse) != 0; }
  bool isDirectory() const { return (flags & kDirectory) != 0; }
};

// Parses the header of a fixed-up record. False unless the magic is "FILE", the first
// attribute offset is 8-aligned and leaves room for at least the end marker inside the used
// size, and used size <= allocated size <= record.size().
bool ParseMftRecordHeader(std::span<const std::byte> record, MftRecordHeader& header);

// One attribute of a record, its fields copied out of the attribute header. Offsets are
// relative to the attribute (offset is the attribute's place in the record).
struct AttributeView {
  uint32_t type = 0;
  uint32_t offset = 0;
  uint32_t length = 0;
  bool nonResident = false;
  uint8_t nameLength = 0;  // UTF-16 units
  uint16_t nameOffset = 0;
  uint16_t flags = 0;
  uint16_t id = 0;
  // Resident attributes.
  uint32_t valueLength = 0;
  uint16_t valueOffset = 0;
  // Non-resident attributes.
  uint64_t lowestVcn = 0;
  uint64_t highestVcn = 0;
  uint16_t runlistOffset = 0;
  uint64_t allocatedSize = 0;
  uint64_t realSize = 0;
  uint64_t initializedSize = 0;
  uint8_t compressionUnit = 0;  // log2 of clusters per compression unit; 0 = uncompressed

  bool named() const { return nameLength != 0; }
};

// Walks the attributes of a fixed-up record. Iteration ends at the end marker (0xFFFFFFFF)
// or at the first attribute whose length is zero, not a multiple of 8, too short for its
// header, or runs past the used size; the latter cases set damaged(). An attribute whose
// chain link is sound but whose inner fields (name, value, run list) point outside it is
// skipped, also setting damaged(), so the rest of the record stays reachable.
class AttributeIterator {
 public:
  explicit AttributeIterator(std::span<const std::byte> record);

  bool Next(AttributeView& out);
  // True once the walk met a malformed attribute or the header was unusable.
  bool damaged() const { return damaged_; }

 private:
  std::span<const std::byte> record_;
  uint32_t cursor_ = 0;
  uint32_t end_ = 0;
  bool done_ = false;
  bool damaged_ = false;
};

// The same walk as a free function: `cursor` 0 starts at the record's first attribute and
// is moved past each attribute returned; false at the end of the chain or at damage.
bool NextAttribute(std::span<const std::byte> record, uint32_t& cursor, AttributeView& out);

// One entry of an $ATTRIBUTE_LIST value: which record holds (a piece of) which attribute.
struct AttributeListEntry {
  uint32_t type = 0;
  uint16_t length = 0;
  uint8_t nameLength = 0;  // UTF-16 units; 0 for the unnamed attribute
  uint64_t lowestVcn = 0;  // the first VCN of the piece that record holds
  uint64_t reference = 0;  // file reference (record number and sequence) of the holder
  uint16_t id = 0;

  bool named() const { return nameLength != 0; }
};

// Walks the entries of an attribute list value. Ends at the end of the value, at an entry
// of type 0xFFFFFFFF, or at the first entry that is shorter than its fixed part or runs past
// the value (a damaged list: later entries cannot be located).
class AttributeListIterator {
 public:
  explicit AttributeListIterator(std::span<const std::byte> value) : value_(value) {}
  bool Next(AttributeListEntry& out);

 private:
  std::span<const std::byte> value_;
  size_t cursor_ = 0;
};

// The first attribute of `type` (with no name when `unnamedOnly`).
std::optional<AttributeView> FindAttribute(std::span<const std::byte> record, uint32_t type, bool unnamedOnly);

// The attribute's name; empty when unnamed or out of bounds.
std::u16string AttributeName(std::span<const std::byte> record, const AttributeView& view);

// A resident attribute's value; empty when non-resident or out of bounds.
std::span<const std::byte> ResidentValue(std::span<const std::byte> record, const AttributeView& view);

// The best name among the record's $FILE_NAME attributes: Win32 or Win32&DOS first, then
// POSIX, then DOS (8.3). `parentReference`, when given, receives that name's parent
// directory reference. False when the record has no usable $FILE_NAME.
bool ReadFileName(std::span<const std::byte> record, std::u16string& name, uint64_t* parentReference = nullptr);

// Size of the unnamed $DATA stream: a resident value's length, or the real size of the
// non-resident attribute that starts at VCN 0. False when this record holds neither (no
// data, or only a later piece of a data attribute spread over several records).
bool ReadDataSize(std::span<const std::byte> record, uint64_t& size);

// The volume label from $VOLUME_NAME (a resident value of at most 256 bytes, even length).
// An empty label is valid.
bool ReadVolumeName(std::span<const std::byte> record, std::u16string& label);

// MFT record size from the boot sector's clusters-per-record byte: negative v means 2^-v
// bytes, positive v means v clusters. 0 unless the result is a power of two from 256 to
// 65536 bytes.
uint32_t MftRecordBytes(int8_t clustersPerRecord, uint32_t bytesPerCluster);

// Sectors per cluster from the boot sector byte: values up to 0x80 are the count itself (a
// non-zero power of two); larger values v encode 2^(256 - v), accepted up to 2^12. 0 when
// invalid.
uint32_t NtfsSectorsPerCluster(uint8_t raw);

}  // namespace torvane::ntfs
