// COWD (vmfsSparse) and seSparse extents: both map grains through a directory of grain
// tables, so one typed suite runs the same reads, damage and writes over files built in
// memory in either format; what only seSparse has (zero and unmapped grains, split grain
// numbers) is tested on its own.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "disk/vdisk/cowd_extent.h"
#include "disk/vdisk/sesparse_extent.h"
#include "test_util.h"

namespace torvane::vdisk {
namespace {

// Content of disk sector `sector`, byte `i`: never zero, different in every sector.
uint8_t Pattern(uint64_t sector, size_t i) {
  return static_cast<uint8_t>((sector * 131 + i) % 251 + 1);
}

void Put(std::vector<uint8_t>& bytes, uint64_t offset, uint64_t value, int size) {
  for (int i = 0; i < size; ++i) bytes[offset + i] = static_cast<uint8_t>(value >> (8 * i));
}

void AppendGrain(std::vector<uint8_t>& bytes, uint64_t at, uint64_t firstSector, uint64_t sectors) {
  if (bytes.size() < at + sectors * 512) bytes.resize(at + sectors * 512);
  for (uint64_t s = 0; s < sectors; ++s)
    for (size_t i = 0; i < 512; ++i) bytes[at + s * 512 + i] = Pattern(firstSector + s, i);
}

// COWD: header, directory at sector 4, then tables and grains appended as they are needed.
struct Cowd {
  static constexpr uint64_t kGrain = 2;
  static constexpr uint64_t kTableEntries = 4096;
  static constexpr uint64_t kSpan = kGrain * kTableEntries;  // sectors one table maps
  static constexpr uint64_t kGrainPastEnd = 0x00F00000;
  static constexpr uint64_t kGrainInHeader = 2;
  static constexpr uint64_t kTablePastEnd = 0x7FFFFFFF;
  static constexpr uint64_t kTableInHeader = 3;

  explicit Cowd(uint64_t capacity) {
    const uint64_t span = kTableEntries * kGrain;
    dirEntries = (capacity + span - 1) / span;
    bytes.resize(2048 + (dirEntries * 4 + 511) / 512 * 512);
    std::memcpy(bytes.data(), "COWD", 4);
    const uint64_t fields[] = {1, 3, capacity, kGrain, 4, dirEntries};
    for (size_t i = 0; i < 6; ++i) Put(bytes, 4 + 4 * i, fields[i], 4);
  }
  uint64_t Dir(uint64_t index) const {
    uint64_t v = 0;
    for (int i = 0; i < 4; ++i) v |= uint64_t{bytes[2048 + index * 4 + i]} << (8 * i);
    return v;
  }
  void SetDir(uint64_t index, uint64_t value) { Put(bytes, 2048 + index * 4, value, 4); }
  void SetEntry(uint64_t grain, uint64_t value) {
    if (Dir(grain / kTableEntries) == 0) {
      SetDir(grain / kTableEntries, bytes.size() / 512);
      bytes.resize(bytes.size() + kTableEntries * 4);
    }
    Put(bytes, Dir(grain / kTableEntries) * 512 + grain % kTableEntries * 4, value, 4);
  }
  void Store(uint64_t grain) {
    SetEntry(grain, 0);  // makes the table first, so the grain lands after it
    const uint64_t at = bytes.size();
    AppendGrain(bytes, at, grain * kGrain, kGrain);
    SetEntry(grain, at / 512);
  }
  static std::unique_ptr<Extent> Open(std::unique_ptr<ByteSource> file, uint64_t sectors, std::string& error) {
    return OpenCowdExtent(std::move(file), sectors, error);
  }
  struct HeaderCase {
    const char* name;
    std::function<void(Cowd&)> damage;
  };
  static std::vector<HeaderCase> DamagedHeaders() {
    return {{"wrong magic", [](Cowd& b) { b.bytes[0] = 'X'; }},
            {"truncated header", [](Cowd& b) { b.bytes.resize(2000); }},
            {"grain size 0", [](Cowd& b) { Put(b.bytes, 16, 0, 4); }},
            {"grain size not a power of two", [](Cowd& b) { Put(b.bytes, 16, 3, 4); }},
            {"absurd grain size", [](Cowd& b) { Put(b.bytes, 16, 0x80000000, 4); }},
            {"capacity 0", [](Cowd& b) { Put(b.bytes, 12, 0, 4); }},
            {"empty directory", [](Cowd& b) { Put(b.bytes, 24, 0, 4); }},
            {"directory past the end", [](Cowd& b) { Put(b.bytes, 20, 0x10000000, 4); }},
            {"directory overlapping the header", [](Cowd& b) { Put(b.bytes, 20, 1, 4); }},
            {"directory running off the end", [](Cowd& b) { b.bytes.resize(2048 + 4); }}};
  }
  std::vector<uint8_t> bytes;
  uint64_t dirEntries;
};

// seSparse table entry of a grain stored as grain `number` of the grains region: the
// number's low 12 bits go to bits 48-59, the rest to bits 0-47.
constexpr uint64_t Allocated(uint64_t number) {
  return (uint64_t{3} << 60) | ((number & 0xFFF) << 48) | (number >> 12);
}

// seSparse with one-sector (64-entry) tables: constant header, volatile header, directory at
// sector 2, one table slot per directory entry (entry i uses table i), then the grains.
struct SeSparse {
  static constexpr uint64_t kGrain = 8;
  static constexpr uint64_t kTableEntries = 64;
  static constexpr uint64_t kSpan = kGrain * kTableEntries;
  static constexpr uint64_t kTag = uint64_t{0x10000000} << 32;
  static constexpr uint64_t kGrainPastEnd = Allocated(1000000);
  static constexpr uint64_t kGrainInHeader = uint64_t{7} << 60;  // a damaged entry: unknown type
  static constexpr uint64_t kTablePastEnd = kTag | 0xFFFFFFFF;
  static constexpr uint64_t kTableInHeader = 0x2000000000000000;  // a damaged entry: bad tag

