// Decoding FAT directory items: one short (8.3) entry with the long-name entries before it,
// live or deleted, from the bytes of a folder. Pure parses over byte spans that never read
// past the span; the checks that need the volume (chains, content, assessment) are the
// folder cursor's.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "util/bytes.h"

namespace torvane::fat {

// Decoding modes, combined as bits: 0 decodes in full.
inline constexpr uint32_t kModeFull = 0;
inline constexpr uint32_t kModeQuick = 1;         // no FAT32 content checks: deleted FAT32 files get 110
inline constexpr uint32_t kModeNoLongNames = 2;   // 8.3 names only
inline constexpr uint32_t kModeNoAssessment = 4;  // no overwrite assessment

// The longest long name: 20 entries of 13 characters, cut at 255.
inline constexpr size_t kMaxLongNameUnits = 255;
inline constexpr size_t kMaxLongNameEntries = 20;

struct DirItem {
  std::u16string name;       // the long name, else the 8.3 name (case flags applied)
  std::u16string shortName;  // the 8.3 name
  uint32_t offset = 0;       // byte offset of the short entry in the folder
  uint8_t attributes = 0;
  uint8_t caseFlags = 0;
  uint16_t highWord = 0;      // FAT32: upper half of the first cluster as stored
  uint16_t lowWord = 0;       // lower half of the first cluster
  uint32_t firstCluster = 0;  // FAT32: both halves; FAT12/16: the lower half
  uint32_t size = 0;          // 0 for folders
  uint16_t writeTime = 0, writeDate = 0, accessDate = 0;
  bool deleted = false;
  bool usable = true;     // false: an extension byte below 0x20
  bool longName = false;  // the name came from long-name entries
  bool dot = false;       // "." or ".."
  bool dotDot = false;    // ".."
  bool volumeLabel = false;
  std::string extension;  // the 8.3 extension bytes, blanks dropped (the content check's key)

  bool IsFolder() const { return (attributes & 0x10) != 0 && !volumeLabel; }
};

// The validity test of one 32-byte entry, long-name or short, live or deleted. Fewer than
// 32 bytes are not plausible.
bool IsPlausibleEntry(ByteSpan raw);

struct DecodeStep {
  size_t used = 0;        // bytes consumed; 0: the folder ends here
  bool produced = false;  // `item` holds an item
};

// Decodes the item at `offset` of `folder`: the long-name entries there (when any) and the
// short entry they belong to. Long-name entries that do not belong to the short entry they
// lead to (a wrong count, order or checksum, or a short entry beyond the bytes held) are
// passed over one by one, and the short entry is then read on its own.
DecodeStep DecodeEntry(ByteSpan folder, size_t offset, uint32_t mode, bool fat32, DirItem& item);

// The checksum of an 11-byte short name that its long-name entries carry.
uint8_t ShortNameChecksum(ByteSpan name11);

}  // namespace torvane::fat
