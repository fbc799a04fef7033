// Volume images through the command line: a volume whose primary boot sector was overwritten
// is imaged with its backup boot sector in front, an interrupted image continues to the same
// bytes, and an image file longer than its volume is not continued.
#include <gtest/gtest.h>

#include <filesystem>

#include "test_util.h"

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

}  // namespace
}  // namespace torvane
