// The cells of the results list: how each column shows an entry, and the check box and
// rating image of a row. Pure functions of a FileEntry and the volume's kind.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "partitions/partition_record.h"
#include "store/file_entry.h"

namespace torvane::explorer {

enum Column : uint8_t { kColumnName = 0, kColumnSize = 1, kColumnType = 2, kColumnDate = 3, kColumnRating = 4 };
inline constexpr int kColumnCount = 5;
// Column titles (WINDOW_EXPLORER keys) and default widths in pixels.
struct ColumnInfo {
  std::string_view key, english;
  int width;
};
inline constexpr ColumnInfo kColumns[kColumnCount] = {{"szColumnFileName", "File name", 146},
                                                      {"szColumnSize", "Size", 50},
                                                      {"szColumnType", "Type", 52},
                                                      {"szColumnDate", "Date", 102},
                                                      {"szColumnRating", "Rating (integrity)", 90}};

// The number of images in the rating ("STARS") strip.
inline constexpr int kRatingImages = 12;

// "1023 B", "1 KB", "1023 KB", "1 GB": integer division by powers of 1024, no rounding. On
// FAT volumes only the low 32 bits of the size count (RAW items keep all 64).
std::string SizeCell(uint64_t size);
std::string SizeCellFor(const FileEntry& e, FsKind kind);
// The size as the explorer counts it on this volume (FAT: low 32 bits, except RAW items).
uint64_t ShownSize(const FileEntry& e, FsKind kind);

// The extension in upper case ("JPG"); empty for folders and names without an extension.
std::u16string TypeCell(const FileEntry& e, std::u16string_view name);

// NTFS: "YYYY-MM-DD" of `time`; exFAT: "YYYY-MM-DD hh:mm" (nothing for a zero time); FAT:
// the last access date kept in the entry, "YYYY-MM-DD". Empty for RAW items and for
// folders and virtual rows (kind 6 or more).
std::string DateCell(const FileEntry& e, FsKind kind);

// The rating value of a state: 200 gives 100, 255 and 252 give 110, others themselves.
uint32_t RatingValue(uint8_t state);
// The image of the strip: value * 10 / 100, held to 0..11 (states like 244 or 254 would
// otherwise point past the strip).
int RatingImage(uint8_t state);
// Whether the rating cell is drawn: files only (not folder rows, not kind 6 or more).
bool HasRating(const FileEntry& e);

// Files and real folders (kind below 6) carry a check box; virtual rows and ".." none.
bool HasCheckBox(const FileEntry& e);
bool IsChecked(const FileEntry& e);

// The name shown for an entry without a stored name: "NONAME_<record number>" (RAW items:
// their number).
std::u16string GeneratedName(const FileEntry& e);

}  // namespace torvane::explorer
