// What every probe shares: a bounded reader over the disk at a candidate, big-endian loads,
// and the cleaning of name suffixes taken from disk text.
//
// A probe reads hostile bytes from a damaged disk. The reader makes the bounds one place's
// business: it never reads beyond a byte limit (at most what the context says the volume
// holds from the candidate's start), reads through the context's sector reader in pieces of
// at most 512 KiB into one reusable buffer, and answers a short or empty span where the data
// ends or a read fails. Probes parse the spans with the checked loads of util/bytes.h and
// the Be* loads below, which answer 0 past the span's end.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "raw/catalogue/file_type_catalogue.h"
#include "util/bytes.h"

namespace torvane::probes {

inline constexpr size_t kMaxReadPiece = 512 * 1024;  // largest single read of a probe

// Big-endian loads; 0 when the value does not lie wholly inside the span.
inline uint16_t BeU16(ByteSpan data, size_t offset) {
  return __builtin_bswap16(LeU16(data, offset));
}
inline uint32_t BeU32(ByteSpan data, size_t offset) {
  return __builtin_bswap32(LeU32(data, offset));
}
inline uint64_t BeU64(ByteSpan data, size_t offset) {
  return __builtin_bswap64(LeU64(data, offset));
}

// True when `data` holds `text` at `offset`.
bool HasText(ByteSpan data, size_t offset, std::string_view text);

// The bytes the context lets a probe see from the candidate's start: bytesAvailable, or the
// first sector when that is 0 or when there is no reader.
uint64_t AvailableBytes(const ProbeContext& ctx);

// `size` when the volume holds it; otherwise what it holds, with the size marked estimated.
uint64_t CapToAvailable(ProbeContext& ctx, uint64_t size);

// Reads the candidate's bytes at offsets counted from its first byte. Not shared between
// threads; the spans it answers stay valid until its next call.
class ProbeReader {
 public:
  // `limit`: the most bytes this probe may read from the candidate's start; it is further
  // cut to AvailableBytes(ctx).
  explicit ProbeReader(const ProbeContext& ctx, uint64_t limit = UINT64_MAX);

  // Bytes that can be read from the candidate's start (offsets below it).
  uint64_t Limit() const { return limit_; }

  // Up to `size` bytes (at most kMaxReadPiece) at `offset`: shorter where the limit cuts,
  // empty at or beyond the limit or when the disk refuses the read.
  ByteSpan Read(uint64_t offset, size_t size);

  // Exactly `out.size()` bytes (at most kMaxReadPiece) at `offset`, or false.
  bool ReadExact(uint64_t offset, MutableByteSpan out);

  // The first offset in [from, to) where `pattern` (1 to 64 bytes) starts, reading on in
  // pieces; UINT64_MAX when it is not found or the data ends first.
  uint64_t Find(std::string_view pattern, uint64_t from, uint64_t to);
  // The last occurrence in [from, to), searching backwards from `to` in pieces.
  uint64_t FindLast(std::string_view pattern, uint64_t from, uint64_t to);

  // Disk reads made so far (for tests and the benchmark).
  uint64_t ReadCalls() const { return readCalls_; }

 private:
  bool Fill(uint64_t offset, size_t size);

  const ProbeContext& ctx_;
  uint64_t limit_ = 0;
  std::unique_ptr<std::byte[]> buffer_;  // grown as reads need it, never zero-filled
  size_t capacity_ = 0;
  uint64_t bufferStart_ = 0;  // offset of buffer_[0] from the candidate's start
  size_t bufferBytes_ = 0;    // valid bytes in buffer_ (already cut to the limit)
  size_t readAhead_;          // bytes a new window reads at least
  uint64_t readCalls_ = 0;
};

// The longest name a RAW file may have, in bytes of UTF-8 (the common file-system limit).
inline constexpr size_t kMaxFileNameBytes = 255;
// Digits of the RAW number that starts every RAW file name.
inline constexpr size_t kRawNumberDigits = 9;

// Disk text (a camera model, a song title) made fit for a file name and cut to `maxBytes`
// of UTF-8: '/', '\\', control characters and the characters Windows refuses become '_',
// invalid UTF-8 bytes become '_', runs of dots become one dot, leading dots and spaces and
// trailing dots and spaces go, and the cut falls on a character boundary. Empty when nothing
// usable is left.
std::string SanitizeNameSuffix(std::string_view text, size_t maxBytes);

// Room for a suffix between the 9-digit number and `extension` within kMaxFileNameBytes.
size_t NameSuffixRoom(std::string_view extension);

// The suffix for a RAW file of `entry`: SanitizeNameSuffix(text, NameSuffixRoom(extension)).
std::string NameSuffixFor(std::string_view text, const FileTypeEntry& entry);

}  // namespace torvane::probes
