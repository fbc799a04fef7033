// The display filter window: which states and names the listings show. Changes apply at
// once; the explorer lists its folder again.
#pragma once

#include <QCheckBox>
#include <QDialog>
#include <vector>

#include "explorer/display_filter.h"

class QLineEdit;

namespace torvane::gui {

class FilterWindow : public QDialog {
  Q_OBJECT
 public:
  FilterWindow(explorer::DisplayFilter& filter, bool ntfs, QWidget* parent = nullptr);
  // Sets a state box (tests) as the user would.
  void SetState(uint32_t bit, bool shown);
  void SetPattern(const QString& line);

 signals:
  void filterChanged();

 private:
  void Apply();

  explorer::DisplayFilter& filter_;
  std::vector<std::pair<uint32_t, QCheckBox*>> boxes_;
  QLineEdit* pattern_;
};

}  // namespace torvane::gui
