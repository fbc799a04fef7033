// The recovery writer: copies found items into a destination folder, never onto the source,
// with safe names, conflict handling, a full-disk question, timestamps and statistics. Every
// file and folder it makes goes through the source's output guard: folders are opened
// relative to the output folder without following links, files are written under a
// temporary name and get their name only when complete, without replacing anything.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "disk/disk_source.h"
#include "recovery/content_reader.h"
#include "store/file_entry.h"
#include "util/output_guard.h"
#include "util/sha256.h"
#include "util/ui_port.h"

namespace torvane::recovery {

// Texts of the run.
inline constexpr const char* kDiskFullText =
    "Destination Disk is full! Please release disk space and click \"OK\", current file will be skipped...";
inline constexpr const char* kOverwriteProtectionTitle = "Torvane - overwrite protection";
inline constexpr const char* kSourceDriveText =
    "Please select another drive (output path). This is the drive with data to recovery!";
inline constexpr const char* kPathErrorText = "Can't create or open this directory, please choose another!";

// Replaces characters no file name may hold (control characters, < > : " / \ | ? *) by
// spaces. Names that would leave or alias their folder ("", ".", "..") become "_"; a name
// longer than 255 bytes in UTF-8 is cut keeping its extension; lone surrogates become U+FFFD.
std::u16string SanitizeName(std::u16string_view name);

// "name[001].ext" style numbered alternatives, counter 1 to 101.
std::u16string NumberedName(std::u16string_view name, unsigned counter);

struct RecoveryOptions {
  std::filesystem::path outputFolder;
  // The scan command: called with true to pause a running scan when the run begins (it
  // answers whether it paused one) and with false to resume it when the run ends.
  std::function<bool(bool pause)> scanCommand;
  bool blockDuplicates = true;  // an existing file of the same name blocks the item
  bool joinMode = false;        // every item goes into one file
  bool computeDigest = false;   // SHA-256 of what is written, for a report (costs CPU time)
  std::u16string joinName;
};

// The eight counters of the preparing statistics.
enum Statistic {
  kFoldersTotal,
  kFoldersDeleted,
  kFoldersDetected,
  kFoldersOverwritten,
  kFilesTotal,
  kFilesDeleted,
  kFilesDetected,
  kFilesOverwritten,
  kStatisticCount
};

// kIncomplete: the file was written, but parts of it could not be read (they hold zeros) or
// its recorded size was beyond what the volume can hold (it was cut).
enum class ItemResult { kOk, kIncomplete, kSkipped, kFailed };

struct ItemReport {
  ItemResult result = ItemResult::kFailed;
  std::filesystem::path output;
  std::string sha256;  // of what was written
  std::string reason;  // for incomplete, skipped and failed items
  bool encrypted = false;
  bool incomplete = false;
  uint64_t unreadableSectors = 0;                        // sectors that could not be read; zeros in the file
  std::vector<ReadOutcome::ByteRange> unreadableRanges;  // where those zeros lie in the file
  uint64_t clippedBytes = 0;                             // bytes of the recorded size beyond the volume's size
};

// A scan paused for a recovery run, resumed when the guard ends (or Resume is called), on
// every path out of the run.
class ScanPause {
 public:
  ScanPause() = default;
  ScanPause(const ScanPause&) = delete;
  ScanPause& operator=(const ScanPause&) = delete;
  ~ScanPause() { Resume(); }
  // Asks the scan command to pause a running scan (it answers whether it paused one).
  void Pause(std::function<bool(bool pause)> command) {
    Resume();
    command_ = std::move(command);
    paused_ = command_ && command_(true);
  }
  void Resume() {
    if (paused_ && command_) command_(false);
    paused_ = false;
  }

