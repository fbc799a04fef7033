// Entry sets decoded from hand-made folder bytes, and the assessment of deleted items over a
// volume held in memory (a bitmap, no disk).
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "fs/exfat/exfat_entry_set.h"
#include "fs/exfat/exfat_folder.h"

namespace torvane::exfat {
namespace {

struct SetSpec {
  std::u16string name = u"file.txt";
  bool deleted = false;
  uint8_t secondaryCount = 0;  // 0: stream + names + vendors
  int vendors = 0;             // 0xE0 entries after the names
  uint16_t attributes = 0x20;
  uint8_t flags = 0x01;
  uint32_t firstCluster = 10;
  uint64_t length = 1000;
  uint8_t nameLength = 0;  // 0: the name's length
};

std::vector<std::byte> MakeSet(const SetSpec& s) {
  const size_t names = (s.name.size() + 14) / 15;
  const size_t secondaries = 1 + names + s.vendors;
  std::vector<std::byte> d((1 + secondaries) * 32);
  auto put8 = [&](size_t at, uint8_t v) { d[at] = std::byte{v}; };
  const uint8_t clear = s.deleted ? 0x80 : 0;
  put8(0, 0x85 & ~clear);
  put8(1, s.secondaryCount != 0 ? s.secondaryCount : static_cast<uint8_t>(secondaries));
  StoreLeU16(d, 4, s.attributes);
  StoreLeU32(d, 0x0C, 0x56CF6DAF);  // 2023-06-15 13:45:30
  put8(32, 0xC0 & ~clear);
  put8(33, s.flags);
  put8(35, s.nameLength != 0 ? s.nameLength : static_cast<uint8_t>(s.name.size()));
  StoreLeU32(d, 32 + 0x14, s.firstCluster);
  StoreLeU64(d, 32 + 0x18, s.length);
  for (size_t i = 0; i < names; ++i) {
    put8(64 + i * 32, 0xC1 & ~clear);
    for (size_t c = 0; c < 15 && i * 15 + c < s.name.size(); ++c)
      StoreLeU16(d, 64 + i * 32 + 2 + c * 2, s.name[i * 15 + c]);
  }
  for (int v = 0; v < s.vendors; ++v) put8((2 + names + v) * 32, 0xE0 & ~clear);
  StoreLeU16(d, 2, EntrySetChecksum(d));
  return d;
}

SetStep Decode(const std::vector<std::byte>& d, EntrySet& set) {
  return DecodeEntrySet(d, 0, set);
}

TEST(ExfatEntrySetTest, SecondaryCountOutsideTwoToEighteenGivesNothing) {
  EntrySet set;
  for (uint8_t count : {uint8_t{1}, uint8_t{19}}) {
    SetSpec s;
    s.secondaryCount = count;
    auto d = MakeSet(s);
    d.resize(64 * 32);
    EXPECT_EQ(Decode(d, set), SetStep::kSkip) << int{count};
    EXPECT_EQ(set.bytes, 32u);
  }
  EXPECT_EQ(Decode(MakeSet({}), set), SetStep::kSet);
  EXPECT_EQ(set.name, u"file.txt");
  EXPECT_TRUE(set.checksumOk);
}

TEST(ExfatEntrySetTest, NamesAreCutAtTheirLengthAndMissingNameEntriesDropTheSet) {
  SetSpec s;
  s.name = u"twenty-characters-ab-and-some-more";  // 3 entries stored
  s.nameLength = 20;
  s.secondaryCount = 3;  // stream + the two entries 20 characters need
  auto d = MakeSet(s);
  EntrySet set;
  ASSERT_EQ(Decode(d, set), SetStep::kSet);
  EXPECT_EQ(set.name, u"twenty-characters-ab");
  EXPECT_EQ(set.bytes, 4u * 32);
  // A name length that needs more entries than the set holds.
  s.nameLength = 40;
  EXPECT_EQ(Decode(MakeSet(s), set), SetStep::kSkip);
}

TEST(ExfatEntrySetTest, VendorSecondariesArePassedOverAndTheNameKept) {
  SetSpec s;
  s.name = u"a name over two entries";
  s.vendors = 2;
  auto d = MakeSet(s);
  d.resize(d.size() + 32);  // an end entry
  EntrySet set;
  ASSERT_EQ(Decode(d, set), SetStep::kSet);
  EXPECT_EQ(set.secondaryCount, 5);
  EXPECT_EQ(set.name, s.name);
  EXPECT_TRUE(set.checksumOk);
  EXPECT_EQ(DecodeEntrySet(d, set.bytes, set), SetStep::kEnd);
}

TEST(ExfatEntrySetTest, BadChecksumMarksDeletedSetsDecodeAndNoFatChainIsRead) {
  auto d = MakeSet({});
  d[32 + 0x18] = std::byte{0x77};  // the length changed after the checksum was written
  EntrySet set;
  ASSERT_EQ(Decode(d, set), SetStep::kSet);
  EXPECT_FALSE(set.checksumOk);
  EXPECT_EQ(set.dataLength, 0x377u);

  SetSpec s;
  s.deleted = true;
  s.flags = 0x03;
  ASSERT_EQ(Decode(MakeSet(s), set), SetStep::kSet);
  EXPECT_TRUE(set.deleted);
  EXPECT_TRUE(set.noFatChain);
  EXPECT_EQ(set.name, u"file.txt");
  // A set whose stream extension is in use under a deleted file entry is no set.
  d = MakeSet(s);
  d[32] = std::byte{0xC0};
  EXPECT_EQ(Decode(d, set), SetStep::kSkip);
}

TEST(ExfatEntrySetTest, TimeStampsKeepTheirTenMillisecondPartAndUtcOffset) {
  // 2023-06-15 13:45:30 UTC is 1686836730 Unix seconds.
  const uint64_t base = (1686836730ull + 11644473600ull) * 10'000'000;
  EXPECT_EQ(ExfatTimeToFiletime(0x56CF6DAF, 0, 0), base);
  EXPECT_EQ(ExfatTimeToFiletime(0x56CF6DAF, 157, 0x80), base + 15'700'000);  // 1.57 s later
  // Local time two hours ahead of UTC (+8 quarters): UTC is two hours earlier.
  EXPECT_EQ(ExfatTimeToFiletime(0x56CF6DAF, 0, 0x88), base - 2 * 3600 * 10'000'000ull);
  // Four hours behind (-16 quarters, 0x70 in 7 bits).
  EXPECT_EQ(ExfatTimeToFiletime(0x56CF6DAF, 0, 0x80 | 0x70), base + 4 * 3600 * 10'000'000ull);
  EXPECT_EQ(ExfatTimeToFiletime(0x56CF0000 & ~0x1F0000u, 0, 0), 0u);  // day 0
}

// A volume of 100 clusters of 512 bytes with a bitmap and no disk.
struct MemoryVolume {
  VolumeGeometry g;
  MemoryVolume() {
    g.fsKind = FsKind::kExfat;
    g.sectorsPerCluster = 1;
    g.clusterCount = 101;  // clusters 2..101
    g.allocationMap.assign(13, 0);
  }
  void Allocate(uint32_t cluster) { g.allocationMap[(cluster - 2) / 8] |= 1 << ((cluster - 2) % 8); }
};

FileEntry Deleted(uint32_t link, uint64_t size) {
  FileEntry e;
  e.link = link;
  e.size = size;
  e.dataStart = uint64_t{1} << 32;
  return e;
}

TEST(ExfatAssessTest, ShareOfFreeClustersCappedAndBoundedByTheVolume) {
  MemoryVolume m;
  m.Allocate(12);
  const ExVolume v(m.g);
  EXPECT_EQ(v.AssessExEntry(Deleted(10, 4 * 512)), 75);
  EXPECT_EQ(v.AssessExEntry(Deleted(10, 3 * 512 + 1)), 75);
  EXPECT_EQ(v.AssessExEntry(Deleted(13, 4 * 512)), 100);
  // A size from a damaged entry: n is capped at the volume's clusters (no endless walk, no
  // overflow of n x 100), and clusters beyond the volume count as lost.
  EXPECT_EQ(v.AssessExEntry(Deleted(2, ~uint64_t{0})), 99);
  EXPECT_EQ(v.AssessExEntry(Deleted(100, 4 * 512)), 50);
}

TEST(ExfatAssessTest, DeletedFolderOverAnAllocatedClusterIsOverwritten) {
  MemoryVolume m;
  m.Allocate(20);
  const ExVolume v(m.g);
  SetSpec s;
  s.deleted = true;
  s.attributes = kAttrFolder;
  s.firstCluster = 20;
  EntrySet set;
  ASSERT_EQ(Decode(MakeSet(s), set), SetStep::kSet);
  FileEntry e = v.MakeEntry(set, 5, nullptr);
  EXPECT_EQ(e.kind, kKindPartlyOverwritten);
  EXPECT_EQ(e.state, 0);
  EXPECT_EQ(e.hasChain, 1);
  EXPECT_TRUE(IsDeletedEx(e));
  EXPECT_EQ(static_cast<uint32_t>(e.dataStart), 5u);
  set.firstCluster = 21;
  e = v.MakeEntry(set, 5, nullptr);
  EXPECT_EQ(e.kind, kKindNormal);
  EXPECT_EQ(e.state, kStateRecoverable);
}

TEST(ExfatAssessTest, SetWithBadChecksumIsListedAndMarked) {
  MemoryVolume m;
  m.Allocate(10);
  auto d = MakeSet({});
  d[40] = std::byte{0x55};  // a byte of the stream extension changed behind the checksum
  EntrySet set;
  ASSERT_EQ(Decode(d, set), SetStep::kSet);
  const FileEntry e = ExVolume(m.g).MakeEntry(set, 5, nullptr);
  EXPECT_EQ(e.state, kStateExisting);
  EXPECT_EQ(e.reserved43 & kExBadChecksum, kExBadChecksum);
  EXPECT_EQ(uint64_t{e.time}, ExfatTimeToFiletime(0x56CF6DAF, 0, 0));  // the modification time, all 8 bytes
}

}  // namespace
}  // namespace torvane::exfat
