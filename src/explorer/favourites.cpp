#include "explorer/favourites.h"

#include <algorithm>

namespace torvane::explorer {
namespace {
constexpr size_t kMaxPathUnits = 511;
}

AddFavouriteResult Favourites::Add(std::u16string path, FolderRef folder, const FolderChain& chain) {
  if (path.size() > kMaxPathUnits) path.resize(kMaxPathUnits);
  if (std::any_of(items_.begin(), items_.end(), [&](const Favourite& f) { return f.path == path; }))
    return AddFavouriteResult::kDuplicate;
  if (items_.size() >= kMaxFavourites) return AddFavouriteResult::kFull;
  items_.push_back(Favourite{std::move(path), folder, chain});
  return AddFavouriteResult::kAdded;
}

void Favourites::Restore(std::vector<Favourite> items) {
  items_.clear();
  for (auto& f : items) {
    if (items_.size() >= kMaxFavourites) break;
    if (f.path.empty()) continue;
    if (f.path.size() > kMaxPathUnits) f.path.resize(kMaxPathUnits);
    if (f.chain.folders.size() > kChainDepth) f.chain.folders.resize(kChainDepth);
    items_.push_back(std::move(f));
  }
}

std::string_view AddFavouriteMessageKey(AddFavouriteResult result) {
  switch (result) {
    case AddFavouriteResult::kDuplicate:
      return "szPathRecentlyAdded";
    case AddFavouriteResult::kFull:
      return "szFavoritesFull";
    case AddFavouriteResult::kAdded:
      break;
  }
  return {};
}

std::u16string FavouriteMenuText(size_t slot, std::u16string_view path) {
  std::u16string text = u"&";
  text += static_cast<char16_t>(u'0' + (slot + 1) % 10);
  text += u"  ";
  text += path;
  return text;
}

}  // namespace torvane::explorer
