#include "fs/fat/fat_layout.h"

#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <map>

namespace torvane::fat {
namespace {

using Sector = std::array<std::byte, 512>;

void Put(Sector& s, size_t at, uint64_t value, int bytes) {
  for (int i = 0; i < bytes; ++i) s[at + i] = std::byte((value >> (8 * i)) & 0xFF);
}

// A FAT volume held sparsely: the sectors written, zeros elsewhere. Geometry fields are in
// the boot sector's own sector size, as a formatter stores them.
struct Volume {
  int bits = 16;
  uint32_t bytesPerSector = 512, sectorsPerCluster = 4, reserved = 4, fats = 2, fatSize = 40, rootEntries = 512;
  uint64_t sectors = 20480;  // reader sectors
  bool lookalike = true;
  std::map<uint64_t, Sector> data;
  int reads = 0;

  uint32_t Factor() const { return bytesPerSector / 512; }
  uint64_t FatStart() const { return uint64_t{reserved} * Factor(); }
  uint32_t FatSectors() const { return fatSize * Factor(); }
  uint64_t DataStart() const {
    const uint64_t root = bits == 16 ? rootEntries * 32 / 512 : 0;
    return FatStart() + uint64_t{fats} * FatSectors() + root;
  }

  Sector Boot() const {
    Sector b{};
    Put(b, 11, bytesPerSector, 2), Put(b, 13, sectorsPerCluster, 1), Put(b, 14, reserved, 2);
    Put(b, 16, fats, 1), Put(b, 21, 0xF8, 1), Put(b, 510, 0xAA55, 2);
    if (bits == 16) {
      Put(b, 17, rootEntries, 2), Put(b, 22, fatSize, 2);
    } else {
      Put(b, 36, fatSize, 4), Put(b, 44, 2, 4);
    }
    return b;
  }

  // Each FAT copy: media entry, end-of-chain entry 1, a root-directory chain (FAT32) and a
  // file of three clusters; with `lookalike`, a later sector begins with end-of-chain
  // entries that look like a FAT's start.
  void WriteFats() {
    const int w = bits / 8;
    const uint64_t eoc = bits == 16 ? 0xFFFF : 0x0FFFFFFF;
    for (uint32_t f = 0; f < fats; ++f) {
      const uint64_t at = FatStart() + uint64_t{f} * FatSectors();
      Sector& s = data[at];
      Put(s, 0, bits == 16 ? 0xFFF8 : 0x0FFFFFF8, w), Put(s, w, eoc, w), Put(s, 2 * w, eoc, w);
      Put(s, 3 * w, 4, w), Put(s, 4 * w, 5, w), Put(s, 5 * w, eoc, w);
      if (!lookalike) continue;
      Sector& later = data[at + 3];
      for (size_t i = 0; i < 512; i += w) Put(later, i, i == 0 ? eoc - 7 : eoc, w);
    }
  }

  SectorReader Reader() {
    return [this](uint64_t sector, uint32_t count, std::byte* out) {
      ++reads;
      if (sector > sectors || count > sectors - sector) return false;
      std::memset(out, 0, size_t{count} * 512);
      for (auto it = data.lower_bound(sector); it != data.end() && it->first < sector + count; ++it)
        std::memcpy(out + (it->first - sector) * 512, it->second.data(), 512);
      return true;
    };
  }

