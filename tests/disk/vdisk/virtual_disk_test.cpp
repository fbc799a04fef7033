// Virtual disks made by qemu-img, read back against the raw disks they were made from, and
// hand-made descriptors for the cases real tools do not produce.
#include "disk/vdisk/virtual_disk.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cstring>
#include <fstream>
#include <sstream>

#include "test_util.h"

namespace torvane::vdisk {
namespace {

using test::DataPath;
using test::ReadFile;
using test::TempDir;
using test::WriteFile;

struct ManifestEntry {
  std::string disk, raw;
  uint64_t sectors = 0;
};

std::vector<ManifestEntry> Manifest() {
  std::vector<ManifestEntry> entries;
  std::ifstream in(DataPath("vmdk/MANIFEST"));
  ManifestEntry e;
  while (in >> e.disk >> e.raw >> e.sectors) entries.push_back(e);
  return entries;
}

std::unique_ptr<VirtualDisk> MustOpen(const std::filesystem::path& path, OpenOptions options = {}) {
  std::string error;
  auto disk = VirtualDisk::Open(path, options, error);
  EXPECT_TRUE(disk) << path << ": " << error;
  return disk;
}

std::vector<uint8_t> Read(VirtualDisk& disk, uint64_t sector, uint64_t count, ReadReport* out = nullptr) {
  std::vector<uint8_t> data(count * 512, 0xEE);
  ReadReport report;
  disk.Read(sector, count, reinterpret_cast<std::byte*>(data.data()), report);
  if (out != nullptr) *out = report;
  return data;
}

TEST(VirtualDiskTest, EverySubformatReadsBackItsRawDisk) {
  const auto manifest = Manifest();
  ASSERT_EQ(manifest.size(), 7u);
  const std::map<std::string, std::string> types = {{"sparse.vmdk", "monolithicSparse"},
                                                    {"flat.vmdk", "monolithicFlat"},
                                                    {"split-sparse.vmdk", "twoGbMaxExtentSparse"},
                                                    {"split-flat.vmdk", "twoGbMaxExtentFlat"},
                                                    {"stream.vmdk", "streamOptimized"},
                                                    {"child.vmdk", "monolithicSparse"},
                                                    {"grandchild.vmdk", "monolithicSparse"}};
  for (const auto& m : manifest) {
    SCOPED_TRACE(m.disk);
    auto disk = MustOpen(DataPath("vmdk/" + m.disk));
    ASSERT_TRUE(disk);
    EXPECT_EQ(disk->CreateType(), types.at(m.disk));
    EXPECT_FALSE(disk->IsRaw());
    EXPECT_TRUE(disk->Warnings().empty());
    ASSERT_EQ(disk->Capacity(), m.sectors);
    const auto raw = ReadFile(DataPath("vmdk/" + m.raw));
    ASSERT_EQ(raw.size(), m.sectors * 512);
    // Odd-sized reads so that they start and end inside grains and grain tables.
    for (uint64_t s = 0, step = 1; s < m.sectors; s += step, step = step * 3 % 4093 + 1) {
      const uint64_t n = std::min(step, m.sectors - s);
      ReadReport report;
      auto got = Read(*disk, s, n, &report);
      ASSERT_EQ(0, std::memcmp(got.data(), raw.data() + s * 512, n * 512)) << "at sector " << s;
      ASSERT_TRUE(report.failed.empty()) << report.failureReason;
    }
  }
}

TEST(VirtualDiskTest, SnapshotChildShowsItsParentWhereItHoldsNothing) {
  auto child = MustOpen(DataPath("vmdk/grandchild.vmdk"));
  ASSERT_TRUE(child);
  ASSERT_NE(child->Parent(), nullptr);
  ASSERT_NE(child->Parent()->Parent(), nullptr);
  EXPECT_EQ(child->Parent()->Parent()->Parent(), nullptr);
  EXPECT_TRUE(child->ParentCidMatches());
  // Grain 10 was written by nobody but the base disk.
  const auto base = ReadFile(DataPath("vmdk/base.raw"));
  ReadReport report;
  auto got = Read(*child, 1280, 128, &report);
  EXPECT_EQ(0, std::memcmp(got.data(), base.data() + 1280 * 512, 128 * 512));
  EXPECT_TRUE(report.unallocated.empty());  // the base holds it
  // Grains 600-603 are zero in the base and written by no snapshot: stored nowhere.
  Read(*child, 600 * 128, 4 * 128, &report);
  EXPECT_EQ(report.unallocated, (std::vector<SectorRange>{{600 * 128, 4 * 128}}));
}

TEST(VirtualDiskTest, SplitSparseDiskCrossesItsTwoGigabyteExtentBoundary) {
  auto disk = MustOpen(DataPath("vmdk/big-split.vmdk"));
  ASSERT_TRUE(disk);
  EXPECT_EQ(disk->Extents().size(), 2u);
  EXPECT_EQ(disk->Capacity(), 2200ull * 2048);
  std::ifstream regions(DataPath("vmdk/big-split.regions"));
  uint64_t offset, length;
  std::string pattern;
  int count = 0;
  while (regions >> offset >> length >> pattern) {
    ++count;
    const uint8_t value = static_cast<uint8_t>(std::stoul(pattern, nullptr, 16));
    // The region with 4 KiB of zeros either side (where the disk has room).
    const uint64_t first = offset / 512 >= 8 ? offset / 512 - 8 : 0;
    const uint64_t last = std::min(disk->Capacity(), (offset + length) / 512 + 8);
    auto got = Read(*disk, first, last - first);
    for (uint64_t i = 0; i < got.size(); ++i) {
      const uint64_t at = first * 512 + i;
      const uint8_t expected = at >= offset && at < offset + length ? value : 0;
      ASSERT_EQ(got[i], expected) << "at byte " << at;
    }
  }
  EXPECT_EQ(count, 4);
}

// A folder of hand-made disks: flat files holding stamped sectors, and descriptors.
class HandMadeDiskTest : public ::testing::Test {
 protected:
  void Flat(const std::string& name, uint64_t sectors, uint64_t firstNumber) {
    WriteFile(dir / name, test::StampedSectors(sectors, firstNumber));
  }
  void Descriptor(const std::string& name, const std::string& body) {
    WriteFile(dir / name, "# Disk DescriptorFile\nversion=1\n" + body);
  }
  std::string OpenError(const std::string& name, OpenOptions options = {}) {
    std::string error;
    EXPECT_FALSE(VirtualDisk::Open(dir / name, options, error));
    return error;
  }
  TempDir dir;
};

TEST_F(HandMadeDiskTest, JoinsFlatZeroAndOffsetExtents) {
  Flat("a.bin", 16, 0);
  Flat("b.bin", 20, 100);  // its first 4 sectors are skipped by the extent offset
  Descriptor("multi.vmdk",
             "CID=00000001\nparentCID=ffffffff\ncreateType=\"twoGbMaxExtentFlat\"\n"
             "RW 16 FLAT \"a.bin\" 0\nRW 8 ZERO\nRDONLY 16 VMFS \"C:\\VMs\\b.bin\" 4\n");
  auto disk = MustOpen(dir / "multi.vmdk");
  ASSERT_TRUE(disk);
  EXPECT_EQ(disk->Capacity(), 40u);
  ReadReport report;
  auto got = Read(*disk, 10, 30, &report);
  EXPECT_EQ(0, std::memcmp(got.data(), test::StampedSectors(6, 10).data(), 6 * 512));
  EXPECT_EQ(got[6 * 512 + 100], 0);
  EXPECT_EQ(0, std::memcmp(got.data() + 14 * 512, test::StampedSectors(16, 104).data(), 16 * 512));
  EXPECT_TRUE(report.failed.empty());
}

TEST_F(HandMadeDiskTest, ShortExtentFileFailsOnlyTheMissingSectors) {
  Flat("short.bin", 10, 0);
  Descriptor("d.vmdk", "createType=\"monolithicFlat\"\nRW 16 FLAT \"short.bin\" 0\n");
  auto disk = MustOpen(dir / "d.vmdk");
  ASSERT_TRUE(disk);
  ReadReport report;
  auto got = Read(*disk, 8, 8, &report);
  EXPECT_EQ(0, std::memcmp(got.data(), test::StampedSectors(2, 8).data(), 1024));
  EXPECT_EQ(got, [&] {
    auto v = test::StampedSectors(2, 8);
    v.resize(8 * 512, 0);
    return v;
  }());
  EXPECT_EQ(report.failed, (std::vector<SectorRange>{{10, 6}}));
  EXPECT_NE(report.failureReason.find("ends early"), std::string::npos);
}

TEST_F(HandMadeDiskTest, BadDisksGiveOneLineErrors) {
  Flat("x.bin", 4, 0);
  Descriptor("missing.vmdk", "createType=\"monolithicFlat\"\nRW 4 FLAT \"gone.bin\" 0\n");
  EXPECT_NE(OpenError("missing.vmdk").find("\"gone.bin\" named by"), std::string::npos);

  Descriptor("noparent.vmdk",
             "CID=2\nparentCID=1\nparentFileNameHint=\"base.vmdk\"\n"
             "createType=\"monolithicFlat\"\nRW 4 FLAT \"x.bin\" 0\n");
  EXPECT_NE(OpenError("noparent.vmdk").find("parent disk \"base.vmdk\""), std::string::npos);

  Descriptor("a.vmdk", "CID=a\nparentCID=b\nparentFileNameHint=\"b.vmdk\"\nRW 4 FLAT \"x.bin\" 0\n");
  Descriptor("b.vmdk", "CID=b\nparentCID=a\nparentFileNameHint=\"a.vmdk\"\nRW 4 FLAT \"x.bin\" 0\n");
  EXPECT_NE(OpenError("a.vmdk").find("loops back"), std::string::npos);
  Descriptor("self.vmdk", "CID=a\nparentCID=a\nparentFileNameHint=\"self.vmdk\"\nRW 4 FLAT \"x.bin\" 0\n");
  EXPECT_NE(OpenError("self.vmdk").find("loops back"), std::string::npos);

  Descriptor("broken.vmdk", "createType=\"monolithicFlat\"\nRW 4 FLOPPY \"x.bin\"\n");
  EXPECT_NE(OpenError("broken.vmdk").find("line 4: unknown extent type"), std::string::npos);

  WriteFile(dir / "data.bin", std::string(4096, 'x'));
  OpenOptions noRaw;
  noRaw.allowRaw = false;
  EXPECT_NE(OpenError("data.bin", noRaw).find("not a VMware virtual disk"), std::string::npos);
  EXPECT_NE(OpenError("nothing-here.vmdk").find("cannot open"), std::string::npos);

  // A sparse extent whose header claims an absurd grain size.
  auto sparse = ReadFile(DataPath("vmdk/sparse.vmdk"));
  sparse.resize(64 * 1024);
  sparse[20 + 3] = 0x40;
  WriteFile(dir / "absurd.vmdk", sparse);
  EXPECT_NE(OpenError("absurd.vmdk").find("grain size"), std::string::npos);
}

TEST_F(HandMadeDiskTest, ParentContentIdMismatchIsAWarningNotAnError) {
  Flat("x.bin", 4, 0);
  Descriptor("base.vmdk", "CID=1111\nparentCID=ffffffff\nRW 4 FLAT \"x.bin\" 0\n");
  Descriptor("child.vmdk",
             "CID=2222\nparentCID=9999\nparentFileNameHint=\"/elsewhere/vms/base.vmdk\"\n"
             "RW 4 FLAT \"x.bin\" 0\n");
  auto disk = MustOpen(dir / "child.vmdk");  // found by its file name beside the child
  ASSERT_TRUE(disk);
  EXPECT_FALSE(disk->ParentCidMatches());
  ASSERT_EQ(disk->Warnings().size(), 1u);
  EXPECT_NE(disk->Warnings()[0].find("expects parent CID 00009999 but the parent has 00001111"), std::string::npos);
}

TEST_F(HandMadeDiskTest, RawImagesOpenAsOneFlatExtent) {
  WriteFile(dir / "disk.img", std::vector<uint8_t>(1000, 0x77));  // not a whole number of sectors
  auto disk = MustOpen(dir / "disk.img");
  ASSERT_TRUE(disk);
  EXPECT_TRUE(disk->IsRaw());
  EXPECT_EQ(disk->Capacity(), 2u);
  ReadReport report;
  auto got = Read(*disk, 0, 2, &report);
  EXPECT_EQ(got[999], 0x77);
  EXPECT_EQ(got[1000], 0);  // the last sector is padded with zeros, not a failure
  EXPECT_TRUE(report.failed.empty());
  WriteFile(dir / "empty.img", std::string());
  EXPECT_NE(OpenError("empty.img").find("empty"), std::string::npos);
}

TEST_F(HandMadeDiskTest, WritesGoOnlyToStoredSectorsOfTheLeafDisk) {
  for (const char* f : {"sparse.vmdk", "child.vmdk"})
    std::filesystem::copy_file(DataPath(std::string("vmdk/") + f), dir / f);
  const std::vector<uint8_t> data(512, 0x5C);
  const auto* in = reinterpret_cast<const std::byte*>(data.data());

  auto readOnly = MustOpen(dir / "child.vmdk");
  EXPECT_FALSE(readOnly->Write(0, 1, in));

  OpenOptions rw;
  rw.writable = true;
  auto child = MustOpen(dir / "child.vmdk", rw);
  ASSERT_TRUE(child);
  // Grain 0 is stored in the child; grain 10 only in the base, which is never written.
  EXPECT_TRUE(child->Write(1, 1, in));
  EXPECT_FALSE(child->Write(1280, 1, in));
  child.reset();
  auto again = MustOpen(dir / "child.vmdk");
  EXPECT_EQ(Read(*again, 1, 1), data);
  auto base = MustOpen(dir / "sparse.vmdk");
  const auto raw = ReadFile(DataPath("vmdk/base.raw"));
  EXPECT_EQ(0, std::memcmp(Read(*base, 1280, 1).data(), raw.data() + 1280 * 512, 512));
}

TEST_F(HandMadeDiskTest, RenamedMonolithicFileReadsItselfNotTheFileItsDescriptorNames) {
  // The embedded descriptors name "sparse.vmdk" and "stream.vmdk"; beside the renamed copy
  // lies another disk of that name, or nothing.
  std::filesystem::copy_file(DataPath("vmdk/sparse.vmdk"), dir / "mycopy.vmdk");
  std::filesystem::copy_file(DataPath("vmdk/grandchild.vmdk"), dir / "sparse.vmdk");
  std::filesystem::create_directory(dir / "alone");
  std::filesystem::copy_file(DataPath("vmdk/stream.vmdk"), dir / "alone/mycopy.vmdk");
  const auto raw = ReadFile(DataPath("vmdk/base.raw"));
  for (const char* name : {"mycopy.vmdk", "alone/mycopy.vmdk"}) {
    SCOPED_TRACE(name);
    auto disk = MustOpen(dir / name);
    ASSERT_TRUE(disk);
    ASSERT_EQ(disk->Capacity(), raw.size() / 512);
    EXPECT_EQ(disk->Extents()[0]->File()->Path(), dir / name);
    EXPECT_EQ(0, std::memcmp(Read(*disk, 0, 2048).data(), raw.data(), 2048 * 512));
  }
}

TEST_F(HandMadeDiskTest, ExtentsMustBeFilesAndOutsideTheFolderAreWarnedAbout) {
  ASSERT_EQ(mkfifo((dir / "pipe").c_str(), 0600), 0);
  std::filesystem::create_directory(dir / "sub");
  Flat("x.bin", 4, 0);
  const std::pair<const char*, const char*> refused[] = {
      {"/dev/zero", "character device"}, {"pipe", "FIFO"}, {"sub", "folder"}};
  for (const auto& [file, why] : refused) {
    Descriptor("d.vmdk", std::string("RW 4 FLAT \"") + file + "\" 0\n");
    EXPECT_NE(OpenError("d.vmdk").find(why), std::string::npos) << file;
  }
  // A FIFO given as the disk is refused at once instead of blocking in open.
  EXPECT_NE(OpenError("pipe").find("FIFO"), std::string::npos);

  Descriptor("sub/up.vmdk", "createType=\"monolithicFlat\"\nRW 4 FLAT \"../x.bin\" 0\n");
  auto disk = MustOpen(dir / "sub/up.vmdk");
  ASSERT_TRUE(disk);
  ASSERT_EQ(disk->Warnings().size(), 1u);
  EXPECT_NE(disk->Warnings()[0].find("outside the descriptor's folder"), std::string::npos);
  std::string json;
  ASSERT_EQ(test::RunCli("info --json " + (dir / "sub/up.vmdk").string(), &json), 0);
  EXPECT_NE(json.find("outside the descriptor's folder"), std::string::npos) << json;
}

TEST_F(HandMadeDiskTest, OversizedDescriptorsAndDirectoriesAreRefusedAndSameFileExtentsShared) {
  std::string big = "# Disk DescriptorFile\nversion=1\ncreateType=\"monolithicFlat\"\n";
  while (big.size() <= kMaxDescriptorBytes) big += "# padding padding padding padding\n";
  WriteFile(dir / "big.vmdk", big);
  EXPECT_NE(OpenError("big.vmdk").find("larger than 1 MiB"), std::string::npos);

  // A header with one-sector grains and one-entry tables over 4 GiB: its 2^23-entry
  // directory fits in the file, but no real disk needs one that large.
  std::vector<uint8_t> head(512, 0);
  const uint64_t fields[] = {uint64_t{1} << 23, 1, 0, 0};  // capacity, grain, descriptor
  std::memcpy(head.data(), "KDMV", 4);
  head[4] = 1;
  std::memcpy(head.data() + 12, fields, sizeof fields);
  head[44] = 1;  // entries per table
  head[56] = 1;  // directory at sector 1
  WriteFile(dir / "huge-dir.vmdk", head);
  std::filesystem::resize_file(dir / "huge-dir.vmdk", 512 + (uint64_t{4} << 23));
  EXPECT_NE(OpenError("huge-dir.vmdk").find("larger than any real disk needs"), std::string::npos);

  std::filesystem::copy_file(DataPath("vmdk/sparse.vmdk"), dir / "s.vmdk");
  std::string lines;
  for (int i = 0; i < 40; ++i) lines += "RW 81920 SPARSE \"s.vmdk\"\n";
  Descriptor("many.vmdk", "createType=\"twoGbMaxExtentSparse\"\n" + lines);
  auto disk = MustOpen(dir / "many.vmdk");
  ASSERT_TRUE(disk);
  EXPECT_EQ(disk->Capacity(), 40u * 81920);
  EXPECT_EQ(disk->Extents().front(), disk->Extents().back());
  const auto raw = ReadFile(DataPath("vmdk/base.raw"));
  EXPECT_EQ(0, std::memcmp(Read(*disk, 39 * 81920 + 1280, 8).data(), raw.data() + 1280 * 512, 8 * 512));
}

TEST(ResolveRelatedFileTest, FindsFilesByTheirNameBesideTheDescriptor) {
  TempDir dir;
  WriteFile(dir / "base.vmdk", std::string("x"));
  EXPECT_EQ(ResolveRelatedFile(dir.path(), "base.vmdk"), dir / "base.vmdk");
  EXPECT_EQ(ResolveRelatedFile(dir.path(), "C:\\VMs\\Old\\base.vmdk"), dir / "base.vmdk");
  EXPECT_EQ(ResolveRelatedFile(dir.path(), "/no/such/base.vmdk"), dir / "base.vmdk");
  EXPECT_EQ(ResolveRelatedFile(dir.path(), "sub\\base.vmdk"), dir / "base.vmdk");
  EXPECT_EQ(ResolveRelatedFile(dir.path(), "gone.vmdk"), dir / "gone.vmdk");
}

}  // namespace
}  // namespace torvane::vdisk
