// The rows of the hex view: one found item's bytes as a dump of 16 bytes a row (offset,
// the bytes in hexadecimal, the same bytes as characters). The bytes are read through the
// content reader one sector at a time, exactly the range asked for, and a sector is kept
// while its rows are shown. Bytes that could not be read show as "??", never as the bytes
// of another sector.
#pragma once

#include <array>
#include <climits>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "fs/item_content.h"
#include "store/file_entry.h"

namespace torvane::explorer {

inline constexpr uint32_t kHexRowBytes = 16;

struct HexRow {
  uint64_t offset = 0;  // of the row's first byte in the item
  uint32_t count = 0;   // bytes in the row: 16, fewer on the last row
  std::array<uint8_t, kHexRowBytes> bytes{};
  std::array<bool, kHexRowBytes> readable{};  // false: shown as "??"
};

// "OOOOOOOOOO  XX XX XX XX XX XX XX XX  XX XX XX XX XX XX XX XX  cccccccccccccccc": ten
// upper-case hexadecimal digits of the offset, two blanks, the sixteen bytes with two blanks
// after the eighth, two blanks, and the characters. Missing bytes of a short last row are
// three blanks and one blank; bytes below 0x20 and from 0x80 to 0x9F are "."; every other
// byte is the character of that code (Latin-1), written as UTF-8; an unreadable byte is
// "??" and "?".
std::string FormatHexRow(const HexRow& row);
// The heading that matches FormatHexRow's columns ("Offset" from the language tables).
std::string HexHeader(const std::string& offsetTitle = "Offset");

// The bytes [first, last] of the item into the sink, as recovery::ReadItemRange reads them.
using HexRangeReader = std::function<ReadOutcome(uint64_t first, uint64_t last, ReaderSink& sink)>;

class HexRows {
 public:
  // An item of `size` bytes read through `reader` in sectors of `sectorBytes` (512 when 0).
  HexRows(uint64_t size, uint32_t sectorBytes, HexRangeReader reader);
  // A found item of the open volume: its size, the volume's sector size, the content reader.
  static HexRows ForItem(ReaderContext& ctx, const FileEntry& item);

  uint64_t Size() const { return size_; }
  // ceil(size / 16).
  uint64_t RowCount() const { return rows_; }
  // How many rows one step of a scroll bar with an int range stands for: ceil(rows / INT_MAX),
  // at least 1, so that files of any size (beyond 2 TiB too) fit the bar and reach their end.
  uint64_t ScrollScale() const { return scale_; }
  int ScrollPosition(uint64_t row) const;
  uint64_t RowAtScrollPosition(int position) const;

  // The row `row` (< RowCount()); reads its sector unless it is the one kept.
  HexRow Row(uint64_t row);
  // Reads made so far (the sector kept saves them).
  uint64_t Reads() const { return reads_; }

 private:
  bool LoadSector(uint64_t sector);

  uint64_t size_, rows_, scale_;
  uint32_t sectorBytes_;
  HexRangeReader reader_;
  std::vector<uint8_t> buffer_;
  std::vector<bool> readable_;
  uint64_t cachedSector_ = UINT64_MAX;
  uint64_t reads_ = 0;
};

// ceil(rows / INT_MAX), at least 1.
inline uint64_t HexScrollScale(uint64_t rows) {
  const uint64_t range = static_cast<uint64_t>(INT_MAX);
  return rows <= range ? 1 : (rows - 1) / range + 1;
}

}  // namespace torvane::explorer
