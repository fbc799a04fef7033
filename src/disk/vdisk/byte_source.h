// The files behind a virtual disk: extent files, descriptors and parents.
//
// Extent parsers read through ByteSource instead of a file descriptor so that the same code
// runs over real files and over in-memory images (tests and fuzz targets).
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "util/file_id.h"

namespace torvane::vdisk {

using FileIdentity = FileId;

class ByteSource {
 public:
  virtual ~ByteSource() = default;
  virtual uint64_t Size() const = 0;
  // Reads up to `size` bytes at `offset`; returns how many were read (short at the end of
  // the data, or on an I/O error).
  virtual size_t ReadSome(uint64_t offset, void* buffer, size_t size) = 0;
  // Writes `size` bytes at `offset` in place. False when the source is read-only, the write
  // would grow the data, or it failed.
  virtual bool WriteAt(uint64_t offset, const void* buffer, size_t size) = 0;
  virtual bool Writable() const = 0;
  // Path shown to the user; empty for memory.
  virtual const std::filesystem::path& Path() const = 0;
  virtual FileIdentity Identity() const { return {}; }
  // The first offset at or after `offset` that may hold data: beyond it up to the answer the
  // file is a hole (zeros). Size() when only holes follow; `offset` when the source cannot
  // tell.
  virtual uint64_t NextData(uint64_t offset) const { return offset; }

  // True when all `size` bytes at `offset` were read.
  bool ReadAt(uint64_t offset, void* buffer, size_t size) { return ReadSome(offset, buffer, size) == size; }
};

// A file opened with O_RDONLY (or O_RDWR when writing was asked for).
class FileSource final : public ByteSource {
 public:
  static std::unique_ptr<FileSource> Open(const std::filesystem::path& path, bool writable, std::string& error);
  ~FileSource() override;

  uint64_t Size() const override { return size_; }
  size_t ReadSome(uint64_t offset, void* buffer, size_t size) override;
  bool WriteAt(uint64_t offset, const void* buffer, size_t size) override;
  bool Writable() const override { return writable_; }
  const std::filesystem::path& Path() const override { return path_; }
  FileIdentity Identity() const override { return identity_; }
  // Asks the file system for the next data (SEEK_DATA); reads use pread, so moving the
  // descriptor's position does not disturb them.
  uint64_t NextData(uint64_t offset) const override;

 private:
  FileSource(int fd, std::filesystem::path path, uint64_t size, bool writable, FileIdentity identity)
      : fd_(fd), path_(std::move(path)), size_(size), writable_(writable), identity_(identity) {}
  int fd_;
  std::filesystem::path path_;
  uint64_t size_;
  bool writable_;
  FileIdentity identity_;
};

// Bytes held in memory, for tests and fuzzing.
class MemorySource final : public ByteSource {
 public:
  explicit MemorySource(std::vector<uint8_t> bytes, bool writable = false, std::filesystem::path name = {})
      : bytes_(std::move(bytes)), writable_(writable), path_(std::move(name)) {}
  uint64_t Size() const override { return bytes_.size(); }
  size_t ReadSome(uint64_t offset, void* buffer, size_t size) override;
  bool WriteAt(uint64_t offset, const void* buffer, size_t size) override;
  bool Writable() const override { return writable_; }
  const std::filesystem::path& Path() const override { return path_; }
  const std::vector<uint8_t>& Bytes() const { return bytes_; }

 private:
  std::vector<uint8_t> bytes_;
  bool writable_;
  std::filesystem::path path_;
};

}  // namespace torvane::vdisk
