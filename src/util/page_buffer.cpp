#include "util/page_buffer.h"

#include <sys/mman.h>

#include <utility>

namespace torvane {

PageBuffer::PageBuffer(size_t size) {
  Resize(size);
}

PageBuffer::~PageBuffer() {
  Release();
}

PageBuffer::PageBuffer(PageBuffer&& other) noexcept
    : data_(std::exchange(other.data_, nullptr)), size_(std::exchange(other.size_, 0)) {}

PageBuffer& PageBuffer::operator=(PageBuffer&& other) noexcept {
  if (this != &other) {
    Release();
    data_ = std::exchange(other.data_, nullptr);
    size_ = std::exchange(other.size_, 0);
  }
  return *this;
}

bool PageBuffer::Resize(size_t size) {
  Release();
  if (size == 0) return true;
  // Anonymous mappings are page-aligned and arrive zeroed; PROT_EXEC is never asked for.
  void* p = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (p == MAP_FAILED) return false;
  data_ = static_cast<std::byte*>(p);
  size_ = size;
  return true;
}

void PageBuffer::Release() {
  if (data_ != nullptr) munmap(data_, size_);
  data_ = nullptr;
  size_ = 0;
}

}  // namespace torvane
