// The results model over the fixture volumes (NTFS, FAT, exFAT, carved RAW items): folders,
// virtual folders, filter, sorting, navigation and check marks; listing while a scan
// appends; and `torvane ls` with the filter and sort options.
#include "explorer/results_model.h"

#include <gtest/gtest.h>

#include <thread>

#include "explorer/search.h"
#include "fs/raw_file_system.h"
#include "fs/volume_fixture.h"
#include "raw/carve/carve_scan.h"
#include "test_util.h"
#include "util/text.h"

namespace torvane::explorer {
namespace {

std::vector<std::u16string> Names(const ResultsModel& m) {
  std::vector<std::u16string> out;
  for (size_t r = 0; r < m.RowCount(); ++r) out.push_back(m.RowAt(r)->name);
  return out;
}

bool Has(const ResultsModel& m, std::u16string_view name) {
  const auto names = Names(m);
  return std::find(names.begin(), names.end(), name) != names.end();
}

size_t RowOf(const ResultsModel& m, std::u16string_view name) {
  const auto names = Names(m);
  return static_cast<size_t>(std::find(names.begin(), names.end(), name) - names.begin());
}

struct Model {
  test::FixtureVolume v;
  std::unique_ptr<ResultsModel> model;
  explicit Model(const std::string& disk) : v(test::DataPath(disk)) {
    if (v.ok()) model = std::make_unique<ResultsModel>(v.ws.store, *v.ws.fileSystem, v.ws.geometry.volumeSectors * 512);
  }
};

TEST(ResultsModelTest, NtfsFoldersFilterSortingAndNavigation) {
  Model m("ntfs/ntfs.vmdk");
  ASSERT_TRUE(m.model) << m.v.error;
  ResultsModel& model = *m.model;
  ASSERT_TRUE(model.Open(kRootFolderRef));
  ASSERT_GE(model.RowCount(), 4u);
  EXPECT_EQ(Names(model)[0], u"Lost files");
  EXPECT_EQ(Names(model)[2], u"RAW files");
  EXPECT_EQ(model.FirstSortableRow(), 3u);
  EXPECT_EQ(model.RowAt(1)->entry.kind, kKindFirstVirtualRow);
  EXPECT_FALSE(HasCheckBox(model.RowAt(0)->entry));
  EXPECT_EQ(model.RowColourAt(RowOf(model, u"$MFT")), model.Colours()[ColourKey::kSpecial]);
  EXPECT_EQ(model.CurrentPath(), u"$:\\");
  EXPECT_FALSE(model.Buttons().up);

  ASSERT_TRUE(model.OpenRow(RowOf(model, u"Compressed")));
  EXPECT_EQ(model.CurrentPath(), u"$:\\Compressed");
  EXPECT_EQ(Names(model)[0], u"..");
  EXPECT_EQ(model.FirstSortableRow(), 1u);
  const size_t log = RowOf(model, u"server.log");
  ASSERT_LT(log, model.RowCount());
  // Compressed before deleted: a deleted compressed file shows as compressed.
  EXPECT_EQ(model.RowColourAt(log), model.Colours()[ColourKey::kCompressed]);
  EXPECT_EQ(model.RowAt(log)->entry.state, kStateRecoverable);
  EXPECT_EQ(model.Cell(RowOf(model, u"table.csv"), kColumnType), "CSV");
  EXPECT_EQ(model.Cell(RowOf(model, u"Sub Folder"), kColumnSize), "");

  // Sorting: ascending, descending, natural; another column starts again at ascending.
  const auto natural = Names(model);
  model.SortBy(kColumnName);
  auto sorted = Names(model);
  EXPECT_EQ(sorted[0], u"..");
  EXPECT_TRUE(std::is_sorted(sorted.begin() + 1, sorted.end(), [](const auto& a, const auto& b) {
    return CompareRows(Row{{}, a}, Row{{}, b}, kColumnName, FsKind::kNtfs) < 0;
  }));
  EXPECT_EQ(model.Arrow(kColumnName), SortArrow::kUp);
  model.SortBy(kColumnName);
  EXPECT_EQ(Names(model)[1], sorted.back());
  EXPECT_EQ(model.Arrow(kColumnName), SortArrow::kDown);
  model.SortBy(kColumnName);
  EXPECT_EQ(Names(model), natural);
  model.SortBy(kColumnName);
  model.SortBy(kColumnSize);
  EXPECT_EQ(model.Sort(), (SortState{kColumnSize, 0}));
  // The root opens in natural order and gives the sort state back when left.
  model.Up();
  EXPECT_EQ(model.Sort().column, -1);
  EXPECT_EQ(Names(model)[0], u"Lost files");
  model.Back();
  EXPECT_EQ(model.Sort(), (SortState{kColumnSize, 0}));
  EXPECT_EQ(model.CurrentPath(), u"$:\\Compressed");
  EXPECT_TRUE(model.Buttons().next);

  // Filter: no compressed entries; then only "*.csv" files (folders stay).
  model.Filter().SetMask(kFilterAll & ~kFilterCompressed);
  model.Refresh();
  EXPECT_FALSE(Has(model, u"server.log"));
  EXPECT_FALSE(Has(model, u"small.txt"));
  EXPECT_EQ(Names(model)[0], u"..");
  model.Filter().SetMask(kFilterAll);
  model.Filter().SetPattern(u"*.CSV");
  model.Refresh();
  EXPECT_TRUE(Has(model, u"table.csv"));
  EXPECT_TRUE(Has(model, u"Sub Folder"));
  EXPECT_FALSE(Has(model, u"small.txt"));
  model.Filter().SetPreset(FilterPreset::kAny);

  // Check marks reach the store, where recovery reads them.
  model.Refresh();
  model.SelectAll();
  const Row csv = *model.RowAt(RowOf(model, u"table.csv"));
  EXPECT_EQ(EntryAt(m.v.ws.store.deletedEntries, csv.index).mark, 1);
  EXPECT_EQ(model.RowAt(RowOf(model, u"Sub Folder"))->entry.mark, 0);  // folders are not files
  model.InvertSelection();
  EXPECT_EQ(model.CheckedCount(), 0u);
  const size_t rows[] = {RowOf(model, u"table.csv"), 0};
  model.Toggle(rows);
  EXPECT_EQ(model.CheckedCount(), 1u);
  EXPECT_FALSE(model.EditSize(RowOf(model, u"table.csv"), "100000", SizeUnit::kGiB).ok());  // larger than the volume
  ASSERT_TRUE(model.EditSize(RowOf(model, u"table.csv"), "2", SizeUnit::kKiB).ok());
  EXPECT_EQ(test::Val(EntryAt(m.v.ws.store.deletedEntries, csv.index).size), 2048u);

  // Favourites and Lost files.
  EXPECT_EQ(model.AddCurrentToFavourites(), AddFavouriteResult::kAdded);
  EXPECT_EQ(model.AddCurrentToFavourites(), AddFavouriteResult::kDuplicate);
  ASSERT_TRUE(model.Open(kLostFilesFolderRef));
  EXPECT_TRUE(Has(model, u"2019"));
  ASSERT_TRUE(model.OpenRow(RowOf(model, u"2019")));
  EXPECT_EQ(model.CurrentPath(), u"$:\\Lost files\\2019");
  ASSERT_TRUE(model.OpenFavourite(0));
  EXPECT_EQ(model.CurrentPath(), u"$:\\Compressed");
  EXPECT_EQ(model.CurrentChain().folders.size(), 1u);
}

TEST(ResultsModelTest, FatExfatAndCarvedItemsListTheSameWay) {
  {
    Model m("fat/fat16-mbr.vmdk");
    ASSERT_TRUE(m.model) << m.v.error;
    m.model->Filter().SetPattern(u"*.md");
    ASSERT_TRUE(m.model->Open(kRootFolderRef));
    size_t files = 0;
    for (size_t r = m.model->FirstSortableRow(); r < m.model->RowCount(); ++r) {
      const Row row = *m.model->RowAt(r);
      if (row.IsFolderRow()) continue;
      ++files;
      EXPECT_TRUE(row.name.ends_with(u".md") || row.name.ends_with(u".MD")) << ToUtf8(row.name);
    }
    EXPECT_GE(files, 1u);
    const size_t notes = RowOf(*m.model, u"NOTES.md");
    ASSERT_LT(notes, m.model->RowCount());
    EXPECT_EQ(m.model->Cell(notes, kColumnType), "MD");
    EXPECT_EQ(m.model->RowColourAt(notes), m.model->Colours()[ColourKey::kExisting]);
  }
  {
    Model m("exfat/exfat-mbr.vmdk");
    ASSERT_TRUE(m.model) << m.v.error;
    ASSERT_TRUE(m.model->Open(kRootFolderRef));
    ASSERT_TRUE(m.model->OpenRow(RowOf(*m.model, u"Photos 2024")));
    const size_t jpg = RowOf(*m.model, u"IMG_0001.JPG");
    ASSERT_LT(jpg, m.model->RowCount());
    EXPECT_EQ(m.model->Cell(jpg, kColumnSize), "4 KB");
    EXPECT_EQ(m.model->Cell(jpg, kColumnDate).size(), 16u);  // "YYYY-MM-DD hh:mm"
    EXPECT_EQ(m.model->CurrentPath(), u"$:\\Photos 2024");
  }
  {
    Workspace ws;
    ws.driveList.SetImage(test::DataPath("carve/carve.img"));
    ws.driveList.EnumerationThread(ws.source, ws.geometry, 0);
    size_t whole = 0;
    while (whole < ws.driveList.rows.size() && !ws.driveList.rows[whole].wholeDisk) ++whole;
    std::string error;
    ASSERT_TRUE(
        OpenDriveListRow(ws.driveList, ws.source, ws.geometry, test::DataPath("carve/carve.img"), whole, error));
    ws.fileSystem = OpenRawFileSystem(ws.source, ws.geometry, ws.store);
    WalkSummary walk;
    ASSERT_TRUE(ws.fileSystem->Walk({}, walk, error)) << error;
    carve::ScanWithCarving(ws.source, ws.geometry, ws.store, *ws.fileSystem, {});
    ResultsModel model(ws.store, *ws.fileSystem, ws.geometry.volumeSectors * 512);
    ASSERT_TRUE(model.Open(kRawFilesFolderRef));
    ASSERT_TRUE(Has(model, u"JPG"));
    ASSERT_TRUE(model.OpenRow(RowOf(model, u"JPG")));
    EXPECT_EQ(model.CurrentPath(), u"$:\\RAW files\\JPG");
    size_t jpgs = 0;
    for (size_t r = 1; r < model.RowCount(); ++r) {
      jpgs += model.Cell(r, kColumnType) == "JPG";
      EXPECT_EQ(model.Cell(r, kColumnDate), "");  // RAW items have no date
    }
    EXPECT_GE(jpgs, 2u);
    EXPECT_EQ(jpgs, model.RowCount() - 1);
    ASSERT_TRUE(model.Up());
    EXPECT_EQ(model.CurrentFolder(), kRawFilesFolderRef);
  }
}

// Rows are read on one thread while another appends to the lists, as a scan does: every
// read goes through the entry-list lock (checked under ThreadSanitizer).
TEST(ExplorerListingThreadTest, ListingAndSearchWhileAScanAppends) {
  Model m("ntfs/ntfs.vmdk");
  ASSERT_TRUE(m.model) << m.v.error;
  ItemStore& store = m.v.ws.store;
  const std::unique_ptr<ItemTree> tree = m.v.ws.fileSystem->MakeTree();
  const TreeFolderSource source(store.deletedEntries, *tree, &store.entryListLock);
  const uint64_t before = source.EntryCount();
  constexpr int kAppends = 20000;
  std::atomic<bool> done{false};
  std::thread scan([&] {
    FileEntry e;
    e.state = kStateFoundInFreeSpace;
    e.size = 10;
    e.SetParentRecord(5);  // the root folder
    for (int i = 0; i < kAppends; ++i) {
      e.recordNumber = 1000000 + static_cast<uint64_t>(i);
      store.AppendEntryLocked(store.deletedEntries, e, u"appended-" + std::u16string(1, u'a' + i % 26));
      // The filter window changes the filter while listings run.
      if (i % 1000 == 0) m.model->Filter().SetPattern(i % 2000 == 0 ? u"*.none" : u"*");
    }
    m.model->Filter().SetPattern(u"*");
    done = true;
  });
  std::atomic<bool> stop{false};
  size_t reads = 0;
  while (!done || reads == 0) {
    FolderListing listing = m.model->ListFolder(kRootFolderRef, &stop);
    m.model->ApplyListing(std::move(listing), {}, ListingCause::kRefresh);
    for (size_t r = 0; r < m.model->RowCount(); r += 97) reads += m.model->Cell(r, kColumnName).size();
    for (uint64_t i = 0; i < before; i += 13) reads += source.Name(i).size() + source.Entry(i).size % 2;
  }
  scan.join();
  m.model->Refresh();
  size_t appended = 0;
  for (size_t r = 0; r < m.model->RowCount(); ++r) appended += m.model->RowAt(r)->name.starts_with(u"appended-");
  EXPECT_EQ(appended, static_cast<size_t>(kAppends));
}

TEST(ExplorerCliTest, LsFilterAndSortOptions) {
  const std::string disk = "'" + test::DataPath("ntfs/ntfs.vmdk").string() + "'";
  std::string text;
  ASSERT_EQ(test::RunCli("ls " + disk + " -v 0 -r --state deleted,overwritten,files", &text), 0) << text;
  EXPECT_NE(text.find("Fragmented/interleaved-b.log"), std::string::npos) << text;
  EXPECT_EQ(text.find("Compressed/server.log"), std::string::npos) << text;         // compressed
  EXPECT_EQ(text.find("Fragmented/interleaved-a.log"), std::string::npos) << text;  // existing
  ASSERT_EQ(test::RunCli("ls " + disk + " -v 0 Compressed --name '*.csv, *.LOG' --json", &text), 0) << text;
  EXPECT_NE(text.find("\"path\":\"Compressed/table.csv\""), std::string::npos) << text;
  EXPECT_NE(text.find("\"path\":\"Compressed/server.log\""), std::string::npos) << text;
  EXPECT_EQ(text.find("mixed.bin"), std::string::npos) << text;
  EXPECT_NE(text.find("Compressed/Sub Folder"), std::string::npos) << text;
  ASSERT_EQ(test::RunCli("ls " + disk + " -v 0 Compressed --state files --sort size:desc --json", &text), 0) << text;
  std::vector<uint64_t> sizes;
  for (size_t at = 0; (at = text.find("\"size\":", at)) != std::string::npos; ++at)
    sizes.push_back(std::stoull(text.substr(at + 7)));
  ASSERT_GE(sizes.size(), 3u) << text;
  EXPECT_TRUE(std::is_sorted(sizes.rbegin(), sizes.rend())) << text;
  ASSERT_EQ(test::RunCli("ls " + disk + " -v 0 --type system", &text), 0) << text;
  EXPECT_EQ(text.find("$MFT"), std::string::npos) << text;
  EXPECT_EQ(test::RunCli("ls " + disk + " -v 0 --state gone", &text), 2);
  EXPECT_NE(text.find("Unknown state in --state: gone"), std::string::npos) << text;
  EXPECT_EQ(test::RunCli("ls " + disk + " -v 0 --sort colour", &text), 2);
  EXPECT_EQ(test::RunCli("ls " + disk + " -v 0 Nowhere", &text), 1);
}

}  // namespace
}  // namespace torvane::explorer
