#include "store/item_store.h"

namespace torvane {

namespace {

struct ListLayout {
  DynList ItemStore::*list;
  uint32_t id;
  uint64_t size;
  bool entries;  // holds FileEntry records (and so names)
};

constexpr ListLayout kLayout[] = {
    {&ItemStore::reserved, kReservedListId, kReservedListSize, false},
    {&ItemStore::searchStrings, kSearchStringListId, kStringListSize, false},
    {&ItemStore::sessionStrings, kSessionStringListId, kStringListSize, false},
    {&ItemStore::explorerStrings, kExplorerStringListId, kStringListSize, false},
    {&ItemStore::fat32ClusterCache, kFat32ClusterCacheId, kFat32ClusterCacheSize, false},
    {&ItemStore::deletedEntries, kDeletedEntriesId, kEntryListSize, true},
    {&ItemStore::rebuildEntries, kRebuildEntriesId, kEntryListSize, true},
    {&ItemStore::lostFiles, kLostFilesId, kLostFilesSize, true},
    {&ItemStore::rawFiles, kRawFilesId, kEntryListSize, true},
    {&ItemStore::extensionRecords, kExtensionRecordsId, kExtensionRecordsSize, false},
};

}  // namespace

ItemStore::ItemStore(UiPort* ui) : messages_(ui) {}

ItemStore::~ItemStore() {
  Release();
}

void ItemStore::Create() {
  for (const ListLayout& l : kLayout) InitDynList(this->*l.list, l.size, l.id, &messages_);
  ResetCounts();
}

void ItemStore::Release() {
  std::lock_guard scan(scanLock);
  std::lock_guard entries(entryListLock);
  for (const ListLayout& l : kLayout) {
    if (l.entries) ReleaseEntryNames(this->*l.list);
    FreeDynList(this->*l.list);
  }
  allocationMap.Clear();
  ResetCounts();
}

DynList* ItemStore::List(uint32_t id) {
  for (const ListLayout& l : kLayout)
    if (l.id == id) return &(this->*l.list);
  return nullptr;
}

const DynList* ItemStore::List(uint32_t id) const {
  return const_cast<ItemStore*>(this)->List(id);
}

bool ItemStore::AppendEntryLocked(DynList& list, FileEntry entry, std::u16string_view name) {
  std::lock_guard scan(scanLock);
  std::lock_guard entries(entryListLock);
  if (!AddEntry(list, entry, name)) return false;
  if (&list == &deletedEntries) deletedEntryCount.fetch_add(1, std::memory_order_relaxed);
  if (&list == &rebuildEntries) pendingRebuildCount.fetch_add(1, std::memory_order_relaxed);
  return true;
}

void ItemStore::ResetCounts() {
  deletedEntryCount = 0;
  deletedCount = 0;
  pendingRebuildCount = 0;
}

}  // namespace torvane
