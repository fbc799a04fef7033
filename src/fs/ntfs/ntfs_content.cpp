#include "fs/ntfs/ntfs_content.h"

#include <algorithm>
#include <cstring>

#include "fs/ntfs/efs_export.h"
#include "fs/ntfs/lznt1.h"
#include "fs/ntfs/mft_record.h"
#include "fs/ntfs/ntfs_volume.h"
#include "fs/ntfs/runlist.h"
#include "util/bytes.h"

namespace torvane::ntfs {
namespace {

constexpr uint32_t kAttrLoggedUtilityStream = 0x100;
// Encryption metadata larger than this is not an $EFS stream.
constexpr uint64_t kMaxEfsMetadata = 8192;
// Attribute header flag of compressed data (sparse files may carry a compression unit too).
constexpr uint16_t kAttributeFlagCompressed = 0x0001;

class NtfsItemReader {
 public:
  NtfsItemReader(ReaderContext& ctx, const FileEntry& item, ContentWindow& out, ReadOutcome& outcome)
      : ctx_(ctx),
        item_(item),
        out_(out),
        outcome_(outcome),
        clusterBytes_(uint64_t{ctx.geometry.sectorsPerCluster} * 512) {}

  bool Read() {
    if (ctx_.ntfs == nullptr || clusterBytes_ == 0) return Fail("the volume's MFT is not open");
    std::vector<std::byte> record;
    switch (ReadRecordAt(ctx_.source, item_.recordSector, ctx_.ntfs->RecordBytes(), record)) {
      case RecordRead::kOk:
        break;
      case RecordRead::kUnreadable:
        return Fail("the file's MFT record cannot be read");
      case RecordRead::kDamaged:
        return Fail("the file's MFT record is damaged");
    }
    const uint64_t size = item_.size;
    if (item_.attributes & kAttributeEncrypted) return ReadEncrypted(record);

    std::vector<DataRun> runs;
    AttributeView data{};
    if (!CollectData(record, runs, data)) return false;
    if (!data.nonResident) {
      // Resident: the value, never bytes beyond it, then zeros up to the item's size.
      auto value = ResidentValue(record, data);
      const uint64_t n = std::min<uint64_t>(size, value.size());
      if (!out_.Feed(value.subspan(0, n))) return Finish(size);
      if (n < size) {
        outcome_.incomplete = true;
        outcome_.missingBytes += size - n;
      }
      out_.Zeros(size - n);
      return Finish(size);
    }
    if (data.compressionUnit != 0 && (data.flags & kAttributeFlagCompressed) != 0)
      return ReadCompressed(runs, size, data.compressionUnit);
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
  bool CollectData(std::span<const std::byte> record, std::vector<DataRun>& runs, AttributeView& first) {
    auto data = FindAttribute(record, kAttrData, true);
    auto list = FindAttribute(record, kAttrAttributeList, false);
    if (data && (!data->nonResident || !list)) {
      first = *data;
      if (data->nonResident && !ctx_.ntfs->AttributeRuns(record, *data, runs))
        return Fail("the file's runlist is damaged");
      return true;
    }
    if (!list) return Fail("the file has no data stream");
    std::vector<std::byte> value, extension;
    if (!ctx_.ntfs->ReadAttributeValue(record, *list, value, 1 << 20))
      return Fail("the file's attribute list is damaged");
    MftRecordHeader header;
    ParseMftRecordHeader(record, header);
    const uint64_t self = header.hasRecordNumber ? header.recordNumber : uint64_t{item_.recordNumber};
    bool haveFirst = false;
    std::vector<uint64_t> loaded;
    AttributeListIterator entries(value);
    AttributeListEntry e;
    while (entries.Next(e)) {
      const uint64_t number = ReferenceRecord(e.reference);
      if (e.type != kAttrData || e.named() || std::find(loaded.begin(), loaded.end(), number) != loaded.end()) continue;
      loaded.push_back(number);
      std::span<const std::byte> holder = record;
      if (number != self) {
        if (!ctx_.ntfs->LoadExtensionRecord(e.reference, MakeReference(self, header.sequence), !header.inUse(),
                                            extension))
          return Fail("an extension record of the file is lost");
        holder = extension;
      }
      // Every unnamed $DATA piece of that record.
      AttributeIterator it(holder);
      AttributeView a;
      while (it.Next(a)) {
        if (a.type != kAttrData || a.named() || !a.nonResident) continue;
        std::vector<DataRun> piece;
        if (!ctx_.ntfs->AttributeRuns(holder, a, piece)) return Fail("a runlist of the file is damaged");
        runs.insert(runs.end(), piece.begin(), piece.end());
        if (a.lowestVcn == 0) {
          first = a;
          haveFirst = true;
        }
      }
    }
    if (!haveFirst) return Fail("the start of the file's data is lost");
    OrderRunsByVcn(runs);
    return true;
  }

  bool ReadPlain(const std::vector<DataRun>& runs, uint64_t size) {
    const uint64_t pieceClusters = std::max<uint64_t>(1, kTransferBytes / clusterBytes_);
    std::vector<std::byte> buffer(pieceClusters * clusterBytes_);
    uint64_t vcn = 0;
    const uint64_t clusters = (size + clusterBytes_ - 1) / clusterBytes_;
    while (vcn < clusters && !out_.Done()) {
      if (Cancelled(ctx_)) return Finish(size);
      const VcnMapping m = MapVcn(runs, vcn);
      // Past the runlist the file reads as zeros; its size claims more than its runs record
      // (a damaged record or runs cut at the volume's end), so the result is incomplete.
      const uint64_t n = std::min({m.contiguous == 0 ? clusters - vcn : m.contiguous, clusters - vcn, pieceClusters});
      const uint64_t bytes = std::min(n * clusterBytes_, size - out_.Position());
      if (out_.Before(bytes)) {
        out_.Skip(bytes);
      } else if (m.contiguous == 0 || m.sparse) {
        if (m.contiguous == 0) {
          outcome_.incomplete = true;
          outcome_.missingBytes += bytes;
        }
        if (!out_.Zeros(bytes)) return Finish(size);
      } else {
        ReadVolumeClusters(ctx_, m.lcn, n, buffer.data(), outcome_, out_.Position());
        if (!out_.Feed({buffer.data(), bytes})) return Finish(size);
      }
      vcn += n;
    }
    return Finish(size);
  }

  // Compressed data, one compression unit at a time over the VCNs: a unit whose clusters are
  // all stored is plain data, one that is all sparse is zeros, one with stored clusters then
  // sparse ones is LZNT1 data.
  bool ReadCompressed(const std::vector<DataRun>& runs, uint64_t size, uint8_t unitShift) {
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
        const VcnMapping m = MapVcn(runs, u * unitClusters + c);
        const uint64_t n = std::min(m.contiguous == 0 ? unitClusters - c : m.contiguous, unitClusters - c);
        if (m.contiguous == 0 || m.sparse) {
          sawSparse = true;
        } else if (!sawSparse) {
          ReadVolumeClusters(ctx_, m.lcn, n, raw.data() + c * clusterBytes_, outcome_, out_.Position(), bytes);
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
        std::fill(plain.begin() + static_cast<std::ptrdiff_t>(std::min<uint64_t>(r.produced, plain.size())),
                  plain.end(), std::byte{0});
        if (!out_.Feed({plain.data(), bytes})) return Finish(size);
      }
    }
    return Finish(size);
  }

