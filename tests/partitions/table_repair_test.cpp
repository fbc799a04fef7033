// The partition-table repair on copies of damaged disks: the restore plan, the .tqb backup
// written before any write, and its restore.
#include "partitions/table_repair.h"

#include <gtest/gtest.h>

#include <regex>
#include <sstream>

#include "fs/recognize_volume.h"
#include "partitions/disk_builder.h"
#include "util/text.h"

namespace torvane {
namespace {

namespace fs = std::filesystem;

// The image's SHA-256, by sha256sum.
std::string Sha256Of(const fs::path& path) {
  std::string out;
  FILE* p = popen(("sha256sum '" + path.string() + "'").c_str(), "r");
  char line[128] = {};
  if (p != nullptr && std::fgets(line, sizeof line, p) != nullptr) out.assign(line, 64);
  if (p != nullptr) pclose(p);
  return out;
}

std::string ReadText(const fs::path& path) {
  const auto bytes = test::ReadFile(path);
  return std::string(bytes.begin(), bytes.end());
}

std::string RunMmls(const fs::path& disk) {
  std::string out;
  FILE* p = popen(("mmls '" + disk.string() + "'").c_str(), "r");
  for (char line[256]; p != nullptr && std::fgets(line, sizeof line, p) != nullptr;) out += line;
  if (p != nullptr) pclose(p);
  return out;
}

// Start and length of the volumes in an mmls listing (rows whose slot is "table:entry").
std::vector<std::pair<uint64_t, uint64_t>> MmlsVolumes(const std::string& listing) {
  std::vector<std::pair<uint64_t, uint64_t>> rows;
  const std::regex row(R"(^\d+:\s+\d+:\d+\s+(\d+)\s+\d+\s+(\d+))");
  std::istringstream in(listing);
  for (std::string line; std::getline(in, line);)
    if (std::smatch m; std::regex_search(line, m, row)) rows.emplace_back(std::stoull(m[1]), std::stoull(m[2]));
  return rows;
}

// Start and size of the volumes `torvane volumes --json` lists (the disk's own row left out).
std::vector<std::pair<uint64_t, uint64_t>> TorvaneVolumes(const fs::path& disk) {
  std::string out;
  EXPECT_EQ(test::RunCli("volumes " + disk.string() + " --json", &out), 0) << out;
  std::vector<std::pair<uint64_t, uint64_t>> rows;
  const std::regex row(R"re("start":(\d+),"sectors":(\d+),[^}]*"whole_disk":false)re");
  for (auto it = std::sregex_iterator(out.begin(), out.end(), row); it != std::sregex_iterator(); ++it)
    rows.emplace_back(std::stoull((*it)[1]), std::stoull((*it)[2]));
  return rows;
}

fs::path Copy(const test::TempDir& dir, const std::string& disk) {
  const fs::path to = dir / disk;
  fs::copy_file(test::DataPath("partsearch/" + disk), to);
  return to;
}

void ZeroSectors(const fs::path& disk, uint64_t sector, uint32_t count) {
  FILE* f = std::fopen(disk.c_str(), "r+b");
  ASSERT_NE(f, nullptr);
  const std::vector<char> zeros(size_t{count} * 512);
  ASSERT_EQ(std::fseek(f, static_cast<long>(sector * 512), SEEK_SET), 0);
  ASSERT_EQ(std::fwrite(zeros.data(), 1, zeros.size(), f), zeros.size());
  std::fclose(f);
}

TEST(TableRepairTest, BackupDamageRestoreGivesTheOriginalBytesBack) {
  test::TempDir dir;
  const fs::path disk = Copy(dir, "deleted-logical.raw");
  const std::string before = Sha256Of(disk);
  ASSERT_EQ(test::RunCli("backup " + disk.string() + " -o " + (dir / "b.tqb").string()), 0);
  std::string out;
  EXPECT_EQ(test::RunCli("backup " + disk.string() + " -o " + (dir / "b.tqb").string(), &out), 1)
      << "an existing backup is never replaced";
  ZeroSectors(disk, 0, 1);
  ZeroSectors(disk, 2048, 1);
  ZeroSectors(disk, 20480, 16);
  ASSERT_NE(Sha256Of(disk), before);
  EXPECT_EQ(test::RunCli("restore " + disk.string() + " " + (dir / "b.tqb").string(), &out), 2) << out;
  ASSERT_EQ(test::RunCli("restore " + disk.string() + " " + (dir / "b.tqb").string() + " --yes", &out), 0) << out;
  EXPECT_EQ(Sha256Of(disk), before);
}

TEST(TableRepairTest, RepairOfTheZeroedMbrListsThePartitionsAgainAndRestoreUndoesIt) {
  test::TempDir dir;
  const fs::path disk = Copy(dir, "zeroed-mbr.raw");
  const std::string damaged = Sha256Of(disk);
  std::string out;
  EXPECT_EQ(test::RunCli("repair " + disk.string() + " --yes", &out), 2) << "no write without a backup";
  EXPECT_EQ(Sha256Of(disk), damaged);
  ASSERT_EQ(test::RunCli("repair " + disk.string() + " --backup " + (dir / "r.tqb").string() + " --yes", &out), 0)
      << out;

  VolumeList list;
  {
    DiskSource source;
    std::string error;
    ASSERT_TRUE(source.OpenSource(disk, 0, error)) << error;
    BuildVolumeList(source, list, &RecognizeVolume);
  }
  ASSERT_EQ(list.tableVolumes, 2u);
  EXPECT_EQ(test::Val(list.volumes[0].startSector), 2048u);
  EXPECT_EQ(test::Val(list.volumes[1].startSector), 18432u);
  EXPECT_FALSE(list.repairOffered);
  if (std::system("command -v mmls >/dev/null 2>&1") == 0) {
    FILE* p = popen(("mmls '" + disk.string() + "'").c_str(), "r");
    std::string mmls;
    for (char line[256]; p != nullptr && std::fgets(line, sizeof line, p) != nullptr;) mmls += line;
    if (p != nullptr) pclose(p);
    EXPECT_NE(mmls.find("0000002048   0000018431   0000016384   NTFS"), std::string::npos) << mmls;
    EXPECT_NE(mmls.find("000:001   0000018432"), std::string::npos) << mmls;
  }
  ASSERT_EQ(test::RunCli("restore " + disk.string() + " " + (dir / "r.tqb").string() + " --yes", &out), 0) << out;
  EXPECT_EQ(Sha256Of(disk), damaged);
}

TEST(TableRepairTest, RepairTakesAnOverwrittenBootSectorBackFromItsBackup) {
  test::TempDir dir;
  const fs::path disk = Copy(dir, "overwritten-start.raw");
  std::string out;
  ASSERT_EQ(test::RunCli("repair " + disk.string() + " --backup " + (dir / "o.tqb").string() + " --yes", &out), 0)
      << out;
  DiskSource source;
  std::string error;
  ASSERT_TRUE(source.OpenSource(disk, 0, error)) << error;
  VolumeList list;
  BuildVolumeList(source, list, &RecognizeVolume);
  ASSERT_EQ(list.tableVolumes, 1u);
  EXPECT_EQ(test::Val(list.volumes[0].bootRestored), 0u) << "the primary boot sector is sound again";
  EXPECT_EQ(ToUtf8(GetText(list.volumes[0].label)), "OWNTFS");
}

TEST(TableRepairTest, HostileBackupsAreRefusedBeforeAnythingIsWritten) {
  PartitionBackup backup;
  backup.diskSectors = 1000;
  backup.sourceName = std::u16string(70, u'n');  // stored cut to 63 characters
  backup.blocks.push_back({0, std::vector<uint8_t>(512, 1)});
  backup.blocks.push_back({990, std::vector<uint8_t>(10 * 512, 2)});
  const auto bytes = SerializeBackup(backup);
  PartitionBackup out;
  std::string error;
  ASSERT_TRUE(ParseBackup(AsBytes(bytes.data(), bytes.size()), 1000, out, error)) << error;
  EXPECT_EQ(out.sourceName.size(), 63u);
  EXPECT_FALSE(ParseBackup(AsBytes(bytes.data(), bytes.size()), 999, out, error)) << "another disk size";

  struct Forgery {
    size_t offset;
    uint64_t value;
    int width;
  };
  const size_t second = kTqbHeaderBytes + 12 + 512;
  for (const Forgery& f :
       {Forgery{140, 0xFFFFFFFF, 4}, Forgery{140, 3, 4}, Forgery{kTqbHeaderBytes + 8, 0x7FFFFFFF, 4},
        Forgery{second + 8, 11, 4}, Forgery{second, 995, 8}, Forgery{second, ~0ull - 3, 8}, Forgery{0, 0, 4}}) {
    auto forged = bytes;
    const MutableByteSpan s(reinterpret_cast<std::byte*>(forged.data()), forged.size());
    if (f.width == 8)
      StoreLeU64(s, f.offset, f.value);
    else
      StoreLeU32(s, f.offset, static_cast<uint32_t>(f.value));
    EXPECT_FALSE(ParseBackup(AsBytes(forged.data(), forged.size()), 1000, out, error)) << f.offset;
  }
  auto longer = bytes;
  longer.push_back(0);
  EXPECT_FALSE(ParseBackup(AsBytes(longer.data(), longer.size()), 1000, out, error)) << "bytes after the last block";

  // Through the command: a backup naming a sector past the disk writes nothing.
  test::TempDir dir;
  const fs::path disk = Copy(dir, "zeroed-mbr.raw");
  const std::string hash = Sha256Of(disk);
  PartitionBackup hostile;
  hostile.diskSectors = fs::file_size(disk) / 512;
  hostile.blocks.push_back({0, std::vector<uint8_t>(512, 0x41)});
  hostile.blocks.push_back({hostile.diskSectors - 1, std::vector<uint8_t>(1024, 0x42)});
  test::WriteFile(dir / "h.tqb", SerializeBackup(hostile));
  std::string text;
  EXPECT_EQ(test::RunCli("restore " + disk.string() + " " + (dir / "h.tqb").string() + " --yes", &text), 1);
  EXPECT_NE(text.find("nothing was written"), std::string::npos) << text;
  EXPECT_EQ(Sha256Of(disk), hash);
}

TEST(TableRepairTest, TypedEntriesInsideTheDiskAreInUseAndNeverGivenAway) {
  // An LVM entry whose CHS words do not match and where no known file system starts.
  test::DiskBuilder disk(40000);
  disk.Entry(0, 0, 0x8E, 63, 10000);
  disk.Sector(0)[446 + 2] = 0x77;
  disk.Sector(0)[446 + 6] = 0x77;
  disk.Fat16Boot(20000, 8000);
  EXPECT_TRUE(IsEntryInUse(disk.Sector(0) + 446, 40000));
  DiskSource source;
  disk.Open(source);
  VolumeList list;
  BuildVolumeList(source, list, &RecognizeVolume);
  EXPECT_EQ(list.freePrimarySlots, 3u);

  PartitionRecord lost;
  ASSERT_EQ(RecognizeVolume(source, nullptr, nullptr, lost, 20000, nullptr, nullptr), 1);
  PartitionRecord overlapping = lost;
  overlapping.startSector = 5000;  // inside the LVM entry
  const RestorePlan plan = BuildRestorePlan(source, list, {lost, overlapping});
  ASSERT_EQ(plan.writes.size(), 1u);
  const uint8_t* mbr = plan.writes[0].data.data();
  EXPECT_EQ(mbr[446 + 4], 0x8E) << "the LVM entry stays";
  EXPECT_EQ(LeU32(AsBytes(mbr, 512), 446 + 16 + 8), 20000u);
  EXPECT_EQ(mbr[446 + 16 + 4], 6);
  ASSERT_EQ(plan.notRestored.size(), 1u);
  EXPECT_NE(plan.notRestored[0].find("overlaps"), std::string::npos);
}

TEST(TableRepairTest, LostLogicalVolumesAreLinkedBackIntoTheExtendedChain) {
  struct Case {
    std::string disk, before, planned;
    bool zeroMbr = false;  // the whole MBR zeroed as well: the primary comes back too
  };
  for (const Case& c : {Case{"repair/zeroed-ebr.raw", "repair/before", "EPP at sector: 36864: logical volume FAT16"},
                        Case{"repair/deleted-extended.raw", "repair/before",
                             "MBR entry 2: type 0x05 (extended partition), start 18432, 63488 sectors"},
                        Case{"repair/deleted-first.raw", "repair/before", "EPP at sector: 18432: logical volume NTFS"},
                        Case{"partsearch/deleted-logical.raw", "partsearch/deleted-logical",
                             "EPP at sector: 18432: logical volume at sector 20480"},
                        Case{"repair/deleted-extended.raw", "repair/before",
                             "MBR entry 2: type 0x05 (extended partition), start 18432, 63488 sectors", true}}) {
    SCOPED_TRACE(c.disk);
    test::TempDir dir;
    const fs::path disk = dir / "disk.raw", found = dir / "found.tqsp", backup = dir / "r.tqb";
    fs::copy_file(test::DataPath(c.disk), disk);
    if (c.zeroMbr) ZeroSectors(disk, 0, 1);
    const std::string damaged = Sha256Of(disk);
    const std::string listing = ReadText(test::DataPath(c.before + ".mmls.txt"));
    const auto volumes = MmlsVolumes(listing);
    ASSERT_EQ(volumes.size(), 4u) << listing;
    ASSERT_NE(TorvaneVolumes(disk), volumes);

    std::string out;
    ASSERT_EQ(test::RunCli("partsearch " + disk.string() + " --save " + found.string(), &out), 0) << out;
    EXPECT_NE(out.find("lost"), std::string::npos) << out;
    ASSERT_EQ(test::RunCli("repair " + disk.string() + " --plan --found " + found.string(), &out), 0) << out;
    EXPECT_NE(out.find(c.planned), std::string::npos) << out;
    EXPECT_EQ(out.find("not restored"), std::string::npos) << out;
    EXPECT_EQ(Sha256Of(disk), damaged) << "--plan writes nothing";

    ASSERT_EQ(
        test::RunCli("repair " + disk.string() + " --backup " + backup.string() + " --yes --found " + found.string(),
                     &out),
        0)
        << out;
    EXPECT_EQ(TorvaneVolumes(disk), volumes);
    // The chain is rebuilt where the partitioning tool had it: the disk is as it was made
    // (but for the boot code and disk signature of a zeroed MBR).
    if (!c.zeroMbr) {
      EXPECT_EQ(Sha256Of(disk) + "\n", ReadText(test::DataPath(c.before + ".sha256")));
    }
    if (std::system("command -v mmls >/dev/null 2>&1") == 0) {
      EXPECT_EQ(RunMmls(disk), listing);
    }

    ASSERT_EQ(test::RunCli("restore " + disk.string() + " " + backup.string() + " --yes", &out), 0) << out;
    EXPECT_EQ(Sha256Of(disk), damaged);
  }
}

TEST(TableRepairTest, LostLogicalVolumesThatOverlapOrHaveNoTypeStayOut) {
  DiskSource source;
  std::string error;
  ASSERT_TRUE(source.OpenSource(test::DataPath("repair/zeroed-ebr.raw"), 0, error)) << error;
  VolumeList list;
  BuildVolumeList(source, list, &RecognizeVolume);
  PartitionRecord fat, exfat;
  ASSERT_EQ(RecognizeVolume(source, nullptr, nullptr, fat, 38912, nullptr, nullptr), 1);
  ASSERT_EQ(RecognizeVolume(source, nullptr, nullptr, exfat, 57344, nullptr, nullptr), 1);
  PartitionRecord overlapping = exfat, untyped = exfat;
  overlapping.startSector = 30000;  // inside the NTFS logical volume the chain lists
  untyped.systemId = 0;
  RestorePlan plan = BuildRestorePlan(source, list, {overlapping, fat, exfat});
  ASSERT_EQ(plan.writes.size(), 1u) << "only the zeroed block is written";
  EXPECT_EQ(plan.writes[0].sector, 36864u);
  ASSERT_EQ(plan.notRestored.size(), 1u);
  EXPECT_NE(plan.notRestored[0].find("overlaps a logical volume in use"), std::string::npos);

  plan = BuildRestorePlan(source, list, {fat, untyped});
  ASSERT_EQ(plan.writes.size(), 1u) << "the FAT16 volume's block ends the chain";
  const uint8_t* block = plan.writes[0].data.data();
  EXPECT_EQ(LeU32(AsBytes(block, 512), 446 + 8), 2048u) << "its hidden sectors name its block";
  EXPECT_TRUE(IsAllZero(AsBytes(block + 462, 16)));
  ASSERT_EQ(plan.notRestored.size(), 1u);
  EXPECT_NE(plan.notRestored[0].find("type is unknown"), std::string::npos);
}

}  // namespace
}  // namespace torvane
