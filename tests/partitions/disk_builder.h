// Hand-built disks for the partition and recognition tests: a raw image in memory, written
// to a temporary file and opened as the sector source.
#pragma once

#include <cstring>
#include <string>
#include <vector>

#include "disk/disk_source.h"
#include "test_util.h"
#include "util/bytes.h"

namespace torvane::test {

class DiskBuilder {
 public:
  explicit DiskBuilder(uint64_t sectors) : bytes_(sectors * 512, 0) {}

  uint8_t* Sector(uint64_t s) { return bytes_.data() + s * 512; }
  MutableByteSpan Span(uint64_t s, size_t n = 512) { return {reinterpret_cast<std::byte*>(Sector(s)), n}; }
  void Text(uint64_t s, size_t offset, const std::string& text) {
    std::memcpy(Sector(s) + offset, text.data(), text.size());
  }
  void Signature(uint64_t s) {
    Sector(s)[510] = 0x55;
    Sector(s)[511] = 0xAA;
  }
  // An MBR entry (slot 0-3) in the sector `s` (0 for the MBR, else an extended block).
  void Entry(uint64_t s, int slot, uint8_t type, uint32_t start, uint32_t size, uint8_t boot = 0) {
    uint8_t* e = Sector(s) + 446 + 16 * slot;
    e[0] = boot;
    e[4] = type;
    StoreLeU32(Span(s), 446 + 16 * slot + 8, start);
    StoreLeU32(Span(s), 446 + 16 * slot + 12, size);
    Signature(s);
  }

  // Boot sectors with the fields recognition reads.
  void Fat16Boot(uint64_t s, uint32_t totalSectors, const std::string& label = "LABEL16    ") {
    uint8_t* b = Sector(s);
    b[0] = 0xEB;
    StoreLeU16(Span(s), 11, 512);
    b[13] = 4;
    StoreLeU16(Span(s), 14, 4);
    b[16] = 2;
    StoreLeU16(Span(s), 17, 512);
    StoreLeU16(Span(s), 19, totalSectors < 65536 ? totalSectors : 0);
    StoreLeU16(Span(s), 22, 32);
    StoreLeU32(Span(s), 32, totalSectors < 65536 ? 0 : totalSectors);
    StoreLeU32(Span(s), 39, 0x1234ABCD);
    Text(s, 43, label);
    Text(s, 54, "FAT16   ");
    Signature(s);
  }
  void Fat32Boot(uint64_t s, uint32_t totalSectors, const std::string& label = "LABEL32    ") {
    uint8_t* b = Sector(s);
    b[0] = 0xEB;
    StoreLeU16(Span(s), 11, 512);
    b[13] = 1;
    StoreLeU16(Span(s), 14, 32);
    b[16] = 2;
    StoreLeU32(Span(s), 32, totalSectors);
    StoreLeU32(Span(s), 36, 64);
    StoreLeU32(Span(s), 44, 2);
    StoreLeU32(Span(s), 67, 0xCAFE0032);
    Text(s, 71, label);
    Text(s, 82, "FAT32   ");
    Signature(s);
  }
  void NtfsBoot(uint64_t s, uint64_t totalSectors, uint64_t mftCluster = 4) {
    uint8_t* b = Sector(s);
    b[0] = 0xEB;
    Text(s, 3, "NTFS    ");
    StoreLeU16(Span(s), 11, 512);
    b[13] = 8;
    StoreLeU32(Span(s), 36, 0x00800080);
    StoreLeU64(Span(s), 40, totalSectors);
    StoreLeU64(Span(s), 48, mftCluster);
    StoreLeU64(Span(s), 56, 2);
    b[64] = 0xF6;  // 1 KiB records
    StoreLeU64(Span(s), 72, 0x1122334455667788ull);
    Signature(s);
  }

  // Opens a copy of the image, held in memory, as the sector source.
  void Open(DiskSource& source) {
    std::string error;
    auto disk = vdisk::VirtualDisk::FromRawBytes(std::make_unique<vdisk::MemorySource>(bytes_));
    if (!source.OpenDisk(std::move(disk), 0, error)) throw std::runtime_error(error);
  }
  std::vector<uint8_t>& Bytes() { return bytes_; }

 private:
  std::vector<uint8_t> bytes_;
};

}  // namespace torvane::test
