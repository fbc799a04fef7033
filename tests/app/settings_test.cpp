// The configuration, registry.ini, the folders of start-up and the language tables.
#include <gtest/gtest.h>
#include <stdlib.h>

#include "app/ini_file.h"
#include "app/language.h"
#include "app/settings.h"
#include "test_util.h"

namespace torvane::app {
namespace {

std::vector<uint8_t> Utf16LeWithBom(std::u16string_view text) {
  std::vector<uint8_t> out{0xFF, 0xFE};
  for (char16_t c : text) {
    out.push_back(static_cast<uint8_t>(c));
    out.push_back(static_cast<uint8_t>(c >> 8));
  }
  return out;
}

TEST(ConfigurationTest, RoundTripsAndReadsUtf16FilesOfEarlierVersions) {
  test::TempDir dir;
  Configuration config;
  config.language =
      "Fran\xC3\xA7"
      "ais";
  config.colours[0] = 0x0000FF;  // red as 0x00BBGGRR
  std::string error;
  ASSERT_TRUE(SaveConfiguration(dir / kConfigurationFileName, config, error)) << error;
  const auto bytes = test::ReadFile(dir / kConfigurationFileName);
  const std::string text(bytes.begin(), bytes.end());
  EXPECT_NE(text.find("DELETED=#FF0000"), std::string::npos) << text;
  Configuration back;
  ASSERT_TRUE(LoadConfiguration(dir / kConfigurationFileName, back, error)) << error;
  EXPECT_EQ(back.language, config.language);
  EXPECT_EQ(back.colours, config.colours);

  // A UTF-16LE file with its byte-order mark, keys in another case, an empty value that
  // keeps the default, and a colour that is not one.
  test::WriteFile(dir / "old.cfg", Utf16LeWithBom(u"[main]\r\nlanguage=Espa\u00F1ol\r\n[COLORS]\r\nexisting=00FF00\r\n"
                                                  u"DELETED=\r\nSPECIAL=#GG0000\r\n"));
  Configuration old;
  ASSERT_TRUE(LoadConfiguration(dir / "old.cfg", old, error)) << error;
  EXPECT_EQ(old.language, "Espa\xC3\xB1ol");
  EXPECT_EQ(old.colours[1], 0x00FF00u);
  EXPECT_EQ(old.colours[0], Configuration().colours[0]);
  EXPECT_EQ(old.colours[6], Configuration().colours[6]);
  // A missing file leaves every default.
  Configuration none;
  EXPECT_TRUE(LoadConfiguration(dir / "missing.cfg", none, error));
  EXPECT_EQ(none.colours, Configuration().colours);
}

TEST(ConfigurationTest, ValueTypesOfTheSharedReader) {
  const std::string text = "[S]\nT=say `hi`|two\xC2\xA6line<tend\nF=true-ish\nP= 12345 , 7\nI=x9\n";
  const IniFile ini = IniFile::Parse(std::as_bytes(std::span(text.data(), text.size())));
  std::string t;
  ReadText(ini, "S", "T", t);
  EXPECT_EQ(t, std::string("say \"hi\"\0two\r\nline\tend", 22));
  bool flag = false;
  ReadFlag(ini, "S", "F", flag);
  EXPECT_TRUE(flag);
  std::pair<int32_t, int32_t> pair{0, 0};
  ReadPair(ini, "S", "P", pair);
  EXPECT_EQ(pair, std::make_pair(1234, 7));  // each part cut to 4 characters
  int32_t integer = 5;
  ReadInteger(ini, "S", "I", integer);
  EXPECT_EQ(integer, 5);
}

struct Home {
  test::TempDir dir;
  Environment env{(dir / "config").string(), (dir / "cache").string(), (dir / "home").string()};
};

TEST(FoldersTest, AMissingFolderClearsTheSettingAndNothingIsCreatedOrWritten) {
  Home h;
  std::string error;
  ASSERT_TRUE(SaveRegistry(BaseFolder(h.env), {(h.dir / "gone").string(), (h.dir / "gone-too").string(), ""}, error));
  const auto registryBefore = test::ReadFile(BaseFolder(h.env) / "registry.ini");
  const Folders f = ResolveFolders(h.env);
  EXPECT_EQ(f.settings, BaseFolder(h.env));
  EXPECT_EQ(f.temp, h.dir / "cache" / "torvane" / "tmp");
  EXPECT_FALSE(f.warning.empty());
  EXPECT_FALSE(std::filesystem::exists(h.dir / "gone"));
  EXPECT_FALSE(std::filesystem::exists(f.temp));
  EXPECT_EQ(test::ReadFile(BaseFolder(h.env) / "registry.ini"), registryBefore);

  // An existing settings folder is used, and spath replaces it after the configuration.
  std::filesystem::create_directories(h.dir / "mine");
  std::filesystem::create_directories(h.dir / "later");
  Configuration c;
  c.language = "Test";
  ASSERT_TRUE(SaveConfiguration(h.dir / "mine" / kConfigurationFileName, c, error));
  ASSERT_TRUE(SaveRegistry(BaseFolder(h.env), {(h.dir / "mine").string(), "", (h.dir / "later").string()}, error));
  const Folders g = ResolveFolders(h.env);
  EXPECT_EQ(g.config.language, "Test");
  EXPECT_EQ(g.settings, h.dir / "later");
}

TEST(FoldersTest, TheWriteProbeNeverTouchesAUsersFile) {
  test::TempDir dir;
  test::WriteFile(dir / "x.dat", std::string("keep me"));
  std::string error;
  ASSERT_TRUE(CheckWritableFolder(dir / "new" / "deeper", error)) << error;
  ASSERT_TRUE(CheckWritableFolder(dir.path(), error)) << error;
  EXPECT_EQ(test::ReadFile(dir / "x.dat"), std::vector<uint8_t>({'k', 'e', 'e', 'p', ' ', 'm', 'e'}));
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path()), {}), 2);  // x.dat and new/
  test::WriteFile(dir / "file", std::string("x"));
  EXPECT_FALSE(CheckWritableFolder(dir / "file", error));
}

