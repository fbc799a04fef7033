// Hosted sparse extents (magic "KDMV", versions 1 to 3), including streamOptimized ones whose
// grains are deflate-compressed and whose grain directory sits in a footer at the file's end.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "disk/vdisk/extent.h"
#include "util/bytes.h"

namespace torvane::vdisk {

constexpr uint32_t kSparseMagic = 0x564D444B;  // "KDMV"

// The fields of the 512-byte sparse extent header that the reader uses.
struct SparseHeader {
  uint32_t version = 0;
  uint32_t flags = 0;
  uint64_t capacity = 0;   // sectors
  uint64_t grainSize = 0;  // sectors
  uint64_t descriptorOffset = 0;
  uint64_t descriptorSize = 0;
  uint32_t numGTEsPerGT = 0;
  uint64_t rgdOffset = 0;
  uint64_t gdOffset = 0;
  uint64_t overHead = 0;
  uint16_t compressAlgorithm = 0;

  static constexpr uint32_t kValidNewlineTest = 1u << 0;
  static constexpr uint32_t kRedundantGrainTable = 1u << 1;
  static constexpr uint32_t kZeroedGrainEntries = 1u << 2;
  static constexpr uint32_t kCompressedGrains = 1u << 16;
  static constexpr uint32_t kHasMarkers = 1u << 17;
  static constexpr uint64_t kGdAtEnd = ~uint64_t{0};

  bool Compressed() const { return (flags & kCompressedGrains) != 0; }
};

enum class ParseResult { kOk, kNotThisFormat, kCorrupt };

// Parses and checks a header sector. kNotThisFormat when the magic is absent; kCorrupt, with
// a reason, when a field is out of range.
ParseResult ParseSparseHeader(ByteSource& file, uint64_t headerOffset, SparseHeader& header, std::string& error);

bool IsSparseFile(ByteSource& file);

// The descriptor embedded in a monolithic sparse file (empty when it has none).
bool ReadEmbeddedDescriptor(ByteSource& file, std::string& text, std::string& error);

class SparseExtent final : public Extent {
 public:
  // `descriptorSectors` is the size from the descriptor (0: the header's capacity).
  static std::unique_ptr<SparseExtent> Open(std::unique_ptr<ByteSource> file, uint64_t descriptorSectors,
                                            std::string& error);

  uint64_t Sectors() const override { return sectors_; }
  void Read(uint64_t sector, uint64_t count, std::byte* out, ReadReport& report) override;
  bool Write(uint64_t sector, uint64_t count, const std::byte* in) override;
  std::string_view TypeName() const override { return "SPARSE"; }
  const ByteSource* File() const override { return file_.get(); }
  uint64_t TableMemory() const override;

  const SparseHeader& Header() const { return header_; }
  // True when the primary grain directory was damaged and the redundant one is in use.
  bool UsingRedundantDirectory() const { return usingRedundant_; }
  // Directory entries that point outside the file (their grains read as failures).
  uint64_t DamagedDirectoryEntries() const { return damagedEntries_; }

 private:
  enum class GrainState { kAllocated, kUnallocated, kZero, kError };
  struct Grain {
    GrainState state;
    uint64_t fileSector;  // kAllocated only
  };
  struct TableSlot {
    uint64_t directoryIndex = ~uint64_t{0};
    std::vector<uint32_t> entries;
  };

  SparseExtent() = default;
  bool LoadDirectory(uint64_t gdSector, std::vector<uint32_t>& directory, uint64_t& damaged);
  Grain LookupGrain(uint64_t grainIndex, std::string& reason);
  bool ReadCompressedGrain(uint64_t grainIndex, uint64_t fileSector, std::string& reason);

  std::unique_ptr<ByteSource> file_;
  SparseHeader header_;
  uint64_t sectors_ = 0;
  uint64_t grainBytes_ = 0;
  std::vector<uint32_t> directory_;
  bool usingRedundant_ = false;
  uint64_t damagedEntries_ = 0;
  std::vector<TableSlot> tableCache_;
  // Last decompressed grain of a compressed extent (sequential reads touch each grain many
  // times when the caller reads less than a grain at a time).
  std::vector<std::byte> grainCache_;
  // Raw grain tables and compressed grains as read from the file.
  std::vector<std::byte> scratch_;
  uint64_t cachedGrain_ = ~uint64_t{0};
};

}  // namespace torvane::vdisk
