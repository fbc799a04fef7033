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

using grain_io::GrainEntry;
using grain_io::Kind;

constexpr size_t kHeaderBytes = 512;
constexpr size_t kMagicOffset = 0;
constexpr size_t kVersionOffset = 8;
constexpr size_t kCapacityOffset = 16;       // sectors
constexpr size_t kGrainSectorsOffset = 24;   // sectors per grain
constexpr size_t kTableSectorsOffset = 32;   // sectors per grain table
constexpr size_t kDirOffsetOffset = 128;     // sector of the grain directory
constexpr size_t kDirSectorsOffset = 136;    // its size in sectors
constexpr size_t kTablesOffsetOffset = 144;  // sector where grain table 0 starts
constexpr size_t kGrainsOffsetOffset = 192;  // sector where grain 0 starts

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

std::string Hex(uint64_t value) {
  char buffer[24];
  std::snprintf(buffer, sizeof buffer, "0x%llx", static_cast<unsigned long long>(value));
  return buffer;
}

class SeSparseExtent final : public grain_io::TableExtent<uint64_t> {
 public:
  SeSparseExtent(std::unique_ptr<ByteSource> file, const Layout& layout, std::vector<uint64_t> directory,
                 uint64_t tablesOffset, uint64_t grainsOffset)
      : TableExtent(std::move(file), layout, std::move(directory)),
        grainBytes_(layout.grainSectors * kSectorSize),
        tableBytes_(layout.tableEntries * sizeof(uint64_t)),
        tablesOffset_(tablesOffset),
        grainsOffset_(grainsOffset) {}
  std::string_view TypeName() const override { return "SESPARSE"; }

 private:
  bool TableOffset(uint64_t dirIndex, uint64_t entry, uint64_t& offset, std::string& reason) const override {
    if ((entry >> 32) != kDirEntryTag) {
      reason = "seSparse grain directory entry " + std::to_string(dirIndex) + " is damaged (" + Hex(entry) + ")";
      return false;
    }
    // The table number is below 2^32 and a table is at most 128 KiB, so the product stays
    // below 2^49; the tables offset was bounded when the header was read.
    offset = tablesOffset_ + (entry & 0xFFFFFFFF) * tableBytes_;
    return true;
  }

  GrainEntry MapGrain(uint64_t grainIndex, uint64_t entry) const override {
    switch (entry >> 60) {
      case kTypeUnallocated:
        if (entry == 0) return {Kind::kUnallocated};
        break;
      case kTypeUnmapped:
      case kTypeZero:
        return {Kind::kZero};
      case kTypeAllocated: {
        // The grain's number is split: its low 12 bits sit in bits 48-59 of the entry and
        // the rest in bits 0-47.
        const uint64_t number = ((entry >> 48) & 0xFFF) | ((entry & 0xFFFFFFFFFFFF) << 12);
        uint64_t offset = 0;
        if (CheckedMul(number, grainBytes_, offset) && CheckedAdd(offset, grainsOffset_, offset))
          return {Kind::kData, offset};
        break;
      }
      default:
        break;
    }
    return {Kind::kFailed, 0,
            "seSparse grain table entry for grain " + std::to_string(grainIndex) + " is damaged (" + Hex(entry) + ")"};
  }

  uint64_t grainBytes_;
  uint64_t tableBytes_;
  uint64_t tablesOffset_;
  uint64_t grainsOffset_;
};

// Sector number from the header as a byte offset, refused when it does not fit the largest
// file offset this reader deals in (the sector limit, in bytes) or overlaps the header.
bool RegionOffset(uint64_t sector, const char* what, uint64_t& bytes, std::string& error) {
  if (sector == 0 || sector > kMaxDiskSectors) {
    error =
        std::string("seSparse header: the ") + what + " offset (sector " + std::to_string(sector) + ") is out of range";
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

std::unique_ptr<Extent> OpenSeSparseExtent(std::unique_ptr<ByteSource> file, uint64_t descriptorSectors,
                                           std::string& error) {
  if (!file) {
    error = "seSparse: no file to open";
    return nullptr;
  }
  const uint64_t fileSize = file->Size();
  if (fileSize < kHeaderBytes) {
    error = "seSparse header: the file is " + std::to_string(fileSize) + " bytes, shorter than the 512-byte header";
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

  if (!IsPowerOfTwo(grainSectors) || grainSectors > kMaxGrainSectors) {
    error = "seSparse header: grain size " + std::to_string(grainSectors) + " is invalid";
    return nullptr;
  }
  if (tableSectors == 0 || tableSectors > kMaxTableSectors) {
    error = "seSparse header: grain table size of " + std::to_string(tableSectors) + " sectors is invalid";
    return nullptr;
  }
  if (capacity == 0 || capacity > kMaxDiskSectors) {
    error = "seSparse header: capacity of " + std::to_string(capacity) + " sectors is invalid";
    return nullptr;
  }
  if (descriptorSectors > kMaxDiskSectors) {
    error =
        "seSparse: extent size of " + std::to_string(descriptorSectors) + " sectors exceeds the largest disk supported";
    return nullptr;
  }
  if (dirSectors == 0) {
    error = "seSparse header: the grain directory is empty";
    return nullptr;
  }

  SeSparseExtent::Layout g{"seSparse", descriptorSectors != 0 ? descriptorSectors : capacity, grainSectors,
                           tableSectors * kSectorSize / sizeof(uint64_t)};
  uint64_t dirOffset = 0, tablesOffset = 0, grainsOffset = 0;
  if (!RegionOffset(dirSector, "grain directory", dirOffset, error) ||
      !RegionOffset(LeU64(h, kTablesOffsetOffset), "grain tables", tablesOffset, error) ||
      !RegionOffset(LeU64(h, kGrainsOffsetOffset), "grains", grainsOffset, error))
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
    error = "seSparse grain directory (" + std::to_string(used) + " entries at sector " + std::to_string(dirSector) +
            ") lies past the end of the file";
    return nullptr;
  }
  std::vector<uint64_t> directory;
  if (!grain_io::ReadDirectory(*file, dirOffset, used, directory)) {
    error = "seSparse grain directory at sector " + std::to_string(dirSector) + " could not be read";
    return nullptr;
  }
  return std::make_unique<SeSparseExtent>(std::move(file), g, std::move(directory), tablesOffset, grainsOffset);
}

}  // namespace torvane::vdisk
