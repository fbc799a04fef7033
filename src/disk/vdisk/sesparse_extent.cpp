// seSparse extents: the space-efficient snapshot delta format of newer ESXi hosts.
//
// The file starts with a 512-byte constant header that places every other region in
// sectors: a volatile header, a journal, the grain directory, the grain tables, a free
// bitmap, a back-map and the grains. Only the directory, the tables and the grains are
// needed to read; docs/formats/sesparse.md lists the fields this code relies on.
#include "disk/vdisk/sesparse_extent.h"

#include <algorithm>
#include <array>
#include <cstdio>
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

constexpr size_t kHeaderBytes = 512;
constexpr size_t kMagicOffset = 0;
constexpr size_t kVersionOffset = 8;
constexpr size_t kCapacityOffset = 16;          // sectors
constexpr size_t kGrainSectorsOffset = 24;      // sectors per grain
constexpr size_t kTableSectorsOffset = 32;      // sectors per grain table
constexpr size_t kDirOffsetOffset = 128;        // sector of the grain directory
constexpr size_t kDirSectorsOffset = 136;       // its size in sectors
constexpr size_t kTablesOffsetOffset = 144;     // sector where grain table 0 starts
constexpr size_t kGrainsOffsetOffset = 192;     // sector where grain 0 starts

constexpr uint64_t kMagic = 0xCAFEBABE;
constexpr uint64_t kVersion = 0x200000001;

// Directory entries: 0 = no table; otherwise the top 32 bits are 0x10000000 and the low
// 32 bits number the table inside the grain tables region.
constexpr uint64_t kDirEntryTag = 0x10000000;

// Grain table entries carry their type in the top nibble.
constexpr uint64_t kTypeUnallocated = 0x0;
constexpr uint64_t kTypeUnmapped = 0x1;  // discarded by the guest: reads as zeros
constexpr uint64_t kTypeZero = 0x2;
constexpr uint64_t kTypeAllocated = 0x3;

// ESXi writes 8-sector grains and 64-sector (4096-entry) grain tables. The limits below
// leave room for other geometries while keeping each cached table at most 128 KiB.
constexpr uint64_t kMaxGrainSectors = 2048;
constexpr uint64_t kMaxTableSectors = 256;

// At the default geometry a table maps 16 MiB, so the largest disk this reader accepts
// (kMaxDiskSectors, 512 TiB) needs 2^25 directory entries: 256 MiB, reached only by a file
// that really holds a directory that large. Anything larger is a damaged header.
constexpr uint64_t kMaxDirectoryEntries = uint64_t{1} << 25;

// Grain tables kept in memory: 32 tables, 1 MiB at the default geometry, covering 512 MiB.
constexpr size_t kCacheSlots = 32;

std::string Hex(uint64_t value) {
  char buffer[24];
  std::snprintf(buffer, sizeof buffer, "0x%llx", static_cast<unsigned long long>(value));
  return buffer;
}


struct Geometry {
  uint64_t sectors = 0;
  uint64_t grainSectors = 0;
  uint64_t tableEntries = 0;
  uint64_t tablesOffset = 0;  // bytes
  uint64_t grainsOffset = 0;  // bytes
};

class SeSparseExtent final : public Extent {
 public:
  SeSparseExtent(std::unique_ptr<ByteSource> file, const Geometry& geometry,
                 std::vector<uint64_t> directory)
      : file_(std::move(file)), g_(geometry), directory_(std::move(directory)) {}

  uint64_t Sectors() const override { return g_.sectors; }
  std::string_view TypeName() const override { return "SESPARSE"; }
  const ByteSource* File() const override { return file_.get(); }

  void Read(uint64_t sector, uint64_t count, std::byte* out, ReadReport& report) override {
    ReadSink sink("seSparse", *file_, sector, out, report);
    Walk(sector, count, sink);
    sink.Flush();
  }

  bool Write(uint64_t sector, uint64_t count, const std::byte* in) override {
    return grain_io::WritePlanned(*file_, g_.sectors, sector, count, in,
                                  [this](uint64_t s, uint64_t n, WritePlan& plan) { Walk(s, n, plan); });
  }

 private:
  static constexpr uint64_t kNoTable = ~uint64_t{0};
  struct CachedTable {
    uint64_t dirIndex = kNoTable;
    std::vector<uint64_t> entries;
  };

