#include "explorer/hex_rows.h"

#include <algorithm>
#include <cstdio>

#include "recovery/content_reader.h"

namespace torvane::explorer {
namespace {

// Copies the delivered bytes into the sector buffer, never past its end.
class SectorSink final : public ReaderSink {
 public:
  SectorSink(std::vector<uint8_t>& buffer, size_t length) : buffer_(buffer), length_(length) {}
  bool WriteChunk(std::span<const std::byte> data) override {
    const size_t n = std::min(data.size(), length_ - filled_);
    std::copy_n(reinterpret_cast<const uint8_t*>(data.data()), n, buffer_.begin() + static_cast<ptrdiff_t>(filled_));
    filled_ += n;
    return filled_ < length_;
  }
  size_t Filled() const { return filled_; }

 private:
  std::vector<uint8_t>& buffer_;
  size_t length_, filled_ = 0;
};

void AppendLatin1(std::string& out, uint8_t b) {
  if (b < 0x20 || (b >= 0x80 && b <= 0x9F)) {
    out += '.';
  } else if (b < 0x80) {
    out += static_cast<char>(b);
  } else {
    out += static_cast<char>(0xC0 | (b >> 6));
    out += static_cast<char>(0x80 | (b & 0x3F));
  }
}

}  // namespace

std::string FormatHexRow(const HexRow& row) {
  char offset[24];
  std::snprintf(offset, sizeof offset, "%010llX", static_cast<unsigned long long>(row.offset));
  std::string out = offset;
  out += "  ";
  for (uint32_t i = 0; i < kHexRowBytes; ++i) {
    if (i == 8) out += ' ';
    if (i >= row.count) {
      out += "   ";
    } else if (!row.readable[i]) {
      out += "?? ";
    } else {
      char hex[4];
      std::snprintf(hex, sizeof hex, "%02X ", row.bytes[i]);
      out += hex;
    }
  }
  out += ' ';
  for (uint32_t i = 0; i < kHexRowBytes; ++i) {
    if (i >= row.count)
      out += ' ';
    else if (!row.readable[i])
      out += '?';
    else
      AppendLatin1(out, row.bytes[i]);
  }
  return out;
}

std::string HexHeader(const std::string& offsetTitle) {
  std::string out = offsetTitle;
  out.resize(std::max<size_t>(out.size(), 10), ' ');
  return out + "  0  1  2  3  4  5  6  7   8  9  A  B  C  D  E  F";
}

HexRows::HexRows(uint64_t size, uint32_t sectorBytes, HexRangeReader reader)
    : size_(size),
      rows_(size / kHexRowBytes + (size % kHexRowBytes != 0 ? 1 : 0)),
      scale_(HexScrollScale(rows_)),
      sectorBytes_(sectorBytes == 0 || sectorBytes % kHexRowBytes != 0 ? 512 : sectorBytes),
      reader_(std::move(reader)),
      buffer_(sectorBytes_),
      readable_(sectorBytes_) {}

HexRows HexRows::ForItem(ReaderContext& ctx, const FileEntry& item) {
  // The reader context outlives the rows: the hex view is closed before its volume is.
  ReaderContext* context = &ctx;
  return HexRows(item.size, ctx.geometry.bytesPerSector,
                 [context, item](uint64_t first, uint64_t last, ReaderSink& sink) {
                   return recovery::ReadItemRange(*context, item, first, last, sink);
                 });
}

int HexRows::ScrollPosition(uint64_t row) const {
  return static_cast<int>(std::min(row, rows_) / scale_);
}

uint64_t HexRows::RowAtScrollPosition(int position) const {
  if (rows_ == 0 || position <= 0) return 0;
  return std::min(static_cast<uint64_t>(position) * scale_, rows_ - 1);
}

bool HexRows::LoadSector(uint64_t sector) {
  if (sector == cachedSector_) return true;
  cachedSector_ = UINT64_MAX;
  const uint64_t first = sector * sectorBytes_;
  const uint64_t length = std::min<uint64_t>(sectorBytes_, size_ - first);
  std::fill(readable_.begin(), readable_.end(), false);
  SectorSink sink(buffer_, static_cast<size_t>(length));
  ++reads_;
  const ReadOutcome outcome = reader_(first, first + length - 1, sink);
  // Only the bytes delivered count, less those the reader could not read (zeros in their
  // place); a read that fails outright leaves every byte unreadable.
  std::fill_n(readable_.begin(), sink.Filled(), true);
  for (const auto& r : outcome.unreadableRanges) {
    const uint64_t from = std::max(r.offset, first), to = std::min(r.offset + r.length, first + length);
    for (uint64_t at = from; at < to; ++at) readable_[at - first] = false;
  }
  if (!outcome.error.empty() && sink.Filled() == 0) return false;
  cachedSector_ = sector;
  return true;
}

HexRow HexRows::Row(uint64_t row) {
  HexRow out;
  if (row >= rows_) return out;
  out.offset = row * kHexRowBytes;
  out.count = static_cast<uint32_t>(std::min<uint64_t>(kHexRowBytes, size_ - out.offset));
  const uint64_t sector = out.offset / sectorBytes_;
  if (!LoadSector(sector)) return out;  // readable stays false: "??"
  const size_t at = static_cast<size_t>(out.offset % sectorBytes_);
  for (uint32_t i = 0; i < out.count; ++i) {
    out.bytes[i] = buffer_[at + i];
    out.readable[i] = readable_[at + i];
  }
  return out;
}

}  // namespace torvane::explorer
