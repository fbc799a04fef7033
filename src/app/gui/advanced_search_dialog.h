// "Advanced search": names, content (text, UNICODE text or hex bytes), sizes and states of
// the entries to find. The criteria are checked here; the search runs in the explorer.
#pragma once

#include <QDialog>

#include "explorer/search.h"

class QCheckBox;
class QComboBox;
class QLineEdit;

namespace torvane::gui {

class AdvancedSearchDialog : public QDialog {
  Q_OBJECT
 public:
  explicit AdvancedSearchDialog(QWidget* parent = nullptr);
  // The criteria of the dialog; false (with the message shown) when they are not valid.
  bool Criteria(explorer::SearchCriteria& out);
  // Fills the fields (tests).
  void SetFields(const QString& names, const QString& content, explorer::ContentKind kind);

 private:
  QLineEdit* names_;
  QLineEdit* content_;
  QComboBox* kind_;
  QCheckBox* caseSensitive_;
  QCheckBox* wholeWords_;
  QLineEdit* minSize_;
  QLineEdit* maxSize_;
  QCheckBox* deletedOnly_;
};

}  // namespace torvane::gui
