#include <gtest/gtest.h>

#include <QLabel>
#include <QSignalSpy>
#include <QTreeView>

#include "app/drive_list.h"
#include "app/gui/drive_model.h"
#include "app/gui/drive_window.h"
#include "gui_test_util.h"

namespace torvane::gui {
namespace {

using guitest::QFixture;
using guitest::ScriptedDialogs;
using guitest::WaitFor;

struct Loaded {
  Workspace ws;
  std::unique_ptr<DriveSelectionWindow> window;
  explicit Loaded(const std::string& disk) : window(std::make_unique<DriveSelectionWindow>(ws)) {
    QSignalSpy ready(window.get(), &DriveSelectionWindow::listReady);
    window->LoadImage(QFixture(disk));
    EXPECT_TRUE(ready.wait(30000));
  }
  std::vector<std::string> Names() const {
    std::vector<std::string> out;
    for (const auto& r : window->Model()->Rows()) out.push_back(RowName(r) + "|" + RowSecondText(r));
    return out;
  }
};

// The list fills with the volumes of each kind of disk, grouped under the image's heading,
// and the whole disk under "Physical drives".
TEST(DriveWindow, ListsTheVolumesOfEachFixtureDisk) {
  ScriptedDialogs dialogs;
  struct Case {
    std::string disk;
    size_t volumes;
    std::vector<std::string> labels;
  };
  for (const Case& c : {Case{"volumes/mbr-logical.vmdk", 5, {"PRIMFAT16", "LOGNTFS"}},
                        Case{"volumes/gpt.vmdk", 4, {"GPTFAT32", "GPTEXFAT"}},
                        Case{"volumes/superfloppy-fat12.vmdk", 1, {"FLOPPY12"}}, Case{"vmdk/grandchild.vmdk", 0, {}}}) {
    SCOPED_TRACE(c.disk);
    Loaded l(c.disk);
    const auto& rows = l.window->Model()->Rows();
    ASSERT_FALSE(rows.empty());
    EXPECT_TRUE(test::Val(rows.back().wholeDisk));
    if (c.volumes) {
      EXPECT_EQ(rows.size(), c.volumes + 1);
    }
    const std::vector<std::string> names = l.Names();
    for (const auto& label : c.labels)
      EXPECT_TRUE(std::any_of(names.begin(), names.end(), [&](const std::string& n) {
        return n.find(label) != n.npos;
      })) << label;
    // Groups: the image heading with the volumes (when any), then "Physical drives".
    DriveModel* m = l.window->Model();
    const int groups = m->rowCount();
    ASSERT_GE(groups, 1);
    EXPECT_EQ(m->index(groups - 1, 0).data().toString(), "Physical drives");
    EXPECT_EQ(m->rowCount(m->index(groups - 1, 0)), 1);
    EXPECT_TRUE(dialogs.messages.empty());
  }
}

TEST(DriveWindow, DamagedDescriptorShowsTheEngineError) {
  ScriptedDialogs dialogs;
  guitest::TempDirQ dir;
  const QString bad = dir.File(
      "bad.vmdk",
      "# Disk DescriptorFile\nversion=1\ncreateType=\"monolithicFlat\"\nRW 100 FLAT \"missing-flat.vmdk\" 0\n");
  Workspace ws;
  DriveSelectionWindow window(ws);
  QSignalSpy ready(&window, &DriveSelectionWindow::listReady);
  window.LoadImage(bad);
  ASSERT_TRUE(ready.wait(30000));
  ASSERT_EQ(dialogs.messages.size(), 1u);
  EXPECT_TRUE(dialogs.messages[0].text.contains("Error accessing Virtual Machine"));
  EXPECT_TRUE(dialogs.messages[0].text.contains(QString::fromStdString(ws.driveList.openError)));
  EXPECT_FALSE(ws.driveList.openError.empty());
}

TEST(DriveWindow, NextOpensTheSelectedVolumeThroughTheHook) {
  ScriptedDialogs dialogs;
  Loaded l("volumes/mbr-logical.vmdk");
  std::vector<VolumeChoice> opened;
  App().openExplorer = [&](Workspace& ws, const VolumeChoice& c) {
    opened.push_back(c);
    EXPECT_EQ(ws.source.volumeStart, test::Val(c.record.startSector));
  };
  QSignalSpy done(l.window.get(), &DriveSelectionWindow::volumeOpened);
  l.window->SelectRow(1);
  l.window->Next();
  ASSERT_TRUE(done.wait(30000));
  App().openExplorer = nullptr;
  ASSERT_EQ(opened.size(), 1u);
  EXPECT_EQ(opened[0].row, 1u);
  EXPECT_EQ(test::Val(opened[0].record.startSector), 26624u);
  EXPECT_FALSE(opened[0].rawMode);
}

// "Load scan session" in the explorer chose the file already: coming back, the drive selection
// window loads that file and does not ask for one again.
TEST(DriveWindow, SessionChosenInTheExplorerIsNotAskedAgain) {
  ScriptedDialogs dialogs;
  guitest::TempDirQ temp;
  const QString session = temp.File("chosen.tqs", "not a session");
  dialogs.files.push_back(temp.Path("asked-again.tqs"));
  Loaded l("volumes/mbr-logical.vmdk");
  l.window->ReturnFromExplorer(session);
  ASSERT_TRUE(WaitFor([&] { return !dialogs.messages.empty(); }, 10000));
  EXPECT_TRUE(dialogs.messages[0].text.startsWith(Tr("EXT_STRINGS", "szSessionFileErr")));
  EXPECT_EQ(dialogs.files.size(), 1u);  // the file dialog was not opened
  EXPECT_TRUE(l.window->isVisible());
}

}  // namespace
}  // namespace torvane::gui
