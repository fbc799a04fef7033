#include "fs/exfat/exfat_content.h"

#include "fs/exfat/exfat_folder.h"
#include "fs/fat/fat_content.h"

namespace torvane::exfat {

bool ReadExfatItem(ReaderContext& ctx, const FileEntry& item, ContentWindow& out, ReadOutcome& outcome) {
  // Cluster 0 and 1 would read the sectors before the cluster heap (the FAT).
  if (item.size > 0 && (item.link < 2 || item.link > ctx.geometry.clusterCount)) {
    outcome.error = "its first cluster lies outside the volume";
    return false;
  }
  // Without a chain to follow the FAT reader takes consecutive clusters from the first one.
  FileEntry read = item;
  if (item.reserved43 & kExNoFatChain) read.hasChain = 0;
  return fat::ReadFatItem(ctx, read, out, outcome);
}

}  // namespace torvane::exfat
