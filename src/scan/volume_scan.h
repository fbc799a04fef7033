// The steps a front end takes to look into an opened volume (OpenDriveListRow opens it): walk
// its file system into the item store, and search its free space (or the whole volume) for
// lost records. Nothing here prints: progress leaves through callbacks, and a
// scan's end is told by its outcome. The command line and the windows call the same code.
#pragma once

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>

#include "disk/disk_source.h"
#include "fs/file_system.h"
#include "fs/volume_geometry.h"
#include "scan/scan_driver.h"
#include "store/item_store.h"

namespace torvane {

// How a scan ended: it searched everything, it was stopped, or the source refused a read
// (the disk went away or is cut short). What it found before stays in the store in each case.
enum class ScanOutcome { kFinished, kStopped, kInterrupted };

// "finished", "stopped" or "interrupted".
const char* ScanOutcomeName(ScanOutcome outcome);

// Opens the file system of the open volume (OpenFileSystem), creates the store's lists and
// walks the volume's structures into them. `fileSystem` receives the reader even when the
// walk failed; `progress` (may be empty) gets thousandths. False with a one-line reason.
bool WalkVolume(DiskSource& source, const VolumeGeometry& geometry, ItemStore& store,
                std::unique_ptr<FileSystem>& fileSystem, WalkSummary& summary,
                const std::function<void(uint32_t permille)>& progress, std::string& error);

struct VolumeScanOptions {
  bool reverse = false;  // the whole volume from its end instead of the free space
  // Watched while the scan runs: once true the scan stops as the stop command does (a set
  // flag before the start means no scan). A lock-free atomic, so a signal handler may set it.
  const std::atomic<bool>* stop = nullptr;
  // The share searched so far, 1-100; called on the scan thread.
  std::function<void(uint32_t percent)> progress;
  // Called with the driver before the scan starts (a session load hands it its resume words),
  // and about every 10 ms while it runs, on the calling thread (a periodic session save).
  std::function<void(ScanDriver&)> prepare;
  std::function<void(ScanDriver&)> tick;
  // The content detection (header detect) over every run or chunk the scan reads; it
  // answers how many bytes its last file reaches beyond the run. Empty: none.
  std::function<uint64_t(const RunDescriptor&)> contentDetection;
};

struct VolumeScanResult {
  ScanOutcome outcome = ScanOutcome::kFinished;
  uint64_t added = 0;  // entries the scan added to the deleted-entries list
  // Where the scan stood when it ended, for a session save: its resume words, free clusters
  // (64-bit) and whether it ran in reverse mode.
  ScanResumeWords resume{};
  uint64_t freeClusters = 0;
  bool reverse = false;
};

// Runs the scan of the open volume on the scan driver's thread and waits for it. Entries
// still waiting for the merge join the list even when the scan was stopped or interrupted.
VolumeScanResult ScanFileSystem(DiskSource& source, const VolumeGeometry& geometry, ItemStore& store,
                                FileSystem& fileSystem, const VolumeScanOptions& options);

}  // namespace torvane
