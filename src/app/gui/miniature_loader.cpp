#include "app/gui/miniature_loader.h"

#include <QByteArray>

#include "app/gui/picture_decoder.h"

namespace torvane::gui {

MiniatureLoader::MiniatureLoader(Reader read, Done done) : read_(std::move(read)), done_(std::move(done)) {
  worker_ = std::thread([this] { Run(); });
}

MiniatureLoader::~MiniatureLoader() {
  Stop();
}

void MiniatureLoader::Queue(uint64_t generation, std::vector<MiniatureJob> jobs) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    generation_ = generation;
    queue_.assign(std::make_move_iterator(jobs.begin()), std::make_move_iterator(jobs.end()));
  }
  wake_.notify_one();
}

void MiniatureLoader::Stop() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stop_ = true;
    queue_.clear();
  }
  wake_.notify_one();
  if (worker_.joinable()) worker_.join();
}

void MiniatureLoader::Run() {
  for (;;) {
    MiniatureJob job;
    uint64_t generation = 0;
    {
      std::unique_lock<std::mutex> lock(mutex_);
      wake_.wait(lock, [this] { return stop_.load() || !queue_.empty(); });
      if (stop_) return;
      job = queue_.front();
      queue_.pop_front();
      generation = generation_;
    }
    QImage image;
    std::vector<std::byte> bytes;
    if (read_(job.entry, stop_, bytes) && !stop_) {
      const QByteArray data =
          QByteArray::fromRawData(reinterpret_cast<const char*>(bytes.data()), static_cast<qsizetype>(bytes.size()));
      image = DecodePicture(data, job.edge, job.pictureClass).image;
      image.detach();  // the bytes go away with this job
    }
    if (stop_) return;
    ++finished_;
    done_(generation, job.key, image);
  }
}

}  // namespace torvane::gui
