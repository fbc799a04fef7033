// Text detection: text files have no fixed header, so header detect offers every sector that
// is not filler to these detectors. They recognise single-byte text and UTF-16 text by their
// characters, measure how far the text runs (reading on in runs, up to a cap), and name its
// kind (source code, scripts, markup, project files, mail, registry exports, 3-D scene and
// CAD text) or plain text: "TXTa" for single-byte, "TXTu" for UTF-16.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "util/bytes.h"

namespace torvane::text {

inline constexpr uint32_t kSectorBytes = 512;
// The longest text measured; a text that runs on is cut here and its size marked estimated.
inline constexpr uint64_t kTextCapBytes = 32ull << 20;

// Catalogue entries the detectors answer.
inline constexpr uint16_t kEntryTxtUtf16 = 123;  // "TXTu", ".U.txt"
inline constexpr uint16_t kEntryTxtAnsi = 124;   // "TXTa", ".A.txt"

// The sectors that follow a text's first sector: up to `count` sectors from `sector` on
// (fewer at the end of the volume or where a read fails; empty when none can be read).
using SectorFetch = std::function<ByteSpan(uint64_t sector, uint32_t count)>;

struct TextFound {
  uint16_t entry = kEntryTxtAnsi;
  uint64_t size = 0;       // bytes, from the first byte of the first sector
  bool estimated = false;  // the text reached the cap
  std::string nameSuffix;  // a page title or project name, cleaned for a file name
};

// The single-byte detection of one sector (`first` holds at least kSectorBytes bytes; a
// shorter span finds nothing). `fetch` reads the sectors after it when the text fills it;
// `stop` (may be null) ends the measuring early.
std::optional<TextFound> DetectTextAtSector(ByteSpan first, uint64_t sector, const SectorFetch& fetch,
                                            const std::atomic<bool>* stop = nullptr);

// The UTF-16 detection of one sector: offered sectors whose bytes 1 and 3 are zero and bytes
// 0 and 2 are not, or that start with FF FE.
std::optional<TextFound> DetectUtf16TextAtSector(ByteSpan first, uint64_t sector, const SectorFetch& fetch,
                                                 const std::atomic<bool>* stop = nullptr);

// Whether a sector is offered to the UTF-16 detection.
bool LooksLikeUtf16(ByteSpan sector);

}  // namespace torvane::text
