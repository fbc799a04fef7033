// The raw export stream of an encrypted file, checked field by field against the layout of
// docs/formats/efs-export.md ([MS-EFSR] 2.2.3): headers, signatures, lengths, the split of
// the data into 65,536-byte blocks and the rounding of the data to whole sectors.
#include "fs/ntfs/efs_export.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "test_util.h"
#include "util/bytes.h"

namespace torvane::ntfs {
namespace {

using Bytes = std::vector<std::byte>;

// Runs a whole export: `data` is handed over in pieces of `piece` bytes.
struct Export {
  Bytes stream;
  size_t sinkCalls = 0;
  bool begun = false, added = true, finished = false;

  Export(const Bytes& metadata, uint64_t fileSize, const Bytes& data, size_t piece, uint32_t cluster = 4096) {
    EfsExportWriter w([this](std::span<const std::byte> b) {
      ++sinkCalls;
      stream.insert(stream.end(), b.begin(), b.end());
      return true;
    });
    begun = w.Begin(metadata, fileSize, cluster);
    for (size_t at = 0; at < data.size(); at += piece)
      added = w.AddData(std::span(data).subspan(at, std::min(piece, data.size() - at))) && added;
    finished = w.Finish();
  }
};

// UTF-16LE letters at `at`.
std::string Utf16At(const Bytes& b, size_t at, size_t letters) {
  std::string s;
  for (size_t i = 0; i < letters; ++i) {
    s += static_cast<char>(LeU8(b, at + 2 * i));
    if (LeU8(b, at + 2 * i + 1) != 0) s += '?';
  }
  return s;
}

bool AllZero(const Bytes& b, size_t from, size_t to) {
  return IsAllZero(std::span(b).subspan(from, to - from));
}

// Checks the stream header at `at`; returns where its first segment starts.
size_t CheckStreamHeader(const Bytes& s, size_t at, const std::string& name, size_t nameBytes) {
  const uint32_t length = LeU32(s, at);
  EXPECT_EQ(length, 28 + nameBytes);
  EXPECT_EQ(Utf16At(s, at + 4, 4), "NTFS");
  EXPECT_EQ(LeU32(s, at + 12), 0u);  // flag: FEK-encrypted (or the metadata stream)
  EXPECT_TRUE(AllZero(s, at + 16, at + 24));
  EXPECT_EQ(LeU32(s, at + 24), nameBytes);
  if (name.empty()) {
    EXPECT_EQ(LeU16(s, at + 28), 0x1910);
  } else {
    EXPECT_EQ(Utf16At(s, at + 28, nameBytes / 2), name);
  }
  return at + length;
}

// Checks one data segment at `at` against the data it should carry; returns the next one.
size_t CheckDataSegment(const Bytes& s, size_t at, uint64_t fileOffset, size_t blockBytes, uint64_t inFile,
                        uint8_t unitShift, uint8_t clusterShift, const Bytes& data) {
  EXPECT_EQ(LeU32(s, at), 512 + blockBytes);
  EXPECT_EQ(Utf16At(s, at + 4, 4), "GURE");
  EXPECT_EQ(LeU32(s, at + 12), 0u);
  const size_t e = at + 16;
  EXPECT_EQ(LeU64(s, e), fileOffset);
  EXPECT_EQ(LeU32(s, e + 8), 496u);  // to the end of the 512-byte block header
  EXPECT_EQ(LeU32(s, e + 12), inFile);
  EXPECT_EQ(LeU32(s, e + 16), inFile);
  EXPECT_EQ(LeU16(s, e + 20), 0u);
  EXPECT_EQ(LeU8(s, e + 22), unitShift);
  EXPECT_EQ(LeU8(s, e + 23), unitShift);
  EXPECT_EQ(LeU8(s, e + 24), clusterShift);
  EXPECT_EQ(LeU8(s, e + 25), 1u);
  EXPECT_EQ(LeU16(s, e + 26), 1u);  // one data block
  EXPECT_EQ(LeU32(s, e + 28), blockBytes);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(s.data() + e + 32), 4), "EXTD");
  EXPECT_EQ(LeU32(s, e + 36), 16u);
  EXPECT_EQ(LeU32(s, e + 40), 0u);  // not a sparse file
  EXPECT_TRUE(AllZero(s, e + 44, at + 512));
  EXPECT_TRUE(std::equal(data.begin() + static_cast<std::ptrdiff_t>(fileOffset),
                         data.begin() + static_cast<std::ptrdiff_t>(fileOffset + blockBytes), s.begin() + at + 512));
  return at + 512 + blockBytes;
}