  bool Localize(std::span<const std::byte> boot, FatLayout& out, int asBits = 0) {
    return LocalizeFat(asBits ? asBits : bits, boot, Reader(), sectors, out);
  }
};

void ExpectLayout(const Volume& v, const FatLayout& l, uint32_t spc) {
  EXPECT_EQ(l.fatStart, v.FatStart());
  EXPECT_EQ(l.fatSectors, v.FatSectors());
  EXPECT_EQ(l.fatCount, v.fats);
  EXPECT_EQ(l.firstDataSector, v.DataStart());
  EXPECT_EQ(l.sectorsPerCluster, spc);
}

Volume Fat32() {
  Volume v;
  v.bits = 32, v.sectorsPerCluster = 8, v.reserved = 32, v.fatSize = 1077, v.rootEntries = 0;
  v.sectors = 300000;
  return v;
}

TEST(FatLayout, SaneBootSectorIsTrusted) {
  for (Volume v : {Volume{}, Fat32()}) {
    v.WriteFats();
    FatLayout l;
    ASSERT_TRUE(v.Localize(v.Boot(), l)) << v.bits;
    ExpectLayout(v, l, v.sectorsPerCluster);
    EXPECT_LE(v.reads, 2);  // the two FAT starts, no scan
  }
  // 4096-byte sectors: everything comes back in 512-byte reader sectors.
  Volume v = Fat32();
  v.bytesPerSector = 4096, v.fatSize = 150;
  v.WriteFats();
  FatLayout l;
  ASSERT_TRUE(v.Localize(v.Boot(), l));
  EXPECT_EQ(l.fatStart, 256u);
  ExpectLayout(v, l, 64);
  EXPECT_LE(v.reads, 2);
}

TEST(FatLayout, LostBootSectorIsReplacedByScan) {
  for (Volume v : {Volume{}, Fat32()}) {
    v.WriteFats();
    FatLayout l;
    ASSERT_TRUE(v.Localize(Sector{}, l)) << v.bits;
    ExpectLayout(v, l, 0);  // FAT16 root assumed at 512 entries
  }
  // FAT1 entry 1 marks the volume dirty, FAT2 does not: still copies.
  Volume v;
  v.WriteFats();
  v.data[v.FatStart()][3] = std::byte{0x7F};
  FatLayout l;
  ASSERT_TRUE(v.Localize(Sector{}, l));
  ExpectLayout(v, l, 0);
}

TEST(FatLayout, LyingBootSectorKeepsItsCredibleFields) {
  Volume v;
  v.rootEntries = 1024;
  v.WriteFats();
  Sector boot = v.Boot();
  Put(boot, 14, 1, 2);  // reserved count off: no FAT at sector 1
  FatLayout l;
  ASSERT_TRUE(v.Localize(boot, l));
  ExpectLayout(v, l, 4);  // root size and cluster size still from the boot sector

  // A single-FAT volume measures its FAT by the boot sector's length.
  v = Volume{};
  v.fats = 1;
  v.WriteFats();
  boot = v.Boot();
  Put(boot, 14, 9, 2);
  ASSERT_TRUE(v.Localize(boot, l));
  ExpectLayout(v, l, 4);

  // Large FAT32: the second copy lies past the scan window, the boot sector's FAT length
  // finds it when the reserved count is wrong.
  v = Fat32();
  v.fatSize = 70000, v.sectors = 200000;
  v.WriteFats();
  boot = v.Boot();
  Put(boot, 14, 0, 2);
  ASSERT_TRUE(v.Localize(boot, l));
  ExpectLayout(v, l, 8);
}

TEST(FatLayout, RefusesWhatIsNotThere) {
  FatLayout l;
  Volume v;
  EXPECT_FALSE(v.Localize(Sector{}, l));  // no FAT at all
  v.WriteFats();
  EXPECT_FALSE(v.Localize(v.Boot(), l, 32));  // a FAT16 FAT is not a FAT32 one
  EXPECT_FALSE(v.Localize(v.Boot(), l, 12));
  v = Volume{};
  v.lookalike = false;
  v.WriteFats();
  v.data.erase(v.FatStart());  // only the second copy left: nothing to measure it by
  EXPECT_FALSE(v.Localize(Sector{}, l));

  Volume w = Fat32();
  w.WriteFats();
  EXPECT_FALSE(w.Localize(w.Boot(), l, 16));
  w.sectors = w.DataStart();  // data area outside the volume
  EXPECT_FALSE(w.Localize(w.Boot(), l));
  EXPECT_FALSE(LocalizeFat(
      32, w.Boot(), [](uint64_t, uint32_t, std::byte*) { return false; }, 300000, l));
}

TEST(FatLayout, FatStartSignatures) {
  auto is = [](int bits, std::initializer_list<uint8_t> bytes) {
    std::array<std::byte, 8> s{};
    size_t i = 0;
    for (uint8_t b : bytes) s[i++] = std::byte{b};
    return IsFatStart(bits, s);
  };
  // Cross-kind refusals are covered by RefusesWhatIsNotThere; these are the flag bits.
  EXPECT_TRUE(is(16, {0xF0, 0xFF, 0xFF, 0x3F}));  // dirty, I/O errors seen
  EXPECT_FALSE(is(16, {0xF7, 0xFF, 0xFF, 0xFF}));
  EXPECT_TRUE(is(32, {0xF8, 0xFF, 0xFF, 0x0F, 0xFF, 0xFF, 0xFF, 0xF3}));  // top bits, flags
  EXPECT_FALSE(is(32, {0xF8, 0xFF, 0xFF, 0x0F, 0xFF, 0xFF, 0xFF, 0x01}));
  EXPECT_FALSE(IsFatStart(16, std::span<const std::byte>{}));
}

}  // namespace
}  // namespace torvane::fat
