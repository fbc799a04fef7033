// The partition search on disks whose tables were damaged by real tools (zeroed MBR, zeroed
// GPT, a deleted logical volume, an overwritten volume start), and its state file.
#include "partitions/partition_search.h"

#include <gtest/gtest.h>

#include <map>

#include "fs/recognize_volume.h"
#include "partitions/disk_builder.h"
#include "util/text.h"

namespace torvane {
namespace {

struct Expected {
  std::string disk, fs, label, status;
  uint64_t start = 0, sectors = 0, fsSectors = 0;
};

std::vector<Expected> Manifest() {
  std::vector<Expected> rows;
  for (const auto& f : test::ReadTsv(test::DataPath("partsearch/MANIFEST.tsv"))) {
    Expected e{f[0], f[4], f[5], f[6]};
    e.start = std::stoull(f[1]);
    e.sectors = std::stoull(f[2]);
    e.fsSectors = std::stoull(f[3]);
    rows.push_back(e);
  }
  return rows;
}

SearchState Search(DiskSource& source, SearchMethod method) {
  SearchState state;
  state.diskSectors = source.diskSectors;
  state.method = method;
  PartitionSearch search(source, &RecognizeVolume, state);
  EXPECT_EQ(search.Run(), PartitionSearch::Outcome::kFinished);
  EXPECT_EQ(search.Percent(), 100u);
  return search.Snapshot();
}

TEST(PartitionSearchTest, DeepAndFastFindEveryVolumeOfTheDamagedDisks) {
  const auto manifest = Manifest();
  ASSERT_EQ(manifest.size(), 9u);
  for (const SearchMethod method : {SearchMethod::kDeep, SearchMethod::kFast}) {
    std::map<std::string, SearchState> results;
    std::map<std::string, VolumeList> tables;
    for (const auto& e : manifest) {
      SCOPED_TRACE(e.disk + " @" + std::to_string(e.start) + (method == SearchMethod::kFast ? " fast" : " deep"));
      if (!results.count(e.disk)) {
        DiskSource source;
        std::string error;
        ASSERT_TRUE(source.OpenSource(test::DataPath("partsearch/" + e.disk), 0, error)) << error;
        results[e.disk] = Search(source, method);
        BuildVolumeList(source, tables[e.disk], &RecognizeVolume);
      }
      const PartitionRecord* found = nullptr;
      for (const auto& r : results[e.disk].found)
        if (r.startSector == e.start) found = &r;
      ASSERT_NE(found, nullptr);
      EXPECT_EQ(ToUtf8(GetText(found->fsName)), e.fs);
      EXPECT_EQ(ToUtf8(GetText(found->label)), e.label);
      // The size the file system gives itself (NTFS leaves out its backup boot sector).
      EXPECT_EQ(test::Val(found->sectors), e.fsSectors);
      EXPECT_STREQ(StatusName(StatusOf(*found, tables[e.disk])), e.status.c_str());
    }
    // Nothing but the volumes the tools made: no backup boot sector counted as a volume.
    for (const auto& [disk, state] : results) {
      size_t expected = 0;
      for (const auto& e : manifest) expected += e.disk == disk;
      EXPECT_EQ(state.found.size(), expected) << disk;
    }
  }
}

TEST(PartitionSearchTest, AStoppedSearchSavedAndResumedEndsWithTheSameList) {
  const auto disk = test::DataPath("partsearch/zeroed-mbr.raw");
  DiskSource source;
  std::string error;
  ASSERT_TRUE(source.OpenSource(disk, 0, error)) << error;
  const SearchState whole = Search(source, SearchMethod::kDeep);

  SearchState start;
  start.diskSectors = source.diskSectors;
  start.sourceName = disk.u16string();
  PartitionSearch first(source, &RecognizeVolume, start);
  // Stopped as soon as the first volume is reported, from the searching thread.
  first.SetLog([&](const std::string& line) {
    if (line.find("detected at sector") != std::string::npos) first.Stop();
  });
  first.Start();
  ASSERT_EQ(first.Wait(), PartitionSearch::Outcome::kStopped);
  const SearchState stopped = first.Snapshot();
  EXPECT_LT(stopped.nextSector, source.diskSectors);

  test::TempDir dir;
  const auto file = dir / "search.tqsp";
  ASSERT_TRUE(SaveSearchState(file, stopped, OutputGuard(), error)) << error;
  ASSERT_TRUE(SaveSearchState(file, stopped, OutputGuard(), error)) << "a second save replaces the file: " << error;
  SearchState loaded;
  ASSERT_TRUE(LoadSearchState(file, loaded, error)) << error;
  EXPECT_EQ(loaded.nextSector, stopped.nextSector);
  EXPECT_EQ(loaded.sourceName, disk.u16string());
  EXPECT_TRUE(loaded.resuming);

  PartitionSearch second(source, &RecognizeVolume, loaded);
  second.Start();
  second.Pause();
  second.Resume();
  ASSERT_EQ(second.Wait(), PartitionSearch::Outcome::kFinished);
  const SearchState resumed = second.Snapshot();
  ASSERT_EQ(resumed.found.size(), whole.found.size());
  for (const auto& r : whole.found) {
    bool same = false;
    for (const auto& q : resumed.found) same |= std::memcmp(&q, &r, sizeof r) == 0;
    EXPECT_TRUE(same) << "volume at " << r.startSector;
  }
}

TEST(PartitionSearchTest, HostileStateFilesAreRefusedAndNamesTerminated) {
  SearchState state;
  state.diskSectors = 1000;
  state.nextSector = 10;
  state.sourceName = std::u16string(600, u'a');  // longer than the field: cut
  state.found.resize(2);
  auto bytes = SerializeSearchState(state);
  SearchState out;
  std::string error;
  ASSERT_TRUE(ParseSearchState(AsBytes(bytes.data(), bytes.size()), out, error)) << error;
  EXPECT_EQ(out.sourceName.size(), 511u);
  EXPECT_EQ(out.found.size(), 2u);

  // A count beyond the records present.
  auto forged = bytes;
  StoreLeU32({reinterpret_cast<std::byte*>(forged.data()), forged.size()}, 1048, 0xFFFFFFFF);
  EXPECT_FALSE(ParseSearchState(AsBytes(forged.data(), forged.size()), out, error));
  EXPECT_NE(error.find("claims"), std::string::npos);
  // A name without terminator and a record whose texts have none are read to the field's end.
  forged = bytes;
  std::memset(forged.data() + 4, 'b', kTqspNameBytes);
  std::memset(forged.data() + kTqspHeaderBytes + 33, 'c', 64);
  ASSERT_TRUE(ParseSearchState(AsBytes(forged.data(), forged.size()), out, error));
  EXPECT_EQ(out.sourceName.size(), 511u);
  EXPECT_EQ(GetText(out.found[0].fsName).size(), 31u);
  // A position past the disk, an unknown method, a wrong magic.
  for (const auto& [offset, value] : std::vector<std::pair<size_t, uint32_t>>{{1040, 5000}, {1036, 2}, {0, 0}}) {
    forged = bytes;
    StoreLeU32({reinterpret_cast<std::byte*>(forged.data()), forged.size()}, offset, value);
    EXPECT_FALSE(ParseSearchState(AsBytes(forged.data(), forged.size()), out, error)) << offset;
  }
}

TEST(PartitionSearchTest, EmptyDiskAndVolumesEndingBeforeTheSearchDoNotStallIt) {
  EXPECT_EQ(SearchPercent(0, 0), 100u);
  EXPECT_EQ(SearchPercent(50, 200), 25u);

  // NTFS boot sectors whose sizes lead before the disk's start or wrap past its end, a
  // backup-like sector 2 sectors in: the search moves on and ends.
  test::DiskBuilder disk(8192);
  disk.NtfsBoot(2, 0xFFFFFFFFFFFFFF00ull);
  disk.NtfsBoot(100, 5000);
  disk.NtfsBoot(4000, 3000);
  disk.Signature(4000);
  DiskSource source;
  disk.Open(source);
  for (const SearchMethod method : {SearchMethod::kDeep, SearchMethod::kFast}) {
    SearchState state;
    state.diskSectors = source.diskSectors;
    state.method = method;
    PartitionSearch search(source, &RecognizeVolume, state);
    EXPECT_EQ(search.Run(), PartitionSearch::Outcome::kFinished);
    EXPECT_EQ(search.Snapshot().nextSector, source.diskSectors);
  }
}

}  // namespace
}  // namespace torvane

