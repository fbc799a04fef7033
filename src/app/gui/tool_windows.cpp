#include "app/gui/tool_windows.h"

#include <QCloseEvent>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QTimer>
#include <QTreeWidget>
#include <QVBoxLayout>

#include "app/drive_list.h"
#include "app/gui/gui_app.h"
#include "app/gui/localize.h"
#include "fs/recognize_volume.h"
#include "util/format.h"
#include "util/text.h"

namespace torvane::gui {
namespace {

constexpr std::string_view kSearchSection = "WINDOW_HDD_SCAN_PARTITIONS";
constexpr std::string_view kFixSection = "WINDOW_PARTITIONFIX";
constexpr std::string_view kImageSection = "WINDOW_SAVING_IMAGE";

QPushButton* Button(QWidget* parent, uint32_t id, QHBoxLayout* row) {
  auto* b = new QPushButton(parent);
  SetControlId(b, id);
  row->addWidget(b);
  return b;
}

void AddVolumeRow(QTreeWidget* tree, const PartitionRecord& r, const QString& status) {
  auto* item = new QTreeWidgetItem(tree);
  item->setText(0, ToQ(GroupThousands(r.startSector)));
  item->setText(1, ToQ(HumanSize(r.sectors * 512)));
  item->setText(2, ToQ(ToUtf8(GetText(r.fsName))));
  item->setText(3, ToQ(ToUtf8(GetText(r.label))));
  item->setText(4, status);
  item->setTextAlignment(0, Qt::AlignRight | Qt::AlignVCenter);
  item->setTextAlignment(1, Qt::AlignRight | Qt::AlignVCenter);
}

QTreeWidget* VolumeTree(QWidget* parent, uint32_t id) {
  auto* tree = new QTreeWidget(parent);
  SetControlId(tree, id);
  tree->setColumnCount(5);
  tree->setRootIsDecorated(false);
  tree->setSelectionMode(QAbstractItemView::SingleSelection);
  tree->header()->setStretchLastSection(true);
  return tree;
}

}  // namespace

// ---- Partition search ----

PartitionSearchWindow::PartitionSearchWindow(const std::filesystem::path& image, SearchMethod method, QWidget* parent)
    : QDialog(parent), image_(image), method_(method) {
  auto* layout = new QVBoxLayout(this);
  status_ = new QLabel(this);
  layout->addWidget(status_);
  progress = new QProgressBar(this);
  progress->setRange(0, 100);
  layout->addWidget(progress);
  results = VolumeTree(this, 1001);
  layout->addWidget(results, 2);
  log = new QPlainTextEdit(this);
  log->setReadOnly(true);
  log->setMaximumBlockCount(2000);
  layout->addWidget(log, 1);
  auto* row = new QHBoxLayout;
  pauseButton = Button(this, 1002, row);
  stopButton = Button(this, 1003, row);
  saveButton = Button(this, 1004, row);
  loadButton = Button(this, 1005, row);
  row->addStretch(1);
  openButton = Button(this, 1006, row);
  auto* close = Button(this, 2, row);
  layout->addLayout(row);
  connect(pauseButton, &QPushButton::clicked, this, [this] { paused_ ? Resume() : Pause(); });
  connect(stopButton, &QPushButton::clicked, this, &PartitionSearchWindow::Stop);
  connect(saveButton, &QPushButton::clicked, this, &PartitionSearchWindow::SaveState);
  connect(loadButton, &QPushButton::clicked, this, &PartitionSearchWindow::LoadState);
  connect(openButton, &QPushButton::clicked, this, &PartitionSearchWindow::OpenSelected);
  connect(close, &QPushButton::clicked, this, &QDialog::reject);
  connect(results, &QTreeWidget::itemSelectionChanged, this, &PartitionSearchWindow::UpdateButtons);
  connect(results, &QTreeWidget::itemDoubleClicked, this, &PartitionSearchWindow::OpenSelected);
  timer_ = new QTimer(this);
  timer_->setInterval(200);
  connect(timer_, &QTimer::timeout, this, [this] {
    if (search_) progress->setValue(static_cast<int>(search_->Percent()));
  });
  resize(680, 520);
  LocalizeWindow(this, kSearchSection);
  UpdateButtons();
}

PartitionSearchWindow::~PartitionSearchWindow() {
  if (search_) search_->Stop();
  worker_.Join();
}

void PartitionSearchWindow::UpdateButtons() {
  pauseButton->setEnabled(running_);
  pauseButton->setText(Tr(kSearchSection, paused_ ? "szResume" : "#1002"));
  stopButton->setEnabled(running_);
  saveButton->setEnabled(search_ != nullptr && !running_);
  loadButton->setEnabled(!running_);
  openButton->setEnabled(!running_ && !results->selectedItems().isEmpty());
}

bool PartitionSearchWindow::StartNew() {
  std::string error;
  source_.CloseSource();
  if (!source_.OpenSource(image_, 0, error)) {
    ShowMessage(this, ToQ(kProductName), ToQ(error), MessageIcon::kError);
    return false;
  }
  SearchState state;
  state.diskSectors = source_.diskSectors;
  state.method = method_;
  state.sourceName = std::filesystem::absolute(image_).u16string();
  return Begin(std::move(state));
}

bool PartitionSearchWindow::StartFromFile(const QString& stateFile) {
  std::string error;
  source_.CloseSource();
  SearchState state;
  if (!source_.OpenSource(image_, 0, error) || !LoadSearchState(PathFromQ(stateFile), state, error)) {
    ShowMessage(this, ToQ(kProductName), ToQ(error), MessageIcon::kError);
    return false;
  }
  if (state.diskSectors != source_.diskSectors) {
    ShowMessage(this, ToQ(kProductName),
                Tr(kSearchSection, "szOtherDisk", {FromQ(stateFile), std::to_string(state.diskSectors)}),
                MessageIcon::kError);
    return false;
  }
  return Begin(std::move(state));
}

bool PartitionSearchWindow::Begin(SearchState state) {
  worker_.Join();
  next_ = state;
  found_ = state.found;
  tables_.reset();
  log->clear();
  results->clear();
  search_ = std::make_unique<PartitionSearch>(source_, &RecognizeVolume, std::move(state));
  search_->SetLog([this](const std::string& line) {
    PostToUi(this, [this, line] {
      log->appendPlainText(ToQ(line));
      if (search_) {
        found_ = search_->Snapshot().found;
        ShowFound();
      }
    });
  });
  running_ = true;
  paused_ = false;
  status_->setText(Tr(kSearchSection, "szSearching", {image_.filename().string()}));
  timer_->start();
  PartitionSearch* search = search_.get();
  worker_.Start([this, search] {
    VolumeList tables;
    BuildVolumeList(source_, tables, &RecognizeVolume);
    PostToUi(this, [this, tables] {
      tables_ = tables;
      ShowFound();
    });
    const PartitionSearch::Outcome outcome = search->Run();
    PostToUi(this, [this, outcome] { Finished(outcome); });
  });
  UpdateButtons();
  return true;
}

void PartitionSearchWindow::Finished(PartitionSearch::Outcome outcome) {
  worker_.Join();
  timer_->stop();
  running_ = false;
  paused_ = false;
  next_ = search_->Snapshot();
  found_ = next_.found;
  const bool completed = outcome == PartitionSearch::Outcome::kFinished;
  progress->setValue(static_cast<int>(search_->Percent()));
  status_->setText(completed ? Tr(kSearchSection, "szFinished", {std::to_string(found_.size())})
                             : Tr(kSearchSection, "szStopped", {GroupThousands(next_.nextSector)}));
  ShowFound();
  UpdateButtons();
  emit finished(completed);
}

void PartitionSearchWindow::ShowFound() {
  const int selected = results->currentIndex().isValid() ? results->currentIndex().row() : -1;
  results->clear();
  for (const auto& r : found_) {
    QString status;
    if (tables_) status = Tr(kSearchSection, StatusName(StatusOf(r, *tables_)));
    AddVolumeRow(results, r, status);
  }
  if (selected >= 0 && selected < results->topLevelItemCount())
    results->setCurrentItem(results->topLevelItem(selected));
}

void PartitionSearchWindow::Pause() {
  if (!running_ || paused_) return;
  search_->Pause();
  paused_ = true;
  status_->setText(Tr(kSearchSection, "szPaused"));
  UpdateButtons();
}

void PartitionSearchWindow::Resume() {
  if (!running_ || !paused_) return;
  search_->Resume();
  paused_ = false;
  status_->setText(Tr(kSearchSection, "szSearching", {image_.filename().string()}));
  UpdateButtons();
}

void PartitionSearchWindow::Stop() {
  if (running_ && search_) search_->Stop();
}

bool PartitionSearchWindow::SaveState() {
  if (!search_ || running_) return false;
  const QString file =
      AskSaveFile(this, Tr(kSearchSection, "szSaveState"), Tr(kSearchSection, "szStateFilter"), "search.tqsp");
  if (file.isEmpty()) return false;
  std::string error;
  if (!SaveSearchState(PathFromQ(file), next_, SourceOutputGuard(source_), error)) {
    ShowMessage(this, ToQ(kProductName), ToQ(error), MessageIcon::kError);
    return false;
  }
  status_->setText(Tr(kSearchSection, "szSaved", {FromQ(file)}));
  return true;
}

bool PartitionSearchWindow::LoadState() {
  if (running_) return false;
  const QString file = AskOpenFile(this, Tr(kSearchSection, "szLoadState"), Tr(kSearchSection, "szStateFilter"));
  return !file.isEmpty() && StartFromFile(file);
}

void PartitionSearchWindow::OpenSelected() {
  if (running_) return;
  const QModelIndex i = results->currentIndex();
  if (!i.isValid() || static_cast<size_t>(i.row()) >= found_.size()) return;
  emit openFound(image_, found_[static_cast<size_t>(i.row())]);
}

void PartitionSearchWindow::closeEvent(QCloseEvent* event) {
  if (search_) search_->Stop();
  worker_.Join();
  event->accept();
}

void PartitionSearchWindow::reject() {
  if (search_) search_->Stop();
  worker_.Join();
  QDialog::reject();
}

// ---- Quick partition restore ----

QuickRestoreWindow::QuickRestoreWindow(const std::filesystem::path& image, std::vector<PartitionRecord> lost,
                                       QWidget* parent)
    : QDialog(parent), image_(image), given_(std::move(lost)) {
  auto* layout = new QVBoxLayout(this);
  layout->addWidget([this] {
    auto* l = new QLabel(this);
    SetControlId(l, 1001);
    l->setWordWrap(true);
    return l;
  }());
  volumes = VolumeTree(this, 1002);
  layout->addWidget(volumes, 1);
  status_ = new QLabel(this);
  status_->setWordWrap(true);
  layout->addWidget(status_);
  auto* row = new QHBoxLayout;
  backupButton = Button(this, 1003, row);
  detailsButton = Button(this, 1004, row);
  restoreButton = Button(this, 1005, row);
  row->addStretch(1);
  auto* close = Button(this, 2, row);
  layout->addLayout(row);
  connect(backupButton, &QPushButton::clicked, this, &QuickRestoreWindow::Backup);
  connect(detailsButton, &QPushButton::clicked, this, &QuickRestoreWindow::ShowDetails);
  connect(restoreButton, &QPushButton::clicked, this, &QuickRestoreWindow::Restore);
  connect(close, &QPushButton::clicked, this, &QDialog::reject);
  connect(volumes, &QTreeWidget::itemDoubleClicked, this, [this](QTreeWidgetItem* item) {
    const int i = volumes->indexOfTopLevelItem(item);
    if (i >= 0 && static_cast<size_t>(i) < lost_.size()) emit openLost(image_, lost_[static_cast<size_t>(i)]);
  });
  resize(640, 400);
  LocalizeWindow(this, kFixSection);
  UpdateButtons();
}

QuickRestoreWindow::~QuickRestoreWindow() {
  worker_.Join();
}

void QuickRestoreWindow::UpdateButtons() {
  backupButton->setEnabled(ready_ && !plan_.Empty());
  detailsButton->setEnabled(ready_);
  restoreButton->setEnabled(ready_ && !plan_.Empty() && !backupFile_.isEmpty());
}

void QuickRestoreWindow::Prepare() {
  ready_ = false;
  UpdateButtons();
  status_->setText(Tr(kFixSection, "szPreparing"));
  worker_.Start([this] {
    std::string error;
    source_.CloseSource();
    VolumeList tables;
    std::vector<PartitionRecord> lost;
    RestorePlan plan;
    if (source_.OpenSource(image_, 0, error)) {
      BuildVolumeList(source_, tables, &RecognizeVolume);
      if (!given_.empty()) {
        for (const auto& r : given_)
          if (StatusOf(r, tables) != FoundStatus::kOk) lost.push_back(r);
      } else {
        for (const auto& w : tables.walkVolumes) {
          bool listed = false;
          for (size_t i = 0; i < tables.tableVolumes && i < tables.volumes.size(); ++i)
            listed |= tables.volumes[i].startSector == w.startSector;
          if (!listed) lost.push_back(w);
        }
      }
      plan = BuildRestorePlan(source_, tables, lost);
    }
    PostToUi(this, [this, error, tables, lost, plan] {
      worker_.Join();
      tables_ = tables;
      lost_ = lost;
      plan_ = plan;
      ready_ = error.empty();
      volumes->clear();
      for (const auto& r : lost_) AddVolumeRow(volumes, r, Tr(kFixSection, "szLost"));
      status_->setText(!error.empty()  ? ToQ(error)
                       : plan_.Empty() ? Tr(kFixSection, "szNothingToRestore")
                                       : Tr(kFixSection, "szPlanReady", {std::to_string(plan_.writes.size())}));
      UpdateButtons();
      emit planReady();
    });
  });
}

bool QuickRestoreWindow::Backup() {
  if (!ready_ || plan_.Empty()) return false;
  const QString file =
      AskSaveFile(this, Tr(kFixSection, "szSaveBackup"), Tr(kFixSection, "szBackupFilter"), "partitions.tqb");
  if (file.isEmpty()) return false;
  // The engine creates the backup as a new file only; a file the user agreed to replace is
  // removed first (never one of the disk's own files).
  const OutputGuard guard = SourceOutputGuard(source_);
  const std::filesystem::path path = PathFromQ(file);
  if (guard.IsProtected(path)) {
    ShowMessage(this, ToQ(kProductName), Tr(kFixSection, "szIsSourceFile", {FromQ(file)}), MessageIcon::kWarning);
    return false;
  }
  std::string error;
  bool ok = false;
  std::error_code ec;
  if (!std::filesystem::exists(path, ec)) {
    ok = CreatePartitionBackup(source_, BackupRanges(tables_, plan_), path, guard, error);
  } else {
    // Replacing a file the user confirmed: the engine writes new files only (under a
    // temporary name, renamed when read back and compared), so the backup is made under a
    // fresh name beside it and then renamed over it; a failure leaves the old file as it was.
    std::filesystem::path fresh;
    for (int n = 0; fresh.empty() || std::filesystem::exists(fresh, ec); ++n)
      fresh = path.string() + ".torvane-new-" + std::to_string(n);
    ok = CreatePartitionBackup(source_, BackupRanges(tables_, plan_), fresh, guard, error);
    if (ok) {
      std::filesystem::rename(fresh, path, ec);
      if (ec) {
        error = ec.message();
        std::filesystem::remove(fresh, ec);
        ok = false;
      }
    }
  }
  if (!ok) {
    ShowMessage(this, ToQ(kProductName), Tr(kFixSection, "szBackupFailed", {error}), MessageIcon::kError);
    return false;
  }
  backupFile_ = file;
  status_->setText(Tr(kFixSection, "szBackupDone", {FromQ(file)}));
  UpdateButtons();
  return true;
}

void QuickRestoreWindow::ShowDetails() {
  QString text;
  for (const auto& d : plan_.details) text += ToQ(d) + "\n";
  for (const auto& n : plan_.notRestored) text += Tr(kFixSection, "szNotRestored", {n}) + "\n";
  if (text.isEmpty()) text = Tr(kFixSection, "szNothingToRestore");
  ShowMessage(this, Tr(kFixSection, "szDetails"), text, MessageIcon::kInformation);
}

bool QuickRestoreWindow::Restore() {
  if (!ready_ || plan_.Empty() || backupFile_.isEmpty()) return false;
  if (!AskYesNo(this, ToQ(kProductName), Tr(kFixSection, "szConfirmRestore", {image_.string()}))) return false;
  source_.CloseSource();
  size_t written = 0;
  std::string error;
  if (!WriteBlocks(image_, plan_.writes, written, error)) {
    ShowMessage(this, ToQ(kProductName),
                Tr(kFixSection, "szRestoreFailed",
                   {error, std::to_string(written), std::to_string(plan_.writes.size()), FromQ(backupFile_)}),
                MessageIcon::kError);
    return false;
  }
  ShowMessage(this, ToQ(kProductName), Tr(kFixSection, "szRestoreDone", {FromQ(backupFile_)}),
              MessageIcon::kInformation);
  plan_ = RestorePlan();
  UpdateButtons();
  return true;
}

bool RestoreBackupFile(QWidget* parent, const std::filesystem::path& image, const QString& backupFile) {
  DiskSource source;
  std::string error;
  const QString title = ToQ(kProductName);
  if (!source.OpenSource(image, 0, error)) {
    ShowMessage(parent, title, ToQ(error), MessageIcon::kError);
    return false;
  }
  if (SourceOutputGuard(source).IsProtected(PathFromQ(backupFile))) {
    ShowMessage(parent, title, Tr(kFixSection, "szBackupDamaged"), MessageIcon::kError);
    return false;
  }
  PartitionBackup backup;
  if (!LoadPartitionBackup(PathFromQ(backupFile), source.diskSectors, backup, error)) {
    ShowMessage(parent, title, Tr(kFixSection, "szBackupDamaged") + "\n\n" + ToQ(error), MessageIcon::kError);
    return false;
  }
  const uint64_t sectors = source.diskSectors;
  source.CloseSource();
  if (!AskYesNo(parent, title,
                Tr(kFixSection, "szConfirmBackupRestore",
                   {image.filename().string(), HumanSize(sectors * 512), ToUtf8(backup.sourceName)})))
    return false;
  size_t written = 0;
  // Success is reported only after every block was written and read back as written.
  if (!WriteBlocks(image, backup.blocks, written, error)) {
    ShowMessage(parent, title,
                Tr(kFixSection, "szBackupRestoreFailed") + "\n\n" + ToQ(error) + " (" + ToQ(std::to_string(written)) +
                    "/" + ToQ(std::to_string(backup.blocks.size())) + ")",
                MessageIcon::kError);
    return false;
  }
  ShowMessage(parent, title, Tr(kFixSection, "szBackupRestoreDone"), MessageIcon::kInformation);
  return true;
}

// ---- Saving image ----

ImageWindow::ImageWindow(const std::filesystem::path& image, const PartitionRecord& record, QWidget* parent)
    : QDialog(parent), image_(image), record_(record) {
  auto* layout = new QVBoxLayout(this);
  auto* what = new QLabel(ToQ(RowName(record) + "  " + RowSecondText(record) + "  " + RowSizeText(record)), this);
  layout->addWidget(what);
  progress = new QProgressBar(this);
  progress->setRange(0, 1000);
  layout->addWidget(progress);
  status = new QLabel(this);
  status->setWordWrap(true);
  layout->addWidget(status);
  auto* row = new QHBoxLayout;
  row->addStretch(1);
  pauseButton = Button(this, 1001, row);
  abortButton = Button(this, 1002, row);
  auto* close = Button(this, 2, row);
  layout->addLayout(row);
  connect(pauseButton, &QPushButton::clicked, this, [this] { paused_ ? Resume() : Pause(); });
  connect(abortButton, &QPushButton::clicked, this, &ImageWindow::Abort);
  connect(close, &QPushButton::clicked, this, &QDialog::reject);
  timer_ = new QTimer(this);
  timer_->setInterval(200);
  connect(timer_, &QTimer::timeout, this, [this] {
    const uint64_t total = total_.load();
    if (total != 0) progress->setValue(static_cast<int>(done_.load() * 1000 / total));
  });
  resize(520, 160);
  LocalizeWindow(this, kImageSection);
  pauseButton->setEnabled(false);
  abortButton->setEnabled(false);
}

ImageWindow::~ImageWindow() {
  Abort();
  worker_.Join();
}

bool ImageWindow::Start(const QString& output, bool replace, bool resume) {
  if (state_ == State::kRunning) return false;
  worker_.Join();
  std::string error;
  source_.CloseSource();
  if (!source_.OpenSource(image_, 0, error)) {
    ShowMessage(this, ToQ(kProductName), ToQ(error), MessageIcon::kError);
    return false;
  }
  ImageJob job;
  job.output = PathFromQ(output);
  // The image is never one of the disk's own files (compared by device and inode).
  if (SourceOutputGuard(source_).IsProtected(job.output)) {
    ShowMessage(this, ToQ(kProductName), Tr(kImageSection, "szOutputIsSource"), MessageIcon::kWarning);
    return false;
  }
  job.overwrite = replace && !resume;
  job.resume = resume;
  if (!record_.wholeDisk) {
    job.firstSector = record_.startSector;
    job.sectorCount = record_.sectors;
    std::vector<uint8_t> boot(512);
    uint64_t at = 0;
    if (BackupBootSector(source_, record_, boot.data(), at)) job.firstSectorReplacement = boot;
  }
  stop_ = false;
  pause_ = false;
  paused_ = false;
  done_ = 0;
  total_ = 0;
  state_ = State::kRunning;
  status->setText(Tr(kImageSection, "szWriting", {FromQ(output)}));
  pauseButton->setEnabled(true);
  abortButton->setEnabled(true);
  timer_->start();
  worker_.Start([this, job] {
    ImageJob j = job;
    j.log = [this](const std::string& line) { PostToUi(this, [this, line] { status->setText(ToQ(line)); }); };
    const ImageResult r = CreateImage(
        source_, j,
        [this](uint64_t done, uint64_t total) {
          done_ = done;
          total_ = total;
          // A paused image waits here, on the imaging thread, until resumed or aborted.
          std::unique_lock lock(pauseMutex_);
          pauseWake_.wait(lock, [this] { return !pause_ || stop_; });
        },
        &stop_);
    PostToUi(this, [this, r] { Done(r); });
  });
  return true;
}

void ImageWindow::Done(const ImageResult& result) {
  worker_.Join();
  timer_->stop();
  result_ = result;
  pauseButton->setEnabled(false);
  abortButton->setEnabled(false);
  paused_ = false;
  source_.CloseSource();
  if (result.status == ImageStatus::kDone && result.error.empty()) {
    state_ = State::kDone;
    progress->setValue(1000);
    status->setText(result.failedSectors == 0
                        ? Tr(kImageSection, "szDone", {GroupThousands(result.sectorsCopied)})
                        : Tr(kImageSection, "szDoneWithErrors",
                             {GroupThousands(result.sectorsCopied), GroupThousands(result.failedSectors)}));
  } else if (result.status == ImageStatus::kAborted) {
    state_ = State::kAborted;
    status->setText(Tr(kImageSection, "szAborted", {GroupThousands(result.sectorsCopied)}));
  } else {
    state_ = State::kFailed;
    status->setText(Tr(kImageSection, "szFailed", {result.error}));
  }
  emit finished(static_cast<int>(state_));
}

void ImageWindow::Pause() {
  if (state_ != State::kRunning || paused_) return;
  pause_ = true;
  paused_ = true;
  pauseButton->setText(Tr(kImageSection, "szResume"));
}

void ImageWindow::Resume() {
  if (!paused_) return;
  {
    std::lock_guard lock(pauseMutex_);
    pause_ = false;
  }
  pauseWake_.notify_all();
  paused_ = false;
  pauseButton->setText(Tr(kImageSection, "#1001"));
}

void ImageWindow::Abort() {
  {
    std::lock_guard lock(pauseMutex_);
    stop_ = true;
  }
  pauseWake_.notify_all();
}

void ImageWindow::closeEvent(QCloseEvent* event) {
  Abort();
  worker_.Join();
  event->accept();
}

void ImageWindow::reject() {
  Abort();
  worker_.Join();
  QDialog::reject();
}

}  // namespace torvane::gui
