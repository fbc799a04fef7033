// Thin Qt adapters over the explorer's results model: the folder tree (children fetched when
// a folder is first expanded) and the file list (rows formed on demand from the current
// listing). Both live on the interface thread; the listing itself is formed on a worker and
// swapped in by the window.
#pragma once

#include <QAbstractItemModel>
#include <QAbstractTableModel>
#include <QHash>
#include <QIcon>
#include <memory>
#include <vector>

#include "explorer/results_model.h"

namespace torvane::gui {

class ExplorerTreeModel : public QAbstractItemModel {
  Q_OBJECT
 public:
  explicit ExplorerTreeModel(explorer::ResultsModel& model, QObject* parent = nullptr);

  QModelIndex index(int row, int column, const QModelIndex& parent = {}) const override;
  QModelIndex parent(const QModelIndex& child) const override;
  int rowCount(const QModelIndex& parent = {}) const override;
  int columnCount(const QModelIndex& = {}) const override { return 1; }
  bool hasChildren(const QModelIndex& parent = {}) const override;
  bool canFetchMore(const QModelIndex& parent) const override;
  void fetchMore(const QModelIndex& parent) override;
  QVariant data(const QModelIndex& index, int role) const override;

  explorer::FolderRef RefOf(const QModelIndex& index) const;
  // The index of a folder, fetching the folders on its chain.
  QModelIndex IndexOf(explorer::FolderRef ref);
  // A virtual folder's label as the scan gives it ("Lost files (12)").
  void SetLabel(explorer::FolderRef ref, const QString& label);
  // Forgets the fetched folders (the scan ended or a session was loaded).
  void Reload();

 private:
  struct Node {
    explorer::FolderRef ref = explorer::kRootFolderRef;
    QString name;
    Node* parent = nullptr;
    std::vector<std::unique_ptr<Node>> children;
    bool fetched = false;
  };
  Node* NodeOf(const QModelIndex& index) const;
  QModelIndex IndexOfNode(Node* node) const;

  explorer::ResultsModel& model_;
  std::unique_ptr<Node> root_;
  QHash<explorer::FolderRef, QString> labels_;
  QIcon folderIcon_;
};

class ExplorerListModel : public QAbstractTableModel {
  Q_OBJECT
 public:
  explicit ExplorerListModel(explorer::ResultsModel& model, QObject* parent = nullptr);

  int rowCount(const QModelIndex& parent = {}) const override;
  int columnCount(const QModelIndex& parent = {}) const override;
  QVariant data(const QModelIndex& index, int role) const override;
  bool setData(const QModelIndex& index, const QVariant& value, int role) override;
  Qt::ItemFlags flags(const QModelIndex& index) const override;
  QVariant headerData(int section, Qt::Orientation orientation, int role) const override;
  void sort(int column, Qt::SortOrder order) override;

  // Swaps a listing in (formed on a worker) and tells the views.
  void Apply(explorer::FolderListing listing, const explorer::FolderChain& chain, explorer::ListingCause cause);
  // The model changed below the views (check marks, navigation on this thread).
  void Changed();
  // Rows formed for the views since the start (the benchmark counts them).
  uint64_t RowsFormed() const { return rowsFormed_; }

  static constexpr int kEntryRole = Qt::UserRole + 1;  // the row's index in its list
  static constexpr int kPictureClassRole = Qt::UserRole + 2;

 private:
  explorer::ResultsModel& model_;
  QIcon folderIcon_, fileIcon_;
  mutable uint64_t rowsFormed_ = 0;
};

// The picture class of a row (-1: not a picture), from its name or its RAW file type.
int PictureClassOfRow(const explorer::Row& row);

}  // namespace torvane::gui
