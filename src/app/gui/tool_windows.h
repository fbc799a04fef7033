// The long jobs of the drive selection window, each in its own window with its worker: the
// partition search with its results, the quick partition restore (backup, details, restore)
// and "Saving image". Workers report through queued calls; closing a window stops and joins
// its worker first.
#pragma once

#include <QDialog>
#include <QString>
#include <atomic>
#include <condition_variable>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "app/gui/marshal.h"
#include "disk/disk_source.h"
#include "disk/image_creator.h"
#include "partitions/partition_search.h"
#include "partitions/table_repair.h"
#include "partitions/volume_list.h"

class QLabel;
class QPlainTextEdit;
class QProgressBar;
class QPushButton;
class QTimer;
class QTreeWidget;

namespace torvane::gui {

class PartitionSearchWindow : public QDialog {
  Q_OBJECT

 public:
  // Searches `image` with `method`; with `resumeFrom`, goes on with a saved state instead.
  PartitionSearchWindow(const std::filesystem::path& image, SearchMethod method, QWidget* parent);
  ~PartitionSearchWindow() override;

  // Starts a new search, or one that goes on from a loaded state file; false (with a
  // message shown) when the disk or the file cannot be read.
  bool StartNew();
  bool StartFromFile(const QString& stateFile);
  void Pause();
  void Resume();
  void Stop();
  // Saves the search state (.tqsp), asking for the file; false when not saved.
  bool SaveState();
  bool LoadState();
  // Hands the selected found volume to the drive selection window.
  void OpenSelected();

  bool Running() const { return running_; }
  bool Paused() const { return paused_; }
  const std::vector<PartitionRecord>& Found() const { return found_; }
  uint64_t NextSector() const { return next_.nextSector; }
  uint64_t DiskSectors() const { return next_.diskSectors; }

  QTreeWidget* results = nullptr;
  QPlainTextEdit* log = nullptr;
  QProgressBar* progress = nullptr;
  QPushButton* pauseButton = nullptr;
  QPushButton* stopButton = nullptr;
  QPushButton* saveButton = nullptr;
  QPushButton* loadButton = nullptr;
  QPushButton* openButton = nullptr;

 signals:
  void finished(bool completed);
  void openFound(const std::filesystem::path& image, const PartitionRecord& record);

 protected:
  void closeEvent(QCloseEvent* event) override;
  void reject() override;

 private:
  bool Begin(SearchState state);
  void Finished(PartitionSearch::Outcome outcome);
  void ShowFound();
  void UpdateButtons();

  std::filesystem::path image_;
  SearchMethod method_;
  DiskSource source_;
  std::unique_ptr<PartitionSearch> search_;
  std::optional<VolumeList> tables_;
  std::vector<PartitionRecord> found_;
  SearchState next_;  // the last snapshot: where a saved search goes on
  bool running_ = false;
  bool paused_ = false;
  QTimer* timer_ = nullptr;
  QLabel* status_ = nullptr;
  Worker worker_;  // last: joined before the widgets go
};

// The quick partition restore: the disk's lost volumes (or a partition search's), the plan
// that gives them table entries, its details, the backup (.tqb) that must be written first,
// and the restore.
class QuickRestoreWindow : public QDialog {
  Q_OBJECT

 public:
  QuickRestoreWindow(const std::filesystem::path& image, std::vector<PartitionRecord> lost, QWidget* parent);
  ~QuickRestoreWindow() override;

  // Builds the plan on the worker; planReady when done.
  void Prepare();
  const RestorePlan& Plan() const { return plan_; }
  const std::vector<PartitionRecord>& Lost() const { return lost_; }
  // Asks for the backup file and writes it (read back and compared); then the plan may be
  // written.
  bool Backup();
  // Writes the plan to the disk after the backup and a confirmation; true when every write
  // was read back as written.
  bool Restore();
  void ShowDetails();

  QTreeWidget* volumes = nullptr;
  QPushButton* backupButton = nullptr;
  QPushButton* detailsButton = nullptr;
  QPushButton* restoreButton = nullptr;

 signals:
  void planReady();
  // A lost volume the user chose to explore (double click).
  void openLost(const std::filesystem::path& image, const PartitionRecord& record);

 private:
  void UpdateButtons();
  std::filesystem::path image_;
  std::vector<PartitionRecord> given_;
  DiskSource source_;
  VolumeList tables_;
  std::vector<PartitionRecord> lost_;
  RestorePlan plan_;
  bool ready_ = false;
  QString backupFile_;
  QLabel* status_ = nullptr;
  Worker worker_;
};

// Writes a backup (.tqb) back to its disk, after checks and a confirmation naming the disk.
// Reports success only when every block was written and read back as written.
bool RestoreBackupFile(QWidget* parent, const std::filesystem::path& image, const QString& backupFile);

// "Saving image": a whole disk or one volume copied into a raw image, with progress,
// pause, abort, and continuing an unfinished image.
class ImageWindow : public QDialog {
  Q_OBJECT

 public:
  enum class State { kIdle, kRunning, kDone, kAborted, kFailed };
  // `record`: the volume, or the whole-disk row.
  ImageWindow(const std::filesystem::path& image, const PartitionRecord& record, QWidget* parent);
  ~ImageWindow() override;

  // Starts writing `output` (resume: go on after what the file holds). False when refused at
  // once (the file is the source's; the disk cannot be opened), with the message shown.
  bool Start(const QString& output, bool replace, bool resume);
  void Pause();
  void Resume();
  void Abort();
  State Current() const { return state_; }
  const ImageResult& Result() const { return result_; }
  bool Paused() const { return paused_; }

  QProgressBar* progress = nullptr;
  QLabel* status = nullptr;
  QPushButton* pauseButton = nullptr;
  QPushButton* abortButton = nullptr;

 signals:
  void finished(int state);

 protected:
  void closeEvent(QCloseEvent* event) override;
  void reject() override;

 private:
  void Done(const ImageResult& result);
  std::filesystem::path image_;
  PartitionRecord record_;
  DiskSource source_;
  ImageResult result_;
  State state_ = State::kIdle;
  std::atomic<bool> stop_{false};
  std::atomic<bool> pause_{false};
  bool paused_ = false;
  std::atomic<uint64_t> done_{0}, total_{0};
  std::mutex pauseMutex_;
  std::condition_variable pauseWake_;
  QTimer* timer_ = nullptr;
  Worker worker_;
};

}  // namespace torvane::gui
