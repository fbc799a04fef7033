// The display filter: which entries a folder listing shows, by state class (mask bits) and
// by name pattern. The filter window changes it on the interface thread while a listing
// runs on a worker, so the listing takes a snapshot under the filter's lock.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "explorer/row_colours.h"
#include "partitions/partition_record.h"
#include "store/file_entry.h"

namespace torvane::explorer {

// Mask bits (bit 0x1 is always set).
inline constexpr uint32_t kFilterAlways = 0x1;
inline constexpr uint32_t kFilterNotDetected = 0x2;  // "Overwritten, undetected" (kind 3)
inline constexpr uint32_t kFilterOverwritten = 0x4;  // "Probably overwritten"
inline constexpr uint32_t kFilterEncrypted = 0x8;    // "NTFS encrypted (EFS)"
inline constexpr uint32_t kFilterCompressed = 0x10;  // "NTFS compressed"
inline constexpr uint32_t kFilterDeleted = 0x20;     // "Recoverable (deleted)"
inline constexpr uint32_t kFilterExisting = 0x40;    // "Existing"
inline constexpr uint32_t kFilterFiles = 0x80;       // "Files"
inline constexpr uint32_t kFilterFolders = 0x100;    // "Folders"
inline constexpr uint32_t kFilterMetafiles = 0x200;  // "NTFS metafiles - $"
inline constexpr uint32_t kFilterAll = 0x3FF;
// The bits that only NTFS volumes use (cleared and disabled elsewhere).
inline constexpr uint32_t kFilterNtfsOnly = kFilterEncrypted | kFilterCompressed;

// The mask bit of a state class.
uint32_t MaskBitOf(ColourKey stateClass);

// The preset patterns of the filter window's radio buttons.
enum class FilterPreset : uint8_t { kAny, kGraphic, kAudio, kVideo, kOffice, kSystem };
std::string_view PresetPattern(FilterPreset preset);
// "any", "graphic", "audio", "video", "office", "system"; false for another word.
bool PresetByName(std::string_view word, FilterPreset& out);

// What one listing applies: taken whole, under the lock.
struct FilterSnapshot {
  uint32_t mask = kFilterAll;
  std::vector<std::u16string> patterns;  // lower case; empty: every name

  // Whether a listing shows the entry. Virtual rows (kind 6 or more) always pass; the
  // pattern applies to files only (folders stay reachable).
  bool Admits(const FileEntry& e, std::u16string_view name, FsKind kind) const;
};

class DisplayFilter {
 public:
  // The mask (bit 0x1 is set whatever is given; on volumes other than NTFS the encrypted
  // and compressed bits are cleared by SetVolumeKind).
  void SetMask(uint32_t mask);
  // A line like "*.jpg, *.PNG": split at commas, trimmed, lower-cased. Empty or "*": all.
  void SetPattern(std::u16string_view line);
  void SetPreset(FilterPreset preset);
  void SetVolumeKind(FsKind kind);
  uint32_t Mask() const;
  std::u16string PatternLine() const;
  FilterSnapshot Snapshot() const;

 private:
  mutable std::mutex lock_;
  uint32_t mask_ = kFilterAll;
  std::u16string line_ = u"*";
  FsKind kind_ = FsKind::kNtfs;
};

}  // namespace torvane::explorer
