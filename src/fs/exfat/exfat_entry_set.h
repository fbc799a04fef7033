// exFAT directory entry sets: a file entry (0x85, deleted 0x05), its stream extension
// (0xC0, deleted 0x40) and its file-name entries (0xC1, deleted 0x41), decoded from the bytes
// of a folder. Pure parses over byte spans; they never read past the span.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

#include "util/bytes.h"

namespace torvane::exfat {

constexpr size_t kEntryBytes = 32;

constexpr uint8_t kTypeEnd = 0x00;
constexpr uint8_t kTypeBitmap = 0x81;
constexpr uint8_t kTypeUpcase = 0x82;
constexpr uint8_t kTypeLabel = 0x83;
constexpr uint8_t kTypeFile = 0x85;
constexpr uint8_t kTypeStream = 0xC0;
constexpr uint8_t kTypeName = 0xC1;
constexpr uint8_t kInUseBit = 0x80;  // cleared when a set is deleted

constexpr uint16_t kAttrFolder = 0x10;
constexpr uint8_t kFlagNoFatChain = 0x02;  // stream extension: the data lies in consecutive clusters

// A file entry announces at least a stream extension and one name entry, and at most 17
// name entries (255 characters) besides the stream extension.
constexpr uint8_t kMinSecondaryCount = 2;
constexpr uint8_t kMaxSecondaryCount = 18;
constexpr size_t kNameCharsPerEntry = 15;

// The three time stamps of a set as FILETIMEs (100 ns since 1601, UTC); 0 when not valid.
struct EntryTimes {
  uint64_t created = 0;
  uint64_t modified = 0;
  uint64_t accessed = 0;
};

struct EntrySet {
  uint32_t offset = 0;  // of the file entry in the span
  uint32_t bytes = 0;   // from the decode position to the end of the set
  bool deleted = false;
  bool checksumOk = true;  // always true for deleted sets (their type bytes changed)
  bool noFatChain = false;
  uint8_t secondaryCount = 0;
  uint16_t attributes = 0;
  uint8_t nameLength = 0;
  uint32_t firstCluster = 0;
  uint64_t validDataLength = 0;
  uint64_t dataLength = 0;
  EntryTimes times;
  std::u16string name;

  bool IsFolder() const { return (attributes & kAttrFolder) != 0; }
};

enum class SetStep {
  kSet,   // `set` holds the next set; `set.bytes` bytes were used
  kSkip,  // no set starts here: `set.bytes` bytes (at least one entry) are to be passed over
  kEnd,   // the folder ends here (an end entry, or the span's end)
};

// Decodes the next entry set from byte `pos` of a folder's bytes: passes entries that begin
// no set, and stops at an end entry. A file entry whose secondary count is not 2 to 18, whose
// stream extension is missing or names no characters, or whose name entries are fewer than
// the name length needs, gives kSkip over that one entry. Secondaries other than names
// (vendor extensions 0xE0, 0xE1 and the like) inside the set are passed over. The name is cut
// at its length. The checksum of a set in use is checked; a mismatch only clears
// `checksumOk`. With `withNames` false the name is left empty.
SetStep DecodeEntrySet(ByteSpan dir, size_t pos, EntrySet& set, bool withNames = true);

// The set checksum over `entries` (the file entry and its secondaries), skipping the
// checksum's own two bytes.
uint16_t EntrySetChecksum(ByteSpan entries);

// A 32-bit exFAT time stamp with its 10 ms part (0 to 199) and UTC offset byte (bit 7: valid;
// low 7 bits: signed quarter hours), as a FILETIME in UTC; 0 for an impossible date.
uint64_t ExfatTimeToFiletime(uint32_t stamp, uint8_t tenMs, uint8_t utcOffset);

// Whether a cluster's first bytes look like a folder's: one of the entry types a folder
// begins with (bitmap, up-case table, label, file entry in use or deleted).
bool LooksLikeFolderStart(ByteSpan cluster);

}  // namespace torvane::exfat
