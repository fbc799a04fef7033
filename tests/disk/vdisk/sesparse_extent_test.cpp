#include "disk/vdisk/sesparse_extent.h"

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

namespace torvane::vdisk {
namespace {

// The geometry ESXi writes: 8-sector grains, 64-sector tables of 4096 entries.
constexpr uint64_t kGrain = 8;
constexpr uint64_t kTableEntries = 4096;
constexpr uint64_t kSpan = kGrain * kTableEntries;  // sectors one table maps

constexpr uint64_t kUnmapped = uint64_t{1} << 60;
constexpr uint64_t kZero = uint64_t{2} << 60;

// Table entry of a grain stored as grain `number` of the grains region: the number's low 12
// bits go to bits 48-59, the rest to bits 0-47.
uint64_t Allocated(uint64_t number) {
  return (uint64_t{3} << 60) | ((number & 0xFFF) << 48) | (number >> 12);
}

uint8_t Pattern(uint64_t sector, size_t i) {
  return static_cast<uint8_t>((sector * 131 + i) % 251 + 1);
}

// Builds an seSparse file in memory: constant header at sector 0, volatile header at 1,
// directory at 2, room for `tables` grain tables, then the grains region.
class SeSparseBuilder {
 public:
  SeSparseBuilder(uint64_t capacity, uint64_t tables) {
    const uint64_t dirEntries = (capacity + kSpan - 1) / kSpan;
    dirSectors_ = (dirEntries * 8 + 511) / 512;
    tablesSector_ = 2 + dirSectors_;
    grainsSector_ = tablesSector_ + tables * 64;
    bytes_.resize(grainsSector_ * 512);
    Put64(0, 0xCAFEBABE);
    Put64(8, 0x200000001);
    Put64(16, capacity);
    Put64(24, kGrain);
    Put64(32, 64);
    Put64(80, 1);  // volatile header sector
    Put64(88, 1);
    Put64(128, 2);  // grain directory
    Put64(136, dirSectors_);
    Put64(144, tablesSector_);
    Put64(152, tables * 64);
    Put64(192, grainsSector_);
    Put64(512, 0xCAFECAFE);
  }

  void Put64(uint64_t offset, uint64_t value) {
    for (int i = 0; i < 8; ++i) bytes_[offset + i] = static_cast<uint8_t>(value >> (8 * i));
  }

  void SetDirEntry(uint64_t index, uint64_t value) { Put64(2 * 512 + index * 8, value); }
  // Points directory entry `index` at table `table` of the tables region.
  void UseTable(uint64_t index, uint64_t table) {
    SetDirEntry(index, (uint64_t{0x10000000} << 32) | table);
  }
  // Sets the entry for disk grain `grain`, whose directory entry uses table `table`.
  void SetEntry(uint64_t table, uint64_t grain, uint64_t value) {
    Put64((tablesSector_ + table * 64) * 512 + (grain % kTableEntries) * 8, value);
  }
  // Stores disk grain `grain` as grain `number` of the grains region, through table `table`.
  void Store(uint64_t table, uint64_t grain, uint64_t number) {
    SetEntry(table, grain, Allocated(number));
    const uint64_t at = (grainsSector_ + number * kGrain) * 512;
    if (bytes_.size() < at + kGrain * 512) bytes_.resize(at + kGrain * 512);
    for (uint64_t s = 0; s < kGrain; ++s)
      for (size_t i = 0; i < 512; ++i) bytes_[at + s * 512 + i] = Pattern(grain * kGrain + s, i);
  }

  std::vector<uint8_t>& Bytes() { return bytes_; }

  std::unique_ptr<Extent> Open(uint64_t descriptorSectors = 0, bool writable = false) {
    std::string error;
    auto extent = OpenSeSparseExtent(std::make_unique<MemorySource>(bytes_, writable),
                                     descriptorSectors, error);
    EXPECT_NE(extent, nullptr) << error;
    return extent;
  }

 private:
  uint64_t dirSectors_;
  uint64_t tablesSector_;
  uint64_t grainsSector_;
  std::vector<uint8_t> bytes_;
};

class CountingSource final : public ByteSource {
 public:
  CountingSource(std::vector<uint8_t> bytes, int* reads) : inner_(std::move(bytes)), reads_(reads) {}
  uint64_t Size() const override { return inner_.Size(); }
  size_t ReadSome(uint64_t offset, void* buffer, size_t size) override {
    ++*reads_;
    return inner_.ReadSome(offset, buffer, size);
  }
  bool WriteAt(uint64_t, const void*, size_t) override { return false; }
  bool Writable() const override { return false; }
  const std::filesystem::path& Path() const override { return inner_.Path(); }

