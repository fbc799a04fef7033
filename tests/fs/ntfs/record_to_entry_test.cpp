#include <gtest/gtest.h>

#include "fs/ntfs/ntfs_volume.h"
#include "fs/ntfs/record_builder.h"

namespace torvane::ntfs {
namespace {

// A 1000-cluster volume of 4 KiB clusters whose bitmap marks clusters 0-99 in use.
struct Volume {
  DiskSource source;
  VolumeGeometry geometry;
  NtfsVolume ntfs{source, geometry};
  Volume() {
    geometry.fsKind = FsKind::kNtfs;
    geometry.sectorsPerCluster = 8;
    geometry.clusterCount = 999;
    geometry.mftRecordBytes = 1024;
    geometry.allocationMap.assign(125, 0);
    for (int c = 0; c < 100; ++c) geometry.allocationMap[c / 8] |= 1 << (c % 8);
  }
  void MarkUsed(uint64_t c) { geometry.allocationMap[c / 8] |= 1 << (c % 8); }
};

// Runs: 10 clusters at LCN 200 (header 0x21: 1-byte length, 2-byte offset).
Bytes TenClustersAt200() {
  return {std::byte{0x21}, std::byte{10}, std::byte{200}, std::byte{0}, std::byte{0}};
}

struct Converted {
  bool ok;
  FileEntry entry;
  std::u16string name;
};

Converted Convert(Volume& v, const RecordBuilder& b, uint64_t recordCluster = 50, bool keep = false) {
  Bytes r = b.OnDisk();
  Converted c;
  c.ok = v.ntfs.RecordToEntry(r, c.entry, c.name, recordCluster, 7, keep);
  return c;
}

TEST(RecordToEntryTest, DeletedFileStateIsTheShareOfItsClustersStillFree) {
  Volume v;
  for (uint64_t c : {200, 203, 209}) v.MarkUsed(c);
  RecordBuilder b;
  b.Flags(0)  // not in use: deleted
      .Resident(kAttrStandardInformation, u"", Bytes(0x48))
      .Resident(kAttrFileName, u"", FileNameValue(5, kNamespaceWin32, u"report.pdf", 40000))
      .NonResident(kAttrData, u"", 0, 40000, TenClustersAt200());
  Converted c = Convert(v, b);
  ASSERT_TRUE(c.ok);
  EXPECT_EQ(c.name, u"report.pdf");
  EXPECT_EQ(int{c.entry.state}, 70);
  EXPECT_EQ(int{c.entry.kind}, kKindPartlyOverwritten);
  EXPECT_EQ(uint64_t{c.entry.dataStart}, 200u);
  EXPECT_EQ(uint64_t{c.entry.ParentRecord()}, 5u);
  EXPECT_EQ(uint64_t{c.entry.recordNumber}, 42u);

  // In use and in an allocated MFT cluster: existing.
  b.Flags(MftRecordHeader::kInUse);
  c = Convert(v, b);
  EXPECT_EQ(int{c.entry.state}, kStateExisting);
  EXPECT_EQ(int{c.entry.kind}, kKindNormal);
  // Found in a free cluster, even with its in-use flag: 110.
  c = Convert(v, b, 500);
  EXPECT_EQ(int{c.entry.state}, kStateFoundInFreeSpace);
}

TEST(RecordToEntryTest, WithoutABitmapFilesAre110AndFolders100) {
  Volume v;
  v.geometry.damaged = true;  // raw mode: the bitmap is never consulted
  RecordBuilder file;
  file.Resident(kAttrStandardInformation, u"", Bytes(0x48))
      .Resident(kAttrFileName, u"", FileNameValue(5, kNamespaceWin32, u"a.bin", 40000))
      .NonResident(kAttrData, u"", 0, 40000, TenClustersAt200());
  EXPECT_EQ(int{Convert(v, file).entry.state}, kStateFoundInFreeSpace);
  RecordBuilder folder;
  folder.Resident(kAttrStandardInformation, u"", Bytes(0x48))
      .Resident(kAttrFileName, u"", FileNameValue(5, kNamespaceWin32, u"Docs", 0, kAttributeFolder));
  Converted c = Convert(v, folder);
  ASSERT_TRUE(c.ok);  // a folder of size 0 is accepted
  EXPECT_TRUE(c.entry.IsFolder());
  EXPECT_EQ(int{c.entry.state}, kStateRecoverable);
}

TEST(RecordToEntryTest, LongNamesWinOverTheir83Twins) {
  Volume v;
  RecordBuilder dosFirst;
  dosFirst.Resident(kAttrStandardInformation, u"", Bytes(0x48))
      .Resident(kAttrFileName, u"", FileNameValue(5, kNamespaceDos, u"LONGFI~1.TXT", 10))
      .Resident(kAttrFileName, u"", FileNameValue(5, kNamespaceWin32, u"long file name.txt", 10))
      .Resident(kAttrData, u"", Bytes(10));
  Converted c = Convert(v, dosFirst);
  EXPECT_EQ(c.name, u"long file name.txt");
  EXPECT_EQ(int{c.entry.dataKind}, kDataResident);
  EXPECT_TRUE(v.ntfs.OtherLinks().empty());  // the 8.3 twin is not another link

  RecordBuilder links;
  links.Resident(kAttrStandardInformation, u"", Bytes(0x48))
      .Resident(kAttrFileName, u"", FileNameValue(5, kNamespaceWin32, u"first.txt", 10))
      .Resident(kAttrFileName, u"", FileNameValue(77, kNamespacePosix, u"second.txt", 10))
      .Resident(kAttrData, u"", Bytes(10));
  c = Convert(v, links);
  EXPECT_EQ(c.name, u"first.txt");
  ASSERT_EQ(v.ntfs.OtherLinks().size(), 1u);
  EXPECT_EQ(v.ntfs.OtherLinks()[0]->name, u"second.txt");
  EXPECT_EQ(v.ntfs.OtherLinks()[0]->parent, 77u);
}

TEST(RecordToEntryTest, RejectsWhatCannotBeAFile) {
  Volume v;
  auto base = [] {
    RecordBuilder b;
    b.Resident(kAttrStandardInformation, u"", Bytes(0x48));
    return b;
  };
  RecordBuilder farRunlist = base();
  farRunlist.Resident(kAttrFileName, u"", FileNameValue(5, kNamespaceWin32, u"x", 100))
      .NonResident(kAttrData, u"", 0, 100, TenClustersAt200(), 0x101);
  EXPECT_FALSE(Convert(v, farRunlist).ok);

  RecordBuilder empty = base();
  empty.Resident(kAttrFileName, u"", FileNameValue(5, kNamespaceWin32, u"empty.txt", 0)).Resident(kAttrData, u"", {});
  EXPECT_TRUE(Convert(v, empty, 50).ok);    // listed where the MFT holds it
  EXPECT_FALSE(Convert(v, empty, 500).ok);  // noise when found in free space

  RecordBuilder dot = base();
  dot.Resident(kAttrFileName, u"", FileNameValue(5, kNamespaceWin32, u".", 0, kAttributeFolder));
  EXPECT_FALSE(Convert(v, dot).ok);

  RecordBuilder huge = base();
  huge.Resident(kAttrFileName, u"", FileNameValue(5, kNamespaceWin32, u"huge", uint64_t{1} << 45))
      .NonResident(kAttrData, u"", 0, uint64_t{1} << 45, TenClustersAt200());
  EXPECT_FALSE(Convert(v, huge).ok);

  // No $STANDARD_INFORMATION: an extension record, kept for later when asked to.
  RecordBuilder extension;
  extension.Resident(kAttrFileName, u"", FileNameValue(5, kNamespaceWin32, u"x", 10));
  EXPECT_FALSE(Convert(v, extension, 50, true).ok);
  EXPECT_EQ(v.ntfs.KeptRecordCount(), 1u);

  // A torn record (a sector end that does not carry the sequence number) is rejected.
  Bytes torn = base().Resident(kAttrFileName, u"", FileNameValue(5, kNamespaceWin32, u"t", 1)).OnDisk();
  torn[1022] ^= std::byte{1};
  FileEntry e;
  std::u16string name;
  EXPECT_FALSE(v.ntfs.RecordToEntry(torn, e, name, 50, 7, false));
}

TEST(RunlistTest, WideFieldsSignedOffsetsAndSparseRuns) {
  // 0x48: 8-byte length, 4-byte offset; then 0x11 with offset 0xFF (back by one); then a
  // sparse run; then a run adjacent on disk to the second.
  const Bytes runs = {std::byte{0x48}, std::byte{2}, std::byte{0},    std::byte{0}, std::byte{0},
                      std::byte{0},    std::byte{0}, std::byte{0},    std::byte{0}, std::byte{0},
                      std::byte{0},    std::byte{0}, std::byte{1},     // length 2 at LCN 0x1000000
                      std::byte{0x11}, std::byte{3}, std::byte{0xFF},  // 3 at LCN 0xFFFFFF
                      std::byte{0x01}, std::byte{5},                   // 5 sparse
                      std::byte{0x11}, std::byte{4}, std::byte{3},     // 4 at LCN 0x1000002
                      std::byte{0}};
  std::vector<DataRun> decoded;
  size_t used = 0;
  ASSERT_TRUE(DecodeRunlist(runs, 0, decoded, 1 << 20, &used));
  EXPECT_EQ(used, runs.size() - 1);
  ASSERT_EQ(decoded.size(), 4u);
  EXPECT_EQ(decoded[0].lcn, 0x1000000u);
  EXPECT_EQ(decoded[1].lcn, 0xFFFFFFu);
  EXPECT_TRUE(decoded[2].sparse);
  EXPECT_EQ(decoded[3].lcn, 0x1000002u);
  EXPECT_EQ(CountAllocatedClusters(decoded), 9u);
  EXPECT_EQ(FirstRunLcn(decoded), 0x1000000u);
  // Sparse runs occupy virtual clusters: VCN 10 is the first cluster after the hole.
  EXPECT_EQ(MapVcn(decoded, 10).lcn, 0x1000002u);
  EXPECT_TRUE(MapVcn(decoded, 6).sparse);
  // The run at 0xFFFFFF continues on disk into the one at 0x1000002? No: 0xFFFFFF + 3.
  EXPECT_EQ(MapVcn(decoded, 2).contiguous, 3u);
  EXPECT_EQ(MapVcn(decoded, 14).contiguous, 0u);

  // Damaged lists end without reading past their span.
  for (Bytes bad : {Bytes{std::byte{0x19}, std::byte{1}}, Bytes{std::byte{0x11}, std::byte{1}},
                    Bytes{std::byte{0x11}, std::byte{0}, std::byte{1}, std::byte{0}},
                    Bytes{std::byte{0x11}, std::byte{1}, std::byte{0x80}, std::byte{0}}}) {
    EXPECT_FALSE(DecodeRunlist(bad, 0, decoded));
  }
}

TEST(FreeClusterPercentTest, CountsWholeBytesOnlyFromAlignedClusters) {
  Volume v;
  // 200 clusters from LCN 3 (unaligned start), cluster 100 onwards free except 150.
  v.MarkUsed(150);
  std::vector<DataRun> runs{{0, 3, 200, false}};
  // Clusters 3-99 in use (97), 150 in use: 102 free of 200.
  EXPECT_EQ(v.ntfs.FreeClusterPercent(runs), 51u);
  v.geometry.allocationMap.clear();
  EXPECT_EQ(v.ntfs.FreeClusterPercent(runs), 110u);
}

}  // namespace
}  // namespace torvane::ntfs
