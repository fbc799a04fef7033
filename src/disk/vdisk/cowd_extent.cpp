// vmfsSparse ("COWD") extents: the redo-log format of ESX hosts.
//
// The file is a 2048-byte header, a grain directory of u32 sector numbers of grain tables,
// the grain tables (4096 u32 sector numbers of grains each) and the grains. A zero in the
// directory or in a table means the range is not stored in this file: a delta disk then
// takes it from its parent. docs/formats/cowd.md lists the fields this code reads.
#include "disk/vdisk/cowd_extent.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "disk/vdisk/grain_io.h"
#include "util/bytes.h"

namespace torvane::vdisk {
namespace {

using grain_io::Kind;
using grain_io::ReadSink;
using grain_io::WritePlan;

constexpr size_t kHeaderBytes = 2048;
constexpr uint64_t kHeaderSectors = kHeaderBytes / kSectorSize;
constexpr size_t kCapacityOffset = 12;       // u32, sectors
constexpr size_t kGrainSectorsOffset = 16;   // u32, sectors per grain
constexpr size_t kDirSectorOffset = 20;      // u32, sector of the grain directory
constexpr size_t kDirEntriesOffset = 24;     // u32, entries in the grain directory

constexpr uint64_t kTableEntries = 4096;
constexpr size_t kTableBytes = kTableEntries * sizeof(uint32_t);

// With grains above 2^21 sectors (1 GiB) a single table would map more than the 32-bit
// capacity field can address: such a header is damaged.
constexpr uint32_t kMaxGrainSectors = uint32_t{1} << 21;

// The header's capacity is 32-bit, so a real directory at the smallest grain (one sector)
// has at most 2^32 / 4096 = 2^20 entries. Four times that leaves room for a descriptor that
// declares a larger extent, and keeps the directory's memory under 16 MiB.
constexpr uint64_t kMaxDirectoryEntries = uint64_t{1} << 22;

// Grain tables kept in memory: 32 tables of 16 KiB. At one-sector grains a table maps 2 MiB
// of disk, so sequential reads touch each table once and random reads over 64 MiB stay hot.
constexpr size_t kCacheSlots = 32;


class CowdExtent final : public Extent {
 public:
  CowdExtent(std::unique_ptr<ByteSource> file, uint64_t sectors, uint64_t grainSectors,
             std::vector<uint32_t> directory)
      : file_(std::move(file)),
        sectors_(sectors),
        grainSectors_(grainSectors),
        directory_(std::move(directory)) {}

  uint64_t Sectors() const override { return sectors_; }
  std::string_view TypeName() const override { return "VMFSSPARSE"; }
  const ByteSource* File() const override { return file_.get(); }

  void Read(uint64_t sector, uint64_t count, std::byte* out, ReadReport& report) override {
    ReadSink sink("COWD", *file_, sector, out, report);
    Walk(sector, count, sink);
    sink.Flush();
  }

  bool Write(uint64_t sector, uint64_t count, const std::byte* in) override {
    return grain_io::WritePlanned(*file_, sectors_, sector, count, in,
                                  [this](uint64_t s, uint64_t n, WritePlan& plan) { Walk(s, n, plan); });
  }

 private:
  static constexpr uint64_t kNoTable = ~uint64_t{0};
  struct CachedTable {
    uint64_t dirIndex = kNoTable;
    std::vector<uint32_t> entries;
  };

  // Hands every sector of [sector, sector + count) to the sink, in order, as pieces of
  // stored data, unallocated or failed sectors.
  template <typename Sink>
  void Walk(uint64_t sector, uint64_t count, Sink& sink) {
    const uint64_t end = sector + count;
    const uint64_t tableSpan = kTableEntries * grainSectors_;
    uint64_t s = sector;
    while (s < end) {
      const uint64_t dirIndex = s / tableSpan;
      if (dirIndex >= directory_.size()) {
        sink.Fill(Kind::kFailed, s, end - s,
                  "COWD grain directory ends before sector " + std::to_string(s));
        return;
      }
      const uint64_t tableEnd = std::min(end, (dirIndex + 1) * tableSpan);
      if (directory_[dirIndex] == 0) {
        sink.Fill(Kind::kUnallocated, s, tableEnd - s);
        s = tableEnd;
        continue;
      }
      std::string reason;
      const uint32_t* table = Table(dirIndex, reason);
      if (table == nullptr) {
        sink.Fill(Kind::kFailed, s, tableEnd - s, reason);
        s = tableEnd;
        continue;
      }
      while (s < tableEnd) {
        const uint64_t grain = s / grainSectors_;
        const uint64_t within = s - grain * grainSectors_;
        const uint64_t n = std::min(tableEnd, (grain + 1) * grainSectors_) - s;
        const uint32_t entry = table[grain % kTableEntries];
        if (entry == 0) {
          sink.Fill(Kind::kUnallocated, s, n);
        } else if (entry < kHeaderSectors) {
          sink.Fill(Kind::kFailed, s, n,
                    "COWD grain table entry for grain " + std::to_string(grain) +
                        " points into the file header");
        } else {
          // entry < 2^32 and within < 2^21: the byte offset stays below 2^62.
          sink.Data(s, n, (uint64_t{entry} + within) * kSectorSize);
        }
        s += n;
      }
    }
  }

