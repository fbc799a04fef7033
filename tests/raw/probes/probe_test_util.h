// A candidate in memory for probe tests: its bytes as a disk from sector 0, a context whose
// first sector and reader see them, and the reads counted.
#pragma once

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "raw/catalogue/file_type_catalogue.h"

namespace torvane::test {

class ProbeDisk {
 public:
  // `available`: the context's bytesAvailable; by default the bytes' length.
  explicit ProbeDisk(std::vector<uint8_t> bytes, uint64_t available = UINT64_MAX) : bytes_(std::move(bytes)) {
    // The disk is whole sectors: the last one padded with zeros, as a volume's would be.
    padded_.assign((bytes_.size() + 511) / 512 * 512 + (bytes_.empty() ? 512 : 0), std::byte{0});
    if (!bytes_.empty()) std::memcpy(padded_.data(), bytes_.data(), bytes_.size());
    reader_ = [this](uint64_t sector, uint32_t count, std::byte* out) {
      ++reads;
      sectorsRead += count;
      if (sector > padded_.size() / 512 || count > padded_.size() / 512 - sector) return false;
      std::memcpy(out, padded_.data() + sector * 512, size_t{count} * 512);
      return true;
    };
    ctx.firstSector = ByteSpan(padded_.data(), 512);
    ctx.read = &reader_;
    ctx.bytesAvailable = available == UINT64_MAX ? bytes_.size() : available;
  }
  ProbeDisk(const ProbeDisk&) = delete;
  ProbeDisk& operator=(const ProbeDisk&) = delete;

  ProbeContext ctx;
  uint64_t reads = 0;
  uint64_t sectorsRead = 0;

 private:
  std::vector<uint8_t> bytes_;
  std::vector<std::byte> padded_;
  SectorReader reader_;
};

inline std::vector<uint8_t> BytesOf(const std::string& text) {
  return {text.begin(), text.end()};
}

}  // namespace torvane::test
