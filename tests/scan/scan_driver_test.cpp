#include "scan/scan_driver.h"

#include <gtest/gtest.h>

#include <mutex>
#include <thread>
#include <vector>

#include "disk/vdisk/virtual_disk.h"

namespace torvane {
namespace {

// A family over a volume whose clusters are free where `used` says not: it records every
// run and chunk it is handed.
class RecordingFamily final : public ScanFamily {
 public:
  explicit RecordingFamily(std::vector<bool> used, bool bitmap = true) : used_(std::move(used)), bitmap_(bitmap) {}
  bool HasBitmap() const override { return bitmap_; }
  uint64_t CountFreeClusters(AllocationMap*) override {
    uint64_t n = 0;
    for (bool u : used_) n += !u;
    return n;
  }
  bool IsClusterFree(uint64_t c) const override { return c >= used_.size() || !used_[c]; }
  void SearchRun(const RunDescriptor& run, const std::atomic<bool>*) override {
    // A slow search keeps a scan running long enough to be paused from the test.
    if (slow) std::this_thread::sleep_for(std::chrono::milliseconds(slowMs));
    Record(run);
  }
  bool slow = false;
  int slowMs = 5;
  void SearchChunk(const RunDescriptor& chunk, const std::atomic<bool>*) override {
    Record(chunk);
    std::lock_guard<std::mutex> lock(mutex);
    lastChunk.assign(chunk.data.begin(), chunk.data.end() + 32 * 1024);  // and the guard behind it
  }
  void EndOfScan() override { ++ends; }
  void Record(const RunDescriptor& r) {
    std::lock_guard<std::mutex> lock(mutex);
    runs.push_back({r.firstCluster, r.clusters, r.firstSector, r.sectors});
  }
  struct Seen {
    uint64_t firstCluster, clusters, firstSector, sectors;
  };
  std::mutex mutex;
  std::vector<Seen> runs;
  std::vector<std::byte> lastChunk;
  int ends = 0;

