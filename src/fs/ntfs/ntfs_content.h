// The content of an NTFS file: resident values, plain and sparse runs, compressed data by
// compression unit, data spread over extension records, and encrypted files as their raw
// export stream.
#pragma once

#include "fs/item_content.h"

namespace torvane::ntfs {

// Delivers the item's bytes through the window; false when the read failed or stopped (the
// outcome says which and why).
bool ReadNtfsItem(ReaderContext& ctx, const FileEntry& item, ContentWindow& out, ReadOutcome& outcome);

}  // namespace torvane::ntfs
