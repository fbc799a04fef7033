// LZNT1 on hand-built chunks: the worked example of [MS-XCA], the offset/length split, bad
// back-references, cut input and oversized chunks. The compressed files ntfs-3g wrote are
// recovered byte-identical by the recovery tests.
#include "fs/ntfs/lznt1.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "test_util.h"
#include "util/bytes.h"

namespace torvane::ntfs {
namespace {

using Bytes = std::vector<std::byte>;

Bytes Of(std::initializer_list<int> values) {
  Bytes out;
  for (int v : values) out.push_back(static_cast<std::byte>(v));
  return out;
}

void Append16(Bytes& b, uint16_t v) {
  b.push_back(static_cast<std::byte>(v & 0xFF));
  b.push_back(static_cast<std::byte>(v >> 8));
}

// A chunk around `body`: the header's size field covers the header and body, minus 3.
Bytes Chunk(const Bytes& body, bool compressed) {
  Bytes c;
  Append16(c, static_cast<uint16_t>((compressed ? 0x8000 : 0) | 0x3000 | (body.size() + 2 - 3)));
  c.insert(c.end(), body.begin(), body.end());
  return c;
}

// Builds the body of a compressed chunk token by token, flag bytes in between.
class BodyBuilder {
 public:
  void Literal(uint8_t v) {
    Slot(false);
    body_.push_back(static_cast<std::byte>(v));
  }
  void Reference(uint16_t token) {
    Slot(true);
    Append16(body_, token);
  }
  const Bytes& body() const { return body_; }

 private:
  void Slot(bool reference) {
    if (n_ % 8 == 0) {
      flagAt_ = body_.size();
      body_.push_back(std::byte{0});
    }
    if (reference) body_[flagAt_] |= static_cast<std::byte>(1u << (n_ % 8));
    ++n_;
  }
  Bytes body_;
  size_t n_ = 0;
  size_t flagAt_ = 0;
};

// ---------------------------------------------------------------------------------------
// Hand-built chunks.

// The worked example of [MS-XCA] section 3.3: 59 bytes that decode to 142, with
// back-references that overlap the bytes they produce.
TEST(Lznt1ChunkTest, DecodesTheWorkedExampleOfMsXca) {
  const Bytes chunk = Of({0x38, 0xb0, 0x88, 0x46, 0x23, 0x20, 0x00, 0x20, 0x47, 0x20, 0x41, 0x00, 0x10, 0xa2, 0x47,
                          0x01, 0xa0, 0x45, 0x20, 0x44, 0x00, 0x08, 0x45, 0x01, 0x50, 0x79, 0x00, 0xc0, 0x45, 0x20,
                          0x05, 0x24, 0x13, 0x88, 0x05, 0xb4, 0x02, 0x4a, 0x44, 0xef, 0x03, 0x58, 0x02, 0x8c, 0x09,
                          0x16, 0x01, 0x48, 0x45, 0x00, 0xbe, 0x00, 0x9e, 0x00, 0x04, 0x01, 0x18, 0x90, 0x00});
  const std::string expected =
      "F# F# G A A G F# E D D E F# F# E E F# F# G A A G F# E D D E F# E D D E E F# D E F# G F# D E F# G F# E D E A F# "
      "F# G A A G F# E D D E F# E D D";
  Bytes out(4096, std::byte{0xEE});
  ASSERT_EQ(DecompressLznt1Chunk(chunk, out), 142u);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(out.data()), 141), expected);
  EXPECT_EQ(out[141], std::byte{0});
  EXPECT_EQ(out[142], std::byte{0xEE});

  // The same example as a unit: the header that follows ends it.
  Bytes unit = chunk;
  unit.resize(unit.size() + 2);
  const Lznt1Result r = DecompressLznt1Unit(unit, out);
  EXPECT_TRUE(r.ok);
  EXPECT_EQ(r.produced, 142u);
}

TEST(Lznt1ChunkTest, StoredChunksAreCopiedAndCutToTheirInput) {
  const Bytes body = test::PatternBytes(4096);
  const Bytes full = Chunk(body, false);
  EXPECT_EQ(LeU16(full, 0), 0x3FFF);
  Bytes out(4096 + 16, std::byte{0xEE});
  ASSERT_EQ(DecompressLznt1Chunk(full, out), 4096u);
  EXPECT_TRUE(std::equal(body.begin(), body.end(), out.begin()));
  EXPECT_EQ(out[4096], std::byte{0xEE});

  // The header claims 4096 bytes, the input holds 100: 98 are copied.
  const Bytes cut(full.begin(), full.begin() + 100);
  std::fill(out.begin(), out.end(), std::byte{0xEE});
  ASSERT_EQ(DecompressLznt1Chunk(cut, out), 98u);
  EXPECT_TRUE(std::equal(body.begin(), body.begin() + 98, out.begin()));
  EXPECT_EQ(out[98], std::byte{0xEE});

  // An output span shorter than the chunk receives only what fits.
  Bytes small(10, std::byte{0xEE});
  EXPECT_EQ(DecompressLznt1Chunk(full, small), 4096u);
  EXPECT_TRUE(std::equal(body.begin(), body.begin() + 10, small.begin()));
}

