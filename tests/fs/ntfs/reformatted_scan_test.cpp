// A volume formatted again over a full one: only the search of the free space (or of the
// whole volume) finds the old files, and their intact ones come back byte-identical.
#include <gtest/gtest.h>

#include "fs/ntfs/ntfs_tree.h"
#include "fs/volume_fixture.h"
#include "recovery/recovery_writer.h"
#include "test_util.h"
#include "util/text.h"

namespace torvane::ntfs {
namespace {

struct OldFile {
  std::string path, sha;
  uint64_t size = 0, record = 0;
  bool intact = false;
};

std::vector<OldFile> OldFiles(const std::string& fixture) {
  std::vector<OldFile> files;
  for (const auto& row : test::ReadTsv(test::DataPath(fixture + "/old-files.tsv")))
    files.push_back({row[0], row[2], std::stoull(row[1]), std::stoull(row[3]), row[4] == "yes"});
  return files;
}

// The volume is opened as the drive list opens it, bounded by its partition entry.
// `recover`: the old clusters are where the new volume's cluster numbers say (the old volume
// started at the same sector).
void CheckOldFilesFound(const std::string& fixture, bool reverse, bool recover) {
  test::FixtureVolume v(test::DataPath(fixture + "/" + fixture + ".vmdk"));
  ASSERT_TRUE(v.ok()) << v.error;
  Workspace& ws = v.ws;
  const uint64_t walked = EntryCount(ws.store.deletedEntries);
  ASSERT_EQ(v.Scan(reverse), ScanOutcome::kFinished);
  const DynList& list = ws.store.deletedEntries;
  ASSERT_GT(EntryCount(list), walked);

  const NtfsTree tree(list);
  ReaderContext reader = v.Reader();
  test::TempDir out;
  recovery::RecoveryOptions options;
  options.outputFolder = out.path();
  options.computeDigest = true;
  options.blockDuplicates = false;
  recovery::RecoveryRun run(reader, options, nullptr);
  size_t intactChecked = 0, intactExpected = 0, found = 0;
  for (const OldFile& f : OldFiles(fixture)) {
    SCOPED_TRACE(f.path);
    if (f.size == 0) continue;  // empty files found in free space are noise, not listed
    // The old file's entry: found beyond the MFT walk, with its record number and name.
    int64_t at = -1;
    for (uint64_t i = walked; i < EntryCount(list); ++i) {
      const FileEntry e = EntryAt(list, i);
      const std::string name = ToUtf8(EntryName(list, e));
      if (uint64_t{e.recordNumber} == f.record && f.path.size() >= name.size() &&
          f.path.compare(f.path.size() - name.size(), name.size(), name) == 0)
        at = static_cast<int64_t>(i);
    }
    EXPECT_GE(at, 0);
    if (at < 0) continue;
    ++found;
    const FileEntry e = EntryAt(list, static_cast<uint64_t>(at));
    EXPECT_EQ(uint64_t{e.size}, f.size);
    EXPECT_EQ(test::EntryPath(tree, static_cast<uint64_t>(at)), f.path);
    if (!f.intact || !recover) continue;
    ++intactExpected;
    recovery::RecoveryItem item;
    item.entry = e;
    item.name = std::u16string(EntryName(list, e));
    const recovery::ItemReport report = run.Recover(item);
    ASSERT_EQ(report.result, recovery::ItemResult::kOk) << report.reason;
    EXPECT_EQ(report.sha256, f.sha);
    ++intactChecked;
  }
  EXPECT_EQ(found, OldFiles(fixture).size() - 1);  // all but the empty one
  EXPECT_EQ(intactChecked, intactExpected);
  if (recover) {
    EXPECT_EQ(intactChecked, 23u);  // the 24 intact old files but the empty one
  }
}

TEST(ReformattedScanTest, FreeSpaceSearchFindsAndRecoversTheOldFiles) {
  CheckOldFilesFound("reformatted", false, true);
}
TEST(ReformattedScanTest, WholeVolumeSearchFindsThemToo) {
  CheckOldFilesFound("reformatted", true, true);
}

// An odd-sized partition whose old volume started one sector later: the old records lie at
// odd sectors, off the new volume's cluster and record grid, and the whole-volume search
// reads pieces that start at odd sectors. Both searches still find every old record.
TEST(ReformattedScanTest, OddSizedPartitionOldRecordsOffTheGrid) {
  CheckOldFilesFound("reformatted-odd", false, false);
  CheckOldFilesFound("reformatted-odd", true, false);
}

}  // namespace
}  // namespace torvane::ntfs
