#include "session/session_file.h"

#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "session/quicklz.h"
#include "session/session.h"
#include "test_util.h"
#include "util/bytes.h"

namespace torvane::session {
namespace {

constexpr uint64_t kClusters = 5000;  // the allocation map: 2,501 bytes

FileEntry Entry(uint64_t record, uint8_t state) {
  FileEntry e;
  e.recordNumber = record;
  e.state = state;
  e.size = record * 100;
  e.SetParentRecord(5);
  return e;
}

// A store with every saved list filled: names long and short, entries without one, and a name
// of the longest length.
void Fill(ItemStore& store, uint64_t entries) {
  store.Create();
  store.allocationMap.Resize(kClusters);
  for (uint64_t c = 0; c < kClusters; c += 3) store.allocationMap.MarkCluster(c, 1 | (c & 6));
  for (uint64_t i = 0; i < entries; ++i) {
    std::u16string name = u"file-" + std::u16string(i % 7, u'x');
    for (char c : std::to_string(i)) name += static_cast<char16_t>(c);
    AddEntry(store.deletedEntries, Entry(i, i % 3 == 0 ? 200 : 110), i % 5 == 4 ? u"" : name);
  }
  AddEntry(store.deletedEntries, Entry(1, 100), std::u16string(NameStore::kMaxNameUnits, u'\u00e9'));
  AddEntry(store.lostFiles, Entry(7, kStatePlaceholder), u"Lost folder");
  AddEntry(store.rawFiles, Entry(0, 110), u"");
  AddEntry(store.rawFiles, Entry(1, 110), u"image.jpg");
  const uint8_t cache[26] = {1, 2, 3};
  AddBinToDynList(store.fat32ClusterCache, cache, sizeof(cache));
  store.deletedCount = 0x100000007ull;
}

// Entries compare whole but for the name reference; names compare by text.
void ExpectSameList(const DynList& a, const DynList& b) {
  ASSERT_EQ(EntryCount(a), EntryCount(b)) << a.id;
  for (uint64_t i = 0; i < EntryCount(a); ++i) {
    FileEntry x = EntryAt(a, i), y = EntryAt(b, i);
    EXPECT_TRUE(EntryName(a, x) == EntryName(b, y)) << a.id << " entry " << i;
    x.name = y.name = 0;
    EXPECT_EQ(std::memcmp(&x, &y, sizeof(x)), 0) << a.id << " entry " << i;
  }
}

SessionState SampleState() {
  SessionState s;
  s.resume = {2, 1234, 1, 99, 0, 4000, 0, 17, 0, 5, 42};
  s.paused = 1;
  s.imagePath = u"/disks/a.vmdk";
  s.volume = {'$', FsKind::kNtfs, 8, 0xABCD1234, 2048, 409600, 51200};
  s.hasBootHash = true;
  s.bootHash[0] = 0x5A;
  s.historyFolders[0] = 77;
  s.historyChains[1].depth = 3;
  s.historyChains[1].folders = {5, 9, 11};
  s.currentChain.depth = 40;  // only 16 are stored
  s.currentChain.folders[15] = 8;
  s.pathBox = {u"/a", std::u16string(600, u'p')};
  s.favourites = {{u"/fav", 12, {}}};
  s.foundPartitions.resize(3);
  s.foundPartitions[2].startSector = 63;
  return s;
}

TEST(SessionFileTest, SavedListsNamesMapAndHeaderComeBack) {
  test::TempDir dir;
  ItemStore store;
  Fill(store, 3000);
  const SessionState state = SampleState();
  std::string error;
  std::vector<std::string> steps;
  ASSERT_TRUE(WriteSessionFile(dir / "a.tqs", store, state, error, [&](const std::string& s) { steps.push_back(s); }))
      << error;
  EXPECT_EQ(steps.front(), "Current action: Saving deleted entries list...");
  EXPECT_EQ(steps.back(), "Current action: Finalizing...");
  const auto bytes = test::ReadFile(dir / "a.tqs");
  ASSERT_GT(bytes.size(), kHeaderSize);
  const ByteSpan h(reinterpret_cast<const std::byte*>(bytes.data()) + bytes.size() - kHeaderSize, kHeaderSize);
  EXPECT_EQ(std::memcmp(h.data(), "TQSS", 4), 0);
  EXPECT_EQ(LeU32(h, 0xC801), 4u);
  EXPECT_EQ(LeU32(h, 0x34), 0u);                  // block 1 starts the file
  EXPECT_EQ(LeU32(h, 0x40), LeU32(h, 0x34 + 8));  // block 2 follows it
  EXPECT_EQ(LeU32(h, 0x44), EntryCount(store.deletedEntries) * 68);

  ItemStore loaded;
  loaded.Create();
  loaded.allocationMap.Resize(kClusters);
  LoadedSession session;
  ASSERT_TRUE(ReadSessionFile(dir / "a.tqs", (kClusters + 3) / 2, session, error)) << error;
  ApplySession(session, loaded);
  ExpectSameList(store.deletedEntries, loaded.deletedEntries);
  ExpectSameList(store.lostFiles, loaded.lostFiles);
  ExpectSameList(store.rawFiles, loaded.rawFiles);
  EXPECT_EQ(loaded.fat32ClusterCache.used, 26u);
  EXPECT_EQ(std::memcmp(loaded.allocationMap.data(), store.allocationMap.data(), store.allocationMap.size()), 0);
  EXPECT_EQ(loaded.deletedEntryCount.load(), EntryCount(store.deletedEntries));
  EXPECT_EQ(loaded.deletedCount.load(), 0x100000007ull);

  const SessionState& s = session.state;
  EXPECT_EQ(s.resume, state.resume);
  EXPECT_EQ(s.paused, 1u);
  EXPECT_TRUE(s.imagePath == state.imagePath);
  EXPECT_EQ(s.volume.serial, 0xABCD1234u);
  EXPECT_EQ(s.volume.startSector, 2048u);
  EXPECT_EQ(s.volume.sectors, 409600u);
  EXPECT_EQ(s.bootHash, state.bootHash);
  EXPECT_EQ(s.historyChains[1].folders[2], 11u);
  EXPECT_EQ(s.currentChain.depth, 16u);
  EXPECT_EQ(s.currentChain.folders[15], 8u);
  ASSERT_EQ(s.pathBox.size(), 2u);
  EXPECT_EQ(s.pathBox[1].size(), 511u);  // cut to its slot, terminated
  ASSERT_EQ(s.favourites.size(), 1u);
  EXPECT_EQ(s.favourites[0].folder, 12u);
  ASSERT_EQ(s.foundPartitions.size(), 3u);
  EXPECT_EQ(test::Val(s.foundPartitions[2].startSector), 63u);
}

TEST(SessionFileTest, ArrayBlocksOverTenMiBGoInPrefixedPieces) {
  for (uint64_t size : {uint64_t{0xA00000}, uint64_t{0xA00001}}) {
    std::vector<std::byte> data(size);
    std::mt19937 rng(7);
    for (size_t i = 0; i < size; i += 64) data[i] = static_cast<std::byte>(rng());
    std::vector<std::byte> stored, back(size);
    std::string error;
    ASSERT_TRUE(EncodeArrayBlock(data, stored, error));
    QlzHeader h;
    if (size == 0xA00000) {
      ASSERT_TRUE(QlzReadHeader(stored, h, error));  // one packet, no prefix
      EXPECT_EQ(h.packetSize, stored.size());
    } else {
      const uint32_t first = LeU32(stored, 0);
      ASSERT_TRUE(QlzReadHeader(ByteSpan(stored).subspan(4), h, error));
      EXPECT_EQ(h.decodedSize, 0x500000u);
      const uint32_t second = LeU32(stored, 4 + first);
      const uint32_t third = LeU32(stored, 8 + first + second);
      ASSERT_TRUE(QlzReadHeader(ByteSpan(stored).subspan(12 + first + second), h, error));
      EXPECT_EQ(h.decodedSize, 1u);
      EXPECT_EQ(stored.size(), 12u + first + second + third);
    }
    ASSERT_TRUE(DecodeArrayBlock(stored, back, error)) << error;
    EXPECT_TRUE(back == data);
  }
}

// Damages a saved session; the load must fail with `message` and the store keep its lists.
struct Damage {
  const char* what;
  std::function<void(std::vector<uint8_t>& file, size_t header)> apply;
  const char* message;
};

TEST(SessionFileTest, DamagedAndForeignFilesAreRefusedAndLoadNothing) {
  test::TempDir dir;
  ItemStore store;
  Fill(store, 500);
  std::string error;
  ASSERT_TRUE(WriteSessionFile(dir / "good.tqs", store, SampleState(), error)) << error;
  const auto good = test::ReadFile(dir / "good.tqs");
  const auto u32 = [](std::vector<uint8_t>& f, size_t at, uint32_t v) { std::memcpy(f.data() + at, &v, 4); };
  const auto get = [](const std::vector<uint8_t>& f, size_t at) {
    uint32_t v;
    std::memcpy(&v, f.data() + at, 4);
    return v;
  };
  const Damage cases[] = {
      {"cut short", [](auto& f, size_t) { f.resize(f.size() - 1000); }, "invalid or not compatible"},
      {"random bytes", [](auto& f, size_t) { std::fill(f.begin(), f.end(), 0x37); }, "invalid or not compatible"},
      {"partition state", [](auto& f, size_t) { std::memcpy(f.data(), "TQSP", 4); }, "partition search state"},
      {"old version", [&](auto& f, size_t h) { u32(f, h + 0xC801, 3); }, "version 3 is not supported"},
      {"random with an old version",
       [&](auto& f, size_t h) {
         u32(f, h, 0x12345678);
         u32(f, h + 0xC801, 3);
       },
       "invalid or not compatible"},
      {"list size not whole entries", [&](auto& f, size_t h) { u32(f, h + 0x44, get(f, h + 0x44) - 4); },
       "not whole records"},
      {"block beyond the file", [&](auto& f, size_t h) { u32(f, h + 0x40, static_cast<uint32_t>(h)); },
       "outside the file"},
      {"packet length past its block", [&](auto& f, size_t h) { u32(f, get(f, h + 0x40) + 1, 0x7FFFFFFF); },
       "does not fit"},
      {"decoded length differs", [&](auto& f, size_t h) { u32(f, get(f, h + 0x40) + 5, get(f, h + 0x44) + 68); },
       "expected"},
      {"huge claimed size", [&](auto& f, size_t h) { u32(f, h + 0x44, 0xFFFFFFCC); }, "more than its bytes hold"},
      {"map of another volume", [&](auto& f, size_t h) { u32(f, h + 0x68, 2500); }, "allocation map has 2500"},
      {"damaged name chunk", [&](auto& f, size_t h) { u32(f, get(f, h + 0x70), 0x7FFFFFF0); }, "runs past"},
  };
  for (const Damage& d : cases) {
    SCOPED_TRACE(d.what);
    auto file = good;
    d.apply(file, file.size() >= kHeaderSize ? file.size() - kHeaderSize : 0);
    test::WriteFile(dir / "bad.tqs", file);
    ItemStore target;
    Fill(target, 3);
    LoadedSession loaded;
    const bool ok = ReadSessionFile(dir / "bad.tqs", (kClusters + 3) / 2, loaded, error);
    EXPECT_FALSE(ok);
    EXPECT_NE(error.find(d.message), std::string::npos) << error;
    EXPECT_EQ(EntryCount(target.deletedEntries), 4u);  // the target's lists are untouched
  }
  // Bit flips anywhere in the body: refused or loaded, never a crash (checked under ASan).
  const size_t body = good.size() - kHeaderSize;
  for (size_t at = 0; at < body; at += body / 150 + 1) {
    auto file = good;
    file[at] ^= 0x41;
    test::WriteFile(dir / "bad.tqs", file);
    LoadedSession loaded;
    ReadSessionFile(dir / "bad.tqs", (kClusters + 3) / 2, loaded, error);
  }
}

TEST(SessionFileTest, NameStreamsRunningShortOrUnterminatedGiveNoOrCutNames) {
  DynList list;
  InitDynList(list, 4096, kDeletedEntriesId);
  for (uint32_t ref : {2u, 0u, 9u, 1u, 40u}) {
    FileEntry e;
    e.name = ref;  // the saved words: meaningless as references after a load
    AddBinToDynList(list, &e, sizeof(e));
  }
  // One chunk: "ab" terminated, then "cd" without a terminator; no name for the third.
  const std::u16string text = u"ab";
  std::vector<std::byte> raw(10);
  const char16_t units[] = {u'a', u'b', 0, u'c', u'd'};
  std::memcpy(raw.data(), units, 10);
  std::vector<std::byte> packet(QlzCompressBound(raw.size()));
  packet.resize(QlzCompress(raw, packet));
  std::vector<std::byte> stream(4);
  StoreLeU32(stream, 0, static_cast<uint32_t>(packet.size()));
  stream.insert(stream.end(), packet.begin(), packet.end());
  stream.resize(stream.size() + 4);
  std::string error;
  ASSERT_TRUE(DecodeNameStream(stream, list, error)) << error;
  EXPECT_TRUE(EntryName(list, EntryAt(list, 0)) == u"ab");
  EXPECT_EQ(EntryAt(list, 1).name, 0u);
  EXPECT_TRUE(EntryName(list, EntryAt(list, 2)) == u"cd");
  EXPECT_EQ(EntryAt(list, 3).name, 0u);
  EXPECT_EQ(EntryAt(list, 4).name, 0u);  // the stream ran short: no name, not the word 40
}

TEST(SessionFileTest, AFailedSaveKeepsThePreviousSessionAndSaysWhy) {
  test::TempDir dir;
  ItemStore store;
  Fill(store, 2000);
  std::string error;
  ASSERT_TRUE(WriteSessionFile(dir / "s.tqs", store, SampleState(), error)) << error;
  const auto before = test::ReadFile(dir / "s.tqs");
  AddEntry(store.deletedEntries, Entry(99, 200), u"new");
  for (uint64_t limit : {uint64_t{0}, uint64_t{5000}, before.size() - 10}) {
    SetWriteLimitForTesting(limit);
    EXPECT_FALSE(WriteSessionFile(dir / "s.tqs", store, SampleState(), error));
    SetWriteLimitForTesting(kNoWriteLimit);
    EXPECT_NE(error.find("No space left on device"), std::string::npos) << error;
    EXPECT_TRUE(test::ReadFile(dir / "s.tqs") == before);
  }
  size_t files = 0;
  for ([[maybe_unused]] const auto& e : std::filesystem::directory_iterator(dir.path())) ++files;
  EXPECT_EQ(files, 1u);  // no temporary file left behind
  // A folder that cannot take the file: the reason names it.
  EXPECT_FALSE(WriteSessionFile(dir / "missing" / "s.tqs", store, SampleState(), error));
  EXPECT_NE(error.find("missing"), std::string::npos) << error;
}

TEST(SessionFileTest, ListsOverFourGiBAreRefusedBeforeWriting) {
  test::TempDir dir;
  ItemStore store;
  store.Create();
  store.rawFiles.used = (uint64_t{1} << 32) + 68;  // never read: the size check comes first
  std::string error;
  EXPECT_FALSE(WriteSessionFile(dir / "big.tqs", store, SessionState{}, error));
  store.rawFiles.used = 0;
  EXPECT_NE(error.find("more than a session file can hold (4 GiB)"), std::string::npos) << error;
  EXPECT_FALSE(std::filesystem::exists(dir / "big.tqs"));
}

TEST(SessionFileTest, IdentityNeedsTheSameVolumeAndBootSector) {
  VolumeGeometry g;
  g.fsKind = FsKind::kNtfs;
  g.volumeSectors = 409600;
  g.clusterCount = 51200;
  g.sectorsPerCluster = 8;
  g.bootSectorCopy[72] = std::byte{0x34};
  DiskSource source;
  source.volumeStart = 2048;
  SessionState s;
  DescribeVolume(source, g, nullptr, s);
  std::string error;
  EXPECT_TRUE(CheckIdentity(s, source, g, error)) << error;
  g.bootSectorCopy[3] = std::byte{1};  // another disk of the same size: another boot sector
  EXPECT_FALSE(CheckIdentity(s, source, g, error));
  EXPECT_NE(error.find("boot sector differs"), std::string::npos);
  g.bootSectorCopy[3] = std::byte{0};
  g.bootSectorCopy[72] = std::byte{0x35};  // another serial
  EXPECT_FALSE(CheckIdentity(s, source, g, error));
  g.bootSectorCopy[72] = std::byte{0x34};
  source.volumeStart = 63;
  EXPECT_FALSE(CheckIdentity(s, source, g, error));
  EXPECT_NE(error.find("at sector 2048"), std::string::npos);
}

}  // namespace
}  // namespace torvane::session
