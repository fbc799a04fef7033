// The content of a FAT12/16/32 or exFAT file: along its cluster chain while the chain is
// usable, else as contiguous clusters from its first one.
#pragma once

#include "fs/item_content.h"

namespace torvane::fat {

// Delivers the item's bytes through the window; a chain found broken midway restarts the
// sink and reads the file again as contiguous clusters.
bool ReadFatItem(ReaderContext& ctx, const FileEntry& item, ContentWindow& out, ReaderSink& sink, ReadOutcome& outcome);

}  // namespace torvane::fat
