#include "disk/vdisk/sparse_extent.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <cstring>
#include <map>

#include "test_util.h"
#include "util/bytes.h"

namespace torvane::vdisk {
namespace {

// Builds hosted sparse extents in memory: header, grain directory (and its redundant copy),
// grain tables, then the grains, laid out as VMware does. Small grains and tables keep the
// images tiny while still spanning several tables.
class SparseBuilder {
 public:
  SparseBuilder(uint64_t capacity, uint64_t grainSize, uint32_t gtes)
      : capacity_(capacity), grainSize_(grainSize), gtes_(gtes) {}

  // Grain `index` holds the stamped sectors of its own disk position.
  void Allocate(uint64_t index) { grains_[index] = test::StampedSectors(grainSize_, index * grainSize_); }
  void Zeroed(uint64_t index) { zeroed_.insert({index, true}); }
  void Compress() { compressed_ = true; }
  void Stream() { stream_ = compressed_ = true; }

  std::vector<uint8_t> Build() {
    const uint64_t perTable = grainSize_ * gtes_;
    const uint64_t gdes = (capacity_ + perTable - 1) / perTable;
    const uint64_t gdSectors = (gdes * 4 + 511) / 512;
    const uint64_t gtSectors = (gtes_ * 4 + 511) / 512;
    rgdSector = 1;
    gdSector = rgdSector + gdSectors + gdes * gtSectors;
    const uint64_t overhead = gdSector + gdSectors + gdes * gtSectors;
    std::vector<uint8_t> out(overhead * 512);
    std::vector<uint32_t> gt(gdes * gtes_, 0);
    for (const auto& [index, data] : grains_) {
      const uint64_t at = out.size() / 512;
      if (compressed_) {
        uLongf len = compressBound(data.size());
        std::vector<uint8_t> packed(12 + len);
        compress(packed.data() + 12, &len, data.data(), data.size());
        StoreLeU64(AsWritable(packed), 0, index * grainSize_);
        StoreLeU32(AsWritable(packed), 8, static_cast<uint32_t>(len));
        packed.resize(((12 + len + 511) / 512) * 512);
        out.insert(out.end(), packed.begin(), packed.end());
      } else {
        out.insert(out.end(), data.begin(), data.end());
      }
      gt[index] = static_cast<uint32_t>(at);
    }
    for (const auto& [index, unused] : zeroed_) gt[index] = 1;
    for (uint64_t t = 0; t < gdes; ++t) {
      const uint64_t primaryGt = gdSector + gdSectors + t * gtSectors;
      const uint64_t redundantGt = rgdSector + gdSectors + t * gtSectors;
      StoreLeU32(AsWritable(out), gdSector * 512 + t * 4, static_cast<uint32_t>(primaryGt));
      StoreLeU32(AsWritable(out), rgdSector * 512 + t * 4, static_cast<uint32_t>(redundantGt));
      for (uint32_t e = 0; e < gtes_; ++e) {
        StoreLeU32(AsWritable(out), primaryGt * 512 + e * 4, gt[t * gtes_ + e]);
        StoreLeU32(AsWritable(out), redundantGt * 512 + e * 4, gt[t * gtes_ + e]);
      }
    }
    std::vector<uint8_t> header = Header(stream_ ? SparseHeader::kGdAtEnd : gdSector, overhead);
    std::memcpy(out.data(), header.data(), 512);
    if (stream_) {
      std::vector<uint8_t> marker(512, 0);
      StoreLeU64(AsWritable(marker), 0, 1);
      StoreLeU32(AsWritable(marker), 12, 3);  // footer marker
      out.insert(out.end(), marker.begin(), marker.end());
      std::vector<uint8_t> footer = Header(gdSector, overhead);
      out.insert(out.end(), footer.begin(), footer.end());
      out.insert(out.end(), 512, 0);  // end-of-stream marker
    }
    return out;
  }

  uint64_t gdSector = 0, rgdSector = 0;

