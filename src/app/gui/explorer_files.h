// Files the explorer writes besides recovered entries: the embedded JPEG miniature of a
// picture (taken from its EXIF block) and the diagnostic activity file. Both go through the
// output rules of recovery: never onto the disk being read, never replacing a file, and no
// partial file left behind when a write fails.
#pragma once

#include <cstddef>
#include <filesystem>
#include <optional>
#include <string>

#include "util/bytes.h"
#include "util/output_guard.h"

namespace torvane::gui {

// How much of a file is read to look for its miniature: a JPEG's EXIF block lies in its first
// 64 KiB; a TIFF-based camera file may place the thumbnail further in.
inline constexpr uint64_t kMiniatureSearchBytes = 4 * 1024 * 1024;

// The embedded JPEG miniature of `file` (a JPEG with an EXIF block, or a TIFF-based camera
// file): the bytes of the thumbnail, which start with a JPEG start-of-image marker. Empty when
// there is none or it does not lie wholly within `file`.
ByteSpan FindJpegMiniature(ByteSpan file);

// Writes `bytes` as `name` (a numbered alternative when taken) into `folder`, created when
// missing. The path written, or nothing with `error` set.
std::optional<std::filesystem::path> WriteNewFile(const OutputGuard& guard, const std::filesystem::path& folder,
                                                  std::u16string name, ByteSpan bytes, std::string& error);

// The diagnostic activity file: "torvane_YYYY-MM-DD_TTTTTTTT.TXT" (T: the millisecond tick
// count in hex) in `folder`, holding the header line and the numbers of the operations active
// now. The engine keeps no table of active operations, so the file holds the header only.
std::optional<std::filesystem::path> WriteActivityFile(const OutputGuard& guard, const std::filesystem::path& folder,
                                                       std::string& error);

}  // namespace torvane::gui
