// torvane recover DISK -v N -o DIR [PATH...]: copies found files and folders, existing and
// deleted, out of a volume into DIR, keeping their paths. The disk is only read.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <iterator>

#include "app/cli/args.h"
#include "app/cli/cli_language.h"
#include "app/cli/cli_ui_port.h"
#include "app/cli/commands.h"
#include "app/cli/progress_bar.h"
#include "app/cli/session_arg.h"
#include "app/cli/volume_arg.h"
#include "raw/carve/carve_scan.h"
#include "recovery/recovery_selection.h"
#include "recovery/recovery_writer.h"
#include "util/format.h"
#include "util/json_writer.h"
#include "util/output_guard.h"
#include "util/text.h"

namespace torvane::cli {
namespace {

constexpr const char* kUsage =
    "usage: torvane recover DISK -v N -o DIR [PATH...] [--all] [--deleted] [--system] [--join NAME]\n"
    "                       [--no-block-duplicates] [--report FILE] [--yes | --no] [--scan [--reverse]]\n\n"
    "Copies files and folders of volume N (see 'torvane volumes') into DIR, each at its path\n"
    "from the volume root (files whose folder is gone under \"Lost files\"). PATHs are files or\n"
    "folders as 'torvane ls' prints them; --all takes the whole volume. The disk is only read.\n"
    "  --deleted              only entries that are not existing files or folders\n"
    "  --system               with --all, the NTFS metadata files ($MFT, $Secure, $Extend...) too\n"
    "  --join NAME            write every file one after the other into DIR/NAME\n"
    "  --no-block-duplicates  give a numbered name (name[001].ext) instead of skipping a file\n"
    "                         whose name exists in DIR\n"
    "  --report FILE          one JSON object per item: path, output, size, state, result, sha256;\n"
    "                         FILE must not exist yet\n"
    "  --scan                 search the free space for lost records and files by content first\n"
    "                         (--reverse: the whole volume from its end), so their files can\n"
    "                         be recovered; files found by content are under \"RAW files\"\n"
    "  --raw-mode             read the volume without its file system (content only)\n"
    "  --session FILE         recover from a saved scan session instead of -v N, without\n"
    "                         scanning again (DISK names the disk the session belongs to)\n"
    "  --yes, --no            the answer to questions of the run (a full disk: skip the file\n"
    "                         and go on, or stop)\n"
    "Encrypted NTFS files are written as their raw export stream, NAME.efs, for import on a\n"
    "system that holds the key. Links already in DIR are never followed. Files whose parts\n"
    "could not be read are written with zeros there and reported as incomplete; the exit code\n"
    "is then 1, as it is when an item failed. Ctrl-C or SIGTERM stops the run without leaving\n"
    "a partial file.\n";

const char* ResultText(recovery::ItemResult r) {
  switch (r) {
    case recovery::ItemResult::kOk:
      return "ok";
    case recovery::ItemResult::kIncomplete:
      return "incomplete";
    case recovery::ItemResult::kSkipped:
      return "skipped";
    case recovery::ItemResult::kFailed:
      break;
  }
  return "failed";
}

// Ctrl-C (SIGINT) and SIGTERM set the run's cancel flag for as long as the guard lives, so
// that the file being written is removed and the report still names what was done.
std::atomic<bool>* cancelTarget = nullptr;
extern "C" void OnCancelSignal(int) {
  if (cancelTarget != nullptr) *cancelTarget = true;
}

class CancelOnSignals {
 public:
  explicit CancelOnSignals(std::atomic<bool>& flag) {
    cancelTarget = &flag;
    struct sigaction action {};
    action.sa_handler = OnCancelSignal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, &previousInt_);
    sigaction(SIGTERM, &action, &previousTerm_);
  }
  ~CancelOnSignals() {
    sigaction(SIGINT, &previousInt_, nullptr);
    sigaction(SIGTERM, &previousTerm_, nullptr);
    cancelTarget = nullptr;
  }
  CancelOnSignals(const CancelOnSignals&) = delete;
  CancelOnSignals& operator=(const CancelOnSignals&) = delete;

