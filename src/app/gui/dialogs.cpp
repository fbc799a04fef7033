#include "app/gui/dialogs.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QDir>
#include <QFormLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QRadioButton>
#include <QVBoxLayout>
#include <set>

#include "app/gui/gui_app.h"
#include "app/gui/localize.h"

namespace torvane::gui {
namespace {

constexpr std::string_view kSettingsSection = "WINDOW_DRIVE_SETTINGS";
constexpr std::string_view kModeSection = "WINDOW_HDD_SCAN_MODE";
constexpr std::string_view kFoldersSection = "WINDOW_CONFIGURATION_FOLDERS";
constexpr std::string_view kLanguageSection = "WINDOW_LANG";

QDialogButtonBox* OkCancel(QDialog* dialog) {
  auto* box = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, dialog);
  SetControlId(box->button(QDialogButtonBox::Ok), 1);
  SetControlId(box->button(QDialogButtonBox::Cancel), 2);
  QObject::connect(box, &QDialogButtonBox::accepted, dialog, &QDialog::accept);
  QObject::connect(box, &QDialogButtonBox::rejected, dialog, &QDialog::reject);
  return box;
}

QLabel* Label(QWidget* parent, uint32_t id) {
  auto* l = new QLabel(parent);
  SetControlId(l, id);
  return l;
}

}  // namespace

DriveSettingsDialog::DriveSettingsDialog(const DriveSettings& settings, bool rawMode, const QString& volumeName,
                                         QWidget* parent)
    : QDialog(parent), base_(settings) {
  auto* layout = new QVBoxLayout(this);
  auto* name = new QLabel(volumeName, this);
  QFont bold = name->font();
  bold.setBold(true);
  name->setFont(bold);
  layout->addWidget(name);
  overrideBox = new QCheckBox(this);
  SetControlId(overrideBox, 1001);
  layout->addWidget(overrideBox);
  auto* form = new QFormLayout;
  kind = new QComboBox(this);
  kind->addItems({"FAT16", "FAT32", "NTFS", "EXFAT"});
  cluster = new QComboBox(this);
  cluster->addItem(Tr(kSettingsSection, "szAuto"));
  for (uint32_t n = 1; n <= 8; ++n) cluster->addItem(QString::number(1u << (n + 8)));
  fatCopy = new QComboBox(this);
  fatCopy->addItems({"FAT1", "FAT2"});
  form->addRow(Label(this, 1002), kind);
  form->addRow(Label(this, 1003), cluster);
  form->addRow(Label(this, 1004), fatCopy);
  layout->addLayout(form);
  damaged = new QCheckBox(this);
  SetControlId(damaged, 1005);
  reverse = new QCheckBox(this);
  SetControlId(reverse, 1006);
  raw = new QCheckBox(this);
  SetControlId(raw, 1007);
  layout->addWidget(damaged);
  layout->addWidget(reverse);
  layout->addWidget(raw);
  layout->addWidget(OkCancel(this));

  overrideBox->setChecked(settings.override != 0);
  kind->setCurrentIndex(std::min<int>(settings.kindIndex, 3));
  cluster->setCurrentIndex(std::min<int>(settings.clusterIndex, 8));
  fatCopy->setCurrentIndex(settings.fatChoice ? 1 : 0);
  damaged->setChecked(settings.damaged != 0);
  reverse->setChecked(settings.reverse != 0);
  raw->setChecked(rawMode);
  auto enable = [this] {
    kind->setEnabled(overrideBox->isChecked());
    cluster->setEnabled(overrideBox->isChecked());
  };
  connect(overrideBox, &QCheckBox::toggled, this, enable);
  enable();
  LocalizeWindow(this, kSettingsSection);
}

DriveSettings DriveSettingsDialog::Settings() const {
  DriveSettings s = base_;
  s.override = overrideBox->isChecked() ? 1 : 0;
  s.kindIndex = static_cast<uint8_t>(kind->currentIndex());
  s.clusterIndex = static_cast<uint8_t>(cluster->currentIndex());
  s.fatChoice = static_cast<uint8_t>(fatCopy->currentIndex());
  s.damaged = damaged->isChecked() ? 1 : 0;
  s.reverse = reverse->isChecked() ? 1 : 0;
  return s;
}

bool DriveSettingsDialog::RawMode() const {
  return raw->isChecked();
}

ScanModeDialog::ScanModeDialog(QWidget* parent) : QDialog(parent) {
  auto* layout = new QVBoxLayout(this);
  layout->addWidget(Label(this, 1001));
  deep = new QRadioButton(this);
  SetControlId(deep, 1002);
  fast = new QRadioButton(this);
  SetControlId(fast, 1003);
  direct = new QRadioButton(this);
  SetControlId(direct, 1004);
  deep->setChecked(true);
  layout->addWidget(deep);
  layout->addWidget(fast);
  layout->addWidget(direct);
  layout->addWidget(OkCancel(this));
  LocalizeWindow(this, kModeSection);
}

ScanModeDialog::Choice ScanModeDialog::Chosen() const {
  return direct->isChecked() ? Choice::kDirectScan : fast->isChecked() ? Choice::kFastSearch : Choice::kDeepSearch;
}

