// The dispatch of header detect: 65,536 slots indexed by a sector's first two bytes read as a
// little-endian 16-bit number. A slot lists the catalogue entries whose files may start with
// those bytes, each with the test of the further bytes that tells it; most slots are empty,
// so the common case (no known header) is one table lookup.
#pragma once

#include <array>
#include <cstdint>
#include <span>

#include "util/bytes.h"

namespace torvane::carve {

// Tests the bytes of a sector for one candidate entry.
using HeaderTest = bool (*)(ByteSpan sector);

struct Candidate {
  uint16_t entry = 0;
  HeaderTest test = nullptr;
};

// The candidates of a sector, in the order they are tried; empty when no slot answers.
// `typesOn` false leaves only the slots that are always installed (none yield a file).
std::span<const Candidate> CandidatesFor(ByteSpan sector, bool typesOn = true);

// A sector that is never offered to a probe: FF FF FF FF, 20 20 20 20, AA AA AA AA or
// 55 55 55 55 at its start, or eight zero bytes, or 4D 88 09 90 B5 B8 32 F0.
bool IsFillerSector(ByteSpan sector);

}  // namespace torvane::carve
