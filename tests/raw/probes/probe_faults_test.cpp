// Each case is a fault of the probes as first designed, mended here: sizes past 4 GiB or
// 500 MiB, sizes that are not written down, walks that trusted a field.
#include <gtest/gtest.h>

#include <zlib.h>

#include <map>

#include "raw/probes/compound_file_probes.h"
#include "raw/probes/container_probes.h"
#include "raw/probes/header_field_probes.h"
#include "raw/probes/identify.h"
#include "raw/probes/iso_media_probes.h"
#include "raw/probes/probe_reader.h"
#include "raw/probes/probe_test_util.h"
#include "raw/probes/zip_probes.h"
#include "test_util.h"

namespace torvane::probes {
namespace {

constexpr uint64_t kGiB = uint64_t{1} << 30;

// A large disk of zeros holding a few byte strings at given offsets, read through a context
// as a probe would read a volume.
class SparseDisk {
 public:
  explicit SparseDisk(uint64_t available) {
    reader_ = [this](uint64_t sector, uint32_t count, std::byte* out) {
      const uint64_t start = sector * 512, end = start + uint64_t{count} * 512;
      std::memset(out, 0, size_t{count} * 512);
      for (const auto& [at, bytes] : pieces_)
        for (size_t i = 0; i < bytes.size(); ++i)
          if (at + i >= start && at + i < end) out[at + i - start] = static_cast<std::byte>(bytes[i]);
      return true;
    };
    ctx.read = &reader_;
    ctx.bytesAvailable = available;
  }
  void Put(uint64_t at, std::vector<uint8_t> bytes) {
    pieces_[at] = std::move(bytes);
    first_.assign(512, std::byte{0});
    reader_(0, 1, first_.data());
    ctx.firstSector = first_;
  }
  ProbeContext ctx;

