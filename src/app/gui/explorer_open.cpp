#include "app/gui/explorer_open.h"

#include <QApplication>
#include <QEventLoop>
#include <QTimer>
#include <cstdio>
#include <thread>

#include "app/gui/explorer_window.h"
#include "app/gui/miniature_view.h"
#include "app/gui/screenshot.h"
#include "fs/raw_file_system.h"
#include "scan/volume_scan.h"

namespace torvane::gui {
namespace {

// Runs the event loop until `signal` of `object` comes or `ms` pass; true when it came.
template <typename Object, typename Signal>
bool WaitForSignal(Object* object, Signal signal, int ms) {
  QEventLoop loop;
  QTimer timer;
  timer.setSingleShot(true);
  bool fired = false;
  const auto connection = QObject::connect(object, signal, &loop, [&] {
    fired = true;
    loop.quit();
  });
  QObject::connect(&timer, &QTimer::timeout, &loop, &QEventLoop::quit);
  timer.start(ms);
  loop.exec();
  QObject::disconnect(connection);
  return fired;
}

}  // namespace

bool WalkOpenVolume(Workspace& ws, bool rawMode, std::string& error) {
  WalkSummary summary;
  if (rawMode) {
    ws.fileSystem = OpenRawFileSystem(ws.source, ws.geometry, ws.store);
    return ws.fileSystem->Walk({}, summary, error);
  }
  return WalkVolume(ws.source, ws.geometry, ws.store, ws.fileSystem, summary, {}, error);
}

bool OpenVolumeRow(Workspace& ws, const std::filesystem::path& disk, size_t row, bool rawMode, std::string& error) {
  if (!OpenDriveListRow(ws.driveList, ws.source, ws.geometry, disk, row, error)) {
    if (error.empty()) error = "there is no volume " + std::to_string(row) + " on " + disk.string();
    return false;
  }
  if (row < ws.driveList.rows.size() && ws.driveList.rows[row].wholeDisk) rawMode = true;
  return WalkOpenVolume(ws, rawMode, error) || ws.fileSystem != nullptr;
}

ExplorerWindow* OpenExplorerWindow(Workspace& ws, const VolumeChoice& choice,
                                   std::function<void(const QString& session)> closed) {
  {
    // The walk (the MFT of a large volume takes a while) runs on a worker; the interface
    // keeps drawing in a local loop until it ends.
    std::string error;
    bool ok = false;
    QEventLoop loop;
    const bool raw =
        choice.rawMode || (choice.row < ws.driveList.rows.size() && ws.driveList.rows[choice.row].wholeDisk);
    QApplication::setOverrideCursor(Qt::WaitCursor);
    std::thread walker([&] {
      ok = WalkOpenVolume(ws, raw, error) || ws.fileSystem != nullptr;
      PostToUi(&loop, [&loop] { loop.quit(); });
    });
    loop.exec();
    walker.join();
    QApplication::restoreOverrideCursor();
    if (!ok) {
      ShowMessage(nullptr, QString::fromLatin1(kProductName), QString::fromStdString(error), MessageIcon::kError);
      return nullptr;
    }
  }
  auto* window = new ExplorerWindow(ws, choice);
  window->setAttribute(Qt::WA_DeleteOnClose, true);
  QObject::connect(window, &ExplorerWindow::explorerClosed, window, [window, closed] {
    if (closed) closed(window->SessionToLoad());
  });
  window->show();
  return window;
}

int RunExplorerScreenshot(const std::filesystem::path& disk, size_t row, bool miniatures, bool scan,
                          const QString& file) {
  Workspace ws;
  std::string error;
  if (!OpenVolumeRow(ws, disk, row, false, error)) {
    std::fprintf(stderr, "torvane-gui: %s\n", error.c_str());
    return 1;
  }
  // No question may wait for an answer offscreen.
  App().dialogs.askYesNo = [](QWidget*, const QString&, const QString&) { return false; };
  VolumeChoice choice;
  choice.row = row;
  {
    ExplorerWindow window(ws, choice, scan);
    window.resize(1100, 700);
    window.show();
    WaitForSignal(&window, &ExplorerWindow::listingApplied, 30000);
    if (scan && window.Scan().Running()) {
      while (window.Scan().Running() && !WaitForSignal(&window, &ExplorerWindow::scanEnded, 1000)) {
      }
      WaitForSignal(&window, &ExplorerWindow::listingApplied, 10000);
    }
    window.SetMiniatures(miniatures);
    // Give the miniatures of the first screen their time, as a user would see them.
    for (int i = 0; miniatures && i < 20 && WaitForSignal(window.Miniatures(), &MiniatureView::miniatureReady, 250);)
      ++i;
    if (!SaveScreenshot(&window, file, error)) {
      std::fprintf(stderr, "torvane-gui: %s\n", error.c_str());
      return 1;
    }
    window.StopWorkers();
  }
  return 0;
}

}  // namespace torvane::gui
