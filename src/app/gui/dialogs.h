// The small dialogs of the drive selection window: "Advanced drive settings", "Physical drive
// scan" (the scan method of a whole disk), "Configuration folders" and "Language". Each is
// opened window-modal with open(); the caller reacts to accepted().
#pragma once

#include <QDialog>
#include <filesystem>
#include <string>

#include "fs/open_volume.h"
#include "partitions/partition_search.h"

class QCheckBox;
class QComboBox;
class QLineEdit;
class QListWidget;
class QRadioButton;

namespace torvane::gui {

// The user's override of what recognition says about one volume.
class DriveSettingsDialog : public QDialog {
  Q_OBJECT

 public:
  DriveSettingsDialog(const DriveSettings& settings, bool rawMode, const QString& volumeName, QWidget* parent);
  DriveSettings Settings() const;
  bool RawMode() const;

  QCheckBox* overrideBox = nullptr;
  QComboBox* kind = nullptr;
  QComboBox* cluster = nullptr;
  QComboBox* fatCopy = nullptr;
  QCheckBox* damaged = nullptr;
  QCheckBox* reverse = nullptr;
  QCheckBox* raw = nullptr;

 private:
  DriveSettings base_;
};

// How a whole disk is worked on: a partition search (deep or fast), or a direct scan of the
// whole disk in RAW mode.
class ScanModeDialog : public QDialog {
  Q_OBJECT

 public:
  enum class Choice { kDeepSearch, kFastSearch, kDirectScan };
  explicit ScanModeDialog(QWidget* parent);
  Choice Chosen() const;

  QRadioButton* deep = nullptr;
  QRadioButton* fast = nullptr;
  QRadioButton* direct = nullptr;
};

// The settings folder and the temporary folder (registry.ini's sp and tp).
class ConfigurationFoldersDialog : public QDialog {
  Q_OBJECT

 public:
  explicit ConfigurationFoldersDialog(QWidget* parent);
  // Checks and stores the folders; false (the dialog stays) with a message shown.
  bool Apply();

  QLineEdit* settings = nullptr;
  QLineEdit* temp = nullptr;

 private:
  void accept() override;
  bool CheckFolder(QLineEdit* line, const char* relativeKey, const char* createKey, const char* permissionKey,
                   std::string& stored);
};

// The language files found, the current one preselected; OK loads the chosen one.
class LanguageDialog : public QDialog {
  Q_OBJECT

 public:
  explicit LanguageDialog(QWidget* parent);
  // Loads the selected language; false with a message shown.
  bool Apply();

  QListWidget* list = nullptr;

 private:
  void accept() override;
};

}  // namespace torvane::gui
