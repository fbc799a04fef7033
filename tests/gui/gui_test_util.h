// Helpers of the desktop application's tests: the fixture paths, dialogs answered by a
// script instead of a user, and waiting on the event loop with a timeout.
#pragma once

#include <QString>
#include <QTest>
#include <deque>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "app/gui/gui_app.h"
#include "test_util.h"

namespace torvane::guitest {

inline std::filesystem::path Fixture(const std::string& relative) {
  return std::filesystem::path(TORVANE_TEST_DATA) / relative;
}
inline QString QFixture(const std::string& relative) {
  return QString::fromStdString(Fixture(relative).string());
}

// Replaces the application's dialogs for the lifetime of the object: messages are recorded,
// questions answered from `answers` (then No), file dialogs from `files` (then cancelled).
struct ScriptedDialogs {
  struct Message {
    QString title, text;
    MessageIcon icon;
  };
  std::vector<Message> messages;
  std::vector<QString> questions;
  std::deque<bool> answers;
  std::deque<QString> files;
  std::deque<QString> folders;
  gui::DialogHooks saved;

  ScriptedDialogs() {
    saved = gui::App().dialogs;
    gui::DialogHooks& d = gui::App().dialogs;
    d.message = [this](QWidget*, const QString& title, const QString& text, MessageIcon icon) {
      messages.push_back({title, text, icon});
    };
    d.askYesNo = [this](QWidget*, const QString&, const QString& text) {
      questions.push_back(text);
      if (answers.empty()) return false;
      const bool a = answers.front();
      answers.pop_front();
      return a;
    };
    d.fileName = [this](QWidget*, const QString&, const QString&, const QString&, bool) {
      if (files.empty()) return QString();
      QString f = files.front();
      files.pop_front();
      return f;
    };
    d.folderName = [this](QWidget*, const QString&, const QString&) {
      if (folders.empty()) return QString();
      QString f = folders.front();
      folders.pop_front();
      return f;
    };
  }
  ~ScriptedDialogs() { gui::App().dialogs = saved; }
  bool HasMessageContaining(const QString& part) const {
    for (const auto& m : messages)
      if (m.text.contains(part)) return true;
    return false;
  }
};

// A temporary folder that makes files from text and names them as Qt strings.
struct TempDirQ : test::TempDir {
  QString File(const std::string& name, const std::string& text) const {
    test::WriteFile(path() / name, text);
    return Path(name);
  }
  QString Path(const std::string& name) const { return QString::fromStdString((path() / name).string()); }
};

// Runs the event loop until `done` holds or `ms` pass; true when it held.
inline bool WaitFor(const std::function<bool()>& done, int ms = 30000) {
  return QTest::qWaitFor(done, ms);
}

}  // namespace torvane::guitest
