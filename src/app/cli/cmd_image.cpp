// torvane image DISK [-v N] -o OUT [--continue]: the whole virtual disk, or one of its
// volumes, copied into a raw image file.
#include <charconv>
#include <cstdio>

#include "app/cli/args.h"
#include "app/cli/cli_language.h"
#include "app/cli/commands.h"
#include "app/cli/found_volumes.h"
#include "app/cli/progress_bar.h"
#include "app/drive_list.h"
#include "disk/image_creator.h"
#include "partitions/partition_search.h"
#include "partitions/table_repair.h"
#include "util/format.h"

namespace torvane::cli {
namespace {

constexpr const char* kUsage =
    "usage: torvane image DISK [-v N] -o OUT [--force | --continue]\n\n"
    "Copies every sector of a virtual disk into the raw image file OUT, which any disk tool\n"
    "(and Torvane itself) can open. The source is only read. OUT must not exist unless\n"
    "--force is given (a symbolic link is then refused, not followed), and must never be\n"
    "one of the disk's own files.\n"
    "-v N images volume N of 'torvane volumes' (or FILE.tqsp:N, a volume a partition search\n"
    "found); a volume whose primary boot sector is damaged gets its valid backup boot sector\n"
    "as the image's first sector. --continue goes on with an unfinished OUT after the\n"
    "sectors it holds. Unreadable sectors are imaged as zeros and listed. The image ends as\n"
    "done, aborted (Ctrl-C; continue it later) or failed.\n";

// The record of volume `row` of the disk: a row of the drive list or a found volume.
bool VolumeRecord(const std::string& disk, const std::string& row, DiskSource& source, PartitionRecord& record,
                  std::string& error) {
  if (IsFoundVolumeRow(row)) {
    const size_t colon = row.rfind(':');
    SearchState state;
    if (!LoadSearchState(row.substr(0, colon), state, error)) return false;
    size_t index = 0;
    const std::string number = row.substr(colon + 1);
    auto [end, ec] = std::from_chars(number.data(), number.data() + number.size(), index);
    if (number.empty() || ec != std::errc() || end != number.data() + number.size() || index >= state.found.size() ||
        state.diskSectors != source.diskSectors) {
      error = CliText("szNoFoundVolumeFor", {row, disk});
      return false;
    }
    record = state.found[index];
    return true;
  }
  size_t index = 0;
  auto [end, ec] = std::from_chars(row.data(), row.data() + row.size(), index);
  if (row.empty() || ec != std::errc() || end != row.data() + row.size()) {
    error = CliText("szBadVolumeRow");
    return false;
  }
  DriveList list;
  VolumeGeometry geometry;
  DiskSource listing;
  list.SetImage(disk);
  list.EnumerationThread(listing, geometry, 0);
  if (!list.openError.empty()) {
    error = list.openError;
    return false;
  }
  if (index >= list.rows.size()) {
    error = CliText("szNoSuchVolume", {row, disk});
    return false;
  }
  record = list.rows[index];
  if (record.wholeDisk) record.sectors = source.diskSectors;
  return true;
}

}  // namespace

int RunImage(const Args& args) {
  ParsedArgs p;
  if (const int early = ParseCommandLine(
          args,
          {kUsage, {"--force", "--continue"}, {"-o", "--output", "-v"}, 1, 1, CliText("szTakesOneDisk", {"image"}), {}},
          p);
      early >= 0)
    return early;
  std::string output = p.Option("-o");
  if (output.empty()) output = p.Option("--output");
  if (output.empty()) {
    PrintError(CliText("szImageNeedsOutput"));
    std::fputs(kUsage, stderr);
    return 2;
  }
  DiskSource source;
  std::string error;
  if (!source.OpenSource(p.positional[0], 0, error)) {
    PrintError(error);
    return 1;
  }
  ImageJob job;
  job.output = output;
  job.overwrite = p.Has("--force");
  job.resume = p.Has("--continue");
  job.log = [](const std::string& line) { std::fprintf(stderr, "%s\n", line.c_str()); };
  if (job.overwrite && job.resume) {
    PrintError(CliText("szExcludeEachOther", {"--force", "--continue"}));
    return 2;
  }
  if (!p.Option("-v").empty()) {
    PartitionRecord record;
    if (!VolumeRecord(p.positional[0], p.Option("-v"), source, record, error)) {
      PrintError(error);
      return 1;
    }
    job.firstSector = record.startSector;
    job.sectorCount = record.sectors;
    std::vector<uint8_t> boot(512);
    uint64_t at = 0;
    if (BackupBootSector(source, record, boot.data(), at)) {
      job.firstSectorReplacement = boot;
      std::fprintf(stderr, "%s\n", CliText("szBackupBootUsed", {std::to_string(at)}).c_str());
    }
  }
  ProgressBar bar(CliText("szProgressImaging"));
  ImageResult r = CreateImage(source, job, [&](uint64_t done, uint64_t total) { bar.Update(done * 512, total * 512); });
  bar.Finish();
  if (r.status == ImageStatus::kAborted) {
    PrintError(CliText("szImageAborted", {GroupThousands(r.sectorsCopied)}));
    return 1;
  }
  if (!r.error.empty() || r.status != ImageStatus::kDone) {
    PrintError(CliText("szImageFailed", {r.error}));
    return 1;
  }
  if (r.failedSectors != 0) {
    PrintError(
        CliText("szImageUnreadable", {GroupThousands(r.failedSectors), std::to_string(r.lastFailure.start),
                                      std::to_string(r.lastFailure.start + r.lastFailure.count - 1), r.failureReason}));
    return 1;
  }
  std::fprintf(
      stderr, "%s\n",
      CliText("szImageWritten", {HumanSize(r.sectorsCopied * 512), GroupThousands(r.sectorsCopied), output}).c_str());
  return 0;
}

}  // namespace torvane::cli
