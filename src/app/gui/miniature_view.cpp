#include "app/gui/miniature_view.h"

#include <QMetaObject>
#include <QPainter>
#include <QScrollBar>
#include <QShowEvent>
#include <QTimer>

#include "app/gui/explorer_models.h"

namespace torvane::gui {
namespace {

class MiniatureDelegate : public QStyledItemDelegate {
 public:
  explicit MiniatureDelegate(MiniatureView* view) : QStyledItemDelegate(view), view_(view) {}

  QSize sizeHint(const QStyleOptionViewItem& option, const QModelIndex&) const override {
    const int edge = view_->TileEdge();
    return QSize(edge + 16, edge + option.fontMetrics.height() * 2 + 8);
  }

  void paint(QPainter* painter, const QStyleOptionViewItem& option, const QModelIndex& index) const override {
    const int edge = view_->TileEdge();
    const QRect tile = option.rect.adjusted(2, 2, -2, -2);
    if (option.state & QStyle::State_Selected) painter->fillRect(tile, option.palette.highlight().color().lighter(170));
    const QRect picture(tile.left() + (tile.width() - edge) / 2, tile.top() + 2, edge, edge);
    QImage image;
    if (view_->Miniature(index.row(), image) && !image.isNull()) {
      const QSize s = image.size().scaled(edge, edge, Qt::KeepAspectRatio);
      painter->drawImage(QRect(picture.left() + (edge - s.width()) / 2, picture.top() + (edge - s.height()) / 2,
                               s.width(), s.height()),
                         image);
    } else {
      const QIcon icon = index.data(Qt::DecorationRole).value<QIcon>();
      icon.paint(painter, picture.adjusted(edge / 4, edge / 4, -edge / 4, -edge / 4));
    }
    painter->setPen(index.data(Qt::ForegroundRole).value<QBrush>().color());
    const QRect text(tile.left(), picture.bottom() + 4, tile.width(), tile.bottom() - picture.bottom() - 4);
    const QString name =
        option.fontMetrics.elidedText(index.data(Qt::DisplayRole).toString(), Qt::ElideMiddle, text.width());
    painter->drawText(text, Qt::AlignHCenter | Qt::AlignTop, name);
    const QVariant check = index.data(Qt::CheckStateRole);
    if (check.isValid() && check.toInt() == Qt::Checked)
      painter->drawText(tile.adjusted(4, 2, 0, 0), Qt::AlignLeft | Qt::AlignTop, QString(QChar(0x2714)));
  }

 private:
  MiniatureView* view_;
};

}  // namespace

MiniatureView::MiniatureView(MiniatureLoader::Reader read, std::function<bool(int, FileEntry&)> entryOfRow,
                             QWidget* parent)
    : QListView(parent), entryOfRow_(std::move(entryOfRow)) {
  setViewMode(QListView::IconMode);
  setResizeMode(QListView::Adjust);
  setMovement(QListView::Static);
  setUniformItemSizes(true);
  setSelectionMode(QAbstractItemView::ExtendedSelection);
  setItemDelegate(new MiniatureDelegate(this));
  loader_ = std::make_unique<MiniatureLoader>(std::move(read), [this](uint64_t g, uint64_t key, const QImage& image) {
    QMetaObject::invokeMethod(
        this, [this, g, key, image] { Accept(g, key, image); }, Qt::QueuedConnection);
  });
}

MiniatureView::~MiniatureView() {
  StopWorker();
}

void MiniatureView::StopWorker() {
  if (loader_) loader_->Stop();
}

void MiniatureView::SetTileEdge(int edge) {
  edge_ = std::clamp(edge, 32, 256);
  Reset();
}

bool MiniatureView::Miniature(int row, QImage& image) const {
  const auto it = slots_.find(row);
  if (it == slots_.end()) return false;
  image = *it;
  return true;
}

void MiniatureView::Reset() {
  ++generation_;
  slots_.clear();
  viewport()->update();
  ScheduleQueue();
}

void MiniatureView::ScheduleQueue() {
  // Many changes come together (a new listing, its layout, a resize): one queue after them.
  if (queueScheduled_) return;
  queueScheduled_ = true;
  QTimer::singleShot(0, this, [this] { QueueVisible(); });
}

void MiniatureView::updateGeometries() {
  QListView::updateGeometries();
  ScheduleQueue();
}

void MiniatureView::QueueVisible() {
  queueScheduled_ = false;
  if (model() == nullptr || !isVisible() || loader_ == nullptr) return;
  executeDelayedItemsLayout();  // the tiles' places, before they are asked for
  std::vector<MiniatureJob> jobs;
  const int rows = model()->rowCount();
  const QRect area = viewport()->rect();
  // Tiles run in row order: start a little before the first visible one, end below the view.
  int first = 0;
  for (const QPoint p : {QPoint(4, 4), QPoint(area.width() / 2, area.height() / 4)}) {
    const QModelIndex at = indexAt(p);
    if (at.isValid()) {
      first = std::max(0, at.row() - 64);
      break;
    }
  }
  for (int row = first; row < rows && jobs.size() < 1024; ++row) {
    const QModelIndex index = model()->index(row, 0);
    const QRect rect = visualRect(index);
    if (rect.top() > area.bottom()) break;
    if (!rect.intersects(area)) continue;
    if (slots_.contains(row)) continue;
    const int pictureClass = index.data(ExplorerListModel::kPictureClassRole).toInt();
    MiniatureJob job;
    if (pictureClass < 0 || !entryOfRow_(row, job.entry)) {
      slots_.insert(row, QImage());  // not a picture: the icon, without asking the decoder
      continue;
    }
    job.key = static_cast<uint64_t>(row);
    job.pictureClass = pictureClass;
    job.edge = edge_;
    jobs.push_back(job);
  }
  loader_->Queue(generation_, std::move(jobs));
}

void MiniatureView::Accept(uint64_t generation, uint64_t key, QImage image) {
  if (generation != generation_) return;
  const int row = static_cast<int>(key);
  slots_.insert(row, std::move(image));
  if (model() != nullptr) update(model()->index(row, 0));
  emit miniatureReady(row);
}

void MiniatureView::scrollContentsBy(int dx, int dy) {
  QListView::scrollContentsBy(dx, dy);
  ScheduleQueue();
}

void MiniatureView::resizeEvent(QResizeEvent* event) {
  QListView::resizeEvent(event);
  ScheduleQueue();
}

void MiniatureView::showEvent(QShowEvent* event) {
  QListView::showEvent(event);
  ScheduleQueue();
}

}  // namespace torvane::gui
