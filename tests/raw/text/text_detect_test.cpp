#include "raw/text/text_detect.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace torvane::text {
namespace {

// A disk of sectors in memory; the fetch reads it from a sector on.
struct Disk {
  std::vector<std::byte> bytes;
  explicit Disk(const std::string& text, size_t sectors = 0) {
    bytes.resize(std::max(sectors, (text.size() + 511) / 512 + 1) * 512);
    std::memcpy(bytes.data(), text.data(), text.size());
  }
  SectorFetch Fetch() {
    return [this](uint64_t sector, uint32_t count) -> ByteSpan {
      const uint64_t sectors = bytes.size() / 512;
      if (sector >= sectors) return {};
      return ByteSpan(bytes).subspan(sector * 512, std::min<uint64_t>(count, sectors - sector) * 512);
    };
  }
  std::optional<TextFound> Detect() { return DetectTextAtSector(bytes, 0, Fetch()); }
};

TEST(TextDetect, LengthsAndEndings) {
  EXPECT_EQ(Disk(std::string(400, 'a') + "\n").Detect()->size, 401u);
  EXPECT_FALSE(Disk("abc").Detect());
  ASSERT_TRUE(Disk("abcd").Detect());
  EXPECT_EQ(Disk("abcd").Detect()->size, 4u);
  // Three full sectors and 100 bytes of a fourth.
  std::string line = "0123456789 abcdefghi\r\n";
  std::string text;
  while (text.size() < 3 * 512 + 100) text += line;
  text.resize(3 * 512 + 100);
  const auto found = Disk(text).Detect();
  ASSERT_TRUE(found);
  EXPECT_EQ(found->size, 1636u);
  EXPECT_EQ(found->entry, kEntryTxtAnsi);
  // A binary sector, a PDF and an NTFS record are not texts; a record ends a text.
  EXPECT_FALSE(Disk(std::string("\x01\x02\x03\x04", 4) + std::string(500, 'x')).Detect());
  EXPECT_FALSE(Disk("%PDF-1.4\n" + std::string(500, ' ')).Detect());
  std::string withRecord(512, 'a');
  withRecord[100] = '\n';
  withRecord += "FILE0";
  EXPECT_EQ(Disk(withRecord, 4).Detect()->size, 512u);
}

TEST(TextDetect, RunsAreCappedAndEstimated) {
  std::string big(kTextCapBytes + 4096, 'a');
  for (size_t i = 80; i < big.size(); i += 81) big[i] = '\n';
  const auto found = Disk(big).Detect();
  ASSERT_TRUE(found);
  EXPECT_EQ(found->size, kTextCapBytes);
  EXPECT_TRUE(found->estimated);
}

TEST(TextDetect, KindsAndSuffixes) {
  struct Case {
    std::string text;
    uint16_t entry;
    std::string suffix;
  };
  const Case cases[] = {
      {"#include <stdio.h>\nclass A {};\nint x;\n", 105, ""},
      {"#include <stdio.h>\nint main(void) { return 0; }\n", 104, ""},
      {"<html><head><title>My/Page</title></head>\n", 116, "My_Page"},
      {"<?xml version=\"1.0\"?>\n<plist><!DOCTYPE plist PUBLIC \"-//Apple//DTD PLIST\">\n", 195, ""},
      {"BEGIN:VCARD\r\nVERSION:3.0\r\n", 199, ""},
      {"Windows Registry Editor Version 5.00\r\n", 122, ""},
      {"Microsoft Visual Studio Solution File, Format Version 12.00\r\nProject(\"{X}\") = \"Tool\", \"a\"\r\n", 112,
       "Tool"},
      {"just some words here\n", kEntryTxtAnsi, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    const auto found = Disk(c.text).Detect();
    ASSERT_TRUE(found);
    EXPECT_EQ(found->entry, c.entry);
    EXPECT_EQ(found->nameSuffix, c.suffix);
  }
}

TEST(TextDetect, Utf16) {
  const auto utf16 = [](const std::u16string& s) {
    std::string out;
    for (char16_t c : s) out += {static_cast<char>(c & 0xFF), static_cast<char>(c >> 8)};
    return out;
  };
  struct Case {
    std::u16string text;
    uint16_t entry;
  };
  const Case cases[] = {{u"\uFEFFWindows Registry Editor Version 5.00\r\n", 122},
                        {u"\uFEFF<?xml version=\"1.0\"?>\r\n<a/>\r\n", 118},
                        {u"Plain wide text, a line.\r\n", kEntryTxtUtf16}};
  for (const auto& c : cases) {
    Disk disk(utf16(c.text));
    ASSERT_TRUE(LooksLikeUtf16(disk.bytes));
    const auto found = DetectUtf16TextAtSector(disk.bytes, 0, disk.Fetch());
    ASSERT_TRUE(found);
    EXPECT_EQ(found->entry, c.entry);
    EXPECT_EQ(found->size, 2 * c.text.size());
  }
  // Over a sector: each full sector counts, the last one to its end.
  std::u16string longText;
  while (longText.size() < 600) longText += u"wide line of text\r\n";
  Disk disk(utf16(longText));
  EXPECT_EQ(DetectUtf16TextAtSector(disk.bytes, 0, disk.Fetch())->size, 2 * longText.size());
}

}  // namespace
}  // namespace torvane::text
