// FAT file content on a hand-built volume: sector n of the disk is filled with byte n and is
// cluster n (one-sector clusters from sector 0).
#include "fs/fat/fat_content.h"

#include <gtest/gtest.h>

#include <cstring>

#include "partitions/disk_builder.h"
#include "util/bytes.h"

namespace torvane::fat {
namespace {

class RecordingSink : public ReaderSink {
 public:
  bool WriteChunk(std::span<const std::byte> data) override {
    bytes.insert(bytes.end(), data.begin(), data.end());
    return true;
  }
  std::vector<std::byte> bytes;
};

struct Volume {
  test::DiskBuilder disk{100};
  DiskSource source;
  VolumeGeometry g;
  explicit Volume(std::initializer_list<std::pair<uint32_t, uint32_t>> links) {
    for (uint64_t s = 0; s < 100; ++s) std::memset(disk.Sector(s), static_cast<int>(s), 512);
    disk.Open(source);
    g.source = &source;
    g.fsKind = FsKind::kFat32;
    g.sectorsPerCluster = 1;
    g.bytesPerCluster = 512;
    g.clusterCount = 1000;  // more clusters than the disk has sectors: some cannot be read
    g.fatTable.assign(1002 * 4, 0);
    for (auto [from, to] : links)
      StoreLeU32({reinterpret_cast<std::byte*>(g.fatTable.data()), g.fatTable.size()}, from * 4, to);
  }
  // Reads bytes [first, last] of a file of `clusters` clusters starting at `link`.
  ReadOutcome Read(uint32_t link, uint64_t clusters, uint64_t first, uint64_t last, RecordingSink& sink) {
    FileEntry item;
    item.link = link;
    item.size = clusters * 512;
    item.hasChain = 1;
    ReaderContext ctx{source, g};
    ContentWindow window(sink, first, last);
    ReadOutcome outcome;
    ReadFatItem(ctx, item, window, outcome);
    return outcome;
  }
  static std::vector<std::byte> Sectors(std::initializer_list<uint8_t> sectors) {
    std::vector<std::byte> bytes;
    for (uint8_t s : sectors) bytes.insert(bytes.end(), 512, std::byte{s});
    return bytes;
  }
};

TEST(FatContentTest, ClustersBeforeTheWindowAreFollowedNotRead) {
  // The chain starts in a cluster past the disk's end: reading it would fail.
  Volume v({{900, 3}, {3, 4}, {4, 0x0FFFFFFF}});
  RecordingSink sink;
  const ReadOutcome outcome = v.Read(900, 3, 1024, 1535, sink);
  EXPECT_FALSE(outcome.incomplete);
  EXPECT_EQ(sink.bytes, Volume::Sectors({4}));

  RecordingSink middle;  // a window inside one cluster
  v.Read(900, 3, 600, 700, middle);
  EXPECT_EQ(middle.bytes, std::vector<std::byte>(101, std::byte{3}));
}

TEST(FatContentTest, BrokenChainGoesOnFromTheBreak) {
  // 5 -> 9 -> free: the file's last two clusters follow cluster 9.
  Volume v({{5, 9}});
  RecordingSink sink;
  v.Read(5, 4, 0, ~uint64_t{0}, sink);
  EXPECT_EQ(sink.bytes, Volume::Sectors({5, 9, 10, 11}));
}

}  // namespace
}  // namespace torvane::fat
