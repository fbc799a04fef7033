#include "app/gui/hex_view_window.h"

#include <QCloseEvent>
#include <QFontDatabase>
#include <QLabel>
#include <QMenuBar>
#include <QMetaObject>
#include <QPainter>
#include <QPointer>
#include <QScrollBar>
#include <QStatusBar>
#include <algorithm>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "util/format.h"

namespace torvane::gui {

// Forms the rows of one file on its own thread: the latest request wins, earlier ones that
// were not started are dropped.
class HexPager {
 public:
  using Done = std::function<void(uint64_t first, std::vector<std::string> lines)>;
  HexPager(explorer::HexRows rows, Done done) : rows_(std::move(rows)), done_(std::move(done)) {
    worker_ = std::thread([this] { Run(); });
  }
  ~HexPager() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      stop_ = true;
    }
    wake_.notify_one();
    worker_.join();
  }
  void Request(uint64_t first, uint64_t count) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      first_ = first;
      count_ = count;
      pending_ = true;
    }
    wake_.notify_one();
  }

 private:
  void Run() {
    for (;;) {
      uint64_t first = 0, count = 0;
      {
        std::unique_lock<std::mutex> lock(mutex_);
        wake_.wait(lock, [this] { return stop_ || pending_; });
        if (stop_) return;
        pending_ = false;
        first = first_;
        count = count_;
      }
      std::vector<std::string> lines;
      for (uint64_t row = first; row < rows_.RowCount() && row - first < count; ++row) {
        lines.push_back(explorer::FormatHexRow(rows_.Row(row)));
        std::lock_guard<std::mutex> lock(mutex_);
        if (stop_ || pending_) break;  // a newer page is wanted
      }
      std::lock_guard<std::mutex> lock(mutex_);
      if (stop_) return;
      if (!pending_) done_(first, std::move(lines));
    }
  }

  explorer::HexRows rows_;
  Done done_;
  std::mutex mutex_;
  std::condition_variable wake_;
  bool stop_ = false, pending_ = false;
  uint64_t first_ = 0, count_ = 0;
  std::thread worker_;
};

HexViewWidget::HexViewWidget(QWidget* parent) : QAbstractScrollArea(parent) {
  QFont font = QFontDatabase::systemFont(QFontDatabase::FixedFont);
  font.setStyleHint(QFont::Monospace);
  font.setFixedPitch(true);
  setFont(font);
  viewport()->setFont(font);
  viewport()->setBackgroundRole(QPalette::Base);
  viewport()->setAutoFillBackground(true);
  horizontalScrollBar()->setRange(0, 0);
}

HexViewWidget::~HexViewWidget() {
  Clear();
}

void HexViewWidget::Clear() {
  pager_.reset();  // joins the worker
  ++serial_;
  rowCount_ = 0;
  firstRow_ = 0;
  pageLines_.clear();
  UpdateScrollBar();
  viewport()->update();
}

void HexViewWidget::ShowRows(explorer::HexRows rows, const std::string& offsetTitle) {
  Clear();
  rowCount_ = rows.RowCount();
  scale_ = rows.ScrollScale();
  header_ = explorer::HexHeader(offsetTitle);
  const uint64_t serial = serial_;
  pager_ = std::make_unique<HexPager>(std::move(rows), [this, serial](uint64_t first, std::vector<std::string> lines) {
    QMetaObject::invokeMethod(
        this,
        [this, serial, first, lines = std::move(lines)]() mutable { AcceptPage(serial, first, std::move(lines)); },
        Qt::QueuedConnection);
  });
  const int width = 8 + 80 * fontMetrics().horizontalAdvance(QLatin1Char('W'));
  horizontalScrollBar()->setRange(0, std::max(0, width - viewport()->width()));
  UpdateScrollBar();
  RequestPage();
}

int HexViewWidget::RowHeight() const {
  return fontMetrics().height();
}

int HexViewWidget::VisibleRowCount() const {
  // The header takes the first row and its separator.
  return std::max(1, (viewport()->height() - RowHeight() - 3) / RowHeight());
}

void HexViewWidget::UpdateScrollBar() {
  const uint64_t visible = static_cast<uint64_t>(VisibleRowCount());
  const uint64_t lastTop = rowCount_ > visible ? rowCount_ - visible : 0;
  QScrollBar* bar = verticalScrollBar();
  bar->blockSignals(true);
  bar->setRange(0, static_cast<int>((lastTop + scale_ - 1) / scale_));
  bar->setPageStep(std::max(1, static_cast<int>(visible / scale_)));
  bar->setSingleStep(1);
  bar->setValue(static_cast<int>(firstRow_ / scale_));
  bar->blockSignals(false);
}

