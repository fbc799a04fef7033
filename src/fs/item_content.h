// Reading a found item's content: the sink that receives the bytes in file order, the
// context of a read, its outcome, and the byte window that lets a whole-item read and a
// range read share the same producers. Each file system reads its own files' content
// through these (NTFS in fs/ntfs, FAT and exFAT in fs/fat); the recovery layer dispatches.
#pragma once

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "disk/disk_source.h"
#include "fs/volume_geometry.h"
#include "store/file_entry.h"

namespace torvane {

class FileSystem;
namespace ntfs {
class NtfsVolume;
}

// Clusters are read in pieces of 128 KiB (at least one cluster): large enough for few
// calls, small enough that a piece is still in the processor's cache when it is written
// (measured: 2 MiB pieces made recovery slower and its time erratic).
constexpr uint64_t kTransferBytes = 128ull << 10;

// Where the content of an item goes: a destination file, memory, or a matcher.
class ReaderSink {
 public:
  virtual ~ReaderSink() = default;
  // Delivers bytes in file order. False ends the item (cancelled, disk full, matcher done).
  virtual bool WriteChunk(std::span<const std::byte> data) = 0;
  // Delivers `count` zero bytes.
  virtual bool WriteZeros(uint64_t count);
};

struct ReaderContext {
  DiskSource& source;
  const VolumeGeometry& geometry;
  // For NTFS items: record reads and extension records.
  ntfs::NtfsVolume* ntfs = nullptr;
  // Checked before every read: the user's cancel, and the content search's stop.
  const std::atomic<bool>* cancel = nullptr;
  const std::atomic<bool>* searchStop = nullptr;
  // The volume's file system, which reads its items' content. Without one the reader
  // chooses by the volume's kind (NTFS then needs `ntfs`).
  FileSystem* fileSystem = nullptr;
};

struct ReadOutcome {
  bool ok = false;                 // every byte of the item was delivered
  bool incomplete = false;         // some bytes could not be read, or were never recorded: delivered as zeros
  uint64_t unreadableSectors = 0;  // sectors this read could not read (zero-filled)
  uint64_t missingBytes = 0;       // bytes the item's size claims beyond its recorded data
  // The item's bytes that hold zeros because their sectors could not be read: offsets in the
  // delivered stream, in order, neighbours merged. Past kMaxUnreadableRanges the last range
  // grows to cover the rest, so a disk failing everywhere cannot grow the list without end.
  struct ByteRange {
    uint64_t offset = 0;
    uint64_t length = 0;
    bool operator==(const ByteRange&) const = default;
  };
  std::vector<ByteRange> unreadableRanges;
  void AddUnreadable(uint64_t offset, uint64_t length);
  bool encrypted = false;  // the delivery is the raw export stream of an encrypted file
  bool stopped = false;    // cancelled, or the sink ended the read
  std::string error;       // why the item could not be read
  uint64_t delivered = 0;
};

// Delivers a byte window [skip, skip + limit) of a stream of bytes to the sink: the range
// readers and the whole-item readers share the same producers.
class ContentWindow {
 public:
  ContentWindow(ReaderSink& sink, uint64_t first, uint64_t last) : sink_(sink), first_(first), last_(last) {}
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
  // Feeds `count` zero bytes: the sink gets the part inside the window as zeros (a file sink
  // leaves a hole).
  bool Zeros(uint64_t count) {
    const uint64_t start = position_, end = position_ + count;
    position_ = end;
    if (count == 0 || end <= first_ || start > last_) return start <= last_;
    const uint64_t from = std::max(start, first_), to = last_ >= end - 1 ? end : last_ + 1;
    if (!sink_.WriteZeros(to - from)) {
      stopped_ = true;
      return false;
    }
    delivered_ += to - from;
    return end <= last_;
  }
  // Skips bytes that lie before the window without producing them.
  bool Before(uint64_t bytes) const { return position_ + bytes <= first_; }
  void Skip(uint64_t bytes) { position_ += bytes; }
  uint64_t Position() const { return position_; }
  bool Done() const { return position_ > last_; }
  bool stopped_ = false;
  uint64_t delivered_ = 0;

 private:
  ReaderSink& sink_;
  uint64_t first_, last_;
  uint64_t position_ = 0;
};

// A report lists at most this many unreadable ranges of one item (a few KiB).
constexpr size_t kMaxUnreadableRanges = 256;

// True when the user cancelled or the content search asked to stop.
bool Cancelled(const ReaderContext& ctx);

// Reads `count` clusters from `lcn` into `out`, whose bytes are the item's from `itemOffset`
// on. Sectors that cannot be read deliver zeros; they are counted in the outcome and their
// place in the item noted. When the clusters do not map byte for byte onto the item (a
// compression unit), `itemBytes` is the length of the item's bytes they produce, and a
// failure marks all of them. False when the whole read was refused.
bool ReadVolumeClusters(ReaderContext& ctx, uint64_t lcn, uint64_t count, std::byte* out, ReadOutcome& outcome,
                        uint64_t itemOffset, uint64_t itemBytes = 0);
// Notes the failures of `read` (sectors counted from its start) whose buffer holds the
// item's bytes from `itemOffset` on.
void NoteUnreadable(const ReadResult& read, uint32_t sectors, ReadOutcome& outcome, uint64_t itemOffset,
                    uint64_t itemBytes = 0);

}  // namespace torvane
