// What carving would make of the bytes at one place: the catalogue entry, its sub-type, the
// size the probes measure from the first byte, and whether that size is measured or a cap.
//
// The entry is chosen the way header detect chooses it: the entries whose signature the
// first bytes carry (longest signature first, then in table order), each through its confirm
// probe and its size probe as the catalogue names them; when no signature matches, the
// ISO base-media fallback probe. Nothing here knows a probe by name, so a probe plugged into
// its catalogue row is used as soon as it is there.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "disk/sector_reader.h"
#include "raw/catalogue/file_type_catalogue.h"

namespace torvane::probes {

struct Identification {
  const FileTypeEntry* entry = nullptr;  // null: no entry claims the bytes
  std::optional<uint64_t> size;          // none: nothing measures or caps the file
  bool estimated = false;                // the size is a cap or a guess, not a measured length
  std::string nameSuffix;                // what the probe adds to the RAW file's name
};

// The bytes at `sector` read through `read` (sectors of `bytesPerSector` bytes), of which
// `bytesAvailable` lie before the end of the volume, disk or file. A size never exceeds it.
Identification IdentifyAt(const SectorReader& read, uint64_t sector, uint32_t bytesPerSector, uint64_t bytesAvailable);

// The same for a context whose firstSector, read, sector and bytesAvailable are set; its
// outputs are left as the chosen probe set them.
Identification Identify(ProbeContext& ctx);

}  // namespace torvane::probes
