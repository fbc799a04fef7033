#include "disk/disk_source.h"

#include <gtest/gtest.h>

#include <cstring>

#include "test_util.h"

namespace torvane {
namespace {

using test::StampedSectors;
using test::TempDir;
using test::WriteFile;

// A 100-sector raw disk whose sectors carry their own numbers.
class DiskSourceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    WriteFile(dir / "disk.img", StampedSectors(100));
    std::string error;
    ASSERT_TRUE(source.OpenSource(dir / "disk.img", 0, error)) << error;
  }
  std::vector<uint8_t> Buffer(size_t sectors) { return std::vector<uint8_t>(sectors * 512, 0xEE); }
  TempDir dir;
  DiskSource source;
};

TEST_F(DiskSourceTest, OpenTakesCapacityAndTheFirstSector) {
  EXPECT_EQ(source.opened, 1u);
  EXPECT_EQ(source.handle, kVirtualDiskSentinel);
  EXPECT_EQ(source.diskSectors, 100u);
  EXPECT_EQ(source.volumeLastSector, kNoBound);
  EXPECT_GE(source.sectorBuffer.size(), kMinSectorBufferBytes);
  EXPECT_EQ(0, std::memcmp(source.bootSectorCopy.data(), StampedSectors(1).data(), 512));
  EXPECT_EQ(source.imageKind, ImageKind::kOther);  // no partition table: a volume image
}

TEST_F(DiskSourceTest, VolumeBoundCutsAndDiskBoundRefuses) {
  source.volumeStart = 10;
  source.volumeLastSector = 9;  // a volume of sectors 10..19
  auto buf = Buffer(8);
  EXPECT_EQ(source.ReadSectors(buf.data(), 1, 9), 1u);  // the last sector
  EXPECT_EQ(0, std::memcmp(buf.data(), StampedSectors(1, 19).data(), 512));

  buf = Buffer(8);
  EXPECT_EQ(source.ReadSectors(buf.data(), 8, 8), 1u);  // cut to two sectors
  EXPECT_EQ(0, std::memcmp(buf.data(), StampedSectors(2, 18).data(), 1024));
  EXPECT_EQ(std::vector<uint8_t>(buf.begin() + 1024, buf.end()), std::vector<uint8_t>(6 * 512, 0));

  buf = Buffer(1);
  EXPECT_EQ(source.ReadSectors(buf.data(), 1, 10), 0u);  // one past the volume
  EXPECT_EQ(buf, Buffer(1));                             // untouched
  EXPECT_EQ(source.ReadSectors(buf.data(), 0, 5), 1u);   // count 0 within bounds

  // A volume larger than the disk: what lies on the disk is read, the rest is zeros and
  // counted as failed, for this read and in the totals.
  source.volumeLastSector = 99;
  buf = Buffer(8);
  const ReadResult r = source.Read(buf.data(), 8, 85);
  EXPECT_TRUE(r.done);
  EXPECT_EQ(r.sectorsRead, 8u);
  EXPECT_EQ(r.failedSectors, 3u);
  EXPECT_EQ(0, std::memcmp(buf.data(), StampedSectors(5, 95).data(), 5 * 512));
  EXPECT_EQ(std::vector<uint8_t>(buf.begin() + 5 * 512, buf.end()), std::vector<uint8_t>(3 * 512, 0));
  EXPECT_EQ(source.failedSectors, 3u);
  EXPECT_EQ(source.ReadSectors(buf.data(), 1, 90), 0u);  // starts past the disk's end

  source.volumeStart = 0;
  source.volumeLastSector = kNoBound;
  EXPECT_EQ(source.Read(buf.data(), 4, 96).failedSectors, 0u);  // ends exactly at the end
  EXPECT_EQ(source.ReadSectors(buf.data(), 1, 100), 0u);
}

