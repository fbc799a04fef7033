#include "session/quicklz.h"

#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "store/file_entry.h"
#include "test_util.h"

namespace torvane::session {
namespace {

using Bytes = std::vector<std::byte>;

Bytes AsBytes(const std::vector<uint8_t>& v) {
  Bytes b(v.size());
  if (!v.empty()) std::memcpy(b.data(), v.data(), v.size());
  return b;
}

Bytes Compress(const Bytes& in) {
  Bytes out(QlzCompressBound(in.size()));
  const size_t n = QlzCompress(in, out);
  out.resize(n);
  return out;
}

bool Decompress(const Bytes& packet, Bytes& out, std::string& error) {
  QlzHeader h;
  if (!QlzReadHeader(packet, h, error)) return false;
  out.assign(h.decodedSize, std::byte{0xAA});
  return QlzDecompress(packet, out, error);
}

TEST(QuickLzTest, ReferencePacketsDecodeAndAreReproducedExactly) {
  const char* names[] = {"one-byte",  "text-215",   "text-216",      "random-100",
                         "text-5000", "random-64k", "entries-15000", "mixed-300k"};
  for (const char* name : names) {
    SCOPED_TRACE(name);
    const Bytes input = AsBytes(test::ReadFile(test::DataPath(std::string("quicklz/") + name + ".in")));
    const Bytes packet = AsBytes(test::ReadFile(test::DataPath(std::string("quicklz/") + name + ".qlz")));
    ASSERT_FALSE(input.empty());
    Bytes decoded;
    std::string error;
    ASSERT_TRUE(Decompress(packet, decoded, error)) << error;
    EXPECT_TRUE(decoded == input);
    EXPECT_TRUE(Compress(input) == packet);
  }
}

Bytes Sample(const std::string& kind, size_t size) {
  Bytes b(size);
  std::mt19937 rng(static_cast<uint32_t>(size));
  if (kind == "random") {
    for (auto& x : b) x = static_cast<std::byte>(rng());
  } else if (kind == "text") {
    const std::string words[] = {"volume ", "record ", "cluster ", "Torvane ", "sector ", "\r\n", "name "};
    for (size_t i = 0; i < size;) {
      for (char c : words[rng() % 7])
        if (i < size) b[i++] = static_cast<std::byte>(c);
    }
  } else if (kind == "entries") {
    for (size_t i = 0; i < size; ++i) {
      FileEntry e;
      const uint64_t index = i / kFileEntrySize;
      e.name = static_cast<uint32_t>(2 + index * 5);
      e.size = rng() % 100000;
      e.recordNumber = index;
      e.recordSector = 4096 + index * 2;
      e.state = 200;
      e.SetParentRecord(5);
      const auto* raw = reinterpret_cast<const std::byte*>(&e);
      const size_t take = std::min(kFileEntrySize, size - i);
      std::memcpy(b.data() + i, raw, take);
      i += take - 1;
    }
  }  // "zero": all zeros
  return b;
}

TEST(QuickLzTest, RoundTripsAtTheFramingEdges) {
  const size_t sizes[] = {0, 1, 215, 216, 5 * 1024 * 1024, 10 * 1024 * 1024 + 1};
  for (const char* kind : {"random", "zero", "text", "entries"}) {
    for (size_t size : sizes) {
      SCOPED_TRACE(std::string(kind) + " " + std::to_string(size));
      const Bytes input = Sample(kind, size);
      const Bytes packet = Compress(input);
      ASSERT_FALSE(packet.empty());
      QlzHeader h;
      std::string error;
      ASSERT_TRUE(QlzReadHeader(packet, h, error)) << error;
      EXPECT_EQ(h.headerSize, size < 216 ? 3u : 9u);
      EXPECT_EQ(h.packetSize, packet.size());
      EXPECT_EQ(std::to_integer<uint8_t>(packet[0]) & 0xFC, 0x44);
      if (std::string(kind) == "random" && size > 215) {
        EXPECT_FALSE(h.compressed);
      }
      if (std::string(kind) == "zero" && size > 1000) {
        EXPECT_LT(packet.size(), size / 50);
      }
      Bytes decoded;
      ASSERT_TRUE(Decompress(packet, decoded, error)) << error;
      EXPECT_TRUE(decoded == input);
    }
  }
}

TEST(QuickLzTest, DamagedPacketsAreRefusedWithoutWritingPastTheOutput) {
  const Bytes text = AsBytes(test::ReadFile(test::DataPath("quicklz/text-5000.qlz")));
  ASSERT_FALSE(text.empty());
  std::string error;
  Bytes out;
  // Cut short: the header's packet length runs past the bytes.
  for (size_t cut : {size_t{0}, size_t{2}, size_t{8}, size_t{100}, text.size() - 1}) {
    const Bytes shorter(text.begin(), text.begin() + static_cast<std::ptrdiff_t>(cut));
    EXPECT_FALSE(Decompress(shorter, out, error));
  }
  // The decoded length must be the one asked for.
  Bytes wrong(4999);
  EXPECT_FALSE(QlzDecompress(text, wrong, error));
  EXPECT_NE(error.find("expected 4999"), std::string::npos) << error;
  // Another level, or a streaming buffer, is not ours.
  Bytes other = text;
  other[0] = std::byte{0x4B};  // level 2
  EXPECT_FALSE(Decompress(other, out, error));
  // A packet that claims a longer content than its symbols give: a match beyond the output
  // or symbols running past the packet are caught, every byte flip decodes or fails cleanly.
  Bytes longer = text;
  longer[5] = std::byte{0xFF};
  longer[6] = std::byte{0xFF};
  EXPECT_FALSE(Decompress(longer, out, error));
  for (size_t i = 9; i < text.size(); i += 7) {
    Bytes flipped = text;
    flipped[i] ^= std::byte{0x5A};
    Decompress(flipped, out, error);  // under the sanitizers: no access outside the buffers
  }
  // A first match whose hash slot holds nothing decoded.
  const Bytes bad = {std::byte{0x45}, std::byte{20},   std::byte{16},   std::byte{0x01}, std::byte{0},
                     std::byte{0},    std::byte{0x80}, std::byte{0x21}, std::byte{0x00}};
  Bytes pad = bad;
  pad.resize(20);
  EXPECT_FALSE(Decompress(pad, out, error));
  EXPECT_NE(error.find("nothing decoded"), std::string::npos) << error;
}

}  // namespace
}  // namespace torvane::session
