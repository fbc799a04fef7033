#include "explorer/row_colours.h"

namespace torvane::explorer {
namespace {

bool IsFat(FsKind kind) {
  return kind == FsKind::kFat12 || kind == FsKind::kFat16 || kind == FsKind::kFat32;
}

uint32_t SwapRedBlue(uint32_t c) {
  return (c & 0xFF) << 16 | (c & 0xFF00) | ((c >> 16) & 0xFF);
}

}  // namespace

uint32_t ColourTable::DefaultColour(ColourKey key, uint32_t windowText) {
  switch (key) {
    case ColourKey::kDeleted: {
      // The window text shifted by half the range, compared as 0x00BBGGRR (black: grey).
      const uint32_t bgr = SwapRedBlue(windowText & 0xFFFFFF);
      return SwapRedBlue(bgr > 0x808080 ? bgr - 0x808080 : bgr + 0x808080);
    }
    case ColourKey::kExisting:
      return windowText & 0xFFFFFF;
    case ColourKey::kOverwritten:
      return 0xFF0000;
    case ColourKey::kNotDetected:
      return 0xFF00FF;
    case ColourKey::kCompressed:
      return 0x0000FF;
    case ColourKey::kEncrypted:
      return 0x0D9213;
    case ColourKey::kSpecial:
      return 0x800040;
  }
  return 0;
}

ColourTable ColourTable::Defaults(uint32_t windowText) {
  ColourTable t;
  for (size_t i = 0; i < kColourCount; ++i) t.colours[i] = DefaultColour(static_cast<ColourKey>(i), windowText);
  t.virtualFolder = windowText & 0xFFFFFF;
  return t;
}

ColourKey StateClass(const FileEntry& e, std::u16string_view name, FsKind kind) {
  if (e.state == 255) return ColourKey::kDeleted;
  if (kind == FsKind::kNtfs) {
    ColourKey key = ColourKey::kExisting;
    if (e.kind < kKindVirtualFolder) {
      key = ColourKey::kOverwritten;  // states 0 to 99: part of the data is gone
      if (e.state > 99) {
        if (!name.empty() && name[0] == u'$' && e.kind != kKindRaw)
          key = ColourKey::kSpecial;
        else if ((e.attributes & kAttributeEncrypted) != 0)
          key = ColourKey::kEncrypted;
        else if ((e.attributes & kAttributeCompressed) != 0)
          key = ColourKey::kCompressed;
        else if (e.state == 100 || e.state == 110 || e.state == 252 || e.state == 253)
          key = ColourKey::kDeleted;
        else
          key = ColourKey::kExisting;
      }
    }
    if (e.kind == kKindUnverifiable) key = ColourKey::kNotDetected;
    return key;
  }
  if (IsFat(kind) || kind == FsKind::kExfat) {
    if (e.kind >= kKindVirtualFolder) return ColourKey::kExisting;
    if (e.kind == kKindPartlyOverwritten) return ColourKey::kOverwritten;
    if (e.kind == kKindUnverifiable) return ColourKey::kNotDetected;
    // The deleted flag (the byte at 0x20) or a cluster chain that is gone.
    const bool deleted = ((e.dataStart >> 32) & 0xFF) == 1;
    if (deleted || (e.hasChain == 0 && e.kind != kKindRaw)) return ColourKey::kDeleted;
    return ColourKey::kExisting;
  }
  // RAW volumes hold RAW items only: found in free space, shown as recoverable.
  return e.state == kStateExisting ? ColourKey::kExisting : ColourKey::kDeleted;
}

uint32_t RowColour(const ColourTable& table, const FileEntry& e, std::u16string_view name, FsKind kind) {
  if (e.kind == kKindFirstVirtualRow || e.kind == kKindLastVirtualRow)
    return e.listed == 4 ? kMarkedVirtualFolderColour : table.virtualFolder;
  return table[StateClass(e, name, kind)];
}

}  // namespace torvane::explorer
