// The scan driver: the long search of a volume on a worker thread — its free clusters in
// runs (free-region phase), or the whole volume backwards in 20 MiB chunks (reverse mode) —
// handing each run to the file system's record search and to the content detection. It can
// be paused, resumed and stopped, and tells the front ends what to show through events.
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

#include "disk/disk_source.h"
#include "fs/scan_family.h"
#include "fs/volume_geometry.h"
#include "store/item_store.h"

namespace torvane {

enum class ScanPhase : uint32_t { kNone = 0, kFreeRegion = 2, kWholeVolume = 3 };

// The eleven words a session stores to resume a scan:
// 0 phase, 1-2 position (low, high), 3-4 processed clusters (low, high), 5 free clusters,
// 6 finished, 7-8 entries in the deleted-entries list (low, high), 9 deleted count,
// 10 the percentage shown last.
using ScanResumeWords = std::array<uint32_t, 11>;

struct ScanEvent {
  enum class Kind {
    kTitle,           // the window title changes to `text`
    kLostFilesLabel,  // the "Lost files" folder is relabelled `text`
    kRawFilesLabel,   // the "RAW files" folder is relabelled `text`
    kPauseMenuText,   // the scan command's menu text is `text`
    kRefresh,         // the scan ended: the views refresh
    kAskSaveResults,  // the question `text` (Yes: save the scan session)
    kFinished,        // the thread ended (finished or stopped)
  };
  Kind kind;
  std::string text;
  uint32_t percent = 0;
};

inline constexpr const char* kProductTitle = "Torvane";
inline constexpr const char* kScanningFreeRegion = "scanning free region";
inline constexpr const char* kScanPaused = "(SCAN PAUSED)";
inline constexpr const char* kScanFinishedQuestion = "Scan finished! Do you want to save results?";
inline constexpr const char* kPauseScanMenu = "&Pause scan\tF10";
inline constexpr const char* kResumeScanMenu = "&Resume scan\tF10";

class ScanDriver {
 public:
  ScanDriver(DiskSource& source, const VolumeGeometry& geometry, ItemStore& store, ScanFamily& family);
  ~ScanDriver();

  // The scan command (F10): starts a scan when none runs (and no other long job does),
  // pauses a running one, resumes a paused one. Any thread may call it, also while another
  // one waits in Wait.
  void ScanCommand();
  // Stops the scan (no end-of-scan question) and waits for its thread. A later start
  // begins a new scan that pauses and stops as usual.
  void Stop();
  // Asks the scan to stop without waiting (safe from any thread; not from a signal handler,
  // which sets stopRequested itself).
  void RequestStop();
  // Waits until the thread has ended.
  void Wait();

  ScanResumeWords ResumeWords() const;
  // Takes over a saved state: the next start continues at its phase and position.
  void ResumeFrom(const ScanResumeWords& words);

  // The content detection: gets every run or chunk; in the free-region phase it answers how
  // many bytes its last file reaches beyond the run (the driver skips them).
  std::function<uint64_t(const RunDescriptor&)> contentDetection;
  // Where the texts go; called on the scan thread (at most every 25 ms for progress), and
  // for the menu text on the thread that gave the command; never two calls at once.
  std::function<void(const ScanEvent&)> events;
  // Reverse mode, from the advanced drive settings.
  bool reverse = false;
  // Set while another long job runs (a search, miniatures): the command starts no scan.
  const std::atomic<bool>* busy = nullptr;

  std::atomic<bool> running{false}, active{false}, paused{false}, pausedNow{false};
  std::atomic<bool> stopRequested{false};
  std::atomic<uint32_t> phase{0};
  std::atomic<uint64_t> position{0}, processedClusters{0};
  std::atomic<uint64_t> freeClusters{0};
  std::atomic<bool> finished{false}, interrupted{false};
  std::atomic<uint32_t> percent{0};

 private:
  void ScanThread();
  void FreeRegionPhase();
  void WholeVolumePhase();
  void EndOfScan();
  // True when the scan goes on; false when it was stopped while paused.
  bool PausePoint();
  void ReportProgress(bool force);
  void Emit(ScanEvent::Kind kind, std::string text, uint32_t pct = 0);
  uint64_t LastCluster() const;

  DiskSource& source_;
  const VolumeGeometry& g_;
  ItemStore& store_;
  ScanFamily& family_;
  std::thread thread_;
  // Guards thread_ and threadAlive_ and orders the commands; never held while a thread is
  // joined that still has work to do (the worker takes it to say it ended).
  std::mutex commandLock_;
  std::condition_variable threadEnded_;
  bool threadAlive_ = false;
  std::mutex eventLock_;  // one events call at a time
  // Set by ResumeFrom before a start and cleared by the worker at its end; the start and the
  // join order the two.
  bool resumed_ = false;
  // Worker-only state.
  uint64_t total_ = 0;
  uint64_t lastDeleted_ = ~uint64_t{0};
  std::chrono::steady_clock::time_point lastReport_{};
};

}  // namespace torvane
