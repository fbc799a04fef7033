#include "raw/probes/probe_reader.h"

#include <algorithm>
#include <cstring>

namespace torvane::probes {
namespace {

// A read that starts a new window reads at least this much ahead, so that a probe walking
// small records does not read sector by sector. Each window that goes on where the last one
// ended doubles it, up to kMaxReadPiece: a probe walking a large file soon reads in large
// pieces, one that looks at a few headers of a small file reads little.
constexpr size_t kReadAhead = 8 * 1024;

uint32_t SectorBytes(const ProbeContext& ctx) {
  const uint32_t bps = ctx.bytesPerSector;
  return bps >= 512 && bps <= 65536 && IsPowerOfTwo(bps) ? bps : 512;
}

}  // namespace

bool HasText(ByteSpan data, size_t offset, std::string_view text) {
  if (offset > data.size() || data.size() - offset < text.size()) return false;
  return text.empty() || std::memcmp(data.data() + offset, text.data(), text.size()) == 0;
}

uint64_t AvailableBytes(const ProbeContext& ctx) {
  if (ctx.read == nullptr || ctx.bytesAvailable == 0) return ctx.firstSector.size();
  return ctx.bytesAvailable;
}

uint64_t CapToAvailable(ProbeContext& ctx, uint64_t size) {
  const uint64_t available = AvailableBytes(ctx);
  if (size <= available) return size;
  ctx.sizeEstimated = true;
  return available;
}

ProbeReader::ProbeReader(const ProbeContext& ctx, uint64_t limit)
    : ctx_(ctx), limit_(std::min(limit, AvailableBytes(ctx))), readAhead_(kReadAhead) {}

bool ProbeReader::Fill(uint64_t offset, size_t size) {
  const uint64_t bps = SectorBytes(ctx_);
  const uint64_t start = offset - offset % bps;
  const uint64_t end = offset + size;  // offset + size <= limit_, checked by the caller
  const auto plus = [](uint64_t a, uint64_t b) { return a > UINT64_MAX - b ? UINT64_MAX : a + b; };
  const uint64_t limitEnd = limit_ % bps == 0 ? limit_ : plus(limit_ - limit_ % bps, bps);
  if (bufferBytes_ != 0 && start <= bufferStart_ + bufferBytes_ && start >= bufferStart_)
    readAhead_ = std::min<size_t>(readAhead_ * 2, kMaxReadPiece);
  const uint64_t wanted = std::min<uint64_t>(std::max<uint64_t>(end, plus(start, readAhead_)), limitEnd);
  const uint64_t cap = plus(start, kMaxReadPiece + bps);  // an unaligned largest piece still fits
  const uint64_t needSectors = (end - start + bps - 1) / bps;
  uint64_t sectors = (std::min(wanted, cap) - start + bps - 1) / bps;
  if (capacity_ < sectors * bps) {
    // Most probes read a few records: the buffer starts at the read-ahead and grows to the
    // largest piece only for the probes that ask for it.
    capacity_ = static_cast<size_t>(std::max<uint64_t>(sectors * bps, kReadAhead + bps));
    buffer_.reset(new std::byte[capacity_]);
  }
  uint64_t sector = 0;
  if (!CheckedAdd(ctx_.sector, start / bps, sector)) return false;
  ++readCalls_;
  bool ok = (*ctx_.read)(sector, static_cast<uint32_t>(sectors), buffer_.get());
  if (!ok && sectors > needSectors) {
    // The read-ahead may run into unreadable sectors the probe does not need.
    sectors = needSectors;
    ++readCalls_;
    ok = (*ctx_.read)(sector, static_cast<uint32_t>(sectors), buffer_.get());
  }
  if (!ok) {
    bufferBytes_ = 0;
    return false;
  }
  bufferStart_ = start;
  bufferBytes_ = static_cast<size_t>(std::min<uint64_t>(sectors * bps, limit_ - start));
  return true;
}

ByteSpan ProbeReader::Read(uint64_t offset, size_t size) {
  if (offset >= limit_) return {};
  size = static_cast<size_t>(std::min<uint64_t>({size, kMaxReadPiece, limit_ - offset}));
  if (size == 0) return {};
  const ByteSpan first = ctx_.firstSector;
  if (offset + size <= first.size()) return first.subspan(static_cast<size_t>(offset), size);
  if (ctx_.read == nullptr || !*ctx_.read) return {};
  const bool held = bufferBytes_ != 0 && offset >= bufferStart_ && offset + size <= bufferStart_ + bufferBytes_;
  if (!held && !Fill(offset, size)) return {};
  const ByteSpan window(buffer_.get(), bufferBytes_);
  const size_t at = static_cast<size_t>(offset - bufferStart_);
  return window.subspan(at, std::min(size, bufferBytes_ - at));
}

bool ProbeReader::ReadExact(uint64_t offset, MutableByteSpan out) {
  if (out.size() > kMaxReadPiece) return false;
  const ByteSpan got = Read(offset, out.size());
  if (got.size() != out.size()) return false;
  if (!out.empty()) std::memmove(out.data(), got.data(), out.size());
  return true;
}

uint64_t ProbeReader::Find(std::string_view pattern, uint64_t from, uint64_t to) {
  constexpr uint64_t kNotFound = UINT64_MAX;
  if (pattern.empty() || pattern.size() > 64) return kNotFound;
  to = std::min(to, limit_);
  while (from < to && to - from >= pattern.size()) {
    const ByteSpan piece = Read(from, static_cast<size_t>(std::min<uint64_t>(kMaxReadPiece, to - from)));
    if (piece.size() < pattern.size()) return kNotFound;
    const void* hit = memmem(piece.data(), piece.size(), pattern.data(), pattern.size());
    if (hit != nullptr) return from + static_cast<uint64_t>(static_cast<const std::byte*>(hit) - piece.data());
    if (piece.size() == pattern.size()) break;
    from += piece.size() - (pattern.size() - 1);  // a match across the seam is found next time
  }
  return kNotFound;
}

uint64_t ProbeReader::FindLast(std::string_view pattern, uint64_t from, uint64_t to) {
  constexpr uint64_t kNotFound = UINT64_MAX;
  if (pattern.empty() || pattern.size() > 64) return kNotFound;
  to = std::min(to, limit_);
  while (from < to && to - from >= pattern.size()) {
    const uint64_t size = std::min<uint64_t>(kMaxReadPiece, to - from);
    const uint64_t start = to - size;
    const ByteSpan piece = Read(start, static_cast<size_t>(size));
    if (piece.size() != size) return kNotFound;
    for (size_t i = piece.size() - pattern.size() + 1; i-- > 0;)
      if (std::memcmp(piece.data() + i, pattern.data(), pattern.size()) == 0) return start + i;
    if (start == from) break;
    to = start + pattern.size() - 1;
  }
  return kNotFound;
}

namespace {

// Length of the valid UTF-8 sequence at text[i], or 0.
size_t Utf8Length(std::string_view text, size_t i) {
  const auto b = [&](size_t k) { return static_cast<uint8_t>(text[k]); };
  const uint8_t c = b(i);
  size_t n = 0;
  uint32_t cp = 0;
  if (c < 0x80) return 1;
  if (c >= 0xC2 && c <= 0xDF) {
    n = 2;
    cp = c & 0x1F;
  } else if (c >= 0xE0 && c <= 0xEF) {
    n = 3;
    cp = c & 0x0F;
  } else if (c >= 0xF0 && c <= 0xF4) {
    n = 4;
    cp = c & 0x07;
  } else {
    return 0;
  }
  if (text.size() - i < n) return 0;
  for (size_t k = 1; k < n; ++k) {
    if ((b(i + k) & 0xC0) != 0x80) return 0;
    cp = (cp << 6) | (b(i + k) & 0x3F);
  }
  if ((n == 3 && cp < 0x800) || (n == 4 && (cp < 0x10000 || cp > 0x10FFFF))) return 0;  // overlong, too big
  if (cp >= 0xD800 && cp <= 0xDFFF) return 0;                                           // surrogates
  if (cp >= 0x80 && cp < 0xA0) return 0;                                                // C1 controls
  return n;
}

}  // namespace

std::string SanitizeNameSuffix(std::string_view text, size_t maxBytes) {
  std::string out;
  out.reserve(std::min(text.size(), maxBytes));
  for (size_t i = 0; i < text.size();) {
    const size_t n = Utf8Length(text, i);
    if (n == 0) {
      out += '_';
      ++i;
      continue;
    }
    if (n == 1) {
      char c = text[i];
      if (static_cast<uint8_t>(c) < 0x20 || c == 0x7F ||
          std::string_view("/\\<>:\"|?*").find(c) != std::string_view::npos)
        c = '_';
      const bool leading = out.empty() && (c == '.' || c == ' ');
      const bool repeatedDot = c == '.' && !out.empty() && out.back() == '.';
      if (!leading && !repeatedDot) out += c;
    } else {
      out.append(text.substr(i, n));
    }
    i += n;
  }
  // Cut at a character boundary, then drop what a name may not end with.
  if (out.size() > maxBytes) {
    size_t cut = maxBytes;
    while (cut > 0 && (static_cast<uint8_t>(out[cut]) & 0xC0) == 0x80) --cut;
    out.resize(cut);
  }
  while (!out.empty() && (out.back() == '.' || out.back() == ' ')) out.pop_back();
  return out;
}

size_t NameSuffixRoom(std::string_view extension) {
  const size_t used = kRawNumberDigits + extension.size();
  return used >= kMaxFileNameBytes ? 0 : kMaxFileNameBytes - used;
}

std::string NameSuffixFor(std::string_view text, const FileTypeEntry& entry) {
  return SanitizeNameSuffix(text, NameSuffixRoom(entry.extension));
}

}  // namespace torvane::probes
