// The partition search: a walk over every sector of a disk for volumes its tables no longer
// describe (overwritten, damaged and invisible partitions), with the found list, its status
// against the current tables, and the partition scan state file (.tqsp) that lets a search
// stop and continue later.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "disk/disk_source.h"
#include "partitions/partition_record.h"
#include "partitions/volume_list.h"
#include "util/bytes.h"
#include "util/output_guard.h"

namespace torvane {

// DEEP examines every sector; FAST jumps over the NTFS and FAT32 volumes it found sound.
enum class SearchMethod : uint32_t { kDeep = 0, kFast = 1 };

// A found volume compared with the disk's current tables.
enum class FoundStatus { kOk, kOverwritten, kLost };

// Everything a search knows; what a .tqsp file holds.
struct SearchState {
  std::u16string sourceName;  // the image path, stored for matching on resume
  uint64_t diskSectors = 0;
  SearchMethod method = SearchMethod::kDeep;
  uint64_t nextSector = 0;  // where the search goes on
  bool resuming = false;    // loaded from a file: the tail of the disk was examined already
  std::vector<PartitionRecord> found;
};

// The .tqsp layout: magic "TQSP", the 1024-byte UTF-16 name, disk sectors, method,
// nextSector, N, and N records of 675 bytes.
constexpr size_t kTqspHeaderBytes = 1052;
constexpr size_t kTqspNameBytes = 1024;
// A state file holds at most this many records (a search of a huge, much-used disk finds
// thousands; this bounds what a forged count can make a load allocate).
constexpr uint32_t kMaxFoundRecords = 1u << 16;

std::vector<uint8_t> SerializeSearchState(const SearchState& state);
// Reads a state file's bytes: the magic is checked, the count bounded by the bytes present
// and kMaxFoundRecords, the name always terminated, the method 0 or 1. False with the reason.
bool ParseSearchState(ByteSpan bytes, SearchState& state, std::string& error);
// Writes the state under a temporary name beside `path` and renames it into place (an
// existing file the user named is replaced only then; a protected file never).
bool SaveSearchState(const std::filesystem::path& path, const SearchState& state, const OutputGuard& guard,
                     std::string& error);
bool LoadSearchState(const std::filesystem::path& path, SearchState& state, std::string& error);

// Ok when one of the volumes the tables list starts where the found one does; else
// Overwritten when the found volume failed the validity check, Lost when it passed.
FoundStatus StatusOf(const PartitionRecord& found, const VolumeList& current);
const char* StatusName(FoundStatus status);  // "ok", "overwritten", "lost"

// Progress in percent of the disk: 100 for an empty disk (no division by zero).
uint32_t SearchPercent(uint64_t nextSector, uint64_t diskSectors);

// The search over a source opened as a whole disk. Run it on the calling thread (Run) or on
// its own worker (Start, then Pause/Resume/Stop/Finish from any thread, and Wait).
class PartitionSearch {
 public:
  using LogSink = std::function<void(const std::string&)>;
  enum class Outcome { kFinished, kStopped };

  // Sectors per chunk: between two chunks the search looks at its flags.
  static constexpr uint32_t kChunkSectors = 8192;

  PartitionSearch(DiskSource& source, VolumeRecognizer recognize, SearchState state);
  ~PartitionSearch();
  PartitionSearch(const PartitionSearch&) = delete;
  PartitionSearch& operator=(const PartitionSearch&) = delete;

  // Log lines ("NTFS detected at sector: 2048 - LABEL (8 MiB)" and the like) go here, from
  // the searching thread. Set before Run or Start.
  void SetLog(LogSink log) { log_ = std::move(log); }

  Outcome Run();
  void Start();
  void Pause();
  void Resume();
  // Ends the search at the next chunk; nextSector says where to go on.
  void Stop();
  Outcome Wait();

  uint32_t Percent() const { return SearchPercent(next_.load(), diskSectors_); }
  // A copy of the state (found list and nextSector), consistent at any time.
  SearchState Snapshot() const;

  // The steps, for the tests.
  uint32_t ReportFoundVolume(PartitionRecord record, bool forced);
  bool ValidateFoundVolume(const PartitionRecord& record);

 private:
  void TailScan();
  // Examines one chunk from `next_`; false at the disk's end.
  bool Step(std::vector<uint8_t>& buffer);
  // Looks at one sector; answers the sector to go on with (always after `sector`).
  uint64_t Examine(uint64_t sector, const uint8_t* data);
  bool FromNtfsBackup(uint64_t sector, const uint8_t* data);
  uint64_t SkipRule(uint64_t sector, const PartitionRecord& record);
  int32_t Recognize(uint64_t sector, PartitionRecord& record, const uint8_t* copy = nullptr,
                    const uint8_t* entry = nullptr);
  bool HasCopyAt(uint64_t sector, const uint8_t* data, FsKind kind);
  bool ReadInto(uint8_t* out, uint32_t count, uint64_t sector);
  void Log(const std::string& line);
  bool Listed(uint64_t start) const;
  bool InsideFound(uint64_t sector) const;

  DiskSource& source_;
  VolumeRecognizer recognize_;
  VolumeList scratch_;  // for the cylinder alignment of the table code
  const uint64_t diskSectors_;
  const SearchMethod method_;
  const bool resuming_;
  std::u16string sourceName_;
  LogSink log_;

  mutable std::mutex mutex_;  // guards found_ and the pause handshake
  std::condition_variable wake_;
  std::vector<PartitionRecord> found_;
  std::atomic<uint64_t> next_{0};
  std::atomic<bool> stop_{false};
  bool paused_ = false;
  std::thread worker_;
  std::atomic<Outcome> outcome_{Outcome::kStopped};
};

}  // namespace torvane
