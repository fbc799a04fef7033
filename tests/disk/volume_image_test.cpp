// Volume images through the command line: a volume whose primary boot sector was overwritten
// is imaged with its backup boot sector in front, an interrupted image continues to the same
// bytes, an image file longer than its volume is not continued, an image opens in Torvane as
// the volume it copies, and a full output file system fails the image.
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>

#include "disk/image_creator.h"
#include "test_util.h"
#include "util/sha256.h"

namespace torvane {
namespace {

namespace fs = std::filesystem;

std::vector<uint8_t> Slice(const std::vector<uint8_t>& bytes, uint64_t sector, uint64_t count) {
  return {bytes.begin() + static_cast<std::ptrdiff_t>(sector * 512),
          bytes.begin() + static_cast<std::ptrdiff_t>((sector + count) * 512)};
}

TEST(VolumeImageTest, BackupBootSectorStandsInForTheOverwrittenPrimaryAndContinuingGivesTheSameBytes) {
  test::TempDir dir;
  const fs::path disk = test::DataPath("partsearch/overwritten-start.raw");
  const auto source = test::ReadFile(disk);
  const std::string img = (dir / "v.img").string();
  std::string out;
  ASSERT_EQ(test::RunCli("image " + disk.string() + " -v 0 -o " + img, &out), 0) << out;
  EXPECT_NE(out.find("backup boot sector"), std::string::npos) << out;
  const auto image = test::ReadFile(img);
  // The volume at 2048 as the table gives it (47104 sectors), its first sector the backup.
  ASSERT_EQ(image.size(), 47104u * 512);
  EXPECT_EQ(Slice(image, 0, 1), Slice(source, 2048 + 47103, 1));
  EXPECT_EQ(Slice(image, 1, 47103), Slice(source, 2049, 47103));
  if (std::system("command -v fsstat >/dev/null 2>&1") == 0) {
    EXPECT_EQ(std::system(("fsstat " + img + " >/dev/null 2>&1").c_str()), 0) << "sleuthkit reads the image";
  }

  // Cut short (as an interrupted run leaves it) and continued: the same bytes.
  fs::resize_file(img, 10000 * 512 + 100);
  ASSERT_EQ(test::RunCli("image " + disk.string() + " -v 0 -o " + img + " --continue", &out), 0) << out;
  EXPECT_NE(out.find("Continuing the image at sector 10000"), std::string::npos) << out;
  EXPECT_TRUE(test::ReadFile(img) == image);

  // A file longer than the volume is not continued, and stays as it was.
  fs::resize_file(img, 47105 * 512);
  EXPECT_EQ(test::RunCli("image " + disk.string() + " -v 0 -o " + img + " --continue", &out), 1);
  EXPECT_NE(out.find("longer than"), std::string::npos) << out;
  EXPECT_EQ(fs::file_size(img), 47105u * 512);
  // The disk itself is never the output (a copy, should that ever fail).
  const fs::path copy = dir / "copy.raw";
  fs::copy_file(disk, copy);
  EXPECT_EQ(test::RunCli("image " + copy.string() + " -v 0 -o " + copy.string() + " --continue", &out), 1);
  EXPECT_TRUE(test::ReadFile(copy) == source);
}

std::string Sha256Of(const fs::path& path) {
  const auto bytes = test::ReadFile(path);
  Sha256 sha;
  sha.Update(std::as_bytes(std::span(bytes)));
  return sha.HexDigest();
}

// Every existing file of the manifest (path, sha256, deleted) recovered from volume 0 of
// `disk` with its content.
void ExpectFilesOf(const fs::path& disk, const fs::path& manifest, const fs::path& into) {
  std::string out;
  ASSERT_EQ(test::RunCli("recover " + disk.string() + " -v 0 -o " + into.string() + " --all --no", &out), 0) << out;
  size_t checked = 0;
  for (const auto& row : test::ReadTsv(manifest, false)) {
    // Names longer than a file name may be are shortened by the recovery.
    if (row[2] != "no" || fs::path(row[0]).filename().string().size() > 200) continue;
    EXPECT_EQ(Sha256Of(into / row[0]), row[1]) << row[0];
    ++checked;
  }
  EXPECT_GT(checked, 100u);
}

TEST(VolumeImageTest, AnImageOpensAsTheVolumeWithTheSameFilesAndAnInterruptedOneContinuesToTheSameBytes) {
  test::TempDir dir;
  const fs::path disk = test::DataPath("fat/fat16-mbr.vmdk"), img = dir / "v.img";
  std::string out, listing, copied;
  ASSERT_EQ(test::RunCli("image " + disk.string() + " -v 0 -o " + img.string(), &out), 0) << out;
  ASSERT_EQ(test::RunCli("ls " + disk.string() + " -v 0 -r --json", &listing), 0) << listing;
  ASSERT_EQ(test::RunCli("ls " + img.string() + " -v 0 -r --json", &copied), 0) << copied;
  EXPECT_EQ(copied, listing) << "the image lists the volume's files, deleted ones included";
  ExpectFilesOf(img, test::DataPath("fat/fat16-mbr.files.tsv"), dir / "files");
  if (std::system("command -v fsck.fat >/dev/null 2>&1") == 0) {
    EXPECT_EQ(std::system(("fsck.fat -n " + img.string() + " >/dev/null 2>&1").c_str()), 0) << "a consistent FAT";
  }
  const auto image = test::ReadFile(img);

  // Stopped after its first run, as Ctrl-C leaves it, then continued.
  {
    DiskSource source;
    std::string error;
    ASSERT_TRUE(source.OpenSource(disk, 0, error)) << error;
    std::atomic<bool> stop{false};
    ImageJob job;
    job.output = dir / "cut.img";
    job.firstSector = 2048;
    job.sectorCount = image.size() / 512;
    const ImageResult r = CreateImage(
        source, job, [&](uint64_t, uint64_t) { stop = true; }, &stop);
    ASSERT_EQ(r.status, ImageStatus::kAborted);
    ASSERT_LT(r.sectorsCopied, job.sectorCount);
  }
  ASSERT_EQ(test::RunCli("image " + disk.string() + " -v 0 -o " + (dir / "cut.img").string() + " --continue", &out), 0)
      << out;
  EXPECT_TRUE(test::ReadFile(dir / "cut.img") == image);

  // Continued from a length that is not whole sectors, the partial sector's bytes in front
  // of zeros of the source: the image is cut to whole sectors first.
  size_t zeros = 1;
  while (
      zeros * 512 + 65536 <= image.size() &&
      !std::all_of(image.begin() + zeros * 512, image.begin() + zeros * 512 + 65536, [](uint8_t b) { return b == 0; }))
    ++zeros;
  ASSERT_LT(zeros * 512 + 65536, image.size());
  std::vector<uint8_t> partial(image.begin(), image.begin() + zeros * 512);
  partial.insert(partial.end(), 100, 0xEE);
  test::WriteFile(dir / "partial.img", partial);
  ASSERT_EQ(test::RunCli("image " + disk.string() + " -v 0 -o " + (dir / "partial.img").string() + " --continue", &out),
            0)
      << out;
  EXPECT_TRUE(test::ReadFile(dir / "partial.img") == image);
}

TEST(VolumeImageTest, AFullOutputFileSystemFailsTheImage) {
  test::TempDir dir;
  const fs::path mnt = dir / "small";
  fs::create_directory(mnt);
  if (::geteuid() != 0 || ::mount("tmpfs", mnt.c_str(), "tmpfs", 0, "size=512k") != 0)
    GTEST_SKIP() << "mounting a small tmpfs needs root";
  std::string out;
  const int code = test::RunCli(
      "image " + test::DataPath("fat/fat16-mbr.vmdk").string() + " -v 0 -o " + (mnt / "v.img").string(), &out);
  ::umount(mnt.c_str());
  EXPECT_EQ(code, 1) << out;
  EXPECT_NE(out.find("the image failed"), std::string::npos) << out;
  EXPECT_NE(out.find("No space left"), std::string::npos) << out;
  EXPECT_EQ(out.find("Wrote"), std::string::npos) << out;
}

}  // namespace
}  // namespace torvane
