#include "raw/probes/iso_media_probes.h"

#include "raw/probes/probe_reader.h"

namespace torvane::probes {
namespace {

constexpr uint32_t Fourcc(const char (&s)[5]) {
  return uint32_t{static_cast<uint8_t>(s[0])} << 24 | uint32_t{static_cast<uint8_t>(s[1])} << 16 |
         uint32_t{static_cast<uint8_t>(s[2])} << 8 | uint32_t{static_cast<uint8_t>(s[3])};
}

constexpr uint16_t kMts = 40, kAce = 74, kM2ts = 171, k3gp = 76, kMov = 77, kMp4 = 78, kCrm = 185, kAvif = 202,
                   kHeic = 203;

// The boxes that stand at the top level of a file. Only these continue the walk: what
// follows a file on a disk is often text, whose bytes would pass for a box name.
bool IsTopLevelBox(uint32_t type) {
  switch (type) {
    case Fourcc("ftyp"):
    case Fourcc("moov"):
    case Fourcc("mdat"):
    case Fourcc("free"):
    case Fourcc("skip"):
    case Fourcc("wide"):
    case Fourcc("pnot"):
    case Fourcc("moof"):
    case Fourcc("mfra"):
    case Fourcc("meta"):
    case Fourcc("uuid"):
    case Fourcc("pdin"):
    case Fourcc("styp"):
    case Fourcc("sidx"):
    case Fourcc("ssix"):
    case Fourcc("emsg"):
    case Fourcc("prft"):
    case Fourcc("bloc"):
    case Fourcc("junk"):
    case Fourcc("PICT"):
    case Fourcc("idat"):
    case Fourcc("iinf"):
    case Fourcc("iloc"):
    case Fourcc("mmpu"):
    case Fourcc("udta"):
      return true;
    default:
      return false;
  }
}

bool IsQuickTimeLeadBox(uint32_t type) {
  return type == Fourcc("moov") || type == Fourcc("mdat") || type == Fourcc("wide") || type == Fourcc("free") ||
         type == Fourcc("skip") || type == Fourcc("pnot");
}

}  // namespace

const FileTypeEntry* IsoMediaEntryForBrand(uint32_t brand, uint32_t minorOrCompatible) {
  uint16_t n = kMp4;
  if (brand == Fourcc("avif") || brand == Fourcc("avis"))
    n = kAvif;
  else if (brand == Fourcc("heic") || brand == Fourcc("heix") || brand == Fourcc("heim") || brand == Fourcc("heis") ||
           brand == Fourcc("mif1") || brand == Fourcc("msf1"))
    n = kHeic;
  else if ((brand >> 16) == ('3' << 8 | 'g') || (minorOrCompatible >> 16) == ('3' << 8 | 'g'))
    n = k3gp;
  else if ((brand >> 16) == ('q' << 8 | 't'))
    n = kMov;
  else if (brand == Fourcc("crx "))
    n = kCrm;
  return FileTypeByNumber(n);
}

const FileTypeEntry* IsoMediaFallback(ProbeContext& ctx) {
  const ByteSpan s = ctx.firstSector;
  if (s.size() < 16) return nullptr;
  const auto at = [&](size_t i) { return std::to_integer<uint8_t>(s[i]); };
  // Transport streams: a sync byte every 188 bytes (the first sector holds three packets
  // only when it is longer than 376 bytes).
  if (s.size() > 376 && at(0) == 0x47 && at(188) == 0x47 && at(376) == 0x47) return FileTypeByNumber(kMts);
  // A BDAV stream: 4-byte time codes before 188-byte packets.
  if (HasText(s, 4, "\x47\x40\x00\x10\x00\x00\xB0\x11")) return FileTypeByNumber(kM2ts);
  if (HasText(s, 7, "**ACE**")) return FileTypeByNumber(kAce);
  const uint32_t type = BeU32(s, 4);
  if (type == Fourcc("ftyp")) return IsoMediaEntryForBrand(BeU32(s, 8), BeU32(s, 16));
  if (type == Fourcc("moov")) return FileTypeByNumber(kMov);
  return nullptr;
}

bool ConfirmIsoMedia(ProbeContext& ctx) {
  const uint32_t size = BeU32(ctx.firstSector, 0);
  const uint32_t type = BeU32(ctx.firstSector, 4);
  if (type == Fourcc("ftyp")) return size >= 16 || size == 1;
  return IsQuickTimeLeadBox(type) && (size >= 8 || size <= 1);
}

uint64_t SizeIsoMedia(ProbeContext& ctx) {
  if (!ConfirmIsoMedia(ctx)) return 0;
  ProbeReader reader(ctx);
  const uint64_t limit = reader.Limit();
  if (BeU32(ctx.firstSector, 4) == Fourcc("ftyp"))
    ctx.refinedEntry = IsoMediaEntryForBrand(BeU32(ctx.firstSector, 8), BeU32(ctx.firstSector, 16));
  else
    ctx.refinedEntry = FileTypeByNumber(kMov);
  if (ctx.refinedEntry == ctx.entry) ctx.refinedEntry = nullptr;

  uint64_t pos = 0;
  bool toEnd = false;
  while (pos < limit) {
    const ByteSpan head = reader.Read(pos, 16);
    if (head.size() < 8) break;
    const uint32_t type = BeU32(head, 4);
    if (!IsTopLevelBox(type)) break;
    uint64_t size = BeU32(head, 0);
    if (size == 1) {
      if (head.size() < 16) break;
      size = BeU64(head, 8);
      if (size < 16) break;
    } else if (size == 0) {
      // The box runs to the end of the file: its end is not written down anywhere.
      toEnd = true;
      pos = limit;
      break;
    } else if (size < 8) {
      break;
    }
    uint64_t next = 0;
    if (!CheckedAdd(pos, size, next)) break;
    if (next > limit) {
      toEnd = true;  // the box runs past what the volume holds
      pos = limit;
      break;
    }
    pos = next;
  }
  if (pos < 1025) return 0;
  ctx.resultCode = kProbeResultNoSkip;
  ctx.sizeEstimated = toEnd;
  return pos;
}

}  // namespace torvane::probes
