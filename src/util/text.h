// Text conversions at the edges: names are UTF-16 inside the engine and UTF-8 outside.
#pragma once

#include <string>
#include <string_view>

namespace torvane {

// UTF-16 to UTF-8; a lone surrogate becomes U+FFFD.
std::string ToUtf8(std::u16string_view text);
// UTF-8 (file names given by the user or the system) to UTF-16; every byte that does not
// begin a well-formed sequence becomes U+FFFD.
std::u16string FromUtf8(std::string_view text);
// Single-byte text (boot-sector labels) to UTF-16, byte for byte.
std::u16string FromLatin1(std::string_view text);
// Without trailing spaces and NULs, as fixed-width on-disk labels are padded.
std::string_view TrimRight(std::string_view text);

}  // namespace torvane
