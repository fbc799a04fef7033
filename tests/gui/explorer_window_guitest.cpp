// The explorer window over the fixture disks: what the tree and list show, recovery of
// checked files, searches, the display filter, sessions saved while the scan runs, closing
// while workers run, miniatures, and screenshots of the windows for review.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>

#include <QComboBox>
#include <QElapsedTimer>
#include <QSignalSpy>
#include <QTest>
#include <QTreeView>
#include <filesystem>
#include <map>
#include <set>

#include "app/gui/advanced_search_dialog.h"
#include "app/gui/dialogs.h"
#include "app/gui/explorer_open.h"
#include "app/gui/explorer_window.h"
#include "app/gui/filter_window.h"
#include "app/gui/hex_view_window.h"
#include "app/gui/miniature_view.h"
#include "app/gui/screenshot.h"
#include "app/gui/size_editor_dialog.h"
#include "gui_test_util.h"
#include "recovery/content_reader.h"
#include "test_util.h"
#include "util/sha256.h"
#include "util/text.h"

namespace torvane::gui {
namespace {

namespace fs = std::filesystem;

// Runs the event loop until `done` holds or `ms` pass (QTRY_* do not fail a GoogleTest).
template <typename F>
bool WaitUntil(F done, int ms = 10000) {
  QElapsedTimer timer;
  timer.start();
  while (!done()) {
    if (timer.elapsed() > ms) return false;
    QTest::qWait(5);
  }
  return true;
}

std::string Sha256Of(const fs::path& path) {
  const auto bytes = test::ReadFile(path);
  Sha256 h;
  h.Update(std::as_bytes(std::span(bytes)));
  return h.HexDigest();
}

class ExplorerFixture : public ::testing::Test {
 protected:
  // Opens the first volume of `disk` whose file system walks, and the explorer on it.
  void Open(const std::string& disk, bool scan = false, const fs::path& session = {}) {
    ws = std::make_unique<Workspace>();
    std::string error;
    ASSERT_TRUE(OpenVolumeRow(*ws, test::DataPath(disk), 0, false, error)) << error;
    VolumeChoice choice;
    choice.session = session;
    window = std::make_unique<ExplorerWindow>(*ws, choice, scan);
    window->resize(1000, 640);
    window->show();
    QSignalSpy spy(window.get(), &ExplorerWindow::listingApplied);
    ASSERT_TRUE(spy.wait(10000));
  }
  void Close() {
    window.reset();  // stops and joins every worker
    ws.reset();
  }
  size_t RowNamed(const std::string& name) {
    for (size_t i = 0; i < window->Model().RowCount(); ++i)
      if (ToUtf8(window->Model().RowAt(i)->name) == name) return i;
    return SIZE_MAX;
  }
  // Lists the folders of `path` one after the other from the current folder.
  void Enter(std::initializer_list<std::string> path) {
    for (const auto& name : path) {
      const size_t row = RowNamed(name);
      ASSERT_NE(row, SIZE_MAX) << name;
      QSignalSpy spy(window.get(), &ExplorerWindow::listingApplied);
      window->OpenFolder(window->Model().RowAt(row)->opens);
      ASSERT_TRUE(spy.wait(10000)) << name;
    }
  }
  std::set<std::string> Names() {
    std::set<std::string> names;
    for (size_t i = 0; i < window->Model().RowCount(); ++i) names.insert(ToUtf8(window->Model().RowAt(i)->name));
    return names;
  }
  void Shot(QWidget* w, const std::string& name) {
    std::string error;
    fs::create_directories(TORVANE_GUI_SCREENSHOTS);
    const QString file = QString::fromStdString((fs::path(TORVANE_GUI_SCREENSHOTS) / name).string());
    ASSERT_TRUE(SaveScreenshot(w, file, error)) << error;
    EXPECT_TRUE(ImageHasContent(file)) << name;
  }

