// The size editor: the text the edit line shows for an entry's size, and the reading of a
// number with a unit back into a size, checked against the volume.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "partitions/partition_record.h"
#include "store/file_entry.h"

namespace torvane::explorer {

enum class SizeUnit : uint8_t { kBytes, kKiB, kMiB, kGiB };
inline constexpr std::string_view kSizeUnitNames[] = {"B", "kB", "MB", "GB"};
uint64_t UnitFactor(SizeUnit unit);

// The edit line's text: the size in bytes as an unsigned number (FAT: the low 32 bits), so
// sizes of 2 to 4 GiB never show negative.
std::string SizeEditText(const FileEntry& e, FsKind kind);

enum class SizeParseError : uint8_t { kNone, kNotANumber, kNegative, kTooLarge };
struct SizeParse {
  uint64_t bytes = 0;
  SizeParseError error = SizeParseError::kNone;
  bool ok() const { return error == SizeParseError::kNone; }
};
// Reads "123", "1.5" and the like (a decimal number, blanks around it allowed) times the
// unit, the fraction of a byte cut off. Refused: not a number, negative, more than
// `volumeBytes` (or more than the 32 bits a FAT entry holds), overflow.
SizeParse ParseSizeEdit(std::string_view text, SizeUnit unit, uint64_t volumeBytes, FsKind kind);

// The language key (WINDOW_FILE_SIZE) of a refusal's message.
std::string_view SizeParseMessageKey(SizeParseError error);

}  // namespace torvane::explorer
