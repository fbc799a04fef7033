// The FAT reader on a FAT32 volume made by mkfs.fat, the RAW extent reader, ranges and the
// memory reads of previews.
#include "recovery/content_reader.h"

#include <gtest/gtest.h>

#include <cstring>

#include "app/workspace.h"
#include "test_util.h"
#include "util/bytes.h"

namespace torvane::recovery {
namespace {

struct FatVolume {
  Workspace ws;
  FileEntry hello;  // HELLO.TXT of the root directory
  FatVolume() {
    std::string error;
    EXPECT_TRUE(OpenDriveListRow(ws.driveList, ws.source, ws.geometry, test::DataPath("volumes/gpt.vmdk"), 0, error))
        << error;
    EXPECT_EQ(ws.geometry.fsKind, FsKind::kFat32);
    std::vector<std::byte> root(ws.geometry.sectorsPerCluster * 512);
    ws.geometry.ReadClusters(root.data(), 1, ws.geometry.rootDirectoryCluster);
    for (size_t at = 0; at + 32 <= root.size(); at += 32) {
      if (std::memcmp(root.data() + at, "HELLO   TXT", 11) != 0) continue;
      const ByteSpan e(root.data() + at, 32);
      hello.link = uint32_t{LeU16(e, 20)} << 16 | LeU16(e, 26);
      hello.size = LeU32(e, 28);
      hello.hasChain = 1;
    }
    EXPECT_NE(hello.link, 0u);
  }
  ReadOutcome Read(const FileEntry& e, MemorySink& sink) {
    ReaderContext ctx{ws.source, ws.geometry};
    return ReadItemContent(ctx, e, sink);
  }
};

TEST(ContentReaderTest, FatFilesFollowTheirChainThenGoOnContiguouslyFromABreak) {
  FatVolume v;
  MemorySink byChain;
  ASSERT_TRUE(v.Read(v.hello, byChain).ok);
  EXPECT_EQ(byChain.Bytes().size(), uint64_t{v.hello.size});
  const std::string text = "Torvane test volume GPTFAT32\n";
  ASSERT_EQ(byChain.Bytes().size(), text.size());
  EXPECT_EQ(std::memcmp(byChain.Bytes().data(), text.data(), text.size()), 0);

  FileEntry deleted = v.hello;  // a deleted file is read as contiguous clusters
  deleted.dataStart = uint64_t{1} << 32;
  MemorySink contiguous;
  ASSERT_TRUE(v.Read(deleted, contiguous).ok);
  EXPECT_EQ(contiguous.Bytes(), byChain.Bytes());

  // A chain that jumps ahead, then runs into an invalid cluster: what the chain gave is kept,
  // and the rest is read from the clusters that follow the last good one (c, c+5, then c+6;
  // not c, c+1, c+2 as a read started over as contiguous clusters would give).
  const uint32_t c = v.hello.link;
  const uint32_t clusterBytes = v.ws.geometry.sectorsPerCluster * 512;
  MutableByteSpan fat(reinterpret_cast<std::byte*>(v.ws.geometry.fatTable.data()), v.ws.geometry.fatTable.size());
  StoreLeU32(fat, uint64_t{c} * 4, c + 5);
  StoreLeU32(fat, uint64_t{c + 5} * 4, 0x0FFFFFF0);  // past the volume's clusters
  FileEntry broken = v.hello;
  broken.size = 3ull * clusterBytes;
  MemorySink continued;
  ASSERT_TRUE(v.Read(broken, continued).ok);
  std::vector<std::byte> expected(3ull * clusterBytes);
  v.ws.geometry.ReadClusters(expected.data(), 1, c);
  v.ws.geometry.ReadClusters(expected.data() + clusterBytes, 2, c + 5);
  EXPECT_EQ(continued.Bytes(), expected);
}

TEST(ContentReaderTest, RawExtentsRangesAndMemoryReads) {
  FatVolume v;
  ReaderContext ctx{v.ws.source, v.ws.geometry};
  FileEntry raw;
  raw.kind = kKindRaw;
  raw.dataStart = 0;  // the volume's boot sector
  raw.size = 1;
  MemorySink one;
  ASSERT_TRUE(ReadExtent(ctx, raw, one).ok);
  ASSERT_EQ(one.Bytes().size(), 1u);
  EXPECT_EQ(one.Bytes()[0], std::byte{0xEB});

  raw.size = 3000;
  MemorySink range;
  ASSERT_TRUE(ReadItemRange(ctx, raw, 510, 511, range).delivered == 2);
  EXPECT_EQ(range.Bytes(), (std::vector<std::byte>{std::byte{0x55}, std::byte{0xAA}}));

  std::vector<std::byte> memory;
  EXPECT_TRUE(ReadItemToMemory(ctx, raw, 100, memory));
  EXPECT_EQ(memory.size(), 100u);
  EXPECT_FALSE(ReadItemToMemory(ctx, raw, 5000, memory));  // more than the item
  raw.size = kMaxMemoryRead + 1;
  EXPECT_FALSE(ReadItemToMemory(ctx, raw, 0, memory));  // more than previews take

  // A cancelled read delivers nothing more.
  std::atomic<bool> cancel{true};
  ctx.cancel = &cancel;
  MemorySink cancelled;
  raw.size = 3000;
  const ReadOutcome r = ReadExtent(ctx, raw, cancelled);
  EXPECT_TRUE(r.stopped);
  EXPECT_TRUE(cancelled.Bytes().empty());
}

// A disk whose file ends early: the item's bytes there hold zeros, and the outcome says how
// many sectors and which bytes of the item they are.
TEST(ContentReaderTest, UnreadableBytesAreCountedAndPlacedInTheItem) {
  test::TempDir dir;
  test::WriteFile(dir / "short.bin", test::StampedSectors(10));
  test::WriteFile(dir / "d.vmdk", std::string("# Disk DescriptorFile\nversion=1\ncreateType=\"monolithicFlat\"\n"
                                              "RW 20 FLAT \"short.bin\" 0\n"));
  DiskSource source;
  VolumeGeometry geometry;
  std::string error;
  ASSERT_TRUE(source.OpenSource(dir / "d.vmdk", 0, error)) << error;
  ReaderContext ctx{source, geometry};
  FileEntry raw;
  raw.kind = kKindRaw;
  raw.dataStart = 6;
  raw.size = 8 * 512 - 100;  // sectors 6 to 13: 10 to 13 lie beyond the file
  MemorySink sink;
  const ReadOutcome r = ReadExtent(ctx, raw, sink);
  EXPECT_TRUE(r.incomplete);
  EXPECT_EQ(r.unreadableSectors, 4u);
  EXPECT_EQ(r.unreadableRanges, (std::vector<ReadOutcome::ByteRange>{{4 * 512, 4 * 512}}));
  ASSERT_EQ(sink.Bytes().size(), uint64_t{raw.size});
  EXPECT_EQ(sink.Bytes()[4 * 512 - 1], std::byte{test::StampedSectors(10)[10 * 512 - 1]});
  EXPECT_EQ(sink.Bytes()[4 * 512], std::byte{0});

  // Neighbouring failures merge; past the cap the last range grows instead of the list.
  ReadOutcome many;
  many.AddUnreadable(0, 512);
  many.AddUnreadable(512, 512);
  EXPECT_EQ(many.unreadableRanges.size(), 1u);
  for (uint64_t i = 1; i <= 2 * kMaxUnreadableRanges; ++i) many.AddUnreadable(i * 4096, 512);
  EXPECT_EQ(many.unreadableRanges.size(), kMaxUnreadableRanges);
  EXPECT_EQ(many.unreadableRanges.back().offset + many.unreadableRanges.back().length,
            2 * kMaxUnreadableRanges * 4096 + 512);
}

}  // namespace
}  // namespace torvane::recovery