  guitest::ScriptedDialogs dialogs;
  std::unique_ptr<Workspace> ws;
  std::unique_ptr<ExplorerWindow> window;
  test::TempDir temp;
};

TEST_F(ExplorerFixture, NtfsTreeAndListShowFoldersAndDeletedEntries) {
  Open("ntfs/ntfs.vmdk");
  const auto root = Names();
  for (const char* name : {"Projects", "Documents", "Fragmented", "readme.txt", "Lost files", "RAW files"})
    EXPECT_TRUE(root.count(name)) << name;
  EXPECT_GT(window->TreeModel()->rowCount(window->TreeModel()->index(0, 0)), 3);
  // Deleted files whose folder record was reused are under "Lost files".
  Enter({"Lost files", "2019", "Taxes"});
  EXPECT_EQ(Names(), (std::set<std::string>{"..", "return.txt", "receipts.csv"}));
  EXPECT_EQ(window->Tree()->currentIndex(), window->TreeModel()->IndexOf(window->Model().CurrentFolder()));
  // Back, Next and Up move through what was listed.
  window->Command(kCmdBack);
  EXPECT_TRUE(Names().count("Taxes"));
  window->Command(kCmdNext);
  EXPECT_TRUE(Names().count("return.txt"));
  window->Command(kCmdUp);
  window->Command(kCmdUp);
  window->Command(kCmdUp);
  Enter({"Fragmented"});
  EXPECT_TRUE(Names().count("interleaved-b.log"));  // deleted
  EXPECT_TRUE(Names().count("interleaved-a.log"));

  // The filter hides the deleted state and shows it again.
  window->Filter()->SetState(explorer::kFilterDeleted, false);
  QSignalSpy spy(window.get(), &ExplorerWindow::listingApplied);
  ASSERT_TRUE(spy.wait(10000));
  EXPECT_FALSE(Names().count("interleaved-b.log"));
  EXPECT_TRUE(Names().count("interleaved-a.log"));
  window->Filter()->SetState(explorer::kFilterDeleted, true);
  ASSERT_TRUE(spy.wait(10000));
  EXPECT_TRUE(Names().count("interleaved-b.log"));
  Shot(window->Filter(), "explorer-filter.png");
}

TEST_F(ExplorerFixture, CommandsAskWhatIsMissingAndEditTheModel) {
  Open("ntfs/ntfs.vmdk");
  Enter({"Documents", "notes"});
  // Recover with nothing checked and no file focused: the user is told to check files.
  window->Tree()->setFocus();
  window->List()->setCurrentIndex({});
  window->Model().UnselectAll();
  window->Tree()->clearFocus();
  window->Command(kCmdRecover);
  ASSERT_EQ(dialogs.messages.size(), 1u);
  EXPECT_EQ(dialogs.messages[0].text, Tr("WINDOW_EXPLORER", "szSelectFilesToRecover"));
  // Space checks the focused row; the hex view opens for a file, not for a folder.
  const size_t file = RowNamed("shopping list.txt");
  window->List()->setCurrentIndex(window->ListModel()->index(static_cast<int>(file), 0));
  window->Command(kCmdSelect);
  EXPECT_EQ(window->Model().CheckedCount(), 1u);
  window->List()->setCurrentIndex(window->ListModel()->index(static_cast<int>(RowNamed("..")), 0));
  window->Command(kCmdHexView);
  EXPECT_FALSE(window->HexView()->isVisible());
  // The size editor refuses what is not a size and stores one that is.
  SizeEditorDialog editor(window->Model(), file, window.get());
  EXPECT_FALSE(editor.Apply("12 apples", explorer::SizeUnit::kBytes));
  EXPECT_EQ(dialogs.messages.back().text, Tr("WINDOW_FILE_SIZE", "szSizeNotANumber"));
  EXPECT_TRUE(editor.Apply("5", explorer::SizeUnit::kBytes));
  EXPECT_EQ(window->Model().Cell(file, explorer::kColumnSize), "5 B");
  // Favourites: the folder is added once and opened again from the menu.
  window->Command(kCmdAddFavourite);
  window->Command(kCmdAddFavourite);
  EXPECT_EQ(window->Model().FavouriteList().Items().size(), 1u);
  EXPECT_EQ(dialogs.messages.back().text, Tr("WINDOW_EXPLORER", "szPathRecentlyAdded"));
  window->Command(kCmdUp);
  ASSERT_TRUE(window->Model().OpenFavourite(0));
  EXPECT_TRUE(Names().count("shopping list.txt"));
  // The language dialog opens over the explorer; the activity file goes to the temporary folder.
  window->Command(kCmdLanguage);
  auto* language = window->findChild<LanguageDialog*>();
  ASSERT_NE(language, nullptr);
  EXPECT_TRUE(language->isVisible());
  language->reject();
  const char* tmp = std::getenv("TMPDIR");
  const std::string savedTmp = tmp != nullptr ? tmp : "";
  setenv("TMPDIR", temp.path().c_str(), 1);
  window->Command(kCmdActivityFile);
  tmp != nullptr ? setenv("TMPDIR", savedTmp.c_str(), 1) : unsetenv("TMPDIR");
  int activityFiles = 0;
  for (const auto& f : fs::directory_iterator(temp.path()))
    activityFiles += f.path().filename().string().starts_with("torvane_") ? 1 : 0;
  EXPECT_EQ(activityFiles, 1);
}

TEST_F(ExplorerFixture, RecoverCheckedFilesAndFoldersByteIdentical) {
  Open("ntfs/ntfs.vmdk");
  std::map<std::string, std::string> expected;  // path -> sha256 of the intact deleted files
  for (const auto& row : test::ReadTsv(test::DataPath("ntfs/files.tsv")))
    if (row[0].rfind("Old Stuff/", 0) == 0 && row[6] == "yes" && row[0].find(':') == std::string::npos)
      expected[row[0].substr(10)] = row[2];
  ASSERT_GE(expected.size(), 5u);
  // Checked folders are recovered with what they hold.
  Enter({"Lost files"});
  const size_t rows[] = {RowNamed("2019"), RowNamed("Backup")};
  ASSERT_NE(rows[0], SIZE_MAX);
  ASSERT_NE(rows[1], SIZE_MAX);
  window->Model().Toggle(rows);
  QSignalSpy done(window.get(), &ExplorerWindow::recoveryFinished);
  dialogs.folders.push_back(QString::fromStdString(temp.path().string()));
  window->Command(kCmdRecover);
  ASSERT_TRUE(done.wait(20000));
  for (const auto& [path, sha] : expected) EXPECT_EQ(Sha256Of(temp.path() / path), sha) << path;
  // What the run took, the folders too, is unchecked afterwards.
  EXPECT_EQ(window->Model().CheckedCount(), 0u);
}

TEST_F(ExplorerFixture, SearchByNameAndByContentOneAtATime) {
  Open("ntfs/ntfs.vmdk");
  QSignalSpy found(window.get(), &ExplorerWindow::searchFinished);
  window->StartNameSearch("cv-draft");
  ASSERT_TRUE(found.wait(10000));
  EXPECT_TRUE(Names().count("cv-draft.txt"));

  // Content: the bytes of a file found by the reader; a second search started at once
  // replaces the first, and only its result arrives.
  std::vector<std::byte> bytes;
  ReaderContext ctx = ws->Reader();
  const size_t row = [&] {
    window->Command(kCmdUp);
    return RowNamed("readme.txt");
  }();
  ASSERT_NE(row, SIZE_MAX);
  ASSERT_TRUE(recovery::ReadItemToMemory(ctx, window->Model().RowAt(row)->entry, 64, bytes));
  ASSERT_GE(bytes.size(), 24u);
  explorer::SearchCriteria content;
  content.contentKind = explorer::ContentKind::kAscii;
  for (size_t i = 8; i < 24; ++i) content.contentBytes.push_back(static_cast<uint8_t>(bytes[i]));
  found.clear();
  window->StartNameSearch("*.csv");
  window->StartSearch(content, "content");
  ASSERT_TRUE(found.wait(20000));
  QTest::qWait(50);
  EXPECT_EQ(found.count(), 1);
  EXPECT_TRUE(Names().count("readme.txt"));
}

TEST_F(ExplorerFixture, SessionSavedWhileScanningLoadsTheSameEntries) {
  Open("carve/carve.img", /*scan=*/true);
  // Saved while the scan runs (held at a pause point for the save); ".tqs" is added to a
  // name without it, and an existing file of the typed name is left alone.
  test::WriteFile(temp / "early", std::string("keep me"));
  QSignalSpy saved(window.get(), &ExplorerWindow::sessionSaved);
  window->SaveSessionTo(QString::fromStdString((temp / "early").string()));
  ASSERT_TRUE(saved.wait(20000));
  EXPECT_TRUE(saved.takeFirst().at(0).toBool());
  EXPECT_EQ(test::ReadFile(temp / "early").size(), 7u);
  EXPECT_TRUE(fs::exists(temp / "early.tqs"));
  // Through the dialog: a typed "typed" would write "typed.tqs", which exists: not without
  // asking (answered No here).
  fs::copy_file(temp / "early.tqs", temp / "typed.tqs");
  const auto before = test::ReadFile(temp / "typed.tqs");
  dialogs.files.push_back(QString::fromStdString((temp / "typed").string()));
  window->Command(kCmdSaveSession);
  EXPECT_FALSE(saved.wait(300));
  EXPECT_EQ(std::count(dialogs.questions.begin(), dialogs.questions.end(),
                       Tr("EXT_STRINGS", "szReplaceFile", {(temp / "typed.tqs").string()})),
            1);
  EXPECT_EQ(test::ReadFile(temp / "typed.tqs"), before);
  // A link to the disk being read is refused before anything is written.
  fs::create_symlink(test::DataPath("carve/carve.img"), temp / "disk.tqs");
  const auto disk = test::ReadFile(test::DataPath("carve/carve.img"));
  EXPECT_FALSE(window->SaveSessionTo(QString::fromStdString((temp / "disk.tqs").string())));
  EXPECT_EQ(dialogs.messages.back().text, Tr("WINDOW_EXPLORER", "szWriteOnOpenedDisk"));
  EXPECT_EQ(test::ReadFile(test::DataPath("carve/carve.img")), disk);
  ASSERT_TRUE(WaitUntil([&] { return !window->Scan().Running(); }, 30000));
  QTest::qWait(20);  // the scan's last events
  window->SaveSessionTo(QString::fromStdString((temp / "end.tqs").string()));
  ASSERT_TRUE(saved.wait(20000));
  Enter({"RAW files"});
  const auto raw = Names();
  EXPECT_GT(raw.size(), 5u);
  Close();

  dialogs.messages.clear();
  Open("carve/carve.img", false, temp / "end.tqs");
  EXPECT_TRUE(dialogs.messages.empty()) << dialogs.messages.front().text.toStdString();
  Enter({"RAW files"});
  EXPECT_EQ(Names(), raw);
  Close();
  Open("carve/carve.img", false, temp / "early.tqs");
  EXPECT_TRUE(dialogs.messages.empty()) << dialogs.messages.front().text.toStdString();
}

TEST_F(ExplorerFixture, ClosingWhileScanAndSearchRunEndsCleanly) {
  Open("ntfs/ntfs.vmdk", /*scan=*/true);
  explorer::SearchCriteria content;
  content.contentKind = explorer::ContentKind::kAscii;
  content.contentBytes = {'n', 'o', 't', ' ', 'h', 'e', 'r', 'e', '!', '!'};
  window->StartSearch(content, "content");
  window->SetMiniatures(true);
  Close();  // the scan, the search and the miniatures are stopped and joined first
  SUCCEED();
}

TEST_F(ExplorerFixture, MiniaturesOfRawPicturesAndScreenshots) {
  Open("carve/carve.img", /*scan=*/true);
  ASSERT_TRUE(WaitUntil([&] { return !window->Scan().Running(); }, 30000));
  QTest::qWait(20);  // the scan's last events
  Enter({"RAW files"});
  Enter({"JPG"});
  QSignalSpy ready(window->Miniatures(), &MiniatureView::miniatureReady);
  window->SetMiniatures(true);
  const auto pictures = [&] {
    int made = 0;
    for (int row = 0; row < window->ListModel()->rowCount(); ++row) {
      QImage image;
      if (window->Miniatures()->Miniature(row, image) && !image.isNull()) ++made;
    }
    return made;
  };
  ASSERT_TRUE(WaitUntil([&] { return pictures() >= 2; }));
  Shot(window.get(), "explorer-miniatures.png");
  window->SetMiniatures(false);
  window->List()->setCurrentIndex(window->ListModel()->index(static_cast<int>(RowNamed("..") + 1), 0));
  Shot(window.get(), "explorer-details.png");
  window->Command(kCmdHexView);
  ASSERT_TRUE(window->HexView()->isVisible());
  QSignalSpy page(window->HexView()->View(), &HexViewWidget::pageReady);
  ASSERT_TRUE(page.wait(5000) || !window->HexView()->View()->PageLines().empty());
  EXPECT_EQ(window->HexView()->View()->PageLines().at(0).substr(12, 8), "FF D8 FF");
  Shot(window->HexView(), "explorer-hexview-jpeg.png");
  // A JPEG without an EXIF thumbnail has no miniature to recover.
  QSignalSpy miniature(window.get(), &ExplorerWindow::miniatureRecovered);
  window->Command(kCmdRecoverMiniature);
  ASSERT_TRUE(miniature.wait(10000));
  EXPECT_TRUE(miniature.at(0).at(0).toString().isEmpty());
  EXPECT_EQ(dialogs.messages.back().text, Tr("WINDOW_EXPLORER", "szNoMiniature"));
  AdvancedSearchDialog search(window.get());
  search.SetFields("*.jpg", "Exif", explorer::ContentKind::kAscii);
  Shot(&search, "explorer-advanced-search.png");
}

}  // namespace
}  // namespace torvane::gui
