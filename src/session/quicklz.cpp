#include "session/quicklz.h"

#include <array>
#include <cstring>
#include <vector>

namespace torvane::session {
namespace {

constexpr uint32_t kHashValues = 4096;
constexpr size_t kControlWordSize = 4;
// A match needs this many bytes after its start before the literal tail...
constexpr size_t kUnconditionalMatchLength = 6;
// ...and the last four bytes are always literals.
constexpr size_t kUncompressedEnd = 4;
// Matches closer than this are taken only inside runs of one byte value.
constexpr size_t kMinOffset = 2;
constexpr uint8_t kFlagCompressed = 0x01;
constexpr uint8_t kFlagLargeHeader = 0x02;
constexpr uint8_t kFlagLevelMask = 0x0C;
constexpr uint8_t kFlagLevel1 = 0x04;
constexpr uint8_t kFlagStreamingMask = 0x30;
constexpr uint8_t kFlagAlways = 0x40;

inline uint32_t Load24(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) | (static_cast<uint32_t>(p[2]) << 16);
}
inline uint32_t Hash(uint32_t fetch) {
  return ((fetch >> 12) ^ fetch) & (kHashValues - 1);
}
inline void Store32(uint8_t* p, uint32_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
  p[2] = static_cast<uint8_t>(v >> 16);
  p[3] = static_cast<uint8_t>(v >> 24);
}
inline uint32_t Load32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) | (static_cast<uint32_t>(p[2]) << 16) |
         (static_cast<uint32_t>(p[3]) << 24);
}
// True when p[1..n] all equal p[0].
inline bool Same(const uint8_t* p, size_t n) {
  for (size_t i = 1; i <= n; ++i)
    if (p[i] != p[0]) return false;
  return true;
}

struct HashSlot {
  uint32_t offset;  // position of the last 3 bytes with this hash; 0 = none (as the 64-bit reference)
  uint32_t cache;   // those 3 bytes
};

// The control words and symbols of a compressed packet, written after the header. Answers
// their length (at least 9), or 0 when the input does not compress well enough and is to be
// stored. `out` has room for n + 400 bytes.
size_t CompressCore(const uint8_t* in, size_t n, uint8_t* out, size_t room) {
  std::vector<HashSlot> table(kHashValues, HashSlot{0, 0});
  const size_t lastByte = n - 1;
  // Position of the last byte at which a match may start (none when the input is too short).
  const bool anyMatch = n > kUnconditionalMatchLength + kUncompressedEnd;
  const size_t lastMatchStart = anyMatch ? lastByte - kUnconditionalMatchLength - kUncompressedEnd : 0;
  size_t src = 0;
  size_t cwordAt = 0;
  size_t dst = kControlWordSize;
  uint32_t cword = 1u << 31;
  unsigned lits = 0;

  while (anyMatch && src <= lastMatchStart) {
    if ((cword & 1) == 1) {
      // Give up when past half of the input the output is not at least 1/32 smaller.
      if (src > (n >> 1) && dst > src - (src >> 5)) return 0;
      if (dst + 64 > room) return 0;  // cannot happen after the check above; keeps writes bounded
      Store32(out + cwordAt, (cword >> 1) | (1u << 31));
      cwordAt = dst;
      dst += kControlWordSize;
      cword = 1u << 31;
    }
    const uint32_t fetch = Load24(in + src);
    const uint32_t hash = Hash(fetch);
    HashSlot& slot = table[hash];
    const bool sameBytes = slot.cache == fetch;
    slot.cache = fetch;
    const size_t o = slot.offset;
    slot.offset = static_cast<uint32_t>(src);
    if (sameBytes && o != 0 &&
        (src - o > kMinOffset || (src == o + 1 && lits >= 3 && src > 3 && Same(in + src - 3, 6)))) {
      const uint32_t code = hash << 4;
      cword = (cword >> 1) | (1u << 31);
      if (in[o + 3] != in[src + 3]) {
        out[dst] = static_cast<uint8_t>(1 | code);
        out[dst + 1] = static_cast<uint8_t>(code >> 8);
        src += 3;
        dst += 2;
      } else {
        const size_t start = src;
        src += 4;
        if (in[o + (src - start)] == in[src]) {
          ++src;
          if (in[o + (src - start)] == in[src]) {
            const size_t q = lastByte - kUncompressedEnd - (src - 5) + 1;
            const size_t remaining = q > 255 ? 255 : q;
            ++src;
            while (in[o + (src - start)] == in[src] && src - start < remaining) ++src;
          }
        }
        const size_t matchLength = src - start;
        if (matchLength < 18) {
          const uint32_t v = static_cast<uint32_t>(matchLength - 2) | code;
          out[dst] = static_cast<uint8_t>(v);
          out[dst + 1] = static_cast<uint8_t>(v >> 8);
          dst += 2;
        } else {
          out[dst] = static_cast<uint8_t>(code);
          out[dst + 1] = static_cast<uint8_t>(code >> 8);
          out[dst + 2] = static_cast<uint8_t>(matchLength);
          dst += 3;
        }
      }
      lits = 0;
    } else {
      ++lits;
      out[dst++] = in[src++];
      cword >>= 1;
    }
  }
  while (src <= lastByte) {
    if ((cword & 1) == 1) {
      Store32(out + cwordAt, (cword >> 1) | (1u << 31));
      cwordAt = dst;
      dst += kControlWordSize;
      cword = 1u << 31;
    }
    out[dst++] = in[src++];
    cword >>= 1;
  }
  while ((cword & 1) != 1) cword >>= 1;
  Store32(out + cwordAt, (cword >> 1) | (1u << 31));
  return dst < 9 ? 9 : dst;
}

}  // namespace

