#include "fs/ntfs/lznt1.h"

#include <algorithm>
#include <cstdint>

#include "util/bytes.h"

namespace torvane::ntfs {
namespace {

constexpr uint16_t kCompressedFlag = 0x8000;
constexpr uint16_t kSizeMask = 0x0FFF;
constexpr size_t kMaxChunksPerUnit = 16;
// A chunk that yields less than this ends its unit.
constexpr size_t kMinChunkYield = 4;

// Bits moved from the length field to the offset field of a back-reference token at
// output position `p`: the offset grows by one bit each time p - 1 doubles past 16, so
// that it can always reach back to the chunk's first byte.
unsigned OffsetExtraBits(size_t p) {
  unsigned k = 0;
  if (p == 0) return 0;
  for (size_t v = p - 1; v >= 16; v >>= 1) ++k;
  return k;
}

}  // namespace

size_t DecompressLznt1Chunk(std::span<const std::byte> chunk, std::span<std::byte> out) {
  if (chunk.size() < 2) return 0;
  const uint16_t header = LeU16(chunk, 0);
  const size_t length = std::min<size_t>(static_cast<size_t>(header & kSizeMask) + 3, chunk.size());
  const size_t limit = std::min(out.size(), kLznt1ChunkBytes);

  if ((header & kCompressedFlag) == 0) {
    const size_t stored = length - 2;
    std::copy_n(chunk.begin() + 2, std::min(stored, limit), out.begin());
    return stored;
  }

  size_t in = 2;
  size_t p = 0;  // bytes the chunk has yielded so far
  while (in < length) {
    const uint8_t flags = LeU8(chunk, in++);
    for (unsigned bit = 0; bit < 8 && in < length; ++bit) {
      if ((flags & (1u << bit)) == 0) {
        if (p < limit) out[p] = chunk[in];
        ++in;
        ++p;
      } else {
        if (length - in < 2) return p;  // a token cut in half by the chunk's end
        const uint16_t token = LeU16(chunk, in);
        in += 2;
        const unsigned k = OffsetExtraBits(p);
        const size_t count = static_cast<size_t>(token & (kSizeMask >> k)) + 3;
        const size_t offset = static_cast<size_t>(token >> (12 - k)) + 1;
        for (size_t i = 0; i < count; ++i, ++p) {
          if (p >= limit) continue;
          out[p] = offset <= p ? out[p - offset] : std::byte{0};
        }
      }
      // A damaged chunk: what it would yield past a chunk's size is never needed.
      if (p > kLznt1ChunkBytes) return p;
    }
  }
  return p;
}

Lznt1Result DecompressLznt1Unit(std::span<const std::byte> unit, std::span<std::byte> out) {
  Lznt1Result result;
  size_t in = 0;
  for (size_t n = 0; n < kMaxChunksPerUnit && unit.size() - in >= 2; ++n) {
    const uint16_t header = LeU16(unit, in);
    if (header == 0) break;
    const size_t length = std::min<size_t>(static_cast<size_t>(header & kSizeMask) + 3, unit.size() - in);
    const size_t yield = DecompressLznt1Chunk(unit.subspan(in, length), out.subspan(result.produced));
    if (yield > kLznt1ChunkBytes) {
      result.ok = false;
      break;
    }
    result.produced += std::min(yield, out.size() - result.produced);
    if (yield < kMinChunkYield) break;
    in += length;
  }
  return result;
}

}  // namespace torvane::ntfs
