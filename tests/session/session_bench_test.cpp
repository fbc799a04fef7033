// Not a test: the figures of bench/session.sh (run with --gtest_also_run_disabled_tests).
#include <gtest/gtest.h>

#include <time.h>

#include <chrono>
#include <cstdio>
#include <random>

#include "session/session_file.h"
#include "test_util.h"

namespace torvane::session {
namespace {

TEST(SessionBench, DISABLED_SaveAndLoadAMillionNamedEntries) {
  constexpr uint64_t kEntries = 1000000;
  ItemStore store;
  store.Create();
  store.allocationMap.Resize(1 << 20);
  std::mt19937_64 rng(1);
  const char16_t* words[] = {u"report", u"IMG_", u"invoice", u"backup", u"notes", u"setup", u"data", u"photo"};
  const char16_t* ext[] = {u".docx", u".jpg", u".pdf", u".txt", u".xlsx", u".dll", u".png"};
  uint64_t nameBytes = 0;
  for (uint64_t i = 0; i < kEntries; ++i) {
    FileEntry e;
    e.recordNumber = 16 + i;
    e.recordSector = 8192 + 2 * i;
    e.size = rng() % (1 << 24);
    e.dataStart = rng() % (1 << 22);
    e.time = 133000000000000000ull + rng() % 100000000000ull;
    e.state = i % 4 == 0 ? 200 : static_cast<uint8_t>(rng() % 101);
    e.SetParentRecord(5 + (i / 50) * 50);
    std::u16string name = words[rng() % 8];
    for (char c : std::to_string(rng() % 100000)) name += static_cast<char16_t>(c);
    name += ext[rng() % 7];
    nameBytes += 2 * (name.size() + 1);
    AddEntry(store.deletedEntries, e, name);
  }
  test::TempDir dir;
  std::string error;
  const auto cpu = [] {
    timespec ts{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
  };
  const double c0 = cpu();
  const auto t0 = std::chrono::steady_clock::now();
  ASSERT_TRUE(WriteSessionFile(dir / "bench.tqs", store, SessionState{}, error)) << error;
  const auto t1 = std::chrono::steady_clock::now();
  const double c1 = cpu();
  LoadedSession loaded;
  ASSERT_TRUE(ReadSessionFile(dir / "bench.tqs", store.allocationMap.size(), loaded, error)) << error;
  ItemStore target;
  target.Create();
  target.allocationMap.Resize(1 << 20);
  ApplySession(loaded, target);
  const auto t2 = std::chrono::steady_clock::now();
  const double c2 = cpu();
  ASSERT_EQ(EntryCount(target.deletedEntries), kEntries);
  const uint64_t fileBytes = std::filesystem::file_size(dir / "bench.tqs");
  const uint64_t rawBytes = kEntries * kFileEntrySize + nameBytes + store.allocationMap.size();
  std::printf("entries %llu, raw %llu bytes (list %llu, names %llu, map %zu)\n",
              static_cast<unsigned long long>(kEntries), static_cast<unsigned long long>(rawBytes),
              static_cast<unsigned long long>(kEntries * kFileEntrySize), static_cast<unsigned long long>(nameBytes),
              store.allocationMap.size());
  std::printf("processor time: save %.3f s, load %.3f s\n", c1 - c0, c2 - c1);
  std::printf("wall clock: save %.3f s, load %.3f s, file %llu bytes = %.1f %% of the raw list and names\n",
              std::chrono::duration<double>(t1 - t0).count(), std::chrono::duration<double>(t2 - t1).count(),
              static_cast<unsigned long long>(fileBytes), 100.0 * static_cast<double>(fileBytes) / rawBytes);
}

}  // namespace
}  // namespace torvane::session
