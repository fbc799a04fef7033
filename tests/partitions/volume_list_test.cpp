#include "partitions/volume_list.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include "fs/recognize_volume.h"
#include "partitions/disk_builder.h"
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
    StoreLeU32(disk.Span(headerSector), 88, static_cast<uint32_t>(crc32(0, disk.Sector(arraySector), count * 128)));
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

TEST(VolumeListTest, BackupBootSectorAtAVolumesEndIsNoVolume) {
  // 64 MiB whose partition table was zeroed: one NTFS volume up to the last sector, which
  // holds its backup boot sector.
  DiskBuilder disk(131072);
  disk.NtfsBoot(2048, 131071 - 2048);
  std::memcpy(disk.Sector(131071), disk.Sector(2048), 512);
  VolumeList list = Build(disk);
  EXPECT_EQ(Starts(list.volumes), (std::vector<uint64_t>{2048}));
  EXPECT_EQ(Starts(list.walkVolumes), (std::vector<uint64_t>{2048}));
}

TEST(VolumeListTest, DamagedExtendedBlockIsRebuiltWithTheLinkToTheNextBlock) {
  // An extended partition at 1000 whose first block lost both entries. Its NTFS volume (63
  // sectors behind it) fills 50 cylinders less the backup sector's count; the next block
  // follows at the cylinder boundary, its volume 63 sectors further.
  DiskBuilder disk(20000);
  disk.Entry(0, 0, 0x05, 1000, 15000);
  disk.Signature(1000);
  disk.NtfsBoot(1063, 50 * 63 - 1);
  const uint64_t nextBlock = 1063 + 50 * 63;
  disk.Entry(nextBlock, 0, 0x07, 63, 40 * 63);
  disk.NtfsBoot(nextBlock + 63, 40 * 63 - 1);
  DiskSource source;
  disk.Open(source);
  VolumeList list;
  VolumeListBuilder builder(source, list, &RecognizeVolume);
  ASSERT_EQ(builder.CheckEppBlock(1000, 1000), 1u);
  ASSERT_EQ(list.eppBlocks.size(), 1u);
  const EppBlock& epp = list.eppBlocks[0];
  const ByteSpan first = AsBytes(epp.firstEntry, 16), second = AsBytes(epp.secondEntry, 16);
  EXPECT_EQ(LeU32(first, 8), 63u);
  EXPECT_EQ(LeU32(first, 12), 50u * 63);
  ASSERT_EQ(epp.secondValid, 1u);
  EXPECT_EQ(test::Val(epp.nextBlock), nextBlock);
  EXPECT_EQ(LeU32(second, 8), nextBlock - 1000);
  EXPECT_EQ(LeU32(second, 12), 41u * 63);
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
