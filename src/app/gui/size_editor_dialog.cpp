#include "app/gui/size_editor_dialog.h"

#include <QComboBox>
#include <QDialogButtonBox>
#include <QHBoxLayout>
#include <QLineEdit>
#include <QVBoxLayout>

#include "app/gui/gui_app.h"

namespace torvane::gui {

SizeEditorDialog::SizeEditorDialog(explorer::ResultsModel& model, size_t row, QWidget* parent)
    : QDialog(parent), model_(model), row_(row), edit_(new QLineEdit(this)), unit_(new QComboBox(this)) {
  setWindowTitle(Tr("WINDOW_FILE_SIZE", "#C"));
  edit_->setText(QString::fromStdString(model_.SizeEditTextAt(row_)));
  for (const auto name : explorer::kSizeUnitNames) unit_->addItem(QString::fromUtf8(name.data(), name.size()));
  auto* layout = new QVBoxLayout(this);
  auto* line = new QHBoxLayout;
  line->addWidget(edit_, 1);
  line->addWidget(unit_);
  layout->addLayout(line);
  auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
  connect(buttons, &QDialogButtonBox::accepted, this, [this] {
    if (Apply(edit_->text(), static_cast<explorer::SizeUnit>(unit_->currentIndex()))) accept();
  });
  connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
  layout->addWidget(buttons);
}

bool SizeEditorDialog::Apply(const QString& text, explorer::SizeUnit unit) {
  const explorer::SizeParse parse = model_.EditSize(row_, FromQ(text), unit);
  if (parse.ok()) return true;
  ShowMessage(this, QString::fromLatin1(kProductName),
              Tr("WINDOW_FILE_SIZE", explorer::SizeParseMessageKey(parse.error)), MessageIcon::kWarning);
  return false;
}

}  // namespace torvane::gui
