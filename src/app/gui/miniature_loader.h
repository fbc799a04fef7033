// Makes miniatures and previews off the user-interface thread: one worker reads each
// picture's bytes through the content reader into memory and decodes them to the requested
// edge. The queue holds the visible rows only; a new queue (scrolling, another folder,
// another tile size) replaces the old one, and results of an old generation are dropped by
// the receiver. Nothing here touches a widget: results leave through the `done` callback,
// which the window marshals onto its own thread.
#pragma once

#include <QImage>
#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include "store/file_entry.h"

namespace torvane::gui {

struct MiniatureJob {
  uint64_t key = 0;  // the receiver's name for the picture (a row of the listing)
  FileEntry entry;
  int pictureClass = 0;
  int edge = 0;  // 0: the preview's edge
};

class MiniatureLoader {
 public:
  // Reads the entry's bytes into memory; false when it cannot. `stop` is set when the loader
  // stops, so that a long read can end early.
  using Reader = std::function<bool(const FileEntry&, const std::atomic<bool>& stop, std::vector<std::byte>&)>;
  // Called on the worker thread for every finished job; a null image means "show the icon".
  using Done = std::function<void(uint64_t generation, uint64_t key, const QImage& image)>;

  MiniatureLoader(Reader read, Done done);
  ~MiniatureLoader();
  MiniatureLoader(const MiniatureLoader&) = delete;
  MiniatureLoader& operator=(const MiniatureLoader&) = delete;

  // Replaces the queue with `jobs` (done in order) for `generation`.
  void Queue(uint64_t generation, std::vector<MiniatureJob> jobs);
  // Stops the worker and waits for it; the callback is not called afterwards.
  void Stop();
  // Jobs finished since the start (tests and the benchmark).
  uint64_t Finished() const { return finished_.load(); }

 private:
  void Run();

  Reader read_;
  Done done_;
  std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<MiniatureJob> queue_;
  uint64_t generation_ = 0;
  std::atomic<bool> stop_{false};
  std::atomic<uint64_t> finished_{0};
  std::thread worker_;
};

}  // namespace torvane::gui
