#include "fs/volume_geometry.h"

#include <gtest/gtest.h>

#include <cmath>

#include "app/drive_list.h"
#include "test_util.h"
#include "util/bytes.h"
#include "util/text.h"

namespace torvane {
namespace {

VolumeGeometry Fat32WithChains(std::initializer_list<std::pair<uint32_t, uint32_t>> links) {
  VolumeGeometry g;
  g.fsKind = FsKind::kFat32;
  g.bytesPerCluster = 4096;
  g.clusterCount = 100;
  g.fatTable.assign(102 * 4, 0);
  for (auto [from, to] : links)
    StoreLeU32({reinterpret_cast<std::byte*>(g.fatTable.data()), g.fatTable.size()}, from * 4, to);
  return g;
}

TEST(ClusterServicesTest, ChainsEndLoopAndStopAtFreeEntries) {
  // 5 -> 6 -> 7 -> end; 10 -> 11 -> 12 -> 10 (a loop after 3); 20 -> 21 -> free.
  auto g = Fat32WithChains({{5, 6}, {6, 7}, {7, 0x0FFFFFFF}, {10, 11}, {11, 12}, {12, 10}, {20, 21}});
  EXPECT_EQ(g.FatChainBytes(5), 3u * 4096 + 512);
  EXPECT_EQ(g.FatChainBytes(10), 3u * 4096 + 512);
  EXPECT_EQ(g.FatChainBytes(20), 0u);
  // The top four bits of a FAT32 entry are not part of the cluster number.
  auto masked = Fat32WithChains({{5, 0xF0000006}, {6, 0xFFFFFFF8}});
  EXPECT_EQ(masked.NextFatCluster(5), 6u);
  EXPECT_EQ(masked.NextFatCluster(6), kFatChainEnd);
  // A bad-cluster mark ends the chain.
  auto bad = Fat32WithChains({{5, 0x0FFFFFF7}});
  EXPECT_EQ(bad.NextFatCluster(5), kFatChainEnd);
  // Clusters past the volume end the chain; without a FAT the next cluster follows.
  EXPECT_EQ(g.NextFatCluster(500), kFatChainEnd);
  g.fatTable.clear();
  EXPECT_EQ(g.NextFatCluster(30), 31u);
  g.fsKind = FsKind::kNtfs;
  EXPECT_EQ(g.NextFatCluster(30), kFatNoChain);
}

TEST(ClusterServicesTest, Fat12EntriesTakeOneAndAHalfBytes) {
  VolumeGeometry g;
  g.fsKind = FsKind::kFat12;
  g.clusterCount = 10;
  // Entries 2 = 0x003, 3 = 0xFFF: bytes at 3..5 hold 03 F0 FF.
  g.fatTable = {0xF8, 0xFF, 0xFF, 0x03, 0xF0, 0xFF, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
  EXPECT_EQ(g.NextFatCluster(2), 3u);
  EXPECT_EQ(g.NextFatCluster(3), kFatChainEnd);
}

TEST(ClusterServicesTest, ContiguousRuns) {
  auto g = Fat32WithChains({{5, 6}, {6, 7}, {7, 9}, {9, 0x0FFFFFFF}});
  EXPECT_EQ(g.ContiguousClusters(5, 1 << 20), 3u);
  EXPECT_EQ(g.ContiguousClusters(5, 2 * 4096), 2u);
  EXPECT_EQ(g.ContiguousClusters(0x0FFFFFF8, 1 << 20), 0u);
}

TEST(DriveListTest, RowsSortAsAStrictWeakOrdering) {
  DriveList list;
  for (double free : {3.0, std::nan(""), 0.0, 10.0, -1.0}) {
    PartitionRecord r;
    r.freeSpace = free;
    r.sectors = static_cast<uint64_t>(std::isnan(free) ? 7 : free + 100);
    list.rows.push_back(r);
  }
  PartitionRecord disk;
  disk.wholeDisk = 1;
  list.rows.push_back(disk);
  list.SortBy(RowColumn::kFreeSpace);
  // Unknown free space (NaN, 0, negative) ranks below every known value.
  EXPECT_EQ(test::Val(list.rows[3].freeSpace), 3.0);
  EXPECT_EQ(test::Val(list.rows[4].freeSpace), 10.0);
  EXPECT_EQ(test::Val(list.rows.back().wholeDisk), 1u);
  for (const auto& a : list.rows)
    for (const auto& b : list.rows) {
      const int ab = CompareRows(a, b, RowColumn::kFreeSpace, false);
      EXPECT_EQ(ab, -CompareRows(b, a, RowColumn::kFreeSpace, false));
    }
  list.SortBy(RowColumn::kFreeSpace);  // the same column again: descending
  EXPECT_EQ(test::Val(list.rows[0].freeSpace), 10.0);
  list.SortBy(RowColumn::kSize);
  EXPECT_EQ(test::Val(list.rows[0].sectors), 7u);
  EXPECT_EQ(RowFreeSpaceText(list.rows[0], "-"), "-");
  EXPECT_EQ(LocateVolumeByLetter('c'), -1);
}

}  // namespace
}  // namespace torvane