TEST_F(DiskSourceTest, HugeSectorNumbersAreRefusedWithoutWrapping) {
  auto buf = Buffer(2);
  EXPECT_EQ(source.ReadSectors(buf.data(), 2, ~uint64_t{0}), 0u);
  EXPECT_EQ(source.ReadSectors(buf.data(), 2, ~uint64_t{0} - 1), 0u);
  source.volumeStart = ~uint64_t{0} - 1;
  EXPECT_EQ(source.ReadSectors(buf.data(), 1, 5), 0u);
  source.volumeStart = 50;
  EXPECT_EQ(source.ReadSectors(buf.data(), 1, ~uint64_t{0} - 20), 0u);
  source.volumeLastSector = ~uint64_t{0} - 1;
  EXPECT_EQ(source.ReadSectors(buf.data(), 0xFFFFFFFF, ~uint64_t{0} - 3), 0u);
  EXPECT_EQ(buf, Buffer(2));
}

TEST_F(DiskSourceTest, DeviceWaitFlags) {
  auto buf = Buffer(1);
  source.deviceLost = 1;
  EXPECT_EQ(source.ReadSectors(buf.data(), 1, 0), 0u);
  source.deviceLost = 0;
  source.stopRequested = 1;
  source.waitPromptShown = 1;
  EXPECT_EQ(source.ReadSectors(buf.data(), 1, 500), 0u);  // refused before the flags clear
  EXPECT_EQ(source.stopRequested, 1u);
  EXPECT_EQ(source.ReadSectorsForImage(buf.data(), 1, 500), 0u);  // clears them first
  EXPECT_EQ(source.stopRequested, 0u);
  EXPECT_EQ(source.waitPromptShown, 0u);
  source.stopRequested = 1;
  EXPECT_EQ(source.ReadSectors(buf.data(), 1, 0), 1u);
  EXPECT_EQ(source.stopRequested, 0u);
}

TEST_F(DiskSourceTest, WritesOnlyWhenOpenedForWriting) {
  std::memset(source.sectorBuffer.data(), 0x3C, 512);
  EXPECT_EQ(source.WriteSectors(1, 5), 0u);  // opened read-only
  std::string error;
  ASSERT_TRUE(source.OpenSource(dir / "disk.img", 0, error, /*writable=*/true));
  std::memset(source.sectorBuffer.data(), 0x3C, 512);
  EXPECT_EQ(source.WriteSectors(1, 5), 1u);
  EXPECT_EQ(source.WriteSectors(1, 100), 0u);  // past the end: refused, not "done"
  auto buf = Buffer(1);
  source.ReadSectors(buf.data(), 1, 5);
  EXPECT_EQ(buf, std::vector<uint8_t>(512, 0x3C));
  source.CloseSource();
  EXPECT_EQ(source.WriteSectors(1, 5), 0u);
  EXPECT_EQ(source.handle, 0u);
}

TEST_F(DiskSourceTest, UnreadableSectorsAreZeroFilledAndCounted) {
  WriteFile(dir / "short.bin", StampedSectors(10));
  WriteFile(dir / "d.vmdk", std::string("# Disk DescriptorFile\nversion=1\ncreateType=\"monolithicFlat\"\n"
                                        "RW 20 FLAT \"short.bin\" 0\n"));
  std::string error;
  ASSERT_TRUE(source.OpenSource(dir / "d.vmdk", 0, error)) << error;
  EXPECT_EQ(source.imageKind, ImageKind::kVirtualDisk);
  auto buf = Buffer(20);
  EXPECT_EQ(source.ReadSectors(buf.data(), 20, 0), 1u);
  EXPECT_EQ(std::vector<uint8_t>(buf.begin() + 10 * 512, buf.end()), std::vector<uint8_t>(10 * 512, 0));
  EXPECT_EQ(source.failedReads, 1u);
  EXPECT_EQ(source.failedSectors, 10u);
  EXPECT_EQ(source.lastFailure, (vdisk::SectorRange{10, 10}));
  EXPECT_NE(source.lastFailureReason.find("ends early"), std::string::npos);
  // Each read reports its own failures, whatever the shared totals say.
  EXPECT_EQ(source.Read(buf.data(), 10, 0).failedSectors, 0u);
  const ReadResult crossing = source.Read(buf.data(), 6, 8);
  EXPECT_EQ(crossing.failedSectors, 4u);
  EXPECT_EQ(crossing.failedRanges, (std::vector<vdisk::SectorRange>{{2, 4}}));
  EXPECT_EQ(source.failedSectors, 14u);
}

