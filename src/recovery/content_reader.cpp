#include "recovery/content_reader.h"

#include <algorithm>
#include <cstring>

#include "fs/ntfs/mft_record.h"
#include "fs/ntfs/ntfs_volume.h"
#include "fs/ntfs/runlist.h"
#include "recovery/efs_export.h"
#include "recovery/lznt1.h"
#include "util/bytes.h"

namespace torvane::recovery {
namespace {

// Clusters are read in pieces of 128 KiB (at least one cluster): large enough for few
// calls, small enough that a piece is still in the processor's cache when it is written
// (measured: 2 MiB pieces made recovery slower and its time erratic).
constexpr uint64_t kTransferBytes = 128ull << 10;
constexpr uint32_t kAttrLoggedUtilityStream = 0x100;
// Encryption metadata larger than this is not an $EFS stream.
constexpr uint64_t kMaxEfsMetadata = 8192;
// Attribute header flag of compressed data (sparse files may carry a compression unit too).
constexpr uint16_t kAttributeFlagCompressed = 0x0001;

// Delivers a byte window [skip, skip + limit) of a stream of bytes to the sink: the range
// readers and the whole-item readers share the same producers.
class Window {
 public:
  Window(ReaderSink& sink, uint64_t first, uint64_t last) : sink_(sink), first_(first), last_(last) {}
  // Feeds the next bytes of the item; false ends the read.
  bool Feed(std::span<const std::byte> data) {
    const uint64_t start = position_, end = position_ + data.size();
    position_ = end;
    if (end <= first_ || start > last_) return start <= last_;
    const uint64_t from = std::max(start, first_) - start;
    const uint64_t to = (last_ >= end - 1 ? end : last_ + 1) - start;  // last_ may be all ones
    if (!sink_.WriteChunk(data.subspan(from, to - from))) {
      stopped_ = true;
      return false;
    }
    delivered_ += to - from;
    return end <= last_;
  }
  bool Zeros(uint64_t count) {
    static const std::vector<std::byte> zeros(1 << 20);
    while (count > 0) {
      const size_t n = static_cast<size_t>(std::min<uint64_t>(count, zeros.size()));
      if (!Feed({zeros.data(), n})) return false;
      count -= n;
    }
    return true;
  }
  // Skips bytes that lie before the window without producing them.
  bool Before(uint64_t bytes) const { return position_ + bytes <= first_; }
  void Skip(uint64_t bytes) { position_ += bytes; }
  uint64_t Position() const { return position_; }
  // Starts the item over (the sink was restarted).
  void Reset() {
    position_ = 0;
    delivered_ = 0;
    stopped_ = false;
  }
  bool Done() const { return position_ > last_; }
  bool stopped_ = false;
  uint64_t delivered_ = 0;

 private:
  ReaderSink& sink_;
  uint64_t first_, last_;
  uint64_t position_ = 0;
};

bool Cancelled(const ReaderContext& ctx) {
  return (ctx.cancel != nullptr && *ctx.cancel) || (ctx.searchStop != nullptr && *ctx.searchStop);
}

// Reads clusters; a failed read delivers zeros and marks the outcome incomplete.
bool ReadClusters(ReaderContext& ctx, uint64_t lcn, uint64_t count, std::byte* out, ReadOutcome& outcome) {
  const uint64_t spc = ctx.geometry.sectorsPerCluster;
  const uint64_t failedBefore = ctx.source.failedSectors;
  uint64_t first;
  if (!CheckedMul(lcn, spc, first) || !CheckedAdd(first, ctx.geometry.clusterBase, first) ||
      ctx.source.ReadSectors(out, static_cast<uint32_t>(count * spc), first) != 1) {
    std::memset(out, 0, count * spc * 512);
    outcome.incomplete = true;
    return false;
  }
  if (ctx.source.failedSectors != failedBefore) outcome.incomplete = true;
  return true;
}

class NtfsItemReader {
 public:
  NtfsItemReader(ReaderContext& ctx, const FileEntry& item, Window& out, ReadOutcome& outcome)
      : ctx_(ctx), item_(item), out_(out), outcome_(outcome), clusterBytes_(uint64_t{ctx.geometry.sectorsPerCluster} * 512) {}

