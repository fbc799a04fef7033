// The model of the explorer's results tree and file list, without any user interface: the
// folders of the open volume, the rows of the current folder with their cells, colours,
// check marks and sorting, the display filter, Back/Next/Up with the path box, and the
// favourites. The GUI draws from it and the command line prints from it, so both show the
// same rows.
//
// Threads: the interface thread reads rows (RowCount, RowAt, Cell, ...) while a listing may
// be formed on a worker (ListFolder) and a scan appends to the store. Every access to the
// rows takes the listing lock, and a row index is checked against the row count first;
// ApplyListing swaps a finished listing in under that lock.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "explorer/display_filter.h"
#include "explorer/favourites.h"
#include "explorer/folder_listing.h"
#include "explorer/list_cells.h"
#include "explorer/navigation.h"
#include "explorer/row_colours.h"
#include "explorer/size_editor.h"
#include "explorer/texts.h"
#include "fs/file_system.h"
#include "store/item_store.h"

namespace torvane::explorer {

// Why a folder is listed: by the user (a new history entry), by Back/Next/path box (no new
// entry), or again (Refresh, a filter change).
enum class ListingCause : uint8_t { kUser, kHistory, kRefresh };

// The sort state: the last clicked column and the click counter (0 ascending, 1
// descending, 2 natural order). No column: -1.
struct SortState {
  int column = -1;
  int counter = 0;
  bool operator==(const SortState&) const = default;
};

// The arrow a column header shows.
enum class SortArrow : uint8_t { kNone, kUp, kDown };

// How a column orders two rows: text order without regard to case for names and types,
// numbers for size (as the list counts it), date and rating. Negative, 0 or positive.
int CompareRows(const Row& a, const Row& b, Column column, FsKind kind);

class ResultsModel {
 public:
  // `volumeBytes` bounds the size editor; `driveLetter` labels the root ("$" for images).
  ResultsModel(ItemStore& store, const FileSystem& fileSystem, uint64_t volumeBytes, char16_t driveLetter = u'$');

  FsKind Kind() const { return folders_.Kind(); }
  VolumeFolders& Folders() { return folders_; }
  // "$:\" for a volume opened from an image.
  std::u16string RootLabel() const;

  // ---- Listing ----
  // Forms the listing of a folder with the filter in force (a snapshot taken under the
  // filter's lock). Safe on a worker thread; `stop` may be null.
  FolderListing ListFolder(FolderRef folder, const std::atomic<bool>* stop = nullptr);
  // Makes `listing` the current one (under the listing lock): keeps or puts aside the sort
  // state (the root and search results always show in natural order), sorts when a column
  // is in force, and for kUser adds the folder to the history with `chain`.
  void ApplyListing(FolderListing listing, const FolderChain& chain, ListingCause cause);
  // Lists on the calling thread and applies: Open (a folder the user chose; its chain is
  // worked out), Refresh (the current folder again), OpenRow (a double click: folder rows
  // and ".." open their folder; false for a file row).
  bool Open(FolderRef folder, ListingCause cause = ListingCause::kUser);
  void Refresh();
  bool OpenRow(size_t row);
  // Shows entries of the deleted-entries list (search results) as a folder of their own.
  void ShowSearchResults(const std::vector<uint64_t>& indexes);

  // ---- Navigation ----
  bool Back();
  bool Next();
  bool Up();
  // Lists the path-box line `index` (as Back and Next do).
  bool SelectHistory(size_t index);
  NavigationButtons Buttons() const;
  FolderRef CurrentFolder() const;
  FolderChain CurrentChain() const;
  std::u16string CurrentPath() const;
  const NavigationHistory& History() const { return history_; }
  NavigationHistory& History() { return history_; }

  // ---- Rows ----
  size_t RowCount() const;
  size_t FirstSortableRow() const;
  // A copy of the row; nothing when `row` is not below the row count.
  std::optional<Row> RowAt(size_t row) const;
  // The text of a cell (UTF-8); empty for a row that is not there. The rating column has
  // no text (see RatingImageAt).
  std::string Cell(size_t row, Column column) const;
  uint32_t RowColourAt(size_t row) const;
  // The rating image (0..11), or -1 when the cell is not drawn.
  int RatingImageAt(size_t row) const;
  // The Type text of the properties: a virtual folder's text, "File folder", or the
  // extension.
  std::string TypeDescription(size_t row, const Texts& texts) const;

  // ---- Sorting ----
  void SortBy(Column column);
  SortState Sort() const;
  SortArrow Arrow(Column column) const;

  // ---- Check marks (file and real-folder rows; written through to the store) ----
  void SelectAll();
  void UnselectAll();
  void InvertSelection();
  void Toggle(std::span<const size_t> rows);
  // Clears the marks of `rows` (copies taken from a listing, folders included) in the store
  // and in the current listing where they show: a finished recovery unchecks what it took.
  void Uncheck(std::span<const Row> rows);
  size_t CheckedCount() const;

  // ---- Size editor ----
  std::string SizeEditTextAt(size_t row) const;
  // Checks the text against the volume and stores the new size in the row and the store.
  SizeParse EditSize(size_t row, std::string_view text, SizeUnit unit);
  uint64_t VolumeBytes() const { return volumeBytes_; }

  // ---- Filter, colours, favourites ----
  DisplayFilter& Filter() { return filter_; }
  ColourTable& Colours() { return colours_; }
  const ColourTable& Colours() const { return colours_; }
  // Adds the current folder.
  AddFavouriteResult AddCurrentToFavourites();
  // Lists favourite `slot` with its chain.
  bool OpenFavourite(size_t slot);
  Favourites& FavouriteList() { return favourites_; }

 private:
  void SortLocked();
  void ReverseLocked();
  bool IsNaturalOnly(FolderRef folder) const;

  ItemStore& store_;
  VolumeFolders folders_;
  uint64_t volumeBytes_;
  char16_t letter_;
  DisplayFilter filter_;
  ColourTable colours_;
  Favourites favourites_;
  NavigationHistory history_;

  mutable std::mutex listingLock_;  // guards everything below
  FolderListing listing_;
  FolderChain chain_;
  SortState sort_;
  std::optional<SortState> setAside_;  // the sort state put aside by the root or search results
};

}  // namespace torvane::explorer