  explicit SeSparse(uint64_t capacity) {
    const uint64_t tables = (capacity + kTableEntries * kGrain - 1) / (kTableEntries * kGrain);
    const uint64_t dirSectors = (tables * 8 + 511) / 512;
    dirEntries = dirSectors * 64;
    tablesSector = 2 + dirSectors;
    grainsSector = tablesSector + tables;
    bytes.resize(grainsSector * 512);
    const std::pair<uint64_t, uint64_t> fields[] = {
        {0, 0xCAFEBABE},  {8, 0x200000001}, {16, capacity},    {24, kGrain},        {32, 1},       {80, 1},
        {88, 1},          {128, 2},         {136, dirSectors}, {144, tablesSector}, {152, tables}, {192, grainsSector},
        {512, 0xCAFECAFE}};
    for (const auto& [offset, value] : fields) Put(bytes, offset, value, 8);
  }
  void SetDir(uint64_t index, uint64_t value) { Put(bytes, 1024 + index * 8, value, 8); }
  void SetEntry(uint64_t grain, uint64_t value) {
    const uint64_t table = grain / kTableEntries;
    SetDir(table, kTag | table);
    Put(bytes, (tablesSector + table) * 512 + grain % kTableEntries * 8, value, 8);
  }
  void Store(uint64_t grain, uint64_t number) {
    SetEntry(grain, Allocated(number));
    AppendGrain(bytes, (grainsSector + number * kGrain) * 512, grain * kGrain, kGrain);
  }
  void Store(uint64_t grain) { Store(grain, (bytes.size() / 512 - grainsSector) / kGrain); }
  static std::unique_ptr<Extent> Open(std::unique_ptr<ByteSource> file, uint64_t sectors, std::string& error) {
    return OpenSeSparseExtent(std::move(file), sectors, error);
  }
  struct HeaderCase {
    const char* name;
    std::function<void(SeSparse&)> damage;
  };
  static std::vector<HeaderCase> DamagedHeaders() {
    auto field = [](uint64_t offset, uint64_t value) { return [=](SeSparse& b) { Put(b.bytes, offset, value, 8); }; };
    return {{"wrong magic", field(0, 0xCAFECAFE)},
            {"unknown version", field(8, 0x300000001)},
            {"truncated header", [](SeSparse& b) { b.bytes.resize(300); }},
            {"capacity 0", field(16, 0)},
            {"absurd capacity", field(16, ~uint64_t{0})},
            {"grain size 0", field(24, 0)},
            {"grain size not a power of two", field(24, 12)},
            {"absurd grain size", field(24, uint64_t{1} << 40)},
            {"table size 0", field(32, 0)},
            {"absurd table size", field(32, uint64_t{1} << 50)},
            {"empty directory", field(136, 0)},
            {"directory at sector 0", field(128, 0)},
            {"directory past the end", field(128, 1000000)},
            {"directory offset overflowing", field(128, uint64_t{1} << 60)},
            {"tables offset overflowing", field(144, ~uint64_t{0})},
            {"grains offset overflowing", field(192, uint64_t{1} << 57)}};
  }
  std::vector<uint8_t> bytes;
  uint64_t dirEntries, tablesSector, grainsSector;
};

// Counts the reads that reach the file, to see that runs are merged and tables cached.
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

// Reads into a buffer pre-filled with 0xAA, so unwritten bytes show.
std::vector<std::byte> ReadSectors(Extent& extent, uint64_t sector, uint64_t count, ReadReport& report) {
  std::vector<std::byte> out(count * 512, std::byte{0xAA});
  extent.Read(sector, count, out.data(), report);
  return out;
}

bool HoldsPattern(const std::vector<std::byte>& out, uint64_t index, uint64_t count, uint64_t diskSector) {
  for (uint64_t s = 0; s < count; ++s)
    for (size_t i = 0; i < 512; ++i)
      if (std::to_integer<uint8_t>(out[(index + s) * 512 + i]) != Pattern(diskSector + s, i)) return false;
  return true;
}

bool HoldsZeros(const std::vector<std::byte>& out, uint64_t index, uint64_t count) {
  for (uint64_t b = index * 512; b < (index + count) * 512; ++b)
    if (out[b] != std::byte{0}) return false;
  return true;
}

template <typename Format>
class GrainTableExtentTest : public ::testing::Test {
 protected:
  std::unique_ptr<Extent> Open(const Format& b, uint64_t sectors = 0, bool writable = false) {
    std::string error;
    auto extent = Format::Open(std::make_unique<MemorySource>(b.bytes, writable), sectors, error);
    EXPECT_NE(extent, nullptr) << error;
    return extent;
  }
};

using Formats = ::testing::Types<Cowd, SeSparse>;
TYPED_TEST_SUITE(GrainTableExtentTest, Formats);

TYPED_TEST(GrainTableExtentTest, ReadsStoredGrainsAndReportsUnallocatedOnesAcrossTables) {
  constexpr uint64_t G = TypeParam::kGrain, E = TypeParam::kTableEntries, kSpan = TypeParam::kSpan;
  TypeParam b(3 * kSpan);
  for (uint64_t g : {uint64_t{0}, uint64_t{1}, uint64_t{3}, E - 1, 2 * E}) b.Store(g);  // table 1 absent
  auto extent = this->Open(b);
  ASSERT_NE(extent, nullptr);

  ReadReport report;
  report.base = 1000;
  auto out = ReadSectors(*extent, 1, 4 * G, report);  // starts and ends inside grains
  EXPECT_TRUE(HoldsPattern(out, 0, 2 * G - 1, 1));
  EXPECT_TRUE(HoldsZeros(out, 2 * G - 1, G));
  EXPECT_TRUE(HoldsPattern(out, 3 * G - 1, G, 3 * G));
  EXPECT_EQ(report.unallocated, (std::vector<SectorRange>{{1000 + 2 * G, G}, {1000 + 4 * G, 1}}));
  EXPECT_TRUE(report.failed.empty());

  ReadReport across;
  out = ReadSectors(*extent, kSpan - G, kSpan + 2 * G, across);
  EXPECT_TRUE(HoldsPattern(out, 0, G, kSpan - G));
  EXPECT_TRUE(HoldsZeros(out, G, kSpan));
  EXPECT_TRUE(HoldsPattern(out, kSpan + G, G, 2 * kSpan));
  EXPECT_EQ(across.unallocated, (std::vector<SectorRange>{{kSpan, kSpan}}));
  EXPECT_TRUE(across.failed.empty());
}

TYPED_TEST(GrainTableExtentTest, StoredRunsBecomeSingleFileReadsAndTablesStayCached) {
  constexpr uint64_t G = TypeParam::kGrain, E = TypeParam::kTableEntries;
  // 40 tables, more than the cache holds, with one grain in each after a run in table 0:
  // tables 0 and 32 share a slot of the cache.
  TypeParam b(40 * TypeParam::kSpan);
  for (uint64_t g = 0; g < 6; ++g) b.Store(g);
  for (uint64_t t = 1; t < 40; ++t) b.Store(t * E + t);
  b.Store(7);  // stored after the others: a second run
  int reads = 0;
  std::string error;
  auto extent = TypeParam::Open(std::make_unique<CountingSource>(b.bytes, &reads), 0, error);
  ASSERT_NE(extent, nullptr) << error;

  ReadReport report;
  reads = 0;
  EXPECT_TRUE(HoldsPattern(ReadSectors(*extent, 0, 6 * G, report), 0, 6 * G, 0));
  EXPECT_EQ(reads, 2);  // the table, then one run of six grains
  reads = 0;
  auto out = ReadSectors(*extent, 0, 8 * G, report);
  EXPECT_TRUE(HoldsPattern(out, 0, 6 * G, 0));
  EXPECT_TRUE(HoldsPattern(out, 7 * G, G, 7 * G));
  EXPECT_EQ(reads, 2);  // the cached table; two runs

  auto check = [&](uint64_t t) {
    ReadReport r;
    const uint64_t sector = (t * E + t) * G;
    EXPECT_TRUE(HoldsPattern(ReadSectors(*extent, sector, G, r), 0, G, sector)) << "table " << t;
    EXPECT_TRUE(r.unallocated.empty() && r.failed.empty()) << "table " << t;
  };
  for (uint64_t t = 1; t < 40; ++t) check(t);
  for (uint64_t t = 40; t-- > 1;) check(t);
  for (int i = 0; i < 3; ++i) {
    check(32);
    EXPECT_TRUE(HoldsPattern(ReadSectors(*extent, 0, G, report), 0, G, 0));
  }
}

TYPED_TEST(GrainTableExtentTest, RejectsDamagedHeadersWithOneLineErrors) {
  for (const auto& c : TypeParam::DamagedHeaders()) {
    TypeParam b(4 * TypeParam::kSpan);
    c.damage(b);
    std::string error;
    EXPECT_EQ(TypeParam::Open(std::make_unique<MemorySource>(b.bytes), 0, error), nullptr) << c.name;
    EXPECT_FALSE(error.empty()) << c.name;
    EXPECT_EQ(error.find('\n'), std::string::npos) << c.name;
  }
  TypeParam b(TypeParam::kSpan);
  std::string error;
  EXPECT_EQ(TypeParam::Open(std::make_unique<MemorySource>(b.bytes), kMaxDiskSectors + 1, error), nullptr);
  EXPECT_EQ(TypeParam::Open(nullptr, 0, error), nullptr);
}

TYPED_TEST(GrainTableExtentTest, DamagedTablesAndGrainsFailOnlyTheirSectors) {
  constexpr uint64_t G = TypeParam::kGrain, E = TypeParam::kTableEntries, kSpan = TypeParam::kSpan;
  TypeParam b(4 * kSpan);
  b.Store(0);
  b.SetEntry(1, TypeParam::kGrainPastEnd);
  b.SetEntry(2, TypeParam::kGrainInHeader);
  b.Store(3);
  b.Store(3 * E);
  b.Store(3 * E + 1);
  b.SetDir(1, TypeParam::kTablePastEnd);
  b.SetDir(2, TypeParam::kTableInHeader);
  b.bytes.resize(b.bytes.size() - 100);  // the last grain loses the tail of its last sector

  auto extent = this->Open(b);
  ASSERT_NE(extent, nullptr);
  ReadReport report;
  report.base = 50;
  auto out = ReadSectors(*extent, 0, 4 * G, report);
  EXPECT_TRUE(HoldsPattern(out, 0, G, 0));
  EXPECT_TRUE(HoldsZeros(out, G, 2 * G));
  EXPECT_TRUE(HoldsPattern(out, 3 * G, G, 3 * G));
  EXPECT_EQ(report.failed, (std::vector<SectorRange>{{50 + G, 2 * G}}));
  EXPECT_TRUE(report.unallocated.empty());

  ReadReport tables;
  out = ReadSectors(*extent, kSpan, 2 * kSpan + 3 * G, tables);
  EXPECT_TRUE(HoldsZeros(out, 0, 2 * kSpan));
  EXPECT_TRUE(HoldsPattern(out, 2 * kSpan, 2 * G - 1, 3 * kSpan));
  EXPECT_TRUE(HoldsZeros(out, 2 * kSpan + 2 * G - 1, G + 1));
  EXPECT_EQ(tables.failed, (std::vector<SectorRange>{{kSpan, 2 * kSpan}, {3 * kSpan + 2 * G - 1, 1}}));
  EXPECT_EQ(tables.unallocated, (std::vector<SectorRange>{{3 * kSpan + 2 * G, G}}));
}

TYPED_TEST(GrainTableExtentTest, SizeComesFromTheDescriptorAndSectorsPastTheDirectoryFail) {
  constexpr uint64_t G = TypeParam::kGrain, E = TypeParam::kTableEntries, kSpan = TypeParam::kSpan;
  TypeParam b(kSpan + 10);
  b.Store(E);
  EXPECT_EQ(this->Open(b)->Sectors(), kSpan + 10);
  const uint64_t covered = b.dirEntries * kSpan;  // what the header's directory maps
  auto larger = this->Open(b, covered + kSpan);
  ASSERT_NE(larger, nullptr);
  EXPECT_EQ(larger->Sectors(), covered + kSpan);
  ReadReport report;
  EXPECT_TRUE(HoldsPattern(ReadSectors(*larger, kSpan, G, report), 0, G, kSpan));
  auto out = ReadSectors(*larger, covered - 1, 5, report);
  EXPECT_TRUE(HoldsZeros(out, 0, 5));
  EXPECT_EQ(report.unallocated, (std::vector<SectorRange>{{covered - 1, 1}}));
  EXPECT_EQ(report.failed, (std::vector<SectorRange>{{covered, 4}}));
}

TYPED_TEST(GrainTableExtentTest, WritesOnlyIntoStoredGrainsOfWritableFiles) {
  constexpr uint64_t G = TypeParam::kGrain;
  TypeParam b(TypeParam::kSpan);
  for (uint64_t g : {0, 1, 3}) b.Store(g);
  const std::vector<std::byte> data = test::PatternBytes(2 * G * 512);

  EXPECT_FALSE(this->Open(b)->Write(0, G, data.data()));  // opened read-only
  auto extent = this->Open(b, 0, true);
  ASSERT_NE(extent, nullptr);
  const auto* file = dynamic_cast<const MemorySource*>(extent->File());
  ASSERT_NE(file, nullptr);
  const std::vector<uint8_t> before = file->Bytes();
  EXPECT_FALSE(extent->Write(G + 1, 2 * G, data.data()));  // grain 2 is not stored
  EXPECT_FALSE(extent->Write(extent->Sectors() - 1, 2, data.data()));
  EXPECT_EQ(file->Bytes(), before);

  ASSERT_TRUE(extent->Write(1, 2 * G - 1, data.data()));
  ReadReport report;
  auto out = ReadSectors(*extent, 0, 4 * G, report);
  EXPECT_TRUE(HoldsPattern(out, 0, 1, 0));
  EXPECT_EQ(std::memcmp(out.data() + 512, data.data(), (2 * G - 1) * 512), 0);
  EXPECT_TRUE(HoldsPattern(out, 3 * G, G, 3 * G));
}

TEST(SeSparseExtentTest, ZeroAndUnmappedGrainsReadAsZerosAndSplitGrainNumbersDecode) {
  constexpr uint64_t G = SeSparse::kGrain;
  SeSparse b(SeSparse::kTableEntries * G);
  // Grain numbers 4096 and 4097 put their high part in bits 0-47; 4096 has zero low bits.
  b.Store(0, 4097);
  b.SetEntry(1, uint64_t{1} << 60);  // unmapped by the guest
  b.SetEntry(2, uint64_t{2} << 60);  // zero
  b.Store(3, 4096);
  b.Store(4, 0xABC);
  b.SetEntry(5, 5);  // unallocated type with stray bits: damaged
  std::string error;
  auto extent = OpenSeSparseExtent(std::make_unique<MemorySource>(b.bytes), 0, error);
  ASSERT_NE(extent, nullptr) << error;
  ReadReport report;
  auto out = ReadSectors(*extent, 0, 7 * G, report);
  EXPECT_TRUE(HoldsPattern(out, 0, G, 0));
  EXPECT_TRUE(HoldsZeros(out, G, 2 * G));
  EXPECT_TRUE(HoldsPattern(out, 3 * G, 2 * G, 3 * G));
  EXPECT_EQ(report.failed, (std::vector<SectorRange>{{5 * G, G}}));
  // Zero and unmapped grains do not send the reader to a parent disk.
  EXPECT_EQ(report.unallocated, (std::vector<SectorRange>{{6 * G, G}}));
}

}  // namespace
}  // namespace torvane::vdisk
