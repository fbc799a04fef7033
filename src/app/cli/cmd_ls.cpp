// torvane ls DISK -v N [PATH] [-r] [--deleted] [--state LIST] [--type T | --name MASKS]
// [--sort COLUMN[:desc]] [--json]: the files and folders of a volume, existing and deleted,
// as the explorer's results model lists them.
#include <unistd.h>

#include <algorithm>
#include <cstdio>

#include "app/cli/args.h"
#include "app/cli/cli_language.h"
#include "app/cli/commands.h"
#include "app/cli/progress_bar.h"
#include "app/cli/session_arg.h"
#include "app/cli/volume_arg.h"
#include "explorer/results_model.h"
#include "util/file_time.h"
#include "util/format.h"
#include "util/json_writer.h"
#include "util/text.h"

namespace torvane::cli {
namespace {

using namespace explorer;

constexpr const char* kUsage =
    "usage: torvane ls DISK -v N [PATH] [-r] [--deleted] [--state LIST] [--type TYPE | --name MASKS]\n"
    "                 [--sort COLUMN[:desc]] [--json] [--scan [--reverse]]\n\n"
    "Lists the files and folders of volume N (see 'torvane volumes') found in its file-system\n"
    "structures, existing and deleted. PATH is a folder from the volume root, \"/\"-separated\n"
    "(default: the root); files whose folder is gone are under \"Lost files\", records found\n"
    "in free space that wait for their merge under \"Rebuild\".\n"
    "  -r         the whole tree below PATH\n"
    "  --deleted  only entries that are not existing files or folders\n"
    "  --state LIST  only entries of these states, comma-separated: existing, deleted,\n"
    "             overwritten, notdetected, compressed, encrypted, metafiles; and files,\n"
    "             folders (default: all)\n"
    "  --type TYPE   only files of a kind: any, graphic, audio, video, office, system\n"
    "  --name MASKS  only files whose name matches one of the masks (\"*.jpg, *.png\")\n"
    "  --sort COLUMN[:desc]  name, size, type or date (ascending; \":desc\" descending)\n"
    "  --json     one JSON object per line: path, name, size, state, kind, folder, deleted,\n"
    "             record, time (names exactly as they are)\n"
    "  --scan     search the free space for lost records and for files by their content\n"
    "             first (--reverse: the whole volume from its end); the files found by\n"
    "             content are under \"RAW files\". Ctrl-C stops the search and lists what\n"
    "             was found, and the command then exits with 1\n"
    "  --raw-mode read the volume without its file system (every sector, by content only)\n"
    "  --session FILE  list what a saved scan session holds instead of -v N (DISK names\n"
    "             the disk; the session must belong to one of its volumes)\n"
    "Columns (named by a header line on a terminal): Del ('*' for a deleted entry), State,\n"
    "Size, Time (UTC) and Path; folders end in '/'. The state is 200 for existing items, 100\n"
    "for deleted ones whose data is intact, 0-99 for the share of a deleted file's data still\n"
    "free, 110 where the volume has no allocation bitmap. In paths, a backslash is shown as\n"
    "\\\\, a slash inside a name as \\/ and control characters as \\n, \\r, \\033 and the like;\n"
    "PATH arguments of ls and recover take names in this form.\n";

constexpr std::pair<std::string_view, uint32_t> kStateWords[] = {
    {"existing", kFilterExisting},       {"deleted", kFilterDeleted},       {"overwritten", kFilterOverwritten},
    {"notdetected", kFilterNotDetected}, {"compressed", kFilterCompressed}, {"encrypted", kFilterEncrypted},
    {"metafiles", kFilterMetafiles},     {"files", kFilterFiles},           {"folders", kFilterFolders}};

// The display filter's mask of a --state list; false with the unknown word.
bool ParseStates(std::string_view list, uint32_t& mask, std::string& bad) {
  constexpr uint32_t kKinds = kFilterFiles | kFilterFolders;
  uint32_t states = 0, kinds = 0;
  while (!list.empty()) {
    const size_t comma = list.find(',');
    std::string_view word = list.substr(0, comma);
    while (!word.empty() && word.front() == ' ') word.remove_prefix(1);
    while (!word.empty() && word.back() == ' ') word.remove_suffix(1);
    if (!word.empty()) {
      const auto it =
          std::find_if(std::begin(kStateWords), std::end(kStateWords), [&](const auto& w) { return w.first == word; });
      if (it == std::end(kStateWords)) {
        bad = std::string(word);
        return false;
      }
      ((it->second & kKinds) != 0 ? kinds : states) |= it->second;
    }
    if (comma == std::string_view::npos) break;
    list.remove_prefix(comma + 1);
  }
  mask = (states == 0 ? kFilterAll & ~kKinds : states) | (kinds == 0 ? kKinds : kinds) | kFilterAlways;
  return true;
}

bool ParseSort(std::string_view text, Column& column, bool& descending) {
  descending = text.ends_with(":desc");
  if (descending) text.remove_suffix(5);
  if (text.ends_with(":asc")) text.remove_suffix(4);
  if (text == "name")
    column = kColumnName;
  else if (text == "size")
    column = kColumnSize;
  else if (text == "type")
    column = kColumnType;
  else if (text == "date")
    column = kColumnDate;
  else
    return false;
  return true;
}

struct Printer {
  bool json = false, deletedOnly = false;
  size_t shown = 0;

