// The explorer window: the folder tree and the file list (or the miniatures) of the open
// volume, the path box, the search box, the toolbar, the progress and status bars of the
// running scan, and the commands of its menus. Long work runs on workers that the window owns
// (the scan, listings, searches, recoveries, session saves, miniatures, the preview and the
// hex view); closing the window stops and joins every one of them before the volume may close.
#pragma once

#include <QMainWindow>
#include <QPointer>
#include <atomic>
#include <memory>
#include <optional>
#include <thread>

#include "app/gui/explorer_models.h"
#include "app/gui/explorer_scan.h"
#include "app/gui/gui_app.h"
#include "app/gui/marshal.h"
#include "explorer/results_model.h"
#include "explorer/search.h"
#include "session/session_file.h"

class QAction;
class QComboBox;
class QLabel;
class QMenu;
class QProgressBar;
class QSplitter;
class QStackedWidget;
class QTreeView;

namespace torvane::gui {

class HexViewWindow;
class MiniatureView;
class MiniatureLoader;
class FilterWindow;

// The commands of the window, by their menu identifiers.
enum ExplorerCommand : int {
  kCmdClose = 2,
  kCmdBack = 11,
  kCmdNext = 12,
  kCmdUp = 13,
  kCmdFoldersTree = 14,
  kCmdRecover = 17,
  kCmdFilter = 21,
  kCmdFind = 23,
  kCmdSelectAll = 31,
  kCmdUnselectAll = 32,
  kCmdInvert = 33,
  kCmdSelect = 34,
  kCmdSaveSession = 35,
  kCmdLoadSession = 36,
  kCmdDetails = 51,
  kCmdMiniatures = 52,
  kCmdAdvancedSearch = 62,
  kCmdHexView = 81,
  kCmdRecoverDefrag = 82,
  kCmdRecoverJoin = 84,
  kCmdRecoverMiniature = 85,
  kCmdBreakSearch = 111,
  kCmdProperties = 990,
  kCmdActivityFile = 888,
  kCmdRefresh = 1000,
  kCmdToggleView = 1111,
  kCmdPause = 5555,
  kCmdAddFavourite = 40023,
  kCmdEditSize = 40027,
  kCmdLanguage = 40040,
  kCmdClearFavourites = 699,
};

class ExplorerWindow : public QMainWindow {
  Q_OBJECT
 public:
  // Opens the explorer on the workspace's open volume (its file system walked). A session
  // in `choice.session` is loaded first; otherwise the first listing starts the scan unless
  // `startScan` is false.
  ExplorerWindow(Workspace& ws, const VolumeChoice& choice, bool startScan = true, QWidget* parent = nullptr);
  ~ExplorerWindow() override;

  // The command of a menu item or key.
  void Command(int id);
  QAction* Action(int id) const;

  // Lists a folder (on a worker); `listingApplied` tells when it shows.
  void OpenFolder(explorer::FolderRef folder, explorer::ListingCause cause = explorer::ListingCause::kUser);
  // Searches (on a worker; a running search is stopped first); `searchFinished` tells the end.
  void StartSearch(explorer::SearchCriteria criteria, const QString& title);
  void StartNameSearch(const QString& text);
  void StopSearch();
  // Recovers the checked rows (or the focused one) into `folder` on a worker, without the
  // folder dialog; `recoveryFinished` tells the end. False when nothing was started.
  bool RecoverInto(const QString& folder, bool join = false);
  // Saves the session to `path` (".tqs" is added when missing) on a worker; `sessionSaved`
  // tells the end. False when refused at once (a file of the disk being read, a save runs).
  bool SaveSessionTo(const QString& path);
  void SetMiniatures(bool on);
  // Stops and joins every worker of the window (closing; also before the workspace goes).
  void StopWorkers();

  explorer::ResultsModel& Model() { return *model_; }
  ExplorerListModel* ListModel() const { return listModel_; }
  ExplorerTreeModel* TreeModel() const { return treeModel_; }
  QTreeView* Tree() const { return tree_; }
  QTreeView* List() const { return list_; }
  MiniatureView* Miniatures() const { return miniatures_; }
  HexViewWindow* HexView();
  FilterWindow* Filter();
  ExplorerScan& Scan() { return *scan_; }
  bool SearchRunning() const { return searchRunning_; }

