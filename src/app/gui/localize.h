// Translating a window as a whole by its control keys: widgets carry a control identifier
// (SetControlId); "#C" is the window title, "#<id>" / "#V<id>" a control's text, "##<id>"
// its tooltip, a list's value its column titles separated by ";"; the items of a menu bar
// are "M#<n>" and "M#<n>#<m>" inside submenus (separators not counted).
#pragma once

#include <QString>
#include <cstdint>
#include <string_view>

class QObject;
class QWidget;
class QMenu;

namespace torvane::gui {

// Gives a widget (or a QAction) its control identifier.
void SetControlId(QObject* object, uint32_t id);
// Sets the English texts of a window from the built-in table and then what the language
// file says, for the window, its controls (buttons, labels, group boxes, check boxes, line
// edits' placeholders, item views' headers) and its menu bar. Call when the window is built
// and after the language changes.
void LocalizeWindow(QWidget* window, std::string_view section);
// The same for a pop-up menu whose key is `menuKey` ("M#2", or a name of the window's own).
void LocalizeMenu(QMenu* menu, std::string_view section, std::string_view menuKey);

}  // namespace torvane::gui