  // Hands every sector of [sector, sector + count) to the sink, in order, as pieces of
  // stored data, unallocated, zero or failed sectors.
  template <typename Sink>
  void Walk(uint64_t sector, uint64_t count, Sink& sink) {
    const uint64_t end = sector + count;
    const uint64_t grain = g_.grainSectors;
    const uint64_t tableSpan = g_.tableEntries * grain;
    uint64_t s = sector;
    while (s < end) {
      const uint64_t dirIndex = s / tableSpan;
      if (dirIndex >= directory_.size()) {
        sink.Fill(Kind::kFailed, s, end - s,
                  "seSparse grain directory ends before sector " + std::to_string(s));
        return;
      }
      const uint64_t tableEnd = std::min(end, (dirIndex + 1) * tableSpan);
      if (directory_[dirIndex] == 0) {
        sink.Fill(Kind::kUnallocated, s, tableEnd - s);
        s = tableEnd;
        continue;
      }
      std::string reason;
      const uint64_t* table = Table(dirIndex, reason);
      if (table == nullptr) {
        sink.Fill(Kind::kFailed, s, tableEnd - s, reason);
        s = tableEnd;
        continue;
      }
      while (s < tableEnd) {
        const uint64_t grainIndex = s / grain;
        const uint64_t within = s - grainIndex * grain;
        const uint64_t n = std::min(tableEnd, (grainIndex + 1) * grain) - s;
        const uint64_t entry = table[grainIndex % g_.tableEntries];
        switch (entry >> 60) {
          case kTypeUnallocated:
            if (entry == 0) {
              sink.Fill(Kind::kUnallocated, s, n);
            } else {
              sink.Fill(Kind::kFailed, s, n, DamagedEntry(grainIndex, entry));
            }
            break;
          case kTypeUnmapped:
          case kTypeZero:
            sink.Fill(Kind::kZero, s, n);
            break;
          case kTypeAllocated: {
            // The grain's number is split: its low 12 bits sit in bits 48-59 of the entry
            // and the rest in bits 0-47.
            const uint64_t number = ((entry >> 48) & 0xFFF) | ((entry & 0xFFFFFFFFFFFF) << 12);
            uint64_t offset = 0;
            if (!CheckedMul(number, grain * kSectorSize, offset) ||
                !CheckedAdd(offset, g_.grainsOffset, offset) ||
                !CheckedAdd(offset, within * kSectorSize, offset)) {
              sink.Fill(Kind::kFailed, s, n, DamagedEntry(grainIndex, entry));
            } else {
              sink.Data(s, n, offset);
            }
            break;
          }
          default:
            sink.Fill(Kind::kFailed, s, n, DamagedEntry(grainIndex, entry));
            break;
        }
        s += n;
      }
    }
  }

  static std::string DamagedEntry(uint64_t grainIndex, uint64_t entry) {
    return "seSparse grain table entry for grain " + std::to_string(grainIndex) +
           " is damaged (" + Hex(entry) + ")";
  }

  // The grain table for directory entry `dirIndex` (non-zero), from the cache or the file;
  // null with `reason` set when it cannot be read.
  const uint64_t* Table(uint64_t dirIndex, std::string& reason) {
    CachedTable& slot = cache_[dirIndex % kCacheSlots];
    if (slot.dirIndex == dirIndex) return slot.entries.data();
    const uint64_t entry = directory_[dirIndex];
    if ((entry >> 32) != kDirEntryTag) {
      reason = "seSparse grain directory entry " + std::to_string(dirIndex) + " is damaged (" +
               Hex(entry) + ")";
      return nullptr;
    }
    // The table number is below 2^32 and a table is at most 128 KiB, so the product stays
    // below 2^49; the tables offset was bounded when the header was read.
    const uint64_t tableBytes = g_.tableEntries * sizeof(uint64_t);
    const uint64_t offset = g_.tablesOffset + (entry & 0xFFFFFFFF) * tableBytes;
    const uint64_t fileSize = file_->Size();
    if (offset > fileSize || fileSize - offset < tableBytes) {
      reason = "seSparse grain table " + std::to_string(entry & 0xFFFFFFFF) + " at byte " +
               std::to_string(offset) + " lies past the end of the file";
      return nullptr;
    }
    // Read into scratch first so a failed read leaves the slot's previous table usable.
    raw_.resize(tableBytes);
    if (!file_->ReadAt(offset, raw_.data(), tableBytes)) {
      reason = "seSparse grain table at byte " + std::to_string(offset) + " could not be read";
      return nullptr;
    }
    slot.entries.resize(g_.tableEntries);
    const ByteSpan bytes(raw_);
    for (size_t i = 0; i < g_.tableEntries; ++i) slot.entries[i] = LeU64(bytes, i * 8);
    slot.dirIndex = dirIndex;
    return slot.entries.data();
  }

  std::unique_ptr<ByteSource> file_;
  Geometry g_;
  std::vector<uint64_t> directory_;
  std::array<CachedTable, kCacheSlots> cache_;
  std::vector<std::byte> raw_;
};

// Sector number from the header as a byte offset, refused when it does not fit the largest
// file offset this reader deals in (the sector limit, in bytes) or overlaps the header.
bool RegionOffset(uint64_t sector, const char* what, uint64_t& bytes, std::string& error) {
  if (sector == 0 || sector > kMaxDiskSectors) {
    error = std::string("seSparse header: the ") + what + " offset (sector " +
            std::to_string(sector) + ") is out of range";
    return false;
  }
  bytes = sector * kSectorSize;
  return true;
}

}  // namespace

