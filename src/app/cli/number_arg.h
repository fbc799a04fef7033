// Numbers and dates given on the command line.
#pragma once

#include <charconv>
#include <cstdint>
#include <optional>
#include <string_view>

#include "util/file_time.h"

namespace torvane::cli {

// A byte count or offset: decimal, or hexadecimal after "0x"; an optional suffix k, M, G
// or T multiplies by powers of 1024. Nothing for anything else or an overflow.
inline std::optional<uint64_t> ParseByteCount(std::string_view text) {
  int base = 10;
  if (text.starts_with("0x") || text.starts_with("0X")) {
    text.remove_prefix(2);
    base = 16;
  }
  uint64_t multiplier = 1;
  if (base == 10 && !text.empty()) {
    const char unit = text.back();
    const std::string_view units = "kMGT";
    if (const size_t u = units.find(unit); u != std::string_view::npos) {
      multiplier = uint64_t{1} << (10 * (u + 1));
      text.remove_suffix(1);
    }
  }
  uint64_t value = 0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value, base);
  if (text.empty() || ec != std::errc() || end != text.data() + text.size()) return std::nullopt;
  if (value > UINT64_MAX / multiplier) return std::nullopt;
  return value * multiplier;
}

// "YYYY-MM-DD" (UTC midnight) as a FILETIME; nothing for another form or a day that does
// not exist.
inline std::optional<uint64_t> ParseDate(std::string_view text) {
  if (text.size() != 10 || text[4] != '-' || text[7] != '-') return std::nullopt;
  auto number = [&](size_t at, size_t length, int& out) {
    const auto [end, ec] = std::from_chars(text.data() + at, text.data() + at + length, out);
    return ec == std::errc() && end == text.data() + at + length;
  };
  int y = 0, m = 0, d = 0;
  if (!number(0, 4, y) || !number(5, 2, m) || !number(8, 2, d)) return std::nullopt;
  static constexpr int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  const bool leap = (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
  if (y < 1601 || m < 1 || m > 12 || d < 1 || d > kDays[m - 1] + (m == 2 && leap ? 1 : 0)) return std::nullopt;
  // Days since 1601-01-01 (proleptic Gregorian calendar).
  auto daysBefore = [](int year) {
    const int64_t n = year - 1601;
    return n * 365 + n / 4 - n / 100 + n / 400;
  };
  int64_t days = daysBefore(y);
  for (int i = 1; i < m; ++i) days += kDays[i - 1] + (i == 2 && leap ? 1 : 0);
  days += d - 1;
  return static_cast<uint64_t>(days) * 864000000000ull;
}

}  // namespace torvane::cli
