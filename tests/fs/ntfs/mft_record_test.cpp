#include "fs/ntfs/mft_record.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <random>
#include <vector>

#include "fs/ntfs/record_builder.h"
#include "util/bytes.h"

namespace torvane::ntfs {
namespace {

// A typical user file: standard information, a long and a short name, the main data stream
// (non-resident) and a named stream.
RecordBuilder TypicalFile() {
  RecordBuilder b;
  b.Resident(kAttrStandardInformation, u"", Bytes(0x48))
      .Resident(kAttrFileName, u"", FileName(0x0005000000000005, kNamespaceDos, u"REPORT~1.TXT"))
      .Resident(kAttrFileName, u"", FileName(0x0005000000000005, kNamespaceWin32, u"report 2024.txt"))
      .Resident(kAttrData, u"Zone.Identifier", Bytes(26))
      .NonResident(kAttrData, u"", 0, 70000);
  return b;
}

std::vector<uint32_t> Types(const Bytes& record, bool* damaged = nullptr) {
  std::vector<uint32_t> types;
  AttributeIterator it(record);
  AttributeView v;
  while (it.Next(v)) types.push_back(v.type);
  if (damaged) *damaged = it.damaged();
  return types;
}

TEST(NtfsFixups, RestoresSectorTailsForEachGeometry) {
  struct Case {
    uint32_t size, sector;
  } cases[] = {{1024, 512}, {4096, 512}, {4096, 4096}, {1024, 256}, {1024, 1024}};
  for (const auto& c : cases) {
    SCOPED_TRACE(std::to_string(c.size) + "/" + std::to_string(c.sector));
    RecordBuilder b(c.size, c.sector);
    b.Resident(kAttrData, u"", Bytes(c.size / 2, std::byte{0xAB}));  // spans sector ends
    Bytes disk = b.OnDisk();
    const Bytes expected = b.Build();
    ASSERT_TRUE(ApplyFixups(disk, c.sector));
    // Everything but the array's own slots matches the original.
    for (size_t i = 0x30; i < 0x30 + 2 * (c.size / c.sector + 1); ++i) disk[i] = expected[i];
    EXPECT_EQ(disk, expected);
  }
}

TEST(NtfsFixups, RefusesBadRecordsWithoutChangingThem) {
  const RecordBuilder b = TypicalFile();
  const std::vector<std::pair<const char*, std::function<void(Bytes&)>>> damage = {
      {"torn second sector", [](Bytes& r) { StoreLeU16(r, 1022, 0x0108); }},
      {"torn first sector", [](Bytes& r) { StoreLeU16(r, 510, 0); }},
      {"BAAD magic", [](Bytes& r) { StoreLeU32(r, 0, 0x44414142); }},
      {"count too small", [](Bytes& r) { StoreLeU16(r, 6, 2); }},
      {"count too large", [](Bytes& r) { StoreLeU16(r, 6, 4); }},
      {"odd array offset", [](Bytes& r) { StoreLeU16(r, 4, 0x31); }},
      {"array inside header", [](Bytes& r) { StoreLeU16(r, 4, 0x20); }},
      // Arrays that are intact but misplaced: only their position is wrong.
      {"array over first attribute",
       [](Bytes& r) {
         std::copy_backward(r.begin() + 0x30, r.begin() + 0x36, r.begin() + 0x3A);
         StoreLeU16(r, 4, 0x34);
       }},
      {"array over first sector's tail",
       [](Bytes& r) {
         StoreLeU16(r, 0x1FC, 0x0107);  // the sequence number; 0x1FE already holds it
         StoreLeU16(r, 4, 0x1FC);
         StoreLeU16(r, 0x14, 0x208);
       }},
  };
  for (const auto& [why, apply] : damage) {
    SCOPED_TRACE(why);
    Bytes disk = b.OnDisk();
    apply(disk);
    const Bytes before = disk;
    EXPECT_FALSE(ApplyFixups(disk, 512));
    EXPECT_EQ(disk, before);
  }
  Bytes disk = b.OnDisk();
  EXPECT_FALSE(ApplyFixups(disk, 1024 + 512)) << "sector size not a power of two";
  EXPECT_FALSE(ApplyFixups(disk, 128)) << "sector size below 256";
  EXPECT_FALSE(ApplyFixups(disk, 8192)) << "sector size above 4096";
  EXPECT_FALSE(ApplyFixups(std::span(disk).first(1000), 512)) << "record not whole sectors";
  EXPECT_FALSE(ApplyFixups(std::span<std::byte>(), 512));
  EXPECT_EQ(disk, b.OnDisk());
}

TEST(NtfsRecordHeader, ParsesFieldsAndRejectsInconsistentSizes) {
  const Bytes good = RecordBuilder().Flags(3).Build();
  MftRecordHeader h;
  ASSERT_TRUE(ParseMftRecordHeader(good, h));
  EXPECT_EQ(h.sequence, 5);
  EXPECT_EQ(h.linkCount, 1);
  EXPECT_EQ(h.firstAttributeOffset, 0x38);
  EXPECT_EQ(h.usedSize, 0x40u);
  EXPECT_EQ(h.allocatedSize, 1024u);
  EXPECT_TRUE(h.inUse());
  EXPECT_TRUE(h.isDirectory());
  EXPECT_TRUE(h.hasRecordNumber);
  EXPECT_EQ(h.recordNumber, 42u);

  // Older volumes put the array at 0x2A, over the record-number field.
  Bytes old = good;
  StoreLeU16(old, 0x04, 0x2A);
  ASSERT_TRUE(ParseMftRecordHeader(old, h));
  EXPECT_FALSE(h.hasRecordNumber);

  const std::vector<std::pair<const char*, std::function<void(Bytes&)>>> damage = {
      {"magic", [](Bytes& r) { r[0] = std::byte{'X'}; }},
      {"first attribute unaligned", [](Bytes& r) { StoreLeU16(r, 0x14, 0x3C); }},
      {"first attribute in header", [](Bytes& r) { StoreLeU16(r, 0x14, 0x28); }},
      {"first attribute at used end", [](Bytes& r) { StoreLeU16(r, 0x14, 0x40); }},
      {"first attribute past record", [](Bytes& r) { StoreLeU16(r, 0x14, 0xFFF8); }},
      {"used over allocated",
       [](Bytes& r) {
         StoreLeU32(r, 0x18, 1025);
         StoreLeU32(r, 0x1C, 1024);
       }},
      {"allocated over record", [](Bytes& r) { StoreLeU32(r, 0x1C, 2048); }},
  };
  for (const auto& [why, apply] : damage) {
    SCOPED_TRACE(why);
    Bytes r = good;
    apply(r);
    EXPECT_FALSE(ParseMftRecordHeader(r, h));
    EXPECT_TRUE(Types(r).empty());
  }
  // A record cut short never parses, whatever its header claims.
  for (size_t n : {0, 4, 0x2F, 0x30, 0x100}) EXPECT_FALSE(ParseMftRecordHeader(std::span(good).first(n), h)) << n;
}

TEST(NtfsAttributes, WalksEveryAttributeWithItsFields) {
  const Bytes r = TypicalFile().Build();
  bool damaged = true;
  EXPECT_EQ(Types(r, &damaged), (std::vector<uint32_t>{0x10, 0x30, 0x30, 0x80, 0x80}));
  EXPECT_FALSE(damaged);

  const auto stream = FindAttribute(r, kAttrData, false);
  ASSERT_TRUE(stream);
  EXPECT_FALSE(stream->nonResident);
  EXPECT_EQ(AttributeName(r, *stream), u"Zone.Identifier");
  EXPECT_EQ(ResidentValue(r, *stream).size(), 26u);

  const auto data = FindAttribute(r, kAttrData, true);
  ASSERT_TRUE(data);
  EXPECT_TRUE(data->nonResident);
  EXPECT_EQ(data->id, 5);
  EXPECT_EQ(data->highestVcn, 3u);
  EXPECT_EQ(data->runlistOffset, 0x40);
  EXPECT_EQ(data->allocatedSize, 16384u);
  EXPECT_EQ(data->realSize, 70000u);
  EXPECT_TRUE(AttributeName(r, *data).empty());
  EXPECT_TRUE(ResidentValue(r, *data).empty());
  EXPECT_FALSE(FindAttribute(r, kAttrVolumeName, false));

  // The cursor form visits the same attributes.
  std::vector<uint32_t> viaCursor;
  uint32_t cursor = 0;
  AttributeView v;
  while (NextAttribute(r, cursor, v)) viaCursor.push_back(v.offset);
  ASSERT_EQ(viaCursor.size(), 5u);
  EXPECT_EQ(viaCursor[3], TypicalFile().AttributeOffset(3));
}

TEST(NtfsAttributes, DamagedChainStopsAndDamagedFieldsSkip) {
  const RecordBuilder b = TypicalFile();
  const uint32_t fn = b.AttributeOffset(1), stream = b.AttributeOffset(3), data = b.AttributeOffset(4);
  using TypeList = std::vector<uint32_t>;
  struct Case {
    const char* why;
    std::function<void(Bytes&)> apply;
    TypeList expected;
  };
  const TypeList kFirstOnly = {0x10}, kAll = {0x10, 0x30, 0x30, 0x80, 0x80};
  const TypeList kNoDosName = {0x10, 0x30, 0x80, 0x80}, kNoLastData = {0x10, 0x30, 0x30, 0x80};
  const std::vector<Case> cases = {
      {"zero length", [&](Bytes& r) { StoreLeU32(r, fn + 4, 0); }, kFirstOnly},
      {"length not a multiple of 8", [&](Bytes& r) { StoreLeU32(r, fn + 4, 0x74); }, kFirstOnly},
      {"length past used size", [&](Bytes& r) { StoreLeU32(r, data + 4, 0x400); }, kNoLastData},
      {"huge length", [&](Bytes& r) { StoreLeU32(r, data + 4, 0xFFFFFFF8); }, kNoLastData},
      {"used size cuts end marker", [&](Bytes& r) { StoreLeU32(r, 0x18, LeU32(r, 0x18) - 6); }, kAll},
      {"resident value past attribute", [&](Bytes& r) { StoreLeU32(r, fn + 0x10, 0x1000); }, kNoDosName},
      {"resident value offset in header", [&](Bytes& r) { StoreLeU16(r, fn + 0x14, 0x08); }, kNoDosName},
      {"value offset overflowing",
       [&](Bytes& r) {
         StoreLeU16(r, fn + 0x14, 0xFFFF);
         StoreLeU32(r, fn + 0x10, 0xFFFFFFFF);
       },
       kNoDosName},
      {"name past attribute", [&](Bytes& r) { r[stream + 9] = std::byte{0xFF}; }, kNoLastData},
      {"run list offset past attribute", [&](Bytes& r) { StoreLeU16(r, data + 0x20, 0x48); }, kNoLastData},
      {"run list offset in header", [&](Bytes& r) { StoreLeU16(r, data + 0x20, 0x10); }, kNoLastData},
      {"flipped to non-resident", [&](Bytes& r) { r[fn + 8] = std::byte{1}; }, kNoDosName},
      {"residency flag 2", [&](Bytes& r) { r[fn + 8] = std::byte{2}; }, kNoDosName},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.why);
    Bytes r = b.Build();
    c.apply(r);
    bool damaged = false;
    EXPECT_EQ(Types(r, &damaged), c.expected);
    EXPECT_TRUE(damaged);
    // The readers built on the walk stay inside the record too.
    std::u16string name;
    uint64_t size;
    ReadFileName(r, name);
    ReadDataSize(r, size);
  }
}

TEST(NtfsAttributes, ViewsFromElsewhereAreBoundsChecked) {
  const Bytes r = TypicalFile().Build();
  AttributeView v = *FindAttribute(r, kAttrData, false);
  AttributeView bad = v;
  bad.offset = 1020;
  EXPECT_TRUE(AttributeName(r, bad).empty());
  EXPECT_TRUE(ResidentValue(r, bad).empty());
  bad = v;
  bad.valueLength = 0xFFFFFFFF;
  EXPECT_TRUE(ResidentValue(r, bad).empty());
  bad = v;
  bad.nameOffset = 0xFFFF;
  EXPECT_TRUE(AttributeName(r, bad).empty());
  EXPECT_TRUE(ResidentValue(std::span(r).first(v.offset + 8), v).empty());
}

// Random corruption of a realistic record: every reader must stay inside the buffer (ASan
// reports any stray read) and must not hang.
TEST(NtfsAttributes, RandomCorruptionStaysInBounds) {
  const Bytes good = TypicalFile().Build();
  std::mt19937 rng(1234);
  for (int round = 0; round < 20000; ++round) {
    Bytes r = good;
    const int edits = 1 + static_cast<int>(rng() % 6);
    for (int e = 0; e < edits; ++e) {
      const size_t at = rng() % 0x180;  // header and attributes
      r[at] = std::byte(rng() % 3 == 0 ? 0xFF : rng());
    }
    const size_t cut = rng() % 4 == 0 ? rng() % r.size() : r.size();
    const std::span<const std::byte> s(r.data(), cut);
    std::u16string text;
    uint64_t size, parent;
    ReadFileName(s, text, &parent);
    ReadDataSize(s, size);
    ReadVolumeName(s, text);
    AttributeIterator it(s);
    AttributeView v;
    int count = 0;
    while (it.Next(v)) {
      AttributeName(s, v);
      ResidentValue(s, v);
      ASSERT_LT(++count, 200);
    }
  }
}

TEST(NtfsFileName, PrefersWin32ThenPosixThenDos) {
  struct Case {
    std::vector<std::pair<uint8_t, std::u16string>> names;
    std::u16string expected;
  };
  const std::vector<Case> cases = {
      {{{kNamespaceDos, u"LONGFI~1.TXT"}, {kNamespaceWin32, u"long file name.txt"}}, u"long file name.txt"},
      {{{kNamespacePosix, u"Case"}, {kNamespaceWin32AndDos, u"short.txt"}}, u"short.txt"},
      {{{kNamespaceDos, u"A~1"}, {kNamespacePosix, u"a:b"}}, u"a:b"},
      {{{kNamespaceDos, u"ONLY~1"}}, u"ONLY~1"},
      {{{7, u"odd"}, {kNamespaceDos, u"DOS"}}, u"DOS"},
      {{{kNamespaceWin32, u"first"}, {kNamespaceWin32, u"second"}}, u"first"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.expected.begin(), c.expected.end()));
    RecordBuilder b;
    uint64_t parentOf = 100;
    for (const auto& [ns, n] : c.names) b.Resident(kAttrFileName, u"", FileName(parentOf++, ns, n));
    std::u16string name;
    uint64_t parent = 0;
    ASSERT_TRUE(ReadFileName(b.Build(), name, &parent));
    EXPECT_EQ(name, c.expected);
    EXPECT_GE(parent, 100u);
  }
  uint64_t parent = 0;
  std::u16string name;
  ASSERT_TRUE(ReadFileName(TypicalFile().Build(), name, &parent));
  EXPECT_EQ(name, u"report 2024.txt");
  EXPECT_EQ(ReferenceRecord(parent), 5u);
  EXPECT_EQ(ReferenceSequence(parent), 5);
}

