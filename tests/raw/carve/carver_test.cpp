#include "raw/carve/carver.h"

#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "app/drive_list.h"
#include "app/workspace.h"
#include "fs/raw_file_system.h"
#include "fs/volume_fixture.h"
#include "raw/carve/carve_scan.h"
#include "raw/carve/dispatch.h"
#include "recovery/content_reader.h"
#include "test_util.h"
#include "util/sha256.h"
#include "util/text.h"

namespace torvane::carve {
namespace {

constexpr uint16_t kAmr = 1;  // no size probe, 50 MiB at most

// A disk of `sectors` sectors of random-looking bytes that start no header, carved in
// buffers of `bufferSectors`, forward or from the end.
struct MemoryDisk {
  std::vector<std::byte> bytes;
  ItemStore store;
  FileTypeCounters counters;
  explicit MemoryDisk(size_t sectors) : bytes(sectors * 512) {
    for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<std::byte>((i * 131 + 7) % 251);
    for (size_t s = 0; s < sectors; ++s) bytes[s * 512] = std::byte{0x07};
  }
  void Put(size_t sector, const std::string& data) { std::memcpy(&bytes[sector * 512], data.data(), data.size()); }
  std::vector<FileEntry> Carve(bool reverse, size_t bufferSectors) {
    store.Create();
    const size_t sectors = bytes.size() / 512;
    store.allocationMap.Resize(sectors);
    CarveOptions options;
    options.reverse = reverse;
    SectorReader read = [this, sectors](uint64_t s, uint32_t n, std::byte* out) {
      if (s + n > sectors) return false;
      std::memcpy(out, &bytes[s * 512], n * 512);
      return true;
    };
    Carver carver(read, sectors - 1, 0, 1, store, counters, options);
    carver.Begin();
    for (size_t k = 0; k < sectors; k += bufferSectors) {
      const size_t count = std::min(bufferSectors, sectors - k);
      const size_t first = reverse ? sectors - k - count : k;
      carver.CarveBuffer(ByteSpan(bytes).subspan(first * 512, count * 512), first);
    }
    carver.Finish();
    std::vector<FileEntry> items;
    for (uint64_t i = 0; i < EntryCount(store.rawFiles); ++i)
      if (EntryAt(store.rawFiles, i).state != kStateDuplicate) items.push_back(EntryAt(store.rawFiles, i));
    std::sort(items.begin(), items.end(), [](auto& a, auto& b) { return a.dataStart < b.dataStart; });
    return items;
  }
};

const std::string kAmrHeader = "#!AMR\n";

TEST(CarveDispatch, FillerSectorsAndSlots) {
  for (const std::string& head :
       {std::string("\xFF\xFF\xFF\xFF"), std::string("    "), std::string("\xAA\xAA\xAA\xAA"), std::string("UUUU"),
        std::string(8, '\0'), std::string("\x4D\x88\x09\x90\xB5\xB8\x32\xF0")}) {
    std::vector<std::byte> sector(512, std::byte{0x41});
    std::memcpy(sector.data(), head.data(), head.size());
    EXPECT_TRUE(IsFillerSector(sector)) << head;
  }
  std::vector<std::byte> jpeg(512, std::byte{0});
  jpeg[0] = std::byte{0xFF};
  jpeg[1] = std::byte{0xD8};
  ASSERT_EQ(CandidatesFor(jpeg).size(), 1u);
  EXPECT_EQ(CandidatesFor(jpeg)[0].entry, 65);
  EXPECT_TRUE(CandidatesFor(jpeg, false).empty());
}

// Items without a size probe: ended by the next header, or their maximum, or the disk's
// end; forward and reverse give the same sizes, also where the next header lies in another
// buffer; reverse numbers count down from 999,999,999.
TEST(Carver, PendingItemsForwardAndReverse) {
  MemoryDisk disk(300);
  disk.Put(10, kAmrHeader);
  disk.Put(13, kAmrHeader);   // the first is 3 sectors long
  disk.Put(62, kAmrHeader);   // ends at 130, in another buffer
  disk.Put(130, kAmrHeader);  // runs to the disk's end
  disk.Put(299, kAmrHeader);  // the last sector: one sector, not two
  const auto forward = disk.Carve(false, 64);
  const auto reverse = disk.Carve(true, 64);
  ASSERT_EQ(forward.size(), 5u);
  ASSERT_EQ(reverse.size(), 5u);
  const uint64_t sizes[] = {3 * 512, 49 * 512, 68 * 512, 169 * 512, 512};
  for (size_t i = 0; i < forward.size(); ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(test::Val(forward[i].size), sizes[i]);
    EXPECT_EQ(test::Val(reverse[i].size), sizes[i]);
    EXPECT_EQ(test::Val(forward[i].dataStart), test::Val(reverse[i].dataStart));
    EXPECT_EQ(forward[i].link, kAmr);
    EXPECT_EQ(forward[i].dataKind & kRawSizeEstimated, kRawSizeEstimated);
  }
  EXPECT_EQ(test::Val(forward[0].recordNumber), 1u);
  EXPECT_EQ(test::Val(reverse[4].recordNumber), 999'999'999u);  // the first found from the end
  EXPECT_EQ(EntryName(disk.store.rawFiles, EntryAt(disk.store.rawFiles, 0)), u"999999999.amr");
}

// Text files end where their text ends; the pass does not find text inside a claimed file.
TEST(Carver, TextPassAndClaims) {
  MemoryDisk disk(64);
  std::string text;
  while (text.size() < 1300) text += "A line of plain text.\n";
  disk.Put(5, text);
  std::memset(&disk.bytes[5 * 512 + text.size()], 0, 3 * 512 - text.size());
  const auto items = disk.Carve(false, 64);
  ASSERT_EQ(items.size(), 1u);
  EXPECT_EQ(test::Val(items[0].size), text.size());
  EXPECT_EQ(items[0].link, 124);
  // The text's whole sectors are claimed in the map; its last, partial sector is not.
  EXPECT_TRUE(disk.store.allocationMap.Get(6) & kClaimedByRawItem);
  EXPECT_FALSE(disk.store.allocationMap.Get(7) & kClaimedByRawItem);
}

// A Matroska file starts at its EBML header, also near the disk's start and when its probe
// measures it from there; the file after it is found too.
TEST(Carver, MatroskaStartsAtItsHeader) {
  MemoryDisk disk(100);
  const std::string mkv = std::string("\x1A\x45\xDF\xA3\x8B\x42\x82\x88matroska", 16) +
                          std::string("\x18\x53\x80\x67\x90", 5) + std::string(16, 'v');
  disk.Put(10, mkv);
  disk.Put(80, mkv);
  const auto items = disk.Carve(false, 100);
  ASSERT_EQ(items.size(), 2u);
  EXPECT_EQ(test::Val(items[0].dataStart), 10u);
  EXPECT_EQ(test::Val(items[1].dataStart), 80u);
  EXPECT_EQ(test::Val(items[1].size), mkv.size());
  EXPECT_EQ(items[1].link, 38);
}

// The fixture disk (tools/make_carve_fixture.sh): no file system, real files on sector
// boundaries between filler and random regions.
struct Fixture {
  Workspace ws;
  std::vector<std::vector<std::string>> rows;
  bool Open() {
    rows = test::ReadTsv(test::DataPath("carve/MANIFEST.tsv"));
    ws.driveList.SetImage(test::DataPath("carve/carve.img"));
    ws.driveList.EnumerationThread(ws.source, ws.geometry, 0);
    for (size_t i = 0; i < ws.driveList.rows.size(); ++i) {
      if (!ws.driveList.rows[i].wholeDisk) continue;
      std::string error;
      if (!OpenDriveListRow(ws.driveList, ws.source, ws.geometry, test::DataPath("carve/carve.img"), i, error))
        return false;
      // The whole disk is read in RAW mode, as the command line reads it.
      WalkSummary walk;
      ws.fileSystem = OpenRawFileSystem(ws.source, ws.geometry, ws.store);
      return ws.fileSystem->Walk({}, walk, error);
    }
    return false;
  }
  std::map<uint64_t, FileEntry> Carve(bool reverse) {
    ws.store.Create();
    CarveScanOptions options;
    options.scan.reverse = reverse;
    ScanWithCarving(ws.source, ws.geometry, ws.store, *ws.fileSystem, options);
    std::map<uint64_t, FileEntry> items;
    for (uint64_t i = 0; i < EntryCount(ws.store.rawFiles); ++i) {
      const FileEntry e = EntryAt(ws.store.rawFiles, i);
      if (e.state != kStateDuplicate) items[test::Val(e.dataStart)] = e;
    }
    return items;
  }
  std::string Sha256Of(const FileEntry& e) {
    recovery::ReaderContext ctx{ws.source, ws.geometry};
    std::vector<std::byte> bytes;
    if (!recovery::ReadItemToMemory(ctx, e, 0, bytes)) return "";
    Sha256 hash;
    hash.Update(bytes);
    return hash.HexDigest();
  }
};

TEST(CarveFixture, FilesComeBackWholeForwardAndReverse) {
  Fixture f;
  ASSERT_TRUE(f.Open());
  ASSERT_GT(f.rows.size(), 10u);
  const auto forward = f.Carve(false);
  for (const auto& row : f.rows) {
    SCOPED_TRACE(row[0]);
    const uint64_t sector = std::stoull(row[2]), size = std::stoull(row[3]);
    const FileTypeEntry* type = FileTypeEntryByTag(row[1]);
    ASSERT_NE(type, nullptr);
    const bool text = type->sizeRule == SizeRule::kSubType && row[1] != "DOCX";
    // Whole files of a type whose size probe is plugged in, and every text.
    const FileTypeEntry* candidate = row[1] == "DOCX" ? FileTypeEntryByTag("ZIP") : type;
    const bool measured = candidate->sizeProbe != nullptr && row[5] == "whole";
    if (!text && !measured) continue;
    auto it = forward.find(sector);
    ASSERT_NE(it, forward.end());
    const FileEntry e = it->second;
    EXPECT_EQ(EntryName(f.ws.store.rawFiles, e).ends_with(FromUtf8(std::string(type->extension))), true);
    EXPECT_EQ(test::Val(e.size), size);
    if (measured) {
      EXPECT_EQ(f.Sha256Of(e), row[4]);
    }
  }
  // Reverse finds the same files at the same places with the same sizes.
  const auto reverse = f.Carve(true);
  ASSERT_EQ(reverse.size(), forward.size());
  for (const auto& [sector, e] : forward) {
    SCOPED_TRACE(sector);
    ASSERT_TRUE(reverse.contains(sector));
    EXPECT_EQ(test::Val(reverse.at(sector).size), test::Val(e.size));
    EXPECT_EQ(reverse.at(sector).link, e.link);
  }
}

}  // namespace
}  // namespace torvane::carve

