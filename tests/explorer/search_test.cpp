// Search: the byte searches and the content matcher, masks, the walk over folders (cycles
// and the result cap on built lists), and searches by name and content on the NTFS fixture.
#include "explorer/search.h"

#include <gtest/gtest.h>

#include <map>

#include "fs/volume_fixture.h"
#include "recovery/content_reader.h"
#include "test_util.h"

namespace torvane::explorer {
namespace {

std::span<const uint8_t> Bytes(std::string_view s) {
  return {reinterpret_cast<const uint8_t*>(s.data()), s.size()};
}

SearchCriteria TextCriteria(std::string_view text, bool wholeWords = false, bool caseSensitive = false) {
  SearchCriteria c;
  c.contentKind = ContentKind::kAscii;
  c.contentBytes.assign(text.begin(), text.end());
  c.wholeWords = wholeWords;
  c.caseSensitive = caseSensitive;
  return c;
}

// Feeds the pieces to a matcher, then ends the data.
bool Matches(const SearchCriteria& c, std::initializer_list<std::string_view> pieces) {
  ContentMatcher m(c);
  for (auto p : pieces)
    if (!m.WriteChunk(std::as_bytes(std::span(p.data(), p.size())))) break;
  if (!m.Found()) m.Finish();
  return m.Found();
}

TEST(SearchTest, ByteSearchesCaseTablesAndPatterns) {
  EXPECT_EQ(FindBytesFolded(Bytes("xx\xC9t\xC9 HELLO"), Bytes("\xE9T\xE9")), 2);  // É/é in Latin-1
  EXPECT_EQ(FindBytes(Bytes("xxHELLO hello"), Bytes("hello")), 8);
  EXPECT_EQ(FindBytesFolded(Bytes("ab"), Bytes("abc")), -1);
  // UTF-16 text at an odd offset, and Cyrillic letters of either case.
  const std::string odd(
      "\x01"
      "A\0B\0",
      5),
      cyr("\x10\x04\x31\x04", 4), cyrLow("\x30\x04\x11\x04", 4);
  EXPECT_EQ(FindWordsFolded(Bytes(odd), Bytes(std::string("a\0b\0", 4))), 1);
  EXPECT_EQ(FindWords(Bytes(odd), Bytes(std::string("a\0b\0", 4))), -1);
  EXPECT_EQ(FindWordsFolded(Bytes(cyr), Bytes(cyrLow)), 0);

  std::vector<uint8_t> hex;
  std::string key;
  EXPECT_FALSE(ParseHexPattern("ABC", hex, key));
  EXPECT_EQ(key, "szHexValuesParity");
  EXPECT_FALSE(ParseHexPattern("  ", hex, key));
  EXPECT_EQ(key, "szPleaseEnterSearchData");
  EXPECT_FALSE(ParseHexPattern("0G", hex, key));
  ASSERT_TRUE(ParseHexPattern("0a 1B", hex, key));
  EXPECT_EQ(hex, (std::vector<uint8_t>{0x0A, 0x1B}));
  EXPECT_EQ(SizeBand(102400, 10), std::make_pair(uint64_t{92160}, uint64_t{112640}));
}

TEST(SearchTest, ContentAcrossPiecesCaseAndWholeWords) {
  EXPECT_TRUE(Matches(TextCriteria("needle"), {"hay ne", "EDLE hay"}));
  EXPECT_FALSE(Matches(TextCriteria("needle", false, true), {"hay ne", "EDLE hay"}));
  // Every occurrence is tested: the first is inside a word, the second stands alone.
  EXPECT_TRUE(Matches(TextCriteria("cat", true), {"concatenate the cat\n"}));
  EXPECT_FALSE(Matches(TextCriteria("cat", true), {"concatenate cats"}));
  EXPECT_TRUE(Matches(TextCriteria("cat", true), {"cat"}));    // the whole data
  EXPECT_TRUE(Matches(TextCriteria("cat", true), {"x cat"}));  // at the end of the data
  // At the end of a piece the word waits for the next one.
  EXPECT_FALSE(Matches(TextCriteria("cat", true), {"a cat", "s"}));
  EXPECT_TRUE(Matches(TextCriteria("cat", true), {"a cat", "\tb"}));
  EXPECT_TRUE(Matches(TextCriteria("cat", true), {"a ", "c", "a", "t", " "}));
  EXPECT_FALSE(Matches(TextCriteria("cat", true), {"a", "c", "a", "t", " "}));
  // UNICODE words: the characters beside the word are whole UTF-16 units.
  SearchCriteria wide;
  wide.contentKind = ContentKind::kUnicode;
  wide.wholeWords = true;
  TextPattern(u"ab", ContentKind::kUnicode, wide.contentBytes);
  EXPECT_TRUE(Matches(wide, {std::string_view("x\0 \0A\0B\0\n\0", 10)}));
  EXPECT_FALSE(Matches(wide, {std::string_view("x\0 \0A\0B\0c\0", 10)}));
  // A long run of zeros between two halves of nothing; a pattern of zeros is found in it.
  SearchCriteria zeros;
  zeros.contentKind = ContentKind::kHex;
  zeros.contentBytes = {0, 0, 0, 1};
  ContentMatcher m(zeros);
  m.WriteZeros(10ull << 30);
  EXPECT_FALSE(m.Found());
  const std::byte one[] = {std::byte{1}};
  m.WriteChunk(one);
  EXPECT_TRUE(m.Found());
}

TEST(SearchTest, MasksHaveNoLengthCap) {
  const std::u16string longName = u"quarterly financial statements and supporting schedules - final.txt";
  EXPECT_TRUE(MatchesMask(longName, u"quarterly financial statements and supporting*.TXT"));
  EXPECT_FALSE(MatchesMask(longName, u"quarterly financial statements and supporting*.doc"));
  EXPECT_TRUE(MatchesMask(u"a.b", u"*"));
  EXPECT_TRUE(MatchesMask(u"r\u00C9sum\u00E9.txt", u"R\u00E9SUM?.*"));
  EXPECT_FALSE(MatchesMask(u"abc", u"a?"));
  EXPECT_EQ(SplitMasks(u" *.C, *.cpp,,*.h "), (std::vector<std::u16string>{u"*.c", u"*.cpp", u"*.h"}));
}

// A folder tree given by hand: folder 0 holds 1 and 2, folder 1 holds folder 0 again (a
// cycle, as FAT ".." entries or broken NTFS parents make one) and 3.
struct BuiltSource final : FolderSource {
  std::vector<FileEntry> entries;
  std::map<uint64_t, std::vector<uint64_t>> children;
  uint64_t EntryCount() const override { return entries.size(); }
  FileEntry Entry(uint64_t i) const override { return entries[i]; }
  std::u16string Name(uint64_t i) const override { return u"file" + std::u16string(1, char16_t(u'0' + i % 10)); }
  void Children(uint64_t node, std::vector<uint64_t>& out) const override {
    auto it = children.find(node);
    out = it == children.end() ? std::vector<uint64_t>{} : it->second;
  }
};

TEST(SearchTest, FolderCyclesEndAndResultsAreCapped) {
  BuiltSource s;
  s.entries.resize(4);
  s.entries[0].folderFlag = s.entries[1].folderFlag = kFolderFlag;
  s.entries[0].state = s.entries[1].state = s.entries[2].state = kStateExisting;
  s.entries[3].state = kStateRecoverable;
  s.children[FolderSource::kRootNode] = {0};
  s.children[0] = {1, 2};
  s.children[1] = {0, 3};
  std::atomic<bool> stop{false};
  SearchResult r = RunSearch(s, {}, {}, stop);
  EXPECT_EQ(r.matches, (std::vector<uint64_t>{0, 1, 2, 3}));
  SearchCriteria deleted;
  deleted.deletedOnly = true;
  EXPECT_EQ(RunSearch(s, deleted, {}, stop).matches, (std::vector<uint64_t>{3}));

  BuiltSource big;
  big.entries.resize(kMaxSearchResults + 5);
  auto& root = big.children[FolderSource::kRootNode];
  for (uint64_t i = 0; i < big.entries.size(); ++i) root.push_back(i);
  r = RunSearch(big, {}, {}, stop);
  EXPECT_TRUE(r.truncated);
  EXPECT_EQ(r.matches.size(), kMaxSearchResults);
  stop = true;
  EXPECT_TRUE(RunSearch(big, {}, {}, stop).stopped);
}

struct NtfsFixture : test::FixtureVolume {
  std::unique_ptr<ItemTree> tree;
  NtfsFixture() : FixtureVolume(test::DataPath("ntfs/ntfs.vmdk")) {
    EXPECT_TRUE(ok()) << error;
    tree = ws.fileSystem->MakeTree();
  }
  std::vector<std::string> Search(const SearchCriteria& c) {
    TreeFolderSource source(ws.store.deletedEntries, *tree);
    ReaderContext ctx = Reader();
    SearchJob job;
    ctx.searchStop = job.StopFlag();
    job.Start(source, c, [&](const FileEntry& e, ReaderSink& sink) { return recovery::ReadItemContent(ctx, e, sink); });
    std::vector<std::string> paths;
    for (uint64_t i : job.Wait().matches) paths.push_back(test::EntryPath(*tree, i));
    std::sort(paths.begin(), paths.end());
    return paths;
  }
  FileEntry At(const std::string& path) {
    for (uint64_t i = 0; i < EntryCount(ws.store.deletedEntries); ++i)
      if (test::EntryPath(*tree, i) == path) return EntryAt(ws.store.deletedEntries, i);
    ADD_FAILURE() << path;
    return {};
  }
};

TEST(SearchTest, ByNameAndContentOnTheNtfsFixture) {
  NtfsFixture v;
  SearchCriteria names;
  names.masks = SplitMasks(u"*.CSV, quarterly financial statements and supporting schedules for*");
  names.minSize = 60000;
  const auto byName = v.Search(names);
  EXPECT_NE(std::find(byName.begin(), byName.end(), "Projects/Beta/Data Sets/measurements.csv"), byName.end());
  EXPECT_NE(std::find(byName.begin(), byName.end(), "Compressed/table.csv"), byName.end());
  for (const auto& p : byName) EXPECT_TRUE(p.ends_with(".csv") || p.starts_with("Archive/Quarterly")) << p;

  // Bytes from the middle of a deleted compressed file and of an existing compressed file
  // are found in them (and the deleted one alone with --deleted).
  ReaderContext ctx = v.Reader();
  for (const std::string path : {"Compressed/server.log", "Compressed/Sub Folder/nested.txt"}) {
    const FileEntry e = v.At(path);
    std::vector<std::byte> content;
    ASSERT_TRUE(recovery::ReadItemToMemory(ctx, e, 0, content)) << path;
    SearchCriteria c;
    c.contentKind = ContentKind::kHex;
    const auto* middle = reinterpret_cast<const uint8_t*>(content.data()) + content.size() / 2 + 70001 % 997;
    c.contentBytes.assign(middle, middle + 24);
    c.deletedOnly = e.state != kStateExisting;
    const auto found = v.Search(c);
    EXPECT_NE(std::find(found.begin(), found.end(), path), found.end()) << path;
  }
  SearchCriteria nothing = TextCriteria("no file holds this text: 7f3c9a1e");
  EXPECT_TRUE(v.Search(nothing).empty());
}

TEST(SearchTest, TheCommandLinePrintsMatchesAsLsDoes) {
  const std::string disk = "'" + test::DataPath("ntfs/ntfs.vmdk").string() + "'";
  std::string text;
  ASSERT_EQ(test::RunCli("search " + disk + " -v 0 --name '*.ini' --name=LIST.txt --deleted --json", &text), 0)
      << text;
  EXPECT_NE(text.find("\"name\":\"settings.ini\""), std::string::npos) << text;
  EXPECT_NE(text.find("\"path\":\"Lost files/2019/Photos/list.txt\""), std::string::npos) << text;
  EXPECT_EQ(test::RunCli("search " + disk + " -v 0 --text x --hex 00", &text), 2);
  EXPECT_EQ(test::RunCli("search " + disk + " -v 0 --after 2024-02-30", &text), 2);
  ASSERT_EQ(test::RunCli("hexdump " + disk + " -v 0 readme.txt --length 20", &text), 0) << text;
  EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 3) << text;  // the heading and two rows
  EXPECT_NE(text.find("\n0000000010  "), std::string::npos) << text;
  EXPECT_EQ(test::RunCli("hexdump " + disk + " -v 0 Projects", &text), 1);
  EXPECT_NE(text.find("is a folder"), std::string::npos) << text;
}

}  // namespace
}  // namespace torvane::explorer
