// LZNT1, the compression of NTFS compressed files (Microsoft [MS-XCA] section 2.5).
//
// A compression unit holds up to 16 chunks. Each chunk starts with a little-endian 16-bit
// header: bit 15 set means the chunk is compressed, bits 0-11 hold the chunk's size in
// bytes minus 3 (the header included), and a header of 0 ends the unit. A chunk decodes to
// at most 4096 bytes; only the last chunk of a file decodes to less.
//
// Both functions parse untrusted bytes: they never read outside the input span nor write
// outside the output span, whatever the chunk headers and tokens claim.
#pragma once

#include <cstddef>
#include <span>

namespace torvane::ntfs {

// Bytes one chunk decodes to at most.
constexpr size_t kLznt1ChunkBytes = 4096;

// Decodes one chunk, `chunk` starting at its two-byte header. The chunk's length is taken
// from its header, cut to what `chunk` holds.
//
// A stored chunk (bit 15 clear) is copied. A compressed chunk is a run of flag groups: one
// flag byte, then up to eight tokens, lowest flag bit first; a clear bit is a literal
// byte, a set bit a 16-bit back-reference whose split between offset and length widens the
// offset as the output grows. A back-reference reaching before the chunk's first output
// byte yields zeros; decoding ends with the chunk's input, or at a back-reference cut
// short by its end.
//
// Returns the chunk's yield: the bytes its tokens describe. Only the first
// min(yield, 4096, out.size()) bytes are written to `out`; a yield above 4096 marks a
// damaged chunk (the tokens past 4096 are counted, never written).
size_t DecompressLznt1Chunk(std::span<const std::byte> chunk, std::span<std::byte> out);

struct Lznt1Result {
  size_t produced = 0;  // bytes written at the start of `out`
  bool ok = true;       // false: a chunk claimed more than 4096 bytes (the file is damaged)
};

// Decodes one compression unit (the stored clusters of a unit whose tail is sparse) into
// `out`, typically 16 clusters' worth. Chunks follow one another until a header of 0, the
// end of `unit`, the 16th chunk, or a chunk that yields fewer than 4 bytes (its bytes are
// kept, nothing after it is read). A chunk that yields more than 4096 bytes stops the
// unit with ok = false; `produced` then counts the chunks before it.
//
// Bytes of `out` after `produced` are left as they were (a failed chunk may have written
// up to 4096 of them): a caller that delivers the whole unit zero-fills them first, which
// is what NTFS reads there.
Lznt1Result DecompressLznt1Unit(std::span<const std::byte> unit, std::span<std::byte> out);

}  // namespace torvane::ntfs