namespace torvane::carve {
namespace {

// A quick-formatted NTFS volume: the old files are rebuilt from their records in free space
// and also carved by content; each is listed once.
TEST(CarveReformatted, RebuiltRecordsAndCarvedItemsDoNotDuplicate) {
  test::FixtureVolume v(test::DataPath("reformatted/reformatted.vmdk"));
  ASSERT_TRUE(v.ok()) << v.error;
  const VolumeGeometry& g = v.ws.geometry;
  CarveScanOptions options;
  const CarveScanResult result = ScanWithCarving(v.ws.source, g, v.ws.store, *v.ws.fileSystem, options);
  ASSERT_EQ(result.scan.outcome, ScanOutcome::kFinished);
  EXPECT_GT(result.duplicates, 0u);
  std::set<uint64_t> recordStarts;
  const DynList& list = v.ws.store.deletedEntries;
  for (uint64_t i = 0; i < EntryCount(list); ++i) {
    const FileEntry e = EntryAt(list, i);
    if (!e.IsFolder() && e.size != 0 && e.dataKind == kDataNonResident && e.dataStart != 0)
      recordStarts.insert(g.clusterBase + e.dataStart * g.sectorsPerCluster);
  }
  const RawItemTree tree(v.ws.store.rawFiles);
  for (uint64_t i = 0; i < EntryCount(v.ws.store.rawFiles); ++i) {
    const FileEntry e = EntryAt(v.ws.store.rawFiles, i);
    if (tree.PathComponents(i).empty()) continue;
    EXPECT_FALSE(recordStarts.contains(test::Val(e.dataStart))) << ToUtf8(EntryName(v.ws.store.rawFiles, e));
  }
}

}  // namespace
}  // namespace torvane::carve

