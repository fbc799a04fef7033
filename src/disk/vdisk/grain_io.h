// Carrying out reads and writes of grain-mapped extents (COWD, seSparse).
//
// An extent format walks a sector range through its directory and tables and hands each
// piece, in disk order, to a sink: ReadSink turns runs of pieces into as few file reads as
// possible and fills in what is not stored; WritePlan collects where a write would land and
// notes whether every sector is stored.
#pragma once

#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "disk/vdisk/extent.h"

namespace torvane::vdisk::grain_io {

enum class Kind { kData, kUnallocated, kZero, kFailed };

// Receives the pieces of one read in disk order and carries out each run of same-kind
// pieces at once: stored sectors that follow each other in the file become one ReadAt.
class ReadSink {
 public:
  ReadSink(std::string_view format, ByteSource& file, uint64_t firstSector, std::byte* out,
           ReadReport& report)
      : format_(format), file_(file), first_(firstSector), out_(out), report_(report) {}

  void Data(uint64_t sector, uint64_t count, uint64_t fileOffset) {
    if (count_ != 0 && kind_ == Kind::kData && sector == start_ + count_ &&
        fileOffset == offset_ + count_ * kSectorSize) {
      count_ += count;
      return;
    }
    Flush();
    Begin(Kind::kData, sector, count);
    offset_ = fileOffset;
  }

  void Fill(Kind kind, uint64_t sector, uint64_t count, std::string_view reason = {}) {
    if (count_ != 0 && kind_ == kind && sector == start_ + count_) {
      count_ += count;  // a failed run keeps its first reason, as the report does
      return;
    }
    Flush();
    Begin(kind, sector, count);
    reason_.assign(reason);
  }

  void Flush() {
    if (count_ == 0) return;
    std::byte* dst = out_ + (start_ - first_) * kSectorSize;
    const size_t bytes = count_ * kSectorSize;
    switch (kind_) {
      case Kind::kData: {
        const size_t got = file_.ReadSome(offset_, dst, bytes);
        if (got < bytes) {
          const uint64_t good = got / kSectorSize;
          std::memset(dst + good * kSectorSize, 0, bytes - good * kSectorSize);
          const uint64_t at = offset_ + good * kSectorSize;
          report_.AddFailed(start_ + good, count_ - good,
                            at + (count_ - good) * kSectorSize > file_.Size()
                                ? std::string(format_) + " grain data at byte " + std::to_string(at) +
                                      " lies past the end of the file"
                                : std::string(format_) + " grain data at byte " + std::to_string(at) +
                                      " could not be read");
        }
        break;
      }
      case Kind::kUnallocated:
        std::memset(dst, 0, bytes);
        report_.AddUnallocated(start_, count_);
        break;
      case Kind::kZero:
        std::memset(dst, 0, bytes);
        break;
      case Kind::kFailed:
        std::memset(dst, 0, bytes);
        report_.AddFailed(start_, count_, reason_);
        break;
    }
    count_ = 0;
  }

 private:
  void Begin(Kind kind, uint64_t sector, uint64_t count) {
    kind_ = kind;
    start_ = sector;
    count_ = count;
  }

  std::string_view format_;
  ByteSource& file_;
  uint64_t first_;
  std::byte* out_;
  ReadReport& report_;
  Kind kind_ = Kind::kData;
  uint64_t start_ = 0;
  uint64_t count_ = 0;
  uint64_t offset_ = 0;
  std::string reason_;
};

// Maps a range for writing: the runs of file bytes it lands on, or !ok when any sector of
// it is not stored in the file.
struct WritePlan {
  struct Run {
    uint64_t sector;
    uint64_t count;
    uint64_t fileOffset;
  };
  std::vector<Run> runs;
  bool ok = true;

  void Data(uint64_t sector, uint64_t count, uint64_t fileOffset) {
    if (!runs.empty()) {
      Run& last = runs.back();
      if (last.sector + last.count == sector &&
          last.fileOffset + last.count * kSectorSize == fileOffset) {
        last.count += count;
        return;
      }
    }
    runs.push_back({sector, count, fileOffset});
  }
  void Fill(Kind, uint64_t, uint64_t, std::string_view = {}) { ok = false; }
};

// Writes `in` over [sector, sector + count) of an extent of `extentSectors` sectors, whose
// `walk(sector, count, plan)` maps the range. Nothing is written unless the file is writable
// and every sector is stored inside it.
template <typename WalkFn>
bool WritePlanned(ByteSource& file, uint64_t extentSectors, uint64_t sector, uint64_t count,
                  const std::byte* in, WalkFn&& walk) {
  if (!file.Writable() || sector > extentSectors || count > extentSectors - sector) return false;
  WritePlan plan;
  walk(sector, count, plan);
  if (!plan.ok) return false;
  // A grain that runs past the end of the file would make WriteAt fail half-way through the
  // range; refuse before writing anything.
  const uint64_t fileSize = file.Size();
  for (const auto& run : plan.runs) {
    if (run.fileOffset > fileSize || fileSize - run.fileOffset < run.count * kSectorSize)
      return false;
  }
  for (const auto& run : plan.runs) {
    if (!file.WriteAt(run.fileOffset, in + (run.sector - sector) * kSectorSize,
                      run.count * kSectorSize))
      return false;
  }
  return true;
}

}  // namespace torvane::vdisk::grain_io
