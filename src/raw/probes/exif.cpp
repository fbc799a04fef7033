#include "raw/probes/exif.h"

#include <algorithm>

namespace torvane::probes {

uint32_t TiffTypeSize(uint16_t type) {
  switch (type) {
    case 1:  // BYTE
    case 2:  // ASCII
    case 6:  // SBYTE
    case 7:  // UNDEFINED
      return 1;
    case 3:  // SHORT
    case 8:  // SSHORT
      return 2;
    case 4:   // LONG
    case 9:   // SLONG
    case 11:  // FLOAT
    case 13:  // IFD
      return 4;
    case 5:   // RATIONAL
    case 10:  // SRATIONAL
    case 12:  // DOUBLE
      return 8;
    default:
      return 0;
  }
}

TiffReader::TiffReader(ByteSpan bytes) : memory_(bytes) {}

TiffReader::TiffReader(ProbeReader& reader, uint64_t base) : reader_(&reader), base_(base) {}

ByteSpan TiffReader::Read(uint64_t offset, size_t size) {
  if (reader_ == nullptr) {
    if (offset >= memory_.size()) return {};
    return memory_.subspan(static_cast<size_t>(offset), std::min<size_t>(size, memory_.size() - offset));
  }
  uint64_t at = 0;
  if (!CheckedAdd(base_, offset, at)) return {};
  return reader_->Read(at, size);
}

uint16_t TiffReader::U16(ByteSpan b, size_t at) const {
  return bigEndian_ ? BeU16(b, at) : LeU16(b, at);
}

uint32_t TiffReader::U32(ByteSpan b, size_t at) const {
  return bigEndian_ ? BeU32(b, at) : LeU32(b, at);
}

bool TiffReader::Open() {
  const ByteSpan h = Read(0, 8);
  if (HasText(h, 0, std::string_view("II*\0", 4)))
    bigEndian_ = false;
  else if (HasText(h, 0, std::string_view("MM\0*", 4)))
    bigEndian_ = true;
  else
    return false;
  firstIfd_ = U32(h, 4);
  return h.size() == 8;
}

bool TiffReader::ReadIfd(uint32_t offset, size_t maxEntries, std::vector<TiffEntry>& entries, uint32_t& next) {
  entries.clear();
  next = 0;
  const ByteSpan countBytes = Read(offset, 2);
  if (countBytes.size() != 2) return false;
  const uint16_t count = U16(countBytes, 0);
  if (count == 0 || count > maxEntries) return false;
  const size_t size = 2 + size_t{count} * 12 + 4;
  const ByteSpan ifd = Read(offset, size);
  if (ifd.size() != size) return false;
  entries.reserve(count);
  for (uint16_t i = 0; i < count; ++i) {
    const size_t at = 2 + size_t{i} * 12;
    TiffEntry e;
    e.tag = U16(ifd, at);
    e.type = U16(ifd, at + 2);
    e.count = U32(ifd, at + 4);
    e.valueField = U32(ifd, at + 8);
    e.entryOffset = static_cast<uint32_t>(offset + at);  // offset + size fits: Read answered it
    entries.push_back(e);
  }
  next = U32(ifd, size - 4);
  return true;
}

uint64_t TiffReader::ValueEnd(const TiffEntry& entry) const {
  const uint64_t bytes = uint64_t{entry.count} * TiffTypeSize(entry.type);
  if (bytes <= 4) return uint64_t{entry.entryOffset} + 12;
  return uint64_t{entry.valueField} + bytes;
}

ByteSpan TiffReader::Value(const TiffEntry& entry, size_t maxBytes) {
  const uint64_t bytes = uint64_t{entry.count} * TiffTypeSize(entry.type);
  if (bytes == 0 || bytes > maxBytes || bytes > kMaxReadPiece) return {};
  const uint64_t at = bytes <= 4 ? uint64_t{entry.entryOffset} + 8 : entry.valueField;
  const ByteSpan value = Read(at, static_cast<size_t>(bytes));
  return value.size() == bytes ? value : ByteSpan{};
}

uint32_t TiffReader::Number(const TiffEntry& entry, uint32_t index) {
  const uint32_t size = TiffTypeSize(entry.type);
  if (index >= entry.count || !(entry.type == 1 || entry.type == 3 || entry.type == 4 || entry.type == 13)) return 0;
  const uint64_t at = uint64_t{index} * size;
  if (uint64_t{entry.count} * size <= 4) {
    const ByteSpan b = Read(uint64_t{entry.entryOffset} + 8 + at, size);
    if (b.size() != size) return 0;
    return size == 1 ? LeU8(b, 0) : size == 2 ? U16(b, 0) : U32(b, 0);
  }
  const ByteSpan b = Read(uint64_t{entry.valueField} + at, size);
  if (b.size() != size) return 0;
  return size == 1 ? LeU8(b, 0) : size == 2 ? U16(b, 0) : U32(b, 0);
}

bool TiffReader::Numbers(const TiffEntry& entry, size_t maxCount, std::vector<uint32_t>& out) {
  out.clear();
  const uint32_t size = TiffTypeSize(entry.type);
  if (!(entry.type == 3 || entry.type == 4 || entry.type == 13) || entry.count > maxCount) return false;
  if (uint64_t{entry.count} * size <= 4) {
    for (uint32_t i = 0; i < entry.count; ++i) out.push_back(Number(entry, i));
    return true;
  }
  out.reserve(entry.count);
  constexpr size_t kPiece = 64 * 1024;
  uint64_t at = entry.valueField;
  for (uint64_t left = uint64_t{entry.count} * size; left != 0;) {
    const size_t n = static_cast<size_t>(std::min<uint64_t>(left, kPiece));
    const ByteSpan piece = Read(at, n);
    if (piece.size() != n) return false;
    for (size_t i = 0; i < n; i += size) out.push_back(size == 2 ? U16(piece, i) : U32(piece, i));
    at += n;
    left -= n;
  }
  return true;
}

std::string TiffReader::Ascii(const TiffEntry& entry) {
  if (entry.type != 2 && entry.type != 7 && entry.type != 1) return {};
  const size_t n = std::min<uint32_t>(entry.count, 255);
  const uint64_t at = entry.count <= 4 ? uint64_t{entry.entryOffset} + 8 : entry.valueField;
  // A count running past the data (damage) still gives the text that is there.
  const ByteSpan value = Read(at, n);
  std::string text;
  for (size_t i = 0; i < value.size() && value[i] != std::byte{0}; ++i) text += static_cast<char>(value[i]);
  while (!text.empty() && text.back() == ' ') text.pop_back();
  return text;
}

bool ParseExifTiff(ByteSpan tiff, ExifInfo& out) {
  out = ExifInfo{};
  TiffReader reader(tiff);
  if (!reader.Open()) return false;
  std::vector<TiffEntry> entries;
  uint32_t next = 0;
  if (!reader.ReadIfd(reader.FirstIfd(), kExifMaxEntries, entries, next)) return false;
  for (const TiffEntry& e : entries) {
    if (e.tag == kTiffTagMake) out.make = reader.Ascii(e);
    if (e.tag == kTiffTagModel) out.model = reader.Ascii(e);
    if (e.tag == kTiffTagOrientation && e.type == 3) {
      const uint32_t o = reader.Number(e, 0);
      out.orientation = o >= 1 && o <= 8 ? static_cast<uint16_t>(o) : 0;
    }
  }
  // The second directory describes the thumbnail.
  if (next != 0 && next != reader.FirstIfd() && reader.ReadIfd(next, kExifMaxEntries, entries, next)) {
    uint32_t offset = 0, length = 0;
    for (const TiffEntry& e : entries) {
      if (e.tag == kTiffTagJpegOffset) offset = reader.Number(e, 0);
      if (e.tag == kTiffTagJpegLength) length = reader.Number(e, 0);
    }
    if (offset != 0 && length != 0 && offset < tiff.size() && length <= tiff.size() - offset) {
      out.thumbnailOffset = offset;
      out.thumbnailLength = length;
    }
  }
  return true;
}

bool ParseExifApp1(ByteSpan payload, ExifInfo& out) {
  out = ExifInfo{};
  if (!HasText(payload, 0, std::string_view("Exif\0\0", 6))) return false;
  return ParseExifTiff(payload.subspan(6), out);
}

std::string CameraName(const ExifInfo& info) {
  if (info.make.empty()) return info.model;
  if (info.model.empty()) return info.make;
  // The make's first word ("NIKON" of "NIKON CORPORATION") already opening the model.
  const std::string_view firstWord = std::string_view(info.make).substr(0, info.make.find(' '));
  const std::string_view model = info.model;
  const bool named =
      model.size() >= firstWord.size() &&
      std::equal(firstWord.begin(), firstWord.end(), model.begin(), [](char a, char b) {
        return std::tolower(static_cast<unsigned char>(a)) == std::tolower(static_cast<unsigned char>(b));
      });
  return named ? info.model : info.make + " " + info.model;
}

}  // namespace torvane::probes
