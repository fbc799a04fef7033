// Page-aligned read/write buffers for disk transfers.
//
// Disk buffers come from the operating system's page allocator rather than the heap: they are
// page-aligned (good for large sequential reads and for O_DIRECT should it be wanted) and
// never executable.
#pragma once

#include <cstddef>
#include <span>

namespace torvane {

class PageBuffer {
 public:
  PageBuffer() = default;
  explicit PageBuffer(size_t size);
  ~PageBuffer();
  PageBuffer(PageBuffer&& other) noexcept;
  PageBuffer& operator=(PageBuffer&& other) noexcept;
  PageBuffer(const PageBuffer&) = delete;
  PageBuffer& operator=(const PageBuffer&) = delete;

  // Replaces the buffer with one of `size` zeroed bytes; the old content does not survive.
  // Returns false (and leaves the buffer empty) when the memory cannot be had.
  bool Resize(size_t size);
  void Release();

  std::byte* data() { return data_; }
  const std::byte* data() const { return data_; }
  size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }
  std::span<std::byte> span() { return {data_, size_}; }
  std::span<const std::byte> span() const { return {data_, size_}; }

 private:
  std::byte* data_ = nullptr;
  size_t size_ = 0;
};

}  // namespace torvane
