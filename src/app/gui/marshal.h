// Workers never touch widgets: what they report is posted to the window's thread as a queued
// call. A Worker owns one thread and joins it when it is destroyed, so a window that owns its
// workers stops and joins them before its widgets go away.
#pragma once

#include <QMetaObject>
#include <QObject>
#include <atomic>
#include <functional>
#include <thread>
#include <utility>

namespace torvane::gui {

// Runs `f` on the thread of `context` (the UI thread for a widget), later, from its event
// loop. Dropped when `context` is destroyed first; a worker that posts must be joined before
// its context is destroyed.
template <class F>
void PostToUi(QObject* context, F&& f) {
  QMetaObject::invokeMethod(context, std::forward<F>(f), Qt::QueuedConnection);
}

class Worker {
 public:
  Worker() = default;
  Worker(const Worker&) = delete;
  Worker& operator=(const Worker&) = delete;
  ~Worker() { Stop(); }

  // Joins a finished earlier run, then runs `body` on a new thread.
  void Start(std::function<void()> body) {
    Join();
    stop_ = false;
    running_ = true;
    thread_ = std::thread([this, body = std::move(body)] {
      body();
      running_ = false;
    });
  }
  // Asks the body to stop (it polls StopRequested or its own engine flag) and joins it.
  void Stop() {
    stop_ = true;
    if (onStop_) onStop_();
    Join();
  }
  void Join() {
    if (thread_.joinable()) thread_.join();
  }
  bool Running() const { return running_; }
  bool StopRequested() const { return stop_; }
  std::atomic<bool>& StopFlag() { return stop_; }
  // Called by Stop before joining: sets the engine's own stop flag of the job.
  void SetOnStop(std::function<void()> onStop) { onStop_ = std::move(onStop); }

 private:
  std::thread thread_;
  std::atomic<bool> stop_{false};
  std::atomic<bool> running_{false};
  std::function<void()> onStop_;
};

}  // namespace torvane::gui
