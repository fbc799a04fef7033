// SHA-256, for the recovery report's checksums of what was written.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

namespace torvane {

class Sha256 {
 public:
  Sha256();
  void Update(std::span<const std::byte> data);
  std::array<uint8_t, 32> Finish();
  // Lower-case hexadecimal of Finish().
  std::string HexDigest();

 private:
  void Block(const uint8_t* block);
  std::array<uint32_t, 8> h_;
  std::array<uint8_t, 64> buffer_{};
  size_t buffered_ = 0;
  uint64_t length_ = 0;
};

}  // namespace torvane
