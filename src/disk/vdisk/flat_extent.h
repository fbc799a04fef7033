// Flat extents (FLAT, VMFS, VMFSRDM, VMFSRAW) and raw disk images: the disk's sectors stored
// one after another in a file, from a sector offset on.
#pragma once

#include <memory>
#include <string>

#include "disk/vdisk/extent.h"

namespace torvane::vdisk {

class FlatExtent final : public Extent {
 public:
  // `offsetSectors` is where the extent's data starts in the file. With `zeroPastEnd`, bytes
  // past the end of the file read as zeros instead of failing: a raw image whose size is not
  // a whole number of sectors has its last sector padded.
  FlatExtent(std::unique_ptr<ByteSource> file, uint64_t sectors, uint64_t offsetSectors, std::string typeName,
             bool zeroPastEnd = false)
      : file_(std::move(file)),
        sectors_(sectors),
        offsetBytes_(offsetSectors * kSectorSize),
        typeName_(std::move(typeName)),
        zeroPastEnd_(zeroPastEnd) {}

  uint64_t Sectors() const override { return sectors_; }
  void Read(uint64_t sector, uint64_t count, std::byte* out, ReadReport& report) override;
  bool Write(uint64_t sector, uint64_t count, const std::byte* in) override;
  std::string_view TypeName() const override { return typeName_; }
  const ByteSource* File() const override { return file_.get(); }
  uint64_t NextDataSector(uint64_t sector) const override;

 private:
  std::unique_ptr<ByteSource> file_;
  uint64_t sectors_;
  uint64_t offsetBytes_;
  std::string typeName_;
  bool zeroPastEnd_;
};

}  // namespace torvane::vdisk
