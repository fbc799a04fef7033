// Little-endian field loads over untrusted byte spans.
//
// Every structure read from a disk or a file is parsed through these helpers: the caller
// checks the whole record's size once, and the loads themselves refuse to run past the end
// (they answer 0), so a miscounted offset can never read outside the span.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>

namespace torvane {

using ByteSpan = std::span<const std::byte>;
using MutableByteSpan = std::span<std::byte>;

namespace detail {
template <typename T>
inline T LoadLe(ByteSpan data, size_t offset) {
  if (offset > data.size() || data.size() - offset < sizeof(T)) return 0;
  T value = 0;
  for (size_t i = 0; i < sizeof(T); ++i) value |= static_cast<T>(std::to_integer<uint8_t>(data[offset + i])) << (8 * i);
  return value;
}
template <typename T>
inline void StoreLe(MutableByteSpan data, size_t offset, T value) {
  if (offset > data.size() || data.size() - offset < sizeof(T)) return;
  for (size_t i = 0; i < sizeof(T); ++i) data[offset + i] = static_cast<std::byte>((value >> (8 * i)) & 0xFF);
}
}  // namespace detail

// True for 1, 2, 4, 8, ...; false for 0.
constexpr bool IsPowerOfTwo(uint64_t v) {
  return v != 0 && (v & (v - 1)) == 0;
}

inline uint8_t LeU8(ByteSpan data, size_t offset) {
  return detail::LoadLe<uint8_t>(data, offset);
}
inline uint16_t LeU16(ByteSpan data, size_t offset) {
  return detail::LoadLe<uint16_t>(data, offset);
}
inline uint32_t LeU32(ByteSpan data, size_t offset) {
  return detail::LoadLe<uint32_t>(data, offset);
}
inline uint64_t LeU64(ByteSpan data, size_t offset) {
  return detail::LoadLe<uint64_t>(data, offset);
}

inline void StoreLeU16(MutableByteSpan data, size_t offset, uint16_t v) {
  detail::StoreLe(data, offset, v);
}
inline void StoreLeU32(MutableByteSpan data, size_t offset, uint32_t v) {
  detail::StoreLe(data, offset, v);
}
inline void StoreLeU64(MutableByteSpan data, size_t offset, uint64_t v) {
  detail::StoreLe(data, offset, v);
}

inline ByteSpan AsBytes(const void* data, size_t size) {
  return {static_cast<const std::byte*>(data), size};
}

// True when every byte of the span is zero.
inline bool IsAllZero(ByteSpan data) {
  const std::byte* p = data.data();
  size_t n = data.size();
  // Word-at-a-time compare; the tail is handled bytewise.
  while (n >= sizeof(uint64_t)) {
    uint64_t w;
    std::memcpy(&w, p, sizeof w);
    if (w != 0) return false;
    p += sizeof w;
    n -= sizeof w;
  }
  while (n--) {
    if (*p++ != std::byte{0}) return false;
  }
  return true;
}

// a * b, or false when the product does not fit in 64 bits.
inline bool CheckedMul(uint64_t a, uint64_t b, uint64_t& out) {
  return !__builtin_mul_overflow(a, b, &out);
}
inline bool CheckedAdd(uint64_t a, uint64_t b, uint64_t& out) {
  return !__builtin_add_overflow(a, b, &out);
}

}  // namespace torvane
