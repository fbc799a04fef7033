#include "disk/vdisk/flat_extent.h"

#include <algorithm>
#include <cstring>

namespace torvane::vdisk {

void FlatExtent::Read(uint64_t sector, uint64_t count, std::byte* out, ReadReport& report) {
  const uint64_t bytes = count * kSectorSize;
  const uint64_t offset = offsetBytes_ + sector * kSectorSize;
  const size_t got = file_->ReadSome(offset, out, bytes);
  if (got == bytes) return;
  std::memset(out + got, 0, bytes - got);
  if (zeroPastEnd_ && offset + got >= file_->Size()) return;
  const uint64_t firstMissing = sector + got / kSectorSize;
  report.AddFailed(firstMissing, sector + count - firstMissing,
                   offset + got >= file_->Size() ? "the extent file " + file_->Path().string() + " ends early"
                                                 : "read error in " + file_->Path().string());
}

bool FlatExtent::Write(uint64_t sector, uint64_t count, const std::byte* in) {
  return file_->WriteAt(offsetBytes_ + sector * kSectorSize, in, count * kSectorSize);
}

uint64_t FlatExtent::NextDataSector(uint64_t sector) const {
  if (sector >= sectors_ || sector > (UINT64_MAX - offsetBytes_) / kSectorSize) return sector;
  const uint64_t byte = offsetBytes_ + sector * kSectorSize;
  const uint64_t data = file_->NextData(byte);
  if (data <= byte) return sector;
  // Past the file's end the extent reads zeros (or fails): nothing to find there either.
  if (data >= file_->Size()) return sectors_;
  return std::min(sectors_, (data - offsetBytes_) / kSectorSize);
}

}  // namespace torvane::vdisk