TEST(DiskSourceOpenTest, FailedOpenLeavesNothingOpen) {
  DiskSource source;
  std::string error;
  EXPECT_FALSE(source.OpenSource("/no/such/disk.vmdk", 0, error));
  EXPECT_NE(error.find("/no/such/disk.vmdk"), std::string::npos);
  EXPECT_EQ(source.opened, 0u);
  EXPECT_EQ(source.handle, 0u);
  std::vector<uint8_t> buf(512, 0xEE);
  EXPECT_EQ(source.ReadSectors(buf.data(), 1, 0), 0u);  // no disk: the bounds are unknown
}

TEST(ClassifyImageFileTest, TellsVirtualDisksRawDisksAndOtherFiles) {
  TempDir dir;
  EXPECT_EQ(ClassifyImageFile(test::DataPath("vmdk/sparse.vmdk")), ImageKind::kVirtualDisk);
  EXPECT_EQ(ClassifyImageFile(test::DataPath("vmdk/flat.vmdk")), ImageKind::kVirtualDisk);

  std::vector<uint8_t> mbr(128 * 512, 0);
  mbr[510] = 0x55;
  mbr[511] = 0xAA;
  mbr[446] = 0x80;
  WriteFile(dir / "mbr.img", mbr);
  EXPECT_EQ(ClassifyImageFile(dir / "mbr.img"), ImageKind::kRawDiskImage);
  mbr[462] = 0x01;  // not a boot indicator
  WriteFile(dir / "bad.img", mbr);
  EXPECT_EQ(ClassifyImageFile(dir / "bad.img"), ImageKind::kOther);
  // A signature at sector 63 decides without looking at sector 0.
  mbr[63 * 512 + 510] = 0x55;
  mbr[63 * 512 + 511] = 0xAA;
  WriteFile(dir / "s63.img", mbr);
  EXPECT_EQ(ClassifyImageFile(dir / "s63.img"), ImageKind::kRawDiskImage);
  WriteFile(dir / "tiny.img", std::string("x"));
  EXPECT_EQ(ClassifyImageFile(dir / "tiny.img"), ImageKind::kOther);
  EXPECT_EQ(ClassifyImageFile(dir / "missing.img"), ImageKind::kOther);
}

}  // namespace
}  // namespace torvane

namespace torvane {
namespace {

// A 64 MiB raw disk that is a hole but for sector 0 and the sectors at 40 MiB. Whether the
// machine's file system reports the hole or not, the answer never lies beyond data.
TEST(DiskSourceHoleTest, NextDataSectorSkipsOnlyHoles) {
  TempDir dir;
  const auto path = dir / "sparse.img";
  {
    std::FILE* f = std::fopen(path.c_str(), "wb");
    ASSERT_NE(f, nullptr);
    const std::vector<uint8_t> data = test::StampedSectors(8);
    std::fwrite(data.data(), 1, data.size(), f);
    std::fseek(f, 40l << 20, SEEK_SET);
    std::fwrite(data.data(), 1, data.size(), f);
    std::fseek(f, (64l << 20) - 1, SEEK_SET);
    std::fputc(0, f);
    std::fclose(f);
  }
  DiskSource source;
  std::string error;
  ASSERT_TRUE(source.OpenSource(path, 0, error)) << error;
  const uint64_t dataAt = (40ull << 20) / 512;
  EXPECT_EQ(source.NextDataSector(0), 0u);
  const uint64_t afterFirst = source.NextDataSector(64 * 1024 / 512);
  EXPECT_GE(afterFirst, 128u);
  EXPECT_LE(afterFirst, dataAt);
  EXPECT_LE(source.NextDataSector(dataAt), dataAt);
  // Relative to a volume, as reads are.
  source.volumeStart = 2048;
  EXPECT_LE(source.NextDataSector(dataAt - 2048 - 10), dataAt - 2048);
  // With no disk open nothing is skipped.
  DiskSource closed;
  EXPECT_EQ(closed.NextDataSector(77), 77u);
}

}  // namespace
}  // namespace torvane
