// seSparse extents: the space-efficient snapshot delta format of newer ESXi hosts.
#pragma once

#include <memory>
#include <string>

#include "disk/vdisk/extent.h"

namespace torvane::vdisk {

// True when the file starts with the seSparse constant-header magic.
bool IsSeSparseFile(ByteSource& file);

// Opens an seSparse extent. `descriptorSectors` is the extent's size from the descriptor line
// (0 to take the header's capacity). Null, with a one-line reason in `error`, when the
// headers or tables are damaged.
std::unique_ptr<Extent> OpenSeSparseExtent(std::unique_ptr<ByteSource> file, uint64_t descriptorSectors,
                                           std::string& error);

}  // namespace torvane::vdisk
