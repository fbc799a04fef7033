// A scan saved halfway and continued from the session in a fresh workspace ends with the
// same lists as a scan that ran without a break.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <string>
#include <vector>

#include "fs/volume_fixture.h"
#include "session/session.h"
#include "test_util.h"

namespace torvane::session {
namespace {

// A list as a sorted set of (entry bytes without the name reference, name): a merge done at
// the save instead of at the end may order the rebuilt entries differently.
std::vector<std::pair<std::string, std::u16string>> Snapshot(const DynList& list) {
  std::vector<std::pair<std::string, std::u16string>> rows;
  for (uint64_t i = 0; i < EntryCount(list); ++i) {
    FileEntry e = EntryAt(list, i);
    std::u16string name(EntryName(list, e));
    e.name = 0;
    rows.emplace_back(std::string(reinterpret_cast<const char*>(&e), sizeof(e)), std::move(name));
  }
  std::sort(rows.begin(), rows.end());
  return rows;
}

// Counts the runs (or chunks) a scan reads; asks for a pause after `pauseAfter` of them.
void CountRuns(ScanDriver& d, std::atomic<uint64_t>& runs, uint64_t pauseAfter = 0) {
  d.contentDetection = [&d, &runs, pauseAfter](const RunDescriptor&) -> uint64_t {
    if (++runs == pauseAfter) {
      d.active = false;
      d.paused = true;  // the scan stops at the pause point after this run
    }
    return 0;
  };
}

SessionState DescribeVolume(const test::FixtureVolume& v) {
  SessionState state;
  session::DescribeVolume(v.ws.source, v.ws.geometry, nullptr, state);
  return state;
}

void CheckResumedScanMatches(bool reverse) {
  const auto disk = test::DataPath("reformatted/reformatted.vmdk");
  test::FixtureVolume whole(disk);
  ASSERT_TRUE(whole.ok()) << whole.error;
  std::atomic<uint64_t> allRuns{0};
  VolumeScanOptions options;
  options.reverse = reverse;
  options.prepare = [&](ScanDriver& d) { CountRuns(d, allRuns); };
  ASSERT_EQ(ScanFileSystem(whole.ws.source, whole.ws.geometry, whole.ws.store, *whole.ws.fileSystem, options).outcome,
            ScanOutcome::kFinished);
  ASSERT_GE(allRuns.load(), 2u);

  // The same scan paused halfway, saved while paused, and stopped.
  test::TempDir dir;
  const auto path = dir / "half.tqs";
  test::FixtureVolume first(disk);
  ASSERT_TRUE(first.ok()) << first.error;
  std::atomic<uint64_t> firstRuns{0};
  bool saved = false;
  std::string error;
  options.prepare = [&](ScanDriver& d) { CountRuns(d, firstRuns, allRuns / 2); };
  options.tick = [&](ScanDriver& d) {
    if (saved || !d.pausedNow) return;
    SessionState state;
    DescribeVolume(first.ws.source, first.ws.geometry, &first.ws.driveList.rows[0], state);
    saved = SaveScanSession(path, first.ws.store, &d, state, error);
    d.RequestStop();
  };
  ScanFileSystem(first.ws.source, first.ws.geometry, first.ws.store, *first.ws.fileSystem, options);
  ASSERT_TRUE(saved) << error;

  // A fresh workspace on the same disk loads it and continues.
  test::FixtureVolume second(disk);
  ASSERT_TRUE(second.ok()) << second.error;
  SessionState state;
  ASSERT_TRUE(LoadScanSession(path, second.ws.store, second.ws.source, second.ws.geometry, state, error)) << error;
  EXPECT_FALSE(ScanFinished(state));
  EXPECT_EQ(state.paused, 1u);
  std::atomic<uint64_t> secondRuns{0};
  options.tick = {};
  options.reverse = false;  // the session says so itself
  options.prepare = [&](ScanDriver& d) {
    ResumeScan(d, second.ws.store, state);
    CountRuns(d, secondRuns);
  };
  ASSERT_EQ(
      ScanFileSystem(second.ws.source, second.ws.geometry, second.ws.store, *second.ws.fileSystem, options).outcome,
      ScanOutcome::kFinished);
  EXPECT_EQ(firstRuns + secondRuns, allRuns);  // it went on where it stopped
  EXPECT_TRUE(Snapshot(second.ws.store.deletedEntries) == Snapshot(whole.ws.store.deletedEntries));
  EXPECT_TRUE(Snapshot(second.ws.store.lostFiles) == Snapshot(whole.ws.store.lostFiles));
  EXPECT_TRUE(Snapshot(second.ws.store.rawFiles) == Snapshot(whole.ws.store.rawFiles));
  EXPECT_EQ(second.ws.store.deletedCount.load(), whole.ws.store.deletedCount.load());
  const AllocationMap &mapA = whole.ws.store.allocationMap, &mapB = second.ws.store.allocationMap;
  if (mapA.size() == 0) {  // a reverse scan makes no map; a load sizes an empty one for the volume
    EXPECT_TRUE(std::all_of(mapB.data(), mapB.data() + mapB.size(), [](uint8_t b) { return b == 0; }));
  } else {
    ASSERT_EQ(mapB.size(), mapA.size());
    EXPECT_TRUE(std::equal(mapA.data(), mapA.data() + mapA.size(), mapB.data()));
  }
}

TEST(SessionScanTest, FreeSpaceScanSavedHalfwayContinuesToTheSameLists) {
  CheckResumedScanMatches(false);
}

TEST(SessionScanTest, ReverseScanSavedHalfwayContinuesToTheSameLists) {
  CheckResumedScanMatches(true);
}

TEST(SessionScanTest, RebuiltEntriesWaitingForTheMergeAreSaved) {
  test::TempDir dir;
  ItemStore store;
  store.Create();
  FileEntry e;
  e.recordNumber = 4242;
  e.state = kStateFoundInFreeSpace;
  e.SetParentRecord(5);
  ASSERT_TRUE(store.AppendEntryLocked(store.rebuildEntries, e, u"waiting.txt"));
  ASSERT_EQ(store.pendingRebuildCount.load(), 1u);
  std::string error;
  ASSERT_TRUE(SaveScanSession(dir / "s.tqs", store, nullptr, SessionState{}, error)) << error;
  LoadedSession loaded;
  ASSERT_TRUE(ReadSessionFile(dir / "s.tqs", 0, loaded, error)) << error;
  ASSERT_EQ(EntryCount(loaded.deletedEntries), 1u);
  EXPECT_TRUE(EntryName(loaded.deletedEntries, EntryAt(loaded.deletedEntries, 0)) == u"waiting.txt");
}

TEST(SessionScanTest, ALoadThatFailsLateLeavesTheStoreAsItWas) {
  test::TempDir dir;
  test::FixtureVolume a(test::DataPath("reformatted/reformatted.vmdk"));
  ASSERT_TRUE(a.ok()) << a.error;
  ASSERT_EQ(a.Scan(false), ScanOutcome::kFinished);
  std::string error;
  ASSERT_TRUE(SaveScanSession(dir / "a.tqs", a.ws.store, nullptr, DescribeVolume(a), error)) << error;
  // The name stream, read after the lists and the map, is damaged.
  auto file = test::ReadFile(dir / "a.tqs");
  uint32_t names = 0;
  std::memcpy(&names, file.data() + file.size() - kHeaderSize + 0x70, 4);
  file[names + 4] ^= 0xFF;  // the first chunk's flag byte
  test::WriteFile(dir / "a.tqs", file);
  test::FixtureVolume b(test::DataPath("reformatted/reformatted.vmdk"));
  ASSERT_TRUE(b.ok()) << b.error;
  const auto before = Snapshot(b.ws.store.deletedEntries);
  SessionState state;
  EXPECT_FALSE(LoadScanSession(dir / "a.tqs", b.ws.store, b.ws.source, b.ws.geometry, state, error));
  EXPECT_NE(error.find("invalid or not compatible"), std::string::npos) << error;
  EXPECT_TRUE(Snapshot(b.ws.store.deletedEntries) == before);
}

TEST(SessionScanTest, ASessionOfAnotherVolumeIsRefusedAndLoadsNothing) {
  test::TempDir dir;
  test::FixtureVolume a(test::DataPath("reformatted/reformatted.vmdk"));
  ASSERT_TRUE(a.ok()) << a.error;
  SessionState state;
  DescribeVolume(a.ws.source, a.ws.geometry, nullptr, state);
  std::string error;
  ASSERT_TRUE(SaveScanSession(dir / "a.tqs", a.ws.store, nullptr, state, error)) << error;
  test::FixtureVolume b(test::DataPath("reformatted-odd/reformatted-odd.vmdk"));
  ASSERT_TRUE(b.ok()) << b.error;
  const uint64_t before = EntryCount(b.ws.store.deletedEntries);
  EXPECT_FALSE(LoadScanSession(dir / "a.tqs", b.ws.store, b.ws.source, b.ws.geometry, state, error));
  EXPECT_NE(error.find("not for this volume"), std::string::npos) << error;
  EXPECT_EQ(EntryCount(b.ws.store.deletedEntries), before);
}

}  // namespace
}  // namespace torvane::session
