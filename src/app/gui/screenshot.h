// Renders a window offscreen into a PNG: for the documentation and for reviewing windows
// without a display.
#pragma once

#include <QString>
#include <string>

class QWidget;

namespace torvane::gui {

// Lays the window out at its size, grabs it and writes the PNG; false with the reason.
bool SaveScreenshot(QWidget* window, const QString& file, std::string& error);
// True when the image has at least two distinct colours (it shows something).
bool ImageHasContent(const QString& file);

}  // namespace torvane::gui
