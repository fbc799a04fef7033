// ISO base media files (MP4, MOV, 3GP, AVIF, HEIC, Canon CRM) and the fallback probe that
// names the files without a signature of their own.
#pragma once

#include "raw/catalogue/file_type_catalogue.h"

namespace torvane::probes {

// Tried when no signature answered: the entry the first bytes name (MTS, M2TS, ACE, the
// ISO base-media entries by their "ftyp" brand, MOV by a leading "moov"), or null. Sets no
// outputs.
const FileTypeEntry* IsoMediaFallback(ProbeContext& ctx);

// Confirm: the first box is an "ftyp" (or a QuickTime "moov"/"mdat"/"wide"/"free" box).
bool ConfirmIsoMedia(ProbeContext& ctx);
// Size: the sum of the top-level boxes, walked until a box that is not one; a 64-bit box
// size is read, a size of 0 runs to the end of what the volume holds (estimated). Files
// below 1,025 bytes are rejected. Refines the entry by the brand.
uint64_t SizeIsoMedia(ProbeContext& ctx);

// The entry a brand names ("avif" AVIF, "heic"/"heix"/"mif1" HEIC, "3g.." 3GP, "qt  " MOV,
// "crx " CRM, anything else MP4).
const FileTypeEntry* IsoMediaEntryForBrand(uint32_t brand, uint32_t minorOrCompatible);

}  // namespace torvane::probes
