// torvane scan DISK -v N [--reverse] [--json]: the walk of the volume's file system, then the
// search of the free space (or, with --reverse, the whole volume from its end) for what the
// file system no longer lists.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <utility>

#include "app/cli/args.h"
#include "app/cli/cli_language.h"
#include "app/cli/commands.h"
#include "app/cli/session_arg.h"
#include "app/cli/volume_arg.h"
#include "raw/carve/carve_scan.h"
#include "util/format.h"
#include "util/text.h"

namespace torvane::cli {
namespace {

constexpr const char* kUsage =
    "usage: torvane scan DISK -v N [--reverse] [--no-raw] [--raw-mode] [--json] [--save FILE [--save-every MINUTES]]\n"
    "       torvane scan --resume FILE [--disk DISK] [--json] [--save FILE] [--save-every MINUTES]\n\n"
    "Reads the file system of volume N (the MFT, or the folders of a FAT volume), then\n"
    "searches its free space for records and folders that the file system no longer lists\n"
    "(a reformatted or damaged volume), and prints what the search found beyond them:\n"
    "counts, or with --json the entries as 'torvane ls --json' prints them.\n"
    "  --reverse  search the whole volume from its end to its start (badly damaged volumes)\n"
    "  --no-raw   no header detect (files found by their content, listed under \"RAW files\")\n"
    "  --raw-mode read the volume without its file system: every sector, by content only\n"
    "Ctrl-C (or SIGTERM) stops the search; what was found is still printed, and the command\n"
    "exits with 1, as it does when the disk cannot be read to the end.\n"
    "  --save FILE           save the scan as a session when it ends or is stopped (Ctrl-C)\n"
    "  --save-every MINUTES  also save it every MINUTES minutes while it runs\n"
    "  --resume FILE         continue the scan a session holds (and save back to FILE unless\n"
    "                        --save names another); --disk names the disk when it has moved\n";

}  // namespace

int RunScan(const Args& args) {
  ParsedArgs p;
  const bool resuming = HasOption(args, "--resume");
  const int early = ParseCommandLine(args,
                                     {kUsage,
                                      {"--reverse", "--json", "--no-raw", "--raw-mode"},
                                      {"-v", "--save", "--save-every", "--resume", "--disk"},
                                      resuming ? 0u : 1u,
                                      resuming ? 0u : 1u,
                                      resuming ? CliText("szResumeTakesNoDisk") : CliText("szTakesOneDisk", {"scan"}),
                                      {{resuming ? "--resume" : "-v", CliText("szNeedsVolume", {"scan"})}}},
                                     p);
  if (early >= 0) return early;
  const std::string savePath = !p.Option("--save").empty() ? p.Option("--save") : p.Option("--resume");
  double saveEvery = 0;
  if (!p.Option("--save-every").empty()) {
    char* end = nullptr;
    saveEvery = std::strtod(p.Option("--save-every").c_str(), &end);
    if (savePath.empty() || *end != '\0' || !(saveEvery > 0)) {
      PrintError(CliText(savePath.empty() ? "szSaveEveryNeedsSave" : "szSaveEveryMinutes"));
      return 2;
    }
  }
  Workspace ws;
  WalkSummary walk;
  session::SessionState resumed;
  if (resuming) {
    std::string error;
    if (!OpenSession(ws, p.Option("--resume"), p.Option("--disk"), resumed, error)) {
      PrintError(error);
      return 1;
    }
    walk.foundWhere = CliText("szInTheSession");
    if (session::ScanFinished(resumed)) {
      std::fprintf(stderr, "%s\n",
                   CliText("szSessionScanFinished", {GroupThousands(EntryCount(ws.store.deletedEntries))}).c_str());
      return 0;
    }
  } else if (!OpenAndWalk(ws, p, walk)) {
    return 1;
  }
  VolumeScanOptions options;
  options.reverse = !resuming && p.Has("--reverse");  // a resumed scan keeps its own mode
  if (resuming) options.prepare = [&](ScanDriver& d) { session::ResumeScan(d, ws.store, resumed); };
  auto lastSave = std::chrono::steady_clock::now();
  if (saveEvery > 0) {
    options.tick = [&](ScanDriver& d) {
      if (std::chrono::steady_clock::now() - lastSave < std::chrono::duration<double>(saveEvery * 60)) return;
      std::string error;
      if (!session::SaveScanSession(savePath, ws.store, &d, DescribeOpenVolume(ws), error))
        PrintError(CliText("szSessionNotSaved", {error}));
      lastSave = std::chrono::steady_clock::now();
    };
  }
  const uint64_t walked = EntryCount(ws.store.deletedEntries);
  const VolumeScanResult scan = ScanVolume(ws, std::move(options), !p.Has("--no-raw"));
  const bool saved = savePath.empty() || SaveEndedScan(ws, savePath, scan);
  const carve::RawItemTree rawTree(ws.store.rawFiles);
  uint64_t rawItems = 0;
  const DynList& list = ws.store.deletedEntries;
  if (p.Has("--json")) {
    const std::unique_ptr<ItemTree> tree = ws.fileSystem->MakeTree();
    for (uint64_t i = walked; i < EntryCount(list); ++i) {
      const auto parts = tree->PathComponents(i);
      if (parts.empty()) continue;
      std::printf("%s\n", EntryJson(SlashPath(parts), ToUtf8(parts.back()), EntryAt(list, i)).c_str());
    }
  }
  for (uint64_t i = 0; i < EntryCount(ws.store.rawFiles); ++i) {
    const auto parts = rawTree.PathComponents(i);
    if (parts.empty()) continue;
    ++rawItems;
    if (p.Has("--json"))
      std::printf("%s\n", EntryJson(SlashPath(parts), ToUtf8(parts.back()), EntryAt(ws.store.rawFiles, i)).c_str());
  }
  std::fflush(stdout);
  // The engine names where the walk found its entries ("in the MFT"); the rest is ours.
  const char* key = scan.outcome == ScanOutcome::kStopped       ? "szScanSummaryStopped"
                    : scan.outcome == ScanOutcome::kInterrupted ? "szScanSummaryInterrupted"
                                                                : "szScanSummary";
  std::fprintf(stderr, "%s\n",
               CliText(key, {GroupThousands(walked), walk.foundWhere,
                             CliText(p.Has("--reverse") ? "szSearchOfWholeVolume" : "szSearchOfFreeSpace"),
                             GroupThousands(scan.added), GroupThousands(rawItems)})
                   .c_str());
  return ReportScanOutcome(scan) && saved ? 0 : 1;
}

}  // namespace torvane::cli
