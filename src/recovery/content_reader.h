// The file content reader: the bytes of one found item, in file order, from the source disk
// to a sink. The one road by which file data leaves the source; it never writes to it.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "fs/item_content.h"
#include "recovery/reader_sink.h"
#include "store/file_entry.h"

namespace torvane::recovery {

using torvane::ReaderContext;
using torvane::ReadOutcome;

// Reads the whole item into the sink. The NTFS reader serves NTFS volumes, the FAT reader
// FAT12/16/32 and exFAT volumes; RAW items (kind 1) are one contiguous extent from the
// sector in `dataStart`; encrypted NTFS files are delivered as their raw export stream.
ReadOutcome ReadItemContent(ReaderContext& ctx, const FileEntry& item, ReaderSink& sink);

// Only the bytes [first, last] of the item (for the hex view).
ReadOutcome ReadItemRange(ReaderContext& ctx, const FileEntry& item, uint64_t first, uint64_t last, ReaderSink& sink);

// The item (or its first `limit` bytes) in memory, for previews: refused when the size
// exceeds 150 MiB or the item's own size.
bool ReadItemToMemory(ReaderContext& ctx, const FileEntry& item, uint64_t limit, std::vector<std::byte>& out);

// A RAW item: `size` bytes from its first sector on.
ReadOutcome ReadExtent(ReaderContext& ctx, const FileEntry& item, ReaderSink& sink);

}  // namespace torvane::recovery
