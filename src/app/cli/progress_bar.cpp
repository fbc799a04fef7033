#include "app/cli/progress_bar.h"

#include <unistd.h>

#include <cstdio>

#include "util/format.h"

namespace torvane::cli {

ProgressBar::ProgressBar(std::string label)
    : label_(std::move(label)), enabled_(isatty(STDERR_FILENO) != 0), start_(std::chrono::steady_clock::now()) {}

void ProgressBar::Update(uint64_t doneBytes, uint64_t totalBytes) {
  if (!enabled_) return;
  const auto now = std::chrono::steady_clock::now();
  if (drawn_ && doneBytes < totalBytes && now - lastDraw_ < std::chrono::milliseconds(100)) return;
  lastDraw_ = now;
  drawn_ = true;
  constexpr int kWidth = 30;
  const double fraction = totalBytes == 0 ? 1.0 : static_cast<double>(doneBytes) / totalBytes;
  const int filled = static_cast<int>(fraction * kWidth);
  const double seconds = std::chrono::duration<double>(now - start_).count();
  const uint64_t rate = seconds > 0 ? static_cast<uint64_t>(doneBytes / seconds) : 0;
  std::fprintf(stderr, "\r%s [%-*s] %3d%%  %s / %s  %s/s   ", label_.c_str(), kWidth, std::string(filled, '#').c_str(),
               static_cast<int>(fraction * 100), HumanSize(doneBytes).c_str(), HumanSize(totalBytes).c_str(),
               HumanSize(rate).c_str());
  std::fflush(stderr);
}

void ProgressBar::Finish() {
  if (enabled_ && drawn_) std::fputc('\n', stderr);
  drawn_ = false;
}

}  // namespace torvane::cli
