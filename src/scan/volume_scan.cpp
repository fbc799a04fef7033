#include "scan/volume_scan.h"

#include <chrono>
#include <thread>

#include "fs/ntfs/ntfs_scan_family.h"
#include "fs/ntfs/record_search.h"
#include "scan/scan_driver.h"

namespace torvane {

const char* ScanOutcomeName(ScanOutcome outcome) {
  switch (outcome) {
    case ScanOutcome::kFinished:
      return "finished";
    case ScanOutcome::kStopped:
      return "stopped";
    case ScanOutcome::kInterrupted:
      return "interrupted";
  }
  return "";
}

bool WalkNtfsVolume(DiskSource& source, const VolumeGeometry& geometry, ItemStore& store,
                    std::unique_ptr<ntfs::NtfsVolume>& volume, ntfs::MftWalkResult& walk,
                    const std::function<void(uint32_t permille)>& progress, std::string& error) {
  volume.reset();
  if (geometry.fsKind != FsKind::kNtfs || geometry.damaged) {
    error = "not an NTFS volume that can be read yet";
    return false;
  }
  store.Create();
  volume = std::make_unique<ntfs::NtfsVolume>(source, geometry, &store.Messages());
  ntfs::MftWalkControl control;
  control.progress = progress;
  walk = ntfs::RunMftWalk(*volume, store, control);
  if (!walk.ok) error = walk.error;
  return walk.ok;
}

VolumeScanResult ScanNtfsVolume(DiskSource& source, const VolumeGeometry& geometry, ItemStore& store,
                                ntfs::NtfsVolume& volume, const VolumeScanOptions& options) {
  VolumeScanResult result;
  const uint64_t before = EntryCount(store.deletedEntries);
  if (options.stop != nullptr && *options.stop) {
    result.outcome = ScanOutcome::kStopped;
    return result;
  }
  ntfs::NtfsScanFamily family(volume, store);
  ScanDriver driver(source, geometry, store, family);
  driver.reverse = options.reverse;
  driver.events = [&](const ScanEvent& e) {
    if (e.kind == ScanEvent::Kind::kTitle && e.percent != 0 && options.progress) options.progress(e.percent);
  };
  if (options.prepare) options.prepare(driver);
  driver.ScanCommand();
  // The stop flag is polled: a signal handler can set it, but cannot call into the driver.
  while (driver.running) {
    if (options.stop != nullptr && *options.stop) {
      driver.RequestStop();
      break;
    }
    if (options.tick) options.tick(driver);
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  driver.Wait();
  if (store.pendingRebuildCount > 0) ntfs::MergeRebuiltEntries(store);
  // A volume without free space ends at once without finishing; that is complete too.
  result.outcome = driver.finished        ? ScanOutcome::kFinished
                   : driver.interrupted   ? ScanOutcome::kInterrupted
                   : driver.stopRequested ? ScanOutcome::kStopped
                                          : ScanOutcome::kFinished;
  result.added = EntryCount(store.deletedEntries) - before;
  result.resume = driver.ResumeWords();
  result.freeClusters = driver.freeClusters;
  result.reverse = driver.reverse;
  return result;
}

}  // namespace torvane
