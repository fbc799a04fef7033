#include "raw/probes/compound_file_probes.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <string>
#include <vector>

#include "raw/probes/probe_reader.h"

namespace torvane::probes {
namespace {

constexpr uint32_t kFree = 0xFFFFFFFF, kEndOfChain = 0xFFFFFFFE, kMaxRegular = 0xFFFFFFFA;
constexpr size_t kDirectoryEntryBytes = 128;
constexpr size_t kDirectoryEntriesExamined = 64;

struct Layout {
  uint32_t shift = 9;
  uint64_t sectorBytes = 512;
  uint64_t entriesPerSector = 128;  // allocation-table entries in one sector
  std::vector<uint32_t> fatSectors;

  uint64_t Offset(uint32_t sector) const { return (uint64_t{sector} + 1) << shift; }
};

// The allocation table's sectors: the first 109 from the header, the rest along the DIFAT
// chain. False when the chain breaks or loops before the header's count is reached.
bool ReadFatSectors(ProbeReader& reader, ByteSpan header, Layout& layout) {
  const uint32_t count = LeU32(header, 44);
  // 2^20 table sectors describe 64 GiB in 512-byte sectors, 4 TiB in 4 KiB ones; a larger
  // count is not worth a list of its sectors.
  if (count > (1u << 20)) return false;
  for (uint32_t i = 0; i < count && i < 109; ++i) layout.fatSectors.push_back(LeU32(header, 76 + 4 * size_t{i}));
  uint32_t difat = LeU32(header, 68);
  const uint32_t perDifat = static_cast<uint32_t>(layout.entriesPerSector - 1);
  for (uint32_t hops = 0; layout.fatSectors.size() < count; ++hops) {
    if (difat > kMaxRegular || hops > LeU32(header, 72)) return false;
    const ByteSpan sector = reader.Read(layout.Offset(difat), static_cast<size_t>(layout.sectorBytes));
    if (sector.size() != layout.sectorBytes) return false;
    for (uint32_t i = 0; i < perDifat && layout.fatSectors.size() < count; ++i)
      layout.fatSectors.push_back(LeU32(sector, 4 * size_t{i}));
    difat = LeU32(sector, 4 * size_t{perDifat});
  }
  for (uint32_t s : layout.fatSectors)
    if (s > kMaxRegular) return false;
  return true;
}

// The table entry of `sector`, or kFree when it cannot be read.
uint32_t NextSector(ProbeReader& reader, const Layout& layout, uint32_t sector) {
  const uint64_t index = sector / layout.entriesPerSector;
  if (index >= layout.fatSectors.size()) return kFree;
  const uint64_t at = layout.Offset(layout.fatSectors[index]) + (sector % layout.entriesPerSector) * 4;
  const ByteSpan entry = reader.Read(at, 4);
  return entry.size() == 4 ? LeU32(entry, 0) : kFree;
}

using Clsid = std::array<uint8_t, 16>;
constexpr Clsid kWordDocument8 = {0x06, 0x09, 0x02, 0, 0, 0, 0, 0, 0xC0, 0, 0, 0, 0, 0, 0, 0x46};
constexpr Clsid kWordDocument6 = {0x00, 0x09, 0x02, 0, 0, 0, 0, 0, 0xC0, 0, 0, 0, 0, 0, 0, 0x46};
constexpr Clsid kExcelSheet8 = {0x20, 0x08, 0x02, 0, 0, 0, 0, 0, 0xC0, 0, 0, 0, 0, 0, 0, 0x46};
constexpr Clsid kPowerPoint8 = {0x10, 0x8D, 0x81, 0x64, 0x9B, 0x4F, 0xCF, 0x11,
                                0x86, 0xEA, 0x00, 0xAA, 0x00, 0xB9, 0x29, 0xE8};
constexpr Clsid kPowerPoint8b = {0x11, 0x8D, 0x81, 0x64, 0x9B, 0x4F, 0xCF, 0x11,
                                 0x86, 0xEA, 0x00, 0xAA, 0x00, 0xB9, 0x29, 0xE8};
constexpr Clsid kPowerPoint7 = {0x70, 0xAE, 0x7B, 0xEA, 0x3B, 0xFB, 0xCD, 0x11,
                                0xA9, 0x03, 0x00, 0xAA, 0x00, 0x51, 0x0E, 0xA3};

bool IsClsid(ByteSpan entry, const Clsid& clsid) {
  return entry.size() >= 96 && std::memcmp(entry.data() + 80, clsid.data(), clsid.size()) == 0;
}

// The catalogue entry a compound file's directory names, 0 for none.
uint16_t EntryFromDirectory(const std::vector<std::u16string>& names, ByteSpan root, ProbeReader& reader) {
  if (IsClsid(root, kPowerPoint8) || IsClsid(root, kPowerPoint8b) || IsClsid(root, kPowerPoint7)) return 94;
  if (IsClsid(root, kWordDocument8) || IsClsid(root, kWordDocument6)) return 95;
  if (IsClsid(root, kExcelSheet8)) return 93;
  const auto any = [&](auto test) {
    for (const auto& n : names)
      if (test(n)) return true;
    return false;
  };
  const auto named = [&](std::u16string_view want) { return any([&](const std::u16string& n) { return n == want; }); };
  if (any([](const std::u16string& n) { return n.starts_with(u"Revi"); })) return 159;
  if (named(u"PowerPoint Document")) return 94;
  if (any([](const std::u16string& n) { return !n.empty() && n[0] == 0x4840; })) return 89;  // MSI
  if (named(u"PropData")) return 92;
  if (named(u"Scene")) return 91;
  if (named(u"Catalog")) return 87;
  if (named(u"VisioDocument")) return 90;
  if (named(u"WordDocument")) return 95;
  if (named(u"StrIndex_StringTable")) return 88;
  if (named(u"Book") || named(u"Workbook")) return 93;
  if (named(u"CUFolder 1")) return 86;
  if (named(u"Header2")) {
    const uint64_t searchEnd = 0x3F00 + 1024 * 1024;
    if (reader.Find("SLDPRT", 0x3F00, searchEnd) != UINT64_MAX) return 157;
    if (reader.Find("SLDASM", 0x3F00, searchEnd) != UINT64_MAX) return 158;
    return 156;
  }
  if (named(u"HSF")) return 153;
  if (named(u"*FileInfoStream")) return 154;
  return 0;
}

}  // namespace

bool ConfirmCompoundFile(ProbeContext& ctx) {
  const ByteSpan h = ctx.firstSector;
  if (!HasText(h, 0, "\xD0\xCF\x11\xE0\xA1\xB1\x1A\xE1") || LeU16(h, 28) != 0xFFFE) return false;
  const uint16_t major = LeU16(h, 26), shift = LeU16(h, 30);
  if (!((major == 3 && shift == 9) || (major == 4 && shift == 12)) || LeU16(h, 32) != 6) return false;
  const uint64_t sectors = AvailableBytes(ctx) >> shift;
  // Each table sector describes sectorBytes / 4 sectors; a table larger than the volume's
  // sectors can need is forged.
  const uint64_t fatSectors = LeU32(h, 44);
  return fatSectors != 0 && fatSectors <= sectors / ((uint64_t{1} << shift) / 4) + 1;
}

uint64_t SizeCompoundFile(ProbeContext& ctx) {
  if (!ConfirmCompoundFile(ctx)) return 0;
  const ByteSpan header = ctx.firstSector;
  ProbeReader reader(ctx);
  Layout layout;
  layout.shift = LeU16(header, 30);
  layout.sectorBytes = uint64_t{1} << layout.shift;
  layout.entriesPerSector = layout.sectorBytes / 4;
  // The header is read again through the reader: a 4096-byte sector's header is longer
  // than a 512-byte first sector, but its fields all lie in the first 512 bytes.
  std::vector<std::byte> head(header.begin(), header.begin() + std::min<size_t>(header.size(), 512));
  if (!ReadFatSectors(reader, head, layout)) return 0;

  // The highest sector in use: the last table entry that is not free.
  uint64_t highest = UINT64_MAX;
  for (size_t k = layout.fatSectors.size(); k-- > 0 && highest == UINT64_MAX;) {
    const ByteSpan table = reader.Read(layout.Offset(layout.fatSectors[k]), static_cast<size_t>(layout.sectorBytes));
    if (table.size() != layout.sectorBytes) return 0;
    for (uint64_t i = layout.entriesPerSector; i-- > 0;) {
      if (LeU32(table, static_cast<size_t>(i * 4)) != kFree) {
        highest = k * layout.entriesPerSector + i;
        break;
      }
    }
  }
  if (highest == UINT64_MAX) return 0;
  const uint64_t size = (highest + 2) << layout.shift;

  // The directory: the root entry's class, then the names of the first entries.
  std::vector<std::u16string> names;
  std::vector<std::byte> root;
  uint32_t sector = LeU32(head, 48);
  for (size_t hops = 0; sector <= kMaxRegular && names.size() < kDirectoryEntriesExamined && hops < 64; ++hops) {
    const ByteSpan dir = reader.Read(layout.Offset(sector), static_cast<size_t>(layout.sectorBytes));
    if (dir.size() != layout.sectorBytes) break;
    for (size_t e = 0; e + kDirectoryEntryBytes <= dir.size() && names.size() < kDirectoryEntriesExamined; e += 128) {
      const ByteSpan entry = dir.subspan(e, kDirectoryEntryBytes);
      if (root.empty()) root.assign(entry.begin(), entry.end());
      const size_t length = std::min<size_t>(LeU16(entry, 64), 64) / 2;
      std::u16string name;
      for (size_t i = 0; i < length; ++i) {
        const char16_t c = LeU16(entry, 2 * i);
        if (c == 0) break;
        name += c;
      }
      names.push_back(std::move(name));
    }
    sector = NextSector(reader, layout, sector);
  }
  if (const uint16_t n = EntryFromDirectory(names, root, reader); n != 0) ctx.refinedEntry = FileTypeByNumber(n);
  return CapToAvailable(ctx, size);
}

}  // namespace torvane::probes
