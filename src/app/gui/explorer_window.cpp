#include "app/gui/explorer_window.h"

#include <QAction>
#include <QActionGroup>
#include <QApplication>
#include <QCloseEvent>
#include <QComboBox>
#include <QHeaderView>
#include <QInputDialog>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QProgressBar>
#include <QSplitter>
#include <QStackedWidget>
#include <QStatusBar>
#include <QToolBar>
#include <QTreeView>
#include <QVBoxLayout>
#include <chrono>
#include <filesystem>

#include "app/gui/advanced_search_dialog.h"
#include "app/gui/dialogs.h"
#include "app/gui/drive_window.h"
#include "app/gui/explorer_files.h"
#include "app/gui/filter_window.h"
#include "app/gui/hex_view_window.h"
#include "app/gui/miniature_loader.h"
#include "app/gui/miniature_view.h"
#include "app/gui/picture_decoder.h"
#include "app/gui/properties_dialog.h"
#include "app/gui/qt_ui_port.h"
#include "app/gui/size_editor_dialog.h"
#include "disk/image_creator.h"
#include "raw/catalogue/file_type_catalogue.h"
#include "recovery/content_reader.h"
#include "recovery/recovery_writer.h"
#include "session/session.h"
#include "util/format.h"
#include "util/text.h"