void HexViewWidget::ScrollToRow(uint64_t row) {
  const uint64_t visible = static_cast<uint64_t>(VisibleRowCount());
  const uint64_t lastTop = rowCount_ > visible ? rowCount_ - visible : 0;
  firstRow_ = std::min(row, lastTop);
  UpdateScrollBar();
  RequestPage();
}

void HexViewWidget::scrollContentsBy(int, int) {
  const auto position = static_cast<uint64_t>(std::max(0, verticalScrollBar()->value()));
  const uint64_t visible = static_cast<uint64_t>(VisibleRowCount());
  const uint64_t lastTop = rowCount_ > visible ? rowCount_ - visible : 0;
  // The last position shows the last rows, whatever the scale.
  firstRow_ =
      verticalScrollBar()->value() == verticalScrollBar()->maximum() ? lastTop : std::min(position * scale_, lastTop);
  RequestPage();
  viewport()->update();
}

void HexViewWidget::resizeEvent(QResizeEvent* event) {
  QAbstractScrollArea::resizeEvent(event);
  UpdateScrollBar();
  RequestPage();
}

void HexViewWidget::RequestPage() {
  if (pager_ && rowCount_ > 0) pager_->Request(firstRow_, static_cast<uint64_t>(VisibleRowCount()) + 1);
}

void HexViewWidget::AcceptPage(uint64_t serial, uint64_t first, std::vector<std::string> lines) {
  if (serial != serial_) return;
  pageFirst_ = first;
  pageLines_ = std::move(lines);
  viewport()->update();
  emit pageReady();
}

void HexViewWidget::paintEvent(QPaintEvent*) {
  QPainter painter(viewport());
  painter.setFont(font());
  painter.translate(-horizontalScrollBar()->value(), 0);
  const QFontMetrics metrics(font());
  const int h = RowHeight(), ascent = metrics.ascent(), margin = 4;
  // Every character in a cell of its own, so that the columns line up in any font.
  const int cell = metrics.horizontalAdvance(QLatin1Char('W'));
  const auto drawCells = [&](int x, int y, const QString& text) {
    for (int i = 0; i < text.size(); ++i)
      if (text[i] != QLatin1Char(' ')) painter.drawText(x + i * cell, y, QString(text[i]));
  };
  const QColor blue(0, 0, 192);
  painter.setPen(blue);
  drawCells(margin, ascent, QString::fromStdString(header_));
  painter.setPen(palette().color(QPalette::Mid));
  painter.drawLine(0, h + 1, margin + 80 * cell, h + 1);
  painter.drawLine(margin + 11 * cell, 0, margin + 11 * cell, viewport()->height());
  const int visible = VisibleRowCount() + 1;
  for (int i = 0; i < visible; ++i) {
    const uint64_t row = firstRow_ + static_cast<uint64_t>(i);
    if (row < pageFirst_ || row - pageFirst_ >= pageLines_.size()) continue;  // not delivered yet
    const QString line = QString::fromStdString(pageLines_[static_cast<size_t>(row - pageFirst_)]);
    const int y = h + 3 + i * h + ascent;
    painter.setPen(blue);
    drawCells(margin, y, line.left(10));
    painter.setPen(palette().color(QPalette::Text));
    drawCells(margin + 12 * cell, y, line.mid(12));
  }
}

HexViewWindow::HexViewWindow(const app::LanguageTable& language, QWidget* parent)
    : QMainWindow(parent), language_(language), view_(new HexViewWidget(this)), status_(new QLabel(this)) {
  setCentralWidget(view_);
  statusBar()->addWidget(status_, 1);
  QMenu* file = menuBar()->addMenu(QString::fromStdString(language_.Text("WINDOW_HEX_VIEW", "M#1")));
  QAction* close = file->addAction(QString::fromStdString(language_.Text("WINDOW_HEX_VIEW", "M#1#1")));
  connect(close, &QAction::triggered, this, &QWidget::hide);
  resize(820, 480);
}

void HexViewWindow::ShowFile(const QString& name, explorer::HexRows rows) {
  const uint64_t size = rows.Size();
  setWindowTitle(QStringLiteral("%1 - %2").arg(
      name, QString::fromStdString(language_.Text("WINDOW_HEX_VIEW", app::kWindowTitleKey))));
  view_->ShowRows(std::move(rows), language_.Text("WINDOW_HEX_VIEW", "szOffset"));
  status_->setText(QString::fromStdString(
      app::FormatText(language_.Text("WINDOW_HEX_VIEW", "szSizeBytes"), {GroupThousands(size)})));
  show();
  raise();
  activateWindow();
}

void HexViewWindow::closeEvent(QCloseEvent* event) {
  // Closed windows are hidden and kept for the next file; the worker stops at once.
  view_->Clear();
  hide();
  event->ignore();
}

}  // namespace torvane::gui
