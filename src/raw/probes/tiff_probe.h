// TIFF and camera RAW pictures: classified by their first directory (Make, Model, XMP, the
// DNG version) into the catalogue's camera RAW entries or the plain TIFF entry, and measured
// by the extent of their directories, values, strips and tiles.
#pragma once

#include <cstdint>
#include <string_view>

#include "raw/catalogue/file_type_catalogue.h"

namespace torvane::probes {

// The most entries the first directory may have: a TIFF with more is taken as not one.
inline constexpr size_t kTiffMaxFirstIfdEntries = 64;
// The size answered when the first 128 KiB cannot be read, and when the picture's extent
// cannot be measured; both estimated.
inline constexpr uint64_t kTiffUnreadableSize = 131072;
inline constexpr uint64_t kTiffProvisionalSize = 512;

// The catalogue entry of a TIFF by what its first directory says: a camera RAW entry
// (126 to 146, 201) or 184 "TIF". `crw`: "HEAPCCDR" at offset 6.
uint16_t ClassifyTiff(std::string_view make, std::string_view model, bool dng, bool crw);

// Entries 147 and 148: the narrower entry is the classification; the size is the end of the
// furthest structure the directories name (the IFD chain, SubIFDs, the EXIF and GPS
// directories, out-of-line values, strips, tiles, the thumbnail), capped at what the volume
// holds. 0 rejects: no TIFF header, a first directory that cannot be read or has more than
// kTiffMaxFirstIfdEntries entries.
uint64_t SizeTiff(ProbeContext& ctx);

}  // namespace torvane::probes