namespace torvane::gui {

using explorer::FolderRef;
using explorer::ListingCause;

namespace {

constexpr std::string_view kSection = "WINDOW_EXPLORER";

QString T(std::string_view key, std::initializer_list<std::string_view> args = {}) {
  return Tr(kSection, key, args);
}
QString Ext(std::string_view key, std::initializer_list<std::string_view> args = {}) {
  return Tr("EXT_STRINGS", key, args);
}

// A menu text without its shortcut part (Qt shows the key itself).
QString MenuText(const QString& text) {
  const qsizetype tab = text.indexOf(QLatin1Char('\t'));
  return tab < 0 ? text : text.left(tab).trimmed();
}

// The row's RAW number and extension for the output name of a RAW item.
recovery::RecoveryItem ItemOfRow(const explorer::Row& row, std::vector<std::u16string> folders) {
  recovery::RecoveryItem item;
  item.entry = row.entry;
  item.name = row.entry.HasName() || row.entry.kind != kKindRaw ? row.name : std::u16string();
  item.folders = std::move(folders);
  if (row.entry.kind == kKindRaw) {
    item.rawNumber = static_cast<uint32_t>(row.entry.recordNumber);
    if (const FileTypeEntry* type = FileTypeByNumber(row.entry.link)) item.rawExtension = std::string(type->extension);
  }
  return item;
}

session::FolderChain ToSessionChain(const explorer::FolderChain& chain) {
  session::FolderChain out;
  out.depth = static_cast<uint32_t>(std::min(chain.folders.size(), out.folders.size()));
  std::copy_n(chain.folders.begin(), out.depth, out.folders.begin());
  return out;
}

explorer::FolderChain FromSessionChain(const session::FolderChain& chain) {
  explorer::FolderChain out;
  for (uint32_t i = 0; i < chain.depth && i < chain.folders.size(); ++i) out.Push(chain.folders[i]);
  return out;
}

}  // namespace

ExplorerWindow::ExplorerWindow(Workspace& ws, const VolumeChoice& choice, bool startScan, QWidget* parent)
    : QMainWindow(parent), ws_(ws), choice_(choice), startScanOnFirstListing_(startScan) {
  setAttribute(Qt::WA_DeleteOnClose, false);
  const uint64_t volumeBytes = ws_.geometry.volumeSectors * ws_.geometry.bytesPerSector;
  const char16_t letter = ws_.source.driveLetter != 0 ? static_cast<char16_t>(ws_.source.driveLetter) : u'$';
  model_ = std::make_unique<explorer::ResultsModel>(ws_.store, *ws_.fileSystem, volumeBytes, letter);
  model_->Filter().SetVolumeKind(model_->Kind());
  scan_ = std::make_unique<ExplorerScan>(ws_,
                                         [this](const ScanEvent& e) { PostToUi(this, [this, e] { OnScanEvent(e); }); });
  treeModel_ = new ExplorerTreeModel(*model_, this);
  listModel_ = new ExplorerListModel(*model_, this);
  lostLabel_ = Ext("szVirtualFolderLostFiles");
  rawLabel_ = Ext("szVirtualFolderRawFiles");
  BuildActions();
  BuildWidgets();
  BuildMenus();
  previewLoader_ = std::make_unique<MiniatureLoader>(
      [this](const FileEntry& e, const std::atomic<bool>& stop, std::vector<std::byte>& out) {
        return ReadEntry(e, stop, out);
      },
      [this](uint64_t serial, uint64_t, const QImage& image) {
        PostToUi(this, [this, serial, image] {
          if (serial != previewSerial_ || preview_ == nullptr) return;
          if (image.isNull()) {
            preview_->hide();
            return;
          }
          preview_->setPixmap(QPixmap::fromImage(image));
          preview_->adjustSize();
          const QPoint corner = list_->viewport()->mapTo(this, QPoint(list_->viewport()->width(), 0));
          preview_->move(corner.x() - preview_->width() - 8, corner.y() + 8);
          preview_->show();
          preview_->raise();
        });
      });
  setWindowTitle(QString::fromLatin1(kProductName));
  resize(1000, 640);
  if (!choice_.session.empty())
    LoadSessionAtStart(choice_.session, startScan);
  else
    OpenFolder(explorer::kRootFolderRef);
}

ExplorerWindow::~ExplorerWindow() {
  StopWorkers();
  // The views ask their models while a window goes (hiding it lays them out once more):
  // views and adapters go here, while the results model they read still exists.
  delete takeCentralWidget();
  delete listModel_;
  delete treeModel_;
  listModel_ = nullptr;
  treeModel_ = nullptr;
}

bool ExplorerWindow::ReadEntry(const FileEntry& e, const std::atomic<bool>& stop, std::vector<std::byte>& out) {
  ReaderContext ctx = ws_.Reader();
  ctx.cancel = &stop;
  // The whole file (pictures above the reader's memory cap show their icon).
  return recovery::ReadItemToMemory(ctx, e, 0, out);
}

void ExplorerWindow::StopWorkers() {
  // Every worker reads the volume or the store: all end here, before the workspace may close
  // the volume. Stop flags first, so that the joins below do not wait for one another.
  recoveryAbort_ = true;
  if (search_) search_->Stop();
  scan_->Stop();
  listing_.Stop();
  if (searchThread_.joinable()) searchThread_.join();
  search_.reset();
  recovery_.Stop();
  sessionSave_.Stop();
  if (miniatures_ != nullptr) miniatures_->StopWorker();
  if (previewLoader_) previewLoader_->Stop();
  if (hexView_ != nullptr) hexView_->View()->Clear();
}

// ---- Building ----

QAction* ExplorerWindow::AddCommand(int id, const char* key, const QKeySequence& shortcut) {
  auto* action = new QAction(MenuText(T(key)), this);
  if (!shortcut.isEmpty()) {
    action->setShortcut(shortcut);
    action->setShortcutContext(Qt::WindowShortcut);
  }
  connect(action, &QAction::triggered, this, [this, id] { Command(id); });
  addAction(action);
  actions_[id] = action;
  actionKeys_[id] = key;
  return action;
}

QAction* ExplorerWindow::Action(int id) const {
  const auto it = actions_.find(id);
  return it == actions_.end() ? nullptr : it->second;
}

void ExplorerWindow::BuildActions() {
  AddCommand(kCmdRecover, "M#1#1", QKeySequence(Qt::ALT | Qt::Key_R));
  AddCommand(kCmdSaveSession, "M#1#2", QKeySequence(Qt::CTRL | Qt::Key_S));
  AddCommand(kCmdLoadSession, "M#1#3", QKeySequence(Qt::CTRL | Qt::Key_L));
  AddCommand(kCmdClose, "M#1#4");
  AddCommand(kCmdSelectAll, "M#2#1", QKeySequence(Qt::CTRL | Qt::Key_A));
  AddCommand(kCmdUnselectAll, "M#2#2", QKeySequence(Qt::CTRL | Qt::Key_Z));
  AddCommand(kCmdInvert, "M#2#3", QKeySequence(Qt::CTRL | Qt::Key_I));
  AddCommand(kCmdDetails, "M#3#1#1")->setCheckable(true);
  AddCommand(kCmdMiniatures, "M#3#1#2")->setCheckable(true);
  auto* group = new QActionGroup(this);
  group->addAction(Action(kCmdDetails));
  group->addAction(Action(kCmdMiniatures));
  Action(kCmdDetails)->setChecked(true);
  AddCommand(kCmdToggleView, "szToggleView", QKeySequence(Qt::Key_F12));
  AddCommand(kCmdFoldersTree, "M#3#2", QKeySequence(Qt::Key_F11))->setCheckable(true);
  Action(kCmdFoldersTree)->setChecked(true);
  AddCommand(kCmdFilter, "M#3#3", QKeySequence(Qt::Key_F7));
  AddCommand(kCmdFind, "M#4#1", QKeySequence(Qt::CTRL | Qt::Key_F));
  AddCommand(kCmdPause, "M#4#2", QKeySequence(Qt::Key_F10));
  AddCommand(kCmdBreakSearch, "M#4#3");
  AddCommand(kCmdAdvancedSearch, "szAdvancedSearch");
  AddCommand(kCmdAddFavourite, "M#5#1", QKeySequence(Qt::CTRL | Qt::Key_D));
  AddCommand(kCmdClearFavourites, "szClearFavourites");
  AddCommand(kCmdRecoverJoin, "szRecoverJoin", QKeySequence(Qt::CTRL | Qt::ALT | Qt::Key_J));
  AddCommand(kCmdRecoverDefrag, "szRecoverDefrag", QKeySequence(Qt::CTRL | Qt::ALT | Qt::Key_R));
  AddCommand(kCmdRecoverMiniature, "szRecoverMiniature", QKeySequence(Qt::CTRL | Qt::ALT | Qt::Key_M));
  AddCommand(kCmdActivityFile, "szActivityFile", QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_F12));
  AddCommand(kCmdLanguage, "szLanguage");
  AddCommand(kCmdHexView, "szHexView", QKeySequence(Qt::CTRL | Qt::Key_H));
  AddCommand(kCmdEditSize, "szEditFileSize", QKeySequence(Qt::ALT | Qt::Key_S));
  AddCommand(kCmdRefresh, "szRefresh", QKeySequence(Qt::Key_F5));
  AddCommand(kCmdSelect, "szSelect");
  AddCommand(kCmdProperties, "szProperties", QKeySequence(Qt::ALT | Qt::Key_Return));
  AddCommand(kCmdBack, "##11", QKeySequence(Qt::ALT | Qt::Key_Left));
  AddCommand(kCmdNext, "##12", QKeySequence(Qt::ALT | Qt::Key_Right));
  AddCommand(kCmdUp, "##13", QKeySequence(Qt::ALT | Qt::Key_Up));
  Action(kCmdBack)->setIcon(style()->standardIcon(QStyle::SP_ArrowBack));
  Action(kCmdNext)->setIcon(style()->standardIcon(QStyle::SP_ArrowForward));
  Action(kCmdUp)->setIcon(style()->standardIcon(QStyle::SP_ArrowUp));
  Action(kCmdRecover)->setIcon(style()->standardIcon(QStyle::SP_DialogSaveButton));
  Action(kCmdPause)->setIcon(style()->standardIcon(QStyle::SP_MediaPause));
  Action(kCmdFilter)->setIcon(style()->standardIcon(QStyle::SP_FileDialogContentsView));
}

