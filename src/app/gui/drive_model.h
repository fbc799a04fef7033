// The drive list as a Qt model: a group with the image's heading holding the volumes of the
// loaded disk, then the group "Physical drives" with the whole-disk row. The model keeps its
// own copy of the rows, taken on the UI thread after the enumeration said it is complete.
#pragma once

#include <QAbstractItemModel>
#include <QString>
#include <cstdint>
#include <vector>

#include "partitions/partition_record.h"

namespace torvane::gui {

class DriveModel : public QAbstractItemModel {
  Q_OBJECT

 public:
  explicit DriveModel(QObject* parent = nullptr);

  // The rows of the drive list in its order; `imageHeading` heads the volumes ("Image: x").
  void SetRows(std::vector<PartitionRecord> rows, const QString& imageHeading);
  void Clear();
  // Retranslates the headers and group names.
  void Retranslate();

  const std::vector<PartitionRecord>& Rows() const { return rows_; }
  // The drive-list row of an index, or -1 for a group heading or an invalid index.
  int64_t RowOf(const QModelIndex& index) const;
  QModelIndex IndexOf(size_t row) const;

  QModelIndex index(int row, int column, const QModelIndex& parent = {}) const override;
  QModelIndex parent(const QModelIndex& child) const override;
  int rowCount(const QModelIndex& parent = {}) const override;
  int columnCount(const QModelIndex& parent = {}) const override;
  QVariant data(const QModelIndex& index, int role) const override;
  QVariant headerData(int section, Qt::Orientation orientation, int role) const override;
  bool setHeaderData(int section, Qt::Orientation orientation, const QVariant& value, int role) override;
  Qt::ItemFlags flags(const QModelIndex& index) const override;

 private:
  struct Group {
    QString heading;
    std::vector<size_t> rows;  // indices into rows_
  };
  std::vector<PartitionRecord> rows_;
  std::vector<Group> groups_;
  QString imageHeading_;
  QStringList headers_;
};

}  // namespace torvane::gui
