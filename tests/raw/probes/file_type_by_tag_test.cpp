#include "raw/probes/file_type_by_tag.h"

#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

#include "test_util.h"

namespace torvane::probes {
namespace {

using namespace std::string_literals;

// The bytes of a text (embedded NULs included), padded to `padTo` with `pad`.
std::vector<std::byte> B(const std::string& text, size_t padTo = 0, uint8_t pad = 0x5A) {
  std::vector<std::byte> out;
  for (char c : text) out.push_back(static_cast<std::byte>(c));
  while (out.size() < padTo) out.push_back(static_cast<std::byte>(pad));
  return out;
}
template <size_t N>
std::vector<std::byte> B(const char (&text)[N], size_t padTo = 0, uint8_t pad = 0x5A) {
  return B(std::string(text, N - 1), padTo, pad);
}

std::vector<std::byte> WithU32(std::vector<std::byte> b, size_t at, uint32_t v) {
  if (b.size() < at + 4) b.resize(at + 4);
  for (int i = 0; i < 4; ++i) b[at + i] = static_cast<std::byte>(v >> (8 * i));
  return b;
}

bool Check(std::string_view tag, const std::vector<std::byte>& bytes, uint64_t size = 0) {
  const ContentCheck check = FileTypeByTag(tag);
  EXPECT_NE(check, nullptr) << tag;
  return check != nullptr && check(bytes, size);
}

TEST(FileTypeByTagTest, TheWholeKeyIsComparedWithoutRegardToCase) {
  EXPECT_EQ(ContentCheckTags().size(), 163u);
  for (std::string_view tag : ContentCheckTags()) {
    std::string lower(tag);
    for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    EXPECT_NE(FileTypeByTag(tag), nullptr) << tag;
    EXPECT_EQ(FileTypeByTag(lower), FileTypeByTag(tag)) << lower;  // "jpg" was judged overwritten
    EXPECT_EQ(FileTypeByTag("." + lower), FileTypeByTag(tag)) << lower;
  }
  const ContentCheck jpg = FileTypeByTag("JPG");
  for (const char* key : {"jpg", ".JpG", "photo.jpg", "IMG_0001.JPG", "a.b.jpg"})
    EXPECT_EQ(FileTypeByTag(key), jpg) << key;
  EXPECT_EQ(FileTypeByTag("7z"), FileTypeByTag("7Z"));
  for (const char* key :
       {"", ".", "photo.", "archive.tar.gz", "JPEG", "jp", "jpgx", "TXTa", "THUMBS.DB", "averyveryverylongextension"})
    EXPECT_EQ(FileTypeByTag(key), nullptr) << key;
}

// The telling rows of the table and a sample of the magic-number rows: what fits, and the
// nearest thing that does not.
TEST(FileTypeByTagTest, TellingRowsAcceptTheirContentAndRefuseTheNearMiss) {
  struct Case {
    const char* tag;
    std::vector<std::byte> bytes;
    uint64_t size;
    bool fits;
  };
  std::vector<std::byte> pe = WithU32(B("MZ", 256, 0), 60, 0x80);
  pe[0x80] = std::byte{'P'};
  pe[0x81] = std::byte{'E'};
  const std::vector<std::byte> peBeyond = WithU32(B("MZ", 256, 0), 60, 0xFFFFFFF0);  // offset outside the bytes
  const std::vector<std::byte> peAtEnd = WithU32(B("MZ", 256, 0), 60, 255);          // "PE\0\0" cut off
  const std::vector<std::byte> wav = WithU32(B("RIFF\0\0\0\0WAVEfmt ", 64), 4, 1000);
  const std::vector<std::byte> bmp = WithU32(WithU32(B("BM", 64, 0), 2, 5000), 14, 40);
  const std::vector<std::byte> stl = WithU32(B("binary stl header", 84, 0), 80, 3);
  const Case cases[] = {
      {"DOCX", B("PK\x03\x04"), 0, true},
      {"XLSX", B("PL\x03\x04"), 0, false},
      {"DOC", B("\xD0\xCF\x11\xE0\xA1\xB1"), 0, true},
      {"DOC", B("\xD0\xCF\x11"), 0, false},
      {"EXE", pe, 0, true},
      {"DLL", pe, 0, true},
      {"AX", peBeyond, 0, false},
      {"EXE", peAtEnd, 0, false},
      {"EXE", B("MZ"), 0, false},
      {"ICL", B("MZ\x90\x00\0\0\0\0", 8), 0, true},
      {"ICL", B("MZ\x90\x00\x03\0\0\0", 8), 0, false},
      {"MP4",
       B("\0\0\0\x18"
         "ftypisom",
         24),
       0, true},
      {"MP4",
       B("\0\0\0\x18"
         "ftypqt  ",
         24),
       0, false},
      {"TREC",
       B("\0\0\0\x18"
         "ftyp3gp4",
         24),
       0, false},
      {"MOV",
       B("\0\0\0\x18"
         "ftypqt  ",
         24),
       0, true},
      {"MOV",
       B("\0\0\0\x08"
         "wide",
         24),
       0, true},
      {"MOV",
       B("\0\0\0\x18"
         "ftypisom",
         24),
       0, false},
      {"3GP",
       B("\0\0\0\x18"
         "ftyp3gp5",
         24),
       0, true},
      {"HEIC",
       B("\0\0\0\x18"
         "ftypheic",
         24),
       0, true},
      {"HEIF",
       B("\0\0\0\x18"
         "ftypmif1",
         24),
       0, true},
      {"HEIC",
       B("\0\0\0\x18"
         "ftypavif",
         24),
       0, false},
      {"AVIF",
       B("\0\0\0\x1C"
         "ftypmif1\0\0\0\0mif1avif",
         28),
       0, true},
      {"CRM",
       B("\0\0\0\x18"
         "ftypcrx ",
         24),
       0, true},
      {"MP4",
       B("\0\0\0\x18"
         "fty"),
       0, false},
      {"TIF", B("II*\0"), 0, true},
      {"TIF", B("MM\0*"), 0, true},
      {"TIF", B("II+\0"), 0, false},
      {"CR2",
       B("II*\0\x10\0\0\0"
         "CR\x02\0",
         16),
       0, true},
      {"CR2",
       B("II*\0\x10\0\0\0"
         "XX",
         16),
       0, false},
      {"CRW", B("II\x1A\0\0\0HEAPCCDR", 16), 0, true},
      {"ARW", B("II*\0"), 0, true},
      {"ARW", B("MM\0*"), 0, false},
      {"RW2", B("IIU\0"), 0, true},
      {"RAW", B("II*\0"), 0, false},
      {"WMV", B("\x30\x26\xB2\x75\x8E\x66\xCF\x11\xA6\xD9", 32), 0, true},
      {"WMA", B("\x30\x26\xB2\x75\x8E\x66\xCF\x12", 32), 0, false},
      {"MPG", B("\0\0\x01\xBA\x44"), 0, true},
      {"VOB", B("\x47\x40\x00\x30"), 0, true},
      {"MPG", B("\0\0\x01\xB3"), 0, true},
      {"VOB", B("\0\0\x01\xB3"), 0, false},
      {"WAV", wav, 1008, true},
      {"WAV", wav, 1009, false},
      {"WAV", wav, 0, true},  // size not known: the form type decides
      {"BMP", bmp, 5000, true},
      {"BMP", bmp, 4999, false},
      {"KDBX", B("\x03\xD9\xA2\x9A\x67\xFB\x4B\xB5"), 0, true},
      {"KDB", B("\x03\xD9\xA2\x9A\x65\xFB\x4B\xB6"), 0, false},
      {"MP3", B("ID3\x03"), 0, true},
      {"MP3", B("\xFF\xFB\x90\x64", 8), 0, true},   // frame sync without an ID3 tag
      {"MP3", B("\xFF\xFB\xF0\x64", 8), 0, false},  // bitrate index 15
      {"MP3", B("\xFF\xFB\x9C\x64", 8), 0, false},  // sample-rate index 3
      {"MP3", B("\xFF\xE9\x90\x64", 8), 0, false},  // reserved version
      {"PE5", B("SQLite format 3"), 0, true},
      {"PE5", B("\x0D\x40\xCB\x77"), 0, true},
      {"JPG", B("\xFF\xD8\xFF\xE0"), 0, true},
      {"JPG", B("\xFF\xD8"), 0, false},
      {"PNG", B("\x89PNG\r\n\x1A\n"), 0, true},
      {"GIF", B("GIF89a"), 0, true},
      {"GIF", B("GIF90a"), 0, false},
      {"AVI", B("RIFF\0\0\0\0AVI LIST"), 0, true},
      {"AVI", B("RIFF\0\0\0\0WAVE"), 0, false},
      {"AIFC", B("FORM\0\0\0\0AIFF"), 0, false},
      {"AIFF", B("FORM\0\0\0\0AIFC"), 0, true},
      {"ACE", B("\0\0\0\0\0\0\0**ACE**"), 0, true},
      {"DCU", B("\xDF\0\0\x0F"), 0, true},
      {"DCU", B("\xD8\xA6\x68\x47"), 0, true},
      {"PDB", B("Microsoft C/C++ MSF 7.00"), 0, true},
      {"INDT", B("\x06\x06\xED\xF5\xD8\x1D\x46\xE5\xBD\x31\xEF\xE7\xFE\x74\xB7\x1D"), 0, true},
      {"S3M", B("", 44, 0), 0, false},
      {"PDF", B("garbage before the header %PDF-1.4", 64), 0, true},
      {"STL", B("solid cube"), 0, true},
      {"STL", stl, 84 + 150, true},
      {"STL", stl, 84 + 151, false},
      {"TGA", B("\0\0\x02\0\0\0\0\0\0\0\0\0\x02\0\x02\0\x18\0", 18), 18 + 12, true},
      {"TGA", B("\0\0\x02\0\0\0\0\0\0\0\0\0\x02\0\x02\0\x18\0", 18), 18 + 11, false},
      {"TGA", B("\0\x05\x02\0\0\0\0\0\0\0\0\0\x02\0\x02\0\x18\0", 18), 0, false},
      {"ISO", B("", 2048, 0), 0, true},  // the zero system area before the descriptor
      {"MTS", B("\x47", 188 * 2 + 1, 0x11), 0, false},
      {"BDC", B("", 512, 0), 0, false},
      {"BDC", B("\x01\x02"), 0, true},
  };
  for (const Case& c : cases) EXPECT_EQ(Check(c.tag, c.bytes, c.size), c.fits) << c.tag << " case " << (&c - cases);

  std::vector<std::byte> iso(0x8000 + 8, std::byte{0});
  const char* cd001 =
      "\x01"
      "CD001";
  for (int i = 0; i < 6; ++i) iso[0x8000 + i] = static_cast<std::byte>(cd001[i]);
  EXPECT_TRUE(Check("ISO", iso));
  iso[0x8002] = std::byte{'X'};
  EXPECT_FALSE(Check("ISO", iso));

  std::vector<std::byte> ts(188 * 3, std::byte{0x11}), m2ts(192 * 3, std::byte{0x11});
  for (size_t i = 0; i < 3; ++i) ts[i * 188] = m2ts[4 + i * 192] = std::byte{0x47};
  EXPECT_TRUE(Check("MTS", ts));
  EXPECT_TRUE(Check("MTS", m2ts));
  EXPECT_TRUE(Check("M2TS", m2ts));
  EXPECT_FALSE(Check("M2TS", ts));
}

TEST(FileTypeByTagTest, TextKindsTellTheirTextFromBinaryAndFromOtherText) {
  struct Case {
    const char* tag;
    std::string text;
    bool fits;
  };
  const Case cases[] = {
      {"C", "/* hello */\n#include <stdio.h>\nint main(void) { return 0; }\n", true},
      {"H", "#ifndef A_H\n#define A_H\n#endif\n", true},
      {"CPP", "\xEF\xBB\xBF// utf-8 with a mark\nclass A {};\n", true},
      {"C", "Dear John, how are you\n", false},
      {"CS", "using System;\nnamespace N { }\n", true},
      {"JS", "function f() { return 1; }\n", true},
      {"CSS", "body { color: red }\n", true},
      {"CSS", "just words here\n", false},
      {"PAS", "unit Main;\ninterface\n", true},
      {"DPR", "program Project1;\nuses Forms;\n", true},
      {"ASM", "start:\n  mov ax, 1\n", true},
      {"BAT", "@echo off\r\ncopy a b\r\n", true},
      {"HTML", "  <!DOCTYPE html>\n<html><body></body></html>", true},
      {"HTM", "plain words without markup\n", false},
      {"PHP", "<html><?php echo 1; ?></html>", true},
      {"PHP", "<html></html>", false},
      {"VCPROJ", "<?xml version=\"1.0\"?>\r\n<VisualStudioProject\r\n\tName=\"x\"", true},
      {"VCPROJ", "<?xml version=\"1.0\"?>\r\n<Project>", false},
      {"INI", "; comment\r\n\r\n[Section]\r\nkey=value\r\n", true},
      {"INF", "[Version]\r\nSignature=\"$Windows NT$\"\r\n", true},
      {"INI", "; only a comment\r\n", true},
      {"INI", "this is not a setting\r\n[Section]\r\n", false},
      {"DFM", "object Form1: TForm1\r\n  Left = 0\r\n", true},
      {"DFM", "TPF0\x06TForm1", true},
      {"DFM", "Form1: TForm1\r\n", false},
      {"XML", "\xFF\xFE<\0?\0x\0m\0l\0 \0"s, true},  // UTF-16 with its mark
      {"XML", "\xFF\xFE<\0\x01\0x\0"s, false},       // a control character inside
      {"VCF", "BEGIN:VCARD\r\nVERSION:3.0\r\n", true},
      {"STEP", "ISO-10303-21;\nHEADER;\n", true},
      {"OBJ", "# Blender\nv 1 0 0\n", true},
      {"C", std::string("int x;\0\x01\x02\x03", 10), false},  // binary after the text
      {"C", std::string("int x;\0\0\0\0", 10), true},         // zeros padding the cluster
      {"C", std::string("", 0), false},
      {"C", std::string("\x00\x00int x;", 8), false},
  };
  for (const Case& c : cases) EXPECT_EQ(Check(c.tag, B(c.text)), c.fits) << c.tag << ": " << c.text;

  // Only the bytes within the file's size are the file's: what follows in the cluster is not.
  const auto slack = B("#include <a.h>\n", 512, 0xC3);
  std::vector<std::byte> binarySlack = slack;
  for (size_t i = 15; i < binarySlack.size(); i += 3) binarySlack[i] = std::byte{0x02};
  EXPECT_TRUE(Check("C", binarySlack, 15));
  EXPECT_FALSE(Check("C", binarySlack, 0));
  // A JPEG where a C file was: refused.
  EXPECT_FALSE(Check("C", B("\xFF\xD8\xFF\xE0\0\x10JFIF\0", 512, 0x80), 4000));
}

// Every check on every prefix of content that fits it, and on bytes that fit nothing: a
// shorter span is never read past (the sanitizer build catches a stray read), a span too
// short for the check's fields answers false.
TEST(FileTypeByTagTest, ShortAndHostileSpansAreSafe) {
  std::vector<std::byte> pe = WithU32(B("MZ", 512, 0), 60, 0x40);
  pe[0x40] = std::byte{'P'};
  pe[0x41] = std::byte{'E'};
  const std::vector<std::vector<std::byte>> samples = {
      pe,
      B("\0\0\0\x1C"
        "ftypmif1\0\0\0\0mif1avif",
        64),
      B("RIFF\x10\0\0\0WAVEfmt ", 64),
      WithU32(B("BM", 64, 0), 14, 40),
      B("\0\0\x02\0\0\0\0\0\0\0\0\0\x02\0\x02\0\x18\0", 64),
      B("\xFF\xFE<\0?\0x\0", 64, 0),
      B("#include <x>\n", 64, ' '),
      B("\x47", 400, 0x47),
      test::PatternBytes(4096),
      WithU32(B("MZ", 64, 0), 60, 63),
      WithU32(B("\0\0\0\xFF"
                "ftypmif1",
                12),
              0, 0xFFFFFFFF),
  };
  std::set<std::string_view> fitSomewhere;
  for (const auto& sample : samples) {
    for (std::string_view tag : ContentCheckTags()) {
      const ContentCheck check = FileTypeByTag(tag);
      for (size_t n = 0; n <= std::min<size_t>(sample.size(), 80); ++n) {
        // An exact-size heap copy, so that a read past the span is a read past the block.
        std::vector<std::byte> prefix(sample.begin(), sample.begin() + static_cast<ptrdiff_t>(n));
        const bool fits = check(prefix, 0) | check(prefix, n) | check(prefix, 1);
        if (n == 0) {
          EXPECT_FALSE(fits) << tag;
        }
        if (fits) fitSomewhere.insert(tag);
      }
    }
  }
  EXPECT_GT(fitSomewhere.size(), 10u);
}

}  // namespace
}  // namespace torvane::probes
