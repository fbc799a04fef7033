#include "disk/vdisk/cowd_extent.h"

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

namespace torvane::vdisk {
namespace {

constexpr uint32_t kTableEntries = 4096;
constexpr size_t kTableBytes = kTableEntries * 4;

// Content of disk sector `sector`, byte `i`: never zero, different in every sector.
uint8_t Pattern(uint64_t sector, size_t i) {
  return static_cast<uint8_t>((sector * 131 + i) % 251 + 1);
}

// Builds a COWD file in memory: header, directory at sector 4, then tables and grains
// appended in the order they are added.
class CowdBuilder {
 public:
  CowdBuilder(uint32_t capacity, uint32_t grainSectors) : grain_(grainSectors) {
    const uint64_t span = uint64_t{kTableEntries} * grainSectors;
    dirEntries_ = static_cast<uint32_t>((capacity + span - 1) / span);
    bytes_.resize(2048 + (dirEntries_ * 4 + 511) / 512 * 512);
    std::memcpy(bytes_.data(), "COWD", 4);
    Put32(4, 1);  // version
    Put32(8, 3);  // flags
    Put32(12, capacity);
    Put32(16, grainSectors);
    Put32(20, 4);  // directory sector
    Put32(24, dirEntries_);
  }

  void Put32(size_t offset, uint32_t value) {
    for (int i = 0; i < 4; ++i) bytes_[offset + i] = static_cast<uint8_t>(value >> (8 * i));
  }
  uint32_t Get32(size_t offset) const {
    uint32_t v = 0;
    for (int i = 0; i < 4; ++i) v |= uint32_t{bytes_[offset + i]} << (8 * i);
    return v;
  }

  uint32_t DirEntry(uint32_t index) const { return Get32(2048 + index * 4); }
  void SetDirEntry(uint32_t index, uint32_t sector) { Put32(2048 + index * 4, sector); }

  uint32_t AddTable(uint32_t dirIndex) {
    const auto sector = static_cast<uint32_t>(bytes_.size() / 512);
    bytes_.resize(bytes_.size() + kTableBytes);
    SetDirEntry(dirIndex, sector);
    return sector;
  }

  void SetTableEntry(uint64_t grain, uint32_t value) {
    const auto dirIndex = static_cast<uint32_t>(grain / kTableEntries);
    if (DirEntry(dirIndex) == 0) AddTable(dirIndex);
    Put32(uint64_t{DirEntry(dirIndex)} * 512 + (grain % kTableEntries) * 4, value);
  }

  // Appends grain `grain` holding Pattern() of its disk sectors; returns its file sector.
  uint32_t AddGrain(uint64_t grain) {
    const auto dirIndex = static_cast<uint32_t>(grain / kTableEntries);
    if (DirEntry(dirIndex) == 0) AddTable(dirIndex);
    const auto sector = static_cast<uint32_t>(bytes_.size() / 512);
    for (uint64_t s = grain * grain_; s < (grain + 1) * grain_; ++s)
      for (size_t i = 0; i < 512; ++i) bytes_.push_back(Pattern(s, i));
    SetTableEntry(grain, sector);
    return sector;
  }

  std::vector<uint8_t>& Bytes() { return bytes_; }

  std::unique_ptr<Extent> Open(uint64_t descriptorSectors = 0, bool writable = false) {
    std::string error;
    auto extent = OpenCowdExtent(std::make_unique<MemorySource>(bytes_, writable),
                                 descriptorSectors, error);
    EXPECT_NE(extent, nullptr) << error;
    return extent;
  }