TEST(EfsExportTest, LaysOutHeadersMetadataAndBlocks) {
  const Bytes metadata = test::PatternBytes(300, 1);
  // 70,000 bytes: 137 sectors (70,144 bytes) of ciphertext in 18 clusters.
  const Bytes clusters = test::PatternBytes(18 * 4096, 2);
  const Export x(metadata, 70000, clusters, 1000);
  ASSERT_TRUE(x.begun && x.added && x.finished);
  const Bytes& s = x.stream;

  // File header.
  EXPECT_EQ(LeU32(s, 0), 0x100u);
  EXPECT_EQ(Utf16At(s, 4, 4), "ROBS");
  EXPECT_TRUE(AllZero(s, 12, 20));

  // Metadata stream: header named 0x1910, one segment with the $EFS value, no encryption
  // header.
  size_t at = CheckStreamHeader(s, 20, "", 2);
  ASSERT_EQ(at, 50u);
  EXPECT_EQ(LeU32(s, at), 16 + 300u);
  EXPECT_EQ(Utf16At(s, at + 4, 4), "GURE");
  EXPECT_EQ(LeU32(s, at + 12), 0u);
  EXPECT_TRUE(std::equal(metadata.begin(), metadata.end(), s.begin() + at + 16));
  at += 16 + 300;

  // Data stream: "::$DATA" without a terminator, then 65,536 + 4,608 bytes.
  at = CheckStreamHeader(s, at, "::$DATA", 14);
  at = CheckDataSegment(s, at, 0, 65536, 65536, 16, 12, clusters);
  at = CheckDataSegment(s, at, 65536, 4608, 70000 - 65536, 13, 12, clusters);
  EXPECT_EQ(at, s.size());  // the rest of the last cluster is not part of the stream
}

TEST(EfsExportTest, DataIsTheFileSizeRoundedToSectorsSplitAt65536) {
  struct Case {
    uint64_t size;
    std::vector<size_t> blocks;
  };
  const Case cases[] = {
      {1, {512}},
      {512, {512}},
      {513, {1024}},
      {65536, {65536}},
      {65537, {65536, 512}},
      {131072, {65536, 65536}},
      {200000, {65536, 65536, 65536, 3584}},
  };
  const Bytes metadata = test::PatternBytes(64, 3);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.size);
    const Bytes data = test::PatternBytes((c.size + 4095) / 4096 * 4096, 4);
    const Export x(metadata, c.size, data, 4096);
    ASSERT_TRUE(x.begun && x.added && x.finished);
    size_t at = CheckStreamHeader(x.stream, 20 + 30 + 16 + 64, "::$DATA", 14);
    uint64_t offset = 0;
    for (size_t block : c.blocks) {
      const uint64_t inFile = std::min<uint64_t>(block, c.size - offset);
      uint8_t shift = 9;
      while ((size_t{1} << shift) < block) ++shift;
      at = CheckDataSegment(x.stream, at, offset, block, inFile, shift, 12, data);
      offset += block;
    }
    EXPECT_EQ(at, x.stream.size());
  }
}

TEST(EfsExportTest, EmptyFilesShortDataAndClusterSizes) {
  const Bytes metadata = test::PatternBytes(100, 5);
  // An empty file: the data stream's header and no segment.
  Export empty(metadata, 0, {}, 1);
  ASSERT_TRUE(empty.begun && empty.finished);
  EXPECT_EQ(CheckStreamHeader(empty.stream, 20 + 30 + 16 + 100, "::$DATA", 14), empty.stream.size());

  // Data missing at the end (a runlist shorter than the file) is written as zeros; the
  // cluster size goes to the cluster shift.
  const Bytes part = test::PatternBytes(1024, 6);
  const Export x(metadata, 3000, part, 1024, 512);
  ASSERT_TRUE(x.begun && x.finished);
  Bytes padded = part;
  padded.resize(3072);
  const size_t at = CheckStreamHeader(x.stream, 20 + 30 + 16 + 100, "::$DATA", 14);
  EXPECT_EQ(CheckDataSegment(x.stream, at, 0, 3072, 3000, 12, 9, padded), x.stream.size());
}

TEST(EfsExportTest, RefusesBadMetadataAndStopsWhenTheSinkFails) {
  size_t calls = 0;
  EfsExportWriter refused([&](std::span<const std::byte>) {
    ++calls;
    return true;
  });
  EXPECT_FALSE(refused.Begin(test::PatternBytes(8193), 100));
  EXPECT_FALSE(refused.Begin({}, 100));
  EXPECT_FALSE(refused.Begin(test::PatternBytes(16), 100, 1000));  // not a cluster size
  EXPECT_EQ(calls, 0u);
  EXPECT_FALSE(refused.AddData(test::PatternBytes(512)));
  EXPECT_FALSE(refused.Finish());
  EXPECT_EQ(calls, 0u);
  EXPECT_TRUE(refused.Begin(test::PatternBytes(8192), 100));

  // The sink refuses its fourth write (the first block header): nothing more is written.
  calls = 0;
  EfsExportWriter w([&](std::span<const std::byte>) { return ++calls < 4; });
  ASSERT_TRUE(w.Begin(test::PatternBytes(40), 200000));
  EXPECT_EQ(calls, 3u);
  EXPECT_FALSE(w.AddData(test::PatternBytes(4096)));
  EXPECT_FALSE(w.AddData(test::PatternBytes(4096)));
  EXPECT_FALSE(w.Finish());
  EXPECT_EQ(calls, 4u);
}

}  // namespace
}  // namespace torvane::ntfs
