// FAT12, FAT16 and FAT32 volumes made by mkfs.fat and mtools (tools/make_fat_fixtures.sh),
// read through the file-system road and compared with what the Sleuth Kit's fls lists and
// with the hashes of the files written.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <fstream>
#include <map>
#include <regex>
#include <set>

#include "fs/cluster_tree.h"
#include "fs/fat/assess.h"
#include "fs/fat/fat_file_system.h"
#include "fs/fat/lost_folders.h"
#include "fs/open_volume.h"
#include "fs/volume_fixture.h"
#include "partitions/disk_builder.h"
#include "recovery/content_reader.h"
#include "recovery/reader_sink.h"
#include "test_util.h"
#include "util/sha256.h"

namespace torvane::fat {
namespace {

using test::DataPath;
using test::EntryPath;
using test::FixtureVolume;

std::filesystem::path Disk(const std::string& name) {
  return DataPath("fat/" + name + ".vmdk");
}

// What fls lists and what must come back, for a disk; the snapshot holds the same volume as
// its parent.
std::filesystem::path Expected(const std::string& disk, const std::string& suffix) {
  return DataPath("fat/" + (disk == "fat32-snapshot" ? std::string("fat32-gpt") : disk) + suffix);
}

// The form in which fls and Torvane agree on a path: fls gives every deleted 8.3 name an
// "_" for its first character where Torvane gives IMG_ and DSC_ names their letter back,
// and fls puts the files of lost folders under $OrphanFiles where Torvane puts them in a
// folder named "#" and the cluster number.
std::string Comparable(std::string path, bool deleted) {
  path = std::regex_replace(path, std::regex("^#[0-9]{9}/"), "$$OrphanFiles/");
  if (!deleted) return path;
  const size_t slash = path.rfind('/');
  const size_t first = slash == std::string::npos ? 0 : slash + 1;
  if (first < path.size() && (path.compare(first, 3, "IMG") == 0 || path.compare(first, 3, "DSC") == 0))
    path[first] = '_';
  return path;
}

struct Listed {
  uint64_t index;
  FileEntry entry;
};

// Every entry of the walked (and scanned) volume by its comparable path and deleted flag.
std::map<std::pair<std::string, bool>, Listed> ListVolume(FixtureVolume& v) {
  std::map<std::pair<std::string, bool>, Listed> out;
  const auto tree = v.ws.fileSystem->MakeTree();
  const DynList& list = v.ws.store.deletedEntries;
  for (uint64_t i = 0; i < EntryCount(list); ++i) {
    const FileEntry e = EntryAt(list, i);
    const bool deleted = e.state != kStateExisting;
    out.emplace(std::make_pair(Comparable(EntryPath(*tree, i), deleted), deleted), Listed{i, e});
  }
  return out;
}

std::string Sha256Of(FixtureVolume& v, const FileEntry& e) {
  ReaderContext ctx = v.Reader();
  recovery::MemorySink sink;
  const ReadOutcome outcome = recovery::ReadItemContent(ctx, e, sink);
  if (!outcome.ok) return "unreadable: " + outcome.error;
  Sha256 sha;
  sha.Update(sink.Bytes());
  return sha.HexDigest();
}

// The entry listed at `path`. fls cuts names of more than about 230 bytes: a path whose last
// name is that long matches the listed path it begins.
const Listed* Lookup(const std::map<std::pair<std::string, bool>, Listed>& listed, const std::string& path,
                     bool deleted) {
  const std::string want = Comparable(path, deleted);
  auto it = listed.find({want, deleted});
  if (it != listed.end()) return &it->second;
  if (want.size() - std::min(want.size(), want.rfind('/') + 1) < 200) return nullptr;
  for (const auto& [key, entry] : listed)
    if (key.second == deleted && key.first.starts_with(want)) return &entry;
  return nullptr;
}

class FatVolumeTest : public ::testing::TestWithParam<std::string> {};

TEST_P(FatVolumeTest, ListsEveryPathFlsListsWithItsDeletedFlag) {
  FixtureVolume v(Disk(GetParam()));
  ASSERT_TRUE(v.ok()) << v.error;
  EXPECT_EQ(v.walk.foundWhere, "in the folders");
  ASSERT_EQ(v.Scan(false), ScanOutcome::kFinished);
  const auto listed = ListVolume(v);
  std::ifstream fls(Expected(GetParam(), ".fls.txt"));
  const std::regex line(R"(([-a-zA-Z])/([a-zA-Z]) (\* )?(\d+):\t(.*))");
  size_t compared = 0;
  for (std::string text; std::getline(fls, text);) {
    std::smatch m;
    ASSERT_TRUE(std::regex_match(text, m, line)) << text;
    const std::string path = m[5];
    if (m[2] == "v" || m[2] == "V" || path.ends_with("(Volume Label Entry)") || path == "$MBR") continue;
    const bool deleted = m[3].matched;
    EXPECT_NE(Lookup(listed, path, deleted), nullptr) << path << (deleted ? " (deleted)" : "");
    ++compared;
  }
  EXPECT_GT(compared, 20u);
}

TEST_P(FatVolumeTest, EveryFileAndEveryDeletedFileWithFreeClustersComesBackByteIdentical) {
  FixtureVolume v(Disk(GetParam()));
  ASSERT_TRUE(v.ok()) << v.error;
  ASSERT_EQ(v.Scan(false), ScanOutcome::kFinished);
  const auto listed = ListVolume(v);
  const auto rows = test::ReadTsv(Expected(GetParam(), ".files.tsv"), false);
  ASSERT_GT(rows.size(), 20u);
  for (const auto& row : rows) {
    const bool deleted = row[2] == "yes";
    const Listed* found = Lookup(listed, row[0], deleted);
    if (found == nullptr) {
      ADD_FAILURE() << "not listed: " << row[0];
      continue;
    }
    EXPECT_EQ(Sha256Of(v, found->entry), row[1]) << row[0];
    if (deleted) {
      EXPECT_LE(found->entry.state, kStateFoundInFreeSpace) << row[0];
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Disks, FatVolumeTest,
                         ::testing::Values(std::string("fat12-floppy"), std::string("fat16-mbr"),
                                           std::string("fat32-gpt"), std::string("fat32-snapshot")));

// The entry of a path on a walked volume.
FileEntry Find(FixtureVolume& v, const std::string& path, uint64_t* index = nullptr) {
  const auto tree = v.ws.fileSystem->MakeTree();
  const DynList& list = v.ws.store.deletedEntries;
  for (uint64_t i = 0; i < EntryCount(list); ++i) {
    if (EntryPath(*tree, i) != path) continue;
    if (index != nullptr) *index = i;
    return EntryAt(list, i);
  }
  ADD_FAILURE() << "no entry " << path;
  return {};
}

FatVolume& VolumeOf(FixtureVolume& v) {
  return dynamic_cast<FatFileSystem&>(*v.ws.fileSystem).Volume();
}

TEST(FatVolume, DeletedFat32FileFindsTheUpperHalfItsEntryLost) {
  FixtureVolume v(Disk("fat32-gpt"));
  ASSERT_TRUE(v.ok()) << v.error;
  const FileEntry e = Find(v, "_IGHWORD.JPG");
  EXPECT_GT(e.link, 0xFFFFu);
  EXPECT_EQ(e.kind, kKindNormal);
  EXPECT_EQ(e.state, kStateRecoverable);
  // The result is kept in the cluster cache: the second look gives the same cluster.
  EXPECT_GE(v.ws.store.fat32ClusterCache.used, 13u);
}

TEST(FatVolume, RootOfMoreThan512EntriesIsReadWhole) {
  FixtureVolume v(Disk("fat16-mbr"));
  ASSERT_TRUE(v.ok()) << v.error;
  EXPECT_EQ(Find(v, "R598.TXT").state, kStateExisting);
  EXPECT_NE(Find(v, "_600.TXT").state, kStateExisting);
}

TEST(FatVolume, AssessmentFallsWithTheShareOfClustersInUse) {
  FixtureVolume v(Disk("fat16-mbr"));
  ASSERT_TRUE(v.ok()) << v.error;
  FileEntry e = Find(v, "Documents/A deleted long name.bin");  // 2,500 bytes, 2 KiB clusters
  ASSERT_EQ(e.state, kStateFoundInFreeSpace);                  // no content check for .bin
  e.kind = kKindNormal;
  FatVolume& fat = VolumeOf(v);
  EXPECT_EQ(AssessEntry(fat, e, true, AssessView::kFull), kStateRecoverable);
  // The second of its two clusters taken by another file: half of it is left.
  StoreLeU16(
      MutableByteSpan(reinterpret_cast<std::byte*>(v.ws.geometry.fatTable.data()), v.ws.geometry.fatTable.size()),
      (e.link + 1) * 2, 0xFFFF);
  EXPECT_EQ(AssessEntry(fat, e, true, AssessView::kFull), 50);
  EXPECT_EQ(AssessEntry(fat, e, true, AssessView::kQuick), kStateFoundInFreeSpace);
}

TEST(FatVolume, CyclicChainsAndFoldersThatHoldTheirAncestorEnd) {
  FixtureVolume v(Disk("fat16-mbr"));
  ASSERT_TRUE(v.ok()) << v.error;
  const uint32_t documents = Find(v, "Documents").link;
  const uint32_t deep = Find(v, "Documents/Deep").link;
  const uint64_t before = v.walk.entries;
  auto fat =
      MutableByteSpan(reinterpret_cast<std::byte*>(v.ws.geometry.fatTable.data()), v.ws.geometry.fatTable.size());
  // Documents' chain comes back to itself; Deep's chain goes on into Documents, whose
  // entries name Deep again.
  StoreLeU16(fat, documents * 2, static_cast<uint16_t>(documents));
  StoreLeU16(fat, deep * 2, static_cast<uint16_t>(documents));
  std::vector<std::byte> bytes;
  ASSERT_TRUE(VolumeOf(v).ReadFolderBytes(documents, bytes));
  EXPECT_EQ(bytes.size(), VolumeOf(v).ClusterBytes());
  WalkSummary again;
  std::string error;
  ASSERT_TRUE(v.ws.fileSystem->Walk({}, again, error)) << error;
  EXPECT_GE(again.entries, before);
  EXPECT_LT(again.entries, before + 10);
  const auto tree = v.ws.fileSystem->MakeTree();
  for (uint64_t i = 0; i < EntryCount(v.ws.store.deletedEntries); ++i) EXPECT_LT(tree->PathComponents(i).size(), 8u);
}

TEST(FatVolume, LostFolderPlaceholdersAreKeyedOnTheWholeCluster) {
  FixtureVolume v(Disk("fat32-gpt"));
  ASSERT_TRUE(v.ok()) << v.error;
  EXPECT_EQ(ClusterFolderName(12345), u"#000012345");
  // Two lost folders whose parents share the lower 24 bits of their cluster.
  for (const uint32_t parent : {700u, 700u + (1u << 24)}) {
    FileEntry lost{};
    lost.link = 3000 + parent % 7;
    lost.parent = parent;
    lost.folderFlag = kFolderFlag;
    lost.state = 120;
    ASSERT_TRUE(v.ws.store.AppendEntryLocked(v.ws.store.deletedEntries, lost, u"lost"));
  }
  ASSERT_EQ(AddParentPlaceholders(VolumeOf(v)), 2u);
  EXPECT_EQ(AddParentPlaceholders(VolumeOf(v)), 0u);
  std::set<uint64_t> parents;
  for (uint64_t i = 0; i < EntryCount(v.ws.store.lostFiles); ++i) {
    const FileEntry p = EntryAt(v.ws.store.lostFiles, i);
    EXPECT_EQ(p.link, 0x110002BCu);
    EXPECT_EQ(p.state, kStatePlaceholder);
    parents.insert(uint64_t{p.recordNumber});
  }
  EXPECT_EQ(parents, (std::set<uint64_t>{700, 700 + (1u << 24)}));
}

TEST(FatVolume, FolderIsJudgedByItsEntriesNotByAnAccessDate) {
  // A FAT32 volume of one-sector clusters: the root (cluster 2) names CAMERA (cluster 3),
  // which begins with a photo's entry, no "." entries and no access date, as cameras write.
  test::DiskBuilder disk(4096);
  disk.Fat32Boot(0, 4096);
  for (const uint64_t fat : {32u, 96u}) {
    const auto s = disk.Span(fat);
    for (size_t c = 0; c < 4; ++c) StoreLeU32(s, c * 4, c == 0 ? 0x0FFFFFF8 : 0x0FFFFFFF);
  }
  std::memcpy(disk.Sector(160), "CAMERA     ", 11);
  disk.Sector(160)[11] = 0x10;
  StoreLeU16(disk.Span(160), 0x1A, 3);
  std::memcpy(disk.Sector(161), "PHOTO   JPG", 11);
  disk.Sector(161)[11] = 0x20;
  DiskSource source;
  VolumeGeometry g;
  OpenVolumeRequest r;
  r.loadTables = true;
  disk.Open(source);
  ASSERT_EQ(OpenVolume(source, g, r), 1u);
  ASSERT_EQ(g.fsKind, FsKind::kFat32);
  ItemStore store;
  std::string error;
  const auto fileSystem = OpenFileSystem(source, g, store, error);
  ASSERT_NE(fileSystem, nullptr) << error;
  WalkSummary walk;
  ASSERT_TRUE(fileSystem->Walk({}, walk, error)) << error;
  const auto tree = fileSystem->MakeTree();
  std::set<std::string> paths;
  for (uint64_t i = 0; i < EntryCount(store.deletedEntries); ++i) paths.insert(EntryPath(*tree, i));
  EXPECT_EQ(paths, (std::set<std::string>{"CAMERA", "CAMERA/PHOTO.JPG"}));
}

std::string Quote(const std::filesystem::path& p) {
  return "'" + p.string() + "'";
}

TEST(FatVolume, CommandLineListsAndRecoversFatAsNtfs) {
  std::string out;
  ASSERT_EQ(test::RunCli("ls " + Quote(Disk("fat12-floppy")) + " -v 0 --json --deleted", &out), 0) << out;
  EXPECT_NE(out.find(R"({"path":"IMG_0001.JPG","name":"IMG_0001.JPG","size":6000,"state":100,"kind":0,)"
                     R"("folder":false,"deleted":true,"record":0,"time":"2023-11-24T22:13:20Z"})"),
            std::string::npos)
      << out;
  test::TempDir dir;
  // Entries beyond 512 in a root lie at offsets with the bit NTFS uses for encryption.
  ASSERT_EQ(test::RunCli(
                "recover " + Quote(Disk("fat16-mbr")) + " -v 0 -o " + Quote(dir / "out") + " plain.txt R99.TXT", &out),
            0)
      << out;
  EXPECT_TRUE(std::filesystem::exists(dir / "out" / "R99.TXT")) << out;
  struct stat st {};
  ASSERT_EQ(::stat((dir / "out" / "plain.txt").c_str(), &st), 0);
  EXPECT_EQ(st.st_mtime, 1700000000 + 86400);  // the entry's write time
}

}  // namespace
}  // namespace torvane::fat
