#include "explorer/size_editor.h"

#include <string>

namespace torvane::explorer {
namespace {

bool IsFat(FsKind kind) {
  return kind == FsKind::kFat12 || kind == FsKind::kFat16 || kind == FsKind::kFat32;
}

}  // namespace

uint64_t UnitFactor(SizeUnit unit) {
  return uint64_t{1} << (10 * static_cast<unsigned>(unit));
}

std::string SizeEditText(const FileEntry& e, FsKind kind) {
  return std::to_string(IsFat(kind) && e.kind != kKindRaw ? uint64_t{static_cast<uint32_t>(e.size)} : e.size);
}

SizeParse ParseSizeEdit(std::string_view text, SizeUnit unit, uint64_t volumeBytes, FsKind kind) {
  SizeParse out;
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
  // Digits with at most one decimal point; a sign is read only to refuse a negative.
  bool negative = false;
  if (!text.empty() && (text.front() == '-' || text.front() == '+')) {
    negative = text.front() == '-';
    text.remove_prefix(1);
  }
  const size_t point = text.find_first_of(".,");
  const std::string_view whole = text.substr(0, point);
  const std::string_view fraction = point == std::string_view::npos ? std::string_view() : text.substr(point + 1);
  auto digitsOnly = [](std::string_view s) {
    for (char c : s)
      if (c < '0' || c > '9') return false;
    return true;
  };
  if ((whole.empty() && fraction.empty()) || !digitsOnly(whole) || !digitsOnly(fraction)) {
    out.error = SizeParseError::kNotANumber;
    return out;
  }
  if (negative && (whole.find_first_not_of('0') != std::string_view::npos ||
                   fraction.find_first_not_of('0') != std::string_view::npos)) {
    out.error = SizeParseError::kNegative;
    return out;
  }
  // Exact integer arithmetic: whole × factor + fraction × factor, each checked.
  const uint64_t factor = UnitFactor(unit);
  uint64_t bytes = 0;
  for (char c : whole) {
    if (bytes > (UINT64_MAX - 9) / 10) {
      out.error = SizeParseError::kTooLarge;
      return out;
    }
    bytes = bytes * 10 + static_cast<uint64_t>(c - '0');
  }
  if (bytes > UINT64_MAX / factor) {
    out.error = SizeParseError::kTooLarge;
    return out;
  }
  bytes *= factor;
  // The fraction of the unit in whole bytes (cut, not rounded); nine digits are finer than a
  // byte in every unit and keep numerator × factor below 2^60.
  uint64_t numerator = 0, denominator = 1;
  for (size_t i = 0; i < fraction.size() && i < 9; ++i) {
    numerator = numerator * 10 + static_cast<uint64_t>(fraction[i] - '0');
    denominator *= 10;
  }
  const uint64_t part = numerator * factor / denominator;
  if (bytes > UINT64_MAX - part) {
    out.error = SizeParseError::kTooLarge;
    return out;
  }
  bytes += part;
  const uint64_t limit = IsFat(kind) ? std::min<uint64_t>(volumeBytes, UINT32_MAX) : volumeBytes;
  if (bytes > limit) {
    out.error = SizeParseError::kTooLarge;
    return out;
  }
  out.bytes = bytes;
  return out;
}

std::string_view SizeParseMessageKey(SizeParseError error) {
  switch (error) {
    case SizeParseError::kNotANumber:
      return "szSizeNotANumber";
    case SizeParseError::kNegative:
      return "szSizeNegative";
    case SizeParseError::kTooLarge:
      return "szSizeTooLarge";
    case SizeParseError::kNone:
      break;
  }
  return {};
}

}  // namespace torvane::explorer
