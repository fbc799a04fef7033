#include "app/gui/explorer_scan.h"

#include "raw/carve/carve_scan.h"
#include "session/session.h"

namespace torvane::gui {

ExplorerScan::ExplorerScan(Workspace& ws, std::function<void(const ScanEvent&)> events)
    : ws_(ws), events_(std::move(events)) {}

ExplorerScan::~ExplorerScan() {
  Stop();
}

bool ExplorerScan::Start(bool reverse, bool headerDetect, const session::SessionState* resume) {
  if (running_ || ws_.fileSystem == nullptr) return false;
  if (thread_.joinable()) thread_.join();
  stop_ = false;
  running_ = true;
  paused_ = false;
  finished_ = false;
  startedAt_ = std::chrono::steady_clock::now();
  session::SessionState state;
  if (resume != nullptr) state = *resume;
  thread_ = std::thread([this, reverse, headerDetect, state, resuming = resume != nullptr] {
    Run(reverse, headerDetect, state, resuming);
  });
  return true;
}

void ExplorerScan::Run(bool reverse, bool headerDetect, session::SessionState resume, bool resuming) {
  carve::CarveScanOptions options;
  options.headerDetect = headerDetect;
  options.scan.reverse = reverse;
  options.scan.stop = &stop_;
  options.scan.prepare = [&](ScanDriver& d) {
    d.events = [this](const ScanEvent& e) {
      if (e.kind == ScanEvent::Kind::kTitle && e.percent != 0) percent_ = e.percent;
      if (e.kind == ScanEvent::Kind::kPauseMenuText) paused_ = e.text == kResumeScanMenu;
      if (events_) events_(e);
    };
    if (resuming) session::ResumeScan(d, ws_.store, resume);
  };
  options.scan.tick = [this](ScanDriver& d) { Pump(d); };
  const carve::CarveScanResult result =
      carve::ScanWithCarving(ws_.source, ws_.geometry, ws_.store, *ws_.fileSystem, options);
  std::deque<std::function<void(ScanDriver*)>> left;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    last_ = result.scan;
    finished_ = result.scan.outcome == ScanOutcome::kFinished;
    running_ = false;
    paused_ = false;
    left.swap(jobs_);
  }
  // Jobs that came too late for the driver run without it.
  for (auto& job : left) job(nullptr);
  done_.notify_all();
  if (events_) events_(ScanEvent{ScanEvent::Kind::kRefresh, "", 0});
}

void ExplorerScan::Pump(ScanDriver& driver) {
  std::deque<std::function<void(ScanDriver*)>> jobs;
  bool toggle = false;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    jobs.swap(jobs_);
    toggle = std::exchange(toggle_, false);
  }
  if (toggle) driver.ScanCommand();
  for (auto& job : jobs) job(&driver);
  if (!jobs.empty()) done_.notify_all();
}

void ExplorerScan::TogglePause() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (running_) toggle_ = true;
}

void ExplorerScan::HoldStill(const std::function<void(ScanDriver*)>& job) {
  std::unique_lock<std::mutex> lock(mutex_);
  if (!running_) {
    lock.unlock();
    job(nullptr);
    return;
  }
  bool ran = false;
  jobs_.push_back([&](ScanDriver* driver) {
    // Hold the scan at a pause point for the job, unless the user paused it already.
    const bool wasPaused = driver == nullptr || driver->paused;
    if (!wasPaused) {
      driver->ScanCommand();
      while (driver->running && !driver->pausedNow) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    job(driver);
    if (!wasPaused && driver->running) driver->ScanCommand();
    std::lock_guard<std::mutex> done(mutex_);
    ran = true;
  });
  done_.wait(lock, [&] { return ran; });
}

void ExplorerScan::Stop() {
  stop_ = true;
  if (thread_.joinable()) thread_.join();
}

VolumeScanResult ExplorerScan::LastResult() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return last_;
}

}  // namespace torvane::gui
