// The seven text colours of the results list and which one a row takes. Colours are
// 0xRRGGBB here (the configuration writes them as "#RRGGBB").
#pragma once

#include <array>
#include <cstdint>
#include <string_view>

#include "partitions/partition_record.h"
#include "store/file_entry.h"

namespace torvane::explorer {

enum class ColourKey : uint8_t { kDeleted, kExisting, kOverwritten, kNotDetected, kCompressed, kEncrypted, kSpecial };
inline constexpr size_t kColourCount = 7;
// The configuration keys of section COLORS, in ColourKey order.
inline constexpr std::array<std::string_view, kColourCount> kColourNames{
    "DELETED", "EXISTING", "OVERWRITTEN", "NOTDETECTED", "COMPRESSED", "ENCRYPTED", "SPECIAL"};

// The colour of the virtual-folder rows whose byte after `mark` (`listed`) holds 4.
inline constexpr uint32_t kMarkedVirtualFolderColour = 0x05D09B;

struct ColourTable {
  std::array<uint32_t, kColourCount> colours{};
  uint32_t virtualFolder = 0x000000;  // the colour of "Lost files", "Rebuild", "RAW files"

  // The defaults for a system whose window text has colour `windowText` (0xRRGGBB):
  // EXISTING is that colour, DELETED that colour shifted by 0x808080 (black gives grey),
  // OVERWRITTEN red, NOTDETECTED magenta, COMPRESSED blue, ENCRYPTED 0D9213, SPECIAL 800040.
  static ColourTable Defaults(uint32_t windowText = 0x000000);
  static uint32_t DefaultColour(ColourKey key, uint32_t windowText = 0x000000);

  uint32_t operator[](ColourKey key) const { return colours[static_cast<size_t>(key)]; }
  uint32_t& operator[](ColourKey key) { return colours[static_cast<size_t>(key)]; }
};

// The state class of an entry: the colour key its row takes (also what the display filter's
// state check boxes admit). `name` is the row's name (a "$" name on NTFS is a metafile).
ColourKey StateClass(const FileEntry& e, std::u16string_view name, FsKind kind);

// The text colour of a row (virtual-folder rows take the table's virtualFolder colour).
uint32_t RowColour(const ColourTable& table, const FileEntry& e, std::u16string_view name, FsKind kind);

}  // namespace torvane::explorer
