#include "app/gui/filter_window.h"

#include <QComboBox>
#include <QFormLayout>
#include <QGroupBox>
#include <QLineEdit>
#include <QVBoxLayout>

#include "app/gui/gui_app.h"

namespace torvane::gui {
namespace {

constexpr std::string_view kSection = "WINDOW_FILTER";

struct StateBox {
  uint32_t bit;
  const char* key;
};
constexpr StateBox kStates[] = {
    {explorer::kFilterExisting, "szExisting"},       {explorer::kFilterDeleted, "szDeleted"},
    {explorer::kFilterOverwritten, "szOverwritten"}, {explorer::kFilterNotDetected, "szNotDetected"},
    {explorer::kFilterEncrypted, "szEncrypted"},     {explorer::kFilterCompressed, "szCompressed"},
    {explorer::kFilterMetafiles, "szMetafiles"},     {explorer::kFilterFiles, "szFiles"},
    {explorer::kFilterFolders, "szFolders"},
};

}  // namespace

FilterWindow::FilterWindow(explorer::DisplayFilter& filter, bool ntfs, QWidget* parent)
    : QDialog(parent, Qt::Tool), filter_(filter), pattern_(new QLineEdit(this)) {
  setWindowTitle(Tr(kSection, "#C"));
  auto* layout = new QVBoxLayout(this);
  auto* states = new QGroupBox(Tr(kSection, "szStates"), this);
  auto* stateLayout = new QVBoxLayout(states);
  const uint32_t mask = filter_.Mask();
  for (const StateBox& s : kStates) {
    auto* box = new QCheckBox(Tr(kSection, s.key), states);
    box->setChecked((mask & s.bit) != 0);
    if (!ntfs && (s.bit & explorer::kFilterNtfsOnly) != 0) box->setEnabled(false);
    connect(box, &QCheckBox::toggled, this, &FilterWindow::Apply);
    stateLayout->addWidget(box);
    boxes_.emplace_back(s.bit, box);
  }
  layout->addWidget(states);
  auto* names = new QFormLayout;
  auto* presets = new QComboBox(this);
  for (const char* key : {"szAny", "szGraphic", "szAudio", "szVideo", "szOffice", "szSystem"})
    presets->addItem(Tr(kSection, key));
  names->addRow(Tr(kSection, "szPreset"), presets);
  pattern_->setText(QString::fromStdU16String(filter_.PatternLine()));
  names->addRow(Tr(kSection, "szPattern"), pattern_);
  layout->addLayout(names);
  connect(presets, QOverload<int>::of(&QComboBox::activated), this, [this](int index) {
    filter_.SetPreset(static_cast<explorer::FilterPreset>(index));
    pattern_->setText(QString::fromStdU16String(filter_.PatternLine()));
    emit filterChanged();
  });
  connect(pattern_, &QLineEdit::editingFinished, this, &FilterWindow::Apply);
}

void FilterWindow::Apply() {
  uint32_t mask = explorer::kFilterAlways;
  for (const auto& [bit, box] : boxes_)
    if (box->isChecked()) mask |= bit;
  filter_.SetMask(mask);
  filter_.SetPattern(pattern_->text().toStdU16String());
  emit filterChanged();
}

void FilterWindow::SetState(uint32_t bit, bool shown) {
  for (const auto& [b, box] : boxes_)
    if (b == bit) box->setChecked(shown);
}

void FilterWindow::SetPattern(const QString& line) {
  pattern_->setText(line);
  Apply();
}

}  // namespace torvane::gui
