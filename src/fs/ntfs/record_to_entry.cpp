// One MFT record turned into a found entry: its name, size, place of its data, and how much
// of a deleted file's data still lies in free clusters.
#include <algorithm>
#include <cstring>

#include "fs/ntfs/ntfs_volume.h"
#include "util/bytes.h"

namespace torvane::ntfs {
namespace {

constexpr uint32_t kFileNameDirectory = kAttributeFolder;  // $FILE_NAME flag of a folder
constexpr uint32_t kAttrLoggedUtilityStream = 0x100;
constexpr uint16_t kMaxRunlistOffset = 0x100;
// Files larger than 16 TiB are not real: the record is damaged.
constexpr uint64_t kMaxFileBytes = uint64_t{1} << 44;

// The order in which a $FILE_NAME's namespace is preferred: Win32 (and Win32+DOS) names
// over POSIX ones over 8.3 DOS names.
int NamespaceRank(uint8_t ns) {
  switch (ns) {
    case kNamespaceWin32:
    case kNamespaceWin32AndDos:
      return 3;
    case kNamespacePosix:
      return 2;
    case kNamespaceDos:
      return 1;
    default:
      return 0;
  }
}

}  // namespace

void NtfsVolume::GatherFileNames(std::span<const std::byte> record, const MftRecordHeader& header,
                                 uint64_t recordNumber) {
  names_.clear();
  auto addFrom = [this](std::span<const std::byte> rec) {
    AttributeIterator it(rec);
    AttributeView a;
    while (it.Next(a)) {
      if (a.type != kAttrFileName || a.nonResident) continue;
      auto value = ResidentValue(rec, a);
      if (value.size() < 0x42) continue;
      const uint8_t length = LeU8(value, 0x40);
      if (length == 0 || value.size() < 0x42 + 2u * length) continue;
      FileNameInfo info;
      info.name.resize(length);
      for (size_t i = 0; i < length; ++i) info.name[i] = static_cast<char16_t>(LeU16(value, 0x42 + 2 * i));
      info.parent = ReferenceRecord(LeU64(value, 0));
      info.parentSequence = ReferenceSequence(LeU64(value, 0));
      info.time = LeU64(value, 0x18);
      info.size = LeU64(value, 0x30);
      info.flags = LeU32(value, 0x38);
      info.rank = NamespaceRank(LeU8(value, 0x41));
      names_.push_back(std::move(info));
    }
  };
  addFrom(record);
  // Names that did not fit the base record live in extension records named by its list.
  auto list = FindAttribute(record, kAttrAttributeList, false);
  if (!list || !ReadAttributeValue(record, *list, listValue_, 1 << 20)) return;
  std::vector<uint64_t> loaded;
  AttributeListIterator it(listValue_);
  AttributeListEntry e;
  const uint64_t self = MakeReference(recordNumber, header.sequence);
  while (it.Next(e)) {
    const uint64_t number = ReferenceRecord(e.reference);
    if (e.type == kAttrFileName && number != recordNumber &&
        std::find(loaded.begin(), loaded.end(), number) == loaded.end() && loaded.size() < 256) {
      loaded.push_back(number);
      if (LoadExtensionRecord(e.reference, self, !header.inUse(), extension_)) addFrom(extension_);
    }
  }
}

std::vector<const NtfsVolume::FileNameInfo*> NtfsVolume::OtherLinks() const {
  std::vector<const FileNameInfo*> others;
  if (names_.empty()) return others;
  const FileNameInfo& first = names_.front();
  bool longNames = false;
  for (const auto& n : names_) longNames |= n.rank >= 2;
  for (size_t i = 1; i < names_.size(); ++i) {
    const FileNameInfo& n = names_[i];
    if (longNames && n.rank < 2) continue;  // the 8.3 twin of a long name
    if (n.parent == first.parent && n.name == first.name) continue;
    others.push_back(&n);
  }
  return others;
}

bool NtfsVolume::RecordToEntry(std::span<std::byte> record, FileEntry& entry, std::u16string& name,
                               uint64_t recordCluster, uint64_t recordNumber, bool keepExtensionRecords) {
  entry = FileEntry{};
  if (!ApplyFixups(record, 512)) return false;
  MftRecordHeader header;
  if (!ParseMftRecordHeader(record, header)) return false;
  const std::span<const std::byte> r(record);
  {
    // A record with a malformed attribute is rejected, not repaired.
    AttributeIterator it(r);
    AttributeView a;
    while (it.Next(a)) {
    }
    if (it.damaged()) return false;
  }

  auto standard = FindAttribute(r, kAttrStandardInformation, false);
  if (!standard) {
    if (keepExtensionRecords) KeepExtensionRecord(r);
    return false;
  }
  const uint64_t number = header.hasRecordNumber ? header.recordNumber : recordNumber;
  header_ = header;
  GatherFileNames(r, header, number);
  if (names_.empty()) return false;
  // The best-ranked name goes first (the first of equals): a long name wins over its 8.3 twin.
  std::stable_sort(names_.begin(), names_.end(),
                   [](const FileNameInfo& a, const FileNameInfo& b) { return a.rank > b.rank; });
  const FileNameInfo& fn = names_.front();
  const uint64_t time = fn.time;
  name = fn.name;
  if (time == 0 || name.empty() || name[0] == 0 || name == u".") {
    names_.clear();
    return false;
  }

  entry.recordNumber = number;
  entry.size = fn.size;
  entry.attributes = fn.flags;
  const auto si = ResidentValue(r, *standard);
  if (LeU32(si, 0x20) & kAttributeCompressed) entry.attributes |= kAttributeCompressed;
  entry.time = time;
  entry.SetParentRecord(fn.parent);
  entry.listed = 0;

  const bool inUse = header.inUse();
  const bool recordInFreeSpace = IsClusterFree(recordCluster);
  const uint64_t lastCluster = LastCluster();
  // An LCN past the volume means a damaged runlist (checked while cluster numbers fit 32 bits,
  // as the volumes this test was made for do).
  auto lcnOutside = [&](uint64_t lcn) { return lastCluster <= 0xFFFFFFFF && lcn > lastCluster; };

  bool skipAttributeList = false;
  if (auto index = FindAttribute(r, kAttrIndexAllocation, false)) {
    entry.attributes |= kFileNameDirectory;
    entry.size = 0;
    if (index->nonResident) {
      if (index->runlistOffset > kMaxRunlistOffset) return false;
      runs_.clear();
      DecodeRuns(r, *index, runs_);
      entry.dataStart = FirstRunLcn(runs_);
      if (lcnOutside(entry.dataStart)) return false;
      entry.dataKind = 0;
    } else {
      entry.dataStart = recordCluster;
      entry.dataKind = 1;
    }
    skipAttributeList = true;
  } else if (auto data = FindAttribute(r, kAttrData, true)) {
    if (!data->nonResident) {
      entry.dataKind = kDataResident;
      entry.size = data->valueLength;
      entry.dataStart = recordCluster;
      entry.state = kStateRecoverable;
      skipAttributeList = data->id == 1;
    } else {
      entry.dataKind = 0;
      entry.size = data->realSize;
      if (data->runlistOffset > kMaxRunlistOffset) return false;
      runs_.clear();
      DecodeRuns(r, *data, runs_);
      entry.dataStart = FirstRunLcn(runs_);
      if (lcnOutside(entry.dataStart)) return false;
      entry.state = !HasBitmap() || recordInFreeSpace ? kStateFoundInFreeSpace
                    : inUse                           ? kStateExisting
                                                      : static_cast<uint8_t>(FreeClusterPercent(runs_));
      skipAttributeList = data->id == 4;
    }
  }

  if (!skipAttributeList) {
    if (entry.dataStart == 0) entry.dataStart = recordCluster;
    if (auto list = FindAttribute(r, kAttrAttributeList, false)) {
      if (ReadAttributeValue(r, *list, listValue_, 1 << 20)) {
        const uint64_t maxEntry = 2 * ClusterBytes();
        AttributeListIterator it(listValue_);
        AttributeListEntry e;
        while (it.Next(e)) {
          if ((e.type & 0xFF) == 0) break;
          if (e.type == kAttrIndexAllocation) {
            entry.attributes |= kFileNameDirectory;
            entry.size = 0;
            if (!list->nonResident) {
              entry.dataStart = recordCluster;
              entry.dataKind = 1;
            }
            break;
          }
          // Only the unnamed $DATA that starts the file: a named stream is not its content.
          if (e.type == kAttrData && !e.named() && e.lowestVcn == 0) {
            // The piece may lie in the base record itself, or in one of its extensions.
            std::span<const std::byte> holder;
            if (ReferenceRecord(e.reference) == number)
              holder = r;
            else if (LoadExtensionRecord(e.reference, MakeReference(number, header.sequence), !inUse, extension_))
              holder = extension_;
            if (!holder.empty()) {
              if (auto data = FindAttribute(holder, kAttrData, true); data && data->nonResident) {
                if (data->runlistOffset > kMaxRunlistOffset || data->runlistOffset > maxEntry) return false;
                runs_.clear();
                DecodeRuns(holder, *data, runs_);
                entry.dataKind = kDataInExtensionRecord;
                entry.size = data->realSize;
                entry.dataStart = FirstRunLcn(runs_);
                // The state follows the same rule as data in the base record.
                entry.state = !HasBitmap() || recordInFreeSpace ? kStateFoundInFreeSpace
                              : inUse                           ? kStateExisting
                                                                : static_cast<uint8_t>(FreeClusterPercent(runs_));
              }
            }
            break;
          }
          if (e.length > maxEntry) break;
        }
      }
    }
  }

  entry.folderFlag = (entry.attributes & kFileNameDirectory) ? 0x10 : 0;
  if (auto logged = FindAttribute(r, kAttrLoggedUtilityStream, false)) {
    const std::u16string stream = AttributeName(r, *logged);
    if (stream.rfind(u"$EFS", 0) == 0) entry.attributes |= kAttributeEncrypted;
  }
  entry.kind = entry.state < kStateRecoverable ? kKindPartlyOverwritten : kKindNormal;
  entry.mark = 0;
  if (entry.attributes & kFileNameDirectory) {
    entry.state = !inUse || recordInFreeSpace ? kStateRecoverable : kStateExisting;
    entry.kind = kKindNormal;
  } else if (HasBitmap() && !recordInFreeSpace && inUse) {
    entry.kind = kKindNormal;
    entry.state = kStateExisting;
  }
  // An empty file is listed where the MFT holds it; found in free space it is only noise.
  if (entry.folderFlag == 0 && ((entry.size == 0 && recordInFreeSpace) || entry.size > kMaxFileBytes)) {
    names_.clear();
    return false;
  }
  return true;
}

}  // namespace torvane::ntfs