 private:
  MemorySource inner_;
  int* reads_;
};

std::vector<std::byte> ReadSectors(Extent& extent, uint64_t sector, uint64_t count,
                                   ReadReport& report) {
  std::vector<std::byte> out(count * 512, std::byte{0xAA});
  extent.Read(sector, count, out.data(), report);
  return out;
}

bool HoldsPattern(const std::vector<std::byte>& out, uint64_t index, uint64_t count,
                  uint64_t diskSector) {
  for (uint64_t s = 0; s < count; ++s)
    for (size_t i = 0; i < 512; ++i)
      if (std::to_integer<uint8_t>(out[(index + s) * 512 + i]) != Pattern(diskSector + s, i))
        return false;
  return true;
}

bool HoldsZeros(const std::vector<std::byte>& out, uint64_t index, uint64_t count) {
  for (uint64_t b = index * 512; b < (index + count) * 512; ++b)
    if (out[b] != std::byte{0}) return false;
  return true;
}

TEST(SeSparseExtent, ReadsEveryKindOfGrain) {
  SeSparseBuilder b(2 * kSpan, 2);
  b.UseTable(0, 0);
  b.Store(0, 0, 0);
  b.SetEntry(0, 1, kUnmapped);
  b.SetEntry(0, 2, kZero);
  // grain 3 stays unallocated
  b.Store(0, 4, 1);
  auto extent = b.Open();
  ASSERT_NE(extent, nullptr);

  ReadReport report;
  report.base = 100;
  auto out = ReadSectors(*extent, 0, 5 * kGrain, report);
  EXPECT_TRUE(HoldsPattern(out, 0, kGrain, 0));
  EXPECT_TRUE(HoldsZeros(out, kGrain, 3 * kGrain));
  EXPECT_TRUE(HoldsPattern(out, 4 * kGrain, kGrain, 4 * kGrain));
  // Unmapped and zero grains read as zeros without sending the reader to a parent.
  EXPECT_EQ(report.unallocated, (std::vector<SectorRange>{{100 + 3 * kGrain, kGrain}}));
  EXPECT_TRUE(report.failed.empty());

  // Partial grains at both ends.
  ReadReport partial;
  out = ReadSectors(*extent, 5, 32, partial);
  EXPECT_TRUE(HoldsPattern(out, 0, 3, 5));
  EXPECT_TRUE(HoldsZeros(out, 3, 24));
  EXPECT_TRUE(HoldsPattern(out, 27, 5, 32));
  EXPECT_EQ(partial.unallocated, (std::vector<SectorRange>{{24, 8}}));
}

TEST(SeSparseExtent, DecodesGrainNumbersSplitAcrossTheEntry) {
  // Grain numbers 4096 and 4097 put their high part in bits 0-47: 4096 has zero low bits.
  SeSparseBuilder b(kSpan, 1);
  b.UseTable(0, 0);
  b.Store(0, 0, 4097);
  b.Store(0, 1, 4096);
  b.Store(0, 2, 0xABC);
  auto extent = b.Open();
  ASSERT_NE(extent, nullptr);
  ReadReport report;
  auto out = ReadSectors(*extent, 0, 3 * kGrain, report);
  EXPECT_TRUE(HoldsPattern(out, 0, 3 * kGrain, 0));
  EXPECT_TRUE(report.failed.empty());
  EXPECT_TRUE(report.unallocated.empty());
}

TEST(SeSparseExtent, ReadsAcrossGrainTables) {
  // Directory entries 0 and 2 use tables 1 and 0 of the region; entry 1 has no table.
  SeSparseBuilder b(3 * kSpan, 2);
  b.UseTable(0, 1);
  b.UseTable(2, 0);
  const uint64_t last = kTableEntries - 1;
  b.Store(1, last, 0);
  b.Store(0, 2 * kTableEntries, 1);
  auto extent = b.Open();
  ASSERT_NE(extent, nullptr);

  ReadReport report;
  auto out = ReadSectors(*extent, kSpan - kGrain, kSpan + 2 * kGrain, report);
  EXPECT_TRUE(HoldsPattern(out, 0, kGrain, kSpan - kGrain));
  EXPECT_TRUE(HoldsZeros(out, kGrain, kSpan));
  EXPECT_TRUE(HoldsPattern(out, kSpan + kGrain, kGrain, 2 * kSpan));
  EXPECT_EQ(report.unallocated, (std::vector<SectorRange>{{kSpan, kSpan}}));
  EXPECT_TRUE(report.failed.empty());
}

TEST(SeSparseExtent, StoredRunsBecomeSingleFileReads) {
  SeSparseBuilder b(kSpan, 1);
  b.UseTable(0, 0);
  for (uint64_t g = 0; g < 6; ++g) b.Store(0, g, g);
  b.Store(0, 6, 7);  // a gap in the file: a second read
  int reads = 0;
  std::string error;
  auto extent = OpenSeSparseExtent(std::make_unique<CountingSource>(b.Bytes(), &reads), 0, error);
  ASSERT_NE(extent, nullptr) << error;

  ReadReport report;
  reads = 0;
  auto out = ReadSectors(*extent, 0, 6 * kGrain, report);
  EXPECT_TRUE(HoldsPattern(out, 0, 6 * kGrain, 0));
  EXPECT_EQ(reads, 2);  // the grain table, then one run of six grains

  reads = 0;
  out = ReadSectors(*extent, 0, 7 * kGrain, report);
  EXPECT_TRUE(HoldsPattern(out, 0, 7 * kGrain, 0));
  EXPECT_EQ(reads, 2);  // cached table; two runs
}

TEST(SeSparseExtent, RejectsDamagedHeaders) {
  struct Case {
    const char* name;
    std::function<void(SeSparseBuilder&)> damage;
    uint64_t descriptorSectors = 0;
  };
  const Case cases[] = {
      {"wrong magic", [](SeSparseBuilder& b) { b.Put64(0, 0xCAFECAFE); }},
      {"unknown version", [](SeSparseBuilder& b) { b.Put64(8, 0x300000001); }},
      {"truncated header", [](SeSparseBuilder& b) { b.Bytes().resize(300); }},
      {"capacity 0", [](SeSparseBuilder& b) { b.Put64(16, 0); }},
      {"absurd capacity", [](SeSparseBuilder& b) { b.Put64(16, ~uint64_t{0}); }},
      {"grain size 0", [](SeSparseBuilder& b) { b.Put64(24, 0); }},
      {"absurd grain size", [](SeSparseBuilder& b) { b.Put64(24, uint64_t{1} << 40); }},
      {"table size 0", [](SeSparseBuilder& b) { b.Put64(32, 0); }},
      {"absurd table size", [](SeSparseBuilder& b) { b.Put64(32, uint64_t{1} << 50); }},
      {"empty directory", [](SeSparseBuilder& b) { b.Put64(136, 0); }},
      {"directory at sector 0", [](SeSparseBuilder& b) { b.Put64(128, 0); }},
      {"directory past the end", [](SeSparseBuilder& b) { b.Put64(128, 1000000); }},
      {"directory offset overflowing", [](SeSparseBuilder& b) { b.Put64(128, uint64_t{1} << 60); }},
      {"tables offset overflowing", [](SeSparseBuilder& b) { b.Put64(144, ~uint64_t{0}); }},
      {"grains offset overflowing", [](SeSparseBuilder& b) { b.Put64(192, uint64_t{1} << 57); }},
      {"absurd descriptor size", [](SeSparseBuilder&) {}, kMaxDiskSectors + 1},
  };
  for (const Case& c : cases) {
    SeSparseBuilder b(4 * kSpan, 1);
    c.damage(b);
    std::string error;
    auto extent = OpenSeSparseExtent(std::make_unique<MemorySource>(b.Bytes()),
                                     c.descriptorSectors, error);
    EXPECT_EQ(extent, nullptr) << c.name;
    EXPECT_FALSE(error.empty()) << c.name;
    EXPECT_EQ(error.find('\n'), std::string::npos) << c.name;
  }

  // A huge directory size is harmless: only the entries the capacity needs are read.
  SeSparseBuilder b(4 * kSpan, 1);
  b.Put64(136, ~uint64_t{0});
  EXPECT_NE(b.Open(), nullptr);
}

TEST(SeSparseExtent, DamagedEntriesFailOnlyTheirSectors) {
  SeSparseBuilder b(4 * kSpan, 1);
  b.UseTable(0, 0);
  b.Store(0, 0, 0);
  b.SetEntry(0, 1, 0x0000000000000005);  // unallocated type with stray bits
  b.SetEntry(0, 2, uint64_t{7} << 60);   // unknown type
  b.SetEntry(0, 3, Allocated(1000000));  // grain far past the end of the file
  b.SetEntry(0, 4, Allocated((uint64_t{1} << 60) - 1));  // offset overflows
  b.Store(0, 5, 1);
  b.SetDirEntry(1, 0x2000000000000000);                    // bad directory tag
  b.UseTable(2, 0xFFFFFFFF);                               // table past the end
  b.UseTable(3, 0);
  b.Bytes().resize(b.Bytes().size() - 1000);  // grain 5 loses its last two sectors

  auto extent = b.Open();
  ASSERT_NE(extent, nullptr);
  ReadReport report;
  report.base = 7;
  auto out = ReadSectors(*extent, 0, 6 * kGrain, report);
  EXPECT_TRUE(HoldsPattern(out, 0, kGrain, 0));
  EXPECT_TRUE(HoldsZeros(out, kGrain, 4 * kGrain));
  EXPECT_TRUE(HoldsPattern(out, 5 * kGrain, kGrain - 2, 5 * kGrain));
  EXPECT_TRUE(HoldsZeros(out, 6 * kGrain - 2, 2));
  EXPECT_EQ(report.failed, (std::vector<SectorRange>{{7 + kGrain, 4 * kGrain},
                                                      {7 + 6 * kGrain - 2, 2}}));
  EXPECT_NE(report.failureReason.find("damaged"), std::string::npos) << report.failureReason;
  EXPECT_TRUE(report.unallocated.empty());

  // Directory entries 1 and 2 fail whole tables; entry 3 shares table 0 and reads fine.
  ReadReport tables;
  out = ReadSectors(*extent, kSpan, 2 * kSpan + kGrain, tables);
  EXPECT_TRUE(HoldsZeros(out, 0, 2 * kSpan));
  EXPECT_TRUE(HoldsPattern(out, 2 * kSpan, kGrain, 0));
  EXPECT_EQ(tables.failed, (std::vector<SectorRange>{{kSpan, 2 * kSpan}}));
  EXPECT_TRUE(tables.unallocated.empty());
}

TEST(SeSparseExtent, WritesOnlyIntoAllocatedGrainsOfWritableFiles) {
  SeSparseBuilder b(kSpan, 1);
  b.UseTable(0, 0);
  b.Store(0, 0, 0);
  b.Store(0, 1, 1);
  b.SetEntry(0, 2, kZero);
  b.Store(0, 3, 2);
  std::vector<std::byte> data(2 * kGrain * 512);
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<std::byte>(i * 13 + 1);

  EXPECT_FALSE(b.Open()->Write(0, kGrain, data.data()));

  auto extent = b.Open(0, true);
  ASSERT_NE(extent, nullptr);
  const auto* file = dynamic_cast<const MemorySource*>(extent->File());
  ASSERT_NE(file, nullptr);
  const std::vector<uint8_t> before = file->Bytes();
  // Grain 2 is a zero grain with no storage: the whole write is refused.
  EXPECT_FALSE(extent->Write(kGrain + 4, kGrain, data.data()));
  EXPECT_EQ(file->Bytes(), before);

  ASSERT_TRUE(extent->Write(4, kGrain, data.data()));
  ReadReport report;
  auto out = ReadSectors(*extent, 0, 4 * kGrain, report);
  EXPECT_TRUE(HoldsPattern(out, 0, 4, 0));
  EXPECT_EQ(std::memcmp(out.data() + 4 * 512, data.data(), kGrain * 512), 0);
  EXPECT_TRUE(HoldsPattern(out, kGrain + 4, 4, kGrain + 4));
  EXPECT_TRUE(HoldsZeros(out, 2 * kGrain, kGrain));
}

TEST(SeSparseExtent, IdentifiesItsFilesAndSize) {
  SeSparseBuilder b(kSpan + 100, 1);
  MemorySource sesparse(b.Bytes());
  EXPECT_TRUE(IsSeSparseFile(sesparse));
  MemorySource cowd(std::vector<uint8_t>{'C', 'O', 'W', 'D', 0, 0, 0, 0});
  EXPECT_FALSE(IsSeSparseFile(cowd));
  MemorySource tiny(std::vector<uint8_t>{0xBE, 0xBA, 0xFE, 0xCA});
  EXPECT_FALSE(IsSeSparseFile(tiny));

  auto extent = b.Open();
  ASSERT_NE(extent, nullptr);
  EXPECT_EQ(extent->TypeName(), "SESPARSE");
  EXPECT_EQ(extent->Sectors(), kSpan + 100);
  ASSERT_NE(extent->File(), nullptr);
  EXPECT_EQ(b.Open(4 * kSpan)->Sectors(), 4 * kSpan);
}

}  // namespace
}  // namespace torvane::vdisk
