// The language of the command line: a language file changes what every command prints, and
// every text the command line looks up has its English text built in.
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <regex>
#include <set>
#include <sstream>

#include "app/language.h"
#include "test_util.h"

namespace torvane {
namespace {

std::string Quote(const std::filesystem::path& p) {
  return "'" + p.string() + "'";
}

// A settings folder under a temporary XDG_CONFIG_HOME for as long as it lives.
class TestSettings {
 public:
  TestSettings() {
    std::filesystem::create_directories(folder() / "language");
    setenv("XDG_CONFIG_HOME", dir_.path().c_str(), 1);
  }
  ~TestSettings() { unsetenv("XDG_CONFIG_HOME"); }
  std::filesystem::path folder() const { return dir_ / "torvane"; }

 private:
  test::TempDir dir_;
};

TEST(CliLanguageTest, ALanguageFileChangesWhatTheCommandsPrint) {
  TestSettings settings;
  test::WriteFile(settings.folder() / "language" / "Test.lng",
                  std::string("[CLI]\n"
                              "szInfoDisk=Levy:\n"
                              "szColumnName=Nimi\n"
                              "szScanSummary=SKANNATTU %s/%s/%s/%s/%s\n"
                              "szNoSuchVolume=ei taltiota %s levyll\xC3\xA4 %s\n"
                              "szRecoverSummary=PALAUTETTU %s (%s) %s; %s %s %s\n"
                              "szUnknownOption=tuntematon valitsin %s\n"
                              "szCommandInfo=kuvaa levyn\n"));
  const std::string demo = Quote(test::SourcePath("samples/demo.vmdk"));
  std::string text;

  ASSERT_EQ(test::RunCli("info --lang Test " + Quote(test::DataPath("vmdk/sparse.vmdk")), &text), 0) << text;
  EXPECT_EQ(text.rfind("Levy:      ", 0), 0u) << text;  // the values still line up
  ASSERT_EQ(test::RunCli("volumes --lang Test " + demo, &text), 0) << text;
  EXPECT_NE(text.find("Nimi "), std::string::npos) << text;
  EXPECT_EQ(text.find(" Name "), std::string::npos) << text;
  // JSON is data: its keys stay as they are.
  ASSERT_EQ(test::RunCli("volumes --json --lang Test " + demo, &text), 0) << text;
  EXPECT_NE(text.find("\"name\":"), std::string::npos) << text;
  ASSERT_EQ(test::RunCli("scan --lang Test " + demo + " -v 0", &text), 0) << text;
  EXPECT_NE(text.find("SKANNATTU "), std::string::npos) << text;
  EXPECT_EQ(test::RunCli("ls --lang Test " + demo + " -v 9", &text), 1);
  EXPECT_NE(text.find("torvane: ei taltiota 9 levyll\xC3\xA4 "), std::string::npos) << text;
  EXPECT_EQ(test::RunCli("info --bogus --lang Test", &text), 2);
  EXPECT_NE(text.find("tuntematon valitsin --bogus"), std::string::npos) << text;
  ASSERT_EQ(test::RunCli("--lang Test --help", &text), 0);
  EXPECT_NE(text.find("kuvaa levyn"), std::string::npos) << text;

  // The configuration's language, without --lang; a text the file lacks stays English.
  test::WriteFile(settings.folder() / "Torvane.cfg", std::string("[MAIN]\nLANGUAGE=Test\n"));
  test::TempDir out;
  ASSERT_EQ(test::RunCli("recover " + demo + " -v 0 -o " + Quote(out / "o") + " hello.txt", &text), 0) << text;
  EXPECT_NE(text.find("PALAUTETTU 1 ("), std::string::npos) << text;
  EXPECT_NE(text.find("Folders total 0"), std::string::npos) << text;
}

// Every key written in the command line's sources, as CliText("key") (section CLI),
// Text("key") (EXT_STRINGS), Text("SECTION", "key") or a "sz..." key kept in a table, has
// an English text.
TEST(CliLanguageTest, EveryKeyTheCommandLineUsesHasAnEnglishText) {
  const std::regex cliCall(R"re(CliText\(\s*(?:[^;]*?\?\s*)?"(\w+)")re");
  const std::regex extCall(R"re((?:^|[^.\w])Text\(\s*"(\w+)"\s*[,)])re");
  const std::regex sectionCall(R"re(Text\(\s*"(\w+)",\s*"(\w+)"\))re"), anyKey(R"re("(sz\w+)")re");
  size_t keys = 0;
  for (const auto& file : std::filesystem::directory_iterator(test::SourcePath("src/app/cli"))) {
    std::ifstream in(file.path());
    std::stringstream buffer;
    buffer << in.rdbuf();
    const std::string source = buffer.str();
    const auto each = [&](const std::regex& r, auto check) {
      for (auto it = std::sregex_iterator(source.begin(), source.end(), r); it != std::sregex_iterator(); ++it)
        check(*it);
    };
    std::set<std::string> inSections;
    each(sectionCall, [&](const std::smatch& m) {
      EXPECT_TRUE(app::EnglishText(m[1].str(), m[2].str())) << file.path().filename() << ": " << m[1] << "/" << m[2];
      inSections.insert(m[2]);
    });
    each(cliCall, [&](const std::smatch& m) {
      EXPECT_TRUE(app::EnglishText("CLI", m[1].str())) << file.path().filename() << ": " << m[1];
      ++keys;
    });
    each(extCall, [&](const std::smatch& m) {
      EXPECT_TRUE(app::EnglishText("EXT_STRINGS", m[1].str())) << file.path().filename() << ": " << m[1];
    });
    each(anyKey, [&](const std::smatch& m) {
      const std::string key = m[1];
      EXPECT_TRUE(inSections.count(key) || app::EnglishText("CLI", key) || app::EnglishText("EXT_STRINGS", key))
          << file.path().filename() << ": " << key;
    });
  }
  EXPECT_GT(keys, 100u);  // the scan found the calls
}

}  // namespace
}  // namespace torvane
