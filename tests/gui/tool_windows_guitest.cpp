// The dialogs and long jobs of the drive selection window, on the fixture disks.
#include <gtest/gtest.h>

#include <QCheckBox>
#include <QComboBox>
#include <QPushButton>
#include <QRadioButton>
#include <QSignalSpy>
#include <QTreeView>
#include <QTreeWidget>

#include "app/drive_list.h"
#include "app/gui/dialogs.h"
#include "app/gui/drive_model.h"
#include "app/gui/drive_window.h"
#include "app/gui/tool_windows.h"
#include "gui_test_util.h"
#include "util/text.h"

namespace torvane::gui {
namespace {

using guitest::QFixture;
using guitest::ScriptedDialogs;
using guitest::TempDirQ;
using guitest::WaitFor;

std::unique_ptr<DriveSelectionWindow> LoadedWindow(Workspace& ws, const QString& disk) {
  auto w = std::make_unique<DriveSelectionWindow>(ws);
  QSignalSpy ready(w.get(), &DriveSelectionWindow::listReady);
  w->LoadImage(disk);
  EXPECT_TRUE(ready.wait(30000));
  return w;
}

template <class T>
T* WaitForChild(QWidget* parent) {
  T* found = nullptr;
  WaitFor([&] { return (found = parent->findChild<T*>()) != nullptr; }, 10000);
  return found;
}

// The advanced settings of a row change what "Next" opens; a whole disk asks for the scan
// method first, and the direct scan opens it in RAW mode.
TEST(DriveWindowTools, AdvancedSettingsAndScanMethodChangeWhatNextOpens) {
  ScriptedDialogs dialogs;
  Workspace ws;
  auto w = LoadedWindow(ws, QFixture("volumes/mbr-logical.vmdk"));
  std::vector<VolumeChoice> opened;
  std::vector<bool> damaged;
  std::vector<uint32_t> clusters;
  App().openExplorer = [&](Workspace& space, const VolumeChoice& c) {
    opened.push_back(c);
    damaged.push_back(space.geometry.damaged);
    clusters.push_back(space.geometry.bytesPerCluster);
  };
  QSignalSpy done(w.get(), &DriveSelectionWindow::volumeOpened);

  w->SelectRow(0);  // FAT16
  w->Next();
  ASSERT_TRUE(done.wait(30000));

  w->SelectRow(0);
  w->DriveSettingsCommand();
  auto* dialog = WaitForChild<DriveSettingsDialog>(w.get());
  ASSERT_NE(dialog, nullptr);
  dialog->overrideBox->setChecked(true);
  dialog->kind->setCurrentIndex(0);     // FAT16
  dialog->cluster->setCurrentIndex(5);  // 8192 bytes
  dialog->damaged->setChecked(true);
  dialog->accept();
  ASSERT_TRUE(done.wait(30000));

  // The settings stay with the row: a later "Next" opens it the same way.
  w->SelectRow(0);
  w->Next();
  ASSERT_TRUE(done.wait(30000));
  ASSERT_EQ(opened.size(), 3u);
  EXPECT_FALSE(damaged[0]);
  EXPECT_TRUE(damaged[1]);
  EXPECT_TRUE(damaged[2]);
  EXPECT_NE(clusters[0], 8192u);
  EXPECT_EQ(clusters[1], 8192u);
  EXPECT_EQ(opened[1].settings.damaged, 1);

  // The whole disk: the scan-method dialog, then the direct scan in RAW mode.
  const size_t disk = w->Model()->Rows().size() - 1;
  w->SelectRow(disk);
  w->Next();
  auto* mode = WaitForChild<ScanModeDialog>(w.get());
  ASSERT_NE(mode, nullptr);
  mode->direct->setChecked(true);
  mode->accept();
  ASSERT_TRUE(done.wait(30000));
  App().openExplorer = nullptr;
  ASSERT_EQ(opened.size(), 4u);
  EXPECT_TRUE(opened[3].rawMode);
  EXPECT_TRUE(test::Val(opened[3].record.wholeDisk));
  EXPECT_TRUE(dialogs.messages.empty());
}

// The partition search runs, pauses, stops, saves its state, goes on from the saved state
// to the end and lists the lost volumes; a found volume opens through the explorer hook.
TEST(DriveWindowTools, PartitionSearchPausesStopsSavesResumesAndLists) {
  ScriptedDialogs dialogs;
  TempDirQ dir;
  Workspace ws;
  auto w = LoadedWindow(ws, QFixture("volumes/lost-table.vmdk"));
  PartitionSearchWindow search(guitest::Fixture("volumes/lost-table.vmdk"), SearchMethod::kDeep, w.get());
  QSignalSpy finished(&search, &PartitionSearchWindow::finished);
  ASSERT_TRUE(search.StartNew());
  search.Pause();
  EXPECT_TRUE(search.Paused());
  // Paused: it does not end by itself.
  EXPECT_FALSE(finished.wait(300));
  EXPECT_TRUE(search.Running());
  search.Stop();
  ASSERT_TRUE(finished.wait(30000));
  EXPECT_FALSE(finished.last().at(0).toBool());
  EXPECT_LT(search.NextSector(), search.DiskSectors());

  dialogs.files.push_back(dir.Path("s.tqsp"));
  ASSERT_TRUE(search.SaveState());
  dialogs.files.push_back(dir.Path("s.tqsp"));
  ASSERT_TRUE(search.LoadState());
  ASSERT_TRUE(finished.wait(30000));
  EXPECT_TRUE(finished.last().at(0).toBool());
  std::vector<std::string> labels;
  for (const auto& r : search.Found()) labels.push_back(ToUtf8(GetText(r.label)));
  EXPECT_NE(std::find(labels.begin(), labels.end(), "LOSTNTFS"), labels.end());
  EXPECT_NE(std::find(labels.begin(), labels.end(), "LOSTFAT32"), labels.end());
  EXPECT_EQ(search.results->topLevelItemCount(), static_cast<int>(search.Found().size()));
  EXPECT_EQ(search.results->topLevelItem(0)->text(4), "lost");

  // Saving again names the file that would be replaced, and a No keeps it.
  dialogs.files.push_back(dir.Path("s.tqsp"));
  EXPECT_FALSE(search.SaveState());
  ASSERT_EQ(dialogs.questions.size(), 1u);
  EXPECT_TRUE(dialogs.questions[0].contains("s.tqsp"));

  QSignalSpy open(&search, &PartitionSearchWindow::openFound);
  search.results->setCurrentItem(search.results->topLevelItem(0));
  search.OpenSelected();
  ASSERT_EQ(open.count(), 1);
  EXPECT_TRUE(dialogs.messages.empty());
}

// An image is written (done), aborted, refused when it is one of the disk's files, and
// fails when it cannot be created; each reported as such.
TEST(DriveWindowTools, ImageWindowReportsDoneAbortedAndFailed) {
  ScriptedDialogs dialogs;
  TempDirQ dir;
  Workspace ws;
  auto w = LoadedWindow(ws, QFixture("volumes/mbr-logical.vmdk"));
  const PartitionRecord disk = w->Model()->Rows().back();
  const PartitionRecord volume = w->Model()->Rows()[0];
  {
    ImageWindow image(guitest::Fixture("volumes/mbr-logical.vmdk"), volume, w.get());
    QSignalSpy finished(&image, &ImageWindow::finished);
    ASSERT_TRUE(image.Start(dir.Path("v.img"), false, false));
    ASSERT_TRUE(finished.wait(60000));
    EXPECT_EQ(image.Current(), ImageWindow::State::kDone);
    EXPECT_EQ(std::filesystem::file_size(dir.path() / "v.img"), volume.sectors * 512);
  }
  {
    ImageWindow image(guitest::Fixture("volumes/mbr-logical.vmdk"), disk, w.get());
    QSignalSpy finished(&image, &ImageWindow::finished);
    ASSERT_TRUE(image.Start(dir.Path("d.img"), false, false));
    image.Pause();
    image.Abort();
    ASSERT_TRUE(finished.wait(60000));
    EXPECT_EQ(image.Current(), ImageWindow::State::kAborted);
    // Continued, it ends done with the whole disk.
    ASSERT_TRUE(image.Start(dir.Path("d.img"), false, true));
    ASSERT_TRUE(finished.wait(60000));
    EXPECT_EQ(image.Current(), ImageWindow::State::kDone);
    EXPECT_EQ(std::filesystem::file_size(dir.path() / "d.img"), disk.sectors * 512);
  }
  {
    ImageWindow image(guitest::Fixture("volumes/mbr-logical.vmdk"), disk, w.get());
    QSignalSpy finished(&image, &ImageWindow::finished);
    EXPECT_FALSE(image.Start(QFixture("volumes/mbr-logical.vmdk"), true, false));
    ASSERT_EQ(dialogs.messages.size(), 1u);
    EXPECT_TRUE(dialogs.messages[0].text.contains("another drive"));
    ASSERT_TRUE(image.Start(dir.Path("missing/folder/x.img"), false, false));
    ASSERT_TRUE(finished.wait(60000));
    EXPECT_EQ(image.Current(), ImageWindow::State::kFailed);
  }
  // From the menu: the disk's own file is refused and the file dialog asked again.
  dialogs.messages.clear();
  dialogs.files = {QFixture("volumes/mbr-logical.vmdk"), QString()};
  w->SelectRow(0);
  w->CreateImageCommand();
  EXPECT_EQ(dialogs.messages.size(), 1u);
  EXPECT_TRUE(dialogs.files.empty());
  EXPECT_EQ(w->findChild<ImageWindow*>(), nullptr);
}

// A disk whose table was zeroed (a raw image: sectors of a sparse disk that were never
// written cannot be): the restore window is offered, the backup is written and
// read back, the restore brings the volumes back into the list, and the backup restores the
// disk as it was; only verified writes are reported as successful.
TEST(DriveWindowTools, QuickRestoreBackupRestoreAndBackupFile) {
  ScriptedDialogs dialogs;
  TempDirQ dir;
  std::filesystem::copy_file(guitest::Fixture("partsearch/zeroed-mbr.raw"), dir.path() / "disk.raw");
  Workspace ws;
  auto w = LoadedWindow(ws, dir.Path("disk.raw"));
  auto* restore = WaitForChild<QuickRestoreWindow>(w.get());
  ASSERT_NE(restore, nullptr);
  ASSERT_TRUE(WaitFor([&] { return restore->detailsButton->isEnabled(); }));
  ASSERT_FALSE(restore->Plan().Empty());
  EXPECT_EQ(restore->Lost().size(), 2u);
  EXPECT_FALSE(restore->restoreButton->isEnabled());  // not before a backup
  dialogs.files.push_back(dir.Path("backup.tqb"));
  ASSERT_TRUE(restore->Backup());
  dialogs.answers.push_back(true);
  ASSERT_TRUE(restore->Restore());
  EXPECT_TRUE(dialogs.HasMessageContaining("backup.tqb"));
  restore->close();
  ASSERT_TRUE(WaitFor([&] { return !w->Busy(); }));
  auto tableVolumes = [&] {
    DriveList list;
    DiskSource source;
    VolumeGeometry geometry;
    list.SetImage(dir.path() / "disk.raw");
    list.EnumerationThread(source, geometry, 0);
    return list.volumeList.tableVolumes;
  };
  EXPECT_EQ(tableVolumes(), 2u);

  // Restoring the backup puts the zeroed table back: no volumes listed by a table.
  dialogs.messages.clear();
  dialogs.files.push_back(dir.Path("backup.tqb"));
  dialogs.answers.push_back(true);
  w->OpenBackupCommand();
  ASSERT_EQ(dialogs.messages.size(), 1u);
  EXPECT_EQ(dialogs.messages[0].text, "Restoration of backup processed successfully!");
  EXPECT_EQ(tableVolumes(), 0u);

  // A file that is not a backup is refused before any question.
  ASSERT_TRUE(WaitFor([&] { return !w->Busy(); }));
  dialogs.messages.clear();
  dialogs.questions.clear();
  dialogs.files.push_back(dir.File("bad.tqb", "not a backup at all"));
  w->OpenBackupCommand();
  ASSERT_EQ(dialogs.messages.size(), 1u);
  EXPECT_TRUE(dialogs.messages[0].text.contains("damaged or not compatible"));
  EXPECT_TRUE(dialogs.questions.empty());
}

}  // namespace
}  // namespace torvane::gui
