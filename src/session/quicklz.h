// QuickLZ 1.5 packets at compression level 1 without a streaming buffer: the packet codec of
// the session files.
//
// A packet starts with a flag byte (bit 0: compressed, else stored; bit 1: 9-byte header, else
// 3-byte; bits 2-3: the level, 1; bit 6 always set — 0x44 with the two low bits clear). The
// 9-byte header holds the packet length (header included) and the decoded length as u32; the
// 3-byte header holds them as one byte each and is used for inputs under 216 bytes.
//
// The compressor follows the published level-1 hashing, so it writes the same bytes as the
// published implementation (built for a 64-bit target). The decompressor trusts nothing: every
// read is checked against the packet, every write against the output, and a match may only
// refer to bytes already decoded.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

namespace torvane::session {

inline constexpr size_t kQlzSmallHeader = 3;
inline constexpr size_t kQlzLargeHeader = 9;
// Inputs below this use the 3-byte header.
inline constexpr size_t kQlzSmallInputLimit = 216;
// Largest input one packet takes.
inline constexpr uint64_t kQlzMaxInput = 0xFFFFFFFFull - 400;

// Room a packet of `inputSize` bytes may need (a stored packet and its header, with the
// margin the format keeps).
constexpr size_t QlzCompressBound(size_t inputSize) {
  return inputSize + 400;
}

// Compresses `in` into one packet at the start of `out`; answers the packet's length, or 0
// when `in` is larger than kQlzMaxInput or `out` is shorter than QlzCompressBound(in.size()).
// An empty input gives a 3-byte stored packet of nothing.
size_t QlzCompress(std::span<const std::byte> in, std::span<std::byte> out);

struct QlzHeader {
  bool compressed = false;
  size_t headerSize = 0;
  uint64_t packetSize = 0;   // header included
  uint64_t decodedSize = 0;  // bytes the packet decodes to
};

// Reads a packet header from the first bytes of `in` (which may run on past the packet). False
// with a reason when the bytes are too short, not a level-1 packet, or the packet length is
// smaller than its header or larger than `in`.
bool QlzReadHeader(std::span<const std::byte> in, QlzHeader& header, std::string& error);

// Decodes the packet at the start of `in` into `out`, whose size must equal the packet's
// decoded length. False with a reason for a damaged packet; `out` may then hold anything.
bool QlzDecompress(std::span<const std::byte> in, std::span<std::byte> out, std::string& error);

}  // namespace torvane::session