void ExplorerWindow::BuildMenus() {
  QMenu* file = menuBar()->addMenu(T("M#1"));
  file->addActions({Action(kCmdRecover), Action(kCmdSaveSession), Action(kCmdLoadSession)});
  file->addSeparator();
  file->addAction(Action(kCmdClose));
  QMenu* edit = menuBar()->addMenu(T("M#2"));
  edit->addActions({Action(kCmdSelectAll), Action(kCmdUnselectAll), Action(kCmdInvert)});
  QMenu* view = menuBar()->addMenu(T("M#3"));
  QMenu* explorerView = view->addMenu(MenuText(T("M#3#1")));
  explorerView->addActions({Action(kCmdDetails), Action(kCmdMiniatures)});
  view->addActions({Action(kCmdFoldersTree), Action(kCmdFilter)});
  QMenu* command = menuBar()->addMenu(T("M#4"));
  command->addActions({Action(kCmdFind), Action(kCmdAdvancedSearch), Action(kCmdPause), Action(kCmdBreakSearch)});
  QMenu* preferences = menuBar()->addMenu(T("szPreferences"));
  preferences->addAction(Action(kCmdLanguage));
  favouritesMenu_ = menuBar()->addMenu(T("M#5"));
  UpdateFavouritesMenu();
  menuKeys_ = {{file, "M#1"},           {edit, "M#2"},    {view, "M#3"},
               {explorerView, "M#3#1"}, {command, "M#4"}, {preferences, "szPreferences"},
               {favouritesMenu_, "M#5"}};

  listMenu_ = new QMenu(this);
  listMenu_->addActions({Action(kCmdRecover), Action(kCmdRecoverMiniature), Action(kCmdRecoverJoin),
                         Action(kCmdRecoverDefrag), Action(kCmdHexView), Action(kCmdEditSize)});
  listMenu_->addSeparator();
  QMenu* listView = listMenu_->addMenu(MenuText(T("szViewMenu")));
  menuKeys_.emplace_back(listView, "szViewMenu");
  listView->addActions({Action(kCmdDetails), Action(kCmdMiniatures)});
  listMenu_->addAction(Action(kCmdRefresh));
  listMenu_->addSeparator();
  listMenu_->addActions({Action(kCmdSelect), Action(kCmdSelectAll), Action(kCmdUnselectAll), Action(kCmdInvert)});
  listMenu_->addSeparator();
  listMenu_->addAction(Action(kCmdProperties));
  treeMenu_ = new QMenu(this);
  treeMenu_->addActions({Action(kCmdRecover), Action(kCmdAddFavourite)});
  treeMenu_->addSeparator();
  treeMenu_->addAction(Action(kCmdProperties));
}

void ExplorerWindow::BuildWidgets() {
  QToolBar* bar = addToolBar(QStringLiteral("explorer"));
  bar->setMovable(false);
  bar->addActions({Action(kCmdBack), Action(kCmdNext), Action(kCmdUp)});
  pathBox_ = new QComboBox(bar);
  pathBox_->setEditable(true);
  pathBox_->setMinimumWidth(360);
  pathBox_->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
  bar->addWidget(pathBox_);
  searchBox_ = new QComboBox(bar);
  searchBox_->setEditable(true);
  searchBox_->setMinimumWidth(160);
  searchBox_->lineEdit()->setPlaceholderText(T("szSearchPrompt").trimmed());
  bar->addWidget(searchBox_);
  Action(kCmdFind)->setIcon(style()->standardIcon(QStyle::SP_FileDialogStart));
  bar->addAction(Action(kCmdFind));
  bar->addSeparator();
  bar->addActions({Action(kCmdRecover), Action(kCmdPause), Action(kCmdFilter)});
  Action(kCmdFind)->setToolTip(T("##23"));

  connect(pathBox_->lineEdit(), &QLineEdit::returnPressed, this, [this] {
    // A typed path: the history line of that text, else nothing happens.
    const QString text = pathBox_->currentText();
    const auto& entries = model_->History().Entries();
    for (size_t i = 0; i < entries.size(); ++i)
      if (QString::fromStdU16String(entries[i].path) == text && model_->SelectHistory(i)) AfterNavigation();
  });
  connect(pathBox_, QOverload<int>::of(&QComboBox::activated), this, [this](int index) {
    if (index >= 0 && model_->SelectHistory(static_cast<size_t>(index))) AfterNavigation();
  });
  connect(searchBox_->lineEdit(), &QLineEdit::returnPressed, this, [this] { Command(kCmdFind); });

  tree_ = new QTreeView(this);
  tree_->setModel(treeModel_);
  tree_->setHeaderHidden(true);
  tree_->setContextMenuPolicy(Qt::CustomContextMenu);
  tree_->expand(treeModel_->index(0, 0));
  connect(tree_, &QTreeView::clicked, this,
          [this](const QModelIndex& index) { OpenFolder(treeModel_->RefOf(index), ListingCause::kUser); });
  connect(tree_, &QWidget::customContextMenuRequested, this,
          [this](const QPoint& p) { treeMenu_->popup(tree_->viewport()->mapToGlobal(p)); });

  list_ = new QTreeView(this);
  list_->setRootIsDecorated(false);
  list_->setUniformRowHeights(true);
  list_->setAllColumnsShowFocus(true);
  list_->setSelectionMode(QAbstractItemView::ExtendedSelection);
  list_->setModel(listModel_);
  list_->setSortingEnabled(false);
  list_->header()->setSectionsClickable(true);
  list_->header()->setSortIndicatorShown(true);
  for (int c = 0; c < explorer::kColumnCount; ++c)
    list_->setColumnWidth(c, explorer::kColumns[c].width * (c == explorer::kColumnName ? 2 : 1) + 40);
  list_->setContextMenuPolicy(Qt::CustomContextMenu);
  connect(list_->header(), &QHeaderView::sectionClicked, this, [this](int column) {
    listModel_->sort(column, Qt::AscendingOrder);
    const explorer::SortArrow arrow = model_->Arrow(static_cast<explorer::Column>(column));
    list_->header()->setSortIndicator(arrow == explorer::SortArrow::kNone ? -1 : column,
                                      arrow == explorer::SortArrow::kUp ? Qt::AscendingOrder : Qt::DescendingOrder);
  });
  const auto openRow = [this](const QModelIndex& index) {
    const auto row = model_->RowAt(static_cast<size_t>(index.row()));
    if (row && row->IsFolderRow()) OpenFolder(row->opens, ListingCause::kUser);
  };
  connect(list_, &QTreeView::activated, this, openRow);
  connect(list_, &QWidget::customContextMenuRequested, this,
          [this](const QPoint& p) { listMenu_->popup(list_->viewport()->mapToGlobal(p)); });

  miniatures_ = new MiniatureView([this](const FileEntry& e, const std::atomic<bool>& stop,
                                         std::vector<std::byte>& out) { return ReadEntry(e, stop, out); },
                                  [this](int row, FileEntry& e) {
                                    const auto r = model_->RowAt(static_cast<size_t>(row));
                                    if (!r) return false;
                                    e = r->entry;
                                    return true;
                                  },
                                  this);
  miniatures_->setModel(listModel_);
  miniatures_->setContextMenuPolicy(Qt::CustomContextMenu);
  connect(miniatures_, &QListView::activated, this, openRow);
  connect(miniatures_, &QWidget::customContextMenuRequested, this,
          [this](const QPoint& p) { listMenu_->popup(miniatures_->viewport()->mapToGlobal(p)); });

  views_ = new QStackedWidget(this);
  views_->addWidget(list_);
  views_->addWidget(miniatures_);
  splitter_ = new QSplitter(this);
  splitter_->addWidget(tree_);
  splitter_->addWidget(views_);
  splitter_->setStretchFactor(1, 3);
  splitter_->setSizes({260, 740});
  setCentralWidget(splitter_);

  preview_ = new QLabel(this);
  preview_->setFrameShape(QFrame::Box);
  preview_->setStyleSheet(QStringLiteral("background: white"));
  preview_->hide();
  connect(list_->selectionModel(), &QItemSelectionModel::currentChanged, this, [this] { ShowPreview(); });

  progress_ = new QProgressBar(this);
  progress_->setRange(0, 100);
  progress_->setMaximumWidth(220);
  progress_->hide();
  status_ = new QLabel(this);
  statusBar()->addWidget(status_, 1);
  statusBar()->addPermanentWidget(progress_);
}

