#include "store/dyn_list.h"

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <utility>

#include "util/bytes.h"

namespace torvane {

namespace {

std::atomic<uint64_t> allocationLimit{kNoAllocationLimit};

bool Allowed(uint64_t size) {
  return size <= kMaxAllocation && size <= allocationLimit.load(std::memory_order_relaxed);
}

void Report(UiPort* ui, std::string_view text) {
  if (ui != nullptr) ui->ShowMessage(kMessageTitle, text, MessageIcon::kError);
}

// Gives the list `newCapacity` bytes, allocating its first buffer or growing the one it has.
// On failure the old buffer (if any) and the capacity stay as they were and the list turns
// failed; Reallocate has reported the failure.
bool GrowTo(DynList& list, uint64_t newCapacity) {
  void* grown = list.buffer == nullptr ? Reallocate(nullptr, newCapacity, false, list.ui)
                                       : Reallocate(list.buffer, newCapacity, true, list.ui);
  if (grown == nullptr) {
    list.failed = true;
    return false;
  }
  list.buffer = static_cast<std::byte*>(grown);
  list.capacity = newCapacity;
  return true;
}

// capacity + k x increment for the smallest k >= 1 that makes it exceed `need`; saturates,
// which Reallocate then refuses.
uint64_t GrowInSteps(uint64_t capacity, uint64_t increment, uint64_t need) {
  if (increment == 0) return UINT64_MAX;
  const uint64_t k = need < capacity ? 1 : (need - capacity) / increment + 1;
  uint64_t add = 0, result = 0;
  if (!CheckedMul(k, increment, add) || !CheckedAdd(capacity, add, result)) return UINT64_MAX;
  return result;
}

// Lists usable for appends: initialised and not failed.
bool Writable(const DynList& list) {
  return list.step != 0 && !list.failed;
}

}  // namespace

// ---- NameStore ----

NameStore::NameStore(NameStore&& other) noexcept
    : units_(std::exchange(other.units_, nullptr)),
      size_(std::exchange(other.size_, 0)),
      capacity_(std::exchange(other.capacity_, 0)) {}

NameStore& NameStore::operator=(NameStore&& other) noexcept {
  if (this != &other) {
    Clear();
    units_ = std::exchange(other.units_, nullptr);
    size_ = std::exchange(other.size_, 0);
    capacity_ = std::exchange(other.capacity_, 0);
  }
  return *this;
}

NameStore::~NameStore() {
  std::free(units_);
}

uint32_t NameStore::Add(std::u16string_view name) {
  if (name.empty()) return 0;
  name = name.substr(0, kMaxNameUnits);
  // Units 0 and 1 are never names, so that references 0 and 1 stay free to mean "no name".
  const uint64_t ref = std::max<uint64_t>(size_, kFirstNameRef);
  const uint64_t end = ref + 1 + name.size();
  if (end > UINT32_MAX) return 0;
  if (end > capacity_) {
    // Grow by half again: geometric, with less slack than doubling.
    const uint64_t newCapacity = std::max<uint64_t>({end, capacity_ + capacity_ / 2, 256});
    void* grown = Reallocate(units_, newCapacity * sizeof(char16_t), true, nullptr);
    if (grown == nullptr) return 0;
    units_ = static_cast<char16_t*>(grown);
    capacity_ = newCapacity;
  }
  if (size_ < kFirstNameRef) units_[0] = units_[1] = 0;
  units_[ref] = static_cast<char16_t>(name.size());
  std::memcpy(units_ + ref + 1, name.data(), name.size() * sizeof(char16_t));
  size_ = end;
  return static_cast<uint32_t>(ref);
}

std::u16string_view NameStore::Get(uint32_t ref) const {
  if (ref < kFirstNameRef || ref >= size_) return {};
  const uint64_t length = units_[ref];
  if (ref + 1 + length > size_) return {};
  return {units_ + ref + 1, static_cast<size_t>(length)};
}

void NameStore::Truncate(uint32_t ref) {
  if (ref >= kFirstNameRef && ref < size_) size_ = ref;
}

void NameStore::Clear() {
  std::free(units_);
  units_ = nullptr;
  size_ = capacity_ = 0;
}

// ---- DynList ----

DynList::DynList(DynList&& other) noexcept
    : id(other.id),
      buffer(std::exchange(other.buffer, nullptr)),
      capacity(std::exchange(other.capacity, 0)),
      used(std::exchange(other.used, 0)),
      step(std::exchange(other.step, 0)),
      lastString(std::exchange(other.lastString, -1)),
      failed(std::exchange(other.failed, false)),
      ui(other.ui),
      names(std::move(other.names)) {}

DynList& DynList::operator=(DynList&& other) noexcept {
  if (this != &other) {
    std::free(buffer);
    id = other.id;
    buffer = std::exchange(other.buffer, nullptr);
    capacity = std::exchange(other.capacity, 0);
    used = std::exchange(other.used, 0);
    step = std::exchange(other.step, 0);
    lastString = std::exchange(other.lastString, -1);
    failed = std::exchange(other.failed, false);
    ui = other.ui;
    names = std::move(other.names);
  }
  return *this;
}

DynList::~DynList() {
  std::free(buffer);
}

void InitDynList(DynList& list, uint64_t initialSize, uint32_t id, UiPort* ui) {
  FreeDynList(list);
  list.id = id;
  list.ui = ui;
  list.capacity = list.step = initialSize;
}

bool AddBinToDynList(DynList& list, const void* data, uint64_t length) {
  if (data == nullptr || length == 0) return true;
  if (list.step == 0) {
    // Appending to a list that was never created or was released already is a fault of the
    // caller, not of the data; say so once instead of writing through a null buffer.
    Report(list.ui, kAppendToNullList);
    return false;
  }
  if (list.failed) return false;
  uint64_t need = 0;
  if (!CheckedAdd(list.used, kDynListSlack, need) || !CheckedAdd(need, length, need)) need = UINT64_MAX;
  if (need >= list.capacity) {
    uint64_t twoSteps = 0;
    if (!CheckedMul(list.step, 2, twoSteps)) twoSteps = 0;  // refused below
    if (!GrowTo(list, GrowInSteps(list.capacity, twoSteps, need))) return false;
  } else if (list.buffer == nullptr && !GrowTo(list, list.capacity)) {
    return false;
  }
  std::memcpy(list.buffer + list.used, data, length);
  list.used += length;
  return true;
}

int64_t AddStringToDynList(DynList& list, std::u16string_view text) {
  if (!Writable(list)) return -1;
  const uint64_t bytes = 2 * static_cast<uint64_t>(text.size()) + 2;
  // The string with its terminator, then the empty string that closes the list.
  const uint64_t need = list.used + 2 + bytes;
  if (need > list.capacity) {
    // Grow in units of (b / step + 1) x step until the string fits: `need - 1` because this
    // list may fill its capacity exactly.
    const uint64_t increment = (bytes / list.step + 1) * list.step;
    if (!GrowTo(list, GrowInSteps(list.capacity, increment, need - 1))) return -1;
  } else if (list.buffer == nullptr && !GrowTo(list, list.capacity)) {
    return -1;
  }
  const uint64_t offset = list.used;
  std::memcpy(list.buffer + offset, text.data(), bytes - 2);
  std::memset(list.buffer + offset + bytes - 2, 0, 4);
  list.used += bytes;
  list.lastString = static_cast<int64_t>(offset);
  return list.lastString;
}

bool AppendBlockToDynList(DynList& list, const void* block, uint64_t length) {
  if (length == 0) return true;
  if (block == nullptr || !Writable(list)) return false;
  uint64_t need = 0;
  if (!CheckedAdd(list.used, length, need)) need = UINT64_MAX;
  if (need > list.capacity) {
    uint64_t newCapacity = 0;
    if (!CheckedAdd(list.capacity, length, newCapacity) ||
        !CheckedAdd(newCapacity, list.step - length % list.step, newCapacity))
      newCapacity = UINT64_MAX;
    if (!GrowTo(list, newCapacity)) return false;
  } else if (list.buffer == nullptr && !GrowTo(list, list.capacity)) {
    return false;
  }
  std::memcpy(list.buffer + list.used, block, length);
  list.used += length;
  return true;
}

void FreeDynList(DynList& list) {
  std::free(list.buffer);
  list.buffer = nullptr;
  list.capacity = list.used = list.step = 0;
  list.lastString = -1;
  list.failed = false;
  list.names.Clear();
}

void ReleaseEntryNames(DynList& list) {
  // Clear the references too, so that no entry can name whatever the store holds next.
  const uint32_t none = 0;
  for (uint64_t i = 0; i < EntryCount(list); ++i)
    std::memcpy(list.buffer + i * kFileEntrySize + offsetof(FileEntry, name), &none, sizeof none);
  list.names.Clear();
}

uint32_t CopyName(NameStore& names, std::u16string_view text) {
  return names.Add(text);
}

void* Reallocate(void* pointer, uint64_t size, bool keep, UiPort* ui) {
  if (size == 0) {
    std::free(pointer);
    return nullptr;
  }
  if (keep) {
    void* grown = Allowed(size) ? std::realloc(pointer, size) : nullptr;
    if (grown == nullptr) Report(ui, kReallocateKeepFailed);
    return grown;
  }
  std::free(pointer);
  void* fresh = Allowed(size) ? std::malloc(size) : nullptr;
  if (fresh == nullptr) Report(ui, kReallocateNewFailed);
  return fresh;
}

void SetAllocationLimitForTesting(uint64_t bytes) {
  allocationLimit.store(bytes);
}

FileEntry EntryAt(const DynList& list, uint64_t index) {
  FileEntry entry;
  if (index < EntryCount(list)) std::memcpy(&entry, list.buffer + index * kFileEntrySize, kFileEntrySize);
  return entry;
}

void SetEntryAt(DynList& list, uint64_t index, const FileEntry& entry) {
  if (index < EntryCount(list)) std::memcpy(list.buffer + index * kFileEntrySize, &entry, kFileEntrySize);
}

bool AddEntry(DynList& list, FileEntry entry, std::u16string_view name) {
  if (!Writable(list)) return AddBinToDynList(list, &entry, kFileEntrySize);  // reports
  entry.name = list.names.Add(name);
  if (AddBinToDynList(list, &entry, kFileEntrySize)) return true;
  list.names.Truncate(entry.name);
  return false;
}

std::u16string_view EntryName(const DynList& list, const FileEntry& entry) {
  return list.names.Get(entry.name);
}

}  // namespace torvane
