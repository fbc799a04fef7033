#include "explorer/results_model.h"

#include <algorithm>

#include "explorer/search.h"
#include "util/text.h"

namespace torvane::explorer {
namespace {

bool IsFat(FsKind kind) {
  return kind == FsKind::kFat12 || kind == FsKind::kFat16 || kind == FsKind::kFat32;
}

// The value the date column sorts by: what the cell shows (FAT: the access date word).
uint64_t DateKey(const FileEntry& e, FsKind kind) {
  if (e.kind == kKindRaw || e.kind >= kKindVirtualFolder || e.IsFolder()) return 0;
  return IsFat(kind) ? e.parentHigh : e.time;
}

int CompareText(std::u16string_view a, std::u16string_view b) {
  const CaseTables& t = CaseTables::Get();
  const size_t n = std::min(a.size(), b.size());
  for (size_t i = 0; i < n; ++i) {
    const char16_t x = t.lower16[a[i]], y = t.lower16[b[i]];
    if (x != y) return x < y ? -1 : 1;
  }
  return a.size() == b.size() ? 0 : a.size() < b.size() ? -1 : 1;
}

bool IsFileRow(const Row& r) {
  return HasCheckBox(r.entry) && !r.entry.IsFolder();
}

template <typename T>
int Order(T a, T b) {
  return a < b ? -1 : b < a ? 1 : 0;
}

}  // namespace

int CompareRows(const Row& a, const Row& b, Column column, FsKind kind) {
  switch (column) {
    case kColumnSize:
      return Order(ShownSize(a.entry, kind), ShownSize(b.entry, kind));
    case kColumnType:
      return CompareText(TypeCell(a.entry, a.name), TypeCell(b.entry, b.name));
    case kColumnDate:
      return Order(DateKey(a.entry, kind), DateKey(b.entry, kind));
    case kColumnRating:
      return Order(RatingValue(a.entry.state), RatingValue(b.entry.state));
    case kColumnName:
      break;
  }
  return CompareText(a.name, b.name);
}

ResultsModel::ResultsModel(ItemStore& store, const FileSystem& fileSystem, uint64_t volumeBytes, char16_t driveLetter)
    : store_(store),
      folders_(store, fileSystem),
      volumeBytes_(volumeBytes),
      letter_(driveLetter),
      colours_(ColourTable::Defaults()) {
  filter_.SetVolumeKind(folders_.Kind());
}

std::u16string ResultsModel::RootLabel() const {
  return std::u16string(1, letter_) + u":\\";
}

// ---- Listing ----

FolderListing ResultsModel::ListFolder(FolderRef folder, const std::atomic<bool>* stop) {
  return folders_.List(folder, filter_.Snapshot(), stop);
}

bool ResultsModel::IsNaturalOnly(FolderRef folder) const {
  return folder == kRootFolderRef || folder == kSearchResultsFolderRef;
}

void ResultsModel::ApplyListing(FolderListing listing, const FolderChain& chain, ListingCause cause) {
  std::u16string path;
  if (cause == ListingCause::kUser && listing.folder != kSearchResultsFolderRef)
    path = folders_.PathText(listing.folder, RootLabel());
  std::lock_guard hold(listingLock_);
  const bool natural = IsNaturalOnly(listing.folder);
  if (natural) {
    if (!setAside_) setAside_ = sort_;
    sort_ = {};
  } else if (setAside_) {
    sort_ = *setAside_;
    setAside_.reset();
  }
  listing_ = std::move(listing);
  if (cause != ListingCause::kRefresh || listing_.folder != kSearchResultsFolderRef) chain_ = chain;
  if (sort_.column >= 0 && sort_.counter != 2) {
    SortLocked();
    if (sort_.counter == 1) ReverseLocked();
  }
  if (cause == ListingCause::kUser && listing_.folder != kSearchResultsFolderRef)
    history_.Visit(listing_.folder, chain_, std::move(path));
}

bool ResultsModel::Open(FolderRef folder, ListingCause cause) {
  FolderListing listing = ListFolder(folder);
  if (!listing.found) return false;
  ApplyListing(std::move(listing), folders_.ChainOf(folder), cause);
  return true;
}

void ResultsModel::Refresh() {
  const FolderRef folder = CurrentFolder();
  if (folder == kSearchResultsFolderRef) return;  // results are made by a search, not listed
  FolderListing listing = ListFolder(folder);
  if (!listing.found) listing = ListFolder(kRootFolderRef);
  const FolderChain chain = listing.folder == folder ? CurrentChain() : FolderChain{};
  ApplyListing(std::move(listing), chain, ListingCause::kRefresh);
}

bool ResultsModel::OpenRow(size_t row) {
  const std::optional<Row> r = RowAt(row);
  if (!r || !r->IsFolderRow()) return false;
  return Open(r->opens, ListingCause::kUser);
}

void ResultsModel::ShowSearchResults(const std::vector<uint64_t>& indexes) {
  ApplyListing(folders_.RowsOf(indexes), FolderChain{}, ListingCause::kUser);
}

// ---- Navigation ----

bool ResultsModel::Back() {
  if (!history_.Back()) return false;
  const HistoryEntry entry = *history_.Current();
  FolderListing listing = ListFolder(entry.folder);
  if (!listing.found) return false;
  ApplyListing(std::move(listing), entry.chain, ListingCause::kHistory);
  return true;
}

bool ResultsModel::Next() {
  if (!history_.Next()) return false;
  const HistoryEntry entry = *history_.Current();
  FolderListing listing = ListFolder(entry.folder);
  if (!listing.found) return false;
  ApplyListing(std::move(listing), entry.chain, ListingCause::kHistory);
  return true;
}

bool ResultsModel::SelectHistory(size_t index) {
  if (!history_.Select(index)) return false;
  const HistoryEntry entry = *history_.Current();
  FolderListing listing = ListFolder(entry.folder);
  if (!listing.found) return false;
  ApplyListing(std::move(listing), entry.chain, ListingCause::kHistory);
  return true;
}

bool ResultsModel::Up() {
  const FolderRef folder = CurrentFolder();
  if (folder == kRootFolderRef) return false;
  const FolderRef parent = folder == kSearchResultsFolderRef ? kRootFolderRef : folders_.ParentOf(folder);
  return Open(parent, ListingCause::kUser);
}

NavigationButtons ResultsModel::Buttons() const {
  NavigationButtons b;
  b.back = history_.CanGoBack();
  b.next = history_.CanGoNext();
  b.up = CurrentFolder() != kRootFolderRef;
  return b;
}

FolderRef ResultsModel::CurrentFolder() const {
  std::lock_guard hold(listingLock_);
  return listing_.folder;
}

FolderChain ResultsModel::CurrentChain() const {
  std::lock_guard hold(listingLock_);
  return chain_;
}

std::u16string ResultsModel::CurrentPath() const {
  const FolderRef folder = CurrentFolder();
  if (folder == kSearchResultsFolderRef) return {};
  return const_cast<VolumeFolders&>(folders_).PathText(folder, RootLabel());
}

// ---- Rows ----

size_t ResultsModel::RowCount() const {
  std::lock_guard hold(listingLock_);
  return listing_.rows.size();
}

size_t ResultsModel::FirstSortableRow() const {
  std::lock_guard hold(listingLock_);
  return listing_.firstSortable;
}

std::optional<Row> ResultsModel::RowAt(size_t row) const {
  std::lock_guard hold(listingLock_);
  if (row >= listing_.rows.size()) return std::nullopt;
  return listing_.rows[row];
}

std::string ResultsModel::Cell(size_t row, Column column) const {
  std::lock_guard hold(listingLock_);
  if (row >= listing_.rows.size()) return {};
  const Row& r = listing_.rows[row];
  switch (column) {
    case kColumnName:
      return ToUtf8(r.name);
    case kColumnSize:
      return SizeCellFor(r.entry, Kind());
    case kColumnType:
      return ToUtf8(TypeCell(r.entry, r.name));
    case kColumnDate:
      return DateCell(r.entry, Kind());
    case kColumnRating:
      break;
  }
  return {};
}

uint32_t ResultsModel::RowColourAt(size_t row) const {
  std::lock_guard hold(listingLock_);
  if (row >= listing_.rows.size()) return colours_[ColourKey::kExisting];
  const Row& r = listing_.rows[row];
  return RowColour(colours_, r.entry, r.name, Kind());
}

int ResultsModel::RatingImageAt(size_t row) const {
  std::lock_guard hold(listingLock_);
  if (row >= listing_.rows.size() || !HasRating(listing_.rows[row].entry)) return -1;
  return RatingImage(listing_.rows[row].entry.state);
}

std::string ResultsModel::TypeDescription(size_t row, const Texts& texts) const {
  const std::optional<Row> r = RowAt(row);
  if (!r) return {};
  if (r->entry.kind >= kKindFirstVirtualRow) {
    if (r->opens == kLostFilesFolderRef) return texts.Get(kSectionExtStrings, "szVirtualFolderLostFiles");
    if (r->opens == kRebuildFolderRef) return texts.Get(kSectionExtStrings, "szVirtualFolderRebuild");
    if (r->opens == kRawFilesFolderRef) return texts.Get(kSectionExtStrings, "szVirtualFolderRAW");
  }
  if (r->IsFolderRow()) return texts.Get(kSectionExtStrings, "szFileFolder");
  return ToUtf8(TypeCell(r->entry, r->name));
}

// ---- Sorting ----

void ResultsModel::SortLocked() {
  auto& rows = listing_.rows;
  const size_t first = std::min(listing_.firstSortable, rows.size());
  const FsKind kind = Kind();
  const auto column = static_cast<Column>(sort_.column);
  std::stable_sort(rows.begin() + static_cast<ptrdiff_t>(first), rows.end(),
                   [&](const Row& a, const Row& b) { return CompareRows(a, b, column, kind) < 0; });
}

void ResultsModel::ReverseLocked() {
  auto& rows = listing_.rows;
  const size_t first = std::min(listing_.firstSortable, rows.size());
  std::reverse(rows.begin() + static_cast<ptrdiff_t>(first), rows.end());
}

void ResultsModel::SortBy(Column column) {
  bool relist = false;
  {
    std::lock_guard hold(listingLock_);
    if (sort_.column == column) {
      sort_.counter = (sort_.counter + 1) % 3;
    } else {
      sort_.column = column;
      sort_.counter = 0;
    }
    // At the root there is no natural order to go back to: ascending again.
    if (sort_.counter == 2 && listing_.folder == kRootFolderRef) sort_.counter = 0;
    if (sort_.counter == 0) {
      SortLocked();
    } else if (sort_.counter == 1) {
      ReverseLocked();
    } else {
      relist = true;
    }
  }
  if (!relist) return;
  if (CurrentFolder() == kSearchResultsFolderRef) {
    // Results are not listed again: their natural order is list order.
    std::lock_guard hold(listingLock_);
    std::stable_sort(listing_.rows.begin(), listing_.rows.end(),
                     [](const Row& a, const Row& b) { return a.index < b.index; });
    return;
  }
  Refresh();
}

SortState ResultsModel::Sort() const {
  std::lock_guard hold(listingLock_);
  return sort_;
}

SortArrow ResultsModel::Arrow(Column column) const {
  std::lock_guard hold(listingLock_);
  if (sort_.column != column || sort_.counter == 2) return SortArrow::kNone;
  return sort_.counter == 0 ? SortArrow::kUp : SortArrow::kDown;
}

// ---- Check marks ----

void ResultsModel::SelectAll() {
  std::lock_guard hold(listingLock_);
  for (Row& r : listing_.rows)
    if (IsFileRow(r) && r.entry.mark != 1) {
      r.entry.mark = 1;
      folders_.StoreMark(r);
    }
}

void ResultsModel::UnselectAll() {
  std::lock_guard hold(listingLock_);
  for (Row& r : listing_.rows)
    if (IsFileRow(r) && r.entry.mark != 0) {
      r.entry.mark = 0;
      folders_.StoreMark(r);
    }
}

void ResultsModel::InvertSelection() {
  std::lock_guard hold(listingLock_);
  for (Row& r : listing_.rows)
    if (IsFileRow(r)) {
      r.entry.mark = r.entry.mark == 1 ? 0 : 1;
      folders_.StoreMark(r);
    }
}

void ResultsModel::Toggle(std::span<const size_t> rows) {
  std::lock_guard hold(listingLock_);
  for (size_t i : rows) {
    if (i >= listing_.rows.size() || !HasCheckBox(listing_.rows[i].entry)) continue;
    Row& r = listing_.rows[i];
    r.entry.mark = r.entry.mark == 1 ? 0 : 1;
    folders_.StoreMark(r);
  }
}

void ResultsModel::Uncheck(std::span<const Row> rows) {
  std::lock_guard hold(listingLock_);
  for (const Row& taken : rows) {
    Row cleared = taken;
    cleared.entry.mark = 0;
    folders_.StoreMark(cleared);
    // Rows of the store are known by their list and index; rows made by the listing itself
    // (list 0) by what they are and the folder they open.
    for (Row& r : listing_.rows)
      if (r.list == taken.list && r.index == taken.index && r.entry.mark != 0 &&
          (taken.list != 0 ||
           (r.name == taken.name && r.opens == taken.opens && r.entry.recordNumber == taken.entry.recordNumber)))
        r.entry.mark = 0;
  }
}

size_t ResultsModel::CheckedCount() const {
  std::lock_guard hold(listingLock_);
  return static_cast<size_t>(std::count_if(listing_.rows.begin(), listing_.rows.end(),
                                           [](const Row& r) { return HasCheckBox(r.entry) && IsChecked(r.entry); }));
}

// ---- Size editor ----

std::string ResultsModel::SizeEditTextAt(size_t row) const {
  std::lock_guard hold(listingLock_);
  if (row >= listing_.rows.size()) return {};
  return SizeEditText(listing_.rows[row].entry, Kind());
}

SizeParse ResultsModel::EditSize(size_t row, std::string_view text, SizeUnit unit) {
  const SizeParse parsed = ParseSizeEdit(text, unit, volumeBytes_, Kind());
  if (!parsed.ok()) return parsed;
  std::lock_guard hold(listingLock_);
  if (row >= listing_.rows.size() || !HasCheckBox(listing_.rows[row].entry)) return {0, SizeParseError::kNotANumber};
  Row& r = listing_.rows[row];
  r.entry.size = parsed.bytes;
  folders_.StoreSize(r);
  return parsed;
}

// ---- Favourites ----

AddFavouriteResult ResultsModel::AddCurrentToFavourites() {
  return favourites_.Add(CurrentPath(), CurrentFolder(), CurrentChain());
}

bool ResultsModel::OpenFavourite(size_t slot) {
  if (slot >= favourites_.Items().size()) return false;
  const Favourite f = favourites_.Items()[slot];
  FolderListing listing = ListFolder(f.folder);
  if (!listing.found) return false;
  ApplyListing(std::move(listing), f.chain, ListingCause::kUser);
  return true;
}

}  // namespace torvane::explorer
