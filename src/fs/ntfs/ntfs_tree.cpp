#include "fs/ntfs/ntfs_tree.h"

#include "fs/ntfs/ntfs_volume.h"

#include <algorithm>
#include <mutex>
#include <unordered_set>

namespace torvane::ntfs {

NtfsTree::NtfsTree(const DynList& list) : list_(list) {
  const uint64_t n = EntryCount(list);
  // Dense up to a few times the entry count: past that the numbers come from damaged or
  // foreign records and a map is cheaper.
  dense_.assign(std::min<uint64_t>(n * 4 + 1024, uint64_t{1} << 32), kNone);
  for (uint64_t i = 0; i < n; ++i) {
    const FileEntry e = EntryAt(list, i);
    const uint64_t existing = Lookup(e.recordNumber);
    if (existing == ~uint64_t{0} || (e.IsFolder() && !EntryAt(list, existing).IsFolder()))
      Set(e.recordNumber, i);
    else if (e.IsFolder() && EntryAt(list, existing).IsFolder())
      older_.emplace(uint64_t{e.recordNumber}, i);  // keeps the first such folder
  }
}

uint64_t NtfsTree::Lookup(uint64_t recordNumber) const {
  if (recordNumber < dense_.size()) return dense_[recordNumber] == kNone ? ~uint64_t{0} : dense_[recordNumber] - 1;
  auto it = sparse_.find(recordNumber);
  return it == sparse_.end() ? ~uint64_t{0} : it->second;
}

void NtfsTree::Set(uint64_t recordNumber, uint64_t index) {
  if (recordNumber < dense_.size() && index < 0xFFFFFFFF)
    dense_[recordNumber] = static_cast<uint32_t>(index + 1);
  else
    sparse_[recordNumber] = index;
}

int64_t NtfsTree::FolderIndex(uint64_t recordNumber) const {
  const uint64_t at = Lookup(recordNumber);
  if (at == ~uint64_t{0} || !EntryAt(list_, at).IsFolder()) return -1;
  return static_cast<int64_t>(at);
}

std::vector<std::u16string_view> NtfsTree::PathComponents(uint64_t index, bool* lost,
                                                          std::vector<uint64_t>* positions) const {
  std::vector<std::u16string_view> names;
  std::vector<uint64_t> along;
  FileEntry e = EntryAt(list_, index);
  names.push_back(EntryName(list_, e));
  along.push_back(index);
  bool isLost = false;
  std::unordered_set<uint64_t> seen{uint64_t{e.recordNumber}};
  for (size_t depth = 0;; ++depth) {
    const uint64_t parent = e.ParentRecord();
    if (parent == kRootFolderRecord) break;
    // A parent must be a folder in the list; a chain that loops or runs too deep is damaged.
    // When the folder now at the parent's record is not the entry's own (ParentIsStale),
    // another folder found with that record number is its old folder; else it is lost.
    int64_t at = -1;
    if (!ParentIsStale(e)) {
      at = FolderIndex(parent);
    } else if (auto it = older_.find(parent); it != older_.end()) {
      at = static_cast<int64_t>(it->second);
    }
    if (at < 0 || depth >= kMaxPathDepth || !seen.insert(parent).second) {
      isLost = true;
      break;
    }
    e = EntryAt(list_, static_cast<uint64_t>(at));
    names.push_back(EntryName(list_, e));
    along.push_back(static_cast<uint64_t>(at));
  }
  if (isLost) names.push_back(kLostFilesFolder);
  std::reverse(names.begin(), names.end());
  if (positions != nullptr) *positions = std::vector<uint64_t>(along.rbegin(), along.rend());
  if (lost != nullptr) *lost = isLost;
  return names;
}

ItemTree::Placement NtfsTree::PlaceOf(uint64_t index, uint64_t* holder) const {
  const FileEntry e = EntryAt(list_, index);
  const uint64_t parent = e.ParentRecord();
  if (parent == kRootFolderRecord) return Placement::kRoot;
  // The same choice of folder as PathComponents makes for its first step.
  int64_t at = -1;
  if (!ParentIsStale(e)) {
    at = FolderIndex(parent);
  } else if (auto it = older_.find(parent); it != older_.end()) {
    at = static_cast<int64_t>(it->second);
  }
  if (at < 0 || parent == e.recordNumber || static_cast<uint64_t>(at) == index) return Placement::kLost;
  *holder = static_cast<uint64_t>(at);
  return Placement::kHeld;
}

bool NtfsTree::IsSystemEntry(uint64_t index) const {
  bool lost = false;
  std::vector<uint64_t> positions;
  const auto names = PathComponents(index, &lost, &positions);
  return !lost && !names.empty() && !positions.empty() && !names[0].empty() && names[0][0] == u'$' &&
         EntryAt(list_, positions[0]).recordNumber < kFirstUserRecord;
}

std::u16string NtfsTree::BuildEntryPath(uint64_t index, std::u16string_view rootText) const {
  std::u16string path(rootText);
  for (auto name : PathComponents(index)) {
    path += u'\\';
    path += name;
  }
  return path;
}

NtfsFolderCursor OpenNtfsFolder(ItemStore& store, uint64_t folderId, FileEntry* folderEntry) {
  NtfsFolderCursor cursor;
  cursor.folderId = folderId;
  const bool raw = folderId == kRawFolderIdA || folderId == kRawFolderIdB;
  cursor.list = raw ? &store.rawFiles : &store.deletedEntries;
  {
    std::lock_guard<std::mutex> lock(store.entryListLock);
    cursor.end = EntryCount(*cursor.list);
  }
  cursor.syntheticPending = folderId == kSyntheticFolderId;
  const bool isVirtual = raw || folderId == kAllEntriesFolderId || folderId == kSyntheticFolderId;
  if (isVirtual && folderEntry != nullptr) {
    *folderEntry = FileEntry{};
    folderEntry->kind = kKindVirtualFolder;
    folderEntry->folderFlag = kFolderFlag;
    folderEntry->listed = 1;
    folderEntry->mark = 0;
    folderEntry->attributes = kAttributeFolder;
    folderEntry->recordNumber = kRootFolderRecord;
  }
  return cursor;
}

bool NextNtfsItem(ItemStore& store, NtfsFolderCursor& cursor, FileEntry& item, const DisplayFilter& filter) {
  if (cursor.folderId == kSyntheticFolderId) {
    // One synthetic folder and nothing else.
    if (!cursor.syntheticPending) return false;
    cursor.syntheticPending = false;
    item = FileEntry{};
    item.attributes = kAttributeFolder;
    item.folderFlag = kFolderFlag;
    item.recordNumber = 38;
    item.SetParentRecord(0xFFFFFFFFFFFEull);
    item.state = 255;
    return true;
  }
  std::lock_guard<std::mutex> lock(store.entryListLock);
  const bool everything =
      cursor.folderId == kAllEntriesFolderId || cursor.folderId == kRawFolderIdA || cursor.folderId == kRawFolderIdB;
  while (cursor.list != nullptr && cursor.position < cursor.end) {
    const uint64_t at = cursor.position++;
    FileEntry e = EntryAt(*cursor.list, at);
    if (!everything && (e.ParentRecord() != cursor.folderId || ParentIsStale(e))) continue;
    if (!filter(e)) continue;
    e.link = static_cast<uint32_t>(at * kFileEntrySize);
    e.virtualFlag = 1;
    item = e;
    return true;
  }
  return false;
}

void CloseNtfsFolder(NtfsFolderCursor& cursor) {
  cursor = NtfsFolderCursor{};
}

}  // namespace torvane::ntfs
