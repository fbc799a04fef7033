// A small NTFS volume laid out in memory, record by record: MFT runlists a real formatter
// never writes (a huge run, the same clusters named again), extension records that are not
// the file's, and parent references whose folder record was reused.
#include <gtest/gtest.h>

#include <map>

#include "disk/vdisk/virtual_disk.h"
#include "fs/ntfs/mft_walk.h"
#include "fs/ntfs/ntfs_tree.h"
#include "fs/ntfs/record_builder.h"
#include "util/text.h"

namespace torvane::ntfs {
namespace {

constexpr uint64_t kClusters = 64;  // of 4 KiB
constexpr uint64_t kMftCluster = 4;

// Records go to the MFT at cluster 4 by their numbers; record 0 is $MFT with the runlist
// given. Clusters 0-19 are in use.
struct MemoryVolume {
  Bytes image = Bytes(kClusters * 4096);
  DiskSource source;
  VolumeGeometry geometry;

  explicit MemoryVolume(const Bytes& mftRuns) {
    geometry.fsKind = FsKind::kNtfs;
    geometry.sectorsPerCluster = 8;
    geometry.clusterCount = kClusters - 1;
    geometry.mftRecordBytes = 1024;
    geometry.mftCluster = kMftCluster;
    geometry.mftStartSector = kMftCluster * 8;
    geometry.allocationMap.assign(kClusters / 8, 0);
    for (int c = 0; c < 20; ++c) geometry.allocationMap[c / 8] |= 1 << (c % 8);
    RecordBuilder mft;
    mft.Number(0)
        .Resident(kAttrStandardInformation, u"", Bytes(0x48))
        .Resident(kAttrFileName, u"", FileNameValue(5, kNamespaceWin32, u"$MFT", 16384))
        .NonResident(kAttrData, u"", 0, 16384, mftRuns);
    Put(0, mft);
  }
  void Put(uint32_t number, RecordBuilder& b) {
    const Bytes r = b.Number(number).OnDisk();
    std::copy(r.begin(), r.end(), image.begin() + static_cast<std::ptrdiff_t>(kMftCluster * 4096 + number * 1024));
  }
  // Opens the image and walks the MFT: the entries by path.
  std::multimap<std::string, FileEntry> Walk(ItemStore& store, MftWalkResult* result = nullptr,
                                             MftWalkControl* control = nullptr) {
    std::string error;
    EXPECT_TRUE(
        source.OpenDisk(vdisk::VirtualDisk::FromRawBytes(std::make_unique<vdisk::MemorySource>(
                            std::vector<uint8_t>(reinterpret_cast<const uint8_t*>(image.data()),
                                                 reinterpret_cast<const uint8_t*>(image.data()) + image.size()))),
                        0, error))
        << error;
    store.Create();
    NtfsVolume volume(source, geometry);
    MftWalkControl own;
    const MftWalkResult r = RunMftWalk(volume, store, control != nullptr ? *control : own);
    EXPECT_TRUE(r.ok) << r.error;
    if (result != nullptr) *result = r;
    std::multimap<std::string, FileEntry> byPath;
    const NtfsTree tree(store.deletedEntries);
    for (uint64_t i = 0; i < EntryCount(store.deletedEntries); ++i) {
      std::string path;
      for (auto part : tree.PathComponents(i)) path += (path.empty() ? "" : "/") + ToUtf8(part);
      byPath.emplace(path, EntryAt(store.deletedEntries, i));
    }
    return byPath;
  }
};

// 4 clusters (16 records) at LCN 4.
Bytes MftAtCluster4() {
  return {std::byte{0x11}, std::byte{4}, std::byte{4}, std::byte{0}};
}

RecordBuilder File(uint64_t parent, const std::u16string& name, uint16_t flags = MftRecordHeader::kInUse) {
  RecordBuilder b;
  b.Flags(flags)
      .Resident(kAttrStandardInformation, u"", Bytes(0x48))
      .Resident(kAttrFileName, u"", FileNameValue(parent, kNamespaceWin32, name, 10))
      .Resident(kAttrData, u"", Bytes(10));
  return b;
}

RecordBuilder Folder(uint64_t parent, const std::u16string& name, uint16_t sequence, bool inUse) {
  RecordBuilder b;
  b.Flags(inUse ? MftRecordHeader::kInUse | MftRecordHeader::kDirectory : MftRecordHeader::kDirectory)
      .Sequence(sequence)
      .Resident(kAttrStandardInformation, u"", Bytes(0x48))
      .Resident(kAttrFileName, u"", FileNameValue(parent, kNamespaceWin32, name, 0, kAttributeFolder));
  return b;
}

TEST(MemoryMftTest, AHugeMftRunEndsAtTheVolumesEnd) {
  // One run of 2^40 clusters from LCN 4 (6 bytes of length), then one starting past the end.
  MemoryVolume v({std::byte{0x16}, std::byte{0}, std::byte{0}, std::byte{0}, std::byte{0}, std::byte{0}, std::byte{1},
                  std::byte{4}, std::byte{0x21}, std::byte{1}, std::byte{0}, std::byte{1}, std::byte{0}});
  RecordBuilder f = File(5, u"a.txt");
  v.Put(16, f);
  ItemStore store;
  MftWalkControl control;
  uint64_t chunks = 0;
  control.progress = [&](uint32_t) {
    if (++chunks > 100) control.stop = true;  // a walk past the end would go on for days
  };
  MftWalkResult result;
  auto byPath = v.Walk(store, &result, &control);
  EXPECT_FALSE(result.stopped);
  EXPECT_EQ(result.records, (kClusters - kMftCluster) * 4);  // every record slot up to the end
  EXPECT_EQ(byPath.count("a.txt"), 1u);

  // The same cut on its own: a run reaching past the end is shortened, one beyond is dropped.
  std::vector<DataRun> runs{{0, 10, 100, false}, {100, 0, 5, true}, {105, 70, 5, false}};
  ClipRunsToVolume(runs, kClusters);
  ASSERT_EQ(runs.size(), 2u);
  EXPECT_EQ(runs[0].length, kClusters - 10);
  EXPECT_TRUE(runs[1].sparse);
}

TEST(MemoryMftTest, AnMftNamingItsClustersAgainListsEachFileOnce) {
  // The 4 clusters at LCN 4, named three times (deltas 0), then one cluster of them again.
  MemoryVolume v({std::byte{0x11}, std::byte{4}, std::byte{4}, std::byte{0x11}, std::byte{4}, std::byte{0},
                  std::byte{0x11}, std::byte{4}, std::byte{0}, std::byte{0x11}, std::byte{1}, std::byte{2},
                  std::byte{0}});
  RecordBuilder a = File(5, u"a.txt"), b = File(5, u"b.txt");
  v.Put(3, a);
  v.Put(15, b);
  ItemStore store;
  MftWalkResult result;
  auto byPath = v.Walk(store, &result);
  EXPECT_EQ(result.records, 16u);
  EXPECT_EQ(byPath.count("a.txt"), 1u);
  EXPECT_EQ(byPath.count("b.txt"), 1u);
}

// Record 6 is a file whose attribute list puts a second name and its data in record 7.
RecordBuilder FileWithExtension(uint16_t flags, uint16_t sequence) {
  RecordBuilder b;
  b.Flags(flags)
      .Sequence(sequence)
      .Resident(kAttrStandardInformation, u"", Bytes(0x48))
      .Resident(kAttrAttributeList, u"",
                AttributeList({{kAttrStandardInformation, 0, MakeReference(6, sequence)},
                               {kAttrFileName, 0, MakeReference(6, sequence)},
                               {kAttrFileName, 0, MakeReference(7, 2)},
                               {kAttrData, 0, MakeReference(7, 2)}}))
      .Resident(kAttrFileName, u"", FileNameValue(5, kNamespaceWin32, u"big.bin", 40000));
  return b;
}

RecordBuilder Extension(uint64_t base) {
  RecordBuilder b;
  b.Base(base)
      .Sequence(2)
      .Resident(kAttrFileName, u"", FileNameValue(5, kNamespacePosix, u"link.bin", 40000))
      .NonResident(kAttrData, u"", 0, 40000, {std::byte{0x11}, std::byte{10}, std::byte{30}, std::byte{0}});
  return b;
}

TEST(MemoryMftTest, ExtensionRecordsMustNameTheirFile) {
  struct Case {
    const char* what;
    uint16_t baseFlags, baseSequence;
    RecordBuilder seven;
    bool belongs;
    bool sevenIsAFile = false;
  };
  RecordBuilder intruder = File(5, u"intruder.txt");
  const Case cases[] = {
      {"its own extension", MftRecordHeader::kInUse, 9, Extension(MakeReference(6, 9)), true},
      {"deleted file: NTFS bumped the base's sequence", 0, 10, Extension(MakeReference(6, 9)), true},
      {"another file's base record in the freed slot", MftRecordHeader::kInUse, 9, intruder, false, true},
      {"an extension of the record's earlier file", MftRecordHeader::kInUse, 9, Extension(MakeReference(6, 8)), false},
      {"an extension of another file", MftRecordHeader::kInUse, 9, Extension(MakeReference(8, 9)), false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    MemoryVolume v(MftAtCluster4());
    RecordBuilder base = FileWithExtension(c.baseFlags, c.baseSequence);
    RecordBuilder seven = c.seven;
    v.Put(6, base);
    v.Put(7, seven);
    ItemStore store;
    auto byPath = v.Walk(store);
    ASSERT_EQ(byPath.count("big.bin"), 1u);
    const FileEntry big = byPath.find("big.bin")->second;
    EXPECT_EQ(byPath.count("link.bin"), c.belongs ? 1u : 0u);
    EXPECT_EQ(byPath.count("intruder.txt"), c.sevenIsAFile ? 1u : 0u);
    // The data runs come from the extension only when it is the file's.
    EXPECT_EQ(uint64_t{big.dataStart}, c.belongs ? 30u : kMftCluster + 1);
  }
}

TEST(MemoryMftTest, AFileWhoseFolderRecordWasReusedIsLost) {
  MemoryVolume v(MftAtCluster4());
  // Record 8 held folder "Old" (sequence 3); it was freed and now holds folder "New"
  // (sequence 5). Record 10 held folder "Gone", deleted (its sequence bumped from 6 to 7).
  RecordBuilder newFolder = Folder(5, u"New", 5, true);
  RecordBuilder gone = Folder(5, u"Gone", 7, false);
  RecordBuilder current = File(MakeReference(8, 5), u"current.txt");
  RecordBuilder orphan = File(MakeReference(8, 3), u"orphan.txt", 0);
  RecordBuilder inGone = File(MakeReference(10, 6), u"in-gone.txt", 0);
  RecordBuilder early = File(MakeReference(12, 2), u"before-its-folder.txt", 0);
  RecordBuilder later = Folder(5, u"Later", 4, true);
  v.Put(8, newFolder);
  v.Put(9, current);
  v.Put(10, gone);
  v.Put(11, orphan);
  v.Put(12, later);
  v.Put(13, inGone);
  v.Put(6, early);  // before the folder that reused its parent's record
  ItemStore store;
  auto byPath = v.Walk(store);
  EXPECT_EQ(byPath.count("New/current.txt"), 1u);
  EXPECT_EQ(byPath.count("Lost files/orphan.txt"), 1u);
  EXPECT_EQ(byPath.count("Gone/in-gone.txt"), 1u);
  EXPECT_EQ(byPath.count("Lost files/before-its-folder.txt"), 1u);
  // The folder listing of "New" holds only its own file.
  FileEntry folder, item;
  NtfsFolderCursor cursor = OpenNtfsFolder(store, 8, &folder);
  ASSERT_TRUE(NextNtfsItem(store, cursor, item));
  EXPECT_EQ(EntryName(store.deletedEntries, item), u"current.txt");
  EXPECT_FALSE(NextNtfsItem(store, cursor, item));
}

}  // namespace
}  // namespace torvane::ntfs
