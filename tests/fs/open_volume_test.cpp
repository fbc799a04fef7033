// Opening volumes: fixture volumes made by real tools, and hand-built disks for what the
// tools never make (forced kinds, raw volumes, forged boot sectors).
#include "fs/open_volume.h"

#include <gtest/gtest.h>

#include "fs/recognize_volume.h"
#include "partitions/disk_builder.h"
#include "test_util.h"
#include "util/bytes.h"

namespace torvane {
namespace {

using test::DiskBuilder;

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

// Opens a volume of a hand-built disk held in memory.
uint32_t OpenInMemory(DiskBuilder& disk, DiskSource& source, VolumeGeometry& g, OpenVolumeRequest r = {}) {
  disk.Open(source);
  r.path.clear();  // the disk the source holds
  return OpenVolume(source, g, r);
}

TEST(OpenVolumeTest, ForcedAndRawVolumesAreSizedInClusters) {
  // Nothing recognisable: a raw volume of one-sector clusters over the whole disk.
  DiskBuilder blank(4096);
  DiskSource source;
  VolumeGeometry g;
  ASSERT_EQ(OpenInMemory(blank, source, g), 1u);
  EXPECT_TRUE(g.damaged);
  EXPECT_EQ(g.clusterCount, 4096u);

  // The settings force NTFS with 4 KiB clusters on a volume of 2000 sectors.
  DriveSettings settings;
  settings.override = 1;
  settings.kindIndex = 2;
  settings.clusterIndex = 4;
  OpenVolumeRequest r;
  r.volumeSectors = 2000;
  r.settings = &settings;
  ASSERT_EQ(OpenInMemory(blank, source, g, r), 1u);
  EXPECT_EQ(g.sectorsPerCluster, 8u);
  EXPECT_EQ(g.clusterCount, 250u);

  // Recognition comes first: forcing the kind the volume has keeps what recognition read.
  r = {};
  r.path = test::DataPath("volumes/gpt.vmdk");
  r.startSector = 75776;
  r.volumeSectors = 16384;
  r.loadTables = true;
  settings.clusterIndex = 0;
  r.settings = &settings;
  ASSERT_EQ(OpenVolume(source, g, r), 1u);
  EXPECT_FALSE(g.damaged);
  EXPECT_NE(g.mftStartSector, 0u);
  EXPECT_FALSE(g.allocationMap.empty());
}

TEST(OpenVolumeTest, ForgedBootSectorsCannotReachPastTheDisk) {
  // 1 MiB disks whose boot sector claims 2 TiB and FATs of up to 32 MiB.
  constexpr uint64_t kSectors = 2048;
  struct Forged {
    bool fat32;
    uint32_t fatSectors;
  };
  for (Forged f : {Forged{true, 8}, Forged{true, 4096}, Forged{false, 65535}}) {
    SCOPED_TRACE(std::to_string(f.fat32) + " " + std::to_string(f.fatSectors));
    DiskBuilder disk(kSectors);
    if (f.fat32) {
      disk.Fat32Boot(0, 0xFFFFFFFF);
      StoreLeU16(disk.Span(0), 14, 1);
      StoreLeU32(disk.Span(0), 36, f.fatSectors);
    } else {
      disk.Fat16Boot(0, 0xFFFFFFFF);
      StoreLeU16(disk.Span(0), 22, static_cast<uint16_t>(f.fatSectors));
    }
    DiskSource source;
    VolumeGeometry g;
    OpenVolumeRequest r;
    r.loadTables = true;
    ASSERT_EQ(OpenInMemory(disk, source, g, r), 1u);
    EXPECT_LE(g.fatBytes, kSectors * 512);  // what the FAT's load allocates
    EXPECT_LE(g.fatTable.size() + g.allocationMap.size(), kSectors * 512);
    EXPECT_LE(g.volumeSectors, kSectors);
    EXPECT_LT(g.volumeLastSector, kSectors);
    EXPECT_LE(g.clusterCount, kSectors);

    PartitionRecord record;
    ASSERT_EQ(RecognizeVolume(source, nullptr, nullptr, record, 0, nullptr, nullptr), 1);
    EXPECT_EQ(test::Val(record.sectors), kSectors);
  }
}

}  // namespace
}  // namespace torvane
