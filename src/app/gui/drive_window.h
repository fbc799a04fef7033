// The drive selection window: the start window, where the user loads a virtual disk, picks
// a volume (with its advanced settings) and continues to the explorer, or opens a session,
// a backup, an image, or one of the disk tools (partition search, quick partition restore,
// image creation, configuration folders, language).
#pragma once

#include <QMainWindow>
#include <QPointer>
#include <map>
#include <memory>
#include <string>

#include "app/gui/gui_app.h"
#include "app/gui/marshal.h"
#include "app/gui/qt_ui_port.h"
#include "partitions/partition_search.h"

class QLabel;
class QMenu;
class QProgressBar;
class QPushButton;
class QTreeView;

namespace torvane::gui {

class DriveModel;

class DriveSelectionWindow : public QMainWindow {
  Q_OBJECT

 public:
  // The window works on `ws`, which outlives it.
  explicit DriveSelectionWindow(Workspace& ws, QWidget* parent = nullptr);
  ~DriveSelectionWindow() override;

  // Loads a virtual disk and rebuilds the list from it (on a worker).
  void LoadImage(const QString& path);
  // Rebuilds the list (F5).
  void Refresh();
  bool Busy() const { return busy_; }

  DriveModel* Model() const { return model_; }
  QTreeView* View() const { return view_; }
  // The drive-list row selected, or -1.
  int64_t SelectedRow() const;
  void SelectRow(size_t row);
  const std::filesystem::path& Image() const { return image_; }
  // The engine's port for this window (messages shown over it).
  UiPort& Port() { return uiPort_; }

  // The advanced drive settings kept for a row of the current disk (by its start sector).
  DriveSettings& SettingsOf(const PartitionRecord& row);

  // Continues with the selected row ("Next"): may ask first (scan method, unknown file
  // system), then opens the volume on a worker and hands it to the explorer hook.
  void Next();
  // Opens `row` with its settings and calls the explorer hook (no questions asked).
  void OpenRow(size_t row, bool rawMode);
  // Opens the volume of `choice` on a worker and hands it to the explorer hook.
  void OpenChoice(VolumeChoice choice);
  // Whether the user asked for RAW mode for a row in its advanced settings.
  bool RawModeOf(const PartitionRecord& row) const;

  // Commands of the menus (public: the tests drive them).
  void OpenImageCommand();
  // Loads a scan session: `file` when given (chosen elsewhere, e.g. in the explorer), else
  // the one the user picks now.
  void OpenSessionCommand(const QString& file = {});
  // The explorer closed: this window shows again and loads `session` when one was chosen
  // there (without asking for the file a second time).
  void ReturnFromExplorer(const QString& session);
  void OpenBackupCommand();
  void DriveSettingsCommand();
  void CreateImageCommand();
  void PartitionSearchCommand();
  void QuickRestoreCommand();
  void ConfigurationFoldersCommand();
  void LanguageCommand();
  void HelpCommand();
  void AboutCommand();

  void Retranslate();

 signals:
  // The drive list is complete (after a load or a refresh), or the image could not be opened.
  void listReady();
  // The volume of a "Next" was opened and handed to the explorer hook, or could not be.
  void volumeOpened(qulonglong row);
  void volumeFailed(const QString& error);

 protected:
  void closeEvent(QCloseEvent* event) override;
  void dragEnterEvent(QDragEnterEvent* event) override;
  void dropEvent(QDropEvent* event) override;
  void keyPressEvent(QKeyEvent* event) override;

 private:
  void BuildUi();
  void StartEnumeration();
  void EnumerationDone();
  void SetBusy(bool busy, const QString& status);
  void ShowContextMenu(const QPoint& pos);
  void UpdateButtons();
  void OpenDone(const std::string& error, const VolumeChoice& choice);
  void ContinueSession();
  void OpenSettingsDialog(QWidget* parent, size_t row, bool thenOpen);
  void OpenSearchWindow(SearchMethod method, const QString& stateFile);

  Workspace& ws_;
  QtUiPort uiPort_;
  std::filesystem::path image_;
  std::map<uint64_t, DriveSettings> settings_;
  std::map<uint64_t, bool> rawMode_;
  // A session waiting for its disk's list: the volume that starts at its sector is opened.
  QString pendingSession_;
  std::filesystem::path repairOfferedFor_;  // the restore window opens once per disk by itself
  uint64_t pendingSessionStart_ = 0;
  bool busy_ = false;
  bool refreshAgain_ = false;
  bool enumerating_ = false;

  DriveModel* model_ = nullptr;
  QTreeView* view_ = nullptr;
  QLabel* status_ = nullptr;
  QProgressBar* busyBar_ = nullptr;
  QPushButton* next_ = nullptr;
  QPushButton* open_ = nullptr;
  QPushButton* tools_ = nullptr;
  QMenu* openMenu_ = nullptr;
  QMenu* toolsMenu_ = nullptr;
  QMenu* rowMenu_ = nullptr;
  // Declared last: destroyed (stopped and joined) first, before the widgets it reports to.
  Worker worker_;
};

// What "Next" opens until the explorer window is plugged in: a small window naming the
// volume.
void OpenPlaceholderExplorer(Workspace& ws, const VolumeChoice& choice);

}  // namespace torvane::gui
