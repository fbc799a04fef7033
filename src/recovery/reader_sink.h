// Where the content reader delivers a file's bytes: a destination file, memory, or the
// content search's matcher.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <vector>

namespace torvane::recovery {

// Previews read files into memory up to this size.
constexpr uint64_t kMaxMemoryRead = 157286400;  // 150 MiB

class ReaderSink {
 public:
  virtual ~ReaderSink() = default;
  // Delivers bytes in file order. False ends the item (cancelled, disk full, matcher done).
  virtual bool WriteChunk(std::span<const std::byte> data) = 0;
  // Delivers `count` zero bytes.
  virtual bool WriteZeros(uint64_t count);
  // Drops everything delivered so far (a FAT file read again from its start). False when
  // the sink cannot start over.
  virtual bool Restart() = 0;
};

// Collects the bytes in memory, refusing to grow past its cap.
class MemorySink final : public ReaderSink {
 public:
  explicit MemorySink(uint64_t cap = kMaxMemoryRead) : cap_(cap) {}
  bool WriteChunk(std::span<const std::byte> data) override;
  bool Restart() override {
    bytes_.clear();
    return true;
  }
  std::vector<std::byte>& Bytes() { return bytes_; }

 private:
  uint64_t cap_;
  std::vector<std::byte> bytes_;
};

// Feeds the bytes to a matcher; the matcher answers false to stop the read.
class MatcherSink final : public ReaderSink {
 public:
  using Matcher = std::function<bool(std::span<const std::byte>)>;
  MatcherSink(Matcher matcher, std::function<void()> restart = {})
      : matcher_(std::move(matcher)), restart_(std::move(restart)) {}
  bool WriteChunk(std::span<const std::byte> data) override { return matcher_(data); }
  bool Restart() override {
    if (restart_) restart_();
    return true;
  }

 private:
  Matcher matcher_;
  std::function<void()> restart_;
};

}  // namespace torvane::recovery
