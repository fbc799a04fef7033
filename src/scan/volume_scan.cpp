#include "scan/volume_scan.h"

#include <chrono>
#include <thread>

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

bool WalkVolume(DiskSource& source, const VolumeGeometry& geometry, ItemStore& store,
                std::unique_ptr<FileSystem>& fileSystem, WalkSummary& summary,
                const std::function<void(uint32_t permille)>& progress, std::string& error) {
  fileSystem = OpenFileSystem(source, geometry, store, error);
  if (fileSystem == nullptr) return false;
  return fileSystem->Walk(progress, summary, error);
}

VolumeScanResult ScanFileSystem(DiskSource& source, const VolumeGeometry& geometry, ItemStore& store,
                                FileSystem& fileSystem, const VolumeScanOptions& options) {
  VolumeScanResult result;
  const uint64_t before = EntryCount(store.deletedEntries);
  if (options.stop != nullptr && *options.stop) {
    result.outcome = ScanOutcome::kStopped;
    return result;
  }
  const std::unique_ptr<ScanFamily> family = fileSystem.MakeScanFamily();
  ScanDriver driver(source, geometry, store, *family);
  driver.reverse = options.reverse;
  driver.contentDetection = options.contentDetection;
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
  fileSystem.AfterScan();
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
