// The raw export stream of an encrypted NTFS file: the file's encryption metadata and its
// still-encrypted data, laid out in the EFSRPC raw data format of Microsoft's [MS-EFSR]
// (section 2.2.3), which the platform's raw import turns back into an encrypted file that
// its owner can open. Field by field description: docs/formats/efs-export.md.
//
// The stream is
//   file header        "ROBS"
//   metadata stream    "NTFS" header named 0x1910, one "GURE" segment holding the $EFS value
//   data stream        "NTFS" header named "::$DATA", then the encrypted data in "GURE"
//                      segments of at most 65,536 data bytes, each behind a 512-byte header
// The data length is the file size rounded up to whole 512-byte sectors: the encryption
// works on sectors, so the clusters hold that much ciphertext.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>
#include <utility>

namespace torvane::ntfs {

// Data bytes in one segment of the data stream at most.
constexpr size_t kEfsBlockBytes = 65536;
// Bytes in front of each segment's data: the segment header and its encryption header.
constexpr size_t kEfsBlockHeaderBytes = 512;
// An $EFS value larger than this is not one.
constexpr size_t kMaxEfsMetadataBytes = 8192;

class EfsExportWriter {
 public:
  // Receives the stream in order; false stops the export.
  using Sink = std::function<bool(std::span<const std::byte>)>;

  explicit EfsExportWriter(Sink sink) : sink_(std::move(sink)) {}

  // Writes the file header, the metadata stream and the data stream's header. False when
  // the metadata is empty or larger than 8,192 bytes (nothing is written then), when the
  // cluster size is not a power of two from 512 on, or when the sink fails.
  bool Begin(std::span<const std::byte> efsMetadata, uint64_t fileSize, uint32_t clusterBytes = 4096);

  // The raw clusters of the file, in file order, in pieces of any size. Each segment
  // header goes out as its block starts; bytes past the data length (the tail of the last
  // cluster) are dropped. False when the sink fails or Begin did not succeed.
  bool AddData(std::span<const std::byte> rawClusters);

  // Completes the data stream: data the caller did not supply (a runlist shorter than the
  // file) is written as zeros so the stream stays well formed. False when the sink fails.
  bool Finish();

  // The file size rounded up to whole sectors: the data bytes the stream carries.
  uint64_t DataLength() const { return dataLength_; }

 private:
  bool Emit(std::span<const std::byte> bytes);
  bool StartBlock();

  Sink sink_;
  bool begun_ = false;
  bool failed_ = false;
  uint64_t fileSize_ = 0;
  uint64_t dataLength_ = 0;
  uint64_t written_ = 0;    // data bytes written so far
  uint64_t blockLeft_ = 0;  // data bytes the current segment still expects
  uint8_t clusterShift_ = 12;
};

}  // namespace torvane::ntfs
