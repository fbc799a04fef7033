// torvane carve DISK [-v N] -o DIR: finds files by their content (the whole disk when no
// volume is named, or a volume's free space) and writes every one into DIR, named by its
// number and type. The disk is only read.
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <map>
#include <mutex>

#include "app/cli/args.h"
#include "app/cli/cli_language.h"
#include "app/cli/cli_ui_port.h"
#include "app/cli/commands.h"
#include "app/cli/volume_arg.h"
#include "raw/carve/carve_scan.h"
#include "recovery/recovery_writer.h"
#include "util/format.h"
#include "util/json_writer.h"
#include "util/text.h"

namespace torvane::cli {
namespace {

constexpr const char* kUsage =
    "usage: torvane carve DISK [-v N] -o DIR [--reverse] [--raw-mode] [--types TAG,...] [--report FILE] [--json]\n\n"
    "Searches the disk (or with -v N the free space of volume N) for files by their content\n"
    "and writes each into DIR as NNNNNNNNN.ext (number and type), with a summary by type.\n"
    "  --reverse    search from the end of the disk to its start (numbers count down)\n"
    "  --raw-mode   with -v N: every sector of the volume, not only its free space\n"
    "  --types      only these types, by tag or extension (jpg,png,TXTa,...)\n"
    "  --report     one JSON object per file: path, output, size, type, estimated, result;\n"
    "               FILE must not exist yet\n"
    "  --json       the files as JSON lines on stdout instead of the summary\n"
    "Sizes a probe could not measure are estimated (\"estimated\": true in the report).\n"
    "Ctrl-C or SIGTERM stops the search; what was found is still written, and the exit\n"
    "code is then 1.\n";

std::string ToLowerAscii(std::string s) {
  for (char& c : s)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return s;
}

// The index of the whole-disk row of a disk's drive list.
bool WholeDiskRow(Workspace& ws, const std::string& disk, std::string& row, std::string& error) {
  ws.driveList.SetImage(disk);
  ws.driveList.EnumerationThread(ws.source, ws.geometry, 0);
  if (!ws.driveList.openError.empty()) {
    error = ws.driveList.openError;
    return false;
  }
  for (size_t i = 0; i < ws.driveList.rows.size(); ++i) {
    if (ws.driveList.rows[i].wholeDisk) {
      row = std::to_string(i);
      return true;
    }
  }
  error = CliText("szNoWholeDiskRow");
  return false;
}

bool ParseTypes(const std::string& list, std::vector<bool>& only, std::string& error) {
  only.assign(kFileTypeCount, false);
  size_t start = 0;
  while (start <= list.size()) {
    const size_t comma = std::min(list.find(',', start), list.size());
    const std::string key = list.substr(start, comma - start);
    start = comma + 1;
    if (key.empty()) continue;
    // Every entry of that tag or extension (MP3 has three, TIFF several; "txt" names both
    // plain-text kinds, ".A.txt" and ".U.txt").
    const std::string lower = ToLowerAscii(key[0] == '.' ? key.substr(1) : key);
    bool any = false;
    for (const auto& e : FileTypeCatalogue()) {
      if (e.IsSentinel()) continue;
      const std::string ext = ToLowerAscii(std::string(e.extension));
      if (ToLowerAscii(std::string(e.tag)) == lower || ext == "." + lower || ext.ends_with("." + lower)) {
        only[e.number] = true;
        any = true;
      }
    }
    if (!any) {
      error = CliText("szUnknownType", {key});
      return false;
    }
  }
  return true;
}

}  // namespace

int RunCarve(const Args& args) {
  CommandLine command;
  command.usage = kUsage;
  command.flags = {"--reverse", "--raw-mode", "--json"};
  command.options = {"-v", "-o", "--types", "--report"};
  command.maxPositional = 1;
  command.positionalError = CliText("szTakesOneDisk", {"carve"});
  command.required = {{"-o", CliText("szNeedsOutputFolder", {"carve"})}};
  ParsedArgs p;
  if (const int code = ParseCommandLine(args, command, p); code >= 0) return code;
  carve::CarveScanOptions options;
  std::string error;
  if (!p.Option("--types").empty() && !ParseTypes(p.Option("--types"), options.onlyEntries, error)) {
    PrintError(error);
    return 2;
  }
  Workspace ws;
  CliUiPort ui(std::optional<bool>(true));
  ws.store.SetUiPort(&ui);
  const std::string disk = p.positional.at(0);
  std::string row = p.Option("-v");
  const bool wholeDisk = row.empty();
  if (wholeDisk && !WholeDiskRow(ws, disk, row, error)) {
    PrintError(error);
    return 1;
  }
  WalkSummary walk;
  if (!OpenAndWalk(ws, disk, row, walk, error, wholeDisk || p.Has("--raw-mode"))) {
    PrintError(error);
    return 1;
  }

  // Progress: MB searched and files found by type, on one line of a terminal.
  const bool tty = isatty(STDERR_FILENO);
  std::mutex lock;
  std::map<std::string, uint64_t> byType;
  uint64_t found = 0;
  uint32_t percent = 0;
  uint64_t scannedBytes = 0;
  const auto draw = [&] {
    if (!tty) return;
    std::string types;
    for (const auto& [ext, n] : byType) types += " " + ext + " " + std::to_string(n);
    if (types.size() > 60) types = types.substr(0, 57) + "...";
    std::fprintf(
        stderr, "\r\033[K%s%s",
        CliText("szCarveProgress", {PadTextLeft(std::to_string(percent), 3),
                                    GroupThousands(scannedBytes / 100 * percent / (1 << 20)), std::to_string(found)})
            .c_str(),
        types.c_str());
  };
  options.scan.reverse = p.Has("--reverse");
  options.scan.stop = StopFlag();
  options.scan.progress = [&](uint32_t pct) {
    std::lock_guard g(lock);
    percent = pct;
    draw();
  };
  options.onStored = [&](const carve::RawItem& item) {
    std::lock_guard g(lock);
    ++found;
    const FileTypeEntry* e = FileTypeByNumber(item.entry);
    if (e != nullptr) ++byType[std::string(e->extension.substr(e->extension.rfind('.') + 1))];
  };
  uint64_t lastSector = ws.geometry.volumeLastSector;
  if (ws.source.diskSectors != kNoBound && ws.source.volumeStart < ws.source.diskSectors)
    lastSector = std::min(lastSector, ws.source.diskSectors - ws.source.volumeStart - 1);
  scannedBytes = lastSector == kNoBound ? 0 : (lastSector + 1) * 512;
  carve::CarveScanResult result;
  {
    StopSignalScope signals;
    result = carve::ScanWithCarving(ws.source, ws.geometry, ws.store, *ws.fileSystem, options);
  }
  if (tty) std::fputs("\r\033[K", stderr);
  const bool scanFinished = ReportScanOutcome(result.scan);

  // Write every RAW item that is not a file the volume lists.
  recovery::ReaderContext reader = ws.Reader();
  recovery::RecoveryOptions recoveryOptions;
  recoveryOptions.outputFolder = p.Option("-o");
  recovery::RecoveryRun run(reader, recoveryOptions, &ui);
  reader.cancel = &run.abortAll;
  if (!run.PrepareOutput(error)) {
    PrintError(error + " (" + recoveryOptions.outputFolder.string() + ")");
    return 1;
  }
  FILE* report = nullptr;
  const std::string reportPath = p.Option("--report");
  if (!reportPath.empty()) {
    if (run.Guard().IsProtected(reportPath)) {
      PrintError(CliText("szReportIsDiskFile", {reportPath}));
      return 1;
    }
    report = std::fopen(reportPath.c_str(), "wx");
    if (report == nullptr) {
      PrintError(CliText("szCannotCreateReport", {reportPath}));
      return 1;
    }
  }
  const carve::RawItemTree tree(ws.store.rawFiles);
  std::vector<recovery::RecoveryItem> items;
  for (uint64_t i = 0; i < EntryCount(ws.store.rawFiles); ++i) {
    const auto parts = tree.PathComponents(i);
    if (parts.empty()) continue;
    recovery::RecoveryItem item;
    item.entry = EntryAt(ws.store.rawFiles, i);
    item.name = std::u16string(parts.back());
    item.rawNumber = static_cast<uint32_t>(item.entry.recordNumber);
    items.push_back(std::move(item));
  }
  run.Begin();
  for (const auto& item : items) run.Count(item);
  std::map<std::string, std::pair<uint64_t, uint64_t>> summary;  // type: files, bytes
  for (const auto& item : items) {
    const recovery::ItemReport r = run.Recover(item);
    const FileTypeEntry* e = FileTypeByNumber(item.entry.link);
    const std::string tag = e != nullptr ? std::string(e->tag) : "?";
    const bool estimated = (item.entry.dataKind & carve::kRawSizeEstimated) != 0;
    auto& s = summary[tag];
    ++s.first;
    s.second += item.entry.size;
    JsonWriter j;
    j.BeginObject();
    j.Field("path", ToUtf8(item.name));
    j.Field("output", r.output.string());
    j.Field("size", uint64_t{item.entry.size});
    j.Field("sector", uint64_t{item.entry.dataStart});
    j.Field("type", tag);
    j.Field("estimated", estimated);
    j.Field("result", std::string(r.result == recovery::ItemResult::kOk           ? "ok"
                                  : r.result == recovery::ItemResult::kIncomplete ? "incomplete"
                                  : r.result == recovery::ItemResult::kSkipped    ? "skipped"
                                                                                  : "failed"));
    if (!r.reason.empty()) j.Field("reason", r.reason);
    j.EndObject();
    if (p.Has("--json")) std::printf("%s\n", j.Text().c_str());
    if (report != nullptr) std::fprintf(report, "%s\n", j.Text().c_str());
    if (run.abortAll) break;
  }
  run.Finish(nullptr);
  const bool reportOk = report == nullptr || std::fclose(report) == 0;
  if (!reportOk) PrintError(CliText("szCannotWriteReport", {reportPath, std::strerror(errno)}));
  std::fflush(stdout);
  if (!p.Has("--json")) {
    std::printf("%s %s %s\n", PadText(CliText("szColumnType"), 10).c_str(),
                PadTextLeft(CliText("szColumnFiles"), 8).c_str(), PadTextLeft(CliText("szColumnBytes"), 14).c_str());
    for (const auto& [tag, s] : summary)
      std::printf("%-10s %8llu %14s\n", tag.c_str(), static_cast<unsigned long long>(s.first),
                  GroupThousands(s.second).c_str());
  }
  std::fprintf(stderr, "%s\n",
               CliText("szCarveSummary", {std::to_string(items.size()), HumanSize(run.bytesWritten),
                                          recoveryOptions.outputFolder.string(), std::to_string(run.incomplete),
                                          std::to_string(run.skipped), std::to_string(run.failed)})
                   .c_str());
  return scanFinished && reportOk && run.failed == 0 && !run.abortAll ? 0 : 1;
}

}  // namespace torvane::cli
