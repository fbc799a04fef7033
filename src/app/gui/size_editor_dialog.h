// "Edit file size": a new size for an entry whose recorded size is wrong (a RAW file cut
// short or run long), checked against the volume by the model.
#pragma once

#include <QDialog>

#include "explorer/results_model.h"

class QComboBox;
class QLineEdit;

namespace torvane::gui {

class SizeEditorDialog : public QDialog {
  Q_OBJECT
 public:
  SizeEditorDialog(explorer::ResultsModel& model, size_t row, QWidget* parent = nullptr);
  // Applies `text` in `unit` as OK does; false (with the message shown) when refused.
  bool Apply(const QString& text, explorer::SizeUnit unit);

 private:
  explorer::ResultsModel& model_;
  size_t row_;
  QLineEdit* edit_;
  QComboBox* unit_;
};

}  // namespace torvane::gui
