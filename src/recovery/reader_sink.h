// The sinks of the content reader: memory (previews) and the content search's matcher;
// the recovery writer's file sink lives with the writer.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <vector>

#include "fs/item_content.h"

namespace torvane::recovery {

// Previews read files into memory up to this size.
constexpr uint64_t kMaxMemoryRead = 157286400;  // 150 MiB

using torvane::ReaderSink;

// Collects the bytes in memory, refusing to grow past its cap.
class MemorySink final : public ReaderSink {
 public:
  explicit MemorySink(uint64_t cap = kMaxMemoryRead) : cap_(cap) {}
  bool WriteChunk(std::span<const std::byte> data) override;
  std::vector<std::byte>& Bytes() { return bytes_; }

 private:
  uint64_t cap_;
  std::vector<std::byte> bytes_;
};

// Feeds the bytes to a matcher; the matcher answers false to stop the read.
class MatcherSink final : public ReaderSink {
 public:
  using Matcher = std::function<bool(std::span<const std::byte>)>;
  explicit MatcherSink(Matcher matcher) : matcher_(std::move(matcher)) {}
  bool WriteChunk(std::span<const std::byte> data) override { return matcher_(data); }

 private:
  Matcher matcher_;
};

}  // namespace torvane::recovery
