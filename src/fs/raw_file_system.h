// RAW mode: a volume read without a file system. Its file system is unknown, or it is the
// whole disk, or the user asked for it; nothing is walked, every sector counts as free, and
// the scan reads it in 512-byte sectors so that header detect sees all of it.
#pragma once

#include <memory>

#include "fs/file_system.h"

namespace torvane {

// The FileSystem of a volume in RAW mode: an empty walk, no paths, a scan family whose
// clusters are all free and that searches for no records.
std::unique_ptr<FileSystem> OpenRawFileSystem(DiskSource& source, const VolumeGeometry& geometry, ItemStore& store);

// Whether a FileSystem is the RAW-mode one.
bool IsRawMode(const FileSystem& fileSystem);

// The geometry a RAW-mode scan runs on: the volume's sectors as clusters of one sector each,
// from sector 0 to the last sector that exists (the volume cut to its disk).
void MakeRawGeometry(const DiskSource& source, const VolumeGeometry& volume, VolumeGeometry& raw);

}  // namespace torvane