  bool Read() {
    if (ctx_.ntfs == nullptr || clusterBytes_ == 0) return Fail("the volume's MFT is not open");
    const uint32_t recordBytes = ctx_.ntfs->RecordBytes();
    std::vector<std::byte> record((std::max<uint32_t>(recordBytes, 512) + 511) / 512 * 512);
    if (ctx_.source.ReadSectors(record.data(), static_cast<uint32_t>(record.size() / 512), item_.recordSector) != 1)
      return Fail("the file's MFT record cannot be read");
    record.resize(recordBytes);
    if (!ntfs::ApplyFixups(record, 512)) return Fail("the file's MFT record is damaged");
    const uint64_t size = item_.size;
    if (item_.attributes & kAttributeEncrypted) return ReadEncrypted(record);

    std::vector<ntfs::DataRun> runs;
    ntfs::AttributeView data{};
    if (!CollectData(record, runs, data)) return false;
    if (!data.nonResident) {
      // Resident: the value, never bytes beyond it, then zeros up to the item's size.
      auto value = ntfs::ResidentValue(record, data);
      const uint64_t n = std::min<uint64_t>(size, value.size());
      if (!out_.Feed(value.subspan(0, n))) return Finish(size);
      out_.Zeros(size - n);
      return Finish(size);
    }
    if (data.compressionUnit != 0 && (data.flags & kAttributeFlagCompressed) != 0) return ReadCompressed(runs, size, data.compressionUnit);
    return ReadPlain(runs, size);
  }

 private:
  bool Fail(const std::string& why) {
    outcome_.error = why;
    return false;
  }
  bool Finish(uint64_t size) {
    outcome_.stopped = out_.stopped_ || Cancelled(ctx_);
    return !outcome_.stopped && out_.Position() >= size;
  }

  // The file's unnamed $DATA: in the record, or spread over the extension records its
  // attribute list names. Each extent is decoded on its own and placed by its lowest VCN.
  bool CollectData(std::span<const std::byte> record, std::vector<ntfs::DataRun>& runs, ntfs::AttributeView& first) {
    auto data = ntfs::FindAttribute(record, ntfs::kAttrData, true);
    auto list = ntfs::FindAttribute(record, ntfs::kAttrAttributeList, false);
    if (data && (!data->nonResident || !list)) {
      first = *data;
      if (data->nonResident && !ctx_.ntfs->AttributeRuns(record, *data, runs))
        return Fail("the file's runlist is damaged");
      return true;
    }
    if (!list) return Fail("the file has no data stream");
    std::vector<std::byte> value, extension;
    if (!ctx_.ntfs->ReadAttributeValue(record, *list, value, 1 << 20)) return Fail("the file's attribute list is damaged");
    ntfs::MftRecordHeader header;
    ntfs::ParseMftRecordHeader(record, header);
    const uint64_t self = header.hasRecordNumber ? header.recordNumber : uint64_t{item_.recordNumber};
    const ByteSpan v(value);
    bool haveFirst = false;
    std::vector<uint64_t> loaded;
    for (size_t at = 0; at + 0x1A <= value.size();) {
      const uint32_t type = LeU32(v, at);
      const uint16_t length = LeU16(v, at + 4);
      if (type == ntfs::kAttrEnd || length < 0x1A || at + length > value.size()) break;
      const uint64_t reference = ntfs::ReferenceRecord(LeU64(v, at + 0x10));
      if (type == ntfs::kAttrData && LeU8(v, at + 6) == 0 &&
          std::find(loaded.begin(), loaded.end(), reference) == loaded.end()) {
        loaded.push_back(reference);
        std::span<const std::byte> holder = record;
        if (reference != self) {
          if (!ctx_.ntfs->LoadExtensionRecord(reference, self, extension)) return Fail("an extension record of the file is lost");
          holder = extension;
        }
        // Every unnamed $DATA piece of that record.
        ntfs::AttributeIterator it(holder);
        ntfs::AttributeView a;
        while (it.Next(a)) {
          if (a.type != ntfs::kAttrData || a.named() || !a.nonResident) continue;
          std::vector<ntfs::DataRun> piece;
          if (!ctx_.ntfs->AttributeRuns(holder, a, piece)) return Fail("a runlist of the file is damaged");
          runs.insert(runs.end(), piece.begin(), piece.end());
          if (a.lowestVcn == 0) {
            first = a;
            haveFirst = true;
          }
        }
      }
      at += length;
    }
    if (!haveFirst) return Fail("the start of the file's data is lost");
    std::sort(runs.begin(), runs.end(), [](const ntfs::DataRun& a, const ntfs::DataRun& b) { return a.vcn < b.vcn; });
    return true;
  }

