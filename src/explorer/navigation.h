// Back/Next/Up: the chain of folders from the root to the current folder, and the history
// of the last 16 listed folders that the path box shows. Plain data, saved by sessions.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace torvane::explorer {

// A folder as the explorer names it (stored in session files as 32 bits). Real folders are
// their entry index in the deleted-entries list plus 1; the others are fixed values.
using FolderRef = uint32_t;
inline constexpr FolderRef kRootFolderRef = 0;
inline constexpr FolderRef kLostFilesFolderRef = 0x33333333;
inline constexpr FolderRef kRebuildFolderRef = 0x11000000;
inline constexpr FolderRef kRawFilesFolderRef = 0x22222222;
// "RAW files" sub-folders: this plus the catalogue number of the extension's first entry.
inline constexpr FolderRef kRawTypeFolderBase = 0x22300000;
inline constexpr FolderRef kRawTypeFolderEnd = 0x22310000;
// Real folders are entries below this index (a list never holds that many).
inline constexpr uint64_t kMaxFolderIndex = kRebuildFolderRef - 1;
inline FolderRef RefOfFolderIndex(uint64_t index) {
  return static_cast<FolderRef>(index + 1);
}
inline bool IsRealFolderRef(FolderRef ref) {
  return ref != kRootFolderRef && ref < kRebuildFolderRef;
}
inline uint64_t FolderIndexOfRef(FolderRef ref) {
  return ref - 1;
}
inline bool IsRawTypeFolderRef(FolderRef ref) {
  return ref >= kRawTypeFolderBase && ref < kRawTypeFolderEnd;
}

inline constexpr size_t kChainDepth = 128;
inline constexpr size_t kHistorySize = 16;

// The folders from the root (element 0) to the current folder; at most 128 deep (deeper
// folders keep the first 128).
struct FolderChain {
  std::vector<FolderRef> folders;
  bool Push(FolderRef ref);  // false when full
  FolderRef Current() const { return folders.empty() ? kRootFolderRef : folders.back(); }
  // The chain of the parent folder (the root stays the root).
  FolderChain Parent() const;
  bool operator==(const FolderChain&) const = default;
};

struct HistoryEntry {
  FolderRef folder = kRootFolderRef;
  FolderChain chain;
  std::u16string path;  // the path box text
};

class NavigationHistory {
 public:
  // A folder listed by the user: goes on top (entry 0); the 17th pushes the oldest out; the
  // index becomes 0.
  void Visit(FolderRef folder, const FolderChain& chain, std::u16string path);
  // Move one entry older / newer; false when there is none. The entry to list is Current().
  bool Back();
  bool Next();
  bool CanGoBack() const { return index_ + 1 < entries_.size(); }
  bool CanGoNext() const { return index_ > 0 && !entries_.empty(); }
  // "Up" lists the parent and sets the index to 0 (the parent is visited as a new entry by
  // the caller).
  void ResetIndex() { index_ = 0; }
  // Choosing a path-box line: moves the index there; false for a line that is not there.
  bool Select(size_t index);

  const HistoryEntry* Current() const { return entries_.empty() ? nullptr : &entries_[index_]; }
  size_t Index() const { return index_; }
  const std::vector<HistoryEntry>& Entries() const { return entries_; }  // 0 newest
  // Restores saved state (a session): at most 16 entries, index held in range.
  void Restore(std::vector<HistoryEntry> entries, size_t index);

 private:
  std::vector<HistoryEntry> entries_;
  size_t index_ = 0;
};

// What the toolbar allows.
struct NavigationButtons {
  bool back = false, next = false, up = false;
};

}  // namespace torvane::explorer
