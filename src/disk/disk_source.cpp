#include "disk/disk_source.h"

#include <algorithm>
#include <cstring>

#include "util/bytes.h"

namespace torvane {

uint32_t InitDiskLibrary() {
  return 1;
}
void ShutdownDiskLibrary() {}

ImageKind ClassifyImageFile(const std::filesystem::path& path) {
  std::string error;
  vdisk::OpenOptions options;
  options.allowRaw = false;
  if (vdisk::VirtualDisk::Open(path, options, error)) return ImageKind::kVirtualDisk;
  auto file = vdisk::FileSource::Open(path, false, error);
  if (!file) return ImageKind::kOther;
  uint8_t sector[512];
  if (file->ReadAt(63 * 512, sector, sizeof sector) && LeU16(AsBytes(sector, 512), 510) == 0xAA55)
    return ImageKind::kRawDiskImage;
  if (!file->ReadAt(0, sector, sizeof sector)) return ImageKind::kOther;
  if (LeU16(AsBytes(sector, 512), 510) != 0xAA55) return ImageKind::kOther;
  for (size_t entry : {446, 462, 478, 494})
    if (sector[entry] != 0x00 && sector[entry] != 0x80) return ImageKind::kOther;
  return ImageKind::kRawDiskImage;
}

bool DiskSource::OpenSource(const std::filesystem::path& path, uint64_t start, std::string& error, bool writable) {
  CloseSource();
  if (path.empty()) {
    error = "no disk was given";
    return false;
  }
  vdisk::OpenOptions options;
  options.writable = writable;
  auto opened_disk = vdisk::VirtualDisk::Open(path, options, error);
  if (!opened_disk) return false;
  const bool raw = opened_disk->IsRaw();
  if (!OpenDisk(std::move(opened_disk), start, error)) return false;
  sourcePath = path;
  imageKind = raw ? ClassifyImageFile(path) : ImageKind::kVirtualDisk;
  return true;
}

bool DiskSource::OpenDisk(std::unique_ptr<vdisk::VirtualDisk> opened_disk, uint64_t start, std::string& error) {
  CloseSource();
  diskSectors = kNoBound;
  volumeLastSector = kNoBound;
  driveNumber = -1;
  volumeStart = start;
  imageKind = opened_disk->IsRaw() ? ImageKind::kOther : ImageKind::kVirtualDisk;
  if (sectorBuffer.size() < kMinSectorBufferBytes && !sectorBuffer.Resize(kMinSectorBufferBytes)) {
    error = "out of memory for the sector buffer";
    return false;
  }
  disk = std::move(opened_disk);
  sourcePath = disk->Path();
  opened = 1;
  handle = kVirtualDiskSentinel;
  diskSectors = disk->Capacity();
  bytesPerSector = 512;
  failedReads = failedSectors = 0;
  lastFailure = {};
  lastFailureReason.clear();
  std::memset(sectorBuffer.data(), 0, 512);
  ReadSectors(sectorBuffer.data(), 1, 0);
  std::memcpy(bootSectorCopy.data(), sectorBuffer.data(), 512);
  return true;
}

ReadResult DiskSource::Read(void* buffer, uint32_t count, uint64_t sector) {
  return Transfer(buffer, count, sector, false);
}

uint64_t DiskSource::NextDataSector(uint64_t sector) {
  if (volumeStart > diskSectors || sector > diskSectors - volumeStart) return sector;
  std::lock_guard<std::mutex> lock(ioLock);
  if (opened != 1 || handle != kVirtualDiskSentinel || !disk) return sector;
  const uint64_t next = disk->NextDataSector(sector + volumeStart);
  return next > sector + volumeStart ? next - volumeStart : sector;
}

uint32_t DiskSource::ReadSectors(void* buffer, uint32_t count, uint64_t sector) {
  return Transfer(buffer, count, sector, false).done ? 1 : 0;
}

uint32_t DiskSource::ReadSectorsForImage(void* buffer, uint32_t count, uint64_t sector) {
  return Transfer(buffer, count, sector, true).done ? 1 : 0;
}

ReadResult DiskSource::Transfer(void* buffer, uint32_t count, uint64_t sector, bool clearFlagsFirst) {
  if (clearFlagsFirst) {
    waitPromptShown = 0;
    stopRequested = 0;
  }
  // Bounds are compared without forming sector + count: both come from disk data and the
  // sum could wrap.
  ReadResult result;
  if (sector > volumeLastSector) return result;
  const uint32_t wanted = count;
  if (count > volumeLastSector - sector) count = static_cast<uint32_t>(volumeLastSector - sector + 1);
  if (volumeStart > diskSectors || sector > diskSectors - volumeStart) return result;
  const uint64_t absolute = sector + volumeStart;
  // A volume may claim more than the disk holds (a partition entry larger than the disk, a
  // truncated image): what lies on the disk is delivered, the rest fails.
  const uint32_t onDisk = static_cast<uint32_t>(std::min<uint64_t>(count, diskSectors - absolute));
  if (onDisk == 0 && count != 0) return result;  // starts at the disk's end: nothing there
  if (deviceLost) return result;

  auto* out = static_cast<std::byte*>(buffer);
  std::lock_guard<std::mutex> lock(ioLock);
  deviceLost = 0;
  stopRequested = 0;
  waitPromptShown = 0;
  // With no disk open nothing can be transferred: refuse rather than report a read that
  // did not happen.
  if (opened != 1 || handle != kVirtualDiskSentinel || !disk) return result;
  // The part of the buffer beyond the disk's end or the volume's end holds zeros, not stale
  // data.
  if (wanted > onDisk) std::memset(out + uint64_t{onDisk} * 512, 0, uint64_t{wanted - onDisk} * 512);
  disk->Read(absolute, onDisk, out, report_);
  uint64_t failed = 0;
  for (const auto& r : report_.failed) {
    failed += r.count;
    result.failedRanges.push_back({r.start - absolute, r.count});
  }
  if (onDisk < count) {
    failed += count - onDisk;
    result.failedRanges.push_back({onDisk, uint64_t{count - onDisk}});
    lastFailure = {absolute + onDisk, uint64_t{count - onDisk}};
    lastFailureReason = "the read runs past the end of the disk";
  }
  if (!report_.failed.empty()) {
    lastFailure = report_.failed.back();
    lastFailureReason = report_.failureReason;
  }
  if (failed != 0) {
    ++failedReads;
    failedSectors += failed;
  }
  result.done = true;
  result.sectorsRead = count;
  result.failedSectors = static_cast<uint32_t>(failed);
  return result;
}

uint32_t DiskSource::WriteSectors(uint32_t count, uint64_t absoluteSector) {
  if (opened != 1 || handle != kVirtualDiskSentinel || !disk) return 0;
  if (uint64_t{count} * 512 > sectorBuffer.size()) return 0;
  std::lock_guard<std::mutex> lock(ioLock);
  return disk->Write(absoluteSector, count, sectorBuffer.data()) ? 1 : 0;
}

void DiskSource::CloseSource() {
  std::lock_guard<std::mutex> lock(ioLock);
  if (handle == kVirtualDiskSentinel) {
    disk.reset();
    handle = 0;
  }
  opened = 0;
}

}  // namespace torvane
