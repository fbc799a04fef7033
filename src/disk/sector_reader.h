// A way to read sectors that parsers can take without knowing the sector source: tests give
// them a lambda over a byte vector, the engine one over DiskSource::ReadSectors.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>

namespace torvane {

// Reads `count` sectors of `bytesPerSector` bytes at `sector` into `out`; false when refused.
using SectorReader = std::function<bool(uint64_t sector, uint32_t count, std::byte* out)>;

}  // namespace torvane