 private:
  std::vector<bool> used_;
  bool bitmap_;
};

// A volume of `sectors` sectors of 4 KiB clusters on a disk held in memory.
struct Volume {
  DiskSource source;
  VolumeGeometry geometry;
  ItemStore store;
  explicit Volume(uint64_t sectors) {
    std::vector<uint8_t> bytes(sectors * 512);
    for (size_t i = 0; i < bytes.size(); i += 512) bytes[i] = static_cast<uint8_t>(i / 512);
    std::string error;
    source.OpenDisk(vdisk::VirtualDisk::FromRawBytes(std::make_unique<vdisk::MemorySource>(bytes)), 0, error);
    geometry.fsKind = FsKind::kNtfs;
    geometry.sectorsPerCluster = 8;
    geometry.clusterCount = sectors / 8 - 1;
    geometry.volumeLastSector = sectors - 1;
    store.Create();
  }
};

TEST(ScanDriverTest, FreeRegionRunsAreReadWholeAndTheEndAsksToSave) {
  Volume v(8192);  // 1024 clusters
  std::vector<bool> used(1024, false);
  for (int c = 0; c < 10; ++c) used[c] = true;
  used[300] = true;
  RecordingFamily family(used);
  ScanDriver driver(v.source, v.geometry, v.store, family);
  std::vector<ScanEvent> events;
  std::mutex eventsLock;
  driver.events = [&](const ScanEvent& e) {
    std::lock_guard<std::mutex> lock(eventsLock);
    events.push_back(e);
  };
  driver.contentDetection = [](const RunDescriptor& r) { return r.firstCluster == 301 ? uint64_t{5000} : 0; };
  driver.ScanCommand();
  driver.Wait();
  EXPECT_TRUE(driver.finished);
  EXPECT_EQ(family.ends, 1);
  // Runs of at most 256 clusters (1 MiB), skipping used clusters and the 2 clusters the
  // detection said its file covers beyond the run at 301.
  ASSERT_GE(family.runs.size(), 4u);
  EXPECT_EQ(family.runs[0].firstCluster, 10u);
  EXPECT_EQ(family.runs[0].clusters, 256u);
  EXPECT_EQ(family.runs[1].firstCluster, 266u);
  EXPECT_EQ(family.runs[1].clusters, 34u);
  EXPECT_EQ(family.runs[2].firstCluster, 301u);
  EXPECT_EQ(family.runs[3].firstCluster, 301u + 256 + 2);
  bool asked = false;
  uint32_t lastPercent = 0;
  for (const auto& e : events) {
    asked |= e.kind == ScanEvent::Kind::kAskSaveResults && e.text == kScanFinishedQuestion;
    if (e.kind != ScanEvent::Kind::kTitle) continue;
    EXPECT_LE(e.percent, 100u);
    if (e.percent != 0) lastPercent = e.percent;
  }
  EXPECT_TRUE(asked);
  EXPECT_EQ(lastPercent, 100u);
}

TEST(ScanDriverTest, NoFreeClustersEndsAtOnceWithoutTheQuestion) {
  Volume v(800);
  RecordingFamily family(std::vector<bool>(100, true));
  ScanDriver driver(v.source, v.geometry, v.store, family);
  bool asked = false;
  driver.events = [&](const ScanEvent& e) { asked |= e.kind == ScanEvent::Kind::kAskSaveResults; };
  driver.ScanCommand();
  driver.Wait();
  EXPECT_FALSE(driver.finished);
  EXPECT_FALSE(asked);
  EXPECT_TRUE(family.runs.empty());
}

TEST(ScanDriverTest, ReverseModeReadsASmallVolumeAsOneChunkWithThePatternBehind) {
  Volume v(30000);
  RecordingFamily family(std::vector<bool>(3750, true));
  ScanDriver driver(v.source, v.geometry, v.store, family);
  driver.reverse = true;
  driver.ScanCommand();
  driver.Wait();
  EXPECT_TRUE(driver.finished);
  ASSERT_EQ(family.runs.size(), 1u);
  EXPECT_EQ(family.runs[0].firstSector, 0u);
  EXPECT_EQ(family.runs[0].sectors, 30000u);
  ASSERT_EQ(family.lastChunk.size(), 30000u * 512 + 32 * 1024);
  EXPECT_EQ(family.lastChunk[29999 * 512], std::byte{29999 % 256});
  for (size_t i = 0; i < 1024; ++i) ASSERT_EQ(family.lastChunk[30000 * 512 + i], std::byte(i & 0xFF)) << i;
}

TEST(ScanDriverTest, ALostSourceInterruptsTheScanWithoutFinishingIt) {
  Volume v(8192);
  RecordingFamily family(std::vector<bool>(1024, false));
  ScanDriver driver(v.source, v.geometry, v.store, family);
  v.source.deviceLost = 1;  // every read is refused
  driver.ScanCommand();
  driver.Wait();
  EXPECT_TRUE(driver.interrupted);
  EXPECT_FALSE(driver.finished);
  EXPECT_EQ(driver.position.load(), 0u);  // resumable where it stopped
  v.source.deviceLost = 0;
  driver.ScanCommand();
  driver.Wait();
  EXPECT_TRUE(driver.finished);
}

TEST(ScanDriverTest, PauseResumeStopAndResumeWords) {
  Volume v(65536);  // 8192 clusters: 32 runs
  RecordingFamily family(std::vector<bool>(8192, false));
  family.slow = true;
  ScanDriver driver(v.source, v.geometry, v.store, family);
  std::atomic<int> paused{0};
  driver.events = [&](const ScanEvent& e) {
    if (e.kind == ScanEvent::Kind::kTitle && e.text == std::string(kProductTitle) + " " + kScanPaused) ++paused;
  };
  driver.ScanCommand();  // start
  driver.ScanCommand();  // pause
  for (int i = 0; i < 2000 && !driver.pausedNow; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  ASSERT_TRUE(driver.pausedNow);
  EXPECT_EQ(paused.load(), 1);
  const ScanResumeWords words = driver.ResumeWords();
  const size_t runsAtPause = family.runs.size();
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_EQ(family.runs.size(), runsAtPause);  // nothing is read while paused
  driver.Stop();                               // stop while paused: no end-of-scan steps
  EXPECT_FALSE(driver.finished);
  EXPECT_EQ(family.ends, 0);

  // A new driver resumes from the words at the same position with the same counts.
  RecordingFamily again(std::vector<bool>(8192, false));
  ScanDriver resumed(v.source, v.geometry, v.store, again);
  resumed.ResumeFrom(words);
  EXPECT_EQ(resumed.position.load(), uint64_t{words[1]});
  resumed.ScanCommand();
  resumed.Wait();
  EXPECT_TRUE(resumed.finished);
  ASSERT_FALSE(again.runs.empty());
  EXPECT_EQ(again.runs.front().firstCluster, uint64_t{words[1]});
  EXPECT_EQ(resumed.processedClusters.load(), 8192u);
}

bool WaitFor(const std::atomic<bool>& flag) {
  for (int i = 0; i < 5000 && !flag; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  return flag;
}

TEST(ScanDriverTest, AStopDoesNotEndTheNextScanAtItsFirstPause) {
  Volume v(65536);
  RecordingFamily family(std::vector<bool>(8192, false));
  family.slow = true;
  ScanDriver driver(v.source, v.geometry, v.store, family);
  driver.ScanCommand();
  driver.Stop();  // stopped while running, not paused
  EXPECT_FALSE(driver.finished);
  driver.ScanCommand();  // a new scan
  driver.ScanCommand();  // pause
  ASSERT_TRUE(WaitFor(driver.pausedNow));
  driver.ScanCommand();  // resume
  driver.Wait();
  EXPECT_TRUE(driver.finished);
  EXPECT_EQ(family.ends, 1);
}

// The commands come from another thread while this one waits for the scan, as a front end
// does it; the events handler keeps no lock of its own, since calls never overlap.
TEST(ScanDriverTest, PauseResumeAndStopFromAnotherThreadWhileWaiting) {
  Volume v(65536);
  RecordingFamily family(std::vector<bool>(8192, false));
  family.slow = true;
  family.slowMs = 20;  // 32 runs: long enough for two pauses on a busy machine
  ScanDriver driver(v.source, v.geometry, v.store, family);
  std::vector<ScanEvent::Kind> kinds;
  driver.events = [&](const ScanEvent& e) { kinds.push_back(e.kind); };
  driver.ScanCommand();
  std::atomic<bool> pausedTwice{false};
  std::thread commands([&] {
    for (int round = 0; round < 2; ++round) {
      driver.ScanCommand();  // pause
      if (!WaitFor(driver.pausedNow)) return;
      driver.ScanCommand();  // resume
      for (int i = 0; i < 5000 && driver.pausedNow; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    pausedTwice = true;
    driver.Stop();
  });
  driver.Wait();
  commands.join();
  EXPECT_TRUE(pausedTwice);
  EXPECT_FALSE(driver.finished);
  EXPECT_EQ(family.ends, 0);
  ASSERT_FALSE(kinds.empty());
  EXPECT_EQ(kinds.back(), ScanEvent::Kind::kFinished);
}

}  // namespace
}  // namespace torvane
