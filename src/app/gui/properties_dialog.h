// The properties of a row of the list (or of the tree's folder): name, type, size, state,
// date and where the entry lies.
#pragma once

#include <QDialog>
#include <optional>

#include "explorer/results_model.h"

namespace torvane::gui {

class PropertiesDialog : public QDialog {
  Q_OBJECT
 public:
  // `row` empty: the current folder.
  PropertiesDialog(explorer::ResultsModel& model, const std::optional<explorer::Row>& row, size_t index,
                   QWidget* parent = nullptr);
};

// The language tables as the explorer's model asks for texts.
class GuiTexts final : public explorer::Texts {
 public:
  std::string Get(std::string_view section, std::string_view key) const override;
  std::string Format(std::string_view pattern, std::initializer_list<std::string_view> args) const override;
};

}  // namespace torvane::gui
