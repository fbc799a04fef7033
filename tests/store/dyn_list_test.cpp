#include "store/dyn_list.h"

#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "store/allocation_limit.h"
#include "test_util.h"
#include "util/ui_port.h"

namespace torvane {
namespace {

bool HoldsBytes(const DynList& list, const std::vector<std::byte>& expected) {
  return list.used == expected.size() &&
         (expected.empty() || std::memcmp(list.buffer, expected.data(), expected.size()) == 0);
}

TEST(DynListTest, GrowsOnlyWhenTheAppendWouldEatIntoTheSpareBytes) {
  for (uint64_t gap : {uint64_t{137}, uint64_t{138}}) {
    DynList list;
    InitDynList(list, 1024, 8);
    const auto head = test::PatternBytes(1024 - gap, 1);
    ASSERT_TRUE(AddBinToDynList(list, head.data(), head.size()));
    FileEntry entry;
    ASSERT_TRUE(AddBinToDynList(list, &entry, sizeof entry));
    EXPECT_EQ(list.capacity, gap == 137 ? 1024u + 2 * 1024 : 1024u) << "gap " << gap;
    EXPECT_EQ(std::memcmp(list.buffer, head.data(), head.size()), 0);
  }
}

TEST(DynListTest, AppendsOfAnySizeFitAndKeepSpareBytes) {
  // Random lengths, including single appends many steps long: every append lands whole, the
  // capacity moves in whole double steps and 69 bytes always stay free.
  std::mt19937 rng(7);
  DynList list;
  InitDynList(list, 256, 3);
  std::vector<std::byte> mirror;
  for (int i = 0; i < 400; ++i) {
    const auto piece = test::PatternBytes(i % 50 == 0 ? 256 * 9 + rng() % 300 : rng() % 200, uint8_t(i));
    ASSERT_TRUE(AddBinToDynList(list, piece.data(), piece.size()));
    mirror.insert(mirror.end(), piece.begin(), piece.end());
    ASSERT_GT(list.capacity - list.used, kDynListSlack);
    ASSERT_EQ((list.capacity - 256) % 512, 0u);
  }
  EXPECT_TRUE(HoldsBytes(list, mirror));
  EXPECT_TRUE(AddBinToDynList(list, nullptr, 100));  // a null source adds nothing
  EXPECT_EQ(list.used, mirror.size());
}

TEST(DynListTest, StringListEndsInAnEmptyString) {
  DynList list;
  InitDynList(list, 16, 5);
  EXPECT_EQ(AddStringToDynList(list, u"a"), 0);
  EXPECT_EQ(AddStringToDynList(list, u"bc"), 4);
  EXPECT_EQ(list.used, 10u);
  EXPECT_EQ(list.lastString, 4);
  const char16_t expected[] = {u'a', 0, u'b', u'c', 0, 0};
  EXPECT_EQ(std::memcmp(list.buffer, expected, sizeof expected), 0);

  // A string longer than the step grows the list in one go and keeps what was there.
  const std::u16string longText(40, u'x');
  ASSERT_EQ(AddStringToDynList(list, longText), 10);
  EXPECT_EQ(std::u16string(reinterpret_cast<const char16_t*>(list.buffer + 10)), longText);
  EXPECT_EQ(std::memcmp(list.buffer, expected, 8), 0);
  EXPECT_EQ(reinterpret_cast<const char16_t*>(list.buffer + list.used)[0], 0);
}

TEST(DynListTest, AppendBlockGrowsByTheBlockRoundedToTheStep) {
  DynList list;
  InitDynList(list, 100, 8);
  const auto block = test::PatternBytes(250, 3), more = test::PatternBytes(150, 9);
  ASSERT_TRUE(AppendBlockToDynList(list, block.data(), block.size()));
  EXPECT_EQ(list.capacity, 100u + 250 + 50);
  ASSERT_TRUE(AppendBlockToDynList(list, more.data(), more.size()));
  EXPECT_EQ(list.capacity, 400u);  // 400 bytes fit exactly: no growth
  auto all = block;
  all.insert(all.end(), more.begin(), more.end());
  EXPECT_TRUE(HoldsBytes(list, all));
}

TEST(DynListTest, ReallocateBehaviour) {
  RecordingUiPort ui;
  EXPECT_EQ(Reallocate(nullptr, 0, true, &ui), nullptr);
  EXPECT_EQ(Reallocate(std::malloc(64), 0, false, &ui), nullptr);  // released, no message
  EXPECT_EQ(ui.Count(), 0u);

  void* block = Reallocate(nullptr, 32, false, &ui);
  ASSERT_NE(block, nullptr);
  std::memset(block, 0x5A, 32);
  {
    test::AllocationLimit limit(1024);
    EXPECT_EQ(Reallocate(block, 4096, true, &ui), nullptr);
    EXPECT_EQ(static_cast<unsigned char*>(block)[31], 0x5A);  // old block still valid
    EXPECT_EQ(Reallocate(nullptr, 4096, false, &ui), nullptr);
  }
  std::free(block);
  const auto messages = ui.Messages();
  ASSERT_EQ(messages.size(), 2u);
  EXPECT_EQ(messages[0].title, "Torvane");
  EXPECT_EQ(messages[0].text, "Memory allocation problem - cannot allocate memory by operating system (P1)");
  EXPECT_EQ(messages[1].text, "Memory allocation problem - cannot allocate memory by operating system (P2)");
}

TEST(DynListTest, FailedGrowthKeepsTheDataAndReportsOnce) {
  RecordingUiPort ui;
  DynList list;
  InitDynList(list, 1024, 8, &ui);
  FileEntry entry;
  uint64_t added = 0, nameBytes = 0;
  {
    test::AllocationLimit limit(1024);
    for (int i = 0; i < 40; ++i) {
      entry.recordNumber = added;
      if (AddEntry(list, entry, u"name" + std::u16string(1, char16_t(u'A' + i % 26)))) {
        ++added;
        nameBytes = list.names.Bytes();
      }
    }
    EXPECT_EQ(added, (1024 - 69) / 68);  // what fits before the first growth
    EXPECT_TRUE(list.failed);
    EXPECT_EQ(list.names.Bytes(), nameBytes);  // names of refused entries are not kept
    EXPECT_FALSE(AppendBlockToDynList(list, &entry, sizeof entry));
    EXPECT_EQ(AddStringToDynList(list, u"x"), -1);
  }
  // Even with memory back, the failed list refuses appends until it is created again.
  EXPECT_FALSE(AddBinToDynList(list, &entry, sizeof entry));
  EXPECT_EQ(ui.Count(), 1u);
  EXPECT_EQ(ui.CountText(kReallocateKeepFailed), 1u);
  ASSERT_EQ(EntryCount(list), added);
  for (uint64_t i = 0; i < added; ++i) {
    EXPECT_EQ(uint64_t{EntryAt(list, i).recordNumber}, i);
    EXPECT_EQ(EntryName(list, EntryAt(list, i)).substr(0, 4), u"name");
  }
  InitDynList(list, 1024, 8, &ui);
  EXPECT_TRUE(AddEntry(list, entry, u"again"));
}

TEST(DynListTest, HostileLengthsFailWithoutTouchingMemory) {
  RecordingUiPort ui;
  DynList list, block;
  InitDynList(list, 1024, 8, &ui);
  InitDynList(block, 1024, 8, &ui);
  const auto head = test::PatternBytes(100, 2);
  ASSERT_TRUE(AddBinToDynList(list, head.data(), head.size()));
  // The source is never read: the growth is refused before the copy.
  EXPECT_FALSE(AddBinToDynList(list, head.data(), UINT64_MAX - 10));
  EXPECT_TRUE(HoldsBytes(list, head));
  EXPECT_FALSE(AppendBlockToDynList(block, head.data(), kMaxAllocation + 1));
  EXPECT_EQ(ui.CountText(kReallocateKeepFailed), 1u);
  EXPECT_EQ(ui.CountText(kReallocateNewFailed), 1u);  // block's first buffer
}

TEST(DynListTest, EntriesAndTheirNames) {
  DynList list;
  InitDynList(list, 512, 8);  // small step: the buffer moves several times
  auto nameOf = [](uint32_t i) { return i % 10 ? u"f" + std::u16string(i % 7 + 1, u'z') : u""; };
  for (uint32_t i = 0; i < 200; ++i) {
    FileEntry e;
    e.recordNumber = i;
    e.SetParentRecord((uint64_t{0xABCD} << 32) | i);
    ASSERT_TRUE(AddEntry(list, e, nameOf(i)));
  }
  ASSERT_EQ(EntryCount(list), 200u);
  for (uint32_t i = 0; i < 200; ++i) {
    const FileEntry e = EntryAt(list, i);
    EXPECT_EQ(uint64_t{e.recordNumber}, i);
    EXPECT_EQ(e.ParentRecord(), (uint64_t{0xABCD} << 32) | i);
    EXPECT_EQ(e.HasName(), i % 10 != 0);
    EXPECT_EQ(EntryName(list, e), nameOf(i));
  }
  FileEntry changed = EntryAt(list, 5);
  changed.mark = 1;
  SetEntryAt(list, 5, changed);
  SetEntryAt(list, 200, changed);  // beyond the list: ignored
  EXPECT_EQ(int{EntryAt(list, 5).mark}, 1);
  EXPECT_EQ(EntryCount(list), 200u);
  EXPECT_EQ(uint64_t{EntryAt(list, 200).recordNumber}, 0u);

  const FileEntry named = EntryAt(list, 1);
  ReleaseEntryNames(list);
  EXPECT_EQ(uint32_t{EntryAt(list, 1).name}, 0u);
  EXPECT_EQ(EntryName(list, named), u"");  // an old reference names nothing
}

TEST(DynListTest, NameReferencesAndTheirBounds) {
  NameStore names;
  EXPECT_EQ(names.Add(u""), 0u);
  const uint32_t a = names.Add(u"alpha");
  const uint32_t b = CopyName(names, u"b\u00e9ta");
  EXPECT_GE(a, kFirstNameRef);
  EXPECT_EQ(names.Get(a), u"alpha");
  EXPECT_EQ(names.Get(b), u"b\u00e9ta");
  for (uint32_t none : {0u, 1u, b + 100, 0xFFFFFFFFu}) EXPECT_EQ(names.Get(none), u"");
  // A reference into the middle of a name (a damaged session) reads at most to the end.
  for (uint32_t r = 0; r < b + 8; ++r) EXPECT_LE(names.Get(r).size(), names.Bytes() / 2);

  const std::u16string huge(NameStore::kMaxNameUnits + 10, u'q');
  EXPECT_EQ(names.Get(names.Add(huge)).size(), NameStore::kMaxNameUnits);
  names.Truncate(b);
  EXPECT_EQ(names.Get(b), u"");
  EXPECT_EQ(names.Get(a), u"alpha");
  names.Clear();
  EXPECT_EQ(names.Get(a), u"");
}

TEST(DynListTest, NamesStayCompactAtFullListSize) {
  // A 16 MiB entry list filled to its first growth, with typical names: entry plus name must
  // stay within 160 bytes, arena slack included.
  DynList list;
  InitDynList(list, 16 * 1024 * 1024, 8);
  std::mt19937 rng(3);
  const uint64_t count = (list.capacity - kDynListSlack - 1) / 68;
  for (uint64_t i = 0; i < count; ++i)
    ASSERT_TRUE(AddEntry(list, {}, u"IMG_" + std::u16string(8 + rng() % 24, u'a' + i % 26)));
  EXPECT_EQ(list.capacity, 16u * 1024 * 1024);
  EXPECT_LE(double(list.capacity + list.names.CapacityBytes()) / double(count), 160.0);
}

}  // namespace
}  // namespace torvane
