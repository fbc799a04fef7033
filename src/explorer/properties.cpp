#include "explorer/properties.h"

#include <chrono>
#include <cstdio>

#include "explorer/list_cells.h"

namespace torvane::explorer {

std::string PropertiesSize(const FileEntry& e, FsKind kind, const Texts& texts) {
  const uint64_t size = ShownSize(e, kind);
  const std::string cell = SizeCell(size);
  const size_t blank = cell.find(' ');
  return texts.Format(texts.Get(kSectionProperties, "szSizeBytes"),
                      {cell.substr(0, blank), cell.substr(blank + 1), std::to_string(size)});
}

std::string PropertiesDate(uint64_t filetime, const Texts& texts) {
  if (filetime == 0 || filetime > kLastShownFiletime) return texts.Get(kSectionProperties, "szUnknownValue");
  using namespace std::chrono;
  const uint64_t seconds = filetime / 10000000;
  // 1601-01-01 lies 134,774 days before 1970-01-01.
  const year_month_day ymd{sys_days{} + days{static_cast<int64_t>(seconds / 86400) - 134774}};
  const uint64_t rest = seconds % 86400;
  auto two = [](uint64_t v) {
    char text[8];
    std::snprintf(text, sizeof text, "%02u", static_cast<unsigned>(v));
    return std::string(text);
  };
  const std::string month =
      texts.Get(kSectionProperties, "szMonth" + std::to_string(static_cast<unsigned>(ymd.month())));
  return texts.Format(
      texts.Get(kSectionProperties, "szDateTime"),
      {std::to_string(static_cast<unsigned>(ymd.day())), month, std::to_string(static_cast<int>(ymd.year())),
       two(rest / 3600), two(rest / 60 % 60), two(rest % 60)});
}

std::string DateNotKept(FsKind kind, const Texts& texts) {
  switch (kind) {
    case FsKind::kNtfs:
      return texts.Get(kSectionProperties, "szNANtfs");
    case FsKind::kFat12:
    case FsKind::kFat16:
    case FsKind::kFat32:
    case FsKind::kExfat:
      return texts.Get(kSectionProperties, "szNAFat");
    default:
      return texts.Get(kSectionProperties, "szNA1");
  }
}

}  // namespace torvane::explorer