size_t QlzCompress(std::span<const std::byte> input, std::span<std::byte> output) {
  const size_t n = input.size();
  if (n > kQlzMaxInput || output.size() < QlzCompressBound(n)) return 0;
  const auto* in = reinterpret_cast<const uint8_t*>(input.data());
  auto* out = reinterpret_cast<uint8_t*>(output.data());
  const size_t base = n < kQlzSmallInputLimit ? kQlzSmallHeader : kQlzLargeHeader;
  std::memset(out, 0, base + 9);  // a short packet is padded to 9 bytes of body with zeros
  size_t body = n == 0 ? 0 : CompressCore(in, n, out + base, output.size() - base);
  bool compressed = body != 0;
  if (!compressed) {
    if (n != 0) std::memcpy(out + base, in, n);
    body = n;
  }
  const size_t packet = base + body;
  if (base == kQlzSmallHeader) {
    out[0] = compressed ? kFlagCompressed : 0;
    out[1] = static_cast<uint8_t>(packet);
    out[2] = static_cast<uint8_t>(n);
  } else {
    out[0] = static_cast<uint8_t>(kFlagLargeHeader | (compressed ? kFlagCompressed : 0));
    Store32(out + 1, static_cast<uint32_t>(packet));
    Store32(out + 5, static_cast<uint32_t>(n));
  }
  out[0] |= kFlagLevel1 | kFlagAlways;
  return packet;
}

bool QlzReadHeader(std::span<const std::byte> input, QlzHeader& header, std::string& error) {
  const auto* in = reinterpret_cast<const uint8_t*>(input.data());
  if (input.size() < kQlzSmallHeader) {
    error = "compressed packet cut short";
    return false;
  }
  const uint8_t flag = in[0];
  if ((flag & kFlagLevelMask) != kFlagLevel1 || (flag & kFlagStreamingMask) != 0 || (flag & kFlagAlways) == 0) {
    error = "not a level-1 compressed packet";
    return false;
  }
  header.compressed = (flag & kFlagCompressed) != 0;
  if ((flag & kFlagLargeHeader) != 0) {
    if (input.size() < kQlzLargeHeader) {
      error = "compressed packet cut short";
      return false;
    }
    header.headerSize = kQlzLargeHeader;
    header.packetSize = Load32(in + 1);
    header.decodedSize = Load32(in + 5);
  } else {
    header.headerSize = kQlzSmallHeader;
    header.packetSize = in[1];
    header.decodedSize = in[2];
  }
  if (header.packetSize < header.headerSize || header.packetSize > input.size()) {
    error = "compressed packet length " + std::to_string(header.packetSize) + " does not fit its " +
            std::to_string(input.size()) + " bytes";
    return false;
  }
  if (!header.compressed && header.packetSize - header.headerSize != header.decodedSize) {
    error = "stored packet length does not match its content";
    return false;
  }
  return true;
}

