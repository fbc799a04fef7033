#include "raw/probes/container_probes.h"

#include <zlib.h>

#include <algorithm>

#include "raw/probes/probe_reader.h"

namespace torvane::probes {
namespace {

constexpr uint64_t kMiB = 1024 * 1024;
constexpr uint64_t kNotFound = UINT64_MAX;

bool IsAsciiLetter(uint8_t c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}

// --- PE executables ---------------------------------------------------------------------

constexpr uint16_t kDllFlag = 0x2000;

struct PeEnd {
  bool isPe = false;
  bool isDll = false;
  uint64_t end = 0;
};

// The PE image behind an "MZ" header: every field read is checked against the bytes the
// reader holds, so an offset into nowhere ends the parse instead of the read.
PeEnd ParsePe(ProbeContext& ctx) {
  PeEnd pe;
  const uint32_t peOffset = LeU32(ctx.firstSector, 60);
  if (peOffset < 64 || peOffset > 4095) return pe;
  ProbeReader reader(ctx);
  const ByteSpan coff = reader.Read(peOffset, 24);
  if (coff.size() < 24 || !HasText(coff, 0, std::string_view("PE\0\0", 4))) return pe;
  const uint16_t sections = LeU16(coff, 6), optionalSize = LeU16(coff, 20);
  pe.isDll = (LeU16(coff, 22) & kDllFlag) != 0;
  if (sections == 0 || sections > 96 || optionalSize < 96) return pe;
  const uint64_t optionalAt = uint64_t{peOffset} + 24;
  const ByteSpan opt = reader.Read(optionalAt, optionalSize);
  if (opt.size() != optionalSize) return pe;
  const uint16_t magic = LeU16(opt, 0);
  size_t directories = 0, countAt = 0;
  if (magic == 0x10B) {
    countAt = 92;
    directories = 96;
  } else if (magic == 0x20B) {
    countAt = 108;
    directories = 112;
  } else {
    return pe;
  }
  uint64_t end = LeU32(opt, 60);  // SizeOfHeaders
  // The security directory holds a file offset, not an address: signatures and the
  // overlays installers carry lie past the last section.
  if (LeU32(opt, countAt) > 4 && directories + 5 * 8 <= opt.size()) {
    const uint64_t certificates = LeU32(opt, directories + 4 * 8),
                   certificateBytes = LeU32(opt, directories + 4 * 8 + 4);
    if (certificates != 0 && certificateBytes != 0) end = std::max(end, certificates + certificateBytes);
  }
  const ByteSpan table = reader.Read(optionalAt + optionalSize, size_t{sections} * 40);
  if (table.size() != size_t{sections} * 40) return pe;
  for (size_t i = 0; i < sections; ++i) {
    const uint64_t rawSize = LeU32(table, i * 40 + 16), rawOffset = LeU32(table, i * 40 + 20);
    if (rawSize != 0) end = std::max(end, rawOffset + rawSize);
  }
  pe.isPe = true;
  pe.end = end;
  return pe;
}

// A DOS program: pages of 512 bytes, the last one partly used; overlays may follow.
uint64_t DosSize(const ProbeContext& ctx) {
  const ByteSpan s = ctx.firstSector;
  const uint16_t lastPage = LeU16(s, 2), pages = LeU16(s, 4), headerParagraphs = LeU16(s, 8);
  const uint16_t relocations = LeU16(s, 24);
  if (pages == 0 || lastPage >= 512 || relocations < 28 || relocations >= 512 || headerParagraphs < 2) return 0;
  const uint64_t size = uint64_t{pages} * 512 - (lastPage == 0 ? 0 : 512 - lastPage);
  return uint64_t{headerParagraphs} * 16 < size ? size : 0;
}

// --- RAR --------------------------------------------------------------------------------

constexpr std::string_view kRar4 = std::string_view("Rar!\x1A\x07\x00", 7);
constexpr std::string_view kRar5 = std::string_view("Rar!\x1A\x07\x01\x00", 8);

// A RAR 5 variable-length integer at data[at]: 7 bits a byte, low first; false when it
// does not end within 10 bytes or the span.
bool ReadVint(ByteSpan data, size_t& at, uint64_t& value) {
  value = 0;
  for (int i = 0; i < 10 && at < data.size(); ++i) {
    const uint8_t b = LeU8(data, at++);
    value |= uint64_t{b & 0x7Fu} << (7 * i);
    if ((b & 0x80) == 0) return i < 9 || b <= 1;
  }
  return false;
}

struct Walk {
  uint64_t end = 0;
  uint64_t blocks = 0;
  bool complete = false;
};

Walk WalkRar4(ProbeReader& reader) {
  Walk w;
  uint64_t pos = kRar4.size();
  while (pos < reader.Limit()) {
    const ByteSpan h = reader.Read(pos, 40);
    if (h.size() < 7) break;
    const uint8_t type = LeU8(h, 2);
    const uint16_t flags = LeU16(h, 3), headSize = LeU16(h, 5);
    if (type < 0x72 || type > 0x7B || headSize < 7) break;
    uint64_t add = 0;
    if ((flags & 0x8000) != 0 || type == 0x74 || type == 0x7A) {
      if (headSize < 11 || h.size() < 11) break;
      add = LeU32(h, 7);
      // Files over 4 GiB carry the high half of their packed size at offset 32.
      if ((type == 0x74 || type == 0x7A) && (flags & 0x100) != 0) {
        if (headSize < 36 || h.size() < 36) break;
        add |= uint64_t{LeU32(h, 32)} << 32;
      }
    }
    uint64_t next = 0;
    if (!CheckedAdd(pos + headSize, add, next)) break;
    if (next > reader.Limit()) {
      w.end = reader.Limit();
      return w;
    }
    pos = next;
    ++w.blocks;
    if (type == 0x7B) {
      w.complete = true;
      break;
    }
  }
  w.end = pos;
  return w;
}

Walk WalkRar5(ProbeReader& reader) {
  Walk w;
  uint64_t pos = kRar5.size();
  while (pos < reader.Limit()) {
    const ByteSpan h = reader.Read(pos, 4 + 10);
    size_t at = 4;
    uint64_t headerSize = 0;
    if (!ReadVint(h, at, headerSize) || headerSize == 0 || headerSize > 2 * kMiB) break;
    const uint64_t headerEnd = pos + at + headerSize;
    // The header's checksum covers its size field and its contents.
    const ByteSpan header = reader.Read(pos, static_cast<size_t>(at + headerSize));
    if (header.size() != at + headerSize) break;
    const uLong crc =
        crc32(0, reinterpret_cast<const Bytef*>(header.data() + 4), static_cast<uInt>(at - 4 + headerSize));
    if (crc != LeU32(header, 0)) break;
    uint64_t type = 0, flags = 0, extra = 0, data = 0;
    if (!ReadVint(header, at, type) || !ReadVint(header, at, flags)) break;
    if ((flags & 1) != 0 && !ReadVint(header, at, extra)) break;
    if ((flags & 2) != 0 && !ReadVint(header, at, data)) break;
    if (type < 1 || type > 5) break;
    uint64_t next = 0;
    if (!CheckedAdd(headerEnd, data, next)) break;
    if (next > reader.Limit()) {
      w.end = reader.Limit();
      return w;
    }
    pos = next;
    ++w.blocks;
    if (type == 5) {
      w.complete = true;
      break;
    }
    if (type == 4) break;  // archive encryption: the headers after this one are encrypted
  }
  w.end = pos;
  return w;
}

// --- DDS --------------------------------------------------------------------------------

// Bytes per 4x4 block of a block-compressed format, or 0 with `bitsPerPixel` set for an
// uncompressed one; false when the format is unknown.
bool DdsFormat(ByteSpan h, uint64_t& blockBytes, uint64_t& bitsPerPixel, bool& dx10) {
  const uint32_t pfFlags = LeU32(h, 80);
  blockBytes = bitsPerPixel = 0;
  dx10 = false;
  if ((pfFlags & 0x4) != 0) {  // a four-character code
    const std::string_view code(reinterpret_cast<const char*>(h.data() + 84), 4);
    if (code == "DXT1" || code == "ATI1" || code == "BC4U" || code == "BC4S") {
      blockBytes = 8;
      return true;
    }
    if (code == "DXT2" || code == "DXT3" || code == "DXT4" || code == "DXT5" || code == "ATI2" || code == "BC5U" ||
        code == "BC5S") {
      blockBytes = 16;
      return true;
    }
    if (code == "DX10") {
      dx10 = true;
      const uint32_t dxgi = LeU32(h, 128);
      if (dxgi >= 70 && dxgi <= 84) {  // BC1 to BC5
        blockBytes = dxgi <= 72 || (dxgi >= 79 && dxgi <= 81) ? 8 : 16;
        return true;
      }
      if (dxgi >= 94 && dxgi <= 99) {  // BC6H, BC7
        blockBytes = 16;
        return true;
      }
      if (dxgi >= 1 && dxgi <= 4) bitsPerPixel = 128;
      if (dxgi >= 5 && dxgi <= 8) bitsPerPixel = 96;
      if (dxgi >= 9 && dxgi <= 22) bitsPerPixel = 64;
      if ((dxgi >= 23 && dxgi <= 47) || (dxgi >= 87 && dxgi <= 93)) bitsPerPixel = 32;
      if (dxgi >= 48 && dxgi <= 59) bitsPerPixel = 16;
      if (dxgi >= 60 && dxgi <= 65) bitsPerPixel = 8;
      return bitsPerPixel != 0;
    }
    // D3DFORMAT numbers for float formats.
    const uint32_t d3d = LeU32(h, 84);
    if (d3d == 36 || d3d == 113 || d3d == 115) bitsPerPixel = 64;
    if (d3d == 116) bitsPerPixel = 128;
    if (d3d == 111 || d3d == 112 || d3d == 114) bitsPerPixel = d3d == 111 ? 16 : 32;
    return bitsPerPixel != 0;
  }
  bitsPerPixel = LeU32(h, 88);
  return bitsPerPixel == 8 || bitsPerPixel == 16 || bitsPerPixel == 24 || bitsPerPixel == 32;
}

// --- GIF --------------------------------------------------------------------------------

// The end of a run of data sub-blocks starting at `pos`; kNotFound when the data ends.
uint64_t SkipSubBlocks(ProbeReader& reader, uint64_t pos) {
  for (;;) {
    const ByteSpan length = reader.Read(pos, 1);
    if (length.empty()) return kNotFound;
    const uint8_t n = LeU8(length, 0);
    pos += 1 + uint64_t{n};
    if (n == 0) return pos;
  }
}

}  // namespace

bool ConfirmMz(ProbeContext& ctx) {
  return HasText(ctx.firstSector, 0, "MZ");
}

uint64_t SizeExe(ProbeContext& ctx) {
  const PeEnd pe = ParsePe(ctx);
  if (pe.isPe) return pe.isDll || pe.end == 0 ? 0 : CapToAvailable(ctx, pe.end);
  const uint64_t dos = DosSize(ctx);
  if (dos == 0) return 0;
  ctx.sizeEstimated = true;  // overlays may follow a DOS program's pages
  return CapToAvailable(ctx, dos);
}

uint64_t SizeDll(ProbeContext& ctx) {
  const PeEnd pe = ParsePe(ctx);
  return pe.isPe && pe.isDll && pe.end != 0 ? CapToAvailable(ctx, pe.end) : 0;
}

bool ConfirmIcl(ProbeContext& ctx) {
  const uint32_t neOffset = LeU32(ctx.firstSector, 60);
  if (!ConfirmMz(ctx) || neOffset < 64 || neOffset > 4095) return false;
  ProbeReader reader(ctx, 4096 + 2);
  return HasText(reader.Read(neOffset, 2), 0, "NE");
}

bool ConfirmRar(ProbeContext& ctx) {
  return HasText(ctx.firstSector, 0, kRar4) || HasText(ctx.firstSector, 0, kRar5);
}

uint64_t SizeRar(ProbeContext& ctx) {
  if (!ConfirmRar(ctx)) return 0;
  ProbeReader reader(ctx);
  const Walk w = HasText(ctx.firstSector, 0, kRar5) ? WalkRar5(reader) : WalkRar4(reader);
  if (w.blocks == 0) return 0;
  if (!w.complete) ctx.sizeEstimated = true;  // older archives end without an end block
  if (w.blocks < 3) ctx.resultCode = kProbeResultNoSkip;
  return w.end;
}

bool ConfirmDds(ProbeContext& ctx) {
  const ByteSpan h = ctx.firstSector;
  return HasText(h, 0, "DDS ") && LeU32(h, 4) == 124 && LeU32(h, 76) == 32 && LeU32(h, 12) != 0 && LeU32(h, 16) != 0;
}

uint64_t SizeDds(ProbeContext& ctx) {
  if (!ConfirmDds(ctx)) return 0;
  const ByteSpan h = ctx.firstSector;
  uint64_t blockBytes = 0, bitsPerPixel = 0;
  bool dx10 = false;
  if (!DdsFormat(h, blockBytes, bitsPerPixel, dx10)) return 0;
  uint64_t width = LeU32(h, 16), height = LeU32(h, 12);
  uint64_t depth = (LeU32(h, 112) & 0x200000) != 0 && LeU32(h, 24) != 0 ? LeU32(h, 24) : 1;
  const uint32_t mipFlag = LeU32(h, 8) & 0x20000;
  const uint64_t levels = mipFlag != 0 && LeU32(h, 28) != 0 ? LeU32(h, 28) : 1;
  if (levels > 32 || width > (1u << 20) || height > (1u << 20) || depth > (1u << 16)) return 0;
  // A cube map stores the faces its caps name, six for a full cube; a DX10 array stores
  // arraySize images (six per element when it is a cube).
  uint64_t faces = 1;
  if ((LeU32(h, 112) & 0x200) != 0) faces = __builtin_popcount(LeU32(h, 112) & 0xFC00);
  if (dx10) {
    const uint64_t arraySize = std::max<uint32_t>(LeU32(h, 140), 1);
    faces = ((LeU32(h, 136) & 0x4) != 0 ? 6 : 1) * arraySize;
  }
  if (faces == 0 || faces > 6 * 2048) return 0;
  uint64_t image = 0;
  for (uint64_t level = 0; level < levels; ++level) {
    uint64_t bytes = 0;
    if (blockBytes != 0) {
      if (!CheckedMul((width + 3) / 4, (height + 3) / 4, bytes) || !CheckedMul(bytes, blockBytes, bytes)) return 0;
    } else if (!CheckedMul((width * bitsPerPixel + 7) / 8, height, bytes)) {
      return 0;
    }
    if (!CheckedMul(bytes, depth, bytes) || !CheckedAdd(image, bytes, image)) return 0;
    width = std::max<uint64_t>(width / 2, 1);
    height = std::max<uint64_t>(height / 2, 1);
    depth = std::max<uint64_t>(depth / 2, 1);
  }
  uint64_t size = 0;
  if (!CheckedMul(image, faces, size) || !CheckedAdd(size, dx10 ? 148 : 128, size)) return 0;
  return CapToAvailable(ctx, size);
}

bool ConfirmAce(ProbeContext& ctx) {
  const ByteSpan h = ctx.firstSector;
  return HasText(h, 7, "**ACE**") && LeU8(h, 4) == 0 && LeU16(h, 2) >= 25;
}

uint64_t SizeAce(ProbeContext& ctx) {
  if (!ConfirmAce(ctx)) return 0;
  ProbeReader reader(ctx);
  uint64_t pos = 4 + uint64_t{LeU16(ctx.firstSector, 2)};
  uint64_t headers = 1;
  while (pos < reader.Limit()) {
    const ByteSpan h = reader.Read(pos, 11);
    if (h.size() < 7) break;
    const uint16_t headSize = LeU16(h, 2), flags = LeU16(h, 5);
    const uint8_t type = LeU8(h, 4);
    if (type != 1 && type != 2) break;  // file and recovery headers carry data; others end it
    if (headSize < 7) break;
    uint64_t next = pos + 4 + headSize;
    if ((flags & 1) != 0) {  // an added size: the packed data that follows
      if (h.size() < 11) break;
      next += LeU32(h, 7);
    }
    if (next > reader.Limit()) {
      ctx.sizeEstimated = true;
      return reader.Limit();
    }
    pos = next;
    ++headers;
  }
  return headers < 2 ? 0 : pos;
}

bool ConfirmPdf(ProbeContext& ctx) {
  const ByteSpan s = ctx.firstSector;
  return HasText(s, 0, "%PDF-") && LeU8(s, 5) >= '1' && LeU8(s, 5) <= '9';
}

uint64_t SizePdf(ProbeContext& ctx) {
  if (!ConfirmPdf(ctx)) return 0;
  // A PDF is searched for its end within 2 GiB; beyond that the size is a cap.
  ProbeReader reader(ctx, uint64_t{2048} * kMiB);
  uint64_t end = 0;
  for (uint64_t from = 5;;) {
    const uint64_t hit = reader.Find("%%EOF", from, reader.Limit());
    if (hit == kNotFound) break;
    end = hit + 5;
    ByteSpan after = reader.Read(end, 2);
    if (HasText(after, 0, "\r\n"))
      end += 2;
    else if (HasText(after, 0, "\n") || HasText(after, 0, "\r"))
      end += 1;
    // An incremental update follows with more objects, a cross-reference table or a
    // comment; anything else is not this file any more.
    after = reader.Read(end, 80);
    size_t i = 0;
    while (i < after.size() &&
           (LeU8(after, i) == ' ' || LeU8(after, i) == '\r' || LeU8(after, i) == '\n' || LeU8(after, i) == '\t'))
      ++i;
    const uint8_t next = LeU8(after, i);
    const bool update = i < after.size() && ((next >= '1' && next <= '9') || HasText(after, i, "xref") ||
                                             (next == '%' && !HasText(after, i, "%PDF")));
    if (!update) return end;
    from = end;
  }
  if (end != 0) return end;
  ctx.sizeEstimated = true;  // no end marker: cut, or longer than the search
  return reader.Limit();
}

bool ConfirmPng(ProbeContext& ctx) {
  const ByteSpan s = ctx.firstSector;
  return HasText(s, 0, "\x89PNG\r\n\x1A\n") && BeU32(s, 8) == 13 && HasText(s, 12, "IHDR");
}

uint64_t SizePng(ProbeContext& ctx) {
  if (!ConfirmPng(ctx)) return 0;
  ProbeReader reader(ctx);
  uint64_t pos = 8;
  while (pos < reader.Limit()) {
    const ByteSpan chunk = reader.Read(pos, 8);
    if (chunk.size() < 8) break;
    const uint32_t length = BeU32(chunk, 0);
    bool named = length <= 0x7FFFFFFF;
    for (size_t i = 4; i < 8; ++i) named = named && IsAsciiLetter(LeU8(chunk, i));
    if (!named) break;
    const bool last = HasText(chunk, 4, "IEND");
    pos += 12 + uint64_t{length};
    if (last) return CapToAvailable(ctx, pos);
  }
  ctx.sizeEstimated = true;  // no IEND: the image is cut or damaged
  return std::min(pos, reader.Limit());
}

bool ConfirmGif(ProbeContext& ctx) {
  const ByteSpan s = ctx.firstSector;
  return (HasText(s, 0, "GIF87a") || HasText(s, 0, "GIF89a")) && LeU16(s, 6) != 0 && LeU16(s, 8) != 0;
}

uint64_t SizeGif(ProbeContext& ctx) {
  if (!ConfirmGif(ctx)) return 0;
  ProbeReader reader(ctx);
  const uint8_t screen = LeU8(ctx.firstSector, 10);
  uint64_t pos = 13 + ((screen & 0x80) != 0 ? 3 * (uint64_t{2} << (screen & 7)) : 0);
  while (pos < reader.Limit()) {
    const ByteSpan b = reader.Read(pos, 10);
    if (b.empty()) break;
    const uint8_t kind = LeU8(b, 0);
    if (kind == 0x3B) return pos + 1;  // trailer
    if (kind == 0x21) {                // extension: label, then sub-blocks
      if (b.size() < 2) break;
      pos = SkipSubBlocks(reader, pos + 2);
    } else if (kind == 0x2C) {  // image: descriptor, local colour table, LZW size, sub-blocks
      if (b.size() < 10) break;
      const uint8_t flags = LeU8(b, 9);
      pos += 10 + ((flags & 0x80) != 0 ? 3 * (uint64_t{2} << (flags & 7)) : 0) + 1;
      pos = SkipSubBlocks(reader, pos);
    } else {
      break;
    }
    if (pos == kNotFound) {
      pos = reader.Limit();
      break;
    }
  }
  ctx.sizeEstimated = true;  // no trailer: cut or damaged
  return std::min(pos, reader.Limit());
}

bool ConfirmBmp(ProbeContext& ctx) {
  const ByteSpan s = ctx.firstSector;
  const uint32_t dib = LeU32(s, 14);
  const bool knownHeader = dib == 12 || dib == 40 || dib == 52 || dib == 56 || dib == 64 || dib == 108 || dib == 124;
  return HasText(s, 0, "BM") && knownHeader && LeU32(s, 10) >= 14 + dib && LeU16(s, 26) == 1;
}

uint64_t SizeBmp(ProbeContext& ctx) {
  if (!ConfirmBmp(ctx)) return 0;
  const ByteSpan s = ctx.firstSector;
  const uint64_t field = LeU32(s, 2), dataAt = LeU32(s, 10);
  if (field > dataAt) return CapToAvailable(ctx, field);
  // The size field is left 0 by some writers: an uncompressed image's size is its rows.
  if (LeU32(s, 14) < 40 || (LeU32(s, 30) != 0 && LeU32(s, 30) != 3)) return 0;
  const uint64_t width = LeU32(s, 18), bits = LeU16(s, 28);
  const int32_t rawHeight = static_cast<int32_t>(LeU32(s, 22));
  const uint64_t height = rawHeight < 0 ? static_cast<uint64_t>(-int64_t{rawHeight}) : static_cast<uint64_t>(rawHeight);
  if (width == 0 || width > 65536 || height == 0 || height > 65536 || bits == 0 || bits > 32) return 0;
  const uint64_t stride = (width * bits + 31) / 32 * 4;
  return CapToAvailable(ctx, dataAt + stride * height);
}

bool ConfirmJ2k(ProbeContext& ctx) {
  const ByteSpan s = ctx.firstSector;
  // SOC, then SIZ with at least one component.
  return BeU16(s, 0) == 0xFF4F && BeU16(s, 2) == 0xFF51 && BeU16(s, 4) >= 41 && BeU16(s, 40) >= 1;
}

uint64_t SizeJ2k(ProbeContext& ctx) {
  if (!ConfirmJ2k(ctx)) return 0;
  ProbeReader reader(ctx);
  uint64_t pos = 2;
  while (pos < reader.Limit()) {
    const ByteSpan m = reader.Read(pos, 12);
    if (m.size() < 2 || LeU8(m, 0) != 0xFF) break;
    const uint16_t marker = BeU16(m, 0);
    if (marker == 0xFFD9) return pos + 2;  // end of codestream
    if (marker == 0xFF90) {                // a tile-part: Psot bytes from its marker
      const uint64_t length = BeU32(m, 6);
      if (m.size() < 12 || BeU16(m, 2) != 10) break;
      if (length == 0) {  // the last tile-part runs to the end marker
        const uint64_t end = reader.Find("\xFF\xD9", pos + 12, reader.Limit());
        if (end == kNotFound) break;
        return end + 2;
      }
      if (length < 14) break;
      pos += length;
      continue;
    }
    const uint16_t length = BeU16(m, 2);
    if (m.size() < 4 || length < 2 || marker < 0xFF30) break;
    pos += 2 + uint64_t{length};
  }
  ctx.sizeEstimated = true;  // no end marker: cut or damaged
  return std::min(pos, reader.Limit());
}

bool ConfirmRaf(ProbeContext& ctx) {
  return HasText(ctx.firstSector, 0, "FUJIFILMCCD-RAW ");
}

uint64_t SizeRaf(ProbeContext& ctx) {
  if (!ConfirmRaf(ctx)) return 0;
  const ByteSpan s = ctx.firstSector;
  uint64_t end = 0;
  for (size_t at : {size_t{84}, size_t{92}, size_t{100}}) {
    const uint64_t offset = BeU32(s, at), length = BeU32(s, at + 4);
    if (offset != 0 && length != 0) end = std::max(end, offset + length);
  }
  return end < 108 ? 0 : CapToAvailable(ctx, end);
}

bool ConfirmPsp(ProbeContext& ctx) {
  const ByteSpan s = ctx.firstSector;
  const uint16_t major = LeU16(s, 32);
  return HasText(s, 0, "Paint Shop Pro Image File\n\x1A") && major >= 3 && major <= 30 && HasText(s, 36, "~BK");
}

uint64_t SizePsp(ProbeContext& ctx) {
  if (!ConfirmPsp(ctx)) return 0;
  // Version 3 block headers carry an initial-data length before the total length.
  const bool old = LeU16(ctx.firstSector, 32) < 4;
  const size_t headerBytes = old ? 14 : 10;
  ProbeReader reader(ctx);
  uint64_t pos = 36, blocks = 0;
  while (pos < reader.Limit()) {
    const ByteSpan h = reader.Read(pos, headerBytes);
    if (h.size() < headerBytes || !HasText(h, 0, std::string_view("~BK\0", 4))) break;
    const uint64_t next = pos + headerBytes + LeU32(h, old ? 10 : 6);
    if (next > reader.Limit()) {
      ctx.sizeEstimated = true;
      return reader.Limit();
    }
    pos = next;
    ++blocks;
  }
  return blocks == 0 ? 0 : pos;
}

}  // namespace torvane::probes
