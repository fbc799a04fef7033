// What every window of the desktop application shares: the folders and configuration of
// start-up, the language table, the dialogs the windows ask through (replaceable, so that
// tests answer them without a modal loop), and the hook that opens the explorer window.
#pragma once

#include <QString>
#include <QStringList>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <initializer_list>
#include <string>
#include <string_view>

#include "app/language.h"
#include "app/settings.h"
#include "app/workspace.h"
#include "fs/open_volume.h"
#include "util/ui_port.h"

class QWidget;

namespace torvane::gui {

// The product name shown in titles and messages.
inline constexpr const char* kProductName = "Torvane";

// The volume the drive selection window hands on: the row of the drive list, the settings
// the user gave it, and how it is read. When the hook runs, the workspace's source holds the
// disk and its geometry the opened volume (tables loaded).
struct VolumeChoice {
  size_t row = 0;
  PartitionRecord record;
  DriveSettings settings;
  bool rawMode = false;           // read the volume in RAW mode (the whole-disk row always is)
  std::filesystem::path image;    // the virtual disk
  std::filesystem::path session;  // a scan session to load, when one was chosen
  // The drive selection window it came from: the explorer may hide it while it is open and
  // show it again when it closes.
  QWidget* from = nullptr;
};

using OpenExplorerHook = std::function<void(Workspace&, const VolumeChoice&)>;

// The dialogs the windows ask through. Each defaults to the Qt dialog; tests replace them.
struct DialogHooks {
  std::function<void(QWidget* parent, const QString& title, const QString& text, MessageIcon icon)> message;
  std::function<bool(QWidget* parent, const QString& title, const QString& text)> askYesNo;
  // An existing file to open, or a file to save (save: the caller confirms replacing).
  // Empty: cancelled.
  std::function<QString(QWidget* parent, const QString& title, const QString& filter, const QString& suggested,
                        bool save)>
      fileName;
  std::function<QString(QWidget* parent, const QString& title, const QString& start)> folderName;
};

struct GuiApp {
  app::Folders folders;
  app::LanguageTable language;
  DialogHooks dialogs;
  OpenExplorerHook openExplorer;
};

// The application's shared state (created on first use, with the Qt dialogs as hooks).
GuiApp& App();

// The text of (section, key) in the current language, with "%s" and the like filled.
QString Tr(std::string_view section, std::string_view key, std::initializer_list<std::string_view> args = {});
QString ToQ(std::string_view utf8);
std::string FromQ(const QString& text);
std::filesystem::path PathFromQ(const QString& text);
QString QFromPath(const std::filesystem::path& path);

// The dialogs, through App().dialogs.
void ShowMessage(QWidget* parent, const QString& title, const QString& text, MessageIcon icon);
bool AskYesNo(QWidget* parent, const QString& title, const QString& text);
QString AskOpenFile(QWidget* parent, const QString& title, const QString& filter);
// A file to write: when it exists, the user confirms replacing it (the question names the
// file); empty when cancelled or not confirmed.
QString AskSaveFile(QWidget* parent, const QString& title, const QString& filter, const QString& suggested);
QString AskFolder(QWidget* parent, const QString& title, const QString& start);

// Loads the language `name` (empty: English) from the usual folders; false with the reason.
bool LoadLanguage(const std::string& name, std::string& note);

}  // namespace torvane::gui
