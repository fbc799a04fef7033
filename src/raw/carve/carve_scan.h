// The scan of a volume with header detect: the scan driver reads the free space (or, in RAW
// mode, every sector; in reverse mode the whole volume from its end) and hands each run to
// the file system's record search and to the carver. Afterwards RAW items that are files the
// file system lists are dropped, and the "RAW files" folder lists the rest.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string_view>

#include "fs/file_system.h"
#include "raw/carve/carver.h"
#include "scan/volume_scan.h"

namespace torvane::carve {

inline constexpr std::u16string_view kRawFilesFolderName = u"RAW files";

struct CarveScanOptions {
  VolumeScanOptions scan;                        // reverse, stop, progress (contentDetection is set here)
  bool headerDetect = true;                      // false: the scan alone, as VolumeScan does
  std::vector<bool> onlyEntries;                 // the entries to keep by number; empty: all
  FileTypeCounters* counters = nullptr;          // null: counts of this scan alone
  std::function<void(const RawItem&)> onStored;  // on the scan thread
  UiPort* ui = nullptr;                          // the catalogue checks report here
};

struct CarveScanResult {
  VolumeScanResult scan;
  uint64_t rawItems = 0;      // RAW items stored
  uint64_t duplicates = 0;    // of them, files the file system already lists
  uint64_t scannedBytes = 0;  // the bytes of the region the scan covers
};

// Runs the scan with header detect and waits for it.
CarveScanResult ScanWithCarving(DiskSource& source, const VolumeGeometry& geometry, ItemStore& store,
                                FileSystem& fileSystem, const CarveScanOptions& options);

// The paths of the RAW-files list: "RAW files/<name>"; none for a dropped duplicate.
class RawItemTree final : public ItemTree {
 public:
  explicit RawItemTree(const DynList& list) : list_(list) {}
  std::vector<std::u16string_view> PathComponents(uint64_t index, bool* lost = nullptr,
                                                  std::vector<uint64_t>* positions = nullptr) const override;

 private:
  const DynList& list_;
};

}  // namespace torvane::carve
