#include "app/gui/localize.h"

#include <QAbstractButton>
#include <QAbstractItemModel>
#include <QAbstractItemView>
#include <QAction>
#include <QGroupBox>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QTreeView>
#include <QTreeWidget>
#include <QVariant>
#include <QWidget>
#include <optional>

#include "app/gui/gui_app.h"

namespace torvane::gui {
namespace {

constexpr const char* kIdProperty = "torvaneControlId";

// What the language file says for a key, else the built-in English text, else nothing.
std::optional<std::string> Lookup(std::string_view section, const std::string& key) {
  if (auto o = App().language.Override(section, key)) return o;
  if (auto e = app::EnglishText(section, key)) return std::string(*e);
  return std::nullopt;
}

std::optional<std::string> ControlText(std::string_view section, uint32_t id) {
  // A preferred text of the file wins over its plain one, and either over the English.
  if (auto o = App().language.Override(section, app::PreferredControlKey(id))) return o;
  if (auto o = App().language.Override(section, app::ControlKey(id))) return o;
  if (auto e = app::EnglishText(section, app::PreferredControlKey(id))) return std::string(*e);
  if (auto e = app::EnglishText(section, app::ControlKey(id))) return std::string(*e);
  return std::nullopt;
}

void SetColumns(QAbstractItemView* view, const std::string& value) {
  QAbstractItemModel* model = view->model();
  if (model == nullptr) return;
  const QStringList titles = ToQ(value).split(';');
  for (int c = 0; c < titles.size() && c < model->columnCount(); ++c)
    model->setHeaderData(c, Qt::Horizontal, titles[c]);
  if (auto* tw = qobject_cast<QTreeWidget*>(view)) {
    for (int c = 0; c < titles.size() && c < tw->columnCount(); ++c) tw->headerItem()->setText(c, titles[c]);
  }
}

void LocalizeActions(const QList<QAction*>& actions, std::string_view section, const std::string& parentKey) {
  uint32_t position = 0;
  for (QAction* a : actions) {
    if (a->isSeparator()) continue;
    const std::string key = app::MenuItemKey(parentKey, ++position);
    if (auto text = Lookup(section, key)) a->setText(ToQ(*text));
    if (a->menu()) LocalizeActions(a->menu()->actions(), section, key);
  }
}

}  // namespace

void SetControlId(QObject* object, uint32_t id) {
  object->setProperty(kIdProperty, QVariant::fromValue(id));
}

void LocalizeWindow(QWidget* window, std::string_view section) {
  if (auto title = Lookup(section, std::string(app::kWindowTitleKey))) window->setWindowTitle(ToQ(*title));
  for (QObject* child : window->findChildren<QObject*>()) {
    const QVariant v = child->property(kIdProperty);
    if (!v.isValid()) continue;
    const uint32_t id = v.toUInt();
    if (id == 65535) continue;
    if (auto tip = Lookup(section, app::TooltipKey(id))) {
      if (auto* w = qobject_cast<QWidget*>(child)) w->setToolTip(ToQ(*tip));
      if (auto* a = qobject_cast<QAction*>(child)) a->setToolTip(ToQ(*tip));
    }
    const auto text = ControlText(section, id);
    if (!text) continue;
    const QString q = ToQ(*text);
    if (auto* view = qobject_cast<QAbstractItemView*>(child))
      SetColumns(view, *text);
    else if (auto* b = qobject_cast<QAbstractButton*>(child))
      b->setText(q);
    else if (auto* l = qobject_cast<QLabel*>(child))
      l->setText(q);
    else if (auto* g = qobject_cast<QGroupBox*>(child))
      g->setTitle(q);
    else if (auto* e = qobject_cast<QLineEdit*>(child))
      e->setPlaceholderText(q);
    else if (auto* a = qobject_cast<QAction*>(child))
      a->setText(q);
    else if (auto* w = qobject_cast<QWidget*>(child))
      w->setWindowTitle(q);
  }
  if (auto* bar = window->findChild<QMenuBar*>(QString(), Qt::FindDirectChildrenOnly))
    LocalizeActions(bar->actions(), section, std::string(app::kMenuBarKey));
}

void LocalizeMenu(QMenu* menu, std::string_view section, std::string_view menuKey) {
  LocalizeActions(menu->actions(), section, std::string(menuKey));
}

}  // namespace torvane::gui
