// The file content reader: the bytes of one found item, in file order, from the source disk
// to a sink. The one road by which file data leaves the source; it never writes to it.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "disk/disk_source.h"
#include "partitions/volume_geometry.h"
#include "recovery/reader_sink.h"
#include "scan/file_entry.h"

namespace torvane::ntfs {
class NtfsVolume;
}

namespace torvane::recovery {

struct ReaderContext {
  DiskSource& source;
  const VolumeGeometry& geometry;
  // For NTFS items: record reads and extension records.
  ntfs::NtfsVolume* ntfs = nullptr;
  // Checked before every read: the user's cancel, and the content search's stop.
  const std::atomic<bool>* cancel = nullptr;
  const std::atomic<bool>* searchStop = nullptr;
};

struct ReadOutcome {
  bool ok = false;          // every byte of the item was delivered
  bool incomplete = false;  // some clusters could not be read and were delivered as zeros
  bool encrypted = false;   // the delivery is the raw export stream of an encrypted file
  bool stopped = false;     // cancelled, or the sink ended the read
  std::string error;        // why the item could not be read
  uint64_t delivered = 0;
};

// Reads the whole item into the sink. The NTFS reader serves NTFS volumes, the FAT reader
// FAT12/16/32 and exFAT volumes; RAW items (kind 1) are one contiguous extent from the
// sector in `dataStart`; encrypted NTFS files are delivered as their raw export stream.
ReadOutcome ReadItemContent(ReaderContext& ctx, const FileEntry& item, ReaderSink& sink);

// Only the bytes [first, last] of the item (for the hex view).
ReadOutcome ReadItemRange(ReaderContext& ctx, const FileEntry& item, uint64_t first, uint64_t last,
                          ReaderSink& sink);

// The item (or its first `limit` bytes) in memory, for previews: refused when the size
// exceeds 150 MiB or the item's own size.
bool ReadItemToMemory(ReaderContext& ctx, const FileEntry& item, uint64_t limit, std::vector<std::byte>& out);

// A RAW item: `size` bytes from its first sector on.
ReadOutcome ReadExtent(ReaderContext& ctx, const FileEntry& item, ReaderSink& sink);

}  // namespace torvane::recovery