 private:
  struct sigaction previousInt_ {
  }, previousTerm_{};
};

bool WriteLine(int fd, const std::string& text) {
  const std::string line = text + "\n";
  for (size_t done = 0; done < line.size();) {
    const ssize_t n = ::write(fd, line.data() + done, line.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

}  // namespace

int RunRecover(const Args& args) {
  CommandLine command;
  command.usage = kUsage;
  command.flags = {"--all",  "--deleted", "--system",  "--no-block-duplicates", "--yes", "--no",
                   "--scan", "--reverse", "--raw-mode"};
  command.options = {"-v", "-o", "--join", "--report", "--session"};
  command.maxPositional = SIZE_MAX;
  command.positionalError = CliText("szNeedsDisk", {"recover"});
  command.required = {{HasOption(args, "--session") ? "--session" : "-v", CliText("szNeedsVolume", {"recover"})},
                      {"-o", CliText("szNeedsOutputFolder", {"recover"})}};
  ParsedArgs p;
  if (const int code = ParseCommandLine(args, command, p); code >= 0) return code;
  // The paths as ls prints them (names escaped), each split into its names.
  recovery::SelectionRequest request;
  std::string usage;
  if (p.positional.size() == 1 && !p.Has("--all"))
    usage = CliText("szNameFilesOrAll");
  else if (p.Has("--yes") && p.Has("--no"))
    usage = CliText("szExcludeEachOther", {"--yes", "--no"});
  for (size_t k = 1; k < p.positional.size() && usage.empty(); ++k) {
    std::vector<std::string> names;
    if (!ParsePathArgument(p.positional[k], names, usage)) break;
    request.paths.push_back(std::move(names));
  }
  if (!usage.empty()) {
    PrintError(usage);
    std::fputs(kUsage, stderr);
    return 2;
  }
  Workspace ws;
  std::string error;
  CliUiPort ui(p.Has("--yes") ? std::optional<bool>(true) : p.Has("--no") ? std::optional<bool>(false) : std::nullopt);
  ws.store.SetUiPort(&ui);
  WalkSummary walk;
  if (!OpenVolumeOrSession(ws, p, walk)) return 1;

  // A stopped or interrupted scan still lets what it found be recovered; the run then ends
  // with 1.
  VolumeScanResult scan;
  if (p.Has("--scan")) scan = ScanVolume(ws, p.Has("--reverse"));
  const bool scanFinished = ReportScanOutcome(scan);

  // The items: every entry at or below a named path (or all), folders included so that
  // empty ones are made too.
  request.all = p.Has("--all");
  request.deletedOnly = p.Has("--deleted");
  request.includeSystem = p.Has("--system");
  recovery::Selection selection = recovery::SelectItems(ws.store.deletedEntries, *ws.fileSystem->MakeTree(), request);
  // The RAW items, under "RAW files": a path is unmatched when neither list has it.
  const recovery::Selection raw =
      recovery::SelectItems(ws.store.rawFiles, carve::RawItemTree(ws.store.rawFiles), request);
  for (const auto& selected : raw.items) selection.items.push_back(selected);
  std::vector<size_t> unmatched;
  std::set_intersection(selection.unmatched.begin(), selection.unmatched.end(), raw.unmatched.begin(),
                        raw.unmatched.end(), std::back_inserter(unmatched));
  for (auto& selected : selection.items) {
    if (selected.item.entry.kind != kKindRaw) continue;
    const FileTypeEntry* type = FileTypeByNumber(selected.item.entry.link);
    selected.item.rawNumber = static_cast<uint32_t>(selected.item.entry.recordNumber);
    if (type != nullptr) selected.item.rawExtension = std::string(type->extension);
  }
  if (!unmatched.empty()) {
    PrintError(CliText("szNoSuchItem", {p.positional[unmatched.front() + 1], p.Option("-v")}));
    return 1;
  }

  recovery::ReaderContext reader = ws.Reader();
  recovery::RecoveryOptions options;
  options.outputFolder = p.Option("-o");
  options.blockDuplicates = !p.Has("--no-block-duplicates");
  options.joinMode = !p.Option("--join").empty();
  options.joinName = FromUtf8(p.Option("--join"));
  const std::filesystem::path reportPath = p.Option("--report");
  options.computeDigest = !reportPath.empty();
  recovery::RecoveryRun run(reader, options, &ui);
  reader.cancel = &run.abortAll;

  // The report is written under a temporary name beside its place and named at the end; it
  // never replaces a file, and never one of the disk's.
  PendingFile report;
  if (!reportPath.empty()) {
    struct stat st {};
    if (run.Guard().IsProtected(reportPath)) {
      PrintError(CliText("szReportIsDiskFile", {reportPath.string()}));
      return 1;
    }
    if (::lstat(reportPath.c_str(), &st) == 0) {
      PrintError(CliText("szReportExists", {reportPath.string()}));
      return 1;
    }
    if (!report.CreateFor(reportPath, error)) {
      PrintError(CliText("szCannotWriteReport", {reportPath.string(), error}));
      return 1;
    }
  }
  if (!run.PrepareOutput(error)) {
    PrintError(error + " (" + options.outputFolder.string() + ")");
    return 1;
  }

  CancelOnSignals signals(run.abortAll);
  run.Begin();
  for (const auto& selected : selection.items) run.Count(selected.item);
  ProgressBar bar(CliText("szProgressRecovering"));
  run.progress = [&](const std::filesystem::path&, uint64_t, uint64_t) {
    bar.Update(run.bytesWritten, static_cast<uint64_t>(run.bytesTotal));
  };
  uint32_t encrypted = 0;
  bool reportFailed = false;
  for (const auto& [item, path] : selection.items) {
    const recovery::ItemReport r = run.Recover(item);
    encrypted +=
        r.encrypted && (r.result == recovery::ItemResult::kOk || r.result == recovery::ItemResult::kIncomplete);
    if (r.result == recovery::ItemResult::kFailed || r.result == recovery::ItemResult::kIncomplete) {
      bar.Finish();
      PrintError(r.result == recovery::ItemResult::kIncomplete ? CliText("szItemIncomplete", {path, r.reason})
                                                               : CliText("szItemFailed", {path, r.reason}));
    }
    if (report.Active() && !reportFailed) {
      JsonWriter j;
      j.BeginObject();
      j.Field("path", path);
      j.Field("output", r.output.string());
      j.Field("size", uint64_t{item.entry.size});
      j.Field("state", static_cast<uint32_t>(item.entry.state));
      j.Field("result", std::string(ResultText(r.result)));
      j.Field("sha256", r.sha256);
      if (r.incomplete) {
        j.Field("unreadable_sectors", r.unreadableSectors);
        // [offset, length] pairs in the written file (the encrypted data for .efs streams).
        j.Key("unreadable_ranges").BeginArray();
        for (const auto& range : r.unreadableRanges)
          j.BeginArray().Number(range.offset).Number(range.length).EndArray();
        j.EndArray();
        j.Field("clipped_bytes", r.clippedBytes);
      }
      if (!r.reason.empty()) j.Field("reason", r.reason);
      j.EndObject();
      if (!WriteLine(report.Fd(), j.Text())) {
        reportFailed = true;
        error = std::strerror(errno);
      }
    }
    if (run.abortAll) break;
  }
  std::string joinError;
  const bool joined = run.Finish(&joinError);
  bar.Finish();
  if (!joined) PrintError(CliText("szJoinNotFinished", {joinError}));
  if (report.Active() && !reportFailed) {
    const std::string name = report.TargetName();
    switch (report.Commit(name, error)) {
      case PendingFile::CommitResult::kDone:
        break;
      case PendingFile::CommitResult::kExists:
        error = CliText("szReportAppeared", {reportPath.string()});
        [[fallthrough]];
      case PendingFile::CommitResult::kFailed:
        reportFailed = true;
        break;
    }
  }
  if (reportFailed) PrintError(CliText("szCannotWriteReport", {reportPath.string(), error}));
  const auto n = [](uint32_t v) { return std::to_string(v); };
  std::fprintf(
      stderr, "%s\n%s\n",
      CliText("szRecoverSummary", {n(run.ok + run.incomplete), HumanSize(run.bytesWritten),
                                   options.outputFolder.string(), n(run.incomplete), n(run.skipped), n(run.failed)})
          .c_str(),
      CliText("szRecoverStatistics",
              {n(run.statistics[recovery::kFoldersTotal]), n(run.statistics[recovery::kFoldersDeleted]),
               n(run.statistics[recovery::kFoldersDetected]), n(run.statistics[recovery::kFoldersOverwritten]),
               n(run.statistics[recovery::kFilesTotal]), n(run.statistics[recovery::kFilesDeleted]),
               n(run.statistics[recovery::kFilesDetected]), n(run.statistics[recovery::kFilesOverwritten])})
          .c_str());
  if (encrypted != 0) std::fprintf(stderr, "%s\n", CliText("szEncryptedWritten", {n(encrypted)}).c_str());
  if (run.incomplete != 0) std::fprintf(stderr, "%s\n", CliText("szIncompleteFiles", {n(run.incomplete)}).c_str());
  if (run.abortAll) std::fprintf(stderr, "%s\n", CliText("szRunStopped").c_str());
  if (!ui.Unanswered().empty()) {
    PrintError(CliText("szUnansweredQuestion", {ui.Unanswered()}));
    return 1;
  }
  return run.failed != 0 || run.incomplete != 0 || run.abortAll || !joined || reportFailed || !scanFinished ? 1 : 0;
}

}  // namespace torvane::cli
