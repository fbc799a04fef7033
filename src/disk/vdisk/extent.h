// One extent of a virtual disk: a run of the disk's sectors stored in one file (or nowhere,
// for a ZERO extent), in one of the VMDK storage formats.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "disk/vdisk/byte_source.h"

namespace torvane::vdisk {

constexpr uint32_t kSectorSize = 512;

// Largest disk the reader accepts, in sectors: 2^40 sectors is 512 TiB, eight times the
// largest disk VMware products create (62 TiB), and keeps every byte offset below 2^49 so
// that offset arithmetic cannot overflow.
constexpr uint64_t kMaxDiskSectors = uint64_t{1} << 40;

struct SectorRange {
  uint64_t start = 0;
  uint64_t count = 0;
  bool operator==(const SectorRange&) const = default;
};

// What one read left undone. Ranges are in the sectors of the disk being read (the extent
// adds `base` to its own sector numbers); adjacent ranges are merged.
struct ReadReport {
  uint64_t base = 0;
  // Sectors this layer does not hold: zero-filled here, read from the parent disk if any.
  std::vector<SectorRange> unallocated;
  // Sectors that could not be read (I/O error, file ending early, damaged grain):
  // zero-filled; never confused with unallocated.
  std::vector<SectorRange> failed;
  // First explanation of a failure, for the user.
  std::string failureReason;

  void Clear() {
    unallocated.clear();
    failed.clear();
    failureReason.clear();
  }
  void AddUnallocated(uint64_t extentSector, uint64_t count) { Add(unallocated, base + extentSector, count); }
  void AddFailed(uint64_t extentSector, uint64_t count, std::string_view reason) {
    Add(failed, base + extentSector, count);
    if (failureReason.empty()) failureReason = reason;
  }
  // Takes over the ranges of a report made by another disk of the same address space.
  void Absorb(const ReadReport& other) {
    for (const auto& r : other.unallocated) Add(unallocated, r.start, r.count);
    for (const auto& r : other.failed) Add(failed, r.start, r.count);
    if (failureReason.empty()) failureReason = other.failureReason;
  }

 private:
  static void Add(std::vector<SectorRange>& ranges, uint64_t start, uint64_t count) {
    if (count == 0) return;
    if (!ranges.empty() && ranges.back().start + ranges.back().count == start) {
      ranges.back().count += count;
      return;
    }
    ranges.push_back({start, count});
  }
};

enum class ExtentAccess { kReadWrite, kReadOnly, kNoAccess };

class Extent {
 public:
  virtual ~Extent() = default;

  // Size in sectors of the disk's address space that this extent covers.
  virtual uint64_t Sectors() const = 0;

  // Reads `count` sectors starting at `sector` (relative to the extent; the caller keeps the
  // range inside Sectors()) into `out`. Every byte of `out` is written: stored data is copied,
  // zeroed grains read as zeros, unallocated and unreadable sectors are zero-filled and
  // reported.
  virtual void Read(uint64_t sector, uint64_t count, std::byte* out, ReadReport& report) = 0;

  // Overwrites sectors in place. False, with nothing written, unless every sector of the
  // range is already stored in the file and the file was opened for writing: a write never
  // allocates, and never goes to a range this extent does not hold.
  virtual bool Write(uint64_t sector, uint64_t count, const std::byte* in);

  // Format name as the descriptor spells it ("SPARSE", "FLAT", "VMFSSPARSE", ...).
  virtual std::string_view TypeName() const = 0;

  // The file holding the extent's data; null for ZERO extents.
  virtual const ByteSource* File() const { return nullptr; }
  // The first extent sector at or after `sector` that may hold data (Sectors() when none
  // does); `sector` when the extent cannot tell. Searches skip what lies before it.
  virtual uint64_t NextDataSector(uint64_t sector) const { return sector; }

  // The most memory the extent's grain directory and table cache can take, for the open
  // disk's memory budget.
  virtual uint64_t TableMemory() const { return 0; }
};

// An extent that stores nothing and reads as zeros (descriptor type ZERO).
class ZeroExtent final : public Extent {
 public:
  explicit ZeroExtent(uint64_t sectors) : sectors_(sectors) {}
  uint64_t Sectors() const override { return sectors_; }
  void Read(uint64_t sector, uint64_t count, std::byte* out, ReadReport& report) override;
  std::string_view TypeName() const override { return "ZERO"; }
  uint64_t NextDataSector(uint64_t) const override { return sectors_; }

 private:
  uint64_t sectors_;
};

// An extent whose data cannot be read (descriptor access NOACCESS): every read fails.
class NoAccessExtent final : public Extent {
 public:
  NoAccessExtent(uint64_t sectors, std::string typeName) : sectors_(sectors), typeName_(std::move(typeName)) {}
  uint64_t Sectors() const override { return sectors_; }
  void Read(uint64_t sector, uint64_t count, std::byte* out, ReadReport& report) override;
  std::string_view TypeName() const override { return typeName_; }

 private:
  uint64_t sectors_;
  std::string typeName_;
};

}  // namespace torvane::vdisk
