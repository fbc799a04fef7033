#include "app/gui/drive_window.h"

#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QDragEnterEvent>
#include <QDropEvent>
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
#include <QStatusBar>
#include <QStyle>
#include <QToolButton>
#include <QTreeView>
#include <QVBoxLayout>

#include "app/drive_list.h"
#include "app/gui/drive_model.h"
#include "app/gui/localize.h"
#include "fs/open_volume.h"

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
  view_->header()->setSectionResizeMode(0, QHeaderView::Stretch);
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
  return settings_[row.startSector];
}

void DriveSelectionWindow::LoadImage(const QString& path) {
  image_ = PathFromQ(path);
  settings_.clear();
  Refresh();
}

void DriveSelectionWindow::Refresh() {
  if (image_.empty()) return;
  if (busy_) {
    // The running enumeration makes one more pass.
    ws_.driveList.refreshRequested = 1;
    refreshAgain_ = true;
    return;
  }
  StartEnumeration();
}

void DriveSelectionWindow::StartEnumeration() {
  refreshAgain_ = false;
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
  }
  emit listReady();
}

void DriveSelectionWindow::Next() {
  const int64_t row = SelectedRow();
  if (row < 0 || busy_) return;
  const PartitionRecord& r = model_->Rows()[static_cast<size_t>(row)];
  OpenRow(static_cast<size_t>(row), r.wholeDisk != 0);
}

void DriveSelectionWindow::OpenRow(size_t row, bool rawMode) {
  if (busy_ || row >= model_->Rows().size()) return;
  VolumeChoice choice;
  choice.row = row;
  choice.record = model_->Rows()[row];
  choice.settings = SettingsOf(choice.record);
  choice.rawMode = rawMode || choice.record.wholeDisk != 0;
  choice.image = image_;
  SetBusy(true, Tr(kSection, "szOpeningVolume", {RowName(choice.record)}));
  worker_.Start([this, row, choice]() mutable {
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
    PostToUi(this, [this, row, error, choice] { OpenDone(row, error, choice); });
  });
}

void DriveSelectionWindow::OpenDone(size_t row, const std::string& error, const VolumeChoice& choice) {
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
  emit volumeOpened(row);
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

void DriveSelectionWindow::OpenSessionCommand() {}
void DriveSelectionWindow::OpenBackupCommand() {}
void DriveSelectionWindow::DriveSettingsCommand() {}
void DriveSelectionWindow::CreateImageCommand() {}
void DriveSelectionWindow::PartitionSearchCommand() {}
void DriveSelectionWindow::QuickRestoreCommand() {}
void DriveSelectionWindow::ConfigurationFoldersCommand() {}
void DriveSelectionWindow::LanguageCommand() {}

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
