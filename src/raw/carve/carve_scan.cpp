#include "raw/carve/carve_scan.h"

#include <algorithm>

#include "fs/raw_file_system.h"

namespace torvane::carve {
namespace {

// A RAW-mode allocation map marks single sectors up to this many, 4 KiB clusters beyond (so
// that a huge disk's map stays small).
constexpr uint64_t kSectorMapLimit = uint64_t{1} << 28;

}  // namespace

CarveScanResult ScanWithCarving(DiskSource& source, const VolumeGeometry& geometry, ItemStore& store,
                                FileSystem& fileSystem, const CarveScanOptions& options) {
  CarveScanResult result;
  const bool raw = IsRawMode(fileSystem);
  VolumeGeometry rawGeometry;
  if (raw) MakeRawGeometry(source, geometry, rawGeometry);
  const VolumeGeometry& g = raw ? rawGeometry : geometry;
  uint64_t lastSector = g.volumeLastSector;
  if (source.diskSectors != kNoBound && source.volumeStart < source.diskSectors)
    lastSector = std::min(lastSector, source.diskSectors - source.volumeStart - 1);
  result.scannedBytes = lastSector == kNoBound ? 0 : (lastSector + 1) * 512;

  // The map the carver claims files in: the volume's clusters, or sectors in RAW mode.
  uint64_t mapBase = g.clusterBase;
  uint32_t mapSpc = std::max<uint32_t>(1, g.sectorsPerCluster);
  if (raw) {
    mapBase = 0;
    mapSpc = lastSector + 1 <= kSectorMapLimit ? 1 : 8;
    store.allocationMap.Resize(lastSector / mapSpc + 1);
  } else if (store.allocationMap.size() == 0) {
    store.allocationMap.Resize(g.clusterCount);
  }

  FileTypeCounters localCounters;
  FileTypeCounters& counters = options.counters != nullptr ? *options.counters : localCounters;
  CarveOptions carveOptions;
  carveOptions.detectTypes = options.headerDetect;
  carveOptions.reverse = options.scan.reverse;
  carveOptions.onlyEntries = options.onlyEntries;
  carveOptions.stop = options.scan.stop;
  SectorReader read = [&source](uint64_t sector, uint32_t count, std::byte* out) {
    return static_cast<bool>(source.Read(out, count, sector));
  };
  Carver carver(read, lastSector, mapBase, mapSpc, store, counters, carveOptions);
  carver.onStored = options.onStored;
  carver.Begin(options.ui);

  VolumeScanOptions scan = options.scan;
  if (options.headerDetect)
    scan.contentDetection = [&carver](const RunDescriptor& run) {
      return carver.CarveBuffer(run.data, run.firstSector);
    };
  result.scan = ScanFileSystem(source, g, store, fileSystem, scan);
  carver.Finish();
  result.rawItems = carver.ItemsStored();
  if (!raw) result.duplicates = DropRawDuplicates(store, g.fsKind, g.clusterBase, g.sectorsPerCluster);
  return result;
}

std::vector<std::u16string_view> RawItemTree::PathComponents(uint64_t index, bool* lost,
                                                             std::vector<uint64_t>* positions) const {
  if (lost != nullptr) *lost = false;
  if (positions != nullptr) positions->clear();
  if (index >= EntryCount(list_)) return {};
  const FileEntry e = EntryAt(list_, index);
  if (e.state == kStateDuplicate) return {};
  if (positions != nullptr) positions->push_back(index);
  return {kRawFilesFolderName, EntryName(list_, e)};
}

}  // namespace torvane::carve
