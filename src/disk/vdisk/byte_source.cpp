#include "disk/vdisk/byte_source.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace torvane::vdisk {

namespace {

// Only regular files and block devices hold disk data. Anything else (a FIFO, a socket, a
// character device such as /dev/zero, a folder) would block, never end, or be no disk at all.
bool IsDiskFileType(mode_t mode) {
  return S_ISREG(mode) || S_ISBLK(mode);
}

std::string FileTypeError(const std::filesystem::path& path, mode_t mode) {
  const char* what = S_ISDIR(mode)    ? "a folder"
                     : S_ISFIFO(mode) ? "a FIFO"
                     : S_ISCHR(mode)  ? "a character device"
                     : S_ISSOCK(mode) ? "a socket"
                                      : "not a regular file";
  return path.string() + " is " + what + ", not a disk image file or block device";
}

}  // namespace

std::unique_ptr<FileSource> FileSource::Open(const std::filesystem::path& path, bool writable, std::string& error) {
  // Look before opening: opening a FIFO for reading blocks until a writer appears.
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) {
    error = "cannot open " + path.string() + ": " + std::strerror(errno);
    return nullptr;
  }
  if (!IsDiskFileType(st.st_mode)) {
    error = FileTypeError(path, st.st_mode);
    return nullptr;
  }
  // O_NONBLOCK keeps the open from blocking should the path be swapped for a FIFO between
  // the stat and the open; fstat then checks what was really opened.
  int fd = ::open(path.c_str(), (writable ? O_RDWR : O_RDONLY) | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) {
    error = "cannot open " + path.string() + ": " + std::strerror(errno);
    return nullptr;
  }
  if (fstat(fd, &st) != 0) {
    error = "cannot examine " + path.string() + ": " + std::strerror(errno);
    ::close(fd);
    return nullptr;
  }
  if (!IsDiskFileType(st.st_mode)) {
    error = FileTypeError(path, st.st_mode);
    ::close(fd);
    return nullptr;
  }
  const int flags = fcntl(fd, F_GETFL);
  if (flags >= 0) fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
  uint64_t size = 0;
  if (S_ISREG(st.st_mode)) {
    size = static_cast<uint64_t>(st.st_size);
  } else if (S_ISBLK(st.st_mode)) {
    off_t end = lseek(fd, 0, SEEK_END);
    size = end > 0 ? static_cast<uint64_t>(end) : 0;
  }
  // Reads are sequential runs of many MiB: let the kernel read ahead generously.
  posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
  FileIdentity identity{static_cast<uint64_t>(st.st_dev), static_cast<uint64_t>(st.st_ino)};
  return std::unique_ptr<FileSource>(new FileSource(fd, path, size, writable, identity));
}

FileSource::~FileSource() {
  ::close(fd_);
}

uint64_t FileSource::NextData(uint64_t offset) const {
  if (offset >= size_) return size_;
  const off_t at = ::lseek(fd_, static_cast<off_t>(offset), SEEK_DATA);
  if (at >= 0) return std::max<uint64_t>(static_cast<uint64_t>(at), offset);
  return errno == ENXIO ? size_ : offset;  // ENXIO: only a hole follows
}

size_t FileSource::ReadSome(uint64_t offset, void* buffer, size_t size) {
  size_t done = 0;
  auto* out = static_cast<char*>(buffer);
  while (done < size) {
    ssize_t n = ::pread(fd_, out + done, size - done, static_cast<off_t>(offset + done));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    done += static_cast<size_t>(n);
  }
  return done;
}

bool FileSource::WriteAt(uint64_t offset, const void* buffer, size_t size) {
  if (!writable_ || offset > size_ || size_ - offset < size) return false;
  size_t done = 0;
  auto* in = static_cast<const char*>(buffer);
  while (done < size) {
    ssize_t n = ::pwrite(fd_, in + done, size - done, static_cast<off_t>(offset + done));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

size_t MemorySource::ReadSome(uint64_t offset, void* buffer, size_t size) {
  if (offset >= bytes_.size()) return 0;
  size_t n = std::min<uint64_t>(size, bytes_.size() - offset);
  std::memcpy(buffer, bytes_.data() + offset, n);
  return n;
}

bool MemorySource::WriteAt(uint64_t offset, const void* buffer, size_t size) {
  if (!writable_ || offset > bytes_.size() || bytes_.size() - offset < size) return false;
  std::memcpy(bytes_.data() + offset, buffer, size);
  return true;
}

}  // namespace torvane::vdisk
