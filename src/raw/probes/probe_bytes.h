// Big-endian loads and byte-pattern tests over untrusted spans, for the probes' formats
// (MPEG, ISO media, EXIF "MM" and the like). Like util/bytes.h, every load refuses to run
// past the span and answers 0 there, so a field offset read from the disk can never reach
// outside the bytes held.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

#include "util/bytes.h"

namespace torvane::probes {

namespace detail {
template <typename T>
inline T LoadBe(ByteSpan data, size_t offset) {
  if (offset > data.size() || data.size() - offset < sizeof(T)) return 0;
  T value = 0;
  for (size_t i = 0; i < sizeof(T); ++i)
    value = static_cast<T>((value << 8) | std::to_integer<uint8_t>(data[offset + i]));
  return value;
}
}  // namespace detail

inline uint16_t BeU16(ByteSpan data, size_t offset) {
  return detail::LoadBe<uint16_t>(data, offset);
}
inline uint32_t BeU32(ByteSpan data, size_t offset) {
  return detail::LoadBe<uint32_t>(data, offset);
}
inline uint64_t BeU64(ByteSpan data, size_t offset) {
  return detail::LoadBe<uint64_t>(data, offset);
}

// True when the span holds `pattern` at `offset` (false when it ends before the pattern does).
inline bool BytesAt(ByteSpan data, size_t offset, std::string_view pattern) {
  if (offset > data.size() || data.size() - offset < pattern.size()) return false;
  for (size_t i = 0; i < pattern.size(); ++i)
    if (std::to_integer<uint8_t>(data[offset + i]) != static_cast<uint8_t>(pattern[i])) return false;
  return true;
}

// Where `pattern` first occurs in the span at or after `from`, or npos.
inline size_t FindBytes(ByteSpan data, std::string_view pattern, size_t from = 0) {
  if (pattern.empty() || from > data.size()) return std::string_view::npos;
  const void* hit = memmem(data.data() + from, data.size() - from, pattern.data(), pattern.size());
  return hit ? static_cast<size_t>(static_cast<const std::byte*>(hit) - data.data()) : std::string_view::npos;
}

}  // namespace torvane::probes