 private:
  std::map<uint64_t, std::vector<uint8_t>> pieces_;
  std::vector<std::byte> first_;
  SectorReader reader_;
};

void PutLe(std::vector<uint8_t>& b, size_t at, uint64_t v, int bytes) {
  for (int i = 0; i < bytes; ++i) b[at + i] = static_cast<uint8_t>(v >> (8 * i));
}
void PutBe(std::vector<uint8_t>& b, size_t at, uint64_t v, int bytes) {
  for (int i = 0; i < bytes; ++i) b[at + i] = static_cast<uint8_t>(v >> (8 * (bytes - 1 - i)));
}

std::vector<uint8_t> SevenZip(uint64_t nextOffset, uint64_t nextSize) {
  std::vector<uint8_t> b = {'7', 'z', 0xBC, 0xAF, 0x27, 0x1C, 0, 4};
  b.resize(32);
  PutLe(b, 12, nextOffset, 8);
  PutLe(b, 20, nextSize, 8);
  PutLe(b, 8, crc32(0, b.data() + 12, 20), 4);
  return b;
}

TEST(ProbeFaultsTest, SevenZipIsCheckedSummedAndNotCappedAt500MiB) {
  SparseDisk disk(4 * kGiB);
  disk.Put(0, SevenZip(700ull << 20, 1000));
  EXPECT_EQ(Identify(disk.ctx).size, (700ull << 20) + 1000 + 32);
  // Beyond the volume: cut to it and estimated. Offsets that wrap around: rejected.
  disk.Put(0, SevenZip(5 * kGiB, 1000));
  Identification id = Identify(disk.ctx);
  EXPECT_EQ(id.size, 4 * kGiB);
  EXPECT_TRUE(id.estimated);
  disk.Put(0, SevenZip(UINT64_MAX - 10, 100));
  EXPECT_EQ(Size7z(disk.ctx), 0u);
  // A start header whose checksum does not hold is not a 7z archive.
  auto forged = SevenZip(1000, 100);
  forged[20] ^= 1;
  disk.Put(0, forged);
  EXPECT_FALSE(Confirm7z(disk.ctx));
}

TEST(ProbeFaultsTest, UnicodePstUsesItsSixtyFourBitEnd) {
  SparseDisk disk(8 * kGiB);
  std::vector<uint8_t> h(512);
  h[0] = '!', h[1] = 'B', h[2] = 'D', h[3] = 'N';
  PutLe(h, 10, 23, 2);  // Unicode
  PutLe(h, 184, 5 * kGiB + 4096, 8);
  disk.Put(0, h);
  EXPECT_EQ(SizePst(disk.ctx), 5 * kGiB + 4096);
  PutLe(h, 10, 14, 2);  // ANSI: 32-bit end at 168
  PutLe(h, 168, 300000, 4);
  disk.Put(0, h);
  EXPECT_EQ(SizePst(disk.ctx), 300000u);
}

TEST(ProbeFaultsTest, MatroskaOfUnknownSizeIsWalkedNotTakenAsTwoToThe56) {
  std::vector<uint8_t> b = {0x1A, 0x45, 0xDF, 0xA3, 0x8B, 0x42, 0x82, 0x88, 'm',  'a',  't',  'r',  'o',  's',
                            'k',  'a',  0x18, 0x53, 0x80, 0x67, 0x01, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
  for (int cluster = 0; cluster < 3; ++cluster) {
    for (uint8_t v : {0x1F, 0x43, 0xB6, 0x75, 0xFF, 0xE7, 0x81, 0x00, 0xA3, 0x80 | 50}) b.push_back(v);
    b.resize(b.size() + 50, 0x55);
  }
  const uint64_t end = b.size();
  b.resize(end + 3000, 0);  // free space after the recording
  test::ProbeDisk disk(b);
  ASSERT_TRUE(ConfirmMkv(disk.ctx));
  EXPECT_EQ(SizeMkv(disk.ctx), end);
  EXPECT_TRUE(disk.ctx.sizeEstimated);
}

TEST(ProbeFaultsTest, IsoMediaBoxesOfSizeZeroAndSixtyFourBits) {
  SparseDisk disk(9 * kGiB);
  std::vector<uint8_t> b(48);
  PutBe(b, 0, 24, 4);
  std::memcpy(&b[4], "ftypisom\0\0\0\0isomiso2", 20);
  PutBe(b, 24, 1, 4);  // mdat of 6 GiB, its size in 64 bits
  std::memcpy(&b[28], "mdat", 4);
  PutBe(b, 32, 6 * kGiB, 8);
  disk.Put(0, b);
  disk.Put(24 + 6 * kGiB, {0, 0, 0, 8, 'f', 'r', 'e', 'e'});
  Identification id = Identify(disk.ctx);
  ASSERT_NE(id.entry, nullptr);
  EXPECT_EQ(id.entry->tag, "MP4");
  EXPECT_EQ(id.size, 24 + 6 * kGiB + 8);
  EXPECT_FALSE(id.estimated);
  // Size 0: the box runs to the end of the file, which nothing records: up to the volume's end.
  PutBe(b, 24, 0, 4);
  disk.Put(0, b);
  id = Identify(disk.ctx);
  EXPECT_EQ(id.size, 9 * kGiB);
  EXPECT_TRUE(id.estimated);
}

std::vector<uint8_t> LocalHeader(uint32_t compressed, std::string_view name) {
  std::vector<uint8_t> b(30 + name.size());
  PutLe(b, 0, 0x04034B50, 4);
  PutLe(b, 18, compressed, 4);
  PutLe(b, 22, compressed, 4);
  PutLe(b, 26, name.size(), 2);
  std::memcpy(b.data() + 30, name.data(), name.size());
  return b;
}

TEST(ProbeFaultsTest, ZipMembersOver100MiBAndArchivesWithoutTheirEnd) {
  SparseDisk disk(2 * kGiB);
  const uint64_t member = 300ull << 20;
  disk.Put(0, LocalHeader(static_cast<uint32_t>(member), "big.bin"));
  std::vector<uint8_t> central(46 + 7);
  PutLe(central, 0, 0x02014B50, 4);
  PutLe(central, 28, 7, 2);
  std::memcpy(&central[46], "big.bin", 7);
  std::vector<uint8_t> end(22);
  PutLe(end, 0, 0x06054B50, 4);
  const uint64_t dir = 37 + member;
  central.insert(central.end(), end.begin(), end.end());
  disk.Put(dir, central);
  Identification id = Identify(disk.ctx);
  EXPECT_EQ(id.size, dir + 53 + 22);
  EXPECT_FALSE(id.estimated);
  // Without its central directory the archive is only known as far as it was walked.
  disk.Put(dir, {0});
  ProbeContext& ctx = disk.ctx;
  ctx.ResetOutputs();
  EXPECT_EQ(SizeZip(ctx), dir);
  EXPECT_TRUE(ctx.sizeEstimated);
  EXPECT_EQ(ctx.resultCode, kProbeResultSkipField);
  EXPECT_EQ(ctx.skipBytes, (dir + 511) / 512 * 512);
}

TEST(ProbeFaultsTest, ZipSubTypesNeedTheirPackageMarkers) {
  const auto zip = [](std::vector<std::string> names) {
    std::vector<uint8_t> b;
    for (const auto& n : names) {
      auto h = LocalHeader(0, n);
      b.insert(b.end(), h.begin(), h.end());
    }
    std::vector<uint8_t> end(22);
    PutLe(end, 0, 0x06054B50, 4);
    b.insert(b.end(), end.begin(), end.end());
    return b;
  };
  const auto tagOf = [](const std::vector<uint8_t>& b) {
    test::ProbeDisk disk(b);
    const Identification id = Identify(disk.ctx);
    return id.entry ? std::string(id.entry->tag) : std::string("?");
  };
  EXPECT_EQ(tagOf(zip({"[Content_Types].xml", "word/document.xml"})), "DOCX");
  EXPECT_EQ(tagOf(zip({"word/document.xml"})), "ZIP");
  EXPECT_EQ(tagOf(zip({"3D/3dmodel.model", "_rels/.rels"})), "3MF");
  EXPECT_EQ(tagOf(zip({"doc.kml", "files/a.png"})), "KMZ");
  test::ProbeDisk kmz(zip({"../../My Places.kml"}));
  EXPECT_EQ(Identify(kmz.ctx).nameSuffix, "My Places");
}

std::vector<uint8_t> MinimalPe(uint16_t sections, uint32_t peOffset = 0x80) {
  std::vector<uint8_t> b(std::max<size_t>(peOffset + 24 + 224 + 40 * size_t{sections}, 512));
  b[0] = 'M', b[1] = 'Z';
  PutLe(b, 60, peOffset, 4);
  std::memcpy(&b[peOffset], "PE\0\0", 4);
  PutLe(b, peOffset + 6, sections, 2);
  PutLe(b, peOffset + 20, 224, 2);
  PutLe(b, peOffset + 24, 0x10B, 2);
  PutLe(b, peOffset + 24 + 60, 0x400, 4);
  PutLe(b, peOffset + 24 + 92, 16, 4);
  return b;
}

TEST(ProbeFaultsTest, ExecutablesEndAfterTheirSignatureAndNeverReadPastTheirHeader) {
  SparseDisk disk(64ull << 20);
  auto pe = MinimalPe(1);
  PutLe(pe, 0x80 + 24 + 224 + 16, 0x1000, 4);   // raw size
  PutLe(pe, 0x80 + 24 + 224 + 20, 0x400, 4);    // raw offset
  PutLe(pe, 0x80 + 24 + 96 + 32, 0x200000, 4);  // security directory: an installer's overlay
  PutLe(pe, 0x80 + 24 + 96 + 36, 0x3000, 4);
  disk.Put(0, pe);
  EXPECT_EQ(Identify(disk.ctx).size, 0x203000u);
  // A section table that would lie past the disk, a PE offset past the first sector, an
  // offset into nowhere: rejected without reading out of bounds.
  test::ProbeDisk cut(std::vector<uint8_t>(pe.begin(), pe.begin() + 0x80 + 24 + 224 + 20));
  EXPECT_EQ(SizeExe(cut.ctx), 0u);
  for (uint32_t offset : {0x7FCu, 0xFFFFFFF0u}) {
    auto far = MinimalPe(1);
    PutLe(far, 60, offset, 4);
    test::ProbeDisk d(far);
    EXPECT_EQ(SizeExe(d.ctx), 0u);
  }
}

TEST(ProbeFaultsTest, DdsSizesAreOverflowChecked) {
  std::vector<uint8_t> h(128);
  std::memcpy(&h[0], "DDS ", 4);
  PutLe(h, 4, 124, 4);
  PutLe(h, 8, 0x20000, 4);
  PutLe(h, 12, 1u << 20, 4);
  PutLe(h, 16, 1u << 20, 4);
  PutLe(h, 28, 1, 4);
  PutLe(h, 76, 32, 4);
  PutLe(h, 80, 4, 4);
  std::memcpy(&h[84], "DX10", 4);
  h.resize(148);
  PutLe(h, 128, 2, 4);          // 128 bits a pixel
  PutLe(h, 140, 0xFFFFFFF, 4);  // an array of 2^28 images: refused, not wrapped
  test::ProbeDisk disk(h, 100 * kGiB);
  EXPECT_EQ(SizeDds(disk.ctx), 0u);
  // One image of 2^40 pixels of 16 bytes: measured without wrapping, cut to the volume.
  PutLe(h, 140, 1, 4);
  test::ProbeDisk one(h, 100 * kGiB);
  EXPECT_EQ(SizeDds(one.ctx), 100 * kGiB);
  EXPECT_TRUE(one.ctx.sizeEstimated);
}

TEST(ProbeFaultsTest, AMaximumThatCutsIsAnEstimate) {
  std::vector<uint8_t> amr = {'#', '!', 'A', 'M', 'R', '\n'};
  amr.resize(4096, 0x3C);
  test::ProbeDisk small(amr);
  Identification id = Identify(small.ctx);
  ASSERT_NE(id.entry, nullptr);
  EXPECT_EQ(id.entry->tag, "AMR");
  EXPECT_EQ(id.size, 4096u);  // the maximum cut to what is there
  EXPECT_TRUE(id.estimated);
  test::ProbeDisk large(amr, 1 * kGiB);
  EXPECT_EQ(Identify(large.ctx).size, 50u << 20);
}

}  // namespace
}  // namespace torvane::probes
