#include "session/session.h"

#include <chrono>
#include <thread>

#include "fs/ntfs/record_search.h"
#include "util/bytes.h"
#include "util/sha256.h"
#include "util/text.h"

namespace torvane::session {
namespace {

std::array<uint8_t, 32> BootHash(const VolumeGeometry& g) {
  Sha256 sha;
  sha.Update(g.bootSectorCopy);
  return sha.Finish();
}

uint64_t MapBytes(const VolumeGeometry& g) {
  return (g.clusterCount + 2 + 1) / 2;
}

}  // namespace

uint32_t VolumeSerial(const VolumeGeometry& g) {
  const ByteSpan b(g.bootSectorCopy);
  switch (g.fsKind) {
    case FsKind::kNtfs:
      return static_cast<uint32_t>(LeU64(b, 72));
    case FsKind::kFat32:
      return LeU32(b, 67);
    case FsKind::kFat12:
    case FsKind::kFat16:
      return LeU32(b, 39);
    case FsKind::kExfat:
      return LeU32(b, 100);
    default:
      return 0;
  }
}

void DescribeVolume(const DiskSource& source, const VolumeGeometry& g, const PartitionRecord* row,
                    SessionState& state) {
  std::error_code ec;
  const std::filesystem::path image = std::filesystem::absolute(source.sourcePath, ec);
  state.imagePath = FromUtf8((ec ? source.sourcePath : image).string());
  state.volume.letter = '$';
  state.volume.kind = g.fsKind;
  state.volume.sectorsPerCluster = g.sectorsPerCluster;
  state.volume.serial = VolumeSerial(g);
  state.volume.startSector = source.volumeStart;
  state.volume.sectors = g.volumeSectors;
  state.volume.clusters = g.clusterCount;
  state.hasBootHash = true;
  state.bootHash = BootHash(g);
  state.hasDiskRecord = row != nullptr;
  if (row != nullptr) {
    state.partition = *row;
    state.partition.driveNumber = -1;  // a disk that is an image file
  }
  // The drive row of an image: its device name (cut to the field) and its capacity.
  state.driveRow.fill(0);
  const std::u16string& name = state.imagePath;
  const size_t units = std::min(name.size(), kDeviceNameUnits - 1);
  for (size_t i = 0; i < units; ++i) {
    state.driveRow[4 + 2 * i] = static_cast<uint8_t>(name[i] & 0xFF);
    state.driveRow[4 + 2 * i + 1] = static_cast<uint8_t>(name[i] >> 8);
  }
  const uint64_t capacity = source.diskSectors == kNoBound ? 0 : source.diskSectors * 512;
  StoreLeU64({reinterpret_cast<std::byte*>(state.driveRow.data()), state.driveRow.size()}, 276, capacity);
}

bool CheckIdentity(const SessionState& s, const DiskSource& source, const VolumeGeometry& g, std::string& error) {
  const VolumeEntry& v = s.volume;
  if (v.startSector != source.volumeStart || v.sectors != g.volumeSectors) {
    error = "this session is not for this volume (it was saved for a volume of " + std::to_string(v.sectors) +
            " sectors at sector " + std::to_string(v.startSector) + ", this one has " +
            std::to_string(g.volumeSectors) + " at sector " + std::to_string(source.volumeStart) + ")";
    return false;
  }
  if (v.kind != g.fsKind || v.serial != VolumeSerial(g) || v.clusters != g.clusterCount) {
    error = "this session is not for this volume (another file system or volume serial)";
    return false;
  }
  if (!s.hasBootHash || s.bootHash != BootHash(g)) {
    error = "this session is not for this volume (its boot sector differs)";
    return false;
  }
  return true;
}

bool SaveScanSession(const std::filesystem::path& path, ItemStore& store, ScanDriver* driver, SessionState state,
                     std::string& error, const SessionProgress& progress) {
  bool pausedHere = false;
  if (driver != nullptr && driver->running) {
    state.paused = driver->paused ? 1 : 0;
    if (driver->active && !driver->paused) {
      if (progress) progress("Current action: Suspending scan...");
      driver->ScanCommand();
      pausedHere = true;
    }
    // The scan stops at its next pause point (or ends).
    while (driver->running && !driver->pausedNow) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  // Rebuilt entries waiting for the merge are results too: they join the list before saving.
  if (store.pendingRebuildCount > 0) ntfs::MergeRebuiltEntries(store);
  if (driver != nullptr) {
    state.resume = driver->ResumeWords();
    const uint64_t freeClusters = driver->freeClusters;
    state.resume[5] = static_cast<uint32_t>(freeClusters);
    state.statistics[kStatFreeClustersHigh] = static_cast<uint32_t>(freeClusters >> 32);
    state.statistics[kStatStage] = driver->phase;
    state.statistics[kStatReverse] = driver->reverse ? 1 : 0;
    state.scanComplete = driver->finished ? 1 : 0;
  }
  const bool ok = WriteSessionFile(path, store, state, error, progress);
  if (pausedHere && driver->running && driver->paused) driver->ScanCommand();
  return ok;
}

bool LoadScanSession(const std::filesystem::path& path, ItemStore& store, const DiskSource& source,
                     const VolumeGeometry& geometry, SessionState& state, std::string& error,
                     const SessionProgress& progress) {
  LoadedSession loaded;
  if (!ReadSessionHeader(path, loaded.state, error)) return false;
  if (!CheckIdentity(loaded.state, source, geometry, error)) return false;
  if (!ReadSessionFile(path, MapBytes(geometry), loaded, error, progress)) return false;
  if (store.allocationMap.size() != MapBytes(geometry) && !store.allocationMap.Resize(geometry.clusterCount)) {
    error = "not enough memory for the allocation map";
    return false;
  }
  ApplySession(loaded, store);
  state = std::move(loaded.state);
  return true;
}

void RecordScanEnd(SessionState& state, const VolumeScanResult& scan) {
  state.resume = scan.resume;
  state.resume[5] = static_cast<uint32_t>(scan.freeClusters);
  state.statistics[kStatFreeClustersHigh] = static_cast<uint32_t>(scan.freeClusters >> 32);
  state.statistics[kStatStage] = scan.resume[0];
  state.statistics[kStatReverse] = scan.reverse ? 1 : 0;
  state.scanComplete = scan.outcome == ScanOutcome::kFinished ? 1 : 0;
}

void ResumeScan(ScanDriver& driver, ItemStore& store, const SessionState& state) {
  driver.ResumeFrom(state.resume);
  driver.freeClusters = uint64_t{state.resume[5]} | uint64_t{state.statistics[kStatFreeClustersHigh]} << 32;
  if (state.statistics[kStatReverse] != 0) driver.reverse = true;
  store.deletedCount =
      uint64_t{state.statistics[kStatDeletedCountLow]} | uint64_t{state.statistics[kStatDeletedCountHigh]} << 32;
}

}  // namespace torvane::session
