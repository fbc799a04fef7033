// The rows of the hex view: their text, reads of exactly one sector, files beyond 4 GiB and
// 2 TiB, unreadable bytes, and the rows of files of the NTFS fixture.
#include "explorer/hex_rows.h"

#include <gtest/gtest.h>

#include "fs/volume_fixture.h"
#include "recovery/reader_sink.h"
#include "test_util.h"

namespace torvane::explorer {
namespace {

// A file whose byte at offset o is (o * 7 + o / 4099) mod 256, read in whole 4 KiB clusters
// as the readers deliver them; sectors listed in `failing` cannot be read.
struct FakeFile {
  uint64_t size;
  std::vector<uint64_t> failing;
  std::vector<std::pair<uint64_t, uint64_t>> asked;
  static uint8_t At(uint64_t o) { return static_cast<uint8_t>(o * 7 + o / 4099); }
  HexRows Rows() {
    return HexRows(size, 512, [this](uint64_t first, uint64_t last, ReaderSink& sink) {
      asked.emplace_back(first, last);
      ReadOutcome outcome;
      if (std::find(failing.begin(), failing.end(), first / 512) != failing.end()) {
        outcome.error = "read error";
        return outcome;
      }
      std::vector<std::byte> cluster(4096);
      const uint64_t start = first / 4096 * 4096;
      for (size_t i = 0; i < cluster.size(); ++i) cluster[i] = std::byte{At(start + i)};
      // More than was asked: the row reader must take only its range.
      sink.WriteChunk(std::span(cluster).subspan(first - start));
      outcome.ok = true;
      return outcome;
    });
  }
};

TEST(HexRowsTest, RowTextShortLastRowAndCharacters) {
  FakeFile f{17, {}, {}};
  HexRows rows = f.Rows();
  ASSERT_EQ(rows.RowCount(), 2u);
  HexRow last = rows.Row(1);
  EXPECT_EQ(last.count, 1u);
  EXPECT_EQ(FormatHexRow(last), "0000000010  70" + std::string(3 * 15 + 2, ' ') + " p" + std::string(15, ' '));
  HexRow chars;
  chars.count = 4;
  chars.bytes = {0x7F, 0xA0, 0x1F, 0x85};
  chars.readable.fill(true);
  EXPECT_TRUE(FormatHexRow(chars).ends_with("  \x7F\xC2\xA0.." + std::string(12, ' ')));
  EXPECT_EQ(HexHeader(), "Offset      0  1  2  3  4  5  6  7   8  9  A  B  C  D  E  F");
}

TEST(HexRowsTest, ReadsOneSectorOnceAndNeverShowsStaleBytes) {
  FakeFile f{2001, {1}, {}};
  HexRows rows = f.Rows();
  for (uint64_t r = 0; r < 32; ++r) rows.Row(r);
  EXPECT_EQ(rows.Reads(), 1u);
  ASSERT_EQ(f.asked.size(), 1u);
  EXPECT_EQ(f.asked[0], std::make_pair(uint64_t{0}, uint64_t{511}));
  HexRow good = rows.Row(31);
  EXPECT_EQ(good.bytes[15], FakeFile::At(511));
  // Sector 1 fails: its rows are "??", not the bytes of sector 0 still in the buffer.
  const HexRow bad = rows.Row(32);
  EXPECT_EQ(bad.count, 16u);
  EXPECT_EQ(std::count(bad.readable.begin(), bad.readable.end(), true), 0);
  EXPECT_NE(FormatHexRow(bad).find("?? ?? ??"), std::string::npos);
  // The last sector is short: exactly its bytes are asked for.
  const HexRow tail = rows.Row(125);
  EXPECT_EQ(tail.count, 1u);
  EXPECT_EQ(f.asked.back(), std::make_pair(uint64_t{1536}, uint64_t{2000}));
  EXPECT_EQ(tail.bytes[0], FakeFile::At(2000));
}

TEST(HexRowsTest, FilesBeyondFourGiBAndTwoTiBScrollToTheirLastRow) {
  for (uint64_t size : {(5ull << 30) + 3, (5ull << 40) + 9}) {
    FakeFile f{size, {}, {}};
    HexRows rows = f.Rows();
    const uint64_t count = (size + 15) / 16;
    ASSERT_EQ(rows.RowCount(), count);
    EXPECT_EQ(rows.ScrollScale(), (count + INT_MAX - 1) / INT_MAX);
    const int bottom = rows.ScrollPosition(count - 1);
    EXPECT_GE(bottom, 0);
    EXPECT_LT(count - 1 - rows.RowAtScrollPosition(bottom), rows.ScrollScale());
    EXPECT_EQ(rows.RowAtScrollPosition(INT_MAX), count - 1);
    const HexRow last = rows.Row(count - 1);
    EXPECT_EQ(last.offset, (count - 1) * 16);
    EXPECT_EQ(last.count, size % 16);
    EXPECT_EQ(last.bytes[0], FakeFile::At(last.offset));
  }
  EXPECT_EQ(HexScrollScale(INT_MAX), 1u);
  EXPECT_EQ(HexScrollScale(uint64_t{INT_MAX} + 1), 2u);
}

TEST(HexRowsTest, RowsOfFixtureFilesMatchTheirContent) {
  test::FixtureVolume v(test::DataPath("ntfs/ntfs.vmdk"));
  ASSERT_TRUE(v.ok()) << v.error;
  const auto tree = v.ws.fileSystem->MakeTree();
  ReaderContext ctx = v.Reader();
  int checked = 0;
  for (uint64_t i = 0; i < EntryCount(v.ws.store.deletedEntries); ++i) {
    const std::string path = test::EntryPath(*tree, i);
    if (path != "Projects/Beta/Data Sets/measurements.csv" && path != "Compressed/table.csv" &&
        path != "Sparse/disk-image.bin")
      continue;
    const FileEntry e = EntryAt(v.ws.store.deletedEntries, i);
    std::vector<std::byte> content;
    ASSERT_TRUE(recovery::ReadItemToMemory(ctx, e, 0, content)) << path;
    HexRows rows = HexRows::ForItem(ctx, e);
    const uint64_t sectors = (e.size + 511) / 512;
    for (uint64_t sector : {uint64_t{0}, sectors / 2, sectors - 1}) {
      for (uint64_t r = sector * 32; r < std::min(rows.RowCount(), sector * 32 + 32); ++r) {
        const HexRow row = rows.Row(r);
        for (uint32_t k = 0; k < row.count; ++k) {
          ASSERT_TRUE(row.readable[k]);
          ASSERT_EQ(row.bytes[k], static_cast<uint8_t>(content[row.offset + k])) << path << " at " << row.offset + k;
        }
      }
    }
    ++checked;
  }
  EXPECT_EQ(checked, 3);
}

}  // namespace
}  // namespace torvane::explorer
