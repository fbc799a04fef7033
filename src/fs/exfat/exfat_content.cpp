#include "fs/exfat/exfat_content.h"

#include "fs/exfat/exfat_folder.h"
#include "fs/fat/fat_content.h"

namespace torvane::exfat {

bool ReadExfatItem(ReaderContext& ctx, const FileEntry& item, ContentWindow& out, ReadOutcome& outcome) {
  // Without a chain to follow the FAT reader takes consecutive clusters from the first one.
  FileEntry read = item;
  if (item.reserved43 & kExNoFatChain) read.hasChain = 0;
  return fat::ReadFatItem(ctx, read, out, outcome);
}

}  // namespace torvane::exfat
