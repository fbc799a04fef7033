#include "fs/fat/fat_directory.h"

#include <array>
#include <string_view>

#include "util/bytes.h"

namespace torvane::fat {
namespace {

constexpr uint8_t kAttrReservedBits = 0xC0;
constexpr uint8_t kLfnLastFlag = 0x40;
constexpr uint8_t kLfnMaxSequence = 20;  // 20 entries x 13 characters cover a 255-character name

uint8_t Byte(std::span<const std::byte> s, size_t i) {
  return std::to_integer<uint8_t>(s[i]);
}

// Punctuation allowed in short names besides letters and digits.
bool IsShortNamePunctuation(uint8_t c) {
  static constexpr std::string_view kAllowed = "!#$%&'()-@^_`{}~";
  return kAllowed.find(static_cast<char>(c)) != std::string_view::npos;
}

// A byte allowed in a short name (the caller refuses a space in first place). Labels are also
// allowed lower-case letters: formatters store the label as typed.
bool IsShortNameChar(uint8_t c, bool volumeLabel) {
  if (c == 0x20 || c >= 0x80) return true;
  if ((c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z')) return true;
  if (volumeLabel && c >= 'a' && c <= 'z') return true;
  return IsShortNamePunctuation(c);
}

// "." and ".." at the start of every subdirectory: the only names holding a period.
bool IsDotName(std::span<const std::byte> name) {
  size_t dots = 0;
  while (dots < 2 && Byte(name, dots) == '.') ++dots;
  if (dots == 0) return false;
  for (size_t i = dots; i < 11; ++i)
    if (Byte(name, i) != 0x20) return false;
  return true;
}

// Packed time: seconds/2 in bits 0-4, minutes in 5-10, hours in 11-15. Zero means unset.
bool IsValidTime(uint16_t t) {
  if (t == 0) return true;
  return (t & 0x1F) <= 29 && ((t >> 5) & 0x3F) <= 59 && (t >> 11) <= 23;
}

// Packed date: day in bits 0-4, month in 5-8, years since 1980 in 9-15. Zero means unset.
bool IsValidDate(uint16_t d) {
  if (d == 0) return true;
  const unsigned day = d & 0x1F;
  const unsigned month = (d >> 5) & 0x0F;
  return day >= 1 && month >= 1 && month <= 12;
}

bool IsValidLfnEntry(std::span<const std::byte> e) {
  const uint8_t seq = Byte(e, 0);
  if (seq != kEntryDeleted) {
    const uint8_t ordinal = seq & static_cast<uint8_t>(~kLfnLastFlag);
    if (ordinal < 1 || ordinal > kLfnMaxSequence) return false;
  }
  // Type 0 is the only long-name kind; the cluster word is always 0 so that old systems
  // never follow it.
  return Byte(e, 12) == 0 && LeU16(e, 26) == 0;
}

bool IsValidShortEntry(std::span<const std::byte> e) {
  const uint8_t attr = Byte(e, 11);
  const bool volumeLabel = (attr & kAttrVolumeId) != 0;
  // A volume label is never a directory as well.
  if (volumeLabel && (attr & kAttrDirectory) != 0) return false;

  const auto name = e.first(11);
  const uint8_t first = Byte(name, 0);
  if (first == '.') {
    if (!IsDotName(name) || (attr & kAttrDirectory) == 0) return false;
  } else {
    // The first byte may mark a deleted entry or stand in for 0xE5; never a space.
    if (first == 0x20) return false;
    if (first != kEntryDeleted && first != kEntryKanjiE5 && !IsShortNameChar(first, volumeLabel)) return false;
    for (size_t i = 1; i < 11; ++i)
      if (!IsShortNameChar(Byte(name, i), volumeLabel)) return false;
  }

  if (Byte(e, 13) > 199) return false;  // creation time, hundredths of a second (0..1.99 s)
  return IsValidTime(LeU16(e, 14)) && IsValidDate(LeU16(e, 16)) && IsValidDate(LeU16(e, 18)) &&
         IsValidTime(LeU16(e, 22)) && IsValidDate(LeU16(e, 24));
}

}  // namespace

bool IsValidDirEntry(std::span<const std::byte> entry) {
  if (entry.size() < kDirEntryBytes) return false;
  const auto e = entry.first(kDirEntryBytes);
  if (Byte(e, 0) == kEntryEnd) return false;  // end marker, or never used
  const uint8_t attr = Byte(e, 11);
  if ((attr & kAttrReservedBits) != 0) return false;
  if (attr == kAttrLongName) return IsValidLfnEntry(e);
  return IsValidShortEntry(e);
}

std::optional<std::string> FindVolumeLabel(std::span<const std::byte> directoryBytes) {
  for (size_t off = 0; directoryBytes.size() - off >= kDirEntryBytes; off += kDirEntryBytes) {
    const auto e = directoryBytes.subspan(off, kDirEntryBytes);
    const uint8_t first = Byte(e, 0);
    if (first == kEntryEnd) break;
    if (first == kEntryDeleted) continue;
    // The label entry carries only the volume-id attribute; some writers add the archive bit.
    const uint8_t attr = Byte(e, 11);
    if ((attr & static_cast<uint8_t>(~kAttrArchive)) != kAttrVolumeId) continue;

    std::string label(11, ' ');
    for (size_t i = 0; i < 11; ++i) label[i] = static_cast<char>(Byte(e, i));
    if (first == kEntryKanjiE5) label[0] = static_cast<char>(kEntryDeleted);
    const size_t end = label.find_last_not_of(' ');
    if (end == std::string::npos) continue;
    label.resize(end + 1);
    return label;
  }
  return std::nullopt;
}

bool IsSystemVolumeInformationLfn(std::span<const std::byte> entry) {
  // Sequence 2 with the last-entry flag; " Information" in UTF-16, checksum 0x72 of the
  // short name "SYSTEM~1".
  static constexpr std::array<uint8_t, kDirEntryBytes> kEntry = {
      0x42, 0x20, 0x00, 0x49, 0x00, 0x6E, 0x00, 0x66, 0x00, 0x6F, 0x00, 0x0F, 0x00, 0x72, 0x72, 0x00,
      0x6D, 0x00, 0x61, 0x00, 0x74, 0x00, 0x69, 0x00, 0x6F, 0x00, 0x00, 0x00, 0x6E, 0x00, 0x00, 0x00};
  if (entry.size() < kDirEntryBytes) return false;
  const uint8_t first = Byte(entry, 0);
  if (first != kEntry[0] && first != kEntryDeleted) return false;
  for (size_t i = 1; i < kDirEntryBytes; ++i)
    if (Byte(entry, i) != kEntry[i]) return false;
  return true;
}

}  // namespace torvane::fat
