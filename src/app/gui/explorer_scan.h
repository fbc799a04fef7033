// The explorer's scan: the search of the free space (with header detect) on a worker of its
// own, with a queue of jobs that run on that worker between the scan's steps while the
// driver is alive (pause and resume, a session save around a paused scan). Jobs that need
// the scan held still (a session save, a recovery, a search) call HoldStill from their own
// worker thread; nothing here blocks the interface thread except Stop, which the window calls
// when it closes.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

#include "app/workspace.h"
#include "scan/scan_driver.h"
#include "scan/volume_scan.h"
#include "session/session_file.h"

namespace torvane::gui {

class ExplorerScan {
 public:
  // `events` is called on the scan's threads (the window marshals it).
  ExplorerScan(Workspace& ws, std::function<void(const ScanEvent&)> events);
  ~ExplorerScan();
  ExplorerScan(const ExplorerScan&) = delete;
  ExplorerScan& operator=(const ExplorerScan&) = delete;

  // Starts the scan (a resumed one when `resume` holds a session's state that is not
  // finished). False when a scan runs already.
  bool Start(bool reverse, bool headerDetect, const session::SessionState* resume = nullptr);
  bool Running() const { return running_; }
  bool Paused() const { return paused_; }
  bool Finished() const { return finished_; }
  uint32_t Percent() const { return percent_; }
  // The time of the last start (for the question on closing).
  std::chrono::steady_clock::time_point StartedAt() const { return startedAt_; }

  // The scan command (F10): pauses a running scan, resumes a paused one.
  void TogglePause();
  // Runs `job` with the scan held at a pause point (and lets it go on afterwards unless the
  // user had paused it), or at once when no scan runs; `job` gets the driver or null. Blocks
  // the calling thread until the job ran: call it from a worker, never from the interface.
  // False when the scan ended while waiting and the job ran without it.
  void HoldStill(const std::function<void(ScanDriver*)>& job);
  // Stops the scan and joins its thread (the window's close).
  void Stop();
  // The outcome of the last scan that ended.
  VolumeScanResult LastResult() const;

 private:
  void Run(bool reverse, bool headerDetect, session::SessionState resume, bool resuming);
  void Pump(ScanDriver& driver);

  Workspace& ws_;
  std::function<void(const ScanEvent&)> events_;
  std::thread thread_;
  std::atomic<bool> stop_{false}, running_{false}, paused_{false}, finished_{false};
  std::atomic<uint32_t> percent_{0};
  std::chrono::steady_clock::time_point startedAt_{};
  mutable std::mutex mutex_;
  std::condition_variable done_;
  std::deque<std::function<void(ScanDriver*)>> jobs_;
  bool toggle_ = false;
  VolumeScanResult last_;
};

}  // namespace torvane::gui
