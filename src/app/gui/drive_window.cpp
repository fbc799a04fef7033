#include "app/gui/drive_window.h"

#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFile>
#include <QFileInfo>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLabel>
#include <QMenu>
#include <QMimeData>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QStatusBar>
#include <QStyle>
#include <QTimer>
#include <QToolButton>
#include <QTreeView>
#include <QVBoxLayout>

#include "app/drive_list.h"
#include "app/gui/dialogs.h"
#include "app/gui/drive_model.h"
#include "app/gui/localize.h"
#include "app/gui/tool_windows.h"
#include "fs/open_volume.h"
#include "session/session_file.h"
#include "util/format.h"
#include "util/text.h"

namespace torvane::gui {
namespace {

constexpr std::string_view kSection = "WINDOW_SELECT_DRIVE";

// Control identifiers of the window (the keys of its language section).
enum : uint32_t {
  kNext = 1,
  kExit = 2,
  kRefresh = 3,
  kSettings = 4,
  kOpen = 5,
  kTools = 6,
  kConfigFolders = 22,
  kOpenImage = 201,
  kOpenSession = 202,
  kRowOpen = 203,
  kCreateImage = 204,
  kOpenBackup = 212,
  kPartitionSearch = 213,
  kQuickRestore = 214,
  kLanguage = 40040,
  kHelp = 40041,
  kAbout = 40042,
  kWarning = 1001,
  kFrame = 1002,
  kList = 1003,
};

// A file system the scanners can walk.
bool KnownFsKind(FsKind kind) {
  return kind >= FsKind::kFat12 && kind <= FsKind::kExfat;
}

QAction* AddAction(QMenu* menu, uint32_t id, std::function<void()> run) {
  QAction* a = menu->addAction(QString());
  SetControlId(a, id);
  QObject::connect(a, &QAction::triggered, menu, [run = std::move(run)] { run(); });
  return a;
}

}  // namespace

DriveSelectionWindow::DriveSelectionWindow(Workspace& ws, QWidget* parent)
    : QMainWindow(parent), ws_(ws), uiPort_(this) {
  BuildUi();
  Retranslate();
  UpdateButtons();
}

DriveSelectionWindow::~DriveSelectionWindow() {
  worker_.Stop();
}

void DriveSelectionWindow::BuildUi() {
  setAcceptDrops(true);
  auto* central = new QWidget(this);
  auto* layout = new QVBoxLayout(central);

  // The header: the warning text and the language, help and about icons.
  auto* header = new QHBoxLayout;
  auto* warning = new QLabel(central);
  SetControlId(warning, kWarning);
  warning->setWordWrap(true);
  header->addWidget(warning, 1);
  auto addIcon = [&](uint32_t id, QStyle::StandardPixmap icon, void (DriveSelectionWindow::*slot)()) {
    auto* b = new QToolButton(central);
    SetControlId(b, id);
    b->setIcon(style()->standardIcon(icon));
    b->setAutoRaise(true);
    connect(b, &QToolButton::clicked, this, slot);
    header->addWidget(b, 0, Qt::AlignTop);
  };
  addIcon(kLanguage, QStyle::SP_DesktopIcon, &DriveSelectionWindow::LanguageCommand);
  addIcon(kHelp, QStyle::SP_DialogHelpButton, &DriveSelectionWindow::HelpCommand);
  addIcon(kAbout, QStyle::SP_MessageBoxInformation, &DriveSelectionWindow::AboutCommand);
  layout->addLayout(header);

  auto* frame = new QGroupBox(central);
  SetControlId(frame, kFrame);
  auto* frameLayout = new QVBoxLayout(frame);
  model_ = new DriveModel(this);
  view_ = new QTreeView(frame);
  SetControlId(view_, kList);
  view_->setModel(model_);
  view_->setRootIsDecorated(false);
  view_->setItemsExpandable(false);
  view_->setUniformRowHeights(true);
  view_->setSelectionMode(QAbstractItemView::SingleSelection);
  view_->setSelectionBehavior(QAbstractItemView::SelectRows);
  view_->setContextMenuPolicy(Qt::CustomContextMenu);
  view_->header()->setSectionsClickable(true);
  view_->header()->setStretchLastSection(false);
  view_->header()->setSectionResizeMode(0, QHeaderView::Interactive);
  view_->header()->setSectionResizeMode(1, QHeaderView::Stretch);
  view_->header()->setSectionResizeMode(2, QHeaderView::ResizeToContents);
  view_->header()->setSectionResizeMode(3, QHeaderView::ResizeToContents);
  view_->header()->resizeSection(0, 220);
  view_->setMinimumHeight(220);
  frameLayout->addWidget(view_);
  layout->addWidget(frame, 1);
  connect(view_, &QTreeView::customContextMenuRequested, this, &DriveSelectionWindow::ShowContextMenu);
  connect(view_, &QTreeView::doubleClicked, this, [this](const QModelIndex& i) {
    if (model_->RowOf(i) >= 0) Next();
  });
  connect(view_->selectionModel(), &QItemSelectionModel::selectionChanged, this, &DriveSelectionWindow::UpdateButtons);
  connect(model_, &QAbstractItemModel::modelReset, this, [this] {
    view_->expandAll();
    UpdateButtons();
  });
  connect(view_->header(), &QHeaderView::sectionClicked, this, [this](int column) {
    if (busy_ || column < 0 || column > 3) return;
    ws_.driveList.SortBy(static_cast<RowColumn>(column));
    model_->SetRows(ws_.driveList.rows, ToQ(ws_.driveList.imageGroupHeading));
    view_->header()->setSortIndicatorShown(true);
    view_->header()->setSortIndicator(column, ws_.driveList.sortDescending ? Qt::DescendingOrder : Qt::AscendingOrder);
  });

  // The buttons.
  auto* buttons = new QHBoxLayout;
  open_ = new QPushButton(central);
  SetControlId(open_, kOpen);
  tools_ = new QPushButton(central);
  SetControlId(tools_, kTools);
  next_ = new QPushButton(central);
  SetControlId(next_, kNext);
  next_->setDefault(true);
  auto* exitButton = new QPushButton(central);
  SetControlId(exitButton, kExit);
  auto* refresh = new QToolButton(central);
  SetControlId(refresh, kRefresh);
  refresh->setIcon(style()->standardIcon(QStyle::SP_BrowserReload));
  buttons->addWidget(open_);
  buttons->addWidget(tools_);
  buttons->addWidget(refresh);
  buttons->addStretch(1);
  buttons->addWidget(next_);
  buttons->addWidget(exitButton);
  layout->addLayout(buttons);
  connect(next_, &QPushButton::clicked, this, &DriveSelectionWindow::Next);
  connect(exitButton, &QPushButton::clicked, this, &QWidget::close);
  connect(refresh, &QToolButton::clicked, this, &DriveSelectionWindow::Refresh);

  openMenu_ = new QMenu(this);
  AddAction(openMenu_, kOpenImage, [this] { OpenImageCommand(); });
  AddAction(openMenu_, kOpenSession, [this] { OpenSessionCommand(); });
  AddAction(openMenu_, kOpenBackup, [this] { OpenBackupCommand(); });
  open_->setMenu(openMenu_);
  toolsMenu_ = new QMenu(this);
  AddAction(toolsMenu_, kSettings, [this] { DriveSettingsCommand(); });
  AddAction(toolsMenu_, kCreateImage, [this] { CreateImageCommand(); });
  AddAction(toolsMenu_, kPartitionSearch, [this] { PartitionSearchCommand(); });
  AddAction(toolsMenu_, kQuickRestore, [this] { QuickRestoreCommand(); });
  toolsMenu_->addSeparator();
  AddAction(toolsMenu_, kConfigFolders, [this] { ConfigurationFoldersCommand(); });
  tools_->setMenu(toolsMenu_);
  rowMenu_ = new QMenu(this);
  AddAction(rowMenu_, kRowOpen, [this] { Next(); });
  AddAction(rowMenu_, kSettings, [this] { DriveSettingsCommand(); });
  rowMenu_->addSeparator();
  AddAction(rowMenu_, kCreateImage, [this] { CreateImageCommand(); });

  setCentralWidget(central);
  status_ = new QLabel(this);
  busyBar_ = new QProgressBar(this);
  busyBar_->setRange(0, 0);
  busyBar_->setMaximumWidth(120);
  busyBar_->setVisible(false);
  statusBar()->addWidget(busyBar_);
  statusBar()->addWidget(status_, 1);
  resize(720, 480);
}

void DriveSelectionWindow::Retranslate() {
  LocalizeWindow(this, kSection);
  model_->Retranslate();
  setWindowTitle(Tr(kSection, "#C", {PROJECT_VERSION_TEXT}));
}

void DriveSelectionWindow::UpdateButtons() {
  const bool selected = SelectedRow() >= 0;
  next_->setEnabled(selected && !busy_);
  open_->setEnabled(!busy_);
  tools_->setEnabled(!busy_);
}

void DriveSelectionWindow::SetBusy(bool busy, const QString& status) {
  busy_ = busy;
  busyBar_->setVisible(busy);
  status_->setText(status);
  UpdateButtons();
}

int64_t DriveSelectionWindow::SelectedRow() const {
  const QModelIndexList rows = view_->selectionModel()->selectedRows();
  return rows.isEmpty() ? -1 : model_->RowOf(rows.front());
}

void DriveSelectionWindow::SelectRow(size_t row) {
  const QModelIndex i = model_->IndexOf(row);
  if (i.isValid()) view_->selectionModel()->select(i, QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
  view_->setCurrentIndex(i);
}

DriveSettings& DriveSelectionWindow::SettingsOf(const PartitionRecord& row) {
  const uint64_t start = row.startSector;  // a packed field: copied, never bound to a reference
  return settings_[start];
}

void DriveSelectionWindow::LoadImage(const QString& path) {
  if (busy_) return;  // the commands that load are disabled meanwhile
  image_ = PathFromQ(path);
  settings_.clear();
  Refresh();
}

void DriveSelectionWindow::Refresh() {
  if (image_.empty()) return;
  if (busy_) {
    // Opening a volume: the list stays as it is (a pass would close the opened source).
    if (!enumerating_) return;
    // The running enumeration makes one more pass.
    ws_.driveList.refreshRequested = 1;
    refreshAgain_ = true;
    return;
  }
  StartEnumeration();
}

void DriveSelectionWindow::StartEnumeration() {
  refreshAgain_ = false;
  enumerating_ = true;
  model_->Clear();
  SetBusy(true, Tr(kSection, "szSearching"));
  ws_.driveList.SetImage(image_);
  worker_.Start([this] {
    ws_.driveList.EnumerationThread(ws_.source, ws_.geometry, 0);
    PostToUi(this, [this] { EnumerationDone(); });
  });
}

void DriveSelectionWindow::EnumerationDone() {
  worker_.Join();
  enumerating_ = false;
  if (refreshAgain_) {
    StartEnumeration();
    return;
  }
  SetBusy(false, QString());
  model_->SetRows(ws_.driveList.rows, ToQ(ws_.driveList.imageGroupHeading));
  if (!ws_.driveList.openError.empty()) {
    status_->setText(ToQ(ws_.driveList.openError));
    ShowMessage(this, ToQ(kProductName),
                Tr("EXT_STRINGS", "szErrorAccessingVm") + "\n\n" + ToQ(ws_.driveList.openError), MessageIcon::kWarning);
  } else {
    status_->setText(Tr(kSection, "szVolumesFound", {std::to_string(model_->Rows().size() - 1)}));
    // The first volume is preselected, as the list is mostly used with one disk.
    if (!model_->Rows().empty()) SelectRow(0);
    // Lost volumes, damaged extended blocks or rebuilt boot sectors: the quick partition
    // restore is offered, once for each disk loaded.
    if (ws_.driveList.volumeList.repairOffered && repairOfferedFor_ != image_ && pendingSession_.isEmpty()) {
      repairOfferedFor_ = image_;
      QuickRestoreCommand();
    }
  }
  emit listReady();
  if (!pendingSession_.isEmpty()) {
    if (ws_.driveList.openError.empty())
      ContinueSession();
    else
      pendingSession_.clear();
  }
}

void DriveSelectionWindow::Next() {
  const int64_t row = SelectedRow();
  if (row < 0 || busy_) return;
  const PartitionRecord r = model_->Rows()[static_cast<size_t>(row)];
  const size_t index = static_cast<size_t>(row);
  if (r.wholeDisk) {
    // A whole disk: a partition search, or a direct scan of the disk in RAW mode.
    auto* dialog = new ScanModeDialog(this);
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    connect(dialog, &QDialog::accepted, this, [this, dialog, index] {
      switch (dialog->Chosen()) {
        case ScanModeDialog::Choice::kDirectScan:
          OpenRow(index, true);
          break;
        case ScanModeDialog::Choice::kFastSearch:
          OpenSearchWindow(SearchMethod::kFast, QString());
          break;
        case ScanModeDialog::Choice::kDeepSearch:
          OpenSearchWindow(SearchMethod::kDeep, QString());
          break;
      }
    });
    dialog->open();
    return;
  }
  if (!KnownFsKind(r.fsKind) && SettingsOf(r).override == 0 && !RawModeOf(r)) {
    // A volume whose file system was not recognised: its settings are offered first;
    // cancelling returns to the list.
    OpenSettingsDialog(this, index, true);
    return;
  }
  OpenRow(index, false);
}

void DriveSelectionWindow::OpenRow(size_t row, bool rawMode) {
  if (busy_ || row >= model_->Rows().size()) return;
  VolumeChoice choice;
  choice.row = row;
  choice.record = model_->Rows()[row];
  choice.settings = SettingsOf(choice.record);
  choice.rawMode = rawMode || RawModeOf(choice.record) || choice.record.wholeDisk != 0;
  choice.image = image_;
  OpenChoice(std::move(choice));
}

bool DriveSelectionWindow::RawModeOf(const PartitionRecord& row) const {
  const uint64_t start = row.startSector;
  const auto it = rawMode_.find(start);
  return it != rawMode_.end() && it->second;
}

void DriveSelectionWindow::OpenChoice(VolumeChoice choice) {
  if (busy_) return;
  choice.from = this;
  SetBusy(true, Tr(kSection, "szOpeningVolume", {RowName(choice.record)}));
  worker_.Start([this, choice]() mutable {
    OpenVolumeRequest request;
    request.path = choice.image;
    request.startSector = choice.record.startSector;
    request.volumeSectors = choice.record.wholeDisk ? 0 : choice.record.sectors;
    request.loadTables = true;
    request.record = &choice.record;
    request.settings = &choice.settings;
    std::string error, userMessage;
    if (!OpenVolume(ws_.source, ws_.geometry, request, &error, &userMessage) && error.empty())
      error = userMessage.empty() ? "the volume cannot be opened" : userMessage;
    PostToUi(this, [this, error, choice] { OpenDone(error, choice); });
  });
}

void DriveSelectionWindow::OpenDone(const std::string& error, const VolumeChoice& choice) {
  worker_.Join();
  SetBusy(false, QString());
  if (!error.empty()) {
    status_->setText(ToQ(error));
    ShowMessage(this, ToQ(kProductName), ToQ(error), MessageIcon::kError);
    emit volumeFailed(ToQ(error));
    return;
  }
  if (App().openExplorer)
    App().openExplorer(ws_, choice);
  else
    OpenPlaceholderExplorer(ws_, choice);
  emit volumeOpened(choice.row);
}

void DriveSelectionWindow::ShowContextMenu(const QPoint& pos) {
  const QModelIndex i = view_->indexAt(pos);
  if (model_->RowOf(i) < 0 || busy_) return;
  SelectRow(static_cast<size_t>(model_->RowOf(i)));
  rowMenu_->popup(view_->viewport()->mapToGlobal(pos));
}

void DriveSelectionWindow::closeEvent(QCloseEvent* event) {
  worker_.Stop();
  event->accept();
}

void DriveSelectionWindow::dragEnterEvent(QDragEnterEvent* event) {
  if (event->mimeData()->hasUrls() && !event->mimeData()->urls().isEmpty() &&
      event->mimeData()->urls().front().isLocalFile())
    event->acceptProposedAction();
}

void DriveSelectionWindow::dropEvent(QDropEvent* event) {
  const QList<QUrl> urls = event->mimeData()->urls();
  if (urls.isEmpty() || !urls.front().isLocalFile() || busy_) return;
  event->acceptProposedAction();
  LoadImage(urls.front().toLocalFile());
}

void DriveSelectionWindow::keyPressEvent(QKeyEvent* event) {
  if (event->key() == Qt::Key_F5) {
    Refresh();
    return;
  }
  if (event->key() == Qt::Key_F1) {
    HelpCommand();
    return;
  }
  QMainWindow::keyPressEvent(event);
}

void DriveSelectionWindow::OpenImageCommand() {
  const QString file = AskOpenFile(this, Tr(kSection, "szLoadImageFile"), Tr(kSection, "szImageFilter"));
  if (!file.isEmpty()) LoadImage(file);
}

void DriveSelectionWindow::ReturnFromExplorer(const QString& session) {
  show();
  if (!session.isEmpty()) QTimer::singleShot(0, this, [this, session] { OpenSessionCommand(session); });
}

void DriveSelectionWindow::OpenSessionCommand(const QString& chosen) {
  if (busy_) return;
  const QString file =
      chosen.isEmpty() ? AskOpenFile(this, Tr(kSection, "szLoadSessionFile"), Tr(kSection, "szSessionFilter")) : chosen;
  if (file.isEmpty()) return;
  // A partition search state goes on in the search window.
  QFile f(file);
  if (f.open(QIODevice::ReadOnly) && f.read(4) == "TQSP") {
    SearchState state;
    std::string error;
    if (!LoadSearchState(PathFromQ(file), state, error)) {
      ShowMessage(this, ToQ(kProductName), ToQ(error), MessageIcon::kError);
      return;
    }
    const std::filesystem::path named(ToUtf8(state.sourceName));
    std::error_code ec;
    if (image_.empty() && std::filesystem::is_regular_file(named, ec)) image_ = named;
    if (image_.empty()) {
      ShowMessage(this, ToQ(kProductName), Tr(kSection, "szLoadDiskFirst"), MessageIcon::kInformation);
      return;
    }
    OpenSearchWindow(state.method, file);
    return;
  }
  session::SessionState saved;
  std::string error;
  if (!session::ReadSessionHeader(PathFromQ(file), saved, error)) {
    ShowMessage(this, ToQ(kProductName), Tr("EXT_STRINGS", "szSessionFileErr") + "\n\n" + ToQ(error),
                MessageIcon::kError);
    return;
  }
  // The disk the session names when it still exists, else the one loaded.
  const std::filesystem::path named(ToUtf8(saved.imagePath));
  std::error_code ec;
  pendingSession_ = file;
  pendingSessionStart_ = saved.volume.startSector;
  if (!named.empty() && std::filesystem::is_regular_file(named, ec) && named != image_) {
    LoadImage(QFromPath(named));  // the session goes on when the list is ready
    return;
  }
  if (image_.empty()) {
    pendingSession_.clear();
    ShowMessage(this, ToQ(kProductName), Tr(kSection, "szLoadDiskFirst"), MessageIcon::kInformation);
    return;
  }
  ContinueSession();
}

void DriveSelectionWindow::ContinueSession() {
  const QString file = pendingSession_;
  pendingSession_.clear();
  const auto& rows = model_->Rows();
  for (size_t i = 0; i < rows.size(); ++i) {
    if (rows[i].wholeDisk || rows[i].startSector != pendingSessionStart_) continue;
    VolumeChoice choice;
    choice.row = i;
    choice.record = rows[i];
    choice.settings = SettingsOf(rows[i]);
    choice.image = image_;
    choice.session = PathFromQ(file);
    OpenChoice(std::move(choice));
    return;
  }
  ShowMessage(this, ToQ(kProductName), Tr(kSection, "szSessionNoVolume", {GroupThousands(pendingSessionStart_)}),
              MessageIcon::kError);
}

void DriveSelectionWindow::OpenBackupCommand() {
  if (busy_) return;
  if (image_.empty()) {
    ShowMessage(this, ToQ(kProductName), Tr(kSection, "szLoadDiskFirst"), MessageIcon::kInformation);
    return;
  }
  const QString file = AskOpenFile(this, Tr(kSection, "szLoadBackup"), Tr(kSection, "szBackupFilter"));
  if (file.isEmpty()) return;
  if (RestoreBackupFile(this, image_, file)) Refresh();
}

void DriveSelectionWindow::DriveSettingsCommand() {
  const int64_t row = SelectedRow();
  if (row < 0 || busy_) return;
  OpenSettingsDialog(this, static_cast<size_t>(row), false);
}

void DriveSelectionWindow::OpenSettingsDialog(QWidget*, size_t row, bool thenOpen) {
  const PartitionRecord r = model_->Rows()[row];
  auto* dialog = new DriveSettingsDialog(SettingsOf(r), RawModeOf(r), ToQ(RowName(r) + "  " + RowSecondText(r)), this);
  dialog->setAttribute(Qt::WA_DeleteOnClose);
  connect(dialog, &QDialog::accepted, this, [this, dialog, row, r, thenOpen] {
    const uint64_t start = r.startSector;
    settings_[start] = dialog->Settings();
    rawMode_[start] = dialog->RawMode();
    // On OK the row is chosen and the window goes on as for "Next".
    (void)thenOpen;
    SelectRow(row);
    OpenRow(row, false);
  });
  dialog->open();
}

void DriveSelectionWindow::CreateImageCommand() {
  const int64_t row = SelectedRow();
  if (row < 0 || busy_) return;
  const PartitionRecord r = model_->Rows()[static_cast<size_t>(row)];
  const std::string base = r.wholeDisk ? image_.stem().string() : image_.stem().string() + "-" + RowName(r);
  const QString suggested = ToQ(base + ".img");
  QString file;
  bool resume = false;
  while (true) {
    file = App().dialogs.fileName ? App().dialogs.fileName(this, Tr(kSection, "szSaveImageFile"),
                                                           Tr(kSection, "szImageOutFilter"), suggested, true)
                                  : QString();
    if (file.isEmpty()) return;
    // The image must never be one of the disk's own files: the dialog opens again.
    DiskSource probe;
    std::string error;
    if (probe.OpenSource(image_, 0, error) && SourceOutputGuard(probe).IsProtected(PathFromQ(file))) {
      ShowMessage(this, ToQ(kProductName), Tr("WINDOW_SAVING_IMAGE", "szOutputIsSource"), MessageIcon::kWarning);
      continue;
    }
    break;
  }
  if (QFileInfo::exists(file)) {
    // An unfinished image goes on; any other existing file is replaced only when confirmed.
    resume = AskYesNo(this, ToQ(kProductName), Tr(kSection, "szContinueImage", {FromQ(file)}));
    if (!resume && !AskYesNo(this, ToQ(kProductName), Tr("EXT_STRINGS", "szReplaceFile", {FromQ(file)}))) return;
  }
  auto* window = new ImageWindow(image_, r, this);
  window->setAttribute(Qt::WA_DeleteOnClose);
  window->show();
  window->Start(file, true, resume);
}

void DriveSelectionWindow::OpenSearchWindow(SearchMethod method, const QString& stateFile) {
  auto* window = new PartitionSearchWindow(image_, method, this);
  window->setAttribute(Qt::WA_DeleteOnClose);
  connect(window, &PartitionSearchWindow::openFound, this,
          [this, window](const std::filesystem::path& image, const PartitionRecord& record) {
            VolumeChoice choice;
            choice.row = SIZE_MAX;
            choice.record = record;
            choice.image = image;
            window->close();
            OpenChoice(std::move(choice));
          });
  window->show();
  if (!(stateFile.isEmpty() ? window->StartNew() : window->StartFromFile(stateFile))) window->close();
}

void DriveSelectionWindow::PartitionSearchCommand() {
  if (busy_ || image_.empty()) return;
  auto* dialog = new ScanModeDialog(this);
  dialog->setAttribute(Qt::WA_DeleteOnClose);
  dialog->direct->setEnabled(false);
  connect(dialog, &QDialog::accepted, this, [this, dialog] {
    OpenSearchWindow(
        dialog->Chosen() == ScanModeDialog::Choice::kFastSearch ? SearchMethod::kFast : SearchMethod::kDeep, QString());
  });
  dialog->open();
}

void DriveSelectionWindow::QuickRestoreCommand() {
  if (busy_ || image_.empty()) return;
  auto* window = new QuickRestoreWindow(image_, {}, this);
  window->setAttribute(Qt::WA_DeleteOnClose);
  connect(window, &QuickRestoreWindow::planReady, this, [this, window] {
    // A disk without any table then lists the lost volumes.
    if (!window->Lost().empty() && model_->Rows().size() <= 1) {
      ws_.driveList.KeepLostVolumes(window->Lost());
      Refresh();
    }
  });
  connect(window, &QuickRestoreWindow::openLost, this,
          [this, window](const std::filesystem::path& image, const PartitionRecord& record) {
            VolumeChoice choice;
            choice.row = SIZE_MAX;
            choice.record = record;
            choice.settings = SettingsOf(record);
            choice.image = image;
            window->disconnect(this);  // no refresh of the list when it closes
            window->close();
            OpenChoice(std::move(choice));
          });
  connect(window, &QDialog::rejected, this, [this] { Refresh(); });
  window->show();
  window->Prepare();
}

void DriveSelectionWindow::ConfigurationFoldersCommand() {
  auto* dialog = new ConfigurationFoldersDialog(this);
  dialog->setAttribute(Qt::WA_DeleteOnClose);
  dialog->open();
}

void DriveSelectionWindow::LanguageCommand() {
  auto* dialog = new LanguageDialog(this);
  dialog->setAttribute(Qt::WA_DeleteOnClose);
  connect(dialog, &QDialog::accepted, this, &DriveSelectionWindow::Retranslate);
  dialog->open();
}

void DriveSelectionWindow::HelpCommand() {
  ShowMessage(this, Tr(kSection, "szHelpTitle"), Tr(kSection, "szHelpText"), MessageIcon::kInformation);
}

void DriveSelectionWindow::AboutCommand() {
  ShowMessage(this, Tr(kSection, "szAboutTitle"), Tr(kSection, "szAboutText", {PROJECT_VERSION_TEXT}),
              MessageIcon::kInformation);
}

void OpenPlaceholderExplorer(Workspace&, const VolumeChoice& choice) {
  auto* w = new QLabel;
  w->setAttribute(Qt::WA_DeleteOnClose);
  w->setObjectName("placeholderExplorer");
  w->setWindowTitle(ToQ(kProductName));
  w->setText(Tr("WINDOW_SELECT_DRIVE", "szPlaceholderExplorer",
                {RowName(choice.record), RowSecondText(choice.record), choice.image.filename().string()}));
  w->setMargin(24);
  w->show();
}

}  // namespace torvane::gui