 private:
  std::function<bool(bool)> command_;
  bool paused_ = false;
};

// One item to recover: the entry, its name, and the folders (from the volume root) it
// goes into below the output folder.
struct RecoveryItem {
  FileEntry entry;
  std::u16string name;
  std::vector<std::u16string> folders;
  uint32_t rawNumber = 0;    // RAW items: their number
  std::string rawExtension;  // RAW items: the extension of their file type (".jpg")
};

class RecoveryRun;

// The file sink of a recovery: writes to an open file, never more than the item's size,
// hashes what it wrote, and asks what to do when the disk is full (Yes: skip this file and
// go on; No: abort the run). Runs of zeros (sparse ranges, unreadable clusters, data past
// the runlist) are not written but left as holes, so they cost neither time nor space;
// Finish gives the file its full length.
class FileSink final : public ReaderSink {
 public:
  FileSink(int fd, uint64_t size, RecoveryRun& run, UiPort* ui, const std::filesystem::path& shown, bool digest = false)
      : fd_(fd), size_(size), run_(run), ui_(ui), shown_(shown), digest_(digest) {}
  bool WriteChunk(std::span<const std::byte> data) override;
  bool WriteZeros(uint64_t count) override;
  // Extends the file over a hole at its end. False (with Error) when that fails.
  bool Finish();
  // Empty unless the sink was asked to hash.
  std::string Digest() { return digest_ ? hash_.HexDigest() : std::string(); }
  const std::string& Error() const { return error_; }
  uint64_t Written() const { return written_; }

 private:
  bool Accept(uint64_t count);
  bool Skip(uint64_t count);
  int fd_;
  uint64_t size_;
  RecoveryRun& run_;
  UiPort* ui_;
  std::filesystem::path shown_;
  bool digest_;
  uint64_t written_ = 0;
  Sha256 hash_;
  std::string error_;
  bool holeAtEnd_ = false;
};

class RecoveryRun {
 public:
  RecoveryRun(ReaderContext& reader, RecoveryOptions options, UiPort* ui);
  // A run dropped without Finish removes its unfinished JOIN file and resumes the scan.
  ~RecoveryRun() = default;

  // Checks and opens the output folder: it must not be one of the source's files, and is
  // created when missing. False with the message text. Recover calls it when needed.
  bool PrepareOutput(std::string& error);
  // The guard every file of the run goes through (the source's files by device and inode).
  const OutputGuard& Guard() const { return guard_; }

  // Counts the item into the statistics and the total bytes (the preparing phase).
  void Count(const RecoveryItem& item);
  // Recovers one item: folders are created, files written under a temporary name and
  // renamed when complete, so a skipped or failed item never leaves a partial file behind.
  // A size beyond the volume's size is cut to it; the file is then incomplete. A file of
  // size zero is written empty without reading (metadata files may have no data stream).
  ItemReport Recover(const RecoveryItem& item);
  // Pauses a running scan for the run (through the scan command).
  void Begin();
  // Gives the JOIN file its name (unless the run was aborted: then it is removed) and
  // resumes a scan the run paused. False with `error` when the JOIN file cannot be named.
  bool Finish(std::string* error = nullptr);

  std::atomic<bool> abortAll{false};
  std::atomic<bool> skipCurrent{false};
  std::array<uint32_t, kStatisticCount> statistics{};
  uint64_t bytesWritten = 0;
  double bytesTotal = 0;
  uint32_t filesDone = 0;
  uint32_t ok = 0, incomplete = 0, skipped = 0, failed = 0;
  // Called with the current file and the bytes written so far (for progress bars).
  std::function<void(const std::filesystem::path&, uint64_t written, uint64_t size)> progress;

 private:
  // The open folder an item goes into (created below the output folder, links refused),
  // and its path for messages.
  int FolderFor(const std::vector<std::u16string>& folders, std::filesystem::path& shown, std::string& error);
  uint64_t VolumeBytes() const;

  ReaderContext& reader_;
  RecoveryOptions options_;
  UiPort* ui_;
  OutputGuard guard_;
  UniqueFd outputDir_;
  // The folder of the previous item, kept open: items come folder by folder.
  std::vector<std::string> currentFolders_;
  UniqueFd currentDir_;
  PendingFile joinFile_;
  std::string joinName_;
  ScanPause scanPause_;
};

}  // namespace torvane::recovery
