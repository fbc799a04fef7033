#include "app/gui/drive_model.h"

#include <QApplication>
#include <QFont>
#include <QStyle>

#include "app/drive_list.h"
#include "app/gui/gui_app.h"
#include "util/format.h"
#include "util/text.h"

namespace torvane::gui {
namespace {

constexpr std::string_view kSection = "WINDOW_SELECT_DRIVE";
// A group's internal id; a row's is its group's index + 1.
constexpr quintptr kGroupId = 0;

QString Tooltip(const PartitionRecord& r) {
  QString tip = ToQ(RowName(r));
  const std::string second = RowSecondText(r);
  if (!second.empty()) tip += "\n" + ToQ(second);
  tip += "\n" + Tr(kSection, "szRowStart", {GroupThousands(r.startSector)});
  tip += "\n" + Tr(kSection, "szRowSize", {RowSizeText(r), GroupThousands(r.sectors)});
  if (r.damaged) tip += "\n" + Tr(kSection, "szRowDamaged");
  return tip;
}

}  // namespace

DriveModel::DriveModel(QObject* parent) : QAbstractItemModel(parent) {
  Retranslate();
}

void DriveModel::Retranslate() {
  headers_ = Tr(kSection, "#1003").split(';');
  while (headers_.size() < 4) headers_ << QString();
  if (!rows_.empty()) {
    std::vector<PartitionRecord> rows = rows_;
    SetRows(std::move(rows), imageHeading_);
  }
  emit headerDataChanged(Qt::Horizontal, 0, 3);
}

void DriveModel::Clear() {
  beginResetModel();
  rows_.clear();
  groups_.clear();
  endResetModel();
}

void DriveModel::SetRows(std::vector<PartitionRecord> rows, const QString& imageHeading) {
  beginResetModel();
  rows_ = std::move(rows);
  imageHeading_ = imageHeading;
  groups_.clear();
  Group volumes{imageHeading.isEmpty() ? Tr(kSection, "szVirtualDisks") : imageHeading, {}};
  Group physical{Tr(kSection, "szPhysicalDrives"), {}};
  for (size_t i = 0; i < rows_.size(); ++i) (rows_[i].wholeDisk ? physical : volumes).rows.push_back(i);
  if (!volumes.rows.empty() || !imageHeading.isEmpty()) groups_.push_back(std::move(volumes));
  if (!physical.rows.empty()) groups_.push_back(std::move(physical));
  endResetModel();
}

int64_t DriveModel::RowOf(const QModelIndex& index) const {
  if (!index.isValid() || index.internalId() == kGroupId) return -1;
  const size_t g = index.internalId() - 1;
  if (g >= groups_.size() || static_cast<size_t>(index.row()) >= groups_[g].rows.size()) return -1;
  return static_cast<int64_t>(groups_[g].rows[index.row()]);
}

QModelIndex DriveModel::IndexOf(size_t row) const {
  for (size_t g = 0; g < groups_.size(); ++g)
    for (size_t i = 0; i < groups_[g].rows.size(); ++i)
      if (groups_[g].rows[i] == row) return createIndex(static_cast<int>(i), 0, static_cast<quintptr>(g + 1));
  return {};
}

QModelIndex DriveModel::index(int row, int column, const QModelIndex& parent) const {
  if (row < 0 || column < 0 || column >= 4) return {};
  if (!parent.isValid()) {
    if (static_cast<size_t>(row) >= groups_.size()) return {};
    return createIndex(row, column, kGroupId);
  }
  if (parent.internalId() != kGroupId || column >= 4) return {};
  const size_t g = static_cast<size_t>(parent.row());
  if (g >= groups_.size() || static_cast<size_t>(row) >= groups_[g].rows.size()) return {};
  return createIndex(row, column, static_cast<quintptr>(g + 1));
}

QModelIndex DriveModel::parent(const QModelIndex& child) const {
  if (!child.isValid() || child.internalId() == kGroupId) return {};
  return createIndex(static_cast<int>(child.internalId() - 1), 0, kGroupId);
}

int DriveModel::rowCount(const QModelIndex& parent) const {
  if (!parent.isValid()) return static_cast<int>(groups_.size());
  if (parent.internalId() != kGroupId || parent.column() != 0) return 0;
  const size_t g = static_cast<size_t>(parent.row());
  return g < groups_.size() ? static_cast<int>(groups_[g].rows.size()) : 0;
}

int DriveModel::columnCount(const QModelIndex&) const {
  return 4;
}

QVariant DriveModel::data(const QModelIndex& index, int role) const {
  if (!index.isValid()) return {};
  if (index.internalId() == kGroupId) {
    const size_t g = static_cast<size_t>(index.row());
    if (g >= groups_.size() || index.column() != 0) return {};
    if (role == Qt::DisplayRole) return groups_[g].heading;
    if (role == Qt::DecorationRole) return QApplication::style()->standardIcon(QStyle::SP_DirIcon);
    if (role == Qt::FontRole) {
      QFont f = QApplication::font();
      f.setBold(true);
      return f;
    }
    return {};
  }
  const int64_t row = RowOf(index);
  if (row < 0) return {};
  const PartitionRecord& r = rows_[static_cast<size_t>(row)];
  switch (role) {
    case Qt::DisplayRole:
      switch (index.column()) {
        case 0:
          return ToQ(RowName(r));
        case 1:
          return ToQ(RowSecondText(r));
        case 2:
          return ToQ(RowSizeText(r));
        case 3:
          return ToQ(RowFreeSpaceText(r, FromQ(Tr(kSection, "szNoFreeSpace"))));
      }
      return {};
    case Qt::DecorationRole:
      if (index.column() != 0) return {};
      return QApplication::style()->standardIcon(r.wholeDisk ? QStyle::SP_ComputerIcon : QStyle::SP_DriveHDIcon);
    case Qt::ToolTipRole:
      return Tooltip(r);
    case Qt::TextAlignmentRole:
      return index.column() >= 2 ? QVariant(Qt::AlignRight | Qt::AlignVCenter) : QVariant();
  }
  return {};
}

QVariant DriveModel::headerData(int section, Qt::Orientation orientation, int role) const {
  if (orientation != Qt::Horizontal || role != Qt::DisplayRole || section < 0 || section >= headers_.size()) return {};
  return headers_[section];
}

bool DriveModel::setHeaderData(int section, Qt::Orientation orientation, const QVariant& value, int role) {
  if (orientation != Qt::Horizontal || role != Qt::EditRole || section < 0 || section >= headers_.size()) return false;
  headers_[section] = value.toString();
  emit headerDataChanged(orientation, section, section);
  return true;
}

Qt::ItemFlags DriveModel::flags(const QModelIndex& index) const {
  if (!index.isValid()) return Qt::NoItemFlags;
  if (index.internalId() == kGroupId) return Qt::ItemIsEnabled;
  return Qt::ItemIsEnabled | Qt::ItemIsSelectable;
}

}  // namespace torvane::gui