  bool ReadPlain(const std::vector<ntfs::DataRun>& runs, uint64_t size) {
    const uint64_t pieceClusters = std::max<uint64_t>(1, kTransferBytes / clusterBytes_);
    std::vector<std::byte> buffer(pieceClusters * clusterBytes_);
    uint64_t vcn = 0;
    const uint64_t clusters = (size + clusterBytes_ - 1) / clusterBytes_;
    while (vcn < clusters && !out_.Done()) {
      if (Cancelled(ctx_)) return Finish(size);
      const ntfs::VcnMapping m = ntfs::MapVcn(runs, vcn);
      // Past the runlist the file reads as zeros (an initialised size shorter than the file).
      const uint64_t n = std::min({m.contiguous == 0 ? clusters - vcn : m.contiguous, clusters - vcn, pieceClusters});
      const uint64_t bytes = std::min(n * clusterBytes_, size - out_.Position());
      if (out_.Before(bytes)) {
        out_.Skip(bytes);
      } else if (m.contiguous == 0 || m.sparse) {
        if (!out_.Zeros(bytes)) return Finish(size);
      } else {
        ReadClusters(ctx_, m.lcn, n, buffer.data(), outcome_);
        if (!out_.Feed({buffer.data(), bytes})) return Finish(size);
      }
      vcn += n;
    }
    return Finish(size);
  }

  // Compressed data, one compression unit at a time over the VCNs: a unit whose clusters are
  // all stored is plain data, one that is all sparse is zeros, one with stored clusters then
  // sparse ones is LZNT1 data.
  bool ReadCompressed(const std::vector<ntfs::DataRun>& runs, uint64_t size, uint8_t unitShift) {
    const uint64_t unitClusters = uint64_t{1} << std::min<uint8_t>(unitShift, 8);
    const uint64_t unitBytes = unitClusters * clusterBytes_;
    std::vector<std::byte> raw(unitBytes), plain(unitBytes);
    const uint64_t units = (size + unitBytes - 1) / unitBytes;
    for (uint64_t u = 0; u < units && !out_.Done(); ++u) {
      if (Cancelled(ctx_)) return Finish(size);
      const uint64_t bytes = std::min(unitBytes, size - out_.Position());
      if (out_.Before(bytes)) {
        out_.Skip(bytes);
        continue;
      }
      uint64_t stored = 0;
      bool sawSparse = false;
      for (uint64_t c = 0; c < unitClusters;) {
        const ntfs::VcnMapping m = ntfs::MapVcn(runs, u * unitClusters + c);
        const uint64_t n = std::min(m.contiguous == 0 ? unitClusters - c : m.contiguous, unitClusters - c);
        if (m.contiguous == 0 || m.sparse) {
          sawSparse = true;
        } else if (!sawSparse) {
          ReadClusters(ctx_, m.lcn, n, raw.data() + c * clusterBytes_, outcome_);
          stored += n;
        }
        c += n;
      }
      if (stored == 0) {
        if (!out_.Zeros(bytes)) return Finish(size);
      } else if (!sawSparse) {
        if (!out_.Feed({raw.data(), bytes})) return Finish(size);
      } else {
        const Lznt1Result r = DecompressLznt1Unit({raw.data(), stored * clusterBytes_}, plain);
        if (!r.ok) {
          outcome_.error = "a compressed block of the file is damaged";
          Finish(size);
          return false;
        }
        std::fill(plain.begin() + static_cast<std::ptrdiff_t>(std::min<uint64_t>(r.produced, plain.size())), plain.end(),
                  std::byte{0});
        if (!out_.Feed({plain.data(), bytes})) return Finish(size);
      }
    }
    return Finish(size);
  }

