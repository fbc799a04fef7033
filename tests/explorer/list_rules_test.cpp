// The rules of the results list that need no volume: cells at their edges, ratings, row
// colours, the filter, navigation, favourites, the size editor and the properties' texts.
#include <gtest/gtest.h>

#include "app/explorer_texts.h"
#include "app/settings.h"
#include "explorer/display_filter.h"
#include "explorer/favourites.h"
#include "explorer/list_cells.h"
#include "explorer/navigation.h"
#include "explorer/properties.h"
#include "explorer/row_colours.h"
#include "explorer/size_editor.h"
#include "test_util.h"

namespace torvane::explorer {
namespace {

FileEntry File(uint64_t size, uint8_t state = kStateExisting) {
  FileEntry e;
  e.size = size;
  e.state = state;
  return e;
}

TEST(ExplorerCellsTest, SizesDatesTypesAndRatings) {
  EXPECT_EQ(SizeCell(1023), "1023 B");
  EXPECT_EQ(SizeCell(1024), "1 KB");
  EXPECT_EQ(SizeCell(1048575), "1023 KB");
  EXPECT_EQ(SizeCell(1073741824), "1 GB");
  EXPECT_EQ(SizeCell(0), "0 B");
  // FAT counts the low 32 bits; RAW items and NTFS keep all 64.
  FileEntry big = File((uint64_t{1} << 32) + 5);
  EXPECT_EQ(SizeCellFor(big, FsKind::kFat32), "5 B");
  EXPECT_EQ(SizeCellFor(big, FsKind::kNtfs), "4 GB");
  big.kind = kKindRaw;
  EXPECT_EQ(SizeCellFor(big, FsKind::kFat32), "4 GB");

  FileEntry e = File(1);
  e.time = 133000000000000000ull;  // 2022-06-18 04:26:40 UTC
  EXPECT_EQ(DateCell(e, FsKind::kNtfs), "2022-06-18");
  EXPECT_EQ(DateCell(e, FsKind::kExfat), "2022-06-18 04:26");
  e.time = UINT64_MAX;  // damage: no date rather than a year past 9999
  EXPECT_EQ(DateCell(e, FsKind::kNtfs), "");
  e.parentHigh = (43 << 9) | (11 << 5) | 24;  // FAT access date 2023-11-24
  EXPECT_EQ(DateCell(e, FsKind::kFat16), "2023-11-24");
  e.kind = kKindRaw;
  EXPECT_EQ(DateCell(e, FsKind::kNtfs), "");
  EXPECT_EQ(DateCell(File(1), FsKind::kExfat), "");  // a zero time shows nothing

  EXPECT_EQ(TypeCell(File(1), u"photo.Jpeg"), u"JPEG");
  EXPECT_EQ(TypeCell(File(1), u"README"), u"");
  FileEntry folder;
  folder.folderFlag = kFolderFlag;
  EXPECT_EQ(TypeCell(folder, u"a.b"), u"");
  EXPECT_EQ(SizeCellFor(folder, FsKind::kNtfs), "");

  EXPECT_EQ(RatingValue(200), 100u);
  EXPECT_EQ(RatingImage(200), 10);
  EXPECT_EQ(RatingImage(37), 3);
  EXPECT_EQ(RatingImage(255), 11);
  EXPECT_EQ(RatingImage(252), 11);
  // States past 110 would point beyond the 12-image strip.
  for (uint8_t state : {244, 245, 254}) EXPECT_EQ(RatingImage(state), 11) << int(state);
  EXPECT_EQ(GeneratedName(File(1)), u"NONAME_0");
}

TEST(ExplorerColoursTest, DefaultsStateClassesAndTheConfiguration) {
  EXPECT_EQ(ColourTable::Defaults(0x000000)[ColourKey::kDeleted], 0x808080u);
  EXPECT_EQ(ColourTable::Defaults(0xFFFFFF)[ColourKey::kDeleted], 0x7F7F7Fu);
  // Compared as 0x00BBGGRR: dark red (0x00000090) lies below 0x808080 and gains it.
  EXPECT_EQ(ColourTable::DefaultColour(ColourKey::kDeleted, 0x900000), 0x108180u);
  const ColourTable t = ColourTable::Defaults();
  EXPECT_EQ(t[ColourKey::kOverwritten], 0xFF0000u);
  EXPECT_EQ(t[ColourKey::kEncrypted], 0x0D9213u);

  FileEntry e = File(1, 100);
  EXPECT_EQ(StateClass(e, u"a.txt", FsKind::kNtfs), ColourKey::kDeleted);
  EXPECT_EQ(StateClass(e, u"$MFT", FsKind::kNtfs), ColourKey::kSpecial);
  e.attributes = kAttributeCompressed;
  EXPECT_EQ(StateClass(e, u"a.txt", FsKind::kNtfs), ColourKey::kCompressed);
  e.state = 40;  // part of the data is gone
  EXPECT_EQ(StateClass(e, u"a.txt", FsKind::kNtfs), ColourKey::kOverwritten);
  e.state = 255;
  EXPECT_EQ(StateClass(e, u"a.txt", FsKind::kNtfs), ColourKey::kDeleted);
  // FAT: the deleted flag at 0x20, a chain that is gone, kind 3.
  FileEntry f = File(1);
  f.hasChain = 1;
  EXPECT_EQ(StateClass(f, u"A.TXT", FsKind::kFat16), ColourKey::kExisting);
  f.dataStart = uint64_t{1} << 32;
  EXPECT_EQ(StateClass(f, u"A.TXT", FsKind::kFat16), ColourKey::kDeleted);
  f.kind = kKindUnverifiable;
  EXPECT_EQ(StateClass(f, u"A.TXT", FsKind::kExfat), ColourKey::kNotDetected);
  FileEntry v;
  v.kind = kKindFirstVirtualRow;
  v.listed = 4;
  EXPECT_EQ(RowColour(t, v, u"RAW files", FsKind::kNtfs), kMarkedVirtualFolderColour);

  // Torvane.cfg keeps "#RRGGBB"; colours it does not name follow the window text.
  test::TempDir dir;
  test::WriteFile(dir / "Torvane.cfg", std::string("[COLORS]\nOVERWRITTEN=#00FF00\n"));
  app::Configuration config;
  std::string error;
  ASSERT_TRUE(app::LoadConfiguration(dir / "Torvane.cfg", config, error)) << error;
  ColourTable fromFile = app::ColoursFromConfiguration(config, 0xFFFFFF);
  EXPECT_EQ(fromFile[ColourKey::kOverwritten], 0x00FF00u);
  EXPECT_EQ(fromFile[ColourKey::kDeleted], 0x7F7F7Fu);
  fromFile[ColourKey::kSpecial] = 0x123456;
  app::StoreColours(fromFile, config);
  ASSERT_TRUE(app::SaveConfiguration(dir / "Torvane.cfg", config, error)) << error;
  const auto bytes = test::ReadFile(dir / "Torvane.cfg");
  EXPECT_NE(std::string(bytes.begin(), bytes.end()).find("SPECIAL=#123456"), std::string::npos);
}

TEST(ExplorerFilterTest, MaskPatternsAndPresets) {
  DisplayFilter filter;
  filter.SetMask(0);
  EXPECT_EQ(filter.Mask(), kFilterAlways);
  filter.SetVolumeKind(FsKind::kFat32);
  filter.SetMask(kFilterAll);
  EXPECT_EQ(filter.Mask() & kFilterNtfsOnly, 0u);
  filter.SetPattern(u" *.JPG,*.png ,");
  FilterSnapshot s = filter.Snapshot();
  EXPECT_EQ(s.patterns, (std::vector<std::u16string>{u"*.jpg", u"*.png"}));
  FileEntry file = File(1);
  file.hasChain = 1;
  FileEntry folder = file;
  folder.folderFlag = kFolderFlag;
  EXPECT_TRUE(s.Admits(file, u"a.Jpg", FsKind::kFat32));
  EXPECT_FALSE(s.Admits(file, u"a.gif", FsKind::kFat32));
  EXPECT_TRUE(s.Admits(folder, u"Pictures", FsKind::kFat32));  // folders stay reachable
  s.mask = kFilterAll & ~kFilterFolders;
  EXPECT_FALSE(s.Admits(folder, u"Pictures", FsKind::kFat32));
  s.mask = kFilterAll & ~kFilterExisting;
  EXPECT_FALSE(s.Admits(file, u"a.jpg", FsKind::kFat32));
  filter.SetPreset(FilterPreset::kAny);
  EXPECT_TRUE(filter.Snapshot().patterns.empty());
  FilterPreset p;
  ASSERT_TRUE(PresetByName("audio", p));
  EXPECT_EQ(PresetPattern(p), "*.wav, *.mp3, *.wma, *.ogg, *.mid");
  EXPECT_FALSE(PresetByName("Audio", p));
}

TEST(ExplorerNavigationTest, HistoryAndFavourites) {
  NavigationHistory h;
  for (FolderRef f = 1; f <= 17; ++f) h.Visit(f, FolderChain{{f}}, u"$:\\" + std::u16string(1, u'@' + f));
  ASSERT_EQ(h.Entries().size(), kHistorySize);
  EXPECT_EQ(h.Entries().front().folder, 17u);
  EXPECT_EQ(h.Entries().back().folder, 2u);  // the first folder was pushed out
  EXPECT_FALSE(h.CanGoNext());
  ASSERT_TRUE(h.Back());
  EXPECT_EQ(h.Current()->folder, 16u);
  EXPECT_TRUE(h.CanGoNext());
  ASSERT_TRUE(h.Next());
  EXPECT_FALSE(h.Next());
  h.Back();
  h.Visit(99, {}, u"x");  // listing by the user starts again at the top
  EXPECT_EQ(h.Index(), 0u);
  EXPECT_EQ(h.Entries()[1].folder, 17u);

  Favourites fav;
  for (int i = 0; i < 10; ++i)
    EXPECT_EQ(fav.Add(u"$:\\f" + std::u16string(1, u'0' + i), 1, {}), AddFavouriteResult::kAdded);
  EXPECT_EQ(fav.Add(u"$:\\f3", 1, {}), AddFavouriteResult::kDuplicate);
  EXPECT_EQ(fav.Add(u"$:\\other", 1, {}), AddFavouriteResult::kFull);
  EXPECT_EQ(AddFavouriteMessageKey(AddFavouriteResult::kFull), "szFavoritesFull");
  EXPECT_EQ(FavouriteMenuText(0, u"$:\\a"), u"&1  $:\\a");
  EXPECT_EQ(FavouriteMenuText(9, u"$:\\j"), u"&0  $:\\j");
  fav.Clear();
  EXPECT_EQ(fav.Add(u"$:\\f3", 1, {}), AddFavouriteResult::kAdded);
}

TEST(ExplorerSizeEditorTest, BoundsUnitsAndFormats) {
  constexpr uint64_t kVolume = uint64_t{8} << 30;
  EXPECT_EQ(ParseSizeEdit("1.5", SizeUnit::kMiB, kVolume, FsKind::kNtfs).bytes, 1572864u);
  EXPECT_EQ(ParseSizeEdit(" 3 ", SizeUnit::kGiB, kVolume, FsKind::kNtfs).bytes, uint64_t{3} << 30);
  EXPECT_EQ(ParseSizeEdit("8", SizeUnit::kGiB, kVolume, FsKind::kNtfs).bytes, kVolume);
  EXPECT_EQ(ParseSizeEdit("8.000001", SizeUnit::kGiB, kVolume, FsKind::kNtfs).error, SizeParseError::kTooLarge);
  EXPECT_EQ(ParseSizeEdit("-1", SizeUnit::kBytes, kVolume, FsKind::kNtfs).error, SizeParseError::kNegative);
  EXPECT_EQ(ParseSizeEdit("1e3", SizeUnit::kBytes, kVolume, FsKind::kNtfs).error, SizeParseError::kNotANumber);
  EXPECT_EQ(ParseSizeEdit("", SizeUnit::kBytes, kVolume, FsKind::kNtfs).error, SizeParseError::kNotANumber);
  EXPECT_EQ(ParseSizeEdit("99999999999999999999999", SizeUnit::kGiB, UINT64_MAX, FsKind::kNtfs).error,
            SizeParseError::kTooLarge);
  // A FAT entry holds 32 bits, whatever the volume's size.
  EXPECT_EQ(ParseSizeEdit("4", SizeUnit::kGiB, kVolume, FsKind::kFat32).error, SizeParseError::kTooLarge);
  EXPECT_EQ(ParseSizeEdit("4294967295", SizeUnit::kBytes, kVolume, FsKind::kFat32).bytes, 4294967295u);
  // 2 to 4 GiB show as unsigned numbers.
  EXPECT_EQ(SizeEditText(File(3221225472u), FsKind::kFat32), "3221225472");
  EXPECT_EQ(SizeEditText(File((uint64_t{5} << 32) + 7), FsKind::kNtfs), "21474836487");
}

TEST(ExplorerPropertiesTest, TextsComeFromTheLanguageTables) {
  app::LanguageTable table;
  const app::ExplorerTexts texts(table);
  EXPECT_EQ(PropertiesSize(File(1536), FsKind::kNtfs, texts), "1 KB (bytes: 1536)");
  EXPECT_EQ(PropertiesDate(133000000000000000ull, texts), "18 June 2022, 04:26:40");
  EXPECT_EQ(PropertiesDate(0, texts), "???");
  EXPECT_EQ(DateNotKept(FsKind::kExfat, texts), "N/A (FAT)");
  table.Apply("[WINDOW_PROPERTIES]\nszMonth6=Juni\n");
  EXPECT_EQ(PropertiesDate(133000000000000000ull, texts), "18 Juni 2022, 04:26:40");
}

}  // namespace
}  // namespace torvane::explorer
