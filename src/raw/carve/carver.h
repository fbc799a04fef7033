// Header detect: finds files by their content in the buffers the scan reads. Every sector is
// looked up in the dispatch table by its first two bytes; a candidate is confirmed and
// measured by its catalogue entry's probes, and each file found becomes a RAW item of the
// store's RAW-files list, read back later as one extent. A second pass finds text files.
//
// Forward, the scan hands the free runs of a volume (or, in RAW mode, every sector) from its
// start; in reverse mode it hands the whole volume in chunks from its end. A file without a
// size probe stays pending until the next header ends it (forward), or until the chunk
// processed before it names the next header above it (reverse), so both directions find
// the same files with the same sizes.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "disk/sector_reader.h"
#include "partitions/partition_record.h"
#include "raw/catalogue/file_type_catalogue.h"
#include "store/file_entry.h"
#include "store/item_store.h"
#include "util/bytes.h"

namespace torvane::carve {

inline constexpr uint32_t kSectorBytes = 512;
// The RAW item's dataKind: its size is a cap or a guess, not a measured length.
inline constexpr uint16_t kRawSizeEstimated = 0x0001;
// The allocation map's bit for clusters that a RAW item with a measured size covers.
inline constexpr uint8_t kClaimedByRawItem = 0x2;
// How long a held TIFF may be (the data a TIFF's directories may point into).
inline constexpr uint64_t kTiffWindowBytes = 0x7600000;
// Filler sectors after a held TIFF that end it.
inline constexpr uint32_t kTiffFillerLimit = 0x4F0;

struct CarveOptions {
  bool detectTypes = true;  // header detect of file types and the text pass
  bool reverse = false;     // numbers run down from 999,999,999; chunks come from the end
  // Entries to keep (by number); empty: every entry.
  std::vector<bool> onlyEntries;
  const std::atomic<bool>* stop = nullptr;
};

// One RAW item as it was stored.
struct RawItem {
  uint64_t firstSector = 0;  // volume-relative
  uint64_t size = 0;
  uint16_t entry = 0;
  uint32_t number = 0;
  bool estimated = false;
  std::string name;
};

class Carver {
 public:
  // `read` reads the volume's sectors (volume-relative); `lastSector` is the volume's last
  // sector that exists; cluster c of the allocation map starts at sector
  // clusterBase + c × sectorsPerCluster.
  Carver(SectorReader read, uint64_t lastSector, uint64_t clusterBase, uint32_t sectorsPerCluster, ItemStore& store,
         FileTypeCounters& counters, CarveOptions options);

  // The start of a RAW scan: the catalogue checks, the found counts cleared, nothing pending.
  void Begin(UiPort* ui = nullptr);
  // Both passes over one buffer of whole sectors from `firstSector`. Returns how many bytes
  // the last file whose content is skipped reaches beyond the buffer (forward mode).
  uint64_t CarveBuffer(ByteSpan data, uint64_t firstSector);
  // The end of the scan: the pending item and the held TIFF are stored.
  void Finish();

  uint64_t ItemsStored() const { return stored_; }
  // Called on the scan thread for every item stored.
  std::function<void(const RawItem&)> onStored;

  // The detection of one sector (pass 1). Found: the bytes to skip from its start.
  bool DetectAtSector(ByteSpan sector, uint64_t number, uint64_t& skipBytes);

 private:
  struct Open {
    bool active = false;
    uint16_t entry = 0;
    uint64_t first = 0;
    uint64_t endSector = 0;  // pending: first + maximum; TIFF: first + window
    uint64_t maximum = 0;    // bytes; 0: none
    uint64_t size = 0;       // TIFF: the measured size (0: not measured)
    uint32_t number = 0;
    std::string suffix;
  };

  void CheckPendingAt(uint64_t sector);
  void EndPending(uint64_t atSector);
  void EndHeld(uint64_t atSector);
  // Stores an item; `claimBytes` of it from its start are marked in the allocation map.
  void Store(uint16_t entry, uint64_t first, uint64_t size, bool estimated, uint32_t number, const std::string& suffix,
             uint64_t claimBytes);
  void Claim(uint64_t first, uint64_t bytes);
  uint32_t NextNumber(uint16_t entry);
  bool Wanted(uint16_t entry) const;
  bool Claimed(uint64_t sector) const;
  uint64_t BytesTo(uint64_t first, uint64_t sector) const;  // whole sectors, clipped to the volume
  uint64_t RemainingBytes(uint64_t sector) const;
  bool ReadSectors(uint64_t sector, uint32_t count, std::byte* out) const;
  ByteSpan Fetch(uint64_t sector, uint32_t count);
  void TextPass(ByteSpan data, uint64_t firstSector, uint64_t sectors);

  SectorReader read_;
  uint64_t lastSector_;
  uint64_t clusterBase_;
  uint32_t spc_;
  ItemStore& store_;
  FileTypeCounters& counters_;
  CarveOptions options_;
  SectorReader probeRead_;

  // The buffer being carved, for reads that fall inside it.
  ByteSpan buffer_;
  uint64_t bufferFirst_ = 0;
  std::vector<std::byte> fetched_;

  Open pending_, held_;
  uint32_t fillerCount_ = 0;
  uint64_t stored_ = 0;
  // Reverse mode: the first header found in the chunk above this one (it ends what is still
  // pending at a chunk's end), and the lowest one found in the current chunk.
  uint64_t headerAbove_ = ~uint64_t{0};
  uint64_t lowestHeader_ = ~uint64_t{0};
  // Reverse mode: the items stored from the chunk above (first sector, list index), so that
  // a file of this chunk that runs into it takes the place of what starts inside it.
  std::vector<std::pair<uint64_t, uint64_t>> itemsAbove_, itemsHere_;
  uint64_t chunkEnd_ = 0;  // first sector after the current buffer
};

// The RAW items of a scan whose data is also a file the file system lists (a file of the
// entry list, existing, deleted or rebuilt from a record, whose data starts at the same
// sector) are marked duplicate (state 244) and no longer listed. Returns how many.
uint64_t DropRawDuplicates(ItemStore& store, FsKind kind, uint64_t clusterBase, uint32_t sectorsPerCluster);

}  // namespace torvane::carve