// ---- Listing and navigation ----

void ExplorerWindow::OpenFolder(FolderRef folder, ListingCause cause) {
  listing_.Stop();  // a newer listing replaces one that still runs
  const uint64_t serial = ++listingSerial_;
  listing_.Start([this, folder, cause, serial] {
    explorer::FolderListing listing = model_->ListFolder(folder, &listing_.StopFlag());
    if (listing.stopped) return;
    PostToUi(this, [this, serial, listing = std::move(listing), cause]() mutable {
      OnListingReady(serial, std::move(listing), cause);
    });
  });
}

void ExplorerWindow::OnListingReady(uint64_t serial, explorer::FolderListing listing, ListingCause cause) {
  if (serial != listingSerial_ || closing_) return;
  const FolderRef folder = listing.folder;
  explorer::FolderChain chain =
      cause == ListingCause::kUser ? model_->Folders().ChainOf(folder) : model_->CurrentChain();
  if (cause == ListingCause::kHistory && model_->History().Current() != nullptr)
    chain = model_->History().Current()->chain;
  listModel_->Apply(std::move(listing), chain, cause);
  miniatures_->Reset();
  AfterNavigation();
  emit listingApplied();
  // The first listing starts the scan.
  if (startScanOnFirstListing_ && !scanStarted_) StartScan(resumeState_ ? &*resumeState_ : nullptr);
}

void ExplorerWindow::AfterNavigation() {
  // The model has listed (Back, Next, the path box, or a listing from the worker).
  listModel_->Changed();
  miniatures_->Reset();
  pathBox_->blockSignals(true);
  pathBox_->clear();
  for (const auto& e : model_->History().Entries()) pathBox_->addItem(QString::fromStdU16String(e.path));
  pathBox_->setCurrentIndex(static_cast<int>(model_->History().Index()));
  pathBox_->setEditText(QString::fromStdU16String(model_->CurrentPath()));
  pathBox_->blockSignals(false);
  QModelIndex node = treeModel_->IndexOf(model_->CurrentFolder());
  if (treeModel_->RefOf(node) != model_->CurrentFolder()) {
    // A folder the tree has not seen yet (found by the scan since the tree was filled).
    treeModel_->Reload();
    node = treeModel_->IndexOf(model_->CurrentFolder());
  }
  tree_->setCurrentIndex(node);
  tree_->scrollTo(node);
  status_->setText(T("szStatusRows", {GroupThousands(model_->RowCount())}));
  UpdateActions();
}

void ExplorerWindow::UpdateActions() {
  const explorer::NavigationButtons b = model_->Buttons();
  Action(kCmdBack)->setEnabled(b.back);
  Action(kCmdNext)->setEnabled(b.next);
  Action(kCmdUp)->setEnabled(b.up);
  Action(kCmdPause)->setEnabled(scan_->Running());
  Action(kCmdBreakSearch)->setEnabled(searchRunning_);
}

void ExplorerWindow::UpdateFavouritesMenu() {
  favouritesMenu_->clear();
  favouritesMenu_->addAction(Action(kCmdAddFavourite));
  favouritesMenu_->addSeparator();
  const auto& items = model_->FavouriteList().Items();
  if (items.empty()) {
    favouritesMenu_->addAction(MenuText(T("M#5#2")))->setEnabled(false);
    return;
  }
  for (size_t i = 0; i < items.size(); ++i) {
    QAction* a = favouritesMenu_->addAction(QString::fromStdU16String(explorer::FavouriteMenuText(i, items[i].path)));
    connect(a, &QAction::triggered, this, [this, i] {
      if (model_->OpenFavourite(i)) AfterNavigation();
    });
  }
  favouritesMenu_->addSeparator();
  favouritesMenu_->addAction(Action(kCmdClearFavourites));
}

size_t ExplorerWindow::FocusedRowIndex() const {
  const QModelIndex current =
      views_->currentWidget() == miniatures_ ? miniatures_->currentIndex() : list_->currentIndex();
  return current.isValid() ? static_cast<size_t>(current.row()) : SIZE_MAX;
}

std::optional<explorer::Row> ExplorerWindow::FocusedRow() const {
  const size_t row = FocusedRowIndex();
  return row == SIZE_MAX ? std::nullopt : model_->RowAt(row);
}

void ExplorerWindow::ShowPreview() {
  ++previewSerial_;
  preview_->hide();
  const auto row = FocusedRow();
  if (!row || views_->currentWidget() != list_) return;
  const int pictureClass = PictureClassOfRow(*row);
  if (pictureClass < 0) return;
  MiniatureJob job;
  job.key = 0;
  job.entry = row->entry;
  job.pictureClass = pictureClass;
  job.edge = kPreviewEdge / 2;
  previewLoader_->Queue(previewSerial_, {job});
}

