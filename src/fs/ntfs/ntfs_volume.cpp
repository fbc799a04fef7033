#include "fs/ntfs/ntfs_volume.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "util/bytes.h"

namespace torvane::ntfs {
namespace {

// $MFT's attribute list may name extension records holding more of its runlist; a volume
// does not need more than this many.
constexpr size_t kMaxMftExtensions = 1024;

bool BitSet(const std::vector<uint8_t>& bitmap, uint64_t bit) {
  return (bitmap[bit / 8] >> (bit % 8)) & 1;
}

}  // namespace

bool NtfsVolume::ReadRecordAt(uint64_t sector, std::vector<std::byte>& out) {
  return ntfs::ReadRecordAt(source_, sector, RecordBytes(), out) == RecordRead::kOk;
}

uint64_t NtfsVolume::VolumeClusters() const {
  uint64_t clusters = g_.clusterCount == ~uint64_t{0} ? g_.clusterCount : g_.clusterCount + 1;
  const uint64_t spc = g_.sectorsPerCluster;
  if (spc != 0 && source_.diskSectors != kNoBound && source_.volumeStart <= source_.diskSectors)
    clusters = std::min(clusters, (source_.diskSectors - source_.volumeStart) / spc);
  return clusters;
}

bool NtfsVolume::LoadMft(std::string& error) {
  mftRuns_.clear();
  std::vector<std::byte> record;
  if (!ReadRecordAt(g_.mftStartSector, record)) {
    error = "MFT record 0 cannot be read";
    return false;
  }
  auto data = FindAttribute(record, kAttrData, true);
  if (!data || !data->nonResident || data->lowestVcn != 0 || !AttributeRuns(record, *data, mftRuns_)) {
    error = "MFT record 0 has no usable data runlist";
    return false;
  }
  // A fragmented MFT continues its runlist in extension records named by its attribute list.
  auto list = FindAttribute(record, kAttrAttributeList, false);
  if (list && data->highestVcn + 1 > CountAllocatedClusters(mftRuns_)) {
    std::vector<std::byte> value, extension;
    std::vector<DataRun> more;
    MftRecordHeader header;
    ParseMftRecordHeader(record, header);
    if (ReadAttributeValue(record, *list, value, 1 << 20)) {
      AttributeListIterator it(value);
      AttributeListEntry e;
      std::vector<uint64_t> followed;
      while (it.Next(e) && followed.size() < kMaxMftExtensions) {
        const uint64_t number = ReferenceRecord(e.reference);
        if (e.type != kAttrData || e.named() || e.lowestVcn == 0 || number == 0 ||
            std::find(followed.begin(), followed.end(), number) != followed.end())
          continue;
        followed.push_back(number);
        // Read it by the runs known so far (the MFT's start always maps its first records).
        if (LoadExtensionRecord(e.reference, MakeReference(0, header.sequence), false, extension)) {
          auto piece = FindAttribute(extension, kAttrData, true);
          if (piece && piece->nonResident && AttributeRuns(extension, *piece, more))
            mftRuns_.insert(mftRuns_.end(), more.begin(), more.end());
        }
      }
    }
  }
  // Each VCN once: a runlist naming the same VCNs again (a damaged attribute list) does not
  // make the walk list records again.
  OrderRunsByVcn(mftRuns_);
  return true;
}

bool NtfsVolume::DecodeRuns(std::span<const std::byte> record, const AttributeView& a,
                            std::vector<DataRun>& runs) const {
  if (!a.nonResident || a.runlistOffset >= a.length) return false;
  return DecodeRunlist(record.subspan(a.offset + a.runlistOffset, a.length - a.runlistOffset), a.lowestVcn, runs);
}

bool NtfsVolume::AttributeRuns(std::span<const std::byte> record, const AttributeView& a,
                               std::vector<DataRun>& runs) const {
  if (!DecodeRuns(record, a, runs)) return false;
  // Clusters past the volume do not exist: a run reaching there is cut, so that a damaged
  // length cannot send a reader over terabytes of refused or zero-filled reads.
  ClipRunsToVolume(runs, VolumeClusters());
  return true;
}

bool NtfsVolume::IsClusterFree(uint64_t cluster) const {
  if (!HasBitmap() || cluster > LastCluster()) return true;
  if (cluster < 2) return false;
  if (cluster / 8 >= g_.allocationMap.size()) return true;
  return !BitSet(g_.allocationMap, cluster);
}

uint64_t CountClearBits(std::span<const uint8_t> bitmap, uint64_t first, uint64_t count, AllocationMap* setBits) {
  const uint64_t bits = uint64_t{bitmap.size()} * 8;
  if (first >= bits) return 0;
  const uint64_t end = first + std::min(count, bits - first);
  uint64_t clear = 0;
  uint64_t c = first;
  while (c < end) {
    // Whole 64-bit words once the bit is word-aligned.
    if (c % 64 == 0 && end - c >= 64) {
      uint64_t word;
      std::memcpy(&word, bitmap.data() + c / 8, 8);
      if (word == 0) {
        clear += 64;
        c += 64;
        continue;
      }
      if (word == ~uint64_t{0}) {
        if (setBits != nullptr)
          for (uint64_t k = 0; k < 64; ++k) setBits->MarkCluster(c + k, AllocationMap::kAllocated);
        c += 64;
        continue;
      }
    }
    if ((bitmap[c / 8] >> (c % 8)) & 1) {
      if (setBits != nullptr) setBits->MarkCluster(c, AllocationMap::kAllocated);
    } else {
      ++clear;
    }
    ++c;
  }
  return clear;
}

uint32_t NtfsVolume::FreeClusterPercent(const std::vector<DataRun>& runs) const {
  if (!HasBitmap()) return 110;
  uint64_t total = 0, free = 0;
  for (const auto& run : runs) {
    if (run.sparse) continue;
    total += run.length;
    free += CountClearBits(g_.allocationMap, run.lcn, run.length);
  }
  return total == 0 ? 0 : static_cast<uint32_t>(free * 100 / total);
}

bool NtfsVolume::ReadAttributeClusters(const std::vector<DataRun>& runs, uint64_t startVcn, std::byte* buffer,
                                       uint64_t count) {
  const uint64_t clusterBytes = ClusterBytes();
  uint64_t vcn = startVcn;
  while (count > 0) {
    const VcnMapping m = MapVcn(runs, vcn);
    const uint64_t n = std::min(count, m.contiguous == 0 ? count : m.contiguous);
    if (m.contiguous == 0 || m.sparse) {
      std::memset(buffer, 0, n * clusterBytes);  // a hole, or past the runlist
    } else {
      // In pieces the sector source takes in one call.
      uint64_t done = 0;
      while (done < n) {
        const uint64_t piece = std::min<uint64_t>(n - done, 0xFFFFFFFFull / g_.sectorsPerCluster / 2);
        if (source_.ReadSectors(buffer + done * clusterBytes, static_cast<uint32_t>(piece * g_.sectorsPerCluster),
                                (m.lcn + done) * g_.sectorsPerCluster) != 1) {
          std::memset(buffer + done * clusterBytes, 0, (n - done) * clusterBytes);
          return false;
        }
        done += piece;
      }
    }
    buffer += n * clusterBytes;
    vcn += n;
    count -= n;
  }
  return true;
}

void NtfsVolume::ReportOversized(uint64_t clusters) {
  if (oversized_++ != 0 || ui_ == nullptr) return;
  char text[96];
  std::snprintf(text, sizeof text, "Overflow on NTFS_ATTR Buff: nClusters: %llu, BPC= %llu",
                static_cast<unsigned long long>(clusters), static_cast<unsigned long long>(ClusterBytes()));
  ui_->ShowMessage("Torvane", text, MessageIcon::kError);
}

bool NtfsVolume::ReadAttributeValue(std::span<const std::byte> record, const AttributeView& a,
                                    std::vector<std::byte>& out, uint64_t cap) {
  if (!a.nonResident) {
    auto value = ResidentValue(record, a);
    if (value.size() != a.valueLength || value.size() > cap) return false;
    out.assign(value.begin(), value.end());
    return true;
  }
  std::vector<DataRun> runs;
  if (!AttributeRuns(record, a, runs) || a.lowestVcn != 0) return false;
  const uint64_t clusters = a.highestVcn + 1;
  uint64_t bytes;
  if (!CheckedMul(clusters, ClusterBytes(), bytes) || bytes > cap || a.realSize > bytes) {
    ReportOversized(clusters);
    return false;
  }
  out.resize(bytes);
  ReadAttributeClusters(runs, 0, out.data(), clusters);
  out.resize(a.realSize);
  return true;
}

bool NtfsVolume::ReadRecord(uint64_t number, std::vector<std::byte>& out) {
  const uint64_t recordBytes = RecordBytes(), clusterBytes = ClusterBytes();
  if (recordBytes == 0 || mftRuns_.empty()) return false;
  uint64_t byte;
  if (!CheckedMul(number, recordBytes, byte)) return false;
  const VcnMapping m = MapVcn(mftRuns_, byte / clusterBytes);
  if (m.contiguous == 0 || m.sparse) return false;
  // A record larger than a cluster spans clusters that are contiguous in practice; a record
  // split across runs is read cluster by cluster.
  const uint64_t sector = m.lcn * g_.sectorsPerCluster + (byte % clusterBytes) / 512;
  if (recordBytes <= clusterBytes || m.contiguous * clusterBytes >= (byte % clusterBytes) + recordBytes)
    return ReadRecordAt(sector, out);
  out.assign(recordBytes, std::byte{0});
  for (uint64_t done = 0; done < recordBytes; done += clusterBytes) {
    const VcnMapping piece = MapVcn(mftRuns_, (byte + done) / clusterBytes);
    if (piece.contiguous == 0 || piece.sparse ||
        source_.ReadSectors(out.data() + done, static_cast<uint32_t>(clusterBytes / 512),
                            piece.lcn * g_.sectorsPerCluster) != 1)
      return false;
  }
  return ApplyFixups(out, 512);
}

void NtfsVolume::KeepExtensionRecord(std::span<const std::byte> record) {
  if (kept_.size() + record.size() > kMaxKeptRecordBytes) return;
  kept_.insert(kept_.end(), record.begin(), record.end());
}

bool NtfsVolume::LoadExtensionRecord(uint64_t reference, uint64_t base, bool baseDeleted, std::vector<std::byte>& out) {
  const uint64_t number = ReferenceRecord(reference);
  const uint16_t sequence = ReferenceSequence(base);
  auto matches = [&](std::span<const std::byte> rec) {
    MftRecordHeader h;
    if (!ParseMftRecordHeader(rec, h)) return false;
    if (h.hasRecordNumber && h.recordNumber != number) return false;
    // A base record (base reference 0) or another file's extension is never taken.
    if (h.baseRecord == 0 || ReferenceRecord(h.baseRecord) != ReferenceRecord(base)) return false;
    const uint16_t named = ReferenceSequence(h.baseRecord);
    return named == sequence || (baseDeleted && SequenceAfterFree(named) == sequence);
  };
  if (ReadRecord(number, out) && matches(out)) return true;
  // The MFT position holds another record: look among the records kept from free space.
  const uint32_t size = RecordBytes();
  for (size_t at = 0; size != 0 && at + size <= kept_.size(); at += size) {
    std::span<const std::byte> rec(kept_.data() + at, size);
    MftRecordHeader h;
    if (!ParseMftRecordHeader(rec, h) || !h.hasRecordNumber || h.recordNumber != number || !matches(rec)) continue;
    out.assign(rec.begin(), rec.end());
    return true;
  }
  return false;
}

void NtfsVolume::NoteFolderRecord(uint64_t number, uint16_t sequence, bool inUse) {
  // Numbers beyond the MFT's size come from damaged records: not kept.
  const uint64_t limit = std::max<uint64_t>(
      g_.mftRecordCount, CountAllocatedClusters(mftRuns_) * ClusterBytes() / std::max<uint32_t>(1, RecordBytes()));
  if (number >= limit || number >= (uint64_t{1} << 28)) return;
  if (folders_.size() <= number) folders_.resize(std::max<uint64_t>(number + 1, folders_.size() * 2), 0);
  folders_[number] = 0x10000u | (inUse ? 0x20000u : 0) | sequence;
}

bool NtfsVolume::ParentReferenceStale(uint64_t parentReference) const {
  const uint64_t number = ReferenceRecord(parentReference);
  const uint16_t wanted = ReferenceSequence(parentReference);
  if (number >= folders_.size() || folders_[number] == 0 || wanted == 0) return false;
  const uint16_t now = static_cast<uint16_t>(folders_[number]);
  const bool inUse = (folders_[number] & 0x20000u) != 0;
  if (now == 0 || now == wanted) return false;
  return inUse || SequenceAfterFree(wanted) != now;
}

bool NtfsVolume::FindSystemRecord(std::u16string_view name, std::vector<std::byte>& out, bool fromMirror) {
  const uint64_t start = (fromMirror ? g_.mftMirrorCluster : g_.mftCluster) * g_.sectorsPerCluster;
  const uint64_t sectorsPerRecord = std::max<uint64_t>(1, RecordBytes() / 512);
  for (uint64_t i = 0; i < 16; ++i) {
    std::u16string found;
    if (ReadRecordAt(start + i * sectorsPerRecord, out) && ReadFileName(out, found) && found == name) return true;
  }
  return false;
}

}  // namespace torvane::ntfs