TEST(LanguageTest, AFileOverridesBySectionAndKeyAndMissingKeysStayEnglish) {
  test::TempDir dir;
  std::filesystem::create_directories(dir / "user" / "language");
  test::WriteFile(dir / "user" / "language" / "Test.lng",
                  std::string("[EXT_STRINGS]\nszNothingFound=Nichts gefunden\nszMatchesFound=%s Treffer %s %i\n"
                              "[WINDOW_HEX_VIEW]\n#C=Hex-Ansicht\n#V1001=Vorrang\n#1001=Text\n##1001=Hinweis\n"
                              "#1002=Name;Gr\xC3\xB6\xC3\x9F"
                              "e;\n#65535=nie\nM#1#2=\xC3\x96"
                              "ffnen\n"));
  LanguageTable table;
  std::string note;
  ASSERT_TRUE(table.Load("Test", LanguageFolders(dir / "user", dir / "bin"), note)) << note;
  EXPECT_EQ(table.Text("EXT_STRINGS", "szNothingFound"), "Nichts gefunden");
  EXPECT_EQ(table.Text("EXT_STRINGS", "szMemoryLow"), "MEMORY LOW...");  // not in the file
  EXPECT_EQ(table.Text("WINDOW_HEX_VIEW", "#C"), "Hex-Ansicht");
  EXPECT_EQ(table.Text("WINDOW_ADVANCED_SEARCH", "#C"), "Advanced search");
  // Conversions beyond the arguments are left empty, never read.
  EXPECT_EQ(FormatText(table.Text("EXT_STRINGS", "szMatchesFound"), {"3"}), "3 Treffer  ");

  const ControlTexts edit = LookUpControl(table, "WINDOW_HEX_VIEW", 1001, false);
  EXPECT_EQ(edit.text, "Vorrang");
  EXPECT_EQ(edit.tooltip, "Hinweis");
  EXPECT_EQ(LookUpControl(table, "WINDOW_HEX_VIEW", 1002, true).columns, (std::vector<std::string>{"Name",
                                                                                                   "Gr\xC3\xB6\xC3\x9F"
                                                                                                   "e",
                                                                                                   ""}));
  EXPECT_FALSE(LookUpControl(table, "WINDOW_HEX_VIEW", 65535, false).text);
  EXPECT_EQ(table.Override("WINDOW_HEX_VIEW", MenuItemKey(MenuItemKey(kMenuBarKey, 1), 2)),
            "\xC3\x96"
            "ffnen");

  // No file: English, said so.
  ASSERT_TRUE(table.Load("Klingon", LanguageFolders(dir / "user", dir / "bin"), note));
  EXPECT_EQ(table.Name(), "English");
  EXPECT_EQ(table.Text("EXT_STRINGS", "szNothingFound"), "Nothing found");
}

TEST(LanguageTest, HostileLanguageNamesAreRefused) {
  for (const char* name : {"", "..", "../Test", "a/b", "a\\b", ".hidden", "x\ny"}) {
    EXPECT_FALSE(IsValidLanguageName(name)) << name;
    LanguageTable table;
    std::string note;
    EXPECT_FALSE(table.Load(name, {"/tmp"}, note)) << name;
    EXPECT_NE(note.find("refused"), std::string::npos);
  }
  EXPECT_TRUE(IsValidLanguageName("Portugu\xC3\xAAs (Brasil)"));
}

TEST(CliLanguageTest, LangChoosesTheLanguageOfMessages) {
  test::TempDir dir;
  std::filesystem::create_directories(dir / "torvane" / "language");
  test::WriteFile(dir / "torvane" / "language" / "Test.lng",
                  std::string("[EXT_STRINGS]\nszHexValuesParity=Ungerade Anzahl von Ziffern\n"));
  ASSERT_EQ(setenv("XDG_CONFIG_HOME", dir.path().c_str(), 1), 0);
  const std::string disk = "'" + test::DataPath("ntfs/ntfs.vmdk").string() + "'";
  std::string text;
  EXPECT_EQ(test::RunCli("search " + disk + " -v 0 --hex ABC --lang Test", &text), 2);
  EXPECT_NE(text.find("Ungerade Anzahl von Ziffern"), std::string::npos) << text;
  EXPECT_EQ(test::RunCli("--lang=Test search " + disk + " -v 0 --hex 0a1", &text), 2);
  EXPECT_NE(text.find("Ungerade"), std::string::npos) << text;
  EXPECT_EQ(test::RunCli("search " + disk + " -v 0 --hex ABC", &text), 2);
  EXPECT_NE(text.find("length is parity"), std::string::npos) << text;
  EXPECT_EQ(test::RunCli("search " + disk + " -v 0 --hex ABC --lang ../torvane/language/Test", &text), 2);
  EXPECT_NE(text.find("refused"), std::string::npos) << text;
  unsetenv("XDG_CONFIG_HOME");
}

}  // namespace
}  // namespace torvane::app
