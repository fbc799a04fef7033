#include "recovery/recovery_selection.h"

#include <algorithm>

#include "util/text.h"

namespace torvane::recovery {

Selection SelectItems(const DynList& list, const ItemTree& tree, const SelectionRequest& request) {
  Selection selection;
  const auto& wanted = request.paths;
  std::vector<bool> matched(wanted.size(), false);
  std::vector<std::string> names;
  for (uint64_t i = 0; i < EntryCount(list); ++i) {
    const FileEntry e = EntryAt(list, i);
    bool lost = false;
    const auto components = tree.PathComponents(i, &lost);
    if (components.empty()) continue;
    names.clear();
    std::string path;
    for (auto c : components) {
      names.push_back(ToUtf8(c));
      path += (path.empty() ? "" : "/") + names.back();
    }
    bool named = false;
    for (size_t k = 0; k < wanted.size(); ++k) {
      if (!wanted[k].empty() && wanted[k].size() <= names.size() &&
          std::equal(wanted[k].begin(), wanted[k].end(), names.begin())) {
        named = true;
        matched[k] = true;
      }
    }
    if (!named && !request.all) continue;
    if (request.deletedOnly && e.state == kStateExisting) continue;
    if (!named && !request.includeSystem && !lost && tree.IsSystemEntry(i)) continue;
    SelectedItem selected;
    selected.item.entry = e;
    selected.item.name = std::u16string(components.back());
    for (size_t k = 0; k + 1 < components.size(); ++k) selected.item.folders.emplace_back(components[k]);
    selected.path = std::move(path);
    selection.items.push_back(std::move(selected));
  }
  for (size_t k = 0; k < wanted.size(); ++k)
    if (!matched[k]) selection.unmatched.push_back(k);
  return selection;
}

}  // namespace torvane::recovery
