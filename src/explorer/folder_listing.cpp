#include "explorer/folder_listing.h"

#include <algorithm>
#include <map>

#include "explorer/list_cells.h"
#include "explorer/search.h"
#include "raw/carve/carve_scan.h"
#include "raw/catalogue/file_type_catalogue.h"
#include "store/dyn_list.h"

namespace torvane::explorer {
namespace {

// Node codes of the index: which folder holds an entry of the deleted-entries list.
constexpr uint32_t kNodeRoot = 0;
constexpr uint32_t kNodeLost = 1;
constexpr uint32_t kNodeHidden = 2;  // never shown (a dropped duplicate, a "." entry)
constexpr uint32_t kFirstFolderNode = 3;

// Entries with this attribute bit are never listed.
constexpr uint32_t kAttributeNeverListed = 0x08000000;

constexpr std::u16string_view kRebuildFolderName = u"Rebuild";
constexpr std::u16string_view kParentRowName = u"..";

FileEntry VirtualFolderEntry(uint8_t kind) {
  FileEntry e;
  e.kind = kind;
  e.folderFlag = kFolderFlag;
  e.attributes = kAttributeFolder;
  e.virtualFlag = 1;
  e.state = kStatePlaceholder;
  e.parent = kNoParent;
  return e;
}

bool Stopped(const std::atomic<bool>* stop) {
  return stop != nullptr && stop->load(std::memory_order_relaxed);
}

// The extension of a RAW item's catalogue entry without its dot ("jpg"), and the folder of
// that extension (named by the extension's first catalogue entry, so one folder per
// extension whatever entry found the file).
std::string RawExtension(const FileEntry& e) {
  const FileTypeEntry* type = FileTypeByNumber(e.link);
  if (type == nullptr || type->extension.size() < 2) return {};
  return std::string(type->extension.substr(1));
}

FolderRef RawTypeFolder(const std::string& extension) {
  const FileTypeEntry* first = FileTypeEntryByExtension(extension);
  return first == nullptr ? kRawTypeFolderEnd : kRawTypeFolderBase + first->number;
}

}  // namespace

struct VolumeFolders::Index {
  uint64_t entries = ~uint64_t{0};  // count of the deleted-entries list it was made for
  uint64_t raw = ~uint64_t{0};      // count of the RAW list it was made for
  std::vector<uint32_t> holder;     // node code of each entry
  std::vector<uint32_t> offsets;    // children of node n: children[offsets[n] .. offsets[n + 1])
  std::vector<uint32_t> children;
  std::map<FolderRef, std::string> rawTypes;  // RAW sub-folders and their extension

