// torvane recover DISK -v N -o DIR [PATH...]: copies found files and folders, existing and
// deleted, out of a volume into DIR, keeping their paths. The disk is only read.
#include <cstdio>
#include <fstream>

#include "app/cli/args.h"
#include "app/cli/cli_ui_port.h"
#include "app/cli/commands.h"
#include "app/cli/progress_bar.h"
#include "app/cli/volume_arg.h"
#include "fs/ntfs/mft_walk.h"
#include "fs/ntfs/ntfs_tree.h"
#include "recovery/recovery_writer.h"
#include "util/format.h"
#include "util/json_writer.h"
#include "util/text.h"

namespace torvane::cli {
namespace {

constexpr const char* kUsage =
    "usage: torvane recover DISK -v N -o DIR [PATH...] [--all] [--deleted] [--join NAME]\n"
    "                       [--no-block-duplicates] [--report FILE] [--yes | --no] [--scan [--reverse]]\n\n"
    "Copies files and folders of volume N (see 'torvane volumes') into DIR, each at its path\n"
    "from the volume root (files whose folder is gone under \"Lost files\"). PATHs are files or\n"
    "folders as 'torvane ls' prints them; --all takes the whole volume. The disk is only read.\n"
    "  --deleted              only entries that are not existing files or folders\n"
    "  --join NAME            write every file one after the other into DIR/NAME\n"
    "  --no-block-duplicates  give a numbered name (name[001].ext) instead of skipping a file\n"
    "                         whose name exists in DIR\n"
    "  --report FILE          one JSON object per item: path, output, size, state, result, sha256\n"
    "  --scan                 search the free space for lost records first (--reverse: the\n"
    "                         whole volume from its end), so their files can be recovered\n"
    "  --yes, --no            the answer to questions of the run (a full disk: skip the file\n"
    "                         and go on, or stop)\n"
    "Encrypted NTFS files are written as their raw export stream, NAME.efs, for import on a\n"
    "system that holds the key.\n";

const char* ResultText(recovery::ItemResult r) {
  return r == recovery::ItemResult::kOk ? "ok" : r == recovery::ItemResult::kSkipped ? "skipped" : "failed";
}

}  // namespace

int RunRecover(const Args& args) {
  ParsedArgs p = ParseArgs(args, {"--all", "--deleted", "--no-block-duplicates", "--yes", "--no", "--scan", "--reverse"},
                           {"-v", "-o", "--join", "--report"});
  if (p.help) {
    std::fputs(kUsage, stdout);
    return 0;
  }
  std::string usage;
  if (!p.error.empty()) usage = p.error;
  else if (p.positional.empty()) usage = "recover needs a disk";
  else if (p.Option("-v").empty()) usage = "recover needs a volume (-v N)";
  else if (p.Option("-o").empty()) usage = "recover needs an output folder (-o DIR)";
  else if (p.positional.size() == 1 && !p.Has("--all")) usage = "name the files or folders to recover, or give --all";
  else if (p.Has("--yes") && p.Has("--no")) usage = "--yes and --no exclude each other";
  if (!usage.empty()) {
    PrintError(usage);
    std::fputs(kUsage, stderr);
    return 2;
  }
  Workspace ws;
  std::string error;
  CliUiPort ui(p.Has("--yes") ? std::optional<bool>(true) : p.Has("--no") ? std::optional<bool>(false) : std::nullopt);
  ws.store.SetUiPort(&ui);
  std::unique_ptr<ntfs::NtfsVolume> volume;
  ntfs::MftWalkResult walk;
  if (!OpenAndWalkNtfs(ws, p.positional[0], p.Option("-v"), volume, walk, error)) {
    PrintError(error);
    return 1;
  }
  if (p.Has("--scan")) ScanVolume(ws, *volume, p.Has("--reverse"));

  // The items: every entry at or below a named path (or all), folders included so that
  // empty ones are made too.
  const DynList& list = ws.store.deletedEntries;
  const ntfs::NtfsTree tree(list);
  std::vector<std::string> wanted(p.positional.begin() + 1, p.positional.end());
  for (auto& w : wanted)
    while (!w.empty() && w.back() == '/') w.pop_back();
  std::vector<bool> matched(wanted.size(), false);
  std::vector<std::pair<recovery::RecoveryItem, std::string>> items;
  for (uint64_t i = 0; i < EntryCount(list); ++i) {
    const FileEntry e = EntryAt(list, i);
    const auto components = tree.PathComponents(i);
    const std::string path = SlashPath(components);
    bool take = p.Has("--all");
    for (size_t k = 0; k < wanted.size(); ++k) {
      if (path == wanted[k] || path.rfind(wanted[k] + "/", 0) == 0) {
        take = true;
        matched[k] = true;
      }
    }
    if (!take || (p.Has("--deleted") && e.state == kStateExisting)) continue;
    recovery::RecoveryItem item;
    item.entry = e;
    item.name = std::u16string(components.back());
    for (size_t k = 0; k + 1 < components.size(); ++k) item.folders.emplace_back(components[k]);
    items.emplace_back(std::move(item), path);
  }
  for (size_t k = 0; k < wanted.size(); ++k) {
    if (!matched[k]) {
      PrintError("there is no file or folder " + wanted[k] + " on volume " + p.Option("-v"));
      return 1;
    }
  }

  recovery::ReaderContext reader{ws.source, ws.geometry, volume.get()};
  recovery::RecoveryOptions options;
  options.outputFolder = p.Option("-o");
  options.blockDuplicates = !p.Has("--no-block-duplicates");
  options.joinMode = !p.Option("--join").empty();
  options.joinName = FromLatin1(p.Option("--join"));
  options.computeDigest = !p.Option("--report").empty();
  recovery::RecoveryRun run(reader, options, &ui);
  reader.cancel = &run.abortAll;
  if (!run.PrepareOutput(error)) {
    PrintError(error + " (" + options.outputFolder.string() + ")");
    return 1;
  }
  run.Begin();
  for (const auto& [item, path] : items) run.Count(item);
  std::ofstream report;
  if (!p.Option("--report").empty()) {
    report.open(p.Option("--report"), std::ios::trunc);
    if (!report) {
      PrintError("cannot write the report " + p.Option("--report"));
      return 1;
    }
  }
  ProgressBar bar("Recovering");
  run.progress = [&](const std::filesystem::path&, uint64_t, uint64_t) {
    bar.Update(run.bytesWritten, static_cast<uint64_t>(run.bytesTotal));
  };
  uint32_t encrypted = 0, incomplete = 0;
  for (const auto& [item, path] : items) {
    const recovery::ItemReport r = run.Recover(item);
    encrypted += r.encrypted && r.result == recovery::ItemResult::kOk;
    incomplete += r.incomplete;
    if (r.result == recovery::ItemResult::kFailed) {
      bar.Finish();
      PrintError(path + ": " + r.reason);
    }
    if (report.is_open()) {
      JsonWriter j;
      j.BeginObject();
      j.Field("path", path);
      j.Field("output", r.output.string());
      j.Field("size", uint64_t{item.entry.size});
      j.Field("state", static_cast<uint32_t>(item.entry.state));
      j.Field("result", std::string(ResultText(r.result)));
      j.Field("sha256", r.sha256);
      if (!r.reason.empty()) j.Field("reason", r.reason);
      j.EndObject();
      report << j.Text() << "\n";
    }
    if (run.abortAll) break;
  }
  run.Finish();
  bar.Finish();
  std::fprintf(stderr,
               "Recovered %u items (%s) into %s; %u skipped, %u failed.\n"
               "Folders total %u, deleted %u, detected %u, overwritten %u; "
               "files total %u, deleted %u, detected %u, overwritten %u.\n",
               run.ok, HumanSize(run.bytesWritten).c_str(), options.outputFolder.c_str(), run.skipped, run.failed,
               run.statistics[recovery::kFoldersTotal], run.statistics[recovery::kFoldersDeleted],
               run.statistics[recovery::kFoldersDetected], run.statistics[recovery::kFoldersOverwritten],
               run.statistics[recovery::kFilesTotal], run.statistics[recovery::kFilesDeleted],
               run.statistics[recovery::kFilesDetected], run.statistics[recovery::kFilesOverwritten]);
  if (encrypted != 0)
    std::fprintf(stderr, "%u encrypted files were written as .efs export streams.\n", encrypted);
  if (incomplete != 0)
    std::fprintf(stderr, "%u files had sectors that could not be read; they hold zeros there.\n", incomplete);
  if (!ui.Unanswered().empty()) {
    PrintError("the run stopped at a question that needs an answer (give --yes or --no): " + ui.Unanswered());
    return 1;
  }
  return run.failed != 0 || run.abortAll ? 1 : 0;
}

}  // namespace torvane::cli
