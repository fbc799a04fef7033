#include "util/ui_port.h"

namespace torvane {

void RecordingUiPort::ShowMessage(std::string_view title, std::string_view text, MessageIcon icon) {
  std::lock_guard lock(mutex_);
  messages_.push_back({std::string(title), std::string(text), icon, false});
}

bool RecordingUiPort::AskYesNo(std::string_view title, std::string_view text) {
  std::lock_guard lock(mutex_);
  messages_.push_back({std::string(title), std::string(text), MessageIcon::kQuestion, true});
  return answer_.load();
}

std::vector<RecordingUiPort::Message> RecordingUiPort::Messages() const {
  std::lock_guard lock(mutex_);
  return messages_;
}

size_t RecordingUiPort::Count() const {
  std::lock_guard lock(mutex_);
  return messages_.size();
}

size_t RecordingUiPort::CountText(std::string_view text) const {
  std::lock_guard lock(mutex_);
  size_t n = 0;
  for (const Message& m : messages_)
    if (!m.question && m.text == text) ++n;
  return n;
}

void MessageOnceFilter::ShowMessage(std::string_view title, std::string_view text, MessageIcon icon) {
  bool first = false;
  {
    std::lock_guard lock(mutex_);
    auto it = counts_.find(text);
    if (it == counts_.end()) {
      counts_.emplace(std::string(text), 1);
      first = true;
    } else {
      ++it->second;
    }
  }
  if (!first) return;
  if (UiPort* target = target_.load()) target->ShowMessage(title, text, icon);
}

bool MessageOnceFilter::AskYesNo(std::string_view title, std::string_view text) {
  UiPort* target = target_.load();
  return target != nullptr && target->AskYesNo(title, text);
}

uint64_t MessageOnceFilter::Count(std::string_view text) const {
  std::lock_guard lock(mutex_);
  auto it = counts_.find(text);
  return it == counts_.end() ? 0 : it->second;
}

void MessageOnceFilter::ResetCounts() {
  std::lock_guard lock(mutex_);
  counts_.clear();
}

}  // namespace torvane
