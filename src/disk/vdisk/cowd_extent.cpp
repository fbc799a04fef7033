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

using grain_io::GrainEntry;
using grain_io::Kind;

constexpr size_t kHeaderBytes = 2048;
constexpr uint64_t kHeaderSectors = kHeaderBytes / kSectorSize;
constexpr size_t kCapacityOffset = 12;      // u32, sectors
constexpr size_t kGrainSectorsOffset = 16;  // u32, sectors per grain
constexpr size_t kDirSectorOffset = 20;     // u32, sector of the grain directory
constexpr size_t kDirEntriesOffset = 24;    // u32, entries in the grain directory

constexpr uint64_t kTableEntries = 4096;

// With grains above 2^21 sectors (1 GiB) a single table would map more than the 32-bit
// capacity field can address: such a header is damaged.
constexpr uint32_t kMaxGrainSectors = uint32_t{1} << 21;

// The header's capacity is 32-bit, so a real directory at the smallest grain (one sector)
// has at most 2^32 / 4096 = 2^20 entries. Four times that leaves room for a descriptor that
// declares a larger extent, and keeps the directory's memory under 16 MiB.
constexpr uint64_t kMaxDirectoryEntries = uint64_t{1} << 22;

class CowdExtent final : public grain_io::TableExtent<uint32_t> {
 public:
  using TableExtent::TableExtent;
  std::string_view TypeName() const override { return "VMFSSPARSE"; }

 private:
  bool TableOffset(uint64_t dirIndex, uint32_t entry, uint64_t& offset, std::string& reason) const override {
    if (entry < kHeaderSectors) {
      reason = "COWD grain table " + std::to_string(dirIndex) + " at sector " + std::to_string(entry) +
               " overlaps the file header";
      return false;
    }
    offset = uint64_t{entry} * kSectorSize;
    return true;
  }

  GrainEntry MapGrain(uint64_t grainIndex, uint32_t entry) const override {
    if (entry == 0) return {Kind::kUnallocated};
    if (entry < kHeaderSectors)
      return {Kind::kFailed, 0,
              "COWD grain table entry for grain " + std::to_string(grainIndex) + " points into the file header"};
    return {Kind::kData, uint64_t{entry} * kSectorSize};
  }
};

}  // namespace

bool IsCowdFile(ByteSource& file) {
  char magic[4];
  return file.ReadAt(0, magic, sizeof magic) && std::memcmp(magic, "COWD", 4) == 0;
}

std::unique_ptr<Extent> OpenCowdExtent(std::unique_ptr<ByteSource> file, uint64_t descriptorSectors,
                                       std::string& error) {
  if (!file) {
    error = "COWD: no file to open";
    return nullptr;
  }
  const uint64_t fileSize = file->Size();
  if (fileSize < kHeaderBytes) {
    error = "COWD header: the file is " + std::to_string(fileSize) + " bytes, shorter than the 2048-byte header";
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

  if (!IsPowerOfTwo(grainSectors)) {
    error = "COWD header: grain size " + std::to_string(grainSectors) + " is not a power of two";
    return nullptr;
  }
  if (grainSectors > kMaxGrainSectors) {
    error = "COWD header: grain size of " + std::to_string(grainSectors) + " sectors is implausibly large";
    return nullptr;
  }
  if (capacity == 0) {
    error = "COWD header: capacity 0 is invalid";
    return nullptr;
  }
  if (descriptorSectors > kMaxDiskSectors) {
    error = "COWD: extent size of " + std::to_string(descriptorSectors) + " sectors exceeds the largest disk supported";
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
    error =
        "COWD header: a grain directory of " + std::to_string(used) + " entries is larger than any real redo log needs";
    return nullptr;
  }
  if (dirSector < kHeaderSectors) {
    error = "COWD header: grain directory at sector " + std::to_string(dirSector) + " overlaps the header";
    return nullptr;
  }
  // The directory must lie inside the file, which also bounds the memory it takes.
  const uint64_t dirOffset = uint64_t{dirSector} * kSectorSize;
  const uint64_t dirBytes = used * sizeof(uint32_t);
  if (dirOffset > fileSize || fileSize - dirOffset < dirBytes) {
    error = "COWD grain directory (" + std::to_string(used) + " entries at sector " + std::to_string(dirSector) +
            ") lies past the end of the file";
    return nullptr;
  }
  std::vector<uint32_t> directory;
  if (!grain_io::ReadDirectory(*file, dirOffset, used, directory)) {
    error = "COWD grain directory at sector " + std::to_string(dirSector) + " could not be read";
    return nullptr;
  }
  const CowdExtent::Layout layout{"COWD", sectors, grainSectors, kTableEntries};
  return std::make_unique<CowdExtent>(std::move(file), layout, std::move(directory));
}

}  // namespace torvane::vdisk
