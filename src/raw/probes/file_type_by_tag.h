// The content check by extension: for a file whose name is known (a deleted FAT or exFAT
// entry, a miniature), whether its first bytes still fit its extension. A deleted file whose
// first cluster was reused fails the check and is shown as overwritten.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>

#include "util/bytes.h"

namespace torvane::probes {

// Answers whether `firstBytes` (the file's first bytes, as many as the caller holds; any
// length, empty included) fit the type. `fileSize` is the file's size in bytes, 0 when not
// known: where given, the text checks look only at the bytes within it (what follows in the
// cluster is not the file's) and some checks compare it with a size field of the header
// (WAV, BMP, binary STL). A span too short for the check's fields answers false.
using ContentCheck = bool (*)(ByteSpan firstBytes, uint64_t fileSize);

// The check of a tag ("JPG"), an extension (".jpg", "jpg") or a file name ("photo.jpg", whose
// last extension counts), the whole key compared without regard to case; null for a key
// that has no check.
ContentCheck FileTypeByTag(std::string_view tagOrName);

// The tags that have a check (163), upper case.
std::span<const std::string_view> ContentCheckTags();

}  // namespace torvane::probes
