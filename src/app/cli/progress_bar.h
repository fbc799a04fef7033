// A one-line progress bar on stderr, drawn only when stderr is a terminal.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>

namespace torvane::cli {

class ProgressBar {
 public:
  explicit ProgressBar(std::string label);
  // Redraws at most ten times a second, and always at the end.
  void Update(uint64_t doneBytes, uint64_t totalBytes);
  // Ends the line the bar was drawn on.
  void Finish();

 private:
  std::string label_;
  bool enabled_;
  bool drawn_ = false;
  std::chrono::steady_clock::time_point start_;
  std::chrono::steady_clock::time_point lastDraw_;
};

}  // namespace torvane::cli
