#include "explorer/list_cells.h"

#include <algorithm>
#include <chrono>
#include <cstdio>

namespace torvane::explorer {
namespace {

bool IsFat(FsKind kind) {
  return kind == FsKind::kFat12 || kind == FsKind::kFat16 || kind == FsKind::kFat32;
}

struct CivilTime {
  int year;
  unsigned month, day, hour, minute, second;
};

// A FILETIME (100 ns since 1601-01-01 UTC) as a calendar date and time.
CivilTime FromFiletime(uint64_t filetime) {
  using namespace std::chrono;
  const uint64_t seconds = filetime / 10000000;
  const int64_t days = static_cast<int64_t>(seconds / 86400);
  const uint64_t rest = seconds % 86400;
  // 1601-01-01 lies 134,774 days before 1970-01-01.
  const year_month_day ymd{sys_days{} + std::chrono::days{days - 134774}};
  return {static_cast<int>(ymd.year()),       static_cast<unsigned>(ymd.month()),    static_cast<unsigned>(ymd.day()),
          static_cast<unsigned>(rest / 3600), static_cast<unsigned>(rest / 60 % 60), static_cast<unsigned>(rest % 60)};
}

}  // namespace

std::string SizeCell(uint64_t size) {
  static constexpr const char* kUnits[] = {"B", "KB", "MB", "GB"};
  int unit = 0;
  uint64_t value = size;
  if (size >= (uint64_t{1} << 30))
    unit = 3;
  else if (size >= (uint64_t{1} << 20))
    unit = 2;
  else if (size >= (uint64_t{1} << 10))
    unit = 1;
  value = size >> (10 * unit);
  return std::to_string(value) + " " + kUnits[unit];
}

uint64_t ShownSize(const FileEntry& e, FsKind kind) {
  return IsFat(kind) && e.kind != kKindRaw ? static_cast<uint32_t>(e.size) : e.size;
}

std::string SizeCellFor(const FileEntry& e, FsKind kind) {
  if (e.IsFolder() || e.kind >= kKindVirtualFolder) return {};
  return SizeCell(ShownSize(e, kind));
}

std::u16string TypeCell(const FileEntry& e, std::u16string_view name) {
  if (e.IsFolder() || e.kind >= kKindVirtualFolder) return {};
  const size_t dot = name.rfind(u'.');
  if (dot == std::u16string_view::npos || dot + 1 >= name.size()) return {};
  std::u16string ext(name.substr(dot + 1));
  for (auto& c : ext)
    if (c >= u'a' && c <= u'z') c = static_cast<char16_t>(c - 32);
  return ext;
}

std::string DateCell(const FileEntry& e, FsKind kind) {
  if (e.kind == kKindRaw || e.kind >= kKindVirtualFolder || e.IsFolder()) return {};
  char text[40];
  if (IsFat(kind)) {
    // The last access date the FAT reader keeps in the 16 bits at 0x40.
    const unsigned date = e.parentHigh;
    if (date == 0) return {};
    std::snprintf(text, sizeof text, "%u-%.2u-%.2u", 1980 + (date >> 9), (date >> 5) & 0xF, date & 0x1F);
    return text;
  }
  if (e.time == 0) return {};
  const CivilTime t = FromFiletime(e.time);
  if (kind == FsKind::kExfat)
    std::snprintf(text, sizeof text, "%d-%.2u-%.2u %.2u:%.2u", t.year, t.month, t.day, t.hour, t.minute);
  else
    std::snprintf(text, sizeof text, "%d-%.2u-%.2u", t.year, t.month, t.day);
  return text;
}

uint32_t RatingValue(uint8_t state) {
  if (state == kStateExisting) return 100;
  if (state == 255 || state == 252) return 110;
  return state;
}

int RatingImage(uint8_t state) {
  return static_cast<int>(std::min<uint32_t>(RatingValue(state) * 10 / 100, kRatingImages - 1));
}

bool HasRating(const FileEntry& e) {
  return !e.IsFolder() && e.kind < kKindVirtualFolder;
}

bool HasCheckBox(const FileEntry& e) {
  return e.kind < kKindVirtualFolder;
}

bool IsChecked(const FileEntry& e) {
  return e.mark == 1;
}

std::u16string GeneratedName(const FileEntry& e) {
  const std::string digits = "NONAME_" + std::to_string(e.recordNumber);
  return std::u16string(digits.begin(), digits.end());
}

}  // namespace torvane::explorer
