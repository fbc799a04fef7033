#include "store/item_store.h"

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "store/allocation_limit.h"
#include "util/ui_port.h"

namespace torvane {
namespace {

std::u16string NameOf(uint32_t writer, uint32_t i) {
  std::u16string name = u"w";
  name += static_cast<char16_t>(u'0' + writer);
  for (char c : std::to_string(i)) name += static_cast<char16_t>(c);
  return name;
}

TEST(ItemStoreTest, CreatesTheNumberedListsWithoutCommittingMemory) {
  ItemStore store;
  store.Create();
  const std::pair<uint32_t, uint64_t> expected[] = {{3, 128 * kKiB}, {4, 16 * kKiB}, {5, 16 * kKiB}, {6, 16 * kKiB},
                                                    {7, 4 * kMiB},   {8, 16 * kMiB}, {9, 16 * kMiB}, {10, 256 * kKiB},
                                                    {11, 16 * kMiB}, {20, 2 * kMiB}};
  for (const auto& [id, size] : expected) {
    const DynList* list = store.List(id);
    ASSERT_NE(list, nullptr) << id;
    EXPECT_EQ(list->id, id);
    EXPECT_EQ(list->capacity, size) << id;
    EXPECT_EQ(list->step, size) << id;
    EXPECT_EQ(list->buffer, nullptr) << id;
  }
  EXPECT_EQ(store.List(8), &store.deletedEntries);
  EXPECT_EQ(store.List(14), nullptr);  // short-lived lists belong to their users
}

TEST(ItemStoreTest, AppendsKeepTheCountsAndReleaseClearsEverything) {
  RecordingUiPort ui;
  ItemStore store(&ui);
  store.Create();
  store.allocationMap.Resize(100);
  FileEntry e;
  e.state = kStateRecoverable;
  ASSERT_TRUE(store.AppendEntryLocked(store.deletedEntries, e, u"a.txt"));
  ASSERT_TRUE(store.AppendEntryLocked(store.deletedEntries, e, u"b.txt"));
  ASSERT_TRUE(store.AppendEntryLocked(store.rebuildEntries, e, u"c.txt"));
  ASSERT_TRUE(store.AppendEntryLocked(store.lostFiles, e, u""));
  EXPECT_EQ(store.deletedEntryCount, 2u);
  EXPECT_EQ(store.pendingRebuildCount, 1u);
  EXPECT_EQ(store.deletedCount, 0u);  // raised by the readers by their own rules

  store.Release();
  EXPECT_EQ(store.deletedEntries.buffer, nullptr);
  EXPECT_EQ(store.deletedEntries.names.CapacityBytes(), 0u);
  EXPECT_EQ(store.deletedEntryCount, 0u);
  EXPECT_EQ(store.allocationMap.size(), 0u);

  // Appending to a released list is refused and said once, however often it happens.
  EXPECT_FALSE(store.AppendEntryLocked(store.deletedEntries, e, u"late"));
  EXPECT_FALSE(AddBinToDynList(store.rawFiles, &e, sizeof e));
  EXPECT_EQ(ui.CountText(kAppendToNullList), 1u);
  EXPECT_EQ(store.MessageCount(kAppendToNullList), 2u);

  store.Create();
  EXPECT_TRUE(store.AppendEntryLocked(store.deletedEntries, e, u"again"));
}

TEST(ItemStoreTest, AllocationFailuresReachTheUserOnceAndAreCounted) {
  for (bool withUi : {true, false}) {
    RecordingUiPort ui;
    ItemStore store(withUi ? &ui : nullptr);
    store.Create();
    FileEntry e;
    test::AllocationLimit limit(300 * kKiB);  // room for list 10 (256 KiB), not for its growth
    uint64_t added = 0;
    while (store.AppendEntryLocked(store.lostFiles, e, u"lost")) ++added;
    EXPECT_EQ(added, (256 * kKiB - 69) / 68);
    EXPECT_FALSE(store.AppendEntryLocked(store.lostFiles, e, u"lost"));  // fails fast
    EXPECT_EQ(EntryName(store.lostFiles, EntryAt(store.lostFiles, added - 1)), u"lost");
    // Two more lists whose first buffers cannot be had: counted twice, shown once.
    EXPECT_FALSE(store.AppendEntryLocked(store.rawFiles, e, u"raw"));
    EXPECT_FALSE(AddBinToDynList(store.extensionRecords, &e, sizeof e));
    EXPECT_EQ(store.MessageCount(kReallocateKeepFailed), 1u);
    EXPECT_EQ(store.MessageCount(kReallocateNewFailed), 2u);
    EXPECT_EQ(ui.CountText(kReallocateNewFailed), withUi ? 1u : 0u);
    EXPECT_EQ(ui.Count(), withUi ? 2u : 0u);
  }
}

TEST(ItemStoreTest, ConcurrentAppendsUnderTheLocksWithAReader) {
  // Two writers append to the deleted-entries list and to the lost-files list (whose small
  // step makes it move often) while a reader walks both under the entry-list lock, as the
  // explorer's folder listing does. Every entry the reader sees must be whole and carry its
  // own name.
  ItemStore store;
  store.Create();
  constexpr uint32_t kPerWriter = 6000;
  std::atomic<bool> done{false};
  std::atomic<uint64_t> badReads{0};
  auto writer = [&](uint32_t w) {
    for (uint32_t i = 0; i < kPerWriter; ++i) {
      FileEntry e;
      e.recordNumber = (uint64_t{w} << 32) | i;
      e.size = i * 3 + w;
      store.AppendEntryLocked(i % 2 ? store.deletedEntries : store.lostFiles, e, NameOf(w, i));
    }
  };
  auto reader = [&] {
    uint64_t seen = 0;
    while (!done.load() || seen == 0) {
      std::lock_guard lock(store.entryListLock);
      for (DynList* list : {&store.deletedEntries, &store.lostFiles}) {
        const uint64_t n = EntryCount(*list);
        for (uint64_t k = n > 50 ? n - 50 : 0; k < n; ++k) {
          const FileEntry e = EntryAt(*list, k);
          const auto w = static_cast<uint32_t>(e.recordNumber >> 32);
          const auto i = static_cast<uint32_t>(e.recordNumber);
          if (e.size != uint64_t{i} * 3 + w || EntryName(*list, e) != NameOf(w, i)) ++badReads;
        }
        seen += n;
      }
    }
  };
  std::thread r(reader);
  std::thread w1(writer, 1), w2(writer, 2);
  w1.join();
  w2.join();
  done = true;
  r.join();
  EXPECT_EQ(badReads, 0u);
  EXPECT_EQ(EntryCount(store.deletedEntries), kPerWriter);
  EXPECT_EQ(EntryCount(store.lostFiles), kPerWriter);
  EXPECT_EQ(store.deletedEntryCount, kPerWriter);
  EXPECT_GT(store.lostFiles.capacity, kLostFilesSize);
  EXPECT_FALSE(store.lostFiles.failed);
}

TEST(AllocationMapTest, NibbleLayoutAndBounds) {
  AllocationMap map;
  ASSERT_TRUE(map.Resize(5));  // 5 + 2 clusters: 4 bytes, the last high nibble unused
  EXPECT_EQ(map.ClusterCount(), 7u);
  EXPECT_EQ(map.size(), 4u);
  map.MarkCluster(2, 1);
  map.MarkCluster(3, 0x12);  // only the low four bits count
  map.MarkCluster(3, 4);
  map.MarkCluster(6, 8);    // the last cluster the map covers
  map.MarkCluster(7, 0xF);  // beyond: ignored
  map.MarkCluster(UINT64_MAX, 0xF);
  EXPECT_EQ(map.data()[1], 0x61);
  EXPECT_EQ(map.data()[3], 0x08);
  EXPECT_EQ(map.Get(3), 6);
  EXPECT_EQ(map.Get(7), 0);

  // With an even number of clusters the last one is the high nibble of the last byte.
  ASSERT_TRUE(map.Resize(4));
  EXPECT_EQ(map.size(), 3u);
  EXPECT_EQ(map.Get(3), 0);  // resizing starts clear
  map.MarkCluster(5, AllocationMap::kAllocated);
  EXPECT_EQ(map.data()[2], 0x10);

  EXPECT_FALSE(map.Resize(AllocationMap::kMaxClusters + 1));
  EXPECT_EQ(map.size(), 0u);
}

TEST(AllocationMapTest, ConcurrentMarksOfNeighboursLoseNoBits) {
  // The file-system reader and the content detection mark clusters that share bytes.
  AllocationMap map;
  ASSERT_TRUE(map.Resize(20000));
  auto mark = [&](uint64_t parity, uint8_t bits) {
    for (uint64_t c = parity; c < map.ClusterCount(); c += 2) map.MarkCluster(c, bits);
  };
  std::thread a(mark, 0, 1), b(mark, 1, 2), c(mark, 0, 4);
  a.join();
  b.join();
  c.join();
  for (uint64_t cl = 0; cl < map.ClusterCount(); ++cl) ASSERT_EQ(map.Get(cl), cl % 2 == 0 ? 5 : 2) << cl;
}

}  // namespace
}  // namespace torvane
