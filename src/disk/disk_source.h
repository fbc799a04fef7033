// The sector source: the one open disk of a workspace. Every part that looks at disk data
// reads through ReadSectors, with sector numbers relative to the open volume's start.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <mutex>
#include <string>

#include "disk/vdisk/virtual_disk.h"
#include "util/page_buffer.h"

namespace torvane {

// What ClassifyImageFile makes of a file the user chose.
enum class ImageKind : uint32_t {
  kOther = 0,         // a volume image, or a file without a partition table
  kRawDiskImage = 1,  // a raw disk image with a partition table
  kVirtualDisk = 2,   // a VMware virtual disk that the reader opened
};

constexpr uint32_t kVirtualDiskSentinel = 0x11111111;
constexpr uint64_t kNoBound = ~uint64_t{0};
// The shared sector buffer is at least this large (one cluster when a cluster is larger).
constexpr size_t kMinSectorBufferBytes = 1 << 20;

// What one read delivered. `failedSectors` belongs to this read alone (the totals in
// DiskSource are shared by every reader of the source).
struct ReadResult {
  bool done = false;           // false: refused, the buffer is unchanged
  uint32_t sectorsRead = 0;    // sectors of the request inside the volume (the rest is zeros)
  uint32_t failedSectors = 0;  // of those, sectors that could not be read: zero-filled
  // Where they lie, counted from the read's first sector (empty when none failed).
  std::vector<vdisk::SectorRange> failedRanges;
  explicit operator bool() const { return done; }
};

struct DiskSource {
  uint32_t opened = 0;
  uint32_t handle = 0;  // kVirtualDiskSentinel while a disk is open
  std::unique_ptr<vdisk::VirtualDisk> disk;
  std::filesystem::path sourcePath;
  int32_t driveNumber = -1;  // negative: the source is an image file
  char driveLetter = 0;
  uint64_t diskSectors = kNoBound;
  uint32_t bytesPerSector = 512;
  uint64_t volumeStart = 0;
  uint64_t volumeLastSector = kNoBound;  // inclusive, relative to volumeStart
  // Device-wait protocol: a read refuses while deviceLost is set; each read clears all three.
  std::atomic<uint32_t> deviceLost{0};
  std::atomic<uint32_t> stopRequested{0};
  std::atomic<uint32_t> waitPromptShown{0};
  std::mutex ioLock;
  PageBuffer sectorBuffer;
  std::array<std::byte, 512> bootSectorCopy{};
  ImageKind imageKind = ImageKind::kOther;

  // Reads that could not be satisfied (the missing data was zero-filled), for imaging,
  // recovery and the read-error window. Guarded by ioLock.
  uint64_t failedReads = 0;
  uint64_t failedSectors = 0;
  vdisk::SectorRange lastFailure;
  std::string lastFailureReason;

  DiskSource() = default;
  DiskSource(const DiskSource&) = delete;
  DiskSource& operator=(const DiskSource&) = delete;
  ~DiskSource() { CloseSource(); }

  // Opens the disk at `path` as the source, with `volumeStart` as the open volume's start:
  // clears the bounds, opens the disk, takes its capacity and reads the volume's first
  // sector into sectorBuffer and bootSectorCopy. A virtual disk, and (deliberately) raw disk
  // and volume images, are accepted. On failure nothing stays open and `error` says why.
  bool OpenSource(const std::filesystem::path& path, uint64_t volumeStart, std::string& error, bool writable = false);

  // Takes an already opened disk as the source (the same steps as OpenSource after the open).
  bool OpenDisk(std::unique_ptr<vdisk::VirtualDisk> opened, uint64_t volumeStart, std::string& error);

  // Reads `count` sectors at `sector` (relative to volumeStart) into `buffer`. Refused, with
  // the buffer unchanged, when the read starts past the volume's last sector or the disk's
  // end, or no disk is open. A read running past the volume's last sector is cut there and
  // the rest of the buffer zero-filled. The part of a read running past the disk's end is
  // zero-filled and counted as failed, like sectors the disk cannot deliver.
  ReadResult Read(void* buffer, uint32_t count, uint64_t sector);
  // The first sector (volume-relative, like Read's) at or after `sector` that may hold
  // anything but zeros: a search over the whole disk skips the holes of sparse image files.
  // `sector` itself when that cannot be told or no disk is open.
  uint64_t NextDataSector(uint64_t sector);
  // The same, answering 1 done or 0 refused; failures show only in the shared totals.
  uint32_t ReadSectors(void* buffer, uint32_t count, uint64_t sector);
  // The same for the image creator: clears waitPromptShown and stopRequested before the
  // bounds checks.
  uint32_t ReadSectorsForImage(void* buffer, uint32_t count, uint64_t sector);
  // Writes `count` sectors from sectorBuffer to the absolute sector `absoluteSector`.
  // 1 only when the write happened: the disk was opened for writing and every sector is
  // stored in place in the leaf disk.
  uint32_t WriteSectors(uint32_t count, uint64_t absoluteSector);
  void CloseSource();

 private:
  ReadResult Transfer(void* buffer, uint32_t count, uint64_t sector, bool clearFlagsFirst);
  vdisk::ReadReport report_;
};

ImageKind ClassifyImageFile(const std::filesystem::path& path);

// The seams where a disk library would be set up and torn down; the built-in reader needs
// neither, so both succeed at once.
uint32_t InitDiskLibrary();
void ShutdownDiskLibrary();

}  // namespace torvane