bool QlzDecompress(std::span<const std::byte> input, std::span<std::byte> output, std::string& error) {
  QlzHeader h;
  if (!QlzReadHeader(input, h, error)) return false;
  if (h.decodedSize != output.size()) {
    error = "compressed packet decodes to " + std::to_string(h.decodedSize) + " bytes, expected " +
            std::to_string(output.size());
    return false;
  }
  const auto* src = reinterpret_cast<const uint8_t*>(input.data()) + h.headerSize;
  const size_t srcSize = h.packetSize - h.headerSize;
  auto* dst = reinterpret_cast<uint8_t*>(output.data());
  const size_t n = output.size();
  if (!h.compressed) {
    if (n != 0) std::memcpy(dst, src, n);
    return true;
  }
  const auto damaged = [&error](const char* what) {
    error = std::string("damaged compressed packet: ") + what;
    return false;
  };
  if (n == 0) return damaged("no content");

  // The hash table as the compressor kept it: every decoded position except those inside a
  // match, hashed by its first three bytes. kNone marks a slot no position has reached.
  constexpr uint32_t kNone = 0xFFFFFFFF;
  std::array<uint32_t, kHashValues> table;
  table.fill(kNone);
  size_t hashed = 0;                        // positions below this are in the table (or inside a match)
  const auto hashUpTo = [&](size_t last) {  // adds positions hashed..last
    for (; hashed <= last; ++hashed) table[Hash(Load24(dst + hashed))] = static_cast<uint32_t>(hashed);
  };
  static constexpr uint8_t kLiteralRun[16] = {4, 0, 1, 0, 2, 0, 1, 0, 3, 0, 1, 0, 2, 0, 1, 0};
  // Literals run to the end once decoding reaches this position.
  const size_t tailStart =
      n > kUnconditionalMatchLength + kUncompressedEnd + 1 ? n - 1 - kUnconditionalMatchLength - kUncompressedEnd : 0;
  size_t s = 0, d = 0;
  uint32_t cword = 1;
  for (;;) {
    if (cword == 1) {
      if (srcSize - s < kControlWordSize) return damaged("control word runs past the packet");
      cword = Load32(src + s);
      s += kControlWordSize;
    }
    if ((cword & 1) == 1) {
      cword >>= 1;
      if (srcSize - s < 2) return damaged("match runs past the packet");
      const uint32_t code = static_cast<uint32_t>(src[s]) | (static_cast<uint32_t>(src[s + 1]) << 8);
      const uint32_t hash = (code >> 4) & 0xFFF;
      size_t length = code & 0xF;
      if (length != 0) {
        length += 2;
        s += 2;
      } else {
        if (srcSize - s < 3) return damaged("match runs past the packet");
        length = src[s + 2];
        s += 3;
      }
      const uint32_t from = table[hash];
      if (from == kNone || from >= d) return damaged("match refers to nothing decoded");
      if (length < 3 || length > n - d) return damaged("match runs past the decoded length");
      if (from + length <= d) {
        std::memcpy(dst + d, dst + from, length);
      } else {
        for (size_t i = 0; i < length; ++i) dst[d + i] = dst[from + i];  // overlapping: byte by byte, forward
      }
      hashUpTo(d);
      d += length;
      hashed = d;
      if (d == n) return true;
    } else if (d < tailStart) {
      const size_t count = kLiteralRun[cword & 0xF];
      if (srcSize - s < 4) {
        if (srcSize - s < count) return damaged("literals run past the packet");
        std::memcpy(dst + d, src + s, count);
      } else {
        std::memcpy(dst + d, src + s, 4);  // d < n - 11: room for 4 whatever the count
      }
      cword >>= count;
      d += count;
      s += count;
      if (d >= 3) hashUpTo(d - 3);
    } else {
      while (d < n) {
        if (cword == 1) {
          if (srcSize - s < kControlWordSize) return damaged("control word runs past the packet");
          s += kControlWordSize;
          cword = 1u << 31;
        }
        if (s >= srcSize) return damaged("literals run past the packet");
        dst[d++] = src[s++];
        cword >>= 1;
      }
      return true;
    }
  }
}

}  // namespace torvane::session