// The offset field has 4 bits up to 16 output bytes and grows by one bit at each doubling,
// to 12 bits from 2049 bytes on. At every boundary a reference whose offset reaches back
// exactly to the first byte must copy from there; with the split off by one bit it would
// decode another offset and length.
TEST(Lznt1ChunkTest, BackReferenceSplitFollowsTheOutputPosition) {
  struct Case {
    size_t position;
    unsigned offsetBits;
  };
  const Case cases[] = {{1, 4},    {16, 4},    {17, 5},    {32, 5},    {33, 6},    {64, 6},
                        {65, 7},   {128, 7},   {129, 8},   {256, 8},   {257, 9},   {512, 9},
                        {513, 10}, {1024, 10}, {1025, 11}, {2048, 11}, {2049, 12}, {3600, 12}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.position);
    const size_t length = 5;
    BodyBuilder b;
    for (std::byte literal : test::PatternBytes(c.position)) b.Literal(std::to_integer<uint8_t>(literal));
    // Offset = position (field value position - 1), length 5 (field value 2).
    b.Reference(static_cast<uint16_t>(((c.position - 1) << (16 - c.offsetBits)) | (length - 3)));
    const Bytes chunk = Chunk(b.body(), true);
    Bytes out(4096, std::byte{0xEE});
    ASSERT_EQ(DecompressLznt1Chunk(chunk, out), c.position + length);
    for (size_t i = 0; i < length; ++i) EXPECT_EQ(out[c.position + i], out[i]) << i;
  }
}

// A reference reaching before the chunk's first output byte never reads outside the
// output: the bytes it would take from there come out as zeros, the rest as copies.
TEST(Lznt1ChunkTest, ReferencesBeforeTheStartYieldZeros) {
  Bytes out(64, std::byte{0xEE});
  BodyBuilder first;
  first.Reference(0x0002);  // at position 0: offset 1, length 5
  ASSERT_EQ(DecompressLznt1Chunk(Chunk(first.body(), true), out), 5u);
  EXPECT_TRUE(std::all_of(out.begin(), out.begin() + 5, [](std::byte v) { return v == std::byte{0}; }));
  EXPECT_EQ(out[5], std::byte{0xEE});

  BodyBuilder b;
  b.Literal(0x41);
  b.Literal(0x42);
  b.Literal(0x43);
  b.Reference(0x4003);  // at 3: offset 5, length 6, so from position -2 on
  std::fill(out.begin(), out.end(), std::byte{0xEE});
  ASSERT_EQ(DecompressLznt1Chunk(Chunk(b.body(), true), out), 9u);
  const Bytes expected = Of({0x41, 0x42, 0x43, 0, 0, 0x41, 0x42, 0x43, 0});
  EXPECT_TRUE(std::equal(expected.begin(), expected.end(), out.begin()));
  EXPECT_EQ(out[9], std::byte{0xEE});
}

TEST(Lznt1ChunkTest, CutInputEndsTheChunkWithoutReadingPastIt) {
  BodyBuilder b;
  for (int i = 0; i < 5; ++i) b.Literal(static_cast<uint8_t>('a' + i));
  b.Reference(0x3001);  // offset 4, length 4
  Bytes chunk = Chunk(b.body(), true);
  Bytes out(64, std::byte{0xEE});
  ASSERT_EQ(DecompressLznt1Chunk(chunk, out), 9u);

  // The reference's second byte missing: the literals stand, the reference is dropped.
  chunk.pop_back();
  std::fill(out.begin(), out.end(), std::byte{0xEE});
  EXPECT_EQ(DecompressLznt1Chunk(chunk, out), 5u);
  EXPECT_EQ(out[5], std::byte{0xEE});

  // A header that promises more than the span holds: only the span is decoded.
  Bytes promised = chunk;
  promised[0] = std::byte{0xFF};
  promised[1] = std::byte{0xBF};
  EXPECT_EQ(DecompressLznt1Chunk(promised, out), 5u);

  // Nothing but a header, or not even that.
  EXPECT_EQ(DecompressLznt1Chunk(Of({0x00, 0xB0}), out), 0u);
  EXPECT_EQ(DecompressLznt1Chunk(Of({0x01}), out), 0u);
  EXPECT_EQ(DecompressLznt1Chunk({}, out), 0u);
}

