// Every window rendered offscreen into a PNG under the build folder, for a reviewer to look
// at; each must have rendered and not be blank. Also the language files' effect on texts.
#include <gtest/gtest.h>

#include <QDir>
#include <QProcess>
#include <QPushButton>
#include <QSignalSpy>
#include <QTreeView>

#include "app/gui/dialogs.h"
#include "app/gui/drive_model.h"
#include "app/gui/drive_window.h"
#include "app/gui/screenshot.h"
#include "app/gui/tool_windows.h"
#include "gui_test_util.h"

namespace torvane::gui {
namespace {

using guitest::QFixture;
using guitest::ScriptedDialogs;

void Shot(QWidget* w, const char* name) {
  QDir().mkpath(TORVANE_GUI_SCREENSHOTS);
  const QString file = QString(TORVANE_GUI_SCREENSHOTS) + "/" + name + ".png";
  std::string error;
  ASSERT_TRUE(SaveScreenshot(w, file, error)) << error;
  EXPECT_TRUE(ImageHasContent(file)) << name;
}

TEST(Screens, EveryWindowRendersToAPng) {
  ScriptedDialogs dialogs;
  Workspace ws;
  DriveSelectionWindow window(ws);
  QSignalSpy ready(&window, &DriveSelectionWindow::listReady);
  window.LoadImage(QFixture("volumes/gpt.vmdk"));
  ASSERT_TRUE(ready.wait(30000));
  Shot(&window, "drive-selection");
  const PartitionRecord row = window.Model()->Rows()[0];
  DriveSettingsDialog settings(DriveSettings{}, false, "GPTFAT32", &window);
  Shot(&settings, "drive-settings");
  ScanModeDialog mode(&window);
  Shot(&mode, "scan-mode");
  ConfigurationFoldersDialog folders(&window);
  Shot(&folders, "configuration-folders");
  LanguageDialog language(&window);
  Shot(&language, "language");
  PartitionSearchWindow search(guitest::Fixture("volumes/lost-table.vmdk"), SearchMethod::kFast, &window);
  QSignalSpy searched(&search, &PartitionSearchWindow::finished);
  ASSERT_TRUE(search.StartNew());
  ASSERT_TRUE(searched.wait(30000));
  Shot(&search, "partition-search");
  QuickRestoreWindow restore(guitest::Fixture("volumes/lost-table.vmdk"), {}, &window);
  QSignalSpy planned(&restore, &QuickRestoreWindow::planReady);
  restore.Prepare();
  ASSERT_TRUE(planned.wait(30000));
  Shot(&restore, "quick-restore");
  ImageWindow image(guitest::Fixture("volumes/gpt.vmdk"), row, &window);
  Shot(&image, "saving-image");
}

// The program's own --screenshot renders the window with a disk loaded and exits 0.
TEST(Screens, CommandLineScreenshot) {
  const QString file = QString(TORVANE_GUI_SCREENSHOTS) + "/command-line.png";
  QDir().mkpath(TORVANE_GUI_SCREENSHOTS);
  QFile::remove(file);
  QProcess p;
  p.start(TORVANE_GUI, {"--screenshot", file, QFixture("volumes/mbr-logical.vmdk")});
  ASSERT_TRUE(p.waitForFinished(60000));
  EXPECT_EQ(p.exitCode(), 0) << p.readAllStandardError().toStdString();
  EXPECT_TRUE(ImageHasContent(file));
}

// A language file changes the texts of the window, its list's column titles and its menus.
TEST(Screens, LanguageFileChangesTexts) {
  ScriptedDialogs dialogs;
  Workspace ws;
  DriveSelectionWindow window(ws);
  App().language.Apply(
      "[WINDOW_SELECT_DRIVE]\n#C=Wiederherstellung\n#1=&Weiter\n##1=Weiter "
      "geht's.\n#1003=Name;Dateisystem;Gr\xc3\xb6\xc3\x9f"
      "e;Frei\n#201=&Abbild...\n");
  window.Retranslate();
  QPushButton* next = nullptr;
  for (auto* b : window.findChildren<QPushButton*>())
    if (b->text() == "&Weiter") next = b;
  ASSERT_NE(next, nullptr);
  EXPECT_EQ(next->toolTip(), "Weiter geht's.");
  EXPECT_EQ(window.windowTitle(), "Wiederherstellung");
  EXPECT_EQ(window.Model()->headerData(1, Qt::Horizontal, Qt::DisplayRole).toString(), "Dateisystem");
  bool menu = false;
  for (auto* a : window.findChildren<QAction*>()) menu |= a->text() == "&Abbild...";
  EXPECT_TRUE(menu);
  App().language = app::LanguageTable();
  window.Retranslate();
  EXPECT_EQ(next->text(), "&Next");
}

}  // namespace
}  // namespace torvane::gui