  uint32_t NodeOf(FolderRef ref) const {
    if (ref == kRootFolderRef) return kNodeRoot;
    if (ref == kLostFilesFolderRef) return kNodeLost;
    if (IsRealFolderRef(ref) && FolderIndexOfRef(ref) < holder.size()) return kFirstFolderNode + ref - 1;
    return kNodeHidden;
  }
  std::span<const uint32_t> ChildrenOf(uint32_t node) const {
    if (node + 1 >= offsets.size()) return {};
    return std::span<const uint32_t>(children).subspan(offsets[node], offsets[node + 1] - offsets[node]);
  }
};

VolumeFolders::VolumeFolders(ItemStore& store, const FileSystem& fileSystem)
    : store_(store), fileSystem_(fileSystem), kind_(fileSystem.Kind()), index_(std::make_unique<Index>()) {}

VolumeFolders::~VolumeFolders() = default;

void VolumeFolders::RefreshLocked() {
  const uint64_t count = std::min<uint64_t>(EntryCount(store_.deletedEntries), kMaxFolderIndex);
  const uint64_t rawCount = EntryCount(store_.rawFiles);
  Index& x = *index_;
  if (x.entries != count) {
    // The tree reads the list as it stands now; the entry-list lock keeps it so.
    const std::unique_ptr<ItemTree> tree = fileSystem_.MakeTree();
    x.holder.assign(count, kNodeHidden);
    for (uint64_t i = 0; i < count && tree; ++i) {
      const FileEntry e = EntryAt(store_.deletedEntries, i);
      if (e.kind >= kKindVirtualFolder) continue;  // "." and ".." of FAT folders: the explorer makes its own
      uint64_t at = 0;
      switch (tree->PlaceOf(i, &at)) {
        case ItemTree::Placement::kHeld:
          x.holder[i] = at < count && at != i ? kFirstFolderNode + static_cast<uint32_t>(at) : kNodeLost;
          break;
        case ItemTree::Placement::kRoot:
          x.holder[i] = kNodeRoot;
          break;
        case ItemTree::Placement::kLost:
          x.holder[i] = kNodeLost;
          break;
        case ItemTree::Placement::kHidden:
          break;
      }
    }
    // Children by node, in list order (a counting sort).
    const size_t nodes = count + kFirstFolderNode;
    x.offsets.assign(nodes + 1, 0);
    for (uint32_t h : x.holder) ++x.offsets[h + 1];
    for (size_t n = 0; n < nodes; ++n) x.offsets[n + 1] += x.offsets[n];
    x.children.assign(count, 0);
    std::vector<uint32_t> fill(x.offsets.begin(), x.offsets.end() - 1);
    for (uint64_t i = 0; i < count; ++i) x.children[fill[x.holder[i]]++] = static_cast<uint32_t>(i);
    x.entries = count;
  }
  if (x.raw != rawCount) {
    x.rawTypes.clear();
    for (uint64_t i = 0; i < rawCount; ++i) {
      const FileEntry e = EntryAt(store_.rawFiles, i);
      if (e.state == kStateDuplicate) continue;
      const std::string ext = RawExtension(e);
      const FolderRef ref = ext.empty() ? kRawTypeFolderEnd : RawTypeFolder(ext);
      if (ref != kRawTypeFolderEnd) x.rawTypes.emplace(ref, ext);
    }
    x.raw = rawCount;
  }
}

Row VolumeFolders::MakeRowLocked(uint32_t list, uint64_t index) const {
  Row row;
  const DynList* l = store_.List(list);
  row.list = list;
  row.index = index;
  row.entry = EntryAt(*l, index);
  row.name = std::u16string(EntryName(*l, row.entry));
  if (row.name.empty()) row.name = GeneratedName(row.entry);
  if (list == kDeletedEntriesId && row.entry.IsFolder() && index < kMaxFolderIndex) row.opens = RefOfFolderIndex(index);
  return row;
}

FolderListing VolumeFolders::List(FolderRef folder, const FilterSnapshot& filter, const std::atomic<bool>* stop) {
  FolderListing out;
  out.folder = folder;
  std::lock_guard indexHold(indexLock_);
  std::lock_guard entries(store_.entryListLock);
  RefreshLocked();
  const Index& x = *index_;
  auto admit = [&](Row&& row) {
    const FileEntry& e = row.entry;
    if ((e.attributes & kAttributeNeverListed) != 0 && kind_ == FsKind::kNtfs) return;
    if (row.name == u"?" && e.size == 0) return;
    if (!filter.Admits(e, row.name, kind_)) return;
    out.rows.push_back(std::move(row));
  };
  auto virtualRow = [&](std::u16string_view name, FolderRef ref, uint8_t kind) {
    Row row;
    row.entry = VirtualFolderEntry(kind);
    row.entry.link = ref;
    row.name = name;
    row.opens = ref;
    out.rows.push_back(std::move(row));
  };
  if (folder == kRootFolderRef) {
    virtualRow(kLostFilesFolderName, kLostFilesFolderRef, kKindFirstVirtualRow);
    virtualRow(kRebuildFolderName, kRebuildFolderRef, kKindFirstVirtualRow);
    virtualRow(carve::kRawFilesFolderName, kRawFilesFolderRef, kKindFirstVirtualRow);
    out.firstSortable = 3;
  } else {
    const uint32_t node = x.NodeOf(folder);
    const bool known = node != kNodeHidden || folder == kRebuildFolderRef || folder == kRawFilesFolderRef ||
                       x.rawTypes.count(folder) != 0;
    if (!known) {
      out.found = false;
      return out;
    }
    virtualRow(kParentRowName, kRootFolderRef, kKindVirtualFolder);
    out.firstSortable = 1;
  }
  size_t checked = 0;
  auto stopNow = [&] {
    if ((++checked & 0xFFF) == 0 && Stopped(stop)) {
      out.stopped = true;
      return true;
    }
    return false;
  };
  if (folder == kRebuildFolderRef) {
    for (uint64_t i = 0; i < EntryCount(store_.rebuildEntries) && !stopNow(); ++i)
      admit(MakeRowLocked(kRebuildEntriesId, i));
  } else if (folder == kRawFilesFolderRef) {
    for (const auto& [ref, ext] : x.rawTypes) {
      std::u16string name(ext.begin(), ext.end());
      for (auto& c : name)
        if (c >= u'a' && c <= u'z') c = static_cast<char16_t>(c - 32);
      virtualRow(name, ref, kKindVirtualFolder);
    }
  } else if (IsRawTypeFolderRef(folder)) {
    const auto type = x.rawTypes.find(folder);
    const std::u16string pattern = u"*." + std::u16string(type->second.begin(), type->second.end());
    for (uint64_t i = 0; i < EntryCount(store_.rawFiles) && !stopNow(); ++i) {
      Row row = MakeRowLocked(kRawFilesId, i);
      if (row.entry.state == kStateDuplicate || !MatchesMask(row.name, pattern)) continue;
      admit(std::move(row));
    }
  } else {
    const auto children = x.ChildrenOf(x.NodeOf(folder));
    out.rows.reserve(out.rows.size() + children.size());
    for (uint32_t child : children) {
      if (stopNow()) break;
      admit(MakeRowLocked(kDeletedEntriesId, child));
    }
  }
  // The ".." row leads to the parent (worked out with the index at hand).
  if (folder != kRootFolderRef && !out.rows.empty()) {
    FolderRef parent = kRootFolderRef;
    if (IsRawTypeFolderRef(folder)) {
      parent = kRawFilesFolderRef;
    } else if (IsRealFolderRef(folder)) {
      const uint32_t h = x.holder[FolderIndexOfRef(folder)];
      parent = h == kNodeLost ? kLostFilesFolderRef : h >= kFirstFolderNode ? h - kFirstFolderNode + 1 : kRootFolderRef;
    }
    out.rows[0].opens = parent;
    out.rows[0].entry.link = parent;
  }
  return out;
}

FolderRef VolumeFolders::ParentOf(FolderRef folder) {
  if (IsRawTypeFolderRef(folder)) return kRawFilesFolderRef;
  if (!IsRealFolderRef(folder)) return kRootFolderRef;
  std::lock_guard indexHold(indexLock_);
  std::lock_guard entries(store_.entryListLock);
  RefreshLocked();
  const uint64_t i = FolderIndexOfRef(folder);
  if (i >= index_->holder.size()) return kRootFolderRef;
  const uint32_t h = index_->holder[i];
  if (h == kNodeLost) return kLostFilesFolderRef;
  return h >= kFirstFolderNode ? h - kFirstFolderNode + 1 : kRootFolderRef;
}

FolderChain VolumeFolders::ChainOf(FolderRef folder) {
  std::vector<FolderRef> reversed;
  // Parent links of real folders cannot loop (a holder is always an ancestor in its own
  // entry's path), but the walk is bounded all the same.
  for (FolderRef at = folder; at != kRootFolderRef && reversed.size() < 4096; at = ParentOf(at)) reversed.push_back(at);
  FolderChain chain;
  const size_t skip = reversed.size() > kChainDepth ? reversed.size() - kChainDepth : 0;
  chain.folders.assign(reversed.rbegin() + static_cast<ptrdiff_t>(skip), reversed.rend());
  return chain;
}

std::u16string VolumeFolders::FolderName(FolderRef folder) {
  if (folder == kRootFolderRef) return {};
  if (folder == kLostFilesFolderRef) return std::u16string(kLostFilesFolderName);
  if (folder == kRebuildFolderRef) return std::u16string(kRebuildFolderName);
  if (folder == kRawFilesFolderRef) return std::u16string(carve::kRawFilesFolderName);
  if (folder == kSearchResultsFolderRef) return {};
  std::lock_guard indexHold(indexLock_);
  std::lock_guard entries(store_.entryListLock);
  RefreshLocked();
  if (IsRawTypeFolderRef(folder)) {
    const auto it = index_->rawTypes.find(folder);
    if (it == index_->rawTypes.end()) return {};
    std::u16string name(it->second.begin(), it->second.end());
    for (auto& c : name)
      if (c >= u'a' && c <= u'z') c = static_cast<char16_t>(c - 32);
    return name;
  }
  if (!IsRealFolderRef(folder) || FolderIndexOfRef(folder) >= index_->holder.size()) return {};
  return MakeRowLocked(kDeletedEntriesId, FolderIndexOfRef(folder)).name;
}

std::u16string VolumeFolders::PathText(FolderRef folder, std::u16string_view rootLabel) {
  std::u16string path(rootLabel);
  bool first = true;
  for (FolderRef ref : ChainOf(folder).folders) {
    if (!first) path += u'\\';
    path += FolderName(ref);
    first = false;
  }
  return path;
}

std::vector<FolderNode> VolumeFolders::SubFolders(FolderRef folder) {
  std::vector<FolderNode> out;
  FilterSnapshot all;
  all.mask = kFilterAll;
  const FolderListing listing = List(folder, all);
  // Every folder row but the ".." row that starts a listing below the root.
  for (size_t r = folder == kRootFolderRef ? 0 : 1; r < listing.rows.size(); ++r)
    if (listing.rows[r].IsFolderRow()) out.push_back({listing.rows[r].opens, listing.rows[r].name});
  return out;
}

FolderListing VolumeFolders::RowsOf(const std::vector<uint64_t>& indexes) {
  FolderListing out;
  out.folder = kSearchResultsFolderRef;
  std::lock_guard entries(store_.entryListLock);
  const uint64_t count = EntryCount(store_.deletedEntries);
  out.rows.reserve(indexes.size());
  for (uint64_t i : indexes)
    if (i < count) out.rows.push_back(MakeRowLocked(kDeletedEntriesId, i));
  return out;
}

void VolumeFolders::StoreMark(const Row& row) {
  DynList* list = row.list == 0 ? nullptr : store_.List(row.list);
  if (list == nullptr) return;
  std::lock_guard entries(store_.entryListLock);
  if (row.index >= EntryCount(*list)) return;
  FileEntry e = EntryAt(*list, row.index);
  e.mark = row.entry.mark;
  SetEntryAt(*list, row.index, e);
}

void VolumeFolders::StoreSize(const Row& row) {
  DynList* list = row.list == 0 ? nullptr : store_.List(row.list);
  if (list == nullptr) return;
  std::lock_guard entries(store_.entryListLock);
  if (row.index >= EntryCount(*list)) return;
  FileEntry e = EntryAt(*list, row.index);
  e.size = row.entry.size;
  SetEntryAt(*list, row.index, e);
}

}  // namespace torvane::explorer
