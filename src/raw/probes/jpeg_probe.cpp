#include "raw/probes/jpeg_probe.h"

#include <algorithm>

#include "raw/probes/exif.h"
#include "raw/probes/probe_reader.h"

namespace torvane::probes {
namespace {

constexpr uint64_t kSmallest = 33;        // 32 bytes or less is no picture
constexpr size_t kExifRead = 128 * 1024;  // what is read of an EXIF block
constexpr int kMaxFillBytes = 64;         // FF fill bytes allowed before one marker

void TakeCameraName(ProbeContext& ctx, ByteSpan payload) {
  ExifInfo exif;
  if (!ParseExifApp1(payload, exif)) return;
  const std::string name = CameraName(exif);
  if (name.empty()) return;
  ctx.nameSuffix =
      ctx.entry != nullptr ? NameSuffixFor(name, *ctx.entry) : SanitizeNameSuffix(name, NameSuffixRoom(".jpg"));
}

}  // namespace

uint64_t SizeJpeg(ProbeContext& ctx) {
  const ByteSpan first = ctx.firstSector;
  if (!HasText(first, 0, "\xFF\xD8\xFF") || first.size() < 4) return 0;
  const uint8_t firstMarker = LeU8(first, 3);
  if (firstMarker == 0xC3 || firstMarker == 0xC4) return 0;

  ProbeReader reader(ctx, kJpegCut);
  uint64_t pos = 2;
  bool dqtSeen = false;
  uint64_t scanStart = 0;
  while (scanStart == 0) {
    ByteSpan h = reader.Read(pos, 4);
    if (h.size() < 2 || LeU8(h, 0) != 0xFF) return 0;
    for (int fill = 0; LeU8(h, 1) == 0xFF; ++fill) {
      if (fill == kMaxFillBytes) return 0;
      h = reader.Read(++pos, 4);
      if (h.size() < 2) return 0;
    }
    const uint8_t marker = LeU8(h, 1);
    if (marker == 0x01 || marker == 0xD8 || (marker >= 0xD0 && marker <= 0xD7)) {  // no length
      pos += 2;
      continue;
    }
    if (marker == 0xD9) {  // end before any scan: a tables-only stream
      const uint64_t size = pos + 2;
      return size < kSmallest ? 0 : CapToAvailable(ctx, size);
    }
    if (h.size() < 4) return 0;
    const uint16_t length = BeU16(h, 2);
    if (length < 2) {
      // A zeroed segment: the picture is damaged from here on; keep what came before.
      ctx.resultCode = kProbeResultNoSkip;
      return pos < kSmallest ? 0 : CapToAvailable(ctx, pos);
    }
    if (marker == 0xE0 && HasText(reader.Read(pos + 4, 3), 0, "AVI")) return 0;  // motion-JPEG frame
    if (marker == 0xE1 && ctx.nameSuffix.empty()) {
      const ByteSpan payload = reader.Read(pos + 4, std::min<size_t>(length - 2, kExifRead));
      if (HasText(payload, 0, std::string_view("Exif\0\0", 6)) &&
          (HasText(payload, 6, "MM") || HasText(payload, 6, "II")))
        TakeCameraName(ctx, payload);
    }
    if (marker == 0xDB && !dqtSeen) {
      dqtSeen = true;
      ctx.skipBytes = pos;
    }
    pos += 2 + uint64_t{length};
    if (marker == 0xDA) scanStart = pos;
  }

  // The entropy-coded data escapes every FF, so the first FF D9 after the scan header ends
  // the picture (later scans of a progressive picture lie before it).
  const uint64_t end = reader.Find("\xFF\xD9", scanStart, reader.Limit());
  if (end != UINT64_MAX) return end + 2 < kSmallest ? 0 : CapToAvailable(ctx, end + 2);
  ctx.resultCode = kProbeResultNoSkip;
  ctx.sizeEstimated = true;
  return reader.Limit() < kSmallest ? 0 : reader.Limit();
}

}  // namespace torvane::probes
