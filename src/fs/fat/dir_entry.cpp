#include "fs/fat/dir_entry.h"

#include <string_view>

#include "fs/fat/code_page.h"
#include "fs/fat/fat_directory.h"

namespace torvane::fat {
namespace {

constexpr uint8_t kLfnLast = 0x40;
constexpr size_t kLfnCharOffsets[13] = {1, 3, 5, 7, 9, 14, 16, 18, 20, 22, 24, 28, 30};

bool IsForbidden(uint32_t c) {
  static constexpr std::u16string_view kForbidden = u"<>:\"/\\|?*";
  return c < 0x10000 && kForbidden.find(static_cast<char16_t>(c)) != std::u16string_view::npos;
}

bool IsLongNameEntry(ByteSpan e) {
  return LeU8(e, 11) == kAttrLongName;
}

char16_t Lower(char16_t c) {
  return c >= u'A' && c <= u'Z' ? static_cast<char16_t>(c + 32) : c;
}

// Appends the 13 characters of a long-name entry until a terminator (0x0000 or the padding
// 0xFFFF); true when one was met.
bool AppendLongNamePart(ByteSpan e, std::u16string& name) {
  for (size_t at : kLfnCharOffsets) {
    const char16_t c = LeU16(e, at);
    if (c == 0x0000 || c == 0xFFFF) return true;
    if (name.size() >= kMaxLongNameUnits) return true;
    name.push_back(c);
  }
  return false;
}

// Name (8 bytes) and extension (3 bytes) of a short entry, blanks dropped, through the code
// page; the first byte as given (`first`).
void ShortNameParts(ByteSpan e, uint8_t first, std::u16string& base, std::u16string& ext) {
  base.clear();
  ext.clear();
  size_t baseEnd = 8, extEnd = 11;
  while (baseEnd > 0 && LeU8(e, baseEnd - 1) == ' ') --baseEnd;
  while (extEnd > 8 && LeU8(e, extEnd - 1) == ' ') --extEnd;
  for (size_t i = 0; i < baseEnd; ++i) base.push_back(Cp437ToUnicode(i == 0 ? first : LeU8(e, i)));
  for (size_t i = 8; i < extEnd; ++i) ext.push_back(Cp437ToUnicode(LeU8(e, i)));
}

// The fields of the short entry itself.
void DecodeShortEntry(ByteSpan e, bool fat32, bool deleted, DirItem& item) {
  item.attributes = LeU8(e, 11);
  item.caseFlags = LeU8(e, 12);
  item.accessDate = LeU16(e, 0x12);
  item.highWord = fat32 ? LeU16(e, 0x14) : 0;
  item.writeTime = LeU16(e, 0x16);
  item.writeDate = LeU16(e, 0x18);
  item.lowWord = LeU16(e, 0x1A);
  item.firstCluster = (uint32_t{item.highWord} << 16) | item.lowWord;
  item.deleted = deleted;
  item.volumeLabel = (item.attributes & kAttrVolumeId) != 0;
  item.size = item.IsFolder() ? 0 : LeU32(e, 0x1C);
  for (size_t i = 8; i < 11; ++i)
    if (LeU8(e, i) < 0x20) item.usable = false;
  for (size_t i = 8; i < 11 && LeU8(e, i) != ' '; ++i) item.extension.push_back(static_cast<char>(LeU8(e, i)));

  if (item.volumeLabel) {
    size_t end = 11;
    while (end > 0 && LeU8(e, end - 1) == ' ') --end;
    for (size_t i = 0; i < end; ++i) item.shortName.push_back(Cp437ToUnicode(LeU8(e, i)));
    return;
  }
  if (LeU8(e, 0) == '.') {
    item.dot = true;
    item.dotDot = LeU8(e, 1) == '.';
    item.shortName = item.dotDot ? u".." : u".";
    return;
  }
  uint8_t first = LeU8(e, 0);
  if (first == kEntryKanjiE5) first = kEntryDeleted;  // a live name that begins with 0xE5
  if (deleted) {
    // The first character is lost. Cameras name their pictures IMG_ and DSC_: a JPG whose
    // name goes on with "MG" or "SC" gets its letter back, any other an underscore.
    first = '_';
    const bool jpg = LeU8(e, 8) == 'J' && LeU8(e, 9) == 'P' && LeU8(e, 10) == 'G';
    if (jpg && LeU8(e, 1) == 'M' && LeU8(e, 2) == 'G') first = 'I';
    if (jpg && LeU8(e, 1) == 'S' && LeU8(e, 2) == 'C') first = 'D';
  }
  std::u16string base, ext;
  ShortNameParts(e, first, base, ext);
  // Each flag on its own: 0x08 lower-cases the name, 0x10 the extension.
  if (item.caseFlags & 0x08)
    for (auto& c : base) c = Lower(c);
  if (item.caseFlags & 0x10)
    for (auto& c : ext) c = Lower(c);
  item.shortName = ext.empty() ? base : base + u"." + ext;
}

// The live long name that leads to a short entry: `count` entries from `offset`, numbered
// count down to 1, the first flagged last, all with the short name's checksum.
bool LiveLongName(ByteSpan folder, size_t offset, size_t count, std::u16string& name) {
  const size_t shortAt = offset + count * kDirEntryBytes;
  if (count == 0 || count > kMaxLongNameEntries || shortAt + kDirEntryBytes > folder.size()) return false;
  const ByteSpan shortEntry = folder.subspan(shortAt, kDirEntryBytes);
  const uint8_t first = LeU8(shortEntry, 0);
  if (first == kEntryEnd || first == kEntryDeleted || IsLongNameEntry(shortEntry) || !IsPlausibleEntry(shortEntry))
    return false;
  const uint8_t checksum = ShortNameChecksum(shortEntry.first(11));
  for (size_t k = 0; k < count; ++k) {
    const ByteSpan e = folder.subspan(offset + k * kDirEntryBytes, kDirEntryBytes);
    const uint8_t expected = static_cast<uint8_t>((count - k) | (k == 0 ? kLfnLast : 0));
    if (!IsLongNameEntry(e) || LeU8(e, 0) != expected || LeU8(e, 13) != checksum) return false;
  }
  name.clear();
  for (size_t k = count; k-- > 0;)
    if (AppendLongNamePart(folder.subspan(offset + k * kDirEntryBytes, kDirEntryBytes), name)) break;
  return true;
}

}  // namespace

uint8_t ShortNameChecksum(ByteSpan name11) {
  uint8_t sum = 0;
  for (size_t i = 0; i < 11; ++i) sum = static_cast<uint8_t>(((sum & 1) << 7) + (sum >> 1) + LeU8(name11, i));
  return sum;
}

bool IsPlausibleEntry(ByteSpan raw) {
  if (raw.size() < kDirEntryBytes) return false;
  const uint8_t attr = LeU8(raw, 11);
  if (attr == kAttrLongName) {
    const uint8_t seq = LeU8(raw, 0);
    const uint8_t number = seq == kEntryDeleted ? 1 : static_cast<uint8_t>(seq & ~kLfnLast);
    if (LeU16(raw, 0x1A) != 0 || number == 0 || number > kMaxLongNameEntries) return false;
    for (size_t at : kLfnCharOffsets)
      if (IsForbidden(LeU16(raw, at))) return false;
    return true;
  }
  if (attr >= 0x40) return false;
  for (size_t i = 0; i < 11; ++i) {
    const uint8_t c = LeU8(raw, i);
    if (c == 0 || IsForbidden(c)) return false;
  }
  return true;
}

DecodeStep DecodeEntry(ByteSpan folder, size_t offset, uint32_t mode, bool fat32, DirItem& item) {
  DecodeStep step;
  if (offset > folder.size() || folder.size() - offset < kDirEntryBytes) return step;
  const ByteSpan e = folder.subspan(offset, kDirEntryBytes);
  const uint8_t first = LeU8(e, 0);
  if (first == kEntryEnd) return step;
  step.used = kDirEntryBytes;
  if (!IsPlausibleEntry(e)) return step;
  item = DirItem{};

  if (first != kEntryDeleted) {
    size_t shortAt = offset;
    if (IsLongNameEntry(e)) {
      const size_t count = first & 0x3F;
      std::u16string longName;
      // A long name that does not lead to its short entry is passed over entry by entry.
      if (!LiveLongName(folder, offset, count, longName)) return step;
      shortAt = offset + count * kDirEntryBytes;
      if ((mode & kModeNoLongNames) == 0) {
        item.name = std::move(longName);
        item.longName = !item.name.empty();
      }
    }
    const ByteSpan s = folder.subspan(shortAt, kDirEntryBytes);
    DecodeShortEntry(s, fat32, false, item);
    item.offset = static_cast<uint32_t>(shortAt);
    if (!item.longName) item.name = item.shortName;
    step.used = shortAt - offset + kDirEntryBytes;
    step.produced = true;
    return step;
  }

  // Deleted: the long-name entries have lost their sequence numbers; they are counted up to
  // the short entry, and only the ones next to it that share a checksum are taken.
  size_t count = 0;
  while (IsLongNameEntry(folder.subspan(offset + count * kDirEntryBytes, kDirEntryBytes)) &&
         LeU8(folder, offset + count * kDirEntryBytes) == kEntryDeleted) {
    ++count;
    if (folder.size() - offset < (count + 1) * kDirEntryBytes) return {count * kDirEntryBytes, false};
  }
  const size_t shortAt = offset + count * kDirEntryBytes;
  const ByteSpan s = folder.subspan(shortAt, kDirEntryBytes);
  // The short entry was used again (or the folder ends): the long-name entries are orphans.
  if (count > 0 && (LeU8(s, 0) != kEntryDeleted || IsLongNameEntry(s) || !IsPlausibleEntry(s)))
    return {count * kDirEntryBytes, false};
  DecodeShortEntry(s, fat32, true, item);
  item.offset = static_cast<uint32_t>(shortAt);
  step.used = (count + 1) * kDirEntryBytes;
  step.produced = true;
  if (count > 0 && (mode & kModeNoLongNames) == 0) {
    const uint8_t checksum = LeU8(folder, shortAt - kDirEntryBytes + 13);
    bool ended = false;
    size_t taken = 0;
    for (size_t k = 0; k < count && k < kMaxLongNameEntries && !ended; ++k) {
      const ByteSpan lfn = folder.subspan(shortAt - (k + 1) * kDirEntryBytes, kDirEntryBytes);
      if (LeU8(lfn, 13) != checksum) break;
      ended = AppendLongNamePart(lfn, item.name);
      ++taken;
    }
    item.longName = !item.name.empty();
    if (item.longName && !ended) {
      // The entries ran out before the name ended: complete it from the 8.3 name.
      if (!item.IsFolder() && item.name.find(u'.') == std::u16string::npos && !item.extension.empty()) {
        const size_t dot = item.shortName.rfind(u'.');
        std::u16string ext = item.shortName.substr(dot + 1);
        for (auto& c : ext) c = Lower(c);
        item.name += u"." + ext;
      } else if (item.IsFolder() && item.name.size() < 9 && item.shortName.size() > 1) {
        item.name = item.name.substr(0, 1) + item.shortName.substr(1, 12);
      }
    }
    (void)taken;
  }
  if (!item.longName) item.name = item.shortName;
  return step;
}

}  // namespace torvane::fat