TEST(NtfsFileName, UnusableNamesAreIgnored) {
  // A name longer than its value, an empty one, and a too-short value: none is usable.
  Bytes tooLong = FileName(1, kNamespaceWin32, u"abc");
  tooLong[0x40] = std::byte{4};
  RecordBuilder b;
  b.Resident(kAttrFileName, u"", tooLong)
      .Resident(kAttrFileName, u"", FileName(1, kNamespaceWin32, u""))
      .Resident(kAttrFileName, u"", Bytes(0x41));
  std::u16string name;
  EXPECT_FALSE(ReadFileName(b.Build(), name));
  b.Resident(kAttrFileName, u"", FileName(1, kNamespaceDos, u"OK"));
  ASSERT_TRUE(ReadFileName(b.Build(), name));
  EXPECT_EQ(name, u"OK");
  RecordBuilder nonResident;
  nonResident.NonResident(kAttrFileName, u"", 0, 100);
  EXPECT_FALSE(ReadFileName(nonResident.Build(), name));
}

TEST(NtfsDataSize, UsesUnnamedStreamStartingAtVcnZero) {
  uint64_t size = 0;
  ASSERT_TRUE(ReadDataSize(TypicalFile().Build(), size));
  EXPECT_EQ(size, 70000u) << "the named stream ahead of it is skipped";

  RecordBuilder resident;
  resident.Resident(kAttrData, u"", Bytes(123));
  ASSERT_TRUE(ReadDataSize(resident.Build(), size));
  EXPECT_EQ(size, 123u);

  RecordBuilder empty;
  empty.Resident(kAttrData, u"", {});
  ASSERT_TRUE(ReadDataSize(empty.Build(), size));
  EXPECT_EQ(size, 0u);

  RecordBuilder extension;  // a later piece of a spread-out attribute
  extension.NonResident(kAttrData, u"", 4096, 1 << 30);
  EXPECT_FALSE(ReadDataSize(extension.Build(), size));

  RecordBuilder onlyNamed;
  onlyNamed.Resident(kAttrData, u"ads", Bytes(8)).NonResident(kAttrData, u"big", 0, 5);
  EXPECT_FALSE(ReadDataSize(onlyNamed.Build(), size));
}

