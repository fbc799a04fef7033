// Decoding FAT directory items from hand-made entries: the cases real tools rarely write
// (deleted camera names, case flags alone, names beyond Latin-1, long-name sets that do not
// fit their place).
#include "fs/fat/dir_entry.h"

#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <vector>

namespace torvane::fat {
namespace {

using Entry = std::array<std::byte, 32>;

Entry Short(const char* name11, uint8_t attr = 0x20, uint8_t caseFlags = 0, uint32_t cluster = 5, uint32_t size = 10) {
  Entry e{};
  std::memcpy(e.data(), name11, 11);
  e[11] = std::byte{attr};
  e[12] = std::byte{caseFlags};
  StoreLeU16(e, 0x14, static_cast<uint16_t>(cluster >> 16));
  StoreLeU16(e, 0x1A, static_cast<uint16_t>(cluster));
  StoreLeU32(e, 0x1C, size);
  return e;
}

// One long-name entry holding `part` (up to 13 characters, terminated and padded).
Entry Lfn(uint8_t seq, std::u16string_view part, uint8_t checksum) {
  static constexpr size_t kAt[13] = {1, 3, 5, 7, 9, 14, 16, 18, 20, 22, 24, 28, 30};
  Entry e{};
  e[0] = std::byte{seq};
  e[11] = std::byte{0x0F};
  e[13] = std::byte{checksum};
  for (size_t i = 0; i < 13; ++i) {
    const char16_t c = i < part.size() ? part[i] : (i == part.size() ? u'\0' : u'\xFFFF');
    StoreLeU16(e, kAt[i], c);
  }
  return e;
}

std::vector<std::byte> Folder(std::initializer_list<Entry> entries) {
  std::vector<std::byte> out;
  for (const auto& e : entries) out.insert(out.end(), e.begin(), e.end());
  return out;
}

// The items of a folder, in order.
std::vector<DirItem> DecodeAll(const std::vector<std::byte>& folder, bool fat32 = false) {
  std::vector<DirItem> items;
  DirItem item;
  for (size_t at = 0;;) {
    const DecodeStep step = DecodeEntry(folder, at, kModeFull, fat32, item);
    if (step.used == 0) break;
    if (step.produced) items.push_back(item);
    at += step.used;
  }
  return items;
}

std::u16string NameOf(const Entry& e) {
  const auto items = DecodeAll(Folder({e}));
  return items.size() == 1 ? items[0].name : u"<none>";
}

TEST(FatDirEntry, DeletedShortNamesGetCameraLettersBackAndAnUnderscoreOtherwise) {
  EXPECT_EQ(NameOf(Short("\xE5MG_0001JPG")), u"IMG_0001.JPG");
  EXPECT_EQ(NameOf(Short("\xE5SC_0001JPG")), u"DSC_0001.JPG");
  EXPECT_EQ(NameOf(Short("\xE5ILE    TXT")), u"_ILE.TXT");
  EXPECT_EQ(NameOf(Short("\xE5MG_0001PNG")), u"_MG_0001.PNG");
  const auto items = DecodeAll(Folder({Short("\xE5ILE    TXT")}));
  ASSERT_EQ(items.size(), 1u);
  EXPECT_TRUE(items[0].deleted);
}

TEST(FatDirEntry, CaseFlagsLowerNameAndExtensionEachOnTheirOwn) {
  EXPECT_EQ(NameOf(Short("README  TXT", 0x20, 0x08)), u"readme.TXT");
  EXPECT_EQ(NameOf(Short("README  TXT", 0x20, 0x10)), u"README.txt");
  EXPECT_EQ(NameOf(Short("README  TXT", 0x20, 0x18)), u"readme.txt");
  EXPECT_EQ(NameOf(Short("README  TXT", 0x20, 0x00)), u"README.TXT");
}

TEST(FatDirEntry, ShortNamesAreReadThroughCodePage437) {
  EXPECT_EQ(NameOf(Short("\x81"
                         "BER    TXT")),
            u"\u00FCBER.TXT");  // 0x81 is ü, not a control
  EXPECT_EQ(NameOf(Short("CAF\x90    TXT")), u"CAF\u00C9.TXT");
  // 0x05 stands for a first byte 0xE5 (σ) of a live name.
  const auto items =
      DecodeAll(Folder({Short("\x05"
                              "ABC    TXT")}));
  ASSERT_EQ(items.size(), 1u);
  EXPECT_FALSE(items[0].deleted);
  EXPECT_EQ(items[0].name, u"\u03C3ABC.TXT");
}

TEST(FatDirEntry, LongNameOf255CharactersFromTwentyEntries) {
  std::u16string name;
  for (size_t i = 0; i < 255; ++i) name.push_back(static_cast<char16_t>(u'a' + i % 26));
  name[100] = u'\u540D';
  const Entry s = Short("AAAAAA~1   ");
  const uint8_t sum = ShortNameChecksum(ByteSpan(s.data(), 11));
  std::vector<std::byte> folder;
  for (size_t k = 20; k >= 1; --k) {
    const Entry e =
        Lfn(static_cast<uint8_t>(k | (k == 20 ? 0x40 : 0)), std::u16string_view(name).substr((k - 1) * 13, 13), sum);
    folder.insert(folder.end(), e.begin(), e.end());
  }
  folder.insert(folder.end(), s.begin(), s.end());
  DirItem item;
  const DecodeStep step = DecodeEntry(folder, 0, kModeFull, false, item);
  ASSERT_TRUE(step.produced);
  EXPECT_EQ(step.used, 21u * 32);
  EXPECT_EQ(item.name, name);
  EXPECT_EQ(item.offset, 20u * 32);
  ASSERT_TRUE(DecodeEntry(folder, 0, kModeNoLongNames, false, item).produced);
  EXPECT_EQ(item.name, u"AAAAAA~1");
}

TEST(FatDirEntry, LongNameThatDoesNotLeadToItsShortEntryIsPassedOver) {
  const Entry s = Short("LONGNA~1TXT");
  const uint8_t sum = ShortNameChecksum(ByteSpan(s.data(), 11));
  // Its short entry would lie three entries further, beyond the bytes held: nothing is
  // read past them, and the entries there are read on their own.
  const auto cut = Folder({Lfn(0x43, u"abc", sum), s});
  DirItem item;
  const DecodeStep step = DecodeEntry(cut, 0, kModeFull, false, item);
  EXPECT_EQ(step.used, 32u);
  EXPECT_FALSE(step.produced);
  auto items = DecodeAll(cut);
  ASSERT_EQ(items.size(), 1u);
  EXPECT_EQ(items[0].name, u"LONGNA~1.TXT");
  // A checksum of another short name: the short entry keeps its own name.
  items = DecodeAll(Folder({Lfn(0x41, u"long name.txt", static_cast<uint8_t>(sum + 1)), s}));
  ASSERT_EQ(items.size(), 1u);
  EXPECT_EQ(items[0].name, u"LONGNA~1.TXT");
  items = DecodeAll(Folder({Lfn(0x41, u"long name.txt", sum), s}));
  ASSERT_EQ(items.size(), 1u);
  EXPECT_EQ(items[0].name, u"long name.txt");
}

TEST(FatDirEntry, DeletedLongNameTakesOnlyTheEntriesOfItsShortEntry) {
  const Entry s = Short(
      "\xE5"
      "BCDEF~1TXT");
  const uint8_t sum = 0x5A;
  // An older deleted name's entry (another checksum) lies before; the name's own entry ran
  // out without a terminator: the extension comes from the 8.3 name.
  Entry older = Lfn(0xE5, u"older", 0x11);
  Entry own = Lfn(0xE5, u"abcdefghijklm", sum);
  const auto items = DecodeAll(Folder({older, own, s}));
  ASSERT_EQ(items.size(), 1u);
  EXPECT_EQ(items[0].name, u"abcdefghijklm.txt");
  EXPECT_TRUE(items[0].deleted);
  // Deleted long-name entries before a live short entry (the slot was used again) are
  // orphans; the live entry keeps its name.
  const auto reused = DecodeAll(Folder({Lfn(0xE5, u"gone.txt", sum), Short("NEW     TXT")}));
  ASSERT_EQ(reused.size(), 1u);
  EXPECT_EQ(reused[0].name, u"NEW.TXT");
}

TEST(FatDirEntry, PlausibilityAndUnusableEntries) {
  EXPECT_FALSE(IsPlausibleEntry(Short("A?B     TXT")));
  EXPECT_FALSE(IsPlausibleEntry(Short("A       TXT", 0x40)));
  EXPECT_FALSE(IsPlausibleEntry(Lfn(0x55, u"x", 0)));  // sequence 21
  EXPECT_FALSE(IsPlausibleEntry(Lfn(0x41, u"a*b", 0)));
  EXPECT_TRUE(IsPlausibleEntry(Lfn(0xE5, u"deleted", 0)));
  const auto items = DecodeAll(Folder({Short("FILE    T\x01T")}));
  ASSERT_EQ(items.size(), 1u);
  EXPECT_FALSE(items[0].usable);
  // FAT32 keeps the upper half of the first cluster; FAT16 does not have one.
  EXPECT_EQ(DecodeAll(Folder({Short("BIG     BIN", 0x20, 0, 0x12345)}), true)[0].firstCluster, 0x12345u);
  EXPECT_EQ(DecodeAll(Folder({Short("BIG     BIN", 0x20, 0, 0x12345)}), false)[0].firstCluster, 0x2345u);
}

}  // namespace
}  // namespace torvane::fat