  // The grain table for directory entry `dirIndex` (non-zero), from the cache or the file;
  // null with `reason` set when it cannot be read.
  const uint32_t* Table(uint64_t dirIndex, std::string& reason) {
    CachedTable& slot = cache_[dirIndex % kCacheSlots];
    if (slot.dirIndex == dirIndex) return slot.entries.data();
    const uint64_t tableSector = directory_[dirIndex];
    const uint64_t offset = tableSector * kSectorSize;
    if (tableSector < kHeaderSectors) {
      reason = "COWD grain table " + std::to_string(dirIndex) + " at sector " +
               std::to_string(tableSector) + " overlaps the file header";
      return nullptr;
    }
    const uint64_t fileSize = file_->Size();
    if (offset > fileSize || fileSize - offset < kTableBytes) {
      reason = "COWD grain table " + std::to_string(dirIndex) + " at sector " +
               std::to_string(tableSector) + " lies past the end of the file";
      return nullptr;
    }
    // Read into scratch first so a failed read leaves the slot's previous table usable.
    raw_.resize(kTableBytes);
    if (!file_->ReadAt(offset, raw_.data(), kTableBytes)) {
      reason = "COWD grain table " + std::to_string(dirIndex) + " at sector " +
               std::to_string(tableSector) + " could not be read";
      return nullptr;
    }
    slot.entries.resize(kTableEntries);
    const ByteSpan bytes(raw_);
    for (size_t i = 0; i < kTableEntries; ++i) slot.entries[i] = LeU32(bytes, i * 4);
    slot.dirIndex = dirIndex;
    return slot.entries.data();
  }

  std::unique_ptr<ByteSource> file_;
  uint64_t sectors_;
  uint64_t grainSectors_;
  std::vector<uint32_t> directory_;
  std::array<CachedTable, kCacheSlots> cache_;
  std::vector<std::byte> raw_;
};

}  // namespace

bool IsCowdFile(ByteSource& file) {
  char magic[4];
  return file.ReadAt(0, magic, sizeof magic) && std::memcmp(magic, "COWD", 4) == 0;
}

std::unique_ptr<Extent> OpenCowdExtent(std::unique_ptr<ByteSource> file,
                                       uint64_t descriptorSectors, std::string& error) {
  if (!file) {
    error = "COWD: no file to open";
    return nullptr;
  }
  const uint64_t fileSize = file->Size();
  if (fileSize < kHeaderBytes) {
    error = "COWD header: the file is " + std::to_string(fileSize) +
            " bytes, shorter than the 2048-byte header";
    return nullptr;
  }
  std::array<std::byte, kHeaderBytes> header;
  if (!file->ReadAt(0, header.data(), header.size())) {
    error = "COWD header: cannot read the first 2048 bytes";
    return nullptr;
  }
  const ByteSpan h(header);
  if (std::memcmp(header.data(), "COWD", 4) != 0) {
    error = "COWD header: magic is not \"COWD\"";
    return nullptr;
  }
  const uint32_t capacity = LeU32(h, kCapacityOffset);
  const uint32_t grainSectors = LeU32(h, kGrainSectorsOffset);
  const uint32_t dirSector = LeU32(h, kDirSectorOffset);
  const uint32_t dirEntries = LeU32(h, kDirEntriesOffset);

  if (grainSectors == 0) {
    error = "COWD header: grain size 0 is invalid";
    return nullptr;
  }
  if (grainSectors > kMaxGrainSectors) {
    error = "COWD header: grain size of " + std::to_string(grainSectors) +
            " sectors is implausibly large";
    return nullptr;
  }
  if (capacity == 0) {
    error = "COWD header: capacity 0 is invalid";
    return nullptr;
  }
  if (descriptorSectors > kMaxDiskSectors) {
    error = "COWD: extent size of " + std::to_string(descriptorSectors) +
            " sectors exceeds the largest disk supported";
    return nullptr;
  }
  if (dirEntries == 0) {
    error = "COWD header: the grain directory has no entries";
    return nullptr;
  }
  const uint64_t sectors = descriptorSectors != 0 ? descriptorSectors : capacity;

  // Only the directory entries that cover the extent are loaded; a directory shorter than
  // the extent is read as far as it goes and the sectors past it fail when read.
  // sectors <= 2^40 and tableSpan <= 2^33: the rounding cannot overflow.
  const uint64_t tableSpan = kTableEntries * grainSectors;
  const uint64_t needed = (sectors + tableSpan - 1) / tableSpan;
  const uint64_t used = std::min<uint64_t>(dirEntries, needed);
  if (used > kMaxDirectoryEntries) {
    error = "COWD header: a grain directory of " + std::to_string(used) +
            " entries is larger than any real redo log needs";
    return nullptr;
  }
  if (dirSector < kHeaderSectors) {
    error = "COWD header: grain directory at sector " + std::to_string(dirSector) +
            " overlaps the header";
    return nullptr;
  }
  // The directory must lie inside the file, which also bounds the memory it takes.
  const uint64_t dirOffset = uint64_t{dirSector} * kSectorSize;
  const uint64_t dirBytes = used * sizeof(uint32_t);
  if (dirOffset > fileSize || fileSize - dirOffset < dirBytes) {
    error = "COWD grain directory (" + std::to_string(used) + " entries at sector " +
            std::to_string(dirSector) + ") lies past the end of the file";
    return nullptr;
  }
  std::vector<std::byte> raw(dirBytes);
  if (!file->ReadAt(dirOffset, raw.data(), raw.size())) {
    error = "COWD grain directory at sector " + std::to_string(dirSector) +
            " could not be read";
    return nullptr;
  }
  std::vector<uint32_t> directory(used);
  const ByteSpan bytes(raw);
  for (size_t i = 0; i < used; ++i) directory[i] = LeU32(bytes, i * 4);

  return std::make_unique<CowdExtent>(std::move(file), sectors, grainSectors,
                                      std::move(directory));
}

}  // namespace torvane::vdisk