  // An encrypted file cannot be decrypted here: its raw export stream, which the platform
  // that holds the key imports, is delivered instead.
  bool ReadEncrypted(std::span<const std::byte> record) {
    outcome_.encrypted = true;
    std::vector<DataRun> runs;
    AttributeView data{};
    if (!CollectData(record, runs, data) || !data.nonResident)
      return Fail("the encrypted file's data is not in clusters");
    std::vector<std::byte> metadata;
    AttributeIterator it(record);
    AttributeView a;
    bool found = false;
    while (it.Next(a)) {
      if (a.type == kAttrLoggedUtilityStream && AttributeName(record, a) == u"$EFS") {
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
      const VcnMapping m = MapVcn(runs, vcn);
      const uint64_t n = std::min({m.contiguous == 0 ? pieceClusters : m.contiguous, pieceClusters,
                                   (stored - done + clusterBytes_ - 1) / clusterBytes_});
      if (m.contiguous == 0 || m.sparse)
        std::fill(buffer.begin(), buffer.end(), std::byte{0});
      else
        ReadVolumeClusters(ctx_, m.lcn, n, buffer.data(), outcome_, done);  // offsets in the encrypted data
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
  ContentWindow& out_;
  ReadOutcome& outcome_;
  uint64_t clusterBytes_;
};

}  // namespace

bool ReadNtfsItem(ReaderContext& ctx, const FileEntry& item, ContentWindow& out, ReadOutcome& outcome) {
  NtfsItemReader reader(ctx, item, out, outcome);
  return reader.Read();
}

}  // namespace torvane::ntfs