// Tokens describing more than 4096 bytes: the chunk is damaged. Nothing is written past the
// chunk's 4096 bytes, and the unit reports the failure.
Bytes OversizedChunk() {
  BodyBuilder b;
  b.Literal(0x5A);
  // At position 1..16 the length field has 12 bits: one reference of 4098 bytes.
  b.Reference(0x0FFF);
  b.Literal(0x5B);
  return Chunk(b.body(), true);
}

TEST(Lznt1ChunkTest, ChunksYieldingMoreThan4096AreFlaggedAndCut) {
  Bytes out(8192, std::byte{0xEE});
  EXPECT_GT(DecompressLznt1Chunk(OversizedChunk(), out), 4096u);
  EXPECT_EQ(out[4095], std::byte{0x5A});
  EXPECT_EQ(out[4096], std::byte{0xEE});
}

// ---------------------------------------------------------------------------------------
// Units.

TEST(Lznt1UnitTest, ChunksFollowOneAnotherUntilAZeroHeader) {
  const Bytes a = test::PatternBytes(4096), b = test::PatternBytes(300, 7);
  Bytes unit = Chunk(a, false);
  const Bytes second = Chunk(b, false);
  unit.insert(unit.end(), second.begin(), second.end());
  unit.insert(unit.end(), {std::byte{0}, std::byte{0}});
  const Bytes ignored = Chunk(b, false);
  unit.insert(unit.end(), ignored.begin(), ignored.end());

  Bytes out(65536, std::byte{0xEE});
  const Lznt1Result r = DecompressLznt1Unit(unit, out);
  EXPECT_TRUE(r.ok);
  ASSERT_EQ(r.produced, 4396u);
  EXPECT_TRUE(std::equal(a.begin(), a.end(), out.begin()));
  EXPECT_TRUE(std::equal(b.begin(), b.end(), out.begin() + 4096));
  EXPECT_EQ(out[4396], std::byte{0xEE});  // left for the caller to fill
}

TEST(Lznt1UnitTest, AtMostSixteenChunksAndNoMoreThanTheOutputHolds) {
  Bytes body(4096, std::byte{0x11});
  Bytes unit;
  for (int i = 0; i < 17; ++i) {
    const Bytes c = Chunk(body, false);
    unit.insert(unit.end(), c.begin(), c.end());
  }
  Bytes out(17 * 4096, std::byte{0xEE});
  Lznt1Result r = DecompressLznt1Unit(unit, out);
  EXPECT_TRUE(r.ok);
  EXPECT_EQ(r.produced, 16u * 4096);
  EXPECT_EQ(out[16 * 4096], std::byte{0xEE});

  Bytes small(5000);
  r = DecompressLznt1Unit(unit, small);
  EXPECT_EQ(r.produced, 5000u);
}

TEST(Lznt1UnitTest, ShortAndOversizedChunksEndTheUnit) {
  Bytes whole(4096, std::byte{0x22});
  const Bytes first = Chunk(whole, false);

  // A chunk of 3 bytes ends the unit; its bytes are kept, the next chunk is not read.
  Bytes unit = first;
  const Bytes tiny = Chunk(Of({1, 2, 3}), false);
  unit.insert(unit.end(), tiny.begin(), tiny.end());
  unit.insert(unit.end(), first.begin(), first.end());
  Bytes out(65536, std::byte{0xEE});
  Lznt1Result r = DecompressLznt1Unit(unit, out);
  EXPECT_TRUE(r.ok);
  EXPECT_EQ(r.produced, 4099u);
  EXPECT_EQ(out[4098], std::byte{3});
  EXPECT_EQ(out[4099], std::byte{0xEE});

  // A chunk of more than 4096 bytes fails the unit; the chunks before it count.
  unit = first;
  const Bytes bad = OversizedChunk();
  unit.insert(unit.end(), bad.begin(), bad.end());
  unit.insert(unit.end(), first.begin(), first.end());
  r = DecompressLznt1Unit(unit, out);
  EXPECT_FALSE(r.ok);
  EXPECT_EQ(r.produced, 4096u);

  // The last chunk's header claims more input than the unit holds.
  unit = first;
  unit.resize(unit.size() - 1000);
  r = DecompressLznt1Unit(unit, out);
  EXPECT_TRUE(r.ok);
  EXPECT_EQ(r.produced, 4098u - 1000 - 2);  // what the cut chunk holds after its header
}

}  // namespace
}  // namespace torvane::ntfs
