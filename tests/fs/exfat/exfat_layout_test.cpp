#include "fs/exfat/exfat_layout.h"

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "disk/disk_source.h"
#include "test_util.h"
#include "util/bytes.h"

namespace torvane::exfat {
namespace {

using Bytes = std::vector<std::byte>;

void Put(Bytes& b, size_t at, uint64_t value, int bytes) {
  for (int i = 0; i < bytes; ++i) b[at + i] = std::byte((value >> (8 * i)) & 0xFF);
}

// The boot sector of a 64 MiB volume as mkfs.exfat lays it out: FAT at 1 MiB, cluster heap
// at 2 MiB, 4 KiB clusters.
Bytes Boot(uint32_t bpsShift = 9) {
  Bytes b(512);
  std::memcpy(b.data() + 3, "EXFAT   ", 8);
  const uint32_t perMiB = 1u << (20 - bpsShift);
  const uint32_t spcShift = 12 - bpsShift;
  Put(b, 72, 64 * perMiB, 8);             // volume length
  Put(b, 80, perMiB, 4);                  // FAT offset
  Put(b, 84, 128u >> (bpsShift - 9), 4);  // FAT length: 64 KiB
  Put(b, 88, 2 * perMiB, 4);              // cluster heap offset
  Put(b, 92, 15872, 4);                   // cluster count: the 62 MiB heap
  Put(b, 96, 5, 4), Put(b, 100, 0xC0FFEE, 4);
  b[108] = std::byte(bpsShift), b[109] = std::byte(spcShift), b[110] = std::byte{1};
  Put(b, 510, 0xAA55, 2);
  return b;
}

TEST(ExfatBootSector, ParsesConsistentSector) {
  ExfatBootInfo info;
  std::string why;
  ASSERT_TRUE(ParseExfatBootSector(Boot(), info, why)) << why;
  ASSERT_TRUE(ParseExfatBootSector(Boot(12), info, why)) << why;
  EXPECT_EQ(info.bytesPerSector, 4096u);
  EXPECT_EQ(info.sectorsPerCluster, 1u);
}

TEST(ExfatBootSector, RefusesInconsistentSectors) {
  struct Case {
    size_t at;
    uint64_t value;
    int bytes;
    const char* why;
  } cases[] = {
      {3, 'F', 1, "no EXFAT name"},
      {510, 0, 2, "no boot signature"},
      {108, 8, 1, "bytes-per-sector shift"},
      {109, 17, 1, "cluster larger than 32 MiB"},
      {110, 0, 1, "FAT count"},
      {80, 23, 4, "FAT inside the boot regions"},
      {84, 0, 4, "FAT length 0"},
      {88, 2048 + 127, 4, "cluster heap overlaps"},
      {92, 0, 4, "cluster count"},
      {92, 15873, 4, "runs past the volume's end"},
      {84, 31, 4, "FAT too short"},
      {96, 1, 4, "root directory cluster"},
  };
  for (const auto& c : cases) {
    Bytes b = Boot();
    Put(b, c.at, c.value, c.bytes);
    ExfatBootInfo info;
    std::string why;
    EXPECT_FALSE(ParseExfatBootSector(b, info, why)) << c.why;
    EXPECT_NE(why.find(c.why), std::string::npos) << why;
  }
  // Two FATs must both fit before the heap; 32 MiB clusters are allowed.
  Bytes b = Boot();
  b[110] = std::byte{2};
  ExfatBootInfo info;
  std::string why;
  EXPECT_TRUE(ParseExfatBootSector(b, info, why)) << why;
  Put(b, 88, 2048 + 255, 4);
  EXPECT_FALSE(ParseExfatBootSector(b, info, why));
  b = Boot(12);
  b[109] = std::byte{13};
  Put(b, 72, 512 + 7 * 8192, 8), Put(b, 92, 7, 4), Put(b, 96, 2, 4);
  EXPECT_TRUE(ParseExfatBootSector(b, info, why)) << why;
  EXPECT_FALSE(ParseExfatBootSector(std::span(b).first(511), info, why));
}

// A volume start: both boot regions and the FAT's first sector, read from `origin`.
struct Volume {
  Bytes bytes;
  uint64_t origin = 0;
  explicit Volume(uint32_t bpsShift) : bytes(size_t{3} << 20) {
    const Bytes boot = Boot(bpsShift);
    const size_t bps = size_t{1} << bpsShift;
    std::memcpy(bytes.data(), boot.data(), boot.size());
    std::memcpy(bytes.data() + 12 * bps, boot.data(), boot.size());
    for (size_t i = 0; i < 8; ++i) bytes[(1 << 20) + i] = std::byte{0xFF};
    bytes[1 << 20] = std::byte{0xF8};
  }
  SectorReader Reader() {
    return [this](uint64_t sector, uint32_t count, std::byte* out) {
      const uint64_t at = (origin + sector) * 512;
      if (at + uint64_t{count} * 512 > bytes.size()) return false;
      std::memcpy(out, bytes.data() + at, size_t{count} * 512);
      return true;
    };
  }
  std::span<const std::byte> At(uint64_t sector) const { return std::span(bytes).subspan(sector * 512, 512); }
};

TEST(ExfatLocalize, MainOrBackupBootSector) {
  for (uint32_t shift : {9u, 12u}) {
    Volume v(shift);
    const uint64_t backup = 12 << (shift - 9);
    ExfatBootInfo info;
    uint64_t distance = 99;
    ASSERT_TRUE(LocalizeExfat(v.At(0), v.Reader(), distance, info)) << shift;
    EXPECT_EQ(distance, 0u);
    EXPECT_EQ(info.clusterCount, 15872u);

    v.origin = backup;  // the volume was found at its backup boot sector
    ASSERT_TRUE(LocalizeExfat(v.At(backup), v.Reader(), distance, info)) << shift;
    EXPECT_EQ(distance, backup);

    v.bytes[(1 << 20) + 7] = std::byte{0x0F};  // no exFAT FAT at either start
    EXPECT_FALSE(LocalizeExfat(v.At(backup), v.Reader(), distance, info));
  }
  Volume v(9);
  ExfatBootInfo info;
  uint64_t distance = 0;
  EXPECT_FALSE(LocalizeExfat(Bytes(512), v.Reader(), distance, info));
}

Bytes Entry(uint8_t type, std::initializer_list<std::pair<size_t, uint64_t>> fields = {}) {
  Bytes e(32);
  e[0] = std::byte{type};
  for (auto [at, v] : fields) Put(e, at, v, at == 24 ? 8 : at == 20 ? 4 : 1);
  return e;
}

Bytes Dir(std::initializer_list<Bytes> entries) {
  Bytes d;
  for (const auto& e : entries) d.insert(d.end(), e.begin(), e.end());
  return d;
}

Bytes Label(const std::u16string& text) {
  Bytes e = Entry(0x83, {{1, text.size()}});
  for (size_t i = 0; i < text.size() && i < 15; ++i) Put(e, 2 + 2 * i, text[i], 2);
  return e;
}

TEST(ExfatRootDirectory, LabelAndFirstBitmap) {
  const Bytes upcase = Entry(0x82, {{20, 3}, {24, 5836}});
  const Bytes second = Entry(0x81, {{1, 1}, {20, 9}, {24, 1984}});
  const Bytes first = Entry(0x81, {{20, 2}, {24, 1984}});
  ExfatRootInfo root;
  ASSERT_TRUE(ParseRootDirectory(Dir({Label(u"Fotos 2024"), second, first, upcase}), root));
  EXPECT_EQ(root.label, u"Fotos 2024");
  EXPECT_EQ(root.bitmapCluster, 2u);
  EXPECT_EQ(root.bitmapLength, 1984u);

  ASSERT_TRUE(ParseRootDirectory(Dir({first, second}), root));
  EXPECT_EQ(root.bitmapCluster, 2u);
  EXPECT_TRUE(root.label.empty());
  ASSERT_TRUE(ParseRootDirectory(Dir({second}), root));  // the only one there is
  EXPECT_EQ(root.bitmapCluster, 9u);

  // Deleted (0x03) and overlong labels are not shown; a bitmap without a cluster is none.
  Bytes deleted = Label(u"OLD");
  deleted[0] = std::byte{0x03};
  ASSERT_TRUE(ParseRootDirectory(Dir({deleted, Label(u"ABCDEFGHIJKL"), first}), root));
  EXPECT_TRUE(root.label.empty());
  EXPECT_FALSE(ParseRootDirectory(Dir({Label(u"X"), Entry(0x81, {{24, 100}})}), root));
  EXPECT_EQ(root.label, u"X");
}

TEST(ExfatRootDirectory, StopsAtEndMarker) {
  const Bytes first = Entry(0x81, {{20, 2}, {24, 1984}});
  ExfatRootInfo root;
  EXPECT_FALSE(ParseRootDirectory(Dir({Label(u"A"), Bytes(32), first}), root));
  Bytes cut = Dir({first});
  cut.pop_back();
  EXPECT_FALSE(ParseRootDirectory(cut, root));
  EXPECT_FALSE(ParseRootDirectory({}, root));
}

TEST(ExfatBootChecksum, MatchesTheChecksumSectorsMkfsWrote) {
  // The exFAT volume of the GPT fixture, made by mkfs.exfat and written to by exfat-fuse
  // (which changes the volatile bytes only): both boot regions end in their checksum sector.
  DiskSource source;
  std::string error;
  ASSERT_TRUE(source.OpenSource(test::DataPath("volumes/gpt.vmdk"), 92160, error)) << error;
  Bytes regions(24 * 512);
  ASSERT_EQ(source.ReadSectors(regions.data(), 24, 0), 1u);
  for (size_t region : {0, 12}) {
    const auto bytes = std::span(regions).subspan(region * 512, 12 * 512);
    const uint32_t sum = ExfatBootChecksum(bytes, 512);
    for (size_t at = 11 * 512; at < 12 * 512; at += 4) ASSERT_EQ(LeU32(bytes, at), sum) << region;
  }
  Bytes changed(regions.begin(), regions.begin() + 11 * 512);
  const uint32_t sum = ExfatBootChecksum(changed, 512);
  for (size_t at : {106, 107, 112}) changed[at] = std::byte{0x5A};  // flags, percent in use
  EXPECT_EQ(ExfatBootChecksum(changed, 512), sum);
  changed[108] ^= std::byte{1};
  EXPECT_NE(ExfatBootChecksum(changed, 512), sum);
  EXPECT_EQ(ExfatBootChecksum(std::span(changed).first(11 * 512 - 1), 512), 0u);
}

}  // namespace
}  // namespace torvane::exfat