  void Print(const std::vector<std::u16string>& folderPath, const Row& row) {
    const FileEntry& e = row.entry;
    const bool deleted = e.state != kStateExisting;
    if (deletedOnly && !deleted) return;
    ++shown;
    std::vector<std::u16string_view> components(folderPath.begin(), folderPath.end());
    components.push_back(row.name);
    const bool folder = row.IsFolderRow();
    if (json) {
      std::printf("%s\n", EntryJson(SlashPath(components), ToUtf8(row.name), e).c_str());
    } else {
      std::printf(" %c  %5u %14s  %-20s  %s%s\n", deleted ? '*' : ' ', e.state,
                  folder ? "" : GroupThousands(e.size).c_str(),
                  e.kind >= kKindVirtualFolder ? "" : FiletimeToIso(e.time).c_str(), EscapedPath(components).c_str(),
                  folder ? "/" : "");
    }
  }
};

// The rows the command line shows for a folder: as the model lists them, without the ".."
// row; the virtual folders at the root only when they hold something, and "RAW files" with
// its items directly (the explorer's per-type sub-folders are a view of the same rows, and
// "RAW files/NAME" is the path recover takes).
std::vector<Row> ShownRows(ResultsModel& model, FolderRef folder) {
  std::vector<Row> rows;
  VolumeFolders& folders = model.Folders();
  if (folder == kRawFilesFolderRef) {
    for (const FolderNode& type : folders.SubFolders(kRawFilesFolderRef)) {
      model.Open(type.ref, ListingCause::kRefresh);
      for (size_t r = model.FirstSortableRow(); r < model.RowCount(); ++r) rows.push_back(*model.RowAt(r));
    }
    return rows;
  }
  model.Open(folder, ListingCause::kRefresh);
  for (size_t r = 0; r < model.RowCount(); ++r) {
    Row row = *model.RowAt(r);
    if (row.entry.kind == kKindVirtualFolder && row.name == u"..") continue;
    if (row.entry.kind >= kKindFirstVirtualRow) {
      FilterSnapshot all;
      const FolderListing inside = folders.List(row.opens, all);
      if (inside.rows.size() <= inside.firstSortable) continue;  // only its ".." row
    }
    rows.push_back(std::move(row));
  }
  return rows;
}

}  // namespace

int RunLs(const Args& args) {
  ParsedArgs p;
  const int early =
      ParseCommandLine(args,
                       {kUsage,
                        {"-r", "--deleted", "--json", "--scan", "--reverse", "--raw-mode"},
                        {"-v", "--session", "--state", "--type", "--name", "--sort"},
                        1,
                        2,
                        "ls takes a disk and a path",
                        {{HasOption(args, "--session") ? "--session" : "-v", "ls needs a volume (-v N)"}}},
                       p);
  if (early >= 0) return early;
  std::vector<std::string> wanted;
  std::string error;
  if (!ParsePathArgument(p.positional.size() == 2 ? p.positional[1] : "", wanted, error)) {
    PrintError(error);
    return 2;
  }
  uint32_t mask = kFilterAll;
  if (!p.Option("--state").empty()) {
    std::string bad;
    if (!ParseStates(p.Option("--state"), mask, bad)) {
      PrintError(Text("szLsBadState", {bad,
                                       "existing, deleted, overwritten, notdetected, compressed, encrypted, "
                                       "metafiles, files, folders"}));
      return 2;
    }
  }
  std::u16string pattern = u"*";
  if (!p.Option("--type").empty() && !p.Option("--name").empty()) {
    PrintError(Text("szLsNameAndType"));
    return 2;
  }
  if (!p.Option("--type").empty()) {
    FilterPreset preset;
    if (!PresetByName(p.Option("--type"), preset)) {
      PrintError(Text("szLsBadType", {p.Option("--type")}));
      return 2;
    }
    pattern = FromUtf8(PresetPattern(preset));
  } else if (!p.Option("--name").empty()) {
    pattern = FromUtf8(p.Option("--name"));
  }
  Column sortColumn = kColumnName;
  bool descending = false, sorted = !p.Option("--sort").empty();
  if (sorted && !ParseSort(p.Option("--sort"), sortColumn, descending)) {
    PrintError(Text("szLsBadSort", {p.Option("--sort")}));
    return 2;
  }

  Workspace ws;
  WalkSummary walk;
  if (!OpenVolumeOrSession(ws, p, walk)) return 1;
  VolumeScanResult scan;
  if (p.Has("--scan")) scan = ScanVolume(ws, p.Has("--reverse"));

  ResultsModel model(ws.store, *ws.fileSystem, ws.geometry.volumeSectors * 512);
  model.Filter().SetMask(mask);
  model.Filter().SetPattern(pattern);
  VolumeFolders& folders = model.Folders();

  // PATH, folder by folder, as the model names them (every row, whatever the filter).
  FolderRef folder = kRootFolderRef;
  std::vector<std::u16string> folderPath;
  for (const std::string& part : wanted) {
    const std::u16string name = FromUtf8(part);
    const auto subs = folders.SubFolders(folder);
    const auto it = std::find_if(subs.begin(), subs.end(), [&](const FolderNode& n) { return n.name == name; });
    if (it == subs.end()) {
      PrintError(Text("szLsNoFolder", {p.positional.size() == 2 ? p.positional[1] : std::string(), p.Option("-v")}));
      return 1;
    }
    folder = it->ref;
    folderPath.push_back(name);
  }

  Printer printer;
  printer.json = p.Has("--json");
  printer.deletedOnly = p.Has("--deleted");
  if (!printer.json && isatty(STDOUT_FILENO)) std::printf("%s\n", CliText("szListHeader").c_str());
  auto order = [&](std::vector<Row>& rows) {
    if (!sorted) return;
    // The explorer's order of that column (the GUI sorts with the same comparison).
    const FsKind kind = model.Kind();
    std::stable_sort(rows.begin(), rows.end(),
                     [&](const Row& a, const Row& b) { return CompareRows(a, b, sortColumn, kind) < 0; });
    if (descending) std::reverse(rows.begin(), rows.end());
  };
  // Depth first; the folders to walk come from the unfiltered tree, so that a filter on
  // states never hides what lies below a folder it leaves out.
  struct Pending {
    FolderRef ref;
    std::vector<std::u16string> path;
  };
  std::vector<Pending> pending{{folder, folderPath}};
  const bool recursive = p.Has("-r");
  std::vector<bool> seen;
  while (!pending.empty()) {
    Pending at = std::move(pending.back());
    pending.pop_back();
    std::vector<Row> rows = ShownRows(model, at.ref);
    order(rows);
    for (const Row& row : rows) printer.Print(at.path, row);
    if (!recursive) continue;
    std::vector<FolderNode> subs;
    if (at.ref != kRawFilesFolderRef) subs = folders.SubFolders(at.ref);
    for (auto it = subs.rbegin(); it != subs.rend(); ++it) {
      // A folder is walked once (a real folder's entry index cannot repeat, but hard links
      // to folders and damaged trees are no reason to loop).
      if (IsRealFolderRef(it->ref)) {
        const uint64_t i = FolderIndexOfRef(it->ref);
        if (i >= seen.size()) seen.resize(i + 1);
        if (seen[i]) continue;
        seen[i] = true;
      }
      std::vector<std::u16string> path = at.path;
      path.push_back(it->name);
      pending.push_back({it->ref, std::move(path)});
    }
  }
  std::fflush(stdout);
  if (!printer.json)
    std::fprintf(stderr, "%s\n",
                 (Text("szLsSummary", {std::to_string(printer.shown), std::to_string(walk.entries), walk.foundWhere,
                                       std::to_string(ws.store.deletedCount.load())}) +
                  (walk.stopped ? Text("szLsStopped") : std::string()))
                     .c_str());
  // A scan that did not finish still lists what it found, but the command fails.
  return ReportScanOutcome(scan) ? 0 : 1;
}

}  // namespace torvane::cli
