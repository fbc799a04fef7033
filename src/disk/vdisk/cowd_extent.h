// vmfsSparse extents ("COWD"): the redo-log / snapshot delta format of ESX hosts.
#pragma once

#include <memory>
#include <string>

#include "disk/vdisk/extent.h"

namespace torvane::vdisk {

// True when the file starts with the COWD magic.
bool IsCowdFile(ByteSource& file);

// Opens a COWD extent. `descriptorSectors` is the extent's size from the descriptor line
// (0 when the file stands alone); the header's own capacity is used when it is 0. Null, with
// a one-line reason in `error`, when the header or the grain directory is damaged.
std::unique_ptr<Extent> OpenCowdExtent(std::unique_ptr<ByteSource> file, uint64_t descriptorSectors,
                                       std::string& error);

}  // namespace torvane::vdisk
