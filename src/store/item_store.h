// The item store: the numbered lists that hold a scan's results, the counts kept beside them,
// the locks that guard them, and the volume's allocation map. One lives in the workspace.
//
// Locking. Appends to the deleted-entries list (and the merge of the rebuild list into it) take
// scanLock first, then entryListLock, and release them in the opposite order. The explorer's
// folder listing takes entryListLock alone while it walks a list. Nobody takes scanLock while
// holding entryListLock. A list may move when it grows, so a reader keeps no pointer (and no
// name view) into a list once it has released entryListLock: it keeps indexes or offsets.
//
// Memory. Each list records its full initial size at Create but commits it on the first append
// (see dyn_list.h), so the ~55 MiB of initial sizes cost nothing until the lists are used.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string_view>

#include "store/allocation_map.h"
#include "store/dyn_list.h"
#include "store/file_entry.h"
#include "util/ui_port.h"

namespace torvane {

// List numbers and initial sizes (which are also their growth steps).
inline constexpr uint32_t kReservedListId = 3;
inline constexpr uint32_t kSearchStringListId = 4;
inline constexpr uint32_t kSessionStringListId = 5;
inline constexpr uint32_t kExplorerStringListId = 6;
inline constexpr uint32_t kFat32ClusterCacheId = 7;
inline constexpr uint32_t kDeletedEntriesId = 8;
inline constexpr uint32_t kRebuildEntriesId = 9;
inline constexpr uint32_t kLostFilesId = 10;
inline constexpr uint32_t kRawFilesId = 11;
inline constexpr uint32_t kExtensionRecordsId = 20;

inline constexpr uint64_t kKiB = 1024;
inline constexpr uint64_t kMiB = 1024 * kKiB;
inline constexpr uint64_t kReservedListSize = 128 * kKiB;
inline constexpr uint64_t kStringListSize = 16 * kKiB;
inline constexpr uint64_t kFat32ClusterCacheSize = 4 * kMiB;
inline constexpr uint64_t kFat32ClusterCacheSessionSize = 1 * kMiB;  // re-made by session loads
inline constexpr uint64_t kEntryListSize = 16 * kMiB;                // lists 8, 9 and 11
inline constexpr uint64_t kLostFilesSize = 256 * kKiB;
inline constexpr uint64_t kExtensionRecordsSize = 2 * kMiB;

class ItemStore {
 public:
  // `ui` receives allocation failures, each text once; null: they are only counted.
  explicit ItemStore(UiPort* ui = nullptr);
  ~ItemStore();
  ItemStore(const ItemStore&) = delete;
  ItemStore& operator=(const ItemStore&) = delete;

  void SetUiPort(UiPort* ui) { messages_.SetTarget(ui); }

  // Creates every list empty with its number and initial size and resets the counts.
  void Create();
  // Releases every list (entry names first) and the allocation map. Only when no worker runs.
  void Release();

  // The list with that number, or null for a number that is not one of the store's lists.
  DynList* List(uint32_t id);
  const DynList* List(uint32_t id) const;

  // Appends an entry and its name under both locks, in order. Appends to the deleted-entries
  // list raise deletedEntryCount and appends to the rebuild list raise pendingRebuildCount,
  // together with the list; deletedCount follows a rule of its own in each reader, so its
  // callers raise it themselves.
  bool AppendEntryLocked(DynList& list, FileEntry entry, std::u16string_view name);

  // Sets the three counts to 0 (the MFT walk does this when it starts).
  void ResetCounts();

  // Left-overs of earlier runs would be deleted here at shutdown. Torvane keeps its lists in
  // memory and creates no temporary files for them, so there is nothing to remove; the call
  // stays at its place in the shutdown sequence (after the workers stopped and the lists were
  // released) for a future spill of lists to disk.
  void RemoveStaleTemporaryFiles() {}

  // How often a message text was raised, the one shown included.
  uint64_t MessageCount(std::string_view text) const { return messages_.Count(text); }
  // The port the lists report through (shows each text once).
  UiPort& Messages() { return messages_; }

  DynList reserved;           // 3
  DynList searchStrings;      // 4: the advanced search window
  DynList sessionStrings;     // 5: the session window
  DynList explorerStrings;    // 6: the explorer window
  DynList fat32ClusterCache;  // 7: 13-byte records
  DynList deletedEntries;     // 8: every entry of the file-system scan
  DynList rebuildEntries;     // 9: NTFS records found in free space, waiting for the merge
  DynList lostFiles;          // 10: placeholder folders and lost items
  DynList rawFiles;           // 11: files detected by content
  DynList extensionRecords;   // 20: whole MFT records without $STANDARD_INFORMATION

  std::atomic<uint64_t> deletedEntryCount{0};    // entries in the deleted-entries list
  std::atomic<uint64_t> deletedCount{0};         // raised by the readers (see above)
  std::atomic<uint64_t> pendingRebuildCount{0};  // entries waiting in the rebuild list

  std::mutex scanLock;       // taken first
  std::mutex entryListLock;  // taken second

  AllocationMap allocationMap;

 private:
  MessageOnceFilter messages_;
};

}  // namespace torvane
