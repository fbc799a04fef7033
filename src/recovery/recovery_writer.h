// The recovery writer: copies found items into a destination folder, never onto the source,
// with safe names, conflict handling, a full-disk question, timestamps and statistics.
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
enum Statistic { kFoldersTotal, kFoldersDeleted, kFoldersDetected, kFoldersOverwritten,
                 kFilesTotal, kFilesDeleted, kFilesDetected, kFilesOverwritten, kStatisticCount };

enum class ItemResult { kOk, kSkipped, kFailed };

struct ItemReport {
  ItemResult result = ItemResult::kFailed;
  std::filesystem::path output;
  std::string sha256;  // of what was written
  std::string reason;  // for skipped and failed items
  bool encrypted = false;
  bool incomplete = false;
};

// One item to recover: the entry, its name, and the folders (from the volume root) it
// goes into below the output folder.
struct RecoveryItem {
  FileEntry entry;
  std::u16string name;
  std::vector<std::u16string> folders;
  uint32_t rawNumber = 0;          // RAW items: their number
  std::string rawExtension;        // RAW items: the extension of their file type (".jpg")
};

class RecoveryRun;

// The file sink of a recovery: writes to an open file, never more than the item's size,
// hashes what it wrote, and asks what to do when the disk is full (Yes: skip this file and
// go on; No: abort the run).
class FileSink final : public ReaderSink {
 public:
  FileSink(int fd, uint64_t size, RecoveryRun& run, UiPort* ui, const std::filesystem::path& shown,
           bool digest = false)
      : fd_(fd), size_(size), run_(run), ui_(ui), shown_(shown), digest_(digest) {}
  bool WriteChunk(std::span<const std::byte> data) override;
  bool Restart() override;
  // Empty unless the sink was asked to hash.
  std::string Digest() { return digest_ ? hash_.HexDigest() : std::string(); }
  const std::string& Error() const { return error_; }
  uint64_t Written() const { return written_; }

 private:
  int fd_;
  uint64_t size_;
  RecoveryRun& run_;
  UiPort* ui_;
  std::filesystem::path shown_;
  bool digest_;
  uint64_t written_ = 0;
  Sha256 hash_;
  std::string error_;
};

class RecoveryRun {
 public:
  RecoveryRun(ReaderContext& reader, RecoveryOptions options, UiPort* ui);

  // Checks and prepares the output folder: it must not be one of the source's files or lie
  // inside the source's storage, and is created when missing. False with the message text.
  bool PrepareOutput(std::string& error);

  // Counts the item into the statistics and the total bytes (the preparing phase).
  void Count(const RecoveryItem& item);
  // Recovers one item: folders are created, files written under a temporary name and
  // renamed when complete, so a skipped or failed item never leaves a partial file behind.
  ItemReport Recover(const RecoveryItem& item);
  // Pauses a running scan for the run (through the scan command).
  void Begin();
  // Closes the JOIN file and resumes a scan the run paused.
  void Finish();

  std::atomic<bool> abortAll{false};
  std::atomic<bool> skipCurrent{false};
  std::array<uint32_t, kStatisticCount> statistics{};
  uint64_t bytesWritten = 0;
  double bytesTotal = 0;
  uint32_t filesDone = 0;
  uint32_t ok = 0, skipped = 0, failed = 0;
  // Called with the current file and the bytes written so far (for progress bars).
  std::function<void(const std::filesystem::path&, uint64_t written, uint64_t size)> progress;

 private:
  std::filesystem::path FolderFor(const RecoveryItem& item, std::string& error);
  bool IsSourceFile(const std::filesystem::path& path) const;

  ReaderContext& reader_;
  RecoveryOptions options_;
  UiPort* ui_;
  int joinFd_ = -1;
  bool pausedScan_ = false;
  std::filesystem::path joinPath_;
};

}  // namespace torvane::recovery
