#include "explorer/navigation.h"

namespace torvane::explorer {

bool FolderChain::Push(FolderRef ref) {
  if (folders.size() >= kChainDepth) return false;
  folders.push_back(ref);
  return true;
}

FolderChain FolderChain::Parent() const {
  FolderChain up = *this;
  if (!up.folders.empty()) up.folders.pop_back();
  return up;
}

void NavigationHistory::Visit(FolderRef folder, const FolderChain& chain, std::u16string path) {
  if (entries_.size() >= kHistorySize) entries_.pop_back();  // the oldest goes
  entries_.insert(entries_.begin(), HistoryEntry{folder, chain, std::move(path)});
  index_ = 0;
}

bool NavigationHistory::Back() {
  if (!CanGoBack()) return false;
  ++index_;
  return true;
}

bool NavigationHistory::Next() {
  if (!CanGoNext()) return false;
  --index_;
  return true;
}

bool NavigationHistory::Select(size_t index) {
  if (index >= entries_.size()) return false;
  index_ = index;
  return true;
}

void NavigationHistory::Restore(std::vector<HistoryEntry> entries, size_t index) {
  if (entries.size() > kHistorySize) entries.resize(kHistorySize);
  for (auto& e : entries)
    if (e.chain.folders.size() > kChainDepth) e.chain.folders.resize(kChainDepth);
  entries_ = std::move(entries);
  index_ = entries_.empty() ? 0 : std::min(index, entries_.size() - 1);
}

}  // namespace torvane::explorer
