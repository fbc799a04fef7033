// torvane partsearch DISK [--fast] [--save FILE.tqsp] [--resume FILE.tqsp] [--json]: the
// partition search over the whole disk, and the found volumes as rows of -v.
#include <signal.h>

#include <atomic>
#include <charconv>
#include <chrono>
#include <cstdio>
#include <thread>

#include "app/cli/args.h"
#include "app/cli/cli_language.h"
#include "app/cli/commands.h"
#include "app/cli/found_volumes.h"
#include "app/cli/progress_bar.h"
#include "disk/image_creator.h"
#include "fs/open_volume.h"
#include "fs/recognize_volume.h"
#include "partitions/partition_search.h"
#include "util/format.h"
#include "util/json_writer.h"
#include "util/text.h"

namespace torvane::cli {
namespace {

constexpr const char* kUsage =
    "usage: torvane partsearch DISK [--fast] [--save FILE.tqsp] [--resume FILE.tqsp] [--json]\n\n"
    "Searches every sector of the disk for volumes its partition tables no longer describe:\n"
    "deleted, overwritten and invisible partitions. The default (DEEP) examines every sector;\n"
    "--fast jumps over the NTFS and FAT32 volumes it finds sound. Each volume found is listed\n"
    "with its start, size, file system, label and status: ok (a partition table lists it),\n"
    "lost (no table lists it), overwritten (no table lists it and its structures are damaged).\n\n"
    "--save FILE.tqsp writes the search state when the search ends or is stopped (Ctrl-C);\n"
    "--resume FILE.tqsp goes on from a saved state (the disk must have the size it had).\n"
    "The volumes of a saved state are rows of -v: 'FILE.tqsp:N' opens found volume N, as\n"
    "numbered by this command and by 'torvane volumes DISK --found FILE.tqsp' (the order in\n"
    "which the search found them, from 0).\n";

std::atomic<bool> stopSearch{false};
static_assert(std::atomic<bool>::is_always_lock_free, "the flag is set from a signal handler");
extern "C" void OnSearchStop(int) {
  stopSearch = true;
}

void FoundJson(JsonWriter& j, size_t index, const PartitionRecord& r, FoundStatus status) {
  j.BeginObject();
  j.Field("index", index);
  j.Field("start", uint64_t{r.startSector});
  j.Field("sectors", uint64_t{r.sectors});
  j.Field("fs", ToUtf8(GetText(r.fsName)));
  j.Field("label", ToUtf8(GetText(r.label)));
  j.Field("status", std::string(StatusName(status)));
  j.EndObject();
}

// The status as the text output names it (JSON keeps StatusName's words).
std::string StatusText(FoundStatus status) {
  return CliText(status == FoundStatus::kOk     ? "szStatusOk"
                 : status == FoundStatus::kLost ? "szStatusLost"
                                                : "szStatusOverwritten");
}

void PrintFound(const std::vector<PartitionRecord>& found, const VolumeList& tables, bool json, bool finished,
                uint64_t next) {
  if (json) {
    JsonWriter j;
    j.BeginObject();
    j.Key("volumes").BeginArray();
    for (size_t i = 0; i < found.size(); ++i) FoundJson(j, i, found[i], StatusOf(found[i], tables));
    j.EndArray();
    j.Field("finished", finished);
    j.Field("next_sector", next);
    j.EndObject();
    std::printf("%s\n", j.Text().c_str());
    return;
  }
  std::printf("%3s  %s %s  %s %s %s\n", "#", PadTextLeft(CliText("szColumnStart"), 14).c_str(),
              PadTextLeft(CliText("szColumnSize"), 10).c_str(), PadText(CliText("szColumnFileSystem"), 12).c_str(),
              PadText(CliText("szColumnLabel"), 16).c_str(), CliText("szColumnStatus").c_str());
  for (size_t i = 0; i < found.size(); ++i) {
    const PartitionRecord& r = found[i];
    uint64_t bytes = 0;
    if (!CheckedMul(r.sectors, r.bytesPerSector, bytes)) bytes = ~uint64_t{0};
    std::printf("%3zu  %14s %10s  %-12s %-16s %s\n", i, GroupThousands(r.startSector).c_str(), HumanSize(bytes).c_str(),
                ToUtf8(GetText(r.fsName)).c_str(), ToUtf8(GetText(r.label)).c_str(),
                StatusText(StatusOf(r, tables)).c_str());
  }
}

// Opens the disk and loads a state file for it; prints the error itself.
bool OpenWithState(DiskSource& source, const std::string& disk, const std::string& stateFile, SearchState& state) {
  std::string error;
  if (!source.OpenSource(disk, 0, error)) {
    PrintError(error);
    return false;
  }
  if (!LoadSearchState(stateFile, state, error)) {
    PrintError(error);
    return false;
  }
  if (state.diskSectors != source.diskSectors) {
    PrintError(CliText("szStateDiskSize",
                       {stateFile, std::to_string(state.diskSectors), disk, std::to_string(source.diskSectors)}));
    return false;
  }
  // The disk is matched by its size and its file name (the folder may have moved).
  const std::filesystem::path saved(state.sourceName), given = std::filesystem::absolute(disk);
  if (saved.filename() != given.filename()) {
    PrintError(CliText("szStateDiskName", {stateFile, ToUtf8(state.sourceName), disk}));
    return false;
  }
  if (saved != given)
    std::fprintf(stderr, "torvane: %s\n", CliText("szStateSavedFor", {stateFile, ToUtf8(state.sourceName)}).c_str());
  return true;
}

}  // namespace

bool IsFoundVolumeRow(const std::string& row) {
  const size_t colon = row.rfind(':');
  return colon != std::string::npos && colon > 0 && row.find_first_not_of("0123456789") < colon;
}

bool OpenFoundVolumeRow(Workspace& ws, const std::string& disk, const std::string& row, std::string& error) {
  const size_t colon = row.rfind(':');
  const std::string file = row.substr(0, colon), number = row.substr(colon + 1);
  size_t index = 0;
  auto [end, ec] = std::from_chars(number.data(), number.data() + number.size(), index);
  if (number.empty() || ec != std::errc() || end != number.data() + number.size()) {
    error = CliText("szBadFoundRow");
    return false;
  }
  SearchState state;
  if (!LoadSearchState(file, state, error)) return false;
  if (index >= state.found.size()) {
    error = CliText("szNoSuchFoundVolume", {number, file, file});
    return false;
  }
  PartitionRecord record = state.found[index];
  OpenVolumeRequest request;
  request.path = disk;
  request.startSector = record.startSector;
  request.volumeSectors = record.sectors;
  request.loadTables = true;
  request.record = &record;
  std::string openError;
  if (!OpenVolume(ws.source, ws.geometry, request, &openError)) {
    error = openError.empty() ? CliText("szFoundVolumeUnopened", {number}) : openError;
    return false;
  }
  if (ws.source.diskSectors != state.diskSectors) {
    error = CliText("szStateDiskSizeNot", {file, std::to_string(state.diskSectors), disk});
    return false;
  }
  return true;
}

int PrintFoundVolumes(const std::string& disk, const std::string& stateFile, bool json) {
  DiskSource source;
  SearchState state;
  if (!OpenWithState(source, disk, stateFile, state)) return 1;
  VolumeList tables;
  BuildVolumeList(source, tables, &RecognizeVolume);
  if (!json) std::printf("%s\n", CliText("szFoundVolumesHeading", {stateFile}).c_str());
  PrintFound(state.found, tables, json, state.nextSector >= state.diskSectors, state.nextSector);
  return 0;
}

int RunPartsearch(const Args& args) {
  ParsedArgs p;
  if (const int early = ParseCommandLine(
          args,
          {kUsage, {"--fast", "--json"}, {"--save", "--resume"}, 1, 1, CliText("szTakesOneDisk", {"partsearch"}), {}},
          p);
      early >= 0)
    return early;
  const std::string disk = p.positional[0];
  DiskSource source;
  SearchState state;
  if (!p.Option("--resume").empty()) {
    if (!OpenWithState(source, disk, p.Option("--resume"), state)) return 1;
    if (p.Has("--fast") && state.method != SearchMethod::kFast)
      std::fprintf(stderr, "torvane: %s\n", CliText("szSearchStaysDeep").c_str());
  } else {
    std::string error;
    if (!source.OpenSource(disk, 0, error)) {
      PrintError(error);
      return 1;
    }
    state.diskSectors = source.diskSectors;
    state.method = p.Has("--fast") ? SearchMethod::kFast : SearchMethod::kDeep;
    state.sourceName = std::filesystem::absolute(disk).u16string();
  }
  const std::string saveTo = p.Option("--save");
  const OutputGuard guard = SourceOutputGuard(source);
  if (!saveTo.empty() && guard.IsProtected(saveTo)) {
    PrintError(CliText("szIsDiskFile", {saveTo}));
    return 2;
  }

  PartitionSearch search(source, &RecognizeVolume, state);
  search.SetLog([](const std::string& line) { std::fprintf(stderr, "%s\n", line.c_str()); });
  ProgressBar bar(CliText("szProgressPartitionSearch"));
  stopSearch = false;
  struct sigaction action {};
  struct sigaction previousInt {};
  struct sigaction previousTerm {};
  action.sa_handler = OnSearchStop;
  action.sa_flags = SA_RESETHAND;
  sigemptyset(&action.sa_mask);
  sigaction(SIGINT, &action, &previousInt);
  sigaction(SIGTERM, &action, &previousTerm);
  search.Start();
  std::atomic<bool> done{false};
  std::thread waiter([&] {
    search.Wait();
    done = true;
  });
  while (!done) {
    if (stopSearch) search.Stop();
    bar.Update(search.Percent(), 100);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  waiter.join();
  sigaction(SIGINT, &previousInt, nullptr);
  sigaction(SIGTERM, &previousTerm, nullptr);
  bar.Finish();
  const SearchState result = search.Snapshot();
  const bool finished = result.nextSector >= result.diskSectors;

  int rc = finished ? 0 : 1;
  if (!finished)
    std::fprintf(stderr, "torvane: %s\n",
                 CliText("szPartitionSearchStopped", {std::to_string(result.nextSector)}).c_str());
  if (!saveTo.empty()) {
    std::string error;
    if (SaveSearchState(saveTo, result, guard, error)) {
      std::fprintf(stderr, "%s\n", CliText("szSearchStateSaved", {saveTo}).c_str());
    } else {
      PrintError(CliText("szSearchStateNotSaved", {error}));
      rc = 1;
    }
  }
  VolumeList tables;
  BuildVolumeList(source, tables, &RecognizeVolume);
  PrintFound(result.found, tables, p.Has("--json"), finished, result.nextSector);
  return rc;
}

}  // namespace torvane::cli