namespace torvane::carve {
namespace {

// The command line: carve writes the files by number and type; ls and recover show them
// under "RAW files"; --no-raw turns header detect off.
TEST(CarveCli, CarveLsAndRecover) {
  const std::string disk = test::DataPath("carve/carve.img").string();
  test::TempDir dir;
  std::string text;
  ASSERT_EQ(test::RunCli("carve '" + disk + "' -o '" + (dir / "out").string() + "' --types txt,html", &text), 0)
      << text;
  EXPECT_TRUE(std::filesystem::exists(dir / "out" / "000000001.A.txt")) << text;
  EXPECT_TRUE(std::filesystem::exists(dir / "out" / "000000001_Carved Page.html")) << text;
  EXPECT_FALSE(std::filesystem::exists(dir / "out" / "000000001.amr")) << text;
  ASSERT_EQ(test::RunCli("ls '" + disk + "' -v 0 --scan 'RAW files'", &text), 0) << text;
  EXPECT_NE(text.find("RAW files/000000001_Carved Page.html"), std::string::npos) << text;
  ASSERT_EQ(test::RunCli("recover '" + disk + "' -v 0 --scan -o '" + (dir / "rec").string() +
                             "' 'RAW files/000000001_Carved Page.html'",
                         &text),
            0)
      << text;
  EXPECT_TRUE(std::filesystem::exists(dir / "rec" / "RAW files" / "000000001_Carved Page.html")) << text;
  ASSERT_EQ(test::RunCli("scan '" + disk + "' -v 0 --no-raw", &text), 0) << text;
  EXPECT_NE(text.find("and 0 RAW files"), std::string::npos) << text;
}

}  // namespace
}  // namespace torvane::carve
