#include "app/gui/gui_app.h"

#include <QFileDialog>
#include <QFileInfo>
#include <QMessageBox>

namespace torvane::gui {
namespace {

QMessageBox::Icon BoxIcon(MessageIcon icon) {
  switch (icon) {
    case MessageIcon::kInformation:
      return QMessageBox::Information;
    case MessageIcon::kWarning:
      return QMessageBox::Warning;
    case MessageIcon::kError:
      return QMessageBox::Critical;
    case MessageIcon::kQuestion:
      return QMessageBox::Question;
  }
  return QMessageBox::NoIcon;
}

DialogHooks QtDialogs() {
  DialogHooks d;
  d.message = [](QWidget* parent, const QString& title, const QString& text, MessageIcon icon) {
    QMessageBox box(BoxIcon(icon), title, text, QMessageBox::Ok, parent);
    box.exec();
  };
  d.askYesNo = [](QWidget* parent, const QString& title, const QString& text) {
    return QMessageBox::question(parent, title, text, QMessageBox::Yes | QMessageBox::No, QMessageBox::No) ==
           QMessageBox::Yes;
  };
  d.fileName = [](QWidget* parent, const QString& title, const QString& filter, const QString& suggested, bool save) {
    // Replacing is confirmed by AskSaveFile, in the program's own words.
    return save ? QFileDialog::getSaveFileName(parent, title, suggested, filter, nullptr,
                                               QFileDialog::DontConfirmOverwrite)
                : QFileDialog::getOpenFileName(parent, title, suggested, filter);
  };
  d.folderName = [](QWidget* parent, const QString& title, const QString& start) {
    return QFileDialog::getExistingDirectory(parent, title, start);
  };
  return d;
}

}  // namespace

GuiApp& App() {
  static GuiApp app{app::Folders{}, app::LanguageTable{}, QtDialogs(), {}};
  return app;
}

QString ToQ(std::string_view utf8) {
  return QString::fromUtf8(utf8.data(), static_cast<qsizetype>(utf8.size()));
}

std::string FromQ(const QString& text) {
  return text.toUtf8().toStdString();
}

std::filesystem::path PathFromQ(const QString& text) {
  return std::filesystem::path(FromQ(text));
}

QString QFromPath(const std::filesystem::path& path) {
  return ToQ(path.string());
}

QString Tr(std::string_view section, std::string_view key, std::initializer_list<std::string_view> args) {
  const std::string text = App().language.Text(section, key);
  return ToQ(args.size() == 0 ? text : app::FormatText(text, args));
}

void ShowMessage(QWidget* parent, const QString& title, const QString& text, MessageIcon icon) {
  if (App().dialogs.message) App().dialogs.message(parent, title, text, icon);
}

bool AskYesNo(QWidget* parent, const QString& title, const QString& text) {
  return App().dialogs.askYesNo && App().dialogs.askYesNo(parent, title, text);
}

QString AskOpenFile(QWidget* parent, const QString& title, const QString& filter) {
  return App().dialogs.fileName ? App().dialogs.fileName(parent, title, filter, QString(), false) : QString();
}

QString AskSaveFile(QWidget* parent, const QString& title, const QString& filter, const QString& suggested) {
  if (!App().dialogs.fileName) return {};
  const QString file = App().dialogs.fileName(parent, title, filter, suggested, true);
  if (file.isEmpty()) return {};
  if (QFileInfo::exists(file) &&
      !AskYesNo(parent, ToQ(kProductName), Tr("EXT_STRINGS", "szReplaceFile", {FromQ(file)})))
    return {};
  return file;
}

QString AskFolder(QWidget* parent, const QString& title, const QString& start) {
  return App().dialogs.folderName ? App().dialogs.folderName(parent, title, start) : QString();
}

bool LoadLanguage(const std::string& name, std::string& note) {
  GuiApp& a = App();
  if (name.empty()) {
    a.language = app::LanguageTable();
    return true;
  }
  return a.language.Load(name, app::LanguageFolders(a.folders.settings, app::ProgramFolder()), note);
}

}  // namespace torvane::gui
