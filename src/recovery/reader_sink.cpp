#include "recovery/reader_sink.h"

#include <algorithm>

namespace torvane::recovery {

bool ReaderSink::WriteZeros(uint64_t count) {
  static const std::vector<std::byte> zeros(1 << 20);
  while (count > 0) {
    const size_t n = static_cast<size_t>(std::min<uint64_t>(count, zeros.size()));
    if (!WriteChunk({zeros.data(), n})) return false;
    count -= n;
  }
  return true;
}

bool MemorySink::WriteChunk(std::span<const std::byte> data) {
  if (bytes_.size() + data.size() > cap_) return false;
  bytes_.insert(bytes_.end(), data.begin(), data.end());
  return true;
}

}  // namespace torvane::recovery
