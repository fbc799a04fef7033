#include "raw/probes/stream_probes.h"

#include <algorithm>
#include <string_view>

#include "raw/probes/probe_reader.h"
#include "util/text.h"

namespace torvane::probes {
namespace {

using namespace std::string_view_literals;

// ---------------------------------------------------------------------------------------------
// MP3
// ---------------------------------------------------------------------------------------------

constexpr uint16_t kBitrates[5][16] = {
    {0, 32, 64, 96, 128, 160, 192, 224, 256, 288, 320, 352, 384, 416, 448, 0},  // MPEG-1 layer I
    {0, 32, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320, 384, 0},     // MPEG-1 layer II
    {0, 32, 40, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320, 0},      // MPEG-1 layer III
    {0, 32, 48, 56, 64, 80, 96, 112, 128, 144, 160, 176, 192, 224, 256, 0},     // MPEG-2/2.5 layer I
    {0, 8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160, 0},          // MPEG-2/2.5 layer II, III
};
constexpr uint32_t kSampleRates[4][3] = {
    {11025, 12000, 8000},   // MPEG-2.5
    {0, 0, 0},              // reserved
    {22050, 24000, 16000},  // MPEG-2
    {44100, 48000, 32000},  // MPEG-1
};

// The bits every frame of one stream shares: sync, version, layer, sample rate.
constexpr uint32_t kStreamBits = 0xFFFE0C00;

uint32_t Syncsafe(ByteSpan b, size_t at) {
  uint32_t v = 0;
  for (size_t i = 0; i < 4; ++i) {
    const uint8_t c = LeU8(b, at + i);
    if (c & 0x80) return UINT32_MAX;
    v = (v << 7) | c;
  }
  return v;
}

// A text frame's content (encoding byte first) as UTF-8, up to its terminator.
std::string Id3Text(ByteSpan body) {
  if (body.empty()) return {};
  const uint8_t encoding = LeU8(body, 0);
  body = body.subspan(1);
  if (encoding == 0 || encoding == 3) {
    std::string_view text(reinterpret_cast<const char*>(body.data()), body.size());
    text = text.substr(0, text.find('\0'));
    return encoding == 3 ? std::string(text) : ToUtf8(FromLatin1(text));
  }
  if (encoding != 1 && encoding != 2) return {};
  bool bigEndian = encoding == 2;
  size_t i = 0;
  if (HasText(body, 0, "\xFF\xFE")) {
    bigEndian = false;
    i = 2;
  } else if (HasText(body, 0, "\xFE\xFF")) {
    bigEndian = true;
    i = 2;
  }
  std::u16string text;
  for (; i + 1 < body.size(); i += 2) {
    const char16_t c = static_cast<char16_t>(bigEndian ? BeU16(body, i) : LeU16(body, i));
    if (c == 0) break;
    text += c;
  }
  return ToUtf8(text);
}

struct Id3Tag {
  uint64_t end = 0;  // offset just past the tag (and its footer)
};

// The ID3v2 header at the start: false when there is none.
bool ReadId3Header(ByteSpan first, Id3Tag& tag) {
  if (!HasText(first, 0, "ID3") || first.size() < 10) return false;
  const uint8_t version = LeU8(first, 3), revision = LeU8(first, 4), flags = LeU8(first, 5);
  if (version < 2 || version > 4 || revision == 0xFF) return false;
  const uint32_t size = Syncsafe(first, 6);
  if (size == UINT32_MAX) return false;
  tag.end = 10 + uint64_t{size} + (version == 4 && (flags & 0x10) ? 10 : 0);
  return true;
}

bool IsFrameIdChar(uint8_t c) {
  return (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
}

}  // namespace

uint32_t MpegAudioFrameLength(uint32_t h) {
  if ((h & 0xFFE00000u) != 0xFFE00000u) return 0;
  const uint32_t version = (h >> 19) & 3, layer = (h >> 17) & 3, bitrateIndex = (h >> 12) & 15,
                 rateIndex = (h >> 10) & 3, padding = (h >> 9) & 1;
  if (version == 1 || layer == 0 || rateIndex == 3) return 0;
  const bool mpeg1 = version == 3;
  // layer bits: 3 = I, 2 = II, 1 = III
  const size_t table = mpeg1 ? 3 - layer : (layer == 3 ? 3 : 4);
  const uint32_t bitrate = kBitrates[table][bitrateIndex] * 1000u;
  const uint32_t rate = kSampleRates[version][rateIndex];
  if (bitrate == 0 || rate == 0) return 0;
  if (layer == 3) return (12 * bitrate / rate + padding) * 4;
  if (layer == 1 && !mpeg1) return 72 * bitrate / rate + padding;
  return 144 * bitrate / rate + padding;
}

std::string Id3ArtistTitle(ByteSpan tag) {
  Id3Tag header;
  if (!ReadId3Header(tag, header)) return {};
  const uint8_t version = LeU8(tag, 3), flags = LeU8(tag, 5);
  if (version == 3 && (flags & 0x80)) return {};  // unsynchronised as a whole: frames not readable as they stand
  const size_t end = static_cast<size_t>(std::min<uint64_t>(header.end, tag.size()));
  size_t pos = 10;
  if (version >= 3 && (flags & 0x40)) {  // extended header
    const uint32_t ext = version == 3 ? BeU32(tag, 10) + 4 : Syncsafe(tag, 10);
    if (ext == UINT32_MAX || ext > end) return {};
    pos += ext;
  }
  const size_t idSize = version == 2 ? 3 : 4, headerSize = version == 2 ? 6 : 10;
  const std::string_view artistId = version == 2 ? "TP1"sv : "TPE1"sv;
  const std::string_view titleId = version == 2 ? "TT2"sv : "TIT2"sv;
  std::string artist, title;
  while (pos + headerSize <= end) {
    bool valid = true;
    for (size_t i = 0; i < idSize; ++i) valid = valid && IsFrameIdChar(LeU8(tag, pos + i));
    if (!valid) break;  // padding or damage
    uint64_t size = 0;
    if (version == 2)
      size = (uint64_t{LeU8(tag, pos + 3)} << 16) | (uint64_t{LeU8(tag, pos + 4)} << 8) | LeU8(tag, pos + 5);
    else if (version == 3)
      size = BeU32(tag, pos + 4);
    else if ((size = Syncsafe(tag, pos + 4)) == UINT32_MAX)
      break;
    const size_t bodyAt = pos + headerSize;
    if (size > end - bodyAt) break;
    const std::string_view id(reinterpret_cast<const char*>(tag.data()) + pos, idSize);
    const ByteSpan body = tag.subspan(bodyAt, std::min<size_t>(static_cast<size_t>(size), 1024));
    if (id == artistId && artist.empty()) artist = Id3Text(body);
    if (id == titleId && title.empty()) title = Id3Text(body);
    if (!artist.empty() && !title.empty()) break;
    pos = bodyAt + static_cast<size_t>(size);
  }
  if (artist.empty()) return title;
  if (title.empty()) return artist;
  return artist + " - " + title;
}

bool ConfirmMp3(ProbeContext& ctx) {
  Id3Tag tag;
  return ReadId3Header(ctx.firstSector, tag) || MpegAudioFrameLength(BeU32(ctx.firstSector, 0)) != 0;
}

uint64_t SizeMp3(ProbeContext& ctx) {
  ProbeReader reader(ctx);
  uint64_t pos = 0;
  Id3Tag tag;
  const bool tagged = ReadId3Header(ctx.firstSector, tag);
  if (tagged) {
    const std::string suffix =
        Id3ArtistTitle(reader.Read(0, static_cast<size_t>(std::min<uint64_t>(tag.end, 256 * 1024))));
    if (!suffix.empty())
      ctx.nameSuffix =
          ctx.entry != nullptr ? NameSuffixFor(suffix, *ctx.entry) : SanitizeNameSuffix(suffix, NameSuffixRoom(".mp3"));
    // The first frame within the search range after the tag.
    const ByteSpan after = reader.Read(tag.end, kMp3SyncSearch + 3);
    pos = UINT64_MAX;
    for (size_t i = 0; i + 4 <= after.size(); ++i) {
      if (LeU8(after, i) == 0xFF && MpegAudioFrameLength(BeU32(after, i)) != 0) {
        pos = tag.end + i;
        break;
      }
    }
    if (pos == UINT64_MAX) {
      ctx.resultCode = kProbeResultNoSkip;
      return CapToAvailable(ctx, (tag.end + 511) / 512 * 512);
    }
  }

  uint32_t frames = 0;
  uint32_t stream = 0;
  for (;;) {
    const ByteSpan h = reader.Read(pos, 4);
    if (h.size() < 4) break;
    const uint32_t header = BeU32(h, 0);
    const uint32_t length = MpegAudioFrameLength(header);
    if (length == 0 || (frames != 0 && (header & kStreamBits) != stream)) break;
    stream = header & kStreamBits;
    ++frames;
    pos += length;
  }
  if (frames < kMp3MinFrames) return 0;
  if (HasText(reader.Read(pos, 4), 0, "TAG+")) pos += 227;
  if (HasText(reader.Read(pos, 3), 0, "TAG")) pos += 128;
  return CapToAvailable(ctx, pos);
}

// ---------------------------------------------------------------------------------------------
// MPEG program stream
// ---------------------------------------------------------------------------------------------

namespace {

constexpr uint32_t kPsMinPacks = 2;

// The length of the pack, header or packet at the start of `h`; 0 when it is none; `end`
// set at the program end code.
uint32_t PsItemLength(ByteSpan h, bool& end) {
  if (!HasText(h, 0, "\0\0\x01"sv) || h.size() < 4) return 0;
  const uint8_t code = LeU8(h, 3);
  if (code == 0xB9) {
    end = true;
    return 4;
  }
  if (code == 0xBA) {
    if (h.size() >= 14 && (LeU8(h, 4) & 0xC0) == 0x40) return 14 + (LeU8(h, 13) & 7);  // MPEG-2
    if ((LeU8(h, 4) & 0xF0) == 0x20) return 12;                                        // MPEG-1
    return 0;
  }
  if (code >= 0xBB && h.size() >= 6) return 6 + uint32_t{BeU16(h, 4)};
  return 0;
}

}  // namespace

bool ConfirmMpegPs(ProbeContext& ctx) {
  bool end = false;
  return HasText(ctx.firstSector, 0, "\0\0\x01\xBA"sv) && PsItemLength(ctx.firstSector, end) != 0;
}

uint64_t SizeMpegPs(ProbeContext& ctx) {
  ProbeReader reader(ctx);
  uint64_t pos = 0;
  uint32_t packs = 0;
  bool end = false;
  while (!end) {
    const ByteSpan h = reader.Read(pos, 14);
    const uint32_t length = PsItemLength(h, end);
    if (length == 0) break;
    if (LeU8(h, 3) == 0xBA) ++packs;
    pos += length;
  }
  if (packs < kPsMinPacks) return 0;
  return CapToAvailable(ctx, pos);
}

// ---------------------------------------------------------------------------------------------
// MPEG transport stream
// ---------------------------------------------------------------------------------------------

namespace {

constexpr uint64_t kTsMinPackets = 4;

struct TsLayout {
  uint32_t stride = 0;  // 188 or 192
  uint32_t sync = 0;    // where the sync byte lies in a packet: 0, or 4 after a time stamp
};

// The packet layout the first sector shows: three sync bytes a packet apart.
TsLayout DetectTs(ByteSpan first) {
  const auto syncAt = [&](size_t at) { return at < first.size() && LeU8(first, at) == 0x47; };
  for (const TsLayout layout : {TsLayout{188, 0}, TsLayout{192, 4}, TsLayout{192, 0}})
    if (syncAt(layout.sync) && syncAt(layout.sync + layout.stride) && syncAt(layout.sync + 2 * layout.stride))
      return layout;
  return {};
}

}  // namespace

bool ConfirmMpegTs(ProbeContext& ctx) {
  return DetectTs(ctx.firstSector).stride != 0;
}

uint64_t SizeMpegTs(ProbeContext& ctx) {
  const TsLayout layout = DetectTs(ctx.firstSector);
  if (layout.stride == 0) return 0;
  ProbeReader reader(ctx);
  uint64_t packets = 0;
  // Whole packets in pieces; a piece is a whole number of packets.
  const size_t piece = kMaxReadPiece / layout.stride * layout.stride;
  for (uint64_t pos = 0;;) {
    const ByteSpan data = reader.Read(pos, piece);
    const size_t whole = data.size() / layout.stride;
    size_t i = 0;
    while (i < whole && LeU8(data, i * layout.stride + layout.sync) == 0x47) ++i;
    packets += i;
    if (i < whole || data.size() != piece) break;
    pos += piece;
  }
  if (packets < kTsMinPackets) return 0;
  return CapToAvailable(ctx, packets * layout.stride);
}

// ---------------------------------------------------------------------------------------------
// MXF
// ---------------------------------------------------------------------------------------------

namespace {

constexpr std::string_view kKeyPrefix = "\x06\x0E\x2B\x34"sv;
// Partition packs: 06 0E 2B 34 02 05 01 01 0D 01 02 01 01 kk, kk 02 header, 03 body, 04 footer.
constexpr std::string_view kPartitionPack = "\x06\x0E\x2B\x34\x02\x05\x01\x01\x0D\x01\x02\x01\x01"sv;
constexpr uint8_t kRandomIndexPack = 0x11;

}  // namespace

bool ConfirmMxf(ProbeContext& ctx) {
  return HasText(ctx.firstSector, 0, kPartitionPack) && LeU8(ctx.firstSector, 13) == 0x02;
}

uint64_t SizeMxf(ProbeContext& ctx) {
  if (!ConfirmMxf(ctx)) return 0;
  ProbeReader reader(ctx);
  uint64_t pos = 0;
  for (;;) {
    const ByteSpan h = reader.Read(pos, 25);
    if (h.size() < 17 || !HasText(h, 0, kKeyPrefix)) break;
    const uint8_t first = LeU8(h, 16);
    uint64_t length = first;
    size_t header = 17;
    if (first & 0x80) {
      const size_t n = first & 0x7F;
      if (n == 0 || n > 8 || h.size() < 17 + n) break;
      length = 0;
      for (size_t i = 0; i < n; ++i) length = (length << 8) | LeU8(h, 17 + i);
      header += n;
    }
    uint64_t next = 0;
    if (!CheckedAdd(pos, header, next) || !CheckedAdd(next, length, next)) break;
    if (next > reader.Limit()) {
      // An item running past what the volume holds: damaged, or the stream was cut there.
      // The stream is taken up to the last whole item.
      ctx.sizeEstimated = true;
      break;
    }
    const bool last = HasText(h, 0, kPartitionPack) && LeU8(h, 13) == kRandomIndexPack;
    pos = next;
    if (last) break;
  }
  return pos;
}

}  // namespace torvane::probes
