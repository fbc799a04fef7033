#include "recovery/reader_sink.h"

#include <algorithm>

namespace torvane::recovery {

bool MemorySink::WriteChunk(std::span<const std::byte> data) {
  if (bytes_.size() + data.size() > cap_) return false;
  bytes_.insert(bytes_.end(), data.begin(), data.end());
  return true;
}

}  // namespace torvane::recovery
