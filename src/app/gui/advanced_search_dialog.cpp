#include "app/gui/advanced_search_dialog.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QFormLayout>
#include <QLineEdit>

#include "app/gui/gui_app.h"

namespace torvane::gui {
namespace {
constexpr std::string_view kSection = "WINDOW_ADVANCED_SEARCH";
}

AdvancedSearchDialog::AdvancedSearchDialog(QWidget* parent)
    : QDialog(parent),
      names_(new QLineEdit(this)),
      content_(new QLineEdit(this)),
      kind_(new QComboBox(this)),
      caseSensitive_(new QCheckBox(Tr(kSection, "szCaseSensitive"), this)),
      wholeWords_(new QCheckBox(Tr(kSection, "szWholeWords"), this)),
      minSize_(new QLineEdit(this)),
      maxSize_(new QLineEdit(this)),
      deletedOnly_(new QCheckBox(Tr(kSection, "szDeletedOnly"), this)) {
  setWindowTitle(Tr(kSection, "#C"));
  kind_->addItems({QStringLiteral("ASCII"), QStringLiteral("UNICODE"), QStringLiteral("HEX")});
  names_->setPlaceholderText(QStringLiteral("*.jpg, *.doc*"));
  auto* form = new QFormLayout(this);
  form->addRow(Tr(kSection, "szNames"), names_);
  form->addRow(Tr(kSection, "szContent"), content_);
  form->addRow(Tr(kSection, "szContentKind"), kind_);
  form->addRow(caseSensitive_);
  form->addRow(wholeWords_);
  form->addRow(Tr(kSection, "szMinSize"), minSize_);
  form->addRow(Tr(kSection, "szMaxSize"), maxSize_);
  form->addRow(deletedOnly_);
  auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
  connect(buttons, &QDialogButtonBox::accepted, this, [this] {
    explorer::SearchCriteria c;
    if (Criteria(c)) accept();
  });
  connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
  form->addRow(buttons);
}

void AdvancedSearchDialog::SetFields(const QString& names, const QString& content, explorer::ContentKind kind) {
  names_->setText(names);
  content_->setText(content);
  kind_->setCurrentIndex(std::max(0, static_cast<int>(kind) - 1));
}

bool AdvancedSearchDialog::Criteria(explorer::SearchCriteria& out) {
  out = {};
  const auto refuse = [this](const QString& text) {
    ShowMessage(this, QString::fromLatin1(kProductName), text, MessageIcon::kWarning);
    return false;
  };
  for (const QString& mask : names_->text().split(QLatin1Char(','), Qt::SkipEmptyParts))
    if (!mask.trimmed().isEmpty()) out.masks.push_back(mask.trimmed().toStdU16String());
  if (!content_->text().isEmpty()) {
    out.contentKind = static_cast<explorer::ContentKind>(kind_->currentIndex() + 1);
    if (out.contentKind == explorer::ContentKind::kHex) {
      std::string key;
      if (!explorer::ParseHexPattern(FromQ(content_->text()), out.contentBytes, key))
        return refuse(Tr("EXT_STRINGS", key));
    } else if (!explorer::TextPattern(content_->text().toStdU16String(), out.contentKind, out.contentBytes)) {
      return refuse(Tr("EXT_STRINGS", "szTextAndHex"));
    }
    out.caseSensitive = caseSensitive_->isChecked();
    out.wholeWords = wholeWords_->isChecked();
  }
  bool ok = true;
  if (!minSize_->text().trimmed().isEmpty()) {
    out.minSize = minSize_->text().trimmed().toULongLong(&ok);
    if (!ok) return refuse(Tr("EXT_STRINGS", "szBadNumber", {FromQ(minSize_->text())}));
  }
  if (!maxSize_->text().trimmed().isEmpty()) {
    out.maxSize = maxSize_->text().trimmed().toULongLong(&ok);
    if (!ok) return refuse(Tr("EXT_STRINGS", "szBadNumber", {FromQ(maxSize_->text())}));
  }
  out.deletedOnly = deletedOnly_->isChecked();
  if (out.masks.empty() && out.contentKind == explorer::ContentKind::kNone && !out.minSize && !out.maxSize &&
      !out.deletedOnly)
    return refuse(Tr("EXT_STRINGS", "szPleaseEnterSearchData"));
  return true;
}

}  // namespace torvane::gui
