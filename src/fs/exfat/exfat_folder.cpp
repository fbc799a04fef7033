#include "fs/exfat/exfat_folder.h"

#include <algorithm>

#include "raw/probes/file_type_by_tag.h"
#include "util/text.h"

namespace torvane::exfat {

ContentVerdict CheckByExtension(std::u16string_view name, ByteSpan firstBytes, uint64_t size) {
  const probes::ContentCheck check = probes::FileTypeByTag(ToUtf8(name));
  if (check == nullptr) return ContentVerdict::kNoCheck;
  return check(firstBytes, size) ? ContentVerdict::kFits : ContentVerdict::kDoesNotFit;
}

bool ExVolume::InUse(uint64_t cluster) const {
  if (!InVolume(cluster)) return false;
  const uint64_t bit = cluster - 2;
  if (bit / 8 >= g_.allocationMap.size()) return false;
  return (g_.allocationMap[bit / 8] >> (bit % 8)) & 1;
}

bool ExVolume::FreeForData(uint64_t cluster) const {
  return !InUse(cluster) && (map_ == nullptr || map_->Get(cluster) == 0);
}

uint32_t ExVolume::NextCluster(uint32_t cluster) const {
  if (!InVolume(cluster)) return 0;
  const uint32_t next = g_.NextFatCluster(cluster);
  return next == kFatChainEnd || next == kFatNoChain || !InVolume(next) ? 0 : next;
}

uint64_t ExVolume::MeasureExFolder(uint32_t cluster) const {
  const uint64_t clusterBytes = ClusterBytes();
  std::vector<std::byte> buf(clusterBytes);
  uint64_t bytes = 0;
  for (uint64_t c = cluster; InVolume(c) && bytes < kMaxFolderBytes; ++c) {
    if (g_.ReadClusters(buf.data(), 1, c) != 1) break;
    // Every entry is one a folder holds; after an end entry only end entries follow.
    bool ended = false, fits = true;
    for (size_t at = 0; at + kEntryBytes <= buf.size() && fits; at += kEntryBytes) {
      const uint8_t t = static_cast<uint8_t>(buf[at]);
      if (t == kTypeEnd) {
        ended = true;
        continue;
      }
      // The types a folder holds, in use or deleted: file, stream, name, bitmap, up-case
      // table, label, GUID, padding and the vendor extensions.
      const uint8_t live = t | kInUseBit;
      fits = !ended && (live == kTypeFile || live == kTypeStream || live == kTypeName || live == kTypeBitmap ||
                        live == kTypeUpcase || live == kTypeLabel || live == 0xA0 || live == 0xA1 || live == 0xE0 ||
                        live == 0xE1);
    }
    if (!fits || (bytes > 0 && static_cast<uint8_t>(buf[0]) == kTypeEnd)) break;
    bytes += clusterBytes;
    if (ended) break;
  }
  return bytes;
}

bool ExVolume::OpenExFolder(uint32_t firstCluster, FolderRoad road, uint64_t bytes, std::vector<std::byte>& out,
                            std::vector<uint32_t>* clusters) const {
  out.clear();
  if (clusters) clusters->clear();
  const uint64_t clusterBytes = ClusterBytes();
  if (!InVolume(firstCluster) || clusterBytes == 0) return false;
  if (road == FolderRoad::kFreeSpace) bytes = MeasureExFolder(firstCluster);
  // A live folder along the FAT without a length (the root) runs to its chain's end.
  uint64_t limit = bytes == 0 ? kMaxFolderBytes : std::min(bytes, kMaxFolderBytes);
  limit = std::min(limit, (LastCluster() - 1) * clusterBytes);
  std::vector<std::byte> buf(clusterBytes);
  uint64_t c = firstCluster;
  for (uint64_t steps = 0; out.size() < limit && InVolume(c) && steps <= LastCluster(); ++steps) {
    if (road == FolderRoad::kDeleted && steps > 0 && InUse(c)) break;  // someone else's now
    if (g_.ReadClusters(buf.data(), 1, c) != 1) break;
    out.insert(out.end(), buf.begin(), buf.end());
    if (clusters) clusters->push_back(static_cast<uint32_t>(c));
    c = road == FolderRoad::kChain ? NextCluster(static_cast<uint32_t>(c)) : c + 1;
  }
  return !out.empty();
}

uint8_t ExVolume::AssessExEntry(const FileEntry& e) const {
  if (!HasBitmap()) return kStateFoundInFreeSpace;
  if (e.IsFolder() || e.size == 0) return kStateRecoverable;
  const uint64_t clusterBytes = ClusterBytes();
  // n from the disk is capped at the volume's clusters; counts stay in 64 bits.
  const uint64_t n = std::min<uint64_t>(e.size / clusterBytes + (e.size % clusterBytes != 0), LastCluster() - 1);
  if (n == 0) return kStateRecoverable;
  const bool consecutive = (e.reserved43 & kExNoFatChain) != 0 || IsDeletedEx(e);
  uint64_t freeCount = 0;
  uint64_t c = e.link;
  for (uint64_t i = 0; i < n && InVolume(c); ++i) {
    if (FreeForData(c)) ++freeCount;
    c = consecutive ? c + 1 : NextCluster(static_cast<uint32_t>(c));
  }
  return static_cast<uint8_t>(freeCount * 100 / n);
}

FileEntry ExVolume::MakeEntry(const EntrySet& set, uint32_t folderId, ContentCheckFn check) const {
  FileEntry e;
  e.size = set.dataLength;
  e.link = set.firstCluster;
  e.attributes = set.offset;
  e.dataStart = folderId | (uint64_t{set.deleted ? 1u : 0u} << 32);
  e.time = set.times.modified;
  e.recordSector = set.times.accessed;
  e.folderFlag = static_cast<uint8_t>(set.attributes);
  e.parent = kNoParent;
  e.reserved43 = static_cast<uint8_t>((set.noFatChain ? kExNoFatChain : 0) | (set.checksumOk ? 0 : kExBadChecksum));
  if (set.IsFolder()) e.size = 0;
  const bool inUse = InUse(set.firstCluster);
  e.hasChain = inUse ? 1 : 0;
  if (!set.deleted) {
    e.state = kStateExisting;
    return e;
  }
  e.dataStart |= uint64_t{1} << 40;  // assessed here
  if (inUse) {
    // The first cluster belongs to something else now.
    e.kind = set.IsFolder() || set.dataLength > 0 ? kKindPartlyOverwritten : kKindNormal;
    e.state = set.dataLength == 0 && !set.IsFolder() ? kStateRecoverable : 0;
    return e;
  }
  if (!set.IsFolder() && set.dataLength > 0 && check != nullptr && InVolume(set.firstCluster)) {
    std::vector<std::byte> first(512);
    if (g_.ReadClusterFirstSector(first.data(), set.firstCluster) == 1) {
      const uint64_t held = std::min<uint64_t>(first.size(), set.dataLength);
      switch (check(set.name, ByteSpan(first).first(held), set.dataLength)) {
        case ContentVerdict::kDoesNotFit:
          e.kind = kKindPartlyOverwritten;
          break;
        case ContentVerdict::kFits:
          if (set.dataLength <= ClusterBytes()) {
            e.state = kStateRecoverable;
            return e;
          }
          break;
        case ContentVerdict::kNoCheck:
          break;
      }
    }
  }
  e.state = AssessExEntry(e);
  return e;
}

bool NextExEntry(const ExVolume& volume, ExFolderCursor& cursor, FileEntry& entry, ContentCheckFn check) {
  while (true) {
    const SetStep step = DecodeEntrySet(cursor.bytes, cursor.pos, cursor.set);
    if (step == SetStep::kEnd) return false;
    cursor.pos += cursor.set.bytes;
    if (step == SetStep::kSkip) continue;
    entry = volume.MakeEntry(cursor.set, cursor.folderId, check);
    return true;
  }
}

}  // namespace torvane::exfat
