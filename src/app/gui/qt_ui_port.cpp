#include "app/gui/qt_ui_port.h"

#include <QCoreApplication>
#include <QThread>

#include "app/gui/gui_app.h"

namespace torvane::gui {

void QtUiPort::ShowMessage(std::string_view title, std::string_view text, MessageIcon icon) {
  QWidget* parent = parent_.data();
  const QString t = ToQ(title), m = ToQ(text);
  QObject* context = parent ? static_cast<QObject*>(parent) : QCoreApplication::instance();
  if (context == nullptr) return;
  // Always queued, also from the UI thread: the engine may call while it holds its locks.
  QPointer<QWidget> guard(parent);
  QMetaObject::invokeMethod(
      context, [guard, t, m, icon] { gui::ShowMessage(guard.data(), t, m, icon); }, Qt::QueuedConnection);
}

bool QtUiPort::AskYesNo(std::string_view title, std::string_view text) {
  QWidget* parent = parent_.data();
  const QString t = ToQ(title), m = ToQ(text);
  QObject* context = parent ? static_cast<QObject*>(parent) : QCoreApplication::instance();
  if (context == nullptr) return false;
  if (QThread::currentThread() == context->thread()) return gui::AskYesNo(parent, t, m);
  bool answer = false;
  QMetaObject::invokeMethod(
      context, [&] { answer = gui::AskYesNo(parent, t, m); }, Qt::BlockingQueuedConnection);
  return answer;
}

}  // namespace torvane::gui
