// The carving target: the bytes as a disk carved forward and in reverse, both passes, with
// the probes behind the dispatch. Every stored item must lie on the disk.
#include <cstdlib>
#include <cstring>
#include <vector>

#include "fuzz/fuzz_targets.h"
#include "raw/carve/carver.h"

namespace torvane::fuzz {

int FuzzCarve(const uint8_t* data, size_t size) {
  const size_t sectors = size / 512;
  if (sectors == 0 || sectors > 4096) return 0;
  const uint8_t* disk = data;
  const SectorReader read = [disk, sectors](uint64_t sector, uint32_t count, std::byte* out) {
    if (sector >= sectors || count > sectors - sector) return false;
    std::memcpy(out, disk + sector * 512, uint64_t{count} * 512);
    return true;
  };
  for (const bool reverse : {false, true}) {
    ItemStore store;
    store.Create();
    store.allocationMap.Resize(sectors);
    FileTypeCounters counters;
    carve::CarveOptions options;
    options.reverse = reverse;
    carve::Carver carver(read, sectors - 1, 0, 1, store, counters, options);
    carver.Begin();
    // Buffers of 64 sectors (a copy each, so a read past one is caught by the sanitizer).
    const size_t step = 64;
    for (size_t k = 0; k < sectors; k += step) {
      const size_t first = reverse ? (sectors - std::min(sectors, k + step)) : k;
      const size_t count = std::min(step, sectors - k);
      std::vector<std::byte> buffer(count * 512);
      std::memcpy(buffer.data(), data + first * 512, buffer.size());
      carver.CarveBuffer(buffer, first);
    }
    carver.Finish();
    for (uint64_t i = 0; i < EntryCount(store.rawFiles); ++i) {
      const FileEntry e = EntryAt(store.rawFiles, i);
      if (e.dataStart >= sectors || e.size == 0 || e.size > (sectors - e.dataStart) * 512) std::abort();
    }
  }
  return 0;
}

}  // namespace torvane::fuzz
