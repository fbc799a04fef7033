// The MFT walk on volumes written by ntfs-3g, compared with what sleuthkit's fls lists, and
// the paths and folder listings built from it.
#include "fs/ntfs/mft_walk.h"

#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <regex>
#include <set>

#include "fs/ntfs/ntfs_tree.h"
#include "fs/volume_fixture.h"
#include "test_util.h"
#include "util/text.h"

namespace torvane::ntfs {
namespace {

// The NTFS volume of a disk, its MFT walked (and, when asked, the whole volume searched for
// records after it, as `scan --reverse` does), its entries by path.
struct Walked : test::FixtureVolume {
  std::map<std::string, FileEntry> byPath;  // "/"-separated from the volume root
  std::map<std::string, int> listed;        // how often each path is listed

  explicit Walked(const std::filesystem::path& disk, bool reverseScan = false) : FixtureVolume(disk) {
    EXPECT_TRUE(ok()) << error;
    if (!ok()) return;
    if (reverseScan) {
      EXPECT_EQ(Scan(true), ScanOutcome::kFinished);
    }
    const NtfsTree tree(ws.store.deletedEntries);
    for (uint64_t i = 0; i < EntryCount(ws.store.deletedEntries); ++i) {
      const std::string path = test::EntryPath(tree, i);
      byPath[path] = EntryAt(ws.store.deletedEntries, i);
      ++listed[path];
    }
  }
};

// fls lists each name once; so do the walk and, after it, the whole-volume search, which
// meets every record of the MFT again and must not list it twice.
class FlsComparison : public ::testing::TestWithParam<bool> {};

TEST_P(FlsComparison, ListsEveryNameFlsListsOnceWithItsPathAndState) {
  Walked w(test::DataPath("ntfs/ntfs.vmdk"), GetParam());
  ASSERT_TRUE(w.ok()) << w.error;
  std::ifstream fls(test::DataPath("ntfs/fls.txt"));
  const std::regex line(R"(^(\S+) (\* )?(\S+):\t(.*)$)");
  std::string text;
  size_t compared = 0;
  while (std::getline(fls, text)) {
    std::smatch m;
    ASSERT_TRUE(std::regex_match(text, m, line)) << text;
    const std::string path = m[4];
    const std::string name = path.substr(path.rfind('/') + 1);
    // fls knows no path for orphans, and lists named streams as names of their own.
    if (path.rfind("$OrphanFiles", 0) == 0 || name.find(':') != std::string::npos) continue;
    ++compared;
    auto it = w.byPath.find(path);
    ASSERT_NE(it, w.byPath.end()) << path;
    EXPECT_EQ(it->second.state != kStateExisting, m[2].matched) << path;
    if (!m[2].matched) {
      EXPECT_EQ(w.listed[path], 1) << path;
    }
  }
  EXPECT_GT(compared, 150u);
  // The files of a deleted folder whose record was taken by a new file are lost files.
  EXPECT_TRUE(w.byPath.count("Lost files/2019/Taxes/return.txt"));
  EXPECT_TRUE(w.byPath.count("Lost files/Backup/Deep/Deeper/core dump.txt"));
  // Sizes and states of a few known entries.
  const FileEntry deletedLog = w.byPath.at("Compressed/server.log");
  EXPECT_EQ(int{deletedLog.state}, 100);
  EXPECT_NE(deletedLog.attributes & kAttributeCompressed, 0u);
  EXPECT_EQ(int{w.byPath.at("Documents/notes/empty.txt").state}, kStateExisting);
  if (GetParam()) {
    EXPECT_EQ(EntryCount(w.ws.store.deletedEntries), w.walk.entries);
  }
}

INSTANTIATE_TEST_SUITE_P(MftWalkTest, FlsComparison, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool>& p) {
                           return p.param ? "ThenWholeVolumeSearch" : "WalkOnly";
                         });

TEST(MftWalkTest, SampleDiskListsItsDeletedFilesWithTheirPaths) {
  Walked w(test::SourcePath("samples/demo.vmdk"));
  ASSERT_TRUE(w.ok()) << w.error;
  size_t deleted = 0;
  for (const auto& row : test::ReadTsv(test::SourcePath("samples/demo-files.txt"))) {
    const std::string& path = row[0];
    const std::string& size = row[1];
    const std::string& isDeleted = row[3];
    auto it = w.byPath.find(path);
    ASSERT_NE(it, w.byPath.end()) << path;
    EXPECT_EQ(uint64_t{it->second.size}, std::stoull(size)) << path;
    EXPECT_EQ(it->second.state != kStateExisting, isDeleted == "yes") << path;
    deleted += isDeleted == "yes";
  }
  EXPECT_EQ(deleted, 15u);
  EXPECT_EQ(w.ws.store.deletedCount.load(), 16u);  // the 15 files and their folder
}

// "Explore files now" before the first record: the walk ends without an error.
TEST(MftWalkTest, StopBeforeTheFirstRecordIsNoError) {
  test::FixtureVolume opened(test::SourcePath("samples/demo.vmdk"), false);
  ASSERT_TRUE(opened.ok()) << opened.error;
  Workspace& ws = opened.ws;
  ws.store.Create();
  NtfsVolume volume(ws.source, ws.geometry);
  MftWalkControl control;
  control.stop = true;
  MftWalkResult stopped = RunMftWalk(volume, ws.store, control);
  EXPECT_TRUE(stopped.ok);
  EXPECT_TRUE(stopped.stopped);
  EXPECT_EQ(EntryCount(ws.store.deletedEntries), 0u);
}

// Entries made by hand: folder 10 under the root, a file in it, one whose parent is missing,
// and two folders that are each other's parent.
TEST(NtfsTreeTest, PathsEndAtTheRootAtLostFilesOrAtALoop) {
  ItemStore store;
  store.Create();
  auto add = [&](uint64_t record, uint64_t parent, const std::u16string& name, bool folder) {
    FileEntry e;
    e.recordNumber = record;
    e.SetParentRecord(parent);
    e.folderFlag = folder ? kFolderFlag : 0;
    e.attributes = folder ? kAttributeFolder : 0;
    store.AppendEntryLocked(store.deletedEntries, e, name);
  };
  add(10, 5, u"Docs", true);
  add(11, 10, u"a.txt", false);
  add(12, 99, u"orphan.txt", false);
  add(20, 21, u"loopA", true);
  add(21, 20, u"loopB", true);
  add(22, 20, u"inloop.txt", false);
  add(23, 11, u"under-a-file.txt", false);  // a file is never a parent
  const NtfsTree tree(store.deletedEntries);
  EXPECT_EQ(tree.BuildEntryPath(1), u"$:\\Docs\\a.txt");
  EXPECT_EQ(tree.BuildEntryPath(2), u"$:\\Lost files\\orphan.txt");
  EXPECT_EQ(tree.BuildEntryPath(5), u"$:\\Lost files\\loopB\\loopA\\inloop.txt");
  EXPECT_EQ(tree.BuildEntryPath(6), u"$:\\Lost files\\under-a-file.txt");
  std::vector<uint64_t> positions;
  tree.PathComponents(1, nullptr, &positions);
  EXPECT_EQ(positions, (std::vector<uint64_t>{0, 1}));

  // The listing of folder 10 returns its one child with its list offset.
  FileEntry folder, item;
  NtfsFolderCursor cursor = OpenNtfsFolder(store, 10, &folder);
  ASSERT_TRUE(NextNtfsItem(store, cursor, item));
  EXPECT_EQ(EntryName(store.deletedEntries, item), u"a.txt");
  EXPECT_EQ(item.link, kFileEntrySize);
  EXPECT_EQ(item.virtualFlag, 1);
  EXPECT_FALSE(NextNtfsItem(store, cursor, item));
  // All entries, whatever their folder.
  cursor = OpenNtfsFolder(store, kAllEntriesFolderId, &folder);
  int n = 0;
  while (NextNtfsItem(store, cursor, item)) ++n;
  EXPECT_EQ(n, 7);
}

}  // namespace
}  // namespace torvane::ntfs
