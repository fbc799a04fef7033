#include "raw/probes/header_field_probes.h"

#include <zlib.h>

#include <algorithm>
#include <vector>

#include "raw/probes/probe_reader.h"

namespace torvane::probes {
namespace {

constexpr uint64_t kMiB = 1024 * 1024;

ByteSpan First(const ProbeContext& ctx) {
  return ctx.firstSector;
}

// A RIFF file of form `form`: its length field + 8, when the form (and what must follow it)
// is there.
uint64_t RiffSize(ProbeContext& ctx, std::string_view form, std::string_view then = {}) {
  const ByteSpan s = First(ctx);
  if (!HasText(s, 0, "RIFF") || !HasText(s, 8, form) || !HasText(s, 12, then)) return 0;
  const uint64_t size = uint64_t{LeU32(s, 4)} + 8;
  if (size <= 12) return 0;
  return CapToAvailable(ctx, size);
}

// The end of a zlib stream that starts at `from`, read through the reader; 0 when it does
// not end cleanly within `maxOutput` bytes of output.
uint64_t ZlibStreamEnd(ProbeReader& reader, uint64_t from, uint64_t maxOutput) {
  z_stream z{};
  if (inflateInit(&z) != Z_OK) return 0;
  std::vector<Bytef> sink(64 * 1024);
  uint64_t pos = from, produced = 0, end = 0;
  for (;;) {
    const ByteSpan piece = reader.Read(pos, 64 * 1024);
    if (piece.empty()) break;
    z.next_in = reinterpret_cast<Bytef*>(const_cast<std::byte*>(piece.data()));
    z.avail_in = static_cast<uInt>(piece.size());
    int rc = Z_OK;
    while (z.avail_in > 0 && rc == Z_OK) {
      z.next_out = sink.data();
      z.avail_out = static_cast<uInt>(sink.size());
      rc = inflate(&z, Z_NO_FLUSH);
      produced += sink.size() - z.avail_out;
      if (rc == Z_BUF_ERROR && z.avail_in > 0) rc = Z_OK;
    }
    pos += piece.size() - z.avail_in;
    if (rc == Z_STREAM_END) {
      end = pos;
      break;
    }
    if (rc != Z_OK || produced > maxOutput) break;
  }
  inflateEnd(&z);
  return end;
}

}  // namespace

bool AcceptAll(ProbeContext&) {
  return true;
}

uint64_t SizeSwf(ProbeContext& ctx) {
  const ByteSpan s = First(ctx);
  const uint8_t version = LeU8(s, 3);
  const uint64_t length = LeU32(s, 4);  // the uncompressed length, header included
  // Versions run past 40 today; the length of a real movie is below 500 MiB.
  if (version == 0 || version > 64 || length < 17 || length > 500 * kMiB) return 0;
  if (HasText(s, 0, "FWS")) return CapToAvailable(ctx, length);
  if (!HasText(s, 0, "CWS")) return 0;
  // Compressed: the file ends where the zlib stream after the 8-byte header ends.
  ProbeReader reader(ctx);
  const uint64_t end = ZlibStreamEnd(reader, 8, length);
  if (end != 0) return end;
  ctx.sizeEstimated = true;  // the stream is cut or damaged: its length is the best guess
  return CapToAvailable(ctx, length);
}

uint64_t SizeRiffWebp(ProbeContext& ctx) {
  return RiffSize(ctx, "WEBP");
}
uint64_t SizeRiffWav(ProbeContext& ctx) {
  return RiffSize(ctx, "WAVE");
}
uint64_t SizeRiffAvi(ProbeContext& ctx) {
  return RiffSize(ctx, "AVI ", "LIST");
}
uint64_t SizeRiffCdxa(ProbeContext& ctx) {
  return RiffSize(ctx, "CDXA", "fmt ");
}
uint64_t SizeRiffCdr(ProbeContext& ctx) {
  return RiffSize(ctx, "CDR");
}

bool Confirm7z(ProbeContext& ctx) {
  const ByteSpan s = First(ctx);
  if (s.size() < 32 || !HasText(s, 0, "7z\xBC\xAF\x27\x1C")) return false;
  const uLong crc = crc32(0, reinterpret_cast<const Bytef*>(s.data() + 12), 20);
  return crc == LeU32(s, 8);
}

uint64_t Size7z(ProbeContext& ctx) {
  if (!Confirm7z(ctx)) return 0;
  const ByteSpan s = First(ctx);
  uint64_t size = 0;
  if (!CheckedAdd(LeU64(s, 12), LeU64(s, 20), size) || !CheckedAdd(size, 32, size)) return 0;
  if (LeU64(s, 20) == 0) return 0;  // an archive always has its header at the end
  return CapToAvailable(ctx, size);
}

uint64_t SizeCab(ProbeContext& ctx) {
  const ByteSpan s = First(ctx);
  if (LeU32(s, 4) != 0 || LeU32(s, 12) != 0) return 0;
  const uint64_t size = LeU32(s, 8);
  return size < 36 ? 0 : CapToAvailable(ctx, size);
}

namespace {
uint64_t FormSize(ProbeContext& ctx, std::string_view a, std::string_view b, std::string_view c = "????") {
  const ByteSpan s = First(ctx);
  if (!HasText(s, 0, "FORM") || !(HasText(s, 8, a) || HasText(s, 8, b) || HasText(s, 8, c))) return 0;
  const uint64_t size = uint64_t{BeU32(s, 4)} + 8;
  return size <= 12 ? 0 : CapToAvailable(ctx, size);
}
}  // namespace

uint64_t SizeFormAiff(ProbeContext& ctx) {
  return FormSize(ctx, "AIFF", "AIFC");
}
uint64_t SizeFormLwo(ProbeContext& ctx) {
  return FormSize(ctx, "LWO2", "LWOB", "LXOB");
}

uint64_t SizeAu(ProbeContext& ctx) {
  const ByteSpan s = First(ctx);
  const uint64_t offset = BeU32(s, 4), data = BeU32(s, 8);
  if (offset < 24) return 0;
  if (data == 0xFFFFFFFF) {  // length unknown: the data runs to the end of the stream
    ctx.sizeEstimated = true;
    return AvailableBytes(ctx);
  }
  return CapToAvailable(ctx, offset + data);
}

bool ConfirmChm(ProbeContext& ctx) {
  const ByteSpan s = First(ctx);
  const uint32_t version = LeU32(s, 4), headerLength = LeU32(s, 8);
  return HasText(s, 0, "ITSF") && (version == 2 || version == 3) && headerLength >= 0x58 && headerLength <= 0x60;
}

uint64_t SizeChm(ProbeContext& ctx) {
  if (!ConfirmChm(ctx)) return 0;
  // The first header section (offset at 0x38) carries the file's length at its offset 16.
  const uint64_t section = LeU64(First(ctx), 0x38);
  ProbeReader reader(ctx, 1 * kMiB);
  const ByteSpan sec = reader.Read(section, 24);
  if (sec.size() < 24 || LeU32(sec, 0) != 0x1FE) return 0;
  const uint64_t size = LeU64(sec, 8);
  return size <= section ? 0 : CapToAvailable(ctx, size);
}

uint64_t SizeDbx(ProbeContext& ctx) {
  const ByteSpan s = First(ctx);
  const uint64_t w9 = LeU32(s, 9 * 4), w31 = LeU32(s, 31 * 4);
  const uint64_t size = ((w9 - w31) & 0xFFFF) + w31;
  return size < 256 ? 0 : CapToAvailable(ctx, size);
}

uint64_t SizePst(ProbeContext& ctx) {
  const ByteSpan s = First(ctx);
  const uint16_t version = LeU16(s, 10);
  uint64_t eof = 0, lastAllocationMap = 0;
  if (version == 14 || version == 15) {  // ANSI: 32-bit fields
    eof = LeU32(s, 168);
    lastAllocationMap = LeU32(s, 172);
  } else if (version >= 23 && version <= 37) {  // Unicode: 64-bit fields, files over 4 GiB
    eof = LeU64(s, 184);
    lastAllocationMap = LeU64(s, 192);
  } else {
    return 0;
  }
  if (eof >= 512) return CapToAvailable(ctx, eof);
  // No end recorded: the last allocation map covers 253,952 bytes from its place.
  if (lastAllocationMap < 256) return 0;
  ctx.sizeEstimated = true;
  return CapToAvailable(ctx, lastAllocationMap + 0x3E000);
}

uint64_t SizeDcu(ProbeContext& ctx) {
  const uint64_t size = LeU32(First(ctx), 4);
  return size == 0 || size > 25 * kMiB ? 0 : CapToAvailable(ctx, size);
}

uint64_t SizeHlp(ProbeContext& ctx) {
  const uint64_t size = LeU32(First(ctx), 12);
  return size < 16 ? 0 : CapToAvailable(ctx, size);
}

uint64_t SizeAcp(ProbeContext& ctx) {
  const uint64_t size = LeU32(First(ctx), 20);
  return size < 24 ? 0 : CapToAvailable(ctx, size);
}

uint64_t SizePfx(ProbeContext& ctx) {
  const ByteSpan s = First(ctx);
  if (HasText(s, 2, "\x02\x01\x03\x30")) {
    ctx.sizeEstimated = true;
    return CapToAvailable(ctx, 32768);
  }
  if (HasText(s, 4, "\x02\x01\x03\x30")) return CapToAvailable(ctx, uint64_t{BeU16(s, 2)} + 4);
  return 0;
}

bool ConfirmTga(ProbeContext& ctx) {
  const ByteSpan s = First(ctx);
  const uint8_t cmapType = LeU8(s, 1), imageType = LeU8(s, 2), bpp = LeU8(s, 16);
  return cmapType <= 1 && imageType == 2 && LeU16(s, 12) != 0 && LeU16(s, 14) != 0 &&
         (bpp == 0 || bpp == 15 || bpp == 16 || bpp == 24 || bpp == 32);
}

uint64_t SizeTga(ProbeContext& ctx) {
  if (!ConfirmTga(ctx)) return 0;
  const ByteSpan s = First(ctx);
  const uint64_t bytesPerPixel = LeU8(s, 16) == 0 ? 3 : (uint64_t{LeU8(s, 16)} + 7) / 8;
  const uint64_t colorMap = LeU8(s, 1) == 1 ? uint64_t{LeU16(s, 5)} * ((uint64_t{LeU8(s, 7)} + 7) / 8) : 0;
  const uint64_t image = uint64_t{LeU16(s, 12)} * LeU16(s, 14) * bytesPerPixel;  // < 2^34
  uint64_t size = 18 + uint64_t{LeU8(s, 0)} + colorMap + image;
  if (size > 20 * kMiB) return 0;
  // A version 2 file ends with a 26-byte footer, possibly after a 495-byte extension area.
  ProbeReader reader(ctx, size + 495 + 26);
  for (uint64_t extra : {uint64_t{0}, uint64_t{495}}) {
    const ByteSpan footer = reader.Read(size + extra, 26);
    if (HasText(footer, 8, "TRUEVISION-XFILE.")) {
      size += extra + 26;
      break;
    }
  }
  return CapToAvailable(ctx, size);
}

bool ConfirmPcx(ProbeContext& ctx) {
  const ByteSpan s = First(ctx);
  const uint16_t xmin = LeU16(s, 4), ymin = LeU16(s, 6), xmax = LeU16(s, 8), ymax = LeU16(s, 10);
  const uint8_t planes = LeU8(s, 65);
  const uint16_t bytesPerLine = LeU16(s, 66);
  return s.size() >= 128 && xmax >= xmin && ymax >= ymin && xmax - xmin < 10000 && ymax - ymin < 10000 && planes >= 1 &&
         planes <= 4 && bytesPerLine != 0 && bytesPerLine % 2 == 0 &&
         bytesPerLine * 8u >= (xmax - xmin + 1u) * LeU8(s, 3) && bytesPerLine <= 20000;
}

uint64_t SizePcx(ProbeContext& ctx) {
  if (!ConfirmPcx(ctx)) return 0;
  const ByteSpan s = First(ctx);
  const uint64_t total = uint64_t{LeU16(s, 66)} * LeU8(s, 65) * (uint64_t{LeU16(s, 10)} - LeU16(s, 6) + 1);
  ProbeReader reader(ctx);
  uint64_t pos = 128, decoded = 0;
  while (decoded < total) {
    const ByteSpan piece = reader.Read(pos, 64 * 1024);
    if (piece.empty()) return 0;
    size_t i = 0;
    while (i < piece.size() && decoded < total) {
      const uint8_t b = std::to_integer<uint8_t>(piece[i]);
      if (b >= 0xC0) {
        if (i + 1 >= piece.size()) break;  // the run's value lies in the next piece
        decoded += b & 0x3F;
        i += 2;
      } else {
        ++decoded;
        ++i;
      }
    }
    if (i == 0) return 0;  // a run split at the end of what can be read
    pos += i;
  }
  // An 8-bit image ends with its 256-colour palette after a 0x0C marker.
  const ByteSpan marker = reader.Read(pos, 1);
  if (LeU8(s, 3) == 8 && LeU8(s, 65) == 1 && LeU8(marker, 0) == 0x0C && reader.Limit() - pos >= 769) pos += 769;
  return pos;
}

namespace {

// An EBML element ID (1 to 4 bytes, its length marker kept) at data[at]; 0 when invalid.
uint32_t EbmlId(ByteSpan data, size_t at, size_t& length) {
  const uint8_t first = LeU8(data, at);
  if (first == 0 || first == 0xFF) return 0;
  length = static_cast<size_t>(__builtin_clz(uint32_t{first}) - 24 + 1);
  if (length > 4 || at + length > data.size()) return 0;
  uint32_t id = 0;
  for (size_t i = 0; i < length; ++i) id = id << 8 | LeU8(data, at + i);
  return id;
}

constexpr uint64_t kEbmlUnknown = UINT64_MAX;

// An EBML coded size at data[at]: its value, kEbmlUnknown when all its value bits are set;
// false when invalid.
bool EbmlSize(ByteSpan data, size_t at, size_t& length, uint64_t& value) {
  const uint8_t first = LeU8(data, at);
  if (first == 0) return false;
  length = static_cast<size_t>(__builtin_clz(uint32_t{first}) - 24 + 1);
  if (at + length > data.size()) return false;
  value = first & (0xFF >> length);
  bool allOnes = value == (0xFFu >> length);
  for (size_t i = 1; i < length; ++i) {
    const uint8_t b = LeU8(data, at + i);
    value = value << 8 | b;
    allOnes = allOnes && b == 0xFF;
  }
  if (allOnes) value = kEbmlUnknown;
  return true;
}

bool IsSegmentLevelId(uint32_t id) {
  switch (id) {
    case 0x114D9B74:  // SeekHead
    case 0x1549A966:  // Info
    case 0x1654AE6B:  // Tracks
    case 0x1F43B675:  // Cluster
    case 0x1C53BB6B:  // Cues
    case 0x1941A469:  // Attachments
    case 0x1043A770:  // Chapters
    case 0x1254C367:  // Tags
    case 0xEC:        // Void
    case 0xBF:        // CRC-32
    case 0xE7:        // a cluster's Timestamp
    case 0xA3:        // SimpleBlock
    case 0xA0:        // BlockGroup
    case 0xAB:        // PrevSize
    case 0xA7:        // Position
    case 0x5854:      // SilentTracks
      return true;
    default:
      return false;
  }
}

}  // namespace

bool ConfirmMkv(ProbeContext& ctx) {
  const ByteSpan s = First(ctx);
  size_t idLength = 0, sizeLength = 0;
  uint64_t headerSize = 0;
  if (EbmlId(s, 0, idLength) != 0x1A45DFA3 || !EbmlSize(s, 4, sizeLength, headerSize)) return false;
  if (headerSize == kEbmlUnknown || 4 + sizeLength + headerSize > s.size()) return false;
  const ByteSpan header = s.subspan(4 + sizeLength, static_cast<size_t>(headerSize));
  const std::string_view text(reinterpret_cast<const char*>(header.data()), header.size());
  return text.find("matroska") != std::string_view::npos || text.find("webm") != std::string_view::npos;
}

uint64_t SizeMkv(ProbeContext& ctx) {
  if (!ConfirmMkv(ctx)) return 0;
  const ByteSpan s = First(ctx);
  size_t idLength = 0, sizeLength = 0;
  uint64_t headerSize = 0;
  EbmlSize(s, 4, sizeLength, headerSize);
  const uint64_t segment = 4 + sizeLength + headerSize;
  ProbeReader reader(ctx);
  ByteSpan head = reader.Read(segment, 16);
  uint64_t segmentSize = 0;
  if (EbmlId(head, 0, idLength) != 0x18538067 || !EbmlSize(head, idLength, sizeLength, segmentSize)) return 0;
  const uint64_t dataStart = segment + idLength + sizeLength;
  if (segmentSize != kEbmlUnknown) {
    uint64_t end = 0;
    if (!CheckedAdd(dataStart, segmentSize, end)) return 0;
    return CapToAvailable(ctx, end);
  }
  // A live recording: the segment's length was never written. Walk its elements, stepping
  // into those of unknown size (clusters), until something that is not one of them.
  uint64_t pos = dataStart;
  while (pos < reader.Limit()) {
    head = reader.Read(pos, 16);
    const uint32_t id = EbmlId(head, 0, idLength);
    uint64_t size = 0;
    if (!IsSegmentLevelId(id) || !EbmlSize(head, idLength, sizeLength, size)) break;
    uint64_t next = pos + idLength + sizeLength;
    if (size != kEbmlUnknown && !CheckedAdd(next, size, next)) break;
    if (next > reader.Limit()) {
      pos = reader.Limit();
      break;
    }
    pos = next;
  }
  ctx.sizeEstimated = true;
  return pos;
}

}  // namespace torvane::probes
