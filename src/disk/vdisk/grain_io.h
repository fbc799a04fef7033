// Grain-mapped extents (COWD, seSparse): a grain directory of grain tables of grains.
//
// TableExtent walks a sector range through the directory and the tables (kept in a small
// cache) and hands each piece, in disk order, to a sink: ReadSink turns runs of pieces into
// as few file reads as possible and fills in what is not stored; WritePlan collects where a
// write would land and notes whether every sector is stored. A format supplies only what
// its directory and table entries mean.
#pragma once

#include <algorithm>
#include <array>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "disk/vdisk/extent.h"
#include "util/bytes.h"

namespace torvane::vdisk::grain_io {

enum class Kind { kData, kUnallocated, kZero, kFailed };

// Receives the pieces of one read in disk order and carries out each run of same-kind
// pieces at once: stored sectors that follow each other in the file become one ReadAt.
class ReadSink {
 public:
  ReadSink(std::string_view format, ByteSource& file, uint64_t firstSector, std::byte* out, ReadReport& report)
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
          report_.AddFailed(
              start_ + good, count_ - good,
              at + (count_ - good) * kSectorSize > file_.Size()
                  ? std::string(format_) + " grain data at byte " + std::to_string(at) +
                        " lies past the end of the file"
                  : std::string(format_) + " grain data at byte " + std::to_string(at) + " could not be read");
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
      if (last.sector + last.count == sector && last.fileOffset + last.count * kSectorSize == fileOffset) {
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
bool WritePlanned(ByteSource& file, uint64_t extentSectors, uint64_t sector, uint64_t count, const std::byte* in,
                  WalkFn&& walk) {
  if (!file.Writable() || sector > extentSectors || count > extentSectors - sector) return false;
  WritePlan plan;
  walk(sector, count, plan);
  if (!plan.ok) return false;
  // A grain that runs past the end of the file would make WriteAt fail half-way through the
  // range; refuse before writing anything.
  const uint64_t fileSize = file.Size();
  for (const auto& run : plan.runs) {
    if (run.fileOffset > fileSize || fileSize - run.fileOffset < run.count * kSectorSize) return false;
  }
  for (const auto& run : plan.runs) {
    if (!file.WriteAt(run.fileOffset, in + (run.sector - sector) * kSectorSize, run.count * kSectorSize)) return false;
  }
  return true;
}

// What a grain table entry says about its grain. For kData, `fileOffset` is where the
// grain's first sector lies in the file; for kFailed, `reason` says why.
struct GrainEntry {
  Kind kind = Kind::kUnallocated;
  uint64_t fileOffset = 0;
  std::string reason;
};

// An extent read through a directory of `Entry` (u32 or u64) naming grain tables of
// `tableEntries` entries, each mapping a grain of `grainSectors` sectors. A zero directory
// entry means the range is not stored in this file.
template <typename Entry>
class TableExtent : public Extent {
 public:
  struct Layout {
    std::string_view format;  // for messages: "COWD", "seSparse"
    uint64_t sectors = 0;
    uint64_t grainSectors = 0;
    uint64_t tableEntries = 0;
  };

  TableExtent(std::unique_ptr<ByteSource> file, const Layout& layout, std::vector<Entry> directory)
      : file_(std::move(file)), layout_(layout), directory_(std::move(directory)) {}

  uint64_t Sectors() const override { return layout_.sectors; }
  const ByteSource* File() const override { return file_.get(); }
  uint64_t TableMemory() const override {
    return (directory_.size() + (kCacheSlots + 1) * layout_.tableEntries) * sizeof(Entry);
  }

  void Read(uint64_t sector, uint64_t count, std::byte* out, ReadReport& report) override {
    ReadSink sink(layout_.format, *file_, sector, out, report);
    Walk(sector, count, sink);
    sink.Flush();
  }

  bool Write(uint64_t sector, uint64_t count, const std::byte* in) override {
    return WritePlanned(*file_, layout_.sectors, sector, count, in,
                        [this](uint64_t s, uint64_t n, WritePlan& plan) { Walk(s, n, plan); });
  }

 protected:
  // Byte offset of the table that the non-zero directory entry `entry` (number `dirIndex`)
  // names; false, with `reason`, when the entry is damaged.
  virtual bool TableOffset(uint64_t dirIndex, Entry entry, uint64_t& offset, std::string& reason) const = 0;
  // What table entry `entry` says about grain `grainIndex`.
  virtual GrainEntry MapGrain(uint64_t grainIndex, Entry entry) const = 0;

 private:
  // Tables kept in memory. A table maps 4096 grains at the usual geometries, so sequential
  // reads touch each table once and random reads over 32 tables' worth of disk stay hot.
  static constexpr size_t kCacheSlots = 32;
  static constexpr uint64_t kNoTable = ~uint64_t{0};
  struct CachedTable {
    uint64_t dirIndex = kNoTable;
    std::vector<Entry> entries;
  };

  // Hands every sector of [sector, sector + count) to the sink, in order.
  template <typename Sink>
  void Walk(uint64_t sector, uint64_t count, Sink& sink) {
    const uint64_t end = sector + count;
    const uint64_t grain = layout_.grainSectors;
    const uint64_t tableSpan = layout_.tableEntries * grain;
    uint64_t s = sector;
    while (s < end) {
      const uint64_t dirIndex = s / tableSpan;
      if (dirIndex >= directory_.size()) {
        sink.Fill(Kind::kFailed, s, end - s,
                  std::string(layout_.format) + " grain directory ends before sector " + std::to_string(s));
        return;
      }
      const uint64_t tableEnd = std::min(end, (dirIndex + 1) * tableSpan);
      if (directory_[dirIndex] == 0) {
        sink.Fill(Kind::kUnallocated, s, tableEnd - s);
        s = tableEnd;
        continue;
      }
      std::string reason;
      const Entry* table = Table(dirIndex, reason);
      if (table == nullptr) {
        sink.Fill(Kind::kFailed, s, tableEnd - s, reason);
        s = tableEnd;
        continue;
      }
      while (s < tableEnd) {
        const uint64_t grainIndex = s / grain;
        const uint64_t within = (s - grainIndex * grain) * kSectorSize;
        const uint64_t n = std::min(tableEnd, (grainIndex + 1) * grain) - s;
        GrainEntry g = MapGrain(grainIndex, table[grainIndex % layout_.tableEntries]);
        uint64_t offset = 0;
        if (g.kind == Kind::kData && !CheckedAdd(g.fileOffset, within, offset)) {
          g.kind = Kind::kFailed;
          g.reason = std::string(layout_.format) + " grain table entry for grain " + std::to_string(grainIndex) +
                     " points past any file";
        }
        if (g.kind == Kind::kData)
          sink.Data(s, n, offset);
        else
          sink.Fill(g.kind, s, n, g.reason);
        s += n;
      }
    }
  }

  // The grain table for directory entry `dirIndex` (non-zero), from the cache or the file;
  // null with `reason` set when it cannot be read.
  const Entry* Table(uint64_t dirIndex, std::string& reason) {
    CachedTable& slot = cache_[dirIndex % kCacheSlots];
    if (slot.dirIndex == dirIndex) return slot.entries.data();
    uint64_t offset = 0;
    if (!TableOffset(dirIndex, directory_[dirIndex], offset, reason)) return nullptr;
    const uint64_t tableBytes = layout_.tableEntries * sizeof(Entry);
    const uint64_t fileSize = file_->Size();
    const std::string where =
        std::string(layout_.format) + " grain table " + std::to_string(dirIndex) + " at byte " + std::to_string(offset);
    if (offset > fileSize || fileSize - offset < tableBytes) {
      reason = where + " lies past the end of the file";
      return nullptr;
    }
    // Read into scratch first so a failed read leaves the slot's previous table usable.
    raw_.resize(tableBytes);
    if (!file_->ReadAt(offset, raw_.data(), tableBytes)) {
      reason = where + " could not be read";
      return nullptr;
    }
    slot.entries.resize(layout_.tableEntries);
    const ByteSpan bytes(raw_);
    for (size_t i = 0; i < layout_.tableEntries; ++i) slot.entries[i] = detail::LoadLe<Entry>(bytes, i * sizeof(Entry));
    slot.dirIndex = dirIndex;
    return slot.entries.data();
  }

  std::unique_ptr<ByteSource> file_;
  Layout layout_;
  std::vector<Entry> directory_;
  std::array<CachedTable, kCacheSlots> cache_;
  std::vector<std::byte> raw_;
};

// Reads `count` little-endian directory entries at byte `offset` of `file`, which the caller
// has checked lie inside it. False when the read fails.
template <typename Entry>
bool ReadDirectory(ByteSource& file, uint64_t offset, uint64_t count, std::vector<Entry>& out) {
  std::vector<std::byte> raw(count * sizeof(Entry));
  if (!file.ReadAt(offset, raw.data(), raw.size())) return false;
  out.resize(count);
  const ByteSpan bytes(raw);
  for (size_t i = 0; i < count; ++i) out[i] = detail::LoadLe<Entry>(bytes, i * sizeof(Entry));
  return true;
}

}  // namespace torvane::vdisk::grain_io