void ExplorerWindow::SetMiniatures(bool on) {
  views_->setCurrentWidget(on ? static_cast<QWidget*>(miniatures_) : list_);
  Action(on ? kCmdMiniatures : kCmdDetails)->setChecked(true);
  preview_->hide();
  if (on) miniatures_->Reset();
}

// ---- Scan ----

void ExplorerWindow::StartScan(const session::SessionState* resume) {
  scanStarted_ = true;
  if (resume != nullptr && session::ScanFinished(*resume)) return;
  if (scan_->Start(choice_.settings.reverse != 0, true, resume)) {
    progress_->setValue(0);
    progress_->show();
  }
  UpdateActions();
}

void ExplorerWindow::OnScanEvent(const ScanEvent& e) {
  if (closing_) return;
  switch (e.kind) {
    case ScanEvent::Kind::kTitle:
      setWindowTitle(QString::fromStdString(e.text));
      if (e.percent != 0) progress_->setValue(static_cast<int>(std::min<uint32_t>(e.percent, 100)));
      break;
    case ScanEvent::Kind::kLostFilesLabel:
      lostLabel_ = QString::fromStdString(e.text);
      treeModel_->SetLabel(explorer::kLostFilesFolderRef, lostLabel_);
      break;
    case ScanEvent::Kind::kRawFilesLabel:
      rawLabel_ = QString::fromStdString(e.text);
      treeModel_->SetLabel(explorer::kRawFilesFolderRef, rawLabel_);
      break;
    case ScanEvent::Kind::kPauseMenuText:
      Action(kCmdPause)->setText(MenuText(QString::fromStdString(e.text)));
      break;
    case ScanEvent::Kind::kRefresh:
      // The scan's folders (lost folders, RAW file types) join the tree and the list.
      treeModel_->Reload();
      tree_->expand(treeModel_->index(0, 0));
      OpenFolder(model_->CurrentFolder(), ListingCause::kRefresh);
      if (!scan_->Running()) {
        progress_->hide();
        emit scanEnded();
      }
      break;
    case ScanEvent::Kind::kAskSaveResults:
      // The question comes at the end of a scan the user watched; the answer saves now.
      if (AskYesNo(this, QString::fromLatin1(kProductName), QString::fromStdString(e.text))) SaveSession();
      break;
    case ScanEvent::Kind::kFinished:
      break;
  }
  UpdateActions();
}

// ---- Commands ----

void ExplorerWindow::Command(int id) {
  switch (id) {
    case kCmdClose:
      close();
      break;
    case kCmdBack:
      if (model_->Back()) AfterNavigation();
      break;
    case kCmdNext:
      if (model_->Next()) AfterNavigation();
      break;
    case kCmdUp:
      if (model_->Up()) AfterNavigation();
      break;
    case kCmdFoldersTree:
      tree_->setVisible(Action(kCmdFoldersTree)->isChecked());
      break;
    case kCmdRecover:
      Recover(false);
      break;
    case kCmdRecoverJoin:
      Recover(true);
      break;
    case kCmdRecoverDefrag:
      // The recovery engine copies every file by its own extents already; it has no separate
      // defragmenting copy, so this is the plain recovery.
      Recover(false);
      break;
    case kCmdRecoverMiniature:
      RecoverMiniature();
      break;
    case kCmdActivityFile:
      WriteActivity();
      break;
    case kCmdLanguage: {
      auto* dialog = new LanguageDialog(this);
      dialog->setAttribute(Qt::WA_DeleteOnClose);
      connect(dialog, &QDialog::accepted, this, &ExplorerWindow::Retranslate);
      dialog->open();
      break;
    }
    case kCmdFilter:
      Filter()->setVisible(!Filter()->isVisible());
      break;
    case kCmdFind: {
      const QString text = searchBox_->currentText().trimmed();
      if (text.isEmpty()) {
        QApplication::beep();
        searchBox_->setFocus();
        break;
      }
      if (searchBox_->findText(text) < 0) searchBox_->insertItem(0, text);
      StartNameSearch(text);
      break;
    }
    case kCmdAdvancedSearch: {
      AdvancedSearchDialog dialog(this);
      explorer::SearchCriteria criteria;
      if (dialog.exec() == QDialog::Accepted && dialog.Criteria(criteria))
        StartSearch(std::move(criteria), Ext("szAdvancedSearchResults"));
      break;
    }
    case kCmdBreakSearch:
      StopSearch();
      break;
    case kCmdSelectAll:
      model_->SelectAll();
      listModel_->Changed();
      miniatures_->viewport()->update();
      break;
    case kCmdUnselectAll:
      model_->UnselectAll();
      listModel_->Changed();
      break;
    case kCmdInvert:
      model_->InvertSelection();
      listModel_->Changed();
      break;
    case kCmdSelect: {
      std::vector<size_t> rows;
      QAbstractItemView* view =
          views_->currentWidget() == miniatures_ ? static_cast<QAbstractItemView*>(miniatures_) : list_;
      for (const QModelIndex& i : view->selectionModel()->selectedRows()) rows.push_back(static_cast<size_t>(i.row()));
      if (rows.empty() && FocusedRowIndex() != SIZE_MAX) rows.push_back(FocusedRowIndex());
      model_->Toggle(rows);
      listModel_->Changed();
      break;
    }
    case kCmdSaveSession:
      SaveSession();
      break;
    case kCmdLoadSession:
      LoadSession();
      break;
    case kCmdDetails:
      SetMiniatures(false);
      break;
    case kCmdMiniatures:
      SetMiniatures(true);
      break;
    case kCmdToggleView:
      SetMiniatures(views_->currentWidget() != miniatures_);
      break;
    case kCmdHexView:
      OpenHexView();
      break;
    case kCmdProperties:
      ShowProperties();
      break;
    case kCmdEditSize:
      EditSize();
      break;
    case kCmdRefresh:
      OpenFolder(model_->CurrentFolder(), ListingCause::kRefresh);
      break;
    case kCmdPause:
      scan_->TogglePause();
      break;
    case kCmdAddFavourite: {
      const explorer::AddFavouriteResult r = model_->AddCurrentToFavourites();
      if (r != explorer::AddFavouriteResult::kAdded)
        ShowMessage(this, QString::fromLatin1(kProductName), T(explorer::AddFavouriteMessageKey(r)),
                    MessageIcon::kInformation);
      UpdateFavouritesMenu();
      break;
    }
    case kCmdClearFavourites:
      model_->FavouriteList().Clear();
      UpdateFavouritesMenu();
      break;
    default:
      break;
  }
  UpdateActions();
}

