// Compound files (OLE2: DOC, XLS, PPT, MSI, MDB, VSD, Thumbs.db, ...), measured by their
// allocation table and named by the root entry's class and the names in their directory.
#pragma once

#include "raw/catalogue/file_type_catalogue.h"

namespace torvane::probes {

// The header: signature, byte order mark, a sector size that matches the major version
// (512 for 3, 4096 for 4), a 64-byte mini sector and a table count the volume can hold.
bool ConfirmCompoundFile(ProbeContext& ctx);
// (highest sector in use + 1) sectors after the header, from the allocation table read
// through the header's and the chained DIFAT. Refines the entry by the directory.
uint64_t SizeCompoundFile(ProbeContext& ctx);

}  // namespace torvane::probes
