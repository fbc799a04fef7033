#include "disk/vdisk/sparse_extent.h"

#include <zlib.h>

#include <algorithm>
#include <cstring>

#include "disk/vdisk/descriptor.h"

namespace torvane::vdisk {
namespace {

constexpr size_t kHeaderBytes = 512;
// Grains larger than 2 MiB are refused: VMware writes 64 KiB grains and QEMU refuses more than
// 2 MiB, so this bounds the per-grain buffers without turning away a real disk.
constexpr uint64_t kMaxGrainSectors = 4096;
// VMware always writes 512 entries per grain table; eight times that bounds the table cache
// (kTableCacheSlots tables) at 4 MiB.
constexpr uint32_t kMaxGrainTableEntries = 4096;
constexpr size_t kTableCacheSlots = 256;
// The largest disk VMware creates (62 TiB, under 2^37 sectors) needs 2^21 directory entries at
// the usual geometry (128-sector grains, 512-entry tables: 2^16 sectors per table). Twice
// that leaves room for other geometries and larger disks while keeping the directory at
// 16 MiB. A directory must also lie inside its file, but a large file proves nothing: a
// header claiming a huge capacity at a tiny geometry would otherwise have the reader hold a
// directory as large as the file.
constexpr uint64_t kMaxDirectoryEntries = uint64_t{1} << 22;
// Marker before each compressed grain: the grain's first sector (u64) and the data size (u32).
constexpr size_t kGrainMarkerBytes = 12;
constexpr uint32_t kMarkerFooter = 3;

}  // namespace

ParseResult ParseSparseHeader(ByteSource& file, uint64_t headerOffset, SparseHeader& h, std::string& error) {
  uint8_t raw[kHeaderBytes];
  size_t got = file.ReadSome(headerOffset, raw, sizeof raw);
  ByteSpan b = AsBytes(raw, got);
  if (got < 4 || LeU32(b, 0) != kSparseMagic) return ParseResult::kNotThisFormat;
  auto corrupt = [&](const std::string& why) {
    error = "sparse extent header of " + file.Path().string() + ": " + why;
    return ParseResult::kCorrupt;
  };
  if (got < kHeaderBytes) return corrupt("the header is truncated");
  h.version = LeU32(b, 4);
  h.flags = LeU32(b, 8);
  h.capacity = LeU64(b, 12);
  h.grainSize = LeU64(b, 20);
  h.descriptorOffset = LeU64(b, 28);
  h.descriptorSize = LeU64(b, 36);
  h.numGTEsPerGT = LeU32(b, 44);
  h.rgdOffset = LeU64(b, 48);
  h.gdOffset = LeU64(b, 56);
  h.overHead = LeU64(b, 64);
  h.compressAlgorithm = LeU16(b, 77);
  if (h.version < 1 || h.version > 3) return corrupt("version " + std::to_string(h.version) + " is not supported");
  if ((h.flags & SparseHeader::kValidNewlineTest) &&
      (raw[73] != '\n' || raw[74] != ' ' || raw[75] != '\r' || raw[76] != '\n'))
    return corrupt("the file was damaged by a text-mode transfer (line ends changed)");
  if (h.capacity == 0 || h.capacity > kMaxDiskSectors)
    return corrupt("capacity " + std::to_string(h.capacity) + " sectors is out of range");
  if (!IsPowerOfTwo(h.grainSize) || h.grainSize > kMaxGrainSectors)
    return corrupt("grain size " + std::to_string(h.grainSize) + " sectors is out of range");
  if (h.numGTEsPerGT == 0 || h.numGTEsPerGT > kMaxGrainTableEntries)
    return corrupt("grain table size " + std::to_string(h.numGTEsPerGT) + " is out of range");
  if (h.Compressed() && h.compressAlgorithm != 1)
    return corrupt("compression method " + std::to_string(h.compressAlgorithm) + " is unknown");
  if (h.descriptorSize > kMaxDescriptorBytes / kSectorSize)
    return corrupt("the embedded descriptor is larger than 1 MiB");
  return ParseResult::kOk;
}

bool IsSparseFile(ByteSource& file) {
  uint8_t magic[4];
  return file.ReadAt(0, magic, 4) && LeU32(AsBytes(magic, 4), 0) == kSparseMagic;
}

bool ReadEmbeddedDescriptor(ByteSource& file, std::string& text, std::string& error) {
  SparseHeader h;
  if (ParseSparseHeader(file, 0, h, error) != ParseResult::kOk) {
    if (error.empty()) error = file.Path().string() + " is not a sparse extent";
    return false;
  }
  text.clear();
  if (h.descriptorOffset == 0 || h.descriptorSize == 0) return true;
  uint64_t offset;
  if (!CheckedMul(h.descriptorOffset, kSectorSize, offset) || offset >= file.Size()) {
    error = "the embedded descriptor of " + file.Path().string() + " lies outside the file";
    return false;
  }
  text.resize(std::min<uint64_t>(h.descriptorSize * kSectorSize, file.Size() - offset));
  text.resize(file.ReadSome(offset, text.data(), text.size()));
  return true;
}

std::unique_ptr<SparseExtent> SparseExtent::Open(std::unique_ptr<ByteSource> file, uint64_t descriptorSectors,
                                                 std::string& error) {
  std::unique_ptr<SparseExtent> x(new SparseExtent());
  SparseHeader& h = x->header_;
  switch (ParseSparseHeader(*file, 0, h, error)) {
    case ParseResult::kNotThisFormat:
      error = file->Path().string() + " is not a sparse extent (no KDMV magic)";
      return nullptr;
    case ParseResult::kCorrupt:
      return nullptr;
    case ParseResult::kOk:
      break;
  }
  const uint64_t fileSize = file->Size();
  if (h.gdOffset == SparseHeader::kGdAtEnd) {
    // streamOptimized: the real header, with the directory's place, is the footer that
    // precedes the end-of-stream marker.
    if (fileSize < 3 * kHeaderBytes) {
      error = "the footer of " + file->Path().string() + " is missing (file truncated)";
      return nullptr;
    }
    uint8_t marker[kHeaderBytes];
    if (!file->ReadAt(fileSize - 3 * kHeaderBytes, marker, sizeof marker) ||
        LeU32(AsBytes(marker, sizeof marker), 12) != kMarkerFooter) {
      error = "the footer of " + file->Path().string() + " is missing (file truncated?)";
      return nullptr;
    }
    SparseHeader footer;
    if (ParseSparseHeader(*file, fileSize - 2 * kHeaderBytes, footer, error) != ParseResult::kOk) {
      if (error.empty()) error = "the footer of " + file->Path().string() + " is damaged";
      return nullptr;
    }
    if (footer.gdOffset == SparseHeader::kGdAtEnd) {
      error = "the footer of " + file->Path().string() + " does not locate the grain directory";
      return nullptr;
    }
    h = footer;
  }
  const uint64_t sectorsPerTable = h.grainSize * h.numGTEsPerGT;
  const uint64_t directoryEntries = (h.capacity + sectorsPerTable - 1) / sectorsPerTable;
  if (directoryEntries > kMaxDirectoryEntries) {
    error = "sparse extent header of " + file->Path().string() + ": a grain directory of " +
            std::to_string(directoryEntries) + " entries is larger than any real disk needs";
    return nullptr;
  }
  x->file_ = std::move(file);
  x->sectors_ = descriptorSectors != 0 ? descriptorSectors : h.capacity;
  x->grainBytes_ = h.grainSize * kSectorSize;

  std::vector<uint32_t> primary, redundant;
  uint64_t primaryDamaged = 0, redundantDamaged = 0;
  const bool primaryOk = x->LoadDirectory(h.gdOffset, primary, primaryDamaged);
  const bool haveRedundant = (h.flags & SparseHeader::kRedundantGrainTable) && h.rgdOffset != 0 && !h.Compressed();
  if (primaryOk && primaryDamaged == 0) {
    x->directory_ = std::move(primary);
  } else if (haveRedundant && x->LoadDirectory(h.rgdOffset, redundant, redundantDamaged) &&
             (!primaryOk || redundantDamaged < primaryDamaged)) {
    x->directory_ = std::move(redundant);
    x->damagedEntries_ = redundantDamaged;
    x->usingRedundant_ = true;
  } else if (primaryOk) {
    x->directory_ = std::move(primary);
    x->damagedEntries_ = primaryDamaged;
  } else {
    error = "the grain directory of " + x->file_->Path().string() + " lies outside the file";
    return nullptr;
  }
  x->tableCache_.resize(kTableCacheSlots);
  return x;
}

uint64_t SparseExtent::TableMemory() const {
  return directory_.size() * sizeof(uint32_t) + uint64_t{kTableCacheSlots} * header_.numGTEsPerGT * sizeof(uint32_t) +
         2 * grainBytes_;
}

bool SparseExtent::LoadDirectory(uint64_t gdSector, std::vector<uint32_t>& directory, uint64_t& damaged) {
  const uint64_t fileSize = file_->Size();
  const uint64_t sectorsPerTable = header_.grainSize * header_.numGTEsPerGT;
  const uint64_t entries = (header_.capacity + sectorsPerTable - 1) / sectorsPerTable;
  // The directory must lie inside the file, so its size is bounded by the file's size.
  uint64_t offset;
  if (gdSector == 0 || !CheckedMul(gdSector, kSectorSize, offset) || offset > fileSize ||
      (fileSize - offset) / 4 < entries)
    return false;
  std::vector<uint8_t> raw(entries * 4);
  if (!file_->ReadAt(offset, raw.data(), raw.size())) return false;
  directory.resize(entries);
  damaged = 0;
  const uint64_t tableBytes = uint64_t{header_.numGTEsPerGT} * 4;
  for (uint64_t i = 0; i < entries; ++i) {
    directory[i] = LeU32(AsBytes(raw.data(), raw.size()), i * 4);
    const uint64_t tableOffset = uint64_t{directory[i]} * kSectorSize;
    if (directory[i] != 0 && (tableOffset > fileSize || fileSize - tableOffset < tableBytes)) ++damaged;
  }
  return true;
}

SparseExtent::Grain SparseExtent::LookupGrain(uint64_t grainIndex, std::string& reason) {
  const uint64_t dirIndex = grainIndex / header_.numGTEsPerGT;
  if (dirIndex >= directory_.size() || directory_[dirIndex] == 0) return {GrainState::kUnallocated, 0};
  TableSlot& slot = tableCache_[dirIndex % tableCache_.size()];
  if (slot.directoryIndex != dirIndex) {
    const uint64_t tableBytes = uint64_t{header_.numGTEsPerGT} * 4;
    std::vector<std::byte>& raw = scratch_;
    raw.resize(tableBytes);
    if (!file_->ReadAt(uint64_t{directory_[dirIndex]} * kSectorSize, raw.data(), raw.size())) {
      reason = "grain table " + std::to_string(dirIndex) + " lies outside " + file_->Path().string();
      return {GrainState::kError, 0};
    }
    slot.entries.resize(header_.numGTEsPerGT);
    for (uint32_t i = 0; i < header_.numGTEsPerGT; ++i) slot.entries[i] = LeU32(raw, i * 4);
    slot.directoryIndex = dirIndex;
  }
  const uint32_t entry = slot.entries[grainIndex % header_.numGTEsPerGT];
  if (entry == 0) return {GrainState::kUnallocated, 0};
  if (entry == 1 && (header_.flags & SparseHeader::kZeroedGrainEntries)) return {GrainState::kZero, 0};
  if (uint64_t{entry} * kSectorSize >= file_->Size()) {
    reason = "grain " + std::to_string(grainIndex) + " points past the end of " + file_->Path().string();
    return {GrainState::kError, 0};
  }
  return {GrainState::kAllocated, entry};
}

bool SparseExtent::ReadCompressedGrain(uint64_t grainIndex, uint64_t fileSector, std::string& reason) {
  if (cachedGrain_ == grainIndex) return true;
  cachedGrain_ = ~uint64_t{0};
  const uint64_t fileSize = file_->Size();
  uint64_t offset = fileSector * kSectorSize;
  // deflate never expands data by more than a few bytes per 16 KiB block; twice the grain
  // is a generous bound on a compressed grain.
  const uint64_t maxCompressed = 2 * grainBytes_ + 1024;
  uint64_t size = 0;
  if (header_.flags & SparseHeader::kHasMarkers) {
    uint8_t marker[kGrainMarkerBytes];
    if (!file_->ReadAt(offset, marker, sizeof marker)) {
      reason = "compressed grain " + std::to_string(grainIndex) + " is truncated";
      return false;
    }
    const uint64_t lba = LeU64(AsBytes(marker, sizeof marker), 0);
    size = LeU32(AsBytes(marker, sizeof marker), 8);
    if (lba != grainIndex * header_.grainSize || size == 0 || size > maxCompressed) {
      reason = "the marker of compressed grain " + std::to_string(grainIndex) + " is damaged";
      return false;
    }
    offset += kGrainMarkerBytes;
  } else {
    size = std::min(maxCompressed, fileSize - offset);
  }
  if (offset > fileSize || fileSize - offset < size) {
    reason = "compressed grain " + std::to_string(grainIndex) + " runs past the end of the file";
    return false;
  }
  scratch_.resize(size);
  grainCache_.resize(grainBytes_);
  if (!file_->ReadAt(offset, scratch_.data(), size)) {
    reason = "read error in compressed grain " + std::to_string(grainIndex);
    return false;
  }
  uLongf outLen = static_cast<uLongf>(grainBytes_);
  uLong inLen = static_cast<uLong>(size);
  int rc = uncompress2(reinterpret_cast<Bytef*>(grainCache_.data()), &outLen,
                       reinterpret_cast<const Bytef*>(scratch_.data()), &inLen);
  // The last grain of a disk whose size is not a whole number of grains may be short.
  const uint64_t needed = std::min(
      grainBytes_, (header_.capacity - std::min(header_.capacity, grainIndex * header_.grainSize)) * kSectorSize);
  if (rc != Z_OK || outLen < needed) {
    reason = "compressed grain " + std::to_string(grainIndex) + " does not decompress";
    return false;
  }
  std::memset(grainCache_.data() + outLen, 0, grainBytes_ - outLen);
  cachedGrain_ = grainIndex;
  return true;
}

void SparseExtent::Read(uint64_t sector, uint64_t count, std::byte* out, ReadReport& report) {
  // A run of grains stored one after another in the file is read with one call.
  uint64_t runOffset = 0, runBytes = 0, runSector = 0;
  std::byte* runOut = nullptr;
  auto flush = [&] {
    if (runBytes == 0) return;
    const size_t got = file_->ReadSome(runOffset, runOut, runBytes);
    if (got < runBytes) {
      std::memset(runOut + got, 0, runBytes - got);
      const uint64_t firstMissing = runSector + got / kSectorSize;
      report.AddFailed(firstMissing, runSector + runBytes / kSectorSize - firstMissing,
                       "grain data missing from " + file_->Path().string());
    }
    runBytes = 0;
  };
  std::string reason;
  const uint64_t end = sector + count;
  for (uint64_t pos = sector; pos < end;) {
    const uint64_t grainIndex = pos / header_.grainSize;
    const uint64_t inGrain = pos % header_.grainSize;
    const uint64_t n = std::min(header_.grainSize - inGrain, end - pos);
    std::byte* dst = out + (pos - sector) * kSectorSize;
    const Grain grain = LookupGrain(grainIndex, reason);
    if (grain.state == GrainState::kAllocated && !header_.Compressed()) {
      const uint64_t offset = (grain.fileSector + inGrain) * kSectorSize;
      if (runBytes != 0 && runOffset + runBytes == offset) {
        runBytes += n * kSectorSize;
      } else {
        flush();
        runOffset = offset;
        runBytes = n * kSectorSize;
        runSector = pos;
        runOut = dst;
      }
    } else {
      flush();
      switch (grain.state) {
        case GrainState::kAllocated:
          if (ReadCompressedGrain(grainIndex, grain.fileSector, reason)) {
            std::memcpy(dst, grainCache_.data() + inGrain * kSectorSize, n * kSectorSize);
          } else {
            std::memset(dst, 0, n * kSectorSize);
            report.AddFailed(pos, n, reason);
          }
          break;
        case GrainState::kUnallocated:
          std::memset(dst, 0, n * kSectorSize);
          report.AddUnallocated(pos, n);
          break;
        case GrainState::kZero:
          std::memset(dst, 0, n * kSectorSize);
          break;
        case GrainState::kError:
          std::memset(dst, 0, n * kSectorSize);
          report.AddFailed(pos, n, reason);
          break;
      }
    }
    pos += n;
  }
  flush();
}

bool SparseExtent::Write(uint64_t sector, uint64_t count, const std::byte* in) {
  if (!file_->Writable() || header_.Compressed()) return false;
  std::string reason;
  const uint64_t end = sector + count;
  // Check the whole range first so that a refused write changes nothing.
  for (uint64_t pos = sector; pos < end;) {
    const uint64_t n = std::min(header_.grainSize - pos % header_.grainSize, end - pos);
    const Grain grain = LookupGrain(pos / header_.grainSize, reason);
    if (grain.state != GrainState::kAllocated) return false;
    const uint64_t offset = (grain.fileSector + pos % header_.grainSize) * kSectorSize;
    if (offset > file_->Size() || file_->Size() - offset < n * kSectorSize) return false;
    pos += n;
  }
  for (uint64_t pos = sector; pos < end;) {
    const uint64_t n = std::min(header_.grainSize - pos % header_.grainSize, end - pos);
    const Grain grain = LookupGrain(pos / header_.grainSize, reason);
    const uint64_t offset = (grain.fileSector + pos % header_.grainSize) * kSectorSize;
    if (!file_->WriteAt(offset, in + (pos - sector) * kSectorSize, n * kSectorSize)) return false;
    pos += n;
  }
  return true;
}

}  // namespace torvane::vdisk
