// Folders that are no longer linked into a FAT tree, found in the clusters a scan reads:
// a cluster that begins with "." and ".." is a lost folder (named from its parent when the
// parent still names it, else "#" and its cluster number), and a cluster full of entries
// is a lost part of a folder whose items are kept under "Lost files".
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

#include "fs/fat/fat_walk.h"

namespace torvane::fat {

// The name of a folder known only by its cluster: "#%.9u".
std::u16string ClusterFolderName(uint64_t cluster);

// Searches `clusters` whole clusters of `data`, the first of them `firstCluster`. Lost
// folders are appended with their trees; the items of lost folder parts whose data is not
// intact are appended with the part's cluster as their folder. Each link once. Returns the
// entries added; the stop flag ends the search at once.
uint64_t ScanClustersForFolders(FatVolume& volume, FatWalker& walker, ByteSpan data, uint64_t firstCluster,
                                uint64_t clusters, const std::atomic<bool>* stop);

// Appends to the lost-files list a placeholder folder for every parent cluster named by a
// lost folder that the deleted-entries list does not hold: "#%.9u", link 0x11000000 plus
// the cluster's lower 24 bits (the stored form), the whole cluster in `recordNumber`,
// state 245. Each parent once, keyed on its whole cluster. Returns the placeholders added.
uint64_t AddParentPlaceholders(FatVolume& volume);

}  // namespace torvane::fat
