#include "scan/scan_driver.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <vector>

#include "util/format.h"

namespace torvane {
namespace {

constexpr uint64_t kRunBytes = 1 << 20;     // free space is read in runs of up to 1 MiB
constexpr uint64_t kRunMargin = 128 << 10;  // the run lies 128 KiB into its buffer
constexpr uint64_t kChunkSectors = 40960;   // reverse mode: 20 MiB chunks
constexpr uint64_t kGuardBytes = 32 << 10;  // behind a chunk: guard bytes for the detection
constexpr auto kProgressInterval = std::chrono::milliseconds(25);

}  // namespace

ScanDriver::ScanDriver(DiskSource& source, const VolumeGeometry& geometry, ItemStore& store, ScanFamily& family)
    : source_(source), g_(geometry), store_(store), family_(family) {}

ScanDriver::~ScanDriver() {
  Stop();
}

uint64_t ScanDriver::LastCluster() const {
  return g_.clusterCount;
}

void ScanDriver::Emit(ScanEvent::Kind kind, std::string text, uint32_t pct) {
  std::lock_guard<std::mutex> lock(eventLock_);
  if (events) events(ScanEvent{kind, std::move(text), pct});
}

void ScanDriver::ScanCommand() {
  std::unique_lock<std::mutex> lock(commandLock_);
  if (!running) {
    if ((busy != nullptr && *busy) || finished) return;
    // A thread that has just ended finishes its last events first.
    threadEnded_.wait(lock, [this] { return !threadAlive_; });
    if (thread_.joinable()) thread_.join();
    // A new scan: nothing of an earlier stop carries over.
    active = true;
    paused = false;
    pausedNow = false;
    stopRequested = false;
    running = true;
    threadAlive_ = true;
    Emit(ScanEvent::Kind::kPauseMenuText, kPauseScanMenu);
    thread_ = std::thread([this] { ScanThread(); });
  } else if (active) {
    active = false;
    paused = true;
    Emit(ScanEvent::Kind::kPauseMenuText, kResumeScanMenu);
  } else {
    // The worker shows the progress again when it leaves its pause point.
    active = true;
    paused = false;
    Emit(ScanEvent::Kind::kPauseMenuText, kPauseScanMenu);
  }
}

void ScanDriver::RequestStop() {
  stopRequested = true;
  paused = false;
}

void ScanDriver::Stop() {
  RequestStop();
  Wait();
}

void ScanDriver::Wait() {
  std::unique_lock<std::mutex> lock(commandLock_);
  threadEnded_.wait(lock, [this] { return !threadAlive_; });
  if (thread_.joinable()) thread_.join();  // the worker only returns now
}

ScanResumeWords ScanDriver::ResumeWords() const {
  ScanResumeWords w{};
  const uint64_t pos = position, done = processedClusters, entries = store_.deletedEntryCount;
  w[0] = phase;
  w[1] = static_cast<uint32_t>(pos);
  w[2] = static_cast<uint32_t>(pos >> 32);
  w[3] = static_cast<uint32_t>(done);
  w[4] = static_cast<uint32_t>(done >> 32);
  w[5] = static_cast<uint32_t>(std::min<uint64_t>(freeClusters, 0xFFFFFFFF));
  w[6] = finished ? 1 : 0;
  w[7] = static_cast<uint32_t>(entries);
  w[8] = static_cast<uint32_t>(entries >> 32);
  w[9] = static_cast<uint32_t>(std::min<uint64_t>(store_.deletedCount, 0xFFFFFFFF));
  w[10] = percent;
  return w;
}

void ScanDriver::ResumeFrom(const ScanResumeWords& w) {
  phase = w[0];
  position = uint64_t{w[1]} | uint64_t{w[2]} << 32;
  processedClusters = uint64_t{w[3]} | uint64_t{w[4]} << 32;
  freeClusters = w[5];
  finished = w[6] != 0;
  store_.deletedCount = w[9];
  percent = w[10];
  resumed_ =
      phase == static_cast<uint32_t>(ScanPhase::kFreeRegion) || phase == static_cast<uint32_t>(ScanPhase::kWholeVolume);
}

void ScanDriver::ScanThread() {
  interrupted = false;
  if (reverse || phase == static_cast<uint32_t>(ScanPhase::kWholeVolume))
    WholeVolumePhase();
  else
    FreeRegionPhase();
  pausedNow = false;
  running = false;
  active = false;
  resumed_ = false;
  Emit(ScanEvent::Kind::kTitle, kProductTitle);
  Emit(ScanEvent::Kind::kFinished, finished ? "finished" : "stopped");
  {
    std::lock_guard<std::mutex> lock(commandLock_);
    threadAlive_ = false;
  }
  threadEnded_.notify_all();
}

bool ScanDriver::PausePoint() {
  if (!paused || stopRequested) return !stopRequested;
  Emit(ScanEvent::Kind::kTitle, std::string(kProductTitle) + " " + kScanPaused);
  while (paused && !stopRequested) {
    pausedNow = true;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  pausedNow = false;
  if (stopRequested) return false;
  ReportProgress(true);  // resumed: the title shows the progress again
  return true;
}

void ScanDriver::ReportProgress(bool force) {
  const auto now = std::chrono::steady_clock::now();
  if (!force && now - lastReport_ < kProgressInterval) return;
  lastReport_ = now;
  const uint64_t deleted = store_.deletedCount;
  if (deleted != lastDeleted_) {
    lastDeleted_ = deleted;
    Emit(ScanEvent::Kind::kLostFilesLabel, "Lost files (" + GroupThousands(deleted) + ")");
  }
  const uint64_t done = processedClusters;
  const uint32_t pct = total_ == 0 ? 100 : static_cast<uint32_t>(std::min<double>(100.0, done * 100.0 / total_));
  percent = pct;
  const uint64_t mb = done * g_.sectorsPerCluster * 512 / (1 << 20);
  char title[160];
  std::snprintf(title, sizeof title, "%s - %s [ %u%%, %s MB ]", kProductTitle, kScanningFreeRegion, pct,
                GroupThousands(mb).c_str());
  Emit(ScanEvent::Kind::kTitle, title, pct);
}

void ScanDriver::FreeRegionPhase() {
  phase = static_cast<uint32_t>(ScanPhase::kFreeRegion);
  const uint64_t spc = std::max<uint32_t>(1, g_.sectorsPerCluster);
  const uint64_t clusterBytes = spc * 512;
  // A run holds at least one cluster, whatever the cluster size.
  const uint64_t runClusters = g_.fsKind == FsKind::kFat12 ? 16 : std::max<uint64_t>(1, kRunBytes / clusterBytes);
  std::vector<std::byte> buffer(kRunMargin + runClusters * clusterBytes + kRunMargin);
  if (store_.allocationMap.size() == 0) store_.allocationMap.Resize(g_.clusterCount);
  if (!resumed_) {
    total_ = family_.HasBitmap() ? family_.CountFreeClusters(&store_.allocationMap) : LastCluster();
    freeClusters = total_;
    position = 0;
    processedClusters = 0;
  } else {
    total_ = freeClusters;
  }
  if (total_ == 0 && family_.HasBitmap()) return;  // nothing free: ends at once, silently
  ReportProgress(true);
  const uint64_t last = LastCluster();
  while (true) {
    uint64_t pos = position;
    if (pos > last) {
      EndOfScan();
      return;
    }
    if (stopRequested) return;
    if (!family_.IsClusterFree(pos)) {
      position = pos + 1;
      continue;
    }
    uint64_t n = 0;
    while (n < runClusters && pos + n <= last && family_.IsClusterFree(pos + n)) ++n;
    const uint64_t firstSector = g_.clusterBase + pos * spc;
    std::byte* data = buffer.data() + kRunMargin;
    if (source_.ReadSectors(data, static_cast<uint32_t>(n * spc), firstSector) != 1) {
      // The source is gone: the scan stops where it is and can be resumed.
      interrupted = true;
      return;
    }
    RunDescriptor run;
    run.data = {data, n * clusterBytes};
    run.firstSector = firstSector;
    run.firstCluster = pos;
    run.clusters = n;
    run.sectors = n * spc;
    run.entryCount = store_.deletedEntryCount;
    run.deletedCount = store_.deletedCount;
    family_.SearchRun(run, &stopRequested);
    processedClusters += n;
    pos += n;
    if (contentDetection) {
      // Skip the clusters the last detected file covers beyond the run, never past the end.
      const uint64_t overhang = contentDetection(run);
      const uint64_t skip = std::min((overhang + clusterBytes - 1) / clusterBytes, last + 1 - std::min(last + 1, pos));
      pos += skip;
      processedClusters += skip;
    }
    position = pos;
    ReportProgress(false);
    if (!PausePoint()) return;
  }
}

void ScanDriver::WholeVolumePhase() {
  phase = static_cast<uint32_t>(ScanPhase::kWholeVolume);
  std::vector<std::byte> buffer(kChunkSectors * 512 + kGuardBytes);
  std::fill(buffer.end() - kGuardBytes, buffer.end(), std::byte{0x0E});
  // The last sector that exists: an unbounded volume ends at the disk's end.
  uint64_t lastSector = g_.volumeLastSector;
  if (source_.diskSectors != kNoBound && source_.volumeStart < source_.diskSectors)
    lastSector = std::min(lastSector, source_.diskSectors - source_.volumeStart - 1);
  if (!resumed_) {
    position = lastSector;
    processedClusters = 0;
  }
  const uint64_t spc = std::max<uint32_t>(1, g_.sectorsPerCluster);
  total_ = lastSector / spc + 1;
  while (!stopRequested) {
    const uint64_t pos = position;
    uint64_t first, count;
    if (pos + 1 < kChunkSectors) {
      first = 0;
      count = pos + 1;
    } else {
      first = pos + 1 - kChunkSectors;
      count = kChunkSectors;
    }
    if (source_.ReadSectors(buffer.data(), static_cast<uint32_t>(count), first) != 1) {
      interrupted = true;
      return;
    }
    if (count < kChunkSectors) {
      // Behind a short last chunk: the bytes 0, 1, ..., 255 over and over.
      for (uint64_t i = 0; i < kGuardBytes; ++i) buffer[count * 512 + i] = static_cast<std::byte>(i & 0xFF);
    }
    RunDescriptor chunk;
    chunk.data = {buffer.data(), count * 512};
    chunk.firstSector = first;
    chunk.firstCluster = first / spc;
    chunk.clusters = (count + spc - 1) / spc;
    chunk.sectors = count;
    chunk.entryCount = store_.deletedEntryCount;
    chunk.deletedCount = store_.deletedCount;
    family_.SearchChunk(chunk, &stopRequested);
    Emit(ScanEvent::Kind::kLostFilesLabel, "Lost files (" + GroupThousands(store_.deletedCount) + ")");
    if (stopRequested) return;
    if (contentDetection) contentDetection(chunk);
    processedClusters += chunk.clusters;
    position = first == 0 ? 0 : first - 1;
    ReportProgress(false);
    if (first == 0) {
      EndOfScan();
      return;
    }
    if (!PausePoint()) return;
  }
}

void ScanDriver::EndOfScan() {
  family_.EndOfScan();
  processedClusters = std::max<uint64_t>(processedClusters, total_);
  ReportProgress(true);
  Emit(ScanEvent::Kind::kRefresh, "");
  Emit(ScanEvent::Kind::kAskSaveResults, kScanFinishedQuestion);
  finished = true;
}

}  // namespace torvane