 private:
  uint32_t grain_;
  uint32_t dirEntries_;
  std::vector<uint8_t> bytes_;
};

// Counts the reads that reach the file, to see that runs are merged.
class CountingSource final : public ByteSource {
 public:
  explicit CountingSource(std::vector<uint8_t> bytes, int* reads)
      : inner_(std::move(bytes)), reads_(reads) {}
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

// Reads `count` sectors into a buffer pre-filled with 0xAA, so unwritten bytes show.
std::vector<std::byte> ReadSectors(Extent& extent, uint64_t sector, uint64_t count,
                                   ReadReport& report) {
  std::vector<std::byte> out(count * 512, std::byte{0xAA});
  extent.Read(sector, count, out.data(), report);
  return out;
}

// True when `count` sectors of `out` starting at `index` hold Pattern(diskSector, ...).
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

TEST(CowdExtent, ReadsStoredGrainsAndZeroFillsUnallocatedOnes) {
  CowdBuilder b(2 * kTableEntries * 2, 2);
  b.AddGrain(0);
  b.AddGrain(1);
  b.AddGrain(3);
  auto extent = b.Open();
  ASSERT_NE(extent, nullptr);

  ReadReport report;
  report.base = 1000;
  auto out = ReadSectors(*extent, 0, 10, report);
  EXPECT_TRUE(HoldsPattern(out, 0, 4, 0));
  EXPECT_TRUE(HoldsZeros(out, 4, 2));
  EXPECT_TRUE(HoldsPattern(out, 6, 2, 6));
  EXPECT_TRUE(HoldsZeros(out, 8, 2));
  EXPECT_EQ(report.unallocated,
            (std::vector<SectorRange>{{1004, 2}, {1008, 2}}));
  EXPECT_TRUE(report.failed.empty());

  // A read starting and ending inside grains.
  ReadReport partial;
  out = ReadSectors(*extent, 3, 4, partial);
  EXPECT_TRUE(HoldsPattern(out, 0, 1, 3));
  EXPECT_TRUE(HoldsZeros(out, 1, 2));
  EXPECT_TRUE(HoldsPattern(out, 3, 1, 6));
  EXPECT_EQ(partial.unallocated, (std::vector<SectorRange>{{4, 2}}));
}

TEST(CowdExtent, ReadsAcrossGrainTables) {
  // Tables 0 and 2 exist, table 1 does not: its whole range is unallocated.
  const uint64_t span = uint64_t{kTableEntries} * 1;
  CowdBuilder b(3 * kTableEntries, 1);
  b.AddGrain(span - 1);
  b.AddGrain(2 * span);
  auto extent = b.Open();
  ASSERT_NE(extent, nullptr);

  ReadReport report;
  auto out = ReadSectors(*extent, span - 1, span + 2, report);
  EXPECT_TRUE(HoldsPattern(out, 0, 1, span - 1));
  EXPECT_TRUE(HoldsZeros(out, 1, span));
  EXPECT_TRUE(HoldsPattern(out, span + 1, 1, 2 * span));
  EXPECT_EQ(report.unallocated, (std::vector<SectorRange>{{span, span}}));
  EXPECT_TRUE(report.failed.empty());
}

TEST(CowdExtent, StoredRunsBecomeSingleFileReads) {
  CowdBuilder b(kTableEntries * 4, 4);
  for (uint64_t g = 0; g < 8; ++g) b.AddGrain(g);  // stored one after another
  b.AddGrain(9);
  b.AddGrain(8);  // stored in reverse order: two reads
  int reads = 0;
  std::string error;
  auto extent = OpenCowdExtent(std::make_unique<CountingSource>(b.Bytes(), &reads), 0, error);
  ASSERT_NE(extent, nullptr) << error;

  ReadReport report;
  reads = 0;
  auto out = ReadSectors(*extent, 0, 32, report);
  EXPECT_TRUE(HoldsPattern(out, 0, 32, 0));
  EXPECT_EQ(reads, 2);  // the grain table, then one run of eight grains

  reads = 0;
  out = ReadSectors(*extent, 0, 32, report);
  EXPECT_EQ(reads, 1);  // the table is cached

  reads = 0;
  out = ReadSectors(*extent, 32, 8, report);
  EXPECT_TRUE(HoldsPattern(out, 0, 8, 32));
  EXPECT_EQ(reads, 2);
}

TEST(CowdExtent, TableCacheKeepsTablesApartWhenSlotsCollide) {
  // 40 tables, more than the cache holds, with one grain in each; tables 0 and 32 share a
  // slot in a direct-mapped cache of 32.
  constexpr uint32_t kTables = 40;
  CowdBuilder b(kTables * kTableEntries, 1);
  for (uint64_t t = 0; t < kTables; ++t) b.AddGrain(t * kTableEntries + t);
  auto extent = b.Open();
  ASSERT_NE(extent, nullptr);

  auto check = [&](uint64_t t) {
    ReadReport report;
    auto out = ReadSectors(*extent, t * kTableEntries + t, 1, report);
    EXPECT_TRUE(HoldsPattern(out, 0, 1, t * kTableEntries + t)) << "table " << t;
    EXPECT_TRUE(report.unallocated.empty()) << "table " << t;
  };
  for (uint64_t t = 0; t < kTables; ++t) check(t);
  for (uint64_t t = kTables; t-- > 0;) check(t);
  for (int i = 0; i < 3; ++i) {
    check(0);
    check(32);
  }
}

TEST(CowdExtent, RejectsDamagedHeaders) {
  struct Case {
    const char* name;
    std::function<void(CowdBuilder&)> damage;
    uint64_t descriptorSectors = 0;
  };
  const Case cases[] = {
      {"wrong magic", [](CowdBuilder& b) { b.Bytes()[0] = 'X'; }},
      {"truncated header", [](CowdBuilder& b) { b.Bytes().resize(2000); }},
      {"grain size 0", [](CowdBuilder& b) { b.Put32(16, 0); }},
      {"absurd grain size", [](CowdBuilder& b) { b.Put32(16, 0xFFFFFFFF); }},
      {"capacity 0", [](CowdBuilder& b) { b.Put32(12, 0); }},
      {"empty directory", [](CowdBuilder& b) { b.Put32(24, 0); }},
      {"directory past the end", [](CowdBuilder& b) { b.Put32(20, 0x10000000); }},
      {"directory overlapping the header", [](CowdBuilder& b) { b.Put32(20, 1); }},
      {"directory running off the end",
       [](CowdBuilder& b) { b.Bytes().resize(2048 + 4); }},
      {"absurd descriptor size", [](CowdBuilder&) {}, kMaxDiskSectors + 1},
  };
  for (const Case& c : cases) {
    CowdBuilder b(4 * kTableEntries, 1);
    c.damage(b);
    std::string error;
    auto extent =
        OpenCowdExtent(std::make_unique<MemorySource>(b.Bytes()), c.descriptorSectors, error);
    EXPECT_EQ(extent, nullptr) << c.name;
    EXPECT_FALSE(error.empty()) << c.name;
    EXPECT_EQ(error.find('\n'), std::string::npos) << c.name;
  }

  std::string error;
  EXPECT_EQ(OpenCowdExtent(nullptr, 0, error), nullptr);
}

TEST(CowdExtent, DamagedTablesAndGrainsFailOnlyTheirSectors) {
  const uint64_t span = kTableEntries;
  CowdBuilder b(4 * kTableEntries, 1);
  b.AddGrain(0);
  b.SetTableEntry(1, 0x00F00000);  // grain far past the end of the file
  b.SetTableEntry(2, 2);           // grain inside the header
  b.AddGrain(3);
  b.SetDirEntry(1, 0x7FFFFFFF);    // table past the end of the file
  b.SetDirEntry(2, 3);             // table overlapping the header
  b.AddGrain(3 * span);
  b.AddGrain(3 * span + 1);
  b.Bytes().resize(b.Bytes().size() - 100);  // the last grain loses its tail

  auto extent = b.Open();
  ASSERT_NE(extent, nullptr);
  ReadReport report;
  report.base = 50;
  auto out = ReadSectors(*extent, 0, 4, report);
  EXPECT_TRUE(HoldsPattern(out, 0, 1, 0));
  EXPECT_TRUE(HoldsZeros(out, 1, 2));
  EXPECT_TRUE(HoldsPattern(out, 3, 1, 3));
  EXPECT_EQ(report.failed, (std::vector<SectorRange>{{51, 2}}));
  EXPECT_NE(report.failureReason.find("past the end"), std::string::npos)
      << report.failureReason;
  EXPECT_TRUE(report.unallocated.empty());

  ReadReport tables;
  out = ReadSectors(*extent, span - 1, 2 * span + 3, tables);
  EXPECT_TRUE(HoldsZeros(out, 0, 2 * span + 1));
  EXPECT_TRUE(HoldsPattern(out, 2 * span + 1, 1, 3 * span));
  EXPECT_TRUE(HoldsZeros(out, 2 * span + 2, 1));
  EXPECT_EQ(tables.unallocated, (std::vector<SectorRange>{{span - 1, 1}}));
  EXPECT_EQ(tables.failed, (std::vector<SectorRange>{{span, 2 * span}, {3 * span + 1, 1}}));
}

TEST(CowdExtent, SizeComesFromTheDescriptorOrTheHeader) {
  CowdBuilder b(kTableEntries + 10, 1);  // two directory entries
  b.AddGrain(kTableEntries + 5);
  EXPECT_EQ(b.Open()->Sectors(), kTableEntries + 10);
  auto larger = b.Open(3 * kTableEntries);
  ASSERT_NE(larger, nullptr);
  EXPECT_EQ(larger->Sectors(), 3 * kTableEntries);

  // Sectors the directory covers read normally; those past it fail.
  ReadReport report;
  auto out = ReadSectors(*larger, kTableEntries + 5, kTableEntries, report);
  EXPECT_TRUE(HoldsPattern(out, 0, 1, kTableEntries + 5));
  EXPECT_EQ(report.unallocated, (std::vector<SectorRange>{{kTableEntries + 6, kTableEntries - 6}}));
  EXPECT_EQ(report.failed, (std::vector<SectorRange>{{2 * kTableEntries, 5}}));
  EXPECT_TRUE(HoldsZeros(out, 1, kTableEntries - 1));
}

TEST(CowdExtent, WritesOnlyIntoStoredGrainsOfWritableFiles) {
  CowdBuilder b(kTableEntries * 2, 2);
  b.AddGrain(0);
  b.AddGrain(1);
  b.AddGrain(3);
  std::vector<std::byte> data(4 * 512);
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<std::byte>(i * 7);

  auto readOnly = b.Open();
  EXPECT_FALSE(readOnly->Write(0, 4, data.data()));

  auto extent = b.Open(0, true);
  ASSERT_NE(extent, nullptr);
  const auto* file = dynamic_cast<const MemorySource*>(extent->File());
  ASSERT_NE(file, nullptr);
  const std::vector<uint8_t> before = file->Bytes();

  // Grain 2 is not stored: the whole write is refused and nothing changes.
  EXPECT_FALSE(extent->Write(2, 4, data.data()));
  EXPECT_EQ(file->Bytes(), before);
  EXPECT_FALSE(extent->Write(extent->Sectors() - 1, 2, data.data()));

  ASSERT_TRUE(extent->Write(1, 3, data.data()));
  ASSERT_TRUE(extent->Write(6, 1, data.data() + 3 * 512));
  ReadReport report;
  auto out = ReadSectors(*extent, 0, 8, report);
  EXPECT_TRUE(HoldsPattern(out, 0, 1, 0));
  EXPECT_EQ(std::memcmp(out.data() + 512, data.data(), 3 * 512), 0);
  EXPECT_EQ(std::memcmp(out.data() + 6 * 512, data.data() + 3 * 512, 512), 0);
  EXPECT_TRUE(HoldsPattern(out, 7, 1, 7));
}

TEST(CowdExtent, IdentifiesItsFiles) {
  CowdBuilder b(kTableEntries, 1);
  MemorySource cowd(b.Bytes());
  EXPECT_TRUE(IsCowdFile(cowd));
  MemorySource other(std::vector<uint8_t>{'K', 'D', 'M', 'V', 0, 0});
  EXPECT_FALSE(IsCowdFile(other));
  MemorySource tiny(std::vector<uint8_t>{'C', 'O'});
  EXPECT_FALSE(IsCowdFile(tiny));

  auto extent = b.Open();
  ASSERT_NE(extent, nullptr);
  EXPECT_EQ(extent->TypeName(), "VMFSSPARSE");
  ASSERT_NE(extent->File(), nullptr);
  EXPECT_EQ(extent->File()->Size(), b.Bytes().size());
}

}  // namespace
}  // namespace torvane::vdisk
