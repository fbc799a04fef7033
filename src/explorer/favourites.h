// Favourite folders: up to ten paths with their folder and chain, kept in memory and saved
// by sessions.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "explorer/navigation.h"

namespace torvane::explorer {

inline constexpr size_t kMaxFavourites = 10;
// The menu's command numbers: a favourite is 700 + slot.
inline constexpr int kFavouriteCommandBase = 700;
inline constexpr int kFavouritesSeparatorCommand = 698;
inline constexpr int kClearFavouritesCommand = 699;

struct Favourite {
  std::u16string path;  // at most 511 units
  FolderRef folder = kRootFolderRef;
  FolderChain chain;
};

enum class AddFavouriteResult : uint8_t { kAdded, kDuplicate, kFull };

class Favourites {
 public:
  // Compares `path` with every favourite exactly (duplicate), then the count (full).
  AddFavouriteResult Add(std::u16string path, FolderRef folder, const FolderChain& chain);
  void Clear() { items_.clear(); }
  const std::vector<Favourite>& Items() const { return items_; }
  // Restores saved favourites (a session); at most ten are kept.
  void Restore(std::vector<Favourite> items);

 private:
  std::vector<Favourite> items_;
};

// The language key (EXT_STRINGS) of an Add result's message; empty for kAdded:
// "szPathRecentlyAdded" ("This path is recently added!"), "szFavoritesFull" ("Favorites list
// is full!").
std::string_view AddFavouriteMessageKey(AddFavouriteResult result);

// The menu text of slot 0..9: "&1  path" ... "&9  path", the tenth "&0  path".
std::u16string FavouriteMenuText(size_t slot, std::u16string_view path);

}  // namespace torvane::explorer
