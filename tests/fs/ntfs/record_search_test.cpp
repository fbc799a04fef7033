#include "fs/ntfs/record_search.h"

#include <gtest/gtest.h>

#include "fs/volume_fixture.h"
#include "test_util.h"

namespace torvane::ntfs {
namespace {

FileEntry Entry(uint64_t record, uint64_t size, bool folder = false) {
  FileEntry e;
  e.recordNumber = record;
  e.size = size;
  e.folderFlag = folder ? kFolderFlag : 0;
  e.attributes = folder ? kAttributeFolder : 0x20;
  e.state = 100;
  return e;
}

TEST(MergeRebuiltEntriesTest, DropsDuplicatesAmongThemselvesAndOfListedEntries) {
  ItemStore store;
  store.Create();
  store.AppendEntryLocked(store.deletedEntries, Entry(7, 100), u"listed.txt");
  auto pend = [&](FileEntry e, std::u16string name) { store.AppendEntryLocked(store.rebuildEntries, e, name); };
  pend(Entry(9, 50), u"a.txt");
  pend(Entry(9, 50), u"A.TXT");  // same record, name (case aside), attributes, size
  pend(Entry(9, 51), u"a.txt");  // another size: another version of the file
  pend(Entry(4, 0, true), u"Dir");
  pend(Entry(4, 0, true), u"dir");     // folders match whatever their size
  pend(Entry(7, 100), u"LISTED.txt");  // already in the list
  pend(Entry(7, 100), u"other.txt");
  EXPECT_EQ(store.pendingRebuildCount.load(), 7u);
  int refreshed = 0;
  EXPECT_EQ(MergeRebuiltEntries(store, [&] { ++refreshed; }), 4u);
  EXPECT_EQ(refreshed, 1);
  EXPECT_EQ(store.pendingRebuildCount.load(), 0u);
  EXPECT_EQ(EntryCount(store.rebuildEntries), 0u);
  ASSERT_EQ(EntryCount(store.deletedEntries), 5u);
  // Appended in record-number order, with their names.
  EXPECT_EQ(EntryName(store.deletedEntries, EntryAt(store.deletedEntries, 1)), u"Dir");
  EXPECT_EQ(EntryName(store.deletedEntries, EntryAt(store.deletedEntries, 4)), u"a.txt");
  EXPECT_EQ(MergeRebuiltEntries(store, [&] { ++refreshed; }), 0u);
  EXPECT_EQ(refreshed, 1);
}

TEST(RecordSearchTest, RecordsFoundAgainInDataAreNotListedTwice) {
  test::FixtureVolume v(test::SourcePath("samples/demo.vmdk"));
  ASSERT_TRUE(v.ok()) << v.error;
  Workspace& ws = v.ws;
  NtfsVolume& volume = *v.ntfs;
  const uint64_t walked = EntryCount(ws.store.deletedEntries);

  // The MFT's first run, searched as if it were free space, then merged.
  const DataRun run = volume.MftRuns().front();
  std::vector<std::byte> data(run.length * volume.ClusterBytes());
  ASSERT_EQ(ws.source.ReadSectors(data.data(), static_cast<uint32_t>(data.size() / 512),
                                  run.lcn * ws.geometry.sectorsPerCluster),
            1u);
  const uint64_t sector = run.lcn * ws.geometry.sectorsPerCluster;
  EXPECT_GE(ScanRunForRecords(volume, ws.store, data, sector, run.lcn, nullptr), walked);
  EXPECT_EQ(MergeRebuiltEntries(ws.store), 0u);
  EXPECT_EQ(EntryCount(ws.store.deletedEntries), walked);

  // Reverse mode's whole-volume search finds the same records and adds none of them: the
  // walk listed them already.
  EXPECT_EQ(ScanChunkForRecords(volume, ws.store, data, sector, nullptr), 0u);
  EXPECT_EQ(EntryCount(ws.store.deletedEntries), walked);

  // Free clusters: what the bitmap says, and the used ones are marked in the map.
  ws.store.allocationMap.Resize(ws.geometry.clusterCount);
  const uint64_t free = CountFreeClusters(volume, &ws.store.allocationMap);
  EXPECT_GT(free, 0u);
  EXPECT_LT(free, ws.geometry.clusterCount);
  EXPECT_EQ(ws.store.allocationMap.Get(0), AllocationMap::kAllocated);
  EXPECT_EQ(ws.store.allocationMap.Get(run.lcn), AllocationMap::kAllocated);
}

}  // namespace
}  // namespace torvane::ntfs
