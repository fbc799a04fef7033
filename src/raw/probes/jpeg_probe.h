// JPEG: the size probe walks the marker segments up to the start of the scan, takes the
// camera's make and model from an EXIF block for the name suffix, and then finds the end
// marker.
#pragma once

#include <cstdint>

#include "raw/catalogue/file_type_catalogue.h"

namespace torvane::probes {

// A JPEG without an end marker within this many bytes is cut here, its size estimated.
inline constexpr uint64_t kJpegCut = 0x2400000;  // 36 MiB

// The file's size: just past the end marker (FF D9) that follows the first scan. 0 rejects:
// a lossless or tables-first start (FF D8 FF C3/C4), a motion-JPEG frame (APP0 "AVI"), a
// header that is not a chain of marker segments, 32 bytes or less. A segment length of 0
// ends the walk with the size so far, not to be skipped; no end marker within kJpegCut (or
// the bytes the volume holds) gives that length, estimated and not to be skipped. An EXIF
// block's make and model become the name suffix; the first quantization table's offset is
// the skip request.
uint64_t SizeJpeg(ProbeContext& ctx);

}  // namespace torvane::probes
