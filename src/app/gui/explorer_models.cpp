#include "app/gui/explorer_models.h"

#include <QApplication>
#include <QBrush>
#include <QColor>
#include <QStyle>

#include "app/gui/gui_app.h"
#include "app/gui/picture_decoder.h"
#include "raw/catalogue/file_type_catalogue.h"
#include "util/text.h"

namespace torvane::gui {

using explorer::FolderRef;

int PictureClassOfRow(const explorer::Row& row) {
  if (row.IsFolderRow()) return -1;
  if (row.entry.kind == kKindRaw) {
    const FileTypeEntry* type = FileTypeByNumber(row.entry.link);
    if (type == nullptr) return -1;
    std::string_view ext = type->extension;
    if (!ext.empty() && ext.front() == '.') ext.remove_prefix(1);
    return PictureClass(ext);
  }
  const size_t dot = row.name.rfind(u'.');
  if (dot == std::u16string::npos || dot == 0) return -1;
  return PictureClass(ToUtf8(row.name.substr(dot + 1)));
}

// ---- Tree ----

ExplorerTreeModel::ExplorerTreeModel(explorer::ResultsModel& model, QObject* parent)
    : QAbstractItemModel(parent), model_(model) {
  folderIcon_ = QApplication::style()->standardIcon(QStyle::SP_DirIcon);
  Reload();
}

void ExplorerTreeModel::Reload() {
  beginResetModel();
  root_ = std::make_unique<Node>();
  root_->name = QString::fromStdU16String(model_.RootLabel());
  endResetModel();
}

ExplorerTreeModel::Node* ExplorerTreeModel::NodeOf(const QModelIndex& index) const {
  return index.isValid() ? static_cast<Node*>(index.internalPointer()) : nullptr;
}

QModelIndex ExplorerTreeModel::IndexOfNode(Node* node) const {
  if (node == nullptr) return {};
  if (node->parent == nullptr) return createIndex(0, 0, node);
  const auto& siblings = node->parent->children;
  for (size_t i = 0; i < siblings.size(); ++i)
    if (siblings[i].get() == node) return createIndex(static_cast<int>(i), 0, node);
  return {};
}

QModelIndex ExplorerTreeModel::index(int row, int column, const QModelIndex& parent) const {
  if (column != 0 || row < 0) return {};
  if (!parent.isValid()) return row == 0 ? createIndex(0, 0, root_.get()) : QModelIndex();
  Node* p = NodeOf(parent);
  if (p == nullptr || static_cast<size_t>(row) >= p->children.size()) return {};
  return createIndex(row, 0, p->children[static_cast<size_t>(row)].get());
}

QModelIndex ExplorerTreeModel::parent(const QModelIndex& child) const {
  Node* n = NodeOf(child);
  return n == nullptr ? QModelIndex() : IndexOfNode(n->parent);
}

int ExplorerTreeModel::rowCount(const QModelIndex& parent) const {
  if (!parent.isValid()) return 1;
  Node* n = NodeOf(parent);
  return n == nullptr ? 0 : static_cast<int>(n->children.size());
}

bool ExplorerTreeModel::hasChildren(const QModelIndex& parent) const {
  if (!parent.isValid()) return true;
  Node* n = NodeOf(parent);
  // A "RAW files" type folder holds files only: no expand arrow before it is opened.
  if (n != nullptr && explorer::IsRawTypeFolderRef(n->ref)) return false;
  return n != nullptr && (!n->fetched || !n->children.empty());
}

bool ExplorerTreeModel::canFetchMore(const QModelIndex& parent) const {
  Node* n = NodeOf(parent);
  return n != nullptr && !n->fetched;
}

void ExplorerTreeModel::fetchMore(const QModelIndex& parent) {
  Node* n = NodeOf(parent);
  if (n == nullptr || n->fetched) return;
  n->fetched = true;
  const std::vector<explorer::FolderNode> subs = model_.Folders().SubFolders(n->ref);
  if (subs.empty()) return;
  beginInsertRows(parent, 0, static_cast<int>(subs.size()) - 1);
  for (const auto& s : subs) {
    auto child = std::make_unique<Node>();
    child->ref = s.ref;
    child->name = QString::fromStdU16String(s.name);
    child->parent = n;
    n->children.push_back(std::move(child));
  }
  endInsertRows();
}

QVariant ExplorerTreeModel::data(const QModelIndex& index, int role) const {
  Node* n = NodeOf(index);
  if (n == nullptr) return {};
  if (role == Qt::DisplayRole) {
    const auto label = labels_.find(n->ref);
    return label != labels_.end() ? *label : n->name;
  }
  if (role == Qt::DecorationRole) return folderIcon_;
  return {};
}

FolderRef ExplorerTreeModel::RefOf(const QModelIndex& index) const {
  Node* n = NodeOf(index);
  return n == nullptr ? explorer::kRootFolderRef : n->ref;
}

QModelIndex ExplorerTreeModel::IndexOf(FolderRef ref) {
  Node* node = root_.get();
  if (ref == explorer::kRootFolderRef) return IndexOfNode(node);
  const explorer::FolderChain chain = model_.Folders().ChainOf(ref);
  for (FolderRef step : chain.folders) {
    if (!node->fetched) fetchMore(IndexOfNode(node));
    Node* next = nullptr;
    for (const auto& c : node->children)
      if (c->ref == step) next = c.get();
    if (next == nullptr) break;
    node = next;
  }
  return IndexOfNode(node);
}

void ExplorerTreeModel::SetLabel(FolderRef ref, const QString& label) {
  labels_[ref] = label;
  std::vector<Node*> todo{root_.get()};
  while (!todo.empty()) {
    Node* n = todo.back();
    todo.pop_back();
    if (n->ref == ref) {
      const QModelIndex i = IndexOfNode(n);
      emit dataChanged(i, i, {Qt::DisplayRole});
    }
    if (n == root_.get())
      for (auto& c : n->children) todo.push_back(c.get());
  }
}

// ---- List ----

ExplorerListModel::ExplorerListModel(explorer::ResultsModel& model, QObject* parent)
    : QAbstractTableModel(parent), model_(model) {
  folderIcon_ = QApplication::style()->standardIcon(QStyle::SP_DirIcon);
  fileIcon_ = QApplication::style()->standardIcon(QStyle::SP_FileIcon);
}

int ExplorerListModel::rowCount(const QModelIndex& parent) const {
  return parent.isValid() ? 0 : static_cast<int>(std::min<size_t>(model_.RowCount(), INT_MAX));
}

int ExplorerListModel::columnCount(const QModelIndex& parent) const {
  return parent.isValid() ? 0 : explorer::kColumnCount;
}

QVariant ExplorerListModel::data(const QModelIndex& index, int role) const {
  if (!index.isValid()) return {};
  const auto row = static_cast<size_t>(index.row());
  const auto column = static_cast<explorer::Column>(index.column());
  switch (role) {
    case Qt::DisplayRole:
    case Qt::ToolTipRole: {
      ++rowsFormed_;
      if (column == explorer::kColumnRating) {
        const int image = model_.RatingImageAt(row);
        if (image < 0) return {};
        // Five stars for a whole file, fewer as more of it is overwritten.
        const int stars = std::min(5, (image + 1) / 2);
        return QString(stars, QChar(0x2605)) + QString(5 - stars, QChar(0x2606));
      }
      return QString::fromStdString(model_.Cell(row, column));
    }
    case Qt::ForegroundRole: {
      const uint32_t c = model_.RowColourAt(row);
      return QBrush(QColor((c >> 16) & 0xFF, (c >> 8) & 0xFF, c & 0xFF));
    }
    case Qt::CheckStateRole: {
      if (column != explorer::kColumnName) return {};
      const auto r = model_.RowAt(row);
      if (!r || !explorer::HasCheckBox(r->entry)) return {};
      return explorer::IsChecked(r->entry) ? Qt::Checked : Qt::Unchecked;
    }
    case Qt::DecorationRole: {
      if (column != explorer::kColumnName) return {};
      const auto r = model_.RowAt(row);
      if (!r) return {};
      return r->IsFolderRow() ? folderIcon_ : fileIcon_;
    }
    case Qt::TextAlignmentRole:
      return column == explorer::kColumnSize ? QVariant(Qt::AlignRight | Qt::AlignVCenter) : QVariant();
    case kEntryRole: {
      const auto r = model_.RowAt(row);
      return r ? QVariant::fromValue<qulonglong>(r->index) : QVariant();
    }
    case kPictureClassRole: {
      const auto r = model_.RowAt(row);
      return r ? PictureClassOfRow(*r) : -1;
    }
    default:
      return {};
  }
}

bool ExplorerListModel::setData(const QModelIndex& index, const QVariant& value, int role) {
  if (!index.isValid() || role != Qt::CheckStateRole) return false;
  const auto row = static_cast<size_t>(index.row());
  const auto r = model_.RowAt(row);
  if (!r || !explorer::HasCheckBox(r->entry)) return false;
  const bool want = value.toInt() == Qt::Checked;
  if (want != explorer::IsChecked(r->entry)) {
    const size_t rows[] = {row};
    model_.Toggle(rows);
  }
  emit dataChanged(this->index(index.row(), 0), this->index(index.row(), explorer::kColumnCount - 1));
  return true;
}

Qt::ItemFlags ExplorerListModel::flags(const QModelIndex& index) const {
  Qt::ItemFlags f = QAbstractTableModel::flags(index);
  if (index.isValid() && index.column() == explorer::kColumnName) f |= Qt::ItemIsUserCheckable;
  return f;
}

QVariant ExplorerListModel::headerData(int section, Qt::Orientation orientation, int role) const {
  if (orientation != Qt::Horizontal || role != Qt::DisplayRole || section < 0 || section >= explorer::kColumnCount)
    return {};
  return Tr("WINDOW_EXPLORER", explorer::kColumns[section].key);
}

void ExplorerListModel::sort(int column, Qt::SortOrder) {
  if (column < 0 || column >= explorer::kColumnCount) return;
  emit layoutAboutToBeChanged();
  model_.SortBy(static_cast<explorer::Column>(column));
  emit layoutChanged();
}

void ExplorerListModel::Apply(explorer::FolderListing listing, const explorer::FolderChain& chain,
                              explorer::ListingCause cause) {
  beginResetModel();
  model_.ApplyListing(std::move(listing), chain, cause);
  endResetModel();
}

void ExplorerListModel::Changed() {
  beginResetModel();
  endResetModel();
}

}  // namespace torvane::gui