// ---- Search ----

void ExplorerWindow::StartNameSearch(const QString& text) {
  explorer::SearchCriteria criteria;
  QString mask = text;
  if (!mask.contains(QLatin1Char('*')) && !mask.contains(QLatin1Char('?')))
    mask = QStringLiteral("*") + mask + QStringLiteral("*");
  criteria.masks.push_back(mask.toStdU16String());
  StartSearch(std::move(criteria), Ext("szSearchResultsOf") + QLatin1Char(' ') + text);
}

void ExplorerWindow::StopSearch() {
  if (search_) search_->Stop();
  if (searchThread_.joinable()) searchThread_.join();
  search_.reset();
  searchRunning_ = false;
}

void ExplorerWindow::StartSearch(explorer::SearchCriteria criteria, const QString& title) {
  // One search at a time: a new one ends the old first (they would share the walk's buffers).
  StopSearch();
  searchRunning_ = true;
  const uint64_t serial = ++searchSerial_;
  search_ = std::make_unique<explorer::SearchJob>();
  explorer::SearchJob* job = search_.get();
  status_->setText(title);
  searchThread_ = std::thread([this, job, criteria = std::move(criteria), serial]() mutable {
    explorer::SearchResult result;
    // The walk reads the entry list, which the scan must not grow meanwhile: the scan is held
    // at a pause point while the search runs.
    scan_->HoldStill([&](ScanDriver*) {
      const std::unique_ptr<ItemTree> tree = ws_.fileSystem->MakeTree();
      const explorer::TreeFolderSource source(ws_.store.deletedEntries, *tree);
      job->Start(source, std::move(criteria), [this, job](const FileEntry& e, ReaderSink& sink) {
        ReaderContext ctx = ws_.Reader();
        ctx.searchStop = job->StopFlag();
        return recovery::ReadItemContent(ctx, e, sink);
      });
      result = job->Wait();
    });
    PostToUi(this, [this, serial, result = std::move(result)] {
      if (serial != searchSerial_ || closing_) return;
      searchRunning_ = false;
      if (!result.stopped || !result.matches.empty()) {
        model_->ShowSearchResults(result.matches);
        AfterNavigation();
      }
      status_->setText(Ext("szMatchesFound", {GroupThousands(result.matches.size())}));
      if (result.truncated)
        ShowMessage(this, QString::fromLatin1(kProductName), Ext("szResultsTruncated"), MessageIcon::kInformation);
      UpdateActions();
      emit searchFinished(static_cast<int>(result.matches.size()));
    });
  });
  UpdateActions();
}

// ---- Recover ----

void ExplorerWindow::Recover(bool join) {
  if (!sessionLoaded_ && scan_->Running() &&
      !AskYesNo(this, QString::fromLatin1(kProductName), T("szScanNotCompleted")))
    return;
  bool autoChecked = false;
  if (tree_->hasFocus()) {
    model_->SelectAll();
    autoChecked = true;
  }
  if (model_->CheckedCount() == 0) {
    const auto row = FocusedRow();
    if (row && explorer::HasCheckBox(row->entry)) {
      const size_t rows[] = {FocusedRowIndex()};
      model_->Toggle(rows);
      autoChecked = true;
    }
  }
  listModel_->Changed();
  if (model_->CheckedCount() == 0) {
    ShowMessage(this, QString::fromLatin1(kProductName),
                model_->RowCount() <= 1 ? T("szNothingToRecover") : T("szSelectFilesToRecover"),
                MessageIcon::kInformation);
    return;
  }
  const QString folder = AskFolder(this, T("szSelectOutputPath"), QString());
  if (folder.isEmpty()) {
    if (autoChecked) {
      model_->UnselectAll();
      listModel_->Changed();
    }
    return;
  }
  RecoverInto(folder, join);
}

bool ExplorerWindow::RecoverInto(const QString& folder, bool join) {
  if (recovery_.Running()) return false;
  // What to recover: the checked rows of the listing, folders with what they hold.
  std::vector<recovery::RecoveryItem> items;
  std::vector<std::pair<explorer::Row, std::vector<std::u16string>>> todo;
  for (size_t i = 0; i < model_->RowCount(); ++i) {
    const auto row = model_->RowAt(i);
    if (row && explorer::HasCheckBox(row->entry) && explorer::IsChecked(row->entry))
      todo.emplace_back(*row, std::vector<std::u16string>{});
  }
  if (todo.empty()) return false;
  // The rows the run takes (files and folders): their marks are cleared when it ends.
  std::vector<explorer::Row> taken;
  for (const auto& item : todo) taken.push_back(item.first);
  recovery_.Join();
  recoveryAbort_ = false;
  const std::filesystem::path output = PathFromQ(folder);
  recovery_.Start([this, todo = std::move(todo), taken = std::move(taken), output, join]() mutable {
    std::vector<recovery::RecoveryItem> list;
    while (!todo.empty() && !recoveryAbort_) {
      auto [row, folders] = std::move(todo.back());
      todo.pop_back();
      if (row.entry.kind >= kKindVirtualFolder) continue;
      if (row.IsFolderRow()) {
        if (folders.size() >= explorer::kChainDepth) continue;
        std::vector<std::u16string> inner = folders;
        inner.push_back(row.name);
        const explorer::FolderListing listing = model_->ListFolder(row.opens, &recoveryAbort_);
        for (const auto& child : listing.rows)
          if (child.entry.kind < kKindVirtualFolder) todo.emplace_back(child, inner);
        continue;
      }
      list.push_back(ItemOfRow(row, folders));
    }
    int ok = 0, failed = 0;
    QtUiPort ui(this);
    scan_->HoldStill([&](ScanDriver*) {
      ReaderContext reader = ws_.Reader();
      recovery::RecoveryOptions options;
      options.outputFolder = output;
      options.joinMode = join;
      options.joinName = u"JOIN";
      recovery::RecoveryRun run(reader, options, &ui);
      reader.cancel = &recoveryAbort_;
      std::string error;
      if (!run.PrepareOutput(error)) {
        const QString text = QString::fromStdString(error);
        PostToUi(this, [this, text] {
          ShowMessage(this, QString::fromLatin1(recovery::kOverwriteProtectionTitle), text, MessageIcon::kWarning);
        });
        failed = static_cast<int>(list.size());
        return;
      }
      run.Begin();
      for (const auto& item : list) run.Count(item);
      for (const auto& item : list) {
        if (recoveryAbort_) break;
        const recovery::ItemReport report = run.Recover(item);
        if (report.result == recovery::ItemResult::kOk || report.result == recovery::ItemResult::kIncomplete)
          ++ok;
        else
          ++failed;
      }
      run.Finish();
    });
    PostToUi(this, [this, ok, failed, taken = std::move(taken)] {
      model_->Uncheck(taken);
      listModel_->Changed();
      miniatures_->viewport()->update();
      status_->setText(T("szRecovered", {std::to_string(ok), std::to_string(failed)}));
      emit recoveryFinished(ok, failed);
    });
  });
  return true;
}

