// The engine's UiPort for the desktop application: messages from any thread are queued onto
// the UI thread and shown there; a question from a worker waits for the user's answer on the
// UI thread, a question from the UI thread is asked at once. A window must therefore never
// join (wait for) a worker that may still ask a question: stop it and let it end on its own.
#pragma once

#include <QObject>
#include <QPointer>
#include <QWidget>

#include "util/ui_port.h"

namespace torvane::gui {

class QtUiPort final : public UiPort {
 public:
  // `parent` is the window messages belong to; it lives on the UI thread.
  explicit QtUiPort(QWidget* parent) : parent_(parent) {}

  void ShowMessage(std::string_view title, std::string_view text, MessageIcon icon) override;
  bool AskYesNo(std::string_view title, std::string_view text) override;

 private:
  QPointer<QWidget> parent_;
};

}  // namespace torvane::gui
