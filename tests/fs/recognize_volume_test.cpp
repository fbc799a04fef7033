#include "fs/recognize_volume.h"

#include <gtest/gtest.h>

#include "partitions/disk_builder.h"
#include "util/text.h"

namespace torvane {
namespace {

using test::DiskBuilder;

std::string Fs(const PartitionRecord& r) {
  return ToUtf8(GetText(r.fsName));
}
std::string Label(const PartitionRecord& r) {
  return ToUtf8(GetText(r.label));
}

struct Recognized {
  int32_t result;
  PartitionRecord record;
};

Recognized Recognize(DiskBuilder& disk, uint64_t sector, const uint8_t* entry = nullptr, VolumeList* list = nullptr) {
  DiskSource source;
  disk.Open(source);
  Recognized r;
  r.result = RecognizeVolume(source, list, entry, r.record, sector, nullptr, nullptr);
  return r;
}

TEST(RecognizeVolumeTest, KindTextsAreTestedInTheirOrder) {
  DiskBuilder disk(4096);
  disk.Fat32Boot(100, 3000);
  disk.Text(100, 54, "FAT16   ");  // a FAT32 sector that also says FAT16 at 54
  auto r = Recognize(disk, 100);
  EXPECT_EQ(r.result, 1);
  EXPECT_EQ(Fs(r.record), "FAT32");
  EXPECT_EQ(test::Val(r.record.fsKind), FsKind::kFat32);
  EXPECT_EQ(Label(r.record), "LABEL32");
  EXPECT_EQ(test::Val(r.record.sectors), 3000u);

  disk.Fat16Boot(200, 2000, "           ");
  r = Recognize(disk, 200);
  EXPECT_EQ(Fs(r.record), "FAT16");
  EXPECT_EQ(Label(r.record), "NO NAME");
  EXPECT_EQ(GetText(r.record.displayLabel), u"NO NAME");

  disk.Text(200, 54, "FAT12   ");
  r = Recognize(disk, 200);
  EXPECT_EQ(Fs(r.record), "FAT12");
  EXPECT_EQ(Label(r.record), "N/A=FAT12");  // a blank FAT12 label
}

TEST(RecognizeVolumeTest, SoundPrimaryWinsOverADifferingBackup) {
  DiskBuilder disk(8192);
  uint8_t entry[16] = {};
  entry[4] = 7;
  StoreLeU32({reinterpret_cast<std::byte*>(entry), 16}, 12, 4000);
  disk.NtfsBoot(1000, 3999);
  disk.NtfsBoot(1000 + 3999, 3999);  // the backup at the volume's last sector, stale
  disk.Sector(1000 + 3999)[20] = 0x01;
  VolumeList list;
  auto r = Recognize(disk, 1000, entry, &list);
  EXPECT_EQ(Fs(r.record), "NTFS");
  EXPECT_EQ(test::Val(r.record.bootFromBackup), 0u);
  EXPECT_FALSE(list.damagedVolumeSeen);
  EXPECT_EQ(test::Val(r.record.sectors), 4000u);  // the table size stands: they differ by 1
  // A primary without a cluster size: its backup stands in.
  disk.Sector(1000)[13] = 0;
  r = Recognize(disk, 1000, entry, &list);
  EXPECT_EQ(Fs(r.record), "NTFS");
  EXPECT_EQ(test::Val(r.record.bootFromBackup), 1u);
  EXPECT_TRUE(list.damagedVolumeSeen);

  // FAT32 whose backup (same serial) still has the label of an earlier format.
  disk.Fat32Boot(6000, 2000, "CURRENT    ");
  disk.Fat32Boot(6000 + 6, 2000, "EARLIER    ");
  r = Recognize(disk, 6000);
  EXPECT_EQ(Label(r.record), "CURRENT");
  EXPECT_EQ(test::Val(r.record.bootFromBackup), 0u);

  // Impossible NTFS fields and nothing to stand in: no volume.
  DiskBuilder bad(4096);
  bad.NtfsBoot(10, 2000);
  StoreLeU32(bad.Span(10), 36, 0x00800000);
  EXPECT_EQ(Recognize(bad, 10).result, 0);
  bad.NtfsBoot(10, 2000);
  StoreLeU16(bad.Span(10), 11, 700);  // not a power of two
  EXPECT_EQ(Recognize(bad, 10).result, 0);
}

TEST(RecognizeVolumeTest, BackupBootSectorsStandInForLostPrimaries) {
  // FAT32 whose primary is zeroed: the copy 6 sectors further is taken.
  DiskBuilder disk(8192);
  disk.Fat32Boot(2048 + 6, 6000, "BACKUP     ");
  VolumeList list;
  auto r = Recognize(disk, 2048, nullptr, &list);
  EXPECT_EQ(r.result, 1);
  EXPECT_EQ(Fs(r.record), "FAT32");
  EXPECT_EQ(Label(r.record), "BACKUP");
  EXPECT_EQ(test::Val(r.record.startSector), 2048u);
  EXPECT_EQ(test::Val(r.record.bootFromBackup), 1u);
  EXPECT_TRUE(list.damagedVolumeSeen);

  // NTFS whose primary is zeroed: the backup at the end of the table's size.
  DiskBuilder ntfs(8192);
  uint8_t entry[16] = {};
  entry[4] = 7;
  StoreLeU32({reinterpret_cast<std::byte*>(entry), 16}, 12, 4000);
  ntfs.NtfsBoot(100 + 3999, 3999);
  r = Recognize(ntfs, 100, entry);
  EXPECT_EQ(Fs(r.record), "NTFS");
  EXPECT_EQ(test::Val(r.record.bootRestored), 1u);
}

TEST(RecognizeVolumeTest, OtherSystemsAreNamedAndSized) {
  DiskBuilder disk(4096);
  // Ext2 superblock at byte 1024 of a volume at 100: 1 KiB blocks, 1500 of them.
  uint64_t sb = 102;
  StoreLeU32(disk.Span(sb, 1024), 4, 1500);
  StoreLeU32(disk.Span(sb, 1024), 24, 0);
  StoreLeU16(disk.Span(sb, 1024), 56, 0xEF53);
  StoreLeU16(disk.Span(sb, 1024), 58, 1);
  StoreLeU32(disk.Span(sb, 1024), 92, 0x38);  // ext_attr, resize_inode, dir_index: no journal
  disk.Text(sb, 120, "linuxroot");
  auto r = Recognize(disk, 100);
  EXPECT_EQ(Fs(r.record), "Ext2");
  EXPECT_EQ(Label(r.record), "linuxroot");
  EXPECT_EQ(test::Val(r.record.sectors), 3000u);
  StoreLeU32(disk.Span(sb, 1024), 92, 0x3C);  // with a journal
  EXPECT_EQ(Fs(Recognize(disk, 100).record), "Ext3");

  disk.Text(1000 + 7, 4096 - 10 - 3584, "SWAPSPACE2");  // the page's last 10 bytes
  r = Recognize(disk, 1000);
  EXPECT_EQ(Fs(r.record), "Linux Swap 2");

  // BitLocker's marker replaces the label.
  disk.Fat32Boot(2000, 1500);
  disk.Sector(2000)[508] = 0x1F;
  disk.Sector(2000)[509] = 0x2C;
  EXPECT_EQ(Label(Recognize(disk, 2000).record), "BitLocker Boot");
}

TEST(RecognizeVolumeTest, ReservedPartitionAndEmptySectors) {
  DiskBuilder disk(1024);
  uint8_t entry[16] = {};
  entry[4] = 0x0C;
  StoreLeU32({reinterpret_cast<std::byte*>(entry), 16}, 12, 65536);  // 32 MiB
  auto r = Recognize(disk, 34, entry);
  EXPECT_EQ(r.result, 1);
  EXPECT_EQ(Fs(r.record), "MS Reserved Partition");
  EXPECT_EQ(GetText(r.record.displayLabel), u"MS Reserved Partition");

  EXPECT_EQ(Recognize(disk, 500).result, 0);  // zeros and no size: nothing
  disk.Signature(600);
  EXPECT_EQ(Recognize(disk, 600, entry).result, 0);  // an empty partition table
  entry[4] = 0xEE;
  EXPECT_EQ(Recognize(disk, 500, entry).result, 0);  // GPT protective entry
}

TEST(RecognizeVolumeTest, HostileBootSectorsEndWithoutCrashing) {
  // Every field that is divided by, multiplied or used as an offset set to extremes.
  for (uint32_t fill : {0x00u, 0xFFu, 0x80u}) {
    DiskBuilder disk(2048);
    for (const char* kind : {"EXFAT", "FAT32", "FAT16", "NTFS"}) {
      std::memset(disk.Sector(64), fill, 512);
      std::string k(kind);
      if (k == "FAT32")
        disk.Text(64, 82, k);
      else if (k == "FAT16")
        disk.Text(64, 54, k);
      else
        disk.Text(64, 3, k);
      std::memset(disk.Sector(64 + 6), fill, 512);
      disk.Text(64 + 6, 82, "FAT32");
      uint8_t entry[16] = {};
      StoreLeU32({reinterpret_cast<std::byte*>(entry), 16}, 12, 0xFFFFFFFF);
      Recognize(disk, 64, entry);
      Recognize(disk, 64);
    }
  }
}

}  // namespace
}  // namespace torvane
