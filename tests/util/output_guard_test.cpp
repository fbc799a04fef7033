// The output guard: the source's files are refused by identity whatever path names them,
// existing files are never truncated or replaced unless named for replacement, and links in
// an output folder are never followed.
#include "util/output_guard.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include "test_util.h"
#include "util/text.h"

namespace torvane {
namespace {

FileId IdOf(const std::filesystem::path& p) {
  struct stat st {};
  EXPECT_EQ(::stat(p.c_str(), &st), 0) << p;
  return {static_cast<uint64_t>(st.st_dev), static_cast<uint64_t>(st.st_ino)};
}

std::string Text(const std::filesystem::path& p) {
  const auto bytes = test::ReadFile(p);
  return {bytes.begin(), bytes.end()};
}

TEST(OutputGuardTest, TheSourceIsRefusedUnderAnyNameAndNothingIsTruncatedOnTheWay) {
  test::TempDir dir;
  test::WriteFile(dir / "disk.vmdk", std::string("source"));
  test::WriteFile(dir / "other.img", std::string("keep me"));
  std::filesystem::create_symlink(dir / "disk.vmdk", dir / "link.img");
  std::filesystem::create_hard_link(dir / "disk.vmdk", dir / "hard.img");
  std::filesystem::create_symlink(dir / "other.img", dir / "to-other.img");
  const OutputGuard guard({IdOf(dir / "disk.vmdk")});

  EXPECT_TRUE(guard.IsProtected(dir / "link.img"));
  EXPECT_TRUE(guard.IsProtected(dir.path() / "." / "hard.img"));
  EXPECT_FALSE(guard.IsProtected(dir / "other.img"));
  EXPECT_FALSE(guard.IsProtected(dir / "missing"));

  std::string error;
  EXPECT_FALSE(guard.OpenForReplace(dir / "hard.img", error));
  EXPECT_NE(error.find("is a file of the disk being read"), std::string::npos) << error;
  // A link is not followed for replacement, wherever it leads.
  EXPECT_FALSE(guard.OpenForReplace(dir / "link.img", error));
  EXPECT_FALSE(guard.OpenForReplace(dir / "to-other.img", error));
  EXPECT_NE(error.find("symbolic link"), std::string::npos) << error;
  EXPECT_EQ(Text(dir / "disk.vmdk"), "source");
  EXPECT_EQ(Text(dir / "other.img"), "keep me");
  // An ordinary file named for replacement is cut only after the checks.
  UniqueFd replaced = guard.OpenForReplace(dir / "other.img", error);
  ASSERT_TRUE(replaced) << error;
  EXPECT_EQ(std::filesystem::file_size(dir / "other.img"), 0u);

  // A new file never goes through an existing name, not even a dangling link.
  std::filesystem::create_symlink(dir / "nowhere", dir / "dangling");
  EXPECT_FALSE(guard.CreateNew(dir / "link.img", error));
  EXPECT_NE(error.find("is a file of the disk being read"), std::string::npos) << error;
  EXPECT_FALSE(guard.CreateNew(dir / "dangling", error));
  EXPECT_FALSE(std::filesystem::exists(dir / "nowhere"));
  EXPECT_TRUE(guard.CreateNew(dir / "new.img", error)) << error;
}

TEST(OutputGuardTest, FoldersAreNotFollowedThroughLinksAndPendingFilesNeverReplace) {
  test::TempDir out, outside;
  std::filesystem::create_symlink(outside.path(), out / "Documents");
  test::WriteFile(out / "plain", std::string("x"));
  std::string error;
  const OutputGuard guard;
  UniqueFd root = guard.OpenOutputFolder(out.path(), error);
  ASSERT_TRUE(root) << error;
  EXPECT_FALSE(OutputGuard::OpenSubfolder(root.Get(), "Documents", error));
  EXPECT_NE(error.find("symbolic link"), std::string::npos) << error;
  EXPECT_FALSE(OutputGuard::OpenSubfolder(root.Get(), "plain", error));
  EXPECT_FALSE(OutputGuard::OpenSubfolder(root.Get(), "..", error));
  EXPECT_TRUE(std::filesystem::is_empty(outside.path()));
  UniqueFd made = OutputGuard::OpenSubfolder(root.Get(), "Made", error);
  ASSERT_TRUE(made) << error;

  // Finished: named without replacing; dropped: gone.
  {
    PendingFile file;
    ASSERT_TRUE(file.Create(made.Get(), error)) << error;
    ASSERT_EQ(::write(file.Fd(), "new", 3), 3);
    EXPECT_EQ(file.Commit("plain", error), PendingFile::CommitResult::kDone) << error;
    PendingFile second;
    ASSERT_TRUE(second.Create(made.Get(), error));
    EXPECT_EQ(second.Commit("plain", error), PendingFile::CommitResult::kExists);
    EXPECT_EQ(second.Commit("other", error), PendingFile::CommitResult::kDone);
    PendingFile dropped;
    ASSERT_TRUE(dropped.Create(made.Get(), error));
  }
  EXPECT_EQ(Text(out / "Made/plain"), "new");
  EXPECT_EQ(Text(out / "plain"), "x");
  size_t files = 0;
  for (const auto& entry : std::filesystem::directory_iterator(out / "Made")) {
    EXPECT_EQ(entry.path().filename().string().rfind(".torvane-partial", 0), std::string::npos);
    ++files;
  }
  EXPECT_EQ(files, 2u);
}

TEST(TextTest, Utf8ArgumentsBecomeUtf16) {
  EXPECT_EQ(FromUtf8("\xC3\xA9.bin"), u"é.bin");
  EXPECT_EQ(FromUtf8("\xF0\x9F\x98\x80"), u"\U0001F600");
  EXPECT_EQ(ToUtf8(FromUtf8("日本語")), "日本語");
  // Bytes that are not UTF-8 (Latin-1, overlong, cut short) become U+FFFD.
  EXPECT_EQ(FromUtf8("a\xE9z"), u"a\uFFFDz");
  EXPECT_EQ(FromUtf8("\xC0\xAF"), u"\uFFFD\uFFFD");
  EXPECT_EQ(FromUtf8("x\xE6\x97"), u"x\uFFFD");
}

}  // namespace
}  // namespace torvane
