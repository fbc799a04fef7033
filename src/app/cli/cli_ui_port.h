// The command line's way of showing messages and answering questions: messages go to
// stderr; questions are answered by --yes or --no, and without either they cannot be
// answered (the answer is No and the command reports that it needed one).
#pragma once

#include <atomic>
#include <cstdio>
#include <mutex>
#include <optional>
#include <string>

#include "util/ui_port.h"

namespace torvane::cli {

class CliUiPort final : public UiPort {
 public:
  explicit CliUiPort(std::optional<bool> answer) : answer_(answer) {}
  void ShowMessage(std::string_view title, std::string_view text, MessageIcon) override {
    std::lock_guard<std::mutex> lock(mutex_);
    std::fprintf(stderr, "\ntorvane: %.*s: %.*s\n", static_cast<int>(title.size()), title.data(),
                 static_cast<int>(text.size()), text.data());
  }
  bool AskYesNo(std::string_view title, std::string_view text) override {
    std::lock_guard<std::mutex> lock(mutex_);
    if (answer_) return *answer_;
    if (unanswered_.empty()) unanswered_ = std::string(title) + ": " + std::string(text);
    return false;
  }
  // The first question that had no answer, or empty.
  std::string Unanswered() {
    std::lock_guard<std::mutex> lock(mutex_);
    return unanswered_;
  }

 private:
  std::optional<bool> answer_;
  std::mutex mutex_;
  std::string unanswered_;
};

}  // namespace torvane::cli
