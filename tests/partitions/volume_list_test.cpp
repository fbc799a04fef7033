#include "partitions/volume_list.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include "partitions/disk_builder.h"
#include "fs/recognize_volume.h"
#include "util/text.h"

namespace torvane {
namespace {

using test::DiskBuilder;

VolumeList Build(DiskBuilder& disk) {
  DiskSource source;
  disk.Open(source);
  VolumeList list;
  BuildVolumeList(source, list, &RecognizeVolume);
  return list;
}

std::vector<uint64_t> Starts(const std::vector<PartitionRecord>& records) {
  std::vector<uint64_t> starts;
  for (const auto& r : records) starts.push_back(uint64_t{r.startSector});
  return starts;
}

TEST(VolumeListTest, BootIndicatorOtherThanZeroOr80MeansAVolumeAtSectorZero) {
  DiskBuilder disk(4096);
  disk.Fat16Boot(0, 4096);
  disk.Sector(0)[446] = 0x01;
  VolumeList list = Build(disk);
  ASSERT_EQ(list.volumes.size(), 1u);
  EXPECT_EQ(test::Val(list.volumes[0].startSector), 0u);
  EXPECT_EQ(test::Val(list.volumes[0].fsKind), FsKind::kFat16);
}

TEST(VolumeListTest, EmptySlotsAreSkippedAndTheExtendedChainFollowed) {
  DiskBuilder disk(40000);
  // Slot 0 deleted; slot 1 a FAT16 volume; slot 2 an extended partition with two logical
  // volumes, the second block linked through a first entry of extended type.
  disk.Entry(0, 1, 0x06, 100, 2000);
  disk.Fat16Boot(100, 2000);
  disk.Entry(0, 2, 0x05, 10000, 20000);
  disk.Entry(10000, 0, 0x06, 63, 3000);
  disk.Entry(10000, 1, 0x05, 5000, 4000);
  disk.Fat16Boot(10063, 3000, "LOGICAL1   ");
  disk.Entry(15000, 0, 0x05, 7000, 100);  // a link only: the next block is at 17000
  disk.Entry(17000, 0, 0x06, 63, 1500);
  disk.Fat16Boot(17063, 1500, "LOGICAL2   ");
  VolumeList list = Build(disk);
  EXPECT_TRUE(list.hasExtended);
  EXPECT_EQ(Starts(list.volumes), (std::vector<uint64_t>{100, 10063, 17063}));
  EXPECT_EQ(ToUtf8(GetText(list.volumes[2].label)), "LOGICAL2");
}

TEST(VolumeListTest, ExtendedChainsThatLoopOrPointBackEnd) {
  DiskBuilder disk(40000);
  disk.Entry(0, 0, 0x0F, 1000, 30000);
  disk.Entry(1000, 0, 0x06, 63, 500);
  disk.Fat16Boot(1063, 500);
  disk.Entry(1000, 1, 0x05, 0xFFFFFFFF - 999, 10);  // wraps a 32-bit sum back to 999...
  disk.Entry(2000, 0, 0x06, 63, 500);
  disk.Entry(2000, 1, 0x05, 1000, 10);  // ...and a block that links to itself
  VolumeList list = Build(disk);
  EXPECT_EQ(Starts(list.volumes).front(), 1063u);
}

TEST(VolumeListTest, GptIsCheckedAndLooksAtNoMoreThan128Entries) {
  DiskBuilder disk(20000);
  disk.Entry(0, 0, 0xEE, 1, 19999);
  const uint32_t count = 130;
  // 130 entries of 100 sectors each from sector 2048 (holding no file system, so that only
  // the table can list them).
  auto writeGpt = [&](uint64_t headerSector, uint64_t arraySector) {
    for (uint32_t i = 0; i < count; ++i) {
      uint8_t* e = disk.Sector(arraySector) + i * 128;
      e[0] = 0xA2;  // a non-zero type GUID
      StoreLeU64({reinterpret_cast<std::byte*>(e), 128}, 32, 2048 + i * 100);
      StoreLeU64({reinterpret_cast<std::byte*>(e), 128}, 40, 2048 + i * 100 + 99);
    }
    uint8_t* h = disk.Sector(headerSector);
    std::memcpy(h, "EFI PART", 8);
    StoreLeU32(disk.Span(headerSector), 12, 92);
    StoreLeU64(disk.Span(headerSector), 72, arraySector);
    StoreLeU32(disk.Span(headerSector), 80, count);
    StoreLeU32(disk.Span(headerSector), 84, 128);
    StoreLeU32(disk.Span(headerSector), 88,
               static_cast<uint32_t>(crc32(0, disk.Sector(arraySector), count * 128)));
    StoreLeU32(disk.Span(headerSector), 16, static_cast<uint32_t>(crc32(0, h, 92)));
  };
  auto fromGpt = [&] {
    size_t n = 0;
    for (const auto& v : Build(disk).volumes) n += v.startSector >= 2048 && v.sectors == 100;
    return n;
  };
  writeGpt(1, 2);
  EXPECT_EQ(fromGpt(), 128u);

  // A damaged header checksum: nothing comes from the GPT...
  disk.Sector(1)[16] ^= 1;
  EXPECT_EQ(fromGpt(), 0u);
  // ...unless the backup at the disk's end is sound.
  writeGpt(19999, 19999 - 33);
  EXPECT_EQ(fromGpt(), 128u);
}

TEST(VolumeListTest, LostVolumesAreFoundByTheWalkAndTheCandidateStarts) {
  DiskBuilder disk(30000);
  disk.Signature(0);  // a table with no entries
  disk.Fat16Boot(2048, 8000, "LOSTONE    ");
  VolumeList list = Build(disk);
  ASSERT_EQ(Starts(list.volumes), (std::vector<uint64_t>{2048}));
  EXPECT_TRUE(list.repairOffered);
  ASSERT_FALSE(list.walkVolumes.empty());
  EXPECT_EQ(test::Val(list.walkVolumes[0].startSector), 2048u);
  EXPECT_EQ(list.candidates.size(), 1u);
  EXPECT_EQ(list.freePrimarySlots, 4u);

  // With the table listing it, the candidate start is not probed again and no repair is
  // offered.
  disk.Entry(0, 0, 0x06, 2048, 8000);
  list = Build(disk);
  EXPECT_EQ(Starts(list.volumes), (std::vector<uint64_t>{2048}));
  EXPECT_TRUE(list.candidates.empty());  // dropped by the cross-check: the MBR has it
  EXPECT_FALSE(list.repairOffered);
}

TEST(VolumeListTest, ChsEncodingAndNtfsBackupBootSectors) {
  uint8_t entry[16] = {};
  EncodeChs(entry, 2048, 0xFB0400);
  EXPECT_EQ(entry[1], 32);  // head of sector 2048: 2048 / 63 % 255
  EXPECT_EQ(entry[2], 2048 % 63 + 1);
  EXPECT_EQ(entry[3], 0);
  EXPECT_EQ(entry[5], 254);
  EXPECT_EQ(entry[6], 0xFF);
  EXPECT_EQ(entry[7], 0xFF);
  EncodeChs(entry, 0xFB0400, 10);
  EXPECT_EQ(entry[1], 254);

  DiskBuilder disk(8);
  disk.NtfsBoot(0, 1000);
  uint64_t start = 0;
  EXPECT_EQ(CheckNtfsBackupBootSector(disk.Sector(0), 2, 1000, start), 1u);
  EXPECT_EQ(start, 0u);
  // A primary boot sector: its loader, naming BOOTMGR in UTF-16, follows.
  const char16_t loader[] = u"BOOTMGR";
  std::memcpy(disk.Sector(1) + 40, loader, 14);
  EXPECT_EQ(CheckNtfsBackupBootSector(disk.Sector(0), 2, 1000, start), 0u);
  EXPECT_EQ(CheckNtfsBackupBootSector(disk.Sector(0), 2, 999, start), 0u);
}

TEST(VolumeListTest, HostileTablesEndWithWhatWasFound) {
  DiskBuilder disk(4096);
  // GPT header pointing past the disk, MBR entries past the disk, an extended partition
  // pointing at itself.
  disk.Entry(0, 0, 0x07, 0xFFFFFF00, 0xFFFFFFFF);
  disk.Entry(0, 1, 0x05, 0, 5);
  disk.Entry(0, 2, 0x0F, 3000, 0xFFFFFFFF);
  disk.Entry(3000, 0, 0x0F, 0, 0);
  disk.Entry(3000, 1, 0x05, 0, 1);
  std::memcpy(disk.Sector(1), "EFI PART", 8);
  StoreLeU64(disk.Span(1), 72, ~uint64_t{0});
  StoreLeU32(disk.Span(1), 80, 0xFFFFFFFF);
  StoreLeU32(disk.Span(1), 84, 0xFFFFFFF0);
  VolumeList list = Build(disk);
  EXPECT_TRUE(list.volumes.empty());
}

}  // namespace
}  // namespace torvane
