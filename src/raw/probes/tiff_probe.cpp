#include "raw/probes/tiff_probe.h"

#include <algorithm>
#include <array>
#include <string>
#include <vector>

#include "raw/probes/exif.h"
#include "raw/probes/probe_reader.h"

namespace torvane::probes {
namespace {

constexpr size_t kHeld = 128 * 1024;       // read first: the classification's data
constexpr size_t kMaxIfds = 64;            // directories measured, all kinds together
constexpr size_t kMaxIfdEntries = 1024;    // entries of a directory other than the first
constexpr size_t kMaxStrips = 256 * 1024;  // elements of one strip or tile array
constexpr size_t kMaxXmp = 64 * 1024;      // what is searched of an XMP packet

constexpr uint16_t kRw2 = 126, kSr2 = 128, kSrf = 129, kDcr = 131, kKdc = 132, kK25 = 133, kNrw = 134, kMos = 135,
                   kSrw = 136, kPef = 137, kMef = 138, k3fr = 139, kErf = 140, kArw = 141, kDng = 142, kCr2 = 143,
                   kCrw = 144, kOrf = 145, kNef = 146, kGpr = 201, kTif = 184;

bool Contains(std::string_view text, std::string_view word) {
  return std::search(text.begin(), text.end(), word.begin(), word.end(), [](char a, char b) {
           return std::tolower(static_cast<unsigned char>(a)) == std::tolower(static_cast<unsigned char>(b));
         }) != text.end();
}

bool EndsWith(std::string_view text, std::string_view end) {
  return text.size() >= end.size() && text.substr(text.size() - end.size()) == end;
}

// The camera make an XMP packet names (tiff:Make as attribute or element), or empty.
std::string MakeFromXmp(ByteSpan xmp) {
  const std::string_view text(reinterpret_cast<const char*>(xmp.data()), xmp.size());
  const size_t at = text.find("tiff:Make");
  if (at == std::string_view::npos) return {};
  size_t start = at + 9;
  if (start < text.size() && text[start] == '=')
    start += 2;  // ="value"
  else if (start < text.size() && text[start] == '>')
    start += 1;  // >value<
  else
    return {};
  if (start >= text.size()) return {};
  const size_t end = text.find_first_of("\"<", start);
  if (end == std::string_view::npos || end - start > 64) return {};
  return std::string(text.substr(start, end - start));
}

// The furthest byte the directories name, walked from the first one.
struct Extent {
  uint64_t end = 0;
  bool complete = true;  // every directory and array could be read
};

void Reach(Extent& extent, uint64_t end) {
  extent.end = std::max(extent.end, end);
}

// Strip or tile offsets with their byte counts: the furthest end.
void ReachPieces(TiffReader& tiff, const TiffEntry* offsets, const TiffEntry* counts, Extent& extent,
                 std::vector<uint32_t>& a, std::vector<uint32_t>& b) {
  if (offsets == nullptr || counts == nullptr) return;
  if (!tiff.Numbers(*offsets, kMaxStrips, a) || !tiff.Numbers(*counts, kMaxStrips, b) || a.size() != b.size()) {
    extent.complete = false;
    return;
  }
  for (size_t i = 0; i < a.size(); ++i) Reach(extent, uint64_t{a[i]} + b[i]);
}

Extent MeasureTiff(TiffReader& tiff, const std::vector<TiffEntry>& firstEntries, uint32_t firstNext) {
  Extent extent;
  Reach(extent, 8);
  std::vector<uint32_t> pending;
  std::vector<uint32_t> seen = {tiff.FirstIfd()};
  std::vector<TiffEntry> entries = firstEntries;
  std::vector<uint32_t> numbers, a, b;
  uint32_t offset = tiff.FirstIfd();
  uint32_t next = firstNext;
  for (size_t visited = 0;;) {
    Reach(extent, uint64_t{offset} + 2 + entries.size() * 12 + 4);
    const TiffEntry* found[6] = {};  // strip offsets/counts, tile offsets/counts, thumbnail
    for (const TiffEntry& e : entries) {
      Reach(extent, tiff.ValueEnd(e));
      switch (e.tag) {
        case kTiffTagStripOffsets:
          found[0] = &e;
          break;
        case kTiffTagStripByteCounts:
          found[1] = &e;
          break;
        case kTiffTagTileOffsets:
          found[2] = &e;
          break;
        case kTiffTagTileByteCounts:
          found[3] = &e;
          break;
        case kTiffTagJpegOffset:
          found[4] = &e;
          break;
        case kTiffTagJpegLength:
          found[5] = &e;
          break;
        case kTiffTagSubIfds:
        case kTiffTagExifIfd:
        case kTiffTagGpsIfd:
          if (tiff.Numbers(e, kMaxIfds, numbers))
            pending.insert(pending.end(), numbers.begin(), numbers.end());
          else
            extent.complete = false;
          break;
        default:
          break;
      }
    }
    ReachPieces(tiff, found[0], found[1], extent, a, b);
    ReachPieces(tiff, found[2], found[3], extent, a, b);
    if (found[4] != nullptr && found[5] != nullptr)
      Reach(extent, uint64_t{tiff.Number(*found[4], 0)} + tiff.Number(*found[5], 0));
    if (next != 0) pending.push_back(next);

    // The next directory not yet walked.
    offset = 0;
    while (!pending.empty() && offset == 0) {
      const uint32_t candidate = pending.back();
      pending.pop_back();
      if (candidate != 0 && std::find(seen.begin(), seen.end(), candidate) == seen.end()) offset = candidate;
    }
    if (offset == 0) break;
    if (++visited == kMaxIfds) {
      extent.complete = false;
      break;
    }
    seen.push_back(offset);
    if (!tiff.ReadIfd(offset, kMaxIfdEntries, entries, next)) {
      extent.complete = false;
      entries.clear();
      next = 0;
      // Nothing of this directory counts, but the others still do.
      continue;
    }
  }
  return extent;
}

}  // namespace

uint16_t ClassifyTiff(std::string_view make, std::string_view model, bool dng, bool crw) {
  if (crw) return kCrw;
  if (Contains(make, "GoPro")) return kGpr;
  if (dng) return kDng;
  if (Contains(make, "Canon")) return kCr2;
  if (Contains(make, "NIKON")) return Contains(model, "COOLPIX") ? kNrw : kNef;
  if (Contains(make, "SONY")) {
    if (Contains(model, "F828")) return kSrf;
    if (model == "R1" || EndsWith(model, "-R1")) return kSr2;
    return kArw;
  }
  if (Contains(make, "EPSON")) return kErf;
  if (Contains(make, "Hasselblad")) return k3fr;
  if (Contains(make, "Kodak")) {
    if (Contains(model, "DC25")) return kK25;
    if (Contains(model, "DC40") || Contains(model, "DC50") || Contains(model, "P850")) return kKdc;
    return kDcr;
  }
  if (Contains(make, "Leaf")) return kMos;
  if (Contains(make, "Mamiya")) return kMef;
  if (Contains(make, "Leica")) return kDng;
  if (Contains(make, "Panasonic")) return kRw2;
  if (Contains(make, "PENTAX") || Contains(make, "RICOH")) return kPef;
  if (Contains(make, "SAMSUNG")) return kSrw;
  if (Contains(make, "OLYMPUS")) return kOrf;
  return kTif;
}

uint64_t SizeTiff(ProbeContext& ctx) {
  ProbeReader reader(ctx);
  // The first 128 KiB must be readable (as far as the volume holds them).
  const size_t want = static_cast<size_t>(std::min<uint64_t>(kHeld, reader.Limit()));
  if (reader.Read(0, want).size() != want) {
    ctx.sizeEstimated = true;
    return std::min<uint64_t>(kTiffUnreadableSize, AvailableBytes(ctx));
  }
  TiffReader tiff(reader, 0);
  if (!tiff.Open()) return 0;
  std::vector<TiffEntry> entries;
  uint32_t next = 0;
  if (!tiff.ReadIfd(tiff.FirstIfd(), kTiffMaxFirstIfdEntries, entries, next)) return 0;

  std::string make, model;
  bool dng = false;
  const TiffEntry* xmp = nullptr;
  for (const TiffEntry& e : entries) {
    if (e.tag == kTiffTagMake) make = tiff.Ascii(e);
    if (e.tag == kTiffTagModel) model = tiff.Ascii(e);
    if (e.tag == kTiffTagDngVersion) dng = true;
    if (e.tag == kTiffTagXmp) xmp = &e;
  }
  if (make.empty() && xmp != nullptr) {
    TiffEntry cut = *xmp;
    if (uint64_t{cut.count} * TiffTypeSize(cut.type) > kMaxXmp && TiffTypeSize(cut.type) == 1) cut.count = kMaxXmp;
    make = MakeFromXmp(tiff.Value(cut, kMaxXmp));
  }
  const bool crw = HasText(ctx.firstSector, 6, "HEAPCCDR");
  ctx.refinedEntry = FileTypeByNumber(ClassifyTiff(make, model, dng, crw));

  const Extent extent = MeasureTiff(tiff, entries, next);
  if (!extent.complete || extent.end == 0) {
    ctx.sizeEstimated = true;
    return kTiffProvisionalSize;
  }
  return CapToAvailable(ctx, extent.end);
}

}  // namespace torvane::probes
