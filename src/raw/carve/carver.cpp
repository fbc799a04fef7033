#include "raw/carve/carver.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <unordered_set>

#include "raw/carve/dispatch.h"
#include "raw/probes/iso_media_probes.h"
#include "raw/text/text_detect.h"
#include "util/text.h"

namespace torvane::carve {
namespace {

constexpr uint16_t kZip = 56;
constexpr uint16_t kRar = 55;
constexpr uint16_t kBlend = 161;
constexpr uint16_t kTiffMm = 147;
constexpr uint16_t kTiffIi = 148;
constexpr uint32_t kReverseBase = 1'000'000'000;

bool IsTiffCandidate(uint16_t entry) {
  return entry == kTiffMm || entry == kTiffIi;
}

// The TIFF family (plain TIFF and the camera RAW pictures): their previews are files of
// their own, so their extent is not claimed.
bool IsTiffFamily(uint16_t entry) {
  return IsTiffCandidate(entry) || (entry >= 126 && entry <= 146) || entry == 184 || entry == 201;
}

// Items stored while a TIFF is held without ending it: its preview and its metadata.
bool KeepsTiffHeld(uint16_t entry) {
  return entry == 65 || entry == 123 || entry == 124 || entry == 109 || entry == 118;
}

// Streams and archives whose content is skipped as a whole once measured.
bool SkipsContent(uint16_t entry) {
  switch (entry) {
    case 59:
    case 60:
    case 61:  // MP3
    case 41:
    case 151:
    case 152:  // MPEG video
    case 149:
    case 40:   // transport streams
    case 150:  // MXF
      return true;
    default:
      return false;
  }
}

uint64_t SectorsOf(uint64_t bytes) {
  return bytes / kSectorBytes + (bytes % kSectorBytes != 0);
}

}  // namespace

Carver::Carver(SectorReader read, uint64_t lastSector, uint64_t clusterBase, uint32_t sectorsPerCluster,
               ItemStore& store, FileTypeCounters& counters, CarveOptions options)
    : read_(std::move(read)),
      lastSector_(lastSector),
      clusterBase_(clusterBase),
      spc_(std::max<uint32_t>(1, sectorsPerCluster)),
      store_(store),
      counters_(counters),
      options_(std::move(options)) {
  probeRead_ = [this](uint64_t sector, uint32_t count, std::byte* out) { return ReadSectors(sector, count, out); };
}

void Carver::Begin(UiPort* ui) {
  counters_.BeginRawScan(ui);
  pending_ = {};
  held_ = {};
  stored_ = 0;
  headerAbove_ = lowestHeader_ = ~uint64_t{0};
  itemsAbove_.clear();
  itemsHere_.clear();
}

bool Carver::ReadSectors(uint64_t sector, uint32_t count, std::byte* out) const {
  if (sector > lastSector_ || count == 0) return false;
  const uint64_t sectors = buffer_.size() / kSectorBytes;
  if (sector >= bufferFirst_ && sector - bufferFirst_ + count <= sectors) {
    std::memcpy(out, buffer_.data() + (sector - bufferFirst_) * kSectorBytes, uint64_t{count} * kSectorBytes);
    return true;
  }
  return read_(sector, count, out);
}

ByteSpan Carver::Fetch(uint64_t sector, uint32_t count) {
  if (sector > lastSector_) return {};
  count = static_cast<uint32_t>(std::min<uint64_t>(count, lastSector_ - sector + 1));
  const uint64_t sectors = buffer_.size() / kSectorBytes;
  if (sector >= bufferFirst_ && sector - bufferFirst_ < sectors) {
    const uint64_t at = sector - bufferFirst_;
    return buffer_.subspan(at * kSectorBytes, std::min<uint64_t>(count, sectors - at) * kSectorBytes);
  }
  fetched_.resize(uint64_t{count} * kSectorBytes);
  if (!read_(sector, count, fetched_.data())) return {};
  return fetched_;
}

uint64_t Carver::RemainingBytes(uint64_t sector) const {
  return sector > lastSector_ ? 0 : (lastSector_ - sector + 1) * kSectorBytes;
}

uint64_t Carver::BytesTo(uint64_t first, uint64_t sector) const {
  const uint64_t end = std::min(sector, lastSector_ + 1);
  return end <= first ? 0 : (end - first) * kSectorBytes;
}

bool Carver::Wanted(uint16_t entry) const {
  return options_.onlyEntries.empty() || (entry < options_.onlyEntries.size() && options_.onlyEntries[entry]);
}

uint32_t Carver::NextNumber(uint16_t entry) {
  if (!Wanted(entry)) return 0;
  const uint32_t count = counters_.CountFound(entry);
  return options_.reverse ? kReverseBase - count : count;
}

bool Carver::Claimed(uint64_t sector) const {
  if (sector < clusterBase_) return false;
  return (store_.allocationMap.Get((sector - clusterBase_) / spc_) & kClaimedByRawItem) != 0;
}

void Carver::Claim(uint64_t first, uint64_t bytes) {
  if (first < clusterBase_) return;
  const uint64_t firstCluster = (first - clusterBase_) / spc_;
  const uint64_t sectors = std::max<uint64_t>(1, bytes / kSectorBytes);
  const uint64_t lastCluster = (first + sectors - 1 - clusterBase_) / spc_;
  const uint64_t mapEnd = store_.allocationMap.ClusterCount();
  for (uint64_t c = firstCluster; c <= lastCluster && c < mapEnd; ++c)
    store_.allocationMap.MarkCluster(c, kClaimedByRawItem);
}

void Carver::Store(uint16_t entry, uint64_t first, uint64_t size, bool estimated, uint32_t number,
                   const std::string& suffix, uint64_t claimBytes) {
  if (!Wanted(entry) || size == 0) return;
  const FileTypeEntry* e = FileTypeByNumber(entry);
  if (e == nullptr) return;
  // An item past a held TIFF's start ends it first (its preview and metadata do not).
  if (held_.active && !KeepsTiffHeld(entry) && first > held_.first) EndHeld(first);
  char digits[16];
  std::snprintf(digits, sizeof digits, "%09u", number);
  RawItem item{first, size, entry, number, estimated, std::string(digits)};
  if (!suffix.empty()) item.name += "_" + suffix;
  item.name += e->extension;
  FileEntry fe;
  fe.size = size;
  fe.dataStart = first;
  fe.recordSector = first;
  fe.state = kStateFoundInFreeSpace;
  fe.kind = kKindRaw;
  fe.link = entry;
  fe.recordNumber = number;
  fe.parent = kNoParent;
  fe.dataKind = estimated ? kRawSizeEstimated : 0;
  const uint64_t index = EntryCount(store_.rawFiles);
  if (!store_.AppendEntryLocked(store_.rawFiles, fe, FromUtf8(item.name))) return;
  Claim(first, claimBytes);
  ++stored_;
  if (options_.reverse) {
    itemsHere_.push_back({first, index});
    // A file that runs into the chunk above takes the place of what was found inside it.
    if (claimBytes > 0 && first + SectorsOf(claimBytes) > chunkEnd_) {
      const uint64_t end = first + SectorsOf(claimBytes);
      std::lock_guard scan(store_.scanLock);
      std::lock_guard entries(store_.entryListLock);
      for (const auto& [start, at] : itemsAbove_) {
        if (start <= first || start >= end) continue;
        FileEntry inside = EntryAt(store_.rawFiles, at);
        inside.state = kStateDuplicate;
        SetEntryAt(store_.rawFiles, at, inside);
      }
    }
  }
  if (onStored) onStored(item);
}

void Carver::EndPending(uint64_t atSector) {
  if (!pending_.active) return;
  pending_.active = false;
  uint64_t size = BytesTo(pending_.first, atSector);
  if (pending_.maximum != 0) size = std::min(size, pending_.maximum);
  if (size == 0) size = std::min<uint64_t>(kSectorBytes, RemainingBytes(pending_.first));
  Store(pending_.entry, pending_.first, size, true, pending_.number, pending_.suffix, 0);
}

void Carver::EndHeld(uint64_t atSector) {
  if (!held_.active) return;
  held_.active = false;
  uint64_t size = held_.size;
  const bool estimated = size == 0;
  if (estimated) size = std::max<uint64_t>(kSectorBytes, std::min(kTiffWindowBytes, BytesTo(held_.first, atSector)));
  size = std::min(size, RemainingBytes(held_.first));
  Store(held_.entry, held_.first, size, estimated, held_.number, held_.suffix, 0);
}

void Carver::CheckPendingAt(uint64_t sector) {
  // What is still open at the disk's last sector ends in Finish, after that sector was
  // examined (a header there ends it one sector earlier).
  if (held_.active && (sector > held_.endSector || fillerCount_ >= kTiffFillerLimit))
    EndHeld(std::min(sector, held_.endSector + 1));
  if (pending_.active && sector > pending_.endSector) EndPending(pending_.endSector + 1);
}

bool Carver::DetectAtSector(ByteSpan sector, uint64_t number, uint64_t& skipBytes) {
  skipBytes = 0;
  if (sector.size() < kSectorBytes || Claimed(number)) return false;
  ProbeContext ctx;
  ctx.firstSector = sector.first(kSectorBytes);
  ctx.sector = number;
  ctx.bytesPerSector = kSectorBytes;
  ctx.read = &probeRead_;
  ctx.bytesAvailable = RemainingBytes(number);
  const FileTypeEntry* entry = nullptr;
  for (const Candidate& c : CandidatesFor(sector, options_.detectTypes)) {
    if (!c.test(sector)) continue;
    const FileTypeEntry* e = FileTypeByNumber(c.entry);
    if (e == nullptr) continue;
    ctx.entry = e;
    ctx.ResetOutputs();
    if (e->confirmProbe != nullptr && !e->confirmProbe(ctx)) continue;
    entry = e;
    break;
  }
  if (entry == nullptr && options_.detectTypes) {
    ctx.ResetOutputs();
    const FileTypeEntry* e = probes::IsoMediaFallback(ctx);
    if (e != nullptr) {
      ctx.entry = e;
      ctx.ResetOutputs();
      if (e->confirmProbe == nullptr || e->confirmProbe(ctx)) entry = e;
    }
  }
  if (entry == nullptr) return false;

  ctx.ResetOutputs();
  const bool hasSizeProbe = entry->sizeRule == SizeRule::kProbe && entry->sizeProbe != nullptr;
  uint64_t size = 0;
  if (hasSizeProbe) {
    size = entry->sizeProbe(ctx);
    if (size == 0) return false;
  }
  // A header that is a file ends the pending one here.
  EndPending(number);
  lowestHeader_ = std::min(lowestHeader_, number);

  const FileTypeEntry* found = ctx.refinedEntry != nullptr ? ctx.refinedEntry : entry;
  const uint32_t fileNumber = NextNumber(found->number);
  // A Matroska file starts at its EBML header, the matched sector, which its probe measures
  // from; it is not moved 32 KiB back (that could reach below the volume's start or into
  // another file).
  const uint64_t first = number;
  const uint64_t remaining = RemainingBytes(number);
  bool estimated = ctx.sizeEstimated;
  if (size > remaining) {
    size = remaining;
    estimated = true;
  }
  if (!hasSizeProbe) {
    // No measure: pending until the next header, at most the maximum, at most the volume.
    pending_ = {};
    pending_.active = true;
    pending_.entry = found->number;
    pending_.first = first;
    pending_.maximum = entry->maximumSize;
    pending_.endSector =
        entry->maximumSize == 0 ? lastSector_ : std::min(lastSector_, first + SectorsOf(entry->maximumSize) - 1);
    pending_.number = fileNumber;
    pending_.suffix = ctx.nameSuffix;
    return true;
  }

  if (IsTiffCandidate(entry->number) && (estimated || size <= kSectorBytes)) {
    // Not measured: held until the scan passes its window or the next file starts.
    if (held_.active) EndHeld(number);
    held_ = {};
    held_.active = true;
    held_.entry = found->number;
    held_.first = first;
    held_.endSector = std::min(lastSector_, first + kTiffWindowBytes / kSectorBytes - 1);
    held_.number = fileNumber;
    held_.suffix = ctx.nameSuffix;
    return true;
  }
  Store(found->number, first, size, estimated, fileNumber, ctx.nameSuffix, IsTiffFamily(found->number) ? 0 : size);

  // What is skipped: archives and streams as a whole, an explicit request of a sector or
  // more; never more than the probe verified, never past the volume.
  uint64_t skip = 0;
  const uint32_t code = ctx.resultCode;
  if (entry->number == kZip || entry->number == kRar) {
    if (code == kProbeResultSkipField)
      skip = ctx.skipBytes;
    else if (code != kProbeResultNoSkip)
      skip = size;
  } else if (SkipsContent(entry->number) || (entry->number == kBlend && code == kProbeResultDefault)) {
    skip = size;
  }
  if (ctx.skipBytes >= kSectorBytes && code != kProbeResultSkipField) skip = ctx.skipBytes;
  const uint64_t verified = estimated ? (code == kProbeResultSkipField ? ctx.skipBytes : 0) : size;
  skipBytes = std::min({skip, verified, remaining});
  return true;
}

void Carver::TextPass(ByteSpan data, uint64_t firstSector, uint64_t sectors) {
  const text::SectorFetch fetch = [this](uint64_t sector, uint32_t count) { return Fetch(sector, count); };
  for (uint64_t i = 0; i < sectors;) {
    if (options_.stop != nullptr && *options_.stop) return;
    const uint64_t s = firstSector + i;
    if (Claimed(s)) {
      ++i;
      continue;
    }
    const ByteSpan sector = data.subspan(i * kSectorBytes, kSectorBytes);
    std::optional<text::TextFound> t;
    if (!IsFillerSector(sector)) t = text::DetectTextAtSector(data.subspan(i * kSectorBytes), s, fetch, options_.stop);
    if (!t && text::LooksLikeUtf16(sector))
      t = text::DetectUtf16TextAtSector(data.subspan(i * kSectorBytes), s, fetch, options_.stop);
    if (!t) {
      ++i;
      continue;
    }
    const uint64_t size = std::min(t->size, RemainingBytes(s));
    // Only whole sectors are claimed: the sector a text ends in may start the next file.
    Store(t->entry, s, size, t->estimated, NextNumber(t->entry), t->nameSuffix, size / kSectorBytes * kSectorBytes);
    i += std::max<uint64_t>(1, SectorsOf(size));
  }
}

uint64_t Carver::CarveBuffer(ByteSpan data, uint64_t firstSector) {
  const uint64_t sectors = data.size() / kSectorBytes;
  data = data.first(sectors * kSectorBytes);
  buffer_ = data;
  bufferFirst_ = firstSector;
  chunkEnd_ = firstSector + sectors;
  lowestHeader_ = ~uint64_t{0};
  uint64_t i = 0;
  fillerCount_ = 0;
  while (i < sectors && IsFillerSector(data.subspan(i * kSectorBytes, kSectorBytes))) {
    CheckPendingAt(firstSector + i);
    ++i;
  }
  fillerCount_ = 0;
  uint64_t overhang = 0;
  while (i < sectors) {
    if (options_.stop != nullptr && *options_.stop) break;
    const uint64_t s = firstSector + i;
    CheckPendingAt(s);
    const ByteSpan sector = data.subspan(i * kSectorBytes, kSectorBytes);
    if (IsFillerSector(sector)) {
      ++fillerCount_;
      ++i;
      continue;
    }
    uint64_t skip = 0;
    if (!DetectAtSector(sector, s, skip)) {
      ++i;
      continue;
    }
    const uint64_t n = std::max<uint64_t>(1, SectorsOf(skip));
    if (n > sectors - i) {
      overhang = (n - (sectors - i)) * kSectorBytes;
      break;
    }
    i += n;
  }
  if (options_.detectTypes) TextPass(data, firstSector, sectors);
  if (options_.reverse) {
    // Nothing below can end what is still open: the next header above does, as it would
    // have in a forward scan.
    const uint64_t end = std::min(headerAbove_, lastSector_ + 1);
    EndPending(end);
    EndHeld(end);
    if (lowestHeader_ != ~uint64_t{0}) headerAbove_ = lowestHeader_;
    itemsAbove_ = std::move(itemsHere_);
    itemsHere_.clear();
    overhang = 0;
  }
  buffer_ = {};
  return overhang;
}

void Carver::Finish() {
  EndPending(lastSector_ + 1);
  EndHeld(lastSector_ + 1);
}

uint64_t DropRawDuplicates(ItemStore& store, FsKind kind, uint64_t clusterBase, uint32_t sectorsPerCluster) {
  std::lock_guard scan(store.scanLock);
  std::lock_guard entries(store.entryListLock);
  std::unordered_set<uint64_t> starts;
  const uint64_t spc = std::max<uint32_t>(1, sectorsPerCluster);
  const bool ntfs = kind == FsKind::kNtfs;
  for (uint64_t i = 0; i < EntryCount(store.deletedEntries); ++i) {
    const FileEntry e = EntryAt(store.deletedEntries, i);
    if (e.IsFolder() || e.size == 0 || e.kind == kKindRaw || e.state == kStateDuplicate) continue;
    if (ntfs && e.dataKind == kDataNonResident && e.dataStart != 0) starts.insert(clusterBase + e.dataStart * spc);
    if (!ntfs && e.link >= 2) starts.insert(clusterBase + uint64_t{e.link} * spc);
  }
  uint64_t dropped = 0;
  if (starts.empty()) return 0;
  for (uint64_t i = 0; i < EntryCount(store.rawFiles); ++i) {
    FileEntry e = EntryAt(store.rawFiles, i);
    const uint64_t start = e.dataStart;
    if (e.state == kStateDuplicate || !starts.contains(start)) continue;
    e.state = kStateDuplicate;
    SetEntryAt(store.rawFiles, i, e);
    ++dropped;
  }
  return dropped;
}

}  // namespace torvane::carve