// ---- Miniature and activity files ----

void ExplorerWindow::RecoverMiniature() {
  const auto row = FocusedRow();
  if (!row || row->IsFolderRow() || row->entry.size == 0) {
    QApplication::beep();
    return;
  }
  if (recovery_.Running()) return;
  const FileEntry entry = row->entry;
  const std::u16string name = row->name;
  recoveryAbort_ = false;
  // The picture's first bytes are read on the worker; the folder is asked only when there is
  // a miniature to write.
  recovery_.Start([this, entry, name] {
    ReaderContext ctx = ws_.Reader();
    ctx.cancel = &recoveryAbort_;
    std::vector<std::byte> bytes, miniature;
    const uint64_t size = entry.size;  // a packed field: copied, not bound by reference
    const uint64_t limit = std::min(size, kMiniatureSearchBytes);
    if (recovery::ReadItemToMemory(ctx, entry, limit, bytes)) {
      const ByteSpan found = FindJpegMiniature(bytes);
      miniature.assign(found.begin(), found.end());
    }
    PostToUi(this, [this, name, miniature = std::move(miniature)]() mutable {
      if (!closing_) SaveMiniature(name, std::move(miniature));
    });
  });
}

void ExplorerWindow::SaveMiniature(const std::u16string& name, std::vector<std::byte> miniature) {
  if (miniature.empty()) {
    ShowMessage(this, QString::fromLatin1(kProductName), T("szNoMiniature"), MessageIcon::kInformation);
    emit miniatureRecovered(QString());
    return;
  }
  const QString folder = AskFolder(this, T("szSelectOutputPath"), QString());
  if (folder.isEmpty()) {
    emit miniatureRecovered(QString());
    return;
  }
  const size_t dot = name.rfind(u'.');
  const std::u16string fileName =
      (dot == std::u16string::npos || dot == 0 ? name : name.substr(0, dot)) + u"_miniature.jpg";
  const OutputGuard guard = SourceOutputGuard(ws_.source);
  const std::filesystem::path output = PathFromQ(folder);
  recovery_.Start([this, guard, output, fileName, miniature = std::move(miniature)] {
    std::string error;
    const auto written = WriteNewFile(guard, output, fileName, miniature, error);
    const QString path = written ? QFromPath(*written) : QString();
    PostToUi(this, [this, path, error] {
      if (path.isEmpty())
        ShowMessage(this, QString::fromLatin1(recovery::kOverwriteProtectionTitle), QString::fromStdString(error),
                    MessageIcon::kWarning);
      else
        status_->setText(T("szMiniatureSaved", {FromQ(path)}));
      emit miniatureRecovered(path);
    });
  });
}

void ExplorerWindow::WriteActivity() {
  // A few bytes into the temporary folder: written here, as the key is pressed.
  std::string error;
  std::error_code ec;
  const auto written =
      WriteActivityFile(SourceOutputGuard(ws_.source), std::filesystem::temp_directory_path(ec), error);
  if (written)
    status_->setText(T("szActivityWritten", {written->string()}));
  else
    ShowMessage(this, QString::fromLatin1(kProductName), QString::fromStdString(error), MessageIcon::kError);
}

void ExplorerWindow::Retranslate() {
  for (const auto& [id, key] : actionKeys_) actions_[id]->setText(MenuText(T(key)));
  for (const auto& [menu, key] : menuKeys_) menu->setTitle(MenuText(T(key)));
  UpdateFavouritesMenu();
  // The drive selection window, hidden meanwhile, shows the new language when it comes back.
  if (auto* drives = qobject_cast<DriveSelectionWindow*>(choice_.from)) drives->Retranslate();
}

// ---- Sessions ----

void ExplorerWindow::SaveSession() {
  if (sessionSave_.Running()) {
    ShowMessage(this, QString::fromLatin1(kProductName), T("szSavingInProgress"), MessageIcon::kInformation);
    return;
  }
  QString path = AskSaveFile(this, T("szSaveScanSession"), T("szSessionFilter"), QStringLiteral("scan.tqs"));
  if (path.isEmpty()) return;
  // The file written is NAME.tqs: when that is not the name the dialog asked about and it
  // exists, replacing it is confirmed here.
  if (!path.endsWith(QStringLiteral(".tqs"), Qt::CaseInsensitive)) {
    path += QStringLiteral(".tqs");
    if (std::filesystem::exists(PathFromQ(path)) &&
        !AskYesNo(this, QString::fromLatin1(kProductName), Ext("szReplaceFile", {FromQ(path)})))
      return;
  }
  SaveSessionTo(path);
}

