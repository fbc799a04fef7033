// The OEM code page of FAT short names. Short names are stored in the code page of the
// system that wrote them; Torvane reads them as code page 437 (the default of the systems
// that write FAT) until the code page becomes a setting.
#pragma once

#include <cstdint>

namespace torvane::fat {

// The character of byte `b` in code page 437 (bytes below 0x80 are ASCII).
char16_t Cp437ToUnicode(uint8_t b);

}  // namespace torvane::fat
