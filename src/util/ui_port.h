// How the engine talks to the user. Front ends implement UiPort (dialogs in the GUI, stderr and
// command-line answers in the CLI); the engine itself never prints and never reads input.
#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

namespace torvane {

enum class MessageIcon { kInformation, kWarning, kError, kQuestion };

class UiPort {
 public:
  virtual ~UiPort() = default;
  // May be called from any thread, including scan workers; an implementation must not keep
  // the caller waiting for long (the GUI queues the message onto its UI thread).
  virtual void ShowMessage(std::string_view title, std::string_view text, MessageIcon icon) = 0;
  virtual bool AskYesNo(std::string_view title, std::string_view text) = 0;
};

// Records everything asked of it, for tests; thread-safe. AskYesNo answers a preset value.
class RecordingUiPort : public UiPort {
 public:
  struct Message {
    std::string title;
    std::string text;
    MessageIcon icon = MessageIcon::kInformation;
    bool question = false;  // recorded from AskYesNo
  };

  explicit RecordingUiPort(bool answer = false) : answer_(answer) {}

  void ShowMessage(std::string_view title, std::string_view text, MessageIcon icon) override;
  bool AskYesNo(std::string_view title, std::string_view text) override;

  void SetAnswer(bool answer) { answer_ = answer; }
  std::vector<Message> Messages() const;
  size_t Count() const;
  // How many recorded messages (not questions) have exactly this text.
  size_t CountText(std::string_view text) const;

 private:
  mutable std::mutex mutex_;
  std::vector<Message> messages_;
  std::atomic<bool> answer_;
};

// Passes each distinct message text on once and counts every occurrence, so that a fault
// that repeats on a worker thread (an allocation that keeps failing) reaches the user once
// and never floods or stalls the front end. With no port behind it messages are only counted.
// The port behind it is called without any lock of the filter held.
class MessageOnceFilter : public UiPort {
 public:
  explicit MessageOnceFilter(UiPort* target = nullptr) : target_(target) {}

  void SetTarget(UiPort* target) { target_.store(target); }
  UiPort* Target() const { return target_.load(); }

  void ShowMessage(std::string_view title, std::string_view text, MessageIcon icon) override;
  // Questions are never filtered; with no port behind the filter the answer is no.
  bool AskYesNo(std::string_view title, std::string_view text) override;

  // Occurrences of a text, the one shown included.
  uint64_t Count(std::string_view text) const;
  void ResetCounts();

 private:
  std::atomic<UiPort*> target_;
  mutable std::mutex mutex_;
  std::map<std::string, uint64_t, std::less<>> counts_;
};

}  // namespace torvane