 private:
  static MutableByteSpan AsWritable(std::vector<uint8_t>& v) {
    return {reinterpret_cast<std::byte*>(v.data()), v.size()};
  }
  std::vector<uint8_t> Header(uint64_t gd, uint64_t overhead) {
    std::vector<uint8_t> h(512, 0);
    auto w = AsWritable(h);
    StoreLeU32(w, 0, kSparseMagic);
    StoreLeU32(w, 4, compressed_ ? 3 : 1);
    uint32_t flags =
        SparseHeader::kValidNewlineTest | SparseHeader::kRedundantGrainTable | SparseHeader::kZeroedGrainEntries;
    if (compressed_) flags |= SparseHeader::kCompressedGrains | SparseHeader::kHasMarkers;
    StoreLeU32(w, 8, flags);
    StoreLeU64(w, 12, capacity_);
    StoreLeU64(w, 20, grainSize_);
    StoreLeU32(w, 44, gtes_);
    StoreLeU64(w, 48, rgdSector);
    StoreLeU64(w, 56, gd);
    StoreLeU64(w, 64, overhead);
    h[73] = '\n';
    h[74] = ' ';
    h[75] = '\r';
    h[76] = '\n';
    StoreLeU16(w, 77, compressed_ ? 1 : 0);
    return h;
  }