  // An encrypted file cannot be decrypted here: its raw export stream, which the platform
  // that holds the key imports, is delivered instead.
  bool ReadEncrypted(std::span<const std::byte> record) {
    outcome_.encrypted = true;
    std::vector<ntfs::DataRun> runs;
    ntfs::AttributeView data{};
    if (!CollectData(record, runs, data) || !data.nonResident) return Fail("the encrypted file's data is not in clusters");
    std::vector<std::byte> metadata;
    ntfs::AttributeIterator it(record);
    ntfs::AttributeView a;
    bool found = false;
    while (it.Next(a)) {
      if (a.type == kAttrLoggedUtilityStream && ntfs::AttributeName(record, a) == u"$EFS") {
        found = ctx_.ntfs->ReadAttributeValue(record, a, metadata, kMaxEfsMetadata);
        break;
      }
    }
    if (!found) return Fail("the encrypted file's $EFS metadata is missing");
    const uint64_t size = item_.size;
    const uint64_t stored = (size + 511) / 512 * 512;
    EfsExportWriter writer([this](std::span<const std::byte> bytes) { return out_.Feed(bytes); });
    if (!writer.Begin(metadata, size, static_cast<uint32_t>(clusterBytes_))) return Finish(~uint64_t{0});
    const uint64_t pieceClusters = std::max<uint64_t>(1, kTransferBytes / clusterBytes_);
    std::vector<std::byte> buffer(pieceClusters * clusterBytes_);
    for (uint64_t done = 0, vcn = 0; done < stored;) {
      const ntfs::VcnMapping m = ntfs::MapVcn(runs, vcn);
      const uint64_t n = std::min({m.contiguous == 0 ? pieceClusters : m.contiguous, pieceClusters,
                                   (stored - done + clusterBytes_ - 1) / clusterBytes_});
      if (m.contiguous == 0 || m.sparse)
        std::fill(buffer.begin(), buffer.end(), std::byte{0});
      else
        ReadClusters(ctx_, m.lcn, n, buffer.data(), outcome_);
      const uint64_t bytes = std::min(n * clusterBytes_, stored - done);
      if (!writer.AddData({buffer.data(), bytes})) return Finish(~uint64_t{0});
      done += bytes;
      vcn += n;
    }
    writer.Finish();
    outcome_.stopped = out_.stopped_;
    return !outcome_.stopped;
  }

