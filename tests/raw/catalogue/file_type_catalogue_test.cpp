#include "raw/catalogue/file_type_catalogue.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <map>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "util/ui_port.h"

namespace torvane {
namespace {

constexpr uint32_t kMiB = 1024 * 1024;

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

std::string SignatureHex(const FileTypeEntry& e) {
  std::string s;
  for (uint8_t b : e.signature.view()) {
    char t[4];
    std::snprintf(t, sizeof t, "%02x ", b);
    s += t;
  }
  if (!s.empty()) s.pop_back();
  return s;
}

// A row of the catalogue written as the table lists it.
struct Row {
  uint16_t number;
  const char* extension;
  const char* tag;
  uint32_t extensionLength;
  bool listed;
  const char* signature;  // "" = none
  bool confirm;
  SizeRule size;
  uint32_t maximumSize;
  const char* description;  // "" = none
};

constexpr SizeRule kNone = SizeRule::kMaximumOrNextHeader;
constexpr SizeRule kProbe = SizeRule::kProbe;
constexpr SizeRule kSub = SizeRule::kSubType;

const Row kRows[] = {
    {0, ".first", "FIRST", 0, true, "", false, kNone, 0, ""},
    {1, ".amr", "AMR", 3, true, "23 21 41 4d 52", false, kNone, 50 * kMiB, ""},
    // 32 bytes whose second half is zeros: the zeros belong to the signature.
    {2, ".res", "RES", 3, true,
     "00 00 00 00 20 00 00 00 ff ff 00 00 ff ff 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 "
     "00 00",
     false, kNone, 10 * kMiB, ""},
    {4, ".pdb", "PDB", 3, false,
     "4d 69 63 72 6f 73 6f 66 74 20 43 2f 43 2b 2b 20 4d 53 46 20", false, kNone, 10 * kMiB, ""},
    {5, ".pdb", "PDB", 3, true,
     "4d 69 63 72 6f 73 6f 66 74 20 43 2f 43 2b 2b 20 70 72 6f 67 72 61 6d 20 64 61 74 61 62 "
     "61 73 65",
     false, kNone, 10 * kMiB, ""},
    {6, ".ldf", "LDF", 3, true, "01 0f 00 00 08", true, kNone, 10 * kMiB, ""},
    {7, ".mdf", "MDF", 3, true, "01 0f 00 00 08", true, kNone, 200 * kMiB, ""},
    {8, ".kdbx", "KDBX", 4, true, "03 d9 a2 9a 67 fb 4b b5", true, kNone, 10 * kMiB, ""},
    {10, ".lnk", "LNK", 3, true, "4c 00 00 00 01 14 02 00 00 00 00 00 c0 00 00 00 00 00 00 46",
     false, kNone, 4096, ""},
    {22, ".skp", "SKP", 3, true,
     "ff fe ff 0e 53 00 6b 00 65 00 74 00 63 00 68 00 55 00 70 00 20 00 4d 00 6f 00 64 00 65 00 "
     "6c 00",
     false, kNone, 100 * kMiB, ""},
    {25, ".acp", "ACP", 3, true, "41 72 43 6f 6e 20 2d 20 50 72 6f 6a 65 6b 74 00", true, kProbe,
     0, ""},
    {34, ".dbx", "DBX", 3, true, "cf ad 12 fe", true, kProbe, 0, "Outlook Express Messages"},
    {36, ".dds", "DDS", 3, true, "44 44 53 20 7c", true, kProbe, 0,
     "DDS Image / Texture (Direct Draw Surface)"},
    {37, ".7z", "7z", 2, true, "37 7a bc af 27 1c", true, kProbe, 0, "7Z Archive (7-ZIP)"},
    {40, ".mts", "MTS", 3, true, "47 40 11 10 00 42 f0 25 00 01 c1 00 00 ff 01 ff", false, kProbe,
     500 * kMiB, ""},
    {41, ".mpg", "MPG", 3, false, "00 00 01 b9", true, kProbe, 128 * kMiB, "MPEG Video"},
    {57, ".pdf", "PDF", 3, true, "25 50 44 46", true, kProbe, 0,
     "PDF Document (Adobe Portable Document Form"},
    {59, ".mp3", "MP3", 3, false, "ff", true, kProbe, 0, ""},
    {64, ".tga", "TGA", 3, true, "01 00 02", true, kProbe, 0, "TGA Image (TrueVision Targa)"},
    {65, ".jpg", "JPG", 3, true, "ff d8 ff", true, kProbe, 25 * kMiB, "JPEG Image"},
    {67, ".PITy2012NG", "PITy2012NG", 10, true, "ff ff ff 46 33 49 5f 56 5f 31 2e 30 2e 30", false,
     kProbe, 0, ""},
    {69, ".PITy2013NG", "PITy2013NG", 10, true, "5b 70 6f 64 61 74 6e 69 63 79 5d 0d 0a", false,
     kProbe, 0, ""},
    {72, ".pspimage", "PSPIMAGE", 3, true,
     "50 61 69 6e 74 20 53 68 6f 70 20 50 72 6f 20 49 6d 61 67 65 20 46 69 6c 65 0a 1a 00 00 00 "
     "00 00",
     true, kProbe, 0, "Paint Shop Pro Image"},
    {73, ".ZZZ", "ZZZ", 3, true, "", false, kSub, 0, ""},
    {74, ".ace", "ACE", 3, true, "", true, kProbe, 0, "ACE Archive"},
    {78, ".mp4", "MP4", 3, true, "00 01 02 03 04 05 06 07", true, kProbe, 0, ""},
    {86, ".UL.dat", "ULEAD-DAT", 9, true, "", false, kSub, 0, ""},
    {87, ".thumbs.db", "THUMBS.DB", 6, true, "", false, kSub, 0, ""},
    {116, ".html", "HTML", 3, true, "", false, kSub, 0, ""},
    {123, ".U.txt", "TXTu", 3, true, "", false, kSub, 0, ""},
    {124, ".A.txt", "TXTa", 3, true, "", false, kSub, 0, ""},
    {125, ".raf", "RAF", 3, true, "46 55 4a 49 46 49 4c 4d 43 43 44 2d 52 41 57", true, kProbe,
     50 * kMiB, "Fuji RAW Image"},
    {143, ".cr2", "CR2", 3, true, "", false, kSub, 0, "Cannon RAW Image (v2.0)"},
    {147, ".tif", "TIF", 3, false, "4d 4d 00 2a", true, kProbe, 50 * kMiB,
     "TIFF Image (Tagged Image File Format)"},
    {149, ".ts", "TS", 2, true, "47", true, kProbe, 128 * kMiB, "MPEG Transport Stream"},
    {152, ".mpg", "MPG", 3, false, "00 00 01 b3", false, kNone, 128 * kMiB, "MPEG Video"},
    {155, ".sldprt.sldasm", "SLDASM", 6, false, "", false, kNone, 128 * kMiB, ""},
    {160, ".3ds", "3DS", 3, true, "", false, kProbe, 0, ""},
    {161, ".blend", "BLEND", 4, true, "", false, kProbe, 0, ""},
    {166, ".dxf", "DXF", 3, true, "", false, kSub, 128 * kMiB, ""},
    {169, ".x", "X", 3, true, "", false, kSub, 128 * kMiB, ""},
    {171, ".m2ts", "M2TS", 3, true, "47 40 11 10 00 42 f0 25 00 01 c1 00 00 ff 01 ff", false, kNone,
     500 * kMiB, ""},
    {175, ".txt.stl", "TXT.STL", 3, true, "", false, kSub, 0, ""},
    {184, ".tif", "TIF", 3, true, "", false, kSub, 0, "TIFF Image (Tagged Image File Format)"},
    {188, ".musx", "MUSX", 4, true, "", false, kSub, 0, "Finale / MakeMusic Music Notation File"},
    {193, ".au", "AU", 4, true, "2e 73 6e 64", true, kProbe, 0, "Sun Microsystems Sound File"},
    {196, ".plist", "PLIST", 5, false, "", false, kNone, 1 * kMiB, ""},
    {202, ".avif", "AVIF", 3, true, "", true, kProbe, 0, "AV1 Image File Format"},
    {204, ".last", "LAST", 0, true, "", false, kSub, 0, ""},
};

TEST(FileTypeCatalogueTest, SampledRowsMatchTheTableColumnByColumn) {
  const auto table = FileTypeCatalogue();
  for (const Row& row : kRows) {
    SCOPED_TRACE("entry " + std::to_string(row.number));
    const FileTypeEntry& e = table[row.number];
    EXPECT_EQ(e.number, row.number);
    EXPECT_EQ(e.extension, row.extension);
    EXPECT_EQ(e.tag, row.tag);
    EXPECT_EQ(e.extensionLength, row.extensionLength);
    EXPECT_EQ(e.listed, row.listed);
    EXPECT_EQ(SignatureHex(e), row.signature);
    EXPECT_EQ(e.signature.length, ParseHex(row.signature).size());
    EXPECT_EQ(e.hasConfirmProbe, row.confirm);
    EXPECT_EQ(e.sizeRule, row.size);
    EXPECT_EQ(e.maximumSize, row.maximumSize);
    EXPECT_EQ(e.description, row.description);
  }
}

TEST(FileTypeCatalogueTest, HoldsTheNumberedEntriesBetweenTheSentinels) {
  const auto table = FileTypeCatalogue();
  ASSERT_EQ(table.size(), 205u);
  for (size_t n = 0; n < table.size(); ++n) EXPECT_EQ(table[n].number, n);
  for (uint16_t n : {kFileTypeFirst, kFileTypeLast}) {
    const FileTypeEntry& s = table[n];
    EXPECT_TRUE(s.IsSentinel());
    EXPECT_EQ(s.signature.length, 0);
    EXPECT_FALSE(s.hasConfirmProbe);
    EXPECT_EQ(s.maximumSize, 0u);
    EXPECT_TRUE(s.description.empty());
    EXPECT_EQ(s.extensionLength, 0u);
  }
  EXPECT_EQ(table[0].extension, ".first");
  EXPECT_EQ(table[204].extension, ".last");
  EXPECT_EQ(std::count_if(table.begin(), table.end(), [](auto& e) { return e.IsSentinel(); }), 2);
}

TEST(FileTypeCatalogueTest, FieldsStayWithinTheirFixedWidths) {
  for (const FileTypeEntry& e : FileTypeCatalogue()) {
    SCOPED_TRACE("entry " + std::to_string(e.number));
    EXPECT_LE(e.signature.length, 32);
    for (size_t i = e.signature.length; i < e.signature.bytes.size(); ++i)
      EXPECT_EQ(e.signature.bytes[i], 0) << "byte " << i << " past the signature";
    EXPECT_LE(e.description.size(), 42u);
    EXPECT_EQ(e.description.find('\0'), std::string_view::npos);
    EXPECT_LT(e.extension.size(), 16u);  // room for the NUL of the 16-character field
    EXPECT_EQ(e.extension.front(), '.');
    EXPECT_LT(e.tag.size(), 16u);
  }
}

TEST(FileTypeCatalogueTest, DescriptionsAtTheFortyTwoCharacterBoundary) {
  // The only description that fills the field is shown whole, cut where the field ends.
  const auto table = FileTypeCatalogue();
  std::vector<uint16_t> full;
  for (const FileTypeEntry& e : table)
    if (e.description.size() == 42) full.push_back(e.number);
  EXPECT_EQ(full, std::vector<uint16_t>{57});
  EXPECT_EQ(table[57].description, "PDF Document (Adobe Portable Document Form");
  EXPECT_EQ(table[36].description.size(), 41u);  // one short of the field: still terminated
}

TEST(FileTypeCatalogueTest, RowsObeyTheTablesOwnRules) {
  const auto table = FileTypeCatalogue();
  std::map<std::string, std::vector<const FileTypeEntry*>> byExtension;
  std::map<std::string, std::vector<const FileTypeEntry*>> byTag;
  for (const FileTypeEntry& e : table) {
    byExtension[std::string(e.extension)].push_back(&e);
    byTag[std::string(e.tag)].push_back(&e);
    // A sub-type is chosen by another entry's probe: nothing of its own to detect with.
    if (e.sizeRule == SizeRule::kSubType) {
      EXPECT_EQ(e.signature.length, 0) << e.number;
      EXPECT_FALSE(e.hasConfirmProbe) << e.number;
    }
  }
  for (const auto& [ext, entries] : byExtension) {
    SCOPED_TRACE(ext);
    std::vector<uint16_t> listed;
    for (auto* e : entries) {
      EXPECT_EQ(e->tag, entries.front()->tag) << "one extension, one type";
      if (e->listed) listed.push_back(e->number);
    }
    // Several signatures of one type either follow each other or are not listed.
    if (!listed.empty()) {
      EXPECT_EQ(listed.back() - listed.front() + 1u, listed.size());
    }
  }
  // A tag names one type; the only tag shared by two extensions is that of the unlisted
  // combined part-and-assembly entry.
  for (const auto& [tag, entries] : byTag) {
    for (auto* e : entries) {
      if (e->extension == entries.front()->extension) continue;
      EXPECT_EQ(tag, "SLDASM");
      EXPECT_FALSE(table[155].listed);
    }
  }
  // Tags compared without case would not mix two types either.
  std::map<std::string, std::string> lowered;
  for (const auto& [tag, entries] : byTag) {
    std::string key = tag;
    for (char& c : key) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    EXPECT_TRUE(lowered.emplace(key, tag).second) << tag << " vs " << lowered[key];
  }
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
      {"KDBX", 8},   {"kdbx", 8},   {"7z", 37},    {"7Z", 37},    {"TIF", 184}, {"MPG", 151},
      {"MP3", 61},   {"PDB", 5},    {"DCU", 29},   {"SWF", 45},   {"PLIST", 195},
      {"SLDASM", 158}, {"PITy2013NG", 68}, {"pity2012ng", 67}, {"TXTu", 123}, {"TXTA", 124},
      {"THUMBS.DB", 87}, {"FIRST", -1}, {"LAST", -1}, {"", -1},  {"AIFC", -1}, {"JPEG", -1},
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
      {".jpg", 65},      {"jpg", 65},     {".JPG", 65},       {".tif", 184},
      {"mpg", 151},      {".U.txt", 123}, {"a.TXT", 124},     {".sldprt.sldasm", 155},
      {".sldasm", 158},  {".jar", 99},    {".PITY2013NG", 68}, {".first", -1},
      {".last", -1},     {".", -1},       {"", -1},           {".txt", -1},
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
  EXPECT_EQ(Matches(Bytes("47 40 11 10 00 42 f0 25 00 01 c1 00 00 ff 01 ff", 512)),
            (V{40, 149, 171}));
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

TEST(FileTypeScanStartTest, TheBuiltTablePassesTheNumberingChecks) {
  RecordingUiPort ui;
  EXPECT_TRUE(CheckFileTypeNumbering(FileTypeCatalogue(), &ui));
  EXPECT_EQ(ui.Count(), 0u);
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
