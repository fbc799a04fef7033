// Copies sectors of the open source into a raw image file.
//
// The calling thread reads the source in large runs while a writer thread stores the
// previous runs, so reading and writing overlap. All-zero blocks are not written but left
// as holes, so that the images of sparse disks stay small; the file still has its full size.
#pragma once

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "disk/disk_source.h"
#include "util/output_guard.h"

namespace torvane {

struct ImageJob {
  std::filesystem::path output;
  uint64_t firstSector = 0;  // relative to the source's volume start
  uint64_t sectorCount = 0;  // 0: up to the end of the volume or disk
  bool overwrite = false;    // replace an existing output file (never one of the source's)
  // Go on with an unfinished image: the sectors the file holds are kept and the copy goes on
  // after them. A file longer than the sectors to copy is refused.
  bool resume = false;
  // 512 bytes that stand in the image for the first sector copied (a volume's backup boot
  // sector when its primary is damaged), or empty.
  std::vector<uint8_t> firstSectorReplacement;
  // The event log: unreadable ranges, the boot sector taken from the backup, the resume.
  std::function<void(const std::string&)> log;
};

enum class ImageStatus { kDone, kAborted, kFailed };

struct ImageResult {
  ImageStatus status = ImageStatus::kFailed;
  uint64_t resumedAt = 0;  // sectors the file already held when resuming
  bool ok = false;         // the image was written completely (some sectors may have read as zeros)
  bool stopped = false;
  std::string error;
  uint64_t sectorsCopied = 0;
  // Sectors that could not be read from the source; they hold zeros in the image.
  uint64_t failedSectors = 0;
  vdisk::SectorRange lastFailure;
  std::string failureReason;
};

using ImageProgressFn = std::function<void(uint64_t sectorsDone, uint64_t sectorsTotal)>;

// The output guard of a source: it refuses every file the source reads (its descriptor, its
// extent files, and the files of its parent chain), by device and inode. Every file written
// while the source is open goes through it.
OutputGuard SourceOutputGuard(const DiskSource& source);

ImageResult CreateImage(DiskSource& source, const ImageJob& job, const ImageProgressFn& progress,
                        const std::atomic<bool>* stop = nullptr);

}  // namespace torvane
