#include "fs/fat/fat_directory.h"

#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <vector>

namespace torvane::fat {
namespace {

using Entry = std::array<std::byte, 32>;

void Put16(Entry& e, size_t at, uint16_t v) {
  e[at] = std::byte(v & 0xFF);
  e[at + 1] = std::byte(v >> 8);
}

// A file entry as a formatter writes it: 8.3 name, archive bit, creation and write stamps
// of 2024-05-17 13:45:58.
Entry Short(const char (&name)[12], uint8_t attr = kAttrArchive) {
  Entry e{};
  std::memcpy(e.data(), name, 11);
  e[11] = std::byte{attr};
  e[13] = std::byte{100};
  const uint16_t time = (13 << 11) | (45 << 5) | 29, date = (44 << 9) | (5 << 5) | 17;
  Put16(e, 14, time), Put16(e, 16, date), Put16(e, 18, date);
  Put16(e, 22, time), Put16(e, 24, date);
  return e;
}

Entry LongName(uint8_t sequence) {
  Entry e{};
  e[0] = std::byte{sequence};
  e[1] = std::byte{'a'};
  e[11] = std::byte{kAttrLongName};
  e[13] = std::byte{0x5A};  // checksum
  return e;
}

TEST(FatDirEntry, ShortNamesFromAllowedCharacters) {
  EXPECT_TRUE(IsValidDirEntry(Short("README  TXT")));
  EXPECT_TRUE(IsValidDirEntry(Short("A!#$%&'(TX~")));
  EXPECT_TRUE(
      IsValidDirEntry(Short("\x84"
                            "BERSIC DAT")));  // OEM code page byte
  EXPECT_TRUE(IsValidDirEntry(Short(".          ", kAttrDirectory)));
  EXPECT_TRUE(IsValidDirEntry(Short("..         ", kAttrDirectory)));
  EXPECT_TRUE(
      IsValidDirEntry(Short("\xE5"
                            "LETED  TXT")));
  EXPECT_TRUE(
      IsValidDirEntry(Short("\x05"
                            "ANJI   TXT")));
  EXPECT_TRUE(IsValidDirEntry(Short("My Label   ", kAttrVolumeId)));  // labels keep their case

  EXPECT_FALSE(IsValidDirEntry(Short("readme  txt")));
  EXPECT_FALSE(IsValidDirEntry(Short(" EADME  TXT")));
  EXPECT_FALSE(IsValidDirEntry(Short("READ.ME TXT")));
  EXPECT_FALSE(IsValidDirEntry(Short("A+B     TXT")));
  EXPECT_FALSE(IsValidDirEntry(Short("A*B     TXT")));
  EXPECT_FALSE(IsValidDirEntry(Short("AB\x01     TXT")));
  EXPECT_FALSE(IsValidDirEntry(Short(".          ")));  // a dot entry is a directory
  EXPECT_FALSE(IsValidDirEntry(Short(".X         ", kAttrDirectory)));
}

TEST(FatDirEntry, AttributesAndStamps) {
  EXPECT_FALSE(IsValidDirEntry(Short("README  TXT", 0x40)));
  EXPECT_FALSE(IsValidDirEntry(Short("README  TXT", 0xA0)));
  EXPECT_FALSE(IsValidDirEntry(Short("LABEL      ", kAttrVolumeId | kAttrDirectory)));

  Entry e = Short("README  TXT");
  Put16(e, 14, 0), Put16(e, 16, 0), Put16(e, 18, 0);  // unset stamps are fine
  EXPECT_TRUE(IsValidDirEntry(e));
  struct Bad {
    size_t at;
    uint16_t value;
  } bad[] = {{14, 24 << 11}, {22, 60 << 5}, {22, 30}, {16, 13 << 5 | 1}, {18, 1 << 5}, {24, 0 << 5 | 3}};
  for (const auto& b : bad) {
    Entry m = Short("README  TXT");
    Put16(m, b.at, b.value);
    EXPECT_FALSE(IsValidDirEntry(m)) << "offset " << b.at << " value " << b.value;
  }
  e = Short("README  TXT");
  e[13] = std::byte{200};
  EXPECT_FALSE(IsValidDirEntry(e));

  EXPECT_FALSE(IsValidDirEntry(Entry{}));  // end marker
  e = Short("README  TXT");
  EXPECT_FALSE(IsValidDirEntry(std::span(e).first(31)));
}

TEST(FatDirEntry, LongNameEntries) {
  for (uint8_t seq : {0x01, 0x41, 0x14, 0x54, 0xE5}) EXPECT_TRUE(IsValidDirEntry(LongName(seq))) << +seq;
  for (uint8_t seq : {0x40, 0x15, 0x55, 0x81, 0xC1}) EXPECT_FALSE(IsValidDirEntry(LongName(seq))) << +seq;
  Entry e = LongName(0x41);
  e[12] = std::byte{1};
  EXPECT_FALSE(IsValidDirEntry(e));
  e = LongName(0x41);
  e[26] = std::byte{2};
  EXPECT_FALSE(IsValidDirEntry(e));
}

const Entry kSvi = [] {
  const uint8_t raw[32] = {0x42, 0x20, 0x00, 0x49, 0x00, 0x6E, 0x00, 0x66, 0x00, 0x6F, 0x00,
                           0x0F, 0x00, 0x72, 0x72, 0x00, 0x6D, 0x00, 0x61, 0x00, 0x74, 0x00,
                           0x69, 0x00, 0x6F, 0x00, 0x00, 0x00, 0x6E, 0x00, 0x00, 0x00};
  Entry e;
  std::memcpy(e.data(), raw, 32);
  return e;
}();

TEST(FatDirEntry, SystemVolumeInformation) {
  EXPECT_TRUE(IsSystemVolumeInformationLfn(kSvi));
  EXPECT_TRUE(IsValidDirEntry(kSvi));
  Entry e = kSvi;
  e[0] = std::byte{0xE5};
  EXPECT_TRUE(IsSystemVolumeInformationLfn(e));
  e = kSvi;
  e[31] = std::byte{0xFF};
  EXPECT_FALSE(IsSystemVolumeInformationLfn(e));
  EXPECT_FALSE(IsSystemVolumeInformationLfn(std::span(kSvi).first(31)));
}

std::vector<std::byte> Directory(std::initializer_list<Entry> entries) {
  std::vector<std::byte> d;
  for (const auto& e : entries) d.insert(d.end(), e.begin(), e.end());
  return d;
}

TEST(FatVolumeLabel, FirstLiveLabelEntry) {
  Entry deleted = Short(
      "\xE5"
      "LDLABEL   ",
      kAttrVolumeId);
  auto dir = Directory({kSvi, Short("SYSTEM~1   ", kAttrDirectory), deleted, Short("MY DISK    ", kAttrVolumeId),
                        Short("OTHER      ", kAttrVolumeId)});
  EXPECT_EQ(FindVolumeLabel(dir), "MY DISK");  // inner space kept, trailing trimmed; LFN skipped

  dir = Directory({Short("BACKUP     ", kAttrVolumeId | kAttrArchive)});
  EXPECT_EQ(FindVolumeLabel(dir), "BACKUP");
  dir =
      Directory({Short("\x05"
                       "LABEL     ",
                       kAttrVolumeId)});
  EXPECT_EQ(FindVolumeLabel(dir),
            "\xE5"
            "LABEL");
  dir = Directory({Short("           ", kAttrVolumeId), Short("DATA       ", kAttrVolumeId)});
  EXPECT_EQ(FindVolumeLabel(dir), "DATA");
}

TEST(FatVolumeLabel, StopsAtEndOfDirectory) {
  auto dir = Directory({Short("README  TXT"), Entry{}, Short("STALE      ", kAttrVolumeId)});
  EXPECT_EQ(FindVolumeLabel(dir), std::nullopt);
  dir = Directory({Short("README  TXT", kAttrVolumeId | kAttrSystem)});
  EXPECT_EQ(FindVolumeLabel(dir), std::nullopt);
  dir = Directory({Short("LABEL      ", kAttrVolumeId)});
  dir.pop_back();  // a cut entry is not read
  EXPECT_EQ(FindVolumeLabel(dir), std::nullopt);
  EXPECT_EQ(FindVolumeLabel({}), std::nullopt);
}

}  // namespace
}  // namespace torvane::fat
