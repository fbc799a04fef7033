#include "fs/volume_geometry.h"

#include <gtest/gtest.h>

#include <cmath>

#include "app/drive_list.h"
#include "fs/open_volume.h"
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

TEST(ClusterServicesTest, ContiguousRunsAndDefaultClusterSizes) {
  auto g = Fat32WithChains({{5, 6}, {6, 7}, {7, 9}, {9, 0x0FFFFFFF}});
  EXPECT_EQ(g.ContiguousClusters(5, 1 << 20), 3u);
  EXPECT_EQ(g.ContiguousClusters(5, 2 * 4096), 2u);
  EXPECT_EQ(g.ContiguousClusters(0x0FFFFFF8, 1 << 20), 0u);

  EXPECT_EQ(DefaultSectorsPerCluster(FsKind::kFat16, 0x3FFFF, 512), 4u);
  EXPECT_EQ(DefaultSectorsPerCluster(FsKind::kFat16, 0x400000, 512), 128u);
  EXPECT_EQ(DefaultSectorsPerCluster(FsKind::kFat32, 0x1FFFF, 512), 1u);
  EXPECT_EQ(DefaultSectorsPerCluster(FsKind::kFat32, 0x1000000, 512), 32u);
  EXPECT_EQ(DefaultSectorsPerCluster(FsKind::kNtfs, 1ull << 30, 512), 8u);
  EXPECT_EQ(DefaultSectorsPerCluster(FsKind::kNtfs, (17ull << 40) / 512, 512), 16u);
  EXPECT_EQ(DefaultSectorsPerCluster(FsKind::kFat12, 2880, 512), 8u);
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

// Opens a fixture volume the way the scanners will, tables loaded.
struct OpenedVolume {
  DiskSource source;
  VolumeGeometry geometry;
  uint32_t ok = 0;
  OpenedVolume(const std::string& disk, uint64_t start, uint64_t sectors) {
    OpenVolumeRequest r;
    r.path = test::DataPath("volumes/" + disk);
    r.startSector = start;
    r.volumeSectors = sectors;
    r.loadTables = true;
    std::string error;
    ok = OpenVolume(source, geometry, r, &error);
    EXPECT_EQ(ok, 1u) << error;
  }
  std::vector<uint8_t> Cluster(uint64_t cluster) {
    std::vector<uint8_t> data(geometry.bytesPerCluster);
    EXPECT_EQ(geometry.ReadClusters(data.data(), 1, cluster), 1u);
    return data;
  }
};

bool HasShortName(const std::vector<uint8_t>& dir, const char* name11) {
  for (size_t at = 0; at + 32 <= dir.size(); at += 32)
    if (std::memcmp(dir.data() + at, name11, 11) == 0) return true;
  return false;
}

TEST(OpenVolumeTest, FatGeometryFindsTheRootDirectory) {
  OpenedVolume fat32("gpt.vmdk", 2048, 73728);
  EXPECT_EQ(test::Val(fat32.geometry.fsKind), FsKind::kFat32);
  EXPECT_FALSE(fat32.geometry.fatTable.empty());
  EXPECT_EQ(fat32.geometry.NextFatCluster(0) & 0x0FFFFFF8, 0x0FFFFFF8u);  // media entry
  EXPECT_TRUE(HasShortName(fat32.Cluster(fat32.geometry.rootDirectoryCluster), "HELLO   TXT"));
  // The root directory is a chain; reading it whole gives the same first cluster.
  const uint64_t bytes = fat32.geometry.FatChainBytes(fat32.geometry.rootDirectoryCluster);
  ASSERT_GT(bytes, 512u);
  std::vector<std::byte> chain(bytes - 512);
  EXPECT_EQ(fat32.geometry.ReadFatChain(fat32.geometry.rootDirectoryCluster, chain.data(), 0), 1u);

  OpenedVolume fat12("superfloppy-fat12.vmdk", 0, 0);
  EXPECT_EQ(test::Val(fat12.geometry.fsKind), FsKind::kFat12);
  std::vector<uint8_t> root(512);
  ASSERT_EQ(fat12.source.ReadSectors(root.data(), 1, fat12.geometry.firstDataSector - 14), 1u);
  EXPECT_TRUE(HasShortName(root, "HELLO   TXT"));
  EXPECT_EQ(fat12.geometry.volumeLastSector, 2879u);
}

TEST(OpenVolumeTest, NtfsAndExfatLoadTheirAllocationBitmaps) {
  OpenedVolume ntfs("gpt.vmdk", 75776, 16384);
  EXPECT_EQ(test::Val(ntfs.geometry.fsKind), FsKind::kNtfs);
  EXPECT_EQ(ntfs.geometry.mftRecordBytes, 1024u);
  EXPECT_GE(ntfs.geometry.mftRecordCount, 16u);
  EXPECT_EQ(ntfs.geometry.allocationMap.size(), (ntfs.geometry.clusterCount + 1 + 7) / 8);
  EXPECT_EQ(ntfs.geometry.allocationMap[0] & 1, 1);  // the boot sector's cluster is in use

  OpenedVolume exfat("gpt.vmdk", 92160, 16384);
  EXPECT_EQ(test::Val(exfat.geometry.fsKind), FsKind::kExfat);
  EXPECT_FALSE(exfat.geometry.allocationMap.empty());
  EXPECT_EQ(exfat.geometry.allocationMap[0] & 1, 1);  // the bitmap's own cluster
  // Kind forced to something the volume is not: localisation fails, nothing opens.
  OpenVolumeRequest r;
  r.path = test::DataPath("volumes/gpt.vmdk");
  r.startSector = 75776;
  r.volumeSectors = 16384;
  r.requestedKind = FsKind::kExfat;
  DiskSource source;
  VolumeGeometry g;
  EXPECT_EQ(OpenVolume(source, g, r), 0u);
  // With the advanced settings' override the user gets the volume, marked damaged.
  DriveSettings settings;
  settings.override = 1;
  settings.kindIndex = 1;  // FAT32
  r.settings = &settings;
  std::string message;
  EXPECT_EQ(OpenVolume(source, g, r, nullptr, &message), 1u);
  EXPECT_EQ(message, "Sorry, can't localize FAT32 file system.");
  EXPECT_TRUE(g.damaged);
}

}  // namespace
}  // namespace torvane
