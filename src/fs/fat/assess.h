// How much of a deleted FAT item can still be recovered: the content check of its first
// cluster, the search for the upper half of a FAT32 first cluster that deletion cleared,
// and the recoverability state.
#pragma once

#include <cstdint>

#include "fs/fat/dir_entry.h"
#include "fs/fat/fat_volume.h"
#include "store/file_entry.h"

namespace torvane::fat {

// Whether the caller shows the state of a full listing, or only needs a quick answer (a
// view that does not show the assessment): 110 for every deleted item, 0 otherwise.
enum class AssessView { kFull, kQuick };

// The recoverability state of a deleted item (`entry` with link, size and kind set): 120
// for folders; 110 when its content could not be verified or is overwritten at its start;
// otherwise the share of its clusters, taken as contiguous from the first, that are still
// free before the first one in use: 100 x (c - f) / n, 100 when all are free.
uint8_t AssessEntry(const FatVolume& volume, const FileEntry& entry, bool deleted, AssessView view);

// Finds the upper half of the first cluster of a deleted FAT32 item (`entry.link` holds the
// halves as stored) and sets `link` and `kind`: 0 when found and verified, 2 when no
// candidate fits, 3 when a file's content cannot be checked, 4 for a folder whose cluster
// was found under another upper half. Results are kept in the cluster cache.
void RecoverHighWord(FatVolume& volume, const DirItem& item, uint32_t folderId, FileEntry& entry);

}  // namespace torvane::fat
