#include "fs/ntfs/runlist.h"

#include <cstddef>

namespace torvane::ntfs {

bool DecodeRunlist(std::span<const std::byte> data, uint64_t startVcn, std::vector<DataRun>& runs,
                   size_t maxRuns) {
  runs.clear();
  uint64_t vcn = startVcn;
  int64_t lcn = 0;
  size_t at = 0;
  while (at < data.size()) {
    const uint8_t header = std::to_integer<uint8_t>(data[at]);
    if (header == 0) return true;
    const size_t lengthBytes = header & 0x0F, offsetBytes = header >> 4;
    if (lengthBytes == 0 || lengthBytes > 8 || offsetBytes > 8 ||
        data.size() - at - 1 < lengthBytes + offsetBytes || runs.size() >= maxRuns)
      return false;
    ++at;
    uint64_t length = 0;
    for (size_t i = 0; i < lengthBytes; ++i)
      length |= uint64_t{std::to_integer<uint8_t>(data[at + i])} << (8 * i);
    at += lengthBytes;
    if (length == 0 || length > (uint64_t{1} << 48)) return false;
    DataRun run;
    run.vcn = vcn;
    run.length = length;
    if (offsetBytes == 0) {
      run.sparse = true;
    } else {
      uint64_t raw = 0;
      for (size_t i = 0; i < offsetBytes; ++i)
        raw |= uint64_t{std::to_integer<uint8_t>(data[at + i])} << (8 * i);
      at += offsetBytes;
      // Sign-extend the delta from its stored width.
      if (offsetBytes < 8 && (raw >> (8 * offsetBytes - 1)) & 1) raw |= ~uint64_t{0} << (8 * offsetBytes);
      const int64_t delta = static_cast<int64_t>(raw);
      if (__builtin_add_overflow(lcn, delta, &lcn) || lcn < 0) return false;
      run.lcn = static_cast<uint64_t>(lcn);
    }
    runs.push_back(run);
    vcn += length;
  }
  return false;  // no terminating zero inside the attribute
}

}  // namespace torvane::ntfs
