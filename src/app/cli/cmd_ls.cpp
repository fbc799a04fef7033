// torvane ls DISK -v N [PATH] [-r] [--deleted] [--json]: the files and folders of a volume,
// existing and deleted, found through its file-system structures.
#include <unistd.h>

#include <algorithm>
#include <cstdio>

#include "app/cli/args.h"
#include "app/cli/commands.h"
#include "app/cli/progress_bar.h"
#include "app/cli/session_arg.h"
#include "app/cli/volume_arg.h"
#include "raw/carve/carve_scan.h"
#include "util/file_time.h"
#include "util/format.h"
#include "util/json_writer.h"
#include "util/text.h"

namespace torvane::cli {
namespace {

constexpr const char* kUsage =
    "usage: torvane ls DISK -v N [PATH] [-r] [--deleted] [--json] [--scan [--reverse]]\n\n"
    "Lists the files and folders of volume N (see 'torvane volumes') found in its file-system\n"
    "structures, existing and deleted. PATH is a folder from the volume root, \"/\"-separated\n"
    "(default: the root); files whose folder is gone are under \"Lost files\".\n"
    "  -r         the whole tree below PATH\n"
    "  --deleted  only entries that are not existing files or folders\n"
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

}  // namespace

int RunLs(const Args& args) {
  ParsedArgs p;
  const int early =
      ParseCommandLine(args,
                       {kUsage,
                        {"-r", "--deleted", "--json", "--scan", "--reverse", "--raw-mode"},
                        {"-v", "--session"},
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
  Workspace ws;
  WalkSummary walk;
  if (!OpenVolumeOrSession(ws, p, walk)) return 1;
  VolumeScanResult scan;
  if (p.Has("--scan")) scan = ScanVolume(ws, p.Has("--reverse"));

  const DynList& list = ws.store.deletedEntries;
  const std::unique_ptr<ItemTree> tree = ws.fileSystem->MakeTree();
  const bool recursive = p.Has("-r"), deletedOnly = p.Has("--deleted"), json = p.Has("--json");
  if (!json && isatty(STDOUT_FILENO)) std::printf("Del State           Size  Time (UTC)            Path\n");
  bool folderSeen = wanted.empty();
  size_t shown = 0;
  // The volume's entries, then the RAW items under their virtual folder.
  const carve::RawItemTree rawTree(ws.store.rawFiles);
  const uint64_t n = EntryCount(list), rawCount = EntryCount(ws.store.rawFiles);
  bool rawFolderShown = false;
  for (uint64_t k = 0; k < n + rawCount; ++k) {
    const bool raw = k >= n;
    const uint64_t i = raw ? k - n : k;
    const FileEntry e = EntryAt(raw ? ws.store.rawFiles : list, i);
    const auto components = raw ? rawTree.PathComponents(i) : tree->PathComponents(i);
    if (raw && !components.empty() && wanted.empty() && !rawFolderShown) {
      // The virtual folder itself, once, in the root's listing.
      rawFolderShown = true;
      ++shown;
      FileEntry folder;
      folder.folderFlag = kFolderFlag;
      folder.state = kStateFoundInFreeSpace;
      folder.kind = kKindVirtualFolder;
      const std::vector<std::u16string_view> path{carve::kRawFilesFolderName};
      if (json)
        std::printf("%s\n", EntryJson(SlashPath(path), ToUtf8(path[0]), folder).c_str());
      else
        std::printf(" %c  %5u %14s  %-20s  %s/\n", '*', folder.state, "", "", EscapedPath(path).c_str());
    }
    if (components.empty()) continue;
    std::vector<std::string> parts;
    parts.reserve(components.size());
    for (auto c : components) parts.push_back(ToUtf8(c));
    // Inside PATH: directly (or, with -r, anywhere below it).
    if (parts.size() <= wanted.size() || !std::equal(wanted.begin(), wanted.end(), parts.begin())) {
      if (parts.size() <= wanted.size() && std::equal(parts.begin(), parts.end(), wanted.begin()) && e.IsFolder() &&
          parts.size() == wanted.size())
        folderSeen = true;
      continue;
    }
    folderSeen = true;
    if (!recursive && parts.size() != wanted.size() + 1) continue;
    const bool deleted = e.state != kStateExisting;
    if (deletedOnly && !deleted) continue;
    ++shown;
    if (json) {
      std::printf("%s\n", EntryJson(SlashPath(components), parts.back(), e).c_str());
    } else {
      std::printf(" %c  %5u %14s  %-20s  %s%s\n", deleted ? '*' : ' ', e.state,
                  e.IsFolder() ? "" : GroupThousands(e.size).c_str(), FiletimeToIso(e.time).c_str(),
                  EscapedPath(components).c_str(), e.IsFolder() ? "/" : "");
    }
  }
  if (!folderSeen) {
    PrintError("there is no folder " + (p.positional.size() == 2 ? p.positional[1] : std::string()) + " on volume " +
               p.Option("-v"));
    return 1;
  }
  std::fflush(stdout);
  if (!json)
    std::fprintf(stderr, "%zu entries (%llu found %s, %llu deleted)%s\n", shown,
                 static_cast<unsigned long long>(walk.entries), walk.foundWhere.c_str(),
                 static_cast<unsigned long long>(ws.store.deletedCount.load()), walk.stopped ? ", stopped" : "");
  // A scan that did not finish still lists what it found, but the command fails.
  return ReportScanOutcome(scan) ? 0 : 1;
}

}  // namespace torvane::cli