ConfigurationFoldersDialog::ConfigurationFoldersDialog(QWidget* parent) : QDialog(parent) {
  const app::Folders& f = App().folders;
  auto* layout = new QVBoxLayout(this);
  auto row = [&](uint32_t labelId, uint32_t browseId, QLineEdit*& line, const std::string& value, bool appendTemp) {
    layout->addWidget(Label(this, labelId));
    auto* h = new QHBoxLayout;
    line = new QLineEdit(ToQ(value), this);
    auto* browse = new QPushButton(this);
    SetControlId(browse, browseId);
    h->addWidget(line, 1);
    h->addWidget(browse);
    layout->addLayout(h);
    QLineEdit* target = line;
    connect(browse, &QPushButton::clicked, this, [this, target, appendTemp] {
      QString folder = AskFolder(this, Tr(kFoldersSection, "#C"), target->text());
      if (folder.isEmpty()) return;
      if (!folder.endsWith('/')) folder += '/';
      if (appendTemp) {
        target->setText(folder + "TQTemp/");
        target->setSelection(static_cast<int>(folder.size()), 7);
      } else {
        target->setText(folder);
      }
    });
  };
  row(1001, 1003, settings, f.registry.sp, false);
  // With no temporary folder set, the system's is proposed.
  row(1002, 1004, temp, f.registry.tp.empty() ? QDir::tempPath().toStdString() : f.registry.tp, true);
  layout->addWidget(OkCancel(this));
  setMinimumWidth(460);
  LocalizeWindow(this, kFoldersSection);
}

bool ConfigurationFoldersDialog::CheckFolder(QLineEdit* line, const char* relativeKey, const char* createKey,
                                             const char* permissionKey, std::string& stored) {
  const QString text = line->text().trimmed();
  if (text.isEmpty()) {
    stored.clear();
    return true;
  }
  if (!QDir::isAbsolutePath(text)) {
    ShowMessage(this, ToQ(kProductName), Tr(kFoldersSection, relativeKey), MessageIcon::kInformation);
    return false;
  }
  std::string error;
  const std::filesystem::path folder = PathFromQ(text);
  std::error_code ec;
  std::filesystem::create_directories(folder, ec);
  if (ec || !std::filesystem::is_directory(folder)) {
    ShowMessage(this, Tr(kFoldersSection, "szFolderAccessProblem"), Tr(kFoldersSection, createKey),
                MessageIcon::kWarning);
    return false;
  }
  if (!app::CheckWritableFolder(folder, error)) {
    ShowMessage(this, Tr(kFoldersSection, "szPermissionsProblem"), Tr(kFoldersSection, permissionKey),
                MessageIcon::kWarning);
    return false;
  }
  stored = folder.string();
  return true;
}

bool ConfigurationFoldersDialog::Apply() {
  app::Folders& f = App().folders;
  app::RegistryValues values = f.registry;
  if (!CheckFolder(settings, "szSettingsNotFull", "szSettingsCannotCreate", "szSettingsDenied", values.sp) ||
      !CheckFolder(temp, "szTempNotFull", "szTempCannotCreate", "szTempDenied", values.tp))
    return false;
  std::string error;
  if (!app::SaveRegistry(f.base, values, error)) {
    ShowMessage(this, ToQ(kProductName), ToQ(error), MessageIcon::kError);
    return false;
  }
  f.registry = values;
  f.settings = values.sp.empty() ? f.base : std::filesystem::path(values.sp);
  if (!values.tp.empty()) f.temp = values.tp;
  return true;
}

void ConfigurationFoldersDialog::accept() {
  if (Apply()) QDialog::accept();
}

LanguageDialog::LanguageDialog(QWidget* parent) : QDialog(parent) {
  auto* layout = new QVBoxLayout(this);
  list = new QListWidget(this);
  layout->addWidget(list);
  layout->addWidget(OkCancel(this));
  std::set<std::string> names{std::string(app::kDefaultLanguage)};
  for (const auto& folder : app::LanguageFolders(App().folders.settings, app::ProgramFolder())) {
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator(folder, ec))
      if (entry.path().extension() == ".lng" && app::IsValidLanguageName(entry.path().stem().string()))
        names.insert(entry.path().stem().string());
  }
  for (const auto& n : names) {
    auto* item = new QListWidgetItem(ToQ(n), list);
    if (n == App().language.Name()) list->setCurrentItem(item);
  }
  connect(list, &QListWidget::itemDoubleClicked, this, &QDialog::accept);
  LocalizeWindow(this, kLanguageSection);
}

bool LanguageDialog::Apply() {
  if (list->currentItem() == nullptr) return false;
  const std::string name = FromQ(list->currentItem()->text());
  std::string note;
  const bool ok = LoadLanguage(name, note);
  if (!ok) {
    ShowMessage(this, ToQ(kProductName), ToQ(note), MessageIcon::kWarning);
    return false;
  }
  App().folders.config.language = name;
  return true;
}

void LanguageDialog::accept() {
  if (Apply()) QDialog::accept();
}

}  // namespace torvane::gui
