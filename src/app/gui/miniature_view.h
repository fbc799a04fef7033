// The miniatures of the current folder: the list's rows as tiles (a list view in icon mode)
// with a delegate that draws each row's miniature once it is made, or its type icon. Only
// the visible rows are queued; scrolling, another folder or another tile size queue again.
#pragma once

#include <QHash>
#include <QImage>
#include <QListView>
#include <QStyledItemDelegate>
#include <memory>

#include "app/gui/miniature_loader.h"

namespace torvane::gui {

class MiniatureView : public QListView {
  Q_OBJECT
 public:
  // `read` reads an entry's bytes for the worker; `entryOfRow` gives the entry of a row.
  MiniatureView(MiniatureLoader::Reader read, std::function<bool(int row, FileEntry&)> entryOfRow,
                QWidget* parent = nullptr);
  ~MiniatureView() override;

  void SetTileEdge(int edge);
  int TileEdge() const { return edge_; }
  // The miniature of a row: made (an image), impossible (null, "icon"), or not yet (false).
  bool Miniature(int row, QImage& image) const;
  // Drops the miniatures (another folder) and queues the visible rows again.
  void Reset();
  // Stops the worker (before the volume closes).
  void StopWorker();
  uint64_t MiniaturesMade() const { return loader_ ? loader_->Finished() : 0; }

 signals:
  // A miniature arrived and was drawn.
  void miniatureReady(int row);

 protected:
  void scrollContentsBy(int dx, int dy) override;
  void resizeEvent(QResizeEvent* event) override;
  void showEvent(QShowEvent* event) override;
  void updateGeometries() override;

 private:
  void QueueVisible();
  void ScheduleQueue();
  void Accept(uint64_t generation, uint64_t key, QImage image);

  std::function<bool(int row, FileEntry&)> entryOfRow_;
  std::unique_ptr<MiniatureLoader> loader_;
  QHash<int, QImage> slots_;  // rows done: an image, or null for "show the icon"
  uint64_t generation_ = 1;
  int edge_ = 96;
  bool queueScheduled_ = false;
};

}  // namespace torvane::gui
