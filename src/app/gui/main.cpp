// torvane-gui: the desktop application. Start-up reads the folders, the configuration and
// the language; the drive selection window opens (with a disk given on the command line
// loaded); at exit the configuration is written when a settings folder is set.
//
//   torvane-gui [DISK.vmdk]
//   torvane-gui --screenshot FILE.png [DISK.vmdk]   render the window offscreen and exit
//   torvane-gui DISK.vmdk --volume N [--view details|miniatures] [--scan] --screenshot FILE.png
//                                                   the explorer on volume N, offscreen
#include <QApplication>
#include <QEventLoop>
#include <QTimer>
#include <cstdio>
#include <cstring>
#include <string>

#include "app/gui/drive_window.h"
#include "app/gui/explorer_open.h"
#include "app/gui/gui_app.h"
#include "app/gui/screenshot.h"

int main(int argc, char** argv) {
  QString screenshot, disk, volume, view;
  bool bad = false, scan = false;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--screenshot") == 0 && i + 1 < argc)
      screenshot = QString::fromLocal8Bit(argv[++i]);
    else if (std::strcmp(argv[i], "--volume") == 0 && i + 1 < argc)
      volume = QString::fromLocal8Bit(argv[++i]);
    else if (std::strcmp(argv[i], "--view") == 0 && i + 1 < argc)
      view = QString::fromLocal8Bit(argv[++i]);
    else if (std::strcmp(argv[i], "--scan") == 0)
      scan = true;
    else if (argv[i][0] == '-' && std::strcmp(argv[i], "-") != 0)
      bad = true;
    else if (disk.isEmpty())
      disk = QString::fromLocal8Bit(argv[i]);
    else
      bad = true;
  }
  bool volumeOk = false;
  const unsigned volumeRow = volume.toUInt(&volumeOk);
  if (!volume.isEmpty() && (!volumeOk || disk.isEmpty() || screenshot.isEmpty())) bad = true;
  if (!view.isEmpty() && view != "details" && view != "miniatures") bad = true;
  if (bad) {
    std::fprintf(
        stderr,
        "usage: torvane-gui [DISK.vmdk]\n       torvane-gui --screenshot FILE.png [DISK.vmdk]\n"
        "       torvane-gui DISK.vmdk --volume N [--view details|miniatures] [--scan] --screenshot FILE.png\n");
    return 2;
  }
  // A screenshot needs no display.
  if (!screenshot.isEmpty()) qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication qapp(argc, argv);
  QApplication::setApplicationName(torvane::gui::kProductName);

  using namespace torvane;
  gui::GuiApp& app = gui::App();
  app.folders = app::ResolveFolders(app::Environment::FromProcess());
  std::string note;
  gui::LoadLanguage(app.folders.config.language, note);
  const std::string startLanguage = app.language.Name();
  if (!note.empty()) std::fprintf(stderr, "torvane-gui: %s\n", note.c_str());
  if (!app.folders.warning.empty()) std::fprintf(stderr, "torvane-gui: %s\n", app.folders.warning.c_str());

  if (!volume.isEmpty()) {
    app.dialogs.message = [](QWidget*, const QString& title, const QString& text, MessageIcon) {
      std::fprintf(stderr, "torvane-gui: %s: %s\n", qPrintable(title), qPrintable(text));
    };
    return gui::RunExplorerScreenshot(gui::PathFromQ(disk), volumeRow, view == "miniatures", scan, screenshot);
  }

  Workspace ws;
  int rc = 0;
  {
    gui::DriveSelectionWindow window(ws);
    // "Next" opens the explorer in place of the drive selection window, which comes back
    // when the explorer closes (asking for the session file when one is to be loaded).
    app.openExplorer = [&window](Workspace& w, const gui::VolumeChoice& choice) {
      window.hide();
      if (gui::OpenExplorerWindow(w, choice,
                                  [&window](const QString& session) { window.ReturnFromExplorer(session); }) == nullptr)
        window.show();
    };
    if (!screenshot.isEmpty()) {
      // Messages would wait for a click nobody gives: they go to stderr.
      app.dialogs.message = [](QWidget*, const QString& title, const QString& text, MessageIcon) {
        std::fprintf(stderr, "torvane-gui: %s: %s\n", qPrintable(title), qPrintable(text));
      };
      if (!disk.isEmpty()) {
        QEventLoop loop;
        QObject::connect(&window, &gui::DriveSelectionWindow::listReady, &loop, &QEventLoop::quit);
        window.LoadImage(disk);
        loop.exec();
      }
      std::string error;
      if (!gui::SaveScreenshot(&window, screenshot, error)) {
        std::fprintf(stderr, "torvane-gui: %s\n", error.c_str());
        return 1;
      }
      return 0;
    }
    window.show();
    if (!disk.isEmpty()) window.LoadImage(disk);
    rc = QApplication::exec();
  }
  // The configuration is written at exit when the language was changed (it is the only
  // setting these windows change).
  if (app.language.Name() != startLanguage && !app.folders.settings.empty()) {
    app.folders.config.language = app.language.Name();
    std::string error;
    if (!app::SaveConfiguration(app.folders.settings / app::kConfigurationFileName, app.folders.config, error))
      std::fprintf(stderr, "torvane-gui: %s\n", error.c_str());
  }
  return rc;
}
