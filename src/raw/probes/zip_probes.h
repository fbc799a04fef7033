// ZIP archives and the formats built on them (DOCX, XLSX, PPTX, ODT, ODS, JAR, XPS, 3MF,
// KMZ, ...), measured by walking their records to the end-of-central-directory record.
#pragma once

#include "raw/catalogue/file_type_catalogue.h"

namespace torvane::probes {

// The first record is a local file header (or a spanning marker before one).
bool ConfirmZip(ProbeContext& ctx);
// The records walked from the start: local headers with their data (ZIP64 sizes read from
// the extra field; data-descriptor members measured by finding the descriptor whose size
// matches), central-directory headers, ZIP64 records, up to and including the end record.
// Without an end record the walked length is returned as estimated, with the result code
// asking to skip it. Refines the entry by member names and the "mimetype" member.
uint64_t SizeZip(ProbeContext& ctx);

}  // namespace torvane::probes
