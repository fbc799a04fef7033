// DynList: the growable byte lists that hold the scan's results, and NameStore, the arena that
// holds the names of a list's entries.
//
// A list grows by a fixed step rather than by doubling, so that a 16 MiB entry list holds about
// 246,000 entries before its first reallocation. A reallocation may move the buffer: nobody
// keeps a pointer into a list across a release of the item store's locks; positions are kept
// as byte offsets or entry indexes.
//
// Memory is committed lazily: InitDynList only records the size, so `capacity` reads as the
// initial size at once, and the buffer of exactly `capacity` bytes is allocated by the first
// append. Lists a run never touches cost nothing.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "store/file_entry.h"
#include "util/ui_port.h"

namespace torvane {

inline constexpr std::string_view kMessageTitle = "Torvane";
inline constexpr std::string_view kReallocateKeepFailed =
    "Memory allocation problem - cannot allocate memory by operating system (P1)";
inline constexpr std::string_view kReallocateNewFailed =
    "Memory allocation problem - cannot allocate memory by operating system (P2)";
inline constexpr std::string_view kAppendToNullList = "!-AddBinToDynList";

// Spare bytes an entry list always keeps behind its content.
inline constexpr uint64_t kDynListSlack = 69;

// No buffer is ever sized beyond this: larger requests fail like a refused allocation instead
// of reaching the allocator (a hostile length must not turn into a huge allocation).
inline constexpr uint64_t kMaxAllocation = uint64_t{1} << 39;

// The names of a list's entries, packed one after the other into one growing block of UTF-16
// units: each name is a length unit followed by its characters. A name's reference is the
// index of its length unit; 0 and 1 are never handed out and mean "no name". A view returned
// by Get stays valid until the next Add, Truncate or Clear (the block may move when it grows).
class NameStore {
 public:
  // Longest name kept; longer ones are cut (no file system allows more than 255 units).
  static constexpr size_t kMaxNameUnits = 0xFFFF;

  NameStore() = default;
  NameStore(NameStore&& other) noexcept;
  NameStore& operator=(NameStore&& other) noexcept;
  NameStore(const NameStore&) = delete;
  NameStore& operator=(const NameStore&) = delete;
  ~NameStore();

  // The new name's reference; 0 for an empty name, or when memory or references run out.
  uint32_t Add(std::u16string_view name);
  // The name, or an empty view for 0, 1 and any reference that does not lie in the store.
  std::u16string_view Get(uint32_t ref) const;
  // Forgets the name `ref` and every name added after it (undoes a failed entry append).
  void Truncate(uint32_t ref);
  // Releases the block; every reference handed out becomes "no name".
  void Clear();

  uint64_t Bytes() const { return size_ * sizeof(char16_t); }              // in use
  uint64_t CapacityBytes() const { return capacity_ * sizeof(char16_t); }  // allocated

 private:
  char16_t* units_ = nullptr;
  uint64_t size_ = 0;
  uint64_t capacity_ = 0;
};

struct DynList {
  uint32_t id = 0;
  std::byte* buffer = nullptr;  // malloc-managed; null before the first append and after release
  uint64_t capacity = 0;        // bytes the list may use before it grows (allocated once used)
  uint64_t used = 0;
  uint64_t step = 0;        // growth step and initial size; 0: not initialised
  int64_t lastString = -1;  // string lists: offset of the string added last
  // Set when a growth failed: the old buffer and its content are kept and stay readable, but
  // every later append fails at once (the failure has been reported already).
  bool failed = false;
  UiPort* ui = nullptr;  // where allocation failures are reported; may be null
  NameStore names;

  DynList() = default;
  DynList(DynList&& other) noexcept;
  DynList& operator=(DynList&& other) noexcept;
  DynList(const DynList&) = delete;
  DynList& operator=(const DynList&) = delete;
  ~DynList();
};

// Sets the list up empty with capacity and step `initialSize` (releasing what it held).
void InitDynList(DynList& list, uint64_t initialSize, uint32_t id, UiPort* ui = nullptr);

// Appends `length` bytes. When used + 69 + length reaches the capacity, the capacity grows by
// twice the step, as many times as it takes for the append to fit with 69 bytes to spare. A
// null `data` adds nothing and succeeds. Fails (nothing appended) on a list that is not
// initialised (reported as "!-AddBinToDynList"), on a failed list, or when the growth cannot
// be allocated (reported as P1 or P2; the list turns failed).
bool AddBinToDynList(DynList& list, const void* data, uint64_t length);

// Appends a terminated UTF-16 string followed by an empty one (so a string list always ends in
// an empty string that `used` does not count). Returns the byte offset of the stored string,
// or -1 when nothing could be stored. The capacity grows by (b / step + 1) x step, b being the
// string's size with terminator, repeated until it fits.
int64_t AddStringToDynList(DynList& list, std::u16string_view text);

// Appends a block as the session loader does: when used + length exceeds the capacity, the
// capacity becomes capacity + length + (step - length mod step).
bool AppendBlockToDynList(DynList& list, const void* block, uint64_t length);

// Releases the buffer and the names; the list must be initialised again before use.
void FreeDynList(DynList& list);

// Releases the names of an entry list and clears every entry's name reference.
void ReleaseEntryNames(DynList& list);

inline uint64_t EntryCount(const DynList& list) {
  return list.used / kFileEntrySize;
}

// Stores a copy of `text` in `names`; the reference, or 0 when it could not be stored.
uint32_t CopyName(NameStore& names, std::u16string_view text);

// The allocation wrapper behind every list buffer.
//  size 0:     releases `pointer` (when not null) and returns null, silently.
//  keep set:   grows or shrinks keeping the content; on failure reports P1 and returns null,
//              leaving `pointer` valid (the caller still owns it).
//  keep clear: releases `pointer` and allocates `size` new bytes; on failure reports P2.
// Messages go to `ui` when it is not null.
void* Reallocate(void* pointer, uint64_t size, bool keep, UiPort* ui);

// Tests only: makes every Reallocate above `bytes` fail as if the system refused it.
inline constexpr uint64_t kNoAllocationLimit = UINT64_MAX;
void SetAllocationLimitForTesting(uint64_t bytes);

// Entry lists. Out-of-range reads give an all-zero entry; out-of-range writes are ignored.
FileEntry EntryAt(const DynList& list, uint64_t index);
void SetEntryAt(DynList& list, uint64_t index, const FileEntry& entry);
// Stores `name` in the list's names, sets entry.name to it (0 for an empty name) and appends
// the entry. A name that cannot be stored leaves entry.name 0 (readers tolerate nameless
// entries); when the append itself fails nothing is kept.
bool AddEntry(DynList& list, FileEntry entry, std::u16string_view name);
std::u16string_view EntryName(const DynList& list, const FileEntry& entry);

}  // namespace torvane