  uint64_t capacity_, grainSize_;
  uint32_t gtes_;
  bool compressed_ = false, stream_ = false;
  std::map<uint64_t, std::vector<uint8_t>> grains_;
  std::map<uint64_t, bool> zeroed_;
};

std::unique_ptr<SparseExtent> OpenBytes(std::vector<uint8_t> bytes, std::string& error, bool writable = false) {
  return SparseExtent::Open(std::make_unique<MemorySource>(std::move(bytes), writable), 0, error);
}

struct ReadResult {
  std::vector<uint8_t> data;
  ReadReport report;
};

ReadResult ReadAll(Extent& e, uint64_t sector, uint64_t count, uint64_t base = 0) {
  ReadResult r;
  r.data.assign(count * 512, 0xEE);  // stale bytes that every read must overwrite
  r.report.base = base;
  e.Read(sector, count, reinterpret_cast<std::byte*>(r.data.data()), r.report);
  return r;
}

std::vector<uint8_t> Zeros(uint64_t sectors) {
  return std::vector<uint8_t>(sectors * 512, 0);
}

// Capacity 64 sectors, grains of 4 sectors, tables of 4 grains: four grain tables.
SparseBuilder FourTables() {
  SparseBuilder b(64, 4, 4);
  b.Allocate(0);
  b.Allocate(1);
  b.Allocate(2);  // grains 0-2 stored one after another: one read
  b.Allocate(5);
  b.Zeroed(6);
  b.Allocate(15);
  return b;
}

TEST(SparseExtentTest, ReadsAllocatedZeroedAndUnallocatedGrains) {
  for (bool compressed : {false, true}) {
    SCOPED_TRACE(compressed ? "compressed" : "plain");
    SparseBuilder b = FourTables();
    if (compressed) b.Compress();
    std::string error;
    auto extent = OpenBytes(b.Build(), error);
    ASSERT_TRUE(extent) << error;
    EXPECT_EQ(extent->Sectors(), 64u);

    ReadResult r = ReadAll(*extent, 0, 64, /*base=*/1000);
    auto expect = test::StampedSectors(64);
    for (uint64_t s = 0; s < 64; ++s) {
      const uint64_t grain = s / 4;
      const bool stored = grain <= 2 || grain == 5 || grain == 15;
      ASSERT_EQ(0, std::memcmp(r.data.data() + s * 512, stored ? expect.data() + s * 512 : Zeros(1).data(), 512))
          << "sector " << s;
    }
    // The zeroed grain 6 reads as zeros but is not "unallocated": a parent must not show
    // through it.
    const std::vector<SectorRange> holes{{1012, 8}, {1028, 32}};
    EXPECT_EQ(r.report.unallocated, holes);
    EXPECT_TRUE(r.report.failed.empty());

    // A read inside one grain, not from its start.
    r = ReadAll(*extent, 21, 2);
    EXPECT_EQ(0, std::memcmp(r.data.data(), expect.data() + 21 * 512, 1024));
  }
}

TEST(SparseExtentTest, StreamOptimizedFindsTheDirectoryInTheFooter) {
  SparseBuilder b = FourTables();
  b.Stream();
  std::string error;
  auto extent = OpenBytes(b.Build(), error);
  ASSERT_TRUE(extent) << error;
  ReadResult r = ReadAll(*extent, 60, 4);
  EXPECT_EQ(0, std::memcmp(r.data.data(), test::StampedSectors(4, 60).data(), 2048));

  // Cut the footer away: the open fails with a clear reason.
  std::vector<uint8_t> bytes = b.Build();
  bytes.resize(bytes.size() - 1024);
  EXPECT_FALSE(OpenBytes(bytes, error));
  EXPECT_NE(error.find("footer"), std::string::npos) << error;
}

TEST(SparseExtentTest, DamagedGrainsFailAndZeroFillWithoutStoppingTheRead) {
  // A grain table entry that points past the end of the file.
  SparseBuilder b = FourTables();
  std::vector<uint8_t> bytes = b.Build();
  const uint64_t gtOfGrain5 = LeU32(AsBytes(bytes.data(), bytes.size()), b.gdSector * 512 + 4);
  StoreLeU32({reinterpret_cast<std::byte*>(bytes.data()), bytes.size()}, gtOfGrain5 * 512 + 4, 0x00FFFFFF);
  std::string error;
  auto extent = OpenBytes(bytes, error);
  ASSERT_TRUE(extent) << error;
  ReadResult r = ReadAll(*extent, 16, 12);
  EXPECT_EQ(r.report.failed, (std::vector<SectorRange>{{20, 4}}));
  EXPECT_NE(r.report.failureReason.find("past the end"), std::string::npos);
  EXPECT_EQ(r.data, Zeros(12));  // grain 4 unallocated, 5 failed, 6 zeroed: zeros, no stale bytes

  // A compressed grain whose data is damaged.
  SparseBuilder c = FourTables();
  c.Compress();
  bytes = c.Build();
  auto at = bytes.size() - 512 + 20;  // inside the last grain's deflate stream
  for (size_t i = 0; i < 16; ++i) bytes[at + i] ^= 0x5A;
  extent = OpenBytes(bytes, error);
  ASSERT_TRUE(extent) << error;
  r = ReadAll(*extent, 56, 8);
  EXPECT_EQ(r.report.failed, (std::vector<SectorRange>{{60, 4}}));
  EXPECT_EQ(r.data, Zeros(8));

  // A file cut short in the middle of a run of grains: the missing sectors fail.
  bytes = FourTables().Build();
  // Grains are stored in the order 0, 1, 2, 5, 15: keep grains 0 and 1 and one sector of 2.
  bytes.resize(bytes.size() - 3 * 2048 + 512);
  extent = OpenBytes(bytes, error);
  ASSERT_TRUE(extent) << error;
  r = ReadAll(*extent, 0, 12);
  EXPECT_EQ(0, std::memcmp(r.data.data(), test::StampedSectors(9).data(), 9 * 512));
  EXPECT_EQ(0, std::memcmp(r.data.data() + 9 * 512, Zeros(3).data(), 3 * 512));
  EXPECT_EQ(r.report.failed, (std::vector<SectorRange>{{9, 3}}));
}

TEST(SparseExtentTest, UsesTheRedundantDirectoryWhenThePrimaryIsDamaged) {
  SparseBuilder b = FourTables();
  std::vector<uint8_t> bytes = b.Build();
  StoreLeU32({reinterpret_cast<std::byte*>(bytes.data()), bytes.size()}, b.gdSector * 512, 0x7FFFFFFF);
  std::string error;
  auto extent = OpenBytes(bytes, error);
  ASSERT_TRUE(extent) << error;
  EXPECT_TRUE(extent->UsingRedundantDirectory());
  ReadResult r = ReadAll(*extent, 0, 4);
  EXPECT_EQ(0, std::memcmp(r.data.data(), test::StampedSectors(4).data(), 2048));
  EXPECT_TRUE(r.report.failed.empty());
}

TEST(SparseExtentTest, RefusesDamagedHeadersWithAReason) {
  struct Case {
    size_t offset;
    uint64_t value;
    int width;
    const char* expected;
  };
  const Case cases[] = {
      {4, 9, 4, "version 9"},
      {12, 0, 8, "capacity 0"},
      {12, uint64_t{1} << 50, 8, "capacity"},
      {20, 0, 8, "grain size 0"},
      {20, 1 << 20, 8, "grain size"},
      {44, 0, 4, "grain table size"},
      {44, 1 << 30, 4, "grain table size"},
      {36, 1 << 30, 8, "larger than 1 MiB"},
      {74, 0x0D0A, 2, "text-mode transfer"},
  };
  for (const auto& c : cases) {
    std::vector<uint8_t> bytes = FourTables().Build();
    MutableByteSpan w{reinterpret_cast<std::byte*>(bytes.data()), bytes.size()};
    if (c.width == 8) StoreLeU64(w, c.offset, c.value);
    if (c.width == 4) StoreLeU32(w, c.offset, static_cast<uint32_t>(c.value));
    if (c.width == 2) StoreLeU16(w, c.offset, static_cast<uint16_t>(c.value));
    std::string error;
    EXPECT_FALSE(OpenBytes(bytes, error)) << c.expected;
    EXPECT_NE(error.find(c.expected), std::string::npos) << c.expected << " -> " << error;
  }
  // Both directories outside the file.
  std::vector<uint8_t> bytes = FourTables().Build();
  StoreLeU64({reinterpret_cast<std::byte*>(bytes.data()), bytes.size()}, 48, 0xFFFFFFF);
  StoreLeU64({reinterpret_cast<std::byte*>(bytes.data()), bytes.size()}, 56, 0xFFFFFFF);
  std::string error;
  EXPECT_FALSE(OpenBytes(bytes, error));
  EXPECT_NE(error.find("grain directory"), std::string::npos) << error;
  EXPECT_FALSE(OpenBytes({'K', 'D', 'M', 'V', 1, 0}, error));
  EXPECT_NE(error.find("truncated"), std::string::npos);
  EXPECT_FALSE(OpenBytes(std::vector<uint8_t>(4096, 0), error));
  EXPECT_NE(error.find("no KDMV magic"), std::string::npos);
}

TEST(SparseExtentTest, WritesOnlyInPlaceAndOnlyWhenWritable) {
  const std::vector<uint8_t> data(8 * 512, 0x42);
  const auto* in = reinterpret_cast<const std::byte*>(data.data());
  std::string error;
  auto readOnly = OpenBytes(FourTables().Build(), error);
  EXPECT_FALSE(readOnly->Write(0, 4, in));

  auto writable = OpenBytes(FourTables().Build(), error, true);
  // Grains 3 and 4 are not stored: the whole write is refused and nothing changes.
  EXPECT_FALSE(writable->Write(8, 8, in));
  EXPECT_EQ(ReadAll(*writable, 8, 4).data, test::StampedSectors(4, 8));
  EXPECT_TRUE(writable->Write(2, 8, in));  // spans grains 0-2, all stored
  EXPECT_EQ(ReadAll(*writable, 2, 8).data, data);

  SparseBuilder c = FourTables();
  c.Compress();
  auto compressed = SparseExtent::Open(std::make_unique<MemorySource>(c.Build(), true), 0, error);
  EXPECT_FALSE(compressed->Write(0, 4, in));
}

}  // namespace
}  // namespace torvane::vdisk