  // What closing chose: load this session next (empty: back to the drive selection window).
  QString SessionToLoad() const { return sessionToLoad_; }

 signals:
  void listingApplied();
  void searchFinished(int matches);
  void recoveryFinished(int ok, int failed);
  void sessionSaved(bool ok, QString error);
  // "Recover Miniature" ended: the file written, or empty (none to extract, or not written).
  void miniatureRecovered(QString path);
  void scanEnded();
  // The window closed: the drive selection window comes back (or loads SessionToLoad()).
  void explorerClosed();

 protected:
  void closeEvent(QCloseEvent* event) override;

 private:
  void BuildActions();
  void BuildMenus();
  void BuildWidgets();
  QAction* AddCommand(int id, const char* key, const QKeySequence& shortcut = {});
  void OnScanEvent(const ScanEvent& e);
  void OnListingReady(uint64_t serial, explorer::FolderListing listing, explorer::ListingCause cause);
  void AfterNavigation();
  void UpdateActions();
  void UpdateFavouritesMenu();
  void ShowPreview();
  std::optional<explorer::Row> FocusedRow() const;
  size_t FocusedRowIndex() const;
  void Recover(bool join);
  void SaveSession();
  void LoadSession();
  void RecoverMiniature();
  void SaveMiniature(const std::u16string& name, std::vector<std::byte> miniature);
  void WriteActivity();
  void Retranslate();
  void ShowProperties();
  void EditSize();
  void OpenHexView();
  void LoadSessionAtStart(const std::filesystem::path& path, bool startScan);
  void StartScan(const session::SessionState* resume);
  bool ReadEntry(const FileEntry& e, const std::atomic<bool>& stop, std::vector<std::byte>& out);

  Workspace& ws_;
  VolumeChoice choice_;
  std::unique_ptr<explorer::ResultsModel> model_;
  std::unique_ptr<ExplorerScan> scan_;
  ExplorerTreeModel* treeModel_ = nullptr;
  ExplorerListModel* listModel_ = nullptr;

  QTreeView* tree_ = nullptr;
  QTreeView* list_ = nullptr;
  MiniatureView* miniatures_ = nullptr;
  QStackedWidget* views_ = nullptr;
  QSplitter* splitter_ = nullptr;
  QComboBox* pathBox_ = nullptr;
  QComboBox* searchBox_ = nullptr;
  QProgressBar* progress_ = nullptr;
  QLabel* status_ = nullptr;
  QLabel* preview_ = nullptr;
  QMenu* favouritesMenu_ = nullptr;
  QMenu* listMenu_ = nullptr;
  QMenu* treeMenu_ = nullptr;
  std::map<int, QAction*> actions_;
  std::map<int, std::string> actionKeys_;                 // the language key of each command
  std::vector<std::pair<QMenu*, std::string>> menuKeys_;  // and of each menu title
  HexViewWindow* hexView_ = nullptr;
  FilterWindow* filter_ = nullptr;

  // Workers. Each posts to this window and is joined before the window goes.
  Worker listing_;
  uint64_t listingSerial_ = 0;
  std::unique_ptr<explorer::SearchJob> search_;
  std::thread searchThread_;
  std::atomic<bool> searchRunning_{false};
  uint64_t searchSerial_ = 0;
  Worker recovery_;
  std::atomic<bool> recoveryAbort_{false};
  Worker sessionSave_;
  std::unique_ptr<MiniatureLoader> previewLoader_;
  uint64_t previewSerial_ = 0;

  bool sessionLoaded_ = false;
  bool startScanOnFirstListing_ = true;
  bool scanStarted_ = false;
  bool closing_ = false;
  QString sessionToLoad_;
  QString lostLabel_, rawLabel_;
  std::optional<session::SessionState> resumeState_;
};

}  // namespace torvane::gui