bool ExplorerWindow::SaveSessionTo(const QString& chosen) {
  // The extension is always added to a name without it: the file actually written is the one
  // the user was asked about (a typed "scan" never replaces an existing "scan.tqs" unasked).
  QString path = chosen;
  if (!path.endsWith(QStringLiteral(".tqs"), Qt::CaseInsensitive)) path += QStringLiteral(".tqs");
  if (sessionSave_.Running()) return false;
  const std::filesystem::path target = PathFromQ(path);
  // Never a file of the disk being read (by device and inode, through links).
  if (SourceOutputGuard(ws_.source).IsProtected(target)) {
    ShowMessage(this, QString::fromLatin1(recovery::kOverwriteProtectionTitle), T("szWriteOnOpenedDisk"),
                MessageIcon::kWarning);
    return false;
  }
  session::SessionState state = DescribeOpenVolume(ws_);
  // The explorer's navigation goes with the scan.
  const auto& entries = model_->History().Entries();
  for (size_t i = 0; i < entries.size() && i < session::kHistorySlots; ++i) {
    state.pathBox.push_back(entries[i].path);
    state.historyFolders[i] = entries[i].folder;
    state.historyChains[i] = ToSessionChain(entries[i].chain);
  }
  state.currentChain = ToSessionChain(model_->CurrentChain());
  for (const auto& f : model_->FavouriteList().Items())
    state.favourites.push_back(session::Favourite{f.path, f.folder, ToSessionChain(f.chain)});
  sessionSave_.Join();
  sessionSave_.Start([this, state = std::move(state), target]() mutable {
    std::string error;
    bool ok = false;
    scan_->HoldStill([&](ScanDriver* driver) {
      if (driver == nullptr) {
        const VolumeScanResult last = scan_->LastResult();
        if (scanStarted_) session::RecordScanEnd(state, last);
      }
      ok = session::SaveScanSession(target, ws_.store, driver, state, error);
    });
    PostToUi(this, [this, ok, error] {
      status_->setText(ok ? T("szSessionSaved") : QString::fromStdString(error));
      if (!ok) ShowMessage(this, QString::fromLatin1(kProductName), QString::fromStdString(error), MessageIcon::kError);
      emit sessionSaved(ok, QString::fromStdString(error));
    });
  });
  return true;
}

void ExplorerWindow::LoadSession() {
  const QString path = AskOpenFile(this, T("szLoadSessionFile"), T("szSessionLoadFilter"));
  if (path.isEmpty()) return;
  sessionToLoad_ = path;
  close();
}

void ExplorerWindow::LoadSessionAtStart(const std::filesystem::path& path, bool startScan) {
  session::SessionState state;
  std::string error;
  if (!session::LoadScanSession(path, ws_.store, ws_.source, ws_.geometry, state, error)) {
    ShowMessage(this, QString::fromLatin1(kProductName),
                Ext("szSessionFileErr") + QLatin1Char('\n') + QString::fromStdString(error), MessageIcon::kError);
  } else {
    sessionLoaded_ = true;
    if (!session::ScanFinished(state)) resumeState_ = state;
    // The navigation and the favourites of the session (the path box texts are made again).
    std::vector<explorer::HistoryEntry> history;
    for (size_t i = 0; i < state.pathBox.size() && i < session::kHistorySlots; ++i) {
      explorer::HistoryEntry e;
      e.folder = state.historyFolders[i];
      e.chain = FromSessionChain(state.historyChains[i]);
      e.path = model_->Folders().PathText(e.folder, model_->RootLabel());
      history.push_back(std::move(e));
    }
    model_->History().Restore(std::move(history), 0);
    std::vector<explorer::Favourite> favourites;
    for (const auto& f : state.favourites)
      if (!f.path.empty()) favourites.push_back(explorer::Favourite{f.path, f.folder, FromSessionChain(f.chain)});
    model_->FavouriteList().Restore(std::move(favourites));
    UpdateFavouritesMenu();
  }
  startScanOnFirstListing_ = startScan && resumeState_.has_value();
  treeModel_->Reload();
  OpenFolder(explorer::kRootFolderRef);
}

// ---- Dialogs ----

HexViewWindow* ExplorerWindow::HexView() {
  if (hexView_ == nullptr) hexView_ = new HexViewWindow(App().language, this);
  return hexView_;
}

FilterWindow* ExplorerWindow::Filter() {
  if (filter_ == nullptr) {
    filter_ = new FilterWindow(model_->Filter(), model_->Kind() == FsKind::kNtfs, this);
    connect(filter_, &FilterWindow::filterChanged, this,
            [this] { OpenFolder(model_->CurrentFolder(), ListingCause::kRefresh); });
  }
  return filter_;
}

void ExplorerWindow::OpenHexView() {
  const auto row = FocusedRow();
  if (!row || row->IsFolderRow()) return;
  // Compressed and encrypted NTFS files have no plain bytes to show.
  if (model_->Kind() == FsKind::kNtfs && (row->entry.attributes & (0x800u | 0x4000u)) != 0) return;
  const FileEntry entry = row->entry;
  Workspace* ws = &ws_;
  explorer::HexRows rows(entry.size, ws_.geometry.bytesPerSector,
                         [ws, entry](uint64_t first, uint64_t last, ReaderSink& sink) {
                           ReaderContext reader = ws->Reader();
                           return recovery::ReadItemRange(reader, entry, first, last, sink);
                         });
  HexView()->ShowFile(QString::fromStdU16String(row->name), std::move(rows));
}

void ExplorerWindow::ShowProperties() {
  std::optional<explorer::Row> row;
  size_t index = SIZE_MAX;
  if (!tree_->hasFocus()) {
    index = FocusedRowIndex();
    row = FocusedRow();
  }
  PropertiesDialog dialog(*model_, row, index, this);
  dialog.exec();
}

void ExplorerWindow::EditSize() {
  const size_t index = FocusedRowIndex();
  const auto row = FocusedRow();
  if (!row || row->IsFolderRow()) return;
  SizeEditorDialog dialog(*model_, index, this);
  if (dialog.exec() == QDialog::Accepted) listModel_->Changed();
}

// ---- Closing ----

void ExplorerWindow::closeEvent(QCloseEvent* event) {
  const auto sinceStart = std::chrono::steady_clock::now() - scan_->StartedAt();
  if (sessionToLoad_.isEmpty() && scan_->Running() && sinceStart > std::chrono::seconds(60) &&
      !AskYesNo(this, QString::fromLatin1(kProductName), T("szCloseWindow"))) {
    event->ignore();
    return;
  }
  closing_ = true;
  StopWorkers();
  if (hexView_ != nullptr) hexView_->hide();
  if (filter_ != nullptr) filter_->hide();
  event->accept();
  emit explorerClosed();
}

}  // namespace torvane::gui
