#include "fs/ntfs/mft_record.h"

#include <algorithm>

#include "disk/disk_source.h"
#include "util/bytes.h"

namespace torvane::ntfs {
namespace {

constexpr uint32_t kMagicFile = 0x454C4946;  // "FILE"
// Header fields run to 0x2A in every NTFS version; newer versions add the record number at
// 0x2C and move the update-sequence array to 0x30.
constexpr uint32_t kMinUsaOffset = 0x2A;
constexpr uint32_t kRecordNumberEnd = 0x30;
constexpr uint32_t kMinFirstAttribute = 0x30;
constexpr uint32_t kEndMarkerBytes = 4;
// Fixed parts of an attribute header: the common part, resident and non-resident forms.
constexpr uint32_t kCommonHeaderBytes = 0x10;
constexpr uint32_t kResidentHeaderBytes = 0x18;
constexpr uint32_t kNonResidentHeaderBytes = 0x40;
// $FILE_NAME value: parent reference at 0, name length and namespace at 0x40, name at 0x42.
constexpr uint32_t kFileNameLengthAt = 0x40;
constexpr uint32_t kFileNameNamespaceAt = 0x41;
constexpr uint32_t kFileNameTextAt = 0x42;
// Windows limits volume labels to 128 UTF-16 units.
constexpr uint32_t kMaxVolumeNameBytes = 256;

std::u16string DecodeUtf16(ByteSpan bytes) {
  std::u16string text(bytes.size() / 2, u'\0');
  for (size_t i = 0; i < text.size(); ++i) text[i] = static_cast<char16_t>(LeU16(bytes, 2 * i));
  return text;
}

enum class Step { kAttribute, kSkipped, kEnd, kBroken };

// Reads the attribute at `cursor`, the chain ending at `end` (the used size). kSkipped and
// kAttribute move `cursor` to the next attribute; kEnd and kBroken leave it.
Step ReadAttributeAt(ByteSpan record, uint32_t& cursor, uint32_t end, AttributeView& v) {
  if (cursor > end || end - cursor < kEndMarkerBytes) return Step::kBroken;  // no end marker
  const uint32_t type = LeU32(record, cursor);
  if (type == kAttrEnd) return Step::kEnd;
  if (end - cursor < kCommonHeaderBytes) return Step::kBroken;
  const uint32_t length = LeU32(record, cursor + 4);
  // The chain itself is untrustworthy past one of these: stop.
  if (length == 0 || length % 8 != 0 || length > end - cursor) return Step::kBroken;

  const ByteSpan a = record.subspan(cursor, length);
  const uint32_t at = cursor;
  cursor += length;
  const uint8_t residency = LeU8(a, 8);
  if (residency > 1) return Step::kSkipped;
  v = AttributeView{};
  v.type = type;
  v.offset = at;
  v.length = length;
  v.nonResident = residency == 1;
  v.nameLength = LeU8(a, 9);
  v.nameOffset = LeU16(a, 0x0A);
  v.flags = LeU16(a, 0x0C);
  v.id = LeU16(a, 0x0E);

  const uint32_t headerBytes = v.nonResident ? kNonResidentHeaderBytes : kResidentHeaderBytes;
  if (length < headerBytes) return Step::kSkipped;
  if (v.nameLength != 0 && (v.nameOffset < headerBytes || v.nameOffset + 2u * v.nameLength > length))
    return Step::kSkipped;

  if (!v.nonResident) {
    v.valueLength = LeU32(a, 0x10);
    v.valueOffset = LeU16(a, 0x14);
    if (v.valueLength != 0 &&
        (v.valueOffset < kResidentHeaderBytes || v.valueOffset > length || v.valueLength > length - v.valueOffset))
      return Step::kSkipped;
    return Step::kAttribute;
  }
  v.lowestVcn = LeU64(a, 0x10);
  v.highestVcn = LeU64(a, 0x18);
  v.runlistOffset = LeU16(a, 0x20);
  v.compressionUnit = LeU8(a, 0x22);
  v.allocatedSize = LeU64(a, 0x28);
  v.realSize = LeU64(a, 0x30);
  v.initializedSize = LeU64(a, 0x38);
  // The run list needs at least its terminating zero byte inside the attribute.
  if (v.runlistOffset < kNonResidentHeaderBytes || v.runlistOffset >= length) return Step::kSkipped;
  return Step::kAttribute;
}

// File-name namespaces in order of preference; lower is better.
int NamespaceRank(uint8_t ns) {
  switch (ns) {
    case kNamespaceWin32:
    case kNamespaceWin32AndDos:
      return 0;
    case kNamespacePosix:
      return 1;
    case kNamespaceDos:
      return 2;
    default:
      return 3;
  }
}

}  // namespace

bool ApplyFixups(std::span<std::byte> record, uint32_t bytesPerSector) {
  if (!IsPowerOfTwo(bytesPerSector) || bytesPerSector < 256 || bytesPerSector > 4096) return false;
  const size_t size = record.size();
  if (size == 0 || size % bytesPerSector != 0) return false;
  const ByteSpan r(record);
  if (LeU32(r, 0) != kMagicFile) return false;
  const uint32_t usaOffset = LeU16(r, 0x04);
  const uint32_t usaCount = LeU16(r, 0x06);
  const uint32_t firstAttribute = LeU16(r, 0x14);
  const size_t sectors = size / bytesPerSector;
  if (usaCount != sectors + 1) return false;
  if (usaOffset < kMinUsaOffset || usaOffset % 2 != 0) return false;
  // The array sits in the header, ahead of the attributes and of the first sector's tail.
  const uint32_t usaEnd = usaOffset + 2 * usaCount;
  if (usaEnd > firstAttribute || usaEnd > bytesPerSector - 2) return false;

  // Check every sector before changing any, so a torn record is left as read.
  const uint16_t sequence = LeU16(r, usaOffset);
  for (size_t i = 1; i <= sectors; ++i)
    if (LeU16(r, i * bytesPerSector - 2) != sequence) return false;
  for (size_t i = 1; i <= sectors; ++i) StoreLeU16(record, i * bytesPerSector - 2, LeU16(r, usaOffset + 2 * i));
  return true;
}

RecordRead ReadRecordAt(DiskSource& source, uint64_t sector, uint32_t recordBytes, std::vector<std::byte>& out) {
  if (recordBytes < 256 || recordBytes > 65536 || !IsPowerOfTwo(recordBytes)) return RecordRead::kUnreadable;
  out.resize(std::max<uint32_t>(recordBytes, 512));
  if (source.ReadSectors(out.data(), static_cast<uint32_t>(out.size() / 512), sector) != 1)
    return RecordRead::kUnreadable;
  out.resize(recordBytes);
  return ApplyFixups(out, 512) ? RecordRead::kOk : RecordRead::kDamaged;
}

bool AttributeListIterator::Next(AttributeListEntry& out) {
  constexpr size_t kFixedBytes = 0x1A;
  if (cursor_ > value_.size() || value_.size() - cursor_ < kFixedBytes) return false;
  const ByteSpan v = value_.subspan(cursor_);
  out = AttributeListEntry{};
  out.type = LeU32(v, 0);
  out.length = LeU16(v, 4);
  if (out.type == kAttrEnd || out.length < kFixedBytes || out.length > v.size()) {
    cursor_ = value_.size() + 1;
    return false;
  }
  out.nameLength = LeU8(v, 6);
  out.lowestVcn = LeU64(v, 8);
  out.reference = LeU64(v, 0x10);
  out.id = LeU16(v, 0x18);
  cursor_ += out.length;
  return true;
}

bool ParseMftRecordHeader(std::span<const std::byte> record, MftRecordHeader& h) {
  if (record.size() < kRecordNumberEnd || LeU32(record, 0) != kMagicFile) return false;
  h = MftRecordHeader{};
  const uint16_t usaOffset = LeU16(record, 0x04);
  h.sequence = LeU16(record, 0x10);
  h.linkCount = LeU16(record, 0x12);
  h.firstAttributeOffset = LeU16(record, 0x14);
  h.flags = LeU16(record, 0x16);
  h.usedSize = LeU32(record, 0x18);
  h.allocatedSize = LeU32(record, 0x1C);
  h.baseRecord = LeU64(record, 0x20);
  if (usaOffset >= kRecordNumberEnd && h.firstAttributeOffset >= kRecordNumberEnd) {
    h.recordNumber = LeU32(record, 0x2C);
    h.hasRecordNumber = true;
  }
  if (h.usedSize > h.allocatedSize || h.allocatedSize > record.size()) return false;
  if (h.firstAttributeOffset % 8 != 0 || h.firstAttributeOffset < kMinFirstAttribute) return false;
  return h.firstAttributeOffset <= h.usedSize && h.usedSize - h.firstAttributeOffset >= kEndMarkerBytes;
}

AttributeIterator::AttributeIterator(std::span<const std::byte> record) : record_(record) {
  MftRecordHeader h;
  if (!ParseMftRecordHeader(record, h)) {
    done_ = damaged_ = true;
    return;
  }
  cursor_ = h.firstAttributeOffset;
  end_ = h.usedSize;
}

bool AttributeIterator::Next(AttributeView& out) {
  while (!done_) {
    switch (ReadAttributeAt(record_, cursor_, end_, out)) {
      case Step::kAttribute:
        return true;
      case Step::kSkipped:
        damaged_ = true;
        break;
      case Step::kEnd:
        done_ = true;
        break;
      case Step::kBroken:
        done_ = damaged_ = true;
        break;
    }
  }
  return false;
}

bool NextAttribute(std::span<const std::byte> record, uint32_t& cursor, AttributeView& out) {
  MftRecordHeader h;
  if (!ParseMftRecordHeader(record, h)) return false;
  if (cursor == 0) cursor = h.firstAttributeOffset;
  if (cursor < h.firstAttributeOffset) return false;
  for (;;) {
    switch (ReadAttributeAt(record, cursor, h.usedSize, out)) {
      case Step::kAttribute:
        return true;
      case Step::kSkipped:
        break;
      case Step::kEnd:
      case Step::kBroken:
        return false;
    }
  }
}

std::optional<AttributeView> FindAttribute(std::span<const std::byte> record, uint32_t type, bool unnamedOnly) {
  AttributeIterator it(record);
  AttributeView v;
  while (it.Next(v))
    if (v.type == type && !(unnamedOnly && v.named())) return v;
  return std::nullopt;
}

std::u16string AttributeName(std::span<const std::byte> record, const AttributeView& view) {
  const uint64_t bytes = 2u * view.nameLength;
  if (bytes == 0 || view.offset > record.size() || view.length > record.size() - view.offset ||
      view.nameOffset > view.length || bytes > view.length - view.nameOffset)
    return {};
  return DecodeUtf16(record.subspan(view.offset + view.nameOffset, bytes));
}

std::span<const std::byte> ResidentValue(std::span<const std::byte> record, const AttributeView& view) {
  if (view.nonResident || view.offset > record.size() || view.length > record.size() - view.offset ||
      view.valueOffset > view.length || view.valueLength > view.length - view.valueOffset)
    return {};
  return record.subspan(view.offset + view.valueOffset, view.valueLength);
}

bool ReadFileName(std::span<const std::byte> record, std::u16string& name, uint64_t* parentReference) {
  AttributeIterator it(record);
  AttributeView v;
  int bestRank = -1;
  ByteSpan best;
  while (it.Next(v)) {
    if (v.type != kAttrFileName || v.nonResident) continue;
    const ByteSpan value = ResidentValue(record, v);
    const uint32_t units = LeU8(value, kFileNameLengthAt);
    if (units == 0 || value.size() < kFileNameTextAt + 2 * units) continue;
    const int rank = NamespaceRank(LeU8(value, kFileNameNamespaceAt));
    if (bestRank < 0 || rank < bestRank) {
      bestRank = rank;
      best = value;
      if (rank == 0) break;
    }
  }
  if (bestRank < 0) return false;
  name = DecodeUtf16(best.subspan(kFileNameTextAt, 2 * LeU8(best, kFileNameLengthAt)));
  if (parentReference) *parentReference = LeU64(best, 0);
  return true;
}

bool ReadDataSize(std::span<const std::byte> record, uint64_t& size) {
  AttributeIterator it(record);
  AttributeView v;
  while (it.Next(v)) {
    if (v.type != kAttrData || v.named()) continue;
    if (!v.nonResident) {
      size = v.valueLength;
      return true;
    }
    // Only the first piece of an attribute spread over several records carries the sizes.
    if (v.lowestVcn == 0) {
      size = v.realSize;
      return true;
    }
  }
  return false;
}

bool ReadVolumeName(std::span<const std::byte> record, std::u16string& label) {
  const std::optional<AttributeView> v = FindAttribute(record, kAttrVolumeName, true);
  if (!v || v->nonResident || v->valueLength > kMaxVolumeNameBytes || v->valueLength % 2 != 0) return false;
  const ByteSpan value = ResidentValue(record, *v);
  if (value.size() != v->valueLength) return false;
  label = DecodeUtf16(value);
  return true;
}

uint32_t MftRecordBytes(int8_t clustersPerRecord, uint32_t bytesPerCluster) {
  uint64_t bytes;
  if (clustersPerRecord < 0) {
    const int shift = -clustersPerRecord;
    if (shift > 31) return 0;
    bytes = uint64_t{1} << shift;
  } else {
    bytes = static_cast<uint64_t>(clustersPerRecord) * bytesPerCluster;
  }
  return IsPowerOfTwo(bytes) && bytes >= 256 && bytes <= 65536 ? static_cast<uint32_t>(bytes) : 0;
}

uint32_t NtfsSectorsPerCluster(uint8_t raw) {
  if (raw <= 0x80) return IsPowerOfTwo(raw) ? raw : 0;
  const int shift = 256 - raw;
  return shift <= 12 ? uint32_t{1} << shift : 0;
}

}  // namespace torvane::ntfs