bool IsSeSparseFile(ByteSource& file) {
  std::array<std::byte, 8> magic;
  return file.ReadAt(0, magic.data(), magic.size()) && LeU64(magic, 0) == kMagic;
}

std::unique_ptr<Extent> OpenSeSparseExtent(std::unique_ptr<ByteSource> file,
                                           uint64_t descriptorSectors, std::string& error) {
  if (!file) {
    error = "seSparse: no file to open";
    return nullptr;
  }
  const uint64_t fileSize = file->Size();
  if (fileSize < kHeaderBytes) {
    error = "seSparse header: the file is " + std::to_string(fileSize) +
            " bytes, shorter than the 512-byte header";
    return nullptr;
  }
  std::array<std::byte, kHeaderBytes> header;
  if (!file->ReadAt(0, header.data(), header.size())) {
    error = "seSparse header: cannot read the first 512 bytes";
    return nullptr;
  }
  const ByteSpan h(header);
  if (LeU64(h, kMagicOffset) != kMagic) {
    error = "seSparse header: magic " + Hex(LeU64(h, kMagicOffset)) + " is not 0xcafebabe";
    return nullptr;
  }
  if (LeU64(h, kVersionOffset) != kVersion) {
    error = "seSparse header: version " + Hex(LeU64(h, kVersionOffset)) + " is not supported";
    return nullptr;
  }
  const uint64_t capacity = LeU64(h, kCapacityOffset);
  const uint64_t grainSectors = LeU64(h, kGrainSectorsOffset);
  const uint64_t tableSectors = LeU64(h, kTableSectorsOffset);
  const uint64_t dirSector = LeU64(h, kDirOffsetOffset);
  const uint64_t dirSectors = LeU64(h, kDirSectorsOffset);

  if (grainSectors == 0 || grainSectors > kMaxGrainSectors) {
    error = "seSparse header: grain size " + std::to_string(grainSectors) + " is invalid";
    return nullptr;
  }
  if (tableSectors == 0 || tableSectors > kMaxTableSectors) {
    error = "seSparse header: grain table size of " + std::to_string(tableSectors) +
            " sectors is invalid";
    return nullptr;
  }
  if (capacity == 0 || capacity > kMaxDiskSectors) {
    error = "seSparse header: capacity of " + std::to_string(capacity) +
            " sectors is invalid";
    return nullptr;
  }
  if (descriptorSectors > kMaxDiskSectors) {
    error = "seSparse: extent size of " + std::to_string(descriptorSectors) +
            " sectors exceeds the largest disk supported";
    return nullptr;
  }
  if (dirSectors == 0) {
    error = "seSparse header: the grain directory is empty";
    return nullptr;
  }

  Geometry g;
  g.sectors = descriptorSectors != 0 ? descriptorSectors : capacity;
  g.grainSectors = grainSectors;
  g.tableEntries = tableSectors * kSectorSize / sizeof(uint64_t);
  uint64_t dirOffset = 0;
  if (!RegionOffset(dirSector, "grain directory", dirOffset, error) ||
      !RegionOffset(LeU64(h, kTablesOffsetOffset), "grain tables", g.tablesOffset, error) ||
      !RegionOffset(LeU64(h, kGrainsOffsetOffset), "grains", g.grainsOffset, error))
    return nullptr;

  // Only the directory entries that cover the extent are loaded; a directory shorter than
  // the extent is read as far as it goes and the sectors past it fail when read.
  // sectors <= 2^40 and tableSpan <= 2^24: the rounding cannot overflow.
  const uint64_t tableSpan = g.tableEntries * grainSectors;
  const uint64_t needed = (g.sectors + tableSpan - 1) / tableSpan;
  const uint64_t entriesPerSector = kSectorSize / sizeof(uint64_t);
  uint64_t declared = 0;
  if (!CheckedMul(dirSectors, entriesPerSector, declared)) declared = ~uint64_t{0};
  const uint64_t used = std::min(declared, needed);
  if (used > kMaxDirectoryEntries) {
    error = "seSparse header: a grain directory of " + std::to_string(used) +
            " entries is larger than any supported disk needs";
    return nullptr;
  }
  // The directory must lie inside the file, which also bounds the memory it takes.
  const uint64_t dirBytes = used * sizeof(uint64_t);
  if (dirOffset > fileSize || fileSize - dirOffset < dirBytes) {
    error = "seSparse grain directory (" + std::to_string(used) + " entries at sector " +
            std::to_string(dirSector) + ") lies past the end of the file";
    return nullptr;
  }
  std::vector<std::byte> raw(dirBytes);
  if (!file->ReadAt(dirOffset, raw.data(), raw.size())) {
    error = "seSparse grain directory at sector " + std::to_string(dirSector) +
            " could not be read";
    return nullptr;
  }
  std::vector<uint64_t> directory(used);
  const ByteSpan bytes(raw);
  for (size_t i = 0; i < used; ++i) directory[i] = LeU64(bytes, i * 8);

  return std::make_unique<SeSparseExtent>(std::move(file), g, std::move(directory));
}

}  // namespace torvane::vdisk
