#include "raw/catalogue/file_type_catalogue.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "util/ui_port.h"

namespace torvane {
namespace {

std::vector<uint8_t> ParseHex(std::string_view text) {
  std::vector<uint8_t> out;
  for (size_t i = 0; i < text.size();) {
    if (text[i] == ' ') {
      ++i;
      continue;
    }
    out.push_back(static_cast<uint8_t>(std::stoi(std::string(text.substr(i, 2)), nullptr, 16)));
    i += 2;
  }
  return out;
}

std::vector<std::byte> Bytes(std::string_view hex, size_t padTo = 0, uint8_t pad = 0xEE) {
  std::vector<std::byte> out;
  for (uint8_t b : ParseHex(hex)) out.push_back(static_cast<std::byte>(b));
  while (out.size() < padTo) out.push_back(static_cast<std::byte>(pad));
  return out;
}

TEST(FileTypeLookupTest, ByNumber) {
  EXPECT_EQ(FileTypeByNumber(0)->extension, ".first");
  EXPECT_EQ(FileTypeByNumber(65)->tag, "JPG");
  EXPECT_EQ(FileTypeByNumber(204)->extension, ".last");
  EXPECT_EQ(FileTypeByNumber(205), nullptr);
  EXPECT_EQ(FileTypeByNumber(0xFFFFFFFF), nullptr);
  EXPECT_EQ(FileTypeByNumber(100), &FileTypeCatalogue()[100]);
}

TEST(FileTypeLookupTest, ByTagPrefersTheListedEntryAndIgnoresCase) {
  struct Case {
    const char* key;
    int expected;  // -1: none
  };
  const Case cases[] = {
      {"KDBX", 8},        {"kdbx", 8},        {"7z", 37},    {"7Z", 37},    {"TIF", 184},      {"MPG", 151},
      {"MP3", 61},        {"PDB", 5},         {"DCU", 29},   {"SWF", 45},   {"PLIST", 195},    {"SLDASM", 158},
      {"PITy2013NG", 68}, {"pity2012ng", 67}, {"TXTu", 123}, {"TXTA", 124}, {"THUMBS.DB", 87}, {"FIRST", -1},
      {"LAST", -1},       {"", -1},           {"AIFC", -1},  {"JPEG", -1},
  };
  for (const Case& c : cases) {
    const FileTypeEntry* e = FileTypeEntryByTag(c.key);
    EXPECT_EQ(e ? e->number : -1, c.expected) << c.key;
  }
}

TEST(FileTypeLookupTest, ByExtensionWithOrWithoutTheDot) {
  struct Case {
    const char* key;
    int expected;
  };
  const Case cases[] = {
      {".jpg", 65},
      {"jpg", 65},
      {".JPG", 65},
      {".tif", 184},
      {"mpg", 151},
      {".U.txt", 123},
      {"a.TXT", 124},
      {".sldprt.sldasm", 155},
      {".sldasm", 158},
      {".jar", 99},
      {".PITY2013NG", 68},
      {".first", -1},
      {".last", -1},
      {".", -1},
      {"", -1},
      {".txt", -1},
  };
  for (const Case& c : cases) {
    const FileTypeEntry* e = FileTypeEntryByExtension(c.key);
    EXPECT_EQ(e ? e->number : -1, c.expected) << c.key;
  }
}

TEST(FileTypeLookupTest, RawFileNamesAreTheNineDigitNumberAndTheExtension) {
  const auto table = FileTypeCatalogue();
  EXPECT_EQ(RawFileName(17, table[65]), "000000017.jpg");
  EXPECT_EQ(RawFileName(999999999, table[65]), "999999999.jpg");  // first file, reverse scan
  EXPECT_EQ(RawFileName(1, table[123]), "000000001.U.txt");
  EXPECT_EQ(RawFileName(1234567890, table[155]), "1234567890.sldprt.sldasm");
}

std::vector<uint16_t> Matches(ByteSpan bytes) {
  std::vector<const FileTypeEntry*> out(8);
  const size_t n = FileTypesWithSignature(bytes, out);
  std::vector<uint16_t> numbers;
  for (size_t i = 0; i < std::min(n, out.size()); ++i) numbers.push_back(out[i]->number);
  return numbers;
}

// Every entry whose signature the bytes start with, by walking the whole table.
std::vector<uint16_t> MatchesByWalk(ByteSpan bytes) {
  std::vector<uint16_t> numbers;
  for (const FileTypeEntry& e : FileTypeCatalogue())
    if (SignatureMatches(e, bytes)) numbers.push_back(e.number);
  return numbers;
}

TEST(FileTypeSignatureTest, SharedAndNestedSignaturesAllAnswer) {
  using V = std::vector<uint16_t>;
  EXPECT_EQ(Matches(Bytes("52 49 46 46 24 00 00 00 57 41 56 45", 512)), (V{32, 46, 47, 48, 189}));
  EXPECT_EQ(Matches(Bytes("4d 5a 90 00", 512)), (V{51, 52, 53}));
  EXPECT_EQ(Matches(Bytes("01 0f 00 00 08", 512)), (V{6, 7}));
  // A one-byte signature is a prefix of longer ones.
  EXPECT_EQ(Matches(Bytes("ff d8 ff e0", 512)), (V{59, 65}));
  EXPECT_EQ(Matches(Bytes("47 49 46 38 39 61", 512)), (V{63, 149}));
  EXPECT_EQ(Matches(Bytes("47 40 11 10 00 42 f0 25 00 01 c1 00 00 ff 01 ff", 512)), (V{40, 149, 171}));
  // Bytes that stop inside a signature do not match it.
  EXPECT_EQ(Matches(Bytes("ff d8")), (V{59}));
  EXPECT_EQ(Matches(Bytes("4d 69 63 72 6f 73 6f 66 74 20 43 2f 43 2b 2b 20 70 72 6f 67 72 61 6d "
                          "20 64 61 74 61 62 61 73")),
            V{});
  EXPECT_EQ(Matches({}), V{});
  // Sectors of zeros carry no signature even though several start with 00.
  EXPECT_EQ(Matches(Bytes("", 512, 0)), V{});
}

TEST(FileTypeSignatureTest, CountsEveryMatchEvenWhenTheOutputIsShort) {
  const auto riff = Bytes("52 49 46 46", 16);
  std::vector<const FileTypeEntry*> out(2, nullptr);
  EXPECT_EQ(FileTypesWithSignature(riff, out), 5u);
  EXPECT_EQ(out[0]->number, 32);
  EXPECT_EQ(out[1]->number, 46);
  EXPECT_EQ(FileTypesWithSignature(riff, {}), 5u);
}

TEST(FileTypeSignatureTest, IndexAgreesWithAWalkOfTheTable) {
  // Each entry's own signature, followed by junk, and random sectors whose first byte is
  // taken from a signature so that every index bucket is visited.
  std::mt19937 rng(5);
  std::vector<std::vector<std::byte>> samples;
  for (const FileTypeEntry& e : FileTypeCatalogue()) {
    if (e.signature.length == 0) continue;
    std::vector<std::byte> s;
    for (uint8_t b : e.signature.view()) s.push_back(static_cast<std::byte>(b));
    samples.push_back(s);
    for (int i = 0; i < 40; ++i) s.push_back(static_cast<std::byte>(rng()));
    samples.push_back(s);
    s.resize(1);
    samples.push_back(s);
  }
  for (int b = 0; b < 256; ++b) samples.push_back({static_cast<std::byte>(b), std::byte{0}});
  for (const auto& s : samples) {
    std::vector<const FileTypeEntry*> out(16);
    const size_t n = FileTypesWithSignature(s, out);
    ASSERT_LE(n, out.size());
    std::vector<uint16_t> got;
    for (size_t i = 0; i < n; ++i) got.push_back(out[i]->number);
    EXPECT_EQ(got, MatchesByWalk(s)) << "first byte " << std::to_integer<int>(s[0]);
  }
  for (const FileTypeEntry& e : FileTypeCatalogue()) {
    if (e.signature.length == 0) continue;
    std::vector<std::byte> own;
    for (uint8_t b : e.signature.view()) own.push_back(static_cast<std::byte>(b));
    const auto found = MatchesByWalk(own);
    EXPECT_NE(std::find(found.begin(), found.end(), e.number), found.end()) << e.number;
  }
}

TEST(FileTypeScanStartTest, AMovedSentinelOrLnkEntryIsReported) {
  constexpr std::string_view kLastText = "SCAN_ITEM CRITICAL_COMIPLE_STRUCT_ERROR";
  constexpr std::string_view kLnkText = "LNK <> SCAN_ITEM CRITICAL_COMIPLE_STRUCT_ERROR";
  const auto source = FileTypeCatalogue();
  struct Case {
    const char* what;
    bool moveLast, moveLnk;
    std::vector<std::string_view> texts;
  };
  const Case cases[] = {
      {"last", true, false, {kLastText}},
      {"lnk", false, true, {kLnkText}},
      {"both", true, true, {kLastText, kLnkText}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::vector<FileTypeEntry> table(source.begin(), source.end());
    // An entry inserted before ".last" shifts it; one inserted before ".lnk" shifts that.
    if (c.moveLast) table[204].extension = ".heic";
    if (c.moveLnk) table[10].extension = ".kdb";
    RecordingUiPort ui;
    EXPECT_FALSE(CheckFileTypeNumbering(table, &ui));
    const auto messages = ui.Messages();
    ASSERT_EQ(messages.size(), c.texts.size());
    for (size_t i = 0; i < messages.size(); ++i) {
      EXPECT_EQ(messages[i].title, "COMPILE ERROR");
      EXPECT_EQ(messages[i].text, c.texts[i]);
      EXPECT_EQ(messages[i].icon, MessageIcon::kError);
    }
  }
  // A table cut short lacks the entries it ends before; no port to report to is no fault.
  RecordingUiPort ui;
  EXPECT_FALSE(CheckFileTypeNumbering(source.first(100), &ui));
  EXPECT_EQ(ui.Count(), 1u);
  EXPECT_EQ(ui.CountText(kLastText), 1u);
  EXPECT_FALSE(CheckFileTypeNumbering(source.first(10), &ui));
  EXPECT_EQ(ui.CountText(kLnkText), 1u);
  EXPECT_FALSE(CheckFileTypeNumbering(source.first(11), nullptr));
  // The check compares exactly: a change of case is a different extension.
  std::vector<FileTypeEntry> table(source.begin(), source.end());
  table[10].extension = ".LNK";
  EXPECT_FALSE(CheckFileTypeNumbering(table, nullptr));
}

TEST(FileTypeCountersTest, ANewScanRestartsTheCountsExceptThoseThatRunOn) {
  FileTypeCounters counters;
  for (uint32_t n = 0; n < kFileTypeCount; ++n) {
    counters.SetFound(n, 1000 + n);
    counters.SetScanWord(n, 7);
  }
  RecordingUiPort ui;
  EXPECT_TRUE(counters.BeginRawScan(&ui));
  EXPECT_EQ(ui.Count(), 0u);

  const std::set<uint32_t> runOn = {0, 64, 67, 69, 70, 73, 161, 204};
  uint32_t cleared = 0;
  for (uint32_t n = 0; n < kFileTypeCount; ++n) {
    EXPECT_EQ(FileTypeCountRunsOn(n), runOn.count(n) == 1) << n;
    if (runOn.count(n)) {
      EXPECT_EQ(counters.Found(n), 1000 + n) << n;
      EXPECT_EQ(counters.ScanWord(n), 7u) << n;
    } else {
      EXPECT_EQ(counters.Found(n), 0u) << n;
      EXPECT_EQ(counters.ScanWord(n), 0u) << n;
      ++cleared;
    }
  }
  EXPECT_EQ(cleared, 79u + 118u);  // the program's two type lists together
  // The neighbours of the run-on PITy entries are cleared like any other.
  EXPECT_FALSE(FileTypeCountRunsOn(68));
  EXPECT_FALSE(FileTypeCountRunsOn(71));
}

TEST(FileTypeCountersTest, FoundCountsNumberTheFilesOfEachType) {
  FileTypeCounters counters;
  counters.BeginRawScan(nullptr);
  EXPECT_EQ(counters.CountFound(65), 1u);
  EXPECT_EQ(counters.CountFound(65), 2u);
  EXPECT_EQ(counters.CountFound(66), 1u);  // each type numbers its own files
  EXPECT_EQ(counters.CountFound(161), 1u);
  EXPECT_EQ(counters.CountFound(161), 2u);

  // Second scan: the JPEGs start again at 1, the BLEND files go on at 3.
  counters.BeginRawScan(nullptr);
  EXPECT_EQ(counters.CountFound(65), 1u);
  EXPECT_EQ(counters.CountFound(161), 3u);
  EXPECT_EQ(counters.Found(66), 0u);

  EXPECT_EQ(counters.CountFound(kFileTypeCount), 0u);
  EXPECT_EQ(counters.Found(kFileTypeCount), 0u);
  counters.SetFound(kFileTypeCount, 5);  // ignored, not written past the end
  EXPECT_EQ(counters.ScanWord(9999), 0u);
}

TEST(FileTypeCountersTest, AFailedCheckStillStartsTheScan) {
  const auto source = FileTypeCatalogue();
  std::vector<FileTypeEntry> table(source.begin(), source.end());
  table[204].extension = ".xyz";
  FileTypeCounters counters;
  counters.SetFound(65, 40);
  counters.SetFound(64, 40);
  RecordingUiPort ui;
  EXPECT_FALSE(counters.BeginRawScan(&ui, table));
  EXPECT_EQ(ui.CountText("SCAN_ITEM CRITICAL_COMIPLE_STRUCT_ERROR"), 1u);
  EXPECT_EQ(counters.Found(65), 0u);
  EXPECT_EQ(counters.Found(64), 40u);
}

}  // namespace
}  // namespace torvane
