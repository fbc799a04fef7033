#include <gtest/gtest.h>

#include "test_util.h"

namespace torvane {
namespace {

using test::RunCli;

std::string Sample(const std::string& name) {
  return "'" + test::SourcePath("tests/data/probes/" + name).string() + "'";
}

TEST(CliIdentifyTest, JsonGivesEntryTagAndExactSizePerFile) {
  std::string text;
  ASSERT_EQ(
      RunCli("identify --json " + Sample("document.docx") + " " + Sample("word.doc") + " " + Sample("new.rar"), &text),
      0)
      << text;
  const std::string docx = "\"entry\":98,\"tag\":\"DOCX\",\"extension\":\".docx\",\"size\":472,\"estimated\":false}";
  const std::string doc = "\"entry\":95,\"tag\":\"DOC\",\"extension\":\".doc\",\"size\":11264,\"estimated\":false}";
  const std::string rar = "\"entry\":55,\"tag\":\"RAR\",\"extension\":\".rar\",\"size\":1550,\"estimated\":false}";
  EXPECT_NE(text.find(docx), std::string::npos) << text;
  EXPECT_NE(text.find(doc), std::string::npos) << text;
  EXPECT_NE(text.find(rar), std::string::npos) << text;
  EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 3) << text;
}

TEST(CliIdentifyTest, UnknownAndUnreadableFiles) {
  test::TempDir dir;
  test::WriteFile(dir / "notes.txt", std::string("nothing to see here\n"));
  std::string text;
  ASSERT_EQ(RunCli("identify --json '" + (dir / "notes.txt").string() + "'", &text), 0) << text;
  EXPECT_NE(text.find("\"entry\":null,\"tag\":\"\",\"extension\":\"\",\"size\":null,\"estimated\":false"),
            std::string::npos)
      << text;
  // A missing file and a folder: named on stderr, the other files still answered, exit 1.
  EXPECT_EQ(RunCli("identify '" + (dir / "missing").string() + "' '" + dir.path().string() + "' " + Sample("image.png"),
                   &text),
            1);
  EXPECT_NE(text.find("missing: No such file or directory"), std::string::npos) << text;
  EXPECT_NE(text.find("not a regular file"), std::string::npos) << text;
  EXPECT_NE(text.find("entry 62 PNG (.png), size 3 103 bytes"), std::string::npos) << text;
  EXPECT_EQ(RunCli("identify", &text), 2);
}

}  // namespace
}  // namespace torvane