namespace torvane {
namespace {

TEST(CliPartsearchTest, FoundVolumesAreListedAsJsonAndOpenWithV) {
  test::TempDir dir;
  const std::string disk = test::DataPath("partsearch/zeroed-gpt.raw").string(), state = (dir / "g.tqsp").string();
  std::string out;
  ASSERT_EQ(test::RunCli("partsearch " + disk + " --fast --json --save " + state, &out), 0) << out;
  EXPECT_NE(out.find(R"({"index":0,"start":75776,"sectors":16383,"fs":"NTFS","label":"ZGNTFS","status":"lost"})"),
            std::string::npos)
      << out;
  EXPECT_NE(out.find(R"("start":2048,"sectors":73710,"fs":"FAT32","label":"ZGFAT32","status":"lost")"),
            std::string::npos);
  ASSERT_EQ(test::RunCli("volumes " + disk + " --found " + state, &out), 0) << out;
  EXPECT_NE(out.find("ZGFAT32"), std::string::npos) << out;
  ASSERT_EQ(test::RunCli("ls " + disk + " -v " + state + ":0", &out), 0) << out;
  EXPECT_NE(out.find("$MFT"), std::string::npos) << out;
  EXPECT_EQ(test::RunCli("ls " + disk + " -v " + state + ":2", &out), 1);
  EXPECT_NE(out.find("no found volume 2"), std::string::npos) << out;
  // A state file of another disk is refused.
  EXPECT_EQ(
      test::RunCli("partsearch " + test::DataPath("partsearch/zeroed-mbr.raw").string() + " --resume " + state, &out),
      1);
  EXPECT_NE(out.find("belongs to a disk"), std::string::npos) << out;
}

}  // namespace
}  // namespace torvane
