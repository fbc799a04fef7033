// The hex view: one found file as a dump of 16 bytes a row in a window of its own. The rows
// are formed on a worker from the content reader, exactly the sectors the visible rows lie in;
// the window paints what the worker delivered and never reads the disk itself.
#pragma once

#include <QAbstractScrollArea>
#include <QMainWindow>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "app/language.h"
#include "explorer/hex_rows.h"

class QLabel;

namespace torvane::gui {

class HexPager;

// The rows of one file, painted from pages the pager delivers.
class HexViewWidget : public QAbstractScrollArea {
  Q_OBJECT
 public:
  explicit HexViewWidget(QWidget* parent = nullptr);
  ~HexViewWidget() override;

  // Shows `rows` (a new file; the pager of the old one is stopped first).
  void ShowRows(explorer::HexRows rows, const std::string& offsetTitle);
  // Stops the pager and shows nothing (before the volume closes).
  void Clear();

  uint64_t FirstVisibleRow() const { return firstRow_; }
  int VisibleRowCount() const;
  void ScrollToRow(uint64_t row);
  // The formatted rows delivered for the current position (tests, screenshots).
  const std::vector<std::string>& PageLines() const { return pageLines_; }
  uint64_t PageFirstRow() const { return pageFirst_; }

 signals:
  // A page of rows arrived from the worker and was painted.
  void pageReady();

 protected:
  void paintEvent(QPaintEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;
  void scrollContentsBy(int dx, int dy) override;

 private:
  void UpdateScrollBar();
  void RequestPage();
  void AcceptPage(uint64_t serial, uint64_t first, std::vector<std::string> lines);
  int RowHeight() const;

  std::unique_ptr<HexPager> pager_;
  uint64_t rowCount_ = 0;
  uint64_t scale_ = 1;
  uint64_t firstRow_ = 0;
  uint64_t serial_ = 0;  // of the file shown: pages of an earlier file are dropped
  std::string header_;
  std::vector<std::string> pageLines_;
  uint64_t pageFirst_ = 0;
};

// The window around the rows: a File menu with "&Close" (which hides it), a status line with
// the file's size. One window serves every file the explorer opens in it.
class HexViewWindow : public QMainWindow {
  Q_OBJECT
 public:
  HexViewWindow(const app::LanguageTable& language, QWidget* parent = nullptr);

  // Shows the file `name` of `rows.Size()` bytes and brings the window to the front.
  void ShowFile(const QString& name, explorer::HexRows rows);
  HexViewWidget* View() const { return view_; }

 protected:
  void closeEvent(QCloseEvent* event) override;

 private:
  const app::LanguageTable& language_;
  HexViewWidget* view_;
  QLabel* status_;
};

}  // namespace torvane::gui
