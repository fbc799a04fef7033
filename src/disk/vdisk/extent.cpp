#include "disk/vdisk/extent.h"

#include <cstring>

namespace torvane::vdisk {

bool Extent::Write(uint64_t, uint64_t, const std::byte*) {
  return false;
}

void ZeroExtent::Read(uint64_t, uint64_t count, std::byte* out, ReadReport&) {
  std::memset(out, 0, count * kSectorSize);
}

void NoAccessExtent::Read(uint64_t sector, uint64_t count, std::byte* out, ReadReport& report) {
  std::memset(out, 0, count * kSectorSize);
  report.AddFailed(sector, count, "the descriptor marks this extent NOACCESS");
}

}  // namespace torvane::vdisk
