// exFAT fixture volumes (made by mkfs.exfat and exfat-fuse, tools/make_exfat_fixtures.sh)
// walked, scanned and recovered through the file-system road: every name the Sleuth Kit
// lists is listed with its path, and every file whose clusters are intact comes back
// byte-identical with its modification time, fragmented and NoFatChain files included.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <map>
#include <string>
#include <vector>

#include "fs/cluster_tree.h"
#include "fs/exfat/exfat_file_system.h"
#include "fs/volume_fixture.h"
#include "recovery/content_reader.h"
#include "recovery/recovery_writer.h"
#include "test_util.h"

namespace torvane::exfat {
namespace {

struct Expected {
  std::string path, sha;
  uint64_t size = 0, mtime = 0;
  std::string how;  // live, deleted, lost
  uint64_t atime = 0;
};

std::vector<Expected> ExpectedFiles(const std::string& disk) {
  std::vector<Expected> files;
  for (const auto& row : test::ReadTsv(test::DataPath("exfat/" + disk + ".files.tsv"), false))
    files.push_back({row[0], row[1], std::stoull(row[2]), std::stoull(row[3]), row[4], std::stoull(row[5])});
  return files;
}

struct FlsName {
  std::string path;
  bool deleted = false;
};

// The names `fls -r -p` listed, without the file system's own metadata and its orphans.
std::vector<FlsName> FlsNames(const std::string& disk) {
  std::vector<FlsName> names;
  for (const auto& row : test::ReadTsv(test::DataPath("exfat/" + disk + ".fls.txt"), false)) {
    if (row.size() < 2 || row[1].starts_with("$") || row[0].find('v') != std::string::npos ||
        row[0].find('V') != std::string::npos || row[1].find("(Volume Label Entry)") != std::string::npos)
      continue;
    names.push_back({row[1], row[0].find('*') != std::string::npos});
  }
  return names;
}

class ExfatFixtureTest : public ::testing::TestWithParam<const char*> {
 protected:
  std::string Disk() const { return GetParam(); }
  test::FixtureVolume Open() { return test::FixtureVolume(test::DataPath("exfat/" + Disk() + ".vmdk")); }
};

// Paths of the list's entries, and whether each is deleted.
std::multimap<std::string, uint64_t> Paths(const FileSystem& fs, const DynList& list) {
  std::multimap<std::string, uint64_t> paths;
  const auto tree = fs.MakeTree();
  for (uint64_t i = 0; i < EntryCount(list); ++i) paths.emplace(test::EntryPath(*tree, i), i);
  return paths;
}

TEST_P(ExfatFixtureTest, WalkListsEveryNameTheSleuthKitListsWithItsPath) {
  test::FixtureVolume v = Open();
  ASSERT_TRUE(v.ok()) << v.error;
  ASSERT_EQ(v.ws.geometry.fsKind, FsKind::kExfat);
  EXPECT_EQ(v.walk.foundWhere, "in the folders");
  const DynList& list = v.ws.store.deletedEntries;
  const auto paths = Paths(*v.ws.fileSystem, list);
  const auto names = FlsNames(Disk());
  ASSERT_GT(names.size(), 30u);
  for (const FlsName& n : names) {
    SCOPED_TRACE(n.path);
    bool found = false;
    for (auto [it, end] = paths.equal_range(n.path); it != end; ++it)
      found = found || ((EntryAt(list, it->second).state != kStateExisting) == n.deleted);
    EXPECT_TRUE(found);
  }
  EXPECT_EQ(EntryCount(list), names.size());  // nothing else (no label, bitmap or up-case entries)
}

TEST_P(ExfatFixtureTest, IntactFilesComeBackByteIdenticalWithTheirTimes) {
  test::FixtureVolume v = Open();
  ASSERT_TRUE(v.ok()) << v.error;
  const uint64_t walked = EntryCount(v.ws.store.deletedEntries);
  ASSERT_EQ(v.Scan(false), ScanOutcome::kFinished);
  const DynList& list = v.ws.store.deletedEntries;
  ASSERT_GT(EntryCount(list), walked);  // the folder found only in free space
  const auto paths = Paths(*v.ws.fileSystem, list);
  ReaderContext reader = v.Reader();
  test::TempDir out;
  recovery::RecoveryOptions options;
  options.outputFolder = out.path();
  options.computeDigest = true;
  options.blockDuplicates = false;
  recovery::RecoveryRun run(reader, options, nullptr);
  size_t checked = 0;
  for (const Expected& f : ExpectedFiles(Disk())) {
    SCOPED_TRACE(f.path);
    // Files of the lost folder lie under "Lost files/#<its cluster>/".
    int64_t at = -1;
    for (const auto& [path, index] : paths) {
      const bool match =
          f.how == "lost" ? path.starts_with("Lost files/#") && path.ends_with("/" + f.path) : path == f.path;
      if (match && (EntryAt(list, index).state == kStateExisting) == (f.how == "live"))
        at = static_cast<int64_t>(index);
    }
    ASSERT_GE(at, 0);
    const FileEntry e = EntryAt(list, static_cast<uint64_t>(at));
    EXPECT_EQ(uint64_t{e.size}, f.size);
    if (f.how != "live") {
      EXPECT_EQ(e.state, kStateRecoverable);
    }
    recovery::RecoveryItem item;
    item.entry = e;
    item.name = std::u16string(EntryName(list, e));
    const recovery::ItemReport report = run.Recover(item);
    ASSERT_EQ(report.result, recovery::ItemResult::kOk) << report.reason;
    EXPECT_EQ(report.sha256, f.sha);
    struct stat st {};
    ASSERT_EQ(::stat(report.output.c_str(), &st), 0);
    EXPECT_EQ(static_cast<uint64_t>(st.st_mtim.tv_sec), f.mtime);
    EXPECT_EQ(static_cast<uint64_t>(st.st_atim.tv_sec), f.atime);
    ++checked;
  }
  EXPECT_EQ(checked, ExpectedFiles(Disk()).size());
}

INSTANTIATE_TEST_SUITE_P(Disks, ExfatFixtureTest, ::testing::Values("exfat-mbr", "exfat-gpt"),
                         [](const ::testing::TestParamInfo<const char*>& disk) {
                           return std::string(disk.param == std::string("exfat-mbr") ? "Mbr4K" : "Gpt128K");
                         });

TEST(ExfatFixtureProbeTest, DeletedOneClusterFileAcceptedByItsCheckIsRecoverable) {
  test::FixtureVolume v(test::DataPath("exfat/exfat-mbr.vmdk"));
  ASSERT_TRUE(v.ok()) << v.error;
  const DynList& list = v.ws.store.deletedEntries;
  const auto paths = Paths(*v.ws.fileSystem, list);
  auto it = paths.find("old notes.txt");
  ASSERT_NE(it, paths.end());
  FileEntry e = EntryAt(list, it->second);
  ASSERT_LE(uint64_t{e.size}, 4096u);
  // Its cluster taken by a file the content detection found: only the check vouches for it.
  AllocationMap map;
  ASSERT_TRUE(map.Resize(v.ws.geometry.clusterCount));
  map.MarkCluster(e.link, 2);
  const ExVolume volume(v.ws.geometry, &map);
  EXPECT_EQ(volume.AssessExEntry(e), 0);
  EntrySet set;
  set.deleted = true;
  set.name = u"old notes.txt";
  set.firstCluster = e.link;
  set.dataLength = e.size;
  set.attributes = 0x20;
  auto fits = [](std::u16string_view, ByteSpan, uint64_t) { return ContentVerdict::kFits; };
  auto fails = [](std::u16string_view, ByteSpan, uint64_t) { return ContentVerdict::kDoesNotFit; };
  EXPECT_EQ(volume.MakeEntry(set, 4, fits).state, kStateRecoverable);
  e = volume.MakeEntry(set, 4, fails);
  EXPECT_EQ(e.kind, kKindPartlyOverwritten);
  EXPECT_EQ(e.state, 0);
  // A damaged entry whose first cluster is 1 reads nothing (not the FAT before the heap).
  ReaderContext reader = v.Reader();
  std::vector<std::byte> bytes;
  e.link = 1;
  EXPECT_FALSE(recovery::ReadItemToMemory(reader, e, e.size, bytes));
  e.link = static_cast<uint32_t>(v.ws.geometry.clusterCount + 1);
  EXPECT_FALSE(recovery::ReadItemToMemory(reader, e, e.size, bytes));
}

TEST(ExfatCliTest, LsRecoverAndScanWorkOnAnExfatVolume) {
  const std::string disk = test::DataPath("exfat/exfat-mbr.vmdk").string();
  std::string text;
  ASSERT_EQ(test::RunCli("ls " + disk + " -v 0 -r --deleted", &text), 0) << text;
  EXPECT_NE(text.find("trash/inner/IMG_0042.JPG"), std::string::npos) << text;
  EXPECT_EQ(text.find("docs/readme.txt"), std::string::npos);
  ASSERT_EQ(test::RunCli("ls " + disk + " -v 0 -r --deleted --scan", &text), 0) << text;
  EXPECT_NE(text.find("kept2.bin"), std::string::npos) << text;
  test::TempDir out;
  ASSERT_EQ(test::RunCli("recover " + disk + " -v 0 --all -o " + out.path().string(), &text), 0) << text;
  EXPECT_EQ(test::ReadFile(out.path() / "frag" / "a.bin").size(), 36987u) << text;
  EXPECT_TRUE(std::filesystem::exists(out.path() / "contig" / "one.bin")) << text;
}

}  // namespace
}  // namespace torvane::exfat