  ReaderContext& ctx_;
  const FileEntry& item_;
  Window& out_;
  ReadOutcome& outcome_;
  uint64_t clusterBytes_;
};

// FAT12/16/32 and exFAT: along the cluster chain while it is usable, else contiguous.
bool ReadFatItem(ReaderContext& ctx, const FileEntry& item, Window& out, ReaderSink& sink, ReadOutcome& outcome) {
  const VolumeGeometry& g = ctx.geometry;
  const uint64_t clusterBytes = uint64_t{g.sectorsPerCluster} * 512;
  const uint64_t size = g.fsKind == FsKind::kExfat ? uint64_t{item.size} : (uint64_t{item.size} & 0xFFFFFFFF);
  if (clusterBytes == 0) return false;
  const uint64_t pieceClusters = std::max<uint64_t>(1, kTransferBytes / clusterBytes);
  std::vector<std::byte> buffer(pieceClusters * clusterBytes);
  const bool deleted = ((uint64_t{item.dataStart} >> 32) & 0xFF) != 0;
  uint32_t cluster = item.link;
  if (item.hasChain && !deleted && !g.fatTable.empty()) {
    bool broken = false;
    while (out.Position() < size && !broken) {
      if (Cancelled(ctx)) return false;
      uint64_t n = 1;
      uint32_t next = g.NextFatCluster(cluster);
      while (n < pieceClusters && next == cluster + n) next = g.NextFatCluster(cluster + static_cast<uint32_t>(n++));
      ReadClusters(ctx, cluster, n, buffer.data(), outcome);
      if (!out.Feed({buffer.data(), std::min(n * clusterBytes, size - out.Position())})) return false;
      if (out.Position() >= size) break;
      if (next == kFatChainEnd || next < 2 || next > g.clusterCount + 1) broken = true;
      cluster = next;
    }
    if (!broken) return out.Position() >= size;
    // A damaged chain: the file is read again from its start as contiguous clusters.
    if (!sink.Restart()) return false;
    out.Reset();
    cluster = item.link;
  }
  for (uint64_t c = cluster; out.Position() < size;) {
    if (Cancelled(ctx)) return false;
    const uint64_t n = std::min(pieceClusters, (size - out.Position() + clusterBytes - 1) / clusterBytes);
    ReadClusters(ctx, c, n, buffer.data(), outcome);
    if (!out.Feed({buffer.data(), std::min(n * clusterBytes, size - out.Position())})) return false;
    c += n;
  }
  return true;
}

ReadOutcome ReadWindow(ReaderContext& ctx, const FileEntry& item, uint64_t first, uint64_t last, ReaderSink& sink) {
  ReadOutcome outcome;
  Window out(sink, first, last);
  bool ok = false;
  if (item.kind == kKindRaw) {
    // One extent of `size` bytes from the sector in dataStart.
    const uint64_t size = item.size;
    std::vector<std::byte> buffer(kTransferBytes);
    uint64_t sector = item.dataStart;
    ok = true;
    while (out.Position() < size && !out.Done()) {
      if (Cancelled(ctx)) {
        ok = false;
        break;
      }
      const uint64_t bytes = std::min<uint64_t>(buffer.size(), size - out.Position());
      const uint32_t sectors = static_cast<uint32_t>((bytes + 511) / 512);
      const uint64_t failedBefore = ctx.source.failedSectors;
      if (ctx.source.ReadSectors(buffer.data(), sectors, sector) != 1) {
        std::fill(buffer.begin(), buffer.end(), std::byte{0});
        outcome.incomplete = true;
      }
      if (ctx.source.failedSectors != failedBefore) outcome.incomplete = true;
      if (!out.Feed({buffer.data(), bytes})) {
        ok = false;
        break;
      }
      sector += sectors;
    }
  } else if (ctx.geometry.fsKind == FsKind::kNtfs) {
    NtfsItemReader reader(ctx, item, out, outcome);
    ok = reader.Read();
  } else {
    ok = ReadFatItem(ctx, item, out, sink, outcome);
  }
  outcome.delivered = out.delivered_;
  outcome.stopped = outcome.stopped || out.stopped_ || Cancelled(ctx);
  outcome.ok = ok && !outcome.stopped && outcome.error.empty();
  if (!ok && outcome.error.empty() && !outcome.stopped) outcome.error = "the file could not be read";
  return outcome;
}

}  // namespace

ReadOutcome ReadItemContent(ReaderContext& ctx, const FileEntry& item, ReaderSink& sink) {
  return ReadWindow(ctx, item, 0, ~uint64_t{0}, sink);
}

ReadOutcome ReadItemRange(ReaderContext& ctx, const FileEntry& item, uint64_t first, uint64_t last, ReaderSink& sink) {
  if (first > last) return {};
  return ReadWindow(ctx, item, first, last, sink);
}

ReadOutcome ReadExtent(ReaderContext& ctx, const FileEntry& item, ReaderSink& sink) {
  FileEntry raw = item;
  raw.kind = kKindRaw;
  return ReadWindow(ctx, raw, 0, ~uint64_t{0}, sink);
}

bool ReadItemToMemory(ReaderContext& ctx, const FileEntry& item, uint64_t limit, std::vector<std::byte>& out) {
  const uint64_t size = limit != 0 ? limit : uint64_t{item.size};
  if (size > kMaxMemoryRead || size > item.size) return false;
  out.clear();
  if (size == 0) return true;
  MemorySink sink(size);
  const ReadOutcome r = ReadItemRange(ctx, item, 0, size == 0 ? 0 : size - 1, sink);
  out = std::move(sink.Bytes());
  return r.delivered == size;
}

}  // namespace torvane::recovery
