#include "fs/fat/folder_cursor.h"

#include <mutex>

#include "fs/fat/fat_directory.h"
#include "util/file_time.h"

namespace torvane::fat {
namespace {

constexpr uint64_t kDeletedFlag = uint64_t{1} << 32;   // byte 0x20 of the entry
constexpr uint64_t kAssessedFlag = uint64_t{1} << 40;  // byte 0x21

const DynList* VirtualList(const ItemStore& store, uint64_t id, bool& byParent, uint32_t& parent) {
  byParent = false;
  if (id == kDeletedEntriesFolder) return &store.deletedEntries;
  if (id == kRawFilesFolder || id == kRawFilesFolderToo) return &store.rawFiles;
  if (id == kLostFilesFolder) return &store.lostFiles;
  if ((id >> 32) == 1) {
    byParent = true;
    parent = static_cast<uint32_t>(id);
    return &store.lostFiles;
  }
  return nullptr;
}

}  // namespace

uint64_t DosToFiletime(uint16_t date, uint16_t time) {
  if (date == 0) return 0;
  const timespec t = DosTimeToTimespec(date, time);
  if (t.tv_sec < 0) return 0;
  return kFiletimeUnixEpoch + static_cast<uint64_t>(t.tv_sec) * 10000000ull;
}

bool OpenFolder(FatVolume& v, uint32_t mode, uint64_t folderId, FolderCursor& cursor, AssessView view) {
  cursor = FolderCursor{};
  cursor.folderId = folderId;
  cursor.mode = mode;
  cursor.view = view;
  if (const DynList* list = VirtualList(v.Store(), folderId, cursor.byParent, cursor.parentCluster)) {
    cursor.list = list;
    cursor.open = true;
    return true;
  }
  if (folderId > 0xFFFFFFFF) return false;
  const auto id = static_cast<uint32_t>(folderId);
  if (!v.ReadFolderBytes(id, cursor.bytes)) return false;
  const ByteSpan first = ByteSpan(cursor.bytes).first(kDirEntryBytes);
  // Validated by the entries alone: an empty folder, or a plausible first entry.
  if (id != v.RootId() && LeU8(first, 0) != 0 && !IsPlausibleEntry(first)) {
    cursor.bytes.clear();
    return false;
  }
  cursor.open = true;
  return true;
}

bool NextEntry(FatVolume& v, FolderCursor& cursor, FatItem& out) {
  if (!cursor.open) return false;
  if (cursor.list != nullptr) {
    std::lock_guard<std::mutex> lock(v.Store().entryListLock);
    while (cursor.index < EntryCount(*cursor.list)) {
      const FileEntry e = EntryAt(*cursor.list, cursor.index++);
      if (cursor.byParent && (e.parent != cursor.parentCluster || e.state == kStatePlaceholder)) continue;
      out.entry = e;
      out.name = std::u16string(EntryName(*cursor.list, e));
      out.raw = DirItem{};
      return true;
    }
    return false;
  }
  const ByteSpan bytes(cursor.bytes);
  while (true) {
    const DecodeStep step = DecodeEntry(bytes, cursor.position, cursor.mode, v.Fat32(), out.raw);
    if (step.used == 0) {
      cursor.position = bytes.size();
      return false;
    }
    cursor.position += step.used;
    if (!step.produced) continue;
    const auto folderId = static_cast<uint32_t>(cursor.folderId);
    out.entry = MakeEntry(v, out.raw, folderId, cursor.mode, cursor.view);
    out.name = out.raw.name;
    return true;
  }
}

void CloseFolder(FolderCursor& cursor) {
  cursor = FolderCursor{};
}

FileEntry MakeEntry(FatVolume& v, const DirItem& item, uint32_t folderId, uint32_t mode, AssessView view) {
  FileEntry e{};
  e.size = item.size;
  e.link = v.Fat32() ? item.firstCluster : item.lowWord;
  e.attributes = item.offset;
  e.dataStart = folderId | (item.deleted ? kDeletedFlag : 0);
  e.folderFlag = item.attributes;
  e.parent = folderId;
  e.parentHigh = item.accessDate;
  e.time = DosToFiletime(item.writeDate, item.writeTime);
  if (!item.usable) {
    e.link = kNoParent;
    e.state = kStateFoundInFreeSpace;
    return e;
  }
  if (item.dot || item.volumeLabel) {
    e.kind = item.dotDot ? kKindVirtualFolder : kKindNormal;
    e.state = kStateExisting;
    return e;
  }
  const bool checks = (mode & kModeNoAssessment) == 0;
  const bool folder = item.IsFolder();
  if (!item.deleted) {
    if (checks && folder && e.link != 0 && e.link != v.RootId() && !v.IsFolderCluster(e.link))
      e.kind = kKindPartlyOverwritten;
    e.hasChain = v.InVolume(e.link) && !v.IsFreeCluster(e.link) ? 1 : 0;
    e.state = kStateExisting;
    return e;
  }
  const bool empty = !folder && item.size == 0;
  if (checks && !empty) {
    if (v.Fat32()) {
      if (!folder && (mode & kModeQuick) != 0) {
        e.state = kStateFoundInFreeSpace;
        e.hasChain = v.InVolume(e.link) && !v.IsFreeCluster(e.link) ? 1 : 0;
        return e;
      }
      RecoverHighWord(v, item, folderId, e);
    } else if (folder) {
      if (!v.IsFolderCluster(e.link)) e.kind = kKindPartlyOverwritten;
    } else if (const ContentCheckFn check = v.CheckFor(item.extension); check == nullptr) {
      e.kind = kKindUnverifiable;
    } else {
      std::array<std::byte, 512> s;
      if (!v.ReadFirstSector(e.link, s) || !check(ByteSpan(s.data(), s.size()), item.size))
        e.kind = kKindPartlyOverwritten;
    }
    e.dataStart |= kAssessedFlag;
  }
  e.hasChain = v.InVolume(e.link) && !v.IsFreeCluster(e.link) ? 1 : 0;
  e.state = AssessEntry(v, e, true, view);
  return e;
}

}  // namespace torvane::fat
