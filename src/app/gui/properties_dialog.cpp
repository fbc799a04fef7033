#include "app/gui/properties_dialog.h"

#include <QDialogButtonBox>
#include <QFormLayout>
#include <QLabel>

#include "app/gui/gui_app.h"
#include "util/format.h"

namespace torvane::gui {

std::string GuiTexts::Get(std::string_view section, std::string_view key) const {
  return App().language.Text(section, key);
}

std::string GuiTexts::Format(std::string_view pattern, std::initializer_list<std::string_view> args) const {
  return app::FormatText(pattern, args);
}

PropertiesDialog::PropertiesDialog(explorer::ResultsModel& model, const std::optional<explorer::Row>& row, size_t index,
                                   QWidget* parent)
    : QDialog(parent) {
  constexpr std::string_view kSection = "WINDOW_PROPERTIES";
  setWindowTitle(Tr(kSection, "#C"));
  auto* form = new QFormLayout(this);
  const auto add = [&](const char* key, const QString& value) {
    auto* label = new QLabel(value, this);
    label->setTextInteractionFlags(Qt::TextSelectableByMouse);
    form->addRow(Tr(kSection, key), label);
  };
  if (!row) {
    add("szName", QString::fromStdU16String(model.CurrentPath()));
    add("szItems", QString::fromStdString(GroupThousands(model.RowCount())));
  } else {
    const GuiTexts texts;
    add("szName", QString::fromStdU16String(row->name));
    add("szType", QString::fromStdString(model.TypeDescription(index, texts)));
    add("szSize", QString::fromStdString(GroupThousands(row->entry.size)) + QStringLiteral(" B"));
    add("szState", QString::number(row->entry.state));
    add("szDate", QString::fromStdString(model.Cell(index, explorer::kColumnDate)));
    add("szLocation",
        row->entry.kind == kKindRaw
            ? QStringLiteral("sector %1").arg(row->entry.dataStart)
            : QStringLiteral("record %1, cluster %2").arg(row->entry.recordNumber).arg(row->entry.dataStart));
  }
  auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok, this);
  connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
  form->addRow(buttons);
}

}  // namespace torvane::gui
