#include "fs/ntfs/efs_export.h"

#include <algorithm>
#include <array>
#include <bit>
#include <string_view>
#include <vector>

#include "util/bytes.h"

namespace torvane::ntfs {
namespace {

constexpr uint64_t kSectorBytes = 512;

// Fixed parts of the headers (docs/formats/efs-export.md).
constexpr size_t kFileHeaderBytes = 20;
constexpr size_t kStreamHeaderFixedBytes = 28;  // up to and including the name length
constexpr size_t kSegmentHeaderBytes = 16;
constexpr uint32_t kEncryptionHeaderBytes = kEfsBlockHeaderBytes - kSegmentHeaderBytes;

constexpr uint16_t kMetadataStreamName = 0x1910;
constexpr std::u16string_view kDataStreamName = u"::$DATA";

// Writes an ASCII signature as UTF-16LE, two bytes a letter.
void StoreSignature(MutableByteSpan out, size_t offset, std::string_view letters) {
  for (size_t i = 0; i < letters.size(); ++i) StoreLeU16(out, offset + 2 * i, static_cast<uint8_t>(letters[i]));
}

// A stream header: length, "NTFS", flag 0 (the data is FEK-encrypted, or this is the
// metadata stream), reserved, name length, name.
std::vector<std::byte> StreamHeader(std::span<const std::byte> name) {
  std::vector<std::byte> h(kStreamHeaderFixedBytes + name.size());
  StoreLeU32(h, 0, static_cast<uint32_t>(h.size()));
  StoreSignature(h, 4, "NTFS");
  StoreLeU32(h, 24, static_cast<uint32_t>(name.size()));
  std::copy(name.begin(), name.end(), h.begin() + kStreamHeaderFixedBytes);
  return h;
}

// A segment header: the segment's whole length, "GURE", reserved.
void StoreSegmentHeader(MutableByteSpan out, uint64_t segmentBytes) {
  StoreLeU32(out, 0, static_cast<uint32_t>(segmentBytes));
  StoreSignature(out, 4, "GURE");
}

// log2 of the smallest power of two from 512 on that holds `bytes`.
uint8_t UnitShift(uint64_t bytes) {
  return static_cast<uint8_t>(std::max<uint64_t>(9, std::bit_width(std::max<uint64_t>(bytes, 1) - 1)));
}

}  // namespace

bool EfsExportWriter::Emit(std::span<const std::byte> bytes) {
  if (failed_) return false;
  if (bytes.empty()) return true;
  if (!sink_(bytes)) failed_ = true;
  return !failed_;
}

bool EfsExportWriter::Begin(std::span<const std::byte> efsMetadata, uint64_t fileSize, uint32_t clusterBytes) {
  if (efsMetadata.empty() || efsMetadata.size() > kMaxEfsMetadataBytes) return false;
  if (clusterBytes < kSectorBytes || !std::has_single_bit(clusterBytes)) return false;
  fileSize_ = fileSize;
  dataLength_ = fileSize / kSectorBytes * kSectorBytes + (fileSize % kSectorBytes == 0 ? 0 : kSectorBytes);
  clusterShift_ = static_cast<uint8_t>(std::countr_zero(clusterBytes));
  written_ = 0;
  blockLeft_ = 0;
  failed_ = false;

  std::array<std::byte, kFileHeaderBytes> file{};
  StoreLeU32(file, 0, 0x00000100);
  StoreSignature(file, 4, "ROBS");
  if (!Emit(file)) return false;

  std::array<std::byte, 2> metaName{};
  StoreLeU16(metaName, 0, kMetadataStreamName);
  std::vector<std::byte> meta = StreamHeader(metaName);
  const size_t segmentAt = meta.size();
  meta.resize(segmentAt + kSegmentHeaderBytes + efsMetadata.size());
  StoreSegmentHeader(MutableByteSpan(meta).subspan(segmentAt), kSegmentHeaderBytes + efsMetadata.size());
  std::copy(efsMetadata.begin(), efsMetadata.end(),
            meta.begin() + static_cast<std::ptrdiff_t>(segmentAt + kSegmentHeaderBytes));
  if (!Emit(meta)) return false;

  std::array<std::byte, kDataStreamName.size() * 2> dataName{};
  for (size_t i = 0; i < kDataStreamName.size(); ++i) StoreLeU16(dataName, 2 * i, kDataStreamName[i]);
  begun_ = Emit(StreamHeader(dataName));
  return begun_;
}

// The 512 bytes in front of the next block's data: the segment header, then the
// encryption header padded with zeros to the block's data.
bool EfsExportWriter::StartBlock() {
  const uint64_t block = std::min<uint64_t>(kEfsBlockBytes, dataLength_ - written_);
  const uint64_t inFile = fileSize_ > written_ ? std::min(block, fileSize_ - written_) : 0;
  const uint8_t unitShift = UnitShift(block);
  std::array<std::byte, kEfsBlockHeaderBytes> h{};
  StoreSegmentHeader(h, kEfsBlockHeaderBytes + block);
  const size_t e = kSegmentHeaderBytes;
  StoreLeU64(h, e + 0x00, written_);                       // starting file offset
  StoreLeU32(h, e + 0x08, kEncryptionHeaderBytes);         // this header's length
  StoreLeU32(h, e + 0x0C, static_cast<uint32_t>(inFile));  // bytes within the stream size
  StoreLeU32(h, e + 0x10, static_cast<uint32_t>(inFile));  // bytes within the valid data
  h[e + 0x16] = std::byte{unitShift};                      // data unit shift
  h[e + 0x17] = std::byte{unitShift};                      // chunk shift
  h[e + 0x18] = std::byte{clusterShift_};
  h[e + 0x19] = std::byte{0x01};
  StoreLeU16(h, e + 0x1A, 1);                             // one data block
  StoreLeU32(h, e + 0x1C, static_cast<uint32_t>(block));  // its size
  // Extended header: "EXTD", its length 16, flags 0 (not a sparse file), reserved.
  for (size_t i = 0; i < 4; ++i) h[e + 0x20 + i] = static_cast<std::byte>("EXTD"[i]);
  StoreLeU32(h, e + 0x24, 16);
  blockLeft_ = block;
  return Emit(h);
}

bool EfsExportWriter::AddData(std::span<const std::byte> rawClusters) {
  if (!begun_ || failed_) return false;
  while (!rawClusters.empty() && written_ < dataLength_) {
    if (blockLeft_ == 0 && !StartBlock()) return false;
    const size_t n = static_cast<size_t>(std::min<uint64_t>(rawClusters.size(), blockLeft_));
    if (!Emit(rawClusters.first(n))) return false;
    rawClusters = rawClusters.subspan(n);
    written_ += n;
    blockLeft_ -= n;
  }
  return true;
}

bool EfsExportWriter::Finish() {
  if (!begun_ || failed_) return false;
  static const std::array<std::byte, 4096> kZeros{};
  while (written_ < dataLength_) {
    const size_t n = static_cast<size_t>(std::min<uint64_t>(kZeros.size(), dataLength_ - written_));
    if (!AddData(std::span(kZeros).first(n))) return false;
  }
  begun_ = false;
  return true;
}

}  // namespace torvane::ntfs
