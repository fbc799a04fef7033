// torvane search DISK -v N [--name MASK...] [--text TEXT | --hex BYTES] [...]: the files and
// folders of a volume, deleted ones included, that match names, content, size, dates and
// state; printed as 'torvane ls' prints them.
#include <unistd.h>

#include <cstdio>

#include "app/cli/args.h"
#include "app/cli/cli_language.h"
#include "app/cli/commands.h"
#include "app/cli/number_arg.h"
#include "app/cli/volume_arg.h"
#include "explorer/search.h"
#include "recovery/content_reader.h"
#include "util/file_time.h"
#include "util/format.h"
#include "util/json_writer.h"
#include "util/text.h"

namespace torvane::cli {
namespace {

constexpr const char* kUsage =
    "usage: torvane search DISK -v N [--name MASK...] [--text TEXT | --hex BYTES] [--unicode]\n"
    "                      [--case] [--whole-word] [--min-size N] [--max-size N]\n"
    "                      [--after DATE] [--before DATE] [--deleted] [--scan [--reverse]] [--json]\n\n"
    "Searches the files and folders of volume N (see 'torvane volumes'), existing and\n"
    "deleted, and lists those that match every condition given, as 'torvane ls -r' does.\n"
    "  --name MASK    names matching MASK ('*' any run, '?' one character, case ignored);\n"
    "                 several masks by repeating --name or separating them with commas\n"
    "  --text TEXT    files that hold TEXT (its UTF-8 bytes; with --unicode, as UTF-16LE)\n"
    "  --hex BYTES    files that hold these bytes, as pairs of hex digits (\"0A1B\", \"0a 1b\")\n"
    "  --case         the text's case must match (default: ignored)\n"
    "  --whole-word   the text must stand between blanks, tabs or line ends\n"
    "  --min-size N, --max-size N   files of at least / at most N bytes (k, M, G, T allowed)\n"
    "  --after DATE, --before DATE  modified on or after / before DATE (YYYY-MM-DD, UTC)\n"
    "  --deleted      only entries that are not existing files or folders\n"
    "  --scan         search the free space for lost records first (--reverse: the whole volume)\n"
    "  --json         one JSON object per line, as 'torvane ls --json'\n"
    "At most 200 000 matches are listed. Content is searched only in files.\n";

}  // namespace

int RunSearch(const Args& rawArgs) {
  // --name may be repeated: its values are taken out before the common parsing.
  std::vector<std::u16string> masks;
  Args args;
  for (size_t i = 0; i < rawArgs.size(); ++i) {
    std::string value;
    if (rawArgs[i] == "--name" && i + 1 < rawArgs.size()) {
      value = rawArgs[++i];
    } else if (rawArgs[i].starts_with("--name=")) {
      value = rawArgs[i].substr(7);
    } else {
      args.push_back(rawArgs[i]);
      continue;
    }
    for (auto& m : explorer::SplitMasks(FromUtf8(value))) masks.push_back(std::move(m));
  }
  ParsedArgs p;
  const int early =
      ParseCommandLine(args,
                       {kUsage,
                        {"--case", "--whole-word", "--unicode", "--deleted", "--scan", "--reverse", "--json", "--name"},
                        {"-v", "--text", "--hex", "--min-size", "--max-size", "--after", "--before"},
                        1,
                        1,
                        CliText("szTakesOneDisk", {"search"}),
                        {{"-v", CliText("szNeedsVolume", {"search"})}}},
                       p);
  if (early >= 0) return early;
  if (p.Has("--name")) {
    PrintError(CliText("szNeedsValue", {"--name"}));
    return 2;
  }
  explorer::SearchCriteria criteria;
  criteria.masks = std::move(masks);
  criteria.caseSensitive = p.Has("--case");
  criteria.wholeWords = p.Has("--whole-word");
  criteria.deletedOnly = p.Has("--deleted");
  const bool hasText = p.options.count("--text") != 0, hasHex = p.options.count("--hex") != 0;
  if (hasText && hasHex) {
    PrintError(Text("szTextAndHex"));
    return 2;
  }
  if (hasText) {
    const std::string text = p.Option("--text");
    if (text.empty()) {
      PrintError(Text("szPleaseEnterSearchData"));
      return 2;
    }
    if (p.Has("--unicode")) {
      criteria.contentKind = explorer::ContentKind::kUnicode;
      explorer::TextPattern(FromUtf8(text), criteria.contentKind, criteria.contentBytes);
    } else {
      criteria.contentKind = explorer::ContentKind::kAscii;
      criteria.contentBytes.assign(text.begin(), text.end());
    }
  } else if (hasHex) {
    std::string errorKey;
    criteria.contentKind = explorer::ContentKind::kHex;
    if (!explorer::ParseHexPattern(p.Option("--hex"), criteria.contentBytes, errorKey)) {
      PrintError(Text(errorKey));
      return 2;
    }
  }
  for (auto [name, target] : {std::pair{"--min-size", &criteria.minSize}, std::pair{"--max-size", &criteria.maxSize}}) {
    if (p.options.count(name) == 0) continue;
    *target = ParseByteCount(p.Option(name));
    if (!*target) {
      PrintError(Text("szBadNumber", {p.Option(name)}));
      return 2;
    }
  }
  for (auto [name, target] : {std::pair{"--after", &criteria.after}, std::pair{"--before", &criteria.before}}) {
    if (p.options.count(name) == 0) continue;
    *target = ParseDate(p.Option(name));
    if (!*target) {
      PrintError(Text("szBadDate", {p.Option(name)}));
      return 2;
    }
  }

  Workspace ws;
  WalkSummary walk;
  if (!OpenAndWalk(ws, p, walk)) return 1;
  VolumeScanResult scan;
  if (p.Has("--scan")) scan = ScanVolume(ws, p.Has("--reverse"));

  const DynList& list = ws.store.deletedEntries;
  const std::unique_ptr<ItemTree> tree = ws.fileSystem->MakeTree();
  const explorer::TreeFolderSource source(list, *tree);
  explorer::SearchJob job;
  recovery::ReaderContext reader = ws.Reader();
  reader.searchStop = job.StopFlag();
  job.Start(source, criteria,
            [&reader](const FileEntry& e, ReaderSink& sink) { return recovery::ReadItemContent(reader, e, sink); });
  const explorer::SearchResult result = job.Wait();

  const bool json = p.Has("--json");
  if (!json && isatty(STDOUT_FILENO) && !result.matches.empty()) std::printf("%s\n", CliText("szListHeader").c_str());
  for (uint64_t i : result.matches) {
    const FileEntry e = EntryAt(list, i);
    const auto components = tree->PathComponents(i);
    const bool deleted = e.state != kStateExisting;
    if (json)
      std::printf("%s\n", EntryJson(SlashPath(components), ToUtf8(components.back()), e).c_str());
    else
      std::printf(" %c  %5u %14s  %-20s  %s%s\n", deleted ? '*' : ' ', e.state,
                  e.IsFolder() ? "" : GroupThousands(e.size).c_str(), FiletimeToIso(e.time).c_str(),
                  EscapedPath(components).c_str(), e.IsFolder() ? "/" : "");
  }
  std::fflush(stdout);
  if (!json) {
    std::fprintf(stderr, "%s\n",
                 result.matches.empty() ? Text("szNothingFound").c_str()
                                        : Text("szMatchesFound", {GroupThousands(result.matches.size())}).c_str());
  }
  if (result.truncated) PrintError(Text("szResultsTruncated"));
  return ReportScanOutcome(scan) ? 0 : 1;
}

}  // namespace torvane::cli
