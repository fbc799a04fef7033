// A volume formatted again over a full one: only the search of the free space (or of the
// whole volume) finds the old files, and their intact ones come back byte-identical.
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "app/workspace.h"
#include "fs/ntfs/mft_walk.h"
#include "fs/ntfs/ntfs_scan_family.h"
#include "fs/ntfs/ntfs_tree.h"
#include "fs/open_volume.h"
#include "recovery/recovery_writer.h"
#include "scan/scan_driver.h"
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
  std::ifstream in(test::DataPath(fixture + "/old-files.tsv"));
  std::string line;
  std::getline(in, line);
  std::vector<OldFile> files;
  while (std::getline(in, line)) {
    std::stringstream ss(line);
    OldFile f;
    std::string size, record, intact;
    std::getline(ss, f.path, '\t');
    std::getline(ss, size, '\t');
    std::getline(ss, f.sha, '\t');
    std::getline(ss, record, '\t');
    std::getline(ss, intact, '\t');
    f.size = std::stoull(size);
    f.record = std::stoull(record);
    f.intact = intact == "yes";
    files.push_back(f);
  }
  return files;
}

// `partitionSectors`: the volume is opened as the volume list opens it, bounded by its
// partition entry (0: by its boot sector). `recover`: the old clusters are where the new
// volume's cluster numbers say (the old volume started at the same sector).
void CheckOldFilesFound(const std::string& fixture, bool reverse, uint64_t partitionSectors, bool recover) {
  Workspace ws;
  OpenVolumeRequest r;
  r.path = test::DataPath(fixture + "/" + fixture + ".vmdk");
  r.startSector = 2048;
  r.volumeSectors = partitionSectors;
  r.loadTables = true;
  ASSERT_EQ(OpenVolume(ws.source, ws.geometry, r), 1u);
  ws.store.Create();
  NtfsVolume volume(ws.source, ws.geometry);
  MftWalkControl control;
  ASSERT_TRUE(RunMftWalk(volume, ws.store, control).ok);
  const uint64_t walked = EntryCount(ws.store.deletedEntries);
  NtfsScanFamily family(volume, ws.store);
  ScanDriver driver(ws.source, ws.geometry, ws.store, family);
  driver.reverse = reverse;
  driver.ScanCommand();
  driver.Wait();
  ASSERT_TRUE(driver.finished);
  const DynList& list = ws.store.deletedEntries;
  ASSERT_GT(EntryCount(list), walked);

  const NtfsTree tree(list);
  recovery::ReaderContext reader{ws.source, ws.geometry, &volume};
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
    std::string path;
    for (auto c : tree.PathComponents(static_cast<uint64_t>(at))) path += (path.empty() ? "" : "/") + ToUtf8(c);
    EXPECT_EQ(path, f.path);
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
  CheckOldFilesFound("reformatted", false, 0, true);
}
TEST(ReformattedScanTest, WholeVolumeSearchFindsThemToo) { CheckOldFilesFound("reformatted", true, 0, true); }

// An odd-sized partition whose old volume started one sector later: the old records lie at
// odd sectors, off the new volume's cluster and record grid, and the whole-volume search
// reads pieces that start at odd sectors. Both searches still find every old record.
TEST(ReformattedScanTest, OddSizedPartitionOldRecordsOffTheGrid) {
  CheckOldFilesFound("reformatted-odd", false, 45057, false);
  CheckOldFilesFound("reformatted-odd", true, 45057, false);
}

}  // namespace
}  // namespace torvane::ntfs
