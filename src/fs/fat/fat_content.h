// The content of a FAT12/16/32 or exFAT file: along its cluster chain while the chain is
// usable, then as contiguous clusters (from the first one when there is no chain to follow).
#pragma once

#include "fs/item_content.h"

namespace torvane::fat {

// Delivers the item's bytes through the window. Whole clusters before the window are passed
// along the chain without being read; a chain found broken midway goes on as the clusters
// that follow the last good one (what was delivered stands: the sink is never restarted).
bool ReadFatItem(ReaderContext& ctx, const FileEntry& item, ContentWindow& out, ReadOutcome& outcome);

}  // namespace torvane::fat