TEST(NtfsVolumeName, ReadsResidentEvenLabels) {
  std::u16string label;
  RecordBuilder named;
  named.Resident(kAttrVolumeName, u"", Utf16(u"Data Disk"));
  ASSERT_TRUE(ReadVolumeName(named.Build(), label));
  EXPECT_EQ(label, u"Data Disk");

  RecordBuilder blank;
  blank.Resident(kAttrVolumeName, u"", {});
  label = u"stale";
  ASSERT_TRUE(ReadVolumeName(blank.Build(), label));
  EXPECT_TRUE(label.empty());

  RecordBuilder longest;
  longest.Resident(kAttrVolumeName, u"", Bytes(256));
  EXPECT_TRUE(ReadVolumeName(longest.Build(), label));

  for (const Bytes& value : {Bytes(258), Bytes(7)}) {
    RecordBuilder b;
    b.Resident(kAttrVolumeName, u"", value);
    EXPECT_FALSE(ReadVolumeName(b.Build(), label)) << value.size();
  }
  RecordBuilder nonResident;
  nonResident.NonResident(kAttrVolumeName, u"", 0, 8);
  EXPECT_FALSE(ReadVolumeName(nonResident.Build(), label));
  EXPECT_FALSE(ReadVolumeName(TypicalFile().Build(), label));
}

// The boot sector's size bytes: both encodings, and the values a damaged boot sector gives.
TEST(NtfsBootSizes, EncodingsAndImpossibleValues) {
  EXPECT_EQ(MftRecordBytes(-10, 4096), 1024u);  // 2^10 bytes
  EXPECT_EQ(MftRecordBytes(2, 512), 1024u);     // 2 clusters
  for (auto [raw, cluster] : {std::pair<int8_t, uint32_t>{-7, 4096},
                              {-17, 4096},
                              {-128, 4096},
                              {32, 4096},
                              {3, 512},
                              {0, 4096},
                              {1, 0},
                              {127, 0x80000000u}})
    EXPECT_EQ(MftRecordBytes(raw, cluster), 0u) << int(raw) << " x " << cluster;
  EXPECT_EQ(NtfsSectorsPerCluster(8), 8u);
  EXPECT_EQ(NtfsSectorsPerCluster(0xF4), 4096u);  // 2^(256 - 0xF4)
  for (uint8_t raw : {0, 3, 0x7F, 0xF3, 0x81, 0xC0}) EXPECT_EQ(NtfsSectorsPerCluster(raw), 0u) << int(raw);
}

}  // namespace
}  // namespace torvane::ntfs
