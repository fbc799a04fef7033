// The content of an exFAT file. A file whose stream extension says NoFatChain lies in
// consecutive clusters for its data length and its FAT entries mean nothing (they may hold
// anything), so it is never read along the FAT; other files in use follow their FAT chain;
// deleted files are read as consecutive clusters from their first one.
#pragma once

#include "fs/item_content.h"

namespace torvane::exfat {

bool ReadExfatItem(ReaderContext& ctx, const FileEntry& item, ContentWindow& out, ReadOutcome& outcome);

}  // namespace torvane::exfat
