#include "app/gui/screenshot.h"

#include <QApplication>
#include <QImage>
#include <QPixmap>
#include <QWidget>

namespace torvane::gui {

bool SaveScreenshot(QWidget* window, const QString& file, std::string& error) {
  window->ensurePolished();
  if (!window->isVisible()) {
    window->setAttribute(Qt::WA_DontShowOnScreen, true);
    window->show();
  }
  QApplication::processEvents();
  const QPixmap pixmap = window->grab();
  if (pixmap.isNull()) {
    error = "the window could not be rendered";
    return false;
  }
  if (!pixmap.save(file, "PNG")) {
    error = "cannot write " + file.toStdString();
    return false;
  }
  return true;
}

bool ImageHasContent(const QString& file) {
  const QImage image(file);
  if (image.isNull() || image.width() < 8 || image.height() < 8) return false;
  const QRgb first = image.pixel(0, 0);
  for (int y = 0; y < image.height(); y += 3)
    for (int x = 0; x < image.width(); x += 3)
      if (image.pixel(x, y) != first) return true;
  return false;
}

}  // namespace torvane::gui
